#include "frame.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>

#include "bind/bind.h"
#include "classes.h"
#include "columns.h"
#include "records.h"
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
  for (size_t i = 0; i < count; ++i) {
    const RecordRef ref(p, static_cast<size_t>(p[0]) * 4);
    if (!visit(i, ref, *convertible_kind(ref))) return false;
    p += ref.record_size();
  }
  return true;
}

// pandas.DataFrame.
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

bool shape_row(PyObject* row, const RowKeys& keys, const SymbolMap& symbols, bool pretty_ts,
               bool pretty_px) {
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
                        const SymbolMap& symbols, bool pretty_ts, bool pretty_px) {
  static const RowKeys keys;
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
        return shape_row(row, keys, symbols, pretty_ts, pretty_px);
      });
  if (!ok) return nullptr;
  return rows.release();
}

// --- the columnar frame: the same DataFrame built from whole columns ---------------------------
//
// For the common case (records of one kind whose rows convert without error, all with a
// symbol or none) the columns are filled straight from the record bytes and handed to
// pandas.DataFrame as a dict of columns (what frame_by_columns returns): integers as int64
// arrays (uint64 when a value does not fit), prices with `pretty_px` as float64 arrays, text as
// lists of str. pandas infers the same dtypes from these as from the rows, so the frame is the
// same.

// What the first pass learned about the records: whether the columnar build applies.
struct Survey {
  size_t count = 0;
  RType kind = RType::Mbp1;
  bool mixed = false;
  bool negative_letter = false;  // an action or side byte that is no unsigned 8-bit value
  bool wide_ts = false;          // a ts_event past the signed 64-bit range
  size_t with_symbol = 0;

  void add(const RecordRef& ref, RType k, const SymbolMap& symbols) {
    if (count == 0) kind = k;
    mixed |= k != kind;
    ++count;
    for (const Column& c : columns_of(k)) {
      if (c.role == Role::Letter) negative_letter |= static_cast<int8_t>(ref.data()[c.offset]) < 0;
    }
    const RecordHeader h = ref.header();
    wide_ts |= h.ts_event > static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    with_symbol += symbols.find(h.instrument_id) != nullptr;
  }

  bool columnar(bool pretty_ts) const {
    return count > 0 && !mixed && !negative_letter && !(pretty_ts && wide_ts) &&
           (with_symbol == 0 || with_symbol == count);
  }
};

// A column of 64-bit values as a numpy array of `dtype`, made over a bytearray filled by `fill`.
template <class F>
PyObject* numeric_column(PyObject* frombuffer, size_t n, const char* dtype, F&& fill) {
  Ref bytes = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * 8)));
  if (!bytes) return nullptr;
  fill(reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(bytes.get())));
  return PyObject_CallFunction(frombuffer, "Os", bytes.get(), dtype);
}

// Reuses the string of the previous row when the text repeats (timestamps within one second,
// tickers of one instrument).
class TextCache {
 public:
  PyObject* get(const std::string& text) {
    if (!last_ || text != last_text_) {
      last_ = Ref::steal(Conv<std::string>::to_py(text));
      last_text_ = text;
    }
    return last_ ? Py_NewRef(last_.get()) : nullptr;
  }

 private:
  Ref last_;
  std::string last_text_;
};

PyObject* frame_by_columns(std::string_view source, size_t begin, const Survey& survey,
                           const SymbolMap& symbols, bool pretty_ts, bool pretty_px) {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  Ref frombuffer = Ref::steal(PyObject_GetAttrString(numpy.get(), "frombuffer"));
  if (!frombuffer) return nullptr;

  const size_t n = survey.count;
  const auto* first = reinterpret_cast<const uint8_t*>(source.data()) + begin;
  const size_t stride = static_cast<size_t>(first[0]) * 4;  // one kind, but lengths may differ
  const bool uniform = [&] {
    const uint8_t* p = first;
    for (size_t i = 0; i < n; ++i, p += stride)
      if (p[0] * size_t{4} != stride) return false;
    return true;
  }();
  std::vector<const uint8_t*> starts;
  if (!uniform) {
    starts.reserve(n);
    for (const uint8_t* p = first; starts.size() < n; p += p[0] * size_t{4}) starts.push_back(p);
  }
  auto record = [&](size_t i) { return uniform ? first + i * stride : starts[i]; };

  Ref data = Ref::steal(PyDict_New());
  if (!data) return nullptr;
  for (const Column& c : columns_of(survey.kind)) {
    Ref column;
    const bool as_text = c.role == Role::Letter || (c.role == Role::EventTime && pretty_ts);
    if (as_text) {
      column = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
      if (!column) return nullptr;
      TextCache cache;
      for (size_t i = 0; i < n; ++i) {
        const uint64_t v = read_field(record(i), c);
        PyObject* item = c.role == Role::Letter
                             ? PyUnicode_FromOrdinal(static_cast<int>(v))
                             : cache.get(unix_nanos_to_string(static_cast<int64_t>(v)));
        if (!item) return nullptr;
        PyList_SET_ITEM(column.get(), static_cast<Py_ssize_t>(i), item);
      }
    } else if (c.role == Role::Price && pretty_px) {
      column = Ref::steal(numeric_column(frombuffer.get(), n, "float64", [&](uint8_t* out) {
        for (size_t i = 0; i < n; ++i) {
          const double px =
              static_cast<double>(static_cast<int64_t>(read_field(record(i), c))) / 1'000'000'000.0;
          std::memcpy(out + i * 8, &px, 8);
        }
      }));
    } else {
      bool wide = false;  // an unsigned value past int64: the column is uint64, as pandas infers
      column = Ref::steal(numeric_column(frombuffer.get(), n, "int64", [&](uint8_t* out) {
        for (size_t i = 0; i < n; ++i) {
          const uint64_t v = read_field(record(i), c);
          wide |= !c.is_signed && v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
          std::memcpy(out + i * 8, &v, 8);
        }
      }));
      if (column && wide) {
        Ref as_unsigned = Ref::steal(PyObject_CallMethod(column.get(), "view", "s", "uint64"));
        column = std::move(as_unsigned);
      }
    }
    if (!column || PyDict_SetItemString(data.get(), c.name, column.get()) < 0) return nullptr;
  }
  if (survey.with_symbol) {
    Ref column = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!column) return nullptr;
    std::unordered_map<uint32_t, Ref> tickers;
    for (size_t i = 0; i < n; ++i) {
      uint32_t id;
      std::memcpy(&id, record(i) + offsetof(RecordHeader, instrument_id), sizeof id);
      Ref& ticker = tickers[id];
      if (!ticker) ticker = Ref::steal(Conv<std::string>::to_py(*symbols.find(id)));
      if (!ticker) return nullptr;
      PyList_SET_ITEM(column.get(), static_cast<Py_ssize_t>(i), Py_NewRef(ticker.get()));
    }
    if (PyDict_SetItemString(data.get(), "symbol", column.get()) < 0) return nullptr;
  }
  return data.release();
}

// pandas.DataFrame's argument for the `survey.count` records from `begin` in `source`: whole
// columns where the columnar build applies, else rows.
PyObject* frame_argument(std::string_view source, size_t begin, const Survey& survey,
                         const SymbolMap& symbols, bool pretty_ts, bool pretty_px) {
  if (survey.columnar(pretty_ts))
    return frame_by_columns(source, begin, survey, symbols, pretty_ts, pretty_px);
  return frame_by_rows(source, begin, survey.count, symbols, pretty_ts, pretty_px);
}

}  // namespace

PyObject* decode_remaining(RecordDecoder& decoder) {
  const size_t expected = decoder.count_whole_records();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(expected)));
  if (!list) return nullptr;
  size_t n = 0;
  const bool ok = for_each_remaining(decoder, [&](const RecordRef& ref, RType kind) {
    PyObject* record = record_object(ref, kind);
    if (!record) return false;
    if (n < expected) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(n), record);
    } else {
      const int r = PyList_Append(list.get(), record);
      Py_DECREF(record);
      if (r < 0) return false;
    }
    ++n;
    return true;
  });
  if (!ok) return nullptr;
  if (n < expected &&
      PyList_SetSlice(list.get(), static_cast<Py_ssize_t>(n), PY_SSIZE_T_MAX, nullptr) < 0)
    return nullptr;
  return list.release();
}

PyObject* frame_of(std::string_view records, size_t count, const SymbolMap& symbols, bool pretty_ts,
                   bool pretty_px) {
  Ref frame_class = Ref::steal(data_frame_class());
  if (!frame_class) return nullptr;
  Survey survey;
  for_each_read(records, 0, count, [&](size_t, const RecordRef& ref, RType kind) {
    survey.add(ref, kind, symbols);
    return true;
  });
  Ref data = Ref::steal(frame_argument(records, 0, survey, symbols, pretty_ts, pretty_px));
  if (!data) return nullptr;
  return PyObject_CallOneArg(frame_class.get(), data.get());
}

PyObject* decode_frame(RecordDecoder& decoder, std::string_view source, const SymbolMap& symbols,
                       bool pretty_ts, bool pretty_px) {
  // pandas first: without it nothing is consumed.
  Ref frame_class = Ref::steal(data_frame_class());
  if (!frame_class) return nullptr;
  // Then read and check every remaining record, with the errors of decode_to_array, and learn
  // whether the columnar build applies; then build the frame from the records read.
  const size_t begin = decoder.position();
  Survey survey;
  const bool ok = for_each_remaining(decoder, [&](const RecordRef& ref, RType kind) {
    survey.add(ref, kind, symbols);
    return true;
  });
  if (!ok) return nullptr;
  Ref data = Ref::steal(frame_argument(source, begin, survey, symbols, pretty_ts, pretty_px));
  if (!data) return nullptr;
  // A DataFrame that could not be made (a MemoryError on a big frame) loses no records: the
  // next call reads them again.
  PyObject* frame = PyObject_CallOneArg(frame_class.get(), data.get());
  if (!frame) decoder.back_to(begin);
  return frame;
}

}  // namespace orx::py
