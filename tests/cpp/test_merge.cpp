// The k-way merge by ts_event and the sort of records: output against the order worked out
// by hand, ties by input, records cut between pushes, and the input the merge waits on.
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "merge.h"
#include "records.h"

using namespace orx;

namespace {

using Bytes = std::vector<uint8_t>;

// A trade with this ts_event; its instrument id tells it apart.
Bytes trade(uint64_t ts, uint32_t id) {
  TradeMsg t;
  t.hd.ts_event = ts;
  t.hd.instrument_id = id;
  Bytes out(sizeof t);
  std::memcpy(out.data(), &t, sizeof t);
  return out;
}

Bytes join(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<uint32_t> ids_of(const Bytes& records) {
  std::vector<uint32_t> ids;
  for (size_t at = 0; at < records.size(); at += size_t{records[at]} * 4) {
    uint32_t id;
    std::memcpy(&id, records.data() + at + 4, 4);
    ids.push_back(id);
  }
  return ids;
}

}  // namespace

TEST(merge_orders_by_ts_then_input) {
  RecordMerge m(3);
  Bytes out;
  uint64_t n = 0;
  CHECK_EQ(m.pull(out, n), size_t{0});  // nothing pending: the first input is asked first
  CHECK(m.push(0, join({trade(1, 10), trade(5, 11), trade(5, 12)})).ok());
  CHECK_EQ(m.pull(out, n), size_t{1});
  CHECK(m.push(1, join({trade(5, 20), trade(6, 21)})).ok());
  CHECK_EQ(m.pull(out, n), size_t{2});
  CHECK(m.push(2, join({trade(0, 30)})).ok());
  // 30 (ts 0) goes; then input 2 is empty and is asked for more.
  CHECK_EQ(m.pull(out, n), size_t{2});
  CHECK(ids_of(out) == (std::vector<uint32_t>{30}) && n == 1);
  CHECK(m.finish(2).ok());
  // Input 0 runs out after its ties at 5, which go before input 1's record at 5.
  CHECK_EQ(m.pull(out, n), size_t{0});
  CHECK(ids_of(out) == (std::vector<uint32_t>{30, 10, 11, 12}) && n == 4);
  CHECK(m.finish(0).ok());
  // Input 1 alone: all of it goes, then it is asked for more.
  CHECK_EQ(m.pull(out, n), size_t{1});
  CHECK(ids_of(out) == (std::vector<uint32_t>{30, 10, 11, 12, 20, 21}) && n == 6);
  CHECK(m.finish(1).ok());
  CHECK(m.pull(out, n) == RecordMerge::kDone);
  CHECK(n == 6);
}

TEST(merge_takes_records_cut_between_pushes) {
  const Bytes all = join({trade(1, 1), trade(2, 2), trade(3, 3)});
  RecordMerge m(1);
  Bytes out;
  uint64_t n = 0;
  for (size_t at = 0; at < all.size(); at += 13) {
    const size_t end = std::min(all.size(), at + 13);
    CHECK(m.push(0, std::span<const uint8_t>(all.data() + at, end - at)).ok());
    CHECK_EQ(m.pull(out, n), size_t{0});
  }
  CHECK(m.finish(0).ok());
  CHECK(m.pull(out, n) == RecordMerge::kDone);
  CHECK(out == all && n == 3);
}

TEST(merge_stops_at_the_first_record_out_of_order) {
  RecordMerge m(1);
  CHECK(m.push(0, join({trade(4, 1), trade(4, 2)})).ok());
  const Status st = m.push(0, join({trade(9, 3), trade(3, 4)}));
  CHECK(!st.ok());
  CHECK_EQ(st.error().detail(),
           std::string("record 3 (ts_event 3) comes before the record ahead of it (ts_event 9): "
                       "the input is not sorted by ts_event"));
  CHECK(!m.push(0, trade(10, 5)).ok());  // a failed merge stays failed
}

TEST(sort_keeps_equal_records_in_order_and_leaves_a_cut_one) {
  const Bytes all = join({trade(3, 1), trade(1, 2), trade(3, 3), trade(1, 4)});
  Bytes cut = all;
  cut.resize(all.size() + 10, 0);
  cut[all.size()] = static_cast<uint8_t>(sizeof(TradeMsg) / 4);
  Bytes out;
  auto used = sort_records(cut, out);
  CHECK(used.ok() && *used == all.size());
  CHECK(ids_of(out) == (std::vector<uint32_t>{2, 4, 1, 3}));
}
