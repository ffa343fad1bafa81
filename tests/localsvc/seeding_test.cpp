// Seeding one folder with 10,000 items one request at a time, as the benchmarks do
// (bench/compare/seed_folder.py), in memory and with the state kept in a folder. How
// long it takes is measured and reported (the test property "seconds"), not asserted:
// each item costs the same whatever the folder holds. What is asserted is that the
// folder then holds them all and that names still clash, ignoring case, wherever they
// come from (seeding, the API, a rename, a delete and its recovery), also after a
// restart.
#include <chrono>
#include <cstdio>

#include "svcapi.h"

namespace {

using SeedingTest = OstrelTest;

TEST_F(SeedingTest, TenThousandItemsIntoOneFolder) {
  constexpr int kItems = 10000;
  const struct {
    const char* label;
    bool keep;
  } rows[] = {{"in memory", false}, {"kept in a folder", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    LocalService service;
    const std::string state = PathIn(std::string("state-") + (row.keep ? "kept" : "memory"));
    ASSERT_TRUE(service.Start(row.keep ? std::vector<std::string>{"--state", state} : std::vector<std::string>{}));
    const auto start = std::chrono::steady_clock::now();
    std::string folder;
    ASSERT_EQ(0, RunCommand("python3 " OSTREL_SOURCE_DIR "/bench/compare/seed_folder.py " +
                                std::to_string(service.Port()) + " bench pw-bench bench01 " + std::to_string(kItems),
                            &folder));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("seeding %d items %s: %.2f s (%.0f us per item)\n", kItems, row.label, seconds,
                seconds * 1e6 / kItems);
    RecordProperty(std::string("seconds ") + row.label, std::to_string(seconds));
    folder = folder.substr(0, folder.find('\n'));

    const nlohmann::json bench = FsControl(service, "/test/fs/token", {{"userId", "bench01"}});
    const nlohmann::json who = {{"token", bench["token"]}};
    auto api = [&](const std::string& path, const Params& params) { return CallApi(service, path, params, "2", who); };
    if (row.keep) {
      ASSERT_TRUE(service.Restart());
    }
    EXPECT_EQ(static_cast<size_t>(kItems), api("/xsvr/dir/", {{"fileId", folder}}).items.size());
    // The seeder names items "report-<k> O'Hara.pdf" and, every tenth, "folder <k>".
    HttpReply clash = service.Control("POST", "/test/fs/item",
                                      nlohmann::json{{"userId", "bench01"}, {"parentId", folder},
                                                     {"name", "REPORT-000001 o'hara.PDF"}}.dump(),
                                      {400});
    EXPECT_EQ(400, clash.status);
    Reply taken = api("/xsvr/newFolder/", {{"parentId", folder}, {"name", "FOLDER 000010"}});
    EXPECT_EQ("targetExist", taken.word);
    const std::string tenth = taken.values["fileId"];
    const std::string first =
        api("/xsvr/newFolder/", {{"parentId", folder}, {"name", "Report-000001 O'Hara.pdf"}}).values["fileId"];
    EXPECT_EQ("targetExist", api("/xsvr/rename/", {{"fileId", tenth}, {"name", "report-000002 o'hara.pdf"}}).word);
    EXPECT_EQ("ok", api("/xsvr/rename/", {{"fileId", tenth}, {"name", "Folder 000010"}}).word) << "its own name";
    EXPECT_EQ("ok", api("/xsvr/delete/", {{"fileId", first}}).word);
    EXPECT_EQ("ok", api("/xsvr/newFolder/", {{"parentId", folder}, {"name", "report-000001 O'Hara.pdf"}}).word)
        << "a deleted item's name is free";
    EXPECT_EQ("targetExist", api("/xsvr/recover/", {{"fileId", first}, {"parentId", folder}}).word)
        << "its name was taken meanwhile";
    EXPECT_EQ(0, service.Stop());
  }
}

}  // namespace
