// Pull reader over JSON text, and `parse` (text to Value) built on it.
//
// Positions. Errors carry "line L column C" of one of two points:
//   consumed: the last byte read so far (line 1 column 0 when nothing was read);
//   peeked:   the next byte, not yet read (the last byte of the input at its end).
// A line feed at that point reports (next line, column 0). Skipped whitespace counts as read.
//
// Every function returning an Error or Expected gives positioned errors unless it says otherwise.
// After an error the reader is spent: only close_object_after / close_array_after may follow.
// Nesting: containers opened through the reader (begin_object / begin_array / begin_variant object
// form / read_value) share one depth counter; the bracket opening a 129th level fails with
// "recursion limit exceeded" (peeked). skip_value() has no depth limit and does not recurse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "veltrac/detail/same_bytes.hpp"
#include "veltrac/export.hpp"
#include "veltrac/json/error.hpp"
#include "veltrac/json/value.hpp"

VELTRAC_API_BEGIN
namespace veltrac::json {

inline constexpr size_t kMaxDepth = 128;

namespace detail {
// Offset of the first `"`, `\` or byte below 0x20 at or after `i`, or text.size().
size_t find_special(std::string_view text, size_t i);
}  // namespace detail

// Kind of the next value, from its first byte.
enum class Peek : uint8_t { End, Null, Bool, Number, String, Array, Object, Other };

namespace detail {
constexpr std::array<Peek, 256> peek_table() {
  std::array<Peek, 256> t{};
  t.fill(Peek::Other);
  t['n'] = Peek::Null;
  t['t'] = Peek::Bool;
  t['f'] = Peek::Bool;
  t['"'] = Peek::String;
  t['['] = Peek::Array;
  t['{'] = Peek::Object;
  t['-'] = Peek::Number;
  for (int c = '0'; c <= '9'; ++c) t[c] = Peek::Number;
  return t;
}
}  // namespace detail

// A number as read from the text.
struct Number {
  Kind kind;  // U64, I64 or F64
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0.0;
  double to_f64() const {
    return kind == Kind::U64 ? static_cast<double>(u) : kind == Kind::I64 ? static_cast<double>(i) : f;
  }
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::string_view text() const { return text_; }
  size_t offset() const { return pos_; }  // count of bytes read so far
  size_t depth() const { return depth_; }
  // True when `s` lies within the input text (a string read without escapes), so it stays valid for
  // the reader's lifetime.
  bool in_text(std::string_view s) const {
    return std::less_equal<const char*>()(text_.data(), s.data()) &&
           std::less_equal<const char*>()(s.data() + s.size(), text_.data() + text_.size());
  }

  // --- whitespace and peeking -------------------------------------------------------------------
  void skip_ws() {
    // Compact text has no whitespace between tokens: one comparison in the common case.
    if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) <= ' ') skip_ws_run();
  }
  // Skips whitespace and classifies the next byte.
  Peek peek() {
    skip_ws();
    if (at_end()) return Peek::End;
    return kPeekTable[static_cast<unsigned char>(text_[pos_])];
  }
  // Skips whitespace; the next byte, or nothing at the end of input.
  std::optional<char> peek_byte();

  // --- positions and errors ---------------------------------------------------------------------
  Error error_consumed(std::string_view message) const;
  Error error_peeked(std::string_view message) const;
  // Gives `e` the consumed position unless it has one already.
  Error fix_position(Error e) const;
  // The error for a value of the wrong kind where `expected` was wanted, like a typed read does it:
  // a scalar is read (its syntax errors win) and reported at its last byte; `[`/`{` are not read
  // and reported at the byte before them; a byte that starts no value gives "expected value"
  // (peeked); the end of input "EOF while parsing a value".
  Error invalid_type(std::string_view expected);

  // --- scalars (each skips leading whitespace; on the wrong kind: invalid_type(expected)) ---------
  Expected<std::string> read_string(std::string_view expected = "a string");
  // The text without copying where it has no escapes; otherwise decoded into an internal buffer.
  // Valid until the next read of a string or key.
  Expected<std::string_view> read_str(std::string_view expected = "a string") {
    // Fast path: the quote comes next and the text has no escapes.
    if (pos_ < text_.size() && text_[pos_] == '"') {
      size_t q = detail::find_special(text_, pos_ + 1);
      if (q < text_.size() && text_[q] == '"') {
        std::string_view s = text_.substr(pos_ + 1, q - pos_ - 1);
        pos_ = q + 1;
        return s;
      }
    }
    return read_str_slow(expected);
  }
  Expected<bool> read_bool(std::string_view expected = "a boolean") {
    if (text_.size() - pos_ >= 5) {
      const char* p = text_.data() + pos_;
      if (std::memcmp(p, "true", 4) == 0) {
        pos_ += 4;
        return true;
      }
      if (std::memcmp(p, "false", 5) == 0) {
        pos_ += 5;
        return false;
      }
    }
    return read_bool_slow(expected);
  }
  // Any number, converted to f64.
  Expected<double> read_f64(std::string_view expected = "f64");
  // An integer 0..255; other integers: invalid value "integer `n`".
  Expected<uint8_t> read_u8(std::string_view expected = "u8");
  Expected<Number> read_number(std::string_view expected);
  // `null`; anything else: invalid_type(expected).
  Expected<void> read_unit(std::string_view expected = "unit");
  // True (and `null` read) when the next value starts with `n`; false with nothing read otherwise.
  Expected<bool> try_null();

  // Any value, with the full checks (number range, surrogates, depth).
  Expected<Value> read_value();
  // Any value, syntax only: no number range or surrogate checks, no depth limit, no recursion.
  Expected<void> skip_value();

  // After the top-level value: only whitespace may follow ("trailing characters", peeked).
  Expected<void> end();

  // --- objects ------------------------------------------------------------------------------------
  // Reads `{` (the caller has peeked it); counts one nesting level.
  Expected<void> begin_object() { return begin_container(); }
  // True with the next member's key in `key` (after `{` or `,`), false when `}` comes next (left
  // unread). The view is valid until the next read of a string or key.
  Expected<bool> next_key(std::string_view& key) {
    // Fast path for compact text: `"` (first member) or `,"`, then a key without escapes.
    const size_t n = text_.size();
    size_t p = pos_;
    if (p < n) {
      char c = text_[p];
      if (c == '}') return false;
      if (!first_ && c == ',' && p + 1 < n) c = text_[++p];
      if (c == '"' && (first_ || p != pos_)) {
        size_t q = detail::find_special(text_, p + 1);
        if (q < n && text_[q] == '"') {
          key = text_.substr(p + 1, q - p - 1);
          pos_ = q + 1;
          first_ = false;
          return true;
        }
      }
    }
    return next_key_slow(key);
  }
  // True (and the key with the `,` before it read) when the next member's key is written exactly as
  // `name` (no whitespace before it, no escapes in it); false with nothing read otherwise. `name` has
  // no `"`, `\` or control bytes. The same key as next_key would give, only cheaper.
  [[gnu::always_inline]] bool match_key(std::string_view name) {
    size_t p = pos_;
    if (!first_) {
      if (p >= text_.size() || text_[p] != ',') return false;
      ++p;
    }
    if (text_.size() - p < name.size() + 2 || text_[p] != '"' || text_[p + 1 + name.size()] != '"' ||
        !same_bytes(text_.data() + p + 1, name.data(), name.size())) {
      return false;
    }
    pos_ = p + name.size() + 2;
    first_ = false;
    return true;
  }
  // The `:` after a key.
  Expected<void> expect_colon() {
    if (pos_ < text_.size() && text_[pos_] == ':') {
      ++pos_;
      return {};
    }
    return expect_colon_slow();
  }
  // Reads the `}` after the last member (syntax errors otherwise); leaves the nesting level.
  Expected<void> end_object() {
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      leave();
      return {};
    }
    return end_object_slow();
  }
  // For an error raised inside the object: skips whitespace, reads `}` if it comes next, and gives an
  // unpositioned `e` the consumed position. Leaves the nesting level.
  Error close_object_after(Error e);

  // --- arrays -------------------------------------------------------------------------------------
  Expected<void> begin_array() { return begin_container(); }
  // True when another element follows (its `,` read), false when `]` comes next (left unread).
  Expected<bool> next_element();
  // Reads `]` after the elements the caller wanted; a `,` then `]` is "trailing comma", a `,` then
  // anything else, or any other byte, is "trailing characters" (peeked); the end "EOF while parsing a
  // list". Leaves the nesting level.
  Expected<void> end_array();
  // For an error raised inside the array: skips whitespace; reads `]` if next, or reads `,` and the
  // whitespace after it; positions an unpositioned `e` at the consumed point. Leaves the level.
  Error close_array_after(Error e);

 private:
  static constexpr std::array<Peek, 256> kPeekTable = detail::peek_table();

  bool at_end() const { return pos_ >= text_.size(); }
  void skip_ws_run();
  // Out-of-line remainders of the inline fast paths: the whole operation from the current position.
  Expected<std::string_view> read_str_slow(std::string_view expected);
  Expected<bool> read_bool_slow(std::string_view expected);
  Expected<bool> next_key_slow(std::string_view& key);
  Expected<void> expect_colon_slow();
  Expected<void> end_object_slow();
  Expected<void> begin_container() {
    skip_ws();
    if (depth_ < kMaxDepth) {
      ++depth_;
      ++pos_;
      first_ = true;
      return {};
    }
    return fail(error_peeked(msg::kRecursionLimit));
  }
  Error error_at_index(std::string_view message, size_t index) const;
  std::pair<size_t, size_t> line_column(size_t index) const;
  void leave() {
    if (depth_ > 0) --depth_;
    first_ = false;
  }
  Expected<void> parse_ident(std::string_view rest);
  // From the `-` or first digit. check_range: number range checks and the value (else syntax only).
  Expected<Number> scan_number(bool check_range);
  // After the opening quote. validate: surrogate pairing checked; want: the text is produced
  // (a view into the input, or into scratch_ when it had escapes).
  Expected<std::string_view> scan_string(bool validate, bool want);
  Expected<void> scan_escape(bool validate, bool want);
  Expected<uint16_t> hex_escape();

  std::string_view text_;
  size_t pos_ = 0;
  size_t depth_ = 0;
  bool first_ = false;   // no member / element read yet in the innermost open container
  std::string scratch_;  // decoded strings with escapes
  // read_value: elements and members of the open containers, moved out in one piece when each closes.
  std::vector<Value> value_stack_;
  std::vector<Member> member_stack_;
};

// Reads exactly one JSON value from the text (whitespace around it allowed).
Expected<Value> parse(std::string_view text);

}  // namespace veltrac::json
VELTRAC_API_END
