// The binary form of each type family, stated once: the size pass (size_prim, size_row), the writer
// (write_prim), the bulk cell decoder (table/binary.cpp) and the general reader (read_cell) all consult it.
//
// A value is its type code (one byte), then its payload:
//   Fixed     `width` bytes big-endian: NUMBER the double's bits, INTEGER (4), LONG and DATETIME (8)
//             two's complement, BOOLEAN one byte (nonzero is true)
//   Text      a length-prefixed UTF-8 string (util/stream_string.hpp)
//   Blob      a four-byte length with the top bit set (always, also when short or empty), then the bytes
//   Location  three doubles: longitude, latitude, elevation
//   Variant   the inner value with its own type code
//   Table     a table's binary form
//   None      nothing (NOTHING)
//   Refused   HC_NULL: has no binary form and is refused when read
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "primitive/prim_access.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac::detail {

enum class Payload : uint8_t { None, Fixed, Text, Blob, Location, Variant, Table, Refused };

struct Wire {
  Payload payload;
  uint8_t width;  // payload bytes of Fixed and Location
  PrimKind kind;  // the kind that stores the family's values
};

constexpr Wire wire_of(TypeFamily f) {
  switch (f) {
    case TypeFamily::HC_NOTHING: return {Payload::None, 0, PrimKind::NOTHING};
    case TypeFamily::HC_STRING: return {Payload::Text, 0, PrimKind::STRING};
    case TypeFamily::HC_NUMBER: return {Payload::Fixed, 8, PrimKind::NUMBER};
    case TypeFamily::HC_INTEGER: return {Payload::Fixed, 4, PrimKind::INTEGER};
    case TypeFamily::HC_LONG: return {Payload::Fixed, 8, PrimKind::LONG};
    case TypeFamily::HC_DATETIME: return {Payload::Fixed, 8, PrimKind::DATETIME};
    case TypeFamily::HC_BOOLEAN: return {Payload::Fixed, 1, PrimKind::BOOLEAN};
    case TypeFamily::HC_LOCATION: return {Payload::Location, 24, PrimKind::LOCATION};
    case TypeFamily::HC_BLOB: return {Payload::Blob, 0, PrimKind::BLOB};
    case TypeFamily::HC_VARIANT: return {Payload::Variant, 0, PrimKind::VARIANT};
    case TypeFamily::HC_INFOTABLE: return {Payload::Table, 0, PrimKind::INFOTABLE};
    case TypeFamily::HC_NULL: break;
  }
  return {Payload::Refused, 0, PrimKind::NOTHING};
}

// The same by the kind of a value (each kind stores exactly one family).
inline constexpr std::array<Wire, kPrimKindCount> kKindWire = [] {
  std::array<Wire, kPrimKindCount> t{};
  for (int f = -1; f < 10; ++f) {
    const Wire w = wire_of(static_cast<TypeFamily>(f));
    t[static_cast<size_t>(w.kind)] = w;
  }
  return t;
}();
constexpr const Wire& wire_of(PrimKind k) { return kKindWire[static_cast<size_t>(k)]; }

// Builds a Fixed value in uninitialised room from its payload at p (wire_of(family).width bytes).
inline void emplace_fixed(void* at, const Wire& w, BaseType t, const uint8_t* p) {
  switch (w.width) {
    case 8: PrimAccess::emplace_u64(at, w.kind, t, be::load64(p)); break;
    case 4: PrimAccess::emplace_i32(at, t, static_cast<int32_t>(be::load32(p))); break;
    default: PrimAccess::emplace_bool(at, t, p[0] != 0); break;
  }
}

// Writes the payload of a Fixed value of kind K at p; returns the end.
template <PrimKind K>
inline uint8_t* put_fixed(const HcPrim& v, uint8_t* p) {
  constexpr Wire w = wire_of(K);
  static_assert(w.payload == Payload::Fixed);
  if constexpr (K == PrimKind::NUMBER) {
    be::store64(p, std::bit_cast<uint64_t>(v.as_number()));
  } else if constexpr (w.width == 8) {  // LONG, DATETIME
    be::store64(p, static_cast<uint64_t>(v.as_long()));
  } else if constexpr (w.width == 4) {  // INTEGER
    be::store32(p, static_cast<uint32_t>(v.as_integer()));
  } else {  // BOOLEAN
    *p = v.as_bool() ? 1 : 0;
  }
  return p + w.width;
}

}  // namespace veltrac::detail
