// Byte sources over memory and files, and the one place where how a stream is read is chosen
// from its first bytes.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "source.h"

namespace orx {

// Bytes in memory owned by the caller, which must outlive the source and stay unchanged.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  std::string_view bytes_;
  size_t at_ = 0;
};

// A file opened for reading; closed with the source.
class FileSource final : public ByteSource {
 public:
  // Io errors with the operating system's category (NotFound, PermissionDenied, ...).
  static Result<std::unique_ptr<FileSource>> open(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  explicit FileSource(int fd) : fd_(fd) {}
  int fd_;
};

// Hands out `prefix` first, then the bytes of `inner`: the bytes a detection already took.
class PrefixedSource final : public ByteSource {
 public:
  PrefixedSource(std::vector<uint8_t> prefix, std::unique_ptr<ByteSource> inner)
      : prefix_(std::move(prefix)), inner_(std::move(inner)) {}
  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  std::vector<uint8_t> prefix_;
  size_t at_ = 0;
  std::unique_ptr<ByteSource> inner_;
};

// Reads `inner` on a thread of its own, up to `depth` pieces of `piece` bytes ahead of the
// consumer, so that the work of `inner` (decompression) overlaps with what the consumer does
// with the bytes. Memory stays bounded by depth * piece. `inner` must be safe to read from
// another thread: it calls no Python code. A failure of `inner` reaches the consumer after the
// bytes read before it, and is repeated by every later read.
class ReadAheadSource final : public ByteSource {
 public:
  explicit ReadAheadSource(std::unique_ptr<ByteSource> inner, size_t piece = size_t{1} << 20,
                           size_t depth = 3);
  ~ReadAheadSource() override;  // stops the thread and waits for it
  ReadAheadSource(const ReadAheadSource&) = delete;
  ReadAheadSource& operator=(const ReadAheadSource&) = delete;
  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  void run();

  std::unique_ptr<ByteSource> inner_;
  const size_t piece_;
  const size_t depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> ready_;  // filled pieces, in order
  std::optional<Error> error_;              // the failure that ended the thread
  bool done_ = false;                       // the thread has ended (end of source or failure)
  bool stop_ = false;                       // asked to end
  std::vector<uint8_t> current_;            // the piece being handed out
  size_t at_ = 0;
  std::thread thread_;
};

// Reads until `n` bytes are in `dst` or the source ends; returns how many arrived.
Result<size_t> read_up_to(ByteSource& source, uint8_t* dst, size_t n);

// How many leading bytes stream_source looks at.
inline constexpr size_t kSniffSize = 4;

// The source a record stream is read through, chosen from the first kSniffSize bytes of `raw`
// (fewer when it is shorter). A raw stream is read as it is; an encoding recognised by its
// leading bytes is decoded by a source wrapped around `raw` here. With `read_ahead` (only for a
// `raw` that calls no Python code), decoding runs on a thread of its own ahead of the reader.
// With `allow_truncated`, compressed input that ends inside a frame ends the stream after the
// bytes decoded from it, instead of failing.
Result<std::unique_ptr<ByteSource>> stream_source(std::unique_ptr<ByteSource> raw,
                                                  bool read_ahead = false,
                                                  bool allow_truncated = false);

}  // namespace orx
