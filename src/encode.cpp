#include "encode.h"

#include <string>

#include "bytes.h"

namespace orx {

Status encode_metadata(std::vector<uint8_t>& out, const Metadata& metadata) {
  // The size comes first: a body that fits 16 bits also fits every 32-bit field inside it.
  const size_t body = metadata.serialized_size();
  if (body > kMaxMetadataBody)
    return Error::encode("metadata body of " + std::to_string(body) +
                         " bytes exceeds the limit of " + std::to_string(kMaxMetadataBody) +
                         " bytes");
  out.reserve(out.size() + 2 + body);
  append_le(out, static_cast<uint16_t>(body));
  metadata.append_to(out);
  return {};
}

Status check_record(const uint8_t* record, size_t layout_size) {
  const size_t length = record[0];
  const size_t bytes = length * 4;
  if (length < kMinRecordLength)
    return Error::encode("record with length " + std::to_string(bytes) + " shorter than header");
  if (bytes > layout_size)
    return Error::encode("record with length " + std::to_string(bytes) + " longer than its " +
                         std::to_string(layout_size) + "-byte layout");
  return {};
}

}  // namespace orx
