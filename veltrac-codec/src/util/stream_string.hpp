// Length-prefixed strings: one length byte below 128, otherwise four bytes big-endian with the top bit set.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"

namespace veltrac {

// The 31-bit length carried by four bytes (the top bit of the first byte is ignored).
inline size_t bytes4_tousize(const uint8_t* p) {
  return (static_cast<size_t>(p[0] & 0x7F) << 24) | (static_cast<size_t>(p[1]) << 16) |
         (static_cast<size_t>(p[2]) << 8) | static_cast<size_t>(p[3]);
}

// Width of the length prefix for content of n bytes.
inline size_t string_prefix_width(size_t n) { return n < 128 ? 1 : 4; }
// Size of the prefix and content.
inline size_t size_string(size_t n) { return string_prefix_width(n) + n; }

// The four-byte length form (top bit set), also the length of a byte string.
inline uint8_t* put_wide_length(uint8_t* p, size_t n) {
  be::store32(p, static_cast<uint32_t>(n) | 0x80000000u);
  return p + 4;
}

// Writes the prefix and content at p (room for size_string(s.size()) bytes); returns the end.
inline uint8_t* write_string(std::string_view s, uint8_t* p) {
  const size_t n = s.size();
  if (n < 128) {
    *p++ = static_cast<uint8_t>(n);
  } else {
    p = put_wide_length(p, n);
  }
  if (n) std::memcpy(p, s.data(), n);
  return p + n;
}

// Appends the prefix and content; returns the count appended.
inline size_t string_to_stream(ByteBuffer& out, std::string_view s) {
  const size_t at = out.size(), n = size_string(s.size());
  out.reserve_more(n);
  out.truncate(at + n);
  write_string(s, out.data() + at);
  return n;
}

// While one is alive on this thread, a string due at the very end of its input is an incomplete-input
// error instead of the empty text: a stream reader uses it to wait for more bytes rather than accept a
// message cut where a string begins.
class WholeStrings {
 public:
  WholeStrings();
  ~WholeStrings();
  WholeStrings(const WholeStrings&) = delete;
  WholeStrings& operator=(const WholeStrings&) = delete;

 private:
  bool prev_;
};

// Reads a length-prefixed string at the start of `in` and validates it as UTF-8 without copying.
// An empty input is the empty text with 0 consumed (see WholeStrings).
Result<Decoded<std::string_view>> stream_to_string_view(Bytes in);

// Same, copying the text.
Result<Decoded<std::string>> stream_to_string(Bytes in);

// Reads a string at the reader's position and advances past it.
inline Result<std::string_view> read_stream_string(ByteReader& r) {
  auto d = stream_to_string_view(r.rest());
  if (!d) return fail(std::move(d.error()));
  r.advance(d->consumed);
  return d->value;
}

}  // namespace veltrac
