// A scope trace: writes "CTraceStack In, <function> : <detail>" when constructed and
// "CTraceStack Out,<function> : hr = <result>, UserTime: <s>'.<ms>'" when the scope
// ends, at level 9, with the result as it stands at scope exit.
//
//   HRESULT hr = E_FAIL;
//   TRACE_SCOPE("CSyncCenter::Start()", &hr);
//   TRACE_SCOPE_DETAIL("CFileSystem::Rename()", &hr, "%s", name.c_str());
#pragma once

#include <string>

#include "common/log.h"
#include "common/resultcodes.h"
#include "common/strformat.h"

class CTraceStack {
 public:
  // detail may be null (written as "(null)"). With toLog false the lines go to stderr.
  CTraceStack(const char* sourceFile, int line, const char* functionName, const HRESULT* pResult,
              const char* detail, bool toLog = true);
  ~CTraceStack();
  CTraceStack(const CTraceStack&) = delete;
  CTraceStack& operator=(const CTraceStack&) = delete;

  // The steady clock's milliseconds, from the log's clock.
  static int64_t NowMs();

 private:
  int64_t m_startMs;
  std::string m_function;
  const HRESULT* m_pResult;
  const char* m_sourceFile;
  int m_line;
  bool m_toLog;
};

#define TRACE_CONCAT2_(a, b) a##b
#define TRACE_CONCAT_(a, b) TRACE_CONCAT2_(a, b)
#define TRACE_SCOPE(function, pResult) \
  CTraceStack TRACE_CONCAT_(trace_stack_, __LINE__)(__FILE__, __LINE__, function, pResult, nullptr)
#define TRACE_SCOPE_DETAIL(function, pResult, ...)                                       \
  CTraceStack TRACE_CONCAT_(trace_stack_, __LINE__)(                                       \
      __FILE__, __LINE__, function, pResult,                                               \
      LogIsEnabled(kLogTrace) ? StringFormat(__VA_ARGS__).c_str() : nullptr)
