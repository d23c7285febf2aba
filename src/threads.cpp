#include "threads.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace orx {

unsigned default_threads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : std::min(n, 4u);
}

void parallel_for(size_t n, unsigned threads, const std::function<void(size_t)>& fn) {
  if (threads <= 1 || n <= 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) fn(i);
  };
  const size_t helpers = std::min<size_t>(threads, n) - 1;
  std::vector<std::thread> pool;
  pool.reserve(helpers);
  for (size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
}

}  // namespace orx
