// InfoTable: a data shape and rows of typed values.
#pragma once

#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "datashape/datashape.hpp"
#include "error/error.hpp"
#include "primitive/hc_prim.hpp"
#include "primitive/value_codec.hpp"
#include "util/bytes.hpp"

namespace veltrac {

struct InfoTableRow {
  std::vector<HcPrim> fields;

  bool operator==(const InfoTableRow&) const = default;

  // Count (u16), then each value with its type code. Fails for more than 65535 values.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  // Reads a row starting at its count (after its marker).
  static Result<Decoded<InfoTableRow>> from_bytes(Bytes in);

  // Record {"fields":[tagged values]}; "struct InfoTableRow" / "struct InfoTableRow with 1 element".
  std::expected<void, json::Error> write_json(std::string& out) const;
  static std::expected<InfoTableRow, json::Error> read_json(json::Reader& r);

  // InfoTableRow { fields: [..] }
  void append_debug(std::string& out) const;
};

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

class InfoTable {
 public:
  // One row's values, in field order.
  using Row = std::span<const HcPrim>;

  DataShape datashape;

  InfoTable() = default;
  explicit InfoTable(std::optional<std::string> shape_name) : datashape(std::move(shape_name)) {}
  InfoTable(const InfoTable& o);
  InfoTable(InfoTable&&) noexcept = default;
  InfoTable& operator=(const InfoTable& o);
  InfoTable& operator=(InfoTable&&) noexcept = default;
  ~InfoTable() = default;

  bool operator==(const InfoTable& o) const;

  size_t row_count() const { return row_ends_.size(); }
  size_t field_count() const { return datashape.size(); }
  Row row(size_t i) const {
    size_t begin = i == 0 ? 0 : row_ends_[i - 1];
    return {cells_.data() + begin, row_ends_[i] - begin};
  }
  const std::optional<std::string>& datashape_name() const { return datashape.name; }
  // Inserts a field definition under its name (replacing one of the same name in place).
  void add_field_definition(DataShapeEntry entry) { datashape.add(std::move(entry)); }
  void add_row(InfoTableRow row) { append_row(row.fields); }
  // Appends a row made of `values`, moving them out (they are left NOTHING).
  void append_row(std::span<HcPrim> values);

  // Rows in order: for (InfoTable::Row row : table.rows()) ...
  class RowRange {
   public:
    class iterator {
     public:
      iterator(const InfoTable* t, size_t i) : t_(t), i_(i) {}
      Row operator*() const { return t_->row(i_); }
      iterator& operator++() {
        ++i_;
        return *this;
      }
      bool operator!=(const iterator& o) const { return i_ != o.i_; }

     private:
      const InfoTable* t_;
      size_t i_;
    };
    explicit RowRange(const InfoTable* t) : t_(t) {}
    iterator begin() const { return {t_, 0}; }
    iterator end() const { return {t_, t_->row_count()}; }

   private:
    const InfoTable* t_;
  };
  RowRange rows() const { return RowRange(this); }

  // ---- binary form: data shape block, each row after the marker 0x01, then 0x00 ----
  Result<size_t> to_bytes(ByteBuffer& out) const;
  static Result<Decoded<InfoTable>> from_bytes(Bytes in);
  Result<size_t> encoded_size() const;

  // ---- JSON record form: {"datashape":{..},"rows":[{"fields":[..]},..]} ----
  std::expected<void, json::Error> write_json(std::string& out) const;
  // "struct InfoTable" / "struct InfoTable with 2 elements" in errors.
  static std::expected<InfoTable, json::Error> read_json(json::Reader& r);
  // The record form as one compact text.
  std::expected<std::string, json::Error> to_json() const;

  // ---- simple JSON: {"dataShape":{..},"rows":[{key: simple value,..},..]} ----
  Result<json::Value> to_simple_json() const;
  // Same text as writing to_simple_json()'s value, written straight into `out`.
  Result<void> write_simple_json(std::string& out) const;

  // InfoTable { datashape: .., rows: [..] }
  std::string debug_text() const;
  void append_debug(std::string& out) const;

 private:
  friend Result<InfoTable> detail::read_table(ByteReader& r, unsigned depth);

  // All rows' values back to back; row i ends at row_ends_[i].
  CellStore cells_;
  std::vector<size_t> row_ends_;
  TextStore texts_;
};

}  // namespace veltrac
