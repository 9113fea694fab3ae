#include "message/hc_bind.hpp"

#include "util/stream_string.hpp"

namespace veltrac {

namespace {
inline size_t string_size(const std::string& s) { return string_prefix_width(s.size()) + s.size(); }
}  // namespace

size_t HcyBindBody::encoded_size() const {
  size_t n = 1 + 2;
  if (binder_name && binder_type) n += string_size(*binder_name) + string_size(*binder_type);
  for (const std::string& s : names) n += string_size(s);
  return n;
}

Result<size_t> HcyBindBody::to_bytes(ByteBuffer& out) const {
  if (names.size() > kMaxNames) {
    return fail(VeltracError::with_two_texts(ErrorKind::MsgToBinary, "bind name count " + std::to_string(names.size()),
                                             "at most " + std::to_string(kMaxNames)));
  }
  size_t start = out.size();
  out.reserve_more(encoded_size());
  if (binder_name && binder_type) {
    out.put_u8(1);
    string_to_stream(out, *binder_name);
    string_to_stream(out, *binder_type);
  } else {
    out.put_u8(0);
  }
  out.put_u16(static_cast<uint16_t>(names.size()));
  for (const std::string& s : names) string_to_stream(out, s);
  return out.size() - start;
}

Result<Decoded<HcyBindBody>> HcyBindBody::from_bytes(Bytes in) {
  ByteReader r(in);
  HcyBindBody b;
  auto marker = r.u8();
  if (!marker) return fail(std::move(marker.error()));
  if (*marker != 0) {
    auto name = read_stream_string(r);
    if (!name) return fail(std::move(name.error()));
    auto type = read_stream_string(r);
    if (!type) return fail(std::move(type.error()));
    b.binder_name.emplace(*name);
    b.binder_type.emplace(*type);
  }
  auto count = r.u16();
  if (!count) return fail(std::move(count.error()));
  b.names.reserve(*count);
  for (size_t i = 0; i < *count; ++i) {
    auto s = read_stream_string(r);
    if (!s) return fail(std::move(s.error()));
    b.names.emplace_back(*s);
  }
  return Decoded<HcyBindBody>{std::move(b), r.position()};
}

}  // namespace veltrac
