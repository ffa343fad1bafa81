// SHA-1 (FIPS 180). Uses the CPU's SHA instructions where present, else portable code;
// the choice is made once at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/resultcodes.h"
#include "platform/fileenv.h"

struct SHA1_CTX {
  uint32_t state[5];
  uint64_t count;  // bytes hashed so far
  uint8_t buffer[64];
};

void Sha1Init(SHA1_CTX* ctx);
void Sha1Update(SHA1_CTX* ctx, const void* data, size_t length);
// Writes the 20-byte digest; the context must be initialised again before reuse.
void Sha1Final(SHA1_CTX* ctx, uint8_t digest[20]);

// 40 lower-case hex digits of a digest.
std::string Sha1ToHex(const uint8_t digest[20]);
// SHA-1 text of a byte string.
std::string Sha1Hex(const void* data, size_t length);

// Which block function Sha1Update uses. kAuto takes the CPU's SHA instructions when
// the CPU has them (checked once), else the portable code; kPortable always takes the
// portable code (tests and benchmarks of that path). Affects every thread at once;
// both give the same digests, so switching between two updates is harmless.
enum class Sha1Engine { kAuto, kPortable };
void Sha1SetEngine(Sha1Engine engine);
// True when Sha1Update now runs on the CPU's SHA instructions.
bool Sha1UsesShaInstructions();

// The SHA-1 text of a file, read in 64 KiB blocks, yielding after each block and asking
// cancel (may be empty; false stops with E_FAIL and no digest). 0, E_INVALIDARG for
// something that is not a regular file (a FIFO is never waited on), or E_FAIL; *sha1
// is emptied first and holds the digest only on success. The file is read through env.
HRESULT GetFileSha1(const std::string& path, const std::function<bool()>& cancel, std::string* sha1,
                    FileEnv* env = FileEnv::Default());
