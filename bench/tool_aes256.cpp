// Enciphers a file with ZAES in electronic-codebook mode (no format, no padding: the
// size must be a multiple of 16), as `openssl enc -aes-256-ecb -nopad -K` does.
//
//   bench_aes256 <64 hex digits> <input> <output>
#include <fcntl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/encrypt/zaes.h"
#include "platform/posixfile.h"

int main(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]).size() != 64) {
    std::fprintf(stderr, "usage: %s <64 hex digits> <input> <output>\n", argv[0]);
    return 2;
  }
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(std::stoi(std::string(argv[1] + 2 * i, 2), nullptr, 16));
  ZAES aes;
  aes.SetKey(key, sizeof(key));
  PosixFile in, out;
  if (!in.Open(argv[2], O_RDONLY) || !out.Open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0600)) {
    std::perror("open");
    return 1;
  }
  std::vector<uint8_t> buf(1 << 20);
  for (;;) {
    ssize_t n = in.ReadFull(buf.data(), buf.size());
    if (n < 0 || n % 16 != 0) {
      std::fprintf(stderr, "read failed or not whole blocks\n");
      return 1;
    }
    if (n == 0) break;
    aes.EncryptBlocks(buf.data(), buf.data(), static_cast<size_t>(n) / 16);
    if (!out.WriteFull(buf.data(), static_cast<size_t>(n))) {
      std::perror("write");
      return 1;
    }
  }
  return out.Close() ? 0 : 1;
}
