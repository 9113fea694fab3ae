// The typed JSON object of aspects written in one piece, for the writers of the records that hold them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "veltrac/aspects.hpp"

namespace veltrac::detail {

// Room for an aspects object and the table position of each of its names.
struct AspectsLayout {
  static constexpr size_t kMaxEntries = 16;
  size_t room = 0;
  std::array<uint8_t, kMaxEntries> index{};
};

// True when the object can be written by put_aspects_json: at most kMaxEntries entries, every name
// predefined and every value a scalar of its name's type family.
bool layout_aspects_json(const Aspects& a, AspectsLayout& layout);
// Writes the object into the layout's room at `p`; returns the end.
char* put_aspects_json(char* p, const Aspects& a, const AspectsLayout& layout);

}  // namespace veltrac::detail
