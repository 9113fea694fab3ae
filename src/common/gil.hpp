// Running codec work without the interpreter lock, so that other threads run Python meanwhile.
//
// Only work that touches no Python object may run so: decoding into a value no other thread can see yet,
// encoding a value that cannot change (messages, typed values, definitions) or a table whose writers wait
// (TableReaders). Releasing and taking back the lock costs about as much as decoding a small message, so
// small inputs and outputs keep it.
#pragma once

#include <atomic>
#include <cstdint>
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

// The encoders of one mutable table that run without the lock. A writer waits until none is left before it
// changes the table; it holds the lock, so no new one starts meanwhile.
class TableReaders {
 public:
  // Called with the lock held, before releasing it.
  void enter() { count_.fetch_add(1, std::memory_order_acquire); }
  // Called without the lock, when done with the table.
  void leave() {
    if (count_.fetch_sub(1, std::memory_order_release) == 1) count_.notify_all();
  }
  // Called with the lock held, right before changing the table (with no Python code run in between).
  void wait_until_none() {
    while (count_.load(std::memory_order_acquire) != 0) {
      Py_BEGIN_ALLOW_THREADS for (uint32_t n = count_.load(std::memory_order_acquire); n != 0;
                                  n = count_.load(std::memory_order_acquire)) {
        count_.wait(n, std::memory_order_acquire);
      }
      Py_END_ALLOW_THREADS
    }
  }

 private:
  std::atomic<uint32_t> count_{0};
};

}  // namespace veltrac::py
