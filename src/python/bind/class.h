// Declaring a class: a PyClass<T> specialisation that lists what the class has, and
// ORX_DEFINE_CLASS(T) to generate its type object from that list. See bind.h for a walk-through.
#pragma once

#include <array>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "conv.h"
#include "signature.h"

namespace orx::py {

template <class T>
struct PyClass;

// --- field rows ---------------------------------------------------------------------------------

enum class Mode : uint8_t { ReadWrite, ReadOnly, WriteOnly };

// Where a field lives inside its owner: a data-member pointer (&Mbp1Msg::price) or a
// captureless lambda returning a reference (ORX_AT(Mbp1Msg, hd.instrument_id)).
#define ORX_AT(Owner, expr) \
  [](Owner & v) -> auto& { return v.expr; }

template <auto P, class O>
decltype(auto) field_ref(O& owner) {
  if constexpr (std::is_member_object_pointer_v<decltype(P)>)
    return (owner.*P);
  else
    return P(owner);
}

// A row of a field table: where the value lives, how it is exposed, and which converter
// (Conv<value type> unless given) turns it into Python and back.
template <auto P, Mode M, class C>
struct Field {
  static constexpr auto path = P;
  static constexpr Mode mode = M;
  using Converter = C;
  const char* name;
  const char* doc;
};

template <auto P, class C = void>
constexpr Field<P, Mode::ReadWrite, C> rw(const char* name, const char* doc = nullptr) {
  return {name, doc};
}
template <auto P, class C = void>
constexpr Field<P, Mode::ReadOnly, C> ro(const char* name, const char* doc = nullptr) {
  return {name, doc};
}
template <auto P, class C = void>
constexpr Field<P, Mode::WriteOnly, C> wo(const char* name, const char* doc = nullptr) {
  return {name, doc};
}

// A read/write row named after its member: ORX_RW(Trades, ticker) is
// rw<&Trades::ticker>("ticker"), so a table cannot misspell a name against its member.
#define ORX_RW(Owner, member) ::orx::py::rw<&Owner::member>(#member)

template <class F, class T>
using field_value_t = std::remove_cvref_t<decltype(field_ref<F::path>(std::declval<T&>()))>;

template <class F, class T>
using field_conv_t = std::conditional_t<std::is_void_v<typename F::Converter>,
                                        Conv<field_value_t<F, T>>, typename F::Converter>;

// Loads argument `o` into the field of `value` that row `f` names.
template <class T, class F>
bool load_field(const F& f, T& value, PyObject* o) {
  using V = field_value_t<F, T>;
  return load_arg<V, field_conv_t<F, T>>(o, field_ref<F::path>(value), f.name);
}

// --- getters and setters ------------------------------------------------------------------------

[[gnu::cold]] int raise_not_writable(PyObject* self, const char* name);

template <class T, class F>
struct FieldAccess {
  using V = field_value_t<F, T>;
  using C = field_conv_t<F, T>;

  static PyObject* get(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
      auto* inst = instance<T>(self);
      SharedHold hold(inst->cell);
      if (!hold) return nullptr;
      return C::to_py(field_ref<F::path>(inst->value));
    });
  }

  // Converts first, then stores under an exclusive hold; the field is unchanged on failure.
  static int set(PyObject* self, PyObject* o, void* closure) {
    return guarded([&]() -> int {
      const char* name = static_cast<const char*>(closure);
      if (!o) return raise_cant_delete();
      if constexpr (F::mode == Mode::ReadOnly) {
        return raise_not_writable(self, name);
      } else {
        V v{};
        if (!load_arg<V, C>(o, v, name)) return -1;
        auto* inst = instance<T>(self);
        ExclusiveHold hold(inst->cell);
        if (!hold) return -1;
        field_ref<F::path>(inst->value) = std::move(v);
        return 0;
      }
    });
  }

  static PyGetSetDef def(const F& f) {
    return {f.name, F::mode == Mode::WriteOnly ? nullptr : &get, &set, f.doc,
            const_cast<char*>(f.name)};
  }
};

// --- dictionary form ----------------------------------------------------------------------------

template <class V>
struct is_vector : std::false_type {};
template <class V>
struct is_vector<std::vector<V>> : std::true_type {};
template <class V>
struct is_optional : std::false_type {};
template <class V>
struct is_optional<std::optional<V>> : std::true_type {};

// Nested values become dictionaries (classes) and lists of them; the rest converts as usual.
template <class V>
PyObject* dict_value(const V& v) {
  if constexpr (is_class<V> && !std::is_enum_v<V>) {
    return class_dict<V>(v);
  } else if constexpr (is_vector<V>::value) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < v.size(); ++i) {
      PyObject* item = dict_value(v[i]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  } else if constexpr (is_optional<V>::value) {
    return v ? dict_value(*v) : Py_NewRef(Py_None);
  } else {
    return Conv<V>::to_py(v);
  }
}

template <class T, class F>
PyObject* dict_entry(const F&, const T& value) {
  auto& field = field_ref<F::path>(const_cast<T&>(value));
  if constexpr (std::is_void_v<typename F::Converter>)
    return dict_value(field);
  else
    return F::Converter::to_py(field);
}

// The rows of T's dictionary: `dict_fields` if given, else `fields` in `dict_order` if
// given, else `fields` as they stand.
template <class T>
constexpr auto dict_rows() {
  using C = PyClass<T>;
  if constexpr (requires { C::dict_fields; }) {
    return C::dict_fields;
  } else if constexpr (requires { C::dict_order; }) {
    return [&]<size_t... I>(std::index_sequence<I...>) {
      return std::tuple{std::get<C::dict_order[I]>(C::fields)...};
    }
    (std::make_index_sequence<C::dict_order.size()>{});
  } else {
    return C::fields;
  }
}

// A dict_order that keeps the N fields in place except for two swapped ones.
template <size_t N>
constexpr std::array<size_t, N> order_swapping(size_t a, size_t b) {
  std::array<size_t, N> order{};
  for (size_t i = 0; i < N; ++i) order[i] = i;
  order[a] = b;
  order[b] = a;
  return order;
}

template <class T>
PyObject* dict_of(const T& value) {
  static constexpr auto rows = dict_rows<T>();
  constexpr size_t n = std::tuple_size_v<std::remove_cvref_t<decltype(rows)>>;
  static PyObject* keys[n ? n : 1] = {};
  if (!keys[0] && n) {
    size_t i = 0;
    bool ok = true;
    std::apply(
        [&](const auto&... f) {
          ((ok = ok && (keys[i++] = PyUnicode_InternFromString(f.name))), ...);
        },
        rows);
    if (!ok) {
      for (auto& k : keys) Py_CLEAR(k);
      return nullptr;
    }
  }
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  size_t i = 0;
  bool ok = true;
  std::apply(
      [&](const auto&... f) {
        ((ok = ok &&
               [&] {
                 Ref v = Ref::steal(dict_entry<T>(f, value));
                 return v && PyDict_SetItem(dict.get(), keys[i++], v.get()) == 0;
               }()),
         ...);
      },
      rows);
  return ok ? dict.release() : nullptr;
}

template <class T>
PyObject* dict_method(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    SharedHold hold(cell_of<T>(self));
    if (!hold) return nullptr;
    return dict_of<T>(value_of<T>(self));
  });
}

// --- methods
// --------------------------------------------------------------------------------------

// Instance, static and class methods of a class; Function: a module-level function, called
// without its module.
enum class Kind : uint8_t { Instance, Static, Class, Function };

template <class Fn>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Args = std::tuple<A...>;
};

// Binds and converts the arguments of F by its parameter types, then calls it. Instance
// methods take `PyObject* self` first, class methods `PyTypeObject* cls`, static methods
// neither; every other parameter is converted with Conv<its type> (std::optional<T> for
// parameters with a default). F returns a new reference or null with an exception set.
// A function serves as one method of one class: it owns the signature it is bound with.
template <auto F, Kind K>
struct Method {
  using Args = typename FnTraits<decltype(F)>::Args;
  static constexpr size_t skip = K == Kind::Static || K == Kind::Function ? 0 : 1;
  static constexpr size_t arity = std::tuple_size_v<Args> - skip;
  static inline Signature sig;

  template <size_t... I>
  static PyObject* invoke(PyObject* first, PyObject** bound, std::index_sequence<I...>) {
    std::tuple<std::remove_cvref_t<std::tuple_element_t<skip + I, Args>>...> vals;
    const bool ok =
        ((!bound[I] || load_arg(bound[I], std::get<I>(vals), sig.names[I].c_str())) && ...);
    if (!ok) return nullptr;
    if constexpr (K == Kind::Static || K == Kind::Function)
      return F(std::move(std::get<I>(vals))...);
    else if constexpr (K == Kind::Class)
      return F(reinterpret_cast<PyTypeObject*>(first), std::move(std::get<I>(vals))...);
    else
      return F(first, std::move(std::get<I>(vals))...);
  }

  static PyObject* fastcall(PyObject* first, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
      PyObject* bound[arity ? arity : 1];
      if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
      return invoke(first, bound, std::make_index_sequence<arity>{});
    });
  }

  static PyObject* noargs(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return F(self); });
  }

  static PyMethodDef def(const char* doc, const char* class_name, bool& ok) {
    std::string_view text(doc);
    auto* name = new std::string(text.substr(0, text.find('(')));
    ok = sig.init(class_name, text, false);
    int flags = K == Kind::Static ? METH_STATIC : K == Kind::Class ? METH_CLASS : 0;
    if constexpr (K == Kind::Instance && arity == 0) {
      return {name->c_str(), reinterpret_cast<PyCFunction>(&noargs), METH_NOARGS, doc};
    } else {
      return {name->c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall)),
              flags | METH_FASTCALL | METH_KEYWORDS, doc};
    }
  }
};

// A row of a class's method list: the text signature (with its docstring) and the function.
struct MethodRow {
  const char* doc;
  PyMethodDef (*make)(const char* doc, const char* class_name, bool& ok);
};

template <auto F>
constexpr MethodRow method(const char* doc) {
  return {doc, &Method<F, Kind::Instance>::def};
}
template <auto F>
constexpr MethodRow static_method(const char* doc) {
  return {doc, &Method<F, Kind::Static>::def};
}
template <auto F>
constexpr MethodRow class_method(const char* doc) {
  return {doc, &Method<F, Kind::Class>::def};
}
// A module function: `PyObject* f(args...)`, listed in a module's function table.
template <auto F>
constexpr MethodRow function(const char* doc) {
  return {doc, &Method<F, Kind::Function>::def};
}

// --- construction
// ---------------------------------------------------------------------------------

// The constructor of T: either generic from the `init` rows (every parameter required,
// loaded into a default-constructed T), or the class's own `construct(cls, bound)` bound
// with the parameters of `init_signature`.
template <class T>
struct Ctor {
  using C = PyClass<T>;
  static inline Signature sig;

  static PyObject* from_bound(PyTypeObject* tp, PyObject** bound) {
    if constexpr (requires { C::construct; }) {
      return C::construct(tp, bound);
    } else {
      T value{};
      const bool ok = [&]<size_t... I>(std::index_sequence<I...>) {
        return (load_field(std::get<I>(C::init), value, bound[I]) && ...);
      }
      (std::make_index_sequence<std::tuple_size_v<decltype(C::init)>>{});
      if (!ok) return nullptr;
      return new_instance<T>(tp, std::move(value));
    }
  }

  static PyObject* tp_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
      PyObject* bound[kMaxParams];
      if (!bind(sig, args, kwargs, bound)) return nullptr;
      return from_bound(tp, bound);
    });
  }

  static PyObject* vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
      PyObject* bound[kMaxParams];
      if (!bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
      return from_bound(reinterpret_cast<PyTypeObject*>(type), bound);
    });
  }

  // "(a, b, c)" from the init rows, or the class's own init_signature.
  static std::string text_signature() {
    if constexpr (requires { C::init_signature; }) {
      return C::init_signature;
    } else {
      std::string s = "(";
      std::apply([&](const auto&... f) { ((s += (s.size() > 1 ? ", " : ""), s += f.name), ...); },
                 C::init);
      return s + ")";
    }
  }
};

PyObject* no_constructor(PyTypeObject* tp, PyObject*, PyObject*);

// --- instance dictionaries and the garbage collector ---------------------------------------------

int traverse_dict(PyObject* self, visitproc visit, void* arg);
int clear_dict(PyObject* self);
int setattro_tracking(PyObject* self, PyObject* name, PyObject* value);
PyObject* get_dict_tracking(PyObject* self, void*);
int set_dict_tracking(PyObject* self, PyObject* value, void*);

// --- the type object
// ------------------------------------------------------------------------------

template <class T>
constexpr bool has_dict_method() {
  return requires { PyClass<T>::dict_method; };
}

// True when the dictionary method itself is named __dict__ (it then hides the attribute).
template <class T>
constexpr bool dict_method_is_dunder() {
  if constexpr (has_dict_method<T>())
    return std::string_view(PyClass<T>::dict_method).starts_with("__dict__(");
  else
    return false;
}

template <class T>
constexpr bool has_instance_dict() {
  if constexpr (requires { PyClass<T>::has_dict; })
    return PyClass<T>::has_dict;
  else
    return false;
}

template <class T>
constexpr bool has_dict_rows() {
  return requires { PyClass<T>::fields; }
  || requires { PyClass<T>::dict_fields; };
}

// A function returning its argument: the path of a field that is the whole value.
template <class O>
O& whole(O& o) {
  return o;
}

// Everything a class lists, gathered into a spec and handed to PyType_FromSpec. The tables
// built here live as long as the type, which is as long as the process.
template <class T>
PyTypeObject* make_type() {
  using C = PyClass<T>;
  constexpr bool has_dict = has_instance_dict<T>();
  constexpr bool has_ctor = requires { C::init; }
  || requires { C::construct; };
  auto* name = new std::string(std::string("orx.") + C::name);
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)});

  // Docstring, with the constructor's text signature in front.
  std::string doc;
  if constexpr (has_ctor) {
    if (!Ctor<T>::sig.init(C::name, Ctor<T>::text_signature(), true)) return nullptr;
    doc = std::string(C::name) + Ctor<T>::text_signature() + "\n--\n\n";
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(&Ctor<T>::tp_new)});
  } else {
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
  }
  if constexpr (requires { C::doc; }) doc += C::doc;
  auto* doc_text = new std::string(std::move(doc));
  if (!doc_text->empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc_text->c_str())});

  // Field attributes.
  auto* getsets = new std::vector<PyGetSetDef>();
  if constexpr (requires { C::fields; }) {
    std::apply(
        [&](const auto&... f) {
          (getsets->push_back(FieldAccess<T, std::remove_cvref_t<decltype(f)>>::def(f)), ...);
        },
        C::fields);
  }
  if constexpr (has_dict && !dict_method_is_dunder<T>()) {
    getsets->push_back({"__dict__", &get_dict_tracking, &set_dict_tracking, nullptr, nullptr});
  }
  getsets->push_back({});
  slots.push_back({Py_tp_getset, getsets->data()});

  // Methods.
  auto* methods = new std::vector<PyMethodDef>();
  if constexpr (requires { C::methods; }) {
    for (const MethodRow& row : C::methods) {
      bool ok = true;
      methods->push_back(row.make(row.doc, C::name, ok));
      if (!ok) return nullptr;
    }
  }
  if constexpr (has_dict_method<T>()) {
    std::string_view text(C::dict_method);
    auto* mname = new std::string(text.substr(0, text.find('(')));
    methods->push_back({mname->c_str(), &dict_method<T>, METH_NOARGS, C::dict_method});
  }
  methods->push_back({});
  slots.push_back({Py_tp_methods, methods->data()});

  unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if constexpr (has_dict) {
    flags |= Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT;
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&traverse_dict)});
    slots.push_back({Py_tp_clear, reinterpret_cast<void*>(&clear_dict)});
    slots.push_back({Py_tp_setattro, reinterpret_cast<void*>(&setattro_tracking)});
  }
  if constexpr (requires { C::slots; }) {
    for (const PyType_Slot& s : C::slots) slots.push_back(s);
  }
  slots.push_back({0, nullptr});

  auto* spec = new PyType_Spec{name->c_str(), static_cast<int>(sizeof(Instance<T>)), 0,
                               static_cast<unsigned int>(flags), slots.data()};
  auto* tp = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  if (!tp) return nullptr;
  if constexpr (has_ctor) tp->tp_vectorcall = &Ctor<T>::vectorcall;
  if constexpr (requires { C::ready; }) {
    if (!C::ready(tp)) {
      Py_DECREF(tp);
      return nullptr;
    }
  }
  return tp;
}

}  // namespace orx::py

// Generates the type object (and dictionary form, where the class has one) of a class
// declared in classes.h, from its PyClass<T> specialisation.
#define ORX_DEFINE_CLASS(T)                                         \
  template <>                                                       \
  PyTypeObject* orx::py::build_type<T>() {                          \
    return orx::py::make_type<T>();                                 \
  }                                                                 \
  template <>                                                       \
  Py_ssize_t orx::py::instance_size<T>() {                          \
    return static_cast<Py_ssize_t>(sizeof(orx::py::Instance<T>));   \
  }                                                                 \
  template <>                                                       \
  PyObject* orx::py::class_dict<T>(const T& value) {                \
    if constexpr (orx::py::has_dict_rows<T>())                      \
      return orx::py::dict_of<T>(value);                            \
    else {                                                          \
      (void)value;                                                  \
      orx::py::raise_internal("no dictionary form for this class"); \
      return nullptr;                                               \
    }                                                               \
  }
