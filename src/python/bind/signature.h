// Argument binding: every parameter is positional-or-keyword. Binding fills an array of
// borrowed argument pointers (null for an absent optional parameter) without allocating, and
// reports the binding errors with their exact texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ref.h"

namespace orx::py {

inline constexpr int kMaxParams = 32;

struct Signature {
  std::string fn;                  // "{Class}.{method}()", "{Class}.__new__()" or "{function}()"
  std::vector<std::string> names;  // parameter names in order
  std::vector<PyObject*> keys;     // the names as interned str, kept for the process
  int required = 0;                // leading parameters without a default

  // Reads the parameters from a text signature such as "name($self, a, b=None)\n--\n\n" or
  // "(a, b)"; "$self" and "$cls" are skipped, "=..." marks a parameter optional.
  // Returns false with a Python exception set on failure.
  bool init(std::string_view class_name, std::string_view text_signature, bool constructor);

  int size() const { return static_cast<int>(names.size()); }
};

// From a vectorcall / fastcall (the keyword values follow the positional ones in `args`).
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);
// From a tuple and an optional dict (tp_new).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace orx::py
