#include "stream_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "bytes.h"
#include "sources.h"

namespace orx {

StreamReader::StreamReader(std::unique_ptr<ByteSource> source, Options options)
    : source_(std::move(source)), options_(options) {
  options_.chunk = std::max<size_t>(options_.chunk, 1);
}

Result<StreamReader> StreamReader::open(std::unique_ptr<ByteSource> source, Options options) {
  StreamReader reader(std::move(source), options);
  uint8_t prefix[2];
  ORX_TRY(const size_t got, read_up_to(*reader.source_, prefix, 2));
  if (got < 2) return Error(IoError::unexpected_eof());
  std::vector<uint8_t> body(load_le<uint16_t>(prefix));
  ORX_TRY(const size_t got_body, read_up_to(*reader.source_, body.data(), body.size()));
  if (got_body < body.size()) return Error(IoError::unexpected_eof());
  auto metadata = Metadata::deserialize({reinterpret_cast<const char*>(body.data()), body.size()});
  if (metadata)
    reader.metadata_ = std::move(*metadata);
  else
    reader.metadata_error_ = std::move(metadata).error();
  reader.offset_ = 2 + body.size();
  reader.buffer_.resize(std::max(options.chunk, 4 * kMaxRecordSize));
  return reader;
}

Result<size_t> StreamReader::fill(size_t n) {
  if (end_ - pos_ >= n || at_eof_) return end_ - pos_;
  std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
  end_ -= pos_;
  pos_ = 0;
  while (end_ < n) {
    const size_t want = std::min(options_.chunk, buffer_.size() - end_);
    ORX_TRY(const size_t got, source_->read(buffer_.data() + end_, want));
    if (got == 0) {
      at_eof_ = true;
      break;
    }
    end_ += got;
  }
  return end_;
}

Error StreamReader::fail(Error error) {
  failure_ = error;
  return error;
}

Result<std::optional<StreamReader::Record>> StreamReader::next() {
  if (failure_) return *failure_;
  if (!source_) return std::optional<Record>();
  if (end_ == pos_) {
    auto have = fill(1);
    if (!have) return fail(std::move(have).error());
    if (*have == 0) return std::optional<Record>();
  }
  const uint8_t length = buffer_[pos_];
  if (length < kMinRecordLength)
    return fail(IoError::invalid_data("invalid record with length " +
                                      std::to_string(static_cast<size_t>(length) * 4) +
                                      " shorter than header"));
  const size_t size = static_cast<size_t>(length) * 4;
  if (end_ - pos_ < size) {
    auto have = fill(size);
    if (!have) return fail(std::move(have).error());
    if (*have < size) {
      if (options_.allow_truncated) {
        pos_ = end_;
        offset_ += *have;
        return std::optional<Record>();
      }
      return fail(IoError{IoKind::UnexpectedEof,
                          "the stream ends inside a record: " + std::to_string(*have) + " of its " +
                              std::to_string(size) + " bytes at byte offset " +
                              std::to_string(offset_) + ", after " + std::to_string(records_) +
                              " whole records"});
    }
  }
  const RecordRef ref(buffer_.data() + pos_, size);
  auto kind = convertible_kind(ref);
  if (!kind) return fail(std::move(kind).error());
  pos_ += size;
  offset_ += size;
  ++records_;
  return std::optional<Record>(Record{ref, *kind});
}

Result<std::span<const uint8_t>> StreamReader::next_span(size_t max, RunInfo& info) {
  if (max == 0) return std::span<const uint8_t>();
  // The first record through next(), which fills the buffer and reports every failure.
  ORX_TRY(const std::optional<Record> first, next());
  if (!first) return std::span<const uint8_t>();
  const uint8_t* const start = first->ref.data();
  auto add = [&info](size_t size, RType kind) {
    info.stride = info.count == 0 ? size : (info.stride == size ? size : 0);
    info.kinds |= uint32_t{1} << static_cast<uint8_t>(kind);
    ++info.count;
  };
  add(first->ref.record_size(), first->kind);
  // Then the whole records already in the buffer; the kind is checked again only when the
  // record type or the size changes. Anything doubtful is left to the next call's next().
  size_t taken = 1;
  uint8_t rtype = start[1];
  size_t size = first->ref.record_size();
  RType kind = first->kind;
  while (taken < max && end_ - pos_ >= 2) {
    const uint8_t* p = buffer_.data() + pos_;
    const size_t here = static_cast<size_t>(p[0]) * 4;
    if (p[0] < kMinRecordLength || here > end_ - pos_) break;
    if (p[1] != rtype || here != size) {
      auto k = convertible_kind(RecordRef(p, here));
      if (!k) break;
      rtype = p[1];
      size = here;
      kind = *k;
    }
    add(here, kind);
    pos_ += here;
    offset_ += here;
    ++records_;
    ++taken;
  }
  return std::span<const uint8_t>(start, buffer_.data() + pos_);
}

Status StreamReader::read_run(size_t max, std::vector<uint8_t>& out, RunInfo& info) {
  info = RunInfo();
  while (info.count < max) {
    ORX_TRY(const std::span<const uint8_t> span, next_span(max - info.count, info));
    if (span.empty()) break;
    out.insert(out.end(), span.begin(), span.end());
  }
  return {};
}

void StreamReader::skip_rest(uint64_t bytes, uint64_t records) {
  offset_ += bytes;
  records_ += records;
  close();
}

void StreamReader::close() {
  source_.reset();
  buffer_ = {};
  pos_ = end_ = 0;
}

}  // namespace orx
