// Encoded backtests: hostile bytes must give a value or a Decode error that names an offset,
// and a value that comes out must encode back to the same bytes (padding aside).
#include <cstring>
#include <string_view>
#include <vector>

#include "backtest.h"
#include "backtest_decode.h"

#include "require.h"

using namespace orx;

namespace {

bool has(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Where the statistics block starts: after the id, the name and the parameters.
size_t statistics_offset(const BacktestData& bt) {
  const BacktestMetaData& m = bt.metadata;
  const Parameters& p = m.parameters;
  size_t at = 2 + 2 + m.backtest_name.size() + 2 + p.strategy_name.size() + 8 + 2 +
              p.schema.size() + 2 + p.data_type.size() + 8 + 8 + 4;
  for (const std::string& t : p.tickers) at += 2 + t.size();
  return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const auto r = decode_backtest(in);
  if (r) {
    std::vector<uint8_t> out;
    REQUIRE(BacktestRecordEncoder(out).encode_backtest(*r).ok());
    REQUIRE(out.size() == size);
    const size_t pad = statistics_offset(*r) + 12;
    REQUIRE(std::memcmp(out.data(), data, pad) == 0);
    REQUIRE(std::memcmp(out.data() + pad + 4, data + pad + 4, size - pad - 4) == 0);
    const auto again =
        decode_backtest(std::string_view(reinterpret_cast<const char*>(out.data()), out.size()));
    REQUIRE(again.ok() && *again == *r);
  } else {
    REQUIRE(r.error().kind() == ErrorKind::Decode);
    const std::string_view text = r.error().payload();
    REQUIRE(has(text, " at offset "));
    REQUIRE(has(text, "runs past the end") || has(text, "run past the end") ||
            has(text, "invalid UTF-8") || has(text, "after the backtest"));
  }
  return 0;
}
