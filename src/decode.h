// Reading record streams (the format is described in encode.h).
//
//   auto decoder = RecordDecoder::open(bytes);        // reads the framed metadata block
//   decoder->metadata();                              // optional<Metadata>
//   decoder->metadata_error();                        // why the block did not deserialize
//   while (auto ref = decoder->decode_record_ref()) { // Result<optional<RecordRef>>
//     if (!*ref) break;                               // end of stream
//     ...
//   }
//   decoder->decode_records();                        // Result<vector<RecordEnum>>
//
// The decoder reads forward from one position shared by every decoding call: a record handed
// out once is not handed out again, with one exception: a caller whose use of the records it
// just read failed may put the position back where its call began (back_to). There is no
// other rewind; open a new decoder to read the same bytes again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "metadata.h"
#include "record_ref.h"
#include "result.h"

namespace orx {

// One framed metadata block, read: the metadata when its body deserialized, otherwise the
// deserializer's error (InvalidData with the texts of Metadata::deserialize).
struct MetadataBlock {
  std::optional<Metadata> metadata;
  std::optional<Error> error;
};

// Reads one framed metadata block (u16 length M, then M bytes) from `reader`. Fewer than 2
// bytes, or fewer than M after the prefix, fail with UnexpectedEof "failed to fill whole
// buffer" and leave the reader at its end. A block that is present but does not deserialize
// is not a read failure: it is returned with `error` set.
Result<MetadataBlock> read_metadata(ByteReader& reader);

class RecordDecoder {
 public:
  // Where handed-out RecordRefs point.
  enum class Refs : uint8_t {
    // Straight into the source. The source must stay unchanged and outlive every ref.
    Source,
    // Into the decoder's record buffer, which is reused: a ref is valid until the next read
    // on the decoder. The buffer starts as one zero byte, grows to the longest record read
    // and never shrinks.
    Buffer,
  };

  // Opens a decoder over `source`, owned by the caller, which must outlive the decoder and
  // stay where it is (keep it in a heap buffer such as a std::vector or std::unique_ptr: a
  // short std::string moves its bytes when it is moved). Reads the metadata block at once. Only a
  // source too short for the block fails (with read_metadata's UnexpectedEof); a block that does
  // not deserialize still opens, with no metadata and the reason kept in metadata_error().
  static Result<RecordDecoder> open(std::string_view source, Refs refs = Refs::Source);

  const std::optional<Metadata>& metadata() const { return metadata_; }
  const std::optional<Error>& metadata_error() const { return metadata_error_; }

  // Offset of the next unread byte in the source.
  size_t position() const { return reader_.position(); }

  // Puts the position back to `position`, a value position() gave earlier on this decoder
  // (so a record boundary), for a caller that read records and then could not deliver them:
  // they are read again by the next call. A `position` ahead of the current one changes
  // nothing.
  void back_to(size_t position) { reader_.back_to(position); }

  // The source from the position on.
  std::string_view remaining_bytes() const {
    return {reinterpret_cast<const char*>(reader_.current()), reader_.remaining()};
  }

  // Moves the position `bytes` forward (at most to the end): for callers that took whole
  // records, already checked, straight from remaining_bytes().
  void skip_read(size_t bytes) { reader_.skip(bytes); }

  // The next record, or nullopt at the end of the stream. A length byte L below 6 fails with
  // InvalidData "invalid record with length {L*4} shorter than header", leaving the position
  // just past that byte. A last record cut short by the end of the data is consumed and
  // gives nullopt, without an error. A returned ref covers exactly L*4 bytes.
  Result<std::optional<RecordRef>> decode_record_ref();

  // Every remaining record converted to a RecordEnum, in stream order. A read failure ends
  // the call with its Io error, a record that does not convert with the conversion's own
  // error (to_record_enum); records collected by the failing call are discarded, and the
  // bytes consumed up to the failure stay consumed (after a conversion failure, the whole
  // record). At the end of the stream the result is an empty vector.
  Result<std::vector<RecordEnum>> decode_records();

  // Number of whole records from the position on, up to the first length below 6: how many
  // records a decode of everything remaining yields at most (exactly, when none fails to
  // convert).
  size_t count_whole_records() const;

 private:
  RecordDecoder(std::string_view source, Refs refs) : reader_(source), refs_(refs) {}

  ByteReader reader_;
  Refs refs_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(1, 0);
  std::optional<Metadata> metadata_;
  std::optional<Error> metadata_error_;
};

}  // namespace orx
