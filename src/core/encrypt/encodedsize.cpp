#include "core/encrypt/encodedsize.h"

#include "core/encrypt/zaesfile.h"

namespace {

// Packing data that does not compress makes it larger, since LZMA spends a little
// more than eight bits on a literal byte: about 1.5 % with the encoders in use (ours,
// liblzma's, 7-Zip's), and an end marker or a stream's flush adds a few bytes. The
// bound allows a third of the plain size and 128 bytes more, the room the LZMA SDK
// gives its one-call encoder for the worst case; the other methods a 7z writer may
// choose (LZMA2, PPMd, BZip2, Deflate, a plain copy) grow less.
uint64_t PackedStreamBound(uint64_t plainSize) { return plainSize + plainSize / 3 + 128; }

// The raw LZMA file's header: 5 property bytes and the 64-bit plain size.
constexpr uint64_t kLzmaFileHeader = 13;

// A 7z archive around the packed stream: the 32-byte start header and the end header,
// which names the one entry (UTF-16), its times, attributes and CRC. Ours takes a few
// hundred bytes; other writers add properties or pack the header. 64 KiB is far more
// than a header of one entry takes.
constexpr uint64_t k7zFraming = 32 + (uint64_t(64) << 10);

uint64_t WholeCipherBlocks(uint64_t payload) { return (payload + 15) / 16 * 16; }

}  // namespace

uint64_t MaxRtv0FileSize(uint64_t plainSize) {
  // The packed payload's bound is above the plain payload for every size.
  return ZAesFile::kRtv0HeaderSize + WholeCipherBlocks(kLzmaFileHeader + PackedStreamBound(plainSize));
}

uint64_t MaxFileHeaderFileSize(uint64_t plainSize) {
  return ZAesFile::kFileHeaderSize + WholeCipherBlocks(k7zFraming + PackedStreamBound(plainSize));
}
