// JSON errors (kind Json of the one error model) and the standard texts of record mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "veltrac/error.hpp"
#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac::json {

// A JSON error is a VeltracError of kind Json: its text() is the JSON text (with " at line L column C" once
// the reader has positioned it), its message() that text after "Serde Json Error: ".
using Error = VeltracError;

template <class T>
using Expected = Result<T>;

using veltrac::fail;
using veltrac::Unexpected;

// An error without position: record-mapping errors before the reader positions them, and writer failures
// that carry a conversion's text.
inline Error custom(std::string message) { return VeltracError::json(std::move(message)); }

// Accepted-name lists: "`a`", "`a` or `b`", "one of `a`, `b`, `c`" (appended to `out`).
void append_name_list(std::string& out, std::span<const std::string_view> names);

// Record-mapping errors, all without position (the reader positions them, see record.hpp).
Error missing_field(std::string_view name);
Error duplicate_field(std::string_view name);
// "unknown field `x`, expected ..." or "unknown field `x`, there are no fields".
Error unknown_field(std::string_view name, std::span<const std::string_view> expected);
// "unknown variant `x`, expected ..." or "unknown variant `x`, there are no variants".
Error unknown_variant(std::string_view name, std::span<const std::string_view> expected);
// "invalid type: <found>, expected <expected>".
Error invalid_type(std::string_view found, std::string_view expected);
// "invalid value: <found>, expected <expected>".
Error invalid_value(std::string_view found, std::string_view expected);
// "invalid length <n>, expected <expected>".
Error invalid_length(size_t n, std::string_view expected);

// What-was-found texts.
inline constexpr std::string_view kFoundNull = "null";
inline constexpr std::string_view kFoundSequence = "sequence";
inline constexpr std::string_view kFoundMap = "map";
inline constexpr std::string_view kFoundUnitVariant = "unit variant";
inline constexpr std::string_view kFoundNewtypeVariant = "newtype variant";
inline constexpr std::string_view kFoundTupleVariant = "tuple variant";
inline constexpr std::string_view kFoundStructVariant = "struct variant";
std::string found_bool(bool v);             // boolean `true`
std::string found_u64(uint64_t v);          // integer `5`
std::string found_i64(int64_t v);           // integer `-3`
std::string found_f64(double v);            // floating point `1.5` (the float as the writer writes it)
std::string found_str(std::string_view s);  // string "..." (debug quoting)

// Syntax messages.
namespace msg {
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kExpectedQuote = "expected `\"`";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
inline constexpr std::string_view kControlChar = "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
}  // namespace msg

}  // namespace veltrac::json
VELTRAC_API_END
