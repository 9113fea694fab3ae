// Helpers shared by the body codecs: the optional parameter table of request and response bodies (a marker
// byte, INFOTABLE when a table follows and NOTHING when not, then the table), and a writer for the
// fixed-size part of a body into space reserved in one step.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/families.hpp"
#include "util/stream_string.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac::message_detail {

inline constexpr uint8_t kTableMarker = code_of(BaseType::INFOTABLE);
inline constexpr uint8_t kNoTableMarker = code_of(BaseType::NOTHING);

// Size of a length-prefixed string.
inline size_t string_size(std::string_view s) { return size_string(s.size()); }

// The longest text a length prefix can carry.
inline constexpr size_t kMaxTextBytes = ::veltrac::detail::kMaxWireLength;

// Total size of the length-prefixed strings of a body (visited by its for_each_text).
template <class Body>
size_t text_bytes(const Body& b) {
  size_t bytes = 0;
  b.for_each_text([&](std::string_view s) { bytes += string_size(s); });
  return bytes;
}

// The same, refusing a text too long for its length prefix.
template <class Body>
Result<size_t> checked_text_bytes(const Body& b) {
  size_t bytes = 0, lengths = 0;
  b.for_each_text([&](std::string_view s) {
    bytes += string_size(s);
    lengths |= s.size();  // above kMaxTextBytes exactly when some length is
  });
  if (lengths <= kMaxTextBytes) return bytes;
  size_t too_long = 0;
  b.for_each_text([&](std::string_view s) {
    if (too_long == 0 && s.size() > kMaxTextBytes) too_long = s.size();
  });
  return fail(VeltracError::with_two_texts(ErrorKind::MsgToBinary, "text of " + std::to_string(too_long) + " bytes",
                                           "at most " + std::to_string(kMaxTextBytes)));
}

// Writes into space the caller has already appended to the buffer.
class RawWriter {
 public:
  // Appends n bytes to `out` and writes over them.
  RawWriter(ByteBuffer& out, size_t n) {
    size_t at = out.size();
    out.reserve_more(n);
    out.vector().resize(at + n);
    p_ = out.data() + at;
  }
  void u8(uint8_t v) { *p_++ = v; }
  void u16(uint16_t v) {
    be::store16(p_, v);
    p_ += 2;
  }
  void str(std::string_view s) { p_ = write_string(s, p_); }

 private:
  uint8_t* p_;
};

// Writes the table after its marker, which the caller has written; returns the table's size.
inline Result<size_t> write_table(ByteBuffer& out, const std::optional<InfoTable>& params) {
  if (!params) return 0;
  return params->to_bytes(out);
}

// Reads the marker and, after INFOTABLE, the table. Any other base type code means no table.
inline Result<void> read_params(ByteReader& r, std::optional<InfoTable>& params) {
  auto marker = r.u8();
  if (!marker) return fail(std::move(marker.error()));
  if (!base_type_from_repr(*marker)) return fail(VeltracError::invalid_base_type(*marker).found_at(r.here() - 1));
  if (*marker != kTableMarker) {
    params.reset();
    return {};
  }
  auto table = InfoTable::from_bytes(r.rest());
  if (!table) return fail(std::move(table.error()));
  r.advance(table->consumed);
  params.emplace(std::move(table->value));
  return {};
}

// Reads a length-prefixed string into `dst`.
inline Result<void> read_string(ByteReader& r, std::string& dst) {
  auto s = read_stream_string(r);
  if (!s) return fail(std::move(s.error()));
  dst.assign(*s);
  return {};
}

// Decodes a T with its read_from directly into the result, without moving the value.
template <class T>
Result<Decoded<T>> decode_in_place(Bytes in) {
  Result<Decoded<T>> out(std::in_place);
  auto n = out->value.read_from(in);
  if (n) {
    out->consumed = *n;
  } else {
    out = fail(std::move(n.error()));
  }
  return out;
}

}  // namespace veltrac::message_detail
