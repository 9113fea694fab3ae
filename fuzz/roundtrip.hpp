// Round-trip checks shared by the value, table and message targets. A decoded value must encode, decode
// again to an equal value and encode to the same bytes; its JSON forms must read back and write the same
// text; the direct JSON writers must agree with writing the built JSON value.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "fuzz_common.hpp"
#include "infotable/table_store.hpp"
#include "json/write.hpp"
#include "util/utf8.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/json/reader.hpp"
#include "veltrac/json/value.hpp"
#include "veltrac/primitive.hpp"

namespace fuzz {

using namespace veltrac;

// Deepest bracket nesting of a JSON text (brackets inside strings do not count).
inline size_t json_depth(std::string_view t) {
  size_t depth = 0, max = 0;
  bool in_str = false, esc = false;
  for (char c : t) {
    if (in_str) {
      if (esc)
        esc = false;
      else if (c == '\\')
        esc = true;
      else if (c == '"')
        in_str = false;
    } else if (c == '"') {
      in_str = true;
    } else if (c == '[' || c == '{') {
      max = std::max(max, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return max;
}

bool has_non_finite(const InfoTable& t);

// A float somewhere in the value (rows of nested tables included) that the tagged JSON form writes as
// null, which does not read back as a number.
inline bool has_non_finite(const HcPrim& v) {
  const HcPrim& p = v.innermost();
  switch (p.kind()) {
    case PrimKind::NUMBER: return !std::isfinite(p.as_number());
    case PrimKind::LOCATION: {
      const Location& l = p.as_location();
      return !std::isfinite(l.longitude) || !std::isfinite(l.latitude) || !std::isfinite(l.elevation);
    }
    case PrimKind::INFOTABLE: return has_non_finite(p.as_table());
    default: return false;
  }
}

inline bool has_non_finite(const InfoTable& t) {
  for (InfoTable::Row row : t.rows())
    for (const HcPrim& v : row)
      if (has_non_finite(v)) return true;
  return false;
}

// JSON text the reader can take back: within its nesting limit and with no non-finite tagged floats.
template <class T>
bool json_readable(const T& v, std::string_view text) {
  return json_depth(text) <= json::kMaxDepth && !has_non_finite(v);
}

// Binary: encode, decode, compare, encode again.
template <class T>
std::vector<uint8_t> binary_roundtrip(const T& v) {
  ByteBuffer b1;
  auto n1 = v.to_bytes(b1);
  FUZZ_CHECK(n1.has_value(), "decoded value does not encode: " + (n1 ? std::string() : n1.error().message()));
  FUZZ_CHECK(*n1 == b1.size(), "reported count differs from bytes appended");
  if constexpr (requires { v.encoded_size_hint(); }) {
    FUZZ_CHECK(v.encoded_size_hint() <= b1.size(), "size hint above the encoded size");
  } else {
    auto sz = v.encoded_size();
    FUZZ_CHECK(sz.has_value() && *sz == b1.size(), "encoded_size differs from the encoding");
  }
  auto d2 = T::from_bytes(b1.view());
  FUZZ_CHECK(d2.has_value(),
             "encoding does not decode: " + hex(b1.view()) + "\n" + (d2 ? std::string() : d2.error().message()));
  FUZZ_CHECK(d2->consumed == b1.size(), "re-decoding does not consume the whole encoding: " + hex(b1.view()));
  FUZZ_CHECK(d2->value == v, "re-decoded value differs: " + hex(b1.view()));
  ByteBuffer b2;
  auto n2 = d2->value.to_bytes(b2);
  FUZZ_CHECK(n2.has_value() && b2.vector() == b1.vector(),
             "second encoding differs:\n" + hex(b1.view()) + "\n" + hex(b2.view()));
  // Writing after existing content appends exactly the same bytes.
  ByteBuffer b3;
  b3.put_u8(0xAB);
  auto n3 = v.to_bytes(b3);
  FUZZ_CHECK(n3.has_value() && *n3 == b1.size() && b3.size() == b1.size() + 1 &&
                 std::equal(b1.vector().begin(), b1.vector().end(), b3.vector().begin() + 1),
             "encoding after existing bytes differs");
  return b1.vector();
}

// Simple JSON: the text parses; for a table, the in-place row writer gives the value-by-value writer's text.
template <class T>
void simple_json_agrees(const T& v) {
  std::string direct;
  auto ok = v.write_simple_json(direct);
  if constexpr (std::is_same_v<T, InfoTable>) {
    std::string reference;
    bool ascii = false;
    auto rok = detail::write_simple_json(v, reference, detail::SimpleRows::Reference, &ascii);
    FUZZ_CHECK(ok.has_value() == rok.has_value(), "simple JSON: in-place and reference writers disagree on failure");
    FUZZ_CHECK(direct == reference, "simple JSON texts differ:\n" + clip(direct) + "\n" + clip(reference));
    if (ok) {
      // Both writers tell whether the text is ASCII (each starting from the wrong answer).
      FUZZ_CHECK(ascii == utf8::all_ascii(reference), "simple JSON: the ASCII flag is wrong for " + clip(reference));
      std::string again;
      ascii = !ascii;
      (void)detail::write_simple_json(v, again, detail::SimpleRows::InPlace, &ascii);
      FUZZ_CHECK(ascii == utf8::all_ascii(again), "simple JSON: the ASCII flag is wrong for " + clip(again));
    }
  }
  if (!ok) return;
  auto parsed = json::parse(direct);
  FUZZ_CHECK(parsed.has_value() || json_depth(direct) > json::kMaxDepth,
             "simple JSON text does not parse: " + clip(direct));
}

inline void table_json_roundtrip(const InfoTable& t) {
  auto t1 = t.to_json();
  if (!t1) return;  // an aspect value that does not convert to its predefined type
  if (!json_readable(t, *t1)) return;
  json::Reader r(*t1);
  auto back = InfoTable::read_json(r);
  FUZZ_CHECK(back.has_value() && r.end().has_value(),
             "table JSON does not read back: " + clip(*t1) + "\n" + (back ? std::string() : back.error().text()));
  auto t2 = back->to_json();
  FUZZ_CHECK(t2.has_value() && *t2 == *t1,
             "table JSON differs after reading back:\n" + clip(*t1) + "\n" + (t2 ? clip(*t2) : t2.error().text()));
  // Row values keep their kind, base type and content (tagged form). Shapes may lose aspect base types
  // (typed form), also those of tables nested in values, which are covered by the text comparison above.
  FUZZ_CHECK(back->row_count() == t.row_count(), "row count differs after JSON round trip");
  for (size_t i = 0; i < t.row_count(); ++i) {
    InfoTable::Row a = t.row(i);
    InfoTable::Row b = back->row(i);
    FUZZ_CHECK(a.size() == b.size(), "row length differs after JSON round trip: " + clip(*t1));
    for (size_t j = 0; j < a.size(); ++j)
      if (a[j].innermost().kind() != PrimKind::INFOTABLE)
        FUZZ_CHECK(a[j] == b[j], "row value differs after JSON round trip: " + clip(*t1));
  }
}

// Returns the binary encoding.
inline std::vector<uint8_t> check_table(const InfoTable& t) {
  auto bytes = binary_roundtrip(t);
  table_json_roundtrip(t);
  simple_json_agrees(t);
  (void)t.debug_text();
  return bytes;
}

inline void check_prim(const HcPrim& p) {
  binary_roundtrip(p);
  simple_json_agrees(p);
  (void)p.debug_text();
  (void)p.full_type_name();

  // Tagged form.
  std::string tagged;
  auto tw = p.to_tagged_json(tagged);
  if (tw && json_readable(p, tagged)) {
    json::Reader r(tagged);
    auto back = HcPrim::from_tagged_json(r);
    FUZZ_CHECK(back.has_value() && r.end().has_value(),
               "tagged JSON does not read back: " + clip(tagged) + "\n" + (back ? std::string() : back.error().text()));
    std::string again;
    auto tw2 = back->to_tagged_json(again);
    FUZZ_CHECK(tw2.has_value() && again == tagged, "tagged JSON differs:\n" + clip(tagged) + "\n" + clip(again));
    if (p.innermost().kind() != PrimKind::INFOTABLE)
      FUZZ_CHECK(*back == p, "tagged JSON value differs: " + clip(tagged));
  }

  // Typed form under the value's own base type: the text reads back (except VARIANT, which has no typed
  // reading) and is written again identically.
  std::string text;
  if (!p.write_json_typed(text, p.base_type())) return;
  if (p.is_variant() || !json_readable(p, text)) return;
  auto typed = json::parse(text);
  FUZZ_CHECK(typed.has_value(), "typed JSON does not parse: " + clip(text));
  // The INFOTABLE typed form is a string holding the record text, which has its own depth.
  if (p.kind() == PrimKind::INFOTABLE && typed->as_string() && !json_readable(p, *typed->as_string())) return;
  auto back = HcPrim::from_json_typed(*typed, p.base_type());
  FUZZ_CHECK(back.has_value(),
             "typed JSON does not read back: " + clip(text) + "\n" + (back ? std::string() : back.error().message()));
  std::string again;
  FUZZ_CHECK(back->write_json_typed(again, p.base_type()).has_value() && again == text,
             "typed JSON differs after reading back: " + clip(text));
}

}  // namespace fuzz
