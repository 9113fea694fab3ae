// Debug texts shared by diagnostics, error messages and the text forms of values.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace veltrac {

// Text between double quotes: \" \\ \t \r \n \0 escaped with a backslash; control, format, separator
// (except the space), surrogate, private-use, unassigned and combining-mark code points as \u{hex};
// everything else as it is. Bytes that are not UTF-8 are written as U+FFFD.
void append_debug_str(std::string& out, std::string_view s);

// True when the code point is written as \u{hex} by append_debug_str (besides the named escapes).
bool debug_escapes_code_point(uint32_t cp);

// Shortest round-trip float: 1.0, 0.5, 0.0001, 1000000000000000.0 for 0 and magnitudes in
// [0.0001, 1e16); otherwise 1e16, 1e-5, 1.5e-7; NaN, inf, -inf, -0.0.
void append_debug_f64(std::string& out, double d);

// b"..." with printable ASCII as itself (\" and \\ escaped), \0 \t \n \r, other bytes as \xHH.
void append_debug_bytes(std::string& out, std::span<const uint8_t> bytes);

// Shortest round-trip digits of a finite, non-zero |d|: digits without sign or point, and the decimal
// exponent k with |d| = 0.digits * 10^k. Returns the digit count written to `digits` (at most 17; it has room
// for 24 bytes).
size_t shortest_digits(double d, char* digits, int& k);

// A finite float from its shortest digits: plain decimal (with at least one fractional digit) when
// min_k <= k <= max_k, else d[.ddd]e<k-1>; zero is 0.0 or -0.0. Shared by the debug and JSON forms.
void append_shortest_f64(std::string& out, double d, int min_k, int max_k);
// The same text written at p, which has room for 40 bytes (enough for -8 <= min_k, max_k <= 17); returns
// its end.
char* put_shortest_f64(char* p, double d, int min_k, int max_k);
// put_shortest_f64(p, d, -4, 16) for one of a run of values (a table column). Short decimals have a fast
// path that random doubles fail at some cost, so it is taken only while the run's last value was a decimal
// of at most 15 digits and 8 places; short_run carries that from value to value (true at the start).
char* put_json_f64_in_run(char* p, double d, bool& short_run);

}  // namespace veltrac
