#include "platform/filetimes.h"

bool GetFileTimes(const std::string& path, FileTimes* times, FileEnv* env) {
  struct statx stx {};
  if (!env->Statx(path, AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT, STATX_BTIME | STATX_MTIME | STATX_ATIME, &stx))
    return false;
  FileTimes t;
  t.modifySec = stx.stx_mtime.tv_sec;
  t.modifyNsec = stx.stx_mtime.tv_nsec;
  t.accessSec = stx.stx_atime.tv_sec;
  t.accessNsec = stx.stx_atime.tv_nsec;
  t.hasBirth = (stx.stx_mask & STATX_BTIME) != 0;
  t.birthSec = t.hasBirth ? stx.stx_btime.tv_sec : t.modifySec;
  t.birthNsec = t.hasBirth ? stx.stx_btime.tv_nsec : t.modifyNsec;
  *times = t;
  return true;
}
