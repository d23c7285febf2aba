// The record packer: columns from the batch builder pack back into the same bytes, in every
// form; values that do not fit fail with their column, row and value; float prices round to
// the nearest nanounit exactly up to 2^52.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "columns.h"

using namespace orx;

namespace {

using Bytes = std::vector<uint8_t>;

// `n` records of `kind` with every field set from a random pattern, padding zero.
Bytes records(RType kind, size_t n, uint32_t seed = 7) {
  const size_t size = layout_size(kind);
  Bytes out(n * size, 0);
  std::mt19937_64 rng(seed);
  for (size_t i = 0; i < n; ++i) {
    uint8_t* r = out.data() + i * size;
    for (const Column& c : columns_of(kind)) {
      uint64_t v = rng();
      if (c.role == Role::Price) v = static_cast<uint64_t>(static_cast<int64_t>(v) >> 12);
      std::memcpy(r + c.offset, &v, c.width);
    }
    r[0] = static_cast<uint8_t>(size / 4);
    r[1] = static_cast<uint8_t>(kind);
  }
  return out;
}

Elem native_elem(const Column& c) {
  switch (c.width) {
    case 1:
      return c.is_signed ? Elem::I8 : Elem::U8;
    case 2:
      return c.is_signed ? Elem::I16 : Elem::U16;
    case 4:
      return c.is_signed ? Elem::I32 : Elem::U32;
    default:
      return c.is_signed ? Elem::I64 : Elem::U64;
  }
}

// Every column of `data` in `form`, and the packer's sources over them.
struct Columns {
  std::vector<Bytes> buffers;
  std::vector<ColumnSource> sources;
};

Columns columns(RType kind, const Bytes& data, Form form, bool prices_as_float = false) {
  const size_t n = data.size() / layout_size(kind);
  const auto cols = columns_of(kind);
  Columns out;
  out.buffers.resize(cols.size());
  std::vector<ColumnSink> sinks;
  for (size_t i = 0; i < cols.size(); ++i) {
    const Form f = cols[i].role == Role::Price && prices_as_float ? Form::Float64 : form;
    out.buffers[i].resize(n * form_width(cols[i], f));
    sinks.push_back({&cols[i], f, out.buffers[i].data()});
  }
  fill_columns({data.data(), data.size(), n, kind}, sinks);
  for (size_t i = 0; i < cols.size(); ++i) {
    Elem e = native_elem(cols[i]);
    if (sinks[i].form == Form::Float64) e = Elem::F64;
    if (sinks[i].form == Form::Int64) e = cols[i].is_signed ? Elem::I64 : Elem::U64;
    out.sources.push_back({&cols[i], e, out.buffers[i].data()});
  }
  return out;
}

std::string pack_error(RType kind, size_t n, const std::vector<ColumnSource>& sources) {
  Bytes out(n * layout_size(kind));
  auto st = pack_columns(kind, n, sources, out.data());
  return st ? "<ok>" : st.error().display();
}

const Column& column(RType kind, std::string_view name) {
  for (const Column& c : columns_of(kind))
    if (name == c.name) return c;
  std::abort();
}

}  // namespace

TEST(pack_inverts_the_batch_builder_for_every_kind_and_form) {
  for (RType kind : {RType::Mbp1, RType::Trades, RType::Bbo, RType::Ohlcv}) {
    const Bytes data = records(kind, 2500);  // spans chunks of the packer
    for (Form form : {Form::Native, Form::Int64}) {
      for (bool floats : {false, true}) {
        const Columns c = columns(kind, data, form, floats);
        Bytes out(data.size(), 0xEE);
        CHECK(pack_columns(kind, 2500, c.sources, out.data()).ok());
        CHECK(out == data);
      }
    }
  }
}

TEST(pack_without_sources_gives_zero_fields_and_the_header) {
  Bytes out(2 * 56, 0xEE);
  CHECK(pack_columns(RType::Trades, 2, {}, out.data()).ok());
  Bytes want(2 * 56, 0);
  want[0] = want[56] = 14;
  want[1] = want[57] = 3;
  CHECK(out == want);
  CHECK(pack_columns(RType::Mbp1, 0, {}, nullptr).ok());
  CHECK_EQ(pack_error(RType::Tbbo, 1, {}), "Encoding error: no record layout for Tbbo records");
}

TEST(pack_refuses_values_outside_their_field) {
  struct Case {
    const char* column;
    Elem elem;
    int64_t i;
    uint64_t u;
    double f;
    const char* message;
  };
  const Case cases[] = {
      {"size", Elem::I64, 1ll << 32, 0, 0, "4294967296 does not fit unsigned 32-bit"},
      {"size", Elem::I64, -1, 0, 0, "-1 does not fit unsigned 32-bit"},
      {"ts_event", Elem::I64, -1, 0, 0, "-1 does not fit unsigned 64-bit"},
      {"price", Elem::U64, 0, 1ull << 63, 0, "9223372036854775808 does not fit signed 64-bit"},
      {"action", Elem::I64, 256, 0, 0, "256 is not a byte (0 to 255)"},
      {"action", Elem::I64, -129, 0, 0, "-129 is not a byte (0 to 255)"},
      {"side", Elem::U64, 0, 1ull << 63, 0, "9223372036854775808 is not a byte (0 to 255)"},
      {"side", Elem::F64, 0, 0, 65.5, "65.5 is not a byte (0 to 255)"},
      {"ts_in_delta", Elem::I64, -(1ll << 31) - 1, 0, 0, "-2147483649 does not fit signed 32-bit"},
      {"size", Elem::F64, 0, 0, 2.5, "2.5 is not a whole number within unsigned 32-bit range"},
      {"size", Elem::F64, 0, 0, -1.0, "-1 is not a whole number within unsigned 32-bit range"},
      {"ts_recv", Elem::F64, 0, 0, std::ldexp(1.0, 64),
       "1.8446744073709552e+19 is not a whole number within unsigned 64-bit range"},
      {"depth", Elem::F64, 0, 0, NAN, "nan is not a whole number within unsigned 8-bit range"},
      {"price", Elem::F64, 0, 0, 1.0000000001234,
       "1.0000000001234 is not a price with nine decimal places (it does not convert back "
       "exactly)"},
      {"price", Elem::F64, 0, 0, INFINITY,
       "inf is not a price with nine decimal places (it does not convert back exactly)"},
      {"price", Elem::F64, 0, 0, 1e10,
       "10000000000 is not a price with nine decimal places (it does not convert back exactly)"},
  };
  for (const Case& k : cases) {
    // The bad value at row 1500, in the second chunk; good zeros elsewhere.
    const size_t n = 1600;
    std::vector<int64_t> i(n, 0);
    std::vector<uint64_t> u(n, 0);
    std::vector<double> f(n, 0.0);
    i[1500] = k.i, u[1500] = k.u, f[1500] = k.f;
    const void* data = k.elem == Elem::I64   ? static_cast<const void*>(i.data())
                       : k.elem == Elem::U64 ? static_cast<const void*>(u.data())
                                             : static_cast<const void*>(f.data());
    const std::vector<ColumnSource> s{{&column(RType::Mbp1, k.column), k.elem, data}};
    CHECK_EQ(pack_error(RType::Mbp1, n, s),
             std::string("Encoding error: column '") + k.column + "' row 1500: " + k.message);
  }
}

TEST(pack_takes_every_byte_value_of_a_letter) {
  // 0..255 as their unsigned values (numpy's S1 bytes, Arrow's code points), -128..-1 as the
  // signed view of the same bytes, in every element type.
  const size_t n = 256 + 128;
  std::vector<int64_t> i(n);
  std::vector<double> f(n);
  Bytes want;
  for (size_t k = 0; k < n; ++k) {
    i[k] = k < 256 ? static_cast<int64_t>(k) : static_cast<int64_t>(k) - 256 - 128;
    f[k] = static_cast<double>(i[k]);
    want.push_back(static_cast<uint8_t>(i[k]));
  }
  for (const Elem elem : {Elem::I64, Elem::F64}) {
    const void* data = elem == Elem::I64 ? static_cast<const void*>(i.data()) : f.data();
    const std::vector<ColumnSource> s{{&column(RType::Trades, "action"), elem, data}};
    Bytes out(n * 56);
    CHECK(pack_columns(RType::Trades, n, s, out.data()).ok());
    Bytes got;
    for (size_t k = 0; k < n; ++k) got.push_back(out[k * 56 + 36]);  // action at offset 36
    CHECK(got == want);
  }
}

TEST(pack_checks_the_header_columns) {
  const std::vector<int64_t> lengths{24, 24, 14};
  const std::vector<ColumnSource> s{{&column(RType::Mbp1, "length"), Elem::I64, lengths.data()}};
  CHECK_EQ(pack_error(RType::Mbp1, 3, s),
           "Encoding error: column 'length' row 2: 14 is not the length of Mbp1 records (24)");
  const std::vector<uint8_t> rtypes{2, 3};
  const std::vector<ColumnSource> r{{&column(RType::Ohlcv, "rtype"), Elem::U8, rtypes.data()}};
  CHECK_EQ(pack_error(RType::Ohlcv, 2, r),
           "Encoding error: column 'rtype' row 1: 3 is not the rtype of Ohlcv records (2)");
}

TEST(pack_float_prices_round_to_the_nanounit_below_2_pow_52) {
  std::vector<int64_t> want;
  const int64_t limit = (int64_t{1} << 52) - 1;
  for (int64_t p : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{999999999}, int64_t{1500000000},
                    limit, -limit, limit - 1, -(limit - 1), int64_t{1} << 51})
    want.push_back(p);
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200000; ++i) {
    const int shift = 12 + static_cast<int>(rng() % 50);  // magnitudes of every size below 2^52
    want.push_back(static_cast<int64_t>(rng()) >> shift);
  }
  std::vector<double> floats;
  for (int64_t p : want) floats.push_back(static_cast<double>(p) / 1e9);
  const Column& price = column(RType::Ohlcv, "open");
  const std::vector<ColumnSource> s{{&price, Elem::F64, floats.data()}};
  Bytes out(want.size() * 64);
  CHECK(pack_columns(RType::Ohlcv, want.size(), s, out.data()).ok());
  size_t wrong = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    int64_t got;
    std::memcpy(&got, out.data() + i * 64 + price.offset, 8);
    wrong += got != want[i];
  }
  CHECK_EQ(wrong, 0u);

  // Beyond 2^52 a float may be the view of several prices: one that converts back to it is
  // written, and every float that is such a view is accepted.
  std::vector<double> big;
  for (int i = 0; i < 10000; ++i)
    big.push_back(static_cast<double>((int64_t{1} << 60) + static_cast<int64_t>(rng() >> 20)) /
                  1e9);
  const std::vector<ColumnSource> b{{&price, Elem::F64, big.data()}};
  Bytes out2(big.size() * 64);
  CHECK(pack_columns(RType::Ohlcv, big.size(), b, out2.data()).ok());
  for (size_t i = 0; i < big.size(); ++i) {
    int64_t got;
    std::memcpy(&got, out2.data() + i * 64 + price.offset, 8);
    CHECK(static_cast<double>(got) / 1e9 == big[i]);
  }
}
