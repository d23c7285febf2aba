// SymbolMap: the table from instrument id to ticker that heads every record stream, and its
// serialized form (the symbol-map part of the metadata body):
//
//   offset 0   u32  entry count N
//   then N entries, back to back:  u32 instrument id, u32 ticker length L, L bytes of UTF-8
//
// All integers little-endian. Entries are written in ascending instrument id order, so equal
// maps always serialize to the same bytes (readers rebuild a map and never rely on the order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "result.h"

namespace orx {

struct SymbolMap {
  std::unordered_map<uint32_t, std::string> map;

  bool operator==(const SymbolMap&) const = default;

  // Bytes of the serialized form: 4 + the sum over entries of 8 + ticker length.
  size_t serialized_size() const;

  // Encode error when the entry count or a ticker's length does not fit its 32-bit field.
  Status check_writable() const;

  // The serialized form. Fails with an Encode error when the entry count or a ticker's length
  // does not fit its 32-bit field (nothing is truncated).
  Result<std::vector<uint8_t>> serialize() const;

  // Appends the serialized form to `out`. Requires check_writable(); a serialized_size()
  // that fits the stream's 16-bit length field (as the stream encoder checks) implies it.
  void append_to(std::vector<uint8_t>& out) const;

  // Reads a serialized map from `bytes` starting at `position` and, on success, advances
  // `position` past the last entry. Fails with an InvalidData I/O error, leaving `position`
  // unchanged, when the count or an entry runs past the end of `bytes` (nothing beyond it is
  // read) or a ticker is not valid UTF-8. The room reserved up front is bounded by what the
  // remaining bytes can hold (8 bytes per entry at least). A repeated id keeps the later
  // ticker.
  static Result<SymbolMap> deserialize(std::string_view bytes, size_t& position);

  // The ticker of `id`, or null when the map lacks it. Valid until the map changes.
  const std::string* find(uint32_t id) const {
    const auto it = map.find(id);
    return it == map.end() ? nullptr : &it->second;
  }

  // A copy of the ticker of `id`; CustomError "instrument id {id} is not in the symbol map"
  // when the map lacks it.
  Result<std::string> get_ticker(uint32_t id) const;
};

// The text form `{7: "X", 8: "Y"}`: entries in map order, tickers between double quotes,
// unescaped; an empty map gives "{}".
std::string to_string(const SymbolMap& symbols);

}  // namespace orx
