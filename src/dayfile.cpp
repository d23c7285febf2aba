#include "dayfile.h"

#include <zstd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <numeric>
#include <tuple>
#include <utility>

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

// Values [i0, i0 + m) of a column stored as W byte planes of n bytes each, back into values:
// 16 at a time by interleaving the planes (SSE2), the rest one by one.
template <class U>
inline void gather_planes(const uint8_t* planes, size_t n, size_t i0, size_t m, U* vals) {
  constexpr size_t W = sizeof(U);
  const uint8_t* p = planes + i0;
  size_t i = 0;
  if constexpr (W == 1) {
    std::memcpy(vals, p, m);
    return;
  }
#if defined(__SSE2__)
  const auto at = [&](size_t b) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + b * n + i));
  };
  auto* out = reinterpret_cast<__m128i*>(vals);
  for (; i + 16 <= m; i += 16, out += W) {
    if constexpr (W == 2) {
      const __m128i a = at(0), b = at(1);
      _mm_storeu_si128(out + 0, _mm_unpacklo_epi8(a, b));
      _mm_storeu_si128(out + 1, _mm_unpackhi_epi8(a, b));
    } else if constexpr (W == 4) {
      const __m128i a01 = _mm_unpacklo_epi8(at(0), at(1)), b01 = _mm_unpackhi_epi8(at(0), at(1));
      const __m128i a23 = _mm_unpacklo_epi8(at(2), at(3)), b23 = _mm_unpackhi_epi8(at(2), at(3));
      _mm_storeu_si128(out + 0, _mm_unpacklo_epi16(a01, a23));
      _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(a01, a23));
      _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(b01, b23));
      _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(b01, b23));
    } else {
      __m128i pair[4][2];  // planes 2k and 2k+1 interleaved: values 0-7, then 8-15
      for (size_t k = 0; k < 4; ++k) {
        const __m128i lo = at(2 * k), hi = at(2 * k + 1);
        pair[k][0] = _mm_unpacklo_epi8(lo, hi);
        pair[k][1] = _mm_unpackhi_epi8(lo, hi);
      }
      for (size_t h = 0; h < 2; ++h) {
        // bytes 0-3 and 4-7 of values 8h .. 8h+3, then of 8h+4 .. 8h+7
        const __m128i q0 = _mm_unpacklo_epi16(pair[0][h], pair[1][h]);
        const __m128i q1 = _mm_unpackhi_epi16(pair[0][h], pair[1][h]);
        const __m128i r0 = _mm_unpacklo_epi16(pair[2][h], pair[3][h]);
        const __m128i r1 = _mm_unpackhi_epi16(pair[2][h], pair[3][h]);
        _mm_storeu_si128(out + 4 * h + 0, _mm_unpacklo_epi32(q0, r0));
        _mm_storeu_si128(out + 4 * h + 1, _mm_unpackhi_epi32(q0, r0));
        _mm_storeu_si128(out + 4 * h + 2, _mm_unpacklo_epi32(q1, r1));
        _mm_storeu_si128(out + 4 * h + 3, _mm_unpackhi_epi32(q1, r1));
      }
    }
  }
#endif
  for (; i < m; ++i) {
    U v = 0;
    for (size_t b = 0; b < W; ++b) v |= static_cast<U>(static_cast<U>(p[b * n + i]) << (8 * b));
    vals[i] = v;
  }
}

template <class U>
void decode_field(const uint8_t* planes, size_t n, size_t i0, size_t i1, const Field& f,
                  uint16_t event_offset, uint8_t* recs, size_t rec_size, U& prev) {
  constexpr size_t W = sizeof(U);
  const size_t m = i1 - i0;
  U vals[kChunk];
  gather_planes<U>(planes, n, i0, m, vals);
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

bool all_zero(const uint8_t* p, size_t m) {
  uint64_t any = 0;
  size_t i = 0;
  for (; i + 8 <= m; i += 8) any |= load<uint64_t>(p + i);
  for (; i < m; ++i) any |= p[i];
  return any == 0;
}

void untranspose(const Layout& l, const uint8_t* planes, size_t n, uint8_t* out) {
  std::vector<uint64_t> prev(l.fields.size(), 0);
  // Chunk by chunk, so that the chunk's records stay in cache while every field fills them;
  // a FromEvent field comes after ts_event in the list, so ts_event is there already. The
  // chunk starts zeroed, so that a plain field whose values are all zero there (padding,
  // reserved bytes, unused flags) costs a scan of its planes rather than a store per record.
  for (size_t i0 = 0; i0 < n; i0 += kChunk) {
    const size_t i1 = std::min(n, i0 + kChunk);
    std::memset(out + i0 * l.size, 0, (i1 - i0) * l.size);
    const uint8_t* p = planes;
    for (size_t k = 0; k < l.fields.size(); p += n * l.fields[k].width, ++k) {
      const Field& f = l.fields[k];
      if (f.code == Code::Plain) {
        bool zero = true;
        for (size_t b = 0; b < f.width && zero; ++b) zero = all_zero(p + b * n + i0, i1 - i0);
        if (zero) continue;
      }
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

namespace {

// A run of records of one block being merged.
struct Cursor {
  uint64_t ts;
  uint64_t tie;  // instrument id << 32 | block
  const uint8_t* p;
  const uint8_t* end;
};

// Merges the runs of `cursors` into `dst` by (ts_event, instrument id, block); a binary
// min-heap whose top is replaced in place and sifted down, one sift per record taken.
void merge_runs(std::vector<Cursor>& heap, size_t size, uint8_t* dst) {
  std::erase_if(heap, [](const Cursor& c) { return c.p == c.end; });
  if (heap.empty()) return;
  if (heap.size() == 1) {
    std::memcpy(dst, heap[0].p, static_cast<size_t>(heap[0].end - heap[0].p));
    return;
  }
  for (Cursor& c : heap) {
    const HeaderView h = header_at(c.p);
    c.ts = h.ts;
    c.tie = (uint64_t{h.id} << 32) | (c.tie & 0xFFFFFFFFu);
  }
  const auto less = [](const Cursor& a, const Cursor& b) {
    return a.ts < b.ts || (a.ts == b.ts && a.tie < b.tie);
  };
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
}

// The first record of records[lo, hi) (in ts_event order) at or after `ts`.
size_t first_at(const uint8_t* records, size_t size, size_t lo, size_t hi, uint64_t ts) {
  while (lo < hi) {
    const size_t m = lo + (hi - lo) / 2;
    if (header_at(records + m * size).ts < ts)
      lo = m + 1;
    else
      hi = m;
  }
  return lo;
}

}  // namespace

bool QueryRun::direct(size_t day) const {
  const DaySpec& ds = days_[day];
  if (ds.blocks.size() != 1) return false;
  const BlockSpec& b = ds.blocks[0];
  return b.known && b.coding != Coding::Raw && b.count > 0 && ds.start <= b.first &&
         (ds.end == UINT64_MAX || b.last < ds.end);
}

Status QueryRun::decode_one(size_t day, size_t block, Decoded& out, uint8_t* dst) const {
  const BlockSpec& b = days_[day].blocks[block];
  const size_t size = layout_size(kind_);
  if (size == 0) return no_layout(kind_);
  const auto need = [&]() -> Result<size_t> {
    if (b.count > (SIZE_MAX / size))
      return Error::decode("a count of " + std::to_string(b.count) + " records is too large");
    return static_cast<size_t>(b.count) * size;
  };
  const auto room = [&](size_t bytes) -> uint8_t* {
    if (dst) return dst;
    out.own = ScratchBuffer::take(bytes);
    return out.own.data();
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
      uint8_t* to = room(bytes);
      ORX_CHECK(zstd_decompress_exact(b.data, std::span<uint8_t>(to, bytes)));
      out.data = to;
      n = b.count;
      break;
    }
    case Coding::Columns: {
      ORX_TRY(size_t bytes, need());
      uint8_t* to = room(bytes);
      ORX_CHECK(decode_block(kind_, b.data, std::span<uint8_t>(to, bytes)));
      out.data = to;
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
    ScratchBuffer sorted_bytes = ScratchBuffer::take(n * size);
    for (size_t i = 0; i < n; ++i)
      std::memcpy(sorted_bytes.data() + i * size, d + order[i] * size, size);
    if (dst) {
      std::memcpy(dst, sorted_bytes.data(), n * size);
    } else {
      out.own = std::move(sorted_bytes);
      out.data = out.own.data();
    }
  }
  // The records are in ts_event order now: the bounds are found by binary search.
  const DaySpec& ds = days_[day];
  out.lo = first_at(out.data, size, 0, n, ds.start);
  out.hi = ds.end == UINT64_MAX ? n : first_at(out.data, size, out.lo, n, ds.end);
  return {};
}

Status QueryRun::run_jobs(size_t n, unsigned threads, const std::function<Status(size_t)>& fn,
                          const std::function<std::pair<size_t, size_t>(size_t)>& where) {
  std::mutex mu;
  size_t first_failed = SIZE_MAX;
  std::optional<Error> failure;
  parallel_for(n, threads, [&](size_t j) {
    Status st = fn(j);
    if (!st) {
      std::lock_guard<std::mutex> hold(mu);
      if (j < first_failed) {
        first_failed = j;
        failure = std::move(st).error();
      }
    }
  });
  if (!failure) return {};
  std::tie(failed_day_, failed_block_) = where(first_failed);
  return std::move(*failure);
}

Status QueryRun::decode(unsigned threads) {
  decoded_.clear();
  decoded_.resize(days_.size());
  counts_.assign(days_.size(), 0);
  std::vector<std::pair<size_t, size_t>> jobs;
  for (size_t d = 0; d < days_.size(); ++d) {
    decoded_[d].resize(days_[d].blocks.size());
    if (direct(d)) {  // all of its records are taken: the index says how many
      decoded_[d][0].hi = static_cast<size_t>(days_[d].blocks[0].count);
      continue;
    }
    for (size_t b = 0; b < days_[d].blocks.size(); ++b) jobs.emplace_back(d, b);
  }
  ORX_CHECK(run_jobs(
      jobs.size(), threads,
      [&](size_t j) {
        return decode_one(jobs[j].first, jobs[j].second, decoded_[jobs[j].first][jobs[j].second]);
      },
      [&](size_t j) { return jobs[j]; }));
  for (size_t d = 0; d < days_.size(); ++d)
    for (const Decoded& x : decoded_[d]) counts_[d] += x.hi - x.lo;
  return {};
}

size_t QueryRun::records() const {
  size_t n = 0;
  for (size_t c : counts_) n += c;
  return n;
}

Status QueryRun::merge(uint8_t* out, unsigned threads, size_t part_records) {
  const size_t size = layout_size(kind_);
  advise_huge_pages(out, records() * size);
  std::vector<size_t> at(days_.size() + 1, 0);
  for (size_t d = 0; d < days_.size(); ++d) at[d + 1] = at[d] + counts_[d];
  // A job is a direct day, or one part of a day cut by time: with its bounds in each block.
  struct Job {
    size_t day;
    bool direct;
    std::vector<size_t> lo, hi;  // of each block
    size_t offset = 0;           // in records, into out
  };
  std::vector<Job> jobs;
  for (size_t d = 0; d < days_.size(); ++d) {
    const auto& blocks = decoded_[d];
    if (direct(d)) {
      jobs.push_back({d, true, {}, {}, at[d]});
      continue;
    }
    // Every large day is cut into as many parts as there are threads, so that the jobs of a few
    // days (3 days on 2 threads) still share the threads evenly.
    const size_t parts =
        std::clamp<size_t>(part_records ? counts_[d] / part_records : 1, 1, std::max(threads, 1u));
    // Cut times chosen from a sample of every block's times, weighted by what each stands for.
    std::vector<uint64_t> cuts;
    if (parts > 1) {
      std::vector<std::pair<uint64_t, size_t>> sample;
      for (const Decoded& x : blocks) {
        const size_t m = x.hi - x.lo, step = std::max<size_t>(1, m / 64);
        for (size_t i = x.lo; i < x.hi; i += step)
          sample.emplace_back(header_at(x.data + i * size).ts, std::min(step, x.hi - i));
      }
      std::sort(sample.begin(), sample.end());
      size_t seen = 0, k = 1;
      for (const auto& [ts, w] : sample) {
        seen += w;
        while (k < parts && seen * parts >= counts_[d] * k) {
          if (cuts.empty() || ts > cuts.back()) cuts.push_back(ts);
          ++k;
        }
      }
    }
    size_t offset = at[d];
    std::vector<size_t> lo(blocks.size());
    for (size_t b = 0; b < blocks.size(); ++b) lo[b] = blocks[b].lo;
    for (size_t p = 0; p <= cuts.size(); ++p) {
      std::vector<size_t> hi(blocks.size());
      size_t taken = 0;
      for (size_t b = 0; b < blocks.size(); ++b) {
        hi[b] = p < cuts.size() ? first_at(blocks[b].data, size, lo[b], blocks[b].hi, cuts[p])
                                : blocks[b].hi;
        taken += hi[b] - lo[b];
      }
      jobs.push_back({d, false, lo, hi, offset});
      offset += taken;
      lo = std::move(hi);
    }
  }
  return run_jobs(
      jobs.size(), threads,
      [&](size_t j) -> Status {
        const Job& job = jobs[j];
        uint8_t* dst = out + job.offset * size;
        if (job.direct) return decode_one(job.day, 0, decoded_[job.day][0], dst);
        std::vector<Cursor> heap;
        const auto& blocks = decoded_[job.day];
        for (size_t b = 0; b < blocks.size(); ++b)
          heap.push_back(
              {0, b, blocks[b].data + job.lo[b] * size, blocks[b].data + job.hi[b] * size});
        merge_runs(heap, size, dst);
        return {};
      },
      [&](size_t j) { return std::pair<size_t, size_t>(jobs[j].day, 0); });
}

}  // namespace orx
