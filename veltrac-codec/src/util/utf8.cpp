#include "util/utf8.hpp"

#include <charconv>
#include <cstring>

namespace veltrac::utf8 {

std::string Utf8Error::describe() const {
  char buf[24];
  std::string s;
  if (error_len) {
    s = "invalid utf-8 sequence of ";
    auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(*error_len));
    s.append(buf, r.ptr);
    s.append(" bytes from index ");
  } else {
    s = "incomplete utf-8 byte sequence from index ";
  }
  auto r = std::to_chars(buf, buf + sizeof buf, valid_up_to);
  s.append(buf, r.ptr);
  return s;
}

std::optional<Utf8Error> validate(const uint8_t* p, size_t len) {
  size_t i = 0;
  while (i < len) {
    // ASCII fast path, eight bytes at a time.
    while (i + 8 <= len) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= len) break;
    uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t start = i;
    size_t width;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return Utf8Error{start, 1};
    }
    // Check the continuation bytes; k counts the valid prefix.
    size_t k = 1;
    for (; k < width; ++k) {
      if (start + k >= len) return Utf8Error{start, std::nullopt};
      uint8_t c = p[start + k];
      uint8_t clo = (k == 1) ? lo : 0x80, chi = (k == 1) ? hi : 0xBF;
      if (c < clo || c > chi) return Utf8Error{start, static_cast<uint8_t>(k)};
    }
    i = start + width;
  }
  return std::nullopt;
}

}  // namespace veltrac::utf8
