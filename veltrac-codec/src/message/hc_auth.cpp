#include "veltrac/auth.hpp"

#include "message/hc_body_util.hpp"

namespace veltrac {

using namespace message_detail;

namespace {
constexpr uint8_t kAuthMarker = 1;
}

HcyAuthBody HcyAuthBody::from_appkey(std::string_view app_key) { return HcyAuthBody{"appKey", std::string(app_key)}; }

size_t HcyAuthBody::encoded_size() const { return 1 + text_bytes(*this); }

Result<size_t> HcyAuthBody::to_bytes(ByteBuffer& out) const {
  auto texts = checked_text_bytes(*this);
  if (!texts) return fail(std::move(texts.error()));
  size_t n = 1 + *texts;
  RawWriter w(out, n);
  w.u8(kAuthMarker);
  w.str(claim_name);
  w.str(claim_value);
  return n;
}

Result<size_t> HcyAuthBody::read_from(Bytes in) {
  if (in.empty() || in[0] != kAuthMarker) {
    return fail(VeltracError::plain(ErrorKind::UnexpectedAuthBody).found_at(in.data(), in.empty()));
  }
  ByteReader r(in);
  r.advance(1);
  if (auto ok = read_string(r, claim_name); !ok) return fail(std::move(ok.error()));
  if (auto ok = read_string(r, claim_value); !ok) return fail(std::move(ok.error()));
  return r.position();
}

Result<Decoded<HcyAuthBody>> HcyAuthBody::from_bytes(Bytes in) { return decode_in_place<HcyAuthBody>(in); }

}  // namespace veltrac
