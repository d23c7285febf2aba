// StreamReader: a record stream read forward from a ByteSource through one reused buffer, so
// that memory stays bounded whatever the stream's size.
//
//   auto reader = StreamReader::open(std::move(source), {});   // reads the metadata block
//   while (auto rec = reader->next()) {                        // Result<optional<Record>>
//     if (!*rec) break;                                        // end of stream
//     ...                                                      // (*rec)->ref valid until next
//   }
//   reader->read_run(max, bytes);                              // whole records, back to back
//
// Every record handed out is whole and converts (convertible_kind). The first failure is kept:
// every later read returns it again, and offset() stays at the record that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "metadata.h"
#include "record_ref.h"
#include "result.h"
#include "source.h"

namespace orx {

// What read_run appended.
struct RunInfo {
  size_t count = 0;    // records
  uint32_t kinds = 0;  // bit (1 << rtype) for each record kind present
  size_t stride = 0;   // the size every record has; 0 when sizes differ or there are none
};

class StreamReader {
 public:
  // The longest record a stream can hold (a length byte of 255).
  static constexpr size_t kMaxRecordSize = 255 * 4;
  static constexpr size_t kDefaultChunk = size_t{1} << 20;

  struct Options {
    // Bytes asked of the source per read. Small values serve tests of records cut across reads.
    size_t chunk = kDefaultChunk;
    // A last record cut short by the end of the stream ends it quietly instead of failing.
    bool allow_truncated = false;
  };

  // Reads the metadata block. Fewer bytes than the block fail with UnexpectedEof "failed to
  // fill whole buffer"; a block that does not deserialize still opens, with the reason kept
  // in metadata_error(). Read failures of the source are returned as they are.
  static Result<StreamReader> open(std::unique_ptr<ByteSource> source, Options options);

  const std::optional<Metadata>& metadata() const { return metadata_; }
  const std::optional<Error>& metadata_error() const { return metadata_error_; }

  struct Record {
    RecordRef ref;  // into the reader's buffer: valid until the next read
    RType kind;
  };

  // The next record, or nullopt at the end. Failures (kept, see above):
  //   a length byte L below 6   InvalidData "invalid record with length {L*4} shorter than header"
  //   a record that does not convert   convertible_kind's error
  //   a record cut short at the end    UnexpectedEof naming its offset, the bytes present and
  //                                    the whole records read (unless allow_truncated)
  //   a failed read of the source      its error
  Result<std::optional<Record>> next();

  // Appends the bytes of up to `max` next records to `out` and says in `info` what they were.
  // On a failure `out` and `info` keep the records appended before it.
  Status read_run(size_t max, std::vector<uint8_t>& out, RunInfo& info);

  // The next whole records, up to `max`, as they lie back to back in the reader's buffer (valid
  // until the next read); empty at the end. Adds them to `info` (count, kinds, stride carried
  // on from the records it already holds). Fails as next() does, for the first record only:
  // a failure after some records ends the span before it and comes with the next call.
  Result<std::span<const uint8_t>> next_span(size_t max, RunInfo& info);

  // Stream offset of the next record; after a failure, of the record that failed.
  uint64_t offset() const { return offset_; }
  // Whole records handed out so far.
  uint64_t records_read() const { return records_; }

  // Drops the source and the buffer; later reads find the end of the stream.
  void close();

  // Whether a failure is kept (every read returns it).
  bool failed() const { return failure_.has_value(); }

  // Ends the stream after `records` whole records in `bytes` bytes from offset(), which the
  // caller read and checked where the stream lies (an in-memory stream): offset() and
  // records_read() move past them, and later reads find the end of the stream.
  void skip_rest(uint64_t bytes, uint64_t records);

 private:
  StreamReader(std::unique_ptr<ByteSource> source, Options options);

  // Makes `n` bytes available from pos_, unless the source ends first; returns how many are.
  Result<size_t> fill(size_t n);
  Error fail(Error error);

  std::unique_ptr<ByteSource> source_;
  Options options_;
  std::vector<uint8_t> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool at_eof_ = false;
  uint64_t offset_ = 0;
  uint64_t records_ = 0;
  std::optional<Error> failure_;
  std::optional<Metadata> metadata_;
  std::optional<Error> metadata_error_;
};

}  // namespace orx
