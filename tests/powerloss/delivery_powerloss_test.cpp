// A downloaded file delivered into the sync folder, through power losses: the download
// and delivery stopped after every call in turn, the unsynced data dropped. The file
// in the sync folder is then the old or the new content, never torn nor empty; the new
// one once the delivery reported success; and the client, started again, delivers it.
#include "downloadpowerloss.h"

#include <sstream>

namespace {

struct DeliveryScenario {
  const char* name;
  bool blocks;         // the block protocol, else the whole file
  const char* target;  // below the sync folder
  bool oldExists;      // the target holds an old version before
};

constexpr DeliveryScenario kOverOld = {"a block download over an old version", true, "doc.txt", true};
constexpr DeliveryScenario kWholeOverOld = {"a whole-file download over an old version", false, "doc.txt", true};
constexpr DeliveryScenario kIntoNewFolder = {"a download into a folder made for it", true, "new/doc.txt", false};

class DeliveryPowerLossTest : public DownloadPowerLossTest {
 protected:
  void Prepare(const DeliveryScenario& s) {
    EmptySyncFolder();
    if (!s.oldExists) return;
    const std::string target = SyncFolder() + "/" + s.target;
    ASSERT_EQ(S_OK, EnsureDirectory(FolderOfPath(target), 0700));
    WriteFileBytes(target, m_old);
  }

  Protocol ProtocolOf(const DeliveryScenario& s) { return s.blocks ? Protocol::kBlocks : Protocol::kWhole; }

  // One run stopped after cut calls (-1: never) that lost power; "" when what the
  // next start finds is sound, else what is wrong. *ops receives the calls counted.
  std::string Check(const DeliveryScenario& s, const std::string& fileId, uint32_t seed, long cut,
                    long* ops = nullptr) {
    Prepare(s);
    const std::string target = SyncFolder() + "/" + s.target;
    Attempt first;
    {
      PowerLossFileEnv env(SyncFolder(), seed);
      first = DownloadAndDeliver(&env, ProtocolOf(s), fileId, target, &env, cut);
      env.DropUnsyncedData();
    }
    if (ops) *ops = first.ops;
    std::ostringstream out;
    const std::optional<std::string> found = Content(target);
    const std::optional<std::string> old = s.oldExists ? std::optional<std::string>(m_old) : std::nullopt;
    if (found != m_new && found != old)
      out << "the target holds " << (found ? std::to_string(found->size()) + " bytes" : "nothing")
          << ", neither the old nor the new; ";
    else if (first.hr == S_OK && found != m_new)
      out << "the delivery reported success but the old content came back; ";
    if (cut < 0 && first.hr != S_OK) out << "the download failed: " << std::hex << first.hr << std::dec << "; ";
    Attempt again = DownloadAndDeliver(FileEnv::Default(), ProtocolOf(s), fileId, target);
    if (again.hr != S_OK || Content(target) != m_new) out << "the next start does not deliver the file; ";
    return out.str();
  }

  std::string Seed(const DeliveryScenario& s) {
    return FsSeedFile(Service(), m_userId, "doc.txt", m_new, s.blocks ? "blocks" : "whole")["fileId"];
  }

  void CheckEveryCut(const DeliveryScenario& s) {
    const std::string fileId = Seed(s);
    long total = 0;
    ASSERT_EQ("", Check(s, fileId, 0, -1, &total)) << s.name << ", never stopped";
    ASSERT_GT(total, 10) << s.name;
    RecordProperty("calls", static_cast<int>(total));
    int runs = 0, failures = 0;
    std::string first;
    // Every call, each with a seed of its own: a run costs two downloads.
    for (long cut = 0; cut <= total; ++cut) {
      const uint32_t seed = 11 + static_cast<uint32_t>(cut);
      std::string wrong = Check(s, fileId, seed, cut);
      ++runs;
      if (wrong.empty()) continue;
      if (failures++ < 5) first += "\n  seed " + std::to_string(seed) + ", cut " + std::to_string(cut) + ": " + wrong;
    }
    EXPECT_EQ(0, failures) << s.name << ": " << failures << " of " << runs << " runs:" << first;
  }

  const std::string m_old = RandomBytes(9000, 1);
  const std::string m_new = RandomBytes(23000, 2);
};

TEST_F(DeliveryPowerLossTest, ABlockDownloadOverAnOldVersionLeavesTheOldOrTheNew) {
  CheckEveryCut(kOverOld);
}

TEST_F(DeliveryPowerLossTest, AWholeFileDownloadOverAnOldVersionLeavesTheOldOrTheNew) {
  CheckEveryCut(kWholeOverOld);
}

TEST_F(DeliveryPowerLossTest, ADownloadIntoAFolderMadeForItLeavesNothingOrTheNew) {
  CheckEveryCut(kIntoNewFolder);
}

// Runs that once lost a delivered file: the folder made for it was never recorded in
// the sync folder, so the file could vanish with it after the delivery succeeded.
TEST_F(DeliveryPowerLossTest, RunsThatOnceLostTheFileInItsNewFolderKeepIt) {
  struct Row {
    uint32_t seed;
    long cut;
  };
  const Row rows[] = {
      {0, -1},   // never stopped: the power loss comes after everything finished
      {11, 97},  // stopped after the delivery, as the client shut down
  };
  const std::string fileId = Seed(kIntoNewFolder);
  for (const Row& row : rows) EXPECT_EQ("", Check(kIntoNewFolder, fileId, row.seed, row.cut)) << "seed " << row.seed;
}

}  // namespace
