#include "message/hc_response.hpp"

#include "message/hc_params.hpp"
#include "util/stream_string.hpp"

namespace veltrac {

size_t HcyResBody::encoded_size_hint() const {
  size_t n = 2;
  if (reason) n += string_prefix_width(reason->size()) + reason->size();
  return n;
}

Result<size_t> HcyResBody::to_bytes(ByteBuffer& out) const {
  size_t start = out.size();
  out.reserve_more(encoded_size_hint());
  if (reason) {
    out.put_u8(1);
    string_to_stream(out, *reason);
  } else {
    out.put_u8(0);
  }
  auto p = message_detail::write_params(out, params);
  if (!p) return fail(std::move(p.error()));
  return out.size() - start;
}

Result<Decoded<HcyResBody>> HcyResBody::from_bytes(Bytes in) {
  ByteReader r(in);
  HcyResBody b;
  auto marker = r.u8();
  if (!marker) return fail(std::move(marker.error()));
  if (*marker != 0) {
    auto s = read_stream_string(r);
    if (!s) return fail(std::move(s.error()));
    b.reason.emplace(*s);
  }
  auto params = message_detail::read_params(r);
  if (!params) return fail(std::move(params.error()));
  b.params = std::move(*params);
  return Decoded<HcyResBody>{std::move(b), r.position()};
}

}  // namespace veltrac
