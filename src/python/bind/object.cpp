#include "object.h"

#include <cstring>
#include <string>

namespace orx::py {

PyTypeObject* type_object_failed(const char* name) {
  PyErr_Print();
  raise_internal(std::string("failed to create type object for ") + name);
  return nullptr;
}

const char* short_name(PyTypeObject* tp) {
  const char* dot = std::strrchr(tp->tp_name, '.');
  return dot ? dot + 1 : tp->tp_name;
}

}  // namespace orx::py
