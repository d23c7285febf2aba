// The class registry: every class of `_lib` in its fixed order. `_lib` creates the type objects
// from it; `_ext` adopts the ones `_lib` created, so that both modules make and accept the same
// classes.
#pragma once

#include <span>

#include "bind/ref.h"

namespace orx::py {

struct ClassRow {
  const char* name;
  PyTypeObject* (*build)();
  PyTypeObject** slot;      // g_type<T>
  Py_ssize_t (*basicsize)();  // sizeof(Instance<T>): what an adopted type must match
};

std::span<const ClassRow> class_registry();

// Binds every registered class of `lib` (the `_lib` module) to this module's type slots.
// Fails with ImportError when a class is missing or its instances have another layout (a
// `_lib` from a different build).
bool adopt_classes(PyObject* lib);

}  // namespace orx::py
