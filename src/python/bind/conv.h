// Converters between Python objects and core values, one specialisation per target type:
//   static bool load(PyObject* o, T& out);   // sets the exact exception and returns false
//   static PyObject* to_py(const T& v);      // new reference, or null with an exception set
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "object.h"

namespace orx::py {

template <class T>
struct Conv;

// --- any object (borrowed) ---------------------------------------------------------------------
template <>
struct Conv<PyObject*> {
  static bool load(PyObject* o, PyObject*& out) {
    out = o;
    return true;
  }
  static PyObject* to_py(PyObject* o) { return Py_NewRef(o); }
};

// --- integers ----------------------------------------------------------------------------------
template <>
struct Conv<int64_t> {
  static bool load(PyObject* o, int64_t& out) {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
  }
  static PyObject* to_py(int64_t v) { return PyLong_FromLongLong(v); }
};

template <>
struct Conv<uint64_t> {
  static bool load(PyObject* o, uint64_t& out) {
    if (PyLong_CheckExact(o)) return from_long(o, out);
    Ref index = Ref::steal(PyNumber_Index(o));
    return index && from_long(index.get(), out);
  }
  static PyObject* to_py(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

 private:
  static bool from_long(PyObject* o, uint64_t& out) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
  }
};

[[gnu::cold]] bool raise_int_range();

// Integers narrower than 64 bits: read as a C long, then checked against the field's range.
template <class T>
struct NarrowInt {
  static bool load(PyObject* o, T& out) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < static_cast<long>(std::numeric_limits<T>::min()) ||
        v > static_cast<long>(std::numeric_limits<T>::max())) [[unlikely]]
      return raise_int_range();
    out = static_cast<T>(v);
    return true;
  }
  static PyObject* to_py(T v) { return PyLong_FromLong(v); }
};

template <>
struct Conv<int8_t> : NarrowInt<int8_t> {};
template <>
struct Conv<uint8_t> : NarrowInt<uint8_t> {};
template <>
struct Conv<int16_t> : NarrowInt<int16_t> {};
template <>
struct Conv<uint16_t> : NarrowInt<uint16_t> {};
template <>
struct Conv<int32_t> : NarrowInt<int32_t> {};
template <>
struct Conv<uint32_t> : NarrowInt<uint32_t> {};

// --- floats (outward only) -------------------------------------------------------------------
template <>
struct Conv<double> {
  static PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
};

// --- bool: True/False, and numpy's boolean scalar through its __bool__ ------------------------
bool is_numpy_bool(PyObject* o);

template <>
struct Conv<bool> {
  static bool load(PyObject* o, bool& out) {
    if (PyBool_Check(o)) {
      out = (o == Py_True);
      return true;
    }
    if (is_numpy_bool(o)) {
      const int t = PyObject_IsTrue(o);
      if (t < 0) return false;
      out = t != 0;
      return true;
    }
    raise_cannot_convert(o, "PyBool");
    return false;
  }
  static PyObject* to_py(bool v) { return PyBool_FromLong(v); }
};

// --- text (UTF-8) ------------------------------------------------------------------------------
template <>
struct Conv<std::string> {
  static bool load(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) [[unlikely]] {
      raise_cannot_convert(o, "PyString");
      return false;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out.assign(s, static_cast<size_t>(n));
    return true;
  }
  static PyObject* to_py(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), s.size());
  }
};

// --- byte string, borrowed from the argument for the duration of the call ----------------------
struct ByteView {
  std::string_view bytes;
};

template <>
struct Conv<ByteView> {
  static bool load(PyObject* o, ByteView& out) {
    if (!PyBytes_Check(o)) {
      raise_cannot_convert(o, "PyBytes");
      return false;
    }
    out.bytes = std::string_view(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return true;
  }
  static PyObject* to_py(const ByteView& v) {
    return PyBytes_FromStringAndSize(v.bytes.data(), v.bytes.size());
  }
};

// --- any bytes-like object (bytes, bytearray, memoryview, mmap), held for the call -------------
// The exporter's buffer stays locked (a bytearray cannot be resized) until the view is dropped.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  std::string_view bytes() const {
    return std::string_view(static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len));
  }

 private:
  friend struct Conv<BufferView>;
  Py_buffer view_{};
  bool held_ = false;
};

template <>
struct Conv<BufferView> {
  static bool load(PyObject* o, BufferView& out) {
    if (!PyObject_CheckBuffer(o)) [[unlikely]] {
      raise_cannot_convert(o, "bytes-like object");
      return false;
    }
    if (PyObject_GetBuffer(o, &out.view_, PyBUF_SIMPLE) < 0) return false;
    out.held_ = true;
    return true;
  }
};

// A new bytes object holding a copy of `bytes` (an encoder's output buffer, say).
inline PyObject* bytes_of(const std::vector<uint8_t>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// --- optional: None is the absent value --------------------------------------------------------
template <class T>
struct Conv<std::optional<T>> {
  static bool load(PyObject* o, std::optional<T>& out) {
    if (o == Py_None) {
      out.reset();
      return true;
    }
    T v{};
    if (!Conv<T>::load(o, v)) return false;
    out = std::move(v);
    return true;
  }
  static PyObject* to_py(const std::optional<T>& v) {
    return v ? Conv<T>::to_py(*v) : Py_NewRef(Py_None);
  }
};

// --- list of T: any sequence except str ---------------------------------------------------------
// Calls `each(item)` for every item of a sequence, in order. A str is refused with
// "Can't extract `str` to `Vec`", a non-sequence with the 'Sequence' conversion error.
// Items are visited by index for lists and tuples (re-reading the size, since converting an
// item may run Python code that changes the list) and through the iterator otherwise.
bool check_sequence(PyObject* o);

template <class F>
bool for_each_item(PyObject* o, F&& each) {
  if (PyList_Check(o)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
      if (!each(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_Check(o)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i)
      if (!each(PyTuple_GET_ITEM(o, i))) return false;
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(o));
  if (!it) return false;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// Number of items to reserve room for; errors in taking the length are ignored.
Py_ssize_t length_hint(PyObject* o);

template <class T>
struct Conv<std::vector<T>> {
  static bool load(PyObject* o, std::vector<T>& out) {
    if (!check_sequence(o)) return false;
    std::vector<T> items;
    items.reserve(static_cast<size_t>(length_hint(o)));
    const bool ok = for_each_item(o, [&](PyObject* item) {
      T v{};
      if (!Conv<T>::load(item, v)) return false;
      items.push_back(std::move(v));
      return true;
    });
    if (!ok) return false;
    out = std::move(items);
    return true;
  }
  static PyObject* to_py(const std::vector<T>& v) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < v.size(); ++i) {
      PyObject* item = Conv<T>::to_py(v[i]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }
};

// --- fixed-size array of T: a sequence of exactly N items ---------------------------------------
[[gnu::cold]] bool raise_sequence_length(Py_ssize_t expected, Py_ssize_t got);

template <class T, size_t N>
struct Conv<std::array<T, N>> {
  static bool load(PyObject* o, std::array<T, N>& out) {
    if (!PySequence_Check(o)) {
      raise_cannot_convert(o, "Sequence");
      return false;
    }
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    if (n != static_cast<Py_ssize_t>(N)) return raise_sequence_length(N, n);
    std::array<T, N> items{};
    for (size_t i = 0; i < N; ++i) {
      Ref item = Ref::steal(PySequence_GetItem(o, static_cast<Py_ssize_t>(i)));
      if (!item || !Conv<T>::load(item.get(), items[i])) return false;
    }
    out = items;
    return true;
  }
  static PyObject* to_py(const std::array<T, N>& v) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(N)));
    if (!list) return nullptr;
    for (size_t i = 0; i < N; ++i) {
      PyObject* item = Conv<T>::to_py(v[i]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }
};

// --- map: a dict, each key and value converted by its type -------------------------------------
template <class K, class V>
struct Conv<std::unordered_map<K, V>> {
  static bool load(PyObject* o, std::unordered_map<K, V>& out) {
    if (!PyDict_Check(o)) {
      raise_cannot_convert(o, "PyDict");
      return false;
    }
    std::unordered_map<K, V> map;
    map.reserve(static_cast<size_t>(PyDict_GET_SIZE(o)));
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(o, &pos, &key, &value)) {
      // Converting may run Python code; keep both alive while it does.
      Ref k = Ref::borrow(key), v = Ref::borrow(value);
      K ck{};
      V cv{};
      if (!Conv<K>::load(k.get(), ck) || !Conv<V>::load(v.get(), cv)) return false;
      map.insert_or_assign(std::move(ck), std::move(cv));
    }
    out = std::move(map);
    return true;
  }
  static PyObject* to_py(const std::unordered_map<K, V>& map) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : map) {
      Ref k = Ref::steal(Conv<K>::to_py(key));
      if (!k) return nullptr;
      Ref v = Ref::steal(Conv<V>::to_py(value));
      if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
  }
};

// --- the system's own classes (enumeration members included) -----------------------------------
// Accepts an instance of exactly that class and copies its value out under a shared hold.
template <class T>
requires is_class<T>
struct Conv<T> {
  static bool load(PyObject* o, T& out) {
    PyTypeObject* tp = type_object<T>();
    if (!tp) return false;
    if (Py_TYPE(o) != tp) [[unlikely]] {
      raise_cannot_convert(o, class_name<T>);
      return false;
    }
    SharedHold hold(cell_of<T>(o));
    if (!hold) return false;
    out = value_of<T>(o);
    return true;
  }
  static PyObject* to_py(const T& v) { return new_instance<T>(type_object<T>(), v); }
};

// --- the system's own classes, borrowed for the duration of a call ------------------------------
// A method parameter `const Borrowed<T>&` accepts exactly what Conv<T> accepts, with the same
// error, but instead of copying the value out it holds the instance shared until the method
// returns: for large values a method only reads (a whole back-test to encode, say). The
// argument object outlives the call, so the reference stays valid; a setter of that instance
// reached re-entrantly meanwhile fails with "Already borrowed".
template <class T>
class Borrowed {
 public:
  Borrowed() = default;
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  const T& operator*() const { return *value_; }
  const T* operator->() const { return value_; }

 private:
  friend struct Conv<Borrowed<T>>;
  const T* value_ = nullptr;
  std::optional<SharedHold> hold_;
};

template <class T>
struct Conv<Borrowed<T>> {
  static_assert(is_class<T>, "Borrowed<T> is for the system's own classes");
  static bool load(PyObject* o, Borrowed<T>& out) {
    PyTypeObject* tp = type_object<T>();
    if (!tp) return false;
    if (Py_TYPE(o) != tp) [[unlikely]] {
      raise_cannot_convert(o, class_name<T>);
      return false;
    }
    if (!out.hold_.emplace(cell_of<T>(o))) return false;
    out.value_ = &value_of<T>(o);
    return true;
  }
};

// --- loading a bound argument -------------------------------------------------------------------
// Converts with C (Conv<V> by default) and names the argument in a TypeError.
template <class V, class C = Conv<V>>
bool load_arg(PyObject* o, V& out, const char* name) {
  if (C::load(o, out)) [[likely]]
    return true;
  rename_type_error(name);
  return false;
}

}  // namespace orx::py
