// JSON forms (typed, simple, tagged) and the debug text of primitives.
#include <charconv>
#include <cmath>

#include "base/families.hpp"
#include "json/base_type_json.hpp"
#include "json/record.hpp"
#include "json/write.hpp"
#include "util/byte_list.hpp"
#include "util/debug_text.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac {

namespace {

using detail::kKindNames;

double finite_or_zero(double d) { return std::isfinite(d) ? d : 0.0; }

// The bytes as the compact JSON array text, e.g. [1,2,255].
void append_byte_array(std::string& out, Bytes b) { append_byte_list(out, b, ","); }
std::string byte_array_text(Bytes b) { return byte_list(b, ","); }

void write_location(std::string& out, const Location& l) {
  out.append("{\"elevation\":");
  json::write_f64(out, finite_or_zero(l.elevation));
  out.append(",\"latitude\":");
  json::write_f64(out, finite_or_zero(l.latitude));
  out.append(",\"longitude\":");
  json::write_f64(out, finite_or_zero(l.longitude));
  out.push_back('}');
}

// The kind each family's typed form requires, and the mismatch prefix.
struct TypedRule {
  PrimKind kind;
  std::string_view prefix;
};
std::optional<TypedRule> typed_rule(TypeFamily f) {
  const detail::Family& facts = detail::family_of(f);
  if (facts.typed_prefix.empty()) return std::nullopt;  // HC_NOTHING and HC_NULL
  return TypedRule{facts.kind, facts.typed_prefix};
}

VeltracError prim_to_json_error(std::string_view prefix, const HcPrim& p, BaseType t) {
  std::string m(prefix);
  p.append_debug(m);
  m += ",base_type:";
  m += name_of(t);
  return VeltracError::with_text(ErrorKind::PrimToJson, std::move(m));
}

// Checks the kind for a typed write and follows VARIANT levels (each written under its inner value's
// own type). Returns the value to write and the family to write it as, or nothing for JSON null.
struct TypedTarget {
  const HcPrim* value;
  TypeFamily family;
};
Result<std::optional<TypedTarget>> typed_target(const HcPrim& start, BaseType start_type) {
  const HcPrim* p = &start;
  BaseType t = start_type;
  for (;;) {
    TypeFamily f = get_family(t);
    auto rule = typed_rule(f);
    if (!rule) {  // NOTHING writes null; NULL has no typed form
      if (f == TypeFamily::HC_NOTHING) return std::optional<TypedTarget>{};
      return fail(prim_to_json_error("not supported, value: ", *p, t));
    }
    if (p->kind() != rule->kind) return fail(prim_to_json_error(rule->prefix, *p, t));
    if (f != TypeFamily::HC_VARIANT) return std::optional<TypedTarget>{TypedTarget{p, f}};
    p = &p->as_variant();
    t = p->base_type();
  }
}

Result<std::string> table_record_text(const InfoTable& t) {
  auto text = t.to_json();
  if (!text) return fail(std::move(text.error()));
  return std::move(*text);
}

}  // namespace

// ---- typed form ----

Result<void> HcPrim::write_json_typed(std::string& out, BaseType t) const {
  // A scalar under its own family: written directly (no variant levels, nothing to check).
  const TypeFamily family = get_family(t);
  switch (kind()) {
    case PrimKind::STRING:
      if (family != TypeFamily::HC_STRING) break;
      json::write_string(out, as_string());
      return {};
    case PrimKind::NUMBER:
      if (family != TypeFamily::HC_NUMBER) break;
      json::write_f64(out, finite_or_zero(as_number()));
      return {};
    case PrimKind::INTEGER:
      if (family != TypeFamily::HC_INTEGER) break;
      json::write_i64(out, as_integer());
      return {};
    case PrimKind::LONG:
      if (family != TypeFamily::HC_LONG) break;
      json::write_i64(out, as_long());
      return {};
    case PrimKind::DATETIME:
      if (family != TypeFamily::HC_DATETIME) break;
      json::write_i64(out, as_long());
      return {};
    case PrimKind::BOOLEAN:
      if (family != TypeFamily::HC_BOOLEAN) break;
      json::write_bool(out, as_bool());
      return {};
    default: break;
  }
  auto target = typed_target(*this, t);
  if (!target) return fail(std::move(target.error()));
  const std::optional<TypedTarget>& found = *target;
  if (!found) {
    json::write_null(out);
    return {};
  }
  const HcPrim& p = *found->value;
  switch (p.kind()) {
    case PrimKind::STRING: json::write_string(out, p.as_string()); break;
    case PrimKind::NUMBER: json::write_f64(out, finite_or_zero(p.as_number())); break;
    case PrimKind::INTEGER: json::write_i64(out, p.as_integer()); break;
    case PrimKind::LONG:
    case PrimKind::DATETIME: json::write_i64(out, p.as_long()); break;
    case PrimKind::BOOLEAN: json::write_bool(out, p.as_bool()); break;
    case PrimKind::LOCATION: write_location(out, p.as_location()); break;
    case PrimKind::BLOB: json::write_string(out, byte_array_text(p.as_blob())); break;
    case PrimKind::INFOTABLE: {
      auto text = table_record_text(p.as_table());
      if (!text) return fail(std::move(text.error()));
      json::write_string(out, *text);
      break;
    }
    default: json::write_null(out); break;
  }
  return {};
}

Result<HcPrim> HcPrim::from_json_typed(json::Value v, BaseType t) {
  switch (get_family(t)) {
    case TypeFamily::HC_STRING: {
      if (const std::string* s = v.as_string()) return HcPrim::string(*s, t);
      std::string m = "not a string: value: ";
      json::append_debug_text(m, v);
      m += ",base_type:";
      m += name_of(t);
      return fail(VeltracError::with_text(ErrorKind::JsonToPrim, std::move(m)));
    }
    case TypeFamily::HC_NUMBER: return HcPrim::number(v.as_f64().value_or(0.0), t);
    case TypeFamily::HC_INTEGER: {
      int64_t n = v.as_i64().value_or(0);
      return HcPrim::integer(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(n))), t);
    }
    case TypeFamily::HC_LONG: return HcPrim::long_(v.as_i64().value_or(0), t);
    case TypeFamily::HC_DATETIME: return HcPrim::datetime(v.as_i64().value_or(0), t);
    case TypeFamily::HC_BOOLEAN: return HcPrim::boolean(v.as_bool().value_or(false), t);
    case TypeFamily::HC_LOCATION: {
      Location l;
      if (const json::Object* o = v.as_object()) {
        auto coord = [&](std::string_view key) {
          const json::Value* c = o->find(key);
          return c ? c->as_f64().value_or(0.0) : 0.0;
        };
        l.longitude = coord("longitude");
        l.latitude = coord("latitude");
        l.elevation = coord("elevation");
      }
      return HcPrim::location(l, t);
    }
    case TypeFamily::HC_BLOB: {
      const std::string* s = v.as_string();
      std::string_view text = s ? std::string_view(*s) : std::string_view();
      std::vector<uint8_t> bytes;
      auto ok = json::read_document(text, [&](json::Reader& r) -> json::Expected<void> {
        return json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
          auto b = r.read_u8();
          if (!b) return json::fail(std::move(b.error()));
          bytes.push_back(*b);
          return {};
        });
      });
      if (!ok) return fail(std::move(ok.error()));
      return HcPrim::blob(Bytes(bytes.data(), bytes.size()), t);
    }
    case TypeFamily::HC_INFOTABLE: {
      const std::string* s = v.as_string();
      std::string_view text = s ? std::string_view(*s) : std::string_view();
      auto table = json::read_document(text, [](json::Reader& r) { return InfoTable::read_json(r); });
      if (!table) return fail(std::move(table.error()));
      return HcPrim::infotable(std::move(*table), t);
    }
    case TypeFamily::HC_VARIANT: {
      std::string m = "Can't convert from json to variant:";
      json::append_debug_text(m, v);
      return fail(VeltracError::with_text(ErrorKind::JsonToPrim, std::move(m)));
    }
    case TypeFamily::HC_NULL:
      return fail(
          VeltracError::with_text(ErrorKind::JsonToPrim, "HC_VARIANT Failed to convert from Json value to HcPrim"));
    case TypeFamily::HC_NOTHING: return HcPrim::nothing(t);
  }
  return HcPrim::nothing(t);
}

// ---- simple form ----

Result<void> HcPrim::write_simple_json(std::string& out) const {
  const HcPrim& p = innermost();
  switch (p.kind()) {
    case PrimKind::STRING: json::write_string(out, p.as_string()); break;
    case PrimKind::NUMBER: json::write_f64(out, finite_or_zero(p.as_number())); break;
    case PrimKind::INTEGER: json::write_i64(out, p.as_integer()); break;
    case PrimKind::LONG:
    case PrimKind::DATETIME: json::write_i64(out, p.as_long()); break;
    case PrimKind::BOOLEAN: json::write_bool(out, p.as_bool()); break;
    case PrimKind::LOCATION: write_location(out, p.as_location()); break;
    case PrimKind::BLOB: {
      // The array text is plain ASCII digits, commas and brackets: no escaping needed.
      out.push_back('"');
      append_byte_array(out, p.as_blob());
      out.push_back('"');
      break;
    }
    case PrimKind::INFOTABLE: return p.as_table().write_simple_json(out);
    default: json::write_null(out); break;
  }
  return {};
}

// ---- tagged form ----

std::expected<void, json::Error> HcPrim::to_tagged_json(std::string& out) const {
  size_t levels = 0;
  const HcPrim* p = this;
  while (p->kind() == PrimKind::VARIANT) {
    out.append("{\"VARIANT\":[");
    json::write_base_type(out, p->base_type());
    out.push_back(',');
    ++levels;
    p = &p->as_variant();
  }
  out.append("{\"");
  out.append(kKindNames[static_cast<size_t>(p->kind())]);
  out.append("\":");
  if (p->kind() == PrimKind::NOTHING) {
    json::write_base_type(out, p->base_type());
  } else {
    out.push_back('[');
    json::write_base_type(out, p->base_type());
    out.push_back(',');
    switch (p->kind()) {
      case PrimKind::STRING: json::write_string(out, p->as_string()); break;
      case PrimKind::NUMBER: json::write_f64(out, p->as_number()); break;
      case PrimKind::INTEGER: json::write_i64(out, p->as_integer()); break;
      case PrimKind::LONG:
      case PrimKind::DATETIME: json::write_i64(out, p->as_long()); break;
      case PrimKind::BOOLEAN: json::write_bool(out, p->as_bool()); break;
      case PrimKind::LOCATION: {
        const Location& l = p->as_location();
        json::write_f64(out, l.longitude);
        out.push_back(',');
        json::write_f64(out, l.latitude);
        out.push_back(',');
        json::write_f64(out, l.elevation);
        break;
      }
      case PrimKind::BLOB: append_byte_array(out, p->as_blob()); break;
      case PrimKind::INFOTABLE:
        if (auto ok = p->as_table().write_json(out); !ok) return ok;
        break;
      default: break;
    }
    out.push_back(']');
  }
  out.push_back('}');
  for (size_t i = 0; i < levels; ++i) out.append("]}");
  return {};
}

namespace {

std::string tuple_len_text(PrimKind k) {
  std::string s = "tuple variant HcPrim::";
  s += kKindNames[static_cast<size_t>(k)];
  s += k == PrimKind::LOCATION ? " with 4 elements" : " with 2 elements";
  return s;
}

std::string shape_text(PrimKind k) {
  std::string s = "enum HcPrim variant ";
  s += kKindNames[static_cast<size_t>(k)];
  return s;
}

json::Expected<int64_t> read_integer(json::Reader& r, std::string_view expected, int64_t lo, int64_t hi) {
  auto n = r.read_number(expected);
  if (!n) return json::fail(std::move(n.error()));
  std::string found;
  switch (n->kind) {
    case json::Kind::U64:
      if (n->u <= static_cast<uint64_t>(hi)) return static_cast<int64_t>(n->u);
      return json::fail(r.fix_position(json::invalid_value(json::found_u64(n->u), expected)));
    case json::Kind::I64:
      if (n->i >= lo) return n->i;
      return json::fail(r.fix_position(json::invalid_value(json::found_i64(n->i), expected)));
    default: return json::fail(r.fix_position(json::invalid_type(json::found_f64(n->f), expected)));
  }
}

// The elements of a tagged value's array after the base type, by kind.
json::Expected<HcPrim> read_tagged_payload(json::Reader& r, PrimKind kind, BaseType t) {
  switch (kind) {
    case PrimKind::STRING: {
      auto s = r.read_str();
      if (!s) return json::fail(std::move(s.error()));
      return HcPrim::string(*s, t);
    }
    case PrimKind::NUMBER: {
      auto d = r.read_f64();
      if (!d) return json::fail(std::move(d.error()));
      return HcPrim::number(*d, t);
    }
    case PrimKind::INTEGER: {
      auto n = read_integer(r, "i32", INT32_MIN, INT32_MAX);
      if (!n) return json::fail(std::move(n.error()));
      return HcPrim::integer(static_cast<int32_t>(*n), t);
    }
    case PrimKind::LONG:
    case PrimKind::DATETIME: {
      auto n = read_integer(r, "i64", INT64_MIN, INT64_MAX);
      if (!n) return json::fail(std::move(n.error()));
      return kind == PrimKind::LONG ? HcPrim::long_(*n, t) : HcPrim::datetime(*n, t);
    }
    case PrimKind::BOOLEAN: {
      auto b = r.read_bool();
      if (!b) return json::fail(std::move(b.error()));
      return HcPrim::boolean(*b, t);
    }
    case PrimKind::BLOB: {
      std::vector<uint8_t> bytes;
      auto ok = json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
        auto b = r.read_u8();
        if (!b) return json::fail(std::move(b.error()));
        bytes.push_back(*b);
        return {};
      });
      if (!ok) return json::fail(std::move(ok.error()));
      return HcPrim::blob(Bytes(bytes.data(), bytes.size()), t);
    }
    case PrimKind::INFOTABLE: {
      auto table = InfoTable::read_json(r);
      if (!table) return json::fail(std::move(table.error()));
      return HcPrim::infotable(std::move(*table), t);
    }
    case PrimKind::VARIANT: {
      auto inner = HcPrim::from_tagged_json(r);
      if (!inner) return json::fail(std::move(inner.error()));
      return HcPrim::variant(std::move(*inner), t);
    }
    default: return HcPrim::nothing(t);
  }
}

// A base type the member does not store (an INTEGER tagged VARIANT, say) would encode to bytes that
// decode as another value: refuse it where it was read.
json::Expected<void> check_member_type(const json::Reader& r, PrimKind kind, BaseType t) {
  if (prim_kind_of(get_family(t)) == kind) return {};
  std::string expected = "a base type stored as ";
  expected += prim_kind_name(kind);
  return json::fail(r.fix_position(json::invalid_value(json::found_str(name_of(t)), expected)));
}

}  // namespace

std::expected<HcPrim, json::Error> HcPrim::from_tagged_json(json::Reader& r) {
  auto start = json::begin_variant(r, kKindNames);
  if (!start) return json::fail(std::move(start.error()));
  PrimKind kind = static_cast<PrimKind>(start->index);
  if (!start->object_form) return json::fail(json::invalid_type(json::kFoundUnitVariant, shape_text(kind)));

  HcPrim value;
  if (kind == PrimKind::NOTHING) {
    auto t = json::read_base_type(r);
    if (!t) return json::fail(std::move(t.error()));
    if (auto ok = check_member_type(r, kind, *t); !ok) return json::fail(std::move(ok.error()));
    value = HcPrim::nothing(*t);
  } else {
    if (r.peek() != json::Peek::Array) return json::fail(r.invalid_type(shape_text(kind)));
    if (auto ok = r.begin_array(); !ok) return json::fail(std::move(ok.error()));
    const size_t want = kind == PrimKind::LOCATION ? 4 : 2;
    BaseType t = BaseType::NOTHING;
    Location loc;
    for (size_t i = 0; i < want; ++i) {
      auto more = r.next_element();
      if (!more) return json::fail(r.close_array_after(std::move(more.error())));
      if (!*more) return json::fail(r.close_array_after(json::invalid_length(i, tuple_len_text(kind))));
      json::Expected<void> ok;
      if (i == 0) {
        ok = json::assign(t, json::read_base_type(r));
        if (ok) ok = check_member_type(r, kind, t);
      } else if (kind == PrimKind::LOCATION) {
        double* dst = i == 1 ? &loc.longitude : i == 2 ? &loc.latitude : &loc.elevation;
        ok = json::assign(*dst, r.read_f64());
      } else {
        ok = json::assign(value, read_tagged_payload(r, kind, t));
      }
      if (!ok) return json::fail(r.close_array_after(std::move(ok.error())));
    }
    if (auto ok = r.end_array(); !ok) return json::fail(std::move(ok.error()));
    if (kind == PrimKind::LOCATION) value = HcPrim::location(loc, t);
  }
  if (auto ok = json::end_variant(r); !ok) return json::fail(std::move(ok.error()));
  return value;
}

// ---- debug text ----

void HcPrim::append_debug(std::string& out) const {
  size_t levels = 0;
  const HcPrim* p = this;
  while (p->kind() == PrimKind::VARIANT) {
    out.append("VARIANT(");
    out.append(name_of(p->base_type()));
    out.append(", ");
    ++levels;
    p = &p->as_variant();
  }
  out.append(kKindNames[static_cast<size_t>(p->kind())]);
  out.push_back('(');
  out.append(name_of(p->base_type()));
  if (p->kind() != PrimKind::NOTHING) out.append(", ");
  char buf[24];
  switch (p->kind()) {
    case PrimKind::STRING: append_debug_str(out, p->as_string()); break;
    case PrimKind::NUMBER: append_debug_f64(out, p->as_number()); break;
    case PrimKind::INTEGER: {
      auto r = std::to_chars(buf, buf + sizeof buf, p->as_integer());
      out.append(buf, r.ptr);
      break;
    }
    case PrimKind::LONG:
    case PrimKind::DATETIME: {
      auto r = std::to_chars(buf, buf + sizeof buf, p->as_long());
      out.append(buf, r.ptr);
      break;
    }
    case PrimKind::BOOLEAN: out.append(p->as_bool() ? "true" : "false"); break;
    case PrimKind::LOCATION: {
      const Location& l = p->as_location();
      append_debug_f64(out, l.longitude);
      out.append(", ");
      append_debug_f64(out, l.latitude);
      out.append(", ");
      append_debug_f64(out, l.elevation);
      break;
    }
    case PrimKind::BLOB: append_debug_bytes(out, p->as_blob()); break;
    case PrimKind::INFOTABLE: p->as_table().append_debug(out); break;
    default: break;
  }
  out.push_back(')');
  for (size_t i = 0; i < levels; ++i) out.push_back(')');
}

std::string HcPrim::debug_text() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace veltrac
