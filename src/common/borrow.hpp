// Borrow state of an instance: shared borrows for reading methods, an exclusive one for the mutating
// methods. A conflicting borrow is only possible through re-entry (Python code run by an argument's
// conversion calling back into the same object).
#pragma once

#include "common/pyref.hpp"

namespace veltrac::py {

struct BorrowFlag {
  Py_ssize_t state = 0;  // > 0: shared borrows held; -1: exclusively borrowed
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& f) : f_(f) {
    if (f_.state < 0) {
      raise(PyExc_RuntimeError, "Already mutably borrowed");
      ok_ = false;
    } else {
      ++f_.state;
    }
  }
  ~SharedBorrow() {
    if (ok_) --f_.state;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  // False with RuntimeError set when the object is exclusively borrowed.
  explicit operator bool() const { return ok_; }

 private:
  BorrowFlag& f_;
  bool ok_ = true;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& f) : f_(f) {
    if (f_.state != 0) {
      raise(PyExc_RuntimeError, "Already borrowed");
      ok_ = false;
    } else {
      f_.state = -1;
    }
  }
  ~ExclusiveBorrow() {
    if (ok_) f_.state = 0;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  explicit operator bool() const { return ok_; }

 private:
  BorrowFlag& f_;
  bool ok_ = true;
};

}  // namespace veltrac::py
