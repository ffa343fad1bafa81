// Inflation of gzip or zlib wrapped data (the wrapper is detected).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class GzipBuffer {
 public:
  // size: the scratch window used per inflate step.
  explicit GzipBuffer(size_t size);
  ~GzipBuffer();
  GzipBuffer(const GzipBuffer&) = delete;
  GzipBuffer& operator=(const GzipBuffer&) = delete;

  // Inflates input into *out (emptied first). True only when the stream ended
  // properly; a truncated or damaged stream, or output past maxOutput bytes, is false
  // (what was inflated stays in *out). Bytes after the end of the stream are ignored.
  bool Inflate(const void* input, size_t length, std::string* out,
               size_t maxOutput = kDefaultMaxOutput);

  static constexpr size_t kDefaultMaxOutput = size_t(256) << 20;

 private:
  size_t m_size;
  uint8_t* m_buffer;
};
