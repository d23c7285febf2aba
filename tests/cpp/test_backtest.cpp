#include <cstring>
#include <string>
#include <vector>

#include "backtest.h"
#include "check.h"

using namespace orx;

namespace {

// Expected bytes, built independently of the encoder: little-endian integers appended by hand.
struct Bytes {
  std::vector<uint8_t> v;
  Bytes& le(uint64_t x, int width) {
    for (int i = 0; i < width; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    return *this;
  }
  Bytes& str(const std::string& s) {
    le(s.size(), 2);
    v.insert(v.end(), s.begin(), s.end());
    return *this;
  }
};

std::vector<uint8_t> encode(const BacktestData& bt) {
  std::vector<uint8_t> out;
  CHECK(BacktestRecordEncoder(out).encode_backtest(bt).ok());
  return out;
}

uint64_t read_le(const std::vector<uint8_t>& b, size_t at, int width) {
  uint64_t x = 0;
  for (int i = 0; i < width; ++i) x |= static_cast<uint64_t>(b[at + i]) << (8 * i);
  return x;
}

}  // namespace

TEST(backtest_all_empty_is_238_bytes) {
  const auto b = encode(BacktestData{});
  CHECK_EQ(b.size(), 238u);
  for (uint8_t x : b) CHECK_EQ(x, 0);
}

TEST(backtest_offsets_of_the_all_empty_layout) {
  BacktestData bt;
  bt.metadata.backtest_id = 0xBEEF;
  auto& pm = bt.metadata.parameters;
  pm.capital = 0x0102030405060708;
  pm.start = 0x1112131415161718;
  pm.end = -2;
  auto& st = bt.metadata.static_stats;
  st.total_trades = 0x21222324;
  st.total_winning_trades = -1;
  st.total_losing_trades = 7;
  st.avg_profit = 0x31;
  st.max_drawdown_percentage_period = 0x41;
  st.max_drawdown_percentage_daily = 0x42;
  st.sortino_ratio = INT64_MIN;
  const auto b = encode(bt);
  CHECK_EQ(b.size(), 238u);
  CHECK_EQ(read_le(b, 0, 2), 0xBEEFu);
  CHECK_EQ(read_le(b, 2, 2), 0u);  // name length
  CHECK_EQ(read_le(b, 4, 2), 0u);  // strategy_name length
  CHECK_EQ(read_le(b, 6, 8), 0x0102030405060708u);
  CHECK_EQ(read_le(b, 14, 2), 0u);  // schema
  CHECK_EQ(read_le(b, 16, 2), 0u);  // data_type
  CHECK_EQ(read_le(b, 18, 8), 0x1112131415161718u);
  CHECK_EQ(read_le(b, 26, 8), 0xFFFFFFFFFFFFFFFEu);
  CHECK_EQ(read_le(b, 34, 4), 0u);  // tickers
  CHECK_EQ(read_le(b, 38, 4), 0x21222324u);
  CHECK_EQ(read_le(b, 42, 4), 0xFFFFFFFFu);
  CHECK_EQ(read_le(b, 46, 4), 7u);
  CHECK_EQ(read_le(b, 50, 4), 0u);  // padding
  CHECK_EQ(read_le(b, 38 + 16, 8), 0x31u);
  CHECK_EQ(read_le(b, 38 + 152, 8), 0x41u);
  CHECK_EQ(read_le(b, 38 + 160, 8), 0x42u);
  CHECK_EQ(read_le(b, 38 + 176, 8), 0x8000000000000000u);
  for (size_t at : {222u, 226u, 230u, 234u}) CHECK_EQ(read_le(b, at, 4), 0u);
}

TEST(backtest_padding_is_zero_whatever_the_memory_held) {
  BacktestData bt;
  // Fill the statistics' padding bytes in memory; the encoding must not carry them.
  std::memset(static_cast<void*>(&bt.metadata.static_stats), 0xAB, sizeof(StaticStats));
  const auto b = encode(bt);
  for (size_t i = 50; i < 54; ++i) CHECK_EQ(b[i], 0);
  CHECK_EQ(b[38], 0xAB);
  CHECK(encode(bt) == b);
}

TEST(backtest_full_layout_against_hand_built_bytes) {
  BacktestData bt;
  bt.metadata = {65535, "bt\xC3\xA9", {"sma", -5, "ohlcv-1d", "bars", 10, 20, {"AAPL", ""}}, {}};
  bt.metadata.static_stats.net_profit = -1;
  bt.period_timeseries_stats = {{1, 2, 3, 4, 5}};
  bt.daily_timeseries_stats = {{6, 7, 8, 9, 10}, {-1, 0, 0, 0, 1}};
  bt.trades = {{1, 2, 3, "ABC", 4, 5, 6, 7, "SELL", 8}};
  bt.signals = {{99, {}}, {100, {{"T", "MKT", "B", 3, 4, 5, -6, "1.5", ""}}}};

  Bytes e;
  e.le(65535, 2).str("bt\xC3\xA9");
  e.str("sma").le(static_cast<uint64_t>(-5), 8).str("ohlcv-1d").str("bars").le(10, 8).le(20, 8);
  e.le(2, 4).str("AAPL").str("");
  for (int i = 0; i < 3; ++i) e.le(0, 4);
  e.le(0, 4);                               // padding
  for (int i = 0; i < 10; ++i) e.le(0, 8);  // avg_profit .. total_fees
  e.le(static_cast<uint64_t>(-1), 8);       // net_profit
  for (int i = 0; i < 10; ++i) e.le(0, 8);  // beginning_equity .. sortino_ratio
  e.le(1, 4);                               // period series first
  for (int x : {1, 2, 3, 4, 5}) e.le(x, 8);
  e.le(2, 4);
  for (int x : {6, 7, 8, 9, 10, -1, 0, 0, 0, 1}) e.le(static_cast<uint64_t>(x), 8);
  e.le(1, 4).le(1, 4).le(2, 4).le(3, 8).str("ABC").le(4, 8).le(5, 8).le(6, 8).le(7, 8);
  e.str("SELL").le(8, 8);
  e.le(2, 4).le(99, 8).le(0, 4);
  e.le(100, 8).le(1, 4).str("T").str("MKT").str("B").le(3, 4).le(4, 4).le(5, 8);
  e.le(static_cast<uint64_t>(-6), 4).str("1.5").str("");

  const auto b = encode(bt);
  CHECK_EQ(b.size(), e.v.size());
  CHECK(b == e.v);
  CHECK_EQ(read_le(b, 2, 2), 4u);  // two 2-byte characters: length 4
}

TEST(backtest_encoder_appends_and_keeps_earlier_bytes) {
  std::vector<uint8_t> out = {1, 2, 3};
  BacktestRecordEncoder enc(out);
  CHECK(enc.encode_backtest(BacktestData{}).ok());
  CHECK(enc.encode_backtest(BacktestData{}).ok());
  CHECK_EQ(out.size(), 3u + 2 * 238u);
  CHECK_EQ(out[2], 3);
}

TEST(backtest_refuses_unrepresentable_strings_and_leaves_the_buffer) {
  const std::string big(65536, 'x');
  struct Row {
    void (*place)(BacktestData&, const std::string&);
    const char* path;
  } rows[] = {
      {[](BacktestData& b, const std::string& s) { b.metadata.backtest_name = s; },
       "metadata.backtest_name"},
      {[](BacktestData& b, const std::string& s) { b.metadata.parameters.data_type = s; },
       "metadata.parameters.data_type"},
      {[](BacktestData& b, const std::string& s) {
         b.metadata.parameters.tickers = {"A", s};
       },
       "metadata.parameters.tickers[1]"},
      {[](BacktestData& b, const std::string& s) {
         b.trades.resize(3);
         b.trades[2].action = s;
       },
       "trades[2].action"},
      {[](BacktestData& b, const std::string& s) {
         b.signals.resize(2);
         b.signals[1].trade_instructions.resize(4);
         b.signals[1].trade_instructions[3].aux_price = s;
       },
       "signals[1].trade_instructions[3].aux_price"},
  };
  for (const Row& row : rows) {
    BacktestData bt;
    row.place(bt, big);
    std::vector<uint8_t> out = {9, 9};
    const Status st = BacktestRecordEncoder(out).encode_backtest(bt);
    CHECK(!st.ok());
    CHECK(st.error().kind() == ErrorKind::Encode);
    CHECK_EQ(st.error().display(), std::string("Encoding error: ") + row.path +
                                       " is 65536 bytes long; a string holds at most 65535 bytes");
    CHECK(out == (std::vector<uint8_t>{9, 9}));
    // The same encoder object still works on a representable value.
    BacktestRecordEncoder again(out);
    CHECK(again.encode_backtest(BacktestData{}).ok());
    CHECK_EQ(out.size(), 240u);
  }
}

TEST(live_data_completeness_in_order) {
  const Parameters p;
  const AccountSummary a;
  const std::vector<Trades> t;
  const std::vector<Signals> s;
  CHECK_EQ(LiveData::build({}, {}, {}, {}, {}).error().display(),
           "Custom error: 'parameters' are required");
  CHECK_EQ(LiveData::build({}, p, {}, {}, a).error().detail(), "'trades' are required");
  CHECK_EQ(LiveData::build({}, p, t, {}, a).error().detail(), "'signals' are required");
  CHECK_EQ(LiveData::build(7, p, t, s, {}).error().detail(), "'account' is required");
  auto ok = LiveData::build({}, p, t, s, a);
  CHECK(ok.ok());
  CHECK(!ok->live_id.has_value());
  CHECK_EQ(*LiveData::build(0, p, t, s, a)->live_id, 0);
}
