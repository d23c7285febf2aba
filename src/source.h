// Byte sources: where a streaming reader gets its bytes (memory, a file, a decompressor over
// another source). A source hands out bytes in order, into the caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "result.h"

namespace orx {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Reads up to `n` bytes into `dst`; returns how many, 0 only at the end of the source.
  // Errors are Io errors (a failed read) or Decode errors (corrupt compressed input).
  virtual Result<size_t> read(uint8_t* dst, size_t n) = 0;
};

}  // namespace orx
