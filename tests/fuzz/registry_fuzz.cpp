// The registry store's text form: any bytes parse without a crash, and what was read
// is written back and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/registrydata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CRegistryData parsed;
  parsed.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  std::string text = parsed.Serialize();
  CRegistryData again;
  if (again.Parse(text) != 0 || again.Serialize() != text || again.ValueCount() != parsed.ValueCount())
    __builtin_trap();
  return 0;
}
