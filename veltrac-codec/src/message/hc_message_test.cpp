#include "veltrac/message.hpp"
#include "veltrac/message_header.hpp"

#include <gtest/gtest.h>

#include "message/message_test_util.hpp"
#include "util/stream_string.hpp"

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
  return HcyMsg{HcyMsg::Request{h, testing::sample_request_body()}};
}

// Two fields with aspects and one row.
InfoTable speed_table() {
  DataShapeEntry speed{"speed", "rpm", BaseType::NUMBER, {}}, dir{"dir", "", BaseType::STRING, {}};
  speed.aspects.insert("units", HcPrim::string("rpm"));
  dir.aspects.insert("isReadOnly", HcPrim::boolean(true));
  InfoTable t;
  t.add_field_definition(std::move(speed));
  t.add_field_definition(std::move(dir));
  t.add_row(InfoTableRow{{HcPrim::number(1500.0), HcPrim::string("fwd")}});
  return t;
}

constexpr const char* kSpeedTableHex =
    "01 05 73 70 65 65 64 03 72 70 6D 01 00 01 05 75 6E 69 74 73 00 03 72 70 6D "  // speed, NUMBER, units=rpm
    "01 03 64 69 72 00 00 00 01 0A 69 73 52 65 61 64 4F 6E 6C 79 02 01 "           // dir, STRING, isReadOnly
    "00 "                                                                          // end of shape
    "01 00 02 01 40 97 70 00 00 00 00 00 00 03 66 77 64 "                          // row: 1500.0, "fwd"
    "00";

HcyMsg response_with_table() {
  return HcyMsg{HcyMsg::Response{{.request_id = 9, .session_id = 3, .code = msgCodeEnum::HCY_CREATED},
                                 {.reason = "done", .params = speed_table()}}};
}

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

  EXPECT_EQ(HcyMsgHeader::read(hex("07 E4 89 AB CD EF 00 00 00 2A 80 00 00 01 02").data()),
            (HcyMsgHeader{.request_id = 0x89ABCDEF,
                          .endpoint = 42,
                          .session_id = 0x80000001,
                          .version = 7,
                          .code = msgCodeEnum::HCY_INVALID_PROTOCOL_VERSION,
                          .multipart = true}));
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
  };
  for (const Case& c : cases) EXPECT_EQ(c.h.to_string(), c.text);
  // The longest text of every code fits the fixed text buffer: the longest numbers, "false" over "true".
  HcyMsgHeader longest = cases[1].h;
  longest.multipart = false;
  for (int b = 0; b < 256; ++b) {
    if (auto code = msg_code_from_repr(static_cast<uint8_t>(b))) {
      longest.code = *code;
      EXPECT_LE(longest.to_string().size(), HcyMsgHeader::kMaxTextSize) << b;
    }
  }
}

TEST(HcyMsgTest, OrderOfChecks) {
  std::vector<uint8_t> fourteen = header_bytes(1);
  fourteen.pop_back();
  const std::pair<std::vector<uint8_t>, const char*> cases[] = {
      {{}, "Wrong Mssage Header:[]"},
      {{1, 20}, "Wrong Mssage Header:[1, 20]"},
      {fourteen, "Wrong Mssage Header:[1, 1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0]"},
      {header_bytes(5, 1), "Invalid code:5"},
      {header_bytes(242), "Invalid code:242"},
      {header_bytes(21, 1), "Multipart message can't be recovered from bytes directly"},
      {header_bytes(0), "Unimplemented code:0"},
      {header_bytes(21), "Unimplemented code:21"},
      {header_bytes(31), "Unimplemented code:31"},
      // the body decoder's error passes through
      {header_bytes(1), "Io Error: failed to fill whole buffer"},
      {header_bytes(20), "Unexpected Auth Body"},
      {concat(header_bytes(2), hex("01 00 01 00 00 FF")), "Invalid entity type: 1"},
      {concat(header_bytes(129), hex("00 13")), "Invalid Base Type: 19"},
      // and the parameter table's
      {concat(header_bytes(1), hex("14 00 01 00 00 05 00 01 00 01 13")), "Invalid Base Type: 19"},
      {concat(header_bytes(64), hex("00 05 01 01 61 00 13 00")), "Invalid entry type: 19"},
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

TEST(HcyMsgTest, ShortDescriptions) {
  HcyMsg bind{HcyMsg::Bind{{.request_id = 3, .code = msgCodeEnum::HCY_UNBIND}, {.names = {"a"}}}};
  HcyMsg res{HcyMsg::Response{{.version = 2, .code = msgCodeEnum::HCY_NOT_FOUND, .multipart = true}, {}}};
  HcyMsg req = sample_request();
  std::get<HcyMsg::Request>(req.msg).body.characteristic_name = "";
  const std::pair<HcyMsg, const char*> cases[] = {
      {req, "V:1,C:HCY_POST,R:4660,E:2,S:51966,M:false,name:Pump-07,c_name:"},
      {bind, "V:1,C:HCY_UNBIND,R:3,E:0,S:0,M:false,Bind!"},
      {res, "V:2,C:HCY_NOT_FOUND,R:0,E:0,S:0,M:true,Params:false"},
  };
  for (const auto& [m, text] : cases) EXPECT_EQ(m.short_desc(), text);
}

// Each message encodes to its bytes (the size hint counts all but a parameter table) and decodes back from
// them, reading no further; every shorter input fails (but an auth body's, whose missing texts read as empty).
TEST(HcyMsgTest, RoundTrips) {
  const std::string request = std::string("01 03 00 00 12 34 00 00 00 02 00 00 CA FE 00 ") + testing::kSampleRequestHex;
  HcyMsg with_table = sample_request();
  std::get<HcyMsg::Request>(with_table.msg).body.params = speed_table();
  struct Case {
    HcyMsg m;
    std::string hex;
    const char* desc;
  };
  const Case cases[] = {
      {sample_request(), request, "V:1,C:HCY_POST,R:4660,E:2,S:51966,M:false,name:Pump-07,c_name:SetSpeed"},
      {with_table, request.substr(0, request.size() - 2) + "05 " + kSpeedTableHex,  // the table replaces FF
       "V:1,C:HCY_POST,R:4660,E:2,S:51966,M:false,name:Pump-07,c_name:SetSpeed"},
      {response_with_table(),
       std::string("01 41 00 00 00 09 00 00 00 00 00 00 00 03 00 01 04 64 6F 6E 65 05 ") + kSpeedTableHex,
       "V:1,C:HCY_CREATED,R:9,E:0,S:3,M:false,Params:true"},
      {HcyMsg::build_auth_msg(7, ""), "01 14 00 00 00 07 00 00 00 00 FF FF FF FF 00 01 06 61 70 70 4B 65 79 00",
       "V:1,C:HCY_AUTH,R:7,E:0,S:4294967295,M:false,Auth!"},
  };
  const size_t table_size = hex(kSpeedTableHex).size();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.desc);
    auto bytes = encode(c.m);
    EXPECT_EQ(to_hex(bytes), c.hex);
    EXPECT_EQ(c.m.encoded_size_hint() + (c.hex.ends_with(kSpeedTableHex) ? table_size : 0), bytes.size());
    auto r = decode_exact<HcyMsg>(concat(bytes, {0xFF, 0x00, 0x01}));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->value, c.m);
    EXPECT_EQ(r->consumed, bytes.size());
    EXPECT_EQ(c.m.short_desc(), c.desc);
    for (size_t n = 0; n < bytes.size() && c.m.kind() != MsgKind::Auth; ++n) {
      EXPECT_FALSE(decode_exact<HcyMsg>(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n))) << n;
    }
  }
}

TEST(HcyMsgTest, FailedEncodingLeavesBufferAsItWas) {
  HcyMsg multipart = HcyMsg::build_auth_msg(1, "k");
  std::get<HcyMsg::Auth>(multipart.msg).header.multipart = true;
  HcyMsg too_many = sample_request();
  std::get<HcyMsg::Request>(too_many.msg).body.headers.resize(256);
  HcyMsg too_many_names{HcyMsg::Bind{{.code = msgCodeEnum::HCY_BIND}, {}}};
  std::get<HcyMsg::Bind>(too_many_names.msg).body.names.resize(65536);
  HcyMsg long_row = response_with_table();
  InfoTable& params = *std::get<HcyMsg::Response>(long_row.msg).body.params;
  params.add_row(InfoTableRow{std::vector<HcPrim>(65536)});
  ByteBuffer scratch;
  const std::string table_error = error_text(params.to_bytes(scratch));

  const std::pair<const HcyMsg*, const char*> cases[] = {
      {&multipart, "Multipart message can't be recovered from bytes directly"},
      {&too_many, "Failed to convert msg to binary:request header count 256/at most 255"},
      {&too_many_names, "Failed to convert msg to binary:bind name count 65536/at most 65535"},
      {&long_row, table_error.c_str()},  // the table's own error
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
  const HcyReqBody body = testing::sample_request_body();
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
      {HcyMsg::build_response(msgCodeEnum::HCY_SUCCESS, ids, {}), "ok"},  // the lowest response code
      {HcyMsg::build_request(msgCodeEnum::HCY_DEL, ids, body), "ok"},     // the highest request code
      {HcyMsg::build_bind(msgCodeEnum::HCY_UNBIND, ids, HcyBindBody{.names = {"a"}}), "ok"},
      {HcyMsg::build_request(msgCodeEnum::HCY_GET, ids, with([](auto& b) { b.headers.resize(255); })), "ok"},
  };
  for (const auto& [r, text] : cases) EXPECT_EQ(error_text(r), text);
  const HcyMsgHeader& h = cases[6].first->header();
  EXPECT_EQ(
      h,
      (HcyMsgHeader{
          .request_id = 0x1234, .endpoint = 2, .session_id = 0xCAFE, .version = 1, .code = msgCodeEnum::HCY_SUCCESS}));
}

// A stream reader's view: with whole strings required, every proper prefix of a message is incomplete input
// (never a message, never corrupt), positioned inside the prefix; the whole message still decodes.
TEST(HcyMsgStream, EveryCutOfEveryKindIsIncompleteWithWholeStrings) {
  HcyAuthBody auth = HcyAuthBody::from_appkey("k");
  HcyBindBody bind{.names = {"a", "bc"}, .binder_name = "n", .binder_type = "t"};
  HcyResBody res{.reason = "ok", .params = speed_table()};
  HcyMsgHeader h{.request_id = 7, .version = 1};
  h.code = msgCodeEnum::HCY_AUTH;
  HcyMsg auth_msg{HcyMsg::Auth{h, auth}};
  h.code = msgCodeEnum::HCY_BIND;
  HcyMsg bind_msg{HcyMsg::Bind{h, bind}};
  h.code = msgCodeEnum::HCY_SUCCESS;
  HcyMsg res_msg{HcyMsg::Response{h, res}};
  HcyMsg req = sample_request();
  std::get<HcyMsg::Request>(req.msg).body.params = speed_table();
  for (const HcyMsg& m : {req, auth_msg, bind_msg, res_msg}) {
    const std::vector<uint8_t> bytes = encode(m);
    WholeStrings whole;
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      Bytes in(bytes.data(), cut);
      auto r = HcyMsg::from_bytes(in);
      ASSERT_FALSE(r) << m.short_desc() << " cut at " << cut;
      EXPECT_TRUE(r.error().incomplete) << m.short_desc() << " cut at " << cut << ": " << r.error().message();
      const int64_t at = r.error().offset_in(in);
      EXPECT_TRUE(at >= 0 && at <= static_cast<int64_t>(cut)) << cut;
    }
    auto r = HcyMsg::from_bytes(Bytes(bytes.data(), bytes.size()));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->consumed, bytes.size());
  }
  // Without the guard, the empty remainder is the empty text again.
  EXPECT_TRUE(HcyMsg::from_bytes(Bytes(hex("01 14 00 00 00 07 00 00 00 00 00 00 00 00 00 01"))));
}

TEST(HcyMsgStream, ErrorsCarryKindOffsetAndWhetherInputEnded) {
  struct Case {
    const char* hex;
    const char* kind;
    int64_t offset;
    bool incomplete;
  };
  const Case cases[] = {
      {"01 14", "WrongMessageHeader", 0, true},
      {"01 05 00 00 00 07 00 00 00 00 00 00 00 00 00", "InvalidCode", 1, false},
      {"01 1F 00 00 00 07 00 00 00 00 00 00 00 00 00", "UnimplementedCode", 1, false},
      {"01 01 00 00 00 07 00 00 00 00 00 00 00 00 01", "MultipartFromBytes", 14, false},
      {"01 14 00 00 00 07 00 00 00 00 00 00 00 00 00", "UnexpectedAuthBody", 15, true},
      {"01 14 00 00 00 07 00 00 00 00 00 00 00 00 00 02", "UnexpectedAuthBody", 15, false},
      {"01 40 00 00 00 07 00 00 00 00 00 00 00 00 00 00 13", "InvalidBaseType", 16, false},
      {"01 40 00 00 00 07 00 00 00 00 00 00 00 00 00 01 05 61", "Io", 16, true},
      {"01 40 00 00 00 07 00 00 00 00 00 00 00 00 00 01 81 00", "Io", 16, true},
      {"01 40 00 00 00 07 00 00 00 00 00 00 00 00 00 01 02 C3 28", "Io", 16, false},
      {"01 0A 00 00 00 07 00 00 00 00 00 00 00 00 00 00 00", "Io", 16, true},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = hex(c.hex);
    Bytes in(bytes.data(), bytes.size());
    auto r = HcyMsg::from_bytes(in);
    ASSERT_FALSE(r) << c.hex;
    EXPECT_EQ(r.error().kind_name(), c.kind) << c.hex;
    EXPECT_EQ(r.error().offset_in(in), c.offset) << c.hex;
    EXPECT_EQ(r.error().incomplete, c.incomplete) << c.hex;
  }
}

// Errors deep inside bodies, tables and values name the input byte where they were found.
TEST(HcyMsgStream, DeepErrorsCarryTheirOffset) {
  struct Case {
    char what;  // m: message, t: table, p: typed value
    const char* hex;
    const char* kind;
    int64_t offset;
  };
  const Case cases[] = {
      {'m', "01 03 00000007 00000000 00000000 00 FF", "InvalidEntityType", 15},
      {'m', "01 03 00000007 00000000 00000000 00 00 00 05", "InvalidCharacteristicType", 17},
      // request, table param, row of one value with code 19
      {'m', "01 03 00000007 00000000 00000000 00 00 01 61 01 01 62 00 05 00 01 0001 13", "InvalidBaseType", 27},
      {'p', "04 00 00", "UnimplementedVariantFamily", 1},
      {'p', "12 12 13", "InvalidBaseType", 2},
      {'p', "05 00 01 00", "Io", 3},                                   // value count cut
      {'p', "05 01 01 61 00 13", "InvalidEntryType", 5},               // field type
      {'p', "05 00 01 0001 05 00 01 0001 13", "InvalidBaseType", 10},  // cell of a nested table
      // a text aspect of a field of a table inside a variant, cut
      {'p', "12 05 01 01 61 00 00 0001 01 61 00 05 61", "Io", 12},
      {'t', "00 01 0001 12 12 13", "InvalidBaseType", 6},
      {'t', "01 01 61 00 00 0001 01 61 00 02 C3 28", "Io", 10},  // aspect text not UTF-8
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = hex(c.hex);
    Bytes in(bytes.data(), bytes.size());
    auto failure = [](const auto& r) { return r ? VeltracError::plain(ErrorKind::OptionFromEnv) : r.error(); };
    const VeltracError e = c.what == 'm'   ? failure(HcyMsg::from_bytes(in))
                           : c.what == 't' ? failure(InfoTable::from_bytes(in))
                                           : failure(HcPrim::from_bytes(in));
    EXPECT_EQ(e.kind_name(), c.kind) << c.hex << ": " << e.message();
    EXPECT_EQ(e.offset_in(in), c.offset) << c.hex;
  }
  // Nesting one level too deep: the offset of the value that would open level 201.
  std::vector<uint8_t> deep(201, 0x12);
  deep.push_back(0xFF);
  auto r = HcPrim::from_bytes(Bytes(deep.data(), deep.size()));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().offset_in(Bytes(deep.data(), deep.size())), 201);
}

}  // namespace
}  // namespace veltrac
