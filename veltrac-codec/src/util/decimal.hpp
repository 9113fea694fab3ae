// Decimal digits of integers, eight at a time: the hot part of writing numbers as JSON text.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace veltrac::decimal {

// The eight ASCII digits of v < 10^8 (leading zeros included), first digit in the lowest byte: the number
// is split into 4-digit, 2-digit and 1-digit lanes of one 64-bit word.
inline uint64_t eight_digits(uint32_t v) {
  uint64_t x = (v / 10000) | (static_cast<uint64_t>(v % 10000) << 32);
  const uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // lane / 100 for lanes < 10^4
  x = hundreds | ((x - hundreds * 100) << 16);
  const uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000FULL;  // lane / 10 for lanes < 100
  x = tens | ((x - tens * 10) << 8);
  return x | 0x3030303030303030ULL;
}

// Writes v (1 <= v < 10^8) without leading zeros; stores 8 bytes at p whatever the length.
inline char* put_short(char* p, uint32_t v) {
  const uint64_t w = eight_digits(v);
  const int lead = std::countr_zero(w ^ 0x3030303030303030ULL) / 8;  // leading '0' bytes
  const uint64_t shifted = w >> (8 * lead);
  std::memcpy(p, &shifted, 8);
  return p + 8 - lead;
}

inline char* put_eight(char* p, uint32_t v) {
  const uint64_t w = eight_digits(v);
  std::memcpy(p, &w, 8);
  return p + 8;
}

// Writes n in decimal and returns the end; needs 24 bytes of room at p (it may store past the digits).
inline char* put_u64(char* p, uint64_t n) {
  if (n == 0) {
    *p = '0';
    return p + 1;
  }
  if (n < 100000000) return put_short(p, static_cast<uint32_t>(n));
  const uint64_t lo = n % 100000000, hi = n / 100000000;
  if (hi < 100000000) {
    p = put_short(p, static_cast<uint32_t>(hi));
  } else {
    p = put_short(p, static_cast<uint32_t>(hi / 100000000));
    p = put_eight(p, static_cast<uint32_t>(hi % 100000000));
  }
  return put_eight(p, static_cast<uint32_t>(lo));
}

// Signed; needs 24 bytes of room at p.
inline char* put_i64(char* p, int64_t n) {
  uint64_t u = static_cast<uint64_t>(n);
  if (n < 0) {
    *p++ = '-';
    u = 0 - u;
  }
  return put_u64(p, u);
}

// Appends the digits to `out`.
inline void append_u64(std::string& out, uint64_t n) {
  char buf[24];
  out.append(buf, put_u64(buf, n));
}
inline void append_i64(std::string& out, int64_t n) {
  char buf[24];
  out.append(buf, put_i64(buf, n));
}

}  // namespace veltrac::decimal
