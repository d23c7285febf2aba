// Day files made for reading: blocks of one instrument's records stored column by column, and
// the query executor that turns the blocks a plan selects into one ts_event-ordered run of
// records in one pass (blocks decoded in parallel, each day k-way merged into the output).
//
// A stored block is a zstd frame followed by the CRC-32C of that frame (4 bytes, little-endian).
// The frame holds the block's records transposed: for each column of the kind (columns.h, in
// order), then for each byte of the record no column covers, the column's values as planes
// of bytes (byte 0 of every value, then byte 1, ...). Values are coded by role: ts_event,
// prices and sequence numbers as the zigzag of the difference from the previous record's
// value (the first from 0), ts_recv as the zigzag of ts_recv - ts_event, everything else as it
// is. Differences wrap at the field's width, so every bit pattern round-trips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "records.h"
#include "result.h"
#include "scratch.h"
#include "threads.h"

namespace orx {

// The CRC-32C (Castagnoli) of `data`, continuing from `crc` (0 to start).
uint32_t crc32c(std::span<const uint8_t> data, uint32_t crc = 0);

// The stored form of `count` records of `kind` laid out back to back in `records`
// (count × layout_size(kind) bytes), compressed at zstd `level`.
Result<std::vector<uint8_t>> encode_block(RType kind, std::span<const uint8_t> records, int level);

// The stored forms of the runs records[cuts[i] .. cuts[i+1]) (in records), made on up to
// `threads` threads.
Result<std::vector<std::vector<uint8_t>>> encode_blocks(RType kind,
                                                        std::span<const uint8_t> records,
                                                        std::span<const size_t> cuts, int level,
                                                        unsigned threads);

// Decodes a stored block that holds exactly out.size() / layout_size(kind) records into `out`.
// Decode error when its checksum does not match, its frame does not hold exactly that many
// records, or it is not a stored block.
Status decode_block(RType kind, std::span<const uint8_t> stored, std::span<uint8_t> out);

// --- the query executor ---------------------------------------------------------------------

enum class Coding : uint8_t {
  Raw = 0,      // records as they are
  Zstd = 1,     // one zstd frame of records
  Columns = 2,  // a stored block (above)
};

// One block a plan selected. With `known`, the index's word on it is checked: it holds
// `count` records of `kind`, all of instrument `id`, whose ts_event values range exactly
// from `first` to `last`. Without, it is records already checked (Raw only; count is the
// number of records the bytes hold).
struct BlockSpec {
  std::span<const uint8_t> data;
  Coding coding = Coding::Raw;
  bool known = false;
  uint64_t count = 0;
  uint32_t id = 0;
  uint64_t first = 0;
  uint64_t last = 0;
};

// One day's blocks and the bounds of the records taken: start <= ts_event < end (every time
// from start on when end is UINT64_MAX).
struct DaySpec {
  std::vector<BlockSpec> blocks;
  uint64_t start = 0;
  uint64_t end = UINT64_MAX;
};

class QueryRun {
 public:
  // Days are split into parts merged on threads of their own when they take at least this
  // many records per part.
  static constexpr size_t kPartRecords = size_t{1} << 15;

  QueryRun(RType kind, std::vector<DaySpec> days) : kind_(kind), days_(std::move(days)) {}

  // Decodes and checks the blocks that are merged, on up to `threads` threads, puts each in
  // (ts_event, instrument_id) order (stable) where it is not, and cuts it to its day's
  // bounds. A day of one stored block that lies wholly inside the day's bounds is left to
  // merge(), which decodes it straight into the output. On a failure, failed_day() and
  // failed_block() say which block.
  Status decode(unsigned threads);

  // The records taken, in all and of one day (after decode()).
  size_t records() const;
  size_t records_of(size_t day) const { return counts_[day]; }
  size_t blocks_of(size_t day) const { return decoded_[day].size(); }
  // The records taken of one block.
  size_t records_of(size_t day, size_t block) const {
    const Decoded& x = decoded_[day][block];
    return x.hi - x.lo;
  }

  // Writes the records taken into `out` (records() × layout size bytes): the days in order,
  // each day's blocks merged by ts_event, equal times by instrument id, then by block order.
  // A large day is cut by time into parts of at least `part_records` records, merged on
  // threads of their own. Fails (naming the block, as decode() does) when a block left to it
  // does not decode.
  Status merge(uint8_t* out, unsigned threads, size_t part_records = kPartRecords);

  size_t failed_day() const { return failed_day_; }
  size_t failed_block() const { return failed_block_; }

 private:
  struct Decoded {
    ScratchBuffer own;  // the records, when decoding made them elsewhere than in the output
    const uint8_t* data = nullptr;
    size_t lo = 0, hi = 0;  // the records inside the day's bounds
  };

  // Decodes block `block` of `day` into `dst` (room for exactly its records) when given,
  // else into memory of its own (raw records are used where they are).
  Status decode_one(size_t day, size_t block, Decoded& out, uint8_t* dst = nullptr) const;
  // Whether `day` is decoded straight into the output by merge().
  bool direct(size_t day) const;
  // Runs `fn(i)` for jobs [0, n) on `threads`, keeping the failure of the first failing job
  // (which, by `where(i)`, names its day and block).
  Status run_jobs(size_t n, unsigned threads, const std::function<Status(size_t)>& fn,
                  const std::function<std::pair<size_t, size_t>(size_t)>& where);

  RType kind_;
  std::vector<DaySpec> days_;
  std::vector<std::vector<Decoded>> decoded_;
  std::vector<size_t> counts_;
  size_t failed_day_ = 0, failed_block_ = 0;
};

}  // namespace orx
