// PyRecordEncoder: writes MBP-1 records into a buffer of its own. Every item is checked before
// the buffer is touched; then each record's layout is copied straight into the buffer, one
// copy per record. The buffer is the bytes object get_encoded_data returns: bytes are
// immutable, so handing out the same object needs no second copy, and each encode call makes a
// new one.
#include <cstring>
#include <vector>

#include "bind/bind.h"
#include "classes.h"
#include "encode.h"
#include "records.h"

namespace orx::py {

// The output of the last successful encode call (a bytes object; null before the first).
struct PyRecordEncoder {
  Ref encoded;
};

namespace {

// The records of `records`, each checked to be an Mbp1Msg. Lists and tuples are read in
// place: between the check and the copy into the buffer no Python code runs, so nothing can
// change them. Other sequences run Python code while they are iterated, so each item is copied
// out as it comes (into `copies`).
bool collect(PyObject* records, std::vector<const Mbp1Msg*>& out, std::vector<Mbp1Msg>& copies) {
  if (!check_sequence(records)) return false;
  if (PyList_Check(records) || PyTuple_Check(records)) {
    PyTypeObject* tp = type_object<Mbp1Msg>();
    if (!tp) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(records);
    PyObject** items = PySequence_Fast_ITEMS(records);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (Py_TYPE(items[i]) != tp) [[unlikely]] {
        raise_cannot_convert(items[i], "Mbp1Msg");
        return false;
      }
      out.push_back(&value_of<Mbp1Msg>(items[i]));
    }
    return true;
  }
  if (!Conv<std::vector<Mbp1Msg>>::load(records, copies)) return false;
  out.reserve(copies.size());
  for (const Mbp1Msg& record : copies) out.push_back(&record);
  return true;
}

PyObject* encode_records(PyObject* self, PyObject* records) {
  ExclusiveHold hold(cell_of<PyRecordEncoder>(self));
  if (!hold) return nullptr;
  std::vector<const Mbp1Msg*> items;
  std::vector<Mbp1Msg> copies;
  if (!collect(records, items, copies)) {
    rename_type_error("records");
    return nullptr;
  }
  size_t total = 0;
  for (const Mbp1Msg* record : items) {
    const Status ok = check_record(*record);
    if (!ok) {
      raise(PyExc_OSError, "Failed to encode record: " + ok.error().display());
      return nullptr;
    }
    total += static_cast<size_t>(record->hd.length) * 4;
  }
  Ref encoded = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!encoded) return nullptr;
  char* out = PyBytes_AS_STRING(encoded.get());
  for (const Mbp1Msg* record : items) {
    const size_t size = static_cast<size_t>(record->hd.length) * 4;  // checked above
    if (size == sizeof(Mbp1Msg))  // the usual record: a copy of a known size, inlined
      std::memcpy(out, record_bytes(*record), sizeof(Mbp1Msg));
    else
      std::memcpy(out, record_bytes(*record), size);
    out += size;
  }
  value_of<PyRecordEncoder>(self).encoded = std::move(encoded);
  Py_RETURN_NONE;
}

PyObject* get_encoded_data(PyObject* self) {
  SharedHold hold(cell_of<PyRecordEncoder>(self));
  if (!hold) return nullptr;
  const Ref& encoded = value_of<PyRecordEncoder>(self).encoded;
  return encoded ? Py_NewRef(encoded.get()) : PyBytes_FromStringAndSize(nullptr, 0);
}

}  // namespace

template <>
struct PyClass<PyRecordEncoder> {
  static constexpr const char* name = "PyRecordEncoder";
  static constexpr const char* doc = "Python-facing wrapper for RecordEncoder";
  static constexpr auto init = std::tuple{};
  static inline const MethodRow methods[] = {
      method<&encode_records>("encode_records($self, records)\n--\n\nEncodes multiple records"),
      method<&get_encoded_data>(
          "get_encoded_data($self)\n--\n\nRetrieve the encoded data as bytes"),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::py::PyRecordEncoder)
