#include "veltrac/aspects.hpp"

#include <gtest/gtest.h>

#include "json/record.hpp"
#include "primitive/values_test_util.hpp"

namespace veltrac {
namespace {

using test::hex;
using test::view;

TEST(AspectsMap, Lookups) {
  const std::pair<std::string_view, std::optional<BaseType>> cases[] = {
      {"defaultValue", BaseType::STRING},
      {"maxInclude", BaseType::BOOLEAN},
      {"scanRate", BaseType::INTEGER},
      {"pushThreshold", BaseType::NUMBER},
      {"thingShape", BaseType::THINGSHAPENAME},
      {"isprimarykey", std::nullopt},
      {"isPrimaryKey ", std::nullopt},
      {"", std::nullopt},
      {std::string_view("units\0", 6), std::nullopt},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(lookup_aspect(name), type) << name;
}

TEST(AspectsMap, UnknownNameWarns) {
  test::LogCapture logs;
  EXPECT_EQ(get_base_type("myNote"), BaseType::STRING);
  EXPECT_TRUE(
      logs.has("veltrac_codec::aspect::impls", "myNote is not a predefined aspect name, use string as default"));
  logs.lines.clear();
  EXPECT_EQ(get_base_type("isPrimaryKey"), BaseType::BOOLEAN);
  EXPECT_TRUE(logs.lines.empty());
}

TEST(AspectsModel, InsertKeepsFirstPositionAndIndexesLargeMaps) {
  Aspects a;
  for (int i = 0; i < 40; ++i) a.insert("k" + std::to_string(i), HcPrim::integer(i));
  a.insert("k3", HcPrim::integer(-3));
  ASSERT_EQ(a.size(), 40u);
  EXPECT_EQ(a.inner().at(3).first, "k3");
  EXPECT_EQ(*a.find("k3"), HcPrim::integer(-3));
  EXPECT_EQ(*a.find("k39"), HcPrim::integer(39));
  EXPECT_EQ(a.find("k40"), nullptr);
  Aspects b;
  for (int i = 39; i >= 0; --i) b.insert("k" + std::to_string(i), HcPrim::integer(i == 3 ? -3 : i));
  EXPECT_EQ(a, b);  // same entries in another order
}

// Maps on both sides of the entries kept in the map itself (4) and of the index (9) keep their entries, in
// order, through copy, move, assignment and a replacing insert.
TEST(AspectsModel, CopyAndMoveAcrossInlineRoom) {
  static_assert(Aspects::Map::kInlineCount == 4);
  for (int n : {0, 1, 4, 5, 8, 9, 10}) {
    SCOPED_TRACE(n);
    Aspects a;
    for (int i = 0; i < n; ++i)
      a.insert("aspect name number " + std::to_string(i), HcPrim::string(std::string(i, 'v')));
    Aspects copy = a;
    Aspects moved = std::move(copy);
    Aspects assigned;
    assigned.insert("x", HcPrim());
    assigned = moved;
    Aspects move_assigned;
    move_assigned = std::move(assigned);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from map is left empty
    for (const Aspects* m : {&moved, &move_assigned}) {
      ASSERT_EQ(m->size(), static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(m->inner().at(i).first, "aspect name number " + std::to_string(i));
        EXPECT_EQ(*m->find("aspect name number " + std::to_string(i)), HcPrim::string(std::string(i, 'v')));
      }
    }
    move_assigned.insert("aspect name number 0", HcPrim::integer(1));
    EXPECT_EQ(move_assigned.size(), static_cast<size_t>(std::max(n, 1)));
    EXPECT_EQ(move_assigned.inner().at(0).second, HcPrim::integer(1));
  }
}

// ---- binary form ----

TEST(AspectsBinary, Vectors) {
  Aspects one, long_name;
  one.insert("isPrimaryKey", HcPrim::boolean(true));
  long_name.insert(std::string(200, 'n'), HcPrim::string("v"));
  std::vector<uint8_t> long_bytes = hex("00 01 80 00 00 C8");
  long_bytes.insert(long_bytes.end(), 200, 'n');
  for (uint8_t b : hex("00 01 76")) long_bytes.push_back(b);
  test::expect_round_trip(Aspects(), hex("00 00"));
  test::expect_round_trip(one, hex("00 01 0C 69 73 50 72 69 6D 61 72 79 4B 65 79 02 01"));
  test::expect_round_trip(long_name, long_bytes);
}

TEST(AspectsBinary, Decoding) {
  Aspects units_b;
  units_b.insert("units", HcPrim::string("b"));
  test::expect_decodes<Aspects>({
      {"00 00 01 02", 2, Aspects()},
      {"00 02 05 75 6E 69 74 73 00 01 61 05 75 6E 69 74 73 00 01 62", 20, units_b},  // the later value wins
  });
  test::expect_errors<Aspects>({
      {"", "Io Error: failed to fill whole buffer"},
      {"00", "Io Error: failed to fill whole buffer"},
      {"00 01 01 61 13", "Invalid Base Type: 19"},
      {"00 01 01 61", "Io Error: failed to fill whole buffer"},
      {"00 01 05 61", "Io Error: Stream to String failed: content too short"},
      {"00 01 01 61 16 00", "Io Error: failed to fill whole buffer"},
  });
}

// Room and index are sized from the count, bounded by the bytes left: a large map is found by name after
// decoding, and a count far above the bytes fails as a short input.
TEST(AspectsBinary, DecodesLargeMapsAndBoundsTheCount) {
  Aspects a;
  for (int i = 0; i < 1000; ++i) a.insert("k" + std::to_string(i), HcPrim::integer(i));
  ByteBuffer out;
  ASSERT_TRUE(a.to_bytes(out));
  auto d = Aspects::from_bytes(out.view());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->value, a);
  EXPECT_EQ(*d->value.find("k999"), HcPrim::integer(999));
  EXPECT_EQ(d->value.find("k1000"), nullptr);
  test::expect_errors<Aspects>({{"FF FF 01 61 16 00 00 00 01", "Io Error: failed to fill whole buffer"}});
}

TEST(AspectsBinary, RefusesMoreThan65535Entries) {
  Aspects a;
  for (int i = 0; i < 65536; ++i) a.insert(std::to_string(i), HcPrim());
  ByteBuffer out;
  auto r = a.to_bytes(out);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "Io Error: aspect count 65536 exceeds 65535");
  EXPECT_EQ(out.size(), 0u);
}

TEST(AspectsBinary, TraceDiagnostic) {
  test::LogCapture logs;
  auto in = hex("00 01 05 75 6E 69 74 73 00 02 6B 67");
  ASSERT_TRUE(Aspects::from_bytes(view(in)));
  EXPECT_TRUE(logs.has("veltrac_codec::aspect", "aspects: {\"units\": STRING(STRING, \"kg\")}"));
}

// ---- JSON ----

json::Expected<Aspects> read(std::string_view text) {
  return json::read_document(text, [](json::Reader& r) { return Aspects::read_json(r); });
}

TEST(AspectsJson, Read) {
  test::LogCapture logs;
  auto a = read(R"({"isPrimaryKey": true, "myNote": "n", "scanRate": 3, "units": "kg", "units": "g"})");
  ASSERT_TRUE(a) << a.error().text();
  EXPECT_EQ(a->debug_text(),
            R"(Aspects { inner: {"isPrimaryKey": BOOLEAN(BOOLEAN, true), "myNote": STRING(STRING, "n"), )"
            R"("scanRate": INTEGER(INTEGER, 3), "units": STRING(STRING, "g")} })");
  EXPECT_TRUE(logs.has("veltrac_codec::aspect::dese", "key: isPrimaryKey, value: true"));
}

// Keys with escapes are decoded into the reader's buffer, which the value's string then reuses: the key
// must survive the value.
TEST(AspectsJson, EscapedKeysAndValues) {
  struct Case {
    const char* json;
    const char* written;
  };
  const Case cases[] = {
      {R"({"unit\u0073":"k\u0050a"})", R"({"units":"kPa"})"},
      {R"({"\u0075nits":"a\nb","myN\u006fte":"\"q\""})", R"({"units":"a\nb","myNote":"\"q\""})"},
      {R"({"units":"a","unit\u0073":"b\u0062"})", R"({"units":"bb"})"},
      {R"({"isRequire\u0064":true,"maximumValu\u0065":2.5})", R"({"isRequired":true,"maximumValue":2.5})"},
  };
  for (const auto& c : cases) {
    auto a = read(c.json);
    ASSERT_TRUE(a) << c.json << ": " << a.error().text();
    std::string out;
    ASSERT_TRUE(a->write_json(out));
    EXPECT_EQ(out, c.written) << c.json;
  }
}

TEST(AspectsJson, ReadErrors) {
  const std::string not_a_string = "Failed to convert from JsonValue to HcPrim:not a string: value: ";
  test::expect_json_errors(
      read, {
                {"[]", "invalid type: sequence, expected struct Aspects at line 1 column 0"},
                {"5", "invalid type: integer `5`, expected struct Aspects at line 1 column 1"},
                {R"({"units": 5 })", not_a_string + "Number(5),base_type:STRING at line 1 column 13"},
                {R"({"dataShape": null, "x": 1})", not_a_string + "Null,base_type:DATASHAPENAME at line 1 column 18"},
                {R"({"units": })", "expected value at line 1 column 11"},
            });
}

// Scalars whose kind matches their type are read straight from the text; everything else is converted
// from a JSON value. The reference reader converts every value: both must agree.
TEST(AspectsJson, DirectReadsMatchConversion) {
  const char* cases[] = {
      R"({"units":"kg","isRequired":true,"isNullable":false,"minimumValue":0.0,"maximumValue":133.12})",
      R"({"scanRate":4294967301,"cacheTime":-0.0,"scanRate":-2147483649,"maximumValue":-5})",
      R"({"scanRate":1.5,"minimumValue":18446744073709551615,"scanRate":9223372036854775808})",
      R"({"scanRate":-9223372036854775808,"maximumValue":1e308,"minimumValue":1e-400})",
      R"({"isRequired":"yes","maximumValue":"7","scanRate":null,"units":"a\"\u00e9\ud83d\ude00"})",
      R"({"isRequired":[1,{"a":null}],"maximumValue":{"x":1},"myNote":"free","thingShape":"S"})",
      R"({ "units" : "x" , "isAsync" : true })",
      R"({"units":7})",
      R"({"units":"\ud800"})",
      R"({"scanRate":01})",
      R"({"isRequired":tru})",
      R"({"maximumValue":1e999})",
      R"({"maximumValue":-})",
      R"({"isRequired":[1,2})",
      R"({"units":"kg")",
  };
  for (const char* text : cases) {
    auto direct = read(text);
    auto converted = json::read_document(
        text, [](json::Reader& r) { return detail::read_aspects_json(r, detail::AspectValues::Reference); });
    ASSERT_EQ(direct.has_value(), converted.has_value()) << text;
    if (direct) {
      EXPECT_EQ(direct->debug_text(), converted->debug_text()) << text;
    } else {
      EXPECT_EQ(direct.error().text(), converted.error().text()) << text;
    }
  }
}

TEST(AspectsJson, DirectReadsWarnAboutUnknownNamesAfterTheValue) {
  test::LogCapture logs(log::Level::Warn);
  ASSERT_TRUE(read(R"({"myNote":"n","units":"kg"})"));
  ASSERT_EQ(logs.lines.size(), 1u);
  EXPECT_EQ(logs.lines[0].message, "myNote is not a predefined aspect name, use string as default");
  logs.lines.clear();
  ASSERT_FALSE(read(R"({"myNote":"n)"));
  EXPECT_TRUE(logs.lines.empty());
}

// Written in insertion order, the simple form sorted by name; a value that does not fit its type fails.
TEST(AspectsJson, WriteSimpleAndDebug) {
  Aspects a;
  a.insert("units", HcPrim::string("kg"));
  a.insert("scanRate", HcPrim::integer(5));
  a.insert("isPrimaryKey", HcPrim::boolean(false));
  std::string out, simple;
  ASSERT_TRUE(a.write_json(out));
  EXPECT_EQ(out, R"({"units":"kg","scanRate":5,"isPrimaryKey":false})");
  ASSERT_TRUE(a.write_simple_json(simple));
  EXPECT_EQ(simple, R"({"isPrimaryKey":false,"scanRate":5,"units":"kg"})");
  EXPECT_EQ(a.debug_text(), R"(Aspects { inner: {"units": STRING(STRING, "kg"), "scanRate": INTEGER(INTEGER, 5), )"
                            R"("isPrimaryKey": BOOLEAN(BOOLEAN, false)} })");

  Aspects bad;
  bad.insert("isPrimaryKey", HcPrim::string("yes"));
  auto r = bad.write_json(out);
  ASSERT_FALSE(r);
  EXPECT_EQ(
      r.error().text(),
      "Failed to convert from HcPrim to JsonValue:not a boolean, value: STRING(STRING, \"yes\"),base_type:BOOLEAN");
}

}  // namespace
}  // namespace veltrac
