// One user's data base shared as the engine shares it: workers that outlive their
// session, other threads' statements beside a listing's transaction, and several
// processes of the user on the same folder at once.

#include <atomic>
#include <map>
#include <set>
#include <mutex>
#include <thread>

#include "storetestutil.h"
#include "support/processes.h"

namespace {

class SessionsConcurrencyTest : public LocalStorageFixture {
 protected:
  std::shared_ptr<CKVDB> Config() { return GetConfigTable(); }
  std::string Value(const std::string& section, const std::string& field) {
    return Cli("SELECT group_concat(value, ',') FROM config WHERE section = '" + section + "' AND field = '" + field +
               "'");
  }
};

// The user signs out and another signs in while workers of the first session still run.
TEST_F(SessionsConcurrencyTest, WorkersOfAnEndedSessionFailAndNeverReachTheNextUsersDataBase) {
  std::shared_ptr<CKVDB> config = Config();
  std::atomic<bool> reading{false};
  std::thread reader([&] {  // the table is unbound under its feet
    for (int i = 0; i < 2000; ++i, reading = true) {
      std::string v;
      config->GetItem("S", "F", &v, "");
    }
  });
  while (!reading.load()) std::this_thread::yield();
  const std::string other = PathIn("other");
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(other)), 0);
  ASSERT_EQ(OpenUserDB(other), S_OK);
  reader.join();
  RefPtr<ILocalStorage> next;
  ASSERT_EQ(CreateLocalStorage(next.Receive()), S_OK);
  ASSERT_EQ(next->Init(other, PathIn("sync2")), S_OK);
  ASSERT_EQ(next->SetCurCacheVesion(3), S_OK);
  EXPECT_TRUE(FAILED(m_store->AddOrUpdateFileItem(File("late", "P", "late"), ItemSpace::MyFile)));
  EXPECT_TRUE(FAILED(m_store->SetCurCacheVesion(99)));
  EXPECT_TRUE(FAILED(config->SetItem("S", "F", "late")));
  EXPECT_EQ(CliQuery(other + "/tevok.db", "SELECT count(*) FROM files"), "0\n");
  EXPECT_EQ(next->GetCurCacheVesion(0), 3);
}

// Another thread's config write waits for a listing's transaction: it is neither undone
// by the listing's failure nor, when it fails itself, the end of the listing.
TEST_F(SessionsConcurrencyTest, AnotherThreadsWriteNeverJoinsOrEndsATransaction) {
  Cli("CREATE TRIGGER fail_boom BEFORE INSERT ON config WHEN NEW.field = 'boom' "
      "BEGIN SELECT RAISE(ABORT, 'injected failure'); END; "
      "CREATE TRIGGER fail_bad BEFORE INSERT ON files WHEN NEW.svrid = 'bad' "
      "BEGIN SELECT RAISE(ABORT, 'injected failure'); END");
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("kept", "P", "kept"), ItemSpace::MyFile), S_OK);
  for (bool listingFails : {true, false}) {
    SCOPED_TRACE(listingFails);
    const std::string field = listingFails ? "told-ok" : "boom";
    std::atomic<bool> asking{false};
    HRESULT other = E_UNEXPECTED;
    ASSERT_EQ(m_store->BeginTransaction(), S_OK);
    ASSERT_EQ(m_store->AddOrUpdateFileItem(File("kept", "P", "kept"), ItemSpace::MyFile), S_OK);
    std::thread writer([&] {
      asking = true;
      other = Config()->SetItem("Other", field, "v");
    });
    // Give a statement that does not wait for the transaction every chance to run in it.
    while (!asking.load()) std::this_thread::yield();
    for (int i = 0; i < 20000; ++i) std::this_thread::yield();
    const HRESULT bad = m_store->AddOrUpdateFileItem(File(listingFails ? "bad" : "new", "P", "x"), ItemSpace::MyFile);
    const HRESULT sweep = m_store->ClearOldFileItem("P", ItemSpace::MyFile);
    const HRESULT commit = m_store->CommitTransaction();
    writer.join();
    EXPECT_EQ(FAILED(bad), listingFails);
    EXPECT_EQ(FAILED(sweep), listingFails);
    EXPECT_EQ(FAILED(commit), listingFails);
    EXPECT_EQ(FAILED(other), !listingFails);
    EXPECT_EQ(Value("Other", field), listingFails ? "v\n" : "\n") << "a write told S_OK is kept";
    EXPECT_EQ(Ids(), listingFails ? "kept\n" : "kept\nnew\n");
  }
}

// Three processes and eight threads of one user: listings with their sweeps, version
// bumps, config writes and reads. Every write told S_OK is there (each listing's rows
// too), no version went back, no key has two rows, and the data base is sound.
TEST_F(SessionsConcurrencyTest, ProcessesAndThreadsOnOneUsersFolder) {
  constexpr int kProcesses = 3, kRounds = 100;
  // The processes start before any thread of this one, and all begin at one signal.
  ChildProcesses children(kProcesses, [&](int p) {
    // Each writes rising versions that interleave with the others', and keys of its
    // own and keys shared with the others, on a connection of its own (the inherited
    // one is left untouched); its exit status counts the versions it saw go back.
    int wentBack = 0;
    auto session = std::make_shared<CDBHelper>();
    if (session->Init(m_userDir) != S_OK) return 100;
    RefPtr<ILocalStorage> store(new CLocalStorage(session));
    int64_t seen = 0;
    for (int r = 1; r <= kRounds; ++r) {
      store->SetCurCacheVesion(int64_t(r) * kProcesses + p);
      int64_t now = store->GetCurCacheVesion(0);
      wentBack += now < seen;
      seen = std::max(seen, now);
      session->Config().SetItem("Proc", "p" + std::to_string(p) + "-" + std::to_string(r), std::to_string(r));
      session->Config().SetItem("Shared", "k" + std::to_string(r), std::to_string(p));
    }
    store = nullptr;
    session->UnInit();
    return wentBack;
  });
  children.Go();

  std::mutex mutex;
  std::map<std::string, std::string> toldOk;  // config writes told S_OK, key -> value
  std::map<std::string, std::set<std::string>> committed;  // listing parent -> its last items
  std::atomic<int> wentBack{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      const std::string parent = "L" + std::to_string(t % 2);
      int64_t seen = 0;
      for (int r = 1; r <= kRounds; ++r) {
        const std::string key = "t" + std::to_string(t) + "-" + std::to_string(r);
        switch (t / 2) {
          case 0: {  // listings of two folders, each shrinking and growing
            std::set<std::string> items;
            ASSERT_EQ(m_store->BeginTransaction(), S_OK);
            for (int k = 0; k < 8; ++k)
              if ((k + r) % 3 && items.insert(parent + "-" + std::to_string(k)).second)
                m_store->AddOrUpdateFileItem(File(*items.rbegin(), parent, "x"), ItemSpace::MyFile);
            m_store->ClearOldFileItem(parent, ItemSpace::MyFile);
            if (SUCCEEDED(m_store->CommitTransaction())) {
              std::lock_guard<std::mutex> g(mutex);
              committed[parent] = items;
            }
            break;
          }
          case 1:  // the event dispatch, and a folder deleted outside any listing
            if (t % 2) {
              m_store->SetCurCacheVesion(int64_t(r) * kProcesses + kProcesses);
            } else {
              m_store->AddOrUpdateFileItem(File("D-f", "D", "f"), ItemSpace::MyFile);
              m_store->DeleteFoldItem("D", ItemSpace::MyFile);
            }
            break;
          case 2:  // settings written from outside the store
            if (SUCCEEDED(Config()->SetItem("Thread", key, std::to_string(r)))) {
              std::lock_guard<std::mutex> g(mutex);
              toldOk[key] = std::to_string(r);
            }
            break;
          default: {  // the windows: freshness, cached listings and the version
            m_store->FolderNeedUpdate(parent, ItemSpace::MyFile);
            std::vector<CFileItemRecord> items;
            m_store->GetLastSyncSnapshot(parent, &items, ItemSpace::MyFile);
            int64_t now = m_store->GetCurCacheVesion(0);
            wentBack += now < seen;
            seen = std::max(seen, now);
          }
        }
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(std::vector<int>(kProcesses, 0), children.Wait())
      << "a process saw the version go back, or could not open the data base";

  EXPECT_EQ(Cli("PRAGMA integrity_check"), "ok\n");
  EXPECT_EQ(wentBack.load(), 0);
  EXPECT_EQ(m_store->GetCurCacheVesion(0), int64_t(kRounds) * kProcesses + kProcesses);
  EXPECT_EQ(Cli("SELECT count(*) FROM (SELECT 1 FROM config GROUP BY section, field HAVING count(*) > 1)"), "0\n");
  for (const auto& [key, value] : toldOk) EXPECT_EQ(Value("Thread", key), value + "\n") << key;
  for (const auto& [parent, items] : committed)
    for (const std::string& id : items) EXPECT_EQ(Cli("SELECT count(*) FROM files WHERE svrid = '" + id + "'"), "1\n");
}

}  // namespace
