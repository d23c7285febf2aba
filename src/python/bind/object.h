// Instances of the system's classes: one core value plus a borrow cell, laid out inline.
#pragma once

#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "errors.h"

namespace orx::py {

// Borrow state of an instance: 0 free, n > 0 shared by n readers, -1 held by one writer.
struct BorrowCell {
  Py_ssize_t state = 0;
};

// A shared hold for the duration of a read; fails with "Already mutably borrowed".
class SharedHold {
 public:
  explicit SharedHold(BorrowCell& cell) {
    if (cell.state < 0) [[unlikely]] {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++cell.state;
    cell_ = &cell;
  }
  ~SharedHold() {
    if (cell_) --cell_->state;
  }
  SharedHold(const SharedHold&) = delete;
  SharedHold& operator=(const SharedHold&) = delete;
  explicit operator bool() const { return cell_ != nullptr; }

 private:
  BorrowCell* cell_ = nullptr;
};

// An exclusive hold for the duration of a change; fails with "Already borrowed".
class ExclusiveHold {
 public:
  explicit ExclusiveHold(BorrowCell& cell) {
    if (cell.state != 0) [[unlikely]] {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    cell.state = -1;
    cell_ = &cell;
  }
  ~ExclusiveHold() {
    if (cell_) cell_->state = 0;
  }
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;
  explicit operator bool() const { return cell_ != nullptr; }

 private:
  BorrowCell* cell_ = nullptr;
};

template <class T>
struct Instance {
  PyObject_HEAD BorrowCell cell;
  T value;
};

template <class T>
Instance<T>* instance(PyObject* o) {
  return reinterpret_cast<Instance<T>*>(o);
}
template <class T>
T& value_of(PyObject* o) {
  return instance<T>(o)->value;
}
template <class T>
BorrowCell& cell_of(PyObject* o) {
  return instance<T>(o)->cell;
}

// --- Class registry hooks ---------------------------------------------------------------------
// classes.h declares every class of the module with ORX_DECLARE_CLASS(T); the family file that
// implements T defines it with ORX_DEFINE_CLASS(T) (see class.h).

template <class T>
inline constexpr bool is_class = false;

// The Python name of class T.
template <class T>
inline constexpr const char* class_name = nullptr;

// Creates the type object of T (new reference), or returns null with an exception set.
template <class T>
PyTypeObject* build_type();

// sizeof(Instance<T>), where T is complete.
template <class T>
Py_ssize_t instance_size();

// The nested dictionary form of a T (for classes that have one).
template <class T>
PyObject* class_dict(const T& value);

// Declares class T (inside namespace orx::py): ORX_DECLARE_CLASS(orx::Mbp1Msg, "Mbp1Msg").
#define ORX_DECLARE_CLASS(T, Name)                   \
  template <>                                        \
  inline constexpr bool is_class<T> = true;          \
  template <>                                        \
  inline constexpr const char* class_name<T> = Name; \
  template <>                                        \
  PyTypeObject* build_type<T>();                     \
  template <>                                        \
  Py_ssize_t instance_size<T>();                     \
  template <>                                        \
  PyObject* class_dict<T>(const T&);

// The type object of T, once created; set by module initialisation.
template <class T>
inline PyTypeObject* g_type = nullptr;

[[gnu::cold]] PyTypeObject* type_object_failed(const char* name);

// The type object of T, creating it on first use.
template <class T>
PyTypeObject* type_object() {
  if (PyTypeObject* tp = g_type<T>) [[likely]]
    return tp;
  PyTypeObject* tp = build_type<T>();
  if (!tp) return type_object_failed(class_name<T>);
  g_type<T> = tp;
  return tp;
}

// The class name as Python shows it ("Mbp1Msg" for "orx.Mbp1Msg").
const char* short_name(PyTypeObject* tp);

// A new instance of type `tp` holding `value`. Instances of classes with an attribute
// dictionary start untracked by the garbage collector: they hold no references until an
// extra attribute is set.
template <class T, class V>
PyObject* new_instance(PyTypeObject* tp, V&& value) {
  if (!tp) return nullptr;
  const bool gc = PyType_IS_GC(tp);
  PyObject* o = gc ? PyObject_GC_New(PyObject, tp) : PyObject_New(PyObject, tp);
  if (!o) return nullptr;
  auto* inst = instance<T>(o);
  new (&inst->cell) BorrowCell();
  try {
    new (&inst->value) T(std::forward<V>(value));
  } catch (...) {
    gc ? PyObject_GC_Del(o) : PyObject_Free(o);
    Py_DECREF(tp);
    throw;
  }
  return o;
}

// A new instance of type `tp` whose value is copied from the `sizeof(T)` bytes at `bytes`:
// for plain layouts whose memory is their encoded form (one copy, no intermediate value).
template <class T>
PyObject* new_instance_from_bytes(PyTypeObject* tp, const void* bytes) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (!tp) return nullptr;
  PyObject* o = PyType_IS_GC(tp) ? PyObject_GC_New(PyObject, tp) : PyObject_New(PyObject, tp);
  if (!o) return nullptr;
  auto* inst = instance<T>(o);
  new (&inst->cell) BorrowCell();
  std::memcpy(static_cast<void*>(&inst->value), bytes, sizeof(T));
  return o;
}

template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyType_IS_GC(tp)) {
    PyObject_GC_UnTrack(self);
    PyObject_ClearManagedDict(self);
  }
  instance<T>(self)->value.~T();
  tp->tp_free(self);
  Py_DECREF(tp);
}

}  // namespace orx::py
