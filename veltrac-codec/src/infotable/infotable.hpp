// InfoTable: a data shape and rows of typed values.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "datashape/datashape.hpp"
#include "error/error.hpp"
#include "primitive/hc_prim.hpp"
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

class InfoTable {
 public:
  DataShape datashape;
  std::vector<InfoTableRow> rows;

  InfoTable() = default;
  explicit InfoTable(std::optional<std::string> shape_name) : datashape(std::move(shape_name)) {}

  bool operator==(const InfoTable&) const = default;

  size_t row_count() const { return rows.size(); }
  size_t field_count() const { return datashape.size(); }
  const std::optional<std::string>& datashape_name() const { return datashape.name; }
  // Inserts a field definition under its name (replacing one of the same name in place).
  void add_field_definition(DataShapeEntry entry) { datashape.add(std::move(entry)); }
  void add_row(InfoTableRow row) { rows.push_back(std::move(row)); }

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
};

}  // namespace veltrac
