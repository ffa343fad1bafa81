// The file that stands in for the current user's registry. The whole store is one
// small text file (see registrydata.h), 0600, in a folder created 0700.
//
// Readers take no lock: every change replaces the file atomically, so a reader sees
// the store before or after a change, never a mix. A change is a read-modify-write
// under an exclusive flock on a lock file beside the store, so changes made at once
// by threads or processes are applied one after the other and none is lost.
//
// The store holds the sign-in token and the proxy password; it must never be placed
// where other users can read it, nor left behind in copies. A writer killed in the
// middle of a change leaves its temp copy beside the store, named
// ".<store file name>.{GUID}.tmp"; the next change removes it (see Update).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/fileenv.h"
#include "platform/registrydata.h"

class CRegistryStore {
 public:
  // The store of this user: $OSTREL_REGISTRY when set (tests), else
  // $XDG_CONFIG_HOME/Ostrel/registry, else ~/.config/Ostrel/registry (the home folder
  // from $HOME, else the password data base).
  static std::string DefaultPath();

  // Every file-system call goes through env, which must outlive the object.
  explicit CRegistryStore(std::string path, FileEnv* env = FileEnv::Default());

  const std::string& Path() const { return m_path; }

  // Reads the whole store. A missing file is an empty store; a damaged line is
  // skipped (badLines, when given, receives how many). False with errno set, and
  // *out empty, when the file exists but cannot be read.
  bool Read(CRegistryData* out, size_t* badLines = nullptr) const;

  enum class UpdateResult {
    kOk,
    kOpenFailed,   // the folder, the lock or the current store could not be had
    kWriteFailed,  // the new store could not be written, or not made durable (see below)
  };
  // Applies change to the current contents and writes the result in one atomic
  // replace, under the store's lock; a change that leaves the contents as they were
  // writes nothing. change runs under the lock and must not block.
  // On failure errno tells the cause and the file is unchanged, except a kWriteFailed
  // whose folder could not be synced after the replace: the new store is in place
  // but may not survive a power loss (see AtomicWriteFile). A store that exists but
  // cannot be read is never replaced.
  //
  // First, under the lock (so that no writer of this store is in the middle of a
  // change), removes the temp copies of the store that killed writers left beside it:
  // every ".<store file name>.{GUID}.tmp", and every ".{GUID}.tmp" that begins with a
  // store's heading line (the form earlier versions gave every temp file; an empty
  // one cannot be told from another program's and is kept). Only regular files of
  // this user are removed, links are not followed and no other name is touched. A
  // copy that cannot be removed does not fail the Update; UnremovedTemps() lists it.
  UpdateResult Update(const std::function<void(CRegistryData&)>& change);

  struct UnremovedTemp {
    std::string path;  // the copy, or the folder when it could not be searched
    int error;         // errno
  };
  // The stale temp copies the last Update found but could not remove.
  const std::vector<UnremovedTemp>& UnremovedTemps() const { return m_unremoved; }

 private:
  void RemoveStaleTemps();

  std::string m_path;
  FileEnv* m_env;
  std::vector<UnremovedTemp> m_unremoved;
};
