// The upload's form-field text and the URL masking for the log, on arbitrary text:
// no out-of-bounds access, decoded values never longer than their escaped form, and a
// masked URL keeps everything before its query.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/remotestorage/transport/curlhelper.h"
#include "core/remotestorage/transport/formfields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (const auto& [name, value] : SplitKeyValues(text)) {
    if (name.size() + value.size() >= text.size() + 1) std::abort();
    if (DecodeFormValue(value).size() > value.size()) std::abort();
  }
  std::string masked = MaskUrlForLog(text);
  size_t q = text.find('?');
  if (masked.compare(0, q == std::string::npos ? masked.size() : q + 1, text, 0,
                     q == std::string::npos ? text.size() : q + 1) != 0)
    std::abort();
  return 0;
}
