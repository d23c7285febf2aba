#include "class.h"

namespace orx::py {

int raise_not_writable(PyObject* self, const char* name) {
  PyErr_Format(PyExc_AttributeError, "attribute '%s' of '%s' objects is not writable", name,
               Py_TYPE(self)->tp_name);
  return -1;
}

PyObject* no_constructor(PyTypeObject* tp, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", short_name(tp));
  return nullptr;
}

int traverse_dict(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return PyObject_VisitManagedDict(self, visit, arg);
}

int clear_dict(PyObject* self) {
  PyObject_ClearManagedDict(self);
  return 0;
}

// Instances start untracked (they hold no references); the first extra attribute that lands
// in the instance dictionary makes them tracked.
int setattro_tracking(PyObject* self, PyObject* name, PyObject* value) {
  const int r = PyObject_GenericSetAttr(self, name, value);
  if (r == 0 && value && !PyObject_GC_IsTracked(self)) {
    PyObject* attr = PyDict_GetItemWithError(Py_TYPE(self)->tp_dict, name);
    const bool field = attr && Py_TYPE(attr)->tp_descr_set;
    if (!field) PyObject_GC_Track(self);
  }
  return r;
}

PyObject* get_dict_tracking(PyObject* self, void*) {
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (dict && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
  return dict;
}

int set_dict_tracking(PyObject* self, PyObject* value, void*) {
  const int r = PyObject_GenericSetDict(self, value, nullptr);
  if (r == 0 && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
  return r;
}

}  // namespace orx::py
