// A small pool of threads for work that splits into independent jobs: decoding blocks, merging
// days, filling columns.
#pragma once

#include <cstddef>
#include <functional>

namespace orx {

// The default number of threads: the machine's cores, at most 4.
unsigned default_threads();

// Runs `fn(i)` for i in [0, n) on up to `threads` threads (the caller's among them).
void parallel_for(size_t n, unsigned threads, const std::function<void(size_t)>& fn);

}  // namespace orx
