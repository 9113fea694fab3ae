// Equality of two byte ranges of one length, for the short names and keys of JSON records and maps:
// up to 16 bytes without a library call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

// The 8- and 4-byte loads are reached only for n >= 8 / n >= 4; g++ 12 at -O3 still warns about them for
// shorter constant texts it inlines this with.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
inline bool same_bytes(const char* a, const char* b, size_t n) {
  auto load64 = [](const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  auto load32 = [](const char* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
  };
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) {
    // First and last eight bytes (overlapping when n < 16).
    return ((load64(a) ^ load64(b)) | (load64(a + n - 8) ^ load64(b + n - 8))) == 0;
  }
  if (n >= 4) return ((load32(a) ^ load32(b)) | (load32(a + n - 4) ^ load32(b + n - 4))) == 0;
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

inline bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

}  // namespace veltrac
VELTRAC_API_END
