// Either encrypted-file format from arbitrary bytes: never reads or writes out of
// bounds, and a success never writes more than the cipher text holds.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>

#include "fuzzfiles.h"
#include "core/encrypt/zaesfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kKey[32] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a,
                                   0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                                   0x16, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f};
  const std::string in = fuzzfiles::WriteInput(data, size);
  const std::string out = fuzzfiles::Path("output");
  int format = -1;
  if (ZAesFile::DecryptFile(kKey, 32, in, out, &format)) {
    struct stat st;
    if (stat(out.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) > size) abort();
    if (format < 0 || format > 2) abort();
  }
  return 0;
}
