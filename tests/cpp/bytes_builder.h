// Hand-built little-endian byte strings for the stream tests, written field by field so that
// expectations do not come from the code under test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace orx::test {

struct Bytes {
  std::vector<uint8_t> v;

  Bytes& u8(uint8_t x) {
    v.push_back(x);
    return *this;
  }
  Bytes& le(uint64_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    return *this;
  }
  Bytes& u16(uint16_t x) { return le(x, 2); }
  Bytes& u32(uint32_t x) { return le(x, 4); }
  Bytes& u64(uint64_t x) { return le(x, 8); }
  Bytes& raw(std::string_view s) {
    v.insert(v.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& raw(std::initializer_list<uint8_t> bytes) {
    v.insert(v.end(), bytes);
    return *this;
  }
  Bytes& raw(const std::vector<uint8_t>& bytes) {
    v.insert(v.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Bytes& zeros(size_t n) {
    v.insert(v.end(), n, 0);
    return *this;
  }
  // A symbol entry: id, byte length, bytes.
  Bytes& entry(uint32_t id, std::string_view ticker) {
    return u32(id).u32(static_cast<uint32_t>(ticker.size())).raw(ticker);
  }
  // A record of `length` words and kind `rtype`, its other bytes `fill`.
  Bytes& record(uint8_t length, uint8_t rtype, uint8_t fill = 0) {
    u8(length);
    if (length > 0) u8(rtype);
    for (size_t i = 2; i < static_cast<size_t>(length) * 4; ++i) v.push_back(fill);
    return *this;
  }

  std::string_view view() const {
    return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
  }
};

}  // namespace orx::test
