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

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.hpp"
#include "json/value.hpp"

namespace veltrac::json {

inline constexpr size_t kMaxDepth = 128;

// Kind of the next value, from its first byte.
enum class Peek : uint8_t { End, Null, Bool, Number, String, Array, Object, Other };

// A number as read from the text.
struct Number {
  Kind kind;  // U64, I64 or F64
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0.0;
  double to_f64() const { return kind == Kind::U64 ? static_cast<double>(u) : kind == Kind::I64 ? static_cast<double>(i) : f; }
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::string_view text() const { return text_; }
  size_t offset() const { return pos_; }  // count of bytes read so far
  size_t depth() const { return depth_; }

  // --- whitespace and peeking -------------------------------------------------------------------
  void skip_ws() {
    // Compact text has no whitespace between tokens: one comparison in the common case.
    if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) <= ' ') skip_ws_run();
  }
  // Skips whitespace and classifies the next byte.
  Peek peek();
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
  Expected<std::string_view> read_str(std::string_view expected = "a string");
  Expected<bool> read_bool(std::string_view expected = "a boolean");
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
  Expected<void> begin_object();
  // The next member's key (after `{` or `,`), or nothing when `}` comes next (left unread).
  // The view is valid until the next read of a string or key.
  Expected<std::optional<std::string_view>> next_key();
  // The `:` after a key.
  Expected<void> expect_colon();
  // Reads the `}` after the last member (syntax errors otherwise); leaves the nesting level.
  Expected<void> end_object();
  // For an error raised inside the object: skips whitespace, reads `}` if it comes next, and gives an
  // unpositioned `e` the consumed position. Leaves the nesting level.
  Error close_object_after(Error e);

  // --- arrays -------------------------------------------------------------------------------------
  Expected<void> begin_array();
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
  bool at_end() const { return pos_ >= text_.size(); }
  void skip_ws_run();
  Error error_at_index(std::string_view message, size_t index) const;
  Expected<void> enter();
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
