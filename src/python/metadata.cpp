// Metadata, the value heading a record stream, and PyMetadataEncoder, which writes its framed
// block into a buffer of its own.
#include <vector>

#include "bind/bind.h"
#include "classes.h"
#include "decode.h"
#include "encode.h"
#include "metadata.h"

namespace orx::py {

// One byte buffer holding the output of the last successful encode call.
struct PyMetadataEncoder {
  std::vector<uint8_t> buffer;
};

namespace {

// OSError "Failed to encode record: {error}".
PyObject* raise_encode_failure(const Error& error) {
  raise(PyExc_OSError, "Failed to encode record: " + error.display());
  return nullptr;
}

// encode() and __bytes__(): the framed block, as PyMetadataEncoder writes it. (Two
// instantiations, since a function serves as one method.)
template <int>
PyObject* encode(PyObject* self) {
  SharedHold hold(cell_of<Metadata>(self));
  if (!hold) return nullptr;
  std::vector<uint8_t> out;
  const Status written = encode_metadata(out, value_of<Metadata>(self));
  if (!written) return raise_encode_failure(written.error());
  return bytes_of(out);
}

// One framed block from the start of `data`; what follows it is ignored. A short block raises
// OSError "failed to fill whole buffer", a block that does not deserialize OSError with the
// deserializer's message.
PyObject* decode(PyTypeObject*, ByteView data) {
  ByteReader reader(data.bytes);
  auto block = read_metadata(reader);
  if (!block) {
    raise_io(block.error());
    return nullptr;
  }
  if (!block->metadata) {
    raise_io(*block->error);
    return nullptr;
  }
  return Conv<Metadata>::to_py(*block->metadata);
}

PyObject* str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    SharedHold hold(cell_of<Metadata>(self));
    if (!hold) return nullptr;
    return Conv<std::string>::to_py(to_string(value_of<Metadata>(self)));
  });
}

// The argument is copied out first; a failure of extraction or of encoding leaves the buffer
// as the last successful call left it.
PyObject* encode_metadata_into(PyObject* self, Metadata metadata) {
  ExclusiveHold hold(cell_of<PyMetadataEncoder>(self));
  if (!hold) return nullptr;
  std::vector<uint8_t> out;
  const Status written = encode_metadata(out, metadata);
  if (!written) return raise_encode_failure(written.error());
  value_of<PyMetadataEncoder>(self).buffer = std::move(out);
  Py_RETURN_NONE;
}

PyObject* get_encoded_data(PyObject* self) {
  SharedHold hold(cell_of<PyMetadataEncoder>(self));
  if (!hold) return nullptr;
  return bytes_of(value_of<PyMetadataEncoder>(self).buffer);
}

}  // namespace

template <>
struct PyClass<Metadata> {
  static constexpr const char* name = "Metadata";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      rw<&Metadata::schema>("schema"),     rw<&Metadata::dataset>("dataset"),
      rw<&Metadata::start>("start"),       rw<&Metadata::end>("end"),
      rw<&Metadata::mappings>("mappings"),
  };
  static constexpr auto init = fields;
  static inline const MethodRow methods[] = {
      method<&encode<0>>("encode($self)\n--\n\n"),
      method<&encode<1>>("__bytes__($self)\n--\n\n"),
      class_method<&decode>("decode($cls, data)\n--\n\n"),
  };
  static inline PyType_Slot slots[] = {
      {Py_tp_str, reinterpret_cast<void*>(&str)},
  };
};

template <>
struct PyClass<PyMetadataEncoder> {
  static constexpr const char* name = "PyMetadataEncoder";
  static constexpr const char* doc = "Python-facing wrapper for RecordEncoder";
  static constexpr auto init = std::tuple<>{};
  static inline const MethodRow methods[] = {
      method<&encode_metadata_into>("encode_metadata($self, metadata)\n--\n\n"),
      method<&get_encoded_data>(
          "get_encoded_data($self)\n--\n\nRetrieve the encoded data as bytes"),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::Metadata)
ORX_DEFINE_CLASS(orx::py::PyMetadataEncoder)
