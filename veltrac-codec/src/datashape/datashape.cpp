#include "veltrac/datashape.hpp"

#include <algorithm>
#include <vector>

#include "aspect/aspects_json.hpp"
#include "json/base_type_json.hpp"
#include "json/record.hpp"
#include "json/write.hpp"
#include "primitive/value_codec.hpp"
#include "util/debug_text.hpp"
#include "util/key_order.hpp"
#include "util/stream_string.hpp"

namespace veltrac {

// ---- binary form ----

namespace detail {

Result<size_t> size_entry(const DataShapeEntry& e) {
  if (e.name.size() > kMaxWireLength) return fail(too_long("field name", e.name.size()));
  if (e.description.size() > kMaxWireLength) return fail(too_long("field description", e.description.size()));
  auto a = size_aspects(e.aspects);
  if (!a) return fail(std::move(a.error()));
  return 1 + size_string(e.name.size()) + size_string(e.description.size()) + 1 + *a;
}

uint8_t* write_entry(const DataShapeEntry& e, uint8_t* p) {
  *p++ = 0x01;
  p = write_string(e.name, p);
  p = write_string(e.description, p);
  *p++ = code_of(e.entry_type);
  return write_aspects(e.aspects, p);
}

Result<size_t> size_shape(const DataShape& s) {
  size_t n = 1;
  for (const auto& [key, entry] : s.entries) {
    auto e = size_entry(entry);
    if (!e) return fail(std::move(e.error()));
    n += *e;
  }
  return n;
}

uint8_t* write_shape(const DataShape& s, uint8_t* p) {
  for (const auto& [key, entry] : s.entries) p = write_entry(entry, p);
  *p++ = 0x00;
  return p;
}

Result<DataShapeEntry> read_entry(ByteReader& r, unsigned depth) {
  DataShapeEntry e;
  auto name = read_stream_string(r);
  if (!name) return fail(std::move(name.error()));
  e.name = *name;
  auto desc = read_stream_string(r);
  if (!desc) return fail(std::move(desc.error()));
  e.description = *desc;
  auto code = r.u8();
  if (!code) return fail(std::move(code.error()));
  auto t = base_type_from_repr(*code);
  if (!t) return fail(VeltracError::invalid_entry_type(*code).found_at(r.here() - 1));
  e.entry_type = *t;
  auto aspects = read_aspects(r, depth);
  if (!aspects) return fail(std::move(aspects.error()));
  e.aspects = std::move(*aspects);
  return e;
}

Result<DataShape> read_shape(ByteReader& r, unsigned depth) {
  DataShape s;
  for (;;) {
    auto marker = r.u8();
    if (!marker) return fail(std::move(marker.error()));
    if (*marker == 0) break;
    auto e = read_entry(r, depth);
    if (!e) return fail(std::move(e.error()));
    s.add(std::move(*e));
  }
  return s;
}

}  // namespace detail

Result<size_t> DataShapeEntry::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(out, *this, detail::size_entry, detail::write_entry);
}

Result<Decoded<DataShapeEntry>> DataShapeEntry::from_bytes(Bytes in) {
  return detail::decode_from(in, [&](ByteReader& r) { return detail::read_entry(r, 0); });
}

Result<size_t> DataShape::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(out, *this, detail::size_shape, detail::write_shape);
}

Result<Decoded<DataShape>> DataShape::from_bytes(Bytes in) {
  return detail::decode_from(in, [&](ByteReader& r) { return detail::read_shape(r, 0); });
}

// ---- JSON record form ----

namespace {
constexpr std::string_view kEntryFields[] = {"name", "description", "baseType", "aspects"};
constexpr json::RecordSpec kEntrySpec{"struct DataShapeEntry", kEntryFields, "struct DataShapeEntry with 4 elements",
                                      json::UnknownFields::Skip};
constexpr std::string_view kShapeFields[] = {"name", "entries"};
constexpr size_t kMaxEntriesGuess = 64;
constexpr json::RecordSpec kShapeSpec{"struct DataShape", kShapeFields, "DataShape with 2 elements",
                                      json::UnknownFields::Refuse};
}  // namespace

namespace {

// Room for `"key":` (when given) and the entry record up to its aspects.
size_t entry_head_room(const std::string* key, const DataShapeEntry& e) {
  size_t room =
      48 + json::string_room(e.name.size()) + json::string_room(e.description.size()) + name_of(e.entry_type).size();
  if (key) room += 1 + json::string_room(key->size());
  return room;
}

char* put_entry_head(char* p, const std::string* key, const DataShapeEntry& e) {
  using namespace std::string_view_literals;
  std::string_view written_key;  // the key as written, quotes included
  if (key) {
    char* start = p;
    p = json::put_string(p, *key);
    written_key = {start, static_cast<size_t>(p - start)};
    *p++ = ':';
  }
  p = json::put_raw(p, "{\"name\":"sv);
  // The name is usually the key: its text is copied.
  p = key && same_text(*key, e.name) ? json::put_raw(p, written_key) : json::put_string(p, e.name);
  p = json::put_raw(p, ",\"description\":"sv);
  p = json::put_string(p, e.description);
  p = json::put_raw(p, ",\"baseType\":\""sv);
  p = json::put_raw(p, name_of(e.entry_type));
  return json::put_raw(p, "\",\"aspects\":"sv);
}

// The entry record (after `"key":` when given), with a `,` before it when `comma`.
std::expected<void, json::Error> write_entry(std::string& out, const std::string* key, const DataShapeEntry& e,
                                             bool comma) {
  if (detail::AspectsLayout layout; detail::layout_aspects_json(e.aspects, layout)) {
    // The whole record in one piece.
    json::append_raw(out, 2 + entry_head_room(key, e) + layout.room, [&](char* p) {
      if (comma) *p++ = ',';
      p = put_entry_head(p, key, e);
      p = detail::put_aspects_json(p, e.aspects, layout);
      *p++ = '}';
      return p;
    });
    return {};
  }
  if (comma) out.push_back(',');
  json::append_raw(out, entry_head_room(key, e), [&](char* p) { return put_entry_head(p, key, e); });
  if (auto ok = e.aspects.write_json(out); !ok) return ok;
  out.push_back('}');
  return {};
}

}  // namespace

std::expected<void, json::Error> DataShapeEntry::write_json(std::string& out) const {
  return write_entry(out, nullptr, *this, false);
}

namespace {

// Reads an entry record into `e`, a default entry.
json::Expected<void> read_entry(json::Reader& r, DataShapeEntry& e) {
  auto seen = json::read_record(r, kEntrySpec, [&](size_t i) -> json::Expected<void> {
    switch (i) {
      case 0: return json::assign(e.name, r.read_str());
      case 1: return json::assign(e.description, r.read_str());
      case 2: return json::assign(e.entry_type, json::read_base_type(r));
      default: return detail::read_aspects_json(r, detail::AspectValues::Direct, e.aspects);
    }
  });
  if (!seen) return json::fail(std::move(seen.error()));
  return json::require_fields(r, *seen, kEntryFields, {0, 1, 2, 3});
}

}  // namespace

std::expected<DataShapeEntry, json::Error> DataShapeEntry::read_json(json::Reader& r) {
  DataShapeEntry e;
  if (auto ok = read_entry(r, e); !ok) return json::fail(std::move(ok.error()));
  return e;
}

DataShapeEntries::Map& DataShapeEntries::own() {
  if (p_ == nullptr) {
    p_ = new Shared;
  } else if (p_->refs.load(std::memory_order_acquire) != 1) {
    auto* mine = new Shared;
    try {
      mine->map = p_->map;
    } catch (...) {
      delete mine;
      throw;
    }
    release(std::exchange(p_, mine));
  }
  return p_->map;
}

void DataShapeEntries::release(Shared* p) noexcept {
  if (p != nullptr && p->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p;
}

std::expected<void, json::Error> DataShapeEntries::write_json(std::string& out) const {
  out.push_back('{');
  bool first = true;
  for (const auto& [key, entry] : *this) {
    if (auto ok = write_entry(out, &key, entry, !first); !ok) return ok;
    first = false;
  }
  out.push_back('}');
  return {};
}

std::expected<DataShapeEntries, json::Error> DataShapeEntries::read_json(json::Reader& r) {
  DataShapeEntries out;
  Map& map = out.own();
  auto ok = json::read_map(r, "an indexed map", [&](std::string_view key) -> json::Expected<void> {
    if (map.empty()) {
      // Room for the entries from the first one's length against the text left, with a quarter more
      // (about right for a map that ends the text, too large for one followed by more: that excess is
      // given back at the end).
      const size_t start = r.offset();
      DataShapeEntry first;
      if (auto ok = read_entry(r, first); !ok) return ok;
      const size_t length = std::max<size_t>(r.offset() - start + key.size() + 4, 32);
      const size_t guess = 1 + (r.text().size() - r.offset()) / length;
      out.reserve(std::min<size_t>(guess + guess / 4 + 2, kMaxEntriesGuess));
      map.append(key) = std::move(first);
      return {};
    }
    // A new key: the entry is read in place (on failure the whole map is dropped).
    if (DataShapeEntry* e = map.try_append(key)) return read_entry(r, *e);
    // A repeated key: the new entry replaces the earlier one in its position.
    DataShapeEntry e;
    if (auto ok = read_entry(r, e); !ok) return ok;
    map.emplace(key, std::move(e));
    return {};
  });
  if (!ok) return json::fail(std::move(ok.error()));
  if (map.capacity() > 2 * map.size() + 8) map.shrink_to_fit();
  return out;
}

std::expected<void, json::Error> DataShape::write_json(std::string& out) const {
  out.append("{\"name\":");
  if (name) {
    json::write_string(out, *name);
  } else {
    json::write_null(out);
  }
  out.append(",\"entries\":");
  if (auto ok = entries.write_json(out); !ok) return ok;
  out.push_back('}');
  return {};
}

std::expected<DataShape, json::Error> DataShape::read_json(json::Reader& r) {
  DataShape s;
  auto seen = json::read_record(r, kShapeSpec, [&](size_t i) -> json::Expected<void> {
    if (i == 0) {
      auto null = r.try_null();
      if (!null) return json::fail(std::move(null.error()));
      if (*null) return {};
      return json::assign(s.name, r.read_str());
    }
    return json::assign(s.entries, DataShapeEntries::read_json(r));
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kShapeFields, {1}); !ok) return json::fail(std::move(ok.error()));
  return s;
}

// ---- simple JSON ----

Result<void> DataShape::write_simple_json(std::string& out) const {
  const auto order = detail::key_order(entries.size(), [&](size_t i) { return std::string_view(entries.at(i).first); });
  out.append("{\"fieldDefinitions\":{");
  bool first = true;
  for (const auto& [key, i] : order) {
    const DataShapeEntry& e = entries.at(i).second;
    if (!first) out.push_back(',');
    first = false;
    json::write_key(out, entries.at(i).first);
    out.append("{\"aspects\":");
    if (auto ok = e.aspects.write_simple_json(out); !ok) return ok;
    out.append(",\"baseType\":");
    json::write_string(out, name_of(e.entry_type));
    out.append(",\"description\":");
    json::write_string(out, e.description);
    out.append(",\"name\":");
    json::write_string(out, e.name);
    out.append(",\"ordinal\":");
    json::write_u64(out, i);
    out.push_back('}');
  }
  out.push_back('}');
  if (name) {
    out.append(",\"name\":");
    json::write_string(out, *name);
  }
  out.push_back('}');
  return {};
}

// ---- debug text ----

void DataShapeEntry::append_debug(std::string& out) const {
  out.append("DataShapeEntry { name: ");
  append_debug_str(out, name);
  out.append(", description: ");
  append_debug_str(out, description);
  out.append(", entry_type: ");
  out.append(name_of(entry_type));
  out.append(", aspects: ");
  aspects.append_debug(out);
  out.append(" }");
}

void DataShapeEntries::append_debug(std::string& out) const {
  out.push_back('{');
  bool first = true;
  for (const auto& [key, entry] : *this) {
    if (!first) out.append(", ");
    first = false;
    append_debug_str(out, key);
    out.append(": ");
    entry.append_debug(out);
  }
  out.push_back('}');
}

void DataShape::append_debug(std::string& out) const {
  out.append("DataShape { name: ");
  if (name) {
    out.append("Some(");
    append_debug_str(out, *name);
    out.push_back(')');
  } else {
    out.append("None");
  }
  out.append(", entries: ");
  entries.append_debug(out);
  out.append(" }");
}

std::string DataShape::debug_text() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace veltrac
