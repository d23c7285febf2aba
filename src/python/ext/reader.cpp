// The streaming reader behind orx.open and the record batches it hands out: bytes from a
// path, a bytes-like object or a binary file object, through one reused buffer; batches as
// `bytes` of whole records, checked again whenever they come back from Python.
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "classes.h"
#include "columns.h"
#include "ext.h"
#include "frame.h"
#include "metadata.h"
#include "reader.h"
#include "sources.h"
#include "stream_reader.h"
#include "threads.h"
#include "zstd_stream.h"

namespace orx::py::ext {
namespace {

constexpr const char* kReaderCapsule = "orx._ext.reader";
// Batches of fewer records are read with the GIL held.
constexpr size_t kReleaseRecords = 1024;
// The largest batch buffer kept for the next batch.
constexpr size_t kKeptRunBytes = size_t{256} << 20;

// Bytes from a Python binary file object, through its read(n).
class PyFileSource final : public ByteSource {
 public:
  explicit PyFileSource(PyObject* file) : file_(file) {}

  Result<size_t> read(uint8_t* dst, size_t n) override {
    Ref chunk = Ref::steal(PyObject_CallMethod(file_, "read", "n", static_cast<Py_ssize_t>(n)));
    if (!chunk) return failed();
    if (chunk.get() == Py_None) {
      raise(PyExc_BlockingIOError, "the file object has no data ready (non-blocking)");
      return failed();
    }
    Py_buffer view;
    if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "the file object must be opened in binary mode: read() returned '%.100s'",
                   Py_TYPE(chunk.get())->tp_name);
      return failed();
    }
    const size_t got = static_cast<size_t>(view.len);
    if (got > n) {
      PyBuffer_Release(&view);
      PyErr_Format(PyExc_ValueError, "read(%zu) of the file object returned %zu bytes", n, got);
      return failed();
    }
    std::memcpy(dst, view.buf, got);
    PyBuffer_Release(&view);
    return got;
  }

 private:
  // The Python exception stays set for the caller; the error is what later reads report.
  static Error failed() { return Error(IoError{IoKind::Other, "reading the file object failed"}); }
  PyObject* file_;  // kept alive by the reader state
};

// A source read without the GIL (a file, decompression, a copy from immutable bytes), so that
// other threads run meanwhile. `released` says the lock is already released around the whole
// read (a batch): the read then goes straight through. Only the thread that holds the reader
// busy reads it.
class GilFreeSource final : public ByteSource {
 public:
  GilFreeSource(std::unique_ptr<ByteSource> inner, bool* released)
      : inner_(std::move(inner)), released_(released) {}

  Result<size_t> read(uint8_t* dst, size_t n) override {
    if (*released_) return inner_->read(dst, n);
    *released_ = true;
    Result<size_t> got = [&] {
      WithoutGil unlocked;
      return inner_->read(dst, n);
    }();
    *released_ = false;
    return got;
  }

 private:
  std::unique_ptr<ByteSource> inner_;
  bool* released_;
};

struct ReaderState {
  Ref owner;  // the object read from: the bytes-like object or the file object
  Py_buffer view{};
  bool has_view = false;
  std::optional<StreamReader> reader;
  std::vector<uint8_t> run;  // reused between batches
  bool busy = false;
  // The source calls no Python code and cannot change (a path, or exact bytes held by `view`),
  // so that reads run without the GIL.
  bool gil_free = false;
  bool released = false;  // the GIL is released around the current read

  ~ReaderState() {
    reader.reset();
    if (has_view) PyBuffer_Release(&view);
  }
};

void destroy_reader(PyObject* capsule) {
  delete static_cast<ReaderState*>(PyCapsule_GetPointer(capsule, kReaderCapsule));
}

ReaderState* state_of(PyObject* capsule) {
  return static_cast<ReaderState*>(PyCapsule_GetPointer(capsule, kReaderCapsule));
}

// Marks the reader in use for one call, so that a file object calling back into it fails.
class Busy {
 public:
  explicit Busy(ReaderState* s) : s_(s && !s->busy ? s : nullptr) {
    if (s_)
      s_->busy = true;
    else if (s)
      raise(PyExc_RuntimeError, "the reader is already reading");
  }
  ~Busy() {
    if (s_) s_->busy = false;
  }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  ReaderState* s_;
};

// Raises the failure of a read. Records that fail raise OSError with the decoder's display
// text (the texts of BufferStore), followed by the record's offset when `with_offset`; a cut
// record and failed reads raise by their I/O category.
PyObject* raise_failure(const StreamReader& reader, const Error& error, bool with_offset) {
  if (PyErr_Occurred()) return nullptr;  // the file object's own exception
  const bool record_failure =
      error.kind() != ErrorKind::Io || error.io_kind() == IoKind::InvalidData;
  if (!record_failure) {
    raise_io(error);
    return nullptr;
  }
  std::string text = error.display();
  if (with_offset) text += " (record at byte offset " + std::to_string(reader.offset()) + ")";
  raise(PyExc_OSError, text);
  return nullptr;
}

PyObject* raise_open_failure(const Error& error) {
  if (!PyErr_Occurred()) raise_io(error);
  return nullptr;
}

// Reads up to `max` records into `out`; without the GIL for a source that needs none, when the
// batch is large enough to pay for handing the lock over.
Status read_run(ReaderState* s, size_t max, std::vector<uint8_t>& out, RunInfo& info) {
  if (!s->gil_free || max < kReleaseRecords) return s->reader->read_run(max, out, info);
  s->released = true;
  const Status read =
      without_gil_for(kReleaseBytes, [&] { return s->reader->read_run(max, out, info); });
  s->released = false;
  return read;
}

// Whether the bytes `source` exports can change: only exact bytes, and memoryviews of them
// (of views of them, and so on), cannot. A read-only view says nothing of the object under it
// (memoryview(bytearray).toreadonly() changes with the bytearray), so anything else is read
// with the GIL held, in step with the code that may change it.
bool immutable_bytes(PyObject* source) {
  for (int depth = 0; depth < 64; ++depth) {
    if (PyBytes_CheckExact(source)) return true;
    if (!PyMemoryView_Check(source)) return false;
    source = PyMemoryView_GET_BUFFER(source)->obj;
    if (!source) return false;
  }
  return false;
}

// The whole stream as it lies in memory, when the reader reads an exact bytes object holding a
// raw stream: immutable while the reader holds it, so its records can be used in place. (A
// read-only view of a mutable buffer is no such thing: its owner may still change it.)
std::optional<std::string_view> immutable_stream(const ReaderState* s) {
  if (!s->has_view || !PyBytes_CheckExact(s->owner.get())) return std::nullopt;
  const std::string_view all(static_cast<const char*>(s->view.buf),
                             static_cast<size_t>(s->view.len));
  const size_t head = std::min(all.size(), kSniffSize);
  if (starts_zstd_frame({reinterpret_cast<const uint8_t*>(all.data()), head})) return std::nullopt;
  return all;
}

// reader_open(source, kind, chunk_size, allow_truncated): `kind` "path", "buffer" or "file".
PyObject* reader_open(PyObject* source, std::string kind, uint64_t chunk_size,
                      bool allow_truncated) {
  auto state = std::make_unique<ReaderState>();
  std::unique_ptr<ByteSource> raw;
  if (kind == "path") {
    std::string path;
    if (!load_arg(source, path, "source")) return nullptr;
    auto file = FileSource::open(path);
    if (!file) return raise_open_failure(file.error());
    raw = std::move(*file);
    state->gil_free = true;
  } else if (kind == "buffer") {
    if (PyObject_GetBuffer(source, &state->view, PyBUF_SIMPLE) < 0) return nullptr;
    state->has_view = true;
    state->owner = Ref::borrow(source);
    state->gil_free = immutable_bytes(source);
    raw = std::make_unique<MemorySource>(
        std::string_view(static_cast<const char*>(state->view.buf), state->view.len));
  } else if (kind == "file") {
    state->owner = Ref::borrow(source);
    raw = std::make_unique<PyFileSource>(source);
  } else {
    raise(PyExc_ValueError, "unknown source kind");
    return nullptr;
  }
  // A source that calls no Python code is sniffed without the GIL (a FIFO may block), and
  // compressed, it is decompressed on a thread of its own ahead of the reader.
  auto chosen = [&] {
    if (!state->gil_free) return stream_source(std::move(raw), false, allow_truncated);
    WithoutGil unlocked;
    return stream_source(std::move(raw), true, allow_truncated);
  }();
  if (!chosen) return raise_open_failure(chosen.error());
  // Decompression and copies run without the GIL too, record by record as well as by batches.
  if (state->gil_free)
    *chosen = std::make_unique<GilFreeSource>(std::move(*chosen), &state->released);
  StreamReader::Options options;
  options.chunk = chunk_size ? chunk_size : StreamReader::kDefaultChunk;
  options.allow_truncated = allow_truncated;
  auto reader = StreamReader::open(std::move(*chosen), options);
  if (!reader) return raise_open_failure(reader.error());
  if (!reader->metadata()) return raise_open_failure(*reader->metadata_error());
  state->reader.emplace(std::move(*reader));
  PyObject* capsule = PyCapsule_New(state.get(), kReaderCapsule, &destroy_reader);
  if (capsule) state.release();
  return capsule;
}

PyObject* reader_metadata(PyObject* capsule) {
  ReaderState* s = state_of(capsule);
  if (!s) return nullptr;
  return Conv<Metadata>::to_py(*s->reader->metadata());
}

// The next record object, or None at the end.
PyObject* reader_next(PyObject* capsule) {
  ReaderState* s = state_of(capsule);
  Busy busy(s);
  if (!busy) return nullptr;
  auto record = s->reader->next();
  if (!record) return raise_failure(*s->reader, record.error(), true);
  if (!*record) Py_RETURN_NONE;
  return record_object((*record)->ref, (*record)->kind);
}

// The next batch of at most `size` records as (bytes, count, kinds, stride), or None at the
// end. With `all_or_error`, a failure discards the records read before it (the behaviour of a
// whole-stream decode); otherwise the records before a failure come first and the failure is
// raised by the next call (an exception of a file object is raised at once).
PyObject* reader_batch(PyObject* capsule, uint64_t size, bool all_or_error) {
  ReaderState* s = state_of(capsule);
  Busy busy(s);
  if (!busy) return nullptr;
  s->run.clear();
  RunInfo info;
  const Status read = read_run(s, size, s->run, info);
  if (!read && (all_or_error || info.count == 0 || PyErr_Occurred()))
    return raise_failure(*s->reader, read.error(), true);
  if (info.count == 0) Py_RETURN_NONE;
  // A fresh bytes object that no other code sees yet: filled without the GIL.
  Ref bytes =
      Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(s->run.size())));
  if (bytes)
    without_gil_for(s->run.size(), [&] {
      std::memcpy(PyBytes_AS_STRING(bytes.get()), s->run.data(), s->run.size());
    });
  if (all_or_error || s->run.capacity() > kKeptRunBytes) s->run = {};  // a whole read
  if (!bytes) return nullptr;
  return Py_BuildValue("(OKIK)", bytes.get(), static_cast<unsigned long long>(info.count),
                       static_cast<unsigned>(info.kinds),
                       static_cast<unsigned long long>(info.stride));
}

// The DataFrame of every remaining record, as BufferStore.decode_to_df makes it: the records
// are read and checked first, a failure raises with the decoder's text, then the frame is made
// from the records gathered.
PyObject* reader_frame(PyObject* capsule, PyObject* metadata, bool pretty_ts, bool pretty_px,
                       bool datetimes) {
  ReaderState* s = state_of(capsule);
  Busy busy(s);
  if (!busy) return nullptr;
  const Metadata* meta = metadata_of(metadata);
  if (!meta) return nullptr;
  SharedHold hold(cell_of<Metadata>(metadata));
  if (!hold) return nullptr;
  // The rest of a stream held in bytes is read where it lies when it is whole records that
  // convert; anything else (a failure to report, a cut tail) takes the reader's own way.
  const std::optional<std::string_view> stream = immutable_stream(s);
  if (stream && !s->reader->failed()) {
    const std::string_view rest =
        stream->substr(std::min<size_t>(s->reader->offset(), stream->size()));
    bool whole = false;
    size_t count = 0;
    PyObject* frame = frame_of_whole(rest, meta->mappings, pretty_ts, pretty_px, datetimes, whole,
                                     count, default_threads());
    if (frame) s->reader->skip_rest(rest.size(), count);
    if (frame || PyErr_Occurred()) return frame;
  }
  std::vector<uint8_t> records;
  RunInfo info;
  const Status read = read_run(s, std::numeric_limits<size_t>::max(), records, info);
  if (!read) return raise_failure(*s->reader, read.error(), false);
  return frame_of({reinterpret_cast<const char*>(records.data()), records.size()}, info.count,
                  meta->mappings, pretty_ts, pretty_px, datetimes);
}

PyObject* reader_offset(PyObject* capsule) {
  ReaderState* s = state_of(capsule);
  Busy busy(s);  // another thread may be reading it
  if (!busy) return nullptr;
  return PyLong_FromUnsignedLongLong(s->reader->offset());
}

PyObject* reader_records(PyObject* capsule) {
  ReaderState* s = state_of(capsule);
  Busy busy(s);
  if (!busy) return nullptr;
  return PyLong_FromUnsignedLongLong(s->reader->records_read());
}

PyObject* reader_close(PyObject* capsule) {
  ReaderState* s = state_of(capsule);
  Busy busy(s);
  if (!busy) return nullptr;
  s->reader->close();
  s->run = {};
  if (s->has_view) {
    PyBuffer_Release(&s->view);
    s->has_view = false;
  }
  s->owner = Ref();
  Py_RETURN_NONE;
}

PyObject* batch_frame(PyObject* data, uint64_t count, PyObject* metadata, bool pretty_ts,
                      bool pretty_px, bool datetimes, int64_t threads) {
  if (!PyBytes_Check(data)) {
    raise_cannot_convert(data, "PyBytes");
    return nullptr;
  }
  const Metadata* meta = metadata_of(metadata);
  if (!meta) return nullptr;
  SharedHold hold(cell_of<Metadata>(metadata));
  if (!hold) return nullptr;
  // The batch is checked again as it is surveyed for the frame: one pass over its records.
  const std::string_view bytes(PyBytes_AS_STRING(data),
                               static_cast<size_t>(PyBytes_GET_SIZE(data)));
  bool whole = false;
  size_t found = 0;
  Ref frame = Ref::steal(frame_of_whole(
      bytes, meta->mappings, pretty_ts, pretty_px, datetimes, whole, found,
      threads <= 0 ? default_threads() : static_cast<unsigned>(std::min<int64_t>(threads, 64))));
  if (!frame && PyErr_Occurred()) return nullptr;
  if (!whole || found != count) {
    raise(PyExc_ValueError, "the bytes are not a batch of whole records of this count");
    return nullptr;
  }
  return frame.release();
}

// The records of a batch of one kind with their layout bytes only, back to back: the bytes
// of a numpy view when record sizes differ.
PyObject* batch_compact(PyObject* data, uint64_t count) {
  std::optional<CheckedRun> run = checked_run(data, count);
  if (!run) return nullptr;
  const RType kind = run->single_kind();
  if (!run->info.kinds || columns_of(kind).empty()) {
    raise(PyExc_ValueError, "the records are not of one kind with a layout");
    return nullptr;
  }
  const size_t size = layout_size(kind);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size * count)));
  if (!out) return nullptr;
  char* dst = PyBytes_AS_STRING(out.get());
  const char* p = run->bytes.data();
  for (size_t i = 0; i < count; ++i, dst += size) {
    std::memcpy(dst, p, size);
    p += static_cast<size_t>(static_cast<uint8_t>(p[0])) * 4;
  }
  return out.release();
}

const MethodRow kFunctions[] = {
    function<&reader_open>(
        "reader_open(source, kind, chunk_size, allow_truncated)\n--\n\n"
        "A reader over a stream from a path, a bytes-like object or a binary file object; the "
        "metadata block is read at once."),
    function<&reader_metadata>("reader_metadata(reader)\n--\n\nThe reader's Metadata."),
    function<&reader_next>("reader_next(reader)\n--\n\nThe next record object, or None."),
    function<&reader_batch>("reader_batch(reader, size, all_or_error)\n--\n\n"
                            "The next batch as (bytes, count, kinds, stride), or None at the end."),
    function<&reader_frame>(
        "reader_frame(reader, metadata, pretty_ts, pretty_px, datetimes)\n--\n\n"
        "The DataFrame of every remaining record."),
    function<&reader_offset>("reader_offset(reader)\n--\n\nStream offset of the next record."),
    function<&reader_records>("reader_records(reader)\n--\n\nWhole records read so far."),
    function<&reader_close>("reader_close(reader)\n--\n\nDrops the reader's source."),
    function<&batch_frame>(
        "batch_frame(data, count, metadata, pretty_ts, pretty_px, datetimes, threads)\n--\n\n"
        "The DataFrame of a batch's records, its columns filled on up to `threads` threads (0: "
        "the default)."),
    function<&batch_compact>(
        "batch_compact(data, count)\n--\n\nThe layout bytes of a batch's records, back to back."),
};

}  // namespace

std::optional<CheckedRun> checked_run(PyObject* data, uint64_t count) {
  if (!PyBytes_Check(data)) {
    raise_cannot_convert(data, "PyBytes");
    return std::nullopt;
  }
  CheckedRun run;
  run.bytes =
      std::string_view(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));
  // The bytes object is immutable and the caller keeps it: the walk runs without the GIL.
  const size_t left = without_gil_for(run.bytes.size(), [&] {
    const auto* p = reinterpret_cast<const uint8_t*>(run.bytes.data());
    size_t rest = run.bytes.size();
    while (rest >= 2) {
      const uint8_t length = p[0], type = p[1];
      const size_t size = static_cast<size_t>(length) * 4;
      if (length < kMinRecordLength || size > rest || !convertible_kind(RecordRef(p, size))) break;
      // This record and the ones after it with the same type and length bytes, which convert
      // too: stepping by the known size, the loads do not wait on one another.
      size_t same = 0;
      do {
        ++same;
        p += size;
        rest -= size;
      } while (rest >= size && p[0] == length && p[1] == type);
      run.info.stride = run.info.count == 0 ? size : (run.info.stride == size ? size : 0);
      run.info.kinds |= uint32_t{1} << type;
      run.info.count += same;
    }
    return rest;
  });
  if (left || run.info.count != count) {
    raise(PyExc_ValueError, "the bytes are not a batch of whole records of this count");
    return std::nullopt;
  }
  return run;
}

RType CheckedRun::single_kind() const {
  for (uint8_t k = 1; k < 32; ++k)
    if (info.kinds == (uint32_t{1} << k)) return static_cast<RType>(k);
  return RType::Tbbo;  // no single kind with columns
}

const Metadata* metadata_of(PyObject* o) {
  if (!PyObject_TypeCheck(o, type_object<Metadata>())) {
    raise_cannot_convert(o, "Metadata");
    return nullptr;
  }
  return &value_of<Metadata>(o);
}

std::span<const MethodRow> reader_functions() { return kFunctions; }

}  // namespace orx::py::ext
