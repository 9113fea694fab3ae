#include "util/debug_text.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "util/decimal.hpp"
#include "util/shortest_float.hpp"

namespace veltrac {

namespace {

struct Range {
  uint32_t first, last;
};

constexpr Range kEscapedRanges[] = {
#include "util/debug_escape_table.inc"
};

constexpr char kHex[] = "0123456789abcdef";

void append_unicode_escape(std::string& out, uint32_t cp) {
  char buf[12];
  char* p = buf + sizeof buf;
  *--p = '}';
  do {
    *--p = kHex[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  *--p = '{';
  *--p = 'u';
  *--p = '\\';
  out.append(p, buf + sizeof buf - p);
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when it is not valid UTF-8.
size_t decode_utf8(std::string_view s, size_t i, uint32_t& cp) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[i + k]); };
  uint8_t c = b(0);
  size_t left = s.size() - i;
  auto cont = [&](size_t k) { return k < left && (b(k) & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) {
    if (!cont(1)) return 0;
    cp = ((c & 0x1Fu) << 6) | (b(1) & 0x3Fu);
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    cp = ((c & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    cp = ((c & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) | (b(3) & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
    return 4;
  }
  return 0;
}

}  // namespace

bool debug_escapes_code_point(uint32_t cp) {
  if (cp < 0x80) return cp < 0x20 || cp == 0x7F;
  auto it = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
                             [](uint32_t v, const Range& r) { return v < r.first; });
  if (it == std::begin(kEscapedRanges)) return false;
  --it;
  return cp <= it->last;
}

void append_debug_str(std::string& out, std::string_view s) {
  out.reserve(out.size() + s.size() + 2);
  out.push_back('"');
  size_t i = 0, run = 0;  // [run, i) is written as it is
  auto flush = [&] { out.append(s.data() + run, i - run); };
  while (i < s.size()) {
    uint8_t c = static_cast<uint8_t>(s[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    if (c < 0x80) {
      flush();
      switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\t': out.append("\\t"); break;
        case '\r': out.append("\\r"); break;
        case '\n': out.append("\\n"); break;
        case 0: out.append("\\0"); break;
        default: append_unicode_escape(out, c); break;
      }
      run = ++i;
      continue;
    }
    uint32_t cp = 0;
    size_t n = decode_utf8(s, i, cp);
    if (n == 0) {
      flush();
      out.append("\xEF\xBF\xBD");
      run = ++i;
      continue;
    }
    if (debug_escapes_code_point(cp)) {
      flush();
      append_unicode_escape(out, cp);
      i += n;
      run = i;
      continue;
    }
    i += n;
  }
  flush();
  out.push_back('"');
}

namespace {

constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
constexpr uint64_t kPow10Int[] = {1,
                                  10,
                                  100,
                                  1000,
                                  10000,
                                  100000,
                                  1000000,
                                  10000000,
                                  100000000,
                                  1000000000,
                                  10000000000,
                                  100000000000,
                                  1000000000000,
                                  10000000000000,
                                  100000000000000,
                                  1000000000000000,
                                  10000000000000000,
                                  100000000000000000,
                                  1000000000000000000};

// |d| as m / 10^places when it is a decimal with at most 8 places and m < 10^15 (the common case of
// measured values), found without the general shortest-digits search; m may end in zeros. places is the
// most (up to 8) that keep |d| * 10^places below 10^15, and d is the double nearest to such a decimal only
// if |d| * 10^places is within its own rounding error of an integer m, which rejects nearly all other
// doubles after one multiplication. The answer is checked: m / 10^places is the double nearest to the
// decimal (both are exact and division rounds correctly), so it reads back as d. Below 10^15 the rounding
// interval of d * 10^places is narrower than 1, so no other decimal with as many places reads back as d,
// and none with more places is shorter: m's digits without its trailing zeros are the shortest digits.
bool short_decimal(double d, uint64_t& m, int& places) {
  const double a = std::fabs(d);
  const int binary_exponent = static_cast<int>(std::bit_cast<uint64_t>(a) >> 52) - 1022;  // a < 2^it
  if (binary_exponent > 50) return false;
  // 15 - ceil(binary_exponent * log10(2)), capped at 8.
  places = std::min(8, 15 + ((-binary_exponent * 1262611) >> 22));
  if (places < 0) return false;
  const double scaled = a * kPow10[places];
  // Rounded half up; signed conversions are single instructions and the value is below 10^15.
  const int64_t candidate = static_cast<int64_t>(scaled + 0.5);  // NOLINT(bugprone-incorrect-roundings): scaled >= 0
  if (!(std::fabs(scaled - static_cast<double>(candidate)) <= scaled * 0x1p-50) || candidate == 0) return false;
  m = static_cast<uint64_t>(candidate);
  return static_cast<double>(candidate) / kPow10[places] == a;
}

size_t short_decimal_digits(double d, char* digits, int& k) {
  uint64_t m;
  int places;
  if (!short_decimal(d, m, places)) return 0;
  char buf[32];
  size_t n = static_cast<size_t>(decimal::put_u64(buf, m) - buf);
  k = static_cast<int>(n) - places;
  while (n > 1 && buf[n - 1] == '0') --n;
  std::memcpy(digits, buf, n);
  return n;
}

// Number of decimal digits of f (0 < f < 10^18).
int digit_count(uint64_t f) {
  const int guess = (std::bit_width(f) * 1233) >> 12;  // floor(log10(2^bits)), at most one too small
  return guess + (f >= kPow10Int[guess]);
}

// e<exp> at p, branch-free (random values have exponents of random sign and length): the sign, then three
// digits with the leading zeros shifted out. Stores 6 bytes.
char* put_exponent(char* p, int exp) {
  p[0] = 'e';
  p[1] = '-';
  p += 1 + (exp < 0);
  const uint32_t a = static_cast<uint32_t>(exp < 0 ? -exp : exp);  // < 1000
  const int len = 1 + (a >= 10) + (a >= 100);
  const uint32_t word = (a / 100 | (a / 10 % 10) << 8 | (a % 10) << 16 | 0x303030u) >> (8 * (3 - len));
  std::memcpy(p, &word, 4);
  return p + len;
}

// The text of digits * 10^exponent (digits may end in zeros; at most 17 of them) in the layout of
// put_shortest_f64. Stores up to 24 bytes from p (within the room of 40).
#if defined(__SSE2__)
// The digits are padded to 17 with zeros: the first apart, the other sixteen in one register, whose trailing
// '0' bytes tell how many digits count. Where the point goes inside the digits, it is put in while they are
// still in registers: reading back a wider word just stored in pieces would stall.
char* put_decimal(char* p, uint64_t digits, int exponent, int min_k, int max_k, bool& short_form) {
  constexpr uint64_t kTen16 = 10000000000000000;
  // The search gives 16 or 17 digits for every normal double: then no digit count is needed.
  int n0;
  uint64_t x;
  if (digits >= kTen16 / 10) [[likely]] {
    const bool seventeen = digits >= kTen16;
    n0 = 16 + static_cast<int>(seventeen);
    x = seventeen ? digits : digits * 10;
  } else {
    n0 = digit_count(digits);
    x = digits * kPow10Int[17 - n0];
  }
  // x cut at 10^8 first, the upper part then at 10^8 again: two short steps instead of two long ones.
  const auto upper = static_cast<uint32_t>(x / 100000000);  // below 10^9
  const auto lower = static_cast<uint32_t>(x % 100000000);
  const uint32_t first_digit = upper / 100000000;
  const __m128i sixteen = decimal::sixteen_digits(upper - first_digit * 100000000, lower);
  const char first = static_cast<char>('0' + first_digit);
  const auto zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(sixteen, _mm_set1_epi8('0'))));
  const int n = 17 - std::countl_one(zeros << 16);  // digits without the trailing zeros
  const int k = exponent + n0;                      // value = 0.ddd * 10^k
  short_form = n <= 15 && n - k <= 8;
  if (k >= min_k && k <= max_k) {
    if (k <= 0) {
      std::memcpy(p, "0.00000000", 10);
      p += 2 - k;
      p[0] = first;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 1), sixteen);
      return p + n;
    }
    if (n <= k) {  // the padding zeros are the integer's (k <= 16)
      p[0] = first;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 1), sixteen);
      std::memcpy(p + k, ".0", 2);
      return p + k + 2;
    }
    // The point after k - 1 of the sixteen, put in by byte masks: the bytes before it as they are, the point,
    // then the bytes moved up by one; the last byte, pushed out of the register, is stored apart.
    const __m128i at = _mm_set1_epi8(static_cast<char>(k - 1));
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i before = _mm_cmplt_epi8(index, at), point = _mm_cmpeq_epi8(index, at);
    const __m128i dotted =
        _mm_or_si128(_mm_or_si128(_mm_and_si128(sixteen, before), _mm_and_si128(point, _mm_set1_epi8('.'))),
                     _mm_andnot_si128(_mm_or_si128(before, point), _mm_slli_si128(sixteen, 1)));
    p[0] = first;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 1), dotted);
    p[17] = static_cast<char>(_mm_extract_epi16(sixteen, 7) >> 8);
    return p + n + 1;
  }
  p[0] = first;
  p[1] = '.';
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2), sixteen);
  return put_exponent(n > 1 ? p + n + 1 : p + 1, k - 1);
}
#else
char* put_decimal(char* p, uint64_t digits, int exponent, int min_k, int max_k, bool& short_form) {
  while (digits % 10 == 0) {
    digits /= 10;
    ++exponent;
  }
  const int n = digit_count(digits);
  const int k = exponent + n;  // value = 0.ddd * 10^k
  short_form = n <= 15 && exponent >= -8;
  if (k >= min_k && k <= max_k) {
    if (k <= 0) {
      std::memcpy(p, "0.00000000", 10);
      return decimal::put_u64(p + 2 - k, digits);
    }
    if (n <= k) {
      p = decimal::put_u64(p, digits);
      std::memset(p, '0', 16);
      p += k - n;
      std::memcpy(p, ".0", 2);
      return p + 2;
    }
    // Bytes move one by one: reading back a wider word just stored in pieces would stall.
    char* end = decimal::put_u64(p + 1, digits);
    for (int i = 0; i < k; ++i) p[i] = p[i + 1];
    p[k] = '.';
    return end;
  }
  char* end = decimal::put_u64(p + 1, digits);
  p[0] = p[1];
  if (n > 1) {
    p[1] = '.';
  } else {
    end = p + 1;
  }
  return put_exponent(end, k - 1);
}
#endif

}  // namespace

size_t shortest_digits(double d, char* digits, int& k) {
  if (size_t n = short_decimal_digits(d, digits, k)) return n;
  const ShortestDecimal dec = shortest_decimal(d);
  const size_t n = static_cast<size_t>(decimal::put_u64(digits, dec.digits) - digits);
  k = dec.exponent + static_cast<int>(n);
  return n;
}

namespace {

// The short decimal m / 10^places (see short_decimal) in the layout of put_shortest_f64: the integer part,
// the point, then the fraction with its leading zeros.
char* put_short_decimal(char* p, double d, uint64_t m, int places) {
  // The integer part is |d|'s: |d| is less than 10^-places / 8 from the decimal, which is an integer (then
  // exactly |d|) or at least 10^-places from one. The fraction goes out as eight digits, with the trailing
  // zeros dropped but one.
  const uint64_t integer = static_cast<uint64_t>(std::fabs(d));
  const uint64_t fraction = (m - integer * kPow10Int[places]) * kPow10Int[8 - places];
  uint64_t w;
#if defined(__SSE2__)
  if (integer < 100000000) {
    // Both parts' digits at once: the integer part without its leading zeros (one digit at least).
    const __m128i both = decimal::sixteen_digits(static_cast<uint32_t>(integer), static_cast<uint32_t>(fraction));
    const auto int_digits = static_cast<uint64_t>(_mm_cvtsi128_si64(both));
    const int lead = std::min(7, std::countr_zero(int_digits ^ 0x3030303030303030ULL) / 8);
    const uint64_t shifted = int_digits >> (8 * lead);
    std::memcpy(p, &shifted, 8);
    p += 8 - lead;
    w = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(both, both)));
  } else
#endif
  {
    p = decimal::put_u64(p, integer);
    w = decimal::eight_digits(static_cast<uint32_t>(fraction));
  }
  *p++ = '.';
  std::memcpy(p, &w, 8);
  return p + (fraction == 0 ? 1 : 8 - std::countl_zero(w ^ 0x3030303030303030ULL) / 8);
}

}  // namespace

namespace {

// put_shortest_f64, trying the short path first when short_run is set (only where its layout is the plain
// decimal: min_k <= -3 and max_k >= 15); short_run then tells whether d was a short decimal.
inline char* put_f64_text(char* p, double d, int min_k, int max_k, bool& short_run) {
  *p = '-';
  p += std::signbit(d);
  if (d == 0) {
    std::memcpy(p, "0.0", 3);
    return p + 3;
  }
  uint64_t m;
  int places;
  if (short_run) {
    if (std::fabs(d) >= 1e-4 && short_decimal(d, m, places)) return put_short_decimal(p, d, m, places);
    short_run = false;
  }
  const ShortestDecimal dec = shortest_decimal_with_zeros(d);
  return put_decimal(p, dec.digits, dec.exponent, min_k, max_k, short_run);
}

}  // namespace

char* put_shortest_f64(char* p, double d, int min_k, int max_k) {
  // Short decimals in [1e-4, 1e15) are written straight from m and places (the general layout gives the same
  // text).
  bool try_short = min_k <= -3 && max_k >= 15;
  return put_f64_text(p, d, min_k, max_k, try_short);
}

char* put_json_f64_in_run(char* p, double d, bool& short_run) { return put_f64_text(p, d, -4, 16, short_run); }

void append_shortest_f64(std::string& out, double d, int min_k, int max_k) {
  char buf[40];
  out.append(buf, put_shortest_f64(buf, d, min_k, max_k));
}

void append_debug_f64(std::string& out, double d) {
  if (std::isnan(d)) {
    out.append("NaN");
    return;
  }
  if (std::isinf(d)) {
    out.append(d < 0 ? "-inf" : "inf");
    return;
  }
  // Decimal for 0 and 1e-4 <= |d| < 1e16, i.e. -3 <= k <= 16.
  append_shortest_f64(out, d, -3, 16);
}

void append_debug_bytes(std::string& out, std::span<const uint8_t> bytes) {
  out.reserve(out.size() + bytes.size() + 3);
  out.append("b\"");
  for (uint8_t c : bytes) {
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case 0: out.append("\\0"); break;
      case '\t': out.append("\\t"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out.push_back(static_cast<char>(c));
        } else {
          char h[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
          out.append(h, 4);
        }
    }
  }
  out.push_back('"');
}

}  // namespace veltrac
