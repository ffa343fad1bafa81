// The blocks a block download keeps for its next attempt, through power losses: a
// two-block download stopped after every call in turn, the unsynced data dropped. A
// kept block is then whole or absent, never torn nor empty; the download, started
// again, fetches again exactly the blocks whose kept copy is missing or does not hold
// what its blockId names, reuses the others, and delivers the file byte for byte.
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "common/sha1.h"
#include "core/remotestorage/blockid.h"
#include "downloadpowerloss.h"

namespace {

class ResumeBlocksPowerLossTest : public DownloadPowerLossTest {
 protected:
  void SetUp() override {
    DownloadPowerLossTest::SetUp();
    nlohmann::json seeded = FsSeedFile(Service(), m_userId, "big.bin", m_plain, "blocks");
    m_fileId = seeded["fileId"];
    m_blockIds = seeded["blockIds"].get<std::vector<std::string>>();
    ASSERT_EQ(2u, m_blockIds.size());
  }

  // The indices (from 1) of the blocks whose kept copy, in any resume folder, holds what
  // its blockId names; *torn counts the kept copies that do not.
  std::set<int> IntactKeptBlocks(int* torn) {
    std::set<int> out;
    *torn = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(SyncFolder() + "/.tmp", ec)) {
      const std::string name = e.path().filename();
      if (!e.is_regular_file() || !e.path().parent_path().filename().string().starts_with("resume-")) continue;
      for (size_t i = 0; i < m_blockIds.size(); ++i) {
        if (name != m_blockIds[i] + ".done") continue;
        const std::string bytes = ReadFileBytes(e.path());
        if (static_cast<int64_t>(bytes.size()) == BlockSizeFromBlockId(m_blockIds[i]) &&
            Sha1Hex(bytes.data(), bytes.size()) == Sha1OfBlockId(m_blockIds[i]))
          out.insert(static_cast<int>(i + 1));
        else
          ++*torn;
      }
    }
    return out;
  }

  // The block indices the service was asked for since its last reset.
  std::set<int> FetchedBlocks() {
    static const std::regex kIndex("\"index\"\\s*:\\s*\"?(\\d+)");
    std::set<int> out;
    for (const RecordedRequest& r : Service().Requests("/blk/downloadBlock")) {
      std::smatch m;
      if (std::regex_search(r.body, m, kIndex)) out.insert(std::stoi(m[1]));
    }
    return out;
  }

  // One attempt stopped after cut calls (-1: never) that lost power, then the next
  // start's download; "" when sound, else what is wrong. *ops receives the calls counted.
  std::string Check(uint32_t seed, long cut, long* ops = nullptr) {
    EmptySyncFolder();
    const std::string target = SyncFolder() + "/big.bin";
    {
      PowerLossFileEnv env(SyncFolder(), seed);
      Attempt first = DownloadAndDeliver(&env, Protocol::kBlocks, m_fileId, target, &env, cut);
      if (ops) *ops = first.ops;
      env.DropUnsyncedData();
    }
    std::ostringstream out;
    const std::optional<std::string> found = Content(target);
    if (found && found != m_plain) out << "a torn file was delivered: " << found->size() << " bytes; ";
    int torn = 0;
    const std::set<int> intact = IntactKeptBlocks(&torn);
    if (torn) out << torn << " kept blocks torn or empty; ";
    Service().Reset();
    Attempt again = DownloadAndDeliver(FileEnv::Default(), Protocol::kBlocks, m_fileId, target);
    if (again.hr != S_OK) out << "the resumed download fails: " << std::hex << again.hr << std::dec << "; ";
    if (Content(target) != m_plain) out << "the resumed download does not deliver the file; ";
    std::set<int> expected;
    for (int i = 1; i <= static_cast<int>(m_blockIds.size()); ++i)
      if (!intact.count(i)) expected.insert(i);
    if (FetchedBlocks() != expected)
      out << "fetched " << ::testing::PrintToString(FetchedBlocks()) << ", kept intact "
          << ::testing::PrintToString(intact) << "; ";
    return out.str();
  }

  const std::string m_plain = RandomBytes((size_t(4) << 20) + 3000, 3);
  std::string m_fileId;
  std::vector<std::string> m_blockIds;
};

TEST_F(ResumeBlocksPowerLossTest, AResumedDownloadReusesOnlyIntactKeptBlocksAfterALossAtAnyCall) {
  long total = 0;
  ASSERT_EQ("", Check(0, -1, &total)) << "never stopped";
  ASSERT_GT(total, 10);
  RecordProperty("calls", static_cast<int>(total));
  int runs = 0, failures = 0;
  std::string first;
  // Every other call (the last one too), each with a seed of its own: a run costs two
  // downloads of the whole file.
  std::vector<long> cuts;
  for (long cut = 0; cut < total; cut += 2) cuts.push_back(cut);
  cuts.push_back(total);
  for (long cut : cuts) {
    const uint32_t seed = 500 + static_cast<uint32_t>(cut);
    std::string wrong = Check(seed, cut);
    ++runs;
    if (wrong.empty()) continue;
    if (failures++ < 5) first += "\n  seed " + std::to_string(seed) + ", cut " + std::to_string(cut) + ": " + wrong;
  }
  EXPECT_EQ(0, failures) << failures << " of " << runs << " runs (" << total << " calls):" << first;
}

}  // namespace
