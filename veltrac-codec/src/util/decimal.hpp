// Decimal digits of integers, eight at a time: the hot part of writing numbers as JSON text.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// The sixteen ASCII digits of hi * 10^8 + lo (hi, lo < 10^8; leading zeros included), first digit in the
// lowest byte. Both halves are cut into 4-digit parts x in one register, each spread over four 16-bit lanes
// that take x / 1000, x / 100, x / 10 and x by two high multiplications (4x times a reciprocal, then a power
// of two for the shift; exact for x < 10^4); each lane less ten times the lane before it is one digit.
inline __m128i sixteen_digits(uint32_t hi, uint32_t lo) {
  // x / 10^4 is (x * 109951163) >> 40 for x < 10^8.
  const __m128i halves = _mm_set_epi64x(lo, hi);
  const __m128i high = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi64x(109951163)), 40);
  const __m128i low = _mm_sub_epi64(halves, _mm_mul_epu32(high, _mm_set1_epi64x(10000)));
  // 16-bit lanes hi / 10^4, hi % 10^4, lo / 10^4, lo % 10^4 (in 32-bit elements 0 and 2, then gathered).
  const __m128i parts = _mm_shuffle_epi32(_mm_or_si128(high, _mm_slli_epi64(low, 16)), _MM_SHUFFLE(3, 1, 2, 0));
  const __m128i x = _mm_unpacklo_epi16(parts, parts);
  const __m128i reciprocal = _mm_set_epi16(-32768, 3277, 5243, 8389, -32768, 3277, 5243, 8389);
  const __m128i shift = _mm_set_epi16(-32768, -32768, 2048, 128, -32768, -32768, 2048, 128);
  auto digits = [&](__m128i four) {  // four copies of each of two parts
    const __m128i q = _mm_mulhi_epu16(_mm_mulhi_epu16(_mm_slli_epi16(four, 2), reciprocal), shift);
    return _mm_sub_epi16(q, _mm_mullo_epi16(_mm_slli_epi64(q, 16), _mm_set1_epi16(10)));
  };
  const __m128i d = _mm_packus_epi16(digits(_mm_unpacklo_epi32(x, x)), digits(_mm_unpackhi_epi32(x, x)));
  return _mm_add_epi8(d, _mm_set1_epi8('0'));
}

// The sixteen ASCII digits of v < 10^16.
inline __m128i sixteen_digits(uint64_t v) {
  return sixteen_digits(static_cast<uint32_t>(v / 100000000), static_cast<uint32_t>(v % 100000000));
}

// Writes v (10^8 <= v < 10^16) without leading zeros; stores 16 bytes at p whatever the length.
inline char* put_sixteen_short(char* p, uint64_t v) {
  const __m128i d = sixteen_digits(v);
  const auto zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(d, _mm_set1_epi8('0'))));
  const int lead = std::countr_one(zeros);  // at most 7
  const auto first = static_cast<uint64_t>(_mm_cvtsi128_si64(d));
  const auto second = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(d, d)));
  // The 16 bytes moved down by `lead`, as two words (lead < 8, so neither shift is 64).
  const uint64_t w0 = first >> (8 * lead) | (second << 1) << (63 - 8 * lead);
  const uint64_t w1 = second >> (8 * lead);
  std::memcpy(p, &w0, 8);
  std::memcpy(p + 8, &w1, 8);
  return p + 16 - lead;
}

inline char* put_sixteen(char* p, uint64_t v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), sixteen_digits(v));
  return p + 16;
}
#endif

// Writes n in decimal and returns the end; needs 24 bytes of room at p (it may store past the digits).
inline char* put_u64(char* p, uint64_t n) {
  if (n == 0) {
    *p = '0';
    return p + 1;
  }
  if (n < 100000000) return put_short(p, static_cast<uint32_t>(n));
#if defined(__SSE2__)
  constexpr uint64_t kTen16 = 10000000000000000;
  if (n < kTen16) return put_sixteen_short(p, n);
  return put_sixteen(put_short(p, static_cast<uint32_t>(n / kTen16)), n % kTen16);
#else
  const uint64_t lo = n % 100000000, hi = n / 100000000;
  if (hi < 100000000) {
    p = put_short(p, static_cast<uint32_t>(hi));
  } else {
    p = put_short(p, static_cast<uint32_t>(hi / 100000000));
    p = put_eight(p, static_cast<uint32_t>(hi % 100000000));
  }
  return put_eight(p, static_cast<uint32_t>(lo));
#endif
}

// Signed; needs 24 bytes of room at p. The sign is taken without a branch: in a column of values of either
// sign a branch on it would be mispredicted every other value.
inline char* put_i64(char* p, int64_t n) {
  const uint64_t negative = static_cast<uint64_t>(n) >> 63;
  *p = '-';
  return put_u64(p + negative, (static_cast<uint64_t>(n) ^ (0 - negative)) + negative);
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
