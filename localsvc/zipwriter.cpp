#include "zipwriter.h"

#include <zlib.h>

namespace localsvc {
namespace {

constexpr uint16_t kDosDate = (0 << 9) | (1 << 5) | 1;  // 1980-01-01
constexpr uint32_t kAll32 = 0xFFFFFFFFu;

void Put16(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string* out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

void Put64(std::string* out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v));
  Put32(out, static_cast<uint32_t>(v >> 32));
}

}  // namespace

std::string MakeZip(const std::vector<ZipEntry>& entries) {
  std::string out, directory;
  for (const auto& e : entries) {
    uint64_t size = e.claimedSize.value_or(e.data.size());
    bool zip64 = size >= kAll32;
    uint32_t crc = static_cast<uint32_t>(
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
    std::string extra;
    if (zip64) {
      Put16(&extra, 0x0001);
      Put16(&extra, 16);
      Put64(&extra, size);
      Put64(&extra, e.data.size());
    }
    // The fields local header and directory entry share, from "version needed".
    std::string common;
    Put16(&common, zip64 ? 45 : 20);
    Put16(&common, 0x0800);  // names in UTF-8
    Put16(&common, 0);       // stored
    Put16(&common, 0);       // time
    Put16(&common, kDosDate);
    Put32(&common, crc);
    Put32(&common, zip64 ? kAll32 : static_cast<uint32_t>(e.data.size()));
    Put32(&common, zip64 ? kAll32 : static_cast<uint32_t>(size));
    Put16(&common, static_cast<uint32_t>(e.name.size()));
    Put16(&common, static_cast<uint32_t>(extra.size()));

    uint32_t offset = static_cast<uint32_t>(out.size());
    Put32(&out, 0x04034b50);
    out += common + e.name + extra + e.data;

    Put32(&directory, 0x02014b50);
    Put16(&directory, zip64 ? 45 : 20);  // made by
    directory += common;
    Put16(&directory, 0);  // comment length
    Put16(&directory, 0);  // disk
    Put16(&directory, 0);  // internal attributes
    Put32(&directory, 0);  // external attributes
    Put32(&directory, offset);
    directory += e.name + extra;
  }
  uint32_t dirOffset = static_cast<uint32_t>(out.size());
  out += directory;
  Put32(&out, 0x06054b50);
  Put16(&out, 0);
  Put16(&out, 0);
  Put16(&out, static_cast<uint32_t>(entries.size()));
  Put16(&out, static_cast<uint32_t>(entries.size()));
  Put32(&out, static_cast<uint32_t>(directory.size()));
  Put32(&out, dirOffset);
  Put16(&out, 0);
  return out;
}

}  // namespace localsvc
