// Aspects: named, typed attributes of a definition (a map from aspect name to HcPrim), and the constant
// table of the 64 predefined aspect names with their base types.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "veltrac/base_type.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/detail/ordered_map.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"
#include "veltrac/primitive.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

struct AspectDef {
  std::string_view name;
  BaseType type;
};

inline constexpr size_t kAspectCount = 64;

// The predefined aspect names and their base types.
extern const std::array<AspectDef, kAspectCount> ASPECTS_MAP;

// Predefined base type of a name, or nothing. Constant-time, allocates nothing.
std::optional<BaseType> lookup_aspect(std::string_view name) noexcept;

// Predefined base type of a name; STRING for any other name, with a warning diagnostic
// (target "veltrac_codec::aspect::impls").
BaseType get_base_type(std::string_view name);

class Aspects;
namespace detail {
// How Aspects::read_json reads values: Direct reads a scalar whose JSON kind matches its type straight from
// the text; Reference converts every value from a JSON value, which Direct is tested against.
enum class AspectValues : unsigned char { Direct, Reference };
std::expected<Aspects, json::Error> read_aspects_json(json::Reader& r, AspectValues how);
// The same into `out`, which is empty (left partly filled on failure).
std::expected<void, json::Error> read_aspects_json(json::Reader& r, AspectValues how, Aspects& out);
Result<Aspects> read_aspects(ByteReader& r, unsigned depth);
}  // namespace detail

// Map from aspect name to value. Iterates in insertion order; inserting a present name replaces its value
// and keeps its position.
class Aspects {
 public:
  using Map = OrderedMap<HcPrim>;
  using value_type = Map::value_type;

  Aspects() = default;

  size_t size() const { return inner_.size(); }
  bool empty() const { return inner_.empty(); }
  const HcPrim* find(std::string_view name) const { return inner_.find(name); }
  HcPrim* find(std::string_view name) { return inner_.find(name); }
  void insert(std::string name, HcPrim value) { inner_.insert(std::move(name), std::move(value)); }
  void reserve(size_t n) { inner_.reserve(n); }
  Map::const_iterator begin() const { return inner_.begin(); }
  Map::const_iterator end() const { return inner_.end(); }
  const Map& inner() const { return inner_; }

  // Same names with equal values, in any order.
  bool operator==(const Aspects& o) const;

  // ---- binary form: count (u16), then name (length-prefixed) and value (HcPrim form) per entry ----
  // Fails for more than 65535 entries.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  static Result<Decoded<Aspects>> from_bytes(Bytes in);

  // ---- typed JSON: one object, each value in the typed form of its name's predefined type ----
  // A value that does not convert fails with a JSON error carrying the conversion error's text.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // Reads one object ("struct Aspects" in errors).
  static std::expected<Aspects, json::Error> read_json(json::Reader& r);

  // ---- simple JSON: object of the values' simple forms (keys sorted) ----
  Result<void> write_simple_json(std::string& out) const;

  // Aspects { inner: {"name": VALUE, ...} }
  std::string debug_text() const;
  void append_debug(std::string& out) const;
  // The map part alone: {"name": VALUE, ...}
  void append_debug_map(std::string& out) const;

 private:
  friend std::expected<void, json::Error> detail::read_aspects_json(json::Reader& r, detail::AspectValues how,
                                                                    Aspects& out);
  friend Result<Aspects> detail::read_aspects(ByteReader& r, unsigned depth);
  Map inner_;
};

}  // namespace veltrac
VELTRAC_API_END
