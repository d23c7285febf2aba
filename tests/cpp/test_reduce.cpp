#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "check.h"
#include "reduce.h"

using namespace orx;

namespace {

TradeMsg trade(uint32_t id, uint64_t ts, int64_t px, uint32_t size, char action = 'T') {
  TradeMsg t;
  t.hd.instrument_id = id;
  t.hd.ts_event = ts;
  t.price = px;
  t.size = size;
  t.action = action;
  return t;
}

RecordTable table_of(const std::vector<TradeMsg>& v) {
  return {RType::Trades, reinterpret_cast<const uint8_t*>(v.data()), v.size(), sizeof(TradeMsg)};
}

// Calls f(member pointer) for every column of a bar table.
template <class F>
void for_each_column(F&& f) {
  std::apply([&](auto... m) { (f(m), ...); },
             std::tuple{&BarTable::instrument_id, &BarTable::start, &BarTable::open,
                        &BarTable::high, &BarTable::low, &BarTable::close, &BarTable::open_ts,
                        &BarTable::close_ts, &BarTable::volume, &BarTable::trades,
                        &BarTable::notional_hi, &BarTable::notional_lo});
}

}  // namespace

TEST(bars_keep_open_and_close_by_time_and_skip_what_is_not_a_trade) {
  // Out of time order on purpose, with equal times: the first of two equal times opens, the
  // last of them closes.
  const std::vector<TradeMsg> v = {trade(7, 130, 5, 1),       trade(7, 100, 3, 2),
                                   trade(7, 100, 4, 1),       trade(7, 130, 6, 1),
                                   trade(7, 110, 99, 5, 'A'), trade(2, 250, -8, 3)};
  Result<BarTable> got = trade_bars(table_of(v), 100);
  CHECK(got.ok());
  CHECK_EQ(got->size(), size_t{2});
  // Ordered by instrument, then interval.
  CHECK_EQ(got->instrument_id[0], 2u);
  CHECK_EQ(got->start[0], uint64_t{200});
  CHECK_EQ(got->instrument_id[1], 7u);
  CHECK_EQ(got->start[1], uint64_t{100});
  CHECK_EQ(got->open[1], int64_t{3});
  CHECK_EQ(got->close[1], int64_t{6});
  CHECK_EQ(got->high[1], int64_t{6});
  CHECK_EQ(got->low[1], int64_t{3});
  CHECK_EQ(got->volume[1], uint64_t{5});
  CHECK_EQ(got->trades[1], uint64_t{4});
  CHECK_EQ(got->notional_lo[1], uint64_t{5 + 6 + 4 + 6});
  // A negative notional is a two's complement 128-bit value.
  CHECK_EQ(got->notional_hi[0], int64_t{-1});
  CHECK_EQ(got->notional_lo[0], static_cast<uint64_t>(int64_t{-24}));
}

TEST(a_notional_past_64_bits_is_exact) {
  const int64_t px = int64_t{1} << 62;
  std::vector<TradeMsg> v(6, trade(1, 0, px, UINT32_MAX));
  Result<BarTable> got = trade_bars(table_of(v), 1);
  CHECK(got.ok());
  const unsigned __int128 want = static_cast<unsigned __int128>(px) * UINT32_MAX * 6;
  CHECK_EQ(static_cast<uint64_t>(got->notional_hi[0]), static_cast<uint64_t>(want >> 64));
  CHECK_EQ(got->notional_lo[0], static_cast<uint64_t>(want));
}

TEST(combining_the_tables_of_pieces_gives_the_table_of_the_whole) {
  std::vector<TradeMsg> v;
  for (uint64_t i = 0; i < 500; ++i)
    v.push_back(trade(static_cast<uint32_t>(i % 3), i / 2 * 7, static_cast<int64_t>(i * 37 % 101),
                      static_cast<uint32_t>(i % 5)));
  Result<BarTable> whole = trade_bars(table_of(v), 50);
  CHECK(whole.ok());
  BarTable cat;
  for (auto [a, b] : {std::pair<size_t, size_t>{0, 123}, {123, 124}, {124, 500}}) {
    std::vector<TradeMsg> piece(v.begin() + a, v.begin() + b);
    Result<BarTable> part = trade_bars(table_of(piece), 50);
    CHECK(part.ok());
    for_each_column([&](auto member) {
      (cat.*member).insert((cat.*member).end(), ((*part).*member).begin(), ((*part).*member).end());
    });
  }
  Result<BarTable> combined = combine_bars(cat);
  CHECK(combined.ok());
  for_each_column([&](auto member) { CHECK((*combined).*member == (*whole).*member); });
  BarTable ragged = cat;
  ragged.close.pop_back();
  CHECK(!combine_bars(ragged).ok());
}

TEST(refusals) {
  std::vector<TradeMsg> v = {trade(1, 1, 1, 1)};
  CHECK_EQ(std::string(trade_bars(table_of(v), 0).error().payload()),
           std::string("the interval must be at least 1 nanosecond"));
  RecordTable ohlcv{RType::Ohlcv, reinterpret_cast<const uint8_t*>(v.data()), 0, 64};
  CHECK_EQ(std::string(trade_bars(ohlcv, 5).error().payload()),
           std::string("bars are made from MBP-1 or trade records"));
  RecordTable narrow = table_of(v);
  narrow.stride = 8;
  CHECK(!trade_bars(narrow, 5).ok());
  const uint64_t descending[] = {5, 4};
  CHECK_EQ(std::string(last_at(table_of(v), descending).error().payload()),
           std::string("the sample times must be ascending"));
}

TEST(last_at_takes_the_last_record_at_or_before_each_time) {
  const std::vector<TradeMsg> v = {trade(5, 10, 1, 1), trade(3, 10, 2, 1), trade(5, 20, 3, 1),
                                   trade(5, 20, 4, 1), trade(3, 31, 5, 1)};
  const uint64_t times[] = {9, 10, 20, 20, 30, 31};
  Result<std::vector<LastAt>> got = last_at(table_of(v), times);
  CHECK(got.ok());
  // (sample, instrument, record) ordered by sample then instrument; nothing before time 10.
  const std::vector<std::tuple<uint32_t, uint32_t, uint64_t>> want = {
      {1, 3, 1}, {1, 5, 0}, {2, 3, 1}, {2, 5, 3}, {3, 3, 1},
      {3, 5, 3}, {4, 3, 1}, {4, 5, 3}, {5, 3, 4}, {5, 5, 3}};
  CHECK_EQ(got->size(), want.size());
  for (size_t i = 0; i < want.size() && i < got->size(); ++i) {
    CHECK_EQ((*got)[i].sample, std::get<0>(want[i]));
    CHECK_EQ((*got)[i].instrument_id, std::get<1>(want[i]));
    CHECK_EQ((*got)[i].record, std::get<2>(want[i]));
  }
}
