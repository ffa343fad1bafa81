#include "common/gzipbuffer.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "common/log.h"

namespace {

// 15 window bits plus 32: zlib detects a zlib or a gzip header by itself.
constexpr int kWindowBits = 47;

}  // namespace

GzipBuffer::GzipBuffer(size_t size)
    // A window of no bytes could never make progress.
    : m_size(std::max<size_t>(size, 1)), m_buffer(new uint8_t[m_size]) {}

GzipBuffer::~GzipBuffer() { delete[] m_buffer; }

bool GzipBuffer::Inflate(const void* input, size_t length, std::string* out, size_t maxOutput) {
  out->clear();
  z_stream zs{};
  if (inflateInit2(&zs, kWindowBits) != Z_OK) {
    OSTREL_LOG(kLogWarn, "GzipBuffer::Inflate: inflateInit2 failed: %s", zs.msg ? zs.msg : "");
    return false;
  }

  const Bytef* next = static_cast<const Bytef*>(input);
  size_t left = length;
  bool ended = false;
  const char* failure = nullptr;
  for (;;) {
    if (zs.avail_in == 0 && left > 0) {  // zlib counts input in 32 bits
      uInt chunk = static_cast<uInt>(std::min<size_t>(left, UINT_MAX));
      zs.next_in = const_cast<Bytef*>(next);
      zs.avail_in = chunk;
      next += chunk;
      left -= chunk;
    }
    zs.next_out = m_buffer;
    zs.avail_out = static_cast<uInt>(std::min<size_t>(m_size, UINT_MAX));
    const uInt window = zs.avail_out;
    int rc = inflate(&zs, Z_SYNC_FLUSH);
    size_t produced = window - zs.avail_out;
    if (produced > maxOutput - out->size()) {
      out->append(reinterpret_cast<const char*>(m_buffer), maxOutput - out->size());
      failure = "output over the cap";
      break;
    }
    out->append(reinterpret_cast<const char*>(m_buffer), produced);
    if (rc == Z_STREAM_END) {
      ended = true;
      break;
    }
    if (rc == Z_OK) continue;  // zlib made progress
    // Z_BUF_ERROR: no progress was possible. Input is only ever empty here when all of
    // it was given, so the stream stopped before its end.
    failure = rc == Z_BUF_ERROR ? "stream truncated" : (zs.msg ? zs.msg : "inflate failed");
    break;
  }
  inflateEnd(&zs);
  if (!ended) {
    OSTREL_LOG(kLogWarn, "GzipBuffer::Inflate: %s (input %zu bytes, output %zu bytes)", failure,
               length, out->size());
  }
  return ended;
}
