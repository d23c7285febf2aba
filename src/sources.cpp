#include "sources.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "zstd_stream.h"

namespace orx {

Result<size_t> MemorySource::read(uint8_t* dst, size_t n) {
  const size_t take = std::min(n, bytes_.size() - at_);
  if (take) std::memcpy(dst, bytes_.data() + at_, take);
  at_ += take;
  return take;
}

Result<std::unique_ptr<FileSource>> FileSource::open(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return Error(IoError{IoKind::InvalidData, "file path contains a NUL byte"});
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error(IoError::from_errno(errno));
  return std::unique_ptr<FileSource>(new FileSource(fd));
}

FileSource::~FileSource() { ::close(fd_); }

Result<size_t> FileSource::read(uint8_t* dst, size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd_, dst, n);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return Error(IoError::from_errno(errno));
  }
}

Result<size_t> PrefixedSource::read(uint8_t* dst, size_t n) {
  if (at_ < prefix_.size()) {
    const size_t take = std::min(n, prefix_.size() - at_);
    std::memcpy(dst, prefix_.data() + at_, take);
    at_ += take;
    return take;
  }
  return inner_->read(dst, n);
}

Result<size_t> read_up_to(ByteSource& source, uint8_t* dst, size_t n) {
  size_t have = 0;
  while (have < n) {
    ORX_TRY(const size_t got, source.read(dst + have, n - have));
    if (got == 0) break;
    have += got;
  }
  return have;
}

ReadAheadSource::ReadAheadSource(std::unique_ptr<ByteSource> inner, size_t piece, size_t depth)
    : inner_(std::move(inner)), piece_(piece), depth_(depth), thread_([this] { run(); }) {}

ReadAheadSource::~ReadAheadSource() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ReadAheadSource::run() {
  for (bool more = true; more;) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || ready_.size() < depth_; });
      if (stop_) break;
    }
    // Fill one piece; bytes read before a failure are handed out before it.
    std::vector<uint8_t> buf(piece_);
    size_t filled = 0;
    std::optional<Error> failure;
    while (filled < buf.size()) {
      Result<size_t> got = inner_->read(buf.data() + filled, buf.size() - filled);
      if (!got) {
        failure = got.error();
        break;
      }
      if (*got == 0) break;
      filled += *got;
    }
    more = filled == buf.size() && !failure;
    std::lock_guard lock(mutex_);
    if (filled > 0) {
      buf.resize(filled);
      ready_.push_back(std::move(buf));
    }
    if (failure) error_ = std::move(failure);
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  done_ = true;
  changed_.notify_all();
}

Result<size_t> ReadAheadSource::read(uint8_t* dst, size_t n) {
  if (at_ == current_.size()) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !ready_.empty() || done_; });
    if (ready_.empty()) {
      if (error_) return *error_;
      return size_t{0};
    }
    current_ = std::move(ready_.front());
    ready_.pop_front();
    at_ = 0;
    changed_.notify_all();
  }
  const size_t take = std::min(n, current_.size() - at_);
  std::memcpy(dst, current_.data() + at_, take);
  at_ += take;
  return take;
}

Result<std::unique_ptr<ByteSource>> stream_source(std::unique_ptr<ByteSource> raw,
                                                  bool read_ahead, bool allow_truncated) {
  std::vector<uint8_t> head(kSniffSize);
  ORX_TRY(const size_t got, read_up_to(*raw, head.data(), head.size()));
  head.resize(got);
  // zstd frames cannot be mistaken for a raw stream (zstd_stream.h says why).
  if (starts_zstd_frame(head)) {
    std::unique_ptr<ByteSource> zstd(new ZstdSource(std::move(raw), head, allow_truncated));
    if (read_ahead) return std::unique_ptr<ByteSource>(new ReadAheadSource(std::move(zstd)));
    return zstd;
  }
  return std::unique_ptr<ByteSource>(new PrefixedSource(std::move(head), std::move(raw)));
}

}  // namespace orx
