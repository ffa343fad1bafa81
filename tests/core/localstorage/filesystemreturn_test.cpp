// The one mapping of a failed local file call's errno to the local result codes: every
// errno it knows, each to its code, and an unknown one to a logged E_FAIL.
#include "core/localstorage/filesystemreturn.h"

#include <cerrno>
#include <cstring>

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class FileSystemReturnTest : public OstrelTest {};

TEST_F(FileSystemReturnTest, EveryKnownErrnoMapsToItsLocalCode) {
  struct Case {
    int err;
    HRESULT hr;
  };
  const Case cases[] = {
      // Nothing at the path, or a file where a folder was needed on the way.
      {ENOENT, E_CV_LOCAL_NOT_EXIST},
      {ENOTDIR, E_CV_LOCAL_NOT_EXIST},
      // Something holds the item or the file system refuses to change it.
      {EACCES, E_CV_LOCAL_LOCKED},
      {EPERM, E_CV_LOCAL_LOCKED},
      {EBUSY, E_CV_LOCAL_LOCKED},
      {ETXTBSY, E_CV_LOCAL_LOCKED},
      {EROFS, E_CV_LOCAL_LOCKED},
      {EXDEV, E_CV_LOCAL_LOCKED},
      {EISDIR, E_CV_LOCAL_LOCKED},
      {EAGAIN, E_CV_LOCAL_LOCKED},
      // Something is already in the target's place.
      {EEXIST, E_CV_LOCAL_EXISTS},
      {ENOTEMPTY, E_CV_LOCAL_EXISTS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::strerror(c.err));
    LogCapture log;
    EXPECT_EQ(DealFileSystemReturn(false, c.err), c.hr);
    EXPECT_EQ(log.Failures(), 0) << "a known errno is not logged: " << log.All();
  }
}

// A failed call is never a success, whatever errno says; what the table does not know
// is logged with its number.
TEST_F(FileSystemReturnTest, SuccessAndUnknownErrnos) {
  LogCapture log;
  EXPECT_EQ(DealFileSystemReturn(true, 0), S_OK);
  EXPECT_EQ(DealFileSystemReturn(true, EACCES), S_OK) << "errno is not looked at after a success";
  EXPECT_EQ(log.Failures(), 0) << log.All();
  for (int err : {0, EIO, ENOSPC, EINVAL, ENAMETOOLONG, ELOOP, 99999}) {
    SCOPED_TRACE(err);
    log.Clear();
    EXPECT_EQ(DealFileSystemReturn(false, err), E_FAIL);
    EXPECT_TRUE(log.Contains("*ASSERT*: 0")) << log.All();
    EXPECT_TRUE(log.Contains("CLocalStorage::_DealFileSystemReturn(): Unknow Return: " + std::to_string(err)))
        << log.All();
  }
}

}  // namespace
