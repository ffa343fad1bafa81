// TaskTempFile: one temporary file of a task (in the local storage's temp folder),
// removed when the guard goes unless it was handed over. So a task leaves none of its
// temporary files behind, whichever way it ends.
#pragma once

#include <string>
#include <utility>

#include "platform/fileenv.h"

class TaskTempFile {
 public:
  // Guards path ("" guards nothing); env must outlive the guard.
  explicit TaskTempFile(FileEnv* env, std::string path = std::string()) : m_env(env), m_path(std::move(path)) {}
  ~TaskTempFile() { Remove(); }
  TaskTempFile(const TaskTempFile&) = delete;
  TaskTempFile& operator=(const TaskTempFile&) = delete;

  const std::string& Path() const { return m_path; }
  // Removes the file guarded so far and guards path from now on.
  void Reset(std::string path) {
    Remove();
    m_path = std::move(path);
  }
  // Removes the file now (nothing there counts as removed) and guards nothing more.
  // False, with "*ASSERT*: bRet", when it is still there.
  bool Remove();
  // The file was handed over (moved into place): it is no longer removed.
  void Release() { m_path.clear(); }

 private:
  FileEnv* m_env;
  std::string m_path;
};
