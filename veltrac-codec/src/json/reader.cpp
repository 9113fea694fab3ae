#include "veltrac/json/reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veltrac::json {

namespace {

inline bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

size_t detail::find_special(std::string_view text, size_t i) {
  const char* p = text.data() + i;
  const char* end = text.data() + text.size();
#if defined(__SSE2__)
  // 16 bytes at a time: c < 0x20 is (c ^ 0x80) < (0x20 ^ 0x80) as signed bytes.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i limit = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                               _mm_cmplt_epi8(_mm_xor_si128(v, flip), limit));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return static_cast<size_t>(p - text.data()) + std::countr_zero(mask);
    p += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      uint64_t q = w ^ (kOnes * '"');
      uint64_t b = w ^ (kOnes * '\\');
      uint64_t t = ((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w);
      t &= kHigh;
      if (t != 0) return static_cast<size_t>(p - text.data()) + std::countr_zero(t) / 8;
      p += 8;
    }
  }
  for (; p != end; ++p) {
    uint8_t c = static_cast<uint8_t>(*p);
    if (c == '"' || c == '\\' || c < 0x20) break;
  }
  return static_cast<size_t>(p - text.data());
}

namespace {

using detail::find_special;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void push_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

// True when a float literal that from_chars could not represent is too large (rather than too small):
// the decimal magnitude of its first non-zero digit is positive.
bool literal_overflows(std::string_view lit) {
  size_t i = 0;
  if (i < lit.size() && lit[i] == '-') ++i;
  long long mag = 0;  // position of the first non-zero digit relative to the point, 1 = units
  bool found = false;
  long long int_digits = 0;
  for (; i < lit.size() && is_digit(lit[i]); ++i, ++int_digits) {
    if (!found && lit[i] != '0') {
      found = true;
      mag = -int_digits;  // adjusted by the digit count below
    }
  }
  if (found) mag += int_digits;
  if (i < lit.size() && lit[i] == '.') {
    ++i;
    for (long long k = 1; i < lit.size() && is_digit(lit[i]); ++i, ++k) {
      if (!found && lit[i] != '0') {
        found = true;
        mag = 1 - k;
      }
    }
  }
  if (!found) return false;
  long long exp = 0;
  if (i < lit.size() && (lit[i] == 'e' || lit[i] == 'E')) {
    ++i;
    bool neg = false;
    if (lit[i] == '+' || lit[i] == '-') neg = lit[i++] == '-';
    for (; i < lit.size(); ++i) {
      if (exp < 1'000'000'000) exp = exp * 10 + (lit[i] - '0');
    }
    if (neg) exp = -exp;
  }
  return mag + exp > 0;
}

// A stack of open containers for skip_value: one bit each, 1 = object.
class FrameStack {
 public:
  bool empty() const { return n_ == 0; }
  void push(bool object) {
    size_t w = n_ / 64;
    if (w >= words_.size()) words_.push_back(0);
    if (object) {
      words_[w] |= uint64_t{1} << (n_ % 64);
    } else {
      words_[w] &= ~(uint64_t{1} << (n_ % 64));
    }
    ++n_;
  }
  bool top_is_object() const { return (words_[(n_ - 1) / 64] >> ((n_ - 1) % 64)) & 1u; }
  void pop() { --n_; }

 private:
  std::vector<uint64_t> words_;
  size_t n_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Positions and errors

std::pair<size_t, size_t> Reader::line_column(size_t index) const {
  // index = count of bytes up to and including the reported byte.
  size_t line = 1;
  size_t line_start = 0;
  const char* base = text_.data();
  const char* p = base;
  const char* end = base + index;
  while (p < end) {
    const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (nl == nullptr) break;
    ++line;
    p = static_cast<const char*>(nl) + 1;
    line_start = static_cast<size_t>(p - base);
  }
  return {line, index - line_start};
}

Error Reader::error_at_index(std::string_view message, size_t index) const {
  auto [line, column] = line_column(index);
  return VeltracError::json_at(message, line, column);
}

Error Reader::error_consumed(std::string_view message) const { return error_at_index(message, pos_); }

Error Reader::error_peeked(std::string_view message) const {
  return error_at_index(message, std::min(pos_ + 1, text_.size()));
}

Error Reader::fix_position(Error e) const {
  if (e.has_line()) return e;
  auto [line, column] = line_column(pos_);
  e.at_line(line, column);
  return e;
}

// ---------------------------------------------------------------------------------------------------
// Whitespace and peeking

void Reader::skip_ws_run() {
  while (pos_ < text_.size() && is_ws(text_[pos_])) ++pos_;
}

std::optional<char> Reader::peek_byte() {
  skip_ws();
  if (at_end()) return std::nullopt;
  return text_[pos_];
}

// ---------------------------------------------------------------------------------------------------
// Tokens

Expected<void> Reader::parse_ident(std::string_view rest) {
  for (char expected : rest) {
    if (at_end()) return fail(error_consumed(msg::kEofValue));
    char c = text_[pos_++];
    if (c != expected) return fail(error_consumed(msg::kExpectedIdent));
  }
  return {};
}

Expected<Number> Reader::scan_number(bool check_range) {
  const size_t start = pos_;
  bool neg = false;
  if (text_[pos_] == '-') {
    neg = true;
    ++pos_;
  }
  if (at_end()) return fail(error_consumed(msg::kEofValue));
  const size_t digits_start = pos_;
  char c = text_[pos_++];
  if (c == '0') {
    if (!at_end() && is_digit(text_[pos_])) return fail(error_peeked(msg::kInvalidNumber));
  } else if (c >= '1' && c <= '9') {
    while (!at_end() && is_digit(text_[pos_])) ++pos_;
  } else {
    return fail(error_consumed(msg::kInvalidNumber));
  }
  const size_t int_end = pos_;
  bool is_float = false;
  if (!at_end() && text_[pos_] == '.') {
    ++pos_;
    is_float = true;
    if (at_end()) return fail(error_peeked(msg::kEofValue));
    if (!is_digit(text_[pos_])) return fail(error_peeked(msg::kInvalidNumber));
    while (!at_end() && is_digit(text_[pos_])) ++pos_;
  }
  const size_t frac_end = pos_;
  if (!at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    is_float = true;
    if (!at_end() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (at_end()) return fail(error_consumed(msg::kEofValue));
    if (!is_digit(text_[pos_++])) return fail(error_consumed(msg::kInvalidNumber));
    while (!at_end() && is_digit(text_[pos_])) ++pos_;
  }
  Number n{Kind::F64};
  if (!check_range) return n;

  if (!is_float) {
    uint64_t sig = 0;
    bool overflow = false;
    for (size_t i = digits_start; i < int_end; ++i) {
      uint64_t d = static_cast<uint64_t>(text_[i] - '0');
      if (sig > (UINT64_MAX - d) / 10) {
        overflow = true;
        break;
      }
      sig = sig * 10 + d;
    }
    if (!overflow) {
      if (!neg) {
        n.kind = Kind::U64;
        n.u = sig;
      } else if (sig == 0) {
        n.f = -0.0;
      } else if (sig <= (uint64_t{1} << 63)) {
        n.kind = Kind::I64;
        n.i = static_cast<int64_t>(~sig + 1);
      } else {
        n.f = -static_cast<double>(sig);
      }
      return n;
    }
  }
  // Up to 15 digits without exponent: the digits and the power of ten are exact doubles, so one
  // division rounds correctly.
  if (frac_end == pos_ && frac_end > int_end && (frac_end - digits_start) <= 16) {
    const size_t frac_digits = frac_end - int_end - 1;
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    uint64_t sig = 0;
    for (size_t i = digits_start; i < int_end; ++i) sig = sig * 10 + static_cast<uint64_t>(text_[i] - '0');
    for (size_t i = int_end + 1; i < frac_end; ++i) sig = sig * 10 + static_cast<uint64_t>(text_[i] - '0');
    double d = static_cast<double>(sig) / kPow10[frac_digits];
    n.f = neg ? -d : d;
    return n;
  }
  std::string_view lit = text_.substr(start, pos_ - start);
  double d = 0.0;
  auto r = std::from_chars(lit.data(), lit.data() + lit.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    if (literal_overflows(lit)) return fail(error_consumed(msg::kNumberOutOfRange));
    d = neg ? -0.0 : 0.0;
  }
  n.f = d;
  return n;
}

Expected<uint16_t> Reader::hex_escape() {
  if (text_.size() - pos_ < 4) {
    pos_ = text_.size();
    return fail(error_consumed(msg::kEofString));
  }
  const char* p = text_.data() + pos_;
  pos_ += 4;
  int a = hex_value(p[0]), b = hex_value(p[1]), c = hex_value(p[2]), d = hex_value(p[3]);
  if ((a | b | c | d) < 0) return fail(error_consumed(msg::kInvalidEscape));
  return static_cast<uint16_t>((a << 12) | (b << 8) | (c << 4) | d);
}

Expected<void> Reader::scan_escape(bool validate, bool want) {
  if (at_end()) return fail(error_consumed(msg::kEofString));
  char ch = text_[pos_++];
  char out;
  switch (ch) {
    case '"': out = '"'; break;
    case '\\': out = '\\'; break;
    case '/': out = '/'; break;
    case 'b': out = '\b'; break;
    case 'f': out = '\f'; break;
    case 'n': out = '\n'; break;
    case 'r': out = '\r'; break;
    case 't': out = '\t'; break;
    case 'u': {
      auto n = hex_escape();
      if (!n) return fail(std::move(n.error()));
      if (!validate) {
        if (want) push_utf8(scratch_, *n);  // not reached by callers: unvalidated strings are not produced
        return {};
      }
      uint32_t cp = *n;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(error_consumed(msg::kLoneLeadingSurrogate));
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (at_end()) return fail(error_consumed(msg::kEofString));
        if (text_[pos_++] != '\\') return fail(error_consumed(msg::kUnexpectedEndOfHexEscape));
        if (at_end()) return fail(error_consumed(msg::kEofString));
        if (text_[pos_++] != 'u') return fail(error_consumed(msg::kUnexpectedEndOfHexEscape));
        auto n2 = hex_escape();
        if (!n2) return fail(std::move(n2.error()));
        if (*n2 < 0xDC00 || *n2 > 0xDFFF) return fail(error_consumed(msg::kLoneLeadingSurrogate));
        cp = (((cp - 0xD800) << 10) | (*n2 - 0xDC00u)) + 0x10000;
      }
      if (want) push_utf8(scratch_, cp);
      return {};
    }
    default: return fail(error_consumed(msg::kInvalidEscape));
  }
  if (want) scratch_.push_back(out);
  return {};
}

Expected<std::string_view> Reader::scan_string(bool validate, bool want) {
  const size_t start = pos_;
  size_t run = pos_;
  bool escaped = false;
  for (;;) {
    pos_ = find_special(text_, pos_);
    if (at_end()) return fail(error_consumed(msg::kEofString));
    char c = text_[pos_];
    if (c == '"') {
      ++pos_;
      if (!escaped) return text_.substr(start, pos_ - 1 - start);
      if (want) scratch_.append(text_.data() + run, pos_ - 1 - run);
      return std::string_view(scratch_);
    }
    if (c == '\\') {
      if (want) {
        if (!escaped) scratch_.clear();
        scratch_.append(text_.data() + run, pos_ - run);
      }
      escaped = true;
      ++pos_;
      if (auto ok = scan_escape(validate, want); !ok) return fail(std::move(ok.error()));
      run = pos_;
      continue;
    }
    ++pos_;
    return fail(error_consumed(msg::kControlChar));
  }
}

// ---------------------------------------------------------------------------------------------------
// Typed reads

Error Reader::invalid_type(std::string_view expected) {
  skip_ws();
  if (at_end()) return error_peeked(msg::kEofValue);
  std::string found;
  switch (text_[pos_]) {
    case 'n':
      ++pos_;
      if (auto ok = parse_ident("ull"); !ok) return std::move(ok.error());
      found = kFoundNull;
      break;
    case 't':
      ++pos_;
      if (auto ok = parse_ident("rue"); !ok) return std::move(ok.error());
      found = found_bool(true);
      break;
    case 'f':
      ++pos_;
      if (auto ok = parse_ident("alse"); !ok) return std::move(ok.error());
      found = found_bool(false);
      break;
    case '"': {
      ++pos_;
      auto s = scan_string(true, true);
      if (!s) return std::move(s.error());
      found = found_str(*s);
      break;
    }
    case '[': found = kFoundSequence; break;
    case '{': found = kFoundMap; break;
    default: {
      char c = text_[pos_];
      if (c != '-' && !is_digit(c)) return error_peeked(msg::kExpectedValue);
      auto n = scan_number(true);
      if (!n) return std::move(n.error());
      found = n->kind == Kind::U64 ? found_u64(n->u) : n->kind == Kind::I64 ? found_i64(n->i) : found_f64(n->f);
      break;
    }
  }
  return fix_position(json::invalid_type(found, expected));
}

Expected<std::string_view> Reader::read_str_slow(std::string_view expected) {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofValue));
  if (text_[pos_] != '"') return fail(invalid_type(expected));
  ++pos_;
  return scan_string(true, true);
}

Expected<std::string> Reader::read_string(std::string_view expected) {
  auto s = read_str(expected);
  if (!s) return fail(std::move(s.error()));
  return std::string(*s);
}

Expected<bool> Reader::read_bool_slow(std::string_view expected) {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofValue));
  char c = text_[pos_];
  if (c == 't' || c == 'f') {
    ++pos_;
    if (auto ok = parse_ident(c == 't' ? "rue" : "alse"); !ok) return fail(std::move(ok.error()));
    return c == 't';
  }
  return fail(invalid_type(expected));
}

Expected<Number> Reader::read_number(std::string_view expected) {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofValue));
  char c = text_[pos_];
  if (c == '-' || is_digit(c)) return scan_number(true);
  return fail(invalid_type(expected));
}

Expected<double> Reader::read_f64(std::string_view expected) {
  auto n = read_number(expected);
  if (!n) return fail(std::move(n.error()));
  return n->to_f64();
}

Expected<uint8_t> Reader::read_u8(std::string_view expected) {
  auto n = read_number(expected);
  if (!n) return fail(std::move(n.error()));
  switch (n->kind) {
    case Kind::U64:
      if (n->u <= 255) return static_cast<uint8_t>(n->u);
      return fail(fix_position(invalid_value(found_u64(n->u), expected)));
    case Kind::I64: return fail(fix_position(invalid_value(found_i64(n->i), expected)));
    default: return fail(fix_position(json::invalid_type(found_f64(n->f), expected)));
  }
}

Expected<void> Reader::read_unit(std::string_view expected) {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofValue));
  if (text_[pos_] == 'n') {
    ++pos_;
    return parse_ident("ull");
  }
  return fail(invalid_type(expected));
}

Expected<bool> Reader::try_null() {
  skip_ws();
  if (at_end() || text_[pos_] != 'n') return false;
  ++pos_;
  if (auto ok = parse_ident("ull"); !ok) return fail(std::move(ok.error()));
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Whole values

Expected<Value> Reader::read_value() {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofValue));
  char c = text_[pos_];
  switch (c) {
    case 'n':
      ++pos_;
      if (auto ok = parse_ident("ull"); !ok) return fail(std::move(ok.error()));
      return Value();
    case 't':
    case 'f':
      ++pos_;
      if (auto ok = parse_ident(c == 't' ? "rue" : "alse"); !ok) return fail(std::move(ok.error()));
      return Value(c == 't');
    case '"': {
      ++pos_;
      auto s = scan_string(true, true);
      if (!s) return fail(std::move(s.error()));
      return Value(std::string(*s));
    }
    case '[': {
      if (auto ok = begin_array(); !ok) return fail(std::move(ok.error()));
      const size_t base = value_stack_.size();
      for (;;) {
        auto more = next_element();
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        auto v = read_value();
        if (!v) return v;
        value_stack_.push_back(std::move(*v));
      }
      if (auto ok = end_array(); !ok) return fail(std::move(ok.error()));
      Array a(std::make_move_iterator(value_stack_.begin() + base), std::make_move_iterator(value_stack_.end()));
      value_stack_.resize(base);
      return Value(std::move(a));
    }
    case '{': {
      if (auto ok = begin_object(); !ok) return fail(std::move(ok.error()));
      const size_t base = member_stack_.size();
      for (;;) {
        std::string_view key;
        auto more = next_key(key);
        if (!more) return fail(std::move(more.error()));
        if (!*more) break;
        std::string k(key);
        if (auto ok = expect_colon(); !ok) return fail(std::move(ok.error()));
        auto v = read_value();
        if (!v) return v;
        member_stack_.emplace_back(std::move(k), std::move(*v));
      }
      if (auto ok = end_object(); !ok) return fail(std::move(ok.error()));
      std::vector<Member> members(std::make_move_iterator(member_stack_.begin() + base),
                                  std::make_move_iterator(member_stack_.end()));
      member_stack_.resize(base);
      return Value(Object(std::move(members)));
    }
    default: {
      if (c != '-' && !is_digit(c)) return fail(error_peeked(msg::kExpectedValue));
      auto n = scan_number(true);
      if (!n) return fail(std::move(n.error()));
      switch (n->kind) {
        case Kind::U64: return Value(n->u);
        case Kind::I64: return Value(n->i);
        default: return Value(n->f);
      }
    }
  }
}

Expected<void> Reader::skip_value() {
  FrameStack stack;
  // Reads a key (after `{` or `,`: `"` must come next) and its `:`.
  auto key_and_colon = [&]() -> Expected<void> {
    if (at_end()) return fail(error_peeked(msg::kEofObject));
    if (text_[pos_] != '"') return fail(error_peeked(msg::kKeyMustBeString));
    ++pos_;
    if (auto s = scan_string(false, false); !s) return fail(std::move(s.error()));
    skip_ws();
    if (at_end()) return fail(error_peeked(msg::kEofObject));
    if (text_[pos_] != ':') return fail(error_peeked(msg::kExpectedColon));
    ++pos_;
    return {};
  };
  for (;;) {
    // One value, or the opening of a container.
    skip_ws();
    if (at_end()) return fail(error_peeked(msg::kEofValue));
    char c = text_[pos_];
    bool closed_value = true;
    switch (c) {
      case 'n':
      case 't':
      case 'f':
        ++pos_;
        if (auto ok = parse_ident(c == 'n' ? "ull" : c == 't' ? "rue" : "alse"); !ok) return ok;
        break;
      case '"':
        ++pos_;
        if (auto s = scan_string(false, false); !s) return fail(std::move(s.error()));
        break;
      case '[':
      case '{': {
        ++pos_;
        bool object = c == '{';
        stack.push(object);
        skip_ws();
        if (at_end()) return fail(error_peeked(object ? msg::kEofObject : msg::kEofList));
        if (text_[pos_] == (object ? '}' : ']')) {
          ++pos_;
          stack.pop();
          break;
        }
        if (object) {
          if (auto ok = key_and_colon(); !ok) return ok;
        }
        closed_value = false;
        break;
      }
      default:
        if (c != '-' && !is_digit(c)) return fail(error_peeked(msg::kExpectedValue));
        if (auto n = scan_number(false); !n) return fail(std::move(n.error()));
        break;
    }
    if (!closed_value) continue;
    // After a complete value: close containers or move to the next element / member.
    for (;;) {
      if (stack.empty()) return {};
      skip_ws();
      bool object = stack.top_is_object();
      if (at_end()) return fail(error_peeked(object ? msg::kEofObject : msg::kEofList));
      char d = text_[pos_];
      if (d == (object ? '}' : ']')) {
        ++pos_;
        stack.pop();
        continue;
      }
      if (d != ',') return fail(error_peeked(object ? msg::kExpectedObjectCommaOrEnd : msg::kExpectedListCommaOrEnd));
      ++pos_;
      skip_ws();
      if (at_end()) return fail(error_peeked(msg::kEofValue));
      if (text_[pos_] == (object ? '}' : ']')) return fail(error_peeked(msg::kTrailingComma));
      if (object) {
        if (auto ok = key_and_colon(); !ok) return ok;
      }
      break;
    }
  }
}

Expected<void> Reader::end() {
  skip_ws();
  if (!at_end()) return fail(error_peeked(msg::kTrailingCharacters));
  return {};
}

// ---------------------------------------------------------------------------------------------------
// Containers

Expected<bool> Reader::next_key_slow(std::string_view& key) {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofObject));
  char c = text_[pos_];
  if (c == '}') return false;
  if (first_) {
    first_ = false;
  } else if (c == ',') {
    ++pos_;
    skip_ws();
    if (at_end()) return fail(error_peeked(msg::kEofValue));
    c = text_[pos_];
  } else {
    return fail(error_peeked(msg::kExpectedObjectCommaOrEnd));
  }
  if (c == '"') {
    ++pos_;
    auto s = scan_string(true, true);
    if (!s) return fail(std::move(s.error()));
    key = *s;
    return true;
  }
  if (c == '}') return fail(error_peeked(msg::kTrailingComma));
  return fail(error_peeked(msg::kKeyMustBeString));
}

Expected<void> Reader::expect_colon_slow() {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofObject));
  if (text_[pos_] != ':') return fail(error_peeked(msg::kExpectedColon));
  ++pos_;
  return {};
}

Expected<void> Reader::end_object_slow() {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofObject));
  char c = text_[pos_];
  if (c == '}') {
    ++pos_;
    leave();
    return {};
  }
  return fail(error_peeked(c == ',' ? msg::kTrailingComma : msg::kTrailingCharacters));
}

Error Reader::close_object_after(Error e) {
  if (e.has_line()) return e;
  skip_ws();
  if (!at_end() && text_[pos_] == '}') ++pos_;
  leave();
  return fix_position(std::move(e));
}

Expected<bool> Reader::next_element() {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofList));
  char c = text_[pos_];
  if (c == ']') return false;
  if (first_) {
    first_ = false;
    return true;
  }
  if (c != ',') return fail(error_peeked(msg::kExpectedListCommaOrEnd));
  ++pos_;
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofValue));
  if (text_[pos_] == ']') return fail(error_peeked(msg::kTrailingComma));
  return true;
}

Expected<void> Reader::end_array() {
  skip_ws();
  if (at_end()) return fail(error_peeked(msg::kEofList));
  char c = text_[pos_];
  if (c == ']') {
    ++pos_;
    leave();
    return {};
  }
  if (c == ',') {
    ++pos_;
    skip_ws();
    if (!at_end() && text_[pos_] == ']') return fail(error_peeked(msg::kTrailingComma));
  }
  return fail(error_peeked(msg::kTrailingCharacters));
}

Error Reader::close_array_after(Error e) {
  if (e.has_line()) return e;
  skip_ws();
  if (!at_end()) {
    if (text_[pos_] == ']') {
      ++pos_;
    } else if (text_[pos_] == ',') {
      ++pos_;
      skip_ws();
    }
  }
  leave();
  return fix_position(std::move(e));
}

Expected<Value> parse(std::string_view text) {
  Reader r(text);
  auto v = r.read_value();
  if (!v) return v;
  if (auto ok = r.end(); !ok) return fail(std::move(ok.error()));
  return v;
}

}  // namespace veltrac::json
