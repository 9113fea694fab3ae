#include "json/write.hpp"

#include "util/decimal.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/debug_text.hpp"
#include "util/utf8.hpp"

namespace veltrac::json {

namespace {

// 0: written as it is; otherwise the escape letter ('u' for \u00XX).
constexpr auto kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

constexpr char kHex[] = "0123456789abcdef";

void write_value(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Kind::Null: write_null(out); break;
    case Kind::Bool: write_bool(out, v.bool_unchecked()); break;
    case Kind::U64: write_u64(out, v.u64_unchecked()); break;
    case Kind::I64: write_i64(out, v.i64_unchecked()); break;
    case Kind::F64: write_f64(out, v.f64_unchecked()); break;
    case Kind::String: write_string(out, *v.as_string()); break;
    case Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Value& e : *v.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_value(out, e);
      }
      out.push_back(']');
      break;
    }
    case Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [k, e] : *v.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(out, k);
        out.push_back(':');
        write_value(out, e);
      }
      out.push_back('}');
      break;
    }
  }
}

void debug_value(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Kind::Null: out.append("Null"); break;
    case Kind::Bool: out.append(v.bool_unchecked() ? "Bool(true)" : "Bool(false)"); break;
    case Kind::U64:
    case Kind::I64:
    case Kind::F64:
      out.append("Number(");
      write_value(out, v);
      out.push_back(')');
      break;
    case Kind::String:
      out.append("String(");
      append_debug_str(out, *v.as_string());
      out.push_back(')');
      break;
    case Kind::Array: {
      out.append("Array [");
      bool first = true;
      for (const Value& e : *v.as_array()) {
        if (!first) out.append(", ");
        first = false;
        debug_value(out, e);
      }
      out.push_back(']');
      break;
    }
    case Kind::Object: {
      out.append("Object {");
      bool first = true;
      for (const auto& [k, e] : *v.as_object()) {
        if (!first) out.append(", ");
        first = false;
        append_debug_str(out, k);
        out.append(": ");
        debug_value(out, e);
      }
      out.push_back('}');
      break;
    }
  }
}

}  // namespace

void write(std::string& out, const Value& v) { write_value(out, v); }

std::string to_text(const Value& v) {
  std::string out;
  out.reserve(64);
  write_value(out, v);
  return out;
}

namespace {
// True when a byte of the word (8 or 4 bytes) is below 0x20, '"' or '\\' (bytes of 0x80 and above are
// never flagged).
template <class Word>
inline bool word_needs_escape(Word w) {
  constexpr Word ones = static_cast<Word>(0x0101010101010101ULL), high = static_cast<Word>(0x8080808080808080ULL);
  Word quote = w ^ (ones * '"'), backslash = w ^ (ones * '\\');
  Word control = (w - ones * 0x20) & ~w;
  Word zero_q = (quote - ones) & ~quote;
  Word zero_b = (backslash - ones) & ~backslash;
  return ((control | zero_q | zero_b) & high) != 0;
}
#if defined(__SSE2__)
// 16 bytes: any `"`, `\` or byte below 0x20 (c < 0x20 is (c ^ 0x80) < 0xA0 as signed bytes).
inline bool block_needs_escape(__m128i v) {
  __m128i hit =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                   _mm_cmplt_epi8(_mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80))),
                                  _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80))));
  return _mm_movemask_epi8(hit) != 0;
}
#endif
}  // namespace

// put_string; with kTrack, `ascii` is also cleared when s has a byte of 0x80 or above (the fast paths OR the
// words they copy; a text with escapes is checked apart).
template <bool kTrack>
char* put_string_impl(char* p, std::string_view s, bool& ascii) {
  *p++ = '"';
  const char* src = s.data();
  const size_t n = s.size();
  size_t i = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    // Whole blocks while none needs an escape; the last block overlaps the one before it.
    __m128i seen = _mm_setzero_si128();
    for (;;) {
      size_t at = std::min(i, n - 16);
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
      if (block_needs_escape(v)) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + at), v);
      if constexpr (kTrack) seen = _mm_or_si128(seen, v);
      if (at == n - 16) {
        if constexpr (kTrack) ascii = ascii && _mm_movemask_epi8(seen) == 0;
        p[n] = '"';
        return p + n + 1;
      }
      i += 16;
    }
    // i is the block that needs an escape; p is still the start of the text.
    p += i;
  } else if (n >= 8) {
#else
  if (n >= 8) {
#endif
    // Whole words while none needs an escape; the last word overlaps the one before it.
    uint64_t seen = 0;
    for (;;) {
      size_t at = std::min(i, n - 8);
      uint64_t w;
      std::memcpy(&w, src + at, 8);
      if (word_needs_escape(w)) break;
      std::memcpy(p + at, &w, 8);
      seen |= w;
      if (at == n - 8) {
        if constexpr (kTrack) ascii = ascii && (seen & 0x8080808080808080ULL) == 0;
        p[n] = '"';
        return p + n + 1;
      }
      i += 8;
    }
    // i is the word that needs an escape; p is still the start of the text.
    p += i;
  } else if (n >= 4) {
    // The first and the last four bytes (overlapping when n < 8).
    uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    if (!word_needs_escape(a) && !word_needs_escape(b)) {
      std::memcpy(p, &a, 4);
      std::memcpy(p + n - 4, &b, 4);
      if constexpr (kTrack) ascii = ascii && ((a | b) & 0x80808080U) == 0;
      p[n] = '"';
      return p + n + 1;
    }
  }
  while (i < n) {
    // Eight bytes at a time while none needs an escape, then byte by byte through the word that does.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, src + i, 8);
      if (word_needs_escape(w)) break;
      std::memcpy(p, &w, 8);
      p += 8;
      i += 8;
    }
    size_t stop = std::min(n, i + 8);
    for (; i < stop; ++i) {
      uint8_t c = static_cast<uint8_t>(src[i]);
      char e = kEscape[c];
      if (e == 0) {
        *p++ = static_cast<char>(c);
      } else if (e == 'u') {
        p[0] = '\\';
        p[1] = 'u';
        p[2] = '0';
        p[3] = '0';
        p[4] = kHex[c >> 4];
        p[5] = kHex[c & 0xF];
        p += 6;
      } else {
        p[0] = '\\';
        p[1] = e;
        p += 2;
      }
    }
  }
  if constexpr (kTrack) ascii = ascii && utf8::all_ascii(s);
  *p++ = '"';
  return p;
}

char* put_string(char* p, std::string_view s) {
  bool unused = true;
  return put_string_impl<false>(p, s, unused);
}

char* put_string(char* p, std::string_view s, bool& ascii) { return put_string_impl<true>(p, s, ascii); }

void write_string(std::string& out, std::string_view s) {
  const size_t at = out.size();
  const char* src = s.data();
  const size_t n = s.size();
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    if (block_needs_escape(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)))) break;
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, src + i, 8);
    if (word_needs_escape(w)) break;
  }
  while (i < n && kEscape[static_cast<uint8_t>(src[i])] == 0) ++i;
  if (i == n) {
    // Nothing to escape: the bytes between quotes.
    out.resize_and_overwrite(at + n + 2, [&](char* p, size_t) {
      p[at] = '"';
      if (n != 0) std::memcpy(p + at + 1, src, n);
      p[at + n + 1] = '"';
      return at + n + 2;
    });
    return;
  }
  out.resize_and_overwrite(at + string_room(n),
                           [&](char* p, size_t) { return static_cast<size_t>(put_string(p + at, s) - p); });
}

char* put_f64(char* p, double d) {
  if (!std::isfinite(d)) {
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  return put_shortest_f64(p, d, -4, 16);
}

void write_key(std::string& out, std::string_view key) {
  write_string(out, key);
  out.push_back(':');
}

void write_f64(std::string& out, double d) {
  if (!std::isfinite(d)) {
    write_null(out);
    return;
  }
  // Plain decimal for -5 < k <= 16 (|d| in [1e-5, 1e16)), scientific otherwise.
  char buf[kNumberRoom];
  out.append(buf, put_shortest_f64(buf, d, -4, 16));
}

void write_u64(std::string& out, uint64_t n) { decimal::append_u64(out, n); }

void write_i64(std::string& out, int64_t n) { decimal::append_i64(out, n); }

void write_bool(std::string& out, bool b) { out.append(b ? "true" : "false"); }

void append_debug_text(std::string& out, const Value& v) { debug_value(out, v); }

std::string debug_text(const Value& v) {
  std::string out;
  debug_value(out, v);
  return out;
}

}  // namespace veltrac::json
