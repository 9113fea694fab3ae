#include "util/decimal.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace veltrac {
namespace {

std::string fast(int64_t v) {
  char buf[48];
  return std::string(buf, decimal::put_i64(buf, v));
}

std::string reference(int64_t v) {
  char buf[48];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// Every digit count and the lane boundaries (10^4, 10^8, 10^16), every 4-digit part, both signs, the extremes, random
// values.
TEST(Decimal, MatchesToChars) {
  std::vector<int64_t> values = {0, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
  for (int64_t p = 1;; p *= 10) {
    for (int64_t d = -1; d <= 1; ++d) values.insert(values.end(), {p + d, -(p + d), 2 * p - 1, 9 * p});
    if (p == 1000000000000000000) break;
  }
  // Every 4-digit value in each of the four parts of a 16-digit number.
  for (int64_t x = 0; x < 10000; ++x) values.push_back(x * 1000100010001);
  std::mt19937_64 rnd(11);
  for (int i = 0; i < 100000; ++i) values.push_back(static_cast<int64_t>(rnd() >> (rnd() % 64)));
  for (int64_t v : values) ASSERT_EQ(fast(v), reference(v)) << v;
}

TEST(Decimal, UnsignedExtremes) {
  char buf[48];
  EXPECT_EQ(std::string(buf, decimal::put_u64(buf, UINT64_MAX)), "18446744073709551615");
  EXPECT_EQ(std::string(buf, decimal::put_u64(buf, 10000000000000000000ULL)), "10000000000000000000");
}

}  // namespace
}  // namespace veltrac
