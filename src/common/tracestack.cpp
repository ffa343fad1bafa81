#include "common/tracestack.h"

#include <cstdio>

#include "platform/clock.h"

int64_t CTraceStack::NowMs() { return TickMs(*logcontrol::GetClock()); }

CTraceStack::CTraceStack(const char* sourceFile, int line, const char* functionName,
                         const HRESULT* pResult, const char* detail, bool toLog)
    : m_startMs(NowMs()),
      m_function(functionName ? functionName : "(null)"),
      m_pResult(pResult),
      m_sourceFile(sourceFile),
      m_line(line),
      m_toLog(toLog) {
  const char* shown = detail ? detail : "(null)";
  if (m_toLog) {
    if (LogIsEnabled(kLogTrace))
      LogWriteFormat(kLogTrace, m_sourceFile, m_line, "CTraceStack In, %s : %s", m_function.c_str(), shown);
  } else {
    std::fprintf(stderr, "CTraceStack In, %s : %s\n", m_function.c_str(), shown);
  }
}

CTraceStack::~CTraceStack() {
  if (m_toLog && !LogIsEnabled(kLogTrace)) return;
  int64_t elapsed = NowMs() - m_startMs;
  int secs = static_cast<int>(elapsed / 1000);
  int ms = static_cast<int>(elapsed % 1000);
  if (m_toLog) {
    if (m_pResult)
      LogWriteFormat(kLogTrace, m_sourceFile, m_line, "CTraceStack Out,%s : hr = %x, UserTime: %d'.%d'",
                     m_function.c_str(), static_cast<unsigned>(*m_pResult), secs, ms);
    else
      LogWriteFormat(kLogTrace, m_sourceFile, m_line, "CTraceStack Out,%s : UserTime: %d'.%d''",
                     m_function.c_str(), secs, ms);
  } else if (m_pResult) {
    std::fprintf(stderr, "CTraceStack Out,%s : hr = %x, UserTime: %d'.%d'\n", m_function.c_str(),
                 static_cast<unsigned>(*m_pResult), secs, ms);
  } else {
    std::fprintf(stderr, "CTraceStack Out,%s : UserTime: %d'.%d''\n", m_function.c_str(), secs, ms);
  }
}
