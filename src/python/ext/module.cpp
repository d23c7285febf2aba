// The entry of orx._ext: adopts `_lib`'s classes, then adds this module's classes and functions.
#include <vector>

#include "ext.h"

namespace orx::py::ext {
namespace {

// The function tables of the module's families.
constexpr std::span<const MethodRow> (*kFunctionTables[])() = {
    &layout_functions,
    &reader_functions,
    &arrow_functions,
    &backtest_functions,
    &pickle_functions,
    &writer_functions,
    &frames_functions,
    &reduce_functions,
    &dayfile_functions,
    &merge_functions,
    &files_functions,
};

// The module's own classes, created and bound in this order.
const std::vector<ClassRow>& own_classes() {
  static const std::vector<ClassRow> rows = {
      {"ZstdWriter", &build_type<ZstdWriter>, &g_type<ZstdWriter>, &instance_size<ZstdWriter>},
      {"ReplacingFile", &build_type<ReplacingFile>, &g_type<ReplacingFile>,
       &instance_size<ReplacingFile>},
      {"RecordMerger", &build_type<RecordMerger>, &g_type<RecordMerger>,
       &instance_size<RecordMerger>},
  };
  return rows;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ext",
    "Fast paths of the orx package.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;

PyObject* init_module() {
  if (g_module) return Py_NewRef(g_module);
  Ref lib = Ref::steal(PyImport_ImportModule("orx._lib"));
  if (!lib || !adopt_classes(lib.get())) return nullptr;

  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED);
#endif
  // Kept for the process: the interpreter keeps pointers into the method table.
  auto* defs = new std::vector<PyMethodDef>();
  for (auto table : kFunctionTables) {
    for (const MethodRow& row : table()) {
      bool ok = true;
      defs->push_back(row.make(row.doc, "", ok));
      if (!ok) return nullptr;
    }
  }
  defs->push_back({});
  if (PyModule_AddFunctions(module.get(), defs->data()) < 0) return nullptr;
  for (const ClassRow& r : own_classes()) {
    PyTypeObject* tp = *r.slot;
    if (!tp) {
      tp = r.build();
      if (!tp) return nullptr;
      *r.slot = tp;
    }
    if (PyModule_AddObjectRef(module.get(), r.name, reinterpret_cast<PyObject*>(tp)) < 0)
      return nullptr;
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace orx::py::ext

PyMODINIT_FUNC PyInit__ext() {
  return orx::py::guarded([] { return orx::py::ext::init_module(); });
}
