#include "signature.h"

namespace orx::py {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

[[gnu::cold]] bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                 sig.fn.c_str(), sig.size(), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 sig.fn.c_str(), sig.required, sig.size(), given, verb);
  }
  return false;
}

[[gnu::cold]] bool unexpected_keyword(const Signature& sig, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.fn.c_str(), key);
  return false;
}

[[gnu::cold]] bool multiple_values(const Signature& sig, int index) {
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.fn.c_str(),
               sig.names[index].c_str());
  return false;
}

[[gnu::cold]] bool missing(const Signature& sig, PyObject** out) {
  std::vector<int> absent;
  for (int i = 0; i < sig.required; ++i)
    if (!out[i]) absent.push_back(i);
  std::string names;
  for (size_t i = 0; i < absent.size(); ++i) {
    if (i > 0) names += (i + 1 == absent.size()) ? " and " : ", ";
    names += '\'' + sig.names[absent[i]] + '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.fn.c_str(),
               absent.size(), absent.size() == 1 ? "" : "s", names.c_str());
  return false;
}

// Index of the parameter named `key`: by pointer first (keywords are usually interned),
// then by value.
int find_keyword(const Signature& sig, PyObject* key) {
  const int n = sig.size();
  for (int i = 0; i < n; ++i)
    if (sig.keys[i] == key) return i;
  for (int i = 0; i < n; ++i)
    if (PyUnicode_Compare(sig.keys[i], key) == 0) return i;
  return -1;
}

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  const int i = find_keyword(sig, key);
  if (i < 0) return unexpected_keyword(sig, key);
  if (out[i]) return multiple_values(sig, i);
  out[i] = value;
  return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
  for (int i = 0; i < sig.required; ++i)
    if (!out[i]) return missing(sig, out);
  return true;
}

}  // namespace

bool Signature::init(std::string_view class_name, std::string_view text, bool constructor) {
  const size_t open = text.find('(');
  const size_t close = text.find(')', open);
  if (open == std::string_view::npos || close == std::string_view::npos) {
    PyErr_SetString(PyExc_SystemError, "malformed text signature");
    return false;
  }
  fn.assign(class_name);
  if (!fn.empty()) fn += '.';  // module functions have no owner
  fn += constructor ? std::string_view("__new__") : trim(text.substr(0, open));
  fn += "()";
  names.clear();
  keys.clear();
  required = 0;
  bool optional_seen = false;
  std::string_view params = text.substr(open + 1, close - open - 1);
  while (!params.empty()) {
    const size_t comma = params.find(',');
    std::string_view param = trim(params.substr(0, comma));
    params = comma == std::string_view::npos ? std::string_view() : params.substr(comma + 1);
    if (param.empty() || param == "$self" || param == "$cls") continue;
    const size_t eq = param.find('=');
    if (eq != std::string_view::npos) {
      optional_seen = true;
      param = trim(param.substr(0, eq));
    } else if (!optional_seen) {
      ++required;
    }
    names.emplace_back(param);
  }
  if (names.size() > static_cast<size_t>(kMaxParams)) {
    PyErr_SetString(PyExc_SystemError, "too many parameters in text signature");
    return false;
  }
  for (const auto& name : names) {
    PyObject* key = PyUnicode_InternFromString(name.c_str());
    if (!key) return false;
    keys.push_back(key);
  }
  return true;
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  const int n = sig.size();
  if (nargs > n) [[unlikely]]
    return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (int i = static_cast<int>(nargs); i < n; ++i) out[i] = nullptr;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_missing(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const int n = sig.size();
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (nargs > n) [[unlikely]]
    return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  for (int i = static_cast<int>(nargs); i < n; ++i) out[i] = nullptr;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
      }
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

}  // namespace orx::py
