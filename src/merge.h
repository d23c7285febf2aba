// Record streams ordered by ts_event: a k-way merge of inputs that are each sorted, and a
// sort of records held in memory (the runs of an external sort).
//
// Records are handled as their bytes: each starts with the common header, its first byte the
// record's length in 4-byte words (at least a header's), its ts_event at byte 8. Records of
// several kinds may follow one another; each is copied whole, as it came.
//
// Ties: records with equal ts_event come out in input order (the lower input index first),
// and within one input in the order they came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "result.h"

namespace orx {

class RecordMerge {
 public:
  static constexpr size_t kDone = SIZE_MAX;

  explicit RecordMerge(size_t inputs);

  size_t inputs() const { return inputs_.size(); }

  // Appends bytes of input `input`: whole records, except that a last record cut short waits
  // for the rest in the next push. Fails with a Decode error naming the record (its index in
  // the input, counted from 0, and its ts_event) when it comes before the record ahead of it,
  // or when a record's length is shorter than a header. A failed merge stays failed.
  Status push(size_t input, std::span<const uint8_t> bytes);
  // No more bytes come for `input`; fails when part of a record was left over.
  Status finish(size_t input);

  // Appends merged records to `out` for as long as every input that is not finished has a
  // record pending, adding their number to `records`. Returns the input that needs bytes
  // next, or kDone when every input is finished and all of their records are out.
  size_t pull(std::vector<uint8_t>& out, uint64_t& records);

  // Records of `input` checked so far.
  uint64_t count(size_t input) const { return inputs_[input].count; }

 private:
  struct Input {
    std::vector<uint8_t> buf;
    size_t pos = 0;    // the first record not yet merged
    size_t whole = 0;  // the end of the last whole record in buf
    uint64_t count = 0;
    uint64_t last_ts = 0;
    bool finished = false;
  };
  uint64_t head_ts(size_t i) const;
  bool before(size_t a, size_t b) const;  // the pending record of a goes before that of b
  void sift_down(size_t at);

  std::vector<Input> inputs_;
  std::vector<size_t> heap_;     // inputs with a record pending, the next to go on top
  std::vector<size_t> waiting_;  // inputs out of the heap: none pending
  bool failed_ = false;
};

// The whole records at the front of `records` (back to back) sorted by ts_event, equal ones
// in the order they came, appended to `out`; returns the bytes they took, which leaves out a
// last record cut short (for the next call, with the bytes that complete it). Fails with a
// Decode error when a record's length is shorter than a header.
Result<size_t> sort_records(std::span<const uint8_t> records, std::vector<uint8_t>& out);

}  // namespace orx
