#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/base_type_json.hpp"
#include "json/record.hpp"
#include "json/write.hpp"

namespace veltrac::json {
namespace {

// A record with one required string field.
constexpr std::string_view kNameField[] = {"name"};

Expected<std::string> read_named(Reader& r, UnknownFields unknown) {
  const RecordSpec layout{"struct Named", kNameField, {}, unknown};
  std::string name;
  auto seen = read_record(r, layout, [&](size_t) { return assign(name, r.read_string()); });
  if (!seen) return fail(seen.error());
  if (auto ok = require_fields(r, *seen, kNameField, {0}); !ok) return fail(ok.error());
  return name;
}

constexpr std::string_view kPushTypes[] = {"NEVER", "ALWAYS", "VALUE"};
constexpr std::string_view kPushField[] = {"pushType"};

Expected<size_t> read_push(Reader& r) {
  const RecordSpec layout{"struct P", kPushField};
  size_t v = 0;
  auto seen = read_record(r, layout, [&](size_t) { return assign(v, read_enum(r, kPushTypes)); });
  if (!seen) return fail(seen.error());
  if (auto ok = require_fields(r, *seen, kPushField, {0}); !ok) return fail(ok.error());
  return v;
}

// A six-field record of numbers, readable from an array too.
constexpr std::string_view kSix[] = {"a", "b", "c", "d", "e", "f"};

Expected<std::vector<double>> read_six(Reader& r) {
  const RecordSpec layout{"struct HcyProperty", kSix, "struct HcyProperty with 6 elements"};
  std::vector<double> v(6);
  auto seen = read_record(r, layout, [&](size_t i) { return assign(v[i], r.read_f64()); });
  if (!seen) return fail(seen.error());
  if (auto ok = require_fields(r, *seen, kSix, {0, 1, 2, 3, 4, 5}); !ok) return fail(ok.error());
  return v;
}

template <class F>
std::string outcome(const std::string& text, F&& read) {
  auto v = read_document(text, read);
  return v ? "OK" : v.error().text();
}

std::string named_skip(const std::string& t) {
  return outcome(t, [](Reader& r) { return read_named(r, UnknownFields::Skip); });
}
std::string named_refuse(const std::string& t) {
  return outcome(t, [](Reader& r) { return read_named(r, UnknownFields::Refuse); });
}

TEST(Record, NameListForms) {
  constexpr std::string_view two[] = {"useDefaultValue", "readEdgeValue"};
  constexpr std::string_view four[] = {"name", "aspects", "description", "EventData"};
  EXPECT_EQ(unknown_field("x", {}).text(), "unknown field `x`, there are no fields");
  EXPECT_EQ(unknown_field("x", two).text(), "unknown field `x`, expected `useDefaultValue` or `readEdgeValue`");
  EXPECT_EQ(unknown_field("x", four).text(),
            "unknown field `x`, expected one of `name`, `aspects`, `description`, `EventData`");
  EXPECT_EQ(unknown_variant("x", {}).text(), "unknown variant `x`, there are no variants");
}

// Members in declaration order are matched straight against the text; any other spelling of the same
// members (order, whitespace, escapes, repeats, a prefix of a name) must read the same way.
std::string six_values(const std::string& text) {
  auto v = read_document(text, read_six);
  if (!v) return v.error().text();
  std::string out;
  for (double d : *v) write_f64(out, d), out.push_back(' ');
  return out;
}

std::string push(const std::string& t) { return outcome(t, read_push); }
std::string six(const std::string& t) { return outcome(t, read_six); }

// A reader, an input and what reading it gives: "OK", the values read or the error text.
TEST(Record, Outcomes) {
  struct Case {
    std::string (*read)(const std::string&);
    std::string input;
    std::string text;
  };
  const Case cases[] = {
      // A record with one required string field (unknown members skipped, then refused).
      {named_skip, R"({"a":1})", "missing field `name` at line 1 column 7"},
      {named_skip, R"({})", "missing field `name` at line 1 column 2"},
      {named_skip, "{\n\n  }", "missing field `name` at line 3 column 3"},
      {named_skip, R"({"name":1})", "invalid type: integer `1`, expected a string at line 1 column 9"},
      {named_skip, R"({"name":null})", "invalid type: null, expected a string at line 1 column 12"},
      {named_skip, R"({"name":[1]})", "invalid type: sequence, expected a string at line 1 column 8"},
      {named_skip, R"({"name": {"x":1}})", "invalid type: map, expected a string at line 1 column 9"},
      {named_skip, R"({"name":true})", "invalid type: boolean `true`, expected a string at line 1 column 12"},
      {named_skip, R"({"name":-1.5e0})", "invalid type: floating point `-1.5`, expected a string at line 1 column 14"},
      {named_skip, R"({"name":-0})", "invalid type: floating point `-0.0`, expected a string at line 1 column 10"},
      {named_skip, R"({"name":1e16})", "invalid type: floating point `1e16`, expected a string at line 1 column 12"},
      {named_skip, R"({"name":-3})", "invalid type: integer `-3`, expected a string at line 1 column 10"},
      {named_skip, R"({"name":1e999})", "number out of range at line 1 column 13"},
      {named_skip, R"({"name":"x","name":"y"})", "duplicate field `name` at line 1 column 18"},
      {named_skip, R"({"name":)", "EOF while parsing a value at line 1 column 8"},
      {named_skip, R"({"name":x})", "expected value at line 1 column 9"},
      {named_skip, R"({"name":"a",})", "trailing comma at line 1 column 13"},
      {named_skip, R"([])", "invalid type: sequence, expected struct Named at line 1 column 0"},
      {named_skip, R"( "s")", "invalid type: string \"s\", expected struct Named at line 1 column 4"},
      {named_skip, "", "EOF while parsing a value at line 1 column 0"},
      // Skipped members: syntax only, any depth, errors as for any value.
      {named_skip, R"({"x":[1e999,"\udc00",{"y":[[[]]]}],"name":"a"})", "OK"},
      {named_skip, R"({"x":[1,],"name":"a"})", "trailing comma at line 1 column 9"},
      {named_skip, "{\"x\":" + std::string(5000, '[') + std::string(5000, ']') + ",\"name\":\"a\"}", "OK"},
      {named_skip, R"({"na\u006de":"a"})", "OK"},
      {named_skip, R"({"name":"a"} x)", "trailing characters at line 1 column 14"},
      {named_refuse, R"({"a":1})", "unknown field `a`, expected `name` at line 1 column 4"},
      {named_refuse, R"({"name":"x","a"})", "unknown field `a`, expected `name` at line 1 column 16"},
      // An enumeration member, by name or as an object of one member with a null value.
      {push, R"({"pushType":"ALWAYS"})", "OK"},
      {push, R"({"pushType":{"VALUE":null}})", "OK"},
      {push, R"({"pushType": { "VALUE" : null } })", "OK"},
      {push, R"({"pushType":"always"})",
       "unknown variant `always`, expected one of `NEVER`, `ALWAYS`, `VALUE` at line 1 column 20"},
      {push, R"({"pushType":{"always":null}})",
       "unknown variant `always`, expected one of `NEVER`, `ALWAYS`, `VALUE` at line 1 column 21"},
      {push, R"({"pushType":1})", "expected value at line 1 column 13"},
      {push, R"({"pushType":[]})", "expected value at line 1 column 13"},
      {push, R"({"pushType":{"ALWAYS":1}})", "invalid type: integer `1`, expected unit at line 1 column 23"},
      {push, R"({"pushType":{"NEVER":null,"x":1}})", "expected value at line 1 column 25"},
      {push, R"({"pushType":{"NEVER":null)", "EOF while parsing an object at line 1 column 25"},
      {push, R"({"pushType":{1:null}})", "key must be a string at line 1 column 14"},
      {push, R"({"pushType":{}})", "expected value at line 1 column 14"},
      {push, R"({"pushType":{)", "EOF while parsing an object at line 1 column 13"},
      {push, R"({"pushType":{"NEVER" null}})", "expected `:` at line 1 column 22"},
      {push, R"({"pushType":)", "EOF while parsing a value at line 1 column 12"},
      // Six fields, from an object or an array.
      {six, "[1,2,3,4,5,6]", "OK"},
      {six, "[1,2,3,4,5]", "invalid length 5, expected struct HcyProperty with 6 elements at line 1 column 11"},
      {six, "[]", "invalid length 0, expected struct HcyProperty with 6 elements at line 1 column 2"},
      {six, "[1,2,3,4,5,6,7]", "trailing characters at line 1 column 14"},
      {six, "[1,2,3,4,5,6,]", "trailing comma at line 1 column 14"},
      {six, "[1,2,3,4,5,6,", "trailing characters at line 1 column 13"},
      {six, "[1,2,3,4,5,6", "EOF while parsing a list at line 1 column 12"},
      {six, "[1,2,3,4,5,6 x", "trailing characters at line 1 column 14"},
      {six, "[1,2,\"x\"]", "invalid type: string \"x\", expected f64 at line 1 column 8"},
      {six, "[1,2,]", "trailing comma at line 1 column 6"},
      {six, R"({"f":1,"e":2,"d":3,"c":4,"b":5})", "missing field `a` at line 1 column 31"},
      {six, R"({"f":1,"e":2,"d":3,"c":4,"b":5,"a":6})", "OK"},
      {six, "true", "invalid type: boolean `true`, expected struct HcyProperty at line 1 column 4"},
      // The same six members in other spellings read alike.
      {six_values, R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6})", "1.0 2.0 3.0 4.0 5.0 6.0 "},
      {six_values, R"({"a":1,"c":3,"b":2,"d":4,"f":6,"e":5})", "1.0 2.0 3.0 4.0 5.0 6.0 "},
      {six_values, R"({ "a":1, "b" :2 ,"c":3,"\u0064":4,"e":5,"f":6 })", "1.0 2.0 3.0 4.0 5.0 6.0 "},
      {six_values, R"({"a":1,"b":2,"x":[],"c":3,"d":4,"e":5,"f":6,"ab":0})", "1.0 2.0 3.0 4.0 5.0 6.0 "},
      {six_values, R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"a":7})", "duplicate field `a` at line 1 column 40"},
      {six_values, R"({"a":1,"b":2,"b":3})", "duplicate field `b` at line 1 column 16"},
      {six_values, R"({"a":1,"\u0061":2})", "duplicate field `a` at line 1 column 15"},
      {six_values, R"({"a":1,"b")", "EOF while parsing an object at line 1 column 10"},
      {six_values, R"({"a":1,"b)", "EOF while parsing a string at line 1 column 9"},
      {six_values, R"({"a":1,"b":)", "EOF while parsing a value at line 1 column 11"},
      {six_values, R"({"a":1,"b" 2})", "expected `:` at line 1 column 12"},
      {six_values, R"({"a":1"b":2})", "expected `,` or `}` at line 1 column 7"},
      {six_values, R"({"a":1,,"b":2})", "key must be a string at line 1 column 8"},
      {six_values, R"({"a":1,"b":2,})", "trailing comma at line 1 column 14"},
      {six_values, "{\"a\":1,\"b\x01\":2}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.read(c.input), c.text) << c.input;
}

// Errors a callback returns without position are placed after the member's container closes.
TEST(Record, CustomErrorsArePositionedAtClose) {
  auto read = [](Reader& r) {
    return read_map(r, "struct Aspects", [&](const std::string& key) -> Expected<void> {
      auto v = r.read_value();
      if (!v) return fail(v.error());
      if (key == "bad") return fail(custom("conversion failed"));
      return {};
    });
  };
  EXPECT_EQ(outcome(R"({"ok":1,"bad":2 })", read), "conversion failed at line 1 column 17");
  EXPECT_EQ(outcome(R"({"bad":2 ,"ok":1})", read), "conversion failed at line 1 column 9");
  EXPECT_EQ(outcome("[]", read), "invalid type: sequence, expected struct Aspects at line 1 column 0");
  // Nested records position their own errors.
  auto nested = [](Reader& r) {
    return read_map(r, "an indexed map", [&](const std::string&) -> Expected<void> {
      auto n = read_named(r, UnknownFields::Skip);
      if (!n) return fail(n.error());
      return {};
    });
  };
  EXPECT_EQ(outcome("{\"k\":{\"x\":1\n } , \"z\":2}", nested), "missing field `name` at line 2 column 2");
}

TEST(Record, SequencesOfBytes) {
  auto read = [](Reader& r) -> Expected<std::vector<uint8_t>> {
    std::vector<uint8_t> out;
    auto ok = read_seq(r, "a sequence", [&](size_t) -> Expected<void> {
      auto b = r.read_u8();
      if (!b) return fail(b.error());
      out.push_back(*b);
      return {};
    });
    if (!ok) return fail(ok.error());
    return out;
  };
  EXPECT_EQ(read_document("[1,2,255]", read).value(), (std::vector<uint8_t>{1, 2, 255}));
  EXPECT_EQ(outcome("[1,2,256]", read), "invalid value: integer `256`, expected u8 at line 1 column 8");
  EXPECT_EQ(outcome("[-1]", read), "invalid value: integer `-1`, expected u8 at line 1 column 3");
  EXPECT_EQ(outcome("{}", read), "invalid type: map, expected a sequence at line 1 column 0");
}

TEST(Record, DepthIsSharedWithRecordContainers) {
  // 127 arrays around a record object: the object is the 128th level and reads; one more fails.
  auto deep = [](int n) { return std::string(n, '[') + R"({"name":"a"})" + std::string(n, ']'); };
  auto read = [](int n) {
    return [n](Reader& r) -> Expected<std::string> {
      for (int i = 0; i < n; ++i) {
        if (auto ok = r.begin_array(); !ok) return fail(ok.error());
        if (auto more = r.next_element(); !more) return fail(more.error());
      }
      auto name = read_named(r, UnknownFields::Skip);
      for (int i = 0; i < n && name; ++i) {
        if (auto ok = r.end_array(); !ok) return fail(ok.error());
      }
      return name;
    };
  };
  EXPECT_EQ(outcome(deep(127), read(127)), "OK");
  EXPECT_EQ(outcome(deep(128), read(128)), "recursion limit exceeded at line 1 column 129");
}

TEST(BaseTypeJson, NamesRoundTripAndErrors) {
  ASSERT_EQ(base_type_names().size(), kBaseTypeCount);
  for (BaseType t : kBaseTypesInOrder) {
    std::string text;
    write_base_type(text, t);
    EXPECT_EQ(text, "\"" + std::string(name_of(t)) + "\"");
    EXPECT_EQ(read_document(text, read_base_type).value(), t);
    EXPECT_EQ(read_document("{\"" + std::string(name_of(t)) + "\":null}", read_base_type).value(), t);
  }
  EXPECT_EQ(read_document(R"("UNKNOWN_TYPE")", read_base_type).value(), BaseType::UNKNOWN_TYPE);
  EXPECT_EQ(read_document(R"("\u0053TRING")", read_base_type).value(), BaseType::STRING);  // escapes decode first
  EXPECT_EQ(read_document("5", read_base_type).error().text(), "expected value at line 1 column 1");
  // Unknown names (near misses, the empty name) are reported at the closing quote, with every name.
  auto unknown = [](const char* text, const std::string& name, int column) {
    auto e = read_document(text, read_base_type);
    ASSERT_FALSE(e) << text;
    const std::string got = e.error().text();
    EXPECT_TRUE(got.starts_with("unknown variant `" + name + "`, expected one of `NOTHING`, `STRING`, `NUMBER`, `"))
        << got;
    EXPECT_TRUE(got.ends_with("`DASHBOARDNAME`, `UNKNOWN_TYPE` at line 1 column " + std::to_string(column))) << got;
  };
  unknown(R"("string")", "string", 8);
  unknown(R"("")", "", 2);
  unknown(R"( "STRINGS" )", "STRINGS", 10);
}

}  // namespace
}  // namespace veltrac::json
