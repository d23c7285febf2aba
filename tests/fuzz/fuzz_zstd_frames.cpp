// Compressed bytes cut into frames, as the catalog surveys a day file: every input gives frames
// that tile it or a Decode error, the frames' contents add up to what the streaming reader
// decompresses, and each data frame decompresses exactly to its measured size and refuses one
// byte less.
#include <memory>
#include <vector>

#include "zstd_frames.h"
#include "zstd_stream.h"

#include "require.h"

using namespace orx;

namespace {
constexpr uint64_t kMaxContent = 4 << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  auto frames = zstd_frames(in);
  if (!frames) {
    REQUIRE(frames.error().kind() == ErrorKind::Decode);
    return 0;
  }
  uint64_t at = 0, total = 0;
  for (const ZstdFrame& f : *frames) {
    REQUIRE(f.offset == at && f.length > 0);
    at += f.length;
    total += f.content;
    if (f.skippable || f.content > kMaxContent) continue;
    std::vector<uint8_t> out(f.content);
    const auto frame = in.subspan(f.offset, f.length);
    REQUIRE(zstd_decompress_exact(frame, out).ok());
    if (f.content) {
      std::vector<uint8_t> less(f.content - 1);
      REQUIRE(!zstd_decompress_exact(frame, less).ok());
    }
  }
  REQUIRE(at == size);
  if (total <= kMaxContent) {
    ZstdSource src(std::make_unique<SpanSource>(in));
    std::vector<uint8_t> buf(1 << 16);
    uint64_t got = 0;
    for (;;) {
      auto n = src.read(buf.data(), buf.size());
      REQUIRE(n.ok());
      if (*n == 0) break;
      got += *n;
    }
    REQUIRE(got == total);
  }
  return 0;
}
