// Import of tables through the Arrow C data and C stream interfaces. Everything the producer states is
// checked before a value is read (buffer and child counts, lengths and offsets, text offsets and views
// against their buffers), and every structure handed over is released exactly once.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "arrow/arrow_util.hpp"
#include "infotable/table_store.hpp"
#include "primitive/prim_access.hpp"
#include "util/utf8.hpp"
#include "veltrac/arrow.hpp"

namespace veltrac::arrow {
namespace {

using detail::fail;

// The Arrow types that import, by their format strings.
enum class In : uint8_t {
  I8,
  U8,
  I16,
  U16,
  I32,
  U32,
  I64,
  U64,
  F32,
  F64,
  Utf8,
  LargeUtf8,
  Utf8View,
  Binary,
  LargeBinary,
  BinaryView,
  Bool,
  TsSecond,
  TsMilli,
  TsMicro,
  TsNano,
  Date32,
  Date64,
  Null,      // every cell empty
  Location,  // struct<latitude, longitude, elevation: float64>
};

std::optional<In> in_type(std::string_view f) {
  static constexpr std::pair<std::string_view, In> kExact[] = {
      {"c", In::I8},          {"C", In::U8},        {"s", In::I16},       {"S", In::U16},      {"i", In::I32},
      {"I", In::U32},         {"l", In::I64},       {"L", In::U64},       {"f", In::F32},      {"g", In::F64},
      {"u", In::Utf8},        {"U", In::LargeUtf8}, {"vu", In::Utf8View}, {"z", In::Binary},   {"Z", In::LargeBinary},
      {"vz", In::BinaryView}, {"b", In::Bool},      {"tdD", In::Date32},  {"tdm", In::Date64}, {"n", In::Null},
      {"+s", In::Location},
  };
  for (const auto& [name, t] : kExact) {
    if (f == name) return t;
  }
  // Timestamps: "ts" + unit + ":" + time zone (possibly empty).
  if (f.size() >= 4 && f.starts_with("ts") && f[3] == ':') {
    switch (f[2]) {
      case 's': return In::TsSecond;
      case 'm': return In::TsMilli;
      case 'u': return In::TsMicro;
      case 'n': return In::TsNano;
      default: break;
    }
  }
  return std::nullopt;
}

PrimKind kind_of(In t) {
  switch (t) {
    case In::I8:
    case In::U8:
    case In::I16:
    case In::U16:
    case In::I32: return PrimKind::INTEGER;
    case In::U32:
    case In::I64:
    case In::U64: return PrimKind::LONG;
    case In::F32:
    case In::F64: return PrimKind::NUMBER;
    case In::Utf8:
    case In::LargeUtf8:
    case In::Utf8View: return PrimKind::STRING;
    case In::Binary:
    case In::LargeBinary:
    case In::BinaryView: return PrimKind::BLOB;
    case In::Bool: return PrimKind::BOOLEAN;
    case In::Null: return PrimKind::NOTHING;
    case In::Location: return PrimKind::LOCATION;
    default: return PrimKind::DATETIME;
  }
}

// 2 for the fixed-width types and bool, 3 for offsets and data; views have 3 or more (variadic buffers).
int64_t buffer_count(In t) {
  switch (t) {
    case In::Utf8:
    case In::LargeUtf8:
    case In::Binary:
    case In::LargeBinary: return 3;
    case In::Null: return 0;
    case In::Location: return 1;
    default: return 2;
  }
}

bool is_view(In t) { return t == In::Utf8View || t == In::BinaryView; }

struct Column {
  std::string name;
  In in;
  BaseType type;
  bool wire = false;       // binary holding INFOTABLE or VARIANT values as their wire bytes
  int64_t coords[3] = {};  // Location: the children holding latitude, longitude, elevation
};

struct Plan {
  DataShape shape;
  std::vector<Column> cols;
};

template <class T>
T load(const void* buf, int64_t i) {
  T v;
  std::memcpy(&v, static_cast<const uint8_t*>(buf) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
  return v;
}

inline bool bit(const void* bits, int64_t i) { return (static_cast<const uint8_t*>(bits)[i >> 3] >> (i & 7)) & 1; }

// Metadata pairs in the binary form; nothing when the form is broken (negative counts).
std::optional<std::vector<std::pair<std::string_view, std::string_view>>> read_metadata(const char* m) {
  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  if (m == nullptr) return pairs;
  int32_t n = load<int32_t>(m, 0);
  if (n < 0) return std::nullopt;
  const char* p = m + 4;
  auto text = [&p]() -> std::optional<std::string_view> {
    int32_t len = load<int32_t>(p, 0);
    if (len < 0) return std::nullopt;
    std::string_view s(p + 4, static_cast<size_t>(len));
    p += 4 + len;
    return s;
  };
  for (int32_t i = 0; i < n; ++i) {
    auto k = text();
    if (!k) return std::nullopt;
    auto v = text();
    if (!v) return std::nullopt;
    pairs.emplace_back(*k, *v);
  }
  return pairs;
}

std::optional<std::string_view> find(const std::vector<std::pair<std::string_view, std::string_view>>& pairs,
                                     std::string_view key) {
  for (const auto& [k, v] : pairs) {
    if (k == key) return v;
  }
  return std::nullopt;
}

// A producer's text for an error message: kept as it is when it is UTF-8, else each byte of a broken
// sequence is written \xNN (messages are always UTF-8 text).
std::string readable(std::string_view s) {
  std::string out;
  while (auto e = utf8::validate(s)) {
    out.append(s.substr(0, e->valid_up_to));
    const size_t bad = std::min<size_t>(e->error_len.value_or(1), s.size() - e->valid_up_to);
    for (size_t i = 0; i < bad; ++i) {
      static constexpr char kHex[] = "0123456789abcdef";
      const auto b = static_cast<uint8_t>(s[e->valid_up_to + i]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    s.remove_prefix(e->valid_up_to + bad);
  }
  out.append(s);
  return out;
}

std::string quoted(std::string_view s) { return '\'' + readable(s) + '\''; }

// The children of a LOCATION struct: three float64 fields named by kCoordinates, in any order.
bool location_children(const ArrowSchema& s, int64_t (&coords)[3]) {
  if (s.n_children != 3 || s.children == nullptr) return false;
  bool seen[3] = {};
  for (int64_t i = 0; i < 3; ++i) {
    const ArrowSchema* x = s.children[i];
    if (x == nullptr || x->format == nullptr || x->name == nullptr || std::string_view(x->format) != "g" ||
        x->n_children != 0 || x->dictionary != nullptr) {
      return false;
    }
    for (size_t k = 0; k < 3; ++k) {
      if (!seen[k] && std::string_view(x->name) == detail::kCoordinates[k]) {
        seen[k] = true;
        coords[k] = i;
      }
    }
  }
  return seen[0] && seen[1] && seen[2];
}

// Adds column i, whose schema is c, to the plan.
Expected<void> plan_column(Plan& plan, const ArrowSchema* c, int64_t i) {
  if (c == nullptr || c->format == nullptr) return fail("column " + std::to_string(i) + " has no schema");
  std::string_view cname = c->name == nullptr ? std::string_view() : std::string_view(c->name);
  if (!utf8::is_valid(cname)) return fail("column " + std::to_string(i) + ": the name is not UTF-8", ErrorKind::Utf8);
  const std::string where = "column " + quoted(cname);
  if (plan.shape.entries.find(cname) != nullptr) return fail("duplicate " + where);
  auto in = in_type(c->format);
  if (c->dictionary != nullptr) return fail(where + ": dictionary-encoded columns are not supported");
  Column col{std::string(cname), In::Null, BaseType::NOTHING};
  if (in == In::Location && !location_children(*c, col.coords)) {
    return fail(where + ": a struct column must be struct<latitude, longitude, elevation: float64>");
  }
  if (!in || (c->n_children != 0 && in != In::Location)) {
    return fail(where + ": unsupported Arrow type " + quoted(c->format));
  }
  col.in = *in;
  auto cmeta = read_metadata(c->metadata);
  if (!cmeta) return fail(where + ": the metadata is malformed");
  const PrimKind kind = kind_of(*in);
  col.type = *detail::plain_type_of(kind);
  if (auto t = find(*cmeta, kBaseTypeKey)) {
    auto named = base_type_from_name(*t);
    const PrimKind named_kind = named ? detail::arrow_kind(*named) : PrimKind::NOTHING;
    // The null type holds empty cells of any type; binary also INFOTABLE and VARIANT values.
    col.wire = kind == PrimKind::BLOB && (named_kind == PrimKind::INFOTABLE || named_kind == PrimKind::VARIANT);
    if (!named || (named_kind != kind && kind != PrimKind::NOTHING && !col.wire)) {
      return fail(where + ": base type " + quoted(*t) + " does not fit Arrow type " + quoted(c->format));
    }
    col.type = *named;
  }
  DataShapeEntry entry;
  entry.name.assign(cname);
  entry.entry_type = col.type;
  if (auto d = find(*cmeta, kDescriptionKey)) {
    if (!utf8::is_valid(*d)) return fail(where + ": the description is not UTF-8", ErrorKind::Utf8);
    entry.description.assign(*d);
  }
  if (auto a = find(*cmeta, kAspectsKey)) {
    json::Reader r(*a);
    auto aspects = Aspects::read_json(r);
    if (aspects && r.peek() != json::Peek::End) aspects = std::unexpected(r.error_peeked("trailing characters"));
    if (!aspects)
      return fail(where + ": the aspects are malformed: " + readable(aspects.error().text()), ErrorKind::Json);
    entry.aspects = std::move(*aspects);
  }
  plan.shape.add(std::move(entry));
  plan.cols.push_back(std::move(col));
  return {};
}

Expected<Plan> plan_of(const ArrowSchema& s, std::optional<std::string> name) {
  if (s.release == nullptr) return fail("the schema is released");
  if (s.format == nullptr) return fail("the schema has no format");
  if (std::string_view(s.format) != "+s") return fail("the top level is " + quoted(s.format) + ", not a struct ('+s')");
  if (s.n_children < 0 || (s.n_children > 0 && s.children == nullptr)) return fail("the schema's children are missing");
  Plan plan;
  auto meta = read_metadata(s.metadata);
  if (!meta) return fail("the schema's metadata is malformed");
  if (name) {
    plan.shape.name = std::move(name);
  } else if (auto n = find(*meta, kNameKey)) {
    if (!utf8::is_valid(*n)) return fail("the schema's name is not UTF-8", ErrorKind::Utf8);
    plan.shape.name.emplace(*n);
  }
  for (int64_t i = 0; i < s.n_children; ++i) {
    if (auto ok = plan_column(plan, s.children[i], i); !ok) return std::unexpected(std::move(ok.error()));
  }
  return plan;
}

// One column of a batch, checked: rows [base, base + rows) of its buffers are readable.
struct Checked {
  const ArrowArray* a;
  int64_t base;
};

std::string at_row(const Column& c, int64_t row) { return "column " + quoted(c.name) + " row " + std::to_string(row); }

template <class Off>
Expected<void> check_offsets(const Column& c, const ArrowArray& a, int64_t base, int64_t rows, int64_t row0) {
  const void* off = a.buffers[1];
  if (off == nullptr) return fail("column " + quoted(c.name) + ": the offsets buffer is missing");
  Off prev = load<Off>(off, base);
  if (prev < 0) return fail(at_row(c, row0) + ": negative offset");
  const Off first = prev;
  for (int64_t i = 0; i < rows; ++i) {
    Off next = load<Off>(off, base + i + 1);
    if (next < prev) return fail(at_row(c, row0 + i) + ": offsets decrease");
    prev = next;
  }
  if (prev > first && a.buffers[2] == nullptr) return fail("column " + quoted(c.name) + ": the data buffer is missing");
  if (kind_of(c.in) == PrimKind::STRING) {
    const auto* data = static_cast<const uint8_t*>(a.buffers[2]);
    if (prev > first && utf8::all_ascii(data + first, static_cast<size_t>(prev - first))) return {};
    for (int64_t i = 0; i < rows; ++i) {
      Off b = load<Off>(off, base + i), e = load<Off>(off, base + i + 1);
      if (e > b && utf8::validate(data + b, static_cast<size_t>(e - b)))
        return fail(at_row(c, row0 + i) + ": text is not UTF-8", ErrorKind::Utf8);
    }
  }
  return {};
}

// A view: length, then the inline bytes (up to 12) or a 4-byte prefix, buffer index and offset.
struct View {
  const uint8_t* data;
  int32_t len;
};

inline View view_at(const ArrowArray& a, int64_t i) {
  const auto* v = static_cast<const uint8_t*>(a.buffers[1]) + i * 16;
  int32_t len = load<int32_t>(v, 0);
  if (len <= 12) return {v + 4, len};
  int32_t buf = load<int32_t>(v + 8, 0), off = load<int32_t>(v + 12, 0);
  return {static_cast<const uint8_t*>(a.buffers[2 + buf]) + off, len};
}

Expected<void> check_views(const Column& c, const ArrowArray& a, int64_t base, int64_t rows, int64_t row0) {
  const int64_t n_data = a.n_buffers - 3;
  if (rows > 0 && a.buffers[1] == nullptr) return fail("column " + quoted(c.name) + ": the views buffer is missing");
  const void* sizes = a.buffers[a.n_buffers - 1];
  if (n_data > 0 && sizes == nullptr) return fail("column " + quoted(c.name) + ": the buffer sizes are missing");
  for (int64_t i = 0; i < rows; ++i) {
    const auto* v = static_cast<const uint8_t*>(a.buffers[1]) + (base + i) * 16;
    int32_t len = load<int32_t>(v, 0);
    if (len < 0) return fail(at_row(c, row0 + i) + ": negative length");
    if (len > 12) {
      int32_t buf = load<int32_t>(v + 8, 0), off = load<int32_t>(v + 12, 0);
      if (buf < 0 || buf >= n_data || off < 0 || a.buffers[2 + buf] == nullptr ||
          int64_t{off} + len > load<int64_t>(sizes, buf)) {
        return fail(at_row(c, row0 + i) + ": the view lies outside its buffers");
      }
    }
    if (kind_of(c.in) == PrimKind::STRING) {
      View s = view_at(a, base + i);
      if (utf8::validate(s.data, static_cast<size_t>(s.len)))
        return fail(at_row(c, row0 + i) + ": text is not UTF-8", ErrorKind::Utf8);
    }
  }
  return {};
}

Expected<void> check_column(const Column& c, const ArrowArray* a, int64_t parent_end, int64_t rows, int64_t row0);

// The validity bitmap of a checked array when it has nulls, else nullptr.
inline const void* nulls_of(const ArrowArray& a) { return a.null_count != 0 ? a.buffers[0] : nullptr; }

// The coordinates of a LOCATION column: three float64 arrays, each without nulls where the struct has a value.
Expected<void> check_coordinates(const Column& c, const ArrowArray& a, int64_t parent_end, int64_t rows, int64_t row0) {
  if (a.n_children != 3 || a.children == nullptr) return fail("column " + quoted(c.name) + ": unexpected children");
  const int64_t base = a.offset + (parent_end - rows);
  const void* valid = nulls_of(a);
  for (size_t k = 0; k < 3; ++k) {
    const Column x{c.name + "." + detail::kCoordinates[k], In::F64, BaseType::NUMBER};
    const ArrowArray* xa = a.children[c.coords[k]];
    if (auto ok = check_column(x, xa, a.offset + parent_end, rows, row0); !ok) return ok;
    if (const void* xv = nulls_of(*xa)) {
      for (int64_t i = 0; i < rows; ++i) {
        if ((valid == nullptr || bit(valid, base + i)) && !bit(xv, xa->offset + base + i))
          return fail(at_row(x, row0 + i) + ": null coordinate");
      }
    }
  }
  return {};
}

// Checks one column of a batch: its structure and values that have no table value.
Expected<void> check_column(const Column& c, const ArrowArray* a, int64_t parent_end, int64_t rows, int64_t row0) {
  // Built only for an error: a stream of many small batches checks its columns once per batch.
  auto where = [&c] { return "column " + quoted(c.name); };
  if (a == nullptr || a->release == nullptr) return fail(where() + ": the array is missing or released");
  if (a->length < 0 || a->offset < 0 || a->length > std::numeric_limits<int64_t>::max() - a->offset) {
    return fail(where() + ": bad length or offset");
  }
  if (a->length < parent_end)
    return fail(where() + ": " + std::to_string(a->length) + " values for " + std::to_string(parent_end) + " rows");
  if ((a->n_children != 0 && c.in != In::Location) || a->dictionary != nullptr)
    return fail(where() + ": unexpected children");
  const int64_t want = buffer_count(c.in);
  if (is_view(c.in) ? a->n_buffers < 3 : a->n_buffers != want) {
    return fail(where() + ": " + std::to_string(a->n_buffers) + " buffers, expected " +
                (is_view(c.in) ? std::string("at least 3") : std::to_string(want)));
  }
  if (c.in == In::Null) return {};
  if (a->buffers == nullptr) return fail(where() + ": the buffers are missing");
  const int64_t base = a->offset + (parent_end - rows);
  if (a->null_count > 0 && a->buffers[0] == nullptr) return fail(where() + ": nulls without a validity bitmap");
  if (c.in == In::Location) return check_coordinates(c, *a, parent_end, rows, row0);
  if (rows == 0) return {};
  switch (c.in) {
    case In::Utf8:
    case In::Binary: return check_offsets<int32_t>(c, *a, base, rows, row0);
    case In::LargeUtf8:
    case In::LargeBinary: return check_offsets<int64_t>(c, *a, base, rows, row0);
    case In::Utf8View:
    case In::BinaryView: return check_views(c, *a, base, rows, row0);
    default: break;
  }
  const void* values = a->buffers[1];
  if (values == nullptr) return fail(where() + ": the values buffer is missing");
  // Values under a null are not read.
  const void* valid = nulls_of(*a);
  auto is_null = [valid](int64_t i) { return valid != nullptr && !bit(valid, i); };
  if (c.in == In::U64) {
    for (int64_t i = 0; i < rows; ++i) {
      if (load<uint64_t>(values, base + i) > uint64_t{INT64_MAX} && !is_null(base + i))
        return fail(at_row(c, row0 + i) + ": value exceeds the LONG range");
    }
  } else if (c.in == In::TsSecond) {
    for (int64_t i = 0; i < rows; ++i) {
      int64_t ms;
      if (__builtin_mul_overflow(load<int64_t>(values, base + i), int64_t{1000}, &ms) && !is_null(base + i)) {
        return fail(at_row(c, row0 + i) + ": timestamp exceeds the DATETIME range");
      }
    }
  }
  return {};
}

// Floor division, so instants before the epoch round down as they do after it.
inline int64_t floor_div(int64_t a, int64_t d) {
  int64_t q = a / d;
  return (a % d != 0 && a < 0) ? q - 1 : q;
}

template <class Off>
inline std::string_view var_at(const ArrowArray& a, int64_t i) {
  Off b = load<Off>(a.buffers[1], i), e = load<Off>(a.buffers[1], i + 1);
  if (e == b) return {};
  return {static_cast<const char*>(a.buffers[2]) + b, static_cast<size_t>(e - b)};
}

inline std::string_view text_at(const Column& c, const ArrowArray& a, int64_t i) {
  switch (c.in) {
    case In::Utf8:
    case In::Binary: return var_at<int32_t>(a, i);
    case In::LargeUtf8:
    case In::LargeBinary: return var_at<int64_t>(a, i);
    default: {
      View v = view_at(a, i);
      return {reinterpret_cast<const char*>(v.data), static_cast<size_t>(v.len)};
    }
  }
}

// The value at index i of a checked column.
HcPrim value_at(const Column& c, const ArrowArray& a, int64_t i) {
  const void* v = a.buffers[1];
  switch (c.in) {
    case In::I8: return HcPrim::integer(load<int8_t>(v, i), c.type);
    case In::U8: return HcPrim::integer(load<uint8_t>(v, i), c.type);
    case In::I16: return HcPrim::integer(load<int16_t>(v, i), c.type);
    case In::U16: return HcPrim::integer(load<uint16_t>(v, i), c.type);
    case In::I32: return HcPrim::integer(load<int32_t>(v, i), c.type);
    case In::U32: return HcPrim::long_(load<uint32_t>(v, i), c.type);
    case In::I64: return HcPrim::long_(load<int64_t>(v, i), c.type);
    case In::U64: return HcPrim::long_(static_cast<int64_t>(load<uint64_t>(v, i)), c.type);
    case In::F32: return HcPrim::number(load<float>(v, i), c.type);
    case In::F64: return HcPrim::number(load<double>(v, i), c.type);
    case In::Bool: return HcPrim::boolean(bit(v, i), c.type);
    case In::TsSecond: return HcPrim::datetime(load<int64_t>(v, i) * 1000, c.type);
    case In::TsMilli:
    case In::Date64: return HcPrim::datetime(load<int64_t>(v, i), c.type);
    case In::TsMicro: return HcPrim::datetime(floor_div(load<int64_t>(v, i), 1000), c.type);
    case In::TsNano: return HcPrim::datetime(floor_div(load<int64_t>(v, i), 1000000), c.type);
    case In::Date32: return HcPrim::datetime(int64_t{load<int32_t>(v, i)} * 86400000, c.type);
    case In::Utf8:
    case In::LargeUtf8:
    case In::Utf8View: return HcPrim::string(text_at(c, a, i), c.type);
    case In::Binary:
    case In::LargeBinary:
    case In::BinaryView: return HcPrim::blob(as_bytes(text_at(c, a, i)), c.type);
    case In::Location:  // cell_at
    case In::Null: break;
  }
  return HcPrim();
}

// The value at index i of a checked column whose cells need more than value_at: an empty cell (null), a
// LOCATION from its three children, or an INFOTABLE or VARIANT read from its wire bytes, which must hold
// exactly one value.
Expected<HcPrim> cell_at(const Column& c, const ArrowArray& a, int64_t i, int64_t row) {
  if (c.in == In::Null) return HcPrim();
  if (const void* valid = nulls_of(a); valid != nullptr && !bit(valid, i)) return HcPrim();
  if (c.in == In::Location) {
    auto at = [&a, &c, i](size_t k) {
      const ArrowArray& x = *a.children[c.coords[k]];
      return load<double>(x.buffers[1], x.offset + i);
    };
    return HcPrim::location({.longitude = at(1), .latitude = at(0), .elevation = at(2)}, c.type);
  }
  if (!c.wire) return value_at(c, a, i);
  const std::string_view bytes = text_at(c, a, i);
  auto v = HcPrim::from_bytes_typed(as_bytes(bytes), c.type);
  if (!v) return fail(at_row(c, row) + ": " + readable(v.error().message()));
  if (v->consumed != bytes.size()) {
    return fail(at_row(c, row) + ": " + std::to_string(bytes.size() - v->consumed) + " bytes after the value");
  }
  return std::move(v->value);
}

bool is_utf8(In t) { return t == In::Utf8 || t == In::LargeUtf8 || t == In::Utf8View; }

// The rows of a checked batch whose every cell value_at reads (no nulls, no wire bytes), built straight into
// the table's storage: one detach for the batch, room for `claimed` rows, texts copied into its text store, so
// a row allocates nothing of its own. A failure (out of memory) leaves the rows appended before it.
void append_plain_rows(const Plan& plan, const ArrowArray& a, InfoTable& t, int64_t rows, size_t claimed) {
  veltrac::detail::TableStore& s = veltrac::detail::TableAccess::own(t);
  struct SyncOnExit {
    InfoTable& t;
    ~SyncOnExit() { veltrac::detail::TableAccess::sync(t); }
  } sync_on_exit{t};
  const size_t n = plan.cols.size();
  s.cells.reserve_more(claimed * n);
  if (s.row_ends.capacity() - s.row_ends.size() < claimed) {
    s.row_ends.reserve(std::max(s.row_ends.size() + claimed, s.row_ends.capacity() * 2));
  }
  for (int64_t r = 0; r < rows; ++r) {
    s.cells.reserve_more(n);
    if (s.row_ends.size() == s.row_ends.capacity()) s.row_ends.reserve(std::max<size_t>(16, s.row_ends.size() * 2));
    HcPrim* out = s.cells.end_room();
    bool owns = false;
    size_t c = 0;
    try {
      for (; c < n; ++c) {
        const Column& pc = plan.cols[c];
        const ArrowArray& col = *a.children[c];
        const int64_t i = col.offset + a.offset + r;
        if (is_utf8(pc.in)) {
          const std::string_view text = text_at(pc, col, i);
          if (text.empty()) {
            PrimAccess::emplace(out + c, PrimKind::STRING, pc.type);
            continue;
          }
          if (text.size() < UINT32_MAX) {
            char* stored = s.texts.alloc(text.size(), SIZE_MAX);
            std::memcpy(stored, text.data(), text.size());
            PrimAccess::emplace_borrowed_text(out + c, pc.type, stored, text.size());
            continue;
          }
        }
        owns = owns || pc.in == In::Binary || pc.in == In::LargeBinary || pc.in == In::BinaryView || is_utf8(pc.in);
        ::new (static_cast<void*>(out + c)) HcPrim(value_at(pc, col, i));
      }
    } catch (...) {
      std::destroy_n(out, c);
      throw;
    }
    s.cells.commit(n, owns);
    s.row_ends.push_back(s.cells.size());
  }
}

constexpr int64_t kMaxEmptyRows = INT32_MAX;
constexpr int64_t kReserveRows = int64_t{1} << 20;

// Checks a whole batch, then appends its rows; `row0` is the number of rows before it. `row` holds one
// NOTHING value per column and `plain` a flag per column (both kept from batch to batch).
Expected<void> append_batch(const Plan& plan, const ArrowArray& a, InfoTable& t, int64_t row0, std::vector<HcPrim>& row,
                            std::vector<uint8_t>& plain) {
  if (a.length < 0 || a.offset < 0 || a.length > std::numeric_limits<int64_t>::max() - a.offset) {
    return fail("bad length or offset of a batch");
  }
  if (a.n_buffers != 1 || a.buffers == nullptr)
    return fail("a batch has " + std::to_string(a.n_buffers) + " buffers, not 1");
  if (a.n_children != static_cast<int64_t>(plan.cols.size()) || (a.n_children > 0 && a.children == nullptr)) {
    return fail("a batch has " + std::to_string(a.n_children) + " columns for " + std::to_string(plan.cols.size()) +
                " fields");
  }
  const int64_t rows = a.length, end = a.offset + a.length;
  if (a.null_count > 0 && a.buffers[0] == nullptr) return fail("a batch has nulls without a validity bitmap");
  const void* row_valid = nulls_of(a);  // a null row is a row of empty cells
  for (size_t c = 0; c < plan.cols.size(); ++c) {
    if (auto ok = check_column(plan.cols[c], a.children[c], end, rows, row0); !ok) return ok;
  }
  // Without columns nothing holds the rows a batch claims: past this count the claim is refused. With
  // columns, the claim sizes the reservation only up to kReserveRows rows; more grow the table as they come.
  if (plan.cols.empty() && rows > kMaxEmptyRows) {
    return fail("a batch without columns claims " + std::to_string(rows) + " rows (at most " +
                std::to_string(kMaxEmptyRows) + ")");
  }
  const auto claimed = static_cast<size_t>(std::min(rows, kReserveRows));
  // Columns read by value_at alone: no nulls, no wire bytes.
  plain.resize(plan.cols.size());
  bool all_plain = row_valid == nullptr;
  for (size_t c = 0; c < plan.cols.size(); ++c) {
    const Column& pc = plan.cols[c];
    plain[c] = pc.in != In::Null && pc.in != In::Location && !pc.wire && nulls_of(*a.children[c]) == nullptr;
    all_plain = all_plain && plain[c] != 0;
  }
  if (all_plain) {
    append_plain_rows(plan, a, t, rows, claimed);
    return {};
  }
  t.reserve(claimed, claimed * plan.cols.size());
  for (int64_t r = 0; r < rows; ++r) {
    if (row_valid != nullptr && !bit(row_valid, a.offset + r)) {
      t.append_row(row);  // every value NOTHING
      continue;
    }
    for (size_t c = 0; c < plan.cols.size(); ++c) {
      const ArrowArray& col = *a.children[c];
      const int64_t i = col.offset + a.offset + r;
      // Built in place: append_row left the previous value NOTHING, which owns nothing.
      if (plain[c]) [[likely]] {
        ::new (static_cast<void*>(&row[c])) HcPrim(value_at(plan.cols[c], col, i));
        continue;
      }
      auto v = cell_at(plan.cols[c], col, i, row0 + r);
      if (!v) return std::unexpected(std::move(v.error()));
      ::new (static_cast<void*>(&row[c])) HcPrim(std::move(*v));
    }
    t.append_row(row);
  }
  return {};
}

// Releases an imported structure when it goes out of scope (unless already released or moved).
template <class T>
struct Releaser {
  T* p;
  ~Releaser() {
    if (p != nullptr && p->release != nullptr) p->release(p);
  }
};

std::string stream_error(ArrowArrayStream* s, const char* step, int code) {
  std::string m = "the stream's " + std::string(step) + " failed (error " + std::to_string(code) + ")";
  const char* text = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
  if (text != nullptr) {
    m += ": ";
    m += readable(text);
  }
  return m;
}

}  // namespace

Expected<InfoTable> import_array(ArrowSchema* schema, ArrowArray* array, std::optional<std::string> name) {
  Releaser<ArrowSchema> rs{schema};
  Releaser<ArrowArray> ra{array};
  if (schema == nullptr || array == nullptr) return fail("no schema or no array");
  auto plan = plan_of(*schema, std::move(name));
  if (!plan) return fail(std::move(plan.error()));
  if (array->release == nullptr) return fail("the array is released");
  InfoTable t;
  t.datashape = std::move(plan->shape);
  std::vector<HcPrim> row(plan->cols.size());
  std::vector<uint8_t> plain;
  if (auto ok = append_batch(*plan, *array, t, 0, row, plain); !ok) return fail(std::move(ok.error()));
  return t;
}

Expected<InfoTable> import_stream(ArrowArrayStream* s, std::optional<std::string> name) {
  if (s == nullptr || s->release == nullptr) return fail("the stream is released");
  Releaser<ArrowArrayStream> rst{s};
  if (s->get_schema == nullptr || s->get_next == nullptr) return fail("the stream has no callbacks");
  ArrowSchema schema{};
  if (int rc = s->get_schema(s, &schema); rc != 0) return fail(stream_error(s, "get_schema", rc));
  Releaser<ArrowSchema> rs{&schema};
  auto plan = plan_of(schema, std::move(name));
  if (!plan) return fail(std::move(plan.error()));
  InfoTable t;
  t.datashape = std::move(plan->shape);
  int64_t rows = 0;
  std::vector<HcPrim> row(plan->cols.size());
  std::vector<uint8_t> plain;
  for (;;) {
    ArrowArray a{};
    if (int rc = s->get_next(s, &a); rc != 0) return fail(stream_error(s, "get_next", rc));
    if (a.release == nullptr) break;
    Releaser<ArrowArray> ra{&a};
    if (auto ok = append_batch(*plan, a, t, rows, row, plain); !ok) return fail(std::move(ok.error()));
    rows += a.length;
  }
  return t;
}

}  // namespace veltrac::arrow
