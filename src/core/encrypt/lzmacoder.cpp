#include "core/encrypt/lzmacoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/posixfile.h"

extern "C" {
#include <lzma/LzmaDec.h>
#include <lzma/LzmaEnc.h>
}

static_assert(kSzOk == SZ_OK && kSzErrorData == SZ_ERROR_DATA && kSzErrorMem == SZ_ERROR_MEM &&
              kSzErrorUnsupported == SZ_ERROR_UNSUPPORTED && kSzErrorParam == SZ_ERROR_PARAM &&
              kSzErrorInputEof == SZ_ERROR_INPUT_EOF && kSzErrorRead == SZ_ERROR_READ &&
              kSzErrorWrite == SZ_ERROR_WRITE,
              "our result codes are the SDK's");
static_assert(kLzmaPropsSize == LZMA_PROPS_SIZE, "property size");

namespace {

thread_local size_t t_largestAllocation = 0;

void* SzAlloc(void*, size_t size) {
  t_largestAllocation = std::max(t_largestAllocation, size);
  return std::malloc(size);
}
void SzFree(void*, void* address) { std::free(address); }

ISzAlloc g_alloc = {SzAlloc, SzFree};

constexpr size_t kChunk = 1 << 16;

// File-backed SDK streams that count what passes and remember a failure.
struct InStream {
  ISeqInStream s;
  PosixFile* file;
  uint64_t count = 0;
  bool failed = false;
};

SRes InStreamRead(void* p, void* buf, size_t* size) {
  auto* self = static_cast<InStream*>(p);
  ssize_t n = self->file->ReadFull(buf, *size);
  if (n < 0) {
    self->failed = true;
    *size = 0;
    return SZ_ERROR_READ;
  }
  *size = static_cast<size_t>(n);
  self->count += static_cast<uint64_t>(n);
  return SZ_OK;
}

struct OutStream {
  ISeqOutStream s;
  PosixFile* file;
  uint64_t count = 0;
  bool failed = false;
};

size_t OutStreamWrite(void* p, const void* buf, size_t size) {
  auto* self = static_cast<OutStream*>(p);
  if (self->failed || !self->file->WriteFull(buf, size)) {
    self->failed = true;
    return 0;
  }
  self->count += size;
  return size;
}

struct EncoderDeleter {
  void operator()(void* enc) const { LzmaEnc_Destroy(enc, &g_alloc, &g_alloc); }
};

uint64_t ReadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

size_t LzmaLargestAllocation() { return t_largestAllocation; }
void LzmaResetLargestAllocation() { t_largestAllocation = 0; }

int LzmaEncodeStream(PosixFile& in, PosixFile& out, uint8_t props[kLzmaPropsSize], uint64_t* inBytes,
                     uint64_t* outBytes) {
  *inBytes = *outBytes = 0;
  std::unique_ptr<void, EncoderDeleter> enc(LzmaEnc_Create(&g_alloc));
  if (!enc) return SZ_ERROR_MEM;
  CLzmaEncProps encProps;
  LzmaEncProps_Init(&encProps);
  SRes res = LzmaEnc_SetProps(enc.get(), &encProps);
  if (res != SZ_OK) return res;
  SizeT propsSize = LZMA_PROPS_SIZE;
  res = LzmaEnc_WriteProperties(enc.get(), props, &propsSize);
  if (res != SZ_OK) return res;

  InStream inStream;
  inStream.s.Read = InStreamRead;
  inStream.file = &in;
  OutStream outStream;
  outStream.s.Write = OutStreamWrite;
  outStream.file = &out;
  res = LzmaEnc_Encode(enc.get(), &outStream.s, &inStream.s, nullptr, &g_alloc, &g_alloc);
  *inBytes = inStream.count;
  *outBytes = outStream.count;
  if (inStream.failed) return SZ_ERROR_READ;
  if (outStream.failed) return SZ_ERROR_WRITE;
  return res;
}

int LzmaDecodeAlone(PosixFile& in, PosixFile& out, uint64_t maxOutput, uint64_t* outBytes) {
  *outBytes = 0;
  uint8_t header[kLzmaHeaderSize];
  ssize_t got = in.ReadFull(header, sizeof(header));
  if (got < 0) return SZ_ERROR_READ;
  if (static_cast<size_t>(got) < sizeof(header)) return SZ_ERROR_INPUT_EOF;

  CLzmaProps props;
  if (LzmaProps_Decode(&props, header, LZMA_PROPS_SIZE) != SZ_OK) return SZ_ERROR_UNSUPPORTED;
  const uint64_t plainSize = ReadLe64(header + LZMA_PROPS_SIZE);
  const bool sizeKnown = plainSize != kLzmaUnknownSize;
  if (sizeKnown && plainSize > maxOutput) return SZ_ERROR_DATA;

  // A dictionary larger than the whole output is never needed; one smaller than the
  // header's never wraps (the output ends, or exceeds maxOutput, before it fills), so
  // every match distance stays inside it.
  uint64_t dicSize = props.dicSize;
  dicSize = std::min(dicSize, sizeKnown ? plainSize : maxOutput + 1);
  dicSize = std::max<uint64_t>(dicSize, 4096);
  if (dicSize > kLzmaMaxDecoderDictionary) return SZ_ERROR_UNSUPPORTED;
  const bool mayWrap = dicSize >= props.dicSize;

  CLzmaDec dec;
  LzmaDec_Construct(&dec);
  if (LzmaDec_AllocateProbs(&dec, header, LZMA_PROPS_SIZE, &g_alloc) != SZ_OK) return SZ_ERROR_MEM;
  struct Cleanup {
    CLzmaDec* dec;
    ~Cleanup() {
      LzmaDec_FreeProbs(dec, &g_alloc);
      SzFree(nullptr, dec->dic);
      dec->dic = nullptr;
    }
  } cleanup{&dec};
  dec.dic = static_cast<Byte*>(SzAlloc(nullptr, static_cast<size_t>(dicSize)));
  if (!dec.dic) return SZ_ERROR_MEM;
  dec.dicBufSize = static_cast<SizeT>(dicSize);
  LzmaDec_Init(&dec);

  std::vector<uint8_t> inBuf(kChunk);
  size_t inPos = 0, inSize = 0;
  bool inEnd = false;
  uint64_t total = 0;       // plain bytes decoded
  SizeT flushedPos = 0;     // dictionary bytes already written out

  auto flush = [&]() -> bool {
    if (dec.dicPos > flushedPos && !out.WriteFull(dec.dic + flushedPos, dec.dicPos - flushedPos)) return false;
    *outBytes += dec.dicPos - flushedPos;
    flushedPos = dec.dicPos;
    return true;
  };

  for (;;) {
    if (dec.dicPos == dec.dicBufSize) {
      if (!mayWrap) return SZ_ERROR_DATA;
      if (!flush()) return SZ_ERROR_WRITE;
      dec.dicPos = 0;
      flushedPos = 0;
    }
    if (inPos == inSize && !inEnd) {
      ssize_t n = in.ReadFull(inBuf.data(), inBuf.size());
      if (n < 0) return SZ_ERROR_READ;
      inPos = 0;
      inSize = static_cast<size_t>(n);
      inEnd = inSize < inBuf.size();
    }
    SizeT limit = dec.dicBufSize;
    ELzmaFinishMode mode = LZMA_FINISH_ANY;
    if (sizeKnown) {
      uint64_t rest = plainSize - total;
      if (rest <= dec.dicBufSize - dec.dicPos) {
        limit = dec.dicPos + static_cast<SizeT>(rest);
        mode = LZMA_FINISH_END;
      }
    }
    SizeT srcLen = inSize - inPos;
    const SizeT dicBefore = dec.dicPos;
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToDic(&dec, limit, inBuf.data() + inPos, &srcLen, mode, &status);
    inPos += srcLen;
    total += dec.dicPos - dicBefore;
    if (res != SZ_OK) return SZ_ERROR_DATA;
    if (!sizeKnown && total > maxOutput) return SZ_ERROR_DATA;

    if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
      if (sizeKnown && total != plainSize) return SZ_ERROR_DATA;
      break;
    }
    if (sizeKnown && total == plainSize && status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK) break;
    // Out of input with the stream not finished: truncated.
    const bool progress = srcLen > 0 || dec.dicPos != dicBefore;
    if (inPos == inSize && inEnd && (status == LZMA_STATUS_NEEDS_MORE_INPUT || !progress))
      return SZ_ERROR_INPUT_EOF;
  }
  if (!flush()) return SZ_ERROR_WRITE;
  return SZ_OK;
}
