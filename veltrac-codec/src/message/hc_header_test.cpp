#include "veltrac/message_header.hpp"

#include <gtest/gtest.h>

#include "message/message_test_util.hpp"

namespace veltrac {
namespace {

using testing::hex;
using testing::to_hex;

TEST(HcyMsgHeaderTest, WireForm) {
  HcyMsgHeader h{.request_id = 0x01020304,
                 .endpoint = 0,
                 .session_id = 0xFFFFFFFF,
                 .version = 1,
                 .code = msgCodeEnum::HCY_GET,
                 .multipart = false};
  ByteBuffer out;
  out.put_u8(0xAA);  // appends after what is there
  EXPECT_EQ(h.to_bytes(out), 15u);
  EXPECT_EQ(to_hex(out.view()), "AA 01 01 01 02 03 04 00 00 00 00 FF FF FF FF 00");

  auto bytes = hex("07 E4 89 AB CD EF 00 00 00 2A 80 00 00 01 02");
  HcyMsgHeader r = HcyMsgHeader::read(bytes.data());
  EXPECT_EQ(r.version, 7);
  EXPECT_EQ(r.code, msgCodeEnum::HCY_INVALID_PROTOCOL_VERSION);
  EXPECT_EQ(r.request_id, 0x89ABCDEFu);
  EXPECT_EQ(r.endpoint, 42u);
  EXPECT_EQ(r.session_id, 0x80000001u);
  EXPECT_TRUE(r.multipart);
}

TEST(HcyMsgHeaderTest, TextForm) {
  struct Case {
    HcyMsgHeader h;
    const char* text;
  };
  const Case cases[] = {
      {{.request_id = 7, .endpoint = 0, .session_id = 0xFFFFFFFF, .version = 1, .code = msgCodeEnum::HCY_AUTH},
       "V:1,C:HCY_AUTH,R:7,E:0,S:4294967295,M:false"},
      {{.request_id = 4294967295,
        .endpoint = 4294967295,
        .session_id = 0,
        .version = 255,
        .code = msgCodeEnum::HCY_WROTE_TO_OFFLINE_MSG_STORE,
        .multipart = true},
       "V:255,C:HCY_WROTE_TO_OFFLINE_MSG_STORE,R:4294967295,E:4294967295,S:0,M:true"},
      {{.version = 0, .code = msgCodeEnum::HCY_UNKNOWN}, "V:0,C:HCY_UNKNOWN,R:0,E:0,S:0,M:false"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.h.to_string(), c.text);
  // The longest text of every code fits the fixed text buffer.
  for (int b = 0; b < 256; ++b) {
    if (auto code = msg_code_from_repr(static_cast<uint8_t>(b))) {
      HcyMsgHeader h{.request_id = 4000000000,
                     .endpoint = 4000000000,
                     .session_id = 4000000000,
                     .version = 200,
                     .code = *code,
                     .multipart = false};
      EXPECT_LE(h.to_string().size(), HcyMsgHeader::kMaxTextSize) << b;
    }
  }
}

}  // namespace
}  // namespace veltrac
