// The module entry: PyInit__lib creates the module once per process and registers the
// classes in their fixed order.
#include "bind/bind.h"
#include "classes.h"
#include "registry.h"

namespace orx::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_lib", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
int64_t g_interpreter = -1;

[[gnu::cold]] PyObject* class_failed(const char* name) {
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
  if (cause) {
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, cause);
    PyErr_SetRaisedException(exc);
  }
  return nullptr;
}

PyObject* init_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (g_interpreter == -1) {
    g_interpreter = id;
  } else if (g_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "orx does not support loading in subinterpreters: it can only be imported "
                    "once per process, in the main interpreter");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);

  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED);
#endif
  Ref all = Ref::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  for (const ClassRow& r : class_registry()) {
    PyTypeObject* tp = *r.slot;
    if (!tp) {
      tp = r.build();
      if (!tp) return class_failed(r.name);
      *r.slot = tp;
    }
    Ref name = Ref::steal(PyUnicode_FromString(r.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) {
      PyErr_Clear();
      raise_internal("could not append __name__ to __all__");
      return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), r.name, reinterpret_cast<PyObject*>(tp)) < 0)
      return nullptr;
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace orx::py

PyMODINIT_FUNC PyInit__lib() {
  return orx::py::guarded([] { return orx::py::init_module(); });
}
