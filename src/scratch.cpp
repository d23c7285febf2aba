#include "scratch.h"

#include <sys/mman.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace orx {

void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] size_t n) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kPage = 4096;
  if (n < (size_t{4} << 20)) return;
  const uintptr_t a = (reinterpret_cast<uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
  const uintptr_t b = (reinterpret_cast<uintptr_t>(p) + n) & ~(kPage - 1);
  if (b > a) madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE);  // advice only
#endif
}

namespace {

// What the pool keeps: at most this much in all, buffers of at least kPoolMin bytes (a smaller
// one costs no fresh pages worth keeping).
constexpr size_t kPoolBytes = size_t{64} << 20;
constexpr size_t kPoolMin = size_t{64} << 10;

struct Pool {
  std::mutex mu;
  std::vector<std::pair<size_t, std::unique_ptr<uint8_t[]>>> free;  // (capacity, memory)
  size_t held = 0;
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: buffers may be given back during exit
  return *p;
}

}  // namespace

ScratchBuffer& ScratchBuffer::operator=(ScratchBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::move(other.data_);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ScratchBuffer ScratchBuffer::take(size_t bytes) {
  ScratchBuffer b;
  b.size_ = bytes;
  if (bytes >= kPoolMin) {
    Pool& p = pool();
    std::lock_guard<std::mutex> hold(p.mu);
    // the smallest that holds `bytes`, and not twice as much (a large one stays for a large use)
    size_t best = SIZE_MAX;
    for (size_t i = 0; i < p.free.size(); ++i)
      if (p.free[i].first >= bytes && p.free[i].first / 2 <= bytes &&
          (best == SIZE_MAX || p.free[i].first < p.free[best].first))
        best = i;
    if (best != SIZE_MAX) {
      b.capacity_ = p.free[best].first;
      b.data_ = std::move(p.free[best].second);
      p.held -= b.capacity_;
      p.free[best] = std::move(p.free.back());
      p.free.pop_back();
      return b;
    }
  }
  b.capacity_ = std::max<size_t>(bytes, 1);
  b.data_.reset(new uint8_t[b.capacity_]);  // uninitialised: every byte is written before use
  advise_huge_pages(b.data_.get(), b.capacity_);
  return b;
}

void ScratchBuffer::release() {
  if (!data_) return;
  if (capacity_ < kPoolMin) {
    data_.reset();
    capacity_ = size_ = 0;
    return;
  }
  Pool& p = pool();
  std::lock_guard<std::mutex> hold(p.mu);
  if (p.held + capacity_ <= kPoolBytes) {
    p.held += capacity_;
    p.free.emplace_back(capacity_, std::move(data_));
  }
  data_.reset();
  capacity_ = size_ = 0;
}

}  // namespace orx
