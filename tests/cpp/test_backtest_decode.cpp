#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "backtest.h"
#include "backtest_decode.h"
#include "bytes_builder.h"
#include "check.h"

using namespace orx;
using orx::test::Bytes;

namespace {

std::vector<uint8_t> encode(const BacktestData& bt) {
  std::vector<uint8_t> out;
  CHECK(BacktestRecordEncoder(out).encode_backtest(bt).ok());
  return out;
}

std::string_view view(const std::vector<uint8_t>& v) {
  return {reinterpret_cast<const char*>(v.data()), v.size()};
}

std::string failure(const std::vector<uint8_t>& v) {
  const auto r = decode_backtest(view(v));
  if (r.ok()) return "<decoded>";
  CHECK(r.error().kind() == ErrorKind::Decode);
  return std::string(r.error().payload());
}

// Something in every field, strings of several byte widths, extreme integers.
BacktestData rich() {
  BacktestData bt;
  bt.metadata = {
      65535,
      "bt \xC3\xA9\xF0\x9F\x99\x82",
      {"sma", INT64_MIN, "ohlcv-1d", "bars", -1, INT64_MAX, {"AAPL", "", "\xE6\x97\xA5"}},
      {}};
  StaticStats& st = bt.metadata.static_stats;
  st.total_trades = INT32_MIN;
  st.total_losing_trades = INT32_MAX;
  st.avg_profit = -7;
  st.max_drawdown_percentage_daily = 42;
  st.sortino_ratio = INT64_MIN;
  bt.period_timeseries_stats = {{1, 2, 3, 4, 5}, {INT64_MIN, INT64_MAX, -1, 0, 1}};
  bt.daily_timeseries_stats = {{6, 7, 8, 9, 10}};
  bt.trades = {{1, 2, 3, "ABC", 4, 5, 6, 7, "SELL", 8},
               {INT32_MIN, INT32_MAX, -3, "", INT64_MIN, 0, 0, 0, "", INT64_MAX}};
  bt.signals = {{99, {}},
                {100,
                 {{"T", "MKT", "B", 3, 4, 5, INT32_MIN, "1.5", ""},
                  {"", "", "", 0, 0, 0, 0, "", std::string(kMaxStringBytes, 'z')}}}};
  return bt;
}

}  // namespace

TEST(decode_round_trips_both_ways) {
  for (const BacktestData& bt : {BacktestData{}, rich()}) {
    const auto bytes = encode(bt);
    const auto back = decode_backtest(view(bytes));
    CHECK(back.ok());
    CHECK(*back == bt);
    CHECK(encode(*back) == bytes);
  }
}

TEST(decode_reads_hand_built_bytes) {
  Bytes b;
  b.u16(513).u16(2).raw("id").u16(1).raw("s").u64(static_cast<uint64_t>(-2));
  b.u16(0).u16(0).u64(10).u64(20).u32(1).u16(1).raw("X");
  b.le(static_cast<uint32_t>(-3), 4).u32(4).u32(5).u32(0xDEADBEEF);  // counts, padding
  for (int i = 0; i < 21; ++i) b.u64(100 + i);
  b.u32(0).u32(1);
  for (int i = 0; i < 5; ++i) b.u64(i);
  b.u32(0).u32(1).u64(77).u32(0);
  const auto r = decode_backtest(b.view());
  CHECK(r.ok());
  CHECK_EQ(r->metadata.backtest_id, 513);
  CHECK_EQ(r->metadata.backtest_name, "id");
  CHECK_EQ(r->metadata.parameters.capital, -2);
  CHECK(r->metadata.parameters.tickers == std::vector<std::string>{"X"});
  CHECK_EQ(r->metadata.static_stats.total_trades, -3);
  CHECK_EQ(r->metadata.static_stats.total_losing_trades, 5);
  CHECK_EQ(r->metadata.static_stats.avg_profit, 100);
  CHECK_EQ(r->metadata.static_stats.sortino_ratio, 120);
  CHECK(r->period_timeseries_stats.empty());
  CHECK_EQ(r->daily_timeseries_stats.size(), 1u);
  CHECK_EQ(r->daily_timeseries_stats[0].period_return, 4);
  CHECK_EQ(r->signals.size(), 1u);
  CHECK_EQ(r->signals[0].timestamp, 77);
  // Re-encoded, only the padding differs: the encoder writes zeros there.
  auto again = encode(*r);
  CHECK_EQ(again.size(), b.v.size());
  for (size_t i = 0; i < again.size(); ++i)
    if (i < 56 || i >= 60) CHECK_EQ(again[i], b.v[i]);
}

TEST(decode_failures_name_the_field_and_offset) {
  const auto empty = encode(BacktestData{});  // 238 bytes
  auto cut = [&](size_t n) { return std::vector<uint8_t>(empty.begin(), empty.begin() + n); };
  auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    auto v = empty;
    std::copy(bytes.begin(), bytes.end(), v.begin() + at);
    return v;
  };
  auto plus = [](std::vector<uint8_t> v, std::initializer_list<uint8_t> tail) {
    v.insert(v.end(), tail);
    return v;
  };
  const struct {
    std::vector<uint8_t> in;
    const char* message;
  } rows[] = {
      {{}, "metadata.backtest_id: 2-byte integer runs past the end at offset 0"},
      {cut(1), "metadata.backtest_id: 2-byte integer runs past the end at offset 0"},
      {cut(3), "metadata.backtest_name: 2-byte length runs past the end at offset 2"},
      {plus(cut(4), {}),
       "metadata.parameters.strategy_name: 2-byte length runs past the end at "
       "offset 4"},
      {cut(13), "metadata.parameters.capital: 8-byte integer runs past the end at offset 6"},
      {cut(37), "metadata.parameters.tickers: 4-byte integer runs past the end at offset 34"},
      {cut(237), "signals: 4-byte integer runs past the end at offset 234"},
      {cut(221), "metadata.static_stats: 184-byte block runs past the end at offset 38"},
      {plus(cut(2), {5, 0, 'a', 'b', 'c'}),
       "metadata.backtest_name: string of 5 bytes runs past the end at offset 4"},
      {with(2, {0xFF, 0xFF}),
       "metadata.backtest_name: string of 65,535 bytes runs past the end at offset 4"},
      {with(34, {0xFF, 0xFF, 0xFF, 0xFF}),
       "metadata.parameters.tickers: 4,294,967,295 entries of at least 2 bytes run past the end "
       "at offset 38 (200 bytes remain)"},
      {with(34, {101, 0, 0, 0}),
       "metadata.parameters.tickers: 101 entries of at least 2 bytes run past the end at offset "
       "38 (200 bytes remain)"},
      {with(222, {1, 0, 0, 0}),
       "period_timeseries_stats: 1 entry of at least 40 bytes run past the end at offset 226 (12 "
       "bytes remain)"},
      {with(230, {1, 0, 0, 0}),
       "trades: 1 entry of at least 60 bytes run past the end at offset 234 (4 bytes remain)"},
      {plus(empty, {0}), "1 trailing byte after the backtest at offset 238"},
      {plus(empty, {0, 0}), "2 trailing bytes after the backtest at offset 238"},
  };
  for (const auto& row : rows) CHECK_EQ(failure(row.in), row.message);
}

TEST(decode_failures_inside_entries_carry_their_path) {
  BacktestData bt = rich();
  const auto good = encode(bt);
  // The last instruction's aux_price (65,535 'z') ends the input; one byte short:
  CHECK_EQ(good.size() - kMaxStringBytes, 614u);  // where its text starts
  std::vector<uint8_t> v(good.begin(), good.end() - 1);
  CHECK_EQ(failure(v),
           "signals[1].trade_instructions[1].aux_price: string of 65,535 bytes runs "
           "past the end at offset 614");

  // An invalid byte in the second trade's action names the byte itself.
  bt.trades[1].action = "OK!";
  auto bytes = encode(bt);
  const std::string needle = "OK!";
  const auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
  CHECK(at != bytes.end());
  const size_t offset = static_cast<size_t>(at - bytes.begin());
  *(at + 2) = 0xC3;  // a lead byte with no continuation
  CHECK_EQ(failure(bytes),
           "trades[1].action: invalid UTF-8 at offset " + std::to_string(offset + 2));

  // Surrogates and overlong forms are refused, a 4-byte sequence accepted.
  for (const char* bad : {"\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", "\xFF"}) {
    BacktestData one;
    one.metadata.parameters.tickers = {"ok", "ab"};
    auto b = encode(one);
    b.erase(b.begin() + 44, b.begin() + 46);  // drop "ab" (its length stays 2)
    const std::string s(bad);
    b.insert(b.begin() + 44, s.begin(), s.end());
    b[42] = static_cast<uint8_t>(s.size());
    CHECK_EQ(failure(b), "metadata.parameters.tickers[1]: invalid UTF-8 at offset 44");
  }
}

TEST(decode_every_truncation_fails_within_the_input) {
  const auto good = encode(rich());
  // Step through the short prefixes and every byte of the tail structure.
  for (size_t n = 0; n < good.size(); n += (n < 400 || n > good.size() - 80) ? 1 : 997) {
    const auto r = decode_backtest(view(good).substr(0, n));
    CHECK(!r.ok());
    if (r.ok()) break;
    const std::string text(r.error().payload());
    CHECK(text.find("runs past the end") != std::string::npos ||
          text.find("run past the end") != std::string::npos);
  }
}

TEST(decode_counts_are_checked_before_allocation) {
  // A signal claiming 2^32-1 instructions in a 250-byte input fails on the count alone.
  BacktestData bt;
  bt.signals = {{5, {}}};
  auto b = encode(bt);
  for (int i = 0; i < 4; ++i) b[b.size() - 4 + i] = 0xFF;
  CHECK_EQ(failure(b),
           "signals[0].trade_instructions: 4,294,967,295 entries of at least 30 "
           "bytes run past the end at offset 250 (0 bytes remain)");
}

TEST(decode_names_each_string_field_of_the_entries) {
  // One marked field at a time, its middle byte made invalid: the path names that field.
  const struct {
    const char* path;
    void (*mark)(BacktestData&);
  } rows[] = {
      {"trades[1].ticker", [](BacktestData& b) { b.trades[1].ticker = "Q~Q"; }},
      {"trades[1].action", [](BacktestData& b) { b.trades[1].action = "Q~Q"; }},
      {"signals[0].trade_instructions[1].ticker",
       [](BacktestData& b) { b.signals[0].trade_instructions[1].ticker = "Q~Q"; }},
      {"signals[0].trade_instructions[1].order_type",
       [](BacktestData& b) { b.signals[0].trade_instructions[1].order_type = "Q~Q"; }},
      {"signals[0].trade_instructions[1].action",
       [](BacktestData& b) { b.signals[0].trade_instructions[1].action = "Q~Q"; }},
      {"signals[0].trade_instructions[1].limit_price",
       [](BacktestData& b) { b.signals[0].trade_instructions[1].limit_price = "Q~Q"; }},
      {"signals[0].trade_instructions[1].aux_price",
       [](BacktestData& b) { b.signals[0].trade_instructions[1].aux_price = "Q~Q"; }},
      {"metadata.parameters.schema", [](BacktestData& b) { b.metadata.parameters.schema = "Q~Q"; }},
  };
  for (const auto& row : rows) {
    BacktestData bt;
    bt.trades.resize(2);
    bt.signals = {{1, {{}, {}}}};
    row.mark(bt);
    auto bytes = encode(bt);
    const std::string marker = "Q~Q";
    const auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    CHECK(at != bytes.end());
    *(at + 1) = 0x80;  // a continuation byte with no lead
    CHECK_EQ(failure(bytes), std::string(row.path) + ": invalid UTF-8 at offset " +
                                 std::to_string(at - bytes.begin() + 1));
  }
}

TEST(decode_truncated_entries_name_the_first_missing_field) {
  // The count check passes once 30 bytes remain; a 40-byte ticker leaves room to cut inside.
  BacktestData bt;
  bt.signals = {{1, {{std::string(40, 'A'), "", "", 0, 0, 0, 0, "", ""}}}};
  const auto good = encode(bt);  // the instruction starts at 250
  CHECK_EQ(good.size(), 320u);
  auto cut = [&](size_t n) { return std::vector<uint8_t>(good.begin(), good.begin() + n); };
  const std::string in = "signals[0].trade_instructions[0].";
  CHECK_EQ(failure(cut(285)), in + "ticker: string of 40 bytes runs past the end at offset 252");
  CHECK_EQ(failure(cut(293)), in + "order_type: 2-byte length runs past the end at offset 292");
  CHECK_EQ(failure(cut(299)), in + "trade_id: 4-byte integer runs past the end at offset 296");
  CHECK_EQ(failure(cut(310)), in + "weight: 8-byte integer runs past the end at offset 304");
  CHECK_EQ(failure(cut(319)), in + "aux_price: 2-byte length runs past the end at offset 318");
}
