// Metadata: the value that heads every record stream, and the bytes of its body.
//
//   offset 0   u8   schema code (1..9)
//   offset 1   u8   dataset code (1..3)
//   offset 2   u64  start
//   offset 10  u64  end
//   offset 18  the symbol map's serialized form (symbols.h): u32 count, then the entries
//
// All integers little-endian; no magic, version or checksum. The body's length is carried by
// the stream framing (encode.h, decode.h), not by the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "enums.h"
#include "result.h"
#include "symbols.h"

namespace orx {

struct Metadata {
  Schema schema = Schema::Mbp1;
  Dataset dataset = Dataset::Futures;
  uint64_t start = 0;
  uint64_t end = 0;
  SymbolMap mappings;

  bool operator==(const Metadata&) const = default;

  // Bytes of the body: 18 + mappings.serialized_size().
  size_t serialized_size() const { return kFixedSize + mappings.serialized_size(); }

  // The body. Fails only when the symbol map cannot be written (SymbolMap::check_writable).
  Result<std::vector<uint8_t>> serialize() const;

  // Appends the body to `out`; requires what serialize() checks (see SymbolMap::append_to).
  void append_to(std::vector<uint8_t>& out) const;

  // Reads a body (the framing already removed). Checks, in this order, each failing with an
  // InvalidData I/O error of the quoted text:
  //   fewer than 18 bytes                  "Insufficient data to deserialize metadata"
  //   schema byte outside 1..9             "Invalid schema value"
  //   dataset byte outside 1..3            "Invalid schema value"
  //   symbol map truncated or not UTF-8    "Failed to deserialize symbol mappings"
  // Nothing past the body is read; bytes after the last symbol entry are ignored.
  static Result<Metadata> deserialize(std::string_view body);

  static constexpr size_t kFixedSize = 18;
};

// The single-line structured form:
//   Metadata { schema: Mbp1, dataset: Futures, start: 1, end: 2, mappings: SymbolMap { map:
//   {7: "X"} } }
// with variant names for schema and dataset and tickers quoted and escaped (\t \r \n \0 \\ \"
// and \u{hex} for other characters that are not printable).
std::string to_string(const Metadata& metadata);

// `text` between double quotes, escaped as in the metadata text form.
std::string quote_escaped(std::string_view text);

}  // namespace orx
