// Mapping JSON onto records, maps and enumerations with the standard field errors.
//
// Error positions follow one rule: an error raised while a record / map / array is open and not yet
// positioned (missing, duplicate, unknown field, invalid length, a callback's Error::custom) gets the
// consumed position after the reader has skipped whitespace and read the closing bracket if it comes
// next (for arrays also a `,` and the whitespace after it). Errors already positioned pass unchanged.
//
// Example, a record of two required fields read from an object or a two-element array:
//
//   static constexpr std::string_view kFields[] = {"name", "count"};
//   static constexpr json::RecordSpec kSpec{"struct Foo", kFields, "struct Foo with 2 elements"};
//   Foo foo;
//   auto seen = json::read_record(r, kSpec, [&](size_t i) -> json::Expected<void> {
//     if (i == 0) return json::assign(foo.name, r.read_string());
//     return json::assign(foo.count, r.read_f64());
//   });
//   if (!seen) return json::fail(seen.error());
//   if (auto ok = json::require_fields(r, *seen, kFields, {0, 1}); !ok) return json::fail(ok.error());
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "veltrac/json/error.hpp"
#include "veltrac/json/reader.hpp"

namespace veltrac::json {

enum class UnknownFields : uint8_t {
  Skip,    // members with other names are skipped (syntax-checked only)
  Refuse,  // "unknown field `x`, expected ..."
};

struct RecordSpec {
  std::string_view description;              // invalid-type text, e.g. "struct HcyProperty"
  std::span<const std::string_view> fields;  // member names in declaration order (at most 64)
  std::string_view array_description = {};   // e.g. "struct HcyProperty with 6 elements"; empty: no array form
  UnknownFields unknown = UnknownFields::Skip;
};

// Which fields a record read has seen.
class FieldSet {
 public:
  bool has(size_t i) const { return (bits_ >> i) & 1u; }
  void set(size_t i) { bits_ |= uint64_t{1} << i; }
  bool from_array() const { return from_array_; }
  void set_from_array() { from_array_ = true; }

 private:
  uint64_t bits_ = 0;
  bool from_array_ = false;
};

// Stores a successful read into `dst`; passes the error on.
template <class T, class U>
Expected<void> assign(T& dst, Expected<U>&& r) {
  if (!r) return fail(std::move(r.error()));
  dst = std::move(*r);
  return {};
}

// Index of `key` in `names`, or names.size().
inline size_t find_name(std::span<const std::string_view> names, std::string_view key) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (same_text(names[i], key)) return i;
  }
  return names.size();
}

// Reads a record.
// - Object: members in any order; a field's first occurrence calls read_field(index) after its `:`
//   (the callback reads the value); a repeated field is "duplicate field"; other names are skipped or
//   refused per layout.unknown. The `}` is read. Missing fields are left to require_fields().
// - Array (only when layout.array_description is set): read_field(0..n-1) in order for the n fields;
//   fewer elements: "invalid length k, expected <array_description>"; more: end_array()'s errors.
//   The returned set has every field and from_array() true.
// - Anything else: invalid type, expected layout.description ("EOF while parsing a value" at the end).
// read_field: callable (size_t index) -> Expected<void>; may return unpositioned errors.
template <class ReadField>
Expected<FieldSet> read_record(Reader& r, const RecordSpec& layout, ReadField&& read_field);

// The first field of `order` (indexes into `fields`) that `seen` lacks: "missing field `x`" at the
// consumed position (the record's closing bracket when called right after read_record).
inline Expected<void> require_fields(const Reader& r, const FieldSet& seen, std::span<const std::string_view> fields,
                                     std::initializer_list<size_t> order) {
  for (size_t i : order) {
    if (!seen.has(i)) return fail(r.fix_position(missing_field(fields[i])));
  }
  return {};
}

// Reads an object member by member in document order: on_member(key) -> Expected<void> is called after
// the `:` and reads the value. The key is a std::string, or a std::string_view (valid during the call)
// when on_member takes one. Other kinds: invalid type, expected `description`.
template <class OnMember>
Expected<void> read_map(Reader& r, std::string_view description, OnMember&& on_member);

// Reads an array element by element: on_element(size_t index) -> Expected<void> reads each value.
// Other kinds: invalid type, expected `description`.
template <class OnElement>
Expected<void> read_seq(Reader& r, std::string_view description, OnElement&& on_element);

// Enumerations: a string "NAME", or an object whose only member is "NAME" with its value.
struct VariantStart {
  size_t index;      // into the names
  bool object_form;  // true: `{"NAME":` has been read, the value and then end_variant() follow
};
// Unknown name: "unknown variant `x`, expected ..." at the name's closing quote. Neither string nor
// object: "expected value" (peeked). Object form: empty object "expected value" at `}`; a key that is
// not a string "key must be a string"; then "expected `:`" rules.
Expected<VariantStart> begin_variant(Reader& r, std::span<const std::string_view> names);
// After the object form's value: `}` (after whitespace) is read; anything else is "expected value" at
// the last byte read, the end of input "EOF while parsing an object".
Expected<void> end_variant(Reader& r);
// A plain enumeration: the string form, or the object form whose value must be null
// ("invalid type: ..., expected unit").
Expected<size_t> read_enum(Reader& r, std::span<const std::string_view> names);

// Reads a whole document with `read` (Reader&) -> Expected<T>, then requires the end of input.
template <class F>
auto read_document(std::string_view text, F&& read) -> decltype(read(std::declval<Reader&>()));

// ------------------------------------------------------------------------------------------------
// Implementation of the templates.

template <class ReadField>
Expected<FieldSet> read_record(Reader& r, const RecordSpec& layout, ReadField&& read_field) {
  FieldSet seen;
  Peek p = r.peek();
  if (p == Peek::Object) {
    if (auto ok = r.begin_object(); !ok) return fail(std::move(ok.error()));
    // Members usually come in declaration order: the field after the last one read is tried first,
    // straight against the text.
    size_t next = 0;
    for (;;) {
      size_t idx;
      if (next < layout.fields.size() && !seen.has(next) && r.match_key(layout.fields[next])) {
        idx = next;
      } else {
        std::string_view key;
        auto more = r.next_key(key);
        if (!more) return fail(r.close_object_after(std::move(more.error())));
        if (!*more) break;
        idx = find_name(layout.fields, key);
        if (idx == layout.fields.size()) {
          if (layout.unknown == UnknownFields::Refuse) {
            return fail(r.close_object_after(unknown_field(key, layout.fields)));
          }
          if (auto ok = r.expect_colon(); !ok) return fail(r.close_object_after(std::move(ok.error())));
          if (auto ok = r.skip_value(); !ok) return fail(r.close_object_after(std::move(ok.error())));
          continue;
        }
        if (seen.has(idx)) return fail(r.close_object_after(duplicate_field(layout.fields[idx])));
      }
      seen.set(idx);
      next = idx + 1;
      if (auto ok = r.expect_colon(); !ok) return fail(r.close_object_after(std::move(ok.error())));
      if (auto ok = read_field(idx); !ok) return fail(r.close_object_after(std::move(ok.error())));
    }
    if (auto ok = r.end_object(); !ok) return fail(std::move(ok.error()));
    return seen;
  }
  if (p == Peek::Array && !layout.array_description.empty()) {
    if (auto ok = r.begin_array(); !ok) return fail(std::move(ok.error()));
    for (size_t i = 0; i < layout.fields.size(); ++i) {
      auto more = r.next_element();
      if (!more) return fail(r.close_array_after(std::move(more.error())));
      if (!*more) return fail(r.close_array_after(invalid_length(i, layout.array_description)));
      if (auto ok = read_field(i); !ok) return fail(r.close_array_after(std::move(ok.error())));
      seen.set(i);
    }
    if (auto ok = r.end_array(); !ok) return fail(std::move(ok.error()));
    seen.set_from_array();
    return seen;
  }
  return fail(r.invalid_type(layout.description));
}

template <class OnMember>
Expected<void> read_map(Reader& r, std::string_view description, OnMember&& on_member) {
  if (r.peek() != Peek::Object) return fail(r.invalid_type(description));
  if (auto ok = r.begin_object(); !ok) return ok;
  for (;;) {
    std::string_view key;
    auto more = r.next_key(key);
    if (!more) return fail(r.close_object_after(std::move(more.error())));
    if (!*more) break;
    if constexpr (std::is_invocable_v<OnMember&, std::string_view>) {
      // A key decoded from escapes lives in the reader's buffer, which the value's strings reuse.
      std::string owned;
      if (!r.in_text(key)) key = owned.assign(key);
      if (auto ok = r.expect_colon(); !ok) return fail(r.close_object_after(std::move(ok.error())));
      if (auto ok = on_member(key); !ok) return fail(r.close_object_after(std::move(ok.error())));
    } else {
      std::string owned(key);
      if (auto ok = r.expect_colon(); !ok) return fail(r.close_object_after(std::move(ok.error())));
      if (auto ok = on_member(std::move(owned)); !ok) return fail(r.close_object_after(std::move(ok.error())));
    }
  }
  return r.end_object();
}

template <class OnElement>
Expected<void> read_seq(Reader& r, std::string_view description, OnElement&& on_element) {
  if (r.peek() != Peek::Array) return fail(r.invalid_type(description));
  if (auto ok = r.begin_array(); !ok) return ok;
  for (size_t i = 0;; ++i) {
    auto more = r.next_element();
    if (!more) return fail(r.close_array_after(std::move(more.error())));
    if (!*more) break;
    if (auto ok = on_element(i); !ok) return fail(r.close_array_after(std::move(ok.error())));
  }
  return r.end_array();
}

template <class F>
auto read_document(std::string_view text, F&& read) -> decltype(read(std::declval<Reader&>())) {
  Reader r(text);
  auto v = read(r);
  if (!v) return v;
  if (auto ok = r.end(); !ok) return fail(std::move(ok.error()));
  return v;
}

}  // namespace veltrac::json
