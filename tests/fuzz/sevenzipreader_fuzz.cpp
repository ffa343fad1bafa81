// The 7z reader on arbitrary bytes: never out of bounds, never more than the cap,
// and only files that begin with the signature are archives. For long runs give
// -malloc_limit_mb=6000: the library zero-allocates up to about 5 GB (never touched)
// for a header that claims 10^8 entries.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzzfiles.h"
#include "core/encrypt/sevenzipreader.h"
#include "core/encrypt/sevenzipwriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint64_t kCap = 1 << 20;
  const std::string in = fuzzfiles::WriteInput(data, size);
  const std::string out = fuzzfiles::Path("output");
  const bool signature = size >= 6 && std::memcmp(data, k7zSignature, 6) == 0;
  uint64_t entrySize = 0;
  if (Get7zEntryInfo(in, &entrySize) && !signature) abort();
  if (Unpack7zArchive(out, in, kCap)) {
    struct stat st;
    if (!signature || stat(out.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) > kCap) abort();
  }
  return 0;
}
