// The temp folder ".tmp" of a sync folder, shared by every process of the user that
// works on that sync folder. Whoever uses an entry of it claims the entry first
// (platform/tempclaim.h) and holds the claim while using it:
//   "work-{GUID}"   a store's work folder, where its temp files go; claimed for the
//                   life of the store;
//   "resume-<SHA-1 of a file id>"   the verified blocks a block download keeps between
//                   attempts; claimed during each attempt, unclaimed in between;
//   "{GUID}"        the private folder of a download while another download of the
//                   same file holds that file's resume folder;
//   "edit-<SHA-1 of a local path>"   a cache copy opened for editing or downloaded
//                   into (core/filesystem/editclaims.h): only its lock file, which
//                   its claim removes when it ends; one left by a killed process is
//                   reused by the next claim of that copy.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "platform/fileenv.h"
#include "platform/tempclaim.h"

// How long an unclaimed resume folder is kept after its last change.
inline constexpr std::chrono::seconds kResumeFolderKeep = std::chrono::hours(7 * 24);

// Removes from the temp folder every entry that no live process claims, except resume
// folders whose last change (their modification time) lies less than resumeKeep from
// now and the "edit-" claims, which it never touches (even a passing claim of the
// clean-up would make a user's open fail); lock files of ended claims go too. Each entry is claimed while it is judged and
// removed. Trees are never followed through links. An entry that cannot be claimed for
// another cause than a claim elsewhere is kept, with a log line. Goes on past
// failures, logging each entry that could not be removed (a link goes as a link, a
// folder with its tree). Every file-system call goes through env.
void CleanTempFolder(const std::string& tempFolder, std::chrono::seconds resumeKeep,
                     FileEnv* env = FileEnv::Default());

// A store's hold on the temp folder: its clean-up at start and the store's work folder.
// Open and Close are not called concurrently with each other; NewFilePath may be
// called from any thread at any time.
class CTempFolder {
 public:
  static constexpr const char* kWorkPrefix = "work-";

  // The folders and claims are made through env, which must outlive the object.
  explicit CTempFolder(FileEnv* env = FileEnv::Default()) : m_env(env), m_claim(env) {}
  ~CTempFolder() { Close(); }
  CTempFolder(const CTempFolder&) = delete;
  CTempFolder& operator=(const CTempFolder&) = delete;

  // Closes the work folder open before, makes the temp folder 0700 (anything else at its
  // path, a link too, is removed first), cleans it (CleanTempFolder), then claims and
  // makes a new work folder "<temp>/work-{GUID}" (0700). False, with a log line, when
  // the temp folder or the work folder cannot be made; no work folder is open then.
  bool Open(const std::string& tempFolder, std::chrono::seconds resumeKeep = kResumeFolderKeep);
  // Removes the work folder with everything in it, then ends its claim; what cannot be
  // removed is logged and left to a later clean-up. Nothing when none is open.
  void Close();
  // A new path "<work folder>/{GUID}"; no file is created. "" while none is open.
  std::string NewFilePath();

 private:
  FileEnv* m_env;
  std::mutex m_mutex;  // guards m_work
  std::string m_work;
  CTempClaim m_claim;
};
