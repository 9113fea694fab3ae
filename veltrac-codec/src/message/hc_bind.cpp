#include "veltrac/bind.hpp"

#include <algorithm>

#include "message/hc_body_util.hpp"

namespace veltrac {

using namespace message_detail;

namespace {
// Pair marker and name count.
constexpr size_t kFixedBytes = 3;
}  // namespace

size_t HcyBindBody::encoded_size() const { return kFixedBytes + text_bytes(*this); }

Result<void> HcyBindBody::check_counts() const {
  if (names.size() > kMaxNames) {
    return fail(VeltracError::with_two_texts(ErrorKind::MsgToBinary, "bind name count " + std::to_string(names.size()),
                                             "at most " + std::to_string(kMaxNames)));
  }
  return {};
}

Result<size_t> HcyBindBody::to_bytes(ByteBuffer& out) const {
  if (auto ok = check_counts(); !ok) return fail(std::move(ok.error()));
  auto texts = checked_text_bytes(*this);
  if (!texts) return fail(std::move(texts.error()));
  size_t n = kFixedBytes + *texts;
  RawWriter w(out, n);
  if (binder_name && binder_type) {
    w.u8(1);
    w.str(*binder_name);
    w.str(*binder_type);
  } else {
    w.u8(0);
  }
  w.u16(static_cast<uint16_t>(names.size()));
  for (const std::string& s : names) w.str(s);
  return n;
}

Result<size_t> HcyBindBody::read_from(Bytes in) {
  ByteReader r(in);
  auto marker = r.u8();
  if (!marker) return fail(std::move(marker.error()));
  if (*marker != 0) {
    if (auto ok = read_string(r, binder_name.emplace()); !ok) return fail(std::move(ok.error()));
    if (auto ok = read_string(r, binder_type.emplace()); !ok) return fail(std::move(ok.error()));
  } else {
    binder_name.reset();
    binder_type.reset();
  }
  auto count = r.u16();
  if (!count) return fail(std::move(count.error()));
  names.clear();
  // Each name takes at least its one-byte length: the input bounds the room.
  names.reserve(std::min<size_t>(*count, r.remaining()));
  for (size_t i = 0; i < *count; ++i) {
    auto s = read_stream_string(r);
    if (!s) return fail(std::move(s.error()));
    names.emplace_back(*s);
  }
  return r.position();
}

Result<Decoded<HcyBindBody>> HcyBindBody::from_bytes(Bytes in) { return decode_in_place<HcyBindBody>(in); }

}  // namespace veltrac
