// The bounds of what one request may ask of the service, so that no request can end or
// wedge it. Every number a request or a control call sets is a whole number: a wait is
// cut to kLongestWait (StopFlag::WaitFor does so for every wait), a size to
// kLargestSize, and a negative wait or size is refused with 400. Only content the
// service would have to take whole from elsewhere (a file it reads) is refused beyond
// kLargestSize, since it cannot be cut.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace localsvc {

inline constexpr std::chrono::milliseconds kLongestWait = std::chrono::hours(1);
inline constexpr int64_t kLargestSize = int64_t(64) << 20;
// Seeded versions stay far enough below the 64-bit range that counting on never
// overflows.
inline constexpr int64_t kLargestVersion = int64_t(1) << 62;
// A request body is taken whole into memory: the largest file the client uploads
// (300 MiB) encoded, with room for its framing.
inline constexpr size_t kLargestBody = size_t(320) << 20;

// The whole number j holds: a JSON integer, one above the 64-bit range reading as the
// largest; nullopt for anything else (fractions included).
std::optional<int64_t> JsonWhole(const nlohmann::json& j);

// The whole number at key of the object in (def when it is absent). False, with error
// naming key and the bounds, unless it is a whole number from lo to hi.
bool JsonWholeAt(const nlohmann::json& in, const char* key, int64_t def, int64_t lo, int64_t hi, int64_t* out,
                 std::string* error);

}  // namespace localsvc
