// Record layouts as Python data: what the numpy dtypes and Arrow schemas of the package are
// derived from.
#include "columns.h"
#include "ext.h"

namespace orx::py::ext {
namespace {

const char* role_name(Role role) {
  switch (role) {
    case Role::Price:
      return "price";
    case Role::Letter:
      return "letter";
    case Role::EventTime:
      return "event_time";
    case Role::Time:
      return "time";
    default:
      return "int";
  }
}

// The columns of records with rtype `rtype`, as (name, offset, width, signed, role) tuples,
// and the layout size.
PyObject* record_layout(uint8_t rtype) {
  auto kind = rtype_from_byte(rtype);
  const std::span<const Column> cols = kind ? columns_of(*kind) : std::span<const Column>();
  if (cols.empty()) {
    PyErr_Format(PyExc_ValueError, "no record layout for rtype %u", static_cast<unsigned>(rtype));
    return nullptr;
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cols.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < cols.size(); ++i) {
    const Column& c = cols[i];
    PyObject* item = Py_BuildValue("(sIIOs)", c.name, static_cast<unsigned>(c.offset),
                                   static_cast<unsigned>(c.width), c.is_signed ? Py_True : Py_False,
                                   role_name(c.role));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(layout_size(*kind)), list.get());
}

const MethodRow kFunctions[] = {
    function<&record_layout>(
        "record_layout(rtype)\n--\n\n"
        "The layout size and the columns (name, offset, width, signed, role) of records of "
        "`rtype`."),
};

}  // namespace

std::span<const MethodRow> layout_functions() { return kFunctions; }

}  // namespace orx::py::ext
