// The record packer: columns back into records, in cache-sized chunks of records, with the
// conversion of each column chosen once per call (element type x field type).
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "columns.h"
#include "enums.h"

namespace orx {
namespace {

// Records per chunk: the chunk's records stay in cache while every column is written.
constexpr size_t kChunk = 1024;

// Writes values [begin, end) of one column into the records at `out` (the chunk's first
// record is row `begin`); on a value that does not fit, stores its row in `bad` and stops.
using Writer = bool (*)(const void* in, size_t begin, size_t end, uint8_t* out, size_t stride,
                        size_t& bad);

template <class Field>
void store(uint8_t* p, Field v) {
  std::memcpy(p, &v, sizeof v);
}

template <class In, class Field>
bool write_ints(const void* in, size_t begin, size_t end, uint8_t* out, size_t stride,
                size_t& bad) {
  const In* v = static_cast<const In*>(in);
  for (size_t i = begin; i < end; ++i, out += stride) {
    if (!std::in_range<Field>(v[i])) {
      bad = i;
      return false;
    }
    store(out, static_cast<Field>(v[i]));
  }
  return true;
}

// The fixed-point price whose floating view is exactly `x`, if there is one: the nearest
// nanounit to x × 1e9, or a neighbour of it when the rounding of the product was off by one.
bool price_of(double x, int64_t& n) {
  const double scaled = x * 1'000'000'000.0;
  if (!(std::fabs(scaled) < 9.2233720368547748e18)) return false;  // NaN, infinities, > 2^63
  const auto near = static_cast<int64_t>(std::nearbyint(scaled));
  for (const int64_t c : {near, near - 1, near + 1}) {
    if (static_cast<double>(c) / 1'000'000'000.0 == x) {
      n = c;
      return true;
    }
  }
  return false;
}

bool write_prices(const void* in, size_t begin, size_t end, uint8_t* out, size_t stride,
                  size_t& bad) {
  const double* v = static_cast<const double*>(in);
  for (size_t i = begin; i < end; ++i, out += stride) {
    int64_t n;
    if (!price_of(v[i], n)) {
      bad = i;
      return false;
    }
    store(out, n);
  }
  return true;
}

// A whole-number float that fits the field.
template <class Field>
bool whole(double x, Field& f) {
  // Both bounds are exact doubles: the minimum, and the maximum plus one (a power of two).
  constexpr double lo = static_cast<double>(std::numeric_limits<Field>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<Field>::max()) + 1.0;
  if (!(x >= lo && x < hi) || std::trunc(x) != x) return false;
  f = static_cast<Field>(x);
  return true;
}

template <class Field>
bool write_whole(const void* in, size_t begin, size_t end, uint8_t* out, size_t stride,
                 size_t& bad) {
  const double* v = static_cast<const double*>(in);
  for (size_t i = begin; i < end; ++i, out += stride) {
    Field f;
    if (!whole(v[i], f)) {
      bad = i;
      return false;
    }
    store(out, f);
  }
  return true;
}

template <class Field>
Writer writer_into(Elem elem, Role role) {
  switch (elem) {
    case Elem::I8:
      return &write_ints<int8_t, Field>;
    case Elem::U8:
      return &write_ints<uint8_t, Field>;
    case Elem::I16:
      return &write_ints<int16_t, Field>;
    case Elem::U16:
      return &write_ints<uint16_t, Field>;
    case Elem::I32:
      return &write_ints<int32_t, Field>;
    case Elem::U32:
      return &write_ints<uint32_t, Field>;
    case Elem::I64:
      return &write_ints<int64_t, Field>;
    case Elem::U64:
      return &write_ints<uint64_t, Field>;
    case Elem::F64:
      if constexpr (std::is_same_v<Field, int64_t>)
        if (role == Role::Price) return &write_prices;
      return &write_whole<Field>;
  }
  return nullptr;
}

// A letter byte (action, side) from its unsigned value 0..255, as the numpy, Arrow and text
// forms give it, or from the signed view -128..127 of the same byte.
template <class In>
bool write_letters(const void* in, size_t begin, size_t end, uint8_t* out, size_t stride,
                   size_t& bad) {
  const In* v = static_cast<const In*>(in);
  for (size_t i = begin; i < end; ++i, out += stride) {
    if (!std::in_range<int8_t>(v[i]) && !std::in_range<uint8_t>(v[i])) {
      bad = i;
      return false;
    }
    *out = static_cast<uint8_t>(v[i]);
  }
  return true;
}

bool write_whole_letters(const void* in, size_t begin, size_t end, uint8_t* out, size_t stride,
                         size_t& bad) {
  const double* v = static_cast<const double*>(in);
  for (size_t i = begin; i < end; ++i, out += stride) {
    int16_t f;
    if (!whole(v[i], f) || f < -128 || f > 255) {
      bad = i;
      return false;
    }
    *out = static_cast<uint8_t>(f);
  }
  return true;
}

Writer letter_writer(Elem elem) {
  switch (elem) {
    case Elem::I8:
      return &write_letters<int8_t>;
    case Elem::U8:
      return &write_letters<uint8_t>;
    case Elem::I16:
      return &write_letters<int16_t>;
    case Elem::U16:
      return &write_letters<uint16_t>;
    case Elem::I32:
      return &write_letters<int32_t>;
    case Elem::U32:
      return &write_letters<uint32_t>;
    case Elem::I64:
      return &write_letters<int64_t>;
    case Elem::U64:
      return &write_letters<uint64_t>;
    case Elem::F64:
      return &write_whole_letters;
  }
  return nullptr;
}

Writer writer_for(const Column& c, Elem elem) {
  if (c.role == Role::Letter && c.width == 1) return letter_writer(elem);
  switch (c.width) {
    case 1:
      return c.is_signed ? writer_into<int8_t>(elem, c.role) : writer_into<uint8_t>(elem, c.role);
    case 2:
      return c.is_signed ? writer_into<int16_t>(elem, c.role) : writer_into<uint16_t>(elem, c.role);
    case 4:
      return c.is_signed ? writer_into<int32_t>(elem, c.role) : writer_into<uint32_t>(elem, c.role);
    default:
      return c.is_signed ? writer_into<int64_t>(elem, c.role) : writer_into<uint64_t>(elem, c.role);
  }
}

// The value at `row` as text, for the error.
std::string value_text(const ColumnSource& s, size_t row) {
  const void* p = s.data;
  switch (s.elem) {
    case Elem::I8:
      return std::to_string(static_cast<const int8_t*>(p)[row]);
    case Elem::U8:
      return std::to_string(static_cast<const uint8_t*>(p)[row]);
    case Elem::I16:
      return std::to_string(static_cast<const int16_t*>(p)[row]);
    case Elem::U16:
      return std::to_string(static_cast<const uint16_t*>(p)[row]);
    case Elem::I32:
      return std::to_string(static_cast<const int32_t*>(p)[row]);
    case Elem::U32:
      return std::to_string(static_cast<const uint32_t*>(p)[row]);
    case Elem::I64:
      return std::to_string(static_cast<const int64_t*>(p)[row]);
    case Elem::U64:
      return std::to_string(static_cast<const uint64_t*>(p)[row]);
    case Elem::F64: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", static_cast<const double*>(p)[row]);
      return buf;
    }
  }
  return {};
}

Error unfit(const ColumnSource& s, size_t row, size_t first_row) {
  const Column& c = *s.column;
  std::string why;
  if (c.role == Role::Letter && c.width == 1)
    why = "is not a byte (0 to 255)";
  else if (s.elem == Elem::F64 && c.role == Role::Price)
    why = "is not a price with nine decimal places (it does not convert back exactly)";
  else if (s.elem == Elem::F64)
    why = "is not a whole number within " + std::string(c.is_signed ? "signed " : "unsigned ") +
          std::to_string(c.width * 8) + "-bit range";
  else
    why = "does not fit " + std::string(c.is_signed ? "signed " : "unsigned ") +
          std::to_string(c.width * 8) + "-bit";
  return Error::encode("column '" + std::string(c.name) + "' row " +
                       std::to_string(first_row + row) + ": " + value_text(s, row) + " " + why);
}

// A header column's source must repeat the layout's own value: rows [begin, end), packed at
// `packed` (the chunk's first record's field).
Status check_header(const ColumnSource& s, uint8_t want, const uint8_t* packed, size_t begin,
                    size_t end, size_t stride, RType kind, size_t first_row) {
  for (size_t i = begin; i < end; ++i, packed += stride) {
    if (*packed != want)
      return Error::encode(
          "column '" + std::string(s.column->name) + "' row " + std::to_string(first_row + i) +
          ": " + value_text(s, i) + " is not the " + s.column->name + " of " +
          std::string(variant_name(kind)) + " records (" + std::to_string(want) + ")");
  }
  return {};
}

}  // namespace

Status pack_columns(RType kind, size_t count, std::span<const ColumnSource> sources, uint8_t* out,
                    size_t first_row) {
  const size_t size = layout_size(kind);
  if (size == 0)
    return Error::encode("no record layout for " + std::string(variant_name(kind)) + " records");
  std::vector<Writer> writers;
  writers.reserve(sources.size());
  for (const ColumnSource& s : sources) writers.push_back(writer_for(*s.column, s.elem));
  const auto length = static_cast<uint8_t>(size / 4);
  const auto rtype = static_cast<uint8_t>(kind);

  for (size_t begin = 0; begin < count; begin += kChunk) {
    const size_t end = begin + kChunk < count ? begin + kChunk : count;
    uint8_t* chunk = out + begin * size;
    std::memset(chunk, 0, (end - begin) * size);
    for (size_t i = 0; i < sources.size(); ++i) {
      const ColumnSource& s = sources[i];
      uint8_t* field = chunk + s.column->offset;
      size_t bad = 0;
      if (!writers[i](s.data, begin, end, field, size, bad)) return unfit(s, bad, first_row);
      // The header's length and rtype (offsets 0 and 1) must be the layout's own.
      if (s.column->offset <= 1)
        ORX_CHECK(check_header(s, s.column->offset == 0 ? length : rtype, field, begin, end, size,
                               kind, first_row));
    }
    for (size_t r = 0; r < end - begin; ++r) {
      chunk[r * size] = length;
      chunk[r * size + 1] = rtype;
    }
  }
  return {};
}

}  // namespace orx
