// The LZMA encoder and decoder of the LZMA SDK behind a small C++ interface. This is
// the only unit that sees the SDK's own headers.
#pragma once

#include <cstddef>
#include <cstdint>

class PosixFile;

// Result codes, with the values of the LZMA SDK's codes.
enum LzmaResult : int {
  kSzOk = 0,
  kSzErrorData = 1,         // the stream is damaged, truncated or longer than allowed
  kSzErrorMem = 2,          // the coder could not be created or its memory allocated
  kSzErrorUnsupported = 4,  // properties the decoder does not accept
  kSzErrorParam = 5,
  kSzErrorInputEof = 6,     // the input ended before the stream did
  kSzErrorRead = 8,         // reading the input failed
  kSzErrorWrite = 9,        // writing, seeking or closing the output failed
};

inline constexpr size_t kLzmaPropsSize = 5;
// The LZMA-Alone header: the properties and the plain size (all ones: unknown).
inline constexpr size_t kLzmaHeaderSize = kLzmaPropsSize + 8;
inline constexpr uint64_t kLzmaUnknownSize = ~uint64_t{0};
// The dictionary the encoder uses: the SDK's default properties (level 5, lc 3, lp 0,
// pb 2, 16 MiB, no end marker), stated as 5D 00 00 00 01.
inline constexpr uint32_t kLzmaDictionarySize = 1u << 24;
// The decoder never allocates a dictionary larger than this, whatever a header says.
inline constexpr uint32_t kLzmaMaxDecoderDictionary = 64u << 20;

// Encodes everything `in` yields, from its current position to its end, into `out`
// with the default properties, as one LZMA stream without end marker and without
// header. props receives the 5 property bytes; inBytes and outBytes the bytes
// actually read and written. Returns kSzOk or the first failure (a failed read is
// kSzErrorRead, a failed write kSzErrorWrite).
int LzmaEncodeStream(PosixFile& in, PosixFile& out, uint8_t props[kLzmaPropsSize], uint64_t* inBytes,
                     uint64_t* outBytes);

// Decodes an LZMA-Alone file: reads the 13-byte header from `in`, then the stream,
// and writes the plain bytes to `out`. With a known size exactly that many bytes must
// come out and the stream must end there (with or without end marker); with the size
// all ones the stream must end with its end marker. More than maxOutput plain bytes
// fail with kSzErrorData before they are written. The dictionary allocated is at
// most the size the header states, the known plain size (or maxOutput + 1) and
// kLzmaMaxDecoderDictionary; a stream that would need more fails with
// kSzErrorUnsupported. *outBytes gets the bytes written.
int LzmaDecodeAlone(PosixFile& in, PosixFile& out, uint64_t maxOutput, uint64_t* outBytes);

// Test seam: the largest single allocation the coders of the calling thread asked
// for since the last reset.
size_t LzmaLargestAllocation();
void LzmaResetLargestAllocation();
