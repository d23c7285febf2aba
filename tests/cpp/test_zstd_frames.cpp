// zstd data frame by frame: boundaries and content sizes against frames built one by one, and
// the exact decompression of one frame refusing a frame that holds more or less.
#include <zstd.h>

#include <string>
#include <vector>

#include "check.h"
#include "zstd_frames.h"
#include "zstd_stream.h"

using namespace orx;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed;
  for (auto& b : out) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>("abcdefgh "[(x >> 16) % 9]);
  }
  return out;
}

Bytes frame_of(const Bytes& data) {
  auto c = ZstdCompressor::create(1);
  CHECK(c.ok());
  Bytes out;
  CHECK((*c)->write(data, out).ok() && (*c)->finish(out).ok());
  return out;
}

// A one-shot frame, whose header declares its content size.
Bytes declared_frame_of(const Bytes& data) {
  Bytes out(ZSTD_compressBound(data.size()));
  const size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 1);
  CHECK(!ZSTD_isError(n));
  out.resize(n);
  return out;
}

std::string error_of(const Status& st) { return st.ok() ? "" : st.error().display(); }

}  // namespace

TEST(zstd_frames_lists_data_and_skippable_frames_in_order) {
  const Bytes a = text(1000, 1), b = text(300000, 2);
  const Bytes fa = frame_of(a), fe = frame_of({}), fb = declared_frame_of(b);
  const Bytes skip = {0x5F, 0x2A, 0x4D, 0x18, 2, 0, 0, 0, 'h', 'i'};
  Bytes all = skip;
  for (const Bytes* f : {&fa, &fe, &skip, &fb}) all.insert(all.end(), f->begin(), f->end());
  auto got = zstd_frames(all);
  CHECK(got.ok());
  CHECK_EQ(got->size(), size_t{5});
  const uint64_t want_len[] = {skip.size(), fa.size(), fe.size(), skip.size(), fb.size()};
  const uint64_t want_content[] = {0, a.size(), 0, 0, b.size()};
  const bool want_skip[] = {true, false, false, true, false};
  uint64_t at = 0;
  for (size_t i = 0; i < 5; ++i) {
    CHECK_EQ((*got)[i].offset, at);
    CHECK_EQ((*got)[i].length, want_len[i]);
    CHECK_EQ((*got)[i].content, want_content[i]);
    CHECK_EQ((*got)[i].skippable, want_skip[i]);
    at += want_len[i];
  }
  CHECK(zstd_frames({}).ok() && zstd_frames({})->empty());
}

TEST(zstd_frames_refuses_what_is_not_whole_frames) {
  const Bytes f = frame_of(text(5000, 3));
  for (size_t cut : {size_t{1}, size_t{4}, f.size() / 2, f.size() - 1}) {
    const Bytes part(f.begin(), f.begin() + static_cast<long>(cut));
    auto got = zstd_frames(part);
    CHECK(!got.ok());
    CHECK(got.error().display().starts_with("Decoding error: zstd frame at byte 0: "));
  }
  Bytes two = f;
  two.insert(two.end(), {1, 2, 3, 4, 5});
  auto got = zstd_frames(two);
  CHECK(!got.ok());
  CHECK_EQ(got.error().display(), "Decoding error: zstd frame at byte " +
                                      std::to_string(f.size()) + ": Unknown frame descriptor");
  Bytes flipped = f;
  flipped[flipped.size() - 2] ^= 1;  // the checksum
  CHECK(!zstd_frames(flipped).ok());
}

TEST(zstd_decompress_exact_fills_exactly_or_refuses) {
  const Bytes data = text(200000, 4);
  for (const Bytes& f : {frame_of(data), declared_frame_of(data)}) {
    Bytes out(data.size());
    CHECK_EQ(error_of(zstd_decompress_exact(f, out)), "");
    CHECK(out == data);
    Bytes small(data.size() - 1);
    CHECK_EQ(error_of(zstd_decompress_exact(f, small)),
             "Decoding error: zstd frame at byte 0: holds more than " +
                 std::to_string(small.size()) + " bytes");
    Bytes large(data.size() + 1);
    CHECK_EQ(error_of(zstd_decompress_exact(f, large)),
             "Decoding error: zstd frame at byte 0: holds " + std::to_string(data.size()) +
                 " bytes, not " + std::to_string(large.size()));
  }
  // Exactly one frame: not two, not part of one, not a skippable frame.
  Bytes two = frame_of(data);
  const Bytes more = frame_of(data);
  two.insert(two.end(), more.begin(), more.end());
  Bytes out(2 * data.size());
  CHECK(error_of(zstd_decompress_exact(two, out)).ends_with("bytes long, not " +
                                                            std::to_string(two.size())));
  const Bytes skip = {0x50, 0x2A, 0x4D, 0x18, 0, 0, 0, 0};
  Bytes none;
  CHECK_EQ(error_of(zstd_decompress_exact(skip, none)),
           "Decoding error: zstd frame at byte 0: a skippable frame holds no data");
  const Bytes empty = frame_of({});
  CHECK_EQ(error_of(zstd_decompress_exact(empty, none)), "");
}
