// The facts of each type family, written once: the binary codec (primitive/wire.hpp), the three JSON forms
// (primitive/prim_json.cpp), the Arrow layer (arrow/) and the Python conversions read them from here.
//
// A base type joins a family by its row in the base type table (base/base_type.cpp); a new family is one row
// here plus its codec functions. Each row: the family's debug name, the kind of value that stores it, its
// payload on the wire (and the width of fixed payloads), the prefix of a typed JSON write that finds a value
// of another kind, the Arrow format of its column, and the base type a value of that kind takes when nothing
// names one (Arrow import, Python values).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "veltrac/base_type.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac::detail {

// The payload after a value's type code:
//   Fixed     `width` bytes big-endian: NUMBER the double's bits, INTEGER (4), LONG and DATETIME (8)
//             two's complement, BOOLEAN one byte (nonzero is true)
//   Text      a length-prefixed UTF-8 string (util/stream_string.hpp)
//   Blob      a four-byte length with the top bit set (always, also when short or empty), then the bytes
//   Location  three doubles: longitude, latitude, elevation
//   Variant   the inner value with its own type code
//   Table     a table's binary form
//   None      nothing (NOTHING)
//   Refused   HC_NULL: has no binary form and is refused when read
enum class Payload : uint8_t { None, Fixed, Text, Blob, Location, Variant, Table, Refused };

// Length-prefixed texts and blobs carry 31-bit lengths.
inline constexpr size_t kMaxWireLength = 0x7FFFFFFF;

struct Family {
  TypeFamily family;
  std::string_view name;          // debug name, e.g. "HC_STRING"
  bool has_values;                // false for HC_NULL: no kind stores it
  PrimKind kind;                  // the kind that stores its values (NOTHING where there are none)
  Payload payload;                //
  uint8_t width;                  // payload bytes of Fixed and Location
  std::string_view typed_prefix;  // a typed JSON write of a value of another kind; empty: no typed rule
  std::string_view arrow_format;  // the column's Arrow format ("z" with 32-bit offsets for text and bytes)
  BaseType plain;                 // the base type of a value of `kind` that no name types
};

// Indexed by the family's value + 1 (HC_NOTHING is -1).
inline constexpr std::array<Family, 12> kFamilies = {{
    {TypeFamily::HC_NOTHING, "HC_NOTHING", true, PrimKind::NOTHING, Payload::None, 0, "", "n", BaseType::NOTHING},
    {TypeFamily::HC_STRING, "HC_STRING", true, PrimKind::STRING, Payload::Text, 0, "not a string,value: ", "u",
     BaseType::STRING},
    {TypeFamily::HC_VARIANT, "HC_VARIANT", true, PrimKind::VARIANT, Payload::Variant, 0, "not a variant, value: ", "z",
     BaseType::VARIANT},
    {TypeFamily::HC_NUMBER, "HC_NUMBER", true, PrimKind::NUMBER, Payload::Fixed, 8, "not a number, value: ", "g",
     BaseType::NUMBER},
    {TypeFamily::HC_INTEGER, "HC_INTEGER", true, PrimKind::INTEGER, Payload::Fixed, 4, "not a integer, value: ", "i",
     BaseType::INTEGER},
    {TypeFamily::HC_LONG, "HC_LONG", true, PrimKind::LONG, Payload::Fixed, 8, "not a long, value: ", "l",
     BaseType::LONG},
    {TypeFamily::HC_BOOLEAN, "HC_BOOLEAN", true, PrimKind::BOOLEAN, Payload::Fixed, 1, "not a boolean, value: ", "b",
     BaseType::BOOLEAN},
    {TypeFamily::HC_DATETIME, "HC_DATETIME", true, PrimKind::DATETIME, Payload::Fixed, 8,
     "not a datetime, value: ", "tsm:UTC", BaseType::DATETIME},
    {TypeFamily::HC_BLOB, "HC_BLOB", true, PrimKind::BLOB, Payload::Blob, 0, "not a blob, value: ", "z",
     BaseType::BLOB},
    {TypeFamily::HC_LOCATION, "HC_LOCATION", true, PrimKind::LOCATION, Payload::Location, 24,
     "not a location, value: ", "+s", BaseType::LOCATION},
    {TypeFamily::HC_INFOTABLE, "HC_INFOTABLE", true, PrimKind::INFOTABLE, Payload::Table, 0,
     "not a infotable, value: ", "z", BaseType::INFOTABLE},
    {TypeFamily::HC_NULL, "HC_NULL", false, PrimKind::NOTHING, Payload::Refused, 0, "", "n", BaseType::NOTHING},
}};

constexpr const Family& family_of(TypeFamily f) { return kFamilies[static_cast<size_t>(static_cast<int>(f) + 1)]; }
inline const Family& family_of(BaseType t) { return family_of(get_family(t)); }

// The family each kind stores (each kind stores exactly one).
inline constexpr std::array<const Family*, kPrimKindCount> kKindFamily = [] {
  std::array<const Family*, kPrimKindCount> t{};
  for (const Family& f : kFamilies) {
    if (f.has_values) t[static_cast<size_t>(f.kind)] = &f;
  }
  return t;
}();
constexpr const Family& family_of(PrimKind k) { return *kKindFamily[static_cast<size_t>(k)]; }

// Kind names in kind order ("NOTHING", "STRING", ... "VARIANT"): the tagged JSON form's keys.
inline constexpr std::string_view kKindNames[kPrimKindCount] = {
    "NOTHING", "STRING", "NUMBER", "INTEGER", "LONG", "BOOLEAN", "LOCATION", "BLOB", "DATETIME", "INFOTABLE", "VARIANT",
};

}  // namespace veltrac::detail
