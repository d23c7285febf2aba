// Byte sources: where a streaming reader gets its bytes (memory, a file, a decompressor over
// another source). A source hands out bytes in order, into the caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "result.h"

namespace orx {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Reads up to `n` bytes into `dst`; returns how many, 0 only at the end of the source.
  // Errors are Io errors (a failed read) or Decode errors (corrupt compressed input).
  virtual Result<size_t> read(uint8_t* dst, size_t n) = 0;
};

// The bytes of a span, which must outlive the source.
class SpanSource : public ByteSource {
 public:
  explicit SpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  Result<size_t> read(uint8_t* dst, size_t n) override {
    const size_t k = n < bytes_.size() - pos_ ? n : bytes_.size() - pos_;
    if (k) std::memcpy(dst, bytes_.data() + pos_, k);
    pos_ += k;
    return k;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace orx
