#include "veltrac/message_header.hpp"

#include <charconv>
#include <cstring>
#include <string_view>

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
char* put(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}
char* put_uint(char* p, uint32_t v) { return std::to_chars(p, p + 10, v).ptr; }
}  // namespace

size_t HcyMsgHeader::write_text(char* buf) const {
  char* p = put(buf, "V:");
  p = put_uint(p, version);
  p = put(p, ",C:");
  p = put(p, name_of(code));
  p = put(p, ",R:");
  p = put_uint(p, request_id);
  p = put(p, ",E:");
  p = put_uint(p, endpoint);
  p = put(p, ",S:");
  p = put_uint(p, session_id);
  p = put(p, multipart ? ",M:true" : ",M:false");
  return static_cast<size_t>(p - buf);
}

void HcyMsgHeader::append_text(std::string& out) const {
  char buf[kMaxTextSize];
  out.append(buf, write_text(buf));
}

std::string HcyMsgHeader::to_string() const {
  std::string s;
  append_text(s);
  return s;
}

}  // namespace veltrac
