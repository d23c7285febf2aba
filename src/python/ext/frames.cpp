// zstd files frame by frame, for the catalog's day files: the frames of compressed bytes and the
// decompression of one frame into the size its index says it holds.
#include <vector>

#include "ext.h"
#include "zstd_frames.h"

namespace orx::py::ext {
namespace {

// [(offset, length, skippable, content bytes), ...] of every frame of `data`.
PyObject* zstd_frames_of(ByteView data) {
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(data.bytes.data()),
                                       data.bytes.size());
  Result<std::vector<ZstdFrame>> frames = Error::decode("");
  // `data` is a bytes object: immutable, so it can be read without the interpreter lock.
  Py_BEGIN_ALLOW_THREADS frames = zstd_frames(bytes);
  Py_END_ALLOW_THREADS if (!frames) {
    raise(PyExc_ValueError, frames.error().detail());
    return nullptr;
  }
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(frames->size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < frames->size(); ++i) {
    const ZstdFrame& f = (*frames)[i];
    PyObject* item = Py_BuildValue("(KKOK)", static_cast<unsigned long long>(f.offset),
                                   static_cast<unsigned long long>(f.length),
                                   f.skippable ? Py_True : Py_False,
                                   static_cast<unsigned long long>(f.content));
    if (!item) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

// The `size` bytes one zstd frame holds; ValueError when it holds more or fewer.
PyObject* zstd_decompress_exact(ByteView data, uint64_t size) {
  if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX))
    return PyErr_Format(PyExc_ValueError, "size %llu is too large",
                        static_cast<unsigned long long>(size));
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) return nullptr;
  const std::span<const uint8_t> frame(reinterpret_cast<const uint8_t*>(data.bytes.data()),
                                       data.bytes.size());
  const std::span<uint8_t> dst(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())),
                               static_cast<size_t>(size));
  Status st;
  Py_BEGIN_ALLOW_THREADS st = orx::zstd_decompress_exact(frame, dst);
  Py_END_ALLOW_THREADS if (!st) {
    raise(PyExc_ValueError, st.error().detail());
    return nullptr;
  }
  return out.release();
}

const MethodRow kFunctions[] = {
    function<&zstd_frames_of>(
        "zstd_frames(data)\n--\n\n"
        "Every frame of the zstd data `data` (bytes) as (offset, length, skippable, content "
        "bytes), the content measured by decompressing each frame in bounded memory."),
    function<&zstd_decompress_exact>(
        "zstd_decompress_exact(data, size)\n--\n\n"
        "The content of `data`, exactly one zstd frame, which must hold exactly `size` bytes; "
        "a frame holding more is refused as soon as it overflows."),
};

}  // namespace

std::span<const MethodRow> frames_functions() { return kFunctions; }

}  // namespace orx::py::ext
