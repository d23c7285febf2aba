// The writers' fast paths: columns packed into record bytes, record objects of every kind to
// bytes, and zstd compression of what is written.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns.h"
#include "encode.h"
#include "ext.h"
#include "records.h"
#include "zstd_stream.h"

namespace orx::py::ext {

// A zstd compressor: one frame per finish().
struct ZstdWriter {
  std::unique_ptr<ZstdCompressor> compressor;
};

namespace {

// A buffer's element type from its struct-module format ('<q', 'd', '1s', ...).
std::optional<Elem> elem_of(const Py_buffer& view) {
  std::string_view f = view.format ? view.format : "B";
  if (!f.empty() && (f[0] == '<' || f[0] == '=' || f[0] == '@')) f.remove_prefix(1);
  struct Known {
    std::string_view format;
    Elem elem;
    Py_ssize_t size;
  };
  static constexpr Known known[] = {
      {"b", Elem::I8, 1},  {"B", Elem::U8, 1},  {"?", Elem::U8, 1},  {"c", Elem::U8, 1},
      {"1s", Elem::U8, 1}, {"h", Elem::I16, 2}, {"H", Elem::U16, 2}, {"i", Elem::I32, 4},
      {"I", Elem::U32, 4}, {"l", Elem::I64, 8}, {"L", Elem::U64, 8}, {"q", Elem::I64, 8},
      {"Q", Elem::U64, 8}, {"d", Elem::F64, 8},
  };
  for (const Known& k : known)
    if (f == k.format && view.itemsize == k.size) return k.elem;
  return std::nullopt;
}

struct Views {
  std::vector<Py_buffer> views;
  ~Views() {
    for (Py_buffer& v : views) PyBuffer_Release(&v);
  }
};

// Records of kind `rtype` packed from `columns`, a sequence of (name, buffer) pairs: each
// buffer one-dimensional, contiguous, of `count` integers or floats.
PyObject* pack_columns(uint8_t rtype, Py_ssize_t count, PyObject* columns) {
  auto kind = rtype_from_byte(rtype);
  const std::span<const Column> cols = kind ? columns_of(*kind) : std::span<const Column>();
  if (cols.empty()) {
    PyErr_Format(PyExc_ValueError, "no record layout for rtype %u", static_cast<unsigned>(rtype));
    return nullptr;
  }
  if (count < 0) return PyErr_Format(PyExc_ValueError, "count must not be negative");
  Ref seq = Ref::steal(PySequence_Fast(columns, "columns must be a sequence of (name, buffer)"));
  if (!seq) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  Views held;
  held.views.reserve(static_cast<size_t>(n));
  std::vector<ColumnSource> sources;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    const char* name = nullptr;
    PyObject* data = nullptr;
    if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "sO", &name, &data)) {
      PyErr_Clear();
      return PyErr_Format(PyExc_TypeError, "columns[%zd] must be a (name, buffer) pair", i);
    }
    const Column* column = nullptr;
    for (const Column& c : cols)
      if (std::string_view(c.name) == name) column = &c;
    if (!column)
      return PyErr_Format(PyExc_ValueError, "records of rtype %u have no column '%s'",
                          static_cast<unsigned>(rtype), name);
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_FORMAT | PyBUF_ND | PyBUF_C_CONTIGUOUS) < 0)
      return nullptr;
    held.views.push_back(view);
    const auto elem = elem_of(view);
    if (!elem || view.ndim != 1)
      return PyErr_Format(PyExc_TypeError,
                          "column '%s' must be one-dimensional integers or floats, not format "
                          "'%s' in %d dimensions",
                          name, view.format ? view.format : "B", view.ndim);
    if (view.shape[0] != count)
      return PyErr_Format(PyExc_ValueError, "column '%s' holds %zd values, not %zd", name,
                          view.shape[0], count);
    sources.push_back({column, *elem, view.buf});
  }
  const size_t size = layout_size(*kind);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, count * static_cast<Py_ssize_t>(size)));
  if (!out) return nullptr;
  auto* dst = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  Status st;
  Py_BEGIN_ALLOW_THREADS st = orx::pack_columns(*kind, static_cast<size_t>(count), sources, dst);
  Py_END_ALLOW_THREADS if (!st) {
    raise(PyExc_ValueError, st.error().detail());
    return nullptr;
  }
  return out.release();
}

// The layout bytes of a record object of one of the four kinds, or null when `obj` is none.
const uint8_t* record_of(PyObject* obj, size_t& layout) {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == type_object<Mbp1Msg>())
    return layout = sizeof(Mbp1Msg), record_bytes(value_of<Mbp1Msg>(obj));
  if (tp == type_object<TradeMsg>())
    return layout = sizeof(TradeMsg), record_bytes(value_of<TradeMsg>(obj));
  if (tp == type_object<BboMsg>())
    return layout = sizeof(BboMsg), record_bytes(value_of<BboMsg>(obj));
  if (tp == type_object<OhlcvMsg>())
    return layout = sizeof(OhlcvMsg), record_bytes(value_of<OhlcvMsg>(obj));
  return nullptr;
}

// The stream bytes of a list or tuple of record objects (Mbp1Msg, TradeMsg, BboMsg, OhlcvMsg),
// in order, each as its header's length says.
PyObject* record_bytes_of(PyObject* records) {
  if (!PyList_Check(records) && !PyTuple_Check(records))
    return PyErr_Format(PyExc_TypeError, "records must be a list or tuple, not %s",
                        Py_TYPE(records)->tp_name);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(records);
  PyObject** items = PySequence_Fast_ITEMS(records);
  size_t total = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    size_t layout = 0;
    const uint8_t* r = record_of(items[i], layout);
    if (!r)
      return PyErr_Format(PyExc_TypeError,
                          "records[%zd] is a %s, not Mbp1Msg, TradeMsg, BboMsg or OhlcvMsg", i,
                          Py_TYPE(items[i])->tp_name);
    const Status ok = check_record(r, layout);
    if (!ok) {
      raise(PyExc_ValueError, "records[" + std::to_string(i) + "]: " + ok.error().detail());
      return nullptr;
    }
    total += static_cast<size_t>(r[0]) * 4;
  }
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!out) return nullptr;
  auto* dst = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  for (Py_ssize_t i = 0; i < n; ++i) {
    size_t layout = 0;
    const uint8_t* r = record_of(items[i], layout);
    const size_t k = static_cast<size_t>(r[0]) * 4;
    std::memcpy(dst, r, k);
    dst += k;
  }
  return out.release();
}

// The whole decompressed content of zstd frames held in memory.
PyObject* zstd_decompress(ByteView data) {
  ZstdSource src(std::make_unique<SpanSource>(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(data.bytes.data()), data.bytes.size())));
  std::vector<uint8_t> out;
  std::vector<uint8_t> buf(1 << 17);
  for (;;) {
    auto got = src.read(buf.data(), buf.size());
    if (!got) {
      raise(PyExc_ValueError, got.error().detail());
      return nullptr;
    }
    if (*got == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(*got));
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                   static_cast<Py_ssize_t>(out.size()));
}

PyObject* zstd_levels() {
  return Py_BuildValue("(iii)", ZstdCompressor::min_level(), ZstdCompressor::max_level(),
                       ZstdCompressor::kDefaultLevel);
}

// ZstdWriter.compress(data) / finish(): the compressed bytes produced so far.
PyObject* compressed(const std::vector<uint8_t>& out) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                   static_cast<Py_ssize_t>(out.size()));
}

PyObject* zstd_compress(PyObject* self, PyObject* data) {
  ExclusiveHold hold(cell_of<ZstdWriter>(self));
  if (!hold) return nullptr;
  Views held;
  held.views.emplace_back();
  if (PyObject_GetBuffer(data, &held.views[0], PyBUF_SIMPLE) < 0) {
    held.views.clear();
    return nullptr;
  }
  const std::span<const uint8_t> in(static_cast<const uint8_t*>(held.views[0].buf),
                                    static_cast<size_t>(held.views[0].len));
  std::vector<uint8_t> out;
  Status st;
  ZstdCompressor& c = *value_of<ZstdWriter>(self).compressor;
  Py_BEGIN_ALLOW_THREADS st = c.write(in, out);
  Py_END_ALLOW_THREADS if (!st) {
    raise(PyExc_ValueError, st.error().detail());
    return nullptr;
  }
  return compressed(out);
}

PyObject* zstd_finish(PyObject* self) {
  ExclusiveHold hold(cell_of<ZstdWriter>(self));
  if (!hold) return nullptr;
  std::vector<uint8_t> out;
  const Status st = value_of<ZstdWriter>(self).compressor->finish(out);
  if (!st) {
    raise(PyExc_ValueError, st.error().detail());
    return nullptr;
  }
  return compressed(out);
}

const MethodRow kFunctions[] = {
    function<&pack_columns>(
        "pack_columns(rtype, count, columns)\n--\n\n"
        "Stream bytes of `count` records of `rtype` from `columns`, (name, buffer) pairs."),
    function<&record_bytes_of>(
        "record_bytes(records)\n--\n\nStream bytes of a list of record objects of any kind."),
    function<&zstd_decompress>(
        "zstd_decompress(data)\n--\n\nThe content of zstd frames held in memory."),
    function<&zstd_levels>(
        "zstd_levels()\n--\n\nThe lowest, highest and default zstd compression levels."),
};

}  // namespace

std::span<const MethodRow> writer_functions() { return kFunctions; }

}  // namespace orx::py::ext

namespace orx::py {

template <>
struct PyClass<ext::ZstdWriter> {
  static constexpr const char* name = "ZstdWriter";
  static constexpr const char* doc = "Compresses bytes into zstd frames, piece by piece.";
  static constexpr const char* init_signature = "(level)";
  static PyObject* construct(PyTypeObject* tp, PyObject** bound) {
    int level = 0;
    if (!load_arg(bound[0], level, "level")) return nullptr;
    auto c = ZstdCompressor::create(level);
    if (!c) {
      raise(PyExc_ValueError, c.error().detail());
      return nullptr;
    }
    return new_instance<ext::ZstdWriter>(tp, ext::ZstdWriter{std::move(*c)});
  }
  static inline const MethodRow methods[] = {
      method<&ext::zstd_compress>(
          "compress($self, data)\n--\n\nCompressed bytes of `data` (some may stay buffered)."),
      method<&ext::zstd_finish>(
          "finish($self)\n--\n\nThe rest of the frame; the next compress() starts a new one."),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::py::ext::ZstdWriter)
