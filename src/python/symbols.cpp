// SymbolMap: the instrument-id-to-ticker table as a Python class. Equal when the other operand
// is a SymbolMap with an equal map; != is the negation of Python's ==.
#include "symbols.h"
#include "bind/bind.h"
#include "classes.h"

namespace orx::py {
namespace {

// The ticker of `id`; KeyError(id) when the map lacks it, as a dict lookup would raise.
PyObject* get_ticker(PyObject* self, uint32_t id) {
  SharedHold hold(cell_of<SymbolMap>(self));
  if (!hold) return nullptr;
  if (const std::string* ticker = value_of<SymbolMap>(self).find(id))
    return Conv<std::string>::to_py(*ticker);
  Ref key = Ref::steal(PyLong_FromUnsignedLong(id));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
  return nullptr;
}

PyObject* str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    SharedHold hold(cell_of<SymbolMap>(self));
    if (!hold) return nullptr;
    return Conv<std::string>::to_py(to_string(value_of<SymbolMap>(self)));
  });
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    if (op == Py_EQ) {
      if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
      SharedHold mine(cell_of<SymbolMap>(self));
      if (!mine) return nullptr;
      SharedHold theirs(cell_of<SymbolMap>(other));
      if (!theirs) return nullptr;
      return PyBool_FromLong(value_of<SymbolMap>(self) == value_of<SymbolMap>(other));
    }
    if (op == Py_NE) {
      // Python's == on the two operands (so identity for another type), negated.
      Ref eq = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
      if (!eq) return nullptr;
      const int truth = PyObject_IsTrue(eq.get());
      if (truth < 0) return nullptr;
      return PyBool_FromLong(!truth);
    }
    Py_RETURN_NOTIMPLEMENTED;
  });
}

}  // namespace

template <>
struct PyClass<SymbolMap> {
  static constexpr const char* name = "SymbolMap";
  static constexpr const char* doc =
      "Struct created by Orvex server to map instrument ids to tickers.";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{rw<&SymbolMap::map>("map")};
  static constexpr auto init = fields;
  static inline const MethodRow methods[] = {
      method<&get_ticker>("get_ticker($self, id)\n--\n\n"),
  };
  static inline PyType_Slot slots[] = {
      {Py_tp_str, reinterpret_cast<void*>(&str)},
      {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::SymbolMap)
