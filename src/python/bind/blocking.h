// Blocking system calls with the interpreter lock released, so that other Python threads run
// meanwhile. Only for calls on memory that no Python code can change while they run (private
// buffers that never change, buffers the call owns).
//
//   Status written = without_gil([&](Interrupts interrupts) {
//     return write_file(path, bytes, interrupts);
//   });
//   if (!written) return PyErr_Occurred() ? nullptr : raise_...;
//
// The interpreter's rule for signals holds: when a system call is interrupted (EINTR), the
// lock is taken back and the Python signal handlers run. A handler that raises (Ctrl-C's
// KeyboardInterrupt) ends the call with that exception pending; otherwise the call is retried.
#pragma once

#include <cstddef>

#include "files.h"
#include "ref.h"

namespace orx::py {

class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

  Interrupts interrupts() { return {&run_signal_handlers, this}; }

 private:
  static bool run_signal_handlers(void* context) {
    auto* self = static_cast<WithoutGil*>(context);
    PyEval_RestoreThread(self->state_);
    const bool go_on = PyErr_CheckSignals() == 0;
    self->state_ = PyEval_SaveThread();
    return go_on;
  }

  PyThreadState* state_;
};

// Work on bytes below this size runs with the lock held: handing the lock over costs more
// than the other threads would gain.
inline constexpr size_t kReleaseBytes = size_t{64} << 10;

// Runs f() with the lock released when it works on at least kReleaseBytes `bytes`, else with
// it held. For work that touches no Python object: memory that no other thread can change
// meanwhile (fresh buffers, immutable bytes objects kept alive by the caller, values under a
// hold).
template <class F>
auto without_gil_for(size_t bytes, F&& f) {
  if (bytes < kReleaseBytes) return f();
  WithoutGil released;
  return f();
}

// Runs f(Interrupts) with the lock released and returns its result.
template <class F>
auto without_gil(F&& f) {
  WithoutGil released;
  return f(released.interrupts());
}

}  // namespace orx::py
