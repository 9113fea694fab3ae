// Running codec work without the interpreter lock, so that other threads run Python meanwhile.
//
// Only work that touches no Python object may run so: decoding into a value no other thread can see yet,
// encoding a value that cannot change (messages, typed values, definitions) or a snapshot of a table
// (common/borrow.hpp). Releasing and taking back the lock costs about as much as decoding a small message, so
// small inputs and outputs keep it.
#pragma once

#include <utility>

#include "common/pyref.hpp"

namespace veltrac::py {

// Inputs and outputs from this many bytes on are worked on without the lock. Below it the gain on two
// cores does not pay for the hand-over (measured with bench W7 and the small-message workloads).
inline constexpr size_t kReleaseBytes = size_t{32} << 10;

// Runs f() without the interpreter lock when `release`; f must not touch Python objects.
template <class F>
decltype(auto) run_unlocked_if(bool release, F&& f) {
  if (!release) return std::forward<F>(f)();
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return std::forward<F>(f)();
}

}  // namespace veltrac::py
