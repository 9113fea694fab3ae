#include "message/hc_header.hpp"

#include <charconv>

namespace veltrac {

size_t HcyMsgHeader::to_bytes(ByteBuffer& out) const {
  uint8_t b[kSize];
  b[0] = version;
  b[1] = code_of(code);
  be::store32(b + 2, request_id);
  be::store32(b + 6, endpoint);
  be::store32(b + 10, session_id);
  b[14] = multipart ? 1 : 0;
  out.put_bytes(b, kSize);
  return kSize;
}

HcyMsgHeader HcyMsgHeader::read(const uint8_t* p) {
  HcyMsgHeader h;
  h.version = p[0];
  h.code = static_cast<msgCodeEnum>(p[1]);
  h.request_id = be::load32(p + 2);
  h.endpoint = be::load32(p + 6);
  h.session_id = be::load32(p + 10);
  h.multipart = p[14] != 0;
  return h;
}

namespace {
void append_uint(std::string& out, uint32_t v) {
  char buf[10];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}
}  // namespace

void HcyMsgHeader::append_text(std::string& out) const {
  out.append("V:");
  append_uint(out, version);
  out.append(",C:");
  out.append(name_of(code));
  out.append(",R:");
  append_uint(out, request_id);
  out.append(",E:");
  append_uint(out, endpoint);
  out.append(",S:");
  append_uint(out, session_id);
  out.append(multipart ? ",M:true" : ",M:false");
}

std::string HcyMsgHeader::to_string() const {
  std::string s;
  s.reserve(96);
  append_text(s);
  return s;
}

}  // namespace veltrac
