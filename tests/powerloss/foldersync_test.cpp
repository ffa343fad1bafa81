// Folders made to hold a file that must survive a power loss: each one made is synced
// into its parent, folders that were there already cost nothing, and a parent that
// cannot be synced fails the call.
#include <algorithm>
#include <cerrno>
#include <functional>
#include <vector>

#include "common/filehelper.h"
#include "platform/registrystore.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

struct MakerCase {
  const char* name;
  // Makes root/a/b (a file in it for the store); true on success.
  std::function<bool(const std::string& root, FileEnv* env)> make;
};

const MakerCase kMakers[] = {
    {"EnsureDirectory",
     [](const std::string& root, FileEnv* env) { return EnsureDirectory(root + "/a/b", 0700, env) == S_OK; }},
    {"the registry store's first change",
     [](const std::string& root, FileEnv* env) {
       CRegistryStore store(root + "/a/b/registry", env);
       return store.Update([](CRegistryData& d) { d.Set("Software\\Ostrel", "V", RegValue::Dword(1)); }) ==
              CRegistryStore::UpdateResult::kOk;
     }},
};

class FolderSyncTest : public OstrelTest {
 protected:
  // The folders synced while make runs on a fresh root/a/b.
  std::vector<std::string> SyncedFolders(const MakerCase& c, bool* ok) {
    RemoveTree(PathIn("a"));
    FaultFileEnv env;
    std::vector<std::string> synced;
    env.SetHook([&](FileOp op, const std::string& path) {
      if (op == FileOp::kSync && !path.ends_with(".tmp")) synced.push_back(path);
      return 0;
    });
    *ok = c.make(Root(), &env);
    return synced;
  }
};

TEST_F(FolderSyncTest, EachFolderMadeIsSyncedIntoItsParent) {
  for (const MakerCase& c : kMakers) {
    bool ok = false;
    std::vector<std::string> synced = SyncedFolders(c, &ok);
    ASSERT_TRUE(ok) << c.name;
    EXPECT_NE(std::find(synced.begin(), synced.end(), Root()), synced.end()) << c.name << ": a in the root";
    EXPECT_NE(std::find(synced.begin(), synced.end(), PathIn("a")), synced.end()) << c.name << ": b in a";
    // Made again: nothing new, so no folder but the store's own is synced.
    FaultFileEnv again;
    std::vector<std::string> second;
    again.SetHook([&](FileOp op, const std::string& path) {
      if (op == FileOp::kSync && !path.ends_with(".tmp")) second.push_back(path);
      return 0;
    });
    ASSERT_TRUE(c.make(Root(), &again)) << c.name;
    for (const std::string& path : second) EXPECT_EQ(PathIn("a/b"), path) << c.name;
  }
}

TEST_F(FolderSyncTest, AParentThatCannotBeSyncedFailsTheCall) {
  for (const MakerCase& c : kMakers) {
    RemoveTree(PathIn("a"));
    FaultFileEnv env;
    env.SetHook([&](FileOp op, const std::string& path) { return op == FileOp::kSync && path == Root() ? EIO : 0; });
    EXPECT_FALSE(c.make(Root(), &env)) << c.name;
    EXPECT_GE(env.Injected(), 1) << c.name;
  }
}

}  // namespace
