// DataShape: the ordered field definitions (DataShapeEntry) of a table, with an optional shape name.
#pragma once

#include <algorithm>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "veltrac/aspects.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/detail/ordered_map.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

struct DataShapeEntry {
  std::string name;
  std::string description;
  BaseType entry_type = BaseType::STRING;
  Aspects aspects;

  bool operator==(const DataShapeEntry&) const = default;

  // Appends the marker 0x01, then name, description, type code and aspects.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  // Reads one entry starting right after its marker.
  static Result<Decoded<DataShapeEntry>> from_bytes(Bytes in);

  // Record {"name":..,"description":..,"baseType":..,"aspects":{..}}.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // "struct DataShapeEntry" / "struct DataShapeEntry with 4 elements" in errors.
  static std::expected<DataShapeEntry, json::Error> read_json(json::Reader& r);

  // DataShapeEntry { name: "..", description: "..", entry_type: T, aspects: Aspects { .. } }
  void append_debug(std::string& out) const;
};

// Entries keyed by field name, in column order; a present key is replaced in place.
class DataShapeEntries {
 public:
  using Map = OrderedMap<DataShapeEntry>;
  using value_type = Map::value_type;

  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  // Returns the entry's position.
  size_t insert(std::string key, DataShapeEntry entry) { return map_.insert(std::move(key), std::move(entry)); }
  const DataShapeEntry* find(std::string_view key) const { return map_.find(key); }
  static constexpr size_t npos = Map::npos;
  size_t position(std::string_view key) const { return map_.position(key); }
  // (key, entry) at a position.
  const value_type& at(size_t pos) const { return map_.at(pos); }
  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }
  void reserve(size_t n) { map_.reserve(n); }

  // Same pairs in the same order.
  bool operator==(const DataShapeEntries& o) const { return std::ranges::equal(map_.items(), o.map_.items()); }

  // The entries object: {"key":{entry record},...} in position order.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // "an indexed map" in errors; a repeated key replaces the earlier entry in its position.
  static std::expected<DataShapeEntries, json::Error> read_json(json::Reader& r);

  // {"key": DataShapeEntry { .. }, ...}
  void append_debug(std::string& out) const;

 private:
  Map map_;
};

class DataShape {
 public:
  std::optional<std::string> name;
  DataShapeEntries entries;

  DataShape() = default;
  explicit DataShape(std::optional<std::string> shape_name) : name(std::move(shape_name)) {}

  bool operator==(const DataShape&) const = default;

  size_t size() const { return entries.size(); }
  // Inserts under the entry's own name.
  size_t add(DataShapeEntry entry) {
    std::string key = entry.name;
    return entries.insert(std::move(key), std::move(entry));
  }

  // The data shape block: each entry with its marker, then 0x00.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  // Reads a whole block; the shape has no name.
  static Result<Decoded<DataShape>> from_bytes(Bytes in);

  // Record {"name":..|null,"entries":{..}}.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // "struct DataShape" / "DataShape with 2 elements" in errors.
  static std::expected<DataShape, json::Error> read_json(json::Reader& r);

  // {"fieldDefinitions":{key:{"aspects","baseType","description","name","ordinal"}},"name":..}
  Result<void> write_simple_json(std::string& out) const;

  // DataShape { name: None|Some("n"), entries: {..} }
  std::string debug_text() const;
  void append_debug(std::string& out) const;
};

}  // namespace veltrac
VELTRAC_API_END
