#include "core/localstorage/filesystemreturn.h"

#include <cerrno>

#include "common/checks.h"

HRESULT DealFileSystemReturn(bool ok, int err) {
  if (ok) return S_OK;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return E_CV_LOCAL_NOT_EXIST;
    case EACCES:
    case EPERM:
    case EBUSY:
    case ETXTBSY:
    case EROFS:
    case EXDEV:
    case EISDIR:
    case EAGAIN:
      return E_CV_LOCAL_LOCKED;
    case EEXIST:
    case ENOTEMPTY:
      return E_CV_LOCAL_EXISTS;
    default:
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
      OSTREL_LOG(kLogError, "CLocalStorage::_DealFileSystemReturn(): Unknow Return: %d", err);
      return E_FAIL;
  }
}
