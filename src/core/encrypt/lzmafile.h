// Raw LZMA files (the LZMA-Alone layout): 5 property bytes (5D 00 00 00 01), the plain
// size as a little-endian 64-bit number (all ones: unknown, the stream then ends with
// an end marker), then the stream. Paths are UTF-8. Neither routine logs; a partly
// written destination is left for the caller to remove. Files go through env.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fileenv.h"

// The largest plain output LzmaUnpackFile allows unless told otherwise: the encrypted
// formats cannot describe a file of 4 GiB.
inline constexpr uint64_t kLzmaDefaultOutputCap = 0xFFFFFFFFull;

// Packs src into dst (created anew, 0600 when new). The size field holds the bytes
// actually packed. False when a file cannot be opened, dst is src, or a read, write
// or seek fails.
bool LzmaPackFile(const std::string& src, const std::string& dst, FileEnv* env = FileEnv::Default());

// Unpacks the raw LZMA file src into dst (created anew). False for a header shorter
// than 13 bytes, unacceptable properties, a damaged or truncated stream, a stream
// that does not end exactly at the stated size, more than maxOutput plain bytes, a
// dictionary the decoder will not allocate, dst being src, or an I/O failure.
bool LzmaUnpackFile(const std::string& src, const std::string& dst, uint64_t maxOutput = kLzmaDefaultOutputCap,
                    FileEnv* env = FileEnv::Default());
