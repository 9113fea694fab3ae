#include "veltrac/datashape.hpp"

#include <gtest/gtest.h>

#include "json/record.hpp"
#include "primitive/values_test_util.hpp"

namespace veltrac {
namespace {

using test::hex;

DataShapeEntry entry(std::string name, BaseType t, std::string desc = "") {
  return DataShapeEntry{std::move(name), std::move(desc), t, {}};
}

TEST(DataShapeBinary, Vectors) {
  DataShape id;
  id.add(entry("id", BaseType::STRING));
  DataShape long_desc;
  long_desc.add(entry("d", BaseType::INTEGER, std::string(300, 'x')));
  std::vector<uint8_t> long_bytes = hex("01 01 64 80 00 01 2C");
  long_bytes.insert(long_bytes.end(), 300, 'x');
  for (uint8_t b : hex("16 00 00 00")) long_bytes.push_back(b);
  test::expect_round_trip(DataShape(), hex("00"));
  test::expect_round_trip(id, hex("01 02 69 64 00 00 00 00 00"));
  test::expect_round_trip(long_desc, long_bytes);
  // An entry alone: its marker is written, not read.
  EXPECT_EQ(test::encode(id.entries.at(0).second), hex("01 02 69 64 00 00 00 00"));
  test::expect_decodes<DataShapeEntry>({{"02 69 64 00 00 00 00 FF", 7, id.entries.at(0).second}});
}

TEST(DataShapeBinary, Decoding) {
  // Any non-zero marker starts an entry; a repeated name replaces the earlier entry in its position.
  DataShape ab;
  ab.add(entry("a", BaseType::INTEGER));
  ab.add(entry("b", BaseType::STRING));
  test::expect_decodes<DataShape>({{"07 01 61 00 00 00 00  01 01 62 00 00 00 00  01 01 61 00 16 00 00  00", 22, ab}});

  test::expect_errors<DataShape>({
      {"", "Io Error: failed to fill whole buffer"},
      {"01 01 61 00 13 00 00 00", "Invalid entry type: 19"},
      {"01 01 61 00", "Io Error: failed to fill whole buffer"},
      {"01 01 61 00 00 00 00", "Io Error: failed to fill whole buffer"},
      {"01 05 61", "Io Error: Stream to String failed: content too short"},
      {"01 01 61 00 00 00 01 01 61 13", "Invalid Base Type: 19"},
  });
}

TEST(DataShapeStorage, CopiesShareEntriesUntilOneChanges) {
  DataShape original;
  original.add(entry("a", BaseType::INTEGER, "first"));
  const auto bytes = test::encode(original);
  DataShape copy = original;
  EXPECT_TRUE(copy.entries.shares(original.entries));
  copy.add(entry("b", BaseType::STRING));
  EXPECT_FALSE(copy.entries.shares(original.entries));
  EXPECT_EQ(test::encode(original), bytes);
  EXPECT_EQ(copy.size(), 2u);
  DataShape replaced = original;
  replaced.add(entry("a", BaseType::LONG));  // a present key, replaced in place in the copy only
  EXPECT_EQ(original.entries.find("a")->entry_type, BaseType::INTEGER);
  EXPECT_EQ(replaced.entries.find("a")->entry_type, BaseType::LONG);
  DataShape empty;
  EXPECT_EQ(empty.entries.begin(), empty.entries.end());
  EXPECT_EQ(empty.entries.find("a"), nullptr);
  EXPECT_EQ(empty.entries.position("a"), DataShapeEntries::npos);
}

// ---- JSON record form ----

json::Expected<DataShape> read(std::string_view text) {
  return json::read_document(text, [](json::Reader& r) { return DataShape::read_json(r); });
}

// Read (both forms, unknown members of an entry skipped), written, and read back alike.
TEST(DataShapeJson, ReadAndWrite) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"entries": {"k": {"name": "n", "description": "", "baseType": "STRING", "aspects": {}, "x": 1}}})",
       R"({"name":null,"entries":{"k":{"name":"n","description":"","baseType":"STRING","aspects":{}}}})"},
      {R"(["s", {}])", R"({"name":"s","entries":{}})"},
      {R"({"name":"S","entries":{"units":{"name":"units","description":"d","baseType":"STRING","aspects":{}}}})",
       R"({"name":"S","entries":{"units":{"name":"units","description":"d","baseType":"STRING","aspects":{}}}})"},
  };
  for (const auto& [in, written] : cases) {
    auto s = read(in);
    ASSERT_TRUE(s) << in << ": " << s.error().text();
    std::string out;
    ASSERT_TRUE(s->write_json(out));
    EXPECT_EQ(out, written);
    EXPECT_EQ(read(out).value(), *s);
  }
}

TEST(DataShapeJson, ReadErrors) {
  test::expect_json_errors(
      read,
      {
          {R"({"name": "x"})", "missing field `entries` at line 1 column 13"},
          {R"({"entries": {}, "extra": 1})", "unknown field `extra`, expected `name` or `entries` at line 1 column 23"},
          {R"(["s"])", "invalid length 1, expected DataShape with 2 elements at line 1 column 5"},
          {"7", "invalid type: integer `7`, expected struct DataShape at line 1 column 1"},
          {R"({"entries": []})", "invalid type: sequence, expected an indexed map at line 1 column 12"},
          {R"({"entries": {"k": {"name": "n", "description": "", "aspects": {}}}})",
           "missing field `baseType` at line 1 column 65"},
          {R"({"entries": {"k": ["n", ""]}})",
           "invalid length 2, expected struct DataShapeEntry with 4 elements at line 1 column 27"},
          {R"({"entries": {"k": 1}})", "invalid type: integer `1`, expected struct DataShapeEntry at line 1 column 19"},
      });
}

// Entries are read in place; a repeated key is read aside and then replaces the earlier entry.
TEST(DataShapeJson, EntriesKeysAndRepeats) {
  struct Case {
    const char* json;
    const char* result;  // written entries or the error text
  };
  const Case cases[] = {
      {R"({"b": ["b", "", "BOOLEAN", {"isPrimaryKey": true}]})",
       R"({"b":{"name":"b","description":"","baseType":"BOOLEAN","aspects":{"isPrimaryKey":true}}})"},
      {R"({"\u006b":{"name":"n\u0031","description":"d","baseType":"LONG","aspects":{"unit\u0073":"x"}}})",
       R"({"k":{"name":"n1","description":"d","baseType":"LONG","aspects":{"units":"x"}}})"},
      {R"({"a":["a","","STRING",{}],"b":["b","","LONG",{}],"\u0061":["a2","x","INTEGER",{}]})",
       R"({"a":{"name":"a2","description":"x","baseType":"INTEGER","aspects":{}},"b":{"name":"b","description":"","baseType":"LONG","aspects":{}}})"},
      {R"({"a":["a","","STRING",{}],"a":["a2","",5,{}]})", "expected value at line 1 column 40"},
      {R"({"a":["a","","STRING",{}],"b":{"name":"b"}})", "missing field `description` at line 1 column 42"},
      {R"({"a":["a","","STRING",{}],"b")", "EOF while parsing an object at line 1 column 29"},
  };
  for (const auto& c : cases) {
    auto e = json::read_document(c.json, [](json::Reader& r) { return DataShapeEntries::read_json(r); });
    std::string out;
    if (e) {
      ASSERT_TRUE(e->write_json(out));
    } else {
      out = e.error().text();
    }
    EXPECT_EQ(out, c.result) << c.json;
  }
}

// The simple form sorts the fields by name and numbers them in shape order; the debug form keeps that order.
TEST(DataShapeJson, SimpleAndDebug) {
  DataShape s(std::string("N"));
  s.add(entry("b", BaseType::STRING));
  s.add(entry("a", BaseType::INTEGER, "q\""));
  std::string simple;
  ASSERT_TRUE(s.write_simple_json(simple));
  EXPECT_EQ(
      simple,
      R"({"fieldDefinitions":{"a":{"aspects":{},"baseType":"INTEGER","description":"q\"","name":"a","ordinal":1},)"
      R"("b":{"aspects":{},"baseType":"STRING","description":"","name":"b","ordinal":0}},"name":"N"})");
  EXPECT_EQ(DataShape().debug_text(), "DataShape { name: None, entries: {} }");
  EXPECT_EQ(s.debug_text(),
            R"(DataShape { name: Some("N"), entries: {"b": DataShapeEntry { name: "b", description: "", )"
            R"(entry_type: STRING, aspects: Aspects { inner: {} } }, "a": DataShapeEntry { name: "a", )"
            R"(description: "q\"", entry_type: INTEGER, aspects: Aspects { inner: {} } }} })");
}

}  // namespace
}  // namespace veltrac
