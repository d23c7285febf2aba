// The binding toolkit: everything the Python conventions of orx say once is written here once.
//
//   ref.h        Ref, an owning PyObject*.
//   errors.h     guarded(), the one try/catch per entry from the interpreter; raise helpers;
//                the I/O-category-to-OSError table; orx.InternalError (a BaseException).
//   object.h     Instance<T> (PyObject header, borrow cell, core value inline); SharedHold and
//                ExclusiveHold ("Already mutably borrowed" / "Already borrowed"); new_instance.
//   conv.h       Conv<T>::load / Conv<T>::to_py for every target type (integers of each width,
//                bool, text, ByteView, BufferView (any bytes-like object), vectors, maps,
//                optionals, the system's own classes and enumeration members); load_arg() names the argument in a TypeError.
//   signature.h  Signature and bind(): parameter names from a text signature, the exact
//                binding error texts, borrowed argument pointers without allocation.
//   class.h      Field rows, generated getters/setters, constructor binding, dict conversion,
//                method wrappers and the type object built from PyClass<T>.
//
// Declaring a class
// -----------------
// 1. Declare it once in classes.h: ORX_DECLARE_CLASS(orx::TimeseriesStats, "TimeseriesStats").
// 2. In its family file, specialise PyClass<T> and define it:
//
//    template <> struct PyClass<TimeseriesStats> {
//      static constexpr const char* name = "TimeseriesStats";
//      static constexpr bool has_dict = true;              // instance __dict__ for extras
//      static constexpr auto fields = std::tuple{           // attributes, in order
//          rw<&TimeseriesStats::timestamp>("timestamp"),
//          ORX_RW(TimeseriesStats, equity_value), ...};       // the same, named by member
//      static constexpr auto init = fields;                 // constructor parameters
//      static constexpr std::array dict_order{0, 1, 2, 4, 3};
//      static constexpr const char* dict_method = "to_dict($self)\n--\n\n";
//    };
//    ORX_DEFINE_CLASS(TimeseriesStats)
//
// 3. Add its row to the registry in module.cpp, at its place in the order.
//
// What a PyClass<T> may list (all optional except `name`):
//   name           class name; the type reports module "orx".
//   doc            docstring after the text signature.
//   has_dict       per-instance attribute dictionary (untracked by the GC until used).
//   fields         tuple of rows: rw / ro / wo <path, Converter = Conv<value type>>(name, doc);
//                  ORX_RW(Owner, member) is rw<&Owner::member>("member").
//                  A path is a data-member pointer or ORX_AT(Owner, a.b[0].c); `&whole<T>` is
//                  the value itself. Getters copy out under a shared hold; setters convert,
//                  then store under an exclusive hold; del raises "can't delete attribute".
//   init           tuple of rows: the constructor's parameters, all required, loaded into a
//                  default-constructed T. The text signature "(a, b)" comes from their names.
//   init_signature + construct(PyTypeObject*, PyObject** bound): a constructor of the class's
//                  own, bound by the parameters of the signature ("(a=None, b=None)").
//   Without init or construct, calling the class raises "No constructor defined for {name}".
//   dict_method    "to_dict($self)\n--\n\n" or "__dict__($self)\n--\n\n": adds the dictionary
//                  method. Keys come from dict_fields (own rows), or fields in dict_order, or
//                  fields. Nested classes become nested dicts, vectors lists.
//                  order_swapping<N>(i, j) gives a dict_order with two fields swapped.
//   methods        array of method<&f>, static_method<&f>, class_method<&f> rows, each with
//                  its text signature ("name($self, a)\n--\n\ndoc"); the parameter names come
//                  from it, the converters from f's parameter types:
//                    PyObject* f(PyObject* self, std::string a, uint32_t b);   // method
//                    PyObject* f(PyTypeObject* cls, PyObject* any);           // class method
//                    PyObject* f(std::optional<int64_t> a);                   // static method
//                  A parameter `const Borrowed<T>&` (T one of the system's classes) is
//                  checked like T but not copied: the instance is held shared for the call.
//   slots          array of extra PyType_Slot (tp_str, tp_richcompare, nb_int, ...).
//   ready(tp)      called once after the type is created (class attributes and the like).
//
// Every function installed in a type runs inside guarded(): C++ exceptions never reach the
// interpreter, and a failure without an exception set becomes a SystemError.
#pragma once

#include "class.h"
#include "conv.h"
#include "errors.h"
#include "object.h"
#include "ref.h"
#include "signature.h"
