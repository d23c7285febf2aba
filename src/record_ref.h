// RecordRef: a bounds-checked, non-owning view of one encoded record. RecordEnum: an owning
// value of one record of a known kind, converted from a RecordRef.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <variant>

#include "records.h"
#include "result.h"

namespace orx {

class RecordRef {
 public:
  // `data` holds at least `data[0] * 4` bytes (the record); `size` is that many or more.
  RecordRef(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  const uint8_t* data() const { return data_; }
  RecordHeader header() const {
    RecordHeader h;
    std::memcpy(&h, data_, sizeof h);
    return h;
  }
  uint8_t length() const { return data_[0]; }
  // length * 4 bytes.
  size_t record_size() const { return static_cast<size_t>(data_[0]) * 4; }
  uint8_t rtype_byte() const { return data_[1]; }
  // Conversion "Unknown RType value: '{byte}'" for bytes outside 1..5.
  Result<RType> rtype() const { return rtype_from_byte(rtype_byte()); }

  // A copy of the record as layout T, when its rtype is T's and it is at least T's size.
  template <class T>
  std::optional<T> get() const {
    if (rtype_byte() != static_cast<uint8_t>(T::kRType) || record_size() < sizeof(T) ||
        size_ < sizeof(T))
      return std::nullopt;
    T value;
    std::memcpy(&value, data_, sizeof(T));
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// One record of one of the kinds this system reads. (The trade-with-quote kind has no layout
// of its own and is never produced: its records fail conversion.)
using RecordEnum = std::variant<Mbp1Msg, OhlcvMsg, TradeMsg, BboMsg>;

// Which layout a record converts to, checked without copying it: the rtype must be a known
// kind with a layout, and `length` must cover that layout. Errors:
//   rtype 4                  InvalidRecordType "Tbbo"
//   length below the layout  InvalidRecordType with the kind's variant name ("Mbp1", ...)
//   unknown rtype            Conversion "Unknown RType value: '{rtype}'"
Result<RType> convertible_kind(const RecordRef& ref);

// Calls visit(ref, kind) for the whole records that convert from the start of the `size` bytes
// at `data`, in order, and stops before anything else: a length below the header, a record cut
// short, one that does not convert. Returns how many bytes follow the records visited (0: the
// bytes are records and nothing else). The kind is looked up again only when the type or length
// byte changes, so a run of records of one kind is walked with independent loads.
template <class F>
size_t for_each_whole_record(const uint8_t* data, size_t size, F&& visit) {
  size_t rest = size;
  uint8_t length = 0, type = 0;
  RType kind = RType::Mbp1;
  while (rest >= 2) {
    const size_t bytes = static_cast<size_t>(data[0]) * 4;
    if (data[0] < kMinRecordLength || bytes > rest) break;
    if (data[0] != length || data[1] != type) {
      const Result<RType> k = convertible_kind(RecordRef(data, bytes));
      if (!k) break;
      length = data[0];
      type = data[1];
      kind = *k;
    }
    visit(RecordRef(data, bytes), kind);
    data += bytes;
    rest -= bytes;
  }
  return rest;
}

// Copies the record's layout bytes into a RecordEnum; bytes past the layout are ignored.
Result<RecordEnum> to_record_enum(const RecordRef& ref);

// The encoded bytes of a record value: its layout, whose first `hd.length * 4` bytes a stream
// carries.
template <class T>
const uint8_t* record_bytes(const T& record) {
  return reinterpret_cast<const uint8_t*>(&record);
}

}  // namespace orx
