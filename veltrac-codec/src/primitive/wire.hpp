// The binary form of each type family (its payload in base/families.hpp), consulted by the size pass
// (size_prim, size_row), the writer (write_prim), the bulk cell decoder (table/binary.cpp) and the general
// reader (read_cell).
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "base/families.hpp"
#include "primitive/prim_access.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac::detail {

struct Wire {
  Payload payload;
  uint8_t width;  // payload bytes of Fixed and Location
  PrimKind kind;  // the kind that stores the family's values
};

constexpr Wire wire_of(TypeFamily f) {
  const Family& facts = family_of(f);
  return {facts.payload, facts.width, facts.kind};
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
