// The optional parameter table shared by request and response bodies: a marker byte (INFOTABLE when a
// table follows, NOTHING when not) and the table.
#pragma once

#include <optional>

#include "base/base_type.hpp"
#include "error/error.hpp"
#include "infotable/infotable.hpp"
#include "util/bytes.hpp"

namespace veltrac::message_detail {

inline Result<size_t> write_params(ByteBuffer& out, const std::optional<InfoTable>& params) {
  if (!params) {
    out.put_u8(code_of(BaseType::NOTHING));
    return 1;
  }
  out.put_u8(code_of(BaseType::INFOTABLE));
  auto n = params->to_bytes(out);
  if (!n) return fail(std::move(n.error()));
  return 1 + *n;
}

// Reads the marker and, after INFOTABLE, the table. Any other base type code means no table.
inline Result<std::optional<InfoTable>> read_params(ByteReader& r) {
  auto marker = r.u8();
  if (!marker) return fail(std::move(marker.error()));
  if (!base_type_from_repr(*marker)) return fail(VeltracError::invalid_base_type(*marker));
  if (*marker != code_of(BaseType::INFOTABLE)) return std::optional<InfoTable>{};
  auto table = InfoTable::from_bytes(r.rest());
  if (!table) return fail(std::move(table.error()));
  r.advance(table->consumed);
  return std::optional<InfoTable>{std::move(table->value)};
}

}  // namespace veltrac::message_detail
