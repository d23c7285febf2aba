// The columns of each record kind: one description, next to the record layouts, from which
// every columnar form is derived (DataFrames, numpy dtypes, Arrow schemas, the writers' column
// readers). Columns are listed in the key order of the record's dictionary form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "records.h"

namespace orx {

// What a column holds beyond its integer layout.
enum class Role : uint8_t {
  Int,        // a plain integer field
  Price,      // fixed-point, nine decimal places
  Letter,     // action or side: an ASCII letter in a signed byte
  EventTime,  // ts_event: nanoseconds since the epoch, UTC; the frames' text timestamp
  Time,       // other nanosecond timestamps (ts_recv)
};

struct Column {
  const char* name;
  Role role;
  uint16_t offset;  // in the record
  uint8_t width;    // bytes: 1, 2, 4 or 8
  bool is_signed;
};

// The columns of records of `kind` (Mbp1, Trades, Bbo or Ohlcv); empty for other kinds.
std::span<const Column> columns_of(RType kind);

// The layout size of records of `kind`; 0 for kinds without a layout.
size_t layout_size(RType kind);

// The field as a 64-bit pattern: sign-extended for signed fields, zero-extended otherwise.
inline uint64_t read_field(const uint8_t* record, const Column& c) {
  const uint8_t* p = record + c.offset;
  switch (c.width) {
    case 1:
      return c.is_signed ? static_cast<uint64_t>(static_cast<int8_t>(*p)) : *p;
    case 2: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return c.is_signed ? static_cast<uint64_t>(static_cast<int16_t>(v)) : v;
    }
    case 4: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      return c.is_signed ? static_cast<uint64_t>(static_cast<int32_t>(v)) : v;
    }
    default: {
      uint64_t v;
      std::memcpy(&v, p, 8);
      return v;
    }
  }
}

}  // namespace orx
