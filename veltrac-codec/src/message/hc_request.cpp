#include "message/hc_request.hpp"

#include "message/hc_params.hpp"
#include "util/stream_string.hpp"

namespace veltrac {

namespace {

inline size_t string_size(const std::string& s) { return string_prefix_width(s.size()) + s.size(); }

// Reads a length-prefixed string into `dst`.
inline Result<void> read_into(ByteReader& r, std::string& dst) {
  auto s = read_stream_string(r);
  if (!s) return fail(std::move(s.error()));
  dst.assign(*s);
  return {};
}

Result<void> read_header(ByteReader& r, Header& h) {
  if (auto ok = read_into(r, h.name); !ok) return ok;
  return read_into(r, h.value);
}

VeltracError too_many(size_t count) {
  return VeltracError::with_two_texts(ErrorKind::MsgToBinary, "request header count " + std::to_string(count),
                                      "at most " + std::to_string(HcyReqBody::kMaxHeaders));
}

}  // namespace

size_t Header::encoded_size() const { return string_size(name) + string_size(value); }

size_t Header::to_bytes(ByteBuffer& out) const {
  size_t n = string_to_stream(out, name);
  return n + string_to_stream(out, value);
}

Result<Decoded<Header>> Header::from_bytes(Bytes in) {
  ByteReader r(in);
  Header h;
  if (auto ok = read_header(r, h); !ok) return fail(std::move(ok.error()));
  return Decoded<Header>{std::move(h), r.position()};
}

size_t HcyReqBody::encoded_size_hint() const {
  size_t n = 1 + string_size(entity_name) + 1 + string_size(characteristic_name) + 1 + 1;
  for (const Header& h : headers) n += h.encoded_size();
  return n;
}

Result<size_t> HcyReqBody::to_bytes(ByteBuffer& out) const {
  if (headers.size() > kMaxHeaders) return fail(too_many(headers.size()));
  size_t start = out.size();
  out.reserve_more(encoded_size_hint());
  out.put_u8(code_of(entity_type));
  string_to_stream(out, entity_name);
  out.put_u8(characteristic_type);
  string_to_stream(out, characteristic_name);
  out.put_u8(static_cast<uint8_t>(headers.size()));
  for (const Header& h : headers) h.to_bytes(out);
  auto p = message_detail::write_params(out, params);
  if (!p) return fail(std::move(p.error()));
  return out.size() - start;
}

Result<Decoded<HcyReqBody>> HcyReqBody::from_bytes(Bytes in) {
  ByteReader r(in);
  HcyReqBody b;

  auto et = r.u8();
  if (!et) return fail(std::move(et.error()));
  auto type = entity_type_from_repr(*et);
  if (!type) return fail(VeltracError::with_code(ErrorKind::InvalidEntityType, *et));
  b.entity_type = *type;

  if (auto ok = read_into(r, b.entity_name); !ok) return fail(std::move(ok.error()));

  auto ct = r.u8();
  if (!ct) return fail(std::move(ct.error()));
  if (*ct == 0 || *ct > 3) return fail(VeltracError::with_code(ErrorKind::InvalidCharacteristicType, *ct));
  b.characteristic_type = *ct;

  if (auto ok = read_into(r, b.characteristic_name); !ok) return fail(std::move(ok.error()));

  auto count = r.u8();
  if (!count) return fail(std::move(count.error()));
  b.headers.resize(*count);
  for (Header& h : b.headers) {
    if (auto ok = read_header(r, h); !ok) return fail(std::move(ok.error()));
  }

  auto params = message_detail::read_params(r);
  if (!params) return fail(std::move(params.error()));
  b.params = std::move(*params);
  return Decoded<HcyReqBody>{std::move(b), r.position()};
}

}  // namespace veltrac
