#include "veltrac/request.hpp"

#include "message/hc_body_util.hpp"

namespace veltrac {

using namespace message_detail;

namespace {

Result<void> read_header(ByteReader& r, Header& h) {
  if (auto ok = read_string(r, h.name); !ok) return ok;
  return read_string(r, h.value);
}

}  // namespace

size_t Header::encoded_size() const { return text_bytes(*this); }

Result<size_t> Header::to_bytes(ByteBuffer& out) const {
  auto n = checked_text_bytes(*this);
  if (!n) return fail(std::move(n.error()));
  RawWriter w(out, *n);
  w.str(name);
  w.str(value);
  return *n;
}

Result<Decoded<Header>> Header::from_bytes(Bytes in) {
  ByteReader r(in);
  Header h;
  if (auto ok = read_header(r, h); !ok) return fail(std::move(ok.error()));
  return Decoded<Header>{std::move(h), r.position()};
}

namespace {
// Entity type, characteristic type, header count and parameter marker.
constexpr size_t kFixedBytes = 4;
}  // namespace

size_t HcyReqBody::encoded_size_hint() const { return kFixedBytes + text_bytes(*this); }

Result<void> HcyReqBody::check_counts() const {
  if (headers.size() > kMaxHeaders) {
    return fail(VeltracError::with_two_texts(ErrorKind::MsgToBinary,
                                             "request header count " + std::to_string(headers.size()),
                                             "at most " + std::to_string(kMaxHeaders)));
  }
  return {};
}

Result<size_t> HcyReqBody::to_bytes(ByteBuffer& out) const {
  if (auto ok = check_counts(); !ok) return fail(std::move(ok.error()));
  auto texts = checked_text_bytes(*this);
  if (!texts) return fail(std::move(texts.error()));
  size_t fixed = kFixedBytes + *texts;
  RawWriter w(out, fixed);
  w.u8(code_of(entity_type));
  w.str(entity_name);
  w.u8(characteristic_type);
  w.str(characteristic_name);
  w.u8(static_cast<uint8_t>(headers.size()));
  for (const Header& h : headers) {
    w.str(h.name);
    w.str(h.value);
  }
  w.u8(params ? kTableMarker : kNoTableMarker);
  auto table = write_table(out, params);
  if (!table) return fail(std::move(table.error()));
  return fixed + *table;
}

Result<size_t> HcyReqBody::read_from(Bytes in) {
  ByteReader r(in);

  auto et = r.u8();
  if (!et) return fail(std::move(et.error()));
  auto type = entity_type_from_repr(*et);
  if (!type) return fail(VeltracError::with_code(ErrorKind::InvalidEntityType, *et).found_at(r.here() - 1));
  entity_type = *type;

  if (auto ok = read_string(r, entity_name); !ok) return fail(std::move(ok.error()));

  auto ct = r.u8();
  if (!ct) return fail(std::move(ct.error()));
  if (*ct == 0 || *ct > 3)
    return fail(VeltracError::with_code(ErrorKind::InvalidCharacteristicType, *ct).found_at(r.here() - 1));
  characteristic_type = *ct;

  if (auto ok = read_string(r, characteristic_name); !ok) return fail(std::move(ok.error()));

  auto count = r.u8();
  if (!count) return fail(std::move(count.error()));
  headers.resize(*count);
  for (Header& h : headers) {
    if (auto ok = read_header(r, h); !ok) return fail(std::move(ok.error()));
  }

  if (auto ok = read_params(r, params); !ok) return fail(std::move(ok.error()));
  return r.position();
}

Result<Decoded<HcyReqBody>> HcyReqBody::from_bytes(Bytes in) { return decode_in_place<HcyReqBody>(in); }

}  // namespace veltrac
