#include "veltrac/event.hpp"

#include <gtest/gtest.h>

#include <string>

namespace veltrac {
namespace {

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

constexpr const char* kOverheatOut =
    R"({"name":"Overheat","aspects":{"isLocalProperty":false},"description":"Raised when the pump overheats",)"
    R"("EventData":{"name":"OverheatData","aspects":{"dataShape":"OverheatData"},"fieldDefinitions":{)"
    R"("temp":{"name":"temp","description":"Temperature","baseType":"NUMBER","aspects":{"units":"C"}},)"
    R"("at":{"name":"at","description":"","baseType":"DATETIME","aspects":{}},)"
    R"("pump":{"name":"pump","description":"Pump id","baseType":"STRING","aspects":{"isPrimaryKey":true}}}}})";

std::string write(const HcyEvent& e) {
  std::string out;
  auto ok = e.to_json(out);
  EXPECT_TRUE(ok.has_value()) << (ok ? "" : ok.error().text());
  return out;
}

std::string rewrite(std::string_view text) {
  auto e = HcyEvent::from_json(text);
  if (!e) return "error: " + e.error().text();
  return write(*e);
}

DataShapeEntry entry(std::string name, BaseType t) {
  DataShapeEntry e;
  e.name = std::move(name);
  e.entry_type = t;
  return e;
}

TEST(HcyEventTest, ReadsAndRewrites) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      // EventData keeps its name and field definitions; its aspects become the single "dataShape".
      {kOverheatIn, kOverheatOut},
      {R"({"name":"e","aspects":{},"description":"","EventData":{"name":"n","aspects":{},"fieldDefinitions":{}}})",
       R"({"name":"e","aspects":{},"description":"","EventData":{"name":"n","aspects":{"dataShape":"n"},"fieldDefinitions":{}}})"},
      {R"({"EventData":{"fieldDefinitions":{},"name":"n","aspects":{"dataShape":"n"}},"description":"d","aspects":{},"name":"e"})",
       R"({"name":"e","aspects":{},"description":"d","EventData":{"name":"n","aspects":{"dataShape":"n"},"fieldDefinitions":{}}})"},
  };
  for (const auto& c : cases) EXPECT_EQ(rewrite(c.in), c.out) << c.in;
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
  ASSERT_EQ(d.aspects.size(), 1u);
  const HcPrim* ds = d.aspects.find("dataShape");
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(ds->debug_text(), R"(STRING(DATASHAPENAME, "Readings"))");
  EXPECT_EQ(d.field_definitions, shape.entries);
  EXPECT_EQ(std::move(d).to_datashape(), shape);

  auto unnamed = DummyEventData::from_datashape(DataShape{});
  EXPECT_EQ(unnamed.name, "DataShape");
  EXPECT_EQ(std::move(unnamed).to_datashape().name, std::optional<std::string>("DataShape"));
}

TEST(HcyEventTest, RoundTripKeepsFieldOrder) {
  HcyEvent e;
  e.name = "Alarm";
  e.description = "Alarm raised";
  e.aspects.insert("isLogged", HcPrim::boolean(true));
  e.data_shape.name = "AlarmData";
  for (const char* n : {"z", "a", "m", "b"}) {
    auto en = entry(n, BaseType::STRING);
    en.aspects.insert("friendlyName", HcPrim::string(std::string("F ") + n));
    e.data_shape.add(std::move(en));
  }
  auto back = HcyEvent::from_json(write(e));
  ASSERT_TRUE(back) << back.error().text();
  EXPECT_EQ(*back, e);
  EXPECT_EQ(back->data_shape.entries.at(0).first, "z");
  EXPECT_EQ(back->data_shape.entries.at(3).first, "b");
}

TEST(HcyEventTest, Errors) {
  struct Case {
    const char* in;
    const char* text;
  };
  const Case cases[] = {
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
      {R"({"EventData":{"name":"n","name":"m"}})", "duplicate field `name` at line 1 column 31"},
      {R"({"EventData":{"name":"n","aspects":{},"fieldDefinitions":{}},"EventData":1})",
       "duplicate field `EventData` at line 1 column 72"},
      {R"({"EventData":[]})", "invalid type: sequence, expected struct DummyEventData at line 1 column 13"},
      {R"({"EventData":{"aspects":1}})", "invalid type: integer `1`, expected struct Aspects at line 1 column 25"},
      {R"({"EventData":{"fieldDefinitions":[]}})",
       "invalid type: sequence, expected an indexed map at line 1 column 33"},
      // Arrays are not accepted.
      {"[]", "invalid type: sequence, expected struct HcyEvent at line 1 column 0"},
      {"  [\"e\"]", "invalid type: sequence, expected struct HcyEvent at line 1 column 2"},
      {R"("e")", "invalid type: string \"e\", expected struct HcyEvent at line 1 column 3"},
      {R"({"name":"e","aspects":{},"description":"","EventData":{"name":"n","aspects":{},"fieldDefinitions":{}}} 1)",
       "trailing characters at line 1 column 104"},
  };
  for (const auto& c : cases) {
    auto e = HcyEvent::from_json(c.in);
    ASSERT_FALSE(e) << c.in;
    EXPECT_EQ(e.error().text(), c.text) << c.in;
  }
}

}  // namespace
}  // namespace veltrac
