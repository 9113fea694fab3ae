#include "veltrac/aspects.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "aspect/aspects_json.hpp"
#include "json/record.hpp"
#include "json/write.hpp"
#include "primitive/value_codec.hpp"
#include "util/debug_text.hpp"
#include "util/key_order.hpp"
#include "util/log.hpp"
#include "util/stream_string.hpp"

namespace veltrac {

// ---- the predefined aspect names ----

namespace {

// Perfect hash over the 64 names (all at least 5 bytes long): the first and last four bytes and the
// length, multiplied into 8 bits. The slot table is built and checked for collisions at compile time.
constexpr uint32_t load_le32(std::string_view s, size_t at) {
  if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
    uint32_t w;
    std::memcpy(&w, s.data() + at, 4);
    return w;
  }
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24);
}
constexpr size_t aspect_slot(std::string_view s) {
  uint32_t x = (load_le32(s, 0) * 0x9E3779B1u) ^ load_le32(s, s.size() - 4) ^ (static_cast<uint32_t>(s.size()) << 24);
  return static_cast<size_t>((static_cast<uint64_t>(x) * 0xe42505fc610b85dfull) >> 56);
}

constexpr std::array<AspectDef, kAspectCount> kDefs = {{
    {"enabled", BaseType::BOOLEAN},
    {"isAdmin", BaseType::BOOLEAN},
    {"isAnonymous", BaseType::BOOLEAN},
    {"isAsync", BaseType::BOOLEAN},
    {"isBuiltIn", BaseType::BOOLEAN},
    {"isContentCrawlerEntry", BaseType::BOOLEAN},
    {"isCreatable", BaseType::BOOLEAN},
    {"isDataTableEntry", BaseType::BOOLEAN},
    {"isDeleted", BaseType::BOOLEAN},
    {"isEditable", BaseType::BOOLEAN},
    {"isEditableExtensionObject", BaseType::BOOLEAN},
    {"isEditableSystemObject", BaseType::BOOLEAN},
    {"isEntityDataShape", BaseType::BOOLEAN},
    {"isExtension", BaseType::BOOLEAN},
    {"isExternallyRouted", BaseType::BOOLEAN},
    {"isFolded", BaseType::BOOLEAN},
    {"isIndexed", BaseType::BOOLEAN},
    {"isLocalProperty", BaseType::BOOLEAN},
    {"isLogged", BaseType::BOOLEAN},
    {"isNullable", BaseType::BOOLEAN},
    {"isOutOfProcessPackage", BaseType::BOOLEAN},
    {"isPersistent", BaseType::BOOLEAN},
    {"isPrimaryKey", BaseType::BOOLEAN},
    {"isPrivate", BaseType::BOOLEAN},
    {"isQueryParameter", BaseType::BOOLEAN},
    {"isReadOnly", BaseType::BOOLEAN},
    {"isRemote", BaseType::BOOLEAN},
    {"isRequired", BaseType::BOOLEAN},
    {"isResponsive", BaseType::BOOLEAN},
    {"isStreamEntry", BaseType::BOOLEAN},
    {"isSystemObject", BaseType::BOOLEAN},
    {"isSystemShape", BaseType::BOOLEAN},
    {"isThemeObject", BaseType::BOOLEAN},
    {"maxInclude", BaseType::BOOLEAN},
    {"minInclude", BaseType::BOOLEAN},
    {"auditCategoryKey", BaseType::STRING},
    {"auditMessageKey", BaseType::STRING},
    {"dataChangeType", BaseType::STRING},
    {"defaultValue", BaseType::STRING},
    {"expression", BaseType::STRING},
    {"friendlyName", BaseType::STRING},
    {"hideWhenEnabled", BaseType::STRING},
    {"industrialDataType", BaseType::STRING},
    {"localDataShape", BaseType::STRING},
    {"mashupType", BaseType::STRING},
    {"pattern", BaseType::STRING},
    {"projectType", BaseType::STRING},
    {"selectOptions", BaseType::STRING},
    {"startType", BaseType::STRING},
    {"tagAddress", BaseType::STRING},
    {"tagType", BaseType::STRING},
    {"tooltip", BaseType::STRING},
    {"units", BaseType::STRING},
    {"cacheTime", BaseType::NUMBER},
    {"dataChangeThreshold", BaseType::NUMBER},
    {"maximumValue", BaseType::NUMBER},
    {"meanValue", BaseType::NUMBER},
    {"minimumValue", BaseType::NUMBER},
    {"pushThreshold", BaseType::NUMBER},
    {"standardDeviationValue", BaseType::NUMBER},
    {"scanRate", BaseType::INTEGER},
    {"thingShape", BaseType::THINGSHAPENAME},
    {"thingTemplate", BaseType::THINGTEMPLATENAME},
    {"dataShape", BaseType::DATASHAPENAME},
}};

constexpr std::array<uint8_t, 256> build_slots() {
  std::array<uint8_t, 256> slots{};
  for (auto& s : slots) s = 0xFF;
  for (size_t i = 0; i < kAspectCount; ++i) {
    size_t h = aspect_slot(kDefs[i].name);
    if (slots[h] != 0xFF) throw "aspect name hash collision";
    slots[h] = static_cast<uint8_t>(i);
  }
  return slots;
}
constexpr std::array<uint8_t, 256> kSlots = build_slots();

constexpr uint8_t kNoAspect = 0xFF;

// Position of a predefined name in kDefs, or kNoAspect.
uint8_t aspect_index(std::string_view name) noexcept {
  if (name.size() < 5) return kNoAspect;
  uint8_t i = kSlots[aspect_slot(name)];
  if (i == kNoAspect || !same_text(kDefs[i].name, name)) return kNoAspect;
  return i;
}

// Each predefined name as a written member key, `"name":` (the names need no escapes).
struct QuotedKey {
  std::array<char, 32> text;
  size_t size;
};
constexpr std::array<QuotedKey, kAspectCount> kQuotedKeys = [] {
  std::array<QuotedKey, kAspectCount> keys{};
  for (size_t i = 0; i < kAspectCount; ++i) {
    std::string_view name = kDefs[i].name;
    if (name.size() + 3 > keys[i].text.size()) throw "aspect name too long";
    size_t n = 0;
    keys[i].text[n++] = '"';
    for (char c : name) keys[i].text[n++] = c;
    keys[i].text[n++] = '"';
    keys[i].text[n++] = ':';
    keys[i].size = n;
  }
  return keys;
}();

void warn_unknown_aspect(std::string_view name) {
  VELTRAC_LOG(Warn, "veltrac_codec::aspect::impls",
              std::string(name) + " is not a predefined aspect name, use string as default");
}

}  // namespace

const std::array<AspectDef, kAspectCount> ASPECTS_MAP = kDefs;

std::optional<BaseType> lookup_aspect(std::string_view name) noexcept {
  uint8_t i = aspect_index(name);
  if (i == kNoAspect) return std::nullopt;
  return kDefs[i].type;
}

BaseType get_base_type(std::string_view name) {
  uint8_t i = aspect_index(name);
  if (i != kNoAspect) return kDefs[i].type;
  warn_unknown_aspect(name);
  return BaseType::STRING;
}

// ---- map ----

bool Aspects::operator==(const Aspects& o) const {
  if (size() != o.size()) return false;
  for (const auto& [name, value] : inner_) {
    const HcPrim* other = o.find(name);
    if (other == nullptr || !(*other == value)) return false;
  }
  return true;
}

// ---- binary form ----

namespace detail {

Result<size_t> size_aspects(const Aspects& a) {
  if (a.size() > 0xFFFF) {
    return fail(VeltracError::io("aspect count " + std::to_string(a.size()) + " exceeds 65535"));
  }
  size_t n = 2;
  for (const auto& [name, value] : a) {
    if (name.size() > kMaxWireLength) return fail(too_long("aspect name", name.size()));
    auto v = size_prim(value);
    if (!v) return fail(std::move(v.error()));
    n += size_string(name.size()) + *v;
  }
  return n;
}

uint8_t* write_aspects(const Aspects& a, uint8_t* p) {
  be::store16(p, static_cast<uint16_t>(a.size()));
  p += 2;
  for (const auto& [name, value] : a) {
    p = write_string(name, p);
    p = write_prim(value, p);
  }
  return p;
}

Result<Aspects> read_aspects(ByteReader& r, unsigned depth) {
  auto count = r.u16();
  if (!count) return fail(std::move(count.error()));
  Aspects out;
  // Each entry takes at least two bytes (name length and type code): the count sizes no more than that.
  out.reserve(std::min<size_t>(*count, r.remaining() / 2 + 1));
  for (size_t i = 0; i < *count; ++i) {
    auto name = read_stream_string(r);
    if (!name) return fail(std::move(name.error()));
    const uint64_t hash = out.inner_.prepare(*name);
    auto code = r.u8();
    if (!code) return fail(std::move(code.error()));
    auto t = base_type_from_repr(*code);
    if (!t) return fail(VeltracError::invalid_base_type(*code).found_at(r.here() - 1));
    auto value = read_prim_typed(r, *t, depth);
    if (!value) return fail(std::move(value.error()));
    out.inner_.insert(std::string(*name), std::move(*value), hash);
  }
  VELTRAC_LOG(Trace, "veltrac_codec::aspect", [&] {
    std::string m = "aspects: ";
    out.append_debug_map(m);
    return m;
  }());
  return out;
}

}  // namespace detail

Result<size_t> Aspects::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(out, *this, detail::size_aspects, detail::write_aspects);
}

Result<Decoded<Aspects>> Aspects::from_bytes(Bytes in) {
  return detail::decode_from(in, [&](ByteReader& r) { return detail::read_aspects(r, 0); });
}

// ---- typed JSON ----

namespace {

// Room for a scalar written in the typed form of its own family, or 0 when the value needs the general
// conversion.
size_t direct_room(const HcPrim& v, TypeFamily family) {
  switch (v.kind()) {
    case PrimKind::STRING: return family == TypeFamily::HC_STRING ? json::string_room(v.as_string().size()) : 0;
    case PrimKind::BOOLEAN: return family == TypeFamily::HC_BOOLEAN ? 5 : 0;
    case PrimKind::NUMBER: return family == TypeFamily::HC_NUMBER ? json::kNumberRoom : 0;
    case PrimKind::INTEGER: return family == TypeFamily::HC_INTEGER ? json::kNumberRoom : 0;
    case PrimKind::LONG: return family == TypeFamily::HC_LONG ? json::kNumberRoom : 0;
    case PrimKind::DATETIME: return family == TypeFamily::HC_DATETIME ? json::kNumberRoom : 0;
    default: return 0;
  }
}

// Writes a value direct_room() accepted.
char* put_direct(char* p, const HcPrim& v) {
  switch (v.kind()) {
    case PrimKind::STRING: return json::put_string(p, v.as_string());
    case PrimKind::BOOLEAN: return json::put_raw(p, v.as_bool() ? std::string_view("true") : std::string_view("false"));
    case PrimKind::NUMBER: return json::put_f64(p, std::isfinite(v.as_number()) ? v.as_number() : 0.0);
    case PrimKind::INTEGER: return json::put_i64(p, v.as_integer());
    default: return json::put_i64(p, v.as_long());
  }
}

// The ready-made key: the whole table entry is copied (room for it is reserved), then the end is kept.
char* put_quoted_key(char* p, uint8_t i) {
  std::memcpy(p, kQuotedKeys[i].text.data(), kQuotedKeys[i].text.size());
  return p + kQuotedKeys[i].size;
}
constexpr size_t kQuotedKeyRoom = std::tuple_size_v<decltype(QuotedKey::text)>;

}  // namespace

bool detail::layout_aspects_json(const Aspects& a, AspectsLayout& layout) {
  if (a.size() > AspectsLayout::kMaxEntries) return false;
  size_t room = 2 + a.size() * (1 + kQuotedKeyRoom);
  size_t n = 0;
  for (const auto& [name, value] : a) {
    const uint8_t i = aspect_index(name);
    if (i == kNoAspect) return false;
    const size_t value_room = direct_room(value, get_family(kDefs[i].type));
    if (value_room == 0) return false;
    room += value_room;
    layout.index[n++] = i;
  }
  layout.room = room;
  return true;
}

char* detail::put_aspects_json(char* p, const Aspects& a, const AspectsLayout& layout) {
  *p++ = '{';
  size_t n = 0;
  for (const auto& [name, value] : a) {
    if (n != 0) *p++ = ',';
    p = put_quoted_key(p, layout.index[n++]);
    p = put_direct(p, value);
  }
  *p++ = '}';
  return p;
}

std::expected<void, json::Error> Aspects::write_json(std::string& out) const {
  if (detail::AspectsLayout layout; detail::layout_aspects_json(*this, layout)) {
    json::append_raw(out, layout.room, [&](char* p) { return detail::put_aspects_json(p, *this, layout); });
    return {};
  }
  out.push_back('{');
  bool first = true;
  for (const auto& [name, value] : inner_) {
    // A predefined name's key is copied ready-made; a scalar of its type's family follows in the same piece.
    const uint8_t i = aspect_index(name);
    BaseType t = BaseType::STRING;
    if (i != kNoAspect) {
      t = kDefs[i].type;
    } else {
      warn_unknown_aspect(name);
    }
    const size_t value_room = direct_room(value, get_family(t));
    const size_t key_room = i != kNoAspect ? kQuotedKeyRoom : 1 + json::string_room(name.size());
    json::append_raw(out, 1 + key_room + value_room, [&, first](char* p) {
      if (!first) *p++ = ',';
      if (i != kNoAspect) {
        p = put_quoted_key(p, i);
      } else {
        p = json::put_string(p, name);
        *p++ = ':';
      }
      return value_room != 0 ? put_direct(p, value) : p;
    });
    first = false;
    if (value_room != 0) continue;
    if (auto ok = value.write_json_typed(out, t); !ok) {
      return json::fail(json::custom(ok.error().message()));
    }
  }
  out.push_back('}');
  return {};
}

namespace {

// A value whose JSON kind matches its type's family (string, number, integer, long, datetime, boolean),
// read straight from the text into the result of the generic conversion. Nothing is read when the kind
// does not match or the family has no direct form: the caller then converts a whole JSON value.
// put(HcPrim&&) takes the value.
template <class Put>
json::Expected<bool> read_typed_scalar(json::Reader& r, BaseType t, Put&& put) {
  json::Peek p = r.peek();
  switch (get_family(t)) {
    case TypeFamily::HC_STRING: {
      if (p != json::Peek::String) return false;
      auto s = r.read_str();
      if (!s) return json::fail(std::move(s.error()));
      put(HcPrim::string(*s, t));
      return true;
    }
    case TypeFamily::HC_BOOLEAN: {
      if (p != json::Peek::Bool) return false;
      auto b = r.read_bool();
      if (!b) return json::fail(std::move(b.error()));
      put(HcPrim::boolean(*b, t));
      return true;
    }
    case TypeFamily::HC_NUMBER:
    case TypeFamily::HC_INTEGER:
    case TypeFamily::HC_LONG:
    case TypeFamily::HC_DATETIME: break;
    default: return false;
  }
  if (p != json::Peek::Number) return false;
  auto n = r.read_number("f64");
  if (!n) return json::fail(std::move(n.error()));
  // Integer families take integers that fit i64 and 0 for anything else.
  int64_t i = 0;
  if (n->kind == json::Kind::U64 && n->u <= static_cast<uint64_t>(INT64_MAX)) i = static_cast<int64_t>(n->u);
  if (n->kind == json::Kind::I64) i = n->i;
  switch (get_family(t)) {
    case TypeFamily::HC_NUMBER: {
      double d = n->to_f64();
      put(HcPrim::number(std::isfinite(d) ? d : 0.0, t));
      break;
    }
    case TypeFamily::HC_INTEGER:
      put(HcPrim::integer(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(i))), t));
      break;
    case TypeFamily::HC_LONG: put(HcPrim::long_(i, t)); break;
    default: put(HcPrim::datetime(i, t)); break;
  }
  return true;
}

// The compact text of the JSON value in `text`, for diagnostics.
std::string value_text(std::string_view text) {
  auto v = json::parse(text);
  return v ? json::to_text(*v) : std::string(text);
}

}  // namespace

std::expected<Aspects, json::Error> Aspects::read_json(json::Reader& r) {
  return detail::read_aspects_json(r, detail::AspectValues::Direct);
}

std::expected<Aspects, json::Error> detail::read_aspects_json(json::Reader& r, AspectValues how) {
  Aspects out;
  if (auto ok = read_aspects_json(r, how, out); !ok) return json::fail(std::move(ok.error()));
  return out;
}

std::expected<void, json::Error> detail::read_aspects_json(json::Reader& r, AspectValues how, Aspects& out) {
  return json::read_map(r, "struct Aspects", [&](std::string_view key) -> json::Expected<void> {
    // Unknown names are read as STRING; get_base_type's warning follows the value as below.
    const uint8_t known = aspect_index(key);
    const size_t at = r.offset();
    json::Expected<bool> direct = false;
    if (how == AspectValues::Direct) {
      direct = read_typed_scalar(r, known != kNoAspect ? kDefs[known].type : BaseType::STRING,
                                 [&](HcPrim&& v) { out.inner_.emplace(key, std::move(v)); });
    }
    if (!direct) return json::fail(std::move(direct.error()));
    if (*direct) {
      VELTRAC_LOG(Debug, "veltrac_codec::aspect::dese",
                  "key: " + std::string(key) + ", value: " + value_text(r.text().substr(at, r.offset() - at)));
      if (known == kNoAspect) warn_unknown_aspect(key);
      return {};
    }
    auto v = r.read_value();
    if (!v) return json::fail(std::move(v.error()));
    VELTRAC_LOG(Debug, "veltrac_codec::aspect::dese", "key: " + std::string(key) + ", value: " + json::to_text(*v));
    auto converted = HcPrim::from_json_typed(std::move(*v), get_base_type(key));
    if (!converted) return json::fail(json::custom(converted.error().message()));
    out.inner_.emplace(key, std::move(*converted));
    return {};
  });
}

// ---- simple JSON ----

Result<void> Aspects::write_simple_json(std::string& out) const {
  const auto order = detail::key_order(inner_.size(), [&](size_t i) { return std::string_view(inner_.at(i).first); });
  out.push_back('{');
  bool first = true;
  for (const auto& [key, pos] : order) {
    if (!first) out.push_back(',');
    first = false;
    json::write_key(out, key);
    if (auto ok = inner_.at(pos).second.write_simple_json(out); !ok) return ok;
  }
  out.push_back('}');
  return {};
}

// ---- debug text ----

void Aspects::append_debug_map(std::string& out) const {
  out.push_back('{');
  bool first = true;
  for (const auto& [name, value] : inner_) {
    if (!first) out.append(", ");
    first = false;
    append_debug_str(out, name);
    out.append(": ");
    value.append_debug(out);
  }
  out.push_back('}');
}

void Aspects::append_debug(std::string& out) const {
  out.append("Aspects { inner: ");
  append_debug_map(out);
  out.append(" }");
}

std::string Aspects::debug_text() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace veltrac
