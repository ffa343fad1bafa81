#include "bounds.h"

#include <algorithm>
#include <limits>

namespace localsvc {

std::optional<int64_t> JsonWhole(const nlohmann::json& j) {
  constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
  if (j.is_number_unsigned()) return static_cast<int64_t>(std::min(j.get<uint64_t>(), kMax));
  if (j.is_number_integer()) return j.get<int64_t>();
  return std::nullopt;
}

bool JsonWholeAt(const nlohmann::json& in, const char* key, int64_t def, int64_t lo, int64_t hi, int64_t* out,
                 std::string* error) {
  std::optional<int64_t> v = in.contains(key) ? JsonWhole(in[key]) : def;
  if (v && *v >= lo && *v <= hi) {
    *out = *v;
    return true;
  }
  *error = std::string(key) + " is a whole number from " + std::to_string(lo);
  if (hi != std::numeric_limits<int64_t>::max()) *error += " to " + std::to_string(hi);
  return false;
}

}  // namespace localsvc
