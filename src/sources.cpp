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

Result<std::unique_ptr<ByteSource>> stream_source(std::unique_ptr<ByteSource> raw) {
  std::vector<uint8_t> head(kSniffSize);
  ORX_TRY(const size_t got, read_up_to(*raw, head.data(), head.size()));
  head.resize(got);
  // zstd frames cannot be mistaken for a raw stream (zstd_stream.h says why).
  if (starts_zstd_frame(head))
    return std::unique_ptr<ByteSource>(new ZstdSource(std::move(raw), head));
  return std::unique_ptr<ByteSource>(new PrefixedSource(std::move(head), std::move(raw)));
}

}  // namespace orx
