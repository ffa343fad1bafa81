// Fakes for the event centre's tests: a remote storage whose push poll follows a script
// and then holds like the service's, a local storage that records the version writes,
// a clock that records the pauses, and a watchdog for calls that must not hang.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/recordtree.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "platform/clock.h"
#include "platform/event.h"

#define EC_FAKE_NOTIMPL(Method, ...) \
  HRESULT Method(__VA_ARGS__) override { return E_NOTIMPL; }

// A push reply as the service sends it; a null text leaves the value out.
inline RecordTree PushReply(const char* opVer, const char* shareVer, const char* deviceId = "dev-1") {
  RecordTree reply("nuvra");
  reply.SetAttribute("result", "ok");
  if (opVer) reply.AddValue("opVer", opVer);
  if (shareVer) reply.AddValue("shareVer", shareVer);
  if (deviceId) reply.AddValue("deviceId", deviceId);
  return reply;
}

// The remote storage: each PushNotify takes the next scripted outcome. An outcome may
// hold: it then calls the progress callback (as the transport does, every millisecond
// here) until the callback cancels, and answers its result after that. When the script
// is used up every poll holds and ends cancelled (E_CV_CURL_CANCEL). Other slots answer
// E_NOTIMPL. *alive turns false when the last reference goes.
class ScriptedPushStorage final : public CUnknownImpl<IRemoteStorage> {
 public:
  struct Poll {
    std::string userId, token, taskName;
    bool hadCallback;
  };
  explicit ScriptedPushStorage(std::shared_ptr<std::atomic<bool>> alive = nullptr) : m_alive(std::move(alive)) {
    if (m_alive) *m_alive = true;
  }
  ~ScriptedPushStorage() override {
    if (m_alive) *m_alive = false;
  }

  void Answer(HRESULT hr, RecordTree reply = RecordTree()) { Add({hr, std::move(reply), false}); }
  // A poll that holds until the heartbeat cancels it, then answers hr with reply.
  void HoldThenAnswer(HRESULT hr, RecordTree reply = RecordTree()) { Add({hr, std::move(reply), true}); }

  std::vector<Poll> Polls() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_polls;
  }
  // Waits (at most 30 s) until a poll holds; false when none did.
  bool WaitHeld() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_holding > 0; });
  }
  // Waits (at most 30 s) until n polls have been made.
  bool WaitPolls(size_t n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_polls.size() >= n; });
  }

  HRESULT PushNotify(const TaskData_PushNotify& r, TransportProgressCallback callback, void* context,
                     RecordTree* reply) override {
    Outcome outcome{E_CV_CURL_CANCEL, RecordTree(), true};
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_polls.push_back({r.strUserId, r.strToken, r.TasksName(), callback != nullptr});
      if (!m_script.empty()) {
        outcome = std::move(m_script.front());
        m_script.pop_front();
      }
      m_changed.notify_all();
    }
    if (outcome.hold) {
      if (!callback) {
        ADD_FAILURE() << "a held poll without a progress callback could never be cancelled";
        return E_FAIL;
      }
      std::unique_lock<std::mutex> lock(m_mutex);
      ++m_holding;
      m_changed.notify_all();
      while (true) {
        lock.unlock();
        const bool cancelled = callback(context, 0, 0, 0, 0, 0) == E_FAIL;
        lock.lock();
        if (cancelled) break;
        m_changed.wait_for(lock, std::chrono::milliseconds(1));
      }
      --m_holding;
    }
    if (reply && !outcome.reply.IsEmpty()) *reply = std::move(outcome.reply);
    return outcome.hr;
  }

  using Progress = TransportProgressCallback;
  EC_FAKE_NOTIMPL(Init) EC_FAKE_NOTIMPL(UnInit) EC_FAKE_NOTIMPL(GetGlobalVersion, const std::string&, std::string*)
  EC_FAKE_NOTIMPL(Login, const TaskData_Login&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(ReLogin, const TaskData_ReLogin&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(GetSpace, const TaskData_GetSpace&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(GetMaxVers, const TaskData_GetRemoteOptVer&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(GetRecycle, const TaskData_GetRecycle&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(CleanRecycle, const TaskData_CleanRecycle&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(Recover, const TaskData_Recover&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(GetNormalItemSnapshot, const SnapshotRecord&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(GetDeletedItemSnapshot, const SnapshotRecord&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(GetAllShareFile, const TaskData_GetAllShareFile&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(Dir, const TaskData_Dir&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(Delete, const TaskData_Delete&, Progress, void*)
  EC_FAKE_NOTIMPL(DeleteEx, const TaskData_Delete&, Progress, void*)
  EC_FAKE_NOTIMPL(Rename, const TaskData_Rename&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(NewFolder, const TaskData_DirectoryAdd&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(Move, const TaskData_Move&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(Move2, const TaskData_Move&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(NewFile, const TaskData_NewFile&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(UpdateFile, const TaskData_UpdateFile&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(_UploadFile, const TaskData_UpdateFile&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(UploadFile_UFA, const TaskData_UpdateFile_UFA&, const std::vector<std::string>&, Progress, void*,
                  std::string*)
  EC_FAKE_NOTIMPL(UploadBlock, const std::string&, Progress, void*, const std::string&, const std::string&,
                  RecordTree*)
  EC_FAKE_NOTIMPL(DownloadFile, const TaskData_DownloadFile&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(DownloadFile_UFA, TaskData_DownloadFile_UFA&, ILocalStorage*, Progress, void*, bool)
  EC_FAKE_NOTIMPL(DownloadBlock, const std::string&, Progress, void*, const std::string&, const std::string&,
                  const std::string&)
  EC_FAKE_NOTIMPL(GetThumbnail, const TaskData_GetThumbnail&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(FullTextSearch, const TaskData_FullTextSearch&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(HttpRequest, const std::string&, const std::string&, const std::string*, Progress, void*,
                  std::string*, int32_t)
  EC_FAKE_NOTIMPL(GetItemInfo, const TaskData_GetItemInfo&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(ShareFile, const ShareRecord&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(SetFileModTime, const TaskData_UpdateFile&, Progress, void*, RecordTree*)
  EC_FAKE_NOTIMPL(CheckProxyServer, RecordTree*)

 private:
  struct Outcome {
    HRESULT hr;
    RecordTree reply;
    bool hold;
  };
  void Add(Outcome outcome) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_script.push_back(std::move(outcome));
  }

  std::shared_ptr<std::atomic<bool>> m_alive;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Outcome> m_script;
  std::vector<Poll> m_polls;
  int m_holding = 0;
};

// The local storage: records the version writes in order ("cache 5", "share 3",
// "adopt 5 3"); the setters keep the highest of each, as the store does (S_FALSE for a
// lower one), and an adoption keeps both as given; the rest answers E_NOTIMPL or an
// empty value.
class VersionRecorder final : public CUnknownImpl<ILocalStorage> {
 public:
  std::vector<std::string> Writes() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_writes;
  }
  // Waits (at most 30 s) until both stored versions are at least these.
  bool WaitForVersions(int64_t cache, int64_t share) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_cache >= cache && m_share >= share; });
  }

  HRESULT SetCurCacheVesion(int64_t version) override { return Write("cache", version, &m_cache); }
  HRESULT SetCurShareCacheVesion(int64_t version) override { return Write("share", version, &m_share); }
  HRESULT AdoptServiceVersions(int64_t opVer, int64_t shareVer) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_writes.push_back("adopt " + std::to_string(opVer) + " " + std::to_string(shareVer));
    m_cache = opVer;
    m_share = shareVer;
    m_changed.notify_all();
    return S_OK;
  }
  int64_t GetCurCacheVesion(int64_t defaultValue) override { return Read(m_cache, defaultValue); }
  int64_t GetCurShareCacheVesion(int64_t defaultValue) override { return Read(m_share, defaultValue); }

  EC_FAKE_NOTIMPL(Init, const std::string&, const std::string&) EC_FAKE_NOTIMPL(UnInit)
  EC_FAKE_NOTIMPL(BeginTransaction) EC_FAKE_NOTIMPL(CommitTransaction) EC_FAKE_NOTIMPL(ClearLastSnapshot)
  bool FolderNeedUpdate(const std::string&, ItemSpace) override { return true; }
  EC_FAKE_NOTIMPL(GetLastSyncSnapshot, const std::string&, std::vector<CFileItemRecord>*, ItemSpace)
  EC_FAKE_NOTIMPL(GetItemInfo, const std::string&, CFileItemRecord*, ItemSpace)
  EC_FAKE_NOTIMPL(GetItemShareRight, const std::string&, std::vector<ShareEntry>*, ItemSpace)
  EC_FAKE_NOTIMPL(AddOrUpdateFileItem, const CFileItemRecord&, ItemSpace)
  EC_FAKE_NOTIMPL(UpdateFileVersion, const std::string&, int64_t, int64_t, const std::string&)
  EC_FAKE_NOTIMPL(ClearOldFileItem, const std::string&, ItemSpace)
  EC_FAKE_NOTIMPL(UpdateFolderCacheVesion, const std::string&, ItemSpace, int64_t)
  EC_FAKE_NOTIMPL(BeginListingTransaction, ItemSpace, int64_t)
  EC_FAKE_NOTIMPL(GetFileSha1ByPath, const std::string&, std::string*, bool)
  EC_FAKE_NOTIMPL(GetFileSizeByPath, const std::string&, int64_t*, bool)
  EC_FAKE_NOTIMPL(GetFileTimeByPath, const std::string&, std::string*, std::string*, bool)
  EC_FAKE_NOTIMPL(DeleteFileItem, const std::string&, ItemSpace) EC_FAKE_NOTIMPL(DeleteFoldItem, const std::string&, ItemSpace)
  EC_FAKE_NOTIMPL(EncodeFile, const std::string&, const std::string&, const std::string&, const std::string&)
  EC_FAKE_NOTIMPL(DecodeFile, const std::string&, const std::string&, const std::string&)
  std::string GetTempFilePath() override { return std::string(); }
  std::string GetTempFolder() override { return std::string(); }
  std::string GetFullPath(const std::string&) override { return std::string(); }
  EC_FAKE_NOTIMPL(CopyFileToTempPathByFullPath, const std::string&, std::string*, bool)
  EC_FAKE_NOTIMPL(MoveTempFileToSyncSpace, const std::string&, const std::string&, const std::string&)
  EC_FAKE_NOTIMPL(LocalFullTextSearch, const std::string&, std::vector<CFileItemRecord>*)
  EC_FAKE_NOTIMPL(SetFolderViewMode, const std::string&, int, int, ItemSpace)
  int GetFolderViewMode(const std::string&, int, ItemSpace) override { return 0; }

 private:
  HRESULT Write(const char* which, int64_t version, int64_t* stored) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_writes.push_back(std::string(which) + " " + std::to_string(version));
    m_changed.notify_all();
    if (version < *stored) return S_FALSE;
    *stored = version;
    return S_OK;
  }
  int64_t Read(int64_t stored, int64_t defaultValue) {
    std::lock_guard<std::mutex> guard(m_mutex);
    return stored < 0 ? defaultValue : stored;
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_writes;
  int64_t m_cache = -1;  // -1: nothing stored
  int64_t m_share = -1;
};

#undef EC_FAKE_NOTIMPL

// A clock whose sleeps return at once and are recorded, in ms.
class PauseRecorder final : public Clock {
 public:
  WallTime Now() override { return WallTime(Elapsed()); }
  Ticks Steady() override { return Ticks(Elapsed()); }
  void SleepFor(std::chrono::milliseconds d) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pauses.push_back(d.count());
  }
  std::vector<int64_t> Pauses() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_pauses;
  }

 private:
  std::chrono::milliseconds Elapsed() {
    std::lock_guard<std::mutex> guard(m_mutex);
    int64_t total = 0;
    for (int64_t p : m_pauses) total += p;
    return std::chrono::milliseconds(total);
  }
  std::mutex m_mutex;
  std::vector<int64_t> m_pauses;
};

// Runs body on a thread of its own and fails the test (not the run) when it has not
// ended within a generous bound: a call that hangs leaves that thread behind.
inline void UnderWatchdog(std::function<void()> body) {
  auto done = std::make_shared<CEvent>();
  std::thread([body = std::move(body), done] {
    body();
    done->Set();
  }).detach();
  if (!done->Wait(std::chrono::seconds(60))) ADD_FAILURE() << "the call did not return";
}
