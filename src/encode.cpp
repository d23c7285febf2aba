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

Status check_record(const uint8_t* record, size_t layout_size, RType rtype) {
  const size_t length = record[0];
  const std::string bytes = std::to_string(length * 4);
  const std::string layout = std::to_string(layout_size);
  if (length < kMinRecordLength)
    return Error::encode("record with length " + bytes + " shorter than header");
  if (length * 4 > layout_size)
    return Error::encode("record with length " + bytes + " longer than its " + layout +
                         "-byte layout");
  if (length * 4 < layout_size)
    return Error::encode("record with length " + bytes + " shorter than its " + layout +
                         "-byte layout");
  const uint8_t kind = record[1];
  if (kind != static_cast<uint8_t>(rtype))
    return Error::encode("record with rtype " + std::to_string(kind) + " in a layout of rtype " +
                         std::to_string(static_cast<int>(rtype)));
  return {};
}

}  // namespace orx
