#include "core/encrypt/lzmafile.h"

#include "core/encrypt/fileio.h"
#include "core/encrypt/lzmacoder.h"

bool LzmaPackFile(const std::string& src, const std::string& dst, FileEnv* env) {
  PosixFile in(env), out(env);
  if (!encrypt_io::OpenSource(src, &in) || !encrypt_io::CreateDestination(dst, in, &out)) return false;
  // The header is written last, with the properties the encoder reports and the size
  // it actually read; a place holder keeps its room.
  uint8_t header[kLzmaHeaderSize] = {};
  if (!out.WriteFull(header, sizeof(header))) return false;
  uint64_t inBytes = 0, outBytes = 0;
  if (LzmaEncodeStream(in, out, header, &inBytes, &outBytes) != kSzOk) return false;
  for (int i = 0; i < 8; ++i) header[kLzmaPropsSize + i] = static_cast<uint8_t>(inBytes >> (8 * i));
  if (!out.WriteFullAt(header, sizeof(header), 0)) return false;
  return out.Close();
}

bool LzmaUnpackFile(const std::string& src, const std::string& dst, uint64_t maxOutput, FileEnv* env) {
  PosixFile in(env), out(env);
  if (!encrypt_io::OpenSource(src, &in) || !encrypt_io::CreateDestination(dst, in, &out)) return false;
  uint64_t written = 0;
  if (LzmaDecodeAlone(in, out, maxOutput, &written) != kSzOk) return false;
  return out.Close();
}
