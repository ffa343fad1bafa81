// CEditClaims: this process's claims on the cache copies it has opened for editing (or
// downloads into), which tell every other process of the user that a copy is in use.
// A copy's claim is the CTempClaim of the entry "edit-<SHA-1 hex of the copy's path>"
// in the sync folder's temp folder, which every process of the user on that sync
// folder shares: the lock file "edit-<sha1>.lock" there. A claim of another process
// excludes ours; the kernel ends a claim with its process, so the claim of a killed
// process never blocks (the next claim reuses its lock file).
//
// Within the process each copy has a hold count: the first hold takes the claim, the
// last drop ends it. Paths are keys as given: callers name a copy the same way each
// time (ResolveLocalPath).
//
// Threads: every member may be called from any thread. The one lock is held while a
// claim is taken or ended (a few non-blocking file calls), never while waiting:
// WaitUntilDropped waits on the condition variable only.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/resultcodes.h"
#include "platform/fileenv.h"
#include "platform/tempclaim.h"

class CEditClaims {
 public:
  static constexpr const char* kEntryPrefix = "edit-";

  // The claims are made through env, which must outlive the object.
  explicit CEditClaims(FileEnv* env = FileEnv::Default()) : m_env(env) {}
  // Ends every claim still held.
  ~CEditClaims() { ReleaseAll(); }
  CEditClaims(const CEditClaims&) = delete;
  CEditClaims& operator=(const CEditClaims&) = delete;

  // The temp folder the claims lie in; set before the first Hold.
  void SetFolder(const std::string& tempFolder);

  // One more hold of this process on the copy at path; the first one takes the claim.
  // S_OK; E_CV_LOCAL_IN_EDIT when another process claims the copy; E_FAIL, logged, when
  // no folder is set or the lock file cannot be made or locked. Nothing is held on
  // failure.
  HRESULT Hold(const std::string& path);
  // One hold less; the last one ends the claim (its lock file goes) and ends the waits
  // for it. A copy this process does not hold changes nothing.
  void Drop(const std::string& path);
  // Whether this process holds the copy.
  bool HeldHere(const std::string& path);
  // Waits until this process holds the copy no more: true; false when stopped, at once
  // when Stop ran before.
  bool WaitUntilDropped(const std::string& path);
  // Ends every wait, now and later. What is held stays held.
  void Stop();
  // Ends every claim, whatever its count, and the waits for them.
  void ReleaseAll();

  // The name of a copy's entry in the temp folder.
  static std::string EntryName(const std::string& path);

 private:
  struct Held {
    int count = 0;
    std::unique_ptr<CTempClaim> claim;
  };

  FileEnv* const m_env;
  std::mutex m_lock;  // every member below
  std::condition_variable m_dropped;
  std::string m_folder;
  std::map<std::string, Held> m_held;
  bool m_stopped = false;
};
