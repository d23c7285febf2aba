#include "dayfile.h"

#include <zstd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <numeric>
#include <thread>

#include "columns.h"
#include "zstd_frames.h"

namespace orx {
namespace {

// --- CRC-32C ---------------------------------------------------------------------------------

constexpr uint32_t kCrcPoly = 0x82F63B78u;  // reflected Castagnoli polynomial

struct CrcTables {
  uint32_t t[8][256];
  constexpr CrcTables() : t{} {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (kCrcPoly & (0u - (c & 1u)));
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
};
constexpr CrcTables kCrc;

uint32_t crc_portable(const uint8_t* p, size_t n, uint32_t c) {
  while (n >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    v ^= c;
    c = kCrc.t[7][v & 0xFF] ^ kCrc.t[6][(v >> 8) & 0xFF] ^ kCrc.t[5][(v >> 16) & 0xFF] ^
        kCrc.t[4][(v >> 24) & 0xFF] ^ kCrc.t[3][(v >> 32) & 0xFF] ^ kCrc.t[2][(v >> 40) & 0xFF] ^
        kCrc.t[1][(v >> 48) & 0xFF] ^ kCrc.t[0][v >> 56];
    p += 8;
    n -= 8;
  }
  while (n--) c = (c >> 8) ^ kCrc.t[0][(c ^ *p++) & 0xFF];
  return c;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("sse4.2"))) uint32_t crc_sse42(const uint8_t* p, size_t n, uint32_t c) {
  uint64_t c64 = c;
  while (n >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    c64 = __builtin_ia32_crc32di(c64, v);
    p += 8;
    n -= 8;
  }
  c = static_cast<uint32_t>(c64);
  while (n--) c = __builtin_ia32_crc32qi(c, *p++);
  return c;
}
const bool kHaveSse42 = __builtin_cpu_supports("sse4.2");
#endif

// --- column coding ---------------------------------------------------------------------------

enum class Code : uint8_t { Plain, Delta, FromEvent };

struct Field {
  uint16_t offset;
  uint8_t width;
  Code code;
};

Code code_of(const Column& c) {
  if (c.role == Role::EventTime || c.role == Role::Price) return Code::Delta;
  if (c.role == Role::Time) return Code::FromEvent;
  if (std::strcmp(c.name, "sequence") == 0) return Code::Delta;
  return Code::Plain;
}

// The fields of a kind as stored: its columns, then every byte no column covers.
struct Layout {
  std::vector<Field> fields;
  size_t size = 0;
  uint16_t event_offset = 0;
};

Layout make_layout(RType kind) {
  Layout l;
  l.size = layout_size(kind);
  std::vector<bool> covered(l.size, false);
  for (const Column& c : columns_of(kind)) {
    l.fields.push_back({c.offset, c.width, code_of(c)});
    if (c.role == Role::EventTime) l.event_offset = c.offset;
    for (size_t b = 0; b < c.width; ++b) covered[c.offset + b] = true;
  }
  for (size_t b = 0; b < l.size; ++b)
    if (!covered[b]) l.fields.push_back({static_cast<uint16_t>(b), 1, Code::Plain});
  return l;
}

const Layout* layout_of(RType kind) {
  static const std::array<Layout, 4> layouts = {make_layout(RType::Mbp1),
                                                make_layout(RType::Trades), make_layout(RType::Bbo),
                                                make_layout(RType::Ohlcv)};
  switch (kind) {
    case RType::Mbp1:
      return &layouts[0];
    case RType::Trades:
      return &layouts[1];
    case RType::Bbo:
      return &layouts[2];
    case RType::Ohlcv:
      return &layouts[3];
    default:
      return nullptr;
  }
}

template <class U>
inline U load(const uint8_t* p) {
  U v;
  std::memcpy(&v, p, sizeof(U));
  return v;
}

template <class U>
inline void store(uint8_t* p, U v) {
  std::memcpy(p, &v, sizeof(U));
}

template <class U>
inline U zigzag(U d) {
  using S = std::make_signed_t<U>;
  return static_cast<U>((d << 1) ^ static_cast<U>(static_cast<S>(d) >> (sizeof(U) * 8 - 1)));
}

template <class U>
inline U unzigzag(U z) {
  return static_cast<U>((z >> 1) ^ (0 - (z & 1)));
}

constexpr size_t kChunk = 256;

template <class U>
void encode_field(const uint8_t* recs, size_t rec_size, size_t n, const Field& f,
                  uint16_t event_offset, uint8_t* planes) {
  constexpr size_t W = sizeof(U);
  U prev = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* r = recs + i * rec_size;
    U v = load<U>(r + f.offset);
    U coded = v;
    if (f.code == Code::Delta) {
      coded = zigzag<U>(static_cast<U>(v - prev));
      prev = v;
    } else if (f.code == Code::FromEvent) {
      coded = zigzag<U>(static_cast<U>(v - static_cast<U>(load<uint64_t>(r + event_offset))));
    }
    for (size_t b = 0; b < W; ++b) planes[b * n + i] = static_cast<uint8_t>(coded >> (8 * b));
  }
}

template <class U>
void decode_field(const uint8_t* planes, size_t n, size_t i0, size_t i1, const Field& f,
                  uint16_t event_offset, uint8_t* recs, size_t rec_size, U& prev) {
  constexpr size_t W = sizeof(U);
  const size_t m = i1 - i0;
  U vals[kChunk];
  // Byte planes back into values, one plane at a time (loops the compiler vectorises).
  for (size_t i = 0; i < m; ++i) vals[i] = planes[i0 + i];
  for (size_t b = 1; b < W; ++b) {
    const uint8_t* plane = planes + b * n + i0;
    for (size_t i = 0; i < m; ++i) vals[i] |= static_cast<U>(static_cast<U>(plane[i]) << (8 * b));
  }
  uint8_t* r = recs + i0 * rec_size;
  if (f.code == Code::Delta) {
    U v = prev;
    for (size_t i = 0; i < m; ++i, r += rec_size) {
      v = static_cast<U>(v + unzigzag<U>(vals[i]));
      store<U>(r + f.offset, v);
    }
    prev = v;
  } else if (f.code == Code::FromEvent) {
    for (size_t i = 0; i < m; ++i, r += rec_size)
      store<U>(r + f.offset, static_cast<U>(unzigzag<U>(vals[i]) +
                                            static_cast<U>(load<uint64_t>(r + event_offset))));
  } else {
    for (size_t i = 0; i < m; ++i, r += rec_size) store<U>(r + f.offset, vals[i]);
  }
}

void transpose(const Layout& l, std::span<const uint8_t> records, uint8_t* out) {
  const size_t n = records.size() / l.size;
  for (const Field& f : l.fields) {
    switch (f.width) {
      case 1:
        encode_field<uint8_t>(records.data(), l.size, n, f, l.event_offset, out);
        break;
      case 2:
        encode_field<uint16_t>(records.data(), l.size, n, f, l.event_offset, out);
        break;
      case 4:
        encode_field<uint32_t>(records.data(), l.size, n, f, l.event_offset, out);
        break;
      default:
        encode_field<uint64_t>(records.data(), l.size, n, f, l.event_offset, out);
        break;
    }
    out += n * f.width;
  }
}

void untranspose(const Layout& l, const uint8_t* planes, size_t n, uint8_t* out) {
  std::vector<uint64_t> prev(l.fields.size(), 0);
  // Chunk by chunk, so that the chunk's records stay in cache while every field fills them;
  // a FromEvent field comes after ts_event in the list, so ts_event is there already.
  for (size_t i0 = 0; i0 < n; i0 += kChunk) {
    const size_t i1 = std::min(n, i0 + kChunk);
    const uint8_t* p = planes;
    for (size_t k = 0; k < l.fields.size(); ++k) {
      const Field& f = l.fields[k];
      switch (f.width) {
        case 1: {
          uint8_t v = static_cast<uint8_t>(prev[k]);
          decode_field<uint8_t>(p, n, i0, i1, f, l.event_offset, out, l.size, v);
          prev[k] = v;
          break;
        }
        case 2: {
          uint16_t v = static_cast<uint16_t>(prev[k]);
          decode_field<uint16_t>(p, n, i0, i1, f, l.event_offset, out, l.size, v);
          prev[k] = v;
          break;
        }
        case 4: {
          uint32_t v = static_cast<uint32_t>(prev[k]);
          decode_field<uint32_t>(p, n, i0, i1, f, l.event_offset, out, l.size, v);
          prev[k] = v;
          break;
        }
        default:
          decode_field<uint64_t>(p, n, i0, i1, f, l.event_offset, out, l.size, prev[k]);
          break;
      }
      p += n * f.width;
    }
  }
}

Status no_layout(RType kind) {
  return Error::decode("records of rtype " + std::to_string(static_cast<unsigned>(kind)) +
                       " have no layout a day file stores");
}

struct HeaderView {
  uint64_t ts;
  uint32_t id;
};

inline HeaderView header_at(const uint8_t* r) {
  return {load<uint64_t>(r + offsetof(RecordHeader, ts_event)),
          load<uint32_t>(r + offsetof(RecordHeader, instrument_id))};
}

inline bool before(const HeaderView& a, const HeaderView& b) {
  return a.ts < b.ts || (a.ts == b.ts && a.id < b.id);
}

}  // namespace

uint32_t crc32c(std::span<const uint8_t> data, uint32_t crc) {
  crc = ~crc;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (kHaveSse42) return ~crc_sse42(data.data(), data.size(), crc);
#endif
  return ~crc_portable(data.data(), data.size(), crc);
}

Result<std::vector<uint8_t>> encode_block(RType kind, std::span<const uint8_t> records, int level) {
  const Layout* l = layout_of(kind);
  if (!l) return no_layout(kind).error();
  if (records.size() % l->size)
    return Error::encode(std::to_string(records.size()) + " bytes are not whole records");
  std::vector<uint8_t> planes(records.size());
  transpose(*l, records, planes.data());
  std::vector<uint8_t> out(ZSTD_compressBound(planes.size()) + 4);
  const size_t n = ZSTD_compress(out.data(), out.size() - 4, planes.data(), planes.size(), level);
  if (ZSTD_isError(n)) return Error::encode(std::string("zstd: ") + ZSTD_getErrorName(n));
  const uint32_t crc = crc32c(std::span<const uint8_t>(out.data(), n));
  store<uint32_t>(out.data() + n, crc);
  out.resize(n + 4);
  return out;
}

Result<std::vector<std::vector<uint8_t>>> encode_blocks(RType kind,
                                                        std::span<const uint8_t> records,
                                                        std::span<const size_t> cuts, int level,
                                                        unsigned threads) {
  const Layout* l = layout_of(kind);
  if (!l) return no_layout(kind).error();
  const size_t blocks = cuts.size() < 2 ? 0 : cuts.size() - 1;
  for (size_t i = 0; i < blocks; ++i)
    if (cuts[i] > cuts[i + 1] || cuts[i + 1] * l->size > records.size())
      return Error::encode("block " + std::to_string(i) + " lies outside the records");
  std::vector<std::vector<uint8_t>> out(blocks);
  std::vector<std::optional<Error>> errors(blocks);
  parallel_for(blocks, threads, [&](size_t i) {
    auto b = encode_block(
        kind, records.subspan(cuts[i] * l->size, (cuts[i + 1] - cuts[i]) * l->size), level);
    if (b)
      out[i] = std::move(*b);
    else
      errors[i] = std::move(b).error();
  });
  for (auto& e : errors)
    if (e) return std::move(*e);
  return out;
}

Status decode_block(RType kind, std::span<const uint8_t> stored, std::span<uint8_t> out) {
  const Layout* l = layout_of(kind);
  if (!l) return no_layout(kind);
  if (out.size() % l->size) return Error::decode("the output is not whole records");
  if (stored.size() < 4)
    return Error::decode("a block of " + std::to_string(stored.size()) +
                         " bytes is too short to hold its checksum");
  const auto frame = stored.first(stored.size() - 4);
  const uint32_t want = load<uint32_t>(stored.data() + frame.size());
  if (crc32c(frame) != want) return Error::decode("its checksum does not match its bytes");
  // One buffer of planes per thread, kept between blocks: fresh pages cost more than the copy.
  thread_local std::vector<uint8_t> planes;
  if (planes.size() < out.size()) planes.resize(out.size());
  ORX_CHECK(zstd_decompress_exact(frame, std::span<uint8_t>(planes.data(), out.size())));
  untranspose(*l, planes.data(), out.size() / l->size, out.data());
  if (planes.size() > (size_t{64} << 20)) std::vector<uint8_t>().swap(planes);
  return {};
}

// --- the executor ----------------------------------------------------------------------------

unsigned default_threads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : std::min(n, 4u);
}

void parallel_for(size_t n, unsigned threads, const std::function<void(size_t)>& fn) {
  if (threads <= 1 || n <= 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) fn(i);
  };
  const size_t helpers = std::min<size_t>(threads, n) - 1;
  std::vector<std::thread> pool;
  pool.reserve(helpers);
  for (size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
}

Status QueryRun::decode_one(size_t day, size_t block, Decoded& out) const {
  const BlockSpec& b = days_[day].blocks[block];
  const size_t size = layout_size(kind_);
  if (size == 0) return no_layout(kind_);
  const auto need = [&]() -> Result<size_t> {
    if (b.count > (SIZE_MAX / size))
      return Error::decode("a count of " + std::to_string(b.count) + " records is too large");
    return static_cast<size_t>(b.count) * size;
  };
  size_t n = 0;
  switch (b.coding) {
    case Coding::Raw:
      if (b.known) {
        ORX_TRY(size_t bytes, need());
        if (b.data.size() != bytes)
          return Error::decode(std::to_string(b.data.size()) + " bytes are not " +
                               std::to_string(b.count) + " records");
      } else if (b.data.size() % size) {
        return Error::decode("the records are not whole");
      }
      out.data = b.data.data();
      n = b.data.size() / size;
      break;
    case Coding::Zstd: {
      ORX_TRY(size_t bytes, need());
      out.own.resize(bytes);
      ORX_CHECK(zstd_decompress_exact(b.data, out.own));
      out.data = out.own.data();
      n = b.count;
      break;
    }
    case Coding::Columns: {
      ORX_TRY(size_t bytes, need());
      out.own.resize(bytes);
      ORX_CHECK(decode_block(kind_, b.data, out.own));
      out.data = out.own.data();
      n = b.count;
      break;
    }
  }
  bool sorted = true;
  if (b.known) {
    const uint16_t want = static_cast<uint16_t>((size / 4) | (static_cast<unsigned>(kind_) << 8));
    uint64_t lo = UINT64_MAX, hi = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* r = out.data + i * size;
      const HeaderView h = header_at(r);
      if (load<uint16_t>(r) != want)
        return Error::decode("record " + std::to_string(i) + " is not a record of its kind");
      if (h.id != b.id)
        return Error::decode("record " + std::to_string(i) + " is of instrument " +
                             std::to_string(h.id));
      lo = std::min(lo, h.ts);
      hi = std::max(hi, h.ts);
      if (i && h.ts < header_at(r - size).ts) sorted = false;
    }
    if (n && (lo != b.first || hi != b.last))
      return Error::decode("its records range over other times (" + std::to_string(lo) + " to " +
                           std::to_string(hi) + ")");
  } else {
    for (size_t i = 1; i < n && sorted; ++i)
      sorted = !before(header_at(out.data + i * size), header_at(out.data + (i - 1) * size));
  }
  if (!sorted) {
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    const uint8_t* d = out.data;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t c) {
      return before(header_at(d + a * size), header_at(d + c * size));
    });
    std::vector<uint8_t> sorted_bytes(n * size);
    for (size_t i = 0; i < n; ++i)
      std::memcpy(sorted_bytes.data() + i * size, d + order[i] * size, size);
    out.own = std::move(sorted_bytes);
    out.data = out.own.data();
  }
  const DaySpec& ds = days_[day];
  const auto ts_at = [&](size_t i) { return header_at(out.data + i * size).ts; };
  size_t lo = 0, hi = n;
  // The records are in ts_event order now: the bounds are found by binary search.
  {
    size_t a = 0, c = n;
    while (a < c) {
      const size_t m = (a + c) / 2;
      if (ts_at(m) < ds.start)
        a = m + 1;
      else
        c = m;
    }
    lo = a;
    c = n;
    while (a < c) {
      const size_t m = (a + c) / 2;
      if (ts_at(m) < ds.end)
        a = m + 1;
      else
        c = m;
    }
    hi = ds.end == UINT64_MAX ? n : a;
  }
  out.lo = lo;
  out.hi = hi;
  return {};
}

Status QueryRun::decode(unsigned threads) {
  decoded_.assign(days_.size(), {});
  std::vector<std::pair<size_t, size_t>> jobs;
  for (size_t d = 0; d < days_.size(); ++d) {
    decoded_[d].resize(days_[d].blocks.size());
    for (size_t b = 0; b < days_[d].blocks.size(); ++b) jobs.emplace_back(d, b);
  }
  std::mutex mu;
  size_t first_failed = SIZE_MAX;
  std::optional<Error> failure;
  parallel_for(jobs.size(), threads, [&](size_t j) {
    auto [d, b] = jobs[j];
    Status st = decode_one(d, b, decoded_[d][b]);
    if (!st) {
      std::lock_guard<std::mutex> hold(mu);
      if (j < first_failed) {
        first_failed = j;
        failure = std::move(st).error();
      }
    }
  });
  if (failure) {
    failed_day_ = jobs[first_failed].first;
    failed_block_ = jobs[first_failed].second;
    return std::move(*failure);
  }
  counts_.assign(days_.size(), 0);
  for (size_t d = 0; d < days_.size(); ++d)
    for (const Decoded& x : decoded_[d]) counts_[d] += x.hi - x.lo;
  return {};
}

size_t QueryRun::records() const {
  size_t n = 0;
  for (size_t c : counts_) n += c;
  return n;
}

void QueryRun::merge(uint8_t* out, unsigned threads) const {
  const size_t size = layout_size(kind_);
  std::vector<size_t> at(days_.size() + 1, 0);
  for (size_t d = 0; d < days_.size(); ++d) at[d + 1] = at[d] + counts_[d];
  parallel_for(days_.size(), threads, [&](size_t d) {
    uint8_t* dst = out + at[d] * size;
    const auto& blocks = decoded_[d];
    struct Cursor {
      uint64_t ts;
      uint64_t tie;  // instrument id << 32 | block
      const uint8_t* p;
      const uint8_t* end;
    };
    std::vector<Cursor> heap;
    for (size_t b = 0; b < blocks.size(); ++b) {
      const Decoded& x = blocks[b];
      if (x.lo == x.hi) continue;
      const uint8_t* p = x.data + x.lo * size;
      const HeaderView h = header_at(p);
      heap.push_back({h.ts, (uint64_t{h.id} << 32) | b, p, x.data + x.hi * size});
    }
    if (heap.size() == 1) {
      std::memcpy(dst, heap[0].p, static_cast<size_t>(heap[0].end - heap[0].p));
      return;
    }
    const auto less = [](const Cursor& a, const Cursor& b) {
      return a.ts < b.ts || (a.ts == b.ts && a.tie < b.tie);
    };
    // A binary min-heap on (ts_event, instrument id, block); the top is replaced in place
    // and sifted down, one sift per record taken.
    const auto sift = [&](size_t i) {
      const size_t k = heap.size();
      Cursor c = heap[i];
      for (;;) {
        size_t child = 2 * i + 1;
        if (child >= k) break;
        if (child + 1 < k && less(heap[child + 1], heap[child])) ++child;
        if (!less(heap[child], c)) break;
        heap[i] = heap[child];
        i = child;
      }
      heap[i] = c;
    };
    for (size_t i = heap.size() / 2; i-- > 0;) sift(i);
    while (!heap.empty()) {
      Cursor& top = heap[0];
      std::memcpy(dst, top.p, size);
      dst += size;
      top.p += size;
      if (top.p == top.end) {
        top = heap.back();
        heap.pop_back();
        if (heap.empty()) break;
      } else {
        const HeaderView h = header_at(top.p);
        top.ts = h.ts;
        top.tie = (uint64_t{h.id} << 32) | (top.tie & 0xFFFFFFFFu);
      }
      sift(0);
    }
  });
}

}  // namespace orx
