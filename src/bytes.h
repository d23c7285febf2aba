// Little-endian integer access and ByteReader, a bounds-checked forward reader over bytes in
// memory. Every byte format of the system is little-endian, as is the machine (records.h
// asserts it), so the loads and stores are plain copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "result.h"

namespace orx {

// Reads a T stored little-endian at `p` (no alignment needed).
template <class T>
requires std::is_integral_v<T> T load_le(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Appends `v` little-endian to `out`.
template <class T>
requires std::is_integral_v<T>
void append_le(std::vector<uint8_t>& out, T v) {
  const size_t at = out.size();
  out.resize(at + sizeof v);
  std::memcpy(out.data() + at, &v, sizeof v);
}

// Reads strictly forward through bytes owned by the caller, which must outlive the reader.
class ByteReader {
 public:
  explicit ByteReader(std::string_view data)
      : data_(reinterpret_cast<const uint8_t*>(data.data())), size_(data.size()) {}

  size_t position() const { return pos_; }
  size_t size() const { return size_; }
  size_t remaining() const { return size_ - pos_; }
  bool at_end() const { return pos_ == size_; }
  // The byte at the position; only valid when !at_end().
  const uint8_t* current() const { return data_ + pos_; }

  // Exactly `n` bytes. When fewer remain the position moves to the end and the read fails
  // with UnexpectedEof "failed to fill whole buffer".
  Result<std::string_view> read_exact(size_t n) {
    if (n > remaining()) {
      pos_ = size_;
      return Error(IoError::unexpected_eof());
    }
    const std::string_view out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

  // Moves the position forward by `n` bytes, at most to the end.
  void skip(size_t n) { pos_ += n < remaining() ? n : remaining(); }

  // Moves the position back to `pos`; a `pos` ahead of the position changes nothing.
  void back_to(size_t pos) { pos_ = pos < pos_ ? pos : pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace orx
