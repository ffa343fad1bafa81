// Raw LZMA files from arbitrary bytes: never out of bounds, never more output than
// the cap, never a dictionary the header alone asks for.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>

#include "fuzzfiles.h"
#include "core/encrypt/lzmacoder.h"
#include "core/encrypt/lzmafile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint64_t kCap = 1 << 20;
  const std::string in = fuzzfiles::WriteInput(data, size);
  const std::string out = fuzzfiles::Path("output");
  LzmaResetLargestAllocation();
  if (LzmaUnpackFile(in, out, kCap)) {
    struct stat st;
    if (stat(out.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) > kCap) abort();
  }
  // The dictionary stays within the cap; the probability tables of the largest
  // lc + lp take about 6 MiB.
  if (LzmaLargestAllocation() > (8u << 20)) abort();
  return 0;
}
