#include "core/encrypt/zipfileenv.h"

#include <fcntl.h>

#include "platform/posixfile.h"

namespace {

// One open archive file and whether a read of it failed.
struct ZipStream {
  explicit ZipStream(FileEnv* env) : file(env) {}
  PosixFile file;
  bool failed = false;
};

voidpf ZipOpen(voidpf opaque, const void* filename, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ || !filename) return nullptr;
  auto* stream = new ZipStream(static_cast<FileEnv*>(opaque));
  if (!stream->file.Open(static_cast<const char*>(filename), O_RDONLY)) {
    delete stream;
    return nullptr;
  }
  return stream;
}

uLong ZipRead(voidpf, voidpf s, void* buffer, uLong size) {
  auto* stream = static_cast<ZipStream*>(s);
  ssize_t n = stream->file.ReadFull(buffer, size);
  if (n < 0) {
    stream->failed = true;
    return 0;
  }
  return static_cast<uLong>(n);
}

uLong ZipWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZipTell(voidpf, voidpf s) {
  off_t at = static_cast<ZipStream*>(s)->file.Seek(0, SEEK_CUR);
  return at < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(at);
}

long ZipSeek(voidpf, voidpf s, ZPOS64_T offset, int origin) {
  int whence = origin == ZLIB_FILEFUNC_SEEK_CUR ? SEEK_CUR : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END : SEEK_SET;
  return static_cast<ZipStream*>(s)->file.Seek(static_cast<off_t>(offset), whence) < 0 ? -1 : 0;
}

int ZipClose(voidpf, voidpf s) {
  auto* stream = static_cast<ZipStream*>(s);
  bool closed = stream->file.Close();
  delete stream;
  return closed ? 0 : -1;
}

int ZipError(voidpf, voidpf s) { return static_cast<ZipStream*>(s)->failed ? 1 : 0; }

}  // namespace

void FillZipFileFuncs(zlib_filefunc64_def* funcs, FileEnv* env) {
  funcs->zopen64_file = ZipOpen;
  funcs->zread_file = ZipRead;
  funcs->zwrite_file = ZipWrite;
  funcs->ztell64_file = ZipTell;
  funcs->zseek64_file = ZipSeek;
  funcs->zclose_file = ZipClose;
  funcs->zerror_file = ZipError;
  funcs->opaque = env;
}
