// Record bytes through for_each_whole_record (the walk the frames and batches take): every
// record visited lies inside the input, right after the one before, and converts to the kind
// given; the walk stops exactly where a record-by-record check stops.
#include <cstddef>
#include <cstdint>

#include "record_ref.h"

#include "require.h"

using namespace orx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* expect = data;
  size_t visited = 0;
  const size_t rest = for_each_whole_record(data, size, [&](const RecordRef& ref, RType kind) {
    REQUIRE(ref.data() == expect);
    REQUIRE(ref.record_size() >= kMinRecordLength * size_t{4});
    REQUIRE(ref.data() + ref.record_size() <= data + size);
    const Result<RType> k = convertible_kind(ref);
    REQUIRE(k.ok() && *k == kind);
    expect += ref.record_size();
    ++visited;
  });
  REQUIRE(rest == static_cast<size_t>(data + size - expect));
  // The same walk, each record checked on its own.
  const uint8_t* p = data;
  size_t left = size, count = 0;
  while (left >= 2 && p[0] >= kMinRecordLength && p[0] * size_t{4} <= left &&
         convertible_kind(RecordRef(p, p[0] * size_t{4})).ok()) {
    left -= p[0] * size_t{4};
    p += p[0] * size_t{4};
    ++count;
  }
  REQUIRE(count == visited && left == rest);
  return 0;
}
