#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "json/write.hpp"
#include "veltrac/json/reader.hpp"

namespace veltrac::json {
namespace {

struct ErrCase {
  std::string input;
  std::string text;
};

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

std::string parse_error(const std::string& in) {
  auto v = parse(in);
  if (v) return "OK " + to_text(*v);
  return v.error().text();
}

std::string skip_error(const std::string& in) {
  Reader r(in);
  auto ok = r.skip_value();
  if (ok) ok = r.end();
  return ok ? "OK" : ok.error().text();
}

class SyntaxErrors : public ::testing::TestWithParam<ErrCase> {};

TEST_P(SyntaxErrors, ParseGivesExactText) { EXPECT_EQ(parse_error(GetParam().input), GetParam().text); }

// A syntax error is a Json error whose position is held apart from its text; only an early end is incomplete.
TEST_P(SyntaxErrors, IsOneJsonErrorValue) {
  const auto& c = GetParam();
  auto v = parse(c.input);
  ASSERT_FALSE(v);
  const VeltracError& e = v.error();
  EXPECT_EQ(e.kind, ErrorKind::Json);
  EXPECT_EQ(e.message(), "Serde Json Error: " + c.text);
  EXPECT_EQ(e.incomplete, c.text.starts_with("EOF while parsing"));
  EXPECT_EQ(c.text.ends_with(" at line " + std::to_string(e.line()) + " column " + std::to_string(e.column())), true);
  EXPECT_EQ(e.at(), nullptr);
}

// Skipped values report the same syntax errors at the same places (no range or surrogate checks).
TEST_P(SyntaxErrors, SkipGivesSameSyntaxError) {
  const auto& c = GetParam();
  if (c.text.starts_with("number out of range") || c.text.find("surrogate") != std::string::npos ||
      c.text.starts_with("unexpected end of hex") || c.text.starts_with("recursion")) {
    return;
  }
  EXPECT_EQ(skip_error(c.input), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Json, SyntaxErrors,
    ::testing::Values(
        ErrCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrCase{"   ", "EOF while parsing a value at line 1 column 3"},
        ErrCase{"{", "EOF while parsing an object at line 1 column 1"},
        ErrCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        ErrCase{"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        ErrCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        ErrCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        ErrCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        ErrCase{"[1,]", "trailing comma at line 1 column 4"}, ErrCase{"[,1]", "expected value at line 1 column 2"},
        ErrCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        ErrCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        ErrCase{"\"\\uZZZZ\"", "invalid escape at line 1 column 7"},
        ErrCase{"tru", "EOF while parsing a value at line 1 column 3"},
        ErrCase{"nulx", "expected ident at line 1 column 4"}, ErrCase{"01", "invalid number at line 1 column 2"},
        ErrCase{"-x", "invalid number at line 1 column 2"}, ErrCase{"1.x", "invalid number at line 1 column 3"},
        ErrCase{"1a", "trailing characters at line 1 column 2"},
        ErrCase{"1e400", "number out of range at line 1 column 5"},
        ErrCase{"1.8e308", "number out of range at line 1 column 7"},
        ErrCase{"[1, -1e99999999999999999999]", "number out of range at line 1 column 27"},
        ErrCase{"1" + std::string(309, '0') + ".5", "number out of range at line 1 column 312"},
        ErrCase{std::string(400, '9'), "number out of range at line 1 column 400"},  // too large for a float
        ErrCase{"[-" + std::string(400, '9') + "]", "number out of range at line 1 column 402"},
        ErrCase{"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
        ErrCase{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrCase{"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        ErrCase{"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        ErrCase{"{}\nx", "trailing characters at line 2 column 1"},
        ErrCase{"\"\xC3\xA9\" x", "trailing characters at line 1 column 6"},
        ErrCase{std::string(128, '['), "EOF while parsing a list at line 1 column 128"},
        ErrCase{std::string(129, '['), "recursion limit exceeded at line 1 column 129"},
        ErrCase{repeat("{\"a\":", 200), "recursion limit exceeded at line 1 column 641"},
        // Further positions: EOF inside tokens, escapes and exponents; line feeds.
        ErrCase{"[\n", "EOF while parsing a list at line 2 column 0"},
        ErrCase{"-", "EOF while parsing a value at line 1 column 1"},
        ErrCase{"1.", "EOF while parsing a value at line 1 column 2"},
        ErrCase{"1e", "EOF while parsing a value at line 1 column 2"},
        ErrCase{"1e+", "EOF while parsing a value at line 1 column 3"},
        ErrCase{"1e+x", "invalid number at line 1 column 4"}, ErrCase{"1Ex", "invalid number at line 1 column 3"},
        ErrCase{"\"\\", "EOF while parsing a string at line 1 column 2"},
        ErrCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        ErrCase{"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        ErrCase{"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
        ErrCase{"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        ErrCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        ErrCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        ErrCase{"{,}", "key must be a string at line 1 column 2"},
        ErrCase{"[1\n,\n]", "trailing comma at line 3 column 1"},
        ErrCase{"[1] ,", "trailing characters at line 1 column 5"},
        ErrCase{"  \n  }", "expected value at line 2 column 3"}, ErrCase{"trUe", "expected ident at line 1 column 3"},
        ErrCase{std::string(300, '9') + "x", "trailing characters at line 1 column 301"}));

TEST(Parse, DepthLimitAndSkipping) {
  EXPECT_TRUE(parse(std::string(128, '[') + std::string(128, ']')));
  EXPECT_TRUE(parse(repeat("{\"a\":", 128) + "1" + std::string(128, '}')));
  // Skipping checks syntax only: no range or surrogate checks, no depth limit and no recursion.
  EXPECT_EQ(skip_error(std::string(400, '9')), "OK");
  EXPECT_EQ(skip_error("\"\\udc00\""), "OK");
  EXPECT_EQ(skip_error(std::string(100000, '[') + std::string(100000, ']')), "OK");
  EXPECT_EQ(skip_error(std::string(100000, '[')), "EOF while parsing a list at line 1 column 100000");
}

// Integers that fit 64 bits keep their kind; everything else is a correctly rounded float.
TEST(Parse, NumbersClassifiedAndWrittenBack) {
  struct Case {
    std::string input;
    Kind kind;
    const char* written;
  };
  const Case cases[] = {{"0", Kind::U64, "0"},
                        {"18446744073709551615", Kind::U64, "18446744073709551615"},
                        {"18446744073709551616", Kind::F64, "1.8446744073709552e19"},
                        {"-1", Kind::I64, "-1"},
                        {"-9223372036854775808", Kind::I64, "-9223372036854775808"},
                        {"-9223372036854775809", Kind::F64, "-9.223372036854776e18"},
                        {"-0", Kind::F64, "-0.0"},
                        {"-0.0", Kind::F64, "-0.0"},
                        {"1.0", Kind::F64, "1.0"},
                        {"1e2", Kind::F64, "100.0"},
                        {"1E+2", Kind::F64, "100.0"},
                        {"12.34", Kind::F64, "12.34"},
                        // 15 digits without exponent (one exact division), then 16 (the general conversion).
                        {"-123456789.012345", Kind::F64, "-123456789.012345"},
                        {"1234567890.123456", Kind::F64, "1234567890.123456"},
                        {"1E-400", Kind::F64, "0.0"},
                        {"-1e-400", Kind::F64, "-0.0"},
                        {"0e99999999999999999999", Kind::F64, "0.0"},
                        {"0.1e-99999999999999999999", Kind::F64, "0.0"},
                        {"2.2250738585072011e-308", Kind::F64, "2.225073858507201e-308"},
                        {"4.9e-324", Kind::F64, "5e-324"},
                        // Correct rounding at the halfway point between two floats.
                        {"9007199254740993.0", Kind::F64, "9007199254740992.0"},
                        {"9007199254740993.0000000001", Kind::F64, "9007199254740994.0"},
                        {"1.7976931348623157e308", Kind::F64, "1.7976931348623157e308"},
                        {"0.000" + std::string(400, '0') + "1e400", Kind::F64, "0.0001"}};
  for (const auto& c : cases) {
    auto v = parse(c.input);
    ASSERT_TRUE(v) << c.input << ": " << v.error().text();
    EXPECT_EQ(v->kind(), c.kind) << c.input;
    EXPECT_EQ(to_text(*v), c.written) << c.input;
  }
}

TEST(Parse, StringsAndEscapes) {
  auto v = parse(R"("a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000z")");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v->as_string(), std::string("a\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80") + std::string(1, '\0') + "z");
  // Raw UTF-8 and long runs pass unchanged.
  std::string long_text(1000, 'x');
  long_text += "\xE2\x82\xAC";
  EXPECT_EQ(*parse("\"" + long_text + "\"")->as_string(), long_text);
}

// The string scanner works in blocks: a byte that ends the run (quote, escape, control byte) or does
// not (space, DEL, a high byte) at every position of texts longer than one block.
TEST(Parse, StringSpecialByteAtEveryPosition) {
  for (size_t n = 1; n <= 40; ++n) {
    for (size_t at = 0; at < n; ++at) {
      std::string body(n, 'a');
      for (char plain : {' ', '\x7F', '\x80', '\xFF'}) {
        body[at] = plain;
        const std::string text = "\"" + body + "\"";
        Reader r(text);
        auto s = r.read_str();
        ASSERT_TRUE(s) << n << " " << at;
        EXPECT_EQ(*s, body) << n << " " << at;
      }
      body[at] = '\x1F';
      EXPECT_EQ(
          parse_error("\"" + body + "\""),
          "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " + std::to_string(at + 2))
          << n;
      body[at] = '"';
      EXPECT_EQ(parse_error("\"" + body + "\""), "trailing characters at line 1 column " + std::to_string(at + 3))
          << n << " " << at;
      std::string escaped = body.substr(0, at) + "\\n" + body.substr(at + 1);
      auto v = parse("\"" + escaped + "\"");
      ASSERT_TRUE(v) << n << " " << at;
      body[at] = '\n';
      EXPECT_EQ(*v->as_string(), body) << n << " " << at;
    }
  }
}

TEST(Parse, ObjectsKeepLastDuplicateAndSortKeys) {
  auto v = parse(R"( {"b":1, "a":[true,null,false], "B":{}, "b":2} )");
  ASSERT_TRUE(v);
  EXPECT_EQ(to_text(*v), R"({"B":{},"a":[true,null,false],"b":2})");
}

// Finite layouts are checked against the standard library where they are made (util); here the switch
// points of the JSON form, the zeros and the values JSON cannot carry.
TEST(Write, Floats) {
  const std::pair<double, const char*> cases[] = {{0.0, "0.0"},   {-0.0, "-0.0"},       {1e15, "1000000000000000.0"},
                                                  {1e16, "1e16"}, {0.00001, "0.00001"}, {0.000001, "1e-6"},
                                                  {NAN, "null"},  {INFINITY, "null"},   {-INFINITY, "null"}};
  for (auto [value, text] : cases) {
    std::string out;
    write_f64(out, value);
    EXPECT_EQ(out, text) << value;
  }
}

TEST(Write, StringEscaping) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\t/\xC3\xA9", "\"\\t/\xC3\xA9\""},
      {"q\"b\\", R"("q\"b\\")"},
      {std::string("\x08\x0c\n\r\x01\x1f\x7f", 7), "\"\\b\\f\\n\\r\\u0001\\u001f\x7f\""},
      {std::string(1, '\0'), R"("\u0000")"},
      {"", R"("")"},
  };
  for (const auto& c : cases) {
    std::string out;
    write_string(out, c.in);
    EXPECT_EQ(out, c.out);
    auto back = parse(out);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back->as_string(), c.in);
  }
}

// Against a byte-by-byte escaper: one or two special bytes at any positions of texts up to 40 bytes
// (the writer copies whole blocks and words, the last one overlapping).
TEST(Write, StringEscapesMatchByteByByte) {
  auto escape = [](std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\x01': out += "\\u0001"; break;
        case '\x1F': out += "\\u001f"; break;
        default: out += c;
      }
    }
    return out + "\"";
  };
  for (size_t n = 0; n <= 40; ++n) {
    for (size_t at = 0; at <= n; ++at) {
      for (size_t at2 : {at, n - at, n}) {
        for (char special : {'"', '\\', '\n', '\x01', '\x1F', '\xC3'}) {
          std::string in;
          for (size_t i = 0; i < n; ++i) in.push_back(static_cast<char>('a' + i % 26));
          if (at < n) in[at] = special;
          if (at2 < n) in[at2] = '"';
          std::string out = "x";
          write_string(out, in);
          EXPECT_EQ(out, "x" + escape(in)) << n << " " << at << " " << at2;
        }
      }
    }
  }
}

TEST(DebugText, OfValues) {
  auto v = parse(R"({"k":[1,-2,1.5,"a\tb",null,true],"e":{},"z":[]})");
  ASSERT_TRUE(v);
  EXPECT_EQ(debug_text(*v),
            "Object {\"e\": Object {}, \"k\": Array [Number(1), Number(-2), Number(1.5), String(\"a\\tb\"), Null, "
            "Bool(true)], \"z\": Array []}");
  EXPECT_EQ(debug_text(Value(1e16)), "Number(1e16)");
  EXPECT_EQ(debug_text(Value(7)), "Number(7)");
}

TEST(Parse, ObjectKeyOrderAndDuplicatesAtScale) {
  // More members than the small-object path handles, in reverse order, with repeats.
  std::string text = "{";
  for (int i = 40; i >= 0; --i) text += "\"k" + std::to_string(i % 30) + "\":" + std::to_string(i) + (i ? "," : "}");
  auto v = parse(text);
  ASSERT_TRUE(v);
  const Object& o = *v->as_object();
  EXPECT_EQ(o.size(), 30u);
  EXPECT_EQ(o.find("k0")->as_u64(), 0u);    // written last (i = 0) of k0's two occurrences (30, 0)
  EXPECT_EQ(o.find("k10")->as_u64(), 10u);  // occurrences 40 then 10
  EXPECT_EQ(o.find("k29")->as_u64(), 29u);
  std::string prev;
  for (const auto& [k, _] : o) {
    EXPECT_LT(prev, k);
    prev = k;
  }
}

}  // namespace
}  // namespace veltrac::json
