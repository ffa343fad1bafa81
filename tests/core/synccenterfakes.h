// Fakes of the five components a sign-in builds, for the sync centre's and the logic
// adapter's tests. Each writes what happens to it into one shared journal
// ("TaskMgr.Init", "TaskMgr.Start", "TaskMgr.Released", ...), and any of its life
// steps can be made to fail. The remote storage answers the sign-in request with a
// scripted reply. Every file-system slot records its call with its arguments and
// answers kFakeAnswer (see FakeFileSystem).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/recordtree.h"
#include "core/componentfactory.h"
#include "core/interfaces/ieventcenter.h"
#include "core/interfaces/ifilesystem.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/itaskmgr.h"

// Events in order. Any thread may add.
class Journal {
 public:
  void Add(const std::string& event);
  std::vector<std::string> Entries();
  // Entries that start with prefix.
  std::vector<std::string> With(const std::string& prefix);
  int Count(const std::string& event);
  void Clear();
  // Called (outside the journal's lock) after each event is added.
  void SetObserver(std::function<void(const std::string&)> observer);

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_entries;
  std::function<void(const std::string&)> m_observer;
};

// What the fake service answers to the sign-in request.
struct FakeSignIn {
  HRESULT result = S_OK;
  std::string userId = "u1001";
  std::string token = "tok-1";
  std::string email = "ann@example.test";
  std::string nickName = "ann";
  // The reply as a record tree (the values above unless result is a failure).
  RecordTree Reply() const;
};

// The five fakes behind a CoreComponentFactory, sharing one journal.
class FakeComponents {
 public:
  FakeComponents();

  // The step "<Kind>.<Step>" (Kind: LocalStorage, RemoteStorage, TaskMgr, FileSystem,
  // EventCenter; Step: Create, Init, Start, Stop, UnInit) fails with failure from now
  // on; "" fails nothing.
  void FailAt(const std::string& step, HRESULT failure = E_FAIL);
  // How the sign-in requests are answered (the next ones).
  void SetSignIn(const FakeSignIn& signIn);
  // The sign-in requests made: "Login(<user>)" or "ReLogin(<token>)", in order. The
  // password is recorded apart (Passwords()).
  std::vector<std::string> Requests() { return m_journal->With("Request."); }
  std::vector<std::string> Passwords();

  // Fake objects alive now (made and not yet released).
  int Alive() const { return m_alive->load(); }

  CoreComponentFactory Factory();
  std::shared_ptr<Journal> journal() const { return m_journal; }

  // Shared with the fakes (which may outlive this object).
  struct Shared {
    std::mutex mutex;
    std::string failAt;
    HRESULT failure = E_FAIL;
    FakeSignIn signIn;
    std::vector<std::string> passwords;
  };

 private:
  std::shared_ptr<Journal> m_journal;
  std::shared_ptr<Shared> m_shared;
  std::shared_ptr<std::atomic<int>> m_alive;
};

// The answer of every HRESULT slot of FakeFileSystem (a success code no real slot
// gives), of GetFolderViewMode (42) and of FolderNeedUpdate (false).
inline constexpr HRESULT kFakeAnswer = 0x77;
inline constexpr int32_t kFakeViewMode = 42;

// A file system alone (no factory): records every slot call as "FileSystem.<Slot>(<args>)".
RefPtr<IFileSystem> MakeFakeFileSystem(std::shared_ptr<Journal> journal);
