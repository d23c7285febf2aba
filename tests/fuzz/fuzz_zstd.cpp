// Compressed input through ZstdSource, as the reader sees it: every call gives bytes, a quiet
// end or a Decode error, a failure is final, and two readings in other piece sizes that both
// succeed give the same bytes.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "zstd_stream.h"

#include "require.h"

using namespace orx;

namespace {

struct Outcome {
  std::vector<uint8_t> bytes;
  std::string error;
};

// Output past this is not compared further: a small input may expand a lot, and the target
// should stay fast.
constexpr size_t kMaxOutput = 8 << 20;

Outcome drain(const uint8_t* data, size_t size, size_t step, size_t head,
              bool allow_truncated = false) {
  if (head > size) head = size;
  ZstdSource src(std::make_unique<SpanSource>(std::span<const uint8_t>(data + head, size - head)),
                 std::span<const uint8_t>(data, head), allow_truncated);
  Outcome out;
  std::vector<uint8_t> buf(step);
  while (out.bytes.size() < kMaxOutput) {
    auto got = src.read(buf.data(), step);
    if (!got) {
      REQUIRE(got.error().kind() == ErrorKind::Decode);
      out.error = got.error().display();
      REQUIRE(!src.read(buf.data(), step).ok());
      break;
    }
    REQUIRE(*got <= step);
    if (*got == 0) {
      REQUIRE(src.read(buf.data(), step).ok());
      break;
    }
    out.bytes.insert(out.bytes.end(), buf.begin(), buf.begin() + static_cast<long>(*got));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Outcome big = drain(data, size, 1 << 17, 0);
  const Outcome small = drain(data, size, 997, size / 2);
  // Where both readings succeed they agree. (Whether a frame whose declared content size
  // disagrees with its blocks is refused depends on how the library receives it, so the
  // outcomes themselves may differ.)
  if (big.error.empty() && small.error.empty() && big.bytes.size() < kMaxOutput &&
      small.bytes.size() < kMaxOutput)
    REQUIRE(big.bytes == small.bytes);
  // Allowing truncation changes only an input that ends inside a frame: it ends quietly
  // there, after at least the bytes the strict reading gave.
  const Outcome lenient = drain(data, size, 1 << 17, 0, true);
  if (big.error.empty()) {
    REQUIRE(lenient.error.empty() && lenient.bytes == big.bytes);
  } else if (big.error.starts_with("Decoding error: zstd stream truncated")) {
    REQUIRE(lenient.error.empty());
    REQUIRE(lenient.bytes.size() >= big.bytes.size() &&
            std::equal(big.bytes.begin(), big.bytes.end(), lenient.bytes.begin()));
  } else {
    REQUIRE(lenient.error == big.error && lenient.bytes == big.bytes);
  }
  // What decompressed cleanly compresses back to something that decompresses to it.
  if (big.error.empty() && big.bytes.size() < (1 << 16)) {
    auto c = ZstdCompressor::create(1);
    REQUIRE(c.ok());
    std::vector<uint8_t> z;
    REQUIRE((*c)->write(big.bytes, z).ok() && (*c)->finish(z).ok());
    const Outcome again = drain(z.data(), z.size(), 4096, 0);
    REQUIRE(again.error.empty() && again.bytes == big.bytes);
  }
  return 0;
}
