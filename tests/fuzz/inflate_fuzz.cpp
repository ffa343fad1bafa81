// Inflation of arbitrary bytes: never reads or writes out of bounds, never runs away,
// and never returns more than its cap. The first byte picks the window size.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/gzipbuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  constexpr size_t kCap = size_t(1) << 20;
  GzipBuffer buffer(size_t(1) + data[0] * 64);
  std::string out;
  buffer.Inflate(data + 1, size - 1, &out, kCap);
  if (out.size() > kCap) std::abort();
  return 0;
}
