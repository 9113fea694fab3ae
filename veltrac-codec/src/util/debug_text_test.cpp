#include "util/debug_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace veltrac {
namespace {

std::string dbg(std::string_view s) {
  std::string out;
  append_debug_str(out, s);
  return out;
}

struct StrCase {
  std::string in;
  std::string out;
};

class DebugStr : public ::testing::TestWithParam<StrCase> {};

TEST_P(DebugStr, Quoting) { EXPECT_EQ(dbg(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Util, DebugStr,
    ::testing::Values(StrCase{"", R"("")"}, StrCase{"plain text 'q' /", R"("plain text 'q' /")"},
                      StrCase{std::string("\"\\\t\r\n\0", 6), R"("\"\\\t\r\n\0")"},
                      StrCase{"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
                      StrCase{"\xC3\xA9\xF0\x9F\x98\x80\xE4\xB8\xAD",
                              "\"\xC3\xA9\xF0\x9F\x98\x80\xE4\xB8\xAD\""},           // é 😀 中
                      StrCase{"\xC2\xA0", R"("\u{a0}")"},                            // no-break space (Zs)
                      StrCase{"\xE3\x80\x80", R"("\u{3000}")"},                      // ideographic space (Zs)
                      StrCase{"\xC2\xAD", R"("\u{ad}")"},                            // soft hyphen (Cf)
                      StrCase{"\xE2\x80\x8B", R"("\u{200b}")"},                      // zero width space (Cf)
                      StrCase{"\xE2\x80\xA8\xE2\x80\xA9", R"("\u{2028}\u{2029}")"},  // Zl, Zp
                      StrCase{"e\xCC\x81", R"("e\u{301}")"},                         // combining acute (Mn)
                      StrCase{"\xE0\xA4\x83", R"("\u{903}")"},                       // Devanagari visarga (Mc)
                      StrCase{"\xE2\x83\x9D", R"("\u{20dd}")"},                      // enclosing circle (Me)
                      StrCase{"\xEE\x80\x80", R"("\u{e000}")"},                      // private use (Co)
                      StrCase{"\xCD\xB8", R"("\u{378}")"},                           // unassigned (Cn)
                      StrCase{"\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},                // noncharacter (Cn)
                      StrCase{"\xF0\x9F\x9B\x9C", "\"\xF0\x9F\x9B\x9C\""},  // U+1F6DC, assigned in Unicode 15.0
                      StrCase{"\xF0\x9F\xAB\xA9", R"("\u{1fae9}")"},        // U+1FAE9, unassigned in Unicode 15.0
                      StrCase{"a\xFF"
                              "b",
                              "\"a\xEF\xBF\xBD"
                              "b\""}));  // not UTF-8: replacement character

// Escaped: controls, surrogates, format characters (BOM, language tag); not: printable ones, U+FFFD.
TEST(DebugStr, EscapeTableEdges) {
  for (uint32_t cp : {0x1Fu, 0x9Fu, 0xD800u, 0xFEFFu, 0xE0001u}) EXPECT_TRUE(debug_escapes_code_point(cp)) << cp;
  for (uint32_t cp : {0x20u, 0x7Eu, 0xA1u, 0xFFFDu}) EXPECT_FALSE(debug_escapes_code_point(cp)) << cp;
}

struct FloatCase {
  double value;
  std::string text;
};

class DebugF64 : public ::testing::TestWithParam<FloatCase> {};

TEST_P(DebugF64, Form) {
  std::string out;
  append_debug_f64(out, GetParam().value);
  EXPECT_EQ(out, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Util, DebugF64,
    ::testing::Values(FloatCase{1.0, "1.0"}, FloatCase{0.5, "0.5"}, FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"},
                      FloatCase{1e16, "1e16"}, FloatCase{1e15, "1000000000000000.0"},
                      FloatCase{9999999999999998.0, "9999999999999998.0"}, FloatCase{0.0001, "0.0001"},
                      FloatCase{0.00001, "1e-5"}, FloatCase{0.000123, "0.000123"}, FloatCase{1.5e-7, "1.5e-7"},
                      FloatCase{-2.5e20, "-2.5e20"}, FloatCase{123.456, "123.456"},
                      FloatCase{0.1 + 0.2, "0.30000000000000004"}, FloatCase{5e-324, "5e-324"},
                      FloatCase{1.7976931348623157e308, "1.7976931348623157e308"}, FloatCase{NAN, "NaN"},
                      FloatCase{INFINITY, "inf"}, FloatCase{-INFINITY, "-inf"}));

// Outside the decimal range every exponent is written, 0 included.
TEST(DebugF64, ExponentForms) {
  std::string out;
  for (double d : {2.5, 25.0, 0.25}) append_shortest_f64(out, d, 5, 10), out.push_back(' ');
  EXPECT_EQ(out, "2.5e0 2.5e1 2.5e-1 ");
}

TEST(DebugBytes, Form) {
  std::vector<uint8_t> b = {'a', '"', '\\', 0, '\t', '\n', '\r', 1, 0x7f, 0xff, ' ', '~'};
  std::string out;
  append_debug_bytes(out, b);
  EXPECT_EQ(out, R"(b"a\"\\\0\t\n\r\x01\x7f\xff ~")");
  out.clear();
  append_debug_bytes(out, {});
  EXPECT_EQ(out, R"(b"")");
}

}  // namespace
}  // namespace veltrac
