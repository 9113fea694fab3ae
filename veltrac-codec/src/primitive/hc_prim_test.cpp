#include "veltrac/primitive.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "json/record.hpp"
#include "primitive/values_test_util.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {
namespace {

using test::encode;
using test::hex;
using test::view;

TEST(HcPrimModel, CompactLayout) { EXPECT_EQ(sizeof(HcPrim), 16u); }

// ---- the forms of each kind ----

std::string simple_text(const HcPrim& p) {
  std::string out;
  EXPECT_TRUE(p.write_simple_json(out));
  return out;
}

std::string tagged_text(const HcPrim& p) {
  std::string out;
  EXPECT_TRUE(p.to_tagged_json(out));
  return out;
}

// Each value: its bytes (read back, the size counted ahead), its debug text, its simple JSON, its tagged JSON
// (read back).
TEST(HcPrimForms, EveryKind) {
  uint8_t bytes[] = {0x01, 'A', 0xFF};
  struct Case {
    HcPrim value;
    const char* binary;
    const char* debug;
    const char* simple;
    const char* tagged;
  };
  const Case cases[] = {
      {HcPrim(), "FF", "NOTHING(NOTHING)", "null", R"({"NOTHING":"NOTHING"})"},
      {HcPrim::string(""), "00 00", R"(STRING(STRING, ""))", R"("")", R"({"STRING":["STRING",""]})"},
      {HcPrim::string("a\"b\n", BaseType::THINGNAME), "64 04 61 22 62 0A", R"(STRING(THINGNAME, "a\"b\n"))",
       R"("a\"b\n")", R"({"STRING":["THINGNAME","a\"b\n"]})"},
      {HcPrim::integer(INT32_MIN), "16 80 00 00 00", "INTEGER(INTEGER, -2147483648)", "-2147483648",
       R"({"INTEGER":["INTEGER",-2147483648]})"},
      {HcPrim::long_(INT64_MIN), "17 80 00 00 00 00 00 00 00", "LONG(LONG, -9223372036854775808)",
       "-9223372036854775808", R"({"LONG":["LONG",-9223372036854775808]})"},
      {HcPrim::number(1.5), "01 3F F8 00 00 00 00 00 00", "NUMBER(NUMBER, 1.5)", "1.5", R"({"NUMBER":["NUMBER",1.5]})"},
      {HcPrim::boolean(true), "02 01", "BOOLEAN(BOOLEAN, true)", "true", R"({"BOOLEAN":["BOOLEAN",true]})"},
      {HcPrim::boolean(false), "02 00", "BOOLEAN(BOOLEAN, false)", "false", R"({"BOOLEAN":["BOOLEAN",false]})"},
      {HcPrim::datetime(-2), "03 FF FF FF FF FF FF FF FE", "DATETIME(DATETIME, -2)", "-2",
       R"({"DATETIME":["DATETIME",-2]})"},
      {HcPrim::location({1.0, 2.0, 3.0}), "06 3F F0 00 00 00 00 00 00 40 00 00 00 00 00 00 00 40 08 00 00 00 00 00 00",
       "LOCATION(LOCATION, 1.0, 2.0, 3.0)", R"({"elevation":3.0,"latitude":2.0,"longitude":1.0})",
       R"({"LOCATION":["LOCATION",1.0,2.0,3.0]})"},
      {HcPrim::blob(bytes, BaseType::IMAGE), "0A 80 00 00 03 01 41 FF", R"(BLOB(IMAGE, b"\x01A\xff"))",
       R"("[1,65,255]")", R"({"BLOB":["IMAGE",[1,65,255]]})"},
      {HcPrim::blob({}), "15 80 00 00 00", R"(BLOB(BLOB, b""))", R"("[]")", R"({"BLOB":["BLOB",[]]})"},
      {HcPrim::variant(HcPrim::long_(7)), "12 17 00 00 00 00 00 00 00 07", "VARIANT(VARIANT, LONG(LONG, 7))", "7",
       R"({"VARIANT":["VARIANT",{"LONG":["LONG",7]}]})"},
      {HcPrim::variant(HcPrim::variant(HcPrim())), "12 12 FF", "VARIANT(VARIANT, VARIANT(VARIANT, NOTHING(NOTHING)))",
       "null", R"({"VARIANT":["VARIANT",{"VARIANT":["VARIANT",{"NOTHING":"NOTHING"}]}]})"},
      {HcPrim::infotable(InfoTable()), "05 00 00",
       "INFOTABLE(INFOTABLE, InfoTable { datashape: DataShape { name: None, entries: {} }, rows: [] })",
       R"({"dataShape":{"fieldDefinitions":{}},"rows":[]})",
       R"({"INFOTABLE":["INFOTABLE",{"datashape":{"name":null,"entries":{}},"rows":[]}]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.debug);
    test::expect_round_trip(c.value, hex(c.binary));
    EXPECT_EQ(c.value.encoded_size().value_or(0), hex(c.binary).size());
    EXPECT_EQ(c.value.debug_text(), c.debug);
    EXPECT_EQ(simple_text(c.value), c.simple);
    EXPECT_EQ(tagged_text(c.value), c.tagged);
    auto back = json::read_document(c.tagged, [](json::Reader& r) { return HcPrim::from_tagged_json(r); });
    ASSERT_TRUE(back) << back.error().text();
    EXPECT_EQ(*back, c.value);
  }
  // Numbers JSON cannot carry.
  EXPECT_EQ(simple_text(HcPrim::number(-INFINITY)), "0.0");
  EXPECT_EQ(tagged_text(HcPrim::number(std::nan(""))), R"({"NUMBER":["NUMBER",null]})");
}

// ---- binary form ----

TEST(HcPrimBinary, Decoding) {
  uint8_t three[] = {1, 2, 3};
  test::expect_decodes<HcPrim>({
      {"", 0, HcPrim()},
      {"00", 1, HcPrim::string("")},  // a string code alone
      {"02 07", 2, HcPrim::boolean(true)},
      {"15 00 00 00 03 01 02 03", 8, HcPrim::blob(three)},  // blob length without the top bit
      {"12", 1, HcPrim::variant(HcPrim())},
      {"12 FF", 2, HcPrim::variant(HcPrim())},
      {"16 00 00 00 05 AA BB", 5, HcPrim::integer(5)},
      {"00 80 00 00 03 61 62 63", 8, HcPrim::string("abc")},  // four-byte string prefix
  });
  const char* truncated = "Io Error: failed to fill whole buffer";
  const char* unimplemented = "Unimplemented HC_VARIANT Family:Not implemented yet family type:HC_NULL";
  test::expect_errors<HcPrim>({
      {"13", "Invalid Base Type: 19"},
      {"04 00 00", unimplemented},  // TIMESPAN
      {"11", unimplemented},        // SCHEDULE
      {"16 00 01", truncated},
      {"02", truncated},
      {"06 00000000 00000000 00000000 00000000 00000000 000000", truncated},
      {"15 80 00", truncated},
      {"15 80 00 00 04 01 02 03", truncated},
      {"15 FF FF FF FF 00", truncated},  // a length near 2^31 fails before anything is allocated
      {"12 13", "Invalid Base Type: 19"},
      {"05 00 01 00 01 13", "Invalid Base Type: 19"},
  });
  // A typed payload has no code; the count is of the payload.
  auto typed = HcPrim::from_bytes_typed(view(hex("00 00 00 05")), BaseType::INTEGER);
  ASSERT_TRUE(typed);
  EXPECT_EQ(typed->value, HcPrim::integer(5));
  EXPECT_EQ(typed->consumed, 4u);
  auto empty = HcPrim::from_bytes_typed({}, BaseType::XML);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->value, HcPrim::string("", BaseType::XML));
  EXPECT_EQ(empty->consumed, 0u);
}

// Variants and tables share one bound of 200 nesting levels; a typed VARIANT payload is the first level.
TEST(HcPrimBinary, NestingBound) {
  auto variants = [](size_t levels) {
    std::vector<uint8_t> in(levels, 0x12);
    for (uint8_t b : hex("16 00 00 00 01")) in.push_back(b);
    return in;
  };
  // Alternating VARIANT and INFOTABLE levels: each table holds one row with one value.
  auto mixed = [](size_t levels) {
    std::vector<uint8_t> head, tail;
    for (size_t i = 0; i < levels; ++i) {
      if (i % 2 == 0) {
        head.push_back(0x12);
      } else {
        for (uint8_t b : hex("05 00 01 00 01")) head.push_back(b);
        tail.push_back(0x00);
      }
    }
    head.push_back(0xFF);
    head.insert(head.end(), tail.rbegin(), tail.rend());
    return head;
  };
  const std::string too_deep = "Io Error: nesting depth exceeds 200";
  for (auto build : {+variants, +mixed}) {
    auto ok = build(200);
    auto d = test::decode_exact<HcPrim>(ok);
    ASSERT_TRUE(d) << d.error().message();
    EXPECT_EQ(d->consumed, ok.size());
    EXPECT_EQ(encode(d->value), ok);
    EXPECT_EQ(test::error_text(test::decode_exact<HcPrim>(build(201))), too_deep);
  }
  auto typed = variants(199);
  EXPECT_TRUE(HcPrim::from_bytes_typed(view(typed), BaseType::VARIANT));
  typed.insert(typed.begin(), 0x12);
  EXPECT_EQ(test::error_text(HcPrim::from_bytes_typed(view(typed), BaseType::VARIANT)), too_deep);
}

// ---- deep values: copy, compare and destroy without recursion ----

TEST(HcPrimModel, DeepValuesCopyAndDie) {
  HcPrim v = HcPrim::integer(1);
  for (int i = 0; i < 1'000'000; ++i) v = HcPrim::variant(std::move(v));
  HcPrim copy = v;
  EXPECT_EQ(copy, v);
  EXPECT_EQ(copy.type_name(), "INTEGER");
  EXPECT_EQ(copy.innermost(), HcPrim::integer(1));
  EXPECT_EQ(v.encoded_size().value_or(0), 1'000'005u);

  v = HcPrim::string("leaf");
  for (int i = 0; i < 100'000; ++i) {
    InfoTable t;
    t.append_row({&v, 1});  // moved, not copied through an initializer list
    v = HcPrim::infotable(std::move(t));
  }
  HcPrim table_copy = v;
  EXPECT_TRUE(table_copy == v);
  table_copy = HcPrim();
  HcPrim moved = std::move(v);
  EXPECT_EQ(v, HcPrim());  // NOLINT(bugprone-use-after-move): a moved-from value is left as NOTHING
  EXPECT_EQ(moved.kind(), PrimKind::INFOTABLE);
}

TEST(HcPrimModel, AssignmentEqualityAndNames) {
  HcPrim v = HcPrim::variant(HcPrim::variant(HcPrim::string("x")));
  EXPECT_EQ(v.full_type_name(), "VARIANT::VARIANT::STRING");
  EXPECT_EQ(v.type_name(), "STRING");
  v = std::move(v.as_variant());  // from its own inner value
  EXPECT_EQ(v, HcPrim::variant(HcPrim::string("x")));
  const HcPrim& self = v;  // self-assignment, through a reference
  v = self;
  EXPECT_EQ(v, HcPrim::variant(HcPrim::string("x")));
  EXPECT_EQ(HcPrim::string("s", BaseType::XML).full_type_name(), "STRING");
  // Numbers compare bitwise, types too.
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(HcPrim::number(nan), HcPrim::number(nan));
  EXPECT_NE(HcPrim::number(0.0), HcPrim::number(-0.0));
  EXPECT_NE(HcPrim::string("a"), HcPrim::string("a", BaseType::XML));
  auto d = test::decode_exact<HcPrim>(encode(HcPrim::number(nan)));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->value, HcPrim::number(nan));
}

// Texts and bytes on both sides of the inline capacity (12 bytes) keep their content through copy, move,
// assignment and the binary form, and differ from a text one byte shorter.
TEST(HcPrimModel, InlineBoundary) {
  const std::string full = "abcdefghijklmnopq";
  for (size_t n : {0, 1, 11, 12, 13, 16}) {
    SCOPED_TRACE(n);
    const std::string_view text(full.data(), n);
    const Bytes bytes(reinterpret_cast<const uint8_t*>(full.data()), n);
    for (HcPrim v : {HcPrim::string(text), HcPrim::blob(bytes)}) {
      HcPrim copy = v;
      HcPrim moved = std::move(copy);
      HcPrim assigned = HcPrim::integer(1);
      assigned = moved;
      for (const HcPrim* p : {&v, &moved, &assigned}) {
        const Bytes b = p->kind() == PrimKind::BLOB ? p->as_blob() : Bytes();
        EXPECT_EQ(p->kind() == PrimKind::STRING ? p->as_string()
                                                : std::string_view(reinterpret_cast<const char*>(b.data()), b.size()),
                  text);
        EXPECT_EQ(*p, v);
      }
      EXPECT_EQ(copy, HcPrim());  // NOLINT(bugprone-use-after-move): a moved-from value is left as NOTHING
      auto d = test::decode_exact<HcPrim>(encode(v));
      ASSERT_TRUE(d);
      EXPECT_EQ(d->value, v);
    }
    if (n > 0) {
      EXPECT_NE(HcPrim::string(text.substr(0, n - 1)), HcPrim::string(text));
    }
  }
}

// ---- typed JSON ----

std::string typed_text(const HcPrim& p, BaseType t) {
  std::string out;
  auto ok = p.write_json_typed(out, t);
  return ok ? out : "error: " + ok.error().message();
}

TEST(HcPrimJson, TypedWrite) {
  uint8_t bytes[] = {1, 2, 255};
  const std::string p2j = "error: Failed to convert from HcPrim to JsonValue:";
  struct Case {
    HcPrim value;
    BaseType type;
    std::string text;
  };
  std::vector<Case> cases = {
      {HcPrim::number(1.5), BaseType::NUMBER, "1.5"},
      {HcPrim::number(std::nan("")), BaseType::NUMBER, "0.0"},
      {HcPrim::integer(5), BaseType::INTEGER, "5"},
      {HcPrim::long_(-9), BaseType::LONG, "-9"},
      {HcPrim::datetime(12), BaseType::DATETIME, "12"},
      {HcPrim::boolean(true), BaseType::BOOLEAN, "true"},
      {HcPrim::string("t\"x"), BaseType::STRING, "\"t\\\"x\""},
      {HcPrim::location({0.0, 2.0, INFINITY}), BaseType::LOCATION,
       "{\"elevation\":0.0,\"latitude\":2.0,\"longitude\":0.0}"},
      {HcPrim::blob(bytes), BaseType::BLOB, "\"[1,2,255]\""},
      {HcPrim::blob({}), BaseType::IMAGE, "\"[]\""},
      {HcPrim::variant(HcPrim::long_(7)), BaseType::VARIANT, "7"},
      {HcPrim::infotable(InfoTable()), BaseType::INFOTABLE,
       "\"{\\\"datashape\\\":{\\\"name\\\":null,\\\"entries\\\":{}},\\\"rows\\\":[]}\""},
      {HcPrim(), BaseType::NOTHING, "null"},
      {HcPrim::integer(5), BaseType::NOTHING, "null"},
      {HcPrim::integer(5), BaseType::LONG, p2j + "not a long, value: INTEGER(INTEGER, 5),base_type:LONG"},
      {HcPrim::datetime(12), BaseType::LONG, p2j + "not a long, value: DATETIME(DATETIME, 12),base_type:LONG"},
      {HcPrim::integer(5), BaseType::STRING, p2j + "not a string,value: INTEGER(INTEGER, 5),base_type:STRING"},
      {HcPrim::boolean(true), BaseType::STRING, p2j + "not a string,value: BOOLEAN(BOOLEAN, true),base_type:STRING"},
      {HcPrim::string("x"), BaseType::VARIANT, p2j + "not a variant, value: STRING(STRING, \"x\"),base_type:VARIANT"},
      {HcPrim::string("x"), BaseType::TIMESPAN, p2j + "not supported, value: STRING(STRING, \"x\"),base_type:TIMESPAN"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(typed_text(c.value, c.type), c.text);
  }
}

TEST(HcPrimJson, TypedRead) {
  uint8_t bytes[] = {1, 2, 255};
  const std::string j2p = "error: Failed to convert from JsonValue to HcPrim:";
  struct Case {
    const char* json;
    BaseType type;
    HcPrim expected;
    std::string error;
  };
  std::vector<Case> cases = {
      {"4294967297", BaseType::INTEGER, HcPrim::integer(1), ""},
      {"2.5", BaseType::INTEGER, HcPrim::integer(0), ""},
      {"18446744073709551615", BaseType::LONG, HcPrim::long_(0), ""},
      {"\"7\"", BaseType::LONG, HcPrim::long_(0), ""},
      {"-3", BaseType::DATETIME, HcPrim::datetime(-3), ""},
      {"1", BaseType::BOOLEAN, HcPrim::boolean(false), ""},
      {"3", BaseType::NUMBER, HcPrim::number(3.0), ""},
      {"null", BaseType::NUMBER, HcPrim::number(0.0), ""},
      {"{\"latitude\": 2, \"x\": 1}", BaseType::LOCATION, HcPrim::location({0.0, 2.0, 0.0}), ""},
      {"[1]", BaseType::LOCATION, HcPrim::location({}), ""},
      {"\"abc\"", BaseType::THINGNAME, HcPrim::string("abc", BaseType::THINGNAME), ""},
      {"\" [1, 2,255] \"", BaseType::BLOB, HcPrim::blob(bytes), ""},
      {"\"[]\"", BaseType::IMAGE, HcPrim::blob({}, BaseType::IMAGE), ""},
      {"{\"a\":1}", BaseType::NOTHING, HcPrim(), ""},
      {"\"{\\\"datashape\\\":{\\\"entries\\\":{}},\\\"rows\\\":[]}\"", BaseType::INFOTABLE,
       HcPrim::infotable(InfoTable()), ""},
      {"5", BaseType::STRING, {}, j2p + "not a string: value: Number(5),base_type:STRING"},
      {"null", BaseType::GUID, {}, j2p + "not a string: value: Null,base_type:GUID"},
      {"7", BaseType::VARIANT, {}, j2p + "Can't convert from json to variant:Number(7)"},
      {"\"x\"", BaseType::TIMESPAN, {}, j2p + "HC_VARIANT Failed to convert from Json value to HcPrim"},
      {"5", BaseType::BLOB, {}, "error: Serde Json Error: EOF while parsing a value at line 1 column 0"},
      {"\"{}\"", BaseType::INFOTABLE, {}, "error: Serde Json Error: missing field `datashape` at line 1 column 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto v = json::parse(c.json);
    ASSERT_TRUE(v);
    auto p = HcPrim::from_json_typed(std::move(*v), c.type);
    if (c.error.empty()) {
      ASSERT_TRUE(p) << p.error().message();
      EXPECT_EQ(*p, c.expected);
    } else {
      ASSERT_FALSE(p);
      EXPECT_EQ("error: " + p.error().message(), c.error);
    }
  }
}

// ---- tagged JSON ----

TEST(HcPrimJson, TaggedReadErrors) {
  auto read = [](std::string_view text) {
    return json::read_document(text, [](json::Reader& r) { return HcPrim::from_tagged_json(r); });
  };
  test::expect_json_errors(
      read,
      {
          {"{\"FLOAT\":[\"NUMBER\",1.0]}",
           "unknown variant `FLOAT`, expected one of `NOTHING`, `STRING`, `NUMBER`, `INTEGER`, `LONG`, `BOOLEAN`, "
           "`LOCATION`, `BLOB`, `DATETIME`, `INFOTABLE`, `VARIANT` at line 1 column 8"},
          {"{\"INTEGER\":[\"INTEGER\"]}",
           "invalid length 1, expected tuple variant HcPrim::INTEGER with 2 elements at line 1 column 22"},
          {"{\"LOCATION\":[\"LOCATION\",1,2]}",
           "invalid length 3, expected tuple variant HcPrim::LOCATION with 4 elements at line 1 column 28"},
          {"{\"INTEGER\":5}", "invalid type: integer `5`, expected enum HcPrim variant INTEGER at line 1 column 12"},
          {"{\"VARIANT\":[\"VARIANT\",\"INTEGER\"]}",
           "invalid type: unit variant, expected enum HcPrim variant INTEGER at line 1 column 32"},
          {"{\"INTEGER\":[\"INTEGER\",2147483648]}",
           "invalid value: integer `2147483648`, expected i32 at line 1 column 32"},
          {"{\"INTEGER\":[\"INTEGER\",1.5]}", "invalid type: floating point `1.5`, expected i32 at line 1 column 25"},
          {"{\"INTEGER\":[\"INTEGER\",\"5\"]}", "invalid type: string \"5\", expected i32 at line 1 column 25"},
          {"{\"NUMBER\":[\"NUMBER\",null]}", "invalid type: null, expected f64 at line 1 column 24"},
          {"{\"INTEGER\":[\"VARIANT\",0]}",
           "invalid value: string \"VARIANT\", expected a base type stored as INTEGER at line 1 column 21"},
          {"{\"NOTHING\":\"STRING\"}",
           "invalid value: string \"STRING\", expected a base type stored as NOTHING at line 1 column 19"},
          {"{\"STRING\":[\"TIMESPAN\",\"x\"]}",
           "invalid value: string \"TIMESPAN\", expected a base type stored as STRING at line 1 column 21"},
          {"{\"BOOLEAN\":[\"BOOLEAN\",1]}", "invalid type: integer `1`, expected a boolean at line 1 column 23"},
      });
}

}  // namespace
}  // namespace veltrac
