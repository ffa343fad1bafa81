// Cloud paths from any bytes: a path that parses has only valid elements, and its
// display form parses back to the same path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/cloudpath.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string typed(reinterpret_cast<const char*>(data), size);
  CloudPath path;
  std::string error;
  if (!CloudPath::Parse(typed, &path, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  for (const auto& element : path.Elements())
    if (!IsValidCloudName(element)) std::abort();
  CloudPath again;
  if (!CloudPath::Parse(path.Display(), &again) || !(again == path)) std::abort();
  if (DisplayFromEngineForm(path.EngineForm()) != path.Display()) std::abort();
  return 0;
}
