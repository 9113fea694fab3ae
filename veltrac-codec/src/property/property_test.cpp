#include "veltrac/property.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "json/base_type_json.hpp"

namespace veltrac {
namespace {

constexpr const char* kBaseNames =
    "`NOTHING`, `STRING`, `NUMBER`, `BOOLEAN`, `DATETIME`, `TIMESPAN`, `INFOTABLE`, `LOCATION`, `XML`, "
    "`JSON`, `QUERY`, `IMAGE`, `HYPERLINK`, `IMAGELINK`, `PASSWORD`, `HTML`, `TEXT`, `TAGS`, `SCHEDULE`, "
    "`VARIANT`, `GUID`, `BLOB`, `INTEGER`, `LONG`, `PROPERTYNAME`, `SERVICENAME`, `EVENTNAME`, `THINGNAME`, "
    "`THINGSHAPENAME`, `THINGTEMPLATENAME`, `DATASHAPENAME`, `MASHUPNAME`, `MENUNAME`, `BASETYPENAME`, "
    "`USERNAME`, `GROUPNAME`, `CATEGORYNAME`, `STATEDEFINITIONNAME`, `STYLEDEFINITIONNAME`, "
    "`MODELTAGVOCABULARYNAME`, `DATATAGVOCABULARYNAME`, `NETWORKNAME`, `MEDIAENTITYNAME`, "
    "`APPLICATIONKEYNAME`, `LOCALIZATIONTABLENAME`, `ORGANIZATIONNAME`, `DASHBOARDNAME`, `UNKNOWN_TYPE`";

constexpr const char* kMinimal =
    R"({"name":"p","pushThreshold":0.0,"pushType":"VALUE","startType":"readEdgeValue","aspects":{},"baseType":"NUMBER"})";

std::string write(const HcyProperty& p) {
  std::string out;
  auto ok = p.to_json(out);
  EXPECT_TRUE(ok.has_value()) << (ok ? "" : ok.error().text());
  return out;
}

// The written text of a successful read, or the error text.
std::string rewrite(std::string_view text) {
  auto p = HcyProperty::from_json(text);
  if (!p) return "error: " + p.error().text();
  return write(*p);
}

TEST(HcyPropertyTest, WritesMembersInRecordOrder) {
  HcyProperty p;
  p.name = "p";
  p.push_type = PushType::VALUE;
  p.start_type = StartType::readEdgeValue;
  p.base_type = BaseType::NUMBER;
  EXPECT_EQ(write(p), kMinimal);

  p.name = "Temp \"A\"\t";
  p.push_threshold = 5;
  p.push_type = PushType::ALWAYS;
  p.start_type = StartType::useDefaultValue;
  p.aspects.insert("isReadOnly", HcPrim::boolean(true));
  p.aspects.insert("units", HcPrim::string("°C"));
  p.aspects.insert("scanRate", HcPrim::integer(250));
  p.base_type = BaseType::INTEGER;
  EXPECT_EQ(write(p), R"({"name":"Temp \"A\"\t","pushThreshold":5.0,"pushType":"ALWAYS","startType":"useDefaultValue",)"
                      R"("aspects":{"isReadOnly":true,"units":"°C","scanRate":250},"baseType":"INTEGER"})");

  p.aspects = {};
  p.push_threshold = std::nan("");
  EXPECT_NE(write(p).find(R"("pushThreshold":null,)"), std::string::npos);
  p.push_threshold = -INFINITY;
  EXPECT_NE(write(p).find(R"("pushThreshold":null,)"), std::string::npos);
}

TEST(HcyPropertyTest, ToJsonAppendsAndLeavesOutputOnFailure) {
  HcyProperty p;
  p.name = "flag";
  p.aspects.insert("isPrimaryKey", HcPrim::string("yes"));
  std::string out = "prefix";
  auto ok = p.to_json(out);
  ASSERT_FALSE(ok);
  EXPECT_EQ(
      ok.error().text(),
      "Failed to convert from HcPrim to JsonValue:not a boolean, value: STRING(STRING, \"yes\"),base_type:BOOLEAN");
  EXPECT_EQ(out, "prefix");

  HcyProperty good;
  ASSERT_TRUE(good.to_json(out));
  EXPECT_EQ(out.substr(0, 15), "prefix{\"name\":\"");
}

TEST(HcyPropertyTest, ReadsAndRewrites) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {kMinimal, kMinimal},
      // Any member order, whitespace, an integer threshold, skipped members of any shape (no range,
      // surrogate or depth checks on them), the object form of the enumerations.
      {" {\n \"baseType\" : \"NUMBER\", \"aspects\":{}, \"extra\": [1e999, \"\\ud800\", {\"a\":[[]]}],\n"
       " \"startType\":{\"readEdgeValue\":null},\"pushType\":{ \"VALUE\" : null },\"pushThreshold\":0,"
       "\"name\":\"p\", \"extra\": null } \n",
       kMinimal},
      {R"({"name":"t","pushThreshold":5,"pushType":"NEVER","startType":"useDefaultValue","aspects":{"cacheTime":2,"units":"m/s","isLogged":true},"baseType":"LOCATION"})",
       R"({"name":"t","pushThreshold":5.0,"pushType":"NEVER","startType":"useDefaultValue","aspects":{"cacheTime":2.0,"units":"m/s","isLogged":true},"baseType":"LOCATION"})"},
      {R"({"name":"t","pushThreshold":-0.25,"pushType":"ALWAYS","startType":"useDefaultValue","aspects":{},"baseType":{"LONG":null}})",
       R"({"name":"t","pushThreshold":-0.25,"pushType":"ALWAYS","startType":"useDefaultValue","aspects":{},"baseType":"LONG"})"},
      {R"({"name":"t","pushThreshold":1e300,"pushType":"ALWAYS","startType":"useDefaultValue","aspects":{},"baseType":"LONG"})",
       R"({"name":"t","pushThreshold":1e300,"pushType":"ALWAYS","startType":"useDefaultValue","aspects":{},"baseType":"LONG"})"},
      // The array form: the six values in record order.
      {R"(["p",0,"VALUE","readEdgeValue",{},"NUMBER"])", kMinimal},
      {R"([ "p" , 0 , {"VALUE":null} , "readEdgeValue" , { } , "NUMBER" ] )", kMinimal},
  };
  for (const auto& c : cases) EXPECT_EQ(rewrite(c.in), c.out) << c.in;

  auto deep =
      std::string(R"({"skip":)") + std::string(5000, '[') + std::string(5000, ']') +
      R"(,"name":"p","pushThreshold":0,"pushType":"VALUE","startType":"readEdgeValue","aspects":{},"baseType":"NUMBER"})";
  EXPECT_EQ(rewrite(deep), kMinimal);
}

TEST(HcyPropertyTest, RoundTripsRecords) {
  HcyProperty p;
  p.name = "Pressure";
  p.push_threshold = 0.001;
  p.push_type = PushType::VALUE;
  p.start_type = StartType::readEdgeValue;
  p.aspects.insert("defaultValue", HcPrim::string("1.0"));
  p.aspects.insert("dataChangeThreshold", HcPrim::number(0.5));
  p.aspects.insert("myNote", HcPrim::string("x"));
  p.base_type = BaseType::NUMBER;
  auto back = HcyProperty::from_json(write(p));
  ASSERT_TRUE(back) << back.error().text();
  EXPECT_EQ(*back, p);
  EXPECT_TRUE(back->should_read_edge_value());
  EXPECT_FALSE(HcyProperty{}.should_read_edge_value());
}

TEST(HcyPropertyTest, Errors) {
  struct Case {
    const char* in;
    const char* text;
  };
  const Case cases[] = {
      {"{}", "missing field `name` at line 1 column 2"},
      {"{\"name\":\"p\" \n }", "missing field `pushThreshold` at line 2 column 2"},
      {R"({"pushThreshold":1,"pushType":"NEVER","startType":"readEdgeValue","aspects":{}})",
       "missing field `name` at line 1 column 79"},
      // Duplicates: reported at the key's closing quote (plus whitespace before the colon).
      {R"({"name":"p","pushType":"NEVER","pushType":"NEVER"})", "duplicate field `pushType` at line 1 column 41"},
      // Enumerations.
      {R"({"pushType":"always"})",
       "unknown variant `always`, expected one of `NEVER`, `ALWAYS`, `VALUE` at line 1 column 20"},
      {R"({"startType":"ReadEdgeValue"})",
       "unknown variant `ReadEdgeValue`, expected `useDefaultValue` or `readEdgeValue` at line 1 column 28"},
      {R"({"pushType":1})", "expected value at line 1 column 13"},
      {R"({"pushType":{"ALWAYS":1}})", "invalid type: integer `1`, expected unit at line 1 column 23"},
      {R"({"baseType":"number"})",
       "unknown variant `number`, expected one of {} at line 1 column 20"},  // names filled in below
      // Member kinds.
      {R"({"name":1})", "invalid type: integer `1`, expected a string at line 1 column 9"},
      {R"({"pushThreshold":"5"})", "invalid type: string \"5\", expected f64 at line 1 column 20"},
      // Other kinds and the array form.
      {"5", "invalid type: integer `5`, expected struct HcyProperty at line 1 column 1"},
      {R"(["p",1,"NEVER","useDefaultValue",{}])",
       "invalid length 5, expected struct HcyProperty with 6 elements at line 1 column 36"},
      {R"({"name":"p","pushThreshold":0,"pushType":"VALUE","startType":"readEdgeValue","aspects":{},"baseType":"NUMBER"} x)",
       "trailing characters at line 1 column 112"},
  };
  for (const auto& c : cases) {
    std::string want = c.text;
    if (auto at = want.find("{}"); at != std::string::npos && want.starts_with("unknown variant")) {
      want.replace(at, 2, kBaseNames);
    }
    auto p = HcyProperty::from_json(c.in);
    ASSERT_FALSE(p) << c.in;
    EXPECT_EQ(p.error().text(), want) << c.in;
  }
}

}  // namespace
}  // namespace veltrac
