// Reused memory for large buffers that are filled once and dropped soon after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orx {

// Memory taken from a pool kept between calls and given back to it when dropped: the pages
// of a fresh allocation cost more than the work that fills them (decoded blocks, exported
// columns). The pool holds at most 64 MB; a buffer given back beyond that is freed. Contents
// are uninitialised. Any thread may take and give back.
class ScratchBuffer {
 public:
  ScratchBuffer() = default;
  ScratchBuffer(ScratchBuffer&& other) noexcept { *this = std::move(other); }
  ScratchBuffer& operator=(ScratchBuffer&& other) noexcept;
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;
  ~ScratchBuffer() { release(); }

  // A buffer of `bytes` bytes (at least one byte is allocated).
  static ScratchBuffer take(size_t bytes);
  uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }

 private:
  void release();
  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0, size_ = 0;
};

// Asks for huge pages under a large region not touched yet (as numpy does for its arrays):
// one fault per 2 MB instead of per 4 KB page when it is first written. Advice only.
void advise_huge_pages(void* p, size_t n);

}  // namespace orx
