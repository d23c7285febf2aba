#include "conv.h"

namespace orx::py {

bool raise_int_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

bool raise_sequence_length(Py_ssize_t expected, Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", expected, got);
  return false;
}

bool is_numpy_bool(PyObject* o) {
  // numpy 2 names its scalar type numpy.bool, numpy 1 numpy.bool_.
  const char* name = Py_TYPE(o)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

bool check_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_cannot_convert(o, "Sequence");
    return false;
  }
  return true;
}

Py_ssize_t length_hint(PyObject* o) {
  if (PyList_Check(o)) return PyList_GET_SIZE(o);
  if (PyTuple_Check(o)) return PyTuple_GET_SIZE(o);
  // Other sequences report their own length; don't let a hostile __len__ size the reservation.
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return n < 4096 ? n : 4096;
}

}  // namespace orx::py
