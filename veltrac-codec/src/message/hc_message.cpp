#include "message/hc_message.hpp"

#include <charconv>

namespace veltrac {

namespace {

// "[1, 20]": the bytes in decimal.
std::string byte_list(Bytes in) {
  std::string s;
  s.reserve(2 + in.size() * 5);
  s.push_back('[');
  for (size_t i = 0; i < in.size(); ++i) {
    if (i) s.append(", ");
    char buf[3];
    auto r = std::to_chars(buf, buf + sizeof buf, in[i]);
    s.append(buf, r.ptr);
  }
  s.push_back(']');
  return s;
}

template <class Msg, class BodyT>
Result<Decoded<HcyMsg>> decode_body(const HcyMsgHeader& header, Bytes body) {
  auto b = BodyT::from_bytes(body);
  if (!b) return fail(std::move(b.error()));
  return Decoded<HcyMsg>{HcyMsg{Msg{header, std::move(b->value)}}, HcyMsgHeader::kSize + b->consumed};
}

Result<size_t> body_to_bytes(const HcyReqBody& b, ByteBuffer& out) { return b.to_bytes(out); }
Result<size_t> body_to_bytes(const HcyResBody& b, ByteBuffer& out) { return b.to_bytes(out); }
Result<size_t> body_to_bytes(const HcyBindBody& b, ByteBuffer& out) { return b.to_bytes(out); }
Result<size_t> body_to_bytes(const HcyAuthBody& b, ByteBuffer& out) { return b.to_bytes(out); }

size_t body_size_hint(const HcyReqBody& b) { return b.encoded_size_hint(); }
size_t body_size_hint(const HcyResBody& b) { return b.encoded_size_hint(); }
size_t body_size_hint(const HcyBindBody& b) { return b.encoded_size(); }
size_t body_size_hint(const HcyAuthBody& b) { return b.encoded_size(); }

// Longest header text: V:255,C:HCY_WROTE_TO_OFFLINE_MSG_STORE,R:4294967295,E:4294967295,S:4294967295,M:false
constexpr size_t kMaxHeaderText = 90;

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

Result<Decoded<HcyMsg>> HcyMsg::from_bytes(Bytes in) {
  if (in.size() < HcyMsgHeader::kSize) {
    return fail(VeltracError::with_text(ErrorKind::WrongMessageHeader, byte_list(in)));
  }
  auto code = msg_code_from_repr(in[1]);
  if (!code) return fail(VeltracError::with_code(ErrorKind::InvalidCode, in[1]));
  if (in[14] != 0) return fail(VeltracError::plain(ErrorKind::MultipartFromBytes));
  HcyMsgHeader header = HcyMsgHeader::read(in.data());
  Bytes body = in.subspan(HcyMsgHeader::kSize);

  using enum msgCodeEnum;
  switch (*code) {
    case HCY_GET:
    case HCY_PUT:
    case HCY_POST:
    case HCY_DEL: return decode_body<Request, HcyReqBody>(header, body);
    case HCY_BIND:
    case HCY_UNBIND: return decode_body<Bind, HcyBindBody>(header, body);
    case HCY_AUTH: return decode_body<Auth, HcyAuthBody>(header, body);
    default: break;
  }
  if (code_of(*code) < 64) return fail(VeltracError::with_code(ErrorKind::UnimplementedCode, code_of(*code)));
  return decode_body<Response, HcyResBody>(header, body);
}

size_t HcyMsg::encoded_size_hint() const {
  return HcyMsgHeader::kSize + std::visit([](const auto& m) { return body_size_hint(m.body); }, msg);
}

Result<size_t> HcyMsg::to_bytes(ByteBuffer& out) const {
  const HcyMsgHeader& h = header();
  if (h.multipart) return fail(VeltracError::plain(ErrorKind::MultipartFromBytes));
  size_t start = out.size();
  out.reserve_more(encoded_size_hint());
  h.to_bytes(out);
  auto n = std::visit([&](const auto& m) { return body_to_bytes(m.body, out); }, msg);
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

std::string HcyMsg::short_desc() const {
  std::string s;
  const auto* req = std::get_if<Request>(&msg);
  s.reserve(kMaxHeaderText + 16 + (req ? req->body.entity_name.size() + req->body.characteristic_name.size() : 0));
  header().append_text(s);
  switch (kind()) {
    case MsgKind::Request:
      s.append(",name:");
      s.append(req->body.entity_name);
      s.append(",c_name:");
      s.append(req->body.characteristic_name);
      break;
    case MsgKind::Auth: s.append(",Auth!"); break;
    case MsgKind::Bind: s.append(",Bind!"); break;
    case MsgKind::Response:
      s.append(std::get<Response>(msg).body.params ? ",Params:true" : ",Params:false");
      break;
  }
  return s;
}

}  // namespace veltrac
