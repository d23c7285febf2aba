// Writing record streams. A stream is
//
//   u16 metadata body length M (little-endian), the M-byte metadata body (metadata.h),
//   then records back to back, each exactly `length * 4` bytes, `length` being its first byte.
//
// There is no magic, version, count, end marker, checksum or padding; the stream ends where
// the bytes end. The metadata part and the record part can be written separately and
// concatenated.
//
// The writer only emits records its reader reads back as what they are: a record whose header
// `length` is not its layout's size in 4-byte words, or whose `rtype` is not its layout's
// kind, is refused with an Encode error before the output is touched, and so is a metadata
// body over 65,535 bytes (its length would not fit the 16-bit field).
//
// Pieces usable on their own (the Python encoders type-check their input first and then copy
// each record's layout straight into their buffer):
//
//   Status encode_metadata(std::vector<uint8_t>& out, const Metadata&);
//   Status check_record(const T& record);
//   void append_record(std::vector<uint8_t>& out, const uint8_t* record);
//
// and RecordEncoder, which wraps a reference to a buffer owned by its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metadata.h"
#include "record_ref.h"
#include "result.h"

namespace orx {

// The largest metadata body the 16-bit length field can announce.
inline constexpr size_t kMaxMetadataBody = 0xFFFF;

// Appends the 2-byte body length and the body. A body over kMaxMetadataBody bytes fails with
// Encode "metadata body of {n} bytes exceeds the limit of 65535 bytes", leaving `out`
// unchanged.
Status encode_metadata(std::vector<uint8_t>& out, const Metadata& metadata);

// Whether the record at `record`, a layout of `layout_size` bytes for records of kind
// `rtype`, can be written: its header must say exactly that. Encode errors, in this order,
// with n = length * 4:
//   length below 6           "record with length {n} shorter than header"
//   n above layout_size      "record with length {n} longer than its {layout_size}-byte layout"
//   n below layout_size      "record with length {n} shorter than its {layout_size}-byte layout"
//   another rtype byte       "record with rtype {byte} in a layout of rtype {rtype}"
Status check_record(const uint8_t* record, size_t layout_size, RType rtype);

template <class T>
Status check_record(const T& record) {
  return check_record(record_bytes(record), sizeof(T), T::kRType);
}

// Appends the first `length * 4` bytes at `record`. Requires check_record() to have passed
// for the record's layout (so those bytes are the layout).
inline void append_record(std::vector<uint8_t>& out, const uint8_t* record) {
  out.insert(out.end(), record, record + static_cast<size_t>(record[0]) * 4);
}

// Writes into a buffer owned by the caller; keeps no state between calls.
class RecordEncoder {
 public:
  explicit RecordEncoder(std::vector<uint8_t>& out) : out_(out) {}

  Status encode_metadata(const Metadata& metadata) { return orx::encode_metadata(out_, metadata); }

  // Appends every record in order. Every record is checked first: on failure nothing is
  // appended. An empty span appends nothing and succeeds.
  template <class T>
  Status encode_records(std::span<const T> records) {
    size_t total = 0;
    for (const T& r : records) {
      ORX_CHECK(check_record(r));
      total += static_cast<size_t>(r.hd.length) * 4;
    }
    out_.reserve(out_.size() + total);
    for (const T& r : records) append_record(out_, record_bytes(r));
    return {};
  }

  template <class T>
  Status encode_record(const T& record) {
    return encode_records(std::span<const T>(&record, 1));
  }

 private:
  std::vector<uint8_t>& out_;
};

}  // namespace orx
