#include "veltrac/arrow.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "arrow/arrow_util.hpp"

namespace veltrac::arrow {
namespace {

// Past row 256 (the export's first block) the texts grow beyond the room guessed from that block.
InfoTable sample_table(int rows = 10) {
  uint8_t bytes[] = {0, 1, 255};
  InfoTable t("Readings");
  t.add_field_definition({"s", "a text", BaseType::STRING, {}});
  t.add_field_definition({"n", "", BaseType::NUMBER, {}});
  t.add_field_definition({"i", "", BaseType::INTEGER, {}});
  t.add_field_definition({"l", "", BaseType::LONG, {}});
  t.add_field_definition({"b", "", BaseType::BOOLEAN, {}});
  t.add_field_definition({"d", "", BaseType::DATETIME, {}});
  t.add_field_definition({"z", "", BaseType::BLOB, {}});
  t.add_field_definition({"j", "json text", BaseType::JSON, {}});
  for (int r = 0; r < rows; ++r) {
    std::vector<HcPrim> row = {HcPrim::string(r < 256 ? (r % 2 ? "é" : "") : std::string(r % 97, 'x')),
                               HcPrim::number(r * -0.5),
                               HcPrim::integer(r == 3 ? INT32_MIN : r),
                               HcPrim::long_(INT64_MAX - r),
                               HcPrim::boolean(r % 3 == 0),
                               HcPrim::datetime(-1700000000000 + r),
                               HcPrim::blob(Bytes(bytes, r % 4)),
                               HcPrim::string("{}", BaseType::JSON)};
    t.append_row(row);
  }
  return t;
}

TEST(ArrowExport, StreamAndArrayRoundTrip) {
  for (int rows : {10, 1000}) {
    // Built, the texts lie apart; decoded, the long ones lie back to back and are copied in runs (across the
    // data buffer's growth past the first block).
    ByteBuffer wire;
    ASSERT_TRUE(sample_table(rows).to_bytes(wire));
    auto decoded = InfoTable::from_bytes(wire.view());
    ASSERT_TRUE(decoded);
    for (const InfoTable& t : {sample_table(rows), decoded->value}) {
      ArrowArrayStream s;
      ASSERT_TRUE(export_stream(t, &s));
      auto back = import_stream(&s);
      ASSERT_TRUE(back) << back.error().text();
      EXPECT_EQ(*back, t);
      EXPECT_EQ(s.release, nullptr);
    }
  }
  InfoTable t = sample_table();

  ArrowSchema schema;
  ArrowArray array;
  ASSERT_TRUE(export_array(t, &schema, &array));
  auto again = import_array(&schema, &array, "Other");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->datashape_name(), "Other");
  EXPECT_EQ(again->row_count(), 10u);
  EXPECT_EQ(schema.release, nullptr);
  EXPECT_EQ(array.release, nullptr);
}

// The keys and values of a schema's metadata: a count, then a length and the bytes of each (int32 each).
std::vector<std::string> metadata_of(const ArrowSchema& s) {
  std::vector<std::string> out;
  if (s.metadata == nullptr) return out;
  const char* p = s.metadata;
  auto next = [&p] {
    int32_t n;
    std::memcpy(&n, p, 4);
    p += 4;
    return n;
  };
  for (int32_t i = 2 * next(); i > 0; --i) {
    const int32_t len = next();
    out.emplace_back(p, len);
    p += len;
  }
  return out;
}

TEST(ArrowExport, Schema) {
  ArrowSchema s;
  ASSERT_TRUE(export_schema(sample_table(), &s));
  EXPECT_STREQ(s.format, "+s");
  using Texts = std::vector<std::string>;
  EXPECT_EQ(metadata_of(s), (Texts{"name", "Readings"}));
  const char* formats[] = {"u", "g", "i", "l", "b", "tsm:UTC", "z", "u"};
  ASSERT_EQ(s.n_children, 8);
  for (int i = 0; i < 8; ++i) EXPECT_STREQ(s.children[i]->format, formats[i]) << i;
  EXPECT_STREQ(s.children[1]->name, "n");
  EXPECT_EQ(s.children[1]->flags, ARROW_FLAG_NULLABLE);
  EXPECT_EQ(metadata_of(*s.children[0]), (Texts{"description", "a text"}));
  EXPECT_EQ(metadata_of(*s.children[1]), Texts{});
  EXPECT_EQ(metadata_of(*s.children[7]), (Texts{"description", "json text", "base_type", "JSON"}));
  // A child moved out by the consumer is released on its own, then the parent.
  ArrowSchema child = *s.children[0];
  s.children[0]->release = nullptr;
  s.release(&s);
  child.release(&child);
}

TEST(ArrowExport, Refusals) {
  struct Case {
    DataShapeEntry field;
    std::vector<std::vector<HcPrim>> rows;
    const char* error;
  };
  const Case cases[] = {
      {{"v", "", BaseType::VARIANT, {}},
       {{HcPrim()}, {HcPrim::integer(1)}},
       "field 'v' row 1: a value of type INTEGER in a field of type VARIANT"},
      {{"t", "", BaseType::TIMESPAN, {}},
       {{HcPrim::long_(1)}},
       "field 't' row 0: a value of type LONG in a field of type TIMESPAN"},
      {{"x", "", BaseType::LONG, {}},
       {{HcPrim::long_(0)}, {HcPrim::integer(1)}},
       "field 'x' row 1: a value of type INTEGER in a field of type LONG"},
      {{"x", "", BaseType::STRING, {}},
       {{HcPrim::string("")}, {HcPrim::string("g", BaseType::GUID)}},
       "field 'x' row 1: a value of type GUID in a field of type STRING"},
      {{"x", "", BaseType::LONG, {}},
       {{HcPrim::long_(0)}, {HcPrim::long_(1), HcPrim::long_(2)}},
       "row 1 has 2 values for 1 fields"},
      {{std::string("temp\0a", 6), "", BaseType::STRING, {}},
       {},
       "field 'temp\\0a': Arrow field names cannot hold a NUL character"},
  };
  for (const Case& c : cases) {
    InfoTable t;
    t.add_field_definition(c.field);
    for (std::vector<HcPrim> row : c.rows) t.append_row(row);
    ArrowArrayStream s{};
    auto r = export_stream(t, &s);
    ASSERT_FALSE(r) << c.error;
    EXPECT_EQ(r.error().text(), c.error);
    EXPECT_EQ(r.error().message(), "Io Error: " + std::string(c.error));
    EXPECT_EQ(s.release, nullptr);
  }
}

// Text offsets: 32-bit until a column's data passes the limit, then 64-bit for the rows before and after
// (widened while appending, or from the start when the first block's guess is not trusted and the bytes
// are counted). One long text among a hundred thousand short ones must not size the data by extrapolation.
TEST(ArrowExport, TextSizing) {
  struct Case {
    size_t first_len, rows, text_len, limit;
    const char* format;
  };
  const Case cases[] = {
      {8, 600, 8, 1000, "U"},                // widened in the first block
      {8, 600, 8, 3000, "U"},                // widened in a later block
      {8, 600, 8, INT32_MAX, "u"},           // no widening
      {1 << 20, 100000, 1, INT32_MAX, "u"},  // counted, fits
      {1 << 20, 100000, 1, 1 << 20, "U"},    // counted, widened from the start
  };
  for (const Case& c : cases) {
    InfoTable t;
    t.add_field_definition({"s", "", BaseType::STRING, {}});
    for (size_t r = 0; r < c.rows; ++r) {
      std::vector<HcPrim> row = {HcPrim::string(std::string(r == 0 ? c.first_len : c.text_len, 'a' + r % 26))};
      t.append_row(row);
    }
    ArrowSchema schema;
    ArrowArray array;
    ASSERT_TRUE(detail::export_array_widening_at(t, c.limit, &schema, &array));
    EXPECT_STREQ(schema.children[0]->format, c.format) << c.rows << " " << c.limit;
    auto back = import_array(&schema, &array);
    ASSERT_TRUE(back) << back.error().text();
    EXPECT_EQ(*back, t) << c.rows << " " << c.limit;
  }
}

// One field of every base type (with a description and aspects on one), each row holding a value of the
// field's type or, in turn, an empty cell.
InfoTable every_type_table(int rows) {
  InfoTable inner("Inner");
  inner.add_field_definition({"k", "", BaseType::INTEGER, {}});
  std::vector<HcPrim> inner_row = {HcPrim::integer(7)};
  inner.append_row(inner_row);
  InfoTable t("All");
  Aspects aspects;
  aspects.insert("isPrimaryKey", HcPrim::boolean(true));
  for (BaseType type : kBaseTypesInOrder) {
    t.add_field_definition({"f" + std::string(name_of(type)), type == BaseType::GUID ? "an id" : "", type,
                            type == BaseType::GUID ? aspects : Aspects()});
  }
  uint8_t bytes[] = {0, 1, 255};
  for (int r = 0; r < rows; ++r) {
    std::vector<HcPrim> row;
    size_t i = 0;
    for (BaseType type : kBaseTypesInOrder) {
      const auto kind = prim_kind_of(get_family(type));
      if ((r + i++) % 3 == 0 || !kind) {
        row.emplace_back();
        continue;
      }
      switch (*kind) {
        case PrimKind::STRING: row.push_back(HcPrim::string(std::string(r % 20, 'a'), type)); break;
        case PrimKind::NUMBER: row.push_back(HcPrim::number(r * 0.25, type)); break;
        case PrimKind::INTEGER: row.push_back(HcPrim::integer(-r, type)); break;
        case PrimKind::LONG: row.push_back(HcPrim::long_(INT64_MIN + r, type)); break;
        case PrimKind::BOOLEAN: row.push_back(HcPrim::boolean(r % 2 == 0, type)); break;
        case PrimKind::DATETIME: row.push_back(HcPrim::datetime(-r * 1000, type)); break;
        case PrimKind::LOCATION: row.push_back(HcPrim::location({1.5 * r, -2.0, 3.0}, type)); break;
        case PrimKind::BLOB: row.push_back(HcPrim::blob(Bytes(bytes, r % 4), type)); break;
        case PrimKind::INFOTABLE: row.push_back(HcPrim::infotable(inner, type)); break;
        case PrimKind::VARIANT: row.push_back(HcPrim::variant(HcPrim::string("v", BaseType::THINGNAME), type)); break;
        case PrimKind::NOTHING: row.emplace_back(); break;
      }
    }
    t.append_row(row);
  }
  return t;
}

ByteBuffer wire_of(const InfoTable& t) {
  ByteBuffer out;
  EXPECT_TRUE(t.to_bytes(out));
  return out;
}

// Every base type goes out and comes back to the same bytes, built or decoded, through the array and the
// stream; empty cells as nulls.
TEST(ArrowExport, EveryBaseTypeRoundTrip) {
  for (int rows : {0, 7, 300}) {
    const InfoTable built = every_type_table(rows);
    const ByteBuffer wire = wire_of(built);
    auto decoded = InfoTable::from_bytes(wire.view());
    ASSERT_TRUE(decoded);
    for (const InfoTable& t : {built, decoded->value}) {
      ArrowArrayStream s;
      ASSERT_TRUE(export_stream(t, &s));
      auto back = import_stream(&s);
      ASSERT_TRUE(back) << back.error().text();
      EXPECT_EQ(wire_of(*back).vector(), wire.vector()) << rows;
      ArrowSchema schema;
      ArrowArray array;
      ASSERT_TRUE(export_array(t, &schema, &array));
      back = import_array(&schema, &array);
      ASSERT_TRUE(back) << back.error().text();
      EXPECT_EQ(wire_of(*back).vector(), wire.vector()) << rows;
    }
  }
}

TEST(ArrowExport, EveryBaseTypeSchema) {
  const InfoTable t = every_type_table(3);
  ArrowSchema s;
  ArrowArray a;
  ASSERT_TRUE(export_array(t, &s, &a));
  using Texts = std::vector<std::string>;
  struct Case {
    BaseType type;
    const char* format;
    Texts metadata;
    int64_t nulls;
  };
  const Case cases[] = {
      {BaseType::NOTHING, "n", {}, 3},
      {BaseType::TIMESPAN, "n", {"base_type", "TIMESPAN"}, 3},
      {BaseType::STRING, "u", {}, 1},
      {BaseType::THINGNAME, "u", {"base_type", "THINGNAME"}, 1},
      {BaseType::GUID, "u", {"description", "an id", "base_type", "GUID", "aspects", "{\"isPrimaryKey\":true}"}, 1},
      {BaseType::LOCATION, "+s", {}, 1},
      {BaseType::IMAGE, "z", {"base_type", "IMAGE"}, 1},
      {BaseType::INFOTABLE, "z", {"base_type", "INFOTABLE"}, 1},
      {BaseType::VARIANT, "z", {"base_type", "VARIANT"}, 1},
  };
  for (const Case& c : cases) {
    const size_t i = base_type_index(c.type);
    EXPECT_STREQ(s.children[i]->format, c.format) << c.format;
    EXPECT_EQ(metadata_of(*s.children[i]), c.metadata) << c.format;
    EXPECT_EQ(a.children[i]->null_count, c.nulls) << c.format;
  }
  const size_t loc = base_type_index(BaseType::LOCATION);
  ASSERT_EQ(s.children[loc]->n_children, 3);
  ASSERT_EQ(a.children[loc]->n_children, 3);
  for (int k = 0; k < 3; ++k) EXPECT_STREQ(s.children[loc]->children[k]->name, detail::kCoordinates[k]);
  // Row 1 holds the LOCATION (longitude 1.5, latitude -2, elevation 3) under latitude, longitude, elevation.
  EXPECT_EQ(static_cast<const double*>(a.children[loc]->children[0]->buffers[1])[1], -2.0);
  EXPECT_EQ(static_cast<const double*>(a.children[loc]->children[1]->buffers[1])[1], 1.5);
  // An INFOTABLE cell is the nested table's own bytes; a VARIANT cell the inner value with its code.
  const ArrowArray* nested = a.children[base_type_index(BaseType::INFOTABLE)];
  const auto* off = static_cast<const int32_t*>(nested->buffers[1]);
  const auto* data = static_cast<const uint8_t*>(nested->buffers[2]);
  auto table = InfoTable::from_bytes(Bytes(data + off[1], static_cast<size_t>(off[2] - off[1])));
  ASSERT_TRUE(table);
  EXPECT_EQ(table->value.row(0)[0], HcPrim::integer(7));
  const ArrowArray* variant = a.children[base_type_index(BaseType::VARIANT)];
  off = static_cast<const int32_t*>(variant->buffers[1]);
  data = static_cast<const uint8_t*>(variant->buffers[2]);
  EXPECT_EQ(std::vector<uint8_t>(data + off[1], data + off[2]), (std::vector<uint8_t>{100, 1, 'v'}));
  s.release(&s);
  a.release(&a);
}

// ---- import from hand-made structures ----

int g_released = 0;

template <class T>
void release_counted(T* p) {
  for (int64_t i = 0; i < p->n_children; ++i) {
    if (p->children[i]->release != nullptr) p->children[i]->release(p->children[i]);
  }
  p->release = nullptr;
  ++g_released;
}

struct Col {
  std::string format;
  std::vector<const void*> buffers;
  int64_t length;
  int64_t offset = 0;
  int64_t null_count = 0;
  std::string name = "c";
};

// One struct batch made of `cols`; counts the releases of every structure.
struct Batch {
  std::vector<ArrowSchema> cs;
  std::vector<ArrowSchema*> csp;
  std::vector<ArrowArray> ca;
  std::vector<ArrowArray*> cap;
  const void* top_buffers[1] = {nullptr};
  ArrowSchema schema{};
  ArrowArray array{};

  Batch(std::vector<Col>& cols, int64_t length, int64_t offset = 0, const char* top_format = "+s")
      : cs(cols.size()), ca(cols.size()) {
    for (size_t i = 0; i < cols.size(); ++i) {
      Col& c = cols[i];
      cs[i] = ArrowSchema{
          .format = c.format.c_str(), .name = c.name.c_str(), .flags = 2, .release = release_counted<ArrowSchema>};
      ca[i] = ArrowArray{.length = c.length,
                         .null_count = c.null_count,
                         .offset = c.offset,
                         .n_buffers = static_cast<int64_t>(c.buffers.size()),
                         .buffers = c.buffers.data(),
                         .release = release_counted<ArrowArray>};
      csp.push_back(&cs[i]);
      cap.push_back(&ca[i]);
    }
    const auto n = static_cast<int64_t>(cols.size());
    schema = ArrowSchema{top_format, "", nullptr, 0, n, csp.data(), nullptr, release_counted<ArrowSchema>, nullptr};
    array = ArrowArray{length, 0, offset, 1, n, top_buffers, cap.data(), nullptr, release_counted<ArrowArray>, nullptr};
  }
  Expected<InfoTable> import() {
    g_released = 0;
    auto r = import_array(&schema, &array);
    EXPECT_EQ(g_released, 2 + 2 * static_cast<int>(cs.size()));
    return r;
  }
};

// A view: its length, then up to 12 bytes held inline, or a 4-byte prefix, a buffer index and an offset.
struct View16 {
  int32_t len;
  char data[12];
};

TEST(ArrowImport, Mapping) {
  static const int8_t i8[] = {9, -128, 127};
  static const uint16_t u16[] = {9, 65535, 1};
  static const uint32_t u32[] = {9, 4294967295u, 1};
  static const uint64_t u64[] = {9, uint64_t{INT64_MAX}, 1};
  static const float f32[] = {9, 0.5f, -1.25f};
  static const int64_t us[] = {9, -1, 1999};
  static const int64_t ns[] = {9, -1000001, 2000000};
  static const int64_t sec[] = {9, -1, 2};
  static const int32_t days[] = {9, -1, 1};
  static const int64_t large_off[] = {0, 0, 1, 3, 5};
  static const char text[] = "xabcde";
  static const uint8_t bits[] = {0b100};
  static const View16 inline_views[] = {{0, {}}, {2, "hi"}, {0, {}}};
  static const int32_t off[] = {0, 1, 1, 4};
  static const uint8_t bin[] = {0xAA, 1, 2, 3};
  // Out-of-line views: 13 bytes from offset 1 of data buffer 0 (buffer index and offset little-endian).
  static const char long_text[] = "_0123456789abcd";
  static const View16 long_views[] = {
      {13, "0123\0\0\0\0\1\0\0"}, {13, "0123\0\0\0\0\1\0\0"}, {13, "0123\0\0\0\0\1\0\0"}};
  static const int64_t long_sizes[] = {15};
  std::vector<Col> cols = {
      {"c", {nullptr, i8}, 3},
      {"S", {nullptr, u16}, 3},
      {"I", {nullptr, u32}, 3},
      {"L", {nullptr, u64}, 3},
      {"f", {nullptr, f32}, 3},
      {"tsu:", {nullptr, us}, 3},
      {"tsn:Europe/Berlin", {nullptr, ns}, 3},
      {"tss:UTC", {nullptr, sec}, 3},
      {"tdD", {nullptr, days}, 3},
      {"U", {nullptr, large_off, text}, 4, 1},
      {"b", {nullptr, bits}, 3},
      {"vu", {nullptr, inline_views, long_sizes}, 3},
      {"z", {nullptr, off, bin}, 3},
      {"vz", {nullptr, long_views, long_text, long_sizes}, 3},
  };
  for (size_t i = 0; i < cols.size(); ++i) cols[i].name = "c" + std::to_string(i);
  Batch b(cols, 2, 1);  // rows 1 and 2 of every column (column c9 adds its own offset of 1)
  auto t = b.import();
  ASSERT_TRUE(t) << t.error().text();
  ASSERT_EQ(t->row_count(), 2u);
  const BaseType types[] = {BaseType::INTEGER,  BaseType::INTEGER,  BaseType::LONG,     BaseType::LONG,
                            BaseType::NUMBER,   BaseType::DATETIME, BaseType::DATETIME, BaseType::DATETIME,
                            BaseType::DATETIME, BaseType::STRING,   BaseType::BOOLEAN,  BaseType::STRING,
                            BaseType::BLOB,     BaseType::BLOB};
  for (size_t i = 0; i < cols.size(); ++i) EXPECT_EQ(t->datashape.entries.at(i).second.entry_type, types[i]) << i;
  uint8_t b12[] = {1, 2, 3};
  uint8_t abcd[13];
  std::memcpy(abcd, long_text + 1, 13);
  const std::vector<HcPrim> row0 = {HcPrim::integer(-128),    HcPrim::integer(65535),  HcPrim::long_(4294967295),
                                    HcPrim::long_(INT64_MAX), HcPrim::number(0.5),     HcPrim::datetime(-1),
                                    HcPrim::datetime(-2),     HcPrim::datetime(-1000), HcPrim::datetime(-86400000),
                                    HcPrim::string("ab"),     HcPrim::boolean(false),  HcPrim::string("hi"),
                                    HcPrim::blob({}),         HcPrim::blob(abcd)};
  const std::vector<HcPrim> row1 = {HcPrim::integer(127), HcPrim::integer(1),     HcPrim::long_(1),
                                    HcPrim::long_(1),     HcPrim::number(-1.25),  HcPrim::datetime(1),
                                    HcPrim::datetime(2),  HcPrim::datetime(2000), HcPrim::datetime(86400000),
                                    HcPrim::string("cd"), HcPrim::boolean(true),  HcPrim::string(""),
                                    HcPrim::blob(b12),    HcPrim::blob(abcd)};
  for (size_t i = 0; i < cols.size(); ++i) {
    EXPECT_EQ(t->row(0)[i], row0[i]) << i;
    EXPECT_EQ(t->row(1)[i], row1[i]) << i;
  }
}

TEST(ArrowImport, Errors) {
  static const int32_t ints[] = {1, 2, 3};
  static const int32_t bad_off[] = {0, 2, 1, 3};
  static const uint64_t big[] = {0, 0, uint64_t{INT64_MAX} + 1};
  static const char not_utf8[] = "a\xff";
  static const int32_t utf8_off[] = {0, 1, 1, 2};
  static const int32_t far_view[] = {20, 0, 0, 0};
  static const int64_t sizes[] = {19};
  static const int64_t far_seconds[] = {INT64_MAX, 0, 0};
  struct Case {
    std::vector<Col> cols;
    const char* error;
    const char* top = "+s";
    const char* kind = "Io";
  };
  std::vector<Case> cases = {
      {{{"i", {nullptr, ints}, 3, 0, 1}}, "column 'c': nulls without a validity bitmap"},
      {{{"d:10,2", {nullptr, ints}, 3}}, "column 'c': unsupported Arrow type 'd:10,2'"},
      {{{"tDs", {nullptr, ints}, 3}}, "column 'c': unsupported Arrow type 'tDs'"},
      {{{"i", {nullptr, ints, ints}, 3}}, "column 'c': 3 buffers, expected 2"},
      {{{"i", {nullptr, ints}, 2}}, "column 'c': 2 values for 3 rows"},
      {{{"i", {nullptr, ints}, -1}}, "column 'c': bad length or offset"},
      {{{"i", {nullptr, nullptr}, 3}}, "column 'c': the values buffer is missing"},
      {{{"u", {nullptr, bad_off, "abc"}, 3}}, "column 'c' row 1: offsets decrease"},
      {{{"u", {nullptr, utf8_off, not_utf8}, 3}}, "column 'c' row 2: text is not UTF-8", "+s", "Utf8"},
      {{{"z", {nullptr, nullptr, "abc"}, 3}}, "column 'c': the offsets buffer is missing"},
      {{{"L", {nullptr, big}, 3}}, "column 'c' row 2: value exceeds the LONG range"},
      {{{"tss:UTC", {nullptr, far_seconds}, 3}}, "column 'c' row 0: timestamp exceeds the DATETIME range"},
      {{{"vz", {nullptr, far_view, "x", sizes}, 3}}, "column 'c' row 0: the view lies outside its buffers"},
      {{{"i", {nullptr, ints}, 3}, {"i", {nullptr, ints}, 3}}, "duplicate column 'c'"},
      {{{"i", {nullptr, ints}, 3}}, "the top level is '+l', not a struct ('+s')", "+l"},
      {{{"d:\xff\xfe,2", {nullptr, ints}, 3}}, "column 'c': unsupported Arrow type 'd:\\xff\\xfe,2'"},
  };
  for (Case& c : cases) {
    Batch b(c.cols, 3, 0, c.top);
    auto r = b.import();
    ASSERT_FALSE(r) << c.error;
    EXPECT_EQ(r.error().text(), c.error);
    EXPECT_EQ(r.error().kind_name(), std::string_view(c.kind)) << c.error;
  }
  // Dictionary-encoded: refused, not read as its indices.
  std::vector<Col> indices = {{"i", {nullptr, ints}, 3}};
  Batch b(indices, 3);
  ArrowSchema dictionary{.format = "u", .name = "", .release = release_counted<ArrowSchema>};
  b.cs[0].dictionary = &dictionary;
  auto r = b.import();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "column 'c': dictionary-encoded columns are not supported");
}

// Nulls are empty cells (a null row a row of empty cells); binary marked INFOTABLE or VARIANT is read as
// their wire bytes, which must hold exactly one value.
TEST(ArrowImport, NullsAndWireBytes) {
  static const int32_t ints[] = {1, 2, 3};
  static const uint8_t valid[] = {0b101};
  static const int32_t off[] = {0, 2, 2, 5};
  static const char variant_bytes[] = "\x16\x00\x00\x00\x05";  // INTEGER 5
  static const int32_t off1[] = {0, 0, 0, 5};
  static const int32_t off2[] = {0, 0, 0, 6};
  std::vector<Col> cols = {{"i", {valid, ints}, 3, 0, 1, "a"}, {"n", {}, 3, 0, 3, "b"}};
  Batch b(cols, 3);
  b.top_buffers[0] = valid + 0;
  static const uint8_t row_valid[] = {0b011};
  b.top_buffers[0] = row_valid;
  b.array.null_count = 1;
  auto t = b.import();
  ASSERT_TRUE(t) << t.error().text();
  EXPECT_EQ(t->datashape.entries.at(1).second.entry_type, BaseType::NOTHING);
  EXPECT_EQ(t->row(0)[0], HcPrim::integer(1));
  EXPECT_EQ(t->row(1)[0], HcPrim());
  EXPECT_EQ(t->row(2)[0], HcPrim());  // the row is null
  EXPECT_EQ(t->row(0)[1], HcPrim());

  struct Case {
    const void* offsets;
    const char* data;
    const char* base_type;
    const char* error;  // nullptr: reads VARIANT(INTEGER 5) in row 2
  };
  const Case cases[] = {
      {off1, variant_bytes, "VARIANT", nullptr},
      {off, variant_bytes, "VARIANT", "column 'c' row 0: Io Error: failed to fill whole buffer"},
      {off1, variant_bytes, "INFOTABLE", "column 'c' row 0: Io Error: failed to fill whole buffer"},
      {off2, variant_bytes, "VARIANT", "column 'c' row 2: 1 bytes after the value"},
      {off1, variant_bytes, "LOCATION", "column 'c': base type 'LOCATION' does not fit Arrow type 'z'"},
  };
  for (const Case& c : cases) {
    std::vector<Col> wire = {{"z", {nullptr, c.offsets, c.data}, 3}};
    Batch w(wire, 3);
    std::string meta("\1\0\0\0\x09\0\0\0base_type", 17);
    const int32_t len = static_cast<int32_t>(std::strlen(c.base_type));
    meta.append(reinterpret_cast<const char*>(&len), 4);
    meta += c.base_type;
    w.cs[0].metadata = meta.c_str();
    auto r = w.import();
    if (c.error == nullptr) {
      ASSERT_TRUE(r) << r.error().text();
      EXPECT_EQ(r->row(2)[0], HcPrim::variant(HcPrim::integer(5)));
    } else {
      ASSERT_FALSE(r) << c.error;
      EXPECT_EQ(r.error().text(), c.error);
    }
  }
}

TEST(ArrowImport, NoColumns) {
  std::vector<Col> none;
  for (int64_t rows : {0, 3}) {
    Batch b(none, rows);
    auto t = b.import();
    ASSERT_TRUE(t) << t.error().text();
    EXPECT_EQ(t->row_count(), static_cast<size_t>(rows));
    EXPECT_EQ(t->datashape.size(), 0u);
  }
  // Nothing holds the rows claimed: refused before anything is sized by the claim.
  Batch b(none, int64_t{1} << 62);
  auto t = b.import();
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().text(), "a batch without columns claims 4611686018427387904 rows (at most 2147483647)");
}

// A stream of the given batches, each released by the importer; an error at batch `fail_at`.
struct FakeStream {
  std::vector<Batch*> batches;
  size_t next = 0;
  size_t fail_at = SIZE_MAX;
  bool schema_given = false;

  static FakeStream& of(ArrowArrayStream* s) { return *static_cast<FakeStream*>(s->private_data); }
  ArrowArrayStream stream() {
    return {[](ArrowArrayStream* s, ArrowSchema* out) {
              *out = of(s).batches[0]->schema;
              of(s).batches[0]->schema.release = nullptr;
              return 0;
            },
            [](ArrowArrayStream* s, ArrowArray* out) {
              FakeStream& f = of(s);
              if (f.next == f.fail_at) return 5;
              if (f.next == f.batches.size()) {
                out->release = nullptr;
                return 0;
              }
              *out = f.batches[f.next]->array;
              f.batches[f.next++]->array.release = nullptr;
              return 0;
            },
            [](ArrowArrayStream*) -> const char* { return "disk on fire \xe2\x82"; },
            [](ArrowArrayStream* s) { s->release = nullptr; }, this};
  }
};

TEST(ArrowImport, StreamBatches) {
  static const int32_t ints[] = {1, 2, 3};
  std::vector<Col> c1 = {{"i", {nullptr, ints}, 3}};
  std::vector<Col> c3 = {{"i", {nullptr, ints}, 2}};
  Batch b1(c1, 3), b2(c1, 2, 1);
  FakeStream f{{&b1, &b2}};
  ArrowArrayStream s = f.stream();
  auto t = import_stream(&s, "T");
  ASSERT_TRUE(t) << t.error().text();
  EXPECT_EQ(t->row_count(), 5u);
  EXPECT_EQ(t->row(4)[0], HcPrim::integer(3));
  EXPECT_EQ(s.release, nullptr);
  EXPECT_EQ(b1.array.release, nullptr);

  Batch b4(c1, 3), b5(c3, 3);
  FakeStream bad{{&b4, &b5}};
  s = bad.stream();
  g_released = 0;
  auto r = import_stream(&s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "column 'c': 2 values for 3 rows");
  EXPECT_EQ(g_released, 6);  // schema and both batches, each with its child

  Batch b6(c1, 3), b7(c1, 3);
  FakeStream failing{{&b6, &b7}, 0, 1};
  s = failing.stream();
  r = import_stream(&s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "the stream's get_next failed (error 5): disk on fire \\xe2\\x82");
  EXPECT_EQ(b7.array.release, release_counted<ArrowArray>);  // never handed out
}

}  // namespace
}  // namespace veltrac::arrow
