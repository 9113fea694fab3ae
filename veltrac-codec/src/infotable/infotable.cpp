#include "infotable/infotable.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "json/record.hpp"
#include "json/write.hpp"
#include "primitive/value_codec.hpp"
#include "util/log.hpp"

namespace veltrac {

// ---- binary form ----

namespace detail {

Result<size_t> size_row(const InfoTableRow& row) {
  if (row.fields.size() > 0xFFFF) {
    return fail(VeltracError::io("row value count " + std::to_string(row.fields.size()) + " exceeds 65535"));
  }
  size_t n = 2;
  for (const HcPrim& v : row.fields) {
    // Scalars inline; only nested values need the full size pass.
    switch (v.kind()) {
      case PrimKind::INTEGER: n += 5; break;
      case PrimKind::NUMBER:
      case PrimKind::LONG:
      case PrimKind::DATETIME: n += 9; break;
      case PrimKind::BOOLEAN: n += 2; break;
      case PrimKind::STRING: {
        size_t len = v.as_string().size();
        if (len > kMaxWireLength) return fail(too_long("text", len));
        n += 1 + size_string(len);
        break;
      }
      default: {
        auto s = size_prim(v);
        if (!s) return fail(std::move(s.error()));
        n += *s;
      }
    }
  }
  return n;
}

uint8_t* write_row(const InfoTableRow& row, uint8_t* p) {
  be::store16(p, static_cast<uint16_t>(row.fields.size()));
  p += 2;
  for (const HcPrim& v : row.fields) p = write_prim(v, p);
  return p;
}

Result<size_t> size_table(const InfoTable& t) {
  auto s = size_shape(t.datashape);
  if (!s) return fail(std::move(s.error()));
  size_t n = *s + 1;
  for (const InfoTableRow& row : t.rows) {
    auto rs = size_row(row);
    if (!rs) return fail(std::move(rs.error()));
    n += 1 + *rs;
  }
  return n;
}

uint8_t* write_table(const InfoTable& t, uint8_t* p) {
  p = write_shape(t.datashape, p);
  for (const InfoTableRow& row : t.rows) {
    *p++ = 0x01;
    p = write_row(row, p);
  }
  *p++ = 0x00;
  return p;
}

namespace {
std::string row_input_text(Bytes in) {
  std::string m = "InfoTableRow:[";
  char buf[4];
  for (size_t i = 0; i < in.size(); ++i) {
    if (i) m.append(", ");
    auto res = std::to_chars(buf, buf + sizeof buf, in[i]);
    m.append(buf, res.ptr);
  }
  m.push_back(']');
  return m;
}
}  // namespace

Result<InfoTableRow> read_row(ByteReader& r, unsigned depth) {
  VELTRAC_LOG(Trace, "veltrac_codec::infotable", row_input_text(r.rest()));
  auto count = r.u16();
  if (!count) return fail(std::move(count.error()));
  InfoTableRow row;
  // Cells are decoded in place. Every value takes at least one byte, so the input bounds the count.
  row.fields.resize(std::min<size_t>(*count, r.remaining()));
  for (size_t i = 0; i < *count; ++i) {
    auto code = r.u8();
    if (!code) return fail(std::move(code.error()));
    auto t = base_type_from_repr(*code);
    if (!t) return fail(VeltracError::invalid_base_type(*code));
    if (i == row.fields.size()) row.fields.emplace_back();
    if (auto ok = read_prim_typed_into(r, *t, depth, row.fields[i]); !ok) return fail(std::move(ok.error()));
  }
  return row;
}

Result<InfoTable> read_table(ByteReader& r, unsigned depth) {
  if (depth > kMaxNestingDepth) return fail(nesting_too_deep());
  InfoTable t;
  auto shape = read_shape(r, depth);
  if (!shape) return fail(std::move(shape.error()));
  t.datashape = std::move(*shape);
  size_t rows_start = r.position();
  for (;;) {
    auto marker = r.u8();
    if (!marker) return fail(std::move(marker.error()));
    if (*marker == 0) break;
    auto row = read_row(r, depth);
    if (!row) return fail(std::move(row.error()));
    VELTRAC_LOG(Trace, "veltrac_codec::infotable", [&] {
      std::string m = "row:";
      row->append_debug(m);
      return m;
    }());
    if (t.rows.size() == 1) {
      // Size the row list from the first row's length and the input left.
      size_t first_len = r.position() - rows_start;
      if (first_len > 0) t.rows.reserve(1 + r.remaining() / first_len);
    }
    t.rows.push_back(std::move(*row));
  }
  return t;
}

}  // namespace detail

Result<size_t> InfoTableRow::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(out, *this, detail::size_row, detail::write_row);
}

Result<Decoded<InfoTableRow>> InfoTableRow::from_bytes(Bytes in) {
  ByteReader r(in);
  auto row = detail::read_row(r, 1);
  if (!row) return fail(std::move(row.error()));
  return Decoded<InfoTableRow>{std::move(*row), r.position()};
}

Result<size_t> InfoTable::encoded_size() const { return detail::size_table(*this); }

Result<size_t> InfoTable::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(out, *this, detail::size_table, detail::write_table);
}

Result<Decoded<InfoTable>> InfoTable::from_bytes(Bytes in) {
  ByteReader r(in);
  auto t = detail::read_table(r, 1);
  if (!t) return fail(std::move(t.error()));
  return Decoded<InfoTable>{std::move(*t), r.position()};
}

// ---- JSON record form ----

namespace {
constexpr std::string_view kTableFields[] = {"datashape", "rows"};
constexpr json::RecordSpec kTableSpec{"struct InfoTable", kTableFields, "struct InfoTable with 2 elements",
                                      json::UnknownFields::Skip};
constexpr std::string_view kRowFields[] = {"fields"};
constexpr json::RecordSpec kRowSpec{"struct InfoTableRow", kRowFields, "struct InfoTableRow with 1 element",
                                    json::UnknownFields::Skip};
}  // namespace

std::expected<void, json::Error> InfoTableRow::write_json(std::string& out) const {
  out.append("{\"fields\":[");
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out.push_back(',');
    if (auto ok = fields[i].to_tagged_json(out); !ok) return ok;
  }
  out.append("]}");
  return {};
}

std::expected<InfoTableRow, json::Error> InfoTableRow::read_json(json::Reader& r) {
  InfoTableRow row;
  auto seen = json::read_record(r, kRowSpec, [&](size_t) -> json::Expected<void> {
    return json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
      auto v = HcPrim::from_tagged_json(r);
      if (!v) return json::fail(std::move(v.error()));
      row.fields.push_back(std::move(*v));
      return {};
    });
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kRowFields, {0}); !ok) return json::fail(std::move(ok.error()));
  return row;
}

std::expected<void, json::Error> InfoTable::write_json(std::string& out) const {
  out.append("{\"datashape\":");
  if (auto ok = datashape.write_json(out); !ok) return ok;
  out.append(",\"rows\":[");
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i) out.push_back(',');
    if (auto ok = rows[i].write_json(out); !ok) return ok;
  }
  out.append("]}");
  return {};
}

std::expected<std::string, json::Error> InfoTable::to_json() const {
  std::string out;
  if (auto ok = write_json(out); !ok) return json::fail(std::move(ok.error()));
  return out;
}

std::expected<InfoTable, json::Error> InfoTable::read_json(json::Reader& r) {
  InfoTable t;
  auto seen = json::read_record(r, kTableSpec, [&](size_t i) -> json::Expected<void> {
    if (i == 0) return json::assign(t.datashape, DataShape::read_json(r));
    return json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
      auto row = InfoTableRow::read_json(r);
      if (!row) return json::fail(std::move(row.error()));
      t.rows.push_back(std::move(*row));
      return {};
    });
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kTableFields, {0, 1}); !ok) return json::fail(std::move(ok.error()));
  return t;
}

// ---- simple JSON ----

namespace {
void report_missing_entry(size_t index) {
  VELTRAC_LOG(Error, "veltrac_codec::infotable::json", "DataShape entry not found for index " + std::to_string(index));
}
}  // namespace

Result<json::Value> InfoTable::to_simple_json() const {
  auto shape = datashape.to_simple_json();
  if (!shape) return fail(std::move(shape.error()));
  json::Array out_rows;
  out_rows.reserve(rows.size());
  for (const InfoTableRow& row : rows) {
    json::Object obj;
    for (size_t i = 0; i < row.fields.size(); ++i) {
      if (i >= datashape.entries.size()) {
        report_missing_entry(i);
        continue;
      }
      auto v = row.fields[i].to_simple_json();
      if (!v) return fail(std::move(v.error()));
      obj.insert(datashape.entries.at(i).first, std::move(*v));
    }
    out_rows.emplace_back(std::move(obj));
  }
  json::Object obj;
  obj.insert("dataShape", std::move(*shape));
  obj.insert("rows", json::Value(std::move(out_rows)));
  return json::Value(std::move(obj));
}

namespace {

// Writes a row whose values are all texts, numbers, integers or booleans (the values that cannot fail)
// straight into room reserved for the whole row; the same text as the value-by-value writer. Returns false,
// writing nothing, for a row holding any other kind.
bool write_simple_row(std::string& out, const std::vector<HcPrim>& fields, const std::vector<size_t>& order,
                      const std::vector<std::string>& keys, bool comma) {
  size_t room = 3;  // comma and braces
  for (size_t col : order) {
    if (col >= fields.size()) continue;
    const HcPrim& v = fields[col];
    room += keys[col].size() + 1;
    switch (v.kind()) {
      case PrimKind::STRING: room += json::string_room(v.as_string().size()); break;
      case PrimKind::NUMBER:
      case PrimKind::INTEGER:
      case PrimKind::LONG:
      case PrimKind::DATETIME: room += json::kNumberRoom; break;
      case PrimKind::BOOLEAN: room += 5; break;
      default: return false;
    }
  }
  const size_t at = out.size();
  out.resize_and_overwrite(at + room, [&](char* buf, size_t) {
    char* p = buf + at;
    if (comma) *p++ = ',';
    *p++ = '{';
    bool first = true;
    for (size_t col : order) {
      if (col >= fields.size()) continue;
      if (!first) *p++ = ',';
      first = false;
      const std::string& key = keys[col];
      std::memcpy(p, key.data(), key.size());
      p += key.size();
      const HcPrim& v = fields[col];
      switch (v.kind()) {
        case PrimKind::STRING: p = json::put_string(p, v.as_string()); break;
        case PrimKind::NUMBER: {
          double d = v.as_number();
          p = json::put_f64(p, std::isfinite(d) ? d : 0.0);
          break;
        }
        case PrimKind::INTEGER: p = json::put_i64(p, v.as_integer()); break;
        case PrimKind::LONG:
        case PrimKind::DATETIME: p = json::put_i64(p, v.as_long()); break;
        default: {  // BOOLEAN
          bool b = v.as_bool();
          std::memcpy(p, b ? "true" : "false", b ? 4 : 5);
          p += b ? 4 : 5;
        }
      }
    }
    *p++ = '}';
    return static_cast<size_t>(p - buf);
  });
  return true;
}

}  // namespace

Result<void> InfoTable::write_simple_json(std::string& out) const {
  out.append("{\"dataShape\":");
  if (auto ok = datashape.write_simple_json(out); !ok) return ok;
  out.append(",\"rows\":[");
  // Column positions in the byte order of their keys, computed once for all rows.
  const size_t ncols = datashape.entries.size();
  std::vector<size_t> order(ncols);
  for (size_t i = 0; i < ncols; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return datashape.entries.at(a).first < datashape.entries.at(b).first; });
  // Pre-escaped member keys: "key":
  std::vector<std::string> keys(ncols);
  for (size_t i = 0; i < ncols; ++i) json::write_key(keys[i], datashape.entries.at(i).first);

  const size_t rows_start = out.size();
  for (size_t ri = 0; ri < rows.size(); ++ri) {
    const auto& fields = rows[ri].fields;
    if (write_simple_row(out, fields, order, keys, ri != 0)) {
      if (ri == 0 && rows.size() > 1) {
        // Room for the other rows at the first row's length (capped), instead of growing step by step.
        constexpr size_t kMaxGuess = size_t{1} << 28;
        out.reserve(out.size() + std::min(kMaxGuess, (rows.size() - 1) * (out.size() - rows_start)) + 2);
      }
    } else {
      if (ri) out.push_back(',');
      out.push_back('{');
      bool first = true;
      for (size_t col : order) {
        if (col >= fields.size()) continue;
        if (!first) out.push_back(',');
        first = false;
        out.append(keys[col]);
        if (auto ok = fields[col].write_simple_json(out); !ok) return ok;
      }
      out.push_back('}');
    }
    for (size_t i = ncols; i < fields.size(); ++i) report_missing_entry(i);
  }
  out.append("]}");
  return {};
}

// ---- debug text ----

void InfoTableRow::append_debug(std::string& out) const {
  out.append("InfoTableRow { fields: [");
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out.append(", ");
    fields[i].append_debug(out);
  }
  out.append("] }");
}

void InfoTable::append_debug(std::string& out) const {
  out.append("InfoTable { datashape: ");
  datashape.append_debug(out);
  out.append(", rows: [");
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i) out.append(", ");
    rows[i].append_debug(out);
  }
  out.append("] }");
}

std::string InfoTable::debug_text() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace veltrac
