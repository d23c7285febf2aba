#include "decode.h"

#include <cstring>
#include <string>

namespace orx {

Result<MetadataBlock> read_metadata(ByteReader& reader) {
  ORX_TRY(const std::string_view prefix, reader.read_exact(2));
  ORX_TRY(const std::string_view body, reader.read_exact(load_le<uint16_t>(prefix.data())));
  auto metadata = Metadata::deserialize(body);
  MetadataBlock block;
  if (metadata)
    block.metadata = std::move(*metadata);
  else
    block.error = std::move(metadata).error();
  return block;
}

Result<RecordDecoder> RecordDecoder::open(std::string_view source, Refs refs) {
  RecordDecoder decoder(source, refs);
  ORX_TRY(MetadataBlock block, read_metadata(decoder.reader_));
  decoder.metadata_ = std::move(block.metadata);
  decoder.metadata_error_ = std::move(block.error);
  return decoder;
}

Result<std::optional<RecordRef>> RecordDecoder::decode_record_ref() {
  if (reader_.at_end()) return std::optional<RecordRef>();
  const uint8_t* start = reader_.current();
  const uint8_t length = *start;
  if (length < kMinRecordLength) {
    reader_.skip(1);
    return Error(IoError::invalid_data("invalid record with length " +
                                       std::to_string(static_cast<size_t>(length) * 4) +
                                       " shorter than header"));
  }
  const size_t size = static_cast<size_t>(length) * 4;
  if (reader_.remaining() < size) {
    // A truncated last record: consumed and dropped without an error.
    reader_.skip(size);
    return std::optional<RecordRef>();
  }
  reader_.skip(size);
  if (refs_ == Refs::Source) return std::optional<RecordRef>(RecordRef(start, size));
  if (buffer_.size() < size) buffer_.resize(size);
  std::memcpy(buffer_.data(), start, size);
  return std::optional<RecordRef>(RecordRef(buffer_.data(), size));
}

size_t RecordDecoder::count_whole_records() const {
  const uint8_t* p = reader_.current();
  size_t left = reader_.remaining();
  size_t count = 0;
  while (left > 0) {
    const size_t length = *p;
    const size_t size = length * 4;
    if (length < kMinRecordLength || size > left) break;
    p += size;
    left -= size;
    ++count;
  }
  return count;
}

Result<std::vector<RecordEnum>> RecordDecoder::decode_records() {
  std::vector<RecordEnum> records;
  records.reserve(count_whole_records());
  for (;;) {
    ORX_TRY(const std::optional<RecordRef> ref, decode_record_ref());
    if (!ref) return records;
    ORX_TRY(RecordEnum record, to_record_enum(*ref));
    records.push_back(std::move(record));
  }
}

}  // namespace orx
