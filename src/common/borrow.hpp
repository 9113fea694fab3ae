// Threads and the objects that change (today InfoTable): one rule.
//
// Readers are never refused because another thread writes, and writers never because another thread reads.
// - A reader reads the object's current value with the interpreter lock held and no Python code run
//   meanwhile, or takes a snapshot of it (Versioned::snapshot: a counted reference, O(1)) and reads that,
//   with or without the lock, for as long as it likes.
// - A writer changes the value only with the lock held and no Python code run between taking the value
//   and changing it (the commit): readers see the value before or after a change, never during one. A
//   value that a snapshot still holds is not changed in place: the writer puts a copy in its place
//   (Versioned::writable), which for a table shares the rows until the change and then copies them once,
//   so the writer pays at most once per snapshot, which itself read the whole value.
// - Writers take turns: a writer that finds another thread's writer mid-change (running Python code of its
//   arguments before its commit) waits with the lock released until that one is done.
// The only refusals are re-entries on one thread: when Python code that a writer runs before its commit
// (a conversion, a key's __eq__) calls back into the same object, a writer fails with RuntimeError
// "Already borrowed" and a reader with "Already mutably borrowed".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/pyref.hpp"

namespace veltrac::py {

// A value that readers snapshot and writers replace when a snapshot holds it.
template <class T>
class Versioned {
  struct Node {
    template <class... A>
    explicit Node(A&&... a) : value(std::forward<A>(a)...) {}
    std::atomic<size_t> refs{1};
    T value;
  };
  static void drop(Node* n) noexcept {
    if (n != nullptr && n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete n;
  }

 public:
  // A counted reference to one version of the value: readable on any thread, released on any thread.
  class Snapshot {
   public:
    Snapshot(Snapshot&& o) noexcept : n_(std::exchange(o.n_, nullptr)) {}
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    Snapshot& operator=(Snapshot&&) = delete;
    ~Snapshot() { drop(n_); }
    const T& operator*() const { return n_->value; }
    const T* operator->() const { return &n_->value; }

   private:
    friend class Versioned;
    explicit Snapshot(Node* n) : n_(n) {}
    Node* n_;
  };

  explicit Versioned(T v) : cur_(new Node(std::move(v))) {}
  Versioned(const Versioned&) = delete;
  Versioned& operator=(const Versioned&) = delete;
  ~Versioned() { drop(cur_); }

  // The current value (lock held, no Python code run while it is used).
  const T& current() const { return cur_->value; }
  // A snapshot of the current value (lock held).
  Snapshot snapshot() const {
    cur_->refs.fetch_add(1, std::memory_order_relaxed);
    return Snapshot(cur_);
  }
  // The current value to change (lock held, by the writer whose turn it is, right before its commit): a copy
  // in its place when a snapshot holds it.
  T& writable() {
    if (cur_->refs.load(std::memory_order_acquire) != 1) {
      Node* fresh = new Node(std::as_const(cur_->value));
      drop(std::exchange(cur_, fresh));
    }
    return cur_->value;
  }
  // Puts `v` in place of the current value (same conditions as writable).
  void replace(T v) {
    if (cur_->refs.load(std::memory_order_acquire) != 1) {
      Node* fresh = new Node(std::move(v));
      drop(std::exchange(cur_, fresh));
    } else {
      cur_->value = std::move(v);
    }
  }

 private:
  Node* cur_;
};

// Whose turn it is to write an object.
struct BorrowFlag {
  std::atomic<unsigned long> writer{0};  // thread id of the writer mid-change; 0: none
  uint32_t waiting = 0;                  // writers of other threads waiting for the turn (lock held)
};

// A reader's check: false with RuntimeError "Already mutably borrowed" when this thread's own writer is
// mid-change on the object (re-entry); a writer of another thread does not stop a reader.
inline bool may_read(const BorrowFlag& f) {
  if (f.writer.load(std::memory_order_relaxed) == PyThread_get_thread_ident()) {
    raise(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
  }
  return true;
}

// A writer's turn, held from before it runs its arguments' Python code until after its commit. Waits for
// another thread's writer (lock released); fails with RuntimeError "Already borrowed" on re-entry.
class WriteTurn {
 public:
  explicit WriteTurn(BorrowFlag& f) : f_(f) {
    const unsigned long me = PyThread_get_thread_ident();
    for (;;) {
      const unsigned long w = f_.writer.load(std::memory_order_relaxed);
      if (w == 0) {
        f_.writer.store(me, std::memory_order_relaxed);
        ok_ = true;
        return;
      }
      if (w == me) {
        raise(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      ++f_.waiting;
      PyThreadState* saved = PyEval_SaveThread();
      f_.writer.wait(w, std::memory_order_relaxed);
      PyEval_RestoreThread(saved);
      --f_.waiting;
    }
  }
  ~WriteTurn() {
    if (!ok_) return;
    f_.writer.store(0, std::memory_order_relaxed);
    if (f_.waiting != 0) f_.writer.notify_all();
  }
  WriteTurn(const WriteTurn&) = delete;
  WriteTurn& operator=(const WriteTurn&) = delete;
  // False with RuntimeError set on re-entry.
  explicit operator bool() const { return ok_; }

 private:
  BorrowFlag& f_;
  bool ok_ = false;
};

}  // namespace veltrac::py
