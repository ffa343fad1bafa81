// Zip packages (thumbnails): stored entries, CRC-32 by zlib, readable by any zip
// reader. An entry may claim an unpacked size other than its data's, for tests of
// readers that must not trust the claim; a claim of 4 GiB or more is written with ZIP64
// size fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace localsvc {

struct ZipEntry {
  std::string name;
  std::string data;
  std::optional<uint64_t> claimedSize;  // the unpacked size written; the data's size when unset
};

std::string MakeZip(const std::vector<ZipEntry>& entries);

}  // namespace localsvc
