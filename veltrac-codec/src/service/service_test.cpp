#include "veltrac/service.hpp"

#include <gtest/gtest.h>

#include <string>

#include "json/base_type_json.hpp"

namespace veltrac {
namespace {

// Members in scrambled order, whitespace, and extra members at all three levels.
constexpr const char* kPumpIn = R"({
  "Outputs": {"fieldDefinitions": {"ok": {"name": "ok", "description": "Outcome", "baseType": "BOOLEAN", "aspects": {}}},
              "baseType": "INFOTABLE", "name": "result", "aspects": {"dataShape": "PumpResult"}, "note": "x"},
  "name": "SetSpeed",
  "Inputs": {"extra": {"a": [1, 2]},
             "fieldDefinitions": {
               "rpm": {"aspects": {"isRequired": true, "minimumValue": 0, "maximumValue": 3600, "units": "rpm"},
                       "baseType": "INTEGER", "description": "Target speed", "name": "rpm"},
               "ramp": {"name": "ramp", "description": "", "baseType": "NUMBER", "aspects": {"defaultValue": "1.5"}}}},
  "aspects": {"isAsync": false, "category": "drive"},
  "description": "Sets the \"pump\" speed",
  "extra": [1, {"a": null}]
})";

constexpr const char* kPumpOut =
    R"({"name":"SetSpeed","description":"Sets the \"pump\" speed","aspects":{"isAsync":false,"category":"drive"},)"
    R"("Inputs":{"fieldDefinitions":{"rpm":{"name":"rpm","description":"Target speed","baseType":"INTEGER",)"
    R"("aspects":{"isRequired":true,"minimumValue":0.0,"maximumValue":3600.0,"units":"rpm"}},)"
    R"("ramp":{"name":"ramp","description":"","baseType":"NUMBER","aspects":{"defaultValue":"1.5"}}}},)"
    R"("Outputs":{"name":"result","baseType":"INFOTABLE","aspects":{"dataShape":"PumpResult"},)"
    R"("fieldDefinitions":{"ok":{"name":"ok","description":"Outcome","baseType":"BOOLEAN","aspects":{}}}}})";

constexpr const char* kMinimal =
    R"({"name":"s","description":"d","aspects":{},"Inputs":{},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})";

std::string write(const HcyService& s) {
  std::string out;
  auto ok = s.to_json(out);
  EXPECT_TRUE(ok.has_value()) << (ok ? "" : ok.error().text());
  return out;
}

std::string rewrite(std::string_view text) {
  auto s = HcyService::from_json(text);
  if (!s) return "error: " + s.error().text();
  return write(*s);
}

DataShapeEntry entry(std::string name, BaseType t) {
  DataShapeEntry e;
  e.name = std::move(name);
  e.entry_type = t;
  return e;
}

TEST(HcyServiceTest, ReadsAndRewrites) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {kPumpIn, kPumpOut},
      {kMinimal, kMinimal},
      // No inputs (absent or null) and empty inputs are kept apart.
      {R"({"name":"s","description":"d","aspects":{},"Inputs":{"fieldDefinitions":null},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})",
       kMinimal},
      {R"({"name":"s","description":"d","aspects":{},"Inputs":{"fieldDefinitions":{}},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})",
       R"({"name":"s","description":"d","aspects":{},"Inputs":{"fieldDefinitions":{}},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})"},
      // Output aspects: absent reads as empty; empty ones are not written.
      {R"({"name":"s","description":"d","aspects":{},"Inputs":{},"Outputs":{"aspects":{},"fieldDefinitions":{},"baseType":"STRING","name":"r"}})",
       kMinimal},
      // A repeated field name replaces the earlier definition in its place.
      {R"({"name":"s","description":"d","aspects":{},"Inputs":{"fieldDefinitions":{"a":{"name":"a","description":"","baseType":"STRING","aspects":{}},"b":{"name":"b","description":"","baseType":"STRING","aspects":{}},"a":{"name":"a2","description":"","baseType":"LONG","aspects":{}}}},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})",
       R"({"name":"s","description":"d","aspects":{},"Inputs":{"fieldDefinitions":{"a":{"name":"a2","description":"","baseType":"LONG","aspects":{}},"b":{"name":"b","description":"","baseType":"STRING","aspects":{}}}},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})"},
      // The array form: the five values in record order.
      {R"(["s","d",{},{},{"name":"r","baseType":"STRING","fieldDefinitions":{}}])", kMinimal},
      {R"( [ "s" , "d" , { } , { "fieldDefinitions" : null } , {"fieldDefinitions":{},"name":"r","baseType":"STRING"} ] )",
       kMinimal},
  };
  for (const auto& c : cases) EXPECT_EQ(rewrite(c.in), c.out) << c.in;
}

TEST(HcyServiceTest, RoundTripsRecords) {
  HcyService s;
  s.name = "Reset";
  s.description = "Resets the counters";
  s.aspects.insert("isAsync", HcPrim::boolean(true));
  DataShapeEntries in;
  for (int i = 0; i < 20; ++i) {
    auto e = entry("in" + std::to_string(i), i % 2 ? BaseType::NUMBER : BaseType::STRING);
    e.description = "input " + std::to_string(i);
    if (i % 3 == 0) e.aspects.insert("isRequired", HcPrim::boolean(true));
    in.insert(e.name, std::move(e));
  }
  s.inputs.field_definitions = std::move(in);
  s.outputs.name = "result";
  s.outputs.base_type = BaseType::NUMBER;
  s.outputs.aspects.insert("units", HcPrim::string("ms"));
  s.outputs.field_definitions.insert("result", entry("result", BaseType::NUMBER));
  auto back = HcyService::from_json(write(s));
  ASSERT_TRUE(back) << back.error().text();
  EXPECT_EQ(*back, s);

  HcyService no_inputs;
  EXPECT_EQ(
      write(no_inputs),
      R"({"name":"","description":"","aspects":{},"Inputs":{},"Outputs":{"name":"","baseType":"NOTHING","fieldDefinitions":{}}})");
  no_inputs.inputs.field_definitions.emplace();
  auto empty_back = HcyService::from_json(write(no_inputs));
  ASSERT_TRUE(empty_back);
  ASSERT_TRUE(empty_back->inputs.field_definitions.has_value());
  EXPECT_TRUE(empty_back->inputs.field_definitions->empty());
}

TEST(HcyServiceTest, Errors) {
  struct Case {
    const char* in;
    const char* text;
  };
  const Case cases[] = {
      {"{\"name\":\"s\",\n\"aspects\":{},\"Inputs\":{},\"Outputs\":{\"name\":\"r\",\"baseType\":\"STRING\","
       "\"fieldDefinitions\":{}}\n}",
       "missing field `description` at line 3 column 1"},
      // Output: name, then fieldDefinitions, then baseType; reported at the output's `}`.
      {R"({"name":"s","description":"d","aspects":{},"Inputs":{},"Outputs":{"fieldDefinitions":{}}})",
       "missing field `name` at line 1 column 88"},
      {R"({"name":"s","description":"d","aspects":{},"Inputs":{},"Outputs":{"name":"r","x":1}})",
       "missing field `fieldDefinitions` at line 1 column 83"},
      {R"({"name":"s","description":"d","aspects":{},"Inputs":{},"Outputs":{"name":"r","fieldDefinitions":{} }})",
       "missing field `baseType` at line 1 column 100"},
      {R"({"Outputs":[]})", "invalid type: sequence, expected struct OutputDefinition at line 1 column 11"},
      {R"({"Outputs":{"fieldDefinitions":null}})", "invalid type: null, expected an indexed map at line 1 column 35"},
      // Inputs.
      {R"({"name":"s","Inputs":[],"description":"d"})",
       "invalid type: sequence, expected struct InputDefinition at line 1 column 21"},
      {R"({"Inputs":{"fieldDefinitions":{"a":{"name":"a","description":"","aspects":{}}}}})",
       "missing field `baseType` at line 1 column 77"},
      {R"({"Inputs":{"fieldDefinitions":{"a":{"name":"a","description":"","aspects":{},"baseType":"STRIN"}}}})",
       "unknown variant `STRIN`, expected one of {} at line 1 column 95"},
      // Other kinds and the array form.
      {R"(["s","d",{},{}])", "invalid length 4, expected struct HcyService with 5 elements at line 1 column 15"},
  };
  std::string base_names;
  {
    const char* sep = "";
    for (auto n : json::base_type_names()) {
      base_names += sep;
      base_names += "`" + std::string(n) + "`";
      sep = ", ";
    }
  }
  for (const auto& c : cases) {
    std::string want = c.text;
    if (auto at = want.find("{}"); at != std::string::npos && want.starts_with("unknown variant")) {
      want.replace(at, 2, base_names);
    }
    auto s = HcyService::from_json(c.in);
    ASSERT_FALSE(s) << c.in;
    EXPECT_EQ(s.error().text(), want) << c.in;
  }
}

}  // namespace
}  // namespace veltrac
