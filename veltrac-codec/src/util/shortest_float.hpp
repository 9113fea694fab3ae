// Shortest round-trip decimal of a double, by exact integer arithmetic (no text, no big numbers).
#pragma once

#include <cstdint>

namespace veltrac {

// |d| = digits * 10^exponent read back as d: the decimal with the fewest significant digits among those
// that round to d, and of those the nearest to d (a tie goes to the even digit). digits has no trailing
// zeros and at most 17 digits.
struct ShortestDecimal {
  uint64_t digits;
  int exponent;
};

// d is finite and not zero; its sign is ignored.
ShortestDecimal shortest_decimal(double d);
// The same decimal before its trailing zeros are dropped: digits may end in zeros (still at most 17 digits).
ShortestDecimal shortest_decimal_with_zeros(double d);

}  // namespace veltrac
