// ReplacingFile: the core's atomic replacement of a file, written piece by piece from Python.
// The system calls run with the interpreter lock released (signals handled as the toolkit
// does: Ctrl-C ends a blocked write with KeyboardInterrupt).
#include <optional>
#include <string>

#include "bind/blocking.h"
#include "ext.h"
#include "files.h"

namespace orx::py::ext {

struct ReplacingFile {
  std::optional<orx::ReplacingFile> file;  // empty once committed or abandoned
};

namespace {

PyObject* raise_closed() {
  raise(PyExc_ValueError, "the replacement was already committed or abandoned");
  return nullptr;
}

PyObject* raise_failed(const Error& error) {
  if (!PyErr_Occurred()) raise_os_error(error);
  return nullptr;
}

orx::ReplacingFile* open_file(PyObject* self) {
  auto& file = value_of<ReplacingFile>(self).file;
  if (!file) raise_closed();
  return file ? &*file : nullptr;
}

PyObject* replacing_write(PyObject* self, PyObject* data) {
  ExclusiveHold hold(cell_of<ReplacingFile>(self));
  if (!hold) return nullptr;
  orx::ReplacingFile* file = open_file(self);
  if (!file) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  // The export keeps the buffer from being resized or freed while the lock is released.
  const Status written = without_gil([&](Interrupts interrupts) {
    file->set_interrupts(interrupts);
    Status st = file->write({static_cast<const char*>(view.buf), static_cast<size_t>(view.len)});
    file->set_interrupts({});
    return st;
  });
  PyBuffer_Release(&view);
  if (!written) return raise_failed(written.error());
  Py_RETURN_NONE;
}

PyObject* replacing_commit(PyObject* self) {
  ExclusiveHold hold(cell_of<ReplacingFile>(self));
  if (!hold) return nullptr;
  orx::ReplacingFile* file = open_file(self);
  if (!file) return nullptr;
  const Status done = without_gil([&](Interrupts interrupts) {
    file->set_interrupts(interrupts);
    return file->commit();
  });
  value_of<ReplacingFile>(self).file.reset();
  if (!done) return raise_failed(done.error());
  Py_RETURN_NONE;
}

PyObject* replacing_abandon(PyObject* self) {
  ExclusiveHold hold(cell_of<ReplacingFile>(self));
  if (!hold) return nullptr;
  value_of<ReplacingFile>(self).file.reset();  // abandons an uncommitted replacement
  Py_RETURN_NONE;
}

PyObject* replacing_path(PyObject* self) {
  SharedHold hold(cell_of<ReplacingFile>(self));
  if (!hold) return nullptr;
  orx::ReplacingFile* file = open_file(self);
  if (!file) return nullptr;
  return Conv<std::string>::to_py(file->written_path());
}

PyObject* temporary_name_of(std::string target_name) {
  return Conv<std::string>::to_py(orx::temporary_name_for(target_name));
}

PyObject* temporary_target_of(std::string name) {
  auto target = orx::temporary_target(name);
  if (!target) Py_RETURN_NONE;
  return Conv<std::string>::to_py(*target);
}

const MethodRow kFunctions[] = {
    function<&temporary_name_of>(
        "temporary_name(target_name)\n--\n\nA new temporary name (no directory) for a file "
        "that will be named `target_name`: hidden, naming this process, unlike any other."),
    function<&temporary_target_of>(
        "temporary_target(name)\n--\n\nThe name a temporary file named `name` will become, or "
        "None when `name` is no temporary name of orx's."),
};

}  // namespace

std::span<const MethodRow> files_functions() { return kFunctions; }

}  // namespace orx::py::ext

namespace orx::py {

template <>
struct PyClass<ext::ReplacingFile> {
  static constexpr const char* name = "ReplacingFile";
  static constexpr const char* doc =
      "A new content for the file at `path`, written piece by piece: commit() makes it the "
      "file's content at once (flushed to disk first), abandon() drops it.";
  static constexpr const char* init_signature = "(path)";
  static PyObject* construct(PyTypeObject* tp, PyObject** bound) {
    std::string path;
    if (!load_arg(bound[0], path, "path")) return nullptr;
    auto file = without_gil(
        [&](Interrupts interrupts) { return orx::ReplacingFile::open(path, interrupts); });
    if (!file) {
      if (!PyErr_Occurred()) raise_os_error(file.error());
      return nullptr;
    }
    file->set_interrupts({});
    return new_instance<ext::ReplacingFile>(tp, ext::ReplacingFile{std::move(*file)});
  }
  static inline const MethodRow methods[] = {
      method<&ext::replacing_write>("write($self, data)\n--\n\nAppends the bytes of `data`."),
      method<&ext::replacing_commit>(
          "commit($self)\n--\n\nFlushes the new content to disk and puts it in place."),
      method<&ext::replacing_abandon>(
          "abandon($self)\n--\n\nDrops the new content; the file stays as it was."),
      method<&ext::replacing_path>(
          "written_path($self)\n--\n\nThe file being written (the new file beside the target, "
          "or the target itself when it is written in place)."),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::py::ext::ReplacingFile)
