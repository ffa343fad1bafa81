// Prints the digest of a file, for timing against openssl and the coreutils:
//   bench_hash sha1 [--portable] <file>   SHA-1 through GetFileSha1 (--portable: without
//                                         the CPU's SHA instructions)
//   bench_hash md5 <file>                 MD5, reading 1 MiB at a time
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/md5.h"
#include "common/sha1.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: bench_hash sha1 [--portable] <file>\n       bench_hash md5 <file>\n");
  return 2;
}

int FileMd5(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "bench_hash: cannot open %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  std::vector<uint8_t> buffer(size_t(1) << 20);
  RizirMD5::MD5 md5;
  for (;;) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "bench_hash: cannot read %s: %s\n", path, std::strerror(errno));
      close(fd);
      return 1;
    }
    if (n == 0) break;
    md5.Update(buffer.data(), static_cast<size_t>(n));
  }
  close(fd);
  uint8_t digest[16];
  md5.Final(digest);
  std::printf("%s\n", Md5ToHex(digest).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "sha1" && args[1] == "--portable") {
    Sha1SetEngine(Sha1Engine::kPortable);
    args.erase(args.begin() + 1);
  }
  if (args.size() != 2) return Usage();
  if (args[0] == "md5") return FileMd5(args[1].c_str());
  if (args[0] != "sha1") return Usage();
  std::string sha1;
  if (GetFileSha1(args[1], nullptr, &sha1) != S_OK) {
    std::fprintf(stderr, "bench_hash: cannot hash %s\n", args[1].c_str());
    return 1;
  }
  std::printf("%s\n", sha1.c_str());
  return 0;
}
