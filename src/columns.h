// The columns of each record kind: one description, next to the record layouts, from which
// every columnar form is derived (DataFrames, numpy dtypes, Arrow schemas, the writers' column
// readers). Columns are listed in the key order of the record's dictionary form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "records.h"
#include "result.h"

namespace orx {

// What a column holds beyond its integer layout.
enum class Role : uint8_t {
  Int,        // a plain integer field
  Price,      // fixed-point, nine decimal places
  Letter,     // action or side: an ASCII letter in a signed byte
  EventTime,  // ts_event: nanoseconds since the epoch, UTC; the frames' text timestamp
  Time,       // other nanosecond timestamps (ts_recv)
};

struct Column {
  const char* name;
  Role role;
  uint16_t offset;  // in the record
  uint8_t width;    // bytes: 1, 2, 4 or 8
  bool is_signed;
};

// The columns of records of `kind` (Mbp1, Trades, Bbo or Ohlcv); empty for other kinds.
std::span<const Column> columns_of(RType kind);

// The layout size of records of `kind`; 0 for kinds without a layout.
size_t layout_size(RType kind);

// The field as a 64-bit pattern: sign-extended for signed fields, zero-extended otherwise.
inline uint64_t read_field(const uint8_t* record, const Column& c) {
  const uint8_t* p = record + c.offset;
  switch (c.width) {
    case 1:
      return c.is_signed ? static_cast<uint64_t>(static_cast<int8_t>(*p)) : *p;
    case 2: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return c.is_signed ? static_cast<uint64_t>(static_cast<int16_t>(v)) : v;
    }
    case 4: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      return c.is_signed ? static_cast<uint64_t>(static_cast<int32_t>(v)) : v;
    }
    default: {
      uint64_t v;
      std::memcpy(&v, p, 8);
      return v;
    }
  }
}

// --- the batch builder ----------------------------------------------------------------------
//
// Columns of a run of records of one kind, filled in one pass over the records.

// The form a column is delivered in.
enum class Form : uint8_t {
  Native,   // the field's own width and signedness (a numpy/Arrow column of that type)
  Int64,    // widened to 64 bits: sign-extended when signed, zero-extended otherwise
  Float64,  // as a double; prices divided by 1e9 (the floating view of a fixed-point price)
};

// Where one column goes: `out` holds `count` values of the form's width.
struct ColumnSink {
  const Column* column;
  Form form;
  void* out;
};

// A run of whole records of one kind, back to back: `count` records from `data`, each
// `data[0] * 4` bytes long and at least its kind's layout size (the decoder's checks).
struct RecordRun {
  const uint8_t* data = nullptr;
  size_t size = 0;   // bytes
  size_t count = 0;  // records
  RType kind = RType::Mbp1;
  size_t stride = 0;  // the length of every record when known to be one, else 0
};

// Runs of at least this many records of one length are filled on several threads, a range of
// rows on each (below it, starting a thread costs about what it saves on a busy machine).
constexpr size_t kParallelRecords = size_t{1} << 18;

// Records are read in chunks of this many, so that a chunk stays in cache while every column
// takes its values from it.
constexpr size_t kChunkRecords = 256;

// A piece of a run: `count` records from `data`, the first being record `first` of the run.
// `stride` is the length of every record of the chunk when they all have one length, else 0.
struct RecordChunk {
  const uint8_t* data = nullptr;
  size_t count = 0;
  size_t first = 0;
  size_t stride = 0;
};

// Calls visit(const RecordChunk&) for consecutive chunks of at most kChunkRecords records
// covering `run`, in order.
template <class F>
void for_each_chunk(const RecordRun& run, F&& visit) {
  const uint8_t* p = run.data;
  const uint8_t* const end = run.data + run.size;
  for (size_t first = 0; first < run.count;) {
    const size_t n = run.count - first < kChunkRecords ? run.count - first : kChunkRecords;
    // Records of one length (the usual stream) are checked with independent loads; only a
    // chunk of several lengths is walked record by record.
    const size_t stride = static_cast<size_t>(p[0]) * 4;
    bool uniform = n * stride <= static_cast<size_t>(end - p);
    for (size_t i = 1; uniform && i < n; ++i) uniform &= p[i * stride] * size_t{4} == stride;
    RecordChunk chunk{p, n, first, uniform ? stride : 0};
    if (uniform) {
      p += n * stride;
    } else {
      for (size_t i = 0; i < n; ++i) p += static_cast<size_t>(p[0]) * 4;
    }
    visit(chunk);
    first += n;
  }
}

// --- ranges of rows on several threads --------------------------------------------------------

// How many ranges of rows `run` is filled in on `threads` threads: one when it is short or its
// records are not all of one length (run.stride 0).
inline size_t fill_ranges(const RecordRun& run, unsigned threads) {
  return run.stride && run.count >= kParallelRecords ? (threads ? threads : 1) : 1;
}

// Rows [first, last) of range t of `ranges` over `count` rows. Ranges start at multiples of 64
// rows, so that no two share a byte of a validity bitmap.
inline std::pair<size_t, size_t> range_rows(size_t count, size_t t, size_t ranges) {
  const auto at = [&](size_t k) {
    return k == ranges ? count : (count * k / ranges) & ~size_t{63};
  };
  return {t == 0 ? 0 : at(t), at(t + 1)};
}

// Calls visit(const RecordChunk&) for the chunks of rows [first, last) of a run of records of
// one length, each chunk's `first` counted from the start of the run.
template <class F>
void for_each_chunk_in(const RecordRun& run, size_t first, size_t last, F&& visit) {
  for (size_t at = first; at < last; at += kChunkRecords)
    visit(RecordChunk{run.data + at * run.stride,
                      last - at < kChunkRecords ? last - at : kChunkRecords, at, run.stride});
}

// Fills every sink with its column of `run`: one pass over the records, chunk by chunk.
void fill_columns(const RecordRun& run, std::span<const ColumnSink> sinks);

// Fills rows chunk.first to chunk.first + chunk.count of each sink from the records of `chunk`.
void fill_chunk(const RecordChunk& chunk, std::span<const ColumnSink> sinks);

// The width in bytes of one value of column `c` in form `f`.
inline size_t form_width(const Column& c, Form f) { return f == Form::Native ? c.width : 8; }

// --- the record packer ----------------------------------------------------------------------
//
// The inverse of the batch builder: columns of values back into records of one kind.

// The element type of a column handed to the packer.
enum class Elem : uint8_t { I8, U8, I16, U16, I32, U32, I64, U64, F64 };

// One column's values: `data` holds as many values of type `elem` as records are packed.
struct ColumnSource {
  const Column* column;  // a column of the kind being packed
  Elem elem;
  const void* data;
};

// Writes `count` records of `kind` to `out`, which has room for count × layout_size(kind)
// bytes: the header's length and rtype from the layout, padding bytes zero, every other field
// from its source, or zero when it has none. Each value must fit its field: an integer within
// the field's width and signedness; a float for a price rounds to the nearest nanounit and must
// convert back (divided by 1e9) to exactly that float, which holds for the floating view of
// every fixed-point price of magnitude below 2^52; a float for any other field must be a whole
// number. Sources for `length` and `rtype` must hold the layout's own values. The first value
// that does not fit fails the call with an Encode error naming its column, row (counted from
// `first_row`) and value; `out` then holds unspecified bytes.
Status pack_columns(RType kind, size_t count, std::span<const ColumnSource> sources, uint8_t* out,
                    size_t first_row = 0);

}  // namespace orx
