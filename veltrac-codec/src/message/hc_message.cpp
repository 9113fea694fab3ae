#include "veltrac/message.hpp"

#include <charconv>

#include "message/body_kind.hpp"
#include "message/hc_body_util.hpp"
#include "util/byte_list.hpp"

namespace veltrac {

namespace {

// Makes `m` the alternative M with the given header and reads its body.
template <class M>
Result<size_t> read_body(HcyMsg& m, const HcyMsgHeader& header, Bytes body) {
  // A body's read_from replaces every field, so an alternative already in place is reused.
  M& alt = std::holds_alternative<M>(m.msg) ? std::get<M>(m.msg) : m.msg.emplace<M>();
  alt.header = header;
  auto n = alt.body.read_from(body);
  if (!n) return fail(std::move(n.error()));
  return HcyMsgHeader::kSize + *n;
}

size_t body_size_hint(const HcyReqBody& b) { return b.encoded_size_hint(); }
size_t body_size_hint(const HcyResBody& b) { return b.encoded_size_hint(); }
size_t body_size_hint(const HcyBindBody& b) { return b.encoded_size(); }
size_t body_size_hint(const HcyAuthBody& b) { return b.encoded_size(); }

}  // namespace

std::string_view kind_name(MsgKind k) {
  switch (k) {
    case MsgKind::Request: return "Request";
    case MsgKind::Bind: return "Bind";
    case MsgKind::Auth: return "Auth";
    case MsgKind::Response: return "Response";
  }
  return {};
}

Result<size_t> HcyMsg::read_from(Bytes in) {
  if (in.size() < HcyMsgHeader::kSize) {
    return fail(VeltracError::with_text(ErrorKind::WrongMessageHeader, byte_list(in, ", ")).found_at(in.data(), true));
  }
  auto code = msg_code_from_repr(in[1]);
  if (!code) return fail(VeltracError::with_code(ErrorKind::InvalidCode, in[1]).found_at(in.data() + 1));
  if (in[14] != 0) return fail(VeltracError::plain(ErrorKind::MultipartFromBytes).found_at(in.data() + 14));
  HcyMsgHeader header = HcyMsgHeader::read(in.data());
  Bytes body = in.subspan(HcyMsgHeader::kSize);

  switch (message_detail::body_kind(*code).value_or(MsgKind{0xFF})) {
    case MsgKind::Request: return read_body<Request>(*this, header, body);
    case MsgKind::Bind: return read_body<Bind>(*this, header, body);
    case MsgKind::Auth: return read_body<Auth>(*this, header, body);
    case MsgKind::Response: return read_body<Response>(*this, header, body);
  }
  return fail(VeltracError::with_code(ErrorKind::UnimplementedCode, code_of(*code)).found_at(in.data() + 1));
}

Result<Decoded<HcyMsg>> HcyMsg::from_bytes(Bytes in) { return message_detail::decode_in_place<HcyMsg>(in); }

size_t HcyMsg::encoded_size_hint() const {
  return HcyMsgHeader::kSize + std::visit([](const auto& m) { return body_size_hint(m.body); }, msg);
}

Result<size_t> HcyMsg::to_bytes(ByteBuffer& out) const {
  const HcyMsgHeader& h = header();
  if (h.multipart) return fail(VeltracError::plain(ErrorKind::MultipartFromBytes));
  size_t start = out.size();
  out.reserve_more(encoded_size_hint());
  h.to_bytes(out);
  auto n = std::visit([&](const auto& m) -> Result<size_t> { return m.body.to_bytes(out); }, msg);
  if (!n) {
    out.truncate(start);
    return fail(std::move(n.error()));
  }
  return HcyMsgHeader::kSize + *n;
}

HcyMsg HcyMsg::build_auth_msg(uint32_t request_id, std::string_view app_key) {
  HcyMsgHeader h;
  h.version = 1;
  h.code = msgCodeEnum::HCY_AUTH;
  h.request_id = request_id;
  h.endpoint = 0;
  h.session_id = 0xFFFFFFFFu;
  h.multipart = false;
  return HcyMsg{Auth{h, HcyAuthBody::from_appkey(app_key)}};
}
namespace {

HcyMsgHeader built_header(msgCodeEnum code, MsgIds ids) {
  return HcyMsgHeader{.request_id = ids.request_id,
                      .endpoint = ids.endpoint,
                      .session_id = ids.session_id,
                      .version = 1,
                      .code = code,
                      .multipart = false};
}

template <class M, class Body>
Result<HcyMsg> build(msgCodeEnum code, MsgIds ids, Body body) {
  HcyMsg m{M{built_header(code, ids), std::move(body)}};
  if (auto ok = m.check(); !ok) return fail(std::move(ok.error()));
  return m;
}

}  // namespace

Result<HcyMsg> HcyMsg::build_request(msgCodeEnum code, MsgIds ids, HcyReqBody body) {
  return build<Request>(code, ids, std::move(body));
}

Result<HcyMsg> HcyMsg::build_response(msgCodeEnum code, MsgIds ids, HcyResBody body) {
  return build<Response>(code, ids, std::move(body));
}

Result<HcyMsg> HcyMsg::build_bind(msgCodeEnum code, MsgIds ids, HcyBindBody body) {
  return build<Bind>(code, ids, std::move(body));
}

namespace {

Result<void> check_body(const HcyReqBody& b) {
  if (!entity_type_from_repr(code_of(b.entity_type))) {
    return fail(VeltracError::with_code(ErrorKind::InvalidEntityType, code_of(b.entity_type)));
  }
  if (b.characteristic_type < 1 || b.characteristic_type > 3) {
    return fail(VeltracError::with_code(ErrorKind::InvalidCharacteristicType, b.characteristic_type));
  }
  // Only a message with too many header entries needs the call that builds the error.
  if (b.headers.size() <= HcyReqBody::kMaxHeaders) return {};
  return b.check_counts();
}
Result<void> check_body(const HcyBindBody& b) { return b.check_counts(); }
Result<void> check_body(const HcyAuthBody&) { return {}; }
Result<void> check_body(const HcyResBody&) { return {}; }

}  // namespace

Result<void> HcyMsg::check() const {
  const uint8_t code = code_of(header().code);
  if (message_detail::body_kind(code) != kind()) return fail(VeltracError::with_code(ErrorKind::InvalidCode, code));
  return std::visit([](const auto& m) { return check_body(m.body); }, msg);
}

std::string HcyMsg::short_desc() const {
  char head[HcyMsgHeader::kMaxTextSize];
  size_t head_len = header().write_text(head);
  std::string_view tail[4];
  switch (kind()) {
    case MsgKind::Request: {
      const HcyReqBody& b = std::get<Request>(msg).body;
      tail[0] = ",name:";
      tail[1] = b.entity_name;
      tail[2] = ",c_name:";
      tail[3] = b.characteristic_name;
      break;
    }
    case MsgKind::Auth: tail[0] = ",Auth!"; break;
    case MsgKind::Bind: tail[0] = ",Bind!"; break;
    case MsgKind::Response: tail[0] = std::get<Response>(msg).body.params ? ",Params:true" : ",Params:false"; break;
  }
  size_t size = head_len;
  for (std::string_view t : tail) size += t.size();
  std::string s;
  s.reserve(size);
  s.append(head, head_len);
  for (std::string_view t : tail) s.append(t);
  return s;
}

}  // namespace veltrac
