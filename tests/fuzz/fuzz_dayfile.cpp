// Stored blocks of day files and the query executor over them: any bytes taken for a block
// (of any kind, claiming any count) decode to exactly that many records or fail with a Decode
// error; a block that decodes encodes back to bytes that decode to the same records; the
// executor over the decoded records as raw blocks gives every record inside the bounds, in
// (ts_event, instrument id) order.
#include <cstring>
#include <vector>

#include "columns.h"
#include "dayfile.h"

#include "require.h"

using namespace orx;

namespace {
constexpr RType kKinds[] = {RType::Mbp1, RType::Trades, RType::Bbo, RType::Ohlcv};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const RType kind = kKinds[data[0] & 3];
  const size_t count = data[1] | (static_cast<size_t>(data[2] & 0x0F) << 8);  // < 4096
  const std::span<const uint8_t> block(data + 3, size - 3);
  const size_t rsize = layout_size(kind);
  std::vector<uint8_t> out(count * rsize);
  Status st = decode_block(kind, block, out);
  if (!st) {
    REQUIRE(st.error().kind() == ErrorKind::Decode);
    return 0;
  }
  auto again = encode_block(kind, out, 1);
  REQUIRE(again.ok());
  std::vector<uint8_t> back(out.size());
  REQUIRE(decode_block(kind, *again, back).ok());
  REQUIRE(back == out);

  // The executor: the records as one raw block of unknown order, cut at a bound of their own.
  uint64_t start = 0;
  if (count) std::memcpy(&start, out.data() + (count / 2) * rsize + 8, 8);
  DaySpec day;
  day.start = start;
  day.blocks.push_back({out, Coding::Raw, false, 0, 0, 0, 0});
  QueryRun run(kind, {day});
  REQUIRE(run.decode(2).ok());
  std::vector<uint8_t> merged(run.records() * rsize);
  // cut into parts of a few records, so that the parts' bounds are exercised too
  REQUIRE(run.merge(merged.data(), 2, 1 + (data[0] >> 2)).ok());
  size_t inside = 0;
  for (size_t i = 0; i < count; ++i) {
    uint64_t ts;
    std::memcpy(&ts, out.data() + i * rsize + 8, 8);
    inside += ts >= start;
  }
  REQUIRE(run.records() == inside);
  for (size_t i = 1; i < inside; ++i) {
    uint64_t a, b;
    uint32_t ia, ib;
    std::memcpy(&a, merged.data() + (i - 1) * rsize + 8, 8);
    std::memcpy(&b, merged.data() + i * rsize + 8, 8);
    std::memcpy(&ia, merged.data() + (i - 1) * rsize + 4, 4);
    std::memcpy(&ib, merged.data() + i * rsize + 4, 4);
    REQUIRE(a < b || (a == b && ia <= ib));
  }
  return 0;
}
