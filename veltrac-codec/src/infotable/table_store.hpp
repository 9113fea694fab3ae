// A table's storage (cells, row ends, texts), shared by the copies of a table until one of them changes, and
// the internal entry points of the table codecs. Internal: not installed.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "primitive/prim_access.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac {

// Storage blocks of tables. Large blocks freed by one table are kept (per thread, a few MiB at most) and
// handed to the next, so that decoding table after table does not give megabytes back to the system and
// fault them in again every time. Every block comes from operator new, so a block taken on one thread may
// be given on another (it then joins that thread's cache).
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

  // Where the texts of `o` lie in this store after copy_of(o): each block's bytes in use, copied whole.
  class Moves {
   public:
    // The copy of a text of `o` that starts at p.
    const char* operator()(const char* p) {
      const auto a = reinterpret_cast<uintptr_t>(p);
      if (a - at_->from >= at_->size) {
        at_ = std::prev(
            std::upper_bound(moves_.begin(), moves_.end(), a, [](uintptr_t q, const Move& m) { return q < m.from; }));
      }
      return at_->to + (a - at_->from);
    }

   private:
    friend class TextStore;
    struct Move {
      uintptr_t from;
      size_t size;
      char* to;
    };
    std::vector<Move> moves_;  // by source address
    std::vector<Move>::const_iterator at_;
  };
  // Takes `room` (n bytes that outlive the store and are not its to free) as the first block of a store that
  // has none yet.
  void adopt_first(char* room, size_t n) {
    first_ = {room, n, 0};
    first_borrowed_ = true;
    block_size_ = std::max<size_t>(n, 32);  // the next block at least 64 bytes
    next_ = room;
    left_ = n;
  }
  // Bytes in use.
  size_t used() const;

  // Copies every text of `o` into one new block of this (empty) store: linear in the bytes in use.
  Moves copy_of(const TextStore& o);

 private:
  void new_block(size_t n, size_t bound);
  void release() noexcept;

  struct Block {
    char* data = nullptr;
    size_t size = 0;
    size_t used = 0;  // bytes in use; of the last block, size - left_
  };
  size_t block_count() const { return first_.data == nullptr ? 0 : 1 + more_.size(); }
  const Block& block(size_t i) const { return i == 0 ? first_ : more_[i - 1]; }
  size_t bytes_used(size_t i) const { return i + 1 == block_count() ? block(i).size - left_ : block(i).used; }

  // The blocks in order: the first one here (a small table has one), later ones in more_.
  Block first_;
  std::vector<Block> more_;
  bool first_borrowed_ = false;  // first_ is room lent by the owner, not a block to give back
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
        may_own_(std::exchange(o.may_own_, false)),
        borrowed_(std::exchange(o.borrowed_, false)) {}
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
    std::swap(borrowed_, o.borrowed_);
  }
  // Takes `room` (capacity cells that outlive the store and are not its to free) as the block of an empty
  // store; growing moves the cells to a block of its own.
  void adopt(HcPrim* room, size_t capacity) {
    data_ = room;
    capacity_ = capacity;
    borrowed_ = true;
  }

 private:
  void relocate(size_t capacity);
  void give_block() noexcept;

  HcPrim* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool may_own_ = false;   // false: no cell owns heap memory
  bool borrowed_ = false;  // data_ is room lent by the owner, not a block to give back
};

namespace detail {

// Rows converted outside a table and then appended to it in one step (the Python row builders, whose
// conversions may run Python code, so the table is not touched before the end). Texts go into one pending
// buffer and their cells are placeholders until the rows join the table, where the texts are copied into
// its text store in one piece: a row costs no allocation of its own.
class RowBatch {
 public:
  RowBatch() = default;
  RowBatch(const RowBatch&) = delete;
  RowBatch& operator=(const RowBatch&) = delete;
  ~RowBatch();

  size_t rows() const { return ends_.size(); }
  // Room for `rows` more rows of `cells` values in all (both counts of values the caller holds).
  void reserve(size_t rows, size_t cells);
  // Room for n more values, growing geometrically; the add functions below require room.
  void room_for(size_t n) {
    if (cap_ - size_ < n) grow(n);
  }
  void add_text(BaseType t, std::string_view s) {
    if (s.size() >= UINT32_MAX) return add_long_text(t, s);
    if (text_cap_ - text_size_ < s.size()) grow_texts(s.size());
    if (!s.empty()) std::memcpy(texts_ + text_size_, s.data(), s.size());
    // Until the rows join a table, a text's cell holds its offset in the pending buffer.
    PrimAccess::emplace_borrowed_text(cells_ + size_++, t, reinterpret_cast<const char*>(text_size_), s.size());
    text_size_ += s.size();
  }
  void add_u64(PrimKind k, BaseType t, uint64_t bits) { PrimAccess::emplace_u64(cells_ + size_++, k, t, bits); }
  void add_i32(BaseType t, int32_t v) { PrimAccess::emplace_i32(cells_ + size_++, t, v); }
  void add_bool(BaseType t, bool v) { PrimAccess::emplace_bool(cells_ + size_++, t, v); }
  // Closes the open row.
  void end_row() {
    ends_.push_back(size_);
    open_texts_ = text_size_;
  }
  // Drops every row, the open one too; keeps the room.
  void clear() noexcept;
  // Appends the closed rows to `t` (the open row is dropped) and empties the batch. When it throws (out of
  // memory), `t` keeps its rows.
  void append_to(InfoTable& t);

 private:
  void grow(size_t n);
  void add_long_text(BaseType t, std::string_view s);
  void grow_texts(size_t n);
  void drop_cells() noexcept;

  HcPrim* cells_ = nullptr;  // size_ built values in room for cap_
  size_t size_ = 0;
  size_t cap_ = 0;
  bool owns_ = false;  // some cell owns heap memory
  std::vector<size_t> ends_;
  char* texts_ = nullptr;  // the pending texts: text_size_ bytes in room for text_cap_
  size_t text_size_ = 0;
  size_t text_cap_ = 0;
  size_t open_texts_ = 0;  // text_size_ when the open row began
};

// The storage that the copies of a table share. Shared (refs > 1), it is never changed: a copy that changes
// first gets a storage of its own (InfoTable::own). refs is atomic, so copies of one table may live and die
// on different threads; a storage is changed only by the one table that holds it alone.
struct TableStore {
  std::atomic<size_t> refs{1};
  // All rows' values back to back; row i ends at row_ends[i].
  CellStore cells;
  std::vector<size_t> row_ends;
  TextStore texts;

  // A new storage; with room for `cells` cells and `text` text bytes in its own block (a small table then
  // takes one block besides its row ends).
  static TableStore* make(size_t cells = 0, size_t text = 0);
  // Frees a storage that make or copy_of made.
  static void destroy(TableStore* s) noexcept;
  // A storage of its own with the same rows: linear in the cells and text bytes.
  static TableStore* copy_of(const TableStore& o);
};

// Internal access to a table's storage, for the decoders and the tests.
struct TableAccess {
  // The table's storage, its own (created or detached as needed); call sync(t) after changing it.
  static TableStore& own(InfoTable& t) { return t.own(); }
  // The storage of a table that has none yet, made with room for `cells` cells, `rows` row ends and `text`
  // text bytes (call sync(t) after changing it).
  static TableStore& own_small(InfoTable& t, size_t cells, size_t rows, size_t text);
  static void sync(InfoTable& t) noexcept { t.sync(); }
  // Whether two tables share their storage (both empty counts as sharing).
  static bool shares(const InfoTable& a, const InfoTable& b) { return a.store_ == b.store_; }
};

// The binary decoder of tables. Bulk reads runs of plain cells straight from the input; Reference reads
// every cell through the general reader, which Bulk is tested against.
enum class CellDecoder : unsigned char { Bulk, Reference };
Result<InfoTable> read_table(ByteReader& r, unsigned depth, CellDecoder how = CellDecoder::Bulk);
// The simple JSON writer of tables: InPlace writes rows of texts, numbers, integers and booleans straight
// into room reserved for the row; Reference writes every row value by value, which InPlace is tested against.
// When `ascii` is given, it tells whether every byte written is below 0x80 (the texts' bytes are seen on the
// way, so a caller that needs to know spares itself a pass over the whole text).
enum class SimpleRows : unsigned char { InPlace, Reference };
Result<void> write_simple_json(const InfoTable& t, std::string& out, SimpleRows how, bool* ascii = nullptr);

}  // namespace detail
}  // namespace veltrac
