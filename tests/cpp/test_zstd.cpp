// zstd streams: round trips through ZstdSource across frames and read sizes, every truncation,
// corruption, refused windows, and the argument that makes detection by magic unambiguous.
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "decode.h"
#include "metadata.h"
#include "zstd_stream.h"

using namespace orx;

namespace {

using Bytes = std::vector<uint8_t>;

// Text-like data that compresses, long enough to span several internal blocks.
Bytes sample(size_t n, uint32_t seed = 1) {
  Bytes out(n);
  uint32_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245 + 12345;
    out[i] = static_cast<uint8_t>("0123456789 ABCDEF"[(x >> 16) % 17]);
  }
  return out;
}

Bytes compress(const Bytes& data, int level = 3, size_t piece = 1000) {
  auto c = ZstdCompressor::create(level);
  CHECK(c.ok());
  Bytes out;
  for (size_t i = 0; i < data.size(); i += piece) {
    const size_t k = std::min(piece, data.size() - i);
    CHECK((*c)->write({data.data() + i, k}, out).ok());
  }
  CHECK((*c)->finish(out).ok());
  return out;
}

// Everything a ZstdSource over `compressed` gives, read `step` bytes at a time; the error, if
// one ends the reading, goes to `error`.
Bytes drain(const Bytes& compressed, size_t step, std::string* error = nullptr, size_t head = 0,
            bool allow_truncated = false) {
  auto inner = std::make_unique<SpanSource>(std::span<const uint8_t>(compressed).subspan(head));
  ZstdSource src(std::move(inner), std::span<const uint8_t>(compressed).first(head),
                 allow_truncated);
  Bytes out;
  std::vector<uint8_t> buf(step);
  for (;;) {
    auto got = src.read(buf.data(), step);
    if (!got) {
      if (error) *error = got.error().display();
      // A failure is final.
      CHECK(!src.read(buf.data(), step).ok());
      return out;
    }
    if (*got == 0) return out;
    CHECK(*got <= step);
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<long>(*got));
  }
}

// An inner source that fails after handing out some bytes.
class FailingSource : public ByteSource {
 public:
  explicit FailingSource(Bytes bytes) : bytes_(std::move(bytes)) {}
  Result<size_t> read(uint8_t* dst, size_t n) override {
    if (done_) return Error(IoError{IoKind::Other, "disk on fire"});
    done_ = true;
    const size_t k = std::min(n, bytes_.size());
    std::copy(bytes_.begin(), bytes_.begin() + static_cast<long>(k), dst);
    return k;
  }

 private:
  Bytes bytes_;
  bool done_ = false;
};

}  // namespace

TEST(zstd_round_trip_across_read_sizes_and_head_bytes) {
  const Bytes data = sample(300000);
  const Bytes z = compress(data);
  CHECK(z.size() < data.size());
  for (size_t step : {1u, 7u, 4096u, 1u << 20}) CHECK(drain(z, step) == data);
  for (size_t head : {0u, 3u, 4u, 100u}) CHECK(drain(z, 5000, nullptr, head) == data);
}

TEST(zstd_frames_follow_one_another) {
  // Several frames, one of them empty, and a skippable frame, read as one stream.
  const Bytes a = sample(5000, 1), b = sample(70000, 2);
  Bytes z = compress(a);
  const Bytes empty = compress({});
  z.insert(z.end(), empty.begin(), empty.end());
  const uint8_t skippable[] = {0x50, 0x2A, 0x4D, 0x18, 3, 0, 0, 0, 'x', 'y', 'z'};
  z.insert(z.end(), std::begin(skippable), std::end(skippable));
  const Bytes zb = compress(b);
  z.insert(z.end(), zb.begin(), zb.end());
  Bytes want = a;
  want.insert(want.end(), b.begin(), b.end());
  CHECK(drain(z, 999) == want);
  // The compressor starts a new frame after finish().
  auto c = ZstdCompressor::create();
  Bytes two;
  CHECK((*c)->write(a, two).ok() && (*c)->finish(two).ok());
  CHECK((*c)->write(b, two).ok() && (*c)->finish(two).ok());
  CHECK(drain(two, 4096) == want);
}

TEST(zstd_every_truncation_is_an_error_except_between_frames) {
  const Bytes data = sample(20000);
  const Bytes z = compress(data, 3, 20000);
  Bytes two = z;
  two.insert(two.end(), z.begin(), z.end());
  for (size_t cut = 1; cut < two.size(); ++cut) {
    const Bytes part(two.begin(), two.begin() + static_cast<long>(cut));
    std::string error;
    const Bytes got = drain(part, 4096, &error);
    if (cut == z.size()) {
      CHECK(error.empty() && got == data);
    } else {
      CHECK(error.starts_with(
                "Decoding error: zstd stream truncated: its input ends inside a frame") ||
            error.starts_with("Decoding error: corrupt zstd data near compressed byte"));
      CHECK(got.size() <= (cut < z.size() ? data.size() : 2 * data.size()));
    }
  }
  std::string error;
  drain(Bytes(z.begin(), z.end() - 1), 4096, &error);
  CHECK_EQ(error, "Decoding error: zstd stream truncated: its input ends inside a frame, after " +
                      std::to_string(z.size() - 1) + " compressed bytes");
}

TEST(zstd_allowed_truncation_ends_after_what_the_cut_input_decodes_to) {
  const Bytes data = sample(300000);  // several blocks of the library's 128 KiB
  const Bytes z = compress(data, 3, 300000);
  Bytes two = z;
  two.insert(two.end(), z.begin(), z.end());
  Bytes both = data;
  both.insert(both.end(), data.begin(), data.end());
  size_t partial = 0;
  for (size_t cut = 1; cut < two.size(); cut += 37) {
    const Bytes part(two.begin(), two.begin() + static_cast<long>(cut));
    std::string error;
    const Bytes got = drain(part, 4096, &error, 0, true);
    // A cut inside a frame's header can still be corrupt; anything else ends quietly, after a
    // prefix of the data.
    if (!error.empty()) {
      CHECK(error.starts_with("Decoding error: corrupt zstd data near compressed byte"));
      continue;
    }
    CHECK(got.size() <= both.size() && std::equal(got.begin(), got.end(), both.begin()));
    if (!got.empty() && got.size() % data.size()) ++partial;
  }
  CHECK(partial > 0);  // cuts inside a frame handed out its whole blocks
  std::string error;
  const Bytes got = drain(Bytes(z.begin(), z.end() - 1), 4096, &error, 0, true);
  CHECK(error.empty() && got.size() <= data.size() && got.size() >= 2 * 131072);
  CHECK(std::equal(got.begin(), got.end(), data.begin()));
}

TEST(zstd_corruption_is_a_decode_error) {
  const Bytes data = sample(50000);
  const Bytes z = compress(data);
  size_t failures = 0;
  for (size_t at = 0; at < z.size(); at += 97) {
    Bytes bad = z;
    bad[at] ^= 0x5A;
    std::string error;
    const Bytes got = drain(bad, 4096, &error);
    // A flipped byte is caught by the frame's structure or its checksum.
    CHECK(!error.empty());
    failures += error.starts_with("Decoding error: ");
  }
  CHECK_EQ(failures, (z.size() + 96) / 97);
  // Garbage after a whole frame.
  Bytes trailing = z;
  trailing.insert(trailing.end(), {1, 2, 3, 4, 5, 6, 7, 8});
  std::string error;
  CHECK(drain(trailing, 1 << 20, &error) == data);
  CHECK_EQ(error, "Decoding error: corrupt zstd data near compressed byte " +
                      std::to_string(z.size()) + ": Unknown frame descriptor");
}

TEST(zstd_inner_failures_pass_through) {
  const Bytes z = compress(sample(100000));
  ZstdSource src(std::make_unique<FailingSource>(Bytes(z.begin(), z.begin() + 50)));
  Bytes buf(1 << 20);
  Result<size_t> got = src.read(buf.data(), buf.size());
  while (got && *got > 0) got = src.read(buf.data(), buf.size());
  CHECK(!got.ok());
  CHECK_EQ(got.error().display(), "IO error: disk on fire");
}

TEST(zstd_refuses_windows_beyond_its_limit) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 28);
  const Bytes data = sample(1000);
  Bytes z(ZSTD_compressBound(data.size()) + 64);
  // Fed in two calls, so that the library cannot shrink the window to the input's size.
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  ZSTD_outBuffer out{z.data(), z.size(), 0};
  ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue);
  ZSTD_inBuffer none{nullptr, 0, 0};
  CHECK(ZSTD_compressStream2(cctx, &out, &none, ZSTD_e_end) == 0);
  ZSTD_freeCCtx(cctx);
  z.resize(out.pos);
  std::string error;
  CHECK(drain(z, 4096, &error).empty());
  CHECK_EQ(error,
           "Decoding error: corrupt zstd data near compressed byte 0: Frame requires too "
           "much memory for decoding");
}

TEST(zstd_levels) {
  CHECK(ZstdCompressor::create(ZstdCompressor::max_level()).ok());
  auto bad = ZstdCompressor::create(ZstdCompressor::max_level() + 1);
  CHECK(!bad.ok());
  CHECK_EQ(bad.error().display(), "Encoding error: zstd level " +
                                      std::to_string(ZstdCompressor::max_level() + 1) +
                                      " is outside " + std::to_string(ZstdCompressor::min_level()) +
                                      ".." + std::to_string(ZstdCompressor::max_level()));
  // Level 0 is the library's default.
  CHECK(drain(compress(sample(1000), 0), 64) == sample(1000));
}

TEST(zstd_magic_never_starts_a_raw_stream) {
  // Compressed output starts with the magic.
  CHECK(starts_zstd_frame(compress(sample(10))));
  CHECK(!starts_zstd_frame(Bytes{0x28, 0xB5, 0x2F}));
  // Every valid schema and dataset gives a raw stream that does not: its third byte is the
  // schema code, 1 to 9, and the magic's third byte is 0x2F = 47.
  CHECK_EQ(kZstdMagic[2], 47);
  for (uint8_t schema = 1; schema <= 9; ++schema) {
    for (uint8_t dataset = 1; dataset <= 3; ++dataset) {
      Metadata m;
      m.schema = static_cast<Schema>(schema);
      m.dataset = static_cast<Dataset>(dataset);
      auto body = m.serialize();
      Bytes stream{static_cast<uint8_t>(body->size()), 0};
      stream.insert(stream.end(), body->begin(), body->end());
      CHECK(!starts_zstd_frame(stream));
    }
  }
  // A stream that did start with the magic announces a 0xB528-byte body whose schema byte is
  // 47: it never holds metadata.
  Bytes fake(kZstdMagic, kZstdMagic + 4);
  fake.resize(2 + 0xB528, 0);
  auto body = std::string_view(reinterpret_cast<const char*>(fake.data()) + 2, 0xB528);
  auto m = Metadata::deserialize(body);
  CHECK(!m.ok());
  CHECK_EQ(m.error().payload(), "Invalid schema value");
}
