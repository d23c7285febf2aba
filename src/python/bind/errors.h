// Turning failures into Python exceptions: core Errors by the operation's choice, I/O
// categories into OSError subclasses, and anything unexpected into the internal-failure
// exception. `guarded` is the one try/catch around every entry from the interpreter.
#pragma once

#include <exception>
#include <string_view>
#include <type_traits>

#include "error.h"
#include "ref.h"

namespace orx::py {

// orx.InternalError: derived directly from BaseException so `except Exception` lets it pass.
PyObject* internal_error_type();
void raise_internal(std::string_view text);

// The OSError subclass for an I/O category (FileNotFoundError, ...; OSError for the rest).
PyObject* io_exception_type(IoKind kind);
// OSError subclass by category, message = the I/O description. Failures that came from the
// operating system also carry their number in the exception's `errno` attribute.
void raise_io(const IoError& io);
void raise_io(const Error& error);  // an Io-kind Error, raised by its category
// A plain OSError (whatever the category) whose message is the error's own text, with `errno`
// set as above.
void raise_os_error(const Error& error);
void raise(PyObject* type, std::string_view message);

// TypeError "'{type}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target);
// A pending exception whose type is exactly TypeError becomes
// TypeError "argument '{name}': {message}", keeping the original's cause.
void rename_type_error(const char* name);
// AttributeError "can't delete attribute".
int raise_cant_delete();

// Raises the pending C++ exception as a Python one. Call only inside a catch block.
void raise_from_cpp_exception() noexcept;

template <class R>
constexpr R failure_value() {
  if constexpr (std::is_pointer_v<R>)
    return nullptr;
  else
    return static_cast<R>(-1);
}

// SystemError when an entry fails without having set an exception.
void ensure_error_set() noexcept;

// Runs `f` and converts anything it throws; no C++ exception crosses into the interpreter.
template <class F>
auto guarded(F&& f) noexcept -> decltype(f()) {
  using R = decltype(f());
  try {
    R r = f();
    if (r == failure_value<R>()) [[unlikely]]
      ensure_error_set();
    return r;
  } catch (...) {
    raise_from_cpp_exception();
    return failure_value<R>();
  }
}

}  // namespace orx::py
