// Arrow PyCapsules of record batches and streams: "arrow_schema", "arrow_array" and
// "arrow_array_stream" capsules over the C data interface structs the core fills.
#include <cerrno>
#include <string>

#include "arrow.h"
#include "ext.h"
#include "reader.h"
#include "threads.h"

namespace orx::py::ext {
namespace {

template <class T>
void destroy_struct(PyObject* capsule, const char* name) {
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (!p) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (p->release) p->release(p);
  delete p;
}

void destroy_schema(PyObject* c) { destroy_struct<ArrowSchema>(c, "arrow_schema"); }
void destroy_array(PyObject* c) { destroy_struct<ArrowArray>(c, "arrow_array"); }
void destroy_stream(PyObject* c) { destroy_struct<ArrowArrayStream>(c, "arrow_array_stream"); }

template <class T>
PyObject* capsule_of(T* p, const char* name, PyCapsule_Destructor destroy) {
  PyObject* capsule = PyCapsule_New(p, name, destroy);
  if (!capsule) {
    if (p->release) p->release(p);
    delete p;
  }
  return capsule;
}

bool kind_with_columns(uint8_t rtype, RType& kind) {
  auto k = rtype_from_byte(rtype);
  if (!k || columns_of(*k).empty()) {
    PyErr_Format(PyExc_ValueError, "no record layout for rtype %u", static_cast<unsigned>(rtype));
    return false;
  }
  kind = *k;
  return true;
}

PriceForm price_form(bool as_float) { return as_float ? PriceForm::Float : PriceForm::Fixed; }

PyObject* arrow_schema(uint8_t rtype, bool float_prices) {
  RType kind;
  if (!kind_with_columns(rtype, kind)) return nullptr;
  auto* schema = new ArrowSchema;
  export_schema(kind, price_form(float_prices), schema);
  return capsule_of(schema, "arrow_schema", &destroy_schema);
}

// The run of a batch of records of one kind, or null with ValueError.
std::optional<RecordRun> run_of(PyObject* data, uint64_t count, std::optional<RType> want) {
  std::optional<CheckedRun> checked = checked_run(data, count);
  if (!checked) return std::nullopt;
  const RType kind = checked->single_kind();
  if (count && (columns_of(kind).empty() || (want && kind != *want))) {
    raise(PyExc_ValueError, "the records of an Arrow array must be of the schema's one kind");
    return std::nullopt;
  }
  return RecordRun{reinterpret_cast<const uint8_t*>(checked->bytes.data()), checked->bytes.size(),
                   checked->info.count, count ? kind : want.value_or(RType::Mbp1),
                   checked->info.stride};
}

// (schema capsule, array capsule) of a batch of records of kind `rtype`.
PyObject* batch_arrow(PyObject* data, uint64_t count, uint8_t rtype, PyObject* metadata,
                      bool float_prices) {
  RType kind;
  if (!kind_with_columns(rtype, kind)) return nullptr;
  std::optional<RecordRun> run = run_of(data, count, kind);
  if (!run) return nullptr;
  const Metadata* meta = metadata_of(metadata);
  if (!meta) return nullptr;
  const SymbolDictionary symbols = SymbolDictionary::of(meta->mappings);
  Ref schema = Ref::steal(arrow_schema(rtype, float_prices));
  if (!schema) return nullptr;
  auto* array = new ArrowArray;
  // The records are an immutable bytes object the caller keeps; the symbols are a copy.
  without_gil_for(run->size, [&] {
    export_array(*run, price_form(float_prices), symbols, array, default_threads());
  });
  Ref array_capsule = Ref::steal(capsule_of(array, "arrow_array", &destroy_array));
  if (!array_capsule) return nullptr;
  return PyTuple_Pack(2, schema.get(), array_capsule.get());
}

// --- streams ----------------------------------------------------------------------------------
//
// The consumer may call the stream from any thread, without the GIL: every callback takes it.

struct StreamState {
  Ref next;  // next() -> (bytes, count) or None
  RType kind;
  PriceForm prices;
  SymbolDictionary symbols;
  std::string last_error;
};

StreamState* stream_state(ArrowArrayStream* s) {
  return static_cast<StreamState*>(s->private_data);
}

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
  StreamState* st = stream_state(s);
  export_schema(st->kind, st->prices, out);
  return 0;
}

// The pending Python exception as the stream's last error.
int stream_fail(StreamState* st) {
  PyObject* exc = PyErr_GetRaisedException();
  Ref text = Ref::steal(exc ? PyObject_Str(exc) : nullptr);
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  st->last_error =
      std::string(exc ? Py_TYPE(exc)->tp_name : "error") + ": " + (utf8 ? utf8 : "(no message)");
  Py_XDECREF(exc);
  PyErr_Clear();
  return EIO;
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  StreamState* st = stream_state(s);
  const PyGILState_STATE gil = PyGILState_Ensure();
  int status = 0;
  Ref item = Ref::steal(PyObject_CallNoArgs(st->next.get()));
  PyObject* data = nullptr;
  unsigned long long count = 0;
  if (!item) {
    status = stream_fail(st);
  } else if (item.get() == Py_None) {
    out->release = nullptr;  // the end of the stream
  } else if (!PyArg_ParseTuple(item.get(), "OK", &data, &count)) {
    status = stream_fail(st);
  } else if (std::optional<RecordRun> run = run_of(data, count, st->kind)) {
    // `item` keeps the bytes alive; the state's symbols never change after it is made.
    without_gil_for(run->size,
                    [&] { export_array(*run, st->prices, st->symbols, out, default_threads()); });
  } else {
    status = stream_fail(st);
  }
  item = Ref();
  PyGILState_Release(gil);
  return status;
}

const char* stream_last_error(ArrowArrayStream* s) {
  StreamState* st = stream_state(s);
  return st->last_error.empty() ? nullptr : st->last_error.c_str();
}

void stream_release(ArrowArrayStream* s) {
  const PyGILState_STATE gil = PyGILState_Ensure();
  delete stream_state(s);
  PyGILState_Release(gil);
  s->release = nullptr;
}

PyObject* arrow_stream(PyObject* next, uint8_t rtype, PyObject* metadata, bool float_prices) {
  RType kind;
  if (!kind_with_columns(rtype, kind)) return nullptr;
  const Metadata* meta = metadata_of(metadata);
  if (!meta) return nullptr;
  auto* state = new StreamState{
      Ref::borrow(next), kind, price_form(float_prices), SymbolDictionary::of(meta->mappings), {}};
  auto* stream = new ArrowArrayStream{&stream_get_schema, &stream_get_next, &stream_last_error,
                                      &stream_release, state};
  return capsule_of(stream, "arrow_array_stream", &destroy_stream);
}

const MethodRow kFunctions[] = {
    function<&arrow_schema>("arrow_schema(rtype, float_prices)\n--\n\n"
                            "The Arrow schema capsule of batches of records of `rtype`."),
    function<&batch_arrow>("batch_arrow(data, count, rtype, metadata, float_prices)\n--\n\n"
                           "The Arrow (schema, array) capsules of a batch of records of `rtype`."),
    function<&arrow_stream>(
        "arrow_stream(next, rtype, metadata, float_prices)\n--\n\n"
        "An Arrow stream capsule whose batches come from next() -> (bytes, count) or None."),
};

}  // namespace

std::span<const MethodRow> arrow_functions() { return kFunctions; }

}  // namespace orx::py::ext
