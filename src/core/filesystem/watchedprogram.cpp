#include "core/filesystem/watchedprogram.h"

CWatchedProgram::~CWatchedProgram() { ReleaseChild(m_pidfd); }

ChildStatus CWatchedProgram::State() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_ended.Ended()) return m_ended;
  ChildStatus now = ChildState(m_pidfd);
  // The first answer that it ended also reaped it: a later query could not tell again.
  if (now.Ended()) m_ended = now;
  return now;
}
