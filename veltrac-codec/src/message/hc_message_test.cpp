#include "veltrac/message.hpp"

#include <gtest/gtest.h>

#include "message/message_test_util.hpp"

namespace veltrac {
namespace {

using testing::concat;
using testing::decode_exact;
using testing::encode;
using testing::error_text;
using testing::hex;
using testing::to_hex;

std::vector<uint8_t> header_bytes(uint8_t code, uint8_t multipart = 0) {
  return {1, code, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, multipart};
}

HcyMsg sample_request() {
  HcyMsgHeader h{
      .request_id = 0x1234, .endpoint = 2, .session_id = 0xCAFE, .version = 1, .code = msgCodeEnum::HCY_POST};
  HcyReqBody b{.entity_type = entityTypeEnum{20},
               .entity_name = "Pump-07",
               .characteristic_type = 2,
               .characteristic_name = "SetSpeed",
               .headers = {{"trace", "a1"}, {"", "x"}}};
  return HcyMsg{HcyMsg::Request{h, std::move(b)}};
}

TEST(HcyMsgTest, OrderOfChecks) {
  std::vector<uint8_t> fourteen = header_bytes(1);
  fourteen.pop_back();
  const std::pair<std::vector<uint8_t>, const char*> cases[] = {
      {{}, "Wrong Mssage Header:[]"},
      {{1, 20}, "Wrong Mssage Header:[1, 20]"},
      {fourteen, "Wrong Mssage Header:[1, 1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0]"},
      {header_bytes(5, 1), "Invalid code:5"},
      {header_bytes(67), "Invalid code:67"},
      {header_bytes(242), "Invalid code:242"},
      {header_bytes(21, 1), "Multipart message can't be recovered from bytes directly"},
      {header_bytes(64, 2), "Multipart message can't be recovered from bytes directly"},
      {header_bytes(0), "Unimplemented code:0"},
      {header_bytes(21), "Unimplemented code:21"},
      {header_bytes(31), "Unimplemented code:31"},
      // the body decoder's error passes through
      {header_bytes(1), "Io Error: failed to fill whole buffer"},
      {header_bytes(20), "Unexpected Auth Body"},
      {concat(header_bytes(2), hex("01 00 01 00 00 FF")), "Invalid entity type: 1"},
      {concat(header_bytes(129), hex("00 13")), "Invalid Base Type: 19"},
  };
  for (const auto& [in, text] : cases) EXPECT_EQ(error_text(decode_exact<HcyMsg>(in)), text) << to_hex(in);
}

TEST(HcyMsgTest, EveryCodeSelectsItsBody) {
  struct Kind {
    MsgKind kind;
    const char* body;
  };
  const Kind request{MsgKind::Request, "00 00 01 00 00 FF"}, bind{MsgKind::Bind, "00 00 01 01 61"},
      auth{MsgKind::Auth, "01 00 01 6B"}, response{MsgKind::Response, "01 02 6F 6B FF"};
  int decodable = 0;
  for (int b = 0; b < 256; ++b) {
    auto code = msg_code_from_repr(static_cast<uint8_t>(b));
    if (!code || b == 0 || b == 21 || b == 31) continue;
    const Kind& k = (b >= 1 && b <= 4) ? request : (b == 10 || b == 11) ? bind : b == 20 ? auth : response;
    ASSERT_TRUE(b < 64 || &k == &response);
    auto in = concat(header_bytes(static_cast<uint8_t>(b)), hex(k.body));
    auto r = decode_exact<HcyMsg>(in);
    ASSERT_TRUE(r) << b << ": " << r.error().message();
    ++decodable;
    EXPECT_EQ(r->value.kind(), k.kind) << b;
    EXPECT_EQ(code_of(r->value.header().code), b);
    EXPECT_EQ(r->consumed, in.size());
    EXPECT_EQ(encode(r->value), in) << b;
  }
  EXPECT_EQ(decodable, 44);
}

TEST(HcyMsgTest, ResponseVector) {
  auto in = hex("01 40 00 00 00 07 00 00 00 00 00 00 00 00 00 00 FF");
  auto r = decode_exact<HcyMsg>(in);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->consumed, 17u);
  ASSERT_EQ(r->value.kind(), MsgKind::Response);
  const auto& m = std::get<HcyMsg::Response>(r->value.msg);
  EXPECT_EQ(m.header, (HcyMsgHeader{.request_id = 7, .code = msgCodeEnum::HCY_SUCCESS}));
  EXPECT_EQ(m.body, HcyResBody{});
  EXPECT_EQ(r->value.short_desc(), "V:1,C:HCY_SUCCESS,R:7,E:0,S:0,M:false,Params:false");
}

TEST(HcyMsgTest, BuildAuth) {
  HcyMsg m = HcyMsg::build_auth_msg(7, "");
  auto bytes = encode(m);
  EXPECT_EQ(to_hex(bytes), "01 14 00 00 00 07 00 00 00 00 FF FF FF FF 00 01 06 61 70 70 4B 65 79 00");
  auto back = HcyMsg::from_bytes(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->value, m);
  EXPECT_EQ(back->consumed, 24u);
  EXPECT_EQ(m.short_desc(), "V:1,C:HCY_AUTH,R:7,E:0,S:4294967295,M:false,Auth!");

  HcyMsg big = HcyMsg::build_auth_msg(4294967295u, "key-\xC3\xA9");
  const auto& auth = std::get<HcyMsg::Auth>(big.msg);
  EXPECT_EQ(auth.body, (HcyAuthBody{"appKey", "key-\xC3\xA9"}));
  EXPECT_EQ(auth.header.request_id, 4294967295u);
}

TEST(HcyMsgTest, ShortDescriptions) {
  HcyMsg bind{HcyMsg::Bind{{.request_id = 3, .code = msgCodeEnum::HCY_UNBIND}, {.names = {"a"}}}};
  HcyMsg res{HcyMsg::Response{{.version = 2, .code = msgCodeEnum::HCY_NOT_FOUND, .multipart = true}, {}}};
  HcyMsg req = sample_request();
  std::get<HcyMsg::Request>(req.msg).body.characteristic_name = "";
  const std::pair<HcyMsg, const char*> cases[] = {
      {sample_request(), "V:1,C:HCY_POST,R:4660,E:2,S:51966,M:false,name:Pump-07,c_name:SetSpeed"},
      {req, "V:1,C:HCY_POST,R:4660,E:2,S:51966,M:false,name:Pump-07,c_name:"},
      {bind, "V:1,C:HCY_UNBIND,R:3,E:0,S:0,M:false,Bind!"},
      {res, "V:2,C:HCY_NOT_FOUND,R:0,E:0,S:0,M:true,Params:false"},
  };
  for (const auto& [m, text] : cases) EXPECT_EQ(m.short_desc(), text);
}

TEST(HcyMsgTest, RequestRoundTripIgnoresTrailingBytes) {
  HcyMsg m = sample_request();
  auto bytes = encode(m);
  EXPECT_EQ(to_hex(bytes),
            "01 03 00 00 12 34 00 00 00 02 00 00 CA FE 00 "
            "14 07 50 75 6D 70 2D 30 37 02 08 53 65 74 53 70 65 65 64 02 05 74 72 61 63 65 02 61 31 00 01 78 FF");
  EXPECT_EQ(bytes.size(), m.encoded_size_hint());
  auto r = decode_exact<HcyMsg>(concat(bytes, {0xFF, 0x00, 0x01}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, m);
  EXPECT_EQ(r->consumed, bytes.size());
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(decode_exact<HcyMsg>(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n))) << n;
  }
}

TEST(HcyMsgTest, FailedEncodingLeavesBufferAsItWas) {
  HcyMsg multipart = HcyMsg::build_auth_msg(1, "k");
  std::get<HcyMsg::Auth>(multipart.msg).header.multipart = true;
  HcyMsg too_many = sample_request();
  std::get<HcyMsg::Request>(too_many.msg).body.headers.resize(256);
  HcyMsg too_many_names{HcyMsg::Bind{{.code = msgCodeEnum::HCY_BIND}, {}}};
  std::get<HcyMsg::Bind>(too_many_names.msg).body.names.resize(65536);

  const std::pair<const HcyMsg*, const char*> cases[] = {
      {&multipart, "Multipart message can't be recovered from bytes directly"},
      {&too_many, "Failed to convert msg to binary:request header count 256/at most 255"},
      {&too_many_names, "Failed to convert msg to binary:bind name count 65536/at most 65535"},
  };
  for (auto [m, text] : cases) {
    ByteBuffer out;
    out.put_u8(0xEE);
    EXPECT_EQ(error_text(m->to_bytes(out)), text);
    EXPECT_EQ(to_hex(out.view()), "EE");
  }
}

TEST(HcyMsgTest, BuildersCheckWhatTheWireCarries) {
  const MsgIds ids{.request_id = 0x1234, .endpoint = 2, .session_id = 0xCAFE};
  HcyReqBody body = std::get<HcyMsg::Request>(sample_request().msg).body;
  auto built = HcyMsg::build_request(msgCodeEnum::HCY_POST, ids, body);
  ASSERT_TRUE(built);
  EXPECT_EQ(*built, sample_request());

  auto with = [&](auto change) {
    HcyReqBody b = body;
    change(b);
    return b;
  };
  const std::pair<Result<HcyMsg>, const char*> cases[] = {
      {HcyMsg::build_request(msgCodeEnum::HCY_SUCCESS, ids, body), "Invalid code:64"},
      {HcyMsg::build_request(msgCodeEnum::HCY_GET, ids, with([](auto& b) { b.entity_type = entityTypeEnum{1}; })),
       "Invalid entity type: 1"},
      {HcyMsg::build_request(msgCodeEnum::HCY_GET, ids, with([](auto& b) { b.characteristic_type = 0; })),
       "Invalid characteristic type: 0"},
      {HcyMsg::build_request(msgCodeEnum::HCY_GET, ids, with([](auto& b) { b.headers.resize(256); })),
       "Failed to convert msg to binary:request header count 256/at most 255"},
      {HcyMsg::build_response(msgCodeEnum::HCY_AUTH, ids, {}), "Invalid code:20"},
      {HcyMsg::build_bind(msgCodeEnum::HCY_GET, ids, {}), "Invalid code:1"},
      {HcyMsg::build_bind(msgCodeEnum::HCY_BIND, ids, HcyBindBody{.names = std::vector<std::string>(65536)}),
       "Failed to convert msg to binary:bind name count 65536/at most 65535"},
      {HcyMsg::build_response(msgCodeEnum::HCY_OFFLINE_MSG_STORE_FULL, ids, {}), "ok"},
      {HcyMsg::build_bind(msgCodeEnum::HCY_UNBIND, ids, HcyBindBody{.names = {"a"}}), "ok"},
  };
  for (const auto& [r, text] : cases) EXPECT_EQ(error_text(r), text);
  const HcyMsgHeader& h = cases[7].first->header();
  EXPECT_EQ(h, (HcyMsgHeader{.request_id = 0x1234,
                             .endpoint = 2,
                             .session_id = 0xCAFE,
                             .version = 1,
                             .code = msgCodeEnum::HCY_OFFLINE_MSG_STORE_FULL}));
}

}  // namespace
}  // namespace veltrac
