// _bindtest: a test module that exercises the binding toolkit directly, through two classes
// whose fields cover every converter, access mode and binding form.
#include <stdexcept>

#include "bind/bind.h"
#include "classes.h"

namespace bt {

struct Inner {
  int64_t a = 0;
  std::string s;
};

struct Probe {
  int64_t i64 = 0;
  uint64_t u64 = 0;
  int8_t i8 = 0;
  uint8_t u8 = 0;
  int16_t i16 = 0;
  uint16_t u16 = 0;
  int32_t i32 = 0;
  uint32_t u32 = 0;
  bool flag = false;
  std::string text;
  std::vector<std::string> texts;
  std::vector<int64_t> nums;
  std::unordered_map<uint32_t, std::string> map;
  std::optional<uint16_t> maybe;
  orx::Side side = orx::Side::Ask;
  Inner inner;
  std::vector<Inner> inners;
  int64_t secret = 0;
};

}  // namespace bt

namespace orx::py {

ORX_DECLARE_CLASS(bt::Inner, "Inner")
ORX_DECLARE_CLASS(bt::Probe, "Probe")

namespace {

struct Doubled {
  static PyObject* to_py(const int64_t& v) {
    return PyFloat_FromDouble(static_cast<double>(v) * 2);
  }
};

// Calls fn() while the probe is held shared (mode 0) or exclusively (mode 1).
PyObject* hold_and_call(PyObject* self, PyObject* fn, bool exclusive) {
  auto& cell = cell_of<bt::Probe>(self);
  if (exclusive) {
    ExclusiveHold hold(cell);
    if (!hold) return nullptr;
    return PyObject_CallNoArgs(fn);
  }
  SharedHold hold(cell);
  if (!hold) return nullptr;
  return PyObject_CallNoArgs(fn);
}

PyObject* call_shared(PyObject* self, PyObject* fn) { return hold_and_call(self, fn, false); }
PyObject* call_exclusive(PyObject* self, PyObject* fn) { return hold_and_call(self, fn, true); }

PyObject* length(PyObject*, ByteView data) { return PyLong_FromSize_t(data.bytes.size()); }

PyObject* many(PyObject*, int64_t a, bool b, std::string c, std::optional<int64_t> d) {
  return Py_BuildValue("(LOs#O)", static_cast<long long>(a), b ? Py_True : Py_False, c.data(),
                       static_cast<Py_ssize_t>(c.size()),
                       d ? PyLong_FromLongLong(*d) : Py_NewRef(Py_None));
}

// Calls fn() while `inner` is lent to the call, then reads inner.a through the borrow.
PyObject* with_inner(PyObject*, const Borrowed<bt::Inner>& inner, PyObject* fn) {
  Ref r = Ref::steal(PyObject_CallNoArgs(fn));
  if (!r) return nullptr;
  return PyLong_FromLongLong(inner->a);
}

PyObject* twice(int32_t x) { return PyLong_FromLong(2L * x); }

PyObject* make(PyTypeObject* cls) { return new_instance<bt::Probe>(cls, bt::Probe{}); }

PyObject* boom(PyObject*) { throw std::runtime_error("boom"); }

PyObject* silent_failure(PyObject*) { return nullptr; }

PyObject* sides(PyObject*, std::vector<orx::Side> s) {
  return Conv<std::vector<orx::Side>>::to_py(s);
}

}  // namespace

template <>
struct PyClass<bt::Inner> {
  static constexpr const char* name = "Inner";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{ORX_RW(bt::Inner, a), ORX_RW(bt::Inner, s)};
  static constexpr auto init = fields;
  static constexpr const char* dict_method = "to_dict($self)\n--\n\n";
};

template <>
struct PyClass<bt::Probe> {
  static constexpr const char* name = "Probe";
  static constexpr const char* doc = "A probe of the binding toolkit.";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      rw<&bt::Probe::i64>("i64", "signed 64"),
      rw<&bt::Probe::u64>("u64"),
      rw<&bt::Probe::i8>("i8"),
      rw<&bt::Probe::u8>("u8"),
      rw<&bt::Probe::i16>("i16"),
      rw<&bt::Probe::u16>("u16"),
      rw<&bt::Probe::i32>("i32"),
      rw<&bt::Probe::u32>("u32"),
      rw<&bt::Probe::flag>("flag"),
      rw<&bt::Probe::text>("text"),
      rw<&bt::Probe::texts>("texts"),
      rw<&bt::Probe::nums>("nums"),
      rw<&bt::Probe::map>("map"),
      rw<&bt::Probe::maybe>("maybe"),
      rw<&bt::Probe::side>("side"),
      rw<&bt::Probe::inner>("inner"),
      rw<&bt::Probe::inners>("inners"),
      ro<&bt::Probe::i64, Doubled>("doubled"),
      ro<ORX_AT(bt::Probe, inner.a)>("inner_a"),
      wo<&bt::Probe::secret>("secret"),
      ro<&bt::Probe::secret>("peek"),
  };
  static constexpr std::array dict_order{0, 9, 15, 16, 13, 14};
  static constexpr const char* dict_method = "to_dict($self)\n--\n\n";
  static constexpr const char* init_signature = "(i64=None, text=None)";
  static PyObject* construct(PyTypeObject* tp, PyObject** bound) {
    bt::Probe p;
    if (bound[0] && !load_arg(bound[0], p.i64, "i64")) return nullptr;
    if (bound[1] && !load_arg(bound[1], p.text, "text")) return nullptr;
    return new_instance<bt::Probe>(tp, std::move(p));
  }
  static inline const MethodRow methods[] = {
      method<&call_shared>("call_shared($self, fn)\n--\n\nCalls fn under a shared hold"),
      method<&call_exclusive>("call_exclusive($self, fn)\n--\n\n"),
      method<&length>("length($self, data)\n--\n\n"),
      method<&many>("many($self, a, b, c, d=None)\n--\n\n"),
      method<&sides>("sides($self, s)\n--\n\n"),
      method<&with_inner>("with_inner($self, inner, fn)\n--\n\n"),
      static_method<&twice>("twice(x)\n--\n\n"),
      class_method<&make>("make($cls)\n--\n\n"),
      method<&boom>("boom($self)\n--\n\n"),
      method<&silent_failure>("silent_failure($self)\n--\n\n"),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(bt::Inner)
ORX_DEFINE_CLASS(bt::Probe)

namespace {
PyModuleDef bindtest_def = {
    PyModuleDef_HEAD_INIT, "_bindtest", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

PyMODINIT_FUNC PyInit__bindtest() {
  using namespace orx::py;
  return guarded([]() -> PyObject* {
    Ref m = Ref::steal(PyModule_Create(&bindtest_def));
    if (!m) return nullptr;
    PyTypeObject* inner = type_object<bt::Inner>();
    PyTypeObject* probe = type_object<bt::Probe>();
    // This module's own Side class (a separate copy from the one in orx._lib).
    PyTypeObject* side = type_object<orx::Side>();
    if (!inner || !probe || !side) return nullptr;
    if (PyModule_AddObjectRef(m.get(), "Inner", reinterpret_cast<PyObject*>(inner)) < 0 ||
        PyModule_AddObjectRef(m.get(), "Probe", reinterpret_cast<PyObject*>(probe)) < 0 ||
        PyModule_AddObjectRef(m.get(), "Side", reinterpret_cast<PyObject*>(side)) < 0 ||
        PyModule_AddObjectRef(m.get(), "InternalError", internal_error_type()) < 0)
      return nullptr;
    return m.release();
  });
}
