// InfoTable: a data shape and rows of typed values.
#pragma once

#include <algorithm>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "veltrac/bytes.hpp"
#include "veltrac/datashape.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac::detail {
struct TableStore;
struct TableAccess;
}  // namespace veltrac::detail

VELTRAC_API_BEGIN
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

// A table is a value: a copy behaves as an independent table. Copies share their rows until one of them
// changes (copy on write), so copying, assigning or handing a table on (in a message, in a value) costs the
// copy of the data shape and is independent of the number of rows; the first change of a table whose rows are
// shared copies them, linear in their values and text bytes. Copies may be used and released on different
// threads; one table (one object) is not to be changed while another thread reads it.
class InfoTable {
 public:
  // One row's values, in field order.
  using Row = std::span<const HcPrim>;

  DataShape datashape;

  InfoTable() = default;
  explicit InfoTable(std::optional<std::string> shape_name) : datashape(std::move(shape_name)) {}
  // Shares the rows of `o` (see above).
  InfoTable(const InfoTable& o);
  InfoTable(InfoTable&& o) noexcept
      : datashape(std::move(o.datashape)),
        store_(std::exchange(o.store_, nullptr)),
        cells_(std::exchange(o.cells_, nullptr)),
        row_ends_(std::exchange(o.row_ends_, nullptr)),
        rows_(std::exchange(o.rows_, 0)) {}
  InfoTable& operator=(const InfoTable& o);
  InfoTable& operator=(InfoTable&& o) noexcept {
    InfoTable tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  ~InfoTable();
  void swap(InfoTable& o) noexcept {
    std::swap(datashape, o.datashape);
    std::swap(store_, o.store_);
    std::swap(cells_, o.cells_);
    std::swap(row_ends_, o.row_ends_);
    std::swap(rows_, o.rows_);
  }

  bool operator==(const InfoTable& o) const;

  size_t row_count() const { return rows_; }
  size_t field_count() const { return datashape.size(); }
  // Row i (i < row_count()); valid until the table changes or goes.
  Row row(size_t i) const {
    size_t begin = i == 0 ? 0 : row_ends_[i - 1];
    return {cells_ + begin, row_ends_[i] - begin};
  }
  const std::optional<std::string>& datashape_name() const { return datashape.name; }
  // Inserts a field definition under its name (replacing one of the same name in place).
  void add_field_definition(DataShapeEntry entry) { datashape.add(std::move(entry)); }
  void add_row(InfoTableRow row) { append_row(row.fields); }
  // Appends a row made of `values`, moving them out (they are left NOTHING).
  void append_row(std::span<HcPrim> values);
  // Room for `rows` more rows holding `values` values in all, so that appending them moves no cells.
  void reserve(size_t rows, size_t values);

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
  // Rows of texts, numbers, integers and booleans are written in place, others value by value.
  Result<void> write_simple_json(std::string& out) const;

  // InfoTable { datashape: .., rows: [..] }
  std::string debug_text() const;
  void append_debug(std::string& out) const;

 private:
  friend struct detail::TableAccess;
  // The storage, this table's own or shared with copies, created or detached before a change.
  detail::TableStore& own();
  // Refreshes the view below after the storage changed.
  void sync() noexcept;
  struct SyncOnExit;

  detail::TableStore* store_ = nullptr;  // null: no rows
  // A view of the storage's rows: row i's values end at cells_ + row_ends_[i].
  const HcPrim* cells_ = nullptr;
  const size_t* row_ends_ = nullptr;
  size_t rows_ = 0;
};

}  // namespace veltrac
VELTRAC_API_END
