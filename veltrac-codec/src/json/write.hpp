// Compact JSON text writing (appending to a std::string) and the debug text of JSON values.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "veltrac/json/value.hpp"

namespace veltrac::json {

// The value as compact JSON text: no whitespace, object keys in their (sorted) order.
void write(std::string& out, const Value& v);
std::string to_text(const Value& v);

// A JSON string: quoted; `"` and `\` escaped with a backslash, \b \t \n \f \r, other bytes below 0x20 as
// \u00XX (lower-case hex); everything else (including `/`, DEL and non-ASCII) as raw bytes.
void write_string(std::string& out, std::string_view s);
// A member key and its colon: "key":
void write_key(std::string& out, std::string_view key);

// Shortest round-trip digits laid out as: 0.0 / -0.0; integral with at most 16 integer digits as
// 100.0; plain 12.34 for exponents 1..16; 0.001234 down to 0.0000d; otherwise 1e16, 1.234e33,
// 1.5e-7. A non-finite value is written as null.
void write_f64(std::string& out, double d);
void write_u64(std::string& out, uint64_t n);
void write_i64(std::string& out, int64_t n);
void write_bool(std::string& out, bool b);
inline void write_null(std::string& out) { out.append("null"); }

// The same texts written at a raw pointer into room the caller reserved; each returns the end of the text.
// Room needed: string_room(n) for a string of n bytes, kNumberRoom for a number.
inline constexpr size_t string_room(size_t n) { return 2 + 6 * n; }
inline constexpr size_t kNumberRoom = 40;
char* put_string(char* p, std::string_view s);
// The same, clearing `ascii` when s has a byte of 0x80 or above (at almost no cost: the bytes are in
// registers anyway).
char* put_string(char* p, std::string_view s, bool& ascii);
char* put_f64(char* p, double d);
inline char* put_i64(char* p, int64_t n) { return std::to_chars(p, p + kNumberRoom, n).ptr; }
inline char* put_raw(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

// Appends what `fill` (char* at) -> char* end writes at the end of `out`, at most `room` bytes: one size
// check for several pieces.
template <class Fill>
void append_raw(std::string& out, size_t room, Fill&& fill) {
  const size_t at = out.size();
  out.resize_and_overwrite(at + room, [&](char* p, size_t) { return static_cast<size_t>(fill(p + at) - p); });
}

// Debug text of a value (not its JSON): Null, Bool(true), Number(1.5), String("a\tb"),
// Array [Number(1), Null], Object {"a": Number(1)}.
void append_debug_text(std::string& out, const Value& v);
std::string debug_text(const Value& v);

}  // namespace veltrac::json
