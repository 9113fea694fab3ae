#include "veltrac/primitive.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "json/record.hpp"
#include "primitive/values_test_util.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {
namespace {

using test::hex;
using test::view;

std::vector<uint8_t> encode(const HcPrim& p) {
  ByteBuffer out;
  auto n = p.to_bytes(out);
  EXPECT_TRUE(n.has_value());
  if (n) {
    EXPECT_EQ(*n, out.size());
  }
  return out.vector();
}

std::string error_text(Bytes in) {
  auto r = HcPrim::from_bytes(in);
  return r ? std::string("<ok>") : r.error().message();
}

TEST(HcPrimModel, CompactLayout) { EXPECT_EQ(sizeof(HcPrim), 16u); }

// ---- binary vectors: encode exactly, decode back with the full count ----

struct Vector {
  const char* name;
  HcPrim value;
  const char* bytes;
};

std::vector<Vector> vectors() {
  uint8_t three[] = {1, 2, 3};
  return {
      {"nothing", HcPrim(), "FF"},
      {"string", HcPrim::string("abc"), "00 03 61 62 63"},
      {"empty_string", HcPrim::string(""), "00 00"},
      {"thingname", HcPrim::string("abc", BaseType::THINGNAME), "64 03 61 62 63"},
      {"integer", HcPrim::integer(-1), "16 FF FF FF FF"},
      {"long", HcPrim::long_(1), "17 00 00 00 00 00 00 00 01"},
      {"number", HcPrim::number(1.0), "01 3F F0 00 00 00 00 00 00"},
      {"boolean", HcPrim::boolean(true), "02 01"},
      {"datetime", HcPrim::datetime(-2), "03 FF FF FF FF FF FF FF FE"},
      {"location", HcPrim::location({1.0, 2.0, 3.0}),
       "06 3F F0 00 00 00 00 00 00 40 00 00 00 00 00 00 00 40 08 00 00 00 00 00 00"},
      {"blob", HcPrim::blob(three), "15 80 00 00 03 01 02 03"},
      {"image", HcPrim::blob(three, BaseType::IMAGE), "0A 80 00 00 03 01 02 03"},
      {"empty_blob", HcPrim::blob({}), "15 80 00 00 00"},
      {"variant", HcPrim::variant(HcPrim::integer(5)), "12 16 00 00 00 05"},
      {"variant_variant", HcPrim::variant(HcPrim::variant(HcPrim())), "12 12 FF"},
      {"empty_table", HcPrim::infotable(InfoTable()), "05 00 00"},
  };
}

TEST(HcPrimBinary, Vectors) {
  for (const Vector& v : vectors()) {
    SCOPED_TRACE(v.name);
    std::string bytes_text = v.bytes;
    auto expected = hex(bytes_text);
    EXPECT_EQ(encode(v.value), expected);
    auto size = v.value.encoded_size();
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, expected.size());
    auto d = HcPrim::from_bytes(view(expected));
    ASSERT_TRUE(d) << d.error().message();
    EXPECT_EQ(d->value, v.value);
    EXPECT_EQ(d->consumed, expected.size());
  }
}

struct DecodeCase {
  const char* name;
  const char* bytes;
  HcPrim expected;
  size_t consumed;
};

TEST(HcPrimBinary, DecodeOnly) {
  uint8_t three[] = {1, 2, 3};
  std::vector<DecodeCase> cases = {
      {"empty_input", "", HcPrim(), 0},
      {"string_code_alone", "00", HcPrim::string(""), 1},
      {"boolean_nonzero", "02 07", HcPrim::boolean(true), 2},
      {"blob_length_without_top_bit", "15 00 00 00 03 01 02 03", HcPrim::blob(three), 8},
      {"variant_alone", "12", HcPrim::variant(HcPrim()), 1},
      {"variant_nothing", "12 FF", HcPrim::variant(HcPrim()), 2},
      {"trailing_bytes_left", "16 00 00 00 05 AA BB", HcPrim::integer(5), 5},
      {"four_byte_string_prefix", "00 80 00 00 03 61 62 63", HcPrim::string("abc"), 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto in = hex(c.bytes);
    auto d = HcPrim::from_bytes(view(in));
    ASSERT_TRUE(d) << d.error().message();
    EXPECT_EQ(d->value, c.expected);
    EXPECT_EQ(d->consumed, c.consumed);
  }
}

TEST(HcPrimBinary, DecodeErrors) {
  const std::string truncated = "Io Error: failed to fill whole buffer";
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;
  };
  std::vector<Case> cases = {
      {"unknown_code", "13", "Invalid Base Type: 19"},
      {"timespan", "04 00 00", "Unimplemented HC_VARIANT Family:Not implemented yet family type:HC_NULL"},
      {"schedule", "11", "Unimplemented HC_VARIANT Family:Not implemented yet family type:HC_NULL"},
      {"short_integer", "16 00 01", truncated},
      {"short_boolean", "02", truncated},
      {"short_location", "06" + std::string(46, '0'), truncated},
      {"short_blob_length", "15 80 00", truncated},
      {"short_blob_content", "15 80 00 00 04 01 02 03", truncated},
      // A length near 2^31 with a short input fails before anything is allocated.
      {"huge_blob_length", "15 FF FF FF FF 00", truncated},
      {"variant_of_unknown", "12 13", "Invalid Base Type: 19"},
      {"table_value_unknown", "05 00 01 00 01 13", "Invalid Base Type: 19"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto in = hex(c.bytes);
    EXPECT_EQ(error_text(view(in)), c.message);
  }
}

TEST(HcPrimBinary, FromBytesTypedCountsPayloadOnly) {
  auto in = hex("00 00 00 05");
  auto d = HcPrim::from_bytes_typed(view(in), BaseType::INTEGER);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->value, HcPrim::integer(5));
  EXPECT_EQ(d->consumed, 4u);
  auto empty = HcPrim::from_bytes_typed({}, BaseType::XML);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->value, HcPrim::string("", BaseType::XML));
  EXPECT_EQ(empty->consumed, 0u);
}

// ---- nesting bound ----

TEST(HcPrimBinary, MillionVariantCodesFailCleanly) {
  std::vector<uint8_t> in(1'000'000, 0x12);
  EXPECT_EQ(error_text(view(in)), "Io Error: nesting depth exceeds 200");
}

TEST(HcPrimBinary, NestingBoundIsExact) {
  auto chain = [](size_t variants) {
    std::vector<uint8_t> in(variants, 0x12);
    for (uint8_t b : hex("16 00 00 00 01")) in.push_back(b);
    return in;
  };
  auto ok = chain(200);
  auto d = HcPrim::from_bytes(view(ok));
  ASSERT_TRUE(d) << d.error().message();
  EXPECT_EQ(d->consumed, ok.size());
  EXPECT_EQ(encode(d->value), ok);
  auto deep = chain(201);
  EXPECT_EQ(error_text(view(deep)), "Io Error: nesting depth exceeds 200");
}

TEST(HcPrimBinary, NestingBoundSharedByTablesAndVariants) {
  // Alternating VARIANT and INFOTABLE levels: each table holds one row with one value.
  auto build = [](size_t levels) {
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
  auto ok = build(200);
  auto d = HcPrim::from_bytes(view(ok));
  ASSERT_TRUE(d) << d.error().message();
  EXPECT_EQ(d->consumed, ok.size());
  EXPECT_EQ(encode(d->value), ok);
  auto deep = build(201);
  EXPECT_EQ(error_text(view(deep)), "Io Error: nesting depth exceeds 200");
}

// ---- deep values: copy, compare and destroy without recursion ----

TEST(HcPrimModel, DeepVariantChainCopiesAndDies) {
  HcPrim v = HcPrim::integer(1);
  for (int i = 0; i < 1'000'000; ++i) v = HcPrim::variant(std::move(v));
  HcPrim copy = v;
  EXPECT_EQ(copy, v);
  EXPECT_EQ(copy.type_name(), "INTEGER");
  EXPECT_EQ(copy.innermost(), HcPrim::integer(1));
  auto size = v.encoded_size();
  ASSERT_TRUE(size);
  EXPECT_EQ(*size, 1'000'005u);
}

TEST(HcPrimModel, DeepTablesInValuesCopyAndDie) {
  HcPrim v = HcPrim::string("leaf");
  for (int i = 0; i < 100'000; ++i) {
    InfoTable t;
    t.append_row({&v, 1});  // moved, not copied through an initializer list
    v = HcPrim::infotable(std::move(t));
  }
  HcPrim copy = v;
  EXPECT_TRUE(copy == v);
  copy = HcPrim();
  HcPrim moved = std::move(v);
  EXPECT_EQ(v, HcPrim());
  EXPECT_EQ(moved.kind(), PrimKind::INFOTABLE);
}

TEST(HcPrimModel, MoveAssignFromOwnInnerValue) {
  HcPrim v = HcPrim::variant(HcPrim::variant(HcPrim::string("x")));
  v = std::move(v.as_variant());
  EXPECT_EQ(v, HcPrim::variant(HcPrim::string("x")));
  const HcPrim& self = v;  // self-assignment, through a reference
  v = self;
  EXPECT_EQ(v, HcPrim::variant(HcPrim::string("x")));
}

TEST(HcPrimModel, NaNComparesBitwise) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(HcPrim::number(nan), HcPrim::number(nan));
  EXPECT_NE(HcPrim::number(0.0), HcPrim::number(-0.0));
  EXPECT_NE(HcPrim::string("a"), HcPrim::string("a", BaseType::XML));
  auto d = HcPrim::from_bytes(view(encode(HcPrim::number(nan))));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->value, HcPrim::number(nan));
}

TEST(HcPrimModel, TypeNames) {
  HcPrim v = HcPrim::variant(HcPrim::variant(HcPrim::integer(3)));
  EXPECT_EQ(v.type_name(), "INTEGER");
  EXPECT_EQ(v.full_type_name(), "VARIANT::VARIANT::INTEGER");
  EXPECT_EQ(HcPrim::string("s", BaseType::XML).full_type_name(), "STRING");
}

// ---- debug text ----

TEST(HcPrimText, Debug) {
  uint8_t bytes[] = {0x01, 'A', '"', '\\', 0x00, 0x09, 0x0A, 0x0D, 0x7F};
  struct Case {
    HcPrim value;
    const char* text;
  };
  std::vector<Case> cases = {
      {HcPrim(), "NOTHING(NOTHING)"},
      {HcPrim::integer(-5), "INTEGER(INTEGER, -5)"},
      {HcPrim::number(1e16), "NUMBER(NUMBER, 1e16)"},
      {HcPrim::number(0.5), "NUMBER(NUMBER, 0.5)"},
      {HcPrim::number(2.0), "NUMBER(NUMBER, 2.0)"},
      {HcPrim::string("a\"b\n", BaseType::THINGNAME), "STRING(THINGNAME, \"a\\\"b\\n\")"},
      {HcPrim::boolean(false), "BOOLEAN(BOOLEAN, false)"},
      {HcPrim::datetime(7), "DATETIME(DATETIME, 7)"},
      {HcPrim::location({1.0, 2.0, 3.0}), "LOCATION(LOCATION, 1.0, 2.0, 3.0)"},
      {HcPrim::blob(bytes, BaseType::IMAGE), "BLOB(IMAGE, b\"\\x01A\\\"\\\\\\0\\t\\n\\r\\x7f\")"},
      {HcPrim::variant(HcPrim::long_(7)), "VARIANT(VARIANT, LONG(LONG, 7))"},
      {HcPrim::infotable(InfoTable(std::string("n"))),
       "INFOTABLE(INFOTABLE, InfoTable { datashape: DataShape { name: Some(\"n\"), entries: {} }, rows: [] })"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.debug_text(), c.text);
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
      {HcPrim::number(2.0), BaseType::NUMBER, "2.0"},
      {HcPrim::number(std::nan("")), BaseType::NUMBER, "0.0"},
      {HcPrim::integer(5), BaseType::INTEGER, "5"},
      {HcPrim::integer(-5), BaseType::INTEGER, "-5"},
      {HcPrim::long_(-9), BaseType::LONG, "-9"},
      {HcPrim::datetime(12), BaseType::DATETIME, "12"},
      {HcPrim::boolean(true), BaseType::BOOLEAN, "true"},
      {HcPrim::string("t\"x"), BaseType::STRING, "\"t\\\"x\""},
      {HcPrim::string("x"), BaseType::DATASHAPENAME, "\"x\""},
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
      {HcPrim::integer(5), BaseType::STRING, p2j + "not a string,value: INTEGER(INTEGER, 5),base_type:STRING"},
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
      {"-1", BaseType::INTEGER, HcPrim::integer(-1), ""},
      {"2.5", BaseType::INTEGER, HcPrim::integer(0), ""},
      {"18446744073709551615", BaseType::LONG, HcPrim::long_(0), ""},
      {"\"7\"", BaseType::LONG, HcPrim::long_(0), ""},
      {"-3", BaseType::DATETIME, HcPrim::datetime(-3), ""},
      {"1", BaseType::BOOLEAN, HcPrim::boolean(false), ""},
      {"true", BaseType::BOOLEAN, HcPrim::boolean(true), ""},
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
      {"\"[1,2,256]\"",
       BaseType::BLOB,
       {},
       "error: Serde Json Error: invalid value: integer `256`, expected u8 at line 1 column 8"},
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

// ---- simple JSON ----

TEST(HcPrimJson, Simple) {
  uint8_t bytes[] = {1, 2, 255};
  InfoTable t;
  t.add_field_definition({"a", "", BaseType::INTEGER, {}});
  t.add_row(InfoTableRow{{HcPrim::integer(1)}});
  struct Case {
    HcPrim value;
    const char* text;
  };
  std::vector<Case> cases = {
      {HcPrim(), "null"},
      {HcPrim::variant(HcPrim::variant(HcPrim::long_(7))), "7"},
      {HcPrim::number(-INFINITY), "0.0"},
      {HcPrim::number(1e16), "1e16"},
      {HcPrim::integer(-3), "-3"},
      {HcPrim::datetime(3), "3"},
      {HcPrim::boolean(false), "false"},
      {HcPrim::string("x", BaseType::XML), "\"x\""},
      {HcPrim::blob(bytes), "\"[1,2,255]\""},
      {HcPrim::location({1.0, 2.0, 3.0}), "{\"elevation\":3.0,\"latitude\":2.0,\"longitude\":1.0}"},
      {HcPrim::infotable(t),
       "{\"dataShape\":{\"fieldDefinitions\":{\"a\":{\"aspects\":{},\"baseType\":\"INTEGER\",\"description\":\"\","
       "\"name\":\"a\",\"ordinal\":0}}},\"rows\":[{\"a\":1}]}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string direct;
    ASSERT_TRUE(c.value.write_simple_json(direct));
    EXPECT_EQ(direct, c.text);
  }
}

// ---- tagged JSON ----

TEST(HcPrimJson, TaggedRoundTrip) {
  uint8_t bytes[] = {1, 2};
  struct Case {
    HcPrim value;
    const char* text;
  };
  std::vector<Case> cases = {
      {HcPrim(), "{\"NOTHING\":\"NOTHING\"}"},
      {HcPrim::boolean(true), "{\"BOOLEAN\":[\"BOOLEAN\",true]}"},
      {HcPrim::integer(5), "{\"INTEGER\":[\"INTEGER\",5]}"},
      {HcPrim::integer(INT32_MIN), "{\"INTEGER\":[\"INTEGER\",-2147483648]}"},
      {HcPrim::long_(INT64_MIN), "{\"LONG\":[\"LONG\",-9223372036854775808]}"},
      {HcPrim::datetime(9), "{\"DATETIME\":[\"DATETIME\",9]}"},
      {HcPrim::number(1.5), "{\"NUMBER\":[\"NUMBER\",1.5]}"},
      {HcPrim::string("t", BaseType::THINGNAME), "{\"STRING\":[\"THINGNAME\",\"t\"]}"},
      {HcPrim::blob(bytes, BaseType::IMAGE), "{\"BLOB\":[\"IMAGE\",[1,2]]}"},
      {HcPrim::blob({}), "{\"BLOB\":[\"BLOB\",[]]}"},
      {HcPrim::location({1.0, 2.0, 3.0}), "{\"LOCATION\":[\"LOCATION\",1.0,2.0,3.0]}"},
      {HcPrim::variant(HcPrim::long_(7)), "{\"VARIANT\":[\"VARIANT\",{\"LONG\":[\"LONG\",7]}]}"},
      {HcPrim::infotable(InfoTable()),
       "{\"INFOTABLE\":[\"INFOTABLE\",{\"datashape\":{\"name\":null,\"entries\":{}},\"rows\":[]}]}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out;
    ASSERT_TRUE(c.value.to_tagged_json(out));
    EXPECT_EQ(out, c.text);
    auto back = json::read_document(out, [](json::Reader& r) { return HcPrim::from_tagged_json(r); });
    ASSERT_TRUE(back) << back.error().text();
    EXPECT_EQ(*back, c.value);
  }
  std::string nan;
  ASSERT_TRUE(HcPrim::number(std::nan("")).to_tagged_json(nan));
  EXPECT_EQ(nan, "{\"NUMBER\":[\"NUMBER\",null]}");
}

TEST(HcPrimJson, TaggedReadErrors) {
  struct Case {
    const char* json;
    const char* error;
  };
  std::vector<Case> cases = {
      {"[{\"FLOAT\":[\"NUMBER\",1.0]}]",
       "unknown variant `FLOAT`, expected one of `NOTHING`, `STRING`, `NUMBER`, `INTEGER`, `LONG`, `BOOLEAN`, "
       "`LOCATION`, `BLOB`, `DATETIME`, `INFOTABLE`, `VARIANT` at line 1 column 9"},
      {"[{\"INTEGER\":[\"INTEGER\"]}]",
       "invalid length 1, expected tuple variant HcPrim::INTEGER with 2 elements at line 1 column 23"},
      {"[{\"LOCATION\":[\"LOCATION\",1,2]}]",
       "invalid length 3, expected tuple variant HcPrim::LOCATION with 4 elements at line 1 column 29"},
      {"[{\"INTEGER\":5}]", "invalid type: integer `5`, expected enum HcPrim variant INTEGER at line 1 column 13"},
      {"[\"INTEGER\"]", "invalid type: unit variant, expected enum HcPrim variant INTEGER at line 1 column 11"},
      {"[{\"INTEGER\":[\"INTEGER\",2147483648]}]",
       "invalid value: integer `2147483648`, expected i32 at line 1 column 33"},
      {"[{\"INTEGER\":[\"INTEGER\",1.5]}]", "invalid type: floating point `1.5`, expected i32 at line 1 column 26"},
      {"[{\"BLOB\":[\"BLOB\",[256]]}]", "invalid value: integer `256`, expected u8 at line 1 column 21"},
      {"[{\"NUMBER\":[\"NUMBER\",null]}]", "invalid type: null, expected f64 at line 1 column 25"},
      {"[{\"INTEGER\":[\"VARIANT\",0]}]",
       "invalid value: string \"VARIANT\", expected a base type stored as INTEGER at line 1 column 22"},
      {"[{\"NOTHING\":\"STRING\"}]",
       "invalid value: string \"STRING\", expected a base type stored as NOTHING at line 1 column 20"},
      {"[{\"STRING\":[\"TIMESPAN\",\"x\"]}]",
       "invalid value: string \"TIMESPAN\", expected a base type stored as STRING at line 1 column 22"},
      {"[{\"STRING\":[\"string\",\"x\"]}]", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto r = json::read_document(c.json, [](json::Reader& r) -> json::Expected<std::vector<HcPrim>> {
      std::vector<HcPrim> out;
      auto ok = json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
        auto v = HcPrim::from_tagged_json(r);
        if (!v) return json::fail(std::move(v.error()));
        out.push_back(std::move(*v));
        return {};
      });
      if (!ok) return json::fail(std::move(ok.error()));
      return out;
    });
    ASSERT_FALSE(r);
    if (c.error) {
      EXPECT_EQ(r.error().text(), c.error);
    } else
      EXPECT_NE(r.error().text().find("unknown variant `string`"), std::string::npos) << r.error().text();
  }
}

}  // namespace
}  // namespace veltrac
