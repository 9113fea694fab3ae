#include "message/hc_auth.hpp"

#include "util/stream_string.hpp"

namespace veltrac {

namespace {
constexpr uint8_t kAuthMarker = 1;
}

HcyAuthBody HcyAuthBody::from_appkey(std::string_view app_key) {
  return HcyAuthBody{"appKey", std::string(app_key)};
}

size_t HcyAuthBody::encoded_size() const {
  return 1 + string_prefix_width(claim_name.size()) + claim_name.size() + string_prefix_width(claim_value.size()) +
         claim_value.size();
}

size_t HcyAuthBody::to_bytes(ByteBuffer& out) const {
  out.reserve_more(encoded_size());
  out.put_u8(kAuthMarker);
  size_t n = 1 + string_to_stream(out, claim_name);
  return n + string_to_stream(out, claim_value);
}

Result<Decoded<HcyAuthBody>> HcyAuthBody::from_bytes(Bytes in) {
  if (in.empty() || in[0] != kAuthMarker) return fail(VeltracError::plain(ErrorKind::UnexpectedAuthBody));
  ByteReader r(in);
  r.advance(1);
  HcyAuthBody b;
  auto name = read_stream_string(r);
  if (!name) return fail(std::move(name.error()));
  b.claim_name.assign(*name);
  auto value = read_stream_string(r);
  if (!value) return fail(std::move(value.error()));
  b.claim_value.assign(*value);
  return Decoded<HcyAuthBody>{std::move(b), r.position()};
}

}  // namespace veltrac
