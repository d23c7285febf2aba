// BufferStore: a record stream held in memory, decoded into record objects, one at a time or
// all at once, or into a pandas DataFrame; and written back to a file.
#include <string>
#include <vector>

#include "bind/bind.h"
#include "buffer.h"
#include "classes.h"
#include "decode.h"
#include "frame.h"
#include "metadata.h"
#include "records.h"
#include "utils.h"

namespace orx::py {

namespace {

std::string_view view_of(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A store over `bytes`. A stream too short for its metadata block raises OSError "failed to
// fill whole buffer"; a block that is present but does not deserialize raises OSError with the
// deserializer's message.
PyObject* open_store(PyTypeObject* tp, std::vector<uint8_t> bytes) {
  auto decoder = RecordDecoder::open(view_of(bytes));
  if (!decoder) {
    raise_io(decoder.error());
    return nullptr;
  }
  if (!decoder->metadata()) {
    raise_io(*decoder->metadata_error());
    return nullptr;
  }
  return new_instance<BufferStore>(tp, BufferStore{std::move(bytes), std::move(*decoder)});
}

[[gnu::cold]] PyObject* raise_os(const std::string& message) {
  raise(PyExc_OSError, message);
  return nullptr;
}

PyObject* from_file(std::string file_path) {
  auto bytes = read_file(file_path);
  if (!bytes) return raise_os(std::string(bytes.error().payload()));  // plain OSError
  return open_store(type_object<BufferStore>(), std::move(*bytes));
}

PyObject* write_to_file(PyObject* self, std::string file_path) {
  SharedHold hold(cell_of<BufferStore>(self));
  if (!hold) return nullptr;
  const Status written = write_file(file_path, view_of(value_of<BufferStore>(self).data));
  if (!written) return raise_os(std::string(written.error().payload()));
  Py_RETURN_NONE;
}

PyObject* decode_to_array(PyObject* self) {
  ExclusiveHold hold(cell_of<BufferStore>(self));
  if (!hold) return nullptr;
  return decode_remaining(value_of<BufferStore>(self).decoder);
}

// The next record, or None at the end. A length below a header raises OSError with the read
// failure's own text; a record that does not convert raises OSError "Failed to convert record
// reference to RecordEnum".
PyObject* replay(PyObject* self) {
  ExclusiveHold hold(cell_of<BufferStore>(self));
  if (!hold) return nullptr;
  auto ref = value_of<BufferStore>(self).decoder.decode_record_ref();
  if (!ref) return raise_os(std::string(ref.error().payload()));
  if (!*ref) Py_RETURN_NONE;
  auto kind = convertible_kind(**ref);
  if (!kind) return raise_os("Failed to convert record reference to RecordEnum");
  return record_object(**ref, *kind);
}

PyObject* decode_to_df(PyObject* self, bool pretty_ts, bool pretty_px) {
  ExclusiveHold hold(cell_of<BufferStore>(self));
  if (!hold) return nullptr;
  BufferStore& store = value_of<BufferStore>(self);
  return decode_frame(store.decoder, view_of(store.data), store.metadata().mappings, pretty_ts,
                      pretty_px);
}

}  // namespace

template <>
struct PyClass<BufferStore> {
  static constexpr const char* name = "BufferStore";
  static constexpr auto fields = std::tuple{ro<ORX_AT(BufferStore, metadata())>("metadata")};
  static constexpr const char* init_signature = "(data)";
  static PyObject* construct(PyTypeObject* tp, PyObject** bound) {
    ByteView data;
    if (!load_arg(bound[0], data, "data")) return nullptr;
    return open_store(tp, std::vector<uint8_t>(data.bytes.begin(), data.bytes.end()));
  }
  static inline const MethodRow methods[] = {
      method<&decode_to_array>("decode_to_array($self)\n--\n\n"),
      method<&replay>("replay($self)\n--\n\n"),
      method<&decode_to_df>("decode_to_df($self, pretty_ts, pretty_px)\n--\n\n"),
      method<&write_to_file>("write_to_file($self, file_path)\n--\n\n"),
      static_method<&from_file>("from_file(file_path)\n--\n\n"),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::py::BufferStore)
