// Byte sources and the streaming reader: the detection prefix is handed back, files fail by
// their category, and Arrow arrays own their buffers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arrow.h"
#include "bytes_builder.h"
#include "check.h"
#include "sources.h"
#include "stream_reader.h"

using namespace orx;
using orx::test::Bytes;

namespace {

// A source that hands out one byte per read and counts its reads.
class Trickle final : public ByteSource {
 public:
  explicit Trickle(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  Result<size_t> read(uint8_t* dst, size_t n) override {
    ++reads;
    if (at_ == bytes_.size() || n == 0) return size_t{0};
    *dst = bytes_[at_++];
    return size_t{1};
  }
  size_t reads = 0;

 private:
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
};

std::vector<uint8_t> drain(ByteSource& s) {
  std::vector<uint8_t> out(64);
  auto got = read_up_to(s, out.data(), out.size());
  out.resize(got ? *got : 0);
  return out;
}

// An OHLCV record (64 bytes) of instrument `iid`.
Bytes ohlcv(uint32_t iid, int64_t close) {
  return Bytes().u8(16).u8(2).u16(0).u32(iid).u64(1).u64(0).u64(1).u64(2).u64(3).le(close, 8).u64(
      9);
}

}  // namespace

TEST(stream_source_hands_back_the_bytes_it_looked_at) {
  for (const std::vector<uint8_t>& bytes : {std::vector<uint8_t>{}, std::vector<uint8_t>{1, 2},
                                            std::vector<uint8_t>{1, 2, 3, 4, 5, 6}}) {
    auto source = stream_source(std::make_unique<Trickle>(bytes));
    CHECK(source.ok());
    CHECK(drain(**source) == bytes);
  }
}

TEST(file_source_failures_keep_their_category) {
  auto missing = FileSource::open("/nonexistent/orx/stream");
  CHECK(!missing && missing.error().io_kind() == IoKind::NotFound);
  auto nul = FileSource::open(std::string("a\0b", 3));
  CHECK(!nul && nul.error().io_kind() == IoKind::InvalidData);
}

TEST(reader_reads_byte_by_byte_and_exports_arrow) {
  Bytes b = Bytes().u16(22).u8(2).u8(1).u64(0).u64(0).u32(0);
  for (const Bytes& r : {ohlcv(7, -5), ohlcv(8, 6)}) b.v.insert(b.v.end(), r.v.begin(), r.v.end());
  auto trickle = std::make_unique<Trickle>(b.v);
  Trickle* counter = trickle.get();
  StreamReader::Options options;
  options.chunk = 1;
  auto reader = StreamReader::open(std::move(trickle), options);
  CHECK(reader.ok() && reader->metadata().has_value());
  std::vector<uint8_t> run;
  RunInfo info;
  CHECK(reader->read_run(10, run, info).ok());
  CHECK_EQ(info.count, size_t{2});
  CHECK_EQ(info.stride, size_t{64});
  CHECK_EQ(info.kinds, uint32_t{1} << 2);
  CHECK(counter->reads >= 2 * 64);
  CHECK_EQ(reader->offset(), uint64_t{24 + 128});

  SymbolMap symbols;
  symbols.map = {{8, "NQZ6"}, {7, "ESZ6"}, {9, "ESZ6"}};
  const SymbolDictionary dictionary = SymbolDictionary::of(symbols);
  CHECK(dictionary.tickers == (std::vector<std::string>{"ESZ6", "NQZ6"}));
  ArrowArray array;
  export_array({run.data(), run.size(), 2, RType::Ohlcv}, PriceForm::Fixed, dictionary, &array);
  CHECK_EQ(array.n_children, int64_t{11});
  const ArrowArray* close = array.children[8];
  CHECK_EQ(static_cast<const int64_t*>(close->buffers[1])[0], int64_t{-5});
  const ArrowArray* symbol = array.children[10];
  CHECK_EQ(static_cast<const int32_t*>(symbol->buffers[1])[1], int32_t{1});
  CHECK(symbol->dictionary->length == 2 && symbol->null_count == 0);
  // A consumer may move a child out and release it on its own.
  ArrowArray moved = *array.children[8];
  array.children[8]->release = nullptr;
  array.release(&array);
  CHECK(array.release == nullptr);
  moved.release(&moved);
}

namespace {

// Hands out `bytes` in reads of at most `step`, then fails.
class FailingSource final : public ByteSource {
 public:
  FailingSource(std::vector<uint8_t> bytes, size_t step) : bytes_(std::move(bytes)), step_(step) {}
  Result<size_t> read(uint8_t* dst, size_t n) override {
    if (at_ == bytes_.size()) return Error::decode("corrupt at the end");
    const size_t take = std::min({n, step_, bytes_.size() - at_});
    std::memcpy(dst, bytes_.data() + at_, take);
    at_ += take;
    return take;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t step_;
  size_t at_ = 0;
};

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7);
  return v;
}

}  // namespace

TEST(read_ahead_hands_out_every_byte_in_order_then_the_failure) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{99}, size_t{100}, size_t{101}, size_t{1000}}) {
    const std::vector<uint8_t> bytes = counting(n);
    ReadAheadSource source(std::make_unique<FailingSource>(bytes, 7), 100, 2);
    std::vector<uint8_t> got(n + 10);
    size_t filled = 0;
    Result<size_t> r = size_t{0};
    while ((r = source.read(got.data() + filled, 13)) && *r > 0) filled += *r;
    CHECK_EQ(filled, n);
    got.resize(filled);
    CHECK(got == bytes);
    CHECK(!r && r.error().display().find("corrupt at the end") != std::string::npos);
    CHECK(!source.read(got.data(), 1));  // the failure repeats
  }
}

TEST(read_ahead_ends_cleanly_when_dropped_unread) {
  // The thread waits with its pieces full; dropping the source must stop it, not hang.
  const std::vector<uint8_t> big = counting(1 << 16);
  auto source = std::make_unique<ReadAheadSource>(
      std::make_unique<MemorySource>(
          std::string_view(reinterpret_cast<const char*>(big.data()), big.size())),
      64, 2);
  uint8_t one = 1;
  CHECK(source->read(&one, 1).ok() && one == big[0]);
  source.reset();
}
