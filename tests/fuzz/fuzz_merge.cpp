// Record bytes of any kind through the merge and the sort of `orx merge`: the first byte picks
// the number of inputs (1 to 4) and the piece size, the rest is dealt out to the inputs in
// pieces. Every push, finish and pull gives records, a Decode error or the input it waits on;
// the merge never loops; a merge that succeeds hands out every record once, in ts_event order;
// the sort gives the same records in order and keeps a cut last record out.
#include <algorithm>
#include <cstring>
#include <vector>

#include "merge.h"

#include "require.h"

using namespace orx;

namespace {

uint64_t ts_at(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p + 8, sizeof v);
  return v;
}

// The records of `bytes` (whole, walked by their length bytes) as (ts, length) pairs; checks
// that their ts_event never goes down.
size_t check_sorted(const std::vector<uint8_t>& bytes) {
  size_t records = 0;
  uint64_t last = 0;
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = size_t{bytes[at]} * 4;
    REQUIRE(length >= 24 && at + length <= bytes.size());
    const uint64_t ts = ts_at(bytes.data() + at);
    REQUIRE(records == 0 || ts >= last);
    last = ts;
    ++records;
    at += length;
  }
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t k = size_t{data[0]} % 4 + 1;
  const size_t piece = size_t{data[0]} / 4 % 64 + 1;
  const std::span<const uint8_t> body(data + 1, size - 1);

  // The inputs: piece after piece of the body, dealt round.
  std::vector<std::vector<std::span<const uint8_t>>> inputs(k);
  for (size_t at = 0, i = 0; at < body.size(); at += piece, i = (i + 1) % k)
    inputs[i].push_back(body.subspan(at, std::min(piece, body.size() - at)));

  RecordMerge merge(k);
  std::vector<size_t> next(k, 0);
  std::vector<uint8_t> out;
  uint64_t records = 0;
  bool failed = false;
  size_t steps = 0;
  for (;;) {
    REQUIRE(++steps < 4 * body.size() + 16);  // every turn takes a piece or hands records out
    const size_t need = merge.pull(out, records);
    if (need == RecordMerge::kDone) break;
    REQUIRE(need < k);
    const Status st = next[need] < inputs[need].size()
                          ? merge.push(need, inputs[need][next[need]++])
                          : merge.finish(need);
    if (!st) {
      REQUIRE(st.error().kind() == ErrorKind::Decode);
      failed = true;
      break;
    }
  }
  if (!failed) {
    REQUIRE(check_sorted(out) == records);
    REQUIRE(out.size() == body.size());
    uint64_t counted = 0;
    for (size_t i = 0; i < k; ++i) counted += merge.count(i);
    REQUIRE(counted == records);
  }

  std::vector<uint8_t> sorted;
  auto used = sort_records(body, sorted);
  if (!used) {
    REQUIRE(used.error().kind() == ErrorKind::Decode);
    return 0;
  }
  REQUIRE(*used <= body.size() && sorted.size() == *used);
  check_sorted(sorted);
  if (*used < body.size()) REQUIRE(size_t{body[*used]} * 4 > body.size() - *used);
  return 0;
}
