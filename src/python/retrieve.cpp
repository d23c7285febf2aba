// RetrieveParams: a request for historical data, built from date texts, carried as JSON.
#include "retrieve.h"

#include "bind/bind.h"
#include "classes.h"

namespace orx::py {
namespace {

PyObject* str_of(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* to_json_method(PyObject* self) {
  SharedHold hold(cell_of<RetrieveParams>(self));
  if (!hold) return nullptr;
  return str_of(to_json(value_of<RetrieveParams>(self)));
}

PyObject* from_json_method(std::string json_str) {
  auto parsed = retrieve_params_from_json(json_str);
  if (!parsed) {
    raise(PyExc_ValueError,
          "Failed to deserialize from JSON: " + std::string(parsed.error().payload()));
    return nullptr;
  }
  return new_instance<RetrieveParams>(type_object<RetrieveParams>(), std::move(*parsed));
}

PyObject* debug_str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    SharedHold hold(cell_of<RetrieveParams>(self));
    if (!hold) return nullptr;
    return str_of(debug_text(value_of<RetrieveParams>(self)));
  });
}

}  // namespace

template <>
struct PyClass<RetrieveParams> {
  static constexpr const char* name = "RetrieveParams";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      rw<&RetrieveParams::symbols>("symbols"), rw<&RetrieveParams::start_ts>("start_ts"),
      rw<&RetrieveParams::end_ts>("end_ts"),   rw<&RetrieveParams::schema>("schema"),
      rw<&RetrieveParams::dataset>("dataset"), rw<&RetrieveParams::stype>("stype"),
  };

  // Every argument is converted before either date is read; the start is read first.
  static constexpr const char* init_signature = "(symbols, start, end, schema, dataset, stype)";
  static PyObject* construct(PyTypeObject* tp, PyObject** bound) {
    std::vector<std::string> symbols;
    std::string start, end;
    Schema schema{};
    Dataset dataset{};
    Stype stype{};
    if (!load_arg(bound[0], symbols, "symbols") || !load_arg(bound[1], start, "start") ||
        !load_arg(bound[2], end, "end") || !load_arg(bound[3], schema, "schema") ||
        !load_arg(bound[4], dataset, "dataset") || !load_arg(bound[5], stype, "stype"))
      return nullptr;
    auto made = make_retrieve_params(std::move(symbols), start, end, schema, dataset, stype);
    if (!made) {
      raise(PyExc_OSError, "Failed to create RetrieveParams : " + made.error().display());
      return nullptr;
    }
    return new_instance<RetrieveParams>(tp, std::move(*made));
  }

  static inline const MethodRow methods[] = {
      method<&to_json_method>("to_json($self)\n--\n\nConvert `RetrieveParams` to JSON string"),
      static_method<&from_json_method>(
          "from_json(json_str)\n--\n\nCreate `RetrieveParams` from JSON string"),
  };

  static inline PyType_Slot slots[] = {
      {Py_tp_str, reinterpret_cast<void*>(&debug_str)},
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::RetrieveParams)
