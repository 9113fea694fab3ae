// DataShape: the ordered field definitions (DataShapeEntry) of a table, with an optional shape name.
#pragma once

#include <algorithm>
#include <atomic>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// Entries keyed by field name, in column order; a present key is replaced in place. Copies share their
// entries until one of them changes (copy on write): copying a shape costs one counter increment, and the
// first change of shared entries copies them. Copies may be used and released on different threads.
class DataShapeEntries {
 public:
  using Map = OrderedMap<DataShapeEntry>;
  using value_type = Map::value_type;

  DataShapeEntries() noexcept = default;
  DataShapeEntries(const DataShapeEntries& o) noexcept : p_(o.p_) {
    if (p_ != nullptr) p_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  DataShapeEntries(DataShapeEntries&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  DataShapeEntries& operator=(const DataShapeEntries& o) noexcept {
    DataShapeEntries tmp(o);
    std::swap(p_, tmp.p_);
    return *this;
  }
  DataShapeEntries& operator=(DataShapeEntries&& o) noexcept {
    DataShapeEntries tmp(std::move(o));
    std::swap(p_, tmp.p_);
    return *this;
  }
  ~DataShapeEntries() { release(p_); }

  size_t size() const { return p_ == nullptr ? 0 : p_->map.size(); }
  bool empty() const { return size() == 0; }
  // Returns the entry's position.
  size_t insert(std::string key, DataShapeEntry entry) { return own().insert(std::move(key), std::move(entry)); }
  const DataShapeEntry* find(std::string_view key) const { return p_ == nullptr ? nullptr : p_->map.find(key); }
  static constexpr size_t npos = Map::npos;
  size_t position(std::string_view key) const { return p_ == nullptr ? npos : p_->map.position(key); }
  // (key, entry) at a position.
  const value_type& at(size_t pos) const { return p_->map.at(pos); }
  Map::const_iterator begin() const { return p_ == nullptr ? nullptr : p_->map.begin(); }
  Map::const_iterator end() const { return p_ == nullptr ? nullptr : p_->map.end(); }
  void reserve(size_t n) {
    if (n > 0) own().reserve(n);
  }
  // Whether two shapes share their entries (both empty counts as sharing).
  bool shares(const DataShapeEntries& o) const { return p_ == o.p_; }

  // Same pairs in the same order.
  bool operator==(const DataShapeEntries& o) const { return p_ == o.p_ || std::ranges::equal(*this, o); }

  // The entries object: {"key":{entry record},...} in position order.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // "an indexed map" in errors; a repeated key replaces the earlier entry in its position.
  static std::expected<DataShapeEntries, json::Error> read_json(json::Reader& r);

  // {"key": DataShapeEntry { .. }, ...}
  void append_debug(std::string& out) const;

 private:
  struct Shared {
    std::atomic<size_t> refs{1};
    Map map;
  };
  // The entries to change: created, or detached from the copies that share them.
  Map& own();
  static void release(Shared* p) noexcept;

  Shared* p_ = nullptr;  // null: no entries
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
