#include "errors.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace orx::py {

PyObject* internal_error_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "orx.InternalError",
      "An internal invariant of orx was broken. Derives from BaseException so that a plain "
      "`except Exception` does not swallow it.",
      PyExc_BaseException, nullptr);
  return type;
}

void raise_internal(std::string_view text) {
  PyObject* type = internal_error_type();
  if (!type) return;  // creating the class failed and left its own exception set
  Ref msg = Ref::steal(PyUnicode_FromStringAndSize(text.data(), text.size()));
  if (msg) PyErr_SetObject(type, msg.get());
}

PyObject* io_exception_type(IoKind kind) {
  switch (kind) {
    case IoKind::NotFound:
      return PyExc_FileNotFoundError;
    case IoKind::PermissionDenied:
      return PyExc_PermissionError;
    case IoKind::ConnectionRefused:
      return PyExc_ConnectionRefusedError;
    case IoKind::ConnectionReset:
      return PyExc_ConnectionResetError;
    case IoKind::ConnectionAborted:
      return PyExc_ConnectionAbortedError;
    case IoKind::BrokenPipe:
      return PyExc_BrokenPipeError;
    case IoKind::AlreadyExists:
      return PyExc_FileExistsError;
    case IoKind::WouldBlock:
      return PyExc_BlockingIOError;
    case IoKind::TimedOut:
      return PyExc_TimeoutError;
    case IoKind::Interrupted:
      return PyExc_InterruptedError;
    default:
      return PyExc_OSError;
  }
}

void raise(PyObject* type, std::string_view message) {
  Ref msg = Ref::steal(PyUnicode_DecodeUTF8(message.data(), message.size(), "replace"));
  if (msg) PyErr_SetObject(type, msg.get());
}

namespace {

// `type(message)` with `errno` set to `code` when it is not 0. The attribute is set on the
// instance rather than passed to the constructor: OSError(errno, strerror) would change both
// the class (to the subclass for that errno) and the text ("[Errno 2] ..."). strerror and
// filename stay None for the same reason: str() of an OSError shows "[Errno {n}] {strerror}"
// as soon as both are set, and "...: '{filename}'" as soon as filename is.
void raise_with_errno(PyObject* type, std::string_view message, int code) {
  if (code == 0) return raise(type, message);
  Ref msg = Ref::steal(PyUnicode_DecodeUTF8(message.data(), message.size(), "replace"));
  if (!msg) return;
  Ref exc = Ref::steal(PyObject_CallOneArg(type, msg.get()));
  if (!exc) return;
  Ref number = Ref::steal(PyLong_FromLong(code));
  if (!number || PyObject_SetAttrString(exc.get(), "errno", number.get()) < 0) return;
  PyErr_SetRaisedException(exc.release());
}

}  // namespace

void raise_io(const IoError& io) {
  raise_with_errno(io_exception_type(io.kind), io.description, io.os_code);
}

void raise_io(const Error& error) {
  raise_with_errno(io_exception_type(error.io_kind()), error.payload(), error.os_code());
}

void raise_os_error(const Error& error) {
  raise_with_errno(PyExc_OSError, error.payload(), error.os_code());
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
}

void rename_type_error(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc);
    return;
  }
  Ref old = Ref::steal(exc);
  Ref text = Ref::steal(PyObject_Str(exc));
  if (!text) return;
  Ref renamed = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!renamed) return;
  Ref fresh = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, renamed.get()));
  if (!fresh) return;
  PyException_SetCause(fresh.get(), PyException_GetCause(exc));
  PyErr_SetRaisedException(fresh.release());
}

int raise_cant_delete() {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

void ensure_error_set() noexcept {
  if (!PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void raise_from_cpp_exception() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise_internal(e.what());
    } catch (...) {
      raise_internal("unknown internal failure");
    }
  } catch (...) {
    std::fputs("orx: a failure occurred while reporting another failure; aborting\n", stderr);
    std::abort();
  }
}

}  // namespace orx::py
