#include "veltrac/infotable.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <thread>

#include "infotable/table_store.hpp"
#include "json/record.hpp"
#include "primitive/values_test_util.hpp"

namespace veltrac {
namespace {

using test::encode;
using test::hex;
using test::view;

InfoTableRow row(std::vector<HcPrim> values) {
  InfoTableRow r;
  r.fields = std::move(values);
  return r;
}

// A table with every kind of value, aspects on a field and a nested table (itself holding a table).
InfoTable every_kind(bool named = true) {
  uint8_t bytes[] = {0, 1, 255};
  InfoTable inner_most;
  inner_most.add_field_definition({"z", "", BaseType::LONG, {}});
  inner_most.add_row(row({HcPrim::long_(-1)}));
  InfoTable inner(named ? std::optional<std::string>("Inner") : std::nullopt);
  inner.add_field_definition({"t", "nested", BaseType::INFOTABLE, {}});
  inner.add_row(row({HcPrim::infotable(inner_most)}));

  InfoTable t;
  DataShapeEntry s{"s", "a string", BaseType::STRING, {}};
  s.aspects.insert("isPrimaryKey", HcPrim::boolean(true));
  s.aspects.insert("defaultValue", HcPrim::string("d"));
  t.add_field_definition(s);
  t.add_field_definition({"n", "", BaseType::NUMBER, {}});
  t.add_row(row({
      HcPrim::string("é\"x"),
      HcPrim::number(-0.5),
      HcPrim::integer(INT32_MIN),
      HcPrim::long_(INT64_MAX),
      HcPrim::boolean(false),
      HcPrim::location({1.5, -2.0, 1e300}),
      HcPrim::blob(bytes, BaseType::IMAGE),
      HcPrim::blob({}),
      HcPrim::datetime(1700000000000),
      HcPrim::infotable(inner),
      HcPrim::variant(HcPrim::variant(HcPrim::string("v", BaseType::GUID))),
      HcPrim(),
      HcPrim::string("", BaseType::THINGNAME),
  }));
  t.add_row(row({}));
  return t;
}

TEST(InfoTableBinary, Vectors) {
  InfoTable one_empty_row, minus_one;
  one_empty_row.add_row(row({}));
  minus_one.add_row(row({HcPrim::integer(-1)}));
  test::expect_round_trip(InfoTable(), hex("00 00"));
  test::expect_round_trip(one_empty_row, hex("00 01 00 00 00"));
  test::expect_round_trip(minus_one, hex("00 01 00 01 16 FF FF FF FF 00"));
  InfoTable two_rows = one_empty_row;
  two_rows.add_row(row({HcPrim::boolean(true)}));
  test::expect_decodes<InfoTable>({{"00 05 00 00 01 00 01 02 01 00 FF", 10, two_rows}});  // any non-zero row marker
  test::expect_decodes<InfoTableRow>({{"00 02 16 00 00 00 07 FF 99", 8, row({HcPrim::integer(7), HcPrim()})}});
}

TEST(InfoTableBinary, EveryKindRoundTripsByteExact) {
  InfoTable t = every_kind(false);  // shape names are not carried by the binary form
  const auto bytes = encode(t);
  test::expect_round_trip(t, bytes);
  EXPECT_EQ(test::decode_exact<InfoTable>(encode(every_kind(true)))->value, t);
  // The same table as an INFOTABLE value: code 05, then the table.
  std::vector<uint8_t> value_bytes = {0x05};
  value_bytes.insert(value_bytes.end(), bytes.begin(), bytes.end());
  EXPECT_EQ(encode(HcPrim::infotable(t)), value_bytes);
}

TEST(InfoTableBinary, DecodingErrors) {
  const auto one_row = hex("00 01 00 01 16 FF FF FF FF 00");
  for (size_t n = 0; n < one_row.size(); ++n) {
    EXPECT_EQ(test::error_text(test::decode_exact<InfoTable>({one_row.begin(), one_row.begin() + n})),
              "Io Error: failed to fill whole buffer")
        << n;
  }
  test::expect_errors<InfoTable>({
      {"00 01 00 01 13", "Invalid Base Type: 19"},
      {"01 01 61 00 13 00 00 00 00", "Invalid entry type: 19"},
  });
}

TEST(InfoTableBinary, RefusesRowsOfMoreThan65535Values) {
  InfoTable t;
  t.add_row(row(std::vector<HcPrim>(65536, HcPrim::integer(1))));
  ByteBuffer out;
  auto r = t.to_bytes(out);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "Io Error: row value count 65536 exceeds 65535");
  EXPECT_EQ(out.size(), 0u);
  InfoTable u;
  u.add_row(row(std::vector<HcPrim>(65535, HcPrim::integer(1))));
  EXPECT_TRUE(u.to_bytes(out));
}

// Storage blocks of 64 KiB and more freed by a table are kept for the next table on the same thread (and
// poisoned meanwhile under AddressSanitizer); smaller ones go back to the allocator.
TEST(InfoTableStorage, LargeBlocksAreKeptForTheNextTable) {
  auto table_of = [](int rows) {
    InfoTable t;
    for (int i = 0; i < rows; ++i) t.add_row(row({HcPrim::integer(i)}));
    return encode(t);
  };
  const auto large = table_of(4500), small = table_of(100);  // cells of about 80 KiB and 2 KiB
  std::thread([&] {                                          // a thread of its own starts with an empty cache
    { HcPrim first = HcPrim::variant(HcPrim()); }            // the thread's first release of a nested value
    ASSERT_TRUE(InfoTable::from_bytes(view(small)));
    EXPECT_EQ(table_blocks::kept_bytes(), 0u);
    ASSERT_TRUE(InfoTable::from_bytes(view(large)));
    const size_t kept = table_blocks::kept_bytes();
    EXPECT_GT(kept, 0u);
    {
      auto again = InfoTable::from_bytes(view(large));
      ASSERT_TRUE(again);
      EXPECT_LT(table_blocks::kept_bytes(), kept);
      EXPECT_EQ(encode(again->value), large);
      HcPrim value = HcPrim::infotable(std::move(again->value));  // released through the value
    }
    EXPECT_EQ(table_blocks::kept_bytes(), kept);
  })
      .join();
}

// Decoded texts live in the table's own store: they must survive moves of the table, copies that outlive
// it (also through a value holding the table) and growth of the cell list by later rows. ASan reports any
// text read after its store is gone.
TEST(InfoTableBinary, DecodedTextsOutliveTheirTable) {
  InfoTable built;
  built.add_field_definition({"s", "", BaseType::STRING, {}});
  // Lengths around the 16-byte blocks and the one-byte length prefix, non-ASCII texts at several places.
  std::vector<std::string> texts;
  for (size_t n : {0, 1, 4096, 4097, 4, 15, 16, 17, 127, 128}) texts.emplace_back(n, static_cast<char>('a' + n % 26));
  texts.insert(texts.end(), {"\xC3\xA9", std::string(20, 'i') + "\xC3\xA9", "\xE2\x82\xAC" + std::string(30, 'j')});
  for (int i = 0; i < 3000; ++i) texts.push_back("text number " + std::to_string(i));  // several store blocks
  for (const auto& s : texts) built.add_row(row({HcPrim::string(s, BaseType::XML), HcPrim::integer(1)}));
  const auto bytes = encode(built);

  std::optional<InfoTable> decoded(InfoTable::from_bytes(view(bytes))->value);
  InfoTable copy = *decoded;
  InfoTable moved = std::move(*decoded);
  ByteBuffer value_bytes;
  ASSERT_TRUE(HcPrim::infotable(moved).to_bytes(value_bytes));
  HcPrim wrapped = HcPrim::from_bytes(value_bytes.view())->value;
  HcPrim wrapped_copy = wrapped;
  decoded.reset();
  wrapped = HcPrim();
  for (int i = 0; i < 5000; ++i) moved.add_row(row({HcPrim::string("later")}));  // cells move to a new block

  for (const InfoTable* t : {&copy, &wrapped_copy.as_table()}) {
    ASSERT_EQ(t->row_count(), texts.size());
    EXPECT_EQ(*t, built);
    EXPECT_EQ(encode(*t), bytes);
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(moved.row(i)[0].as_string(), texts[i]);
    ASSERT_EQ(moved.row(i)[0].base_type(), BaseType::XML);
  }
  HcPrim cell = moved.row(texts.size() - 1)[0];  // a copy owns its text
  moved = InfoTable();
  EXPECT_EQ(cell.as_string(), texts.back());
}
// Copies share their storage until one of them changes: the change detaches the changed copy only, and the
// other copies keep the rows (and texts) they had. Copies of a decoded table, whose texts lie in its store,
// and of a built one, whose cells own their texts, alike.
TEST(InfoTableStorage, CopiesShareUntilOneChanges) {
  InfoTable built;
  built.add_field_definition({"s", "", BaseType::STRING, {}});
  for (int i = 0; i < 3000; ++i)
    built.add_row(row({HcPrim::string("text " + std::to_string(i) + std::string(i % 200, 'x'))}));
  const auto bytes = encode(built);
  const InfoTable decoded = InfoTable::from_bytes(view(bytes))->value;
  const std::vector<std::pair<const char*, void (*)(InfoTable&)>> changes = {
      {"add_row", [](InfoTable& t) { t.add_row(row({HcPrim::string("later")})); }},
      {"append_row",
       [](InfoTable& t) {
         HcPrim v = HcPrim::integer(7);
         t.append_row(std::span<HcPrim>(&v, 1));
       }},
      {"reserve", [](InfoTable& t) { t.reserve(10, 10); }},
  };
  for (const InfoTable* original : std::initializer_list<const InfoTable*>{&built, &decoded}) {
    for (const auto& [name, change] : changes) {
      SCOPED_TRACE(name);
      InfoTable copy = *original;
      HcPrim nested = HcPrim::infotable(copy);
      EXPECT_TRUE(detail::TableAccess::shares(copy, *original));
      EXPECT_TRUE(detail::TableAccess::shares(nested.as_table(), *original));
      change(copy);
      EXPECT_FALSE(detail::TableAccess::shares(copy, *original));
      EXPECT_TRUE(detail::TableAccess::shares(nested.as_table(), *original));
      EXPECT_EQ(encode(*original), bytes);
      EXPECT_EQ(copy.row_count(), original->row_count() + (std::string_view(name) == "reserve" ? 0 : 1));
      for (size_t i = 0; i < original->row_count(); ++i) ASSERT_EQ(copy.row(i)[0], original->row(i)[0]);
      InfoTable assigned;
      assigned = copy;  // a detached copy is shared in turn, and outlives the copy it came from
      copy = InfoTable();
      EXPECT_EQ(assigned.row(2999)[0], original->row(2999)[0]);
      EXPECT_EQ(copy.row_count(), 0u);
    }
  }
}

// The nested tables of a decoded table share the entries of identical shapes; each one's storage is sized
// from the last small table of its shape, whatever the next one holds.
TEST(InfoTableBinary, NestedTablesOfOneShapeShareIt) {
  auto inner = [](std::string desc, int rows) {
    InfoTable t;
    t.add_field_definition({"s", std::move(desc), BaseType::STRING, {}});
    t.add_field_definition({"i", "", BaseType::INTEGER, {}});
    for (int i = 0; i < rows; ++i) t.add_row(row({HcPrim::string(std::string(i * 7, 'x')), HcPrim::integer(i)}));
    return t;
  };
  InfoTable outer;
  outer.add_field_definition({"t", "", BaseType::INFOTABLE, {}});
  const std::pair<const char*, int> tables[] = {{"a", 2}, {"a", 0}, {"a", 5}, {"b", 1}, {"a", 1}, {"a", 40}, {"a", 2}};
  for (const auto& [desc, rows] : tables) outer.add_row(row({HcPrim::infotable(inner(desc, rows))}));
  const auto bytes = encode(outer);
  auto decoded = InfoTable::from_bytes(view(bytes));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->value, outer);
  EXPECT_EQ(encode(decoded->value), bytes);
  auto shape = [&](size_t i) -> const DataShapeEntries& {
    return decoded->value.row(i)[0].as_table().datashape.entries;
  };
  for (size_t i = 1; i < std::size(tables); ++i) EXPECT_EQ(shape(i).shares(shape(0)), i != 3) << i;
  // A change to one nested table's shape leaves the others as they were.
  InfoTable changed = decoded->value.row(1)[0].as_table();
  changed.add_field_definition({"x", "", BaseType::LONG, {}});
  EXPECT_EQ(shape(1).size(), 2u);
  EXPECT_EQ(encode(decoded->value), bytes);
}

// Plain rows and cells are read in bulk, other cells through the general reader (CellDecoder::Bulk); the
// reference decoder reads every cell through the general reader. Both must give the same table or the same
// error for every cut and every changed byte of an input that mixes plain rows with rows the bulk reader
// hands over (long, non-ASCII texts, other kinds).
TEST(InfoTableBinary, BulkAndReferenceDecodersAgree) {
  InfoTable t;
  for (const char* name : {"a", "b", "c"}) t.add_field_definition({name, "", BaseType::STRING, {}});
  t.add_row(row({HcPrim::string("plain and long"), HcPrim::integer(-7), HcPrim::boolean(true)}));
  t.add_row(row({HcPrim::number(2.5), HcPrim::long_(1LL << 40), HcPrim::datetime(-1)}));
  t.add_row(row({HcPrim::string(std::string(130, 'x')), HcPrim::string("\xC3\xA9t\xC3\xA9")}));
  t.add_row(row({HcPrim::location({1, 2, 3}), HcPrim::variant(HcPrim::integer(1)), HcPrim::string("")}));
  t.add_row(row({}));
  t.add_row(row({HcPrim::string("after"), HcPrim::nothing(), HcPrim::boolean(false)}));
  const auto bytes = encode(t);
  auto outcome = [](const std::vector<uint8_t>& in, detail::CellDecoder how) {
    ByteReader r(view(in));
    auto d = detail::read_table(r, 1, how);
    if (d) {
      auto out = encode(*d);
      out.push_back(static_cast<uint8_t>(r.position()));
      return out;
    }
    const std::string m = d.error().message();
    return std::vector<uint8_t>(m.begin(), m.end());
  };
  auto agree = [&](const std::vector<uint8_t>& in) {
    return outcome(in, detail::CellDecoder::Bulk) == outcome(in, detail::CellDecoder::Reference);
  };
  EXPECT_EQ(InfoTable::from_bytes(view(bytes))->value, t);
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    ASSERT_TRUE(agree({bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut)})) << "cut at " << cut;
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (uint8_t v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      std::vector<uint8_t> in = bytes;
      in[at] = v;
      ASSERT_TRUE(agree(in)) << "byte " << at << " = " << int(v);
    }
  }
}

// Each row is reported once, with its own input, whichever decoder reads it.
TEST(InfoTableBinary, TraceDiagnostics) {
  test::LogCapture logs;
  auto b = hex("00 01 00 01 16 00 00 00 07 01 00 01 12 16 00 00 00 08 00");
  ASSERT_TRUE(InfoTable::from_bytes(view(b)));
  std::vector<std::string> seen;
  std::ranges::transform(logs.lines, std::back_inserter(seen), &test::LogCapture::Line::message);
  EXPECT_EQ(seen, (std::vector<std::string>{"InfoTableRow:[0, 1, 22, 0, 0, 0, 7]",
                                            "row:InfoTableRow { fields: [INTEGER(INTEGER, 7)] }",
                                            "InfoTableRow:[0, 1, 18, 22, 0, 0, 0, 8]",
                                            "row:InfoTableRow { fields: [VARIANT(VARIANT, INTEGER(INTEGER, 8))] }"}));
}

// ---- JSON record form ----

json::Expected<InfoTable> read(std::string_view text) {
  return json::read_document(text, [](json::Reader& r) { return InfoTable::read_json(r); });
}

TEST(InfoTableJson, EveryKindRoundTrips) {
  InfoTable t = every_kind();
  auto text = t.to_json();
  ASSERT_TRUE(text) << text.error().text();
  auto back = read(*text);
  ASSERT_TRUE(back) << back.error().text();
  EXPECT_EQ(*back, t);
  // Array forms and skipped members read too.
  auto arr = read(R"([["S", {}], [[[{"LONG": ["LONG", 1]}]], {"fields": [], "x": [1, {"y": 2}]}]])");
  ASSERT_TRUE(arr) << arr.error().text();
  EXPECT_EQ(arr->row_count(), 2u);
  EXPECT_EQ(arr->datashape.name, std::optional<std::string>("S"));
}

TEST(InfoTableJson, ReadErrors) {
  test::expect_json_errors(
      read,
      {
          {R"({"rows": []})", "missing field `datashape` at line 1 column 12"},
          {R"({"datashape": {"entries": {}}})", "missing field `rows` at line 1 column 30"},
          {R"([{"entries": {}}])", "invalid length 1, expected struct InfoTable with 2 elements at line 1 column 17"},
          {"true", "invalid type: boolean `true`, expected struct InfoTable at line 1 column 4"},
          {R"({"datashape": {"entries": {}}, "rows": [[]]})",
           "invalid length 0, expected struct InfoTableRow with 1 element at line 1 column 42"},
          {R"({"datashape": {"entries": {}}, "rows": [{}]})", "missing field `fields` at line 1 column 42"},
          {R"({"datashape": {"entries": {}}, "rows": [5]})",
           "invalid type: integer `5`, expected struct InfoTableRow at line 1 column 41"},
      });
}

TEST(InfoTableJson, WriteFailsOnAspectThatDoesNotConvert) {
  InfoTable t;
  DataShapeEntry e{"a", "", BaseType::STRING, {}};
  e.aspects.insert("scanRate", HcPrim::string("fast"));
  t.add_field_definition(e);
  auto text = t.to_json();
  ASSERT_FALSE(text);  // the text is pinned where aspects are written
  // The typed form of an INFOTABLE value carries that failure as a Json error.
  std::string out;
  auto typed = HcPrim::infotable(t).write_json_typed(out, BaseType::INFOTABLE);
  ASSERT_FALSE(typed);
  EXPECT_EQ(typed.error().message(), "Serde Json Error: " + text.error().text());
}

// ---- simple JSON ----

// The in-place and the reference row writers give the same text.
std::string simple(const InfoTable& t) {
  std::string direct, reference;
  EXPECT_TRUE(t.write_simple_json(direct));
  EXPECT_TRUE(detail::write_simple_json(t, reference, detail::SimpleRows::Reference));
  EXPECT_EQ(direct, reference);
  return direct;
}

// A named table with two fields and a short second row, in the record and the simple form.
TEST(InfoTableJson, RecordAndSimpleText) {
  InfoTable t(std::string("S"));
  t.add_field_definition({"units", "", BaseType::STRING, {}});
  t.add_field_definition({"id", "", BaseType::INTEGER, {}});
  t.add_row(row({HcPrim::string("kg"), HcPrim::integer(7)}));
  t.add_row(row({HcPrim::string("g", BaseType::XML)}));
  EXPECT_EQ(
      t.to_json().value(),
      R"({"datashape":{"name":"S","entries":{"units":{"name":"units","description":"","baseType":"STRING",)"
      R"("aspects":{}},"id":{"name":"id","description":"","baseType":"INTEGER","aspects":{}}}},"rows":[)"
      R"({"fields":[{"STRING":["STRING","kg"]},{"INTEGER":["INTEGER",7]}]},{"fields":[{"STRING":["XML","g"]}]}]})");
  EXPECT_EQ(simple(t),
            R"({"dataShape":{"fieldDefinitions":{"id":{"aspects":{},"baseType":"INTEGER","description":"","name":"id",)"
            R"("ordinal":1},"units":{"aspects":{},"baseType":"STRING","description":"","name":"units","ordinal":0}},)"
            R"("name":"S"},"rows":[{"id":7,"units":"kg"},{"units":"g"}]})");
}

TEST(InfoTableJson, SimpleLeavesOutValuesWithoutColumn) {
  InfoTable t;
  t.add_field_definition({"a", "", BaseType::INTEGER, {}});
  t.add_field_definition({"b", "", BaseType::INTEGER, {}});
  t.add_row(row({HcPrim::integer(1), HcPrim::integer(2), HcPrim::integer(3)}));
  test::LogCapture logs;
  EXPECT_NE(simple(t).find(R"("rows":[{"a":1,"b":2}])"), std::string::npos);
  EXPECT_TRUE(logs.has("veltrac_codec::infotable::json", "DataShape entry not found for index 2"));
}

TEST(InfoTableJson, SimpleEveryKindMatchesTree) { simple(every_kind()); }

TEST(InfoTableText, Debug) {
  InfoTable t;
  t.add_row(row({HcPrim::integer(7)}));
  EXPECT_EQ(t.debug_text(),
            "InfoTable { datashape: DataShape { name: None, entries: {} }, rows: [InfoTableRow { fields: "
            "[INTEGER(INTEGER, 7)] }] }");
}

}  // namespace
}  // namespace veltrac
