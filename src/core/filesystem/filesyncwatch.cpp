// CFileSyncMgr: the watch of the files opened for editing. A file is followed through
// the program it was opened with until that program ends; through the file's lock
// instead when another program was seen holding the file during the first passes, when
// no program was started, or when the program started was a launcher that ended at
// once with success (it handed the file to a program that ran already). Its editing is
// over when the program has ended, or when no program has held the file for
// releaseWait; then the file is uploaded when its content changed, else made read-only.
// The entry's hold on its copy passes to the close and, when the file is uploaded, to
// the upload; it ends with the close otherwise.
#include <sys/stat.h>

#include "common/checks.h"
#include "common/sha1.h"
#include "common/strhelper.h"
#include "core/filesystem/cachefiles.h"
#include "core/filesystem/filesyncmgr.h"

void CFileSyncMgr::_WorkThread() {
  while (!m_stopEvent.Wait(m_options.watchPeriod)) CheckEditedFiles();
}

FileLockState CFileSyncMgr::_ProbeLock(const std::string& path) {
  return m_options.probeLock ? m_options.probeLock(path) : ProbeFileLock(path, m_env);
}

CFileSyncMgr::Verdict CFileSyncMgr::_JudgeEntry(const OpenFileEntry& entry) {
  Verdict verdict;
  std::optional<FileLockState> lock;
  auto probe = [&] {
    if (!lock) lock = _ProbeLock(entry.localPath);
    return *lock;
  };
  bool followsProgram = entry.process != nullptr;
  // A program that keeps the file open (a word processor) is followed by the lock.
  if (followsProgram && entry.passes < m_options.lockPasses && probe() == FileLockState::kLocked) {
    verdict.dropProcess = true;
    followsProgram = false;
  }
  if (followsProgram) {
    const ChildStatus status = entry.process->State();
    if (!status.Ended()) return verdict;
    if (!(status.EndedWithSuccess() && entry.passes == 0)) {
      verdict.kind = Verdict::kOver;
      return verdict;
    }
    OSTREL_LOG(kLogInfo, "CFileSyncMgr: the program of %s handed it on; its lock is followed",
               entry.localPath.c_str());
    verdict.dropProcess = true;
  }
  switch (probe()) {
    case FileLockState::kMissing:
      verdict.kind = Verdict::kGone;
      return verdict;
    case FileLockState::kLocked:
      return verdict;  // held again: a release seen before does not count
    case FileLockState::kUnlocked: {
      const Clock::Ticks now = m_clock->Steady();
      verdict.unlockedSince = entry.unlockedSince.value_or(now);
      if (now - *verdict.unlockedSince >= m_options.releaseWait) verdict.kind = Verdict::kOver;
      return verdict;
    }
  }
  return verdict;
}

void CFileSyncMgr::CheckEditedFiles() {
  std::lock_guard<std::mutex> pass(m_passLock);
  // The entries as they are now; each is judged with no lock held and its verdict
  // applied only when the entry is still the one judged.
  std::vector<OpenFileEntry> entries;
  {
    std::lock_guard<std::mutex> guard(m_tableLock);
    entries.reserve(m_table.size());
    for (auto& [fileId, entry] : m_table) {
      entries.push_back(entry);
      ++entry.passes;
    }
  }
  for (const OpenFileEntry& judged : entries) {
    if (m_stopped) return;
    const Verdict verdict = _JudgeEntry(judged);
    if (m_stopped) return;  // what was seen is left to the next watch, if any
    std::map<std::string, OpenFileEntry>::node_type ended;  // its program is given up after the lock
    std::shared_ptr<CWatchedProgram> dropped;
    {
      std::lock_guard<std::mutex> guard(m_tableLock);
      auto it = m_table.find(judged.fileId);
      if (it == m_table.end() || it->second.serial != judged.serial) continue;
      OpenFileEntry& entry = it->second;
      if (verdict.dropProcess) dropped = std::move(entry.process);
      if (verdict.kind == Verdict::kGoesOn) {
        entry.unlockedSince = verdict.unlockedSince;
        continue;
      }
      ended = m_table.extract(it);
      // Counted with the entry's removal, so that no open finds the copy without its
      // entry and without a close that sends it.
      if (verdict.kind == Verdict::kOver && !ended.mapped().claim.empty()) ++m_uploadHolds[ended.mapped().claim];
    }
    if (verdict.kind == Verdict::kGone) {
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
      OSTREL_LOG(kLogInfo, "CFileSyncMgr: %s is gone; it is no longer watched", judged.localPath.c_str());
      if (!ended.mapped().claim.empty()) m_claims.Drop(ended.mapped().claim);
    } else {
      _OnEditedFileClosed(ended.mapped());
    }
    return;  // at most one file ends per pass
  }
}

void CFileSyncMgr::_OnEditedFileClosed(const OpenFileEntry& closed) {
  // The close's hold ends here unless an upload carries it on.
  struct CloseHold {
    CFileSyncMgr* self;
    std::string claim;
    ~CloseHold() {
      if (claim.empty()) return;
      self->_UncarryHold(&self->m_uploadHolds, claim);
      self->m_claims.Drop(claim);
    }
  } hold{this, closed.claim};
  if (closed.flags & kOpenFlagOpenedCached) return;  // the old copy, opened read-only
  if (!m_spTaskMgr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pTaskMgr");
    return;
  }
  std::string sha1;
  const HRESULT hashed = GetFileSha1(
      closed.localPath, [this] { return !m_stopped.load(); }, &sha1, m_env);
  if (FAILED(hashed)) {
    OSTREL_LOG(kLogWarn, "CFileSyncMgr: %s cannot be hashed; it is not uploaded and stays in the cache folder",
               closed.localPath.c_str());
    return;
  }
  if (StrCompare(sha1, closed.sha1AtOpen, true) == 0) {
    _ProtectCachedFile(closed.fileId, closed.localPath);
    return;
  }
  if (closed.fileId.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szFileId)");
  const HRESULT hr =
      _AddFileTask(closed.fileId, std::string(), closed.fileVer, closed.fullPath, closed.localPath, true, true);
  if (FAILED(hr)) {
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
    OSTREL_LOG(kLogWarn, "CFileSyncMgr: the edit of %s could not be sent; it stays in the cache folder",
               closed.localPath.c_str());
  } else {
    hold.claim.clear();  // the upload carries it (see _OnTaskFinished)
  }
}

void CFileSyncMgr::_ProtectCachedFile(const std::string& fileId, const std::string& localPath) {
  if (!IsPathInFolder(localPath, m_pathCache) || IsFileOpen(fileId)) return;
  if (!SetFileReadOnly(localPath, m_env)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
}
