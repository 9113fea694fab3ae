// The JSON forms of the definition classes (property, service, event): one typed suite, a traits struct
// per class with its rewrite table and its error table.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "json/base_type_json.hpp"
#include "veltrac/event.hpp"
#include "veltrac/property.hpp"
#include "veltrac/service.hpp"

namespace veltrac {
namespace {

// Input and the written text of its read (rewrite tables), or input and the error text (error tables).
using Cases = std::vector<std::pair<std::string, std::string>>;

template <class T>
std::string write(const T& v) {
  std::string out;
  auto ok = v.to_json(out);
  EXPECT_TRUE(ok.has_value()) << (ok ? "" : ok.error().text());
  return out;
}

template <class T>
std::string rewrite(std::string_view text) {
  auto v = T::from_json(text);
  if (!v) return "error: " + v.error().text();
  return write(*v);
}

DataShapeEntry entry(std::string name, BaseType t) {
  DataShapeEntry e;
  e.name = std::move(name);
  e.entry_type = t;
  return e;
}

constexpr const char* kProperty =
    R"({"name":"p","pushThreshold":0.0,"pushType":"VALUE","startType":"readEdgeValue","aspects":{},"baseType":"NUMBER"})";

struct PropertyForm {
  using T = HcyProperty;
  static Cases rewrites() {
    return {
        {kProperty, kProperty},
        // Any member order, whitespace, an integer threshold, skipped members of any shape (no range,
        // surrogate or depth checks on them), the object form of the enumerations.
        {" {\n \"baseType\" : \"NUMBER\", \"aspects\":{}, \"extra\": [1e999, \"\\ud800\", {\"a\":[[]]}],\n"
         " \"startType\":{\"readEdgeValue\":null},\"pushType\":{ \"VALUE\" : null },\"pushThreshold\":0,"
         "\"name\":\"p\", \"extra\": null } \n",
         kProperty},
        {R"({"name":"t","pushThreshold":5,"pushType":"NEVER","startType":"useDefaultValue","aspects":{"cacheTime":2,"units":"m/s","isLogged":true},"baseType":"LOCATION"})",
         R"({"name":"t","pushThreshold":5.0,"pushType":"NEVER","startType":"useDefaultValue","aspects":{"cacheTime":2.0,"units":"m/s","isLogged":true},"baseType":"LOCATION"})"},
        {R"({"name":"t","pushThreshold":-0.25,"pushType":"ALWAYS","startType":"useDefaultValue","aspects":{},"baseType":{"LONG":null}})",
         R"({"name":"t","pushThreshold":-0.25,"pushType":"ALWAYS","startType":"useDefaultValue","aspects":{},"baseType":"LONG"})"},
        // The array form: the six values in record order.
        {R"(["p",0,"VALUE","readEdgeValue",{},"NUMBER"])", kProperty},
        {R"([ "p" , 0 , {"VALUE":null} , "readEdgeValue" , { } , "NUMBER" ] )", kProperty},
    };
  }
  static Cases errors() {
    return {
        {"{}", "missing field `name` at line 1 column 2"},
        // The variant names of each enumeration.
        {R"({"pushType":"always"})",
         "unknown variant `always`, expected one of `NEVER`, `ALWAYS`, `VALUE` at line 1 column 20"},
        {R"({"startType":"ReadEdgeValue"})",
         "unknown variant `ReadEdgeValue`, expected `useDefaultValue` or `readEdgeValue` at line 1 column 28"},
        {R"({"baseType":"number"})", "unknown variant `number`, expected one of {} at line 1 column 20"},
        // Member kinds.
        {R"({"name":1})", "invalid type: integer `1`, expected a string at line 1 column 9"},
        {R"({"pushThreshold":"5"})", "invalid type: string \"5\", expected f64 at line 1 column 20"},
        // Other kinds and the array form.
        {"5", "invalid type: integer `5`, expected struct HcyProperty at line 1 column 1"},
        {R"(["p",1,"NEVER","useDefaultValue",{}])",
         "invalid length 5, expected struct HcyProperty with 6 elements at line 1 column 36"},
    };
  }
};

constexpr const char* kService =
    R"({"name":"s","description":"d","aspects":{},"Inputs":{},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})";

struct ServiceForm {
  using T = HcyService;
  static Cases rewrites() {
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
    return {
        {kPumpIn, kPumpOut},
        {kService, kService},
        // No inputs (absent or null) and empty inputs are kept apart.
        {R"({"name":"s","description":"d","aspects":{},"Inputs":{"fieldDefinitions":null},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})",
         kService},
        {R"({"name":"s","description":"d","aspects":{},"Inputs":{"fieldDefinitions":{}},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})",
         R"({"name":"s","description":"d","aspects":{},"Inputs":{"fieldDefinitions":{}},"Outputs":{"name":"r","baseType":"STRING","fieldDefinitions":{}}})"},
        // Output aspects: absent reads as empty; empty ones are not written.
        {R"({"name":"s","description":"d","aspects":{},"Inputs":{},"Outputs":{"aspects":{},"fieldDefinitions":{},"baseType":"STRING","name":"r"}})",
         kService},
        // The array form: the five values in record order.
        {R"(["s","d",{},{},{"name":"r","baseType":"STRING","fieldDefinitions":{}}])", kService},
        {R"( [ "s" , "d" , { } , { "fieldDefinitions" : null } , {"fieldDefinitions":{},"name":"r","baseType":"STRING"} ] )",
         kService},
    };
  }
  static Cases errors() {
    return {
        {R"({"name":"s","aspects":{},"Inputs":{}})", "missing field `description` at line 1 column 37"},
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
        {R"({"Inputs":{"fieldDefinitions":nul}})", "expected ident at line 1 column 34"},
        {R"({"Inputs":{"fieldDefinitions":{"a":{"name":"a","description":"","aspects":{},"baseType":"STRIN"}}}})",
         "unknown variant `STRIN`, expected one of {} at line 1 column 95"},
        // The array form.
        {R"(["s","d",{},{}])", "invalid length 4, expected struct HcyService with 5 elements at line 1 column 15"},
    };
  }
};

struct EventForm {
  using T = HcyEvent;
  static Cases rewrites() {
    constexpr const char* kOverheatIn = R"({
      "description": "Raised when the pump overheats",
      "EventData": {
        "fieldDefinitions": {
          "temp": {"name": "temp", "description": "Temperature", "baseType": "NUMBER", "aspects": {"units": "C"}},
          "at": {"name": "at", "description": "", "baseType": "DATETIME", "aspects": {}},
          "pump": {"name": "pump", "description": "Pump id", "baseType": "STRING", "aspects": {"isPrimaryKey": true}}
        },
        "aspects": {"dataShape": "Old", "isSystemShape": false},
        "name": "OverheatData"
      },
      "aspects": {"isLocalProperty": false},
      "name": "Overheat"
    })";
    return {
        // EventData keeps its name and field definitions; its aspects become the single "dataShape".
        {kOverheatIn,
         R"({"name":"Overheat","aspects":{"isLocalProperty":false},"description":"Raised when the pump overheats",)"
         R"("EventData":{"name":"OverheatData","aspects":{"dataShape":"OverheatData"},"fieldDefinitions":{)"
         R"("temp":{"name":"temp","description":"Temperature","baseType":"NUMBER","aspects":{"units":"C"}},)"
         R"("at":{"name":"at","description":"","baseType":"DATETIME","aspects":{}},)"
         R"("pump":{"name":"pump","description":"Pump id","baseType":"STRING","aspects":{"isPrimaryKey":true}}}}})"},
        {R"({"name":"e","aspects":{},"description":"","EventData":{"name":"n","aspects":{},"fieldDefinitions":{}}})",
         R"({"name":"e","aspects":{},"description":"","EventData":{"name":"n","aspects":{"dataShape":"n"},"fieldDefinitions":{}}})"},
        {R"({"EventData":{"fieldDefinitions":{},"name":"n","aspects":{"dataShape":"n"}},"description":"d","aspects":{},"name":"e"})",
         R"({"name":"e","aspects":{},"description":"d","EventData":{"name":"n","aspects":{"dataShape":"n"},"fieldDefinitions":{}}})"},
    };
  }
  static Cases errors() {
    return {
        {"{}", "missing field `name` at line 1 column 2"},
        {R"({"name":"e","EventData":{"name":"n","aspects":{},"fieldDefinitions":{}}})",
         "missing field `aspects` at line 1 column 72"},
        {R"({"name":"e","aspects":{},"EventData":{"name":"n","aspects":{},"fieldDefinitions":{}}})",
         "missing field `description` at line 1 column 85"},
        {R"({"name":"e","aspects":{},"description":""})", "missing field `EventData` at line 1 column 42"},
        // Unknown members are refused at both levels.
        {R"({"name":"e","extra":1})",
         "unknown field `extra`, expected one of `name`, `aspects`, `description`, `EventData` at line 1 column 19"},
        {R"({"EventData":{"name":"n","x":1}})",
         "unknown field `x`, expected one of `name`, `aspects`, `fieldDefinitions` at line 1 column 28"},
        // EventData: name, aspects, fieldDefinitions, reported at its `}`.
        {R"({"EventData":{"fieldDefinitions":{},"aspects":{}}})", "missing field `name` at line 1 column 49"},
        {R"({"EventData":{"name":"n"}})", "missing field `aspects` at line 1 column 25"},
        {R"({"EventData":{"name":"n","aspects":{}}})", "missing field `fieldDefinitions` at line 1 column 38"},
        {R"({"EventData":[]})", "invalid type: sequence, expected struct DummyEventData at line 1 column 13"},
        // The array form is not accepted.
        {"[]", "invalid type: sequence, expected struct HcyEvent at line 1 column 0"},
    };
  }
};

template <class Form>
class Definition : public ::testing::Test {};
using Forms = ::testing::Types<PropertyForm, ServiceForm, EventForm>;
TYPED_TEST_SUITE(Definition, Forms);

TYPED_TEST(Definition, ReadsAndRewrites) {
  for (const auto& [in, out] : TypeParam::rewrites()) EXPECT_EQ(rewrite<typename TypeParam::T>(in), out) << in;
}

TYPED_TEST(Definition, Errors) {
  // "{}" in an "unknown variant" text stands for the base type names in wire order.
  std::string names;
  for (std::string_view n : json::base_type_names()) names += (names.empty() ? "`" : ", `") + std::string(n) + "`";
  for (const auto& [in, text] : TypeParam::errors()) {
    std::string want = text;
    if (auto at = want.find("{}"); at != std::string::npos && want.starts_with("unknown variant")) {
      want.replace(at, 2, names);
    }
    auto v = TypeParam::T::from_json(in);
    ASSERT_FALSE(v) << in;
    EXPECT_EQ(v.error().text(), want) << in;
  }
}

// What only one class has.

// What the rewrite table cannot reach: the edge-read flag, and thresholds JSON cannot carry.
TEST(HcyPropertyTest, EdgeReadAndThresholdsWithoutJsonForm) {
  HcyProperty p;
  EXPECT_FALSE(p.should_read_edge_value());
  p.start_type = StartType::readEdgeValue;
  EXPECT_TRUE(p.should_read_edge_value());
  for (double t : {std::nan(""), -double(INFINITY)}) {
    p.push_threshold = t;
    EXPECT_NE(write(p).find(R"("pushThreshold":null,)"), std::string::npos) << t;
  }
}

TEST(HcyPropertyTest, ToJsonAppendsAndLeavesOutputOnFailure) {
  HcyProperty p;
  p.name = "flag";
  p.aspects.insert("isPrimaryKey", HcPrim::string("yes"));
  std::string out = "prefix";
  EXPECT_FALSE(p.to_json(out));  // the text is pinned where aspects are written
  EXPECT_EQ(out, "prefix");

  ASSERT_TRUE(HcyProperty{}.to_json(out));
  EXPECT_EQ(out.substr(0, 15), "prefix{\"name\":\"");
}

TEST(HcyServiceTest, DefaultHasNoInputs) {
  EXPECT_EQ(
      write(HcyService{}),
      R"({"name":"","description":"","aspects":{},"Inputs":{},"Outputs":{"name":"","baseType":"NOTHING","fieldDefinitions":{}}})");
}

TEST(HcyEventTest, UnnamedShapeIsWrittenAsDataShape) {
  HcyEvent e;
  e.name = "Tick";
  e.data_shape.add(entry("n", BaseType::INTEGER));
  EXPECT_EQ(
      write(e),
      R"({"name":"Tick","aspects":{},"description":"","EventData":{"name":"DataShape","aspects":{"dataShape":"DataShape"},)"
      R"("fieldDefinitions":{"n":{"name":"n","description":"","baseType":"INTEGER","aspects":{}}}}})");
}

TEST(HcyEventTest, DummyEventDataConversions) {
  DataShape shape(std::optional<std::string>("Readings"));
  shape.add(entry("b", BaseType::STRING));
  shape.add(entry("a", BaseType::NUMBER));
  auto d = DummyEventData::from_datashape(shape);
  EXPECT_EQ(d.name, "Readings");
  EXPECT_EQ(d.aspects.debug_text(), R"(Aspects { inner: {"dataShape": STRING(DATASHAPENAME, "Readings")} })");
  EXPECT_EQ(d.field_definitions, shape.entries);
  EXPECT_EQ(std::move(d).to_datashape(), shape);

  auto unnamed = DummyEventData::from_datashape(DataShape{});
  EXPECT_EQ(unnamed.name, "DataShape");
  EXPECT_EQ(std::move(unnamed).to_datashape().name, std::optional<std::string>("DataShape"));
}

}  // namespace
}  // namespace veltrac
