#include "veltrac/response.hpp"

#include "message/hc_body_util.hpp"

namespace veltrac {

using namespace message_detail;

size_t HcyResBody::encoded_size_hint() const { return 2 + text_bytes(*this); }

Result<size_t> HcyResBody::to_bytes(ByteBuffer& out) const {
  auto texts = checked_text_bytes(*this);
  if (!texts) return fail(std::move(texts.error()));
  size_t fixed = 2 + *texts;
  RawWriter w(out, fixed);
  if (reason) {
    w.u8(1);
    w.str(*reason);
  } else {
    w.u8(0);
  }
  w.u8(params ? kTableMarker : kNoTableMarker);
  auto table = write_table(out, params);
  if (!table) return fail(std::move(table.error()));
  return fixed + *table;
}

Result<size_t> HcyResBody::read_from(Bytes in) {
  ByteReader r(in);
  auto marker = r.u8();
  if (!marker) return fail(std::move(marker.error()));
  if (*marker != 0) {
    if (auto ok = read_string(r, reason.emplace()); !ok) return fail(std::move(ok.error()));
  } else {
    reason.reset();
  }
  if (auto ok = read_params(r, params); !ok) return fail(std::move(ok.error()));
  return r.position();
}

Result<Decoded<HcyResBody>> HcyResBody::from_bytes(Bytes in) { return decode_in_place<HcyResBody>(in); }

}  // namespace veltrac
