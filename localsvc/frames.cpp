#include "frames.h"

#include <zlib.h>

namespace localsvc {
namespace {

void PutLe32(uint32_t v, char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t GetLe32(const char* in) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(static_cast<unsigned char>(in[i])) << (8 * i);
  return v;
}

uint32_t FrameCrc(std::string_view lengthBytes, std::string_view payload) {
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(lengthBytes.data()), static_cast<uInt>(lengthBytes.size()));
  // zlib takes at most 4 GiB at once; payloads are far below.
  crc = crc32(crc, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size()));
  return static_cast<uint32_t>(crc);
}

}  // namespace

std::string EncodeFrame(std::string_view payload) {
  std::string frame(kFrameHeaderSize, '\0');
  PutLe32(static_cast<uint32_t>(payload.size()), frame.data());
  PutLe32(FrameCrc(std::string_view(frame.data(), 4), payload), frame.data() + 4);
  frame.append(payload);
  return frame;
}

FrameScan ReadFrames(std::string_view bytes, const std::function<bool(std::string_view payload)>& fn) {
  FrameScan scan;
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < kFrameHeaderSize) break;
    const uint32_t length = GetLe32(bytes.data() + at);
    if (length > kLargestFramePayload || bytes.size() - at - kFrameHeaderSize < length) break;
    std::string_view payload = bytes.substr(at + kFrameHeaderSize, length);
    if (FrameCrc(bytes.substr(at, 4), payload) != GetLe32(bytes.data() + at + 4)) break;
    at += kFrameHeaderSize + length;
    ++scan.frames;
    scan.goodBytes = at;
    if (!fn(payload)) return scan;
  }
  scan.clean = at == bytes.size();
  return scan;
}

}  // namespace localsvc
