// The fixed 15-byte header that starts every message.
#pragma once

#include <cstdint>
#include <string>

#include "veltrac/bytes.hpp"
#include "veltrac/export.hpp"
#include "veltrac/msg_code.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

struct HcyMsgHeader {
  static constexpr size_t kSize = 15;

  uint32_t request_id = 0;
  uint32_t endpoint = 0;
  uint32_t session_id = 0;
  uint8_t version = 1;
  msgCodeEnum code = msgCodeEnum::HCY_UNKNOWN;
  bool multipart = false;

  // Appends the 15-byte wire form; returns 15.
  size_t to_bytes(ByteBuffer& out) const;

  // Reads the 15 bytes at `p` as they stand; the caller has checked the length and the code byte.
  static HcyMsgHeader read(const uint8_t* p);

  // Longest text form: V:255,C:HCY_WROTE_TO_OFFLINE_MSG_STORE,R:4294967295,E:4294967295,S:4294967295,M:false
  static constexpr size_t kMaxTextSize = 88;

  // Writes the text form (V:1,C:HCY_AUTH,R:7,E:0,S:4294967295,M:false) to `buf`, which holds at least
  // kMaxTextSize chars; returns its length.
  size_t write_text(char* buf) const;
  void append_text(std::string& out) const;
  std::string to_string() const;

  bool operator==(const HcyMsgHeader&) const = default;
};

}  // namespace veltrac
VELTRAC_API_END
