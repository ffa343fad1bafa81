// The one mapping of failed local file calls to the local result codes.
#pragma once

#include "common/resultcodes.h"

// S_OK when ok; else by the errno of the failed call:
//   ENOENT, ENOTDIR                                  E_CV_LOCAL_NOT_EXIST
//   EACCES, EPERM, EBUSY, ETXTBSY, EROFS, EXDEV,
//   EISDIR, EAGAIN (a lease or lock in the way)      E_CV_LOCAL_LOCKED
//   EEXIST, ENOTEMPTY                                E_CV_LOCAL_EXISTS
//   any other, 0 too (a failed call is never a success)
//                                                    E_FAIL, after an assertion line and
//                                                    "CLocalStorage::_DealFileSystemReturn(): Unknow Return: %d"
HRESULT DealFileSystemReturn(bool ok, int err);
