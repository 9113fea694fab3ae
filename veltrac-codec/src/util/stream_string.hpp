// Length-prefixed strings: one length byte below 128, otherwise four bytes big-endian with the top bit set.
#pragma once

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

// Appends the prefix and content; returns the count appended.
inline size_t string_to_stream(ByteBuffer& out, std::string_view s) {
  size_t n = s.size();
  if (n < 128) {
    out.reserve_more(1 + n);
    out.put_u8(static_cast<uint8_t>(n));
    out.put_bytes(s.data(), n);
    return 1 + n;
  }
  out.reserve_more(4 + n);
  out.put_u32(static_cast<uint32_t>(n) | 0x80000000u);
  out.put_bytes(s.data(), n);
  return 4 + n;
}

// Reads a length-prefixed string at the start of `in` and validates it as UTF-8 without copying.
// An empty input is the empty text with 0 consumed.
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
