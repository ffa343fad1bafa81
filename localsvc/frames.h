// The frame format of the service's state files (statedir.h). A file is a sequence of
// frames, each
//
//   length   4 bytes, little-endian: the size of the payload
//   crc      4 bytes, little-endian: CRC-32 (zlib's) of the length bytes and the payload
//   payload  length bytes
//
// A frame counts only when it is whole and its CRC matches: a reader takes the frames up
// to the first one that is cut short or damaged and reports where the good ones end,
// so that a write torn by a crash is dropped as a whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace localsvc {

inline constexpr size_t kFrameHeaderSize = 8;
inline constexpr size_t kLargestFramePayload = size_t(1) << 30;

// One frame around payload, which holds at most kLargestFramePayload bytes.
std::string EncodeFrame(std::string_view payload);

// What a reader found in a file of frames.
struct FrameScan {
  uint64_t frames = 0;     // whole frames read
  uint64_t goodBytes = 0;  // where the last whole frame ends
  bool clean = true;       // false: bytes follow goodBytes that are no whole frame
};

// Hands the payload of every whole frame of bytes to fn, in order, up to the first one
// that is not whole; stops early when fn returns false (scan->clean is then true and
// goodBytes ends at that frame).
FrameScan ReadFrames(std::string_view bytes, const std::function<bool(std::string_view payload)>& fn);

}  // namespace localsvc
