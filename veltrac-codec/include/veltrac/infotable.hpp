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
#include "veltrac/detail/table_store.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac {
class InfoTable;
namespace detail {
// The binary decoder of tables (internal; InfoTable's friend). Bulk reads runs of plain cells straight from
// the input; Reference reads every cell through the general reader, which Bulk is tested against.
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
  // Room for `rows` more rows holding `values` values in all, so that appending them moves no cells. Both
  // grow geometrically: reserving batch after batch stays linear.
  void reserve(size_t rows, size_t values) {
    cells_.reserve_more(values);
    if (row_ends_.capacity() - row_ends_.size() < rows) {
      row_ends_.reserve(std::max(row_ends_.size() + rows, row_ends_.capacity() * 2));
    }
  }

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
  // Rows of texts, numbers, integers and booleans are written in place, others value by value (see
  // detail::SimpleRows).
  Result<void> write_simple_json(std::string& out) const;

  // InfoTable { datashape: .., rows: [..] }
  std::string debug_text() const;
  void append_debug(std::string& out) const;

 private:
  friend Result<InfoTable> detail::read_table(ByteReader& r, unsigned depth, detail::CellDecoder how);

  // All rows' values back to back; row i ends at row_ends_[i].
  CellStore cells_;
  std::vector<size_t> row_ends_;
  TextStore texts_;
};

}  // namespace veltrac
VELTRAC_API_END
