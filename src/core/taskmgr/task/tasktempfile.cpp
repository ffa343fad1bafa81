#include "core/taskmgr/task/tasktempfile.h"

#include "common/checks.h"
#include "common/filehelper.h"

bool TaskTempFile::Remove() {
  if (m_path.empty()) return true;
  const bool removed = SUCCEEDED(ForceDeleteFile(m_path, m_env));
  if (!removed) OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
  m_path.clear();
  return removed;
}
