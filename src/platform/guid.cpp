#include "platform/guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>

namespace {

// Fills the buffer from the kernel's random source; never returns less.
void FillRandom(uint8_t* out, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::getrandom(out + done, count - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  if (done == count) return;
  // getrandom unavailable (very old kernel or a sandbox): the random device instead.
  std::random_device device;
  while (done < count) {
    unsigned v = device();
    for (int i = 0; i < 4 && done < count; ++i, v >>= 8) out[done++] = static_cast<uint8_t>(v);
  }
}

}  // namespace

std::string NewGuidString() {
  uint8_t b[16];
  FillRandom(b, sizeof(b));
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // variant 1 (RFC 4122)
  char text[39];
  std::snprintf(text, sizeof(text), "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return std::string(text, 38);
}
