// The most bytes a stored (encoded) file can take for its plain size, whoever wrote
// it: what a download of it is bounded by. The bounds hold for our encoder and for
// other writers' files that our decoder reads, packed or not; they are generous, never
// tight: a download that passes one is a service sending more than the file can be.
#pragma once

#include <cstdint>

// An RTV0 block of plainSize plain bytes: the 64-byte header, then the payload (the
// plain bytes, or their raw LZMA file) enciphered in whole 16-byte blocks.
uint64_t MaxRtv0FileSize(uint64_t plainSize);

// A FileHeader file of plainSize plain bytes: the 47-byte header, then the payload
// (the plain bytes, or a 7z archive of them) enciphered in whole 16-byte blocks.
uint64_t MaxFileHeaderFileSize(uint64_t plainSize);
