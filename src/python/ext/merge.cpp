// Merging streams sorted by ts_event and sorting records, for `orx merge`: the core's
// RecordMerge fed batch by batch from Python, the merging and checking done without the GIL.
#include <memory>
#include <string>
#include <vector>

#include "ext.h"
#include "merge.h"

namespace orx::py::ext {

struct RecordMerger {
  std::unique_ptr<RecordMerge> merge;
  std::vector<uint8_t> out;  // reused between pulls
};

namespace {

PyObject* raise_merge(const Error& error) {
  raise(PyExc_ValueError, error.detail());
  return nullptr;
}

bool check_input(RecordMerge& merge, uint64_t input) {
  if (input < merge.inputs()) return true;
  PyErr_Format(PyExc_IndexError, "input %llu of a merge of %zu",
               static_cast<unsigned long long>(input), merge.inputs());
  return false;
}

PyObject* merger_push(PyObject* self, uint64_t input, PyObject* data) {
  ExclusiveHold hold(cell_of<RecordMerger>(self));
  if (!hold) return nullptr;
  RecordMerge& merge = *value_of<RecordMerger>(self).merge;
  if (!check_input(merge, input)) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(view.buf),
                                       static_cast<size_t>(view.len));
  // Only exact bytes cannot change while the lock is released; anything else is copied with it.
  const bool immutable = PyBytes_CheckExact(data);
  Status st;
  if (immutable) {
    Py_BEGIN_ALLOW_THREADS st = merge.push(static_cast<size_t>(input), bytes);
    Py_END_ALLOW_THREADS
  } else {
    st = merge.push(static_cast<size_t>(input), bytes);
  }
  PyBuffer_Release(&view);
  if (!st) return raise_merge(st.error());
  Py_RETURN_NONE;
}

PyObject* merger_finish(PyObject* self, uint64_t input) {
  ExclusiveHold hold(cell_of<RecordMerger>(self));
  if (!hold) return nullptr;
  RecordMerge& merge = *value_of<RecordMerger>(self).merge;
  if (!check_input(merge, input)) return nullptr;
  const Status st = merge.finish(static_cast<size_t>(input));
  if (!st) return raise_merge(st.error());
  Py_RETURN_NONE;
}

PyObject* merger_pull(PyObject* self) {
  ExclusiveHold hold(cell_of<RecordMerger>(self));
  if (!hold) return nullptr;
  RecordMerger& m = value_of<RecordMerger>(self);
  m.out.clear();
  uint64_t records = 0;
  size_t need = 0;
  Py_BEGIN_ALLOW_THREADS need = m.merge->pull(m.out, records);
  Py_END_ALLOW_THREADS Ref bytes = Ref::steal(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(m.out.data()), static_cast<Py_ssize_t>(m.out.size())));
  if (!bytes) return nullptr;
  const long long next = need == RecordMerge::kDone ? -1 : static_cast<long long>(need);
  return Py_BuildValue("(OKL)", bytes.get(), static_cast<unsigned long long>(records), next);
}

PyObject* merger_count(PyObject* self, uint64_t input) {
  SharedHold hold(cell_of<RecordMerger>(self));
  if (!hold) return nullptr;
  RecordMerge& merge = *value_of<RecordMerger>(self).merge;
  if (!check_input(merge, input)) return nullptr;
  return PyLong_FromUnsignedLongLong(merge.count(static_cast<size_t>(input)));
}

// sort_records(data): (the whole records at the front of `data` sorted by ts_event, the bytes
// they took).
PyObject* sort_records_of(PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(view.buf),
                                       static_cast<size_t>(view.len));
  std::vector<uint8_t> out;
  Result<size_t> used = size_t{0};
  if (PyBytes_CheckExact(data)) {
    Py_BEGIN_ALLOW_THREADS used = sort_records(bytes, out);
    Py_END_ALLOW_THREADS
  } else {
    used = sort_records(bytes, out);
  }
  PyBuffer_Release(&view);
  if (!used) return raise_merge(used.error());
  Ref sorted = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                                    static_cast<Py_ssize_t>(out.size())));
  if (!sorted) return nullptr;
  return Py_BuildValue("(OK)", sorted.get(), static_cast<unsigned long long>(*used));
}

const MethodRow kFunctions[] = {
    function<&sort_records_of>(
        "sort_records(data)\n--\n\n(sorted, used): the whole records at the front of `data` "
        "sorted by ts_event (equal ones keep their order), and the bytes they took (a last "
        "record cut short is left out)."),
};

}  // namespace

std::span<const MethodRow> merge_functions() { return kFunctions; }

}  // namespace orx::py::ext

namespace orx::py {

template <>
struct PyClass<ext::RecordMerger> {
  static constexpr const char* name = "RecordMerger";
  static constexpr const char* doc =
      "A merge by ts_event of `inputs` record streams, each sorted: push() gives an input's "
      "record bytes, finish() ends an input, pull() hands out what can be merged.";
  static constexpr const char* init_signature = "(inputs)";
  static PyObject* construct(PyTypeObject* tp, PyObject** bound) {
    uint64_t inputs = 0;
    if (!load_arg(bound[0], inputs, "inputs")) return nullptr;
    if (inputs == 0 || inputs > (uint64_t{1} << 20)) {
      PyErr_SetString(PyExc_ValueError, "a merge takes 1 to 1048576 inputs");
      return nullptr;
    }
    return new_instance<ext::RecordMerger>(
        tp, ext::RecordMerger{std::make_unique<RecordMerge>(static_cast<size_t>(inputs)), {}});
  }
  static inline const MethodRow methods[] = {
      method<&ext::merger_push>(
          "push($self, input, data)\n--\n\nAppends record bytes of `input` (a last record cut "
          "short waits for the rest). ValueError when a record comes before the one ahead of "
          "it."),
      method<&ext::merger_finish>("finish($self, input)\n--\n\nNo more bytes come for `input`."),
      method<&ext::merger_pull>(
          "pull($self)\n--\n\n(bytes, records, input): records merged while every unfinished "
          "input had one pending, and the input that needs bytes next (-1: all done)."),
      method<&ext::merger_count>("count($self, input)\n--\n\nRecords of `input` taken so far."),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::py::ext::RecordMerger)
