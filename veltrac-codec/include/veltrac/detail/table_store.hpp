// Storage of a decoded table's cells and texts, used by InfoTable's definition. Not a stable interface:
// these types may change in any release.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "veltrac/export.hpp"
#include "veltrac/primitive.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

// Storage blocks of tables. Large blocks freed by one table are kept (per thread, a few MiB at most) and
// handed to the next, so that decoding table after table does not give megabytes back to the system and
// fault them in again every time.
namespace table_blocks {
// A block of at least `size` bytes; `size` becomes the block's real size.
void* take(size_t& size);
void give(void* block, size_t size) noexcept;
// Bytes kept for reuse on this thread (for heap accounting).
size_t kept_bytes() noexcept;
}  // namespace table_blocks

// Owns the texts of a decoded table's cells: blocks that grow geometrically and never move, so a cell can
// point into them for as long as the table lives.
class TextStore {
 public:
  TextStore() = default;
  TextStore(const TextStore&) = delete;
  TextStore& operator=(const TextStore&) = delete;
  TextStore(TextStore&& o) noexcept;
  TextStore& operator=(TextStore&& o) noexcept;
  ~TextStore() { release(); }

  // Room for n bytes. A new block holds at least n and at most max(n, `bound`) bytes: the caller's bound
  // on what it will still ask for.
  char* alloc(size_t n, size_t bound) {
    Room r = room();
    char* p = r.alloc(n, bound, *this);
    give_back(r);
    return p;
  }

  // The free room of the current block, for a caller that stores many texts in a loop: it takes the room,
  // allocates from its copy (`grow` when a text does not fit) and gives the room back before anyone else
  // allocates from the store.
  struct Room {
    char* next;
    size_t left;
    char* alloc(size_t n, size_t bound, TextStore& store) {
      if (n > left) *this = store.grow(*this, n, bound);
      char* p = next;
      next += n;
      left -= n;
      return p;
    }
  };
  Room room() const { return {next_, left_}; }
  void give_back(Room r) {
    next_ = r.next;
    left_ = r.left;
  }
  Room grow(Room current, size_t n, size_t bound) {
    give_back(current);
    new_block(n, bound);
    return room();
  }

 private:
  void new_block(size_t n, size_t bound);
  void release() noexcept;

  struct Block {
    char* data;
    size_t size;
  };
  std::vector<Block> blocks_;
  char* next_ = nullptr;
  size_t left_ = 0;
  size_t block_size_ = 0;
};

// The values of all rows of a table, back to back in one block. Cells are built in place; a table whose
// cells own no heap memory (scalars, texts in its TextStore) frees the block without visiting them.
class CellStore {
 public:
  CellStore() = default;
  CellStore(const CellStore&) = delete;
  CellStore& operator=(const CellStore&) = delete;
  CellStore(CellStore&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)),
        may_own_(std::exchange(o.may_own_, false)) {}
  CellStore& operator=(CellStore&& o) noexcept {
    CellStore tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  ~CellStore() { clear(); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  const HcPrim* data() const { return data_; }
  HcPrim* data() { return data_; }
  std::span<const HcPrim> view() const { return {data_, size_}; }

  // Room for at least n cells in all.
  void reserve(size_t n) {
    if (n > capacity_) relocate(n);
  }
  // Room for n more cells, growing geometrically.
  void reserve_more(size_t n) {
    if (capacity_ - size_ < n) relocate(std::max(size_ + n, capacity_ * 2));
  }
  // Appends a value (requires room).
  void push_back(HcPrim&& v) {
    may_own_ = true;
    new (data_ + size_++) HcPrim(std::move(v));
  }
  // The uninitialised room after the last cell, and the commit of n cells built there (requires room).
  HcPrim* end_room() { return data_ + size_; }
  void commit(size_t n, bool may_own) {
    size_ += n;
    may_own_ = may_own_ || may_own;
  }
  void clear() noexcept;
  void swap(CellStore& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
    std::swap(may_own_, o.may_own_);
  }

 private:
  void relocate(size_t capacity);

  HcPrim* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool may_own_ = false;  // false: no cell owns heap memory
};

}  // namespace veltrac
VELTRAC_API_END
