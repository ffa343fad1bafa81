// The check of what a folder upload left out: every entry below the folder is either
// queued, named with the reason the upload refuses it, or named as not queued, also
// when the folder cannot be read.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "app/folderuploadcheck.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

class FolderUploadCheckTest : public OstrelTest {};

TEST_F(FolderUploadCheckTest, EachEntryIsQueuedOrNamedWithItsReason) {
  struct Row {
    const char* what;
    std::function<void(const std::string& folder, FaultFileEnv* env)> make;  // besides "a.txt"
    const char* refused;   // the entry named, relative; "" for none
    const char* why;
    const char* unqueued;  // a regular file no transfer was queued for; "" for none
  } rows[] = {
      {"a queued file only", [](const std::string&, FaultFileEnv*) {}, "", "", ""},
      {"a file with no transfer", [](const std::string& f, FaultFileEnv*) { WriteFileBytes(f + "/b.txt", "b"); }, "",
       "", "b.txt"},
      {"a folder's file with no transfer",
       [](const std::string& f, FaultFileEnv*) {
         ASSERT_EQ(0, mkdir((f + "/sub").c_str(), 0700));
         WriteFileBytes(f + "/sub/c.txt", "c");
       },
       "", "", "sub/c.txt"},
      {"a name with a control character",
       [](const std::string& f, FaultFileEnv*) { WriteFileBytes(f + "/tab\there", "t"); }, "tab\there",
       "its name cannot be a cloud name", ""},
      {"a refused folder is not walked",
       [](const std::string& f, FaultFileEnv*) {
         ASSERT_EQ(0, mkdir((f + "/x\\y").c_str(), 0700));
         WriteFileBytes(f + "/x\\y/inner.txt", "i");
       },
       "x\\y", "its name cannot be a cloud name", ""},
      {"a file exactly at the limit is taken",
       [](const std::string& f, FaultFileEnv*) {
         WriteFileBytes(f + "/limit.bin", "");
         ASSERT_EQ(0, truncate((f + "/limit.bin").c_str(), 314572800));
       },
       "", "", "limit.bin"},
      {"a folder that cannot be read",
       [](const std::string& f, FaultFileEnv* env) {
         ASSERT_EQ(0, mkdir((f + "/locked").c_str(), 0700));
         WriteFileBytes(f + "/locked/d.txt", "d");
         env->Fail(FileOp::kList, "/locked", EACCES);
       },
       "locked", "its entries could not all be read: Permission denied", ""},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string folder = PathIn("up-" + std::to_string(++n));
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    WriteFileBytes(folder + "/a.txt", "a");
    FaultFileEnv env;
    ASSERT_NO_FATAL_FAILURE(row.make(folder, &env));
    const FolderUploadCheck check = CheckFolderUpload(&env, folder, "\\Up", {"\\Up\\a.txt"});
    EXPECT_EQ(1u, check.queued);
    if (*row.refused) {
      ASSERT_EQ(1u, check.refused.size());
      EXPECT_EQ(folder + "/" + row.refused, check.refused[0].localPath);
      EXPECT_EQ(0u, check.refused[0].why.find(row.why)) << check.refused[0].why;
    } else {
      EXPECT_TRUE(check.refused.empty()) << check.refused[0].localPath << ": " << check.refused[0].why;
    }
    if (*row.unqueued) {
      ASSERT_EQ(1u, check.unqueued.size());
      EXPECT_EQ(folder + "/" + row.unqueued, check.unqueued[0]);
    } else {
      EXPECT_TRUE(check.unqueued.empty()) << check.unqueued[0];
    }
  }
}

}  // namespace
