#include "frame.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "bind/bind.h"
#include "classes.h"
#include "columns.h"
#include "records.h"
#include "threads.h"
#include "utils.h"

namespace orx::py {

PyObject* record_object(const RecordRef& ref, RType kind) {
  switch (kind) {
    case RType::Mbp1:
      return new_instance_from_bytes<Mbp1Msg>(type_object<Mbp1Msg>(), ref.data());
    case RType::Ohlcv:
      return new_instance_from_bytes<OhlcvMsg>(type_object<OhlcvMsg>(), ref.data());
    case RType::Trades:
      return new_instance_from_bytes<TradeMsg>(type_object<TradeMsg>(), ref.data());
    case RType::Bbo:
      return new_instance_from_bytes<BboMsg>(type_object<BboMsg>(), ref.data());
    default:
      raise_internal("no record class for this record kind");
      return nullptr;
  }
}

namespace {

[[gnu::cold]] bool raise_display(const Error& error) {
  raise(PyExc_OSError, error.display());
  return false;
}

// Reads every remaining record, checks that it converts, and calls visit(ref, kind). Stops at
// the first failure with its OSError set.
template <class F>
bool for_each_remaining(RecordDecoder& decoder, F&& visit) {
  for (;;) {
    auto ref = decoder.decode_record_ref();
    if (!ref) return raise_display(ref.error());
    if (!*ref) return true;
    auto kind = convertible_kind(**ref);
    if (!kind) return raise_display(kind.error());
    if (!visit(**ref, *kind)) return false;
  }
}

// Walks `count` records that were already read and checked, from `begin` in the source.
template <class F>
bool for_each_read(std::string_view source, size_t begin, size_t count, F&& visit) {
  const auto* p = reinterpret_cast<const uint8_t*>(source.data()) + begin;
  // The size and kind are found again only when the type or length byte changes: the walk
  // then steps by a known size, its loads not waiting on one another.
  uint8_t length = 0, type = 0;
  size_t size = 0;
  RType kind = RType::Mbp1;
  for (size_t i = 0; i < count; ++i) {
    if (i == 0 || p[0] != length || p[1] != type) {
      length = p[0];
      type = p[1];
      size = static_cast<size_t>(length) * 4;
      kind = *convertible_kind(RecordRef(p, size));
    }
    if (!visit(i, RecordRef(p, size), kind)) return false;
    p += size;
  }
  return true;
}

// `name` of the module `module`, looked up once for the process (a new reference): the
// builder's helpers, which nothing replaces.
PyObject* cached_attr(PyObject*& cache, const char* module, const char* name) {
  if (!cache) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    if (!m) return nullptr;
    cache = PyObject_GetAttrString(m.get(), name);
    if (!cache) return nullptr;
  }
  return Py_NewRef(cache);
}

// pandas.DataFrame, looked up with each call.
PyObject* data_frame_class() {
  Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
  if (!pandas) return nullptr;
  return PyObject_GetAttrString(pandas.get(), "DataFrame");
}

PyObject* key(const char* name) {
  return PyUnicode_InternFromString(name);  // interned: one object per name for the process
}

// --- the row-by-row frame: what a DataFrame of the records is ----------------------------------
//
// Each record's __dict__(), with "symbol" added from the symbol map, action and side as
// one-character strings, and (when asked) ts_event as UTC text and prices divided by 1e9,
// handed to pandas.DataFrame as a list of dicts (what frame_by_rows returns).

struct RowKeys {
  PyObject* instrument_id = key("instrument_id");
  PyObject* symbol = key("symbol");
  PyObject* action = key("action");
  PyObject* side = key("side");
  PyObject* ts_event = key("ts_event");
  PyObject* dict_method = key("__dict__");
  PyObject* times[2] = {key("ts_event"), key("ts_recv")};
  PyObject* prices[7] = {key("open"),  key("high"),   key("low"),   key("close"),
                         key("price"), key("ask_px"), key("bid_px")};
};

// The value under `k`, borrowed; null when absent (check PyErr_Occurred).
PyObject* lookup(PyObject* row, PyObject* k) { return PyDict_GetItemWithError(row, k); }

template <class F>
bool replace_if_present(PyObject* row, PyObject* k, F&& make) {
  PyObject* v = lookup(row, k);
  if (!v) return !PyErr_Occurred();
  Ref fresh = Ref::steal(make(v));
  return fresh && PyDict_SetItem(row, k, fresh.get()) == 0;
}

// With `stamp` (orx._frames.utc_timestamp): each time value of the row becomes the UTC time
// stamp it is, to the nanosecond.
bool shape_row(PyObject* row, const RowKeys& keys, const SymbolMap& symbols, bool pretty_ts,
               bool pretty_px, PyObject* stamp, size_t at) {
  if (PyObject* v = lookup(row, keys.instrument_id)) {
    uint32_t id = 0;
    if (!Conv<uint32_t>::load(v, id)) return false;
    if (const std::string* ticker = symbols.find(id)) {
      Ref text = Ref::steal(Conv<std::string>::to_py(*ticker));
      if (!text || PyDict_SetItem(row, keys.symbol, text.get()) < 0) return false;
    }
  } else if (PyErr_Occurred()) {
    return false;
  }
  auto letter = [](PyObject* v) -> PyObject* {
    uint8_t c = 0;
    return Conv<uint8_t>::load(v, c) ? PyUnicode_FromOrdinal(c) : nullptr;
  };
  if (!replace_if_present(row, keys.action, letter)) return false;
  if (!replace_if_present(row, keys.side, letter)) return false;
  if (pretty_ts) {
    auto text = [](PyObject* v) -> PyObject* {
      int64_t ns;
      return Conv<int64_t>::load(v, ns) ? Conv<std::string>::to_py(unix_nanos_to_string(ns))
                                        : nullptr;
    };
    if (!replace_if_present(row, keys.ts_event, text)) return false;
  }
  if (stamp) {
    for (PyObject* k : keys.times) {
      auto utc = [&](PyObject* v) -> PyObject* {
        return PyObject_CallFunction(stamp, "OOn", v, k, static_cast<Py_ssize_t>(at));
      };
      if (!replace_if_present(row, k, utc)) return false;
    }
  }
  if (pretty_px) {
    auto price = [](PyObject* v) -> PyObject* {
      int64_t px;
      return Conv<int64_t>::load(v, px)
                 ? PyFloat_FromDouble(static_cast<double>(px) / 1'000'000'000.0)
                 : nullptr;
    };
    for (PyObject* k : keys.prices)
      if (!replace_if_present(row, k, price)) return false;
  }
  return true;
}

PyObject* frame_by_rows(std::string_view source, size_t begin, size_t count,
                        const SymbolMap& symbols, bool pretty_ts, bool pretty_px, bool datetimes) {
  static const RowKeys keys;
  static PyObject* stamp_cache = nullptr;
  Ref stamp;
  if (datetimes && !(stamp = Ref::steal(cached_attr(stamp_cache, "orx._frames", "utc_timestamp"))))
    return nullptr;
  Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!rows) return nullptr;
  const bool ok =
      for_each_read(source, begin, count, [&](size_t i, const RecordRef& ref, RType kind) {
        Ref record = Ref::steal(record_object(ref, kind));
        if (!record) return false;
        PyObject* row = PyObject_CallMethodNoArgs(record.get(), keys.dict_method);
        if (!row) return false;
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
        if (!PyDict_Check(row)) {
          raise_cannot_convert(row, "PyDict");
          return false;
        }
        return shape_row(row, keys, symbols, pretty_ts, pretty_px, stamp.get(), i);
      });
  if (!ok) return nullptr;
  return rows.release();
}

// --- the columnar frame: the same DataFrame built from whole columns ---------------------------
//
// For the common case (records of one kind whose rows convert without error, all with a
// symbol or none) the batch builder fills the columns straight from the record bytes in one
// pass: the integer columns into one (k, n) int64 block, prices with `pretty_px` into one
// float64 block, and the text columns as codes into lookup tables (action and side: the code
// point; symbol: by instrument id; ts_event with `pretty_ts`: by second). orx._frames turns
// them into the frame's blocks with the dtypes pandas infers from the rows, so the frame is the
// same.

// What the first pass learned about the records: whether the columnar build applies.
class Survey {
 public:
  size_t count = 0;
  RType kind = RType::Mbp1;
  bool mixed = false;
  bool negative_letter = false;  // an action or side byte that is no unsigned 8-bit value
  bool wide_ts = false;          // a ts_event past the signed 64-bit range
  size_t with_symbol = 0;
  size_t stride = 0;  // the length of every record, 0 when they differ

  explicit Survey(const SymbolMap& symbols) : symbols_(symbols) {}

  void add(const RecordRef& ref, RType k) {
    if (count == 0)
      stride = ref.record_size();
    else if (ref.record_size() != stride)
      stride = 0;
    if (count == 0 || k != kind) {
      if (count == 0) kind = k;
      mixed |= k != kind;
      letters_ = 0;
      for (const Column& c : columns_of(k))
        if (c.role == Role::Letter) letter_at_[letters_++] = c.offset;
    }
    ++count;
    for (size_t i = 0; i < letters_; ++i)
      negative_letter |= static_cast<int8_t>(ref.data()[letter_at_[i]]) < 0;
    const RecordHeader h = ref.header();
    wide_ts |= h.ts_event > static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (h.instrument_id != last_id_ || count == 1) {
      last_id_ = h.instrument_id;
      last_found_ = has_symbol(h.instrument_id);
    }
    with_symbol += last_found_;
  }

  bool columnar(bool pretty_ts) const {
    return count > 0 && !mixed && !negative_letter && !(pretty_ts && wide_ts) &&
           (with_symbol == 0 || with_symbol == count);
  }

 private:
  // Whether the map has a ticker for `id`, remembered for small ids (the usual ones): rows
  // mostly alternate among a few instruments.
  bool has_symbol(uint32_t id) {
    if (id >= kKnownIds) return symbols_.find(id) != nullptr;
    if (id >= known_.size()) known_.resize(id + 1, -1);
    if (known_[id] < 0) known_[id] = symbols_.find(id) != nullptr;
    return known_[id] != 0;
  }

  static constexpr uint32_t kKnownIds = 1u << 16;
  const SymbolMap& symbols_;
  std::vector<int8_t> known_;  // by id below kKnownIds: 1 mapped, 0 not, -1 not looked up
  uint16_t letter_at_[4] = {};
  size_t letters_ = 0;
  uint32_t last_id_ = 0;
  bool last_found_ = false;
};

// A new numpy array of `rows` x `n` values of `dtype`, uninitialised; its bytes through `data`.
// numpy's allocator, not a bytearray: it asks the kernel for huge pages for large arrays, which
// makes the first touch of a fresh block several times cheaper.
PyObject* new_array(PyObject* empty, size_t rows, size_t n, const char* dtype, uint8_t*& data) {
  Ref array = Ref::steal(PyObject_CallFunction(empty, "((nn)s)", static_cast<Py_ssize_t>(rows),
                                               static_cast<Py_ssize_t>(n), dtype));
  if (!array) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0)
    return nullptr;
  data = static_cast<uint8_t*>(view.buf);  // stays valid: the array owns it and never moves it
  PyBuffer_Release(&view);
  return array.release();
}

// Dense codes for text made from keys (instrument ids, seconds): the first key met gets 0.
// Consecutive rows mostly repeat the previous key, which is checked first; keys below
// kDirectKeys (the usual instrument ids) then find their code in a flat table, others by hash.
template <class K>
class Coder {
 public:
  static constexpr uint64_t kDirectKeys = uint64_t{1} << 16;

  template <class Make>
  int32_t code(K key, Make&& make_text) {
    if (!texts_.empty() && key == last_key_) return last_code_;
    bool direct = static_cast<uint64_t>(key) < kDirectKeys;
    if constexpr (std::is_signed_v<K>) direct &= key >= 0;
    int32_t code = -1;
    if (direct && static_cast<size_t>(key) < direct_.size()) code = direct_[key];
    if (code < 0) code = slow_code(key, direct, make_text);
    last_key_ = key;
    last_code_ = code;
    return code;
  }

  size_t size() const { return texts_.size(); }

  // The texts as a list of str, in code order.
  PyObject* texts() const {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts_.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < texts_.size(); ++i) {
      PyObject* text = Conv<std::string>::to_py(texts_[i]);
      if (!text) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list.release();
  }

 private:
  template <class Make>
  [[gnu::noinline]] int32_t slow_code(K key, bool direct, Make&& make_text) {
    auto [it, fresh] = codes_.try_emplace(key, static_cast<int32_t>(texts_.size()));
    if (fresh) texts_.push_back(make_text(key));
    if (direct) {
      if (static_cast<size_t>(key) >= direct_.size())
        direct_.resize(static_cast<size_t>(key) + 1, -1);
      direct_[key] = it->second;
    }
    return it->second;
  }

  std::unordered_map<K, int32_t> codes_;
  std::vector<int32_t> direct_;  // code by key for keys below kDirectKeys; -1: none yet
  std::vector<std::string> texts_;
  K last_key_{};
  int32_t last_code_ = 0;
};

int64_t floor_second(int64_t ns) {
  int64_t s = ns / 1'000'000'000;
  return s - (ns % 1'000'000'000 < 0);
}

// One text column for orx._frames: (position, codes, texts or None).
PyObject* text_entry(size_t at, PyObject* codes, PyObject* texts) {
  if (!texts) return nullptr;
  return Py_BuildValue("(nON)", static_cast<Py_ssize_t>(at), codes, texts);
}

[[gnu::cold]] PyObject* raise_past_datetimes(const Column& c, uint64_t value, size_t row) {
  return PyErr_Format(PyExc_ValueError,
                      "%s %llu at row %zu is past the range of datetime64[ns] (2262-04-11)", c.name,
                      static_cast<unsigned long long>(value), row);
}

PyObject* frame_data_by_columns(std::string_view source, size_t begin, const Survey& survey,
                                const SymbolMap& symbols, bool pretty_ts, bool pretty_px,
                                bool datetimes, unsigned threads) {
  static PyObject *build_cache = nullptr, *empty_cache = nullptr;
  Ref build = Ref::steal(cached_attr(build_cache, "orx._frames", "frame_data"));
  if (!build) return nullptr;
  Ref empty = Ref::steal(cached_attr(empty_cache, "numpy", "empty"));
  if (!empty) return nullptr;

  const size_t n = survey.count;
  const std::span<const Column> cols = columns_of(survey.kind);
  const RecordRun run{reinterpret_cast<const uint8_t*>(source.data()) + begin,
                      source.size() - begin, n, survey.kind, survey.stride};

  // Where each column goes.
  enum class To : uint8_t { Int, Float, Letter, Time, Stamp };
  std::vector<To> to;
  size_t ints = 0, floats = 0, stamps = 0;
  for (const Column& c : cols) {
    if (c.role == Role::Letter) {
      to.push_back(To::Letter);
    } else if (c.role == Role::EventTime && pretty_ts) {
      to.push_back(To::Time);
    } else if ((c.role == Role::EventTime || c.role == Role::Time) && datetimes) {
      to.push_back(To::Stamp);
      ++stamps;
    } else if (c.role == Role::Price && pretty_px) {
      to.push_back(To::Float);
      ++floats;
    } else {
      to.push_back(To::Int);
      ++ints;
    }
  }
  uint8_t *int_data = nullptr, *float_data = nullptr, *stamp_data = nullptr;
  Ref int_buffer = Ref::steal(new_array(empty.get(), ints, n, "int64", int_data));
  Ref float_buffer = Ref::steal(new_array(empty.get(), floats, n, "float64", float_data));
  Ref stamp_buffer;
  if (stamps &&
      !(stamp_buffer = Ref::steal(new_array(empty.get(), stamps, n, "int64", stamp_data))))
    return nullptr;
  Ref int_at = Ref::steal(PyList_New(0)), float_at = Ref::steal(PyList_New(0));
  Ref stamp_at = Ref::steal(PyList_New(0));
  Ref texts = Ref::steal(PyList_New(0));
  if (!int_buffer || !float_buffer || !int_at || !float_at || !stamp_at || !texts) return nullptr;

  std::vector<ColumnSink> sinks;  // filled for the whole run
  std::vector<size_t> wide_rows;  // int rows of unsigned 64-bit columns: may be wide
  std::vector<bool> wide(ints, false);
  std::vector<const Column*> stamp_columns;  // the column of each stamp row
  const Column* time_column = nullptr;
  size_t time_at = 0, id_row = 0;
  for (size_t i = 0; i < cols.size(); ++i) {
    const Column& c = cols[i];
    PyObject* list = to[i] == To::Int     ? int_at.get()
                     : to[i] == To::Float ? float_at.get()
                     : to[i] == To::Stamp ? stamp_at.get()
                                          : nullptr;
    if (list) {
      Ref at = Ref::steal(PyLong_FromSize_t(i));
      if (!at || PyList_Append(list, at.get()) < 0) return nullptr;
    }
    switch (to[i]) {
      case To::Int: {
        const size_t row = static_cast<size_t>(PyList_GET_SIZE(int_at.get())) - 1;
        sinks.push_back({&c, Form::Int64, int_data + row * n * 8});
        if (!c.is_signed && c.width == 8) wide_rows.push_back(row);
        if (std::strcmp(c.name, "instrument_id") == 0) id_row = row;
        break;
      }
      case To::Float: {
        const size_t row = static_cast<size_t>(PyList_GET_SIZE(float_at.get())) - 1;
        sinks.push_back({&c, Form::Float64, float_data + row * n * 8});
        break;
      }
      case To::Letter: {
        uint8_t* codes = nullptr;
        Ref buffer = Ref::steal(new_array(empty.get(), 1, n, "uint8", codes));
        if (!buffer) return nullptr;
        sinks.push_back({&c, Form::Native, codes});  // bytes 0-127 (the survey): code points
        Ref entry = Ref::steal(text_entry(i, buffer.get(), Py_NewRef(Py_None)));
        if (!entry || PyList_Append(texts.get(), entry.get()) < 0) return nullptr;
        break;
      }
      case To::Stamp: {
        const size_t row = static_cast<size_t>(PyList_GET_SIZE(stamp_at.get())) - 1;
        sinks.push_back({&c, Form::Int64, stamp_data + row * n * 8});
        stamp_columns.push_back(&c);
        break;
      }
      case To::Time:
        time_column = &c;
        time_at = i;
        break;
    }
  }

  uint8_t *time_codes = nullptr, *symbol_codes = nullptr;
  Ref time_buffer, symbol_buffer;
  if (time_column && !(time_buffer = Ref::steal(new_array(empty.get(), 1, n, "int32", time_codes))))
    return nullptr;
  if (survey.with_symbol &&
      !(symbol_buffer = Ref::steal(new_array(empty.get(), 1, n, "int32", symbol_codes))))
    return nullptr;
  // What a range of rows learns: its text codes (dense in the range: the table of a column is
  // the ranges' tables one after the other, repeats and all), its unsigned rows past int64 and
  // its first time stamp past datetime64[ns] (beyond the signed 64-bit range and not the
  // undefined time, all bits set, which becomes NaT) as (stamp row, record).
  struct Part {
    Coder<int64_t> seconds;
    Coder<uint32_t> tickers;
    std::vector<uint8_t> wide;
    std::optional<std::pair<size_t, size_t>> past;
  };
  const auto fill = [&](const RecordChunk& chunk, Part& part) {
    fill_chunk(chunk, sinks);
    const size_t first = chunk.first, m = chunk.count;
    for (size_t row : wide_rows) {
      uint64_t any = 0;
      const auto* v = reinterpret_cast<const uint64_t*>(int_data + (row * n + first) * 8);
      for (size_t i = 0; i < m; ++i) any |= v[i];
      if (any >> 63) part.wide[row] = true;
    }
    for (size_t row = 0; row < stamps && !part.past; ++row) {
      auto* v = reinterpret_cast<int64_t*>(stamp_data + (row * n + first) * 8);
      bool negative = false;
      for (size_t i = 0; i < m; ++i) negative |= v[i] < 0;
      if (!negative) [[likely]]
        continue;
      for (size_t i = 0; i < m && !part.past; ++i) {
        if (v[i] == -1)
          v[i] = std::numeric_limits<int64_t>::min();
        else if (v[i] < 0)
          part.past.emplace(row, first + i);
      }
    }
    if (time_column) {
      int64_t time_scratch[kChunkRecords];
      const ColumnSink time_sink{time_column, Form::Int64, time_scratch};
      RecordChunk local = chunk;
      local.first = 0;
      fill_chunk(local, std::span(&time_sink, 1));
      for (size_t i = 0; i < m; ++i) {
        // The text depends on the second alone: any time in it makes the same text.
        const int64_t ns = time_scratch[i];
        const int32_t code =
            part.seconds.code(floor_second(ns), [ns](int64_t) { return unix_nanos_to_string(ns); });
        std::memcpy(time_codes + (first + i) * 4, &code, 4);
      }
    }
    if (symbol_codes) {
      const auto* ids = reinterpret_cast<const uint64_t*>(int_data + (id_row * n + first) * 8);
      for (size_t i = 0; i < m; ++i) {
        const int32_t code = part.tickers.code(static_cast<uint32_t>(ids[i]),
                                               [&](uint32_t id) { return *symbols.find(id); });
        std::memcpy(symbol_codes + (first + i) * 4, &code, 4);
      }
    }
  };

  // The fill touches no Python object: the arrays are new and seen by nobody else yet, the
  // records and the symbol map stay unchanged under the caller's hold. Many records of one
  // length are filled a range of rows on each thread.
  const size_t count_parts = fill_ranges(run, threads);
  std::vector<Part> parts(count_parts);
  for (Part& part : parts) part.wide.assign(ints, 0);
  const auto bounds = [&](size_t t) { return range_rows(n, t, count_parts); };
  without_gil_for(run.size, [&] {
    if (count_parts == 1) {
      for_each_chunk(run, [&](const RecordChunk& chunk) { fill(chunk, parts[0]); });
      return;
    }
    parallel_for(count_parts, static_cast<unsigned>(count_parts), [&](size_t t) {
      const auto [r0, r1] = bounds(t);
      for_each_chunk_in(run, r0, r1, [&](const RecordChunk& chunk) { fill(chunk, parts[t]); });
    });
    // Each range's codes point into its own part of the tables.
    parallel_for(count_parts, static_cast<unsigned>(count_parts), [&](size_t t) {
      int32_t time_base = 0, symbol_base = 0;
      for (size_t u = 0; u < t; ++u) {
        time_base += static_cast<int32_t>(parts[u].seconds.size());
        symbol_base += static_cast<int32_t>(parts[u].tickers.size());
      }
      const auto [r0, r1] = bounds(t);
      for (auto [codes, base] :
           {std::pair(time_codes, time_base), std::pair(symbol_codes, symbol_base)}) {
        if (!codes || !base) continue;
        auto* c = reinterpret_cast<int32_t*>(codes);
        for (size_t i = r0; i < r1; ++i) c[i] += base;
      }
    });
  });
  std::optional<std::pair<size_t, size_t>> past;
  for (const Part& part : parts) {
    for (size_t r = 0; r < ints; ++r) wide[r] = wide[r] || part.wide[r];
    if (!past) past = part.past;
  }
  // The table of a text column: every range's texts in order.
  const auto table = [&](auto coder_of) -> PyObject* {
    Ref list = Ref::steal(PyList_New(0));
    for (const Part& part : parts) {
      Ref texts_of = Ref::steal(coder_of(part).texts());
      if (!list || !texts_of) return nullptr;
      const Py_ssize_t end = PyList_GET_SIZE(list.get());
      if (PyList_SetSlice(list.get(), end, end, texts_of.get()) < 0) return nullptr;
    }
    return list.release();
  };

  if (past) {
    const size_t row = past->first, at = past->second;
    uint64_t value;
    std::memcpy(&value, stamp_data + (row * n + at) * 8, 8);
    return raise_past_datetimes(*stamp_columns[row], value, at);
  }
  if (time_column) {
    Ref entry = Ref::steal(text_entry(
        time_at, time_buffer.get(), table([](const Part& p) -> const auto& { return p.seconds; })));
    if (!entry || PyList_Append(texts.get(), entry.get()) < 0) return nullptr;
  }
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return nullptr;
  for (const Column& c : cols) {
    Ref name = Ref::steal(key(c.name));
    if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  if (symbol_codes) {
    Ref entry =
        Ref::steal(text_entry(cols.size(), symbol_buffer.get(),
                              table([](const Part& p) -> const auto& { return p.tickers; })));
    Ref name = Ref::steal(key("symbol"));
    if (!entry || !name || PyList_Append(texts.get(), entry.get()) < 0 ||
        PyList_Append(names.get(), name.get()) < 0)
      return nullptr;
  }
  Ref wide_list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ints)));
  if (!wide_list) return nullptr;
  for (size_t r = 0; r < ints; ++r)
    PyList_SET_ITEM(wide_list.get(), static_cast<Py_ssize_t>(r), PyBool_FromLong(wide[r]));
  if (!stamps) {
    return PyObject_CallFunction(build.get(), "nOOOOOOO", static_cast<Py_ssize_t>(n), names.get(),
                                 int_buffer.get(), int_at.get(), wide_list.get(),
                                 float_buffer.get(), float_at.get(), texts.get());
  }
  return PyObject_CallFunction(build.get(), "nOOOOOOOOOO", static_cast<Py_ssize_t>(n), names.get(),
                               int_buffer.get(), int_at.get(), wide_list.get(), float_buffer.get(),
                               float_at.get(), texts.get(), Py_True, stamp_buffer.get(),
                               stamp_at.get());
}

}  // namespace

namespace {

// The record object for a record of the kind `T`, from its bytes.
using MakeRecord = PyObject* (*)(PyTypeObject*, const void*);

template <class T>
PyObject* make_record(PyTypeObject* tp, const void* bytes) {
  return new_instance_from_bytes<T>(tp, bytes);
}

std::pair<MakeRecord, PyTypeObject*> maker_of(RType kind) {
  switch (kind) {
    case RType::Mbp1:
      return {&make_record<Mbp1Msg>, type_object<Mbp1Msg>()};
    case RType::Ohlcv:
      return {&make_record<OhlcvMsg>, type_object<OhlcvMsg>()};
    case RType::Trades:
      return {&make_record<TradeMsg>, type_object<TradeMsg>()};
    default:
      return {&make_record<BboMsg>, type_object<BboMsg>()};
  }
}

// Sets item n of `list` (which has `room` items) to `record`, or appends it past the room.
bool put(PyObject* list, size_t n, size_t room, PyObject* record) {
  if (!record) return false;
  if (n < room) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(n), record);
    return true;
  }
  const int r = PyList_Append(list, record);
  Py_DECREF(record);
  return r == 0;
}

}  // namespace

PyObject* decode_remaining(RecordDecoder& decoder) {
  // Room for a stream of records as long as the first (the usual stream), without a counting
  // pass over the stream: the list grows past it, or is cut back, when the guess is off.
  const std::string_view rest = decoder.remaining_bytes();
  const auto* const start = reinterpret_cast<const uint8_t*>(rest.data());
  const uint8_t* const end = start + rest.size();
  const size_t first = rest.empty() ? 0 : start[0] * size_t{4};
  const size_t room = rest.size() / std::max<size_t>(first, kMinRecordLength * size_t{4});
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(room)));
  if (!list) return nullptr;
  size_t n = 0;
  // Whole records of the kind of the one before them go straight from the bytes: the kind is
  // looked up again only when the type byte changes or a record is shorter. Anything else (a
  // short length, a cut tail, a record that does not convert) is left to the decoder, which
  // reports it as decode_to_array must.
  const uint8_t* p = start;
  uint8_t rtype = 0;
  size_t least = SIZE_MAX;
  MakeRecord make = nullptr;
  PyTypeObject* tp = nullptr;
  while (end - p >= 2) {
    const size_t size = p[0] * size_t{4};
    if (p[0] < kMinRecordLength || size > static_cast<size_t>(end - p)) break;
    if (p[1] != rtype || size < least) [[unlikely]] {
      const auto kind = convertible_kind(RecordRef(p, size));
      if (!kind) break;
      rtype = p[1];
      least = layout_size(*kind);
      std::tie(make, tp) = maker_of(*kind);
      if (!tp) return nullptr;
    }
    if (!put(list.get(), n, room, make(tp, p))) {
      decoder.skip_read(static_cast<size_t>(p - start));
      return nullptr;
    }
    ++n;
    p += size;
  }
  decoder.skip_read(static_cast<size_t>(p - start));
  const bool ok = for_each_remaining(decoder, [&](const RecordRef& ref, RType kind) {
    if (!put(list.get(), n, room, record_object(ref, kind))) return false;
    ++n;
    return true;
  });
  if (!ok) return nullptr;
  if (n < room &&
      PyList_SetSlice(list.get(), static_cast<Py_ssize_t>(n), PY_SSIZE_T_MAX, nullptr) < 0)
    return nullptr;
  return list.release();
}

namespace {

// The frame of `count` records checked by `survey`, from `begin` in `source`.
// pandas.DataFrame's argument for the `survey.count` records from `begin` in `source`: the
// finished columns where the columnar build applies, else the rows.
PyObject* frame_argument(std::string_view source, size_t begin, const Survey& survey,
                         const SymbolMap& symbols, bool pretty_ts, bool pretty_px, bool datetimes,
                         unsigned threads = 1) {
  if (!survey.columnar(pretty_ts))
    return frame_by_rows(source, begin, survey.count, symbols, pretty_ts, pretty_px, datetimes);
  return frame_data_by_columns(source, begin, survey, symbols, pretty_ts, pretty_px, datetimes,
                               threads);
}

// The frame from `data` (what frame_argument made); with `datetimes`, time columns made from
// rows of stamps get their dtype even where no row has one (an empty frame, all NaT).
PyObject* make_frame(PyObject* frame_class, PyObject* data, bool datetimes) {
  Ref frame = Ref::steal(PyObject_CallOneArg(frame_class, data));
  if (!frame || !datetimes || !PyList_Check(data)) return frame.release();
  static PyObject* utc_cache = nullptr;
  Ref utc = Ref::steal(cached_attr(utc_cache, "orx._frames", "utc_columns"));
  if (!utc) return nullptr;
  return PyObject_CallOneArg(utc.get(), frame.get());
}

}  // namespace

// Surveys the whole records that convert from the start of `records`, as the decoder would
// check them; returns how many bytes follow them (0: `records` holds nothing else). The kind is
// looked up again only when the type or length byte changes.
size_t survey_whole(std::string_view records, Survey& survey) {
  return for_each_whole_record(reinterpret_cast<const uint8_t*>(records.data()), records.size(),
                               [&](const RecordRef& ref, RType kind) { survey.add(ref, kind); });
}

PyObject* frame_of_whole(std::string_view records, const SymbolMap& symbols, bool pretty_ts,
                         bool pretty_px, bool datetimes, bool& whole, size_t& count,
                         unsigned threads) {
  if (pretty_ts && datetimes) {
    raise(PyExc_ValueError, "pretty_ts and datetimes cannot be combined");
    return nullptr;
  }
  Ref frame_class = Ref::steal(data_frame_class());
  if (!frame_class) return nullptr;
  Survey survey(symbols);
  whole = without_gil_for(records.size(), [&] { return survey_whole(records, survey); }) == 0;
  count = survey.count;
  if (!whole) return nullptr;
  Ref data = Ref::steal(
      frame_argument(records, 0, survey, symbols, pretty_ts, pretty_px, datetimes, threads));
  if (!data) return nullptr;
  return make_frame(frame_class.get(), data.get(), datetimes);
}

PyObject* frame_of(std::string_view records, size_t count, const SymbolMap& symbols, bool pretty_ts,
                   bool pretty_px, bool datetimes) {
  if (pretty_ts && datetimes) {
    raise(PyExc_ValueError, "pretty_ts and datetimes cannot be combined");
    return nullptr;
  }
  Ref frame_class = Ref::steal(data_frame_class());
  if (!frame_class) return nullptr;
  Survey survey(symbols);
  without_gil_for(records.size(), [&] {
    for_each_read(records, 0, count, [&](size_t, const RecordRef& ref, RType kind) {
      survey.add(ref, kind);
      return true;
    });
  });
  Ref data =
      Ref::steal(frame_argument(records, 0, survey, symbols, pretty_ts, pretty_px, datetimes));
  if (!data) return nullptr;
  return make_frame(frame_class.get(), data.get(), datetimes);
}

PyObject* decode_frame(RecordDecoder& decoder, std::string_view source, const SymbolMap& symbols,
                       bool pretty_ts, bool pretty_px) {
  // pandas first: without it nothing is consumed.
  Ref frame_class = Ref::steal(data_frame_class());
  if (!frame_class) return nullptr;
  // Then read and check every remaining record, with the errors of decode_to_array, and learn
  // whether the columnar build applies; then build the frame from the records read.
  const size_t begin = decoder.position();
  Survey survey(symbols);
  // The whole records that convert are walked straight from the bytes; the decoder reads what
  // follows them, which ends the stream or fails as decode_to_array does.
  const std::string_view rest = decoder.remaining_bytes();
  const size_t left = without_gil_for(rest.size(), [&] {
    return for_each_whole_record(reinterpret_cast<const uint8_t*>(rest.data()), rest.size(),
                                 [&](const RecordRef& ref, RType kind) { survey.add(ref, kind); });
  });
  decoder.skip_read(rest.size() - left);
  const bool ok = for_each_remaining(decoder, [&](const RecordRef& ref, RType kind) {
    survey.add(ref, kind);
    return true;
  });
  if (!ok) return nullptr;
  Ref data =
      Ref::steal(frame_argument(source, begin, survey, symbols, pretty_ts, pretty_px, false));
  if (!data) return nullptr;
  // A DataFrame that could not be made (a MemoryError on a big frame) loses no records: the
  // next call reads them again.
  PyObject* frame = PyObject_CallOneArg(frame_class.get(), data.get());
  if (!frame) decoder.back_to(begin);
  return frame;
}

}  // namespace orx::py
