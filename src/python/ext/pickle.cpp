// What the package's pickling reads and rebuilds that `_lib` does not show: the whole memory of
// the plain record layouts (padding included), the extra attributes of an instance whose
// `__dict__` is a method, and the stream a BufferStore holds.
#include <tuple>

#include "buffer.h"
#include "classes.h"
#include "ext.h"
#include "records.h"

namespace orx::py::ext {
namespace {

using Layouts = std::tuple<RecordHeader, BidAskPair, Mbp1Msg, TradeMsg, BboMsg, OhlcvMsg>;

template <class F, class... T>
bool visit_of(PyTypeObject* tp, F& f, std::tuple<T...>*) {
  return ((tp == type_object<T>() ? (f.template operator()<T>(), true) : false) || ...);
}

// Calls `f.operator()<T>()` for the layout class T whose type object is `tp`; false when `tp` is
// none of them.
template <class F>
bool visit_layout(PyTypeObject* tp, F& f) {
  return visit_of(tp, f, static_cast<Layouts*>(nullptr));
}

constexpr const char* kLayoutClasses =
    "RecordHeader, BidAskPair, Mbp1Msg, TradeMsg, BboMsg or OhlcvMsg";

PyObject* layout_bytes(PyObject* obj) {
  PyObject* result = nullptr;
  auto copy = [&]<class T>() {
    SharedHold hold(cell_of<T>(obj));
    if (hold)
      result =
          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&value_of<T>(obj)), sizeof(T));
  };
  if (!visit_layout(Py_TYPE(obj), copy))
    PyErr_Format(PyExc_TypeError, "expected a %s object, got '%s'", kLayoutClasses,
                 Py_TYPE(obj)->tp_name);
  return result;
}

PyObject* from_layout_bytes(PyObject* cls, ByteView data) {
  PyObject* result = nullptr;
  auto make = [&]<class T>() {
    if (data.bytes.size() != sizeof(T)) {
      PyErr_Format(PyExc_ValueError, "a %s is %zu bytes, got %zu", class_name<T>, sizeof(T),
                   data.bytes.size());
      return;
    }
    result = new_instance_from_bytes<T>(type_object<T>(), data.bytes.data());
  };
  if (!PyType_Check(cls) || !visit_layout(reinterpret_cast<PyTypeObject*>(cls), make))
    PyErr_Format(PyExc_TypeError, "expected the class %s, got %R", kLayoutClasses, cls);
  return result;
}

// Instances of the module's classes start untracked by the collector and become tracked when
// an attribute dictionary is first used, so an untracked one has no extra attributes.
PyObject* extra_attributes(PyObject* obj) {
  if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT) || !PyObject_GC_IsTracked(obj))
    Py_RETURN_NONE;
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  if (!dict) return nullptr;
  if (PyDict_GET_SIZE(dict.get()) == 0) Py_RETURN_NONE;
  return PyDict_Copy(dict.get());
}

PyObject* store_bytes(const Borrowed<BufferStore>& store) { return bytes_of(store->data); }

const MethodRow kFunctions[] = {
    function<&layout_bytes>(
        "layout_bytes(obj)\n--\n\n"
        "The whole memory of a record, RecordHeader or BidAskPair object, padding included."),
    function<&from_layout_bytes>(
        "from_layout_bytes(cls, data)\n--\n\n"
        "A new object of the record, RecordHeader or BidAskPair class `cls` whose memory is "
        "`data`, which must be exactly its size."),
    function<&extra_attributes>(
        "extra_attributes(obj)\n--\n\n"
        "A copy of the attributes set on `obj` beyond its class's own, or None when there are "
        "none."),
    function<&store_bytes>("store_bytes(store)\n--\n\n"
                           "The stream a BufferStore was opened on, whatever its read position."),
};

}  // namespace

std::span<const MethodRow> pickle_functions() { return kFunctions; }

}  // namespace orx::py::ext
