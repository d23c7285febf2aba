// Day files of the catalog: their blocks stored column by column, and the query executor that
// reads the blocks a plan selected into one ordered run of records (dayfile.h). The work runs
// without the interpreter lock, on immutable bytes the caller keeps.
#include <memory>
#include <vector>

#include "columns.h"
#include "dayfile.h"
#include "ext.h"

namespace orx::py::ext {
namespace {

std::span<const uint8_t> span_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

unsigned threads_of(int64_t threads) {
  if (threads <= 0) return default_threads();
  return static_cast<unsigned>(std::min<int64_t>(threads, 64));
}

bool known_kind(uint8_t rtype) {
  if (columns_of(static_cast<RType>(rtype)).empty()) {
    PyErr_Format(PyExc_ValueError, "records of rtype %u have no layout a day file stores",
                 static_cast<unsigned>(rtype));
    return false;
  }
  return true;
}

// [stored block, ...] of the runs records[cuts[i]:cuts[i+1]].
PyObject* dayfile_encode(uint8_t rtype, const BufferView& records, std::vector<uint64_t> cuts,
                         int64_t level, int64_t threads) {
  if (!known_kind(rtype)) return nullptr;
  std::vector<size_t> c(cuts.begin(), cuts.end());
  Result<std::vector<std::vector<uint8_t>>> got = Error::encode("");
  {
    WithoutGil released;
    got = encode_blocks(static_cast<RType>(rtype), span_of(records.bytes()), c,
                        static_cast<int>(level), threads_of(threads));
  }
  if (!got) {
    raise(PyExc_ValueError, got.error().detail());
    return nullptr;
  }
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(got->size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < got->size(); ++i) {
    PyObject* b = bytes_of((*got)[i]);
    if (!b) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), b);
  }
  return out.release();
}

// The `count` records a stored block holds.
PyObject* dayfile_decode(uint8_t rtype, ByteView block, uint64_t count) {
  if (!known_kind(rtype)) return nullptr;
  const size_t size = layout_size(static_cast<RType>(rtype));
  if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX) / size)
    return PyErr_Format(PyExc_ValueError, "a block of %llu records is too large",
                        static_cast<unsigned long long>(count));
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * size)));
  if (!out) return nullptr;
  const std::span<uint8_t> dst(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())),
                               count * size);
  Status st;
  Py_BEGIN_ALLOW_THREADS st = decode_block(static_cast<RType>(rtype), span_of(block.bytes), dst);
  Py_END_ALLOW_THREADS if (!st) {
    raise(PyExc_ValueError, st.error().detail());
    return nullptr;
  }
  return out.release();
}

PyObject* crc32c_of(const BufferView& data) {
  const uint32_t c =
      without_gil_for(data.bytes().size(), [&] { return crc32c(span_of(data.bytes())); });
  return PyLong_FromUnsignedLong(c);
}

// A read-only buffer held for the call.
struct Held {
  Py_buffer view{};
  bool held = false;
  Held() = default;
  Held(const Held&) = delete;
  ~Held() {
    if (held) PyBuffer_Release(&view);
  }
};

bool load_u64(PyObject* o, uint64_t& out) {
  out = PyLong_AsUnsignedLongLong(o);
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

// The records of `days`, [(start, end, [(data, coding, known, count, id, first, last), ...]),
// ...], merged day by day: (bytes of the records, [[records taken of each block] of each
// day]). A block that fails
// raises ValueError(detail, day, block).
PyObject* query_run(uint8_t rtype, PyObject* days, int64_t threads) {
  if (!known_kind(rtype)) return nullptr;
  Ref seq = Ref::steal(PySequence_Fast(days, "days must be a sequence"));
  if (!seq) return nullptr;
  const Py_ssize_t nd = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<DaySpec> specs(static_cast<size_t>(nd));
  std::vector<std::unique_ptr<Held>> held;
  for (Py_ssize_t d = 0; d < nd; ++d) {
    PyObject* day = PySequence_Fast_GET_ITEM(seq.get(), d);
    PyObject *start, *end, *blocks;
    if (!PyArg_ParseTuple(day, "OOO", &start, &end, &blocks)) return nullptr;
    DaySpec& s = specs[static_cast<size_t>(d)];
    if (!load_u64(start, s.start) || !load_u64(end, s.end)) return nullptr;
    Ref bseq = Ref::steal(PySequence_Fast(blocks, "blocks must be a sequence"));
    if (!bseq) return nullptr;
    const Py_ssize_t nb = PySequence_Fast_GET_SIZE(bseq.get());
    s.blocks.resize(static_cast<size_t>(nb));
    for (Py_ssize_t b = 0; b < nb; ++b) {
      PyObject *data, *coding, *known, *count, *id, *first, *last;
      if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(bseq.get(), b), "OOOOOOO", &data, &coding,
                            &known, &count, &id, &first, &last))
        return nullptr;
      auto h = std::make_unique<Held>();
      if (PyObject_GetBuffer(data, &h->view, PyBUF_SIMPLE) < 0) return nullptr;
      h->held = true;
      if (!h->view.readonly) {
        PyErr_SetString(PyExc_TypeError, "block data must be a read-only buffer");
        return nullptr;
      }
      BlockSpec& bs = s.blocks[static_cast<size_t>(b)];
      bs.data = {static_cast<const uint8_t*>(h->view.buf), static_cast<size_t>(h->view.len)};
      held.push_back(std::move(h));
      uint64_t c, i;
      if (!load_u64(coding, c) || !load_u64(count, bs.count) || !load_u64(id, i) ||
          !load_u64(first, bs.first) || !load_u64(last, bs.last))
        return nullptr;
      if (c > 2) {
        PyErr_Format(PyExc_ValueError, "unknown block coding %llu",
                     static_cast<unsigned long long>(c));
        return nullptr;
      }
      bs.coding = static_cast<Coding>(c);
      const int k = PyObject_IsTrue(known);
      if (k < 0) return nullptr;
      bs.known = k;
      if (!bs.known && bs.coding != Coding::Raw) {
        PyErr_SetString(PyExc_ValueError, "a block without its index entry must be raw records");
        return nullptr;
      }
      bs.id = static_cast<uint32_t>(i);
    }
  }
  const unsigned n = threads_of(threads);
  QueryRun run(static_cast<RType>(rtype), std::move(specs));
  // A block that fails: ValueError(detail, day, block).
  const auto failed = [&](const Status& st) -> PyObject* {
    Ref detail = Ref::steal(PyUnicode_FromStringAndSize(
        st.error().detail().data(), static_cast<Py_ssize_t>(st.error().detail().size())));
    if (!detail) return nullptr;
    Ref args = Ref::steal(Py_BuildValue("(OKK)", detail.get(),
                                        static_cast<unsigned long long>(run.failed_day()),
                                        static_cast<unsigned long long>(run.failed_block())));
    if (args) PyErr_SetObject(PyExc_ValueError, args.get());
    return nullptr;
  };
  Status st;
  {
    WithoutGil released;
    st = run.decode(n);
  }
  if (!st) return failed(st);
  const size_t size = layout_size(static_cast<RType>(rtype));
  const size_t total = run.records();
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total * size)));
  if (!out) return nullptr;
  {
    WithoutGil released;
    st = run.merge(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())), n);
  }
  if (!st) return failed(st);
  Ref counts = Ref::steal(PyList_New(nd));
  if (!counts) return nullptr;
  for (Py_ssize_t d = 0; d < nd; ++d) {
    const size_t nb = run.blocks_of(static_cast<size_t>(d));
    PyObject* per = PyList_New(static_cast<Py_ssize_t>(nb));
    if (!per) return nullptr;
    PyList_SET_ITEM(counts.get(), d, per);
    for (size_t b = 0; b < nb; ++b) {
      PyObject* c = PyLong_FromSize_t(run.records_of(static_cast<size_t>(d), b));
      if (!c) return nullptr;
      PyList_SET_ITEM(per, static_cast<Py_ssize_t>(b), c);
    }
  }
  return PyTuple_Pack(2, out.get(), counts.get());
}

PyObject* query_threads() { return PyLong_FromUnsignedLong(default_threads()); }

const MethodRow kFunctions[] = {
    function<&dayfile_encode>(
        "dayfile_encode(rtype, records, cuts, level, threads)\n--\n\n"
        "The stored blocks of the runs records[cuts[i]:cuts[i+1]] of records of `rtype` (a "
        "bytes-like object of whole records), made on up to `threads` threads (0: the default)."),
    function<&dayfile_decode>("dayfile_decode(rtype, block, count)\n--\n\n"
                              "The `count` records a stored block (bytes) holds."),
    function<&crc32c_of>("crc32c(data)\n--\n\nThe CRC-32C of a bytes-like object."),
    function<&query_run>(
        "query_run(rtype, days, threads)\n--\n\n"
        "The records of the blocks of `days`, [(start, end, [(data, coding, known, count, id, "
        "first, last), ...]), ...], each day's cut to start <= ts_event < end and merged by "
        "ts_event (equal times by instrument id, then block order), the days one after the "
        "other: (bytes, [[records taken of each block] of each day]). A block that fails raises "
        "ValueError(detail, "
        "day, block)."),
    function<&query_threads>("query_threads()\n--\n\nThe executor's default number of threads."),
};

}  // namespace

std::span<const MethodRow> dayfile_functions() { return kFunctions; }

}  // namespace orx::py::ext
