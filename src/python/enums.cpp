// The seven enumeration classes. A member object holds only its stored value; class
// attributes are created once, while from_str / from_int / from_schema and getters of other
// classes hand out new member objects.
#include <string>

#include "bind/bind.h"
#include "classes.h"
#include "enums.h"
#include "members.h"
#include "utils.h"
#include "vendors.h"

namespace orx::py {
namespace {

template <class E>
PyObject* str_of(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

template <class E>
struct NameOf {
  static PyObject* to_py(const E& e) { return str_of<E>(upper_name(e)); }
};

template <class E>
struct TextOf {
  static PyObject* to_py(const E& e) { return str_of<E>(to_text(e)); }
};

// Everything the seven classes share.
template <class E>
struct EnumBase {
  static constexpr auto fields = std::tuple{
      ro<&whole<E>, NameOf<E>>("name"),
      ro<&whole<E>, TextOf<E>>("value"),
  };

  static PyObject* repr(PyObject* self) {
    const E e = value_of<E>(self);
    const std::string text = "<" + std::string(EnumTable<E>::type_name) + "." +
                             std::string(upper_name(e)) + ": '" + std::string(to_text(e)) + "'>";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }

  static PyObject* str(PyObject* self) { return TextOf<E>::to_py(value_of<E>(self)); }

  static PyObject* to_int(PyObject* self) { return PyLong_FromLong(to_byte(value_of<E>(self))); }

  // Same class: compare stored values. Anything that converts to an unsigned 8-bit integer:
  // compare with the stored value. Otherwise not implemented, and there is no ordering.
  static PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&] { return compare(self, other, op); });
  }

  static PyObject* compare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    const uint8_t mine = to_byte(value_of<E>(self));
    uint8_t theirs;
    if (Py_TYPE(other) == Py_TYPE(self)) {
      theirs = to_byte(value_of<E>(other));
    } else if (!Conv<uint8_t>::load(other, theirs)) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong((mine == theirs) == (op == Py_EQ));
  }

  static inline PyType_Slot slots[] = {
      {Py_tp_repr, reinterpret_cast<void*>(&repr)},
      {Py_tp_str, reinterpret_cast<void*>(&str)},
      {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
      {Py_nb_int, reinterpret_cast<void*>(&to_int)},
  };

  // One class attribute per member.
  static bool ready(PyTypeObject* tp) {
    const auto& members = EnumTable<E>::members;
    for (size_t i = 0; i < members.size(); ++i) {
      std::string attr(members[i].name);
      if constexpr (requires { PyClass<E>::attrs; }) attr = PyClass<E>::attrs[i];
      Ref member = Ref::steal(new_instance<E>(tp, static_cast<E>(members[i].value)));
      if (!member || PyDict_SetItemString(tp->tp_dict, attr.c_str(), member.get()) < 0)
        return false;
    }
    PyType_Modified(tp);
    return true;
  }
};

// --- methods ----------------------------------------------------------------------------------

// Schema, Stype, Dataset, Vendors: the argument is any object that must be a str; a failed
// parse raises ValueError with the error's detail.
template <class E, Result<E> (*Parse)(std::string_view)>
PyObject* parse_from_str(PyTypeObject*, PyObject* value) {
  std::string text;
  if (!Conv<std::string>::load(value, text)) return nullptr;
  auto parsed = Parse(text);
  if (!parsed) {
    raise(PyExc_ValueError, parsed.error().detail());
    return nullptr;
  }
  return Conv<E>::to_py(*parsed);
}

// RType: the full display text, category prefix included.
PyObject* rtype_from_str(PyTypeObject*, std::string value) {
  auto parsed = parse_rtype(value);
  if (!parsed) {
    raise(PyExc_ValueError, parsed.error().display());
    return nullptr;
  }
  return Conv<RType>::to_py(*parsed);
}

// Side, Action: exactly one character, which must be a member letter.
template <class E>
PyObject* letter_from_str(PyTypeObject*, std::string value) {
  size_t pos = 0;
  const int32_t cp = value.empty() ? -1 : next_code_point(value, pos);
  if (value.empty() || pos != value.size()) {
    PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
    return nullptr;
  }
  if (cp < 0x80) {
    if (auto e = from_byte<E>(static_cast<uint8_t>(cp))) return Conv<E>::to_py(*e);
  }
  const std::string type(EnumTable<E>::type_name);
  raise(PyExc_ValueError, "Unknown " + type + " value: '" + value + "'");
  return nullptr;
}

template <class E>
PyObject* letter_from_int(PyTypeObject*, uint8_t value) {
  return member_from_byte<E>(value);
}

PyObject* rtype_from_int(PyTypeObject*, uint8_t value) { return member_from_byte<RType>(value); }

// The argument must be a Schema member; the conversion error carries no argument name.
PyObject* rtype_from_schema(PyTypeObject*, PyObject* value) {
  Schema schema;
  if (!Conv<Schema>::load(value, schema)) return nullptr;
  return Conv<RType>::to_py(rtype_of(schema));
}

template <class E>
PyObject* to_json(PyObject* self) {
  return str_of<E>(variant_name(value_of<E>(self)));
}

constexpr const char* kFromStr = "from_str($cls, value)\n--\n\n";
constexpr const char* kFromInt = "from_int($cls, value)\n--\n\n";
constexpr const char* kToJson = "to_json($self)\n--\n\n";

}  // namespace

template <class E>
PyObject* member_from_byte(uint8_t byte) {
  if (auto e = from_byte<E>(byte)) return Conv<E>::to_py(*e);
  const std::string type(EnumTable<E>::type_name);
  if constexpr (std::is_same_v<E, RType>) {
    PyErr_Format(PyExc_ValueError, "Unknown RType value: %d", static_cast<int>(byte));
  } else {
    PyErr_Format(PyExc_ValueError, "Unknown %s value: '%c'", type.c_str(), static_cast<int>(byte));
  }
  return nullptr;
}

template PyObject* member_from_byte<Side>(uint8_t);
template PyObject* member_from_byte<Action>(uint8_t);
template PyObject* member_from_byte<RType>(uint8_t);

template <>
struct PyClass<Side> : EnumBase<Side> {
  static constexpr const char* name = "Side";
  static inline const MethodRow methods[] = {
      class_method<&letter_from_str<Side>>(kFromStr),
      class_method<&letter_from_int<Side>>(kFromInt),
  };
};

template <>
struct PyClass<Action> : EnumBase<Action> {
  static constexpr const char* name = "Action";
  static inline const MethodRow methods[] = {
      class_method<&letter_from_str<Action>>(kFromStr),
      class_method<&letter_from_int<Action>>(kFromInt),
  };
};

template <>
struct PyClass<Schema> : EnumBase<Schema> {
  static constexpr const char* name = "Schema";
  // The attribute names keep an underscore that the `name` form drops.
  static constexpr std::array<const char*, 9> attrs{
      "MBP1", "OHLCV1_S", "OHLCV1_M", "OHLCV1_H", "OHLCV1_D", "TRADES", "TBBO", "BBO1_S", "BBO1_M",
  };
  static inline const MethodRow methods[] = {
      class_method<&parse_from_str<Schema, &parse_schema>>(kFromStr),
      method<&to_json<Schema>>(kToJson),
  };
};

template <>
struct PyClass<RType> : EnumBase<RType> {
  static constexpr const char* name = "RType";
  static inline const MethodRow methods[] = {
      class_method<&rtype_from_str>(kFromStr),
      class_method<&rtype_from_int>(kFromInt),
      class_method<&rtype_from_schema>("from_schema($cls, value)\n--\n\n"),
  };
};

template <>
struct PyClass<Stype> : EnumBase<Stype> {
  static constexpr const char* name = "Stype";
  static inline const MethodRow methods[] = {
      class_method<&parse_from_str<Stype, &parse_stype>>(kFromStr),
      method<&to_json<Stype>>(kToJson),
  };
};

template <>
struct PyClass<Dataset> : EnumBase<Dataset> {
  static constexpr const char* name = "Dataset";
  static inline const MethodRow methods[] = {
      class_method<&parse_from_str<Dataset, &parse_dataset>>(kFromStr),
      method<&to_json<Dataset>>(kToJson),
  };
};

template <>
struct PyClass<Vendors> : EnumBase<Vendors> {
  static constexpr const char* name = "Vendors";
  static inline const MethodRow methods[] = {
      class_method<&parse_from_str<Vendors, &parse_vendors>>(kFromStr),
      method<&to_json<Vendors>>(kToJson),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::Side)
ORX_DEFINE_CLASS(orx::Action)
ORX_DEFINE_CLASS(orx::Schema)
ORX_DEFINE_CLASS(orx::RType)
ORX_DEFINE_CLASS(orx::Stype)
ORX_DEFINE_CLASS(orx::Dataset)
ORX_DEFINE_CLASS(orx::Vendors)
