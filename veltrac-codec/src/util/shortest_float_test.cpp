#include "util/shortest_float.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "util/debug_text.hpp"

namespace veltrac {
namespace {

// The independent answer: the standard library's shortest scientific text, d[.ddd]e<sign><exp>.
struct Reference {
  uint64_t digits;
  int exponent;
  std::string text;  // the form put_shortest_f64(v, -4, 16) writes
};

Reference reference(double v) {
  char buf[64];
  char* end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
  std::string sci(buf, static_cast<size_t>(end - buf));
  const size_t e = sci.find('e');
  std::string mantissa = sci.substr(0, e);
  int exp = std::stoi(sci.substr(e + 1));
  Reference r{0, 0, {}};
  std::string digits;
  for (char ch : mantissa) {
    if (ch >= '0' && ch <= '9') digits.push_back(ch);
  }
  r.digits = std::stoull(digits);
  r.exponent = exp - static_cast<int>(digits.size()) + 1;
  while (r.digits % 10 == 0) {
    r.digits /= 10;
    ++r.exponent;
  }
  const double a = std::fabs(v);
  if (a >= 1e-5 && a < 1e16) {
    end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed).ptr;
    r.text.assign(buf, static_cast<size_t>(end - buf));
    if (r.text.find('.') == std::string::npos) r.text += ".0";
  } else {
    r.text = mantissa + "e" + std::to_string(exp);
  }
  return r;
}

// Checks v and -v through shortest_decimal, shortest_digits and the JSON layouts (the latter take a
// shorter path for short decimals); returns false (after one failure report) on a mismatch.
bool matches(double v) {
  for (double x : {v, -v}) {
    const Reference want = reference(x);
    const ShortestDecimal got = shortest_decimal(x);
    char buf[40], digits[24];
    const std::string text(buf, put_shortest_f64(buf, x, -4, 16));
    int k = 0;
    const std::string got_digits(digits, shortest_digits(x, digits, k));
    const std::string want_digits = std::to_string(want.digits);
    // A column's writer gives the same text whether or not it tries the short path first.
    bool tried = true, skipped = false;
    const bool same_in_runs = std::string(buf, put_json_f64_in_run(buf, x, tried)) == text &&
                              std::string(buf, put_json_f64_in_run(buf, x, skipped)) == text;
    if (got.digits != want.digits || got.exponent != want.exponent || text != want.text || got_digits != want_digits ||
        k != want.exponent + static_cast<int>(want_digits.size()) || !same_in_runs) {
      ADD_FAILURE() << std::hexfloat << x << std::defaultfloat << ": " << got.digits << "e" << got.exponent << " "
                    << got_digits << "/" << k << " \"" << text << "\", want " << want.digits << "e" << want.exponent
                    << " \"" << want.text << "\"";
      return false;
    }
  }
  return true;
}

double from_bits(uint64_t b) { return std::bit_cast<double>(b); }
uint64_t bits_of(double d) { return std::bit_cast<uint64_t>(d); }

TEST(ShortestDecimal, BoundaryValues) {
  // The smallest subnormals, the largest subnormal, the smallest normal, the largest double; then values
  // near 2^53, the decimal layout switches and other hard cases.
  std::vector<double> values;
  const char* text =
      "5e-324 1e-323 1.5e-323 8e-323 2.225073858507201e-308 2.2250738585072014e-308 1.7976931348623157e308 "
      "9007199254740992 9007199254740994 9007199254740996 4503599627370495.5 4503599627370497 0.30000000000000004 "
      "1.2345678901234567e-300 9.999999999999999e22 1e23 5.764607523034235e39 0.3333333333333333 "
      "0.6666666666666666 123456789012345680 1e15 1e16 1e-4 1e-5 1e-6 0.000099999999999999991 "
      "0.0000099999999999999991 0.00009999999999999999 9999999999999998 1125899906842624.25 1125899906842624.75 "
      "562949953421312.125 562949953421312.375 999999999999999.9 99999999999999.99 123456.12345678 0.000000015";
  for (char* end; *text != '\0'; text = end) values.push_back(std::strtod(text, &end));
  // Powers of two (their lower neighbour is nearer than the upper) and of ten, with both neighbours.
  for (int e = -1074; e <= 1023; ++e) values.push_back(std::ldexp(1.0, e));
  for (int e = -323; e <= 308; ++e) values.push_back(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
  for (size_t i = 0, n = values.size(); i < n; ++i) {
    values.push_back(std::nextafter(values[i], 0.0));
    values.push_back(std::nextafter(values[i], INFINITY));
  }
  // Integers around 2^53 and the subnormals with the fewest significant bits.
  for (int i = -64; i <= 64; ++i) values.push_back(9007199254740992.0 + 2 * i);
  for (uint64_t c = 1; c < 20000; ++c) values.push_back(from_bits(c));
  // Where the interval's midpoint can fall on a decimal tie (values of a quarter, an eighth apart).
  for (uint64_t c = 0; c < 4000; ++c) {
    values.push_back(from_bits(bits_of(0x1p50) + c));
    values.push_back(from_bits(bits_of(0x1p49) + c));
  }
  for (double v : values) {
    if (v == 0 || !std::isfinite(v)) continue;
    if (!matches(v)) return;
  }
}

// Random bit patterns of every finite double; doubles with full significands in [2^-60, 2^60] (the
// magnitudes of measured values); decimals of up to 17 digits with up to 10 places and their neighbours.
// VELTRAC_FLOAT_CHECKS sets how many (a long run in `make float-check`).
TEST(ShortestDecimal, RandomValues) {
  const char* env = std::getenv("VELTRAC_FLOAT_CHECKS");
  const uint64_t count = env != nullptr ? std::strtoull(env, nullptr, 10) : 100000;
  std::mt19937_64 rnd(env != nullptr ? std::random_device{}() : 18);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t b = rnd();
    double v = from_bits(b);
    switch (i % 4) {
      case 1: v = from_bits((b & 0x800FFFFFFFFFFFFF) | ((1023 - 60 + (b >> 52) % 121) << 52)); break;
      case 2:
      case 3:
        v = static_cast<double>(b % 100000000000000000 >> (b >> 58)) / std::pow(10.0, (b >> 52) % 11);
        if (i % 4 == 3) v = std::nextafter(v, (b & 1) != 0 ? 0.0 : INFINITY);
        break;
    }
    if (v == 0 || !std::isfinite(v)) continue;
    if (!matches(v)) return;
  }
}

}  // namespace
}  // namespace veltrac
