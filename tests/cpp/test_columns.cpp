#include <cstring>
#include <random>
#include <vector>

#include "check.h"
#include "columns.h"

using namespace orx;

namespace {

constexpr RType kKinds[] = {RType::Mbp1, RType::Trades, RType::Bbo, RType::Ohlcv};

// `count` records of `kind` filled with random bytes; with `ragged`, every third record is two
// words longer than its layout.
std::vector<uint8_t> random_run(RType kind, size_t count, bool ragged, std::mt19937_64& rng) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; ++i) {
    const size_t size = layout_size(kind) + (ragged && i % 3 == 1 ? 8 : 0);
    const size_t at = out.size();
    out.resize(at + size);
    for (size_t k = 0; k < size; ++k) out[at + k] = static_cast<uint8_t>(rng());
    out[at] = static_cast<uint8_t>(size / 4);
    out[at + 1] = static_cast<uint8_t>(kind);
  }
  return out;
}

// The value read_field gives, in form `f`, as the 8 bytes (or native width) fill_columns writes.
std::vector<uint8_t> expected(const uint8_t* record, const Column& c, Form f) {
  const uint64_t v = read_field(record, c);
  std::vector<uint8_t> out(form_width(c, f));
  if (f == Form::Float64) {
    double d = c.is_signed ? static_cast<double>(static_cast<int64_t>(v)) : static_cast<double>(v);
    if (c.role == Role::Price) d /= 1'000'000'000.0;
    std::memcpy(out.data(), &d, 8);
  } else {
    std::memcpy(out.data(), &v, out.size());  // little-endian: the low bytes are the native value
  }
  return out;
}

}  // namespace

TEST(fill_columns_matches_read_field) {
  std::mt19937_64 rng(11);
  const size_t counts[] = {
      0, 1, kChunkRecords - 1, kChunkRecords, kChunkRecords + 1, 2 * kChunkRecords + 3};
  for (RType kind : kKinds) {
    for (size_t count : counts) {
      for (bool ragged : {false, true}) {
        const std::vector<uint8_t> bytes = random_run(kind, count, ragged, rng);
        const RecordRun run{bytes.data(), bytes.size(), count, kind};
        std::vector<ColumnSink> sinks;
        std::vector<std::vector<uint8_t>> outs;
        for (const Column& c : columns_of(kind))
          for (Form f : {Form::Native, Form::Int64, Form::Float64}) {
            outs.emplace_back(count * form_width(c, f) + 1, 0xEE);  // one guard byte
            sinks.push_back({&c, f, outs.back().data()});
          }
        fill_columns(run, sinks);
        for (size_t k = 0; k < sinks.size(); ++k) {
          const ColumnSink& s = sinks[k];
          const size_t w = form_width(*s.column, s.form);
          const uint8_t* p = bytes.data();
          for (size_t i = 0; i < count; ++i, p += p[0] * size_t{4}) {
            const std::vector<uint8_t> got(outs[k].data() + i * w, outs[k].data() + (i + 1) * w);
            if (got != expected(p, *s.column, s.form)) {
              CHECK_EQ(std::string(s.column->name) + " row " + std::to_string(i), std::string());
              return;
            }
          }
          CHECK_EQ(outs[k].back(), 0xEE);
        }
      }
    }
  }
}

TEST(chunks_cover_the_run_in_order) {
  std::mt19937_64 rng(5);
  for (bool ragged : {false, true}) {
    const size_t count = 3 * kChunkRecords + 7;
    const std::vector<uint8_t> bytes = random_run(RType::Trades, count, ragged, rng);
    const uint8_t* next = bytes.data();
    size_t rows = 0, uniform = 0;
    for_each_chunk(RecordRun{bytes.data(), bytes.size(), count, RType::Trades},
                   [&](const RecordChunk& chunk) {
                     CHECK(chunk.data == next);
                     CHECK_EQ(chunk.first, rows);
                     CHECK(chunk.count <= kChunkRecords);
                     uniform += chunk.stride != 0;
                     for (size_t i = 0; i < chunk.count; ++i) next += next[0] * size_t{4};
                     rows += chunk.count;
                   });
    CHECK_EQ(rows, count);
    CHECK(next == bytes.data() + bytes.size());
    CHECK_EQ(uniform, ragged ? size_t{0} : size_t{4});
  }
  // Records of one length up to the chunk, then a short one past it: the stride check stays
  // inside the run.
  std::vector<uint8_t> bytes = random_run(RType::Mbp1, 2, false, rng);
  const std::vector<uint8_t> tail = random_run(RType::Trades, 1, false, rng);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  size_t chunks = 0;
  for_each_chunk(RecordRun{bytes.data(), bytes.size(), 3, RType::Mbp1},
                 [&](const RecordChunk& chunk) {
                   CHECK_EQ(chunk.stride, size_t{0});
                   ++chunks;
                 });
  CHECK_EQ(chunks, size_t{1});
}
