// Aggregates of tick data, computed in one pass over the records: bars (open, high, low, close,
// volume and traded notional) of the trades of each instrument in fixed intervals, and the
// last record of each instrument at sample times. The tables they make are small, and tables
// made from consecutive pieces of the same records combine into the table of the whole (the
// Python layer does that), so the work can be spread over many processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "records.h"
#include "result.h"

namespace orx {

// Records of one kind, `stride` bytes apart (at least the kind's layout size).
struct RecordTable {
  RType kind = RType::Mbp1;
  const uint8_t* data = nullptr;
  size_t count = 0;
  size_t stride = 0;
};

// The trades of one instrument in one interval, a row per (instrument, interval). Prices are
// fixed-point with nine decimal places, as in the records.
struct BarTable {
  std::vector<uint32_t> instrument_id;
  std::vector<uint64_t> start;  // the interval's first nanosecond
  std::vector<int64_t> open, high, low, close;
  std::vector<uint64_t> open_ts, close_ts;  // ts_event of the opening and the closing trade
  std::vector<uint64_t> volume;             // the sum of the trades' sizes
  std::vector<uint64_t> trades;             // how many trades
  // The sum of price x size of the trades: a 128-bit two's complement integer in two halves.
  std::vector<int64_t> notional_hi;
  std::vector<uint64_t> notional_lo;

  size_t size() const { return instrument_id.size(); }
};

// The bars of the trades (records whose action is 'T') among `records` (MBP-1 or trades), in
// intervals of `interval` nanoseconds counted from the epoch. Open is the trade with the
// smallest ts_event and close the one with the largest; between trades of equal times the
// first in record order opens and the last closes. Rows are ordered by instrument id, then
// interval. Fails for records of another kind or an interval of 0.
Result<BarTable> trade_bars(const RecordTable& records, uint64_t interval);

// The table of the rows of `rows` (tables of consecutive pieces of the same records, one after
// the other in record order), rows of one instrument and interval merged as one pass over all
// the records would have made them.
Result<BarTable> combine_bars(const BarTable& rows);

// One sample's record: the last record of `instrument_id` with ts_event at or before
// times[sample] (among records of equal times, the last in record order).
struct LastAt {
  uint32_t sample;
  uint32_t instrument_id;
  uint64_t record;  // its index in the table
};

// For every sample time (ascending) and every instrument that has a record at or before it,
// that instrument's last record; ordered by sample, then instrument id. Fails when the times
// are not ascending or are more than 2^32 - 1.
Result<std::vector<LastAt>> last_at(const RecordTable& records, std::span<const uint64_t> times);

}  // namespace orx
