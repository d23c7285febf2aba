// Aggregates of records for orx.reduce: bar tables and as-of samples as columns of native
// integers (bytearrays numpy reads without a copy). The records may be any buffer, one that
// other threads can change included, so the work keeps the interpreter lock.
#include <cstring>
#include <vector>

#include "columns.h"
#include "ext.h"
#include "reduce.h"

namespace orx::py::ext {
namespace {

template <class T>
PyObject* column(const std::vector<T>& v) {
  PyObject* out =
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(v.size() * sizeof(T)));
  if (out && !v.empty()) std::memcpy(PyByteArray_AS_STRING(out), v.data(), v.size() * sizeof(T));
  return out;
}

bool table_of(const BufferView& data, uint8_t rtype, Py_ssize_t stride, RecordTable& out) {
  auto kind = rtype_from_byte(rtype);
  if (!kind || layout_size(*kind) == 0) {
    PyErr_Format(PyExc_ValueError, "no record layout for rtype %u", static_cast<unsigned>(rtype));
    return false;
  }
  if (stride < static_cast<Py_ssize_t>(layout_size(*kind))) {
    PyErr_Format(PyExc_ValueError, "records %zd bytes apart are shorter than their layout (%zu)",
                 stride, layout_size(*kind));
    return false;
  }
  const std::string_view bytes = data.bytes();
  if (bytes.size() % static_cast<size_t>(stride) != 0) {
    PyErr_Format(PyExc_ValueError, "%zu bytes are not a whole number of %zd-byte records",
                 bytes.size(), stride);
    return false;
  }
  out = {*kind, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size() / stride,
         static_cast<size_t>(stride)};
  return true;
}

// A bar table as its twelve columns (instrument_id, start, open, high, low, close, open_ts,
// close_ts, volume, trades, notional_hi, notional_lo), each a bytearray of native integers.
PyObject* bar_columns(const BarTable& t) {
  PyObject* cols[] = {column(t.instrument_id), column(t.start),       column(t.open),
                      column(t.high),          column(t.low),         column(t.close),
                      column(t.open_ts),       column(t.close_ts),    column(t.volume),
                      column(t.trades),        column(t.notional_hi), column(t.notional_lo)};
  constexpr Py_ssize_t n = sizeof cols / sizeof cols[0];
  Ref out = Ref::steal(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!cols[i] || !out) {
      for (Py_ssize_t k = i; k < n; ++k) Py_XDECREF(cols[k]);
      return nullptr;
    }
    PyTuple_SET_ITEM(out.get(), i, cols[i]);
  }
  return out.release();
}

template <class T>
bool load_column(PyObject* obj, std::vector<T>& out) {
  BufferView view;
  if (!Conv<BufferView>::load(obj, view)) return false;
  const std::string_view b = view.bytes();
  if (b.size() % sizeof(T) != 0) {
    PyErr_SetString(PyExc_ValueError, "a bar table column is not a whole number of values");
    return false;
  }
  out.resize(b.size() / sizeof(T));
  if (!b.empty()) std::memcpy(out.data(), b.data(), b.size());
  return true;
}

PyObject* trade_bars(const BufferView& data, uint8_t rtype, Py_ssize_t stride, uint64_t interval) {
  RecordTable table;
  if (!table_of(data, rtype, stride, table)) return nullptr;
  Result<BarTable> got = orx::trade_bars(table, interval);
  if (!got) {
    raise(PyExc_ValueError, got.error().payload());
    return nullptr;
  }
  return bar_columns(*got);
}

// The bar tables of consecutive pieces of records, their columns concatenated in order, merged
// into the table of the whole.
PyObject* combine_bars(PyObject* columns) {
  Ref seq = Ref::steal(PySequence_Fast(columns, "the columns of a bar table must be a sequence"));
  if (!seq) return nullptr;
  if (PySequence_Fast_GET_SIZE(seq.get()) != 12) {
    PyErr_SetString(PyExc_ValueError, "a bar table has 12 columns");
    return nullptr;
  }
  PyObject** c = PySequence_Fast_ITEMS(seq.get());
  BarTable t;
  if (!load_column(c[0], t.instrument_id) || !load_column(c[1], t.start) ||
      !load_column(c[2], t.open) || !load_column(c[3], t.high) || !load_column(c[4], t.low) ||
      !load_column(c[5], t.close) || !load_column(c[6], t.open_ts) ||
      !load_column(c[7], t.close_ts) || !load_column(c[8], t.volume) ||
      !load_column(c[9], t.trades) || !load_column(c[10], t.notional_hi) ||
      !load_column(c[11], t.notional_lo))
    return nullptr;
  Result<BarTable> got = orx::combine_bars(t);
  if (!got) {
    raise(PyExc_ValueError, got.error().payload());
    return nullptr;
  }
  return bar_columns(*got);
}

// (sample, instrument_id, record), each a bytearray of native integers (uint32, uint32,
// uint64): for each sample time and instrument, the index of its last record at or before it.
PyObject* last_at(const BufferView& data, uint8_t rtype, Py_ssize_t stride,
                  const BufferView& times) {
  RecordTable table;
  if (!table_of(data, rtype, stride, table)) return nullptr;
  const std::string_view t = times.bytes();
  if (t.size() % 8 != 0) {
    PyErr_SetString(PyExc_ValueError, "sample times must be 8-byte integers");
    return nullptr;
  }
  std::vector<uint64_t> samples(t.size() / 8);
  if (!samples.empty()) std::memcpy(samples.data(), t.data(), t.size());
  Result<std::vector<LastAt>> got = orx::last_at(table, samples);
  if (!got) {
    raise(PyExc_ValueError, got.error().payload());
    return nullptr;
  }
  std::vector<uint32_t> sample, id;
  std::vector<uint64_t> record;
  sample.reserve(got->size());
  id.reserve(got->size());
  record.reserve(got->size());
  for (const LastAt& r : *got) {
    sample.push_back(r.sample);
    id.push_back(r.instrument_id);
    record.push_back(r.record);
  }
  Ref a = Ref::steal(column(sample));
  Ref b = Ref::steal(a ? column(id) : nullptr);
  Ref c = Ref::steal(b ? column(record) : nullptr);
  if (!c) return nullptr;
  return PyTuple_Pack(3, a.get(), b.get(), c.get());
}

const MethodRow kFunctions[] = {
    function<&trade_bars>(
        "trade_bars(data, rtype, stride, interval)\n--\n\n"
        "Bars of the trades among the records `data` in intervals of `interval` ns, as columns."),
    function<&combine_bars>(
        "combine_bars(columns)\n--\n\n"
        "The bar tables of consecutive pieces of records (columns concatenated) as one table."),
    function<&last_at>(
        "last_at(data, rtype, stride, times)\n--\n\n"
        "For each sample time and instrument, the index of its last record at or before it."),
};

}  // namespace

std::span<const MethodRow> reduce_functions() { return kFunctions; }

}  // namespace orx::py::ext
