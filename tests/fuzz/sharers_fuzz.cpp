// The sharers text read from a data-base file that anything may have written: parsing
// never fails, and what it reads is written and read back exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/localstorage/sharers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<ShareEntry> entries;
  ParseSharers(text, &entries);
  std::vector<ShareEntry> again;
  ParseSharers(SerializeSharers(entries), &again);
  if (again != entries) std::abort();
  return 0;
}
