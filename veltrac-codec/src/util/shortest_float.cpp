// Shortest digits by R. Giulietti's published method ("The Schubfach way to render doubles"), written
// for this codebase. The search works on the rounding interval of v = c * 2^q: the reals that read back as v,
// [v - 2^q / 2, v + 2^q / 2] (a quarter below when v is a power of two above the smallest exponent),
// endpoints included when c is even. k is chosen with 10^k at most the interval's width and more than a
// tenth of it, so the interval holds one or two multiples of 10^k and at most one of 10^(k+1). With
// s = floor(v / 10^k) and t = s + 1 the answer is the multiple of 10^(k+1) in the interval if there is one
// (it is shorter than any other), else whichever of s and t lies in the interval, else the nearer of the
// two (both lie in it then).
//
// Every comparison is between 4 * x / 10^k, for x one of v and its interval's endpoints, and an even
// integer, so that quantity is needed only as floor rounded to odd: floor(y), plus one when y is not an
// integer, which compares with even integers exactly as y does. It is computed as the top 64 bits of a
// 64 x 128-bit product with g(-k), 10^-k rounded up to 128 significant bits; the error of g is too small
// to move the floor or to make a fraction look like zero for any significand and exponent of a double
// (the rounding-to-odd lemma of this method's published proof).
#include "util/shortest_float.hpp"

#include <bit>
#include <iterator>

namespace veltrac {

namespace {

struct U128 {
  uint64_t hi, lo;
};

constexpr int kMinPow10 = -292;
constexpr U128 kPow10[] = {
#include "util/shortest_float_table.inc"
};
static_assert(std::size(kPow10) == 324 - kMinPow10 + 1);

// floor(q * log10(2)), floor(log10(3/4 * 2^q)) and floor(e * log2(10)) over the exponents used here
// (checked by the table's generator).
constexpr int floor_log10_pow2(int q) { return (q * 1262611) >> 22; }
constexpr int floor_log10_three_quarters_pow2(int q) { return (q * 1262611 - 524031) >> 22; }
constexpr int floor_log2_pow10(int e) { return (e * 1741647) >> 19; }

// floor(g * cp / 2^128) rounded to odd.
inline uint64_t round_to_odd(U128 g, uint64_t cp) {
  __extension__ using u128 = unsigned __int128;
  const u128 lo = static_cast<u128>(g.lo) * cp;
  const u128 hi = static_cast<u128>(g.hi) * cp + static_cast<uint64_t>(lo >> 64);
  return static_cast<uint64_t>(hi >> 64) | (static_cast<uint64_t>(hi) != 0);
}

// Drops trailing zeros of f (which is not zero), adding them to e.
inline void drop_zeros(uint64_t& f, int& e) {
  while (f % 100000000 == 0) {
    f /= 100000000;
    e += 8;
  }
  if (f % 10000 == 0) {
    f /= 10000;
    e += 4;
  }
  if (f % 100 == 0) {
    f /= 100;
    e += 2;
  }
  if (f % 10 == 0) {
    f /= 10;
    e += 1;
  }
}

}  // namespace

ShortestDecimal shortest_decimal_with_zeros(double d) {
  const uint64_t bits = std::bit_cast<uint64_t>(d);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  const int biased = static_cast<int>(bits >> 52 & 0x7FF);
  // v = c * 2^q; subnormals share the smallest normal exponent.
  const uint64_t c = biased == 0 ? fraction : fraction | uint64_t{1} << 52;
  const int q = (biased == 0 ? 1 : biased) - 1075;
  const bool narrow_below = fraction == 0 && biased > 1;

  const int k = narrow_below ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  const int h = q + floor_log2_pow10(-k) + 1;  // 1..4: g(-k) * (x << h) / 2^128 is x * 2^q / 10^k
  const U128 g = kPow10[-k - kMinPow10];
  // Four times v, its lower and its upper bound over 10^k, rounded to odd.
  const uint64_t cb = c << 2;
  const uint64_t vb = round_to_odd(g, cb << h);
  const uint64_t vbl = round_to_odd(g, (cb - (narrow_below ? 1 : 2)) << h);
  const uint64_t vbr = round_to_odd(g, (cb + 2) << h);
  const uint64_t open = c & 1;  // bounds excluded: x is in the interval iff vbl + open <= 4x <= vbr - open

  const uint64_t s = vb >> 2, t = s + 1;
  const uint64_t s10 = s / 10 * 10, t10 = s10 + 10;
  const bool s10_in = vbl + open <= s10 << 2, t10_in = (t10 << 2) + open <= vbr;
  const bool s_in = vbl + open <= s << 2, t_in = (t << 2) + open <= vbr;
  // When both are in, the nearer to v, the even one at a tie (v - (s + t) / 2 has the sign of vb - 2(s + t)).
  const uint64_t mid = (s + t) << 1;
  const bool s_nearer = vb < mid || (vb == mid && (s & 1) == 0);
  uint64_t f = (s_in != t_in ? s_in : s_nearer) ? s : t;
  if (s >= 10 && s10_in != t10_in) f = s10_in ? s10 : t10;  // (below 10, s10 would be no shorter)
  return {f, k};
}

ShortestDecimal shortest_decimal(double d) {
  ShortestDecimal dec = shortest_decimal_with_zeros(d);
  drop_zeros(dec.digits, dec.exponent);
  return dec;
}

}  // namespace veltrac
