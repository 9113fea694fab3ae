// Messages carrying parameter tables.
#include <gtest/gtest.h>

#include "message/message_test_util.hpp"
#include "veltrac/message.hpp"

namespace veltrac {
namespace {

using testing::concat;
using testing::decode_exact;
using testing::encode;
using testing::error_text;
using testing::hex;
using testing::to_hex;

DataShapeEntry field(std::string name, std::string desc, BaseType t) {
  return DataShapeEntry{std::move(name), std::move(desc), t, {}};
}

// Two fields with aspects and one row.
InfoTable speed_table() {
  InfoTable t;
  DataShapeEntry speed = field("speed", "rpm", BaseType::NUMBER);
  speed.aspects.insert("units", HcPrim::string("rpm"));
  DataShapeEntry dir = field("dir", "", BaseType::STRING);
  dir.aspects.insert("isReadOnly", HcPrim::boolean(true));
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

// A table with a row per value kind, including a nested table and a variant.
InfoTable every_kind_table() {
  InfoTable t(std::string("AllKinds"));
  t.add_field_definition(field("v", "any value", BaseType::VARIANT));
  const uint8_t blob[] = {0, 1, 0xFE, 0xFF};
  const HcPrim values[] = {
      HcPrim::nothing(),
      HcPrim::string("h\xC3\xA9llo"),
      HcPrim::string(std::string(300, 's'), BaseType::THINGNAME),
      HcPrim::number(-0.25),
      HcPrim::integer(-2147483647 - 1),
      HcPrim::long_(9007199254740993),
      HcPrim::boolean(false),
      HcPrim::location({13.4, 52.5, -3.0}),
      HcPrim::blob(Bytes(blob)),
      HcPrim::blob(Bytes(blob), BaseType::IMAGE),
      HcPrim::datetime(1700000000123),
      HcPrim::infotable(speed_table()),
      HcPrim::variant(HcPrim::integer(7)),
  };
  for (const HcPrim& v : values) t.add_row(InfoTableRow{{v}});
  t.add_row(InfoTableRow{});
  return t;
}

HcyMsg request_with_table() {
  HcyReqBody b{.entity_type = entityTypeEnum{20},
               .entity_name = "Pump-07",
               .characteristic_type = 2,
               .characteristic_name = "SetSpeed",
               .headers = {{"trace", "a1"}},
               .params = speed_table()};
  return HcyMsg{HcyMsg::Request{{.request_id = 9, .code = msgCodeEnum::HCY_PUT}, std::move(b)}};
}

HcyMsg response_with_table() {
  return HcyMsg{HcyMsg::Response{{.request_id = 9, .session_id = 3, .code = msgCodeEnum::HCY_CREATED},
                                 {.reason = "done", .params = every_kind_table()}}};
}

TEST(MessageTableTest, RequestWithParameterTable) {
  HcyMsg m = request_with_table();
  auto bytes = encode(m);
  EXPECT_EQ(to_hex(bytes), to_hex(concat(hex("01 02 00 00 00 09 00 00 00 00 00 00 00 00 00 "
                                             "14 07 50 75 6D 70 2D 30 37 02 08 53 65 74 53 70 65 65 64 "
                                             "01 05 74 72 61 63 65 02 61 31 05"),
                                         hex(kSpeedTableHex))));
  auto r = decode_exact<HcyMsg>(concat(bytes, {0x00, 0x01}));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->consumed, bytes.size());
  EXPECT_EQ(r->value, m);
  EXPECT_EQ(encode(r->value), bytes);
  EXPECT_EQ(m.short_desc(), "V:1,C:HCY_PUT,R:9,E:0,S:0,M:false,name:Pump-07,c_name:SetSpeed");
}

TEST(MessageTableTest, ResponseWithEveryKind) {
  HcyMsg m = response_with_table();
  auto bytes = encode(m);
  ByteBuffer table;
  ASSERT_TRUE(std::get<HcyMsg::Response>(m.msg).body.params->to_bytes(table));
  EXPECT_EQ(to_hex(bytes),
            to_hex(concat(hex("01 41 00 00 00 09 00 00 00 00 00 00 00 03 00 01 04 64 6F 6E 65 05"), table.vector())));
  auto r = decode_exact<HcyMsg>(bytes);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->consumed, bytes.size());
  // The binary form carries no shape name.
  HcyMsg expect = m;
  std::get<HcyMsg::Response>(expect.msg).body.params->datashape.name.reset();
  EXPECT_EQ(r->value, expect);
  EXPECT_EQ(encode(r->value), bytes);
  EXPECT_EQ(m.short_desc(), "V:1,C:HCY_CREATED,R:9,E:0,S:3,M:false,Params:true");
}

TEST(MessageTableTest, TableErrorsPassThrough) {
  const auto req = hex("01 01 00 00 00 09 00 00 00 00 00 00 00 00 00 14 00 01 00 00 05");
  const auto res = hex("01 40 00 00 00 09 00 00 00 00 00 00 00 00 00 00 05");
  const std::pair<std::vector<uint8_t>, const char*> cases[] = {
      {concat(req, hex("00 01 00 01 13")), "Invalid Base Type: 19"},
      {concat(res, hex("00 01 00 01 13")), "Invalid Base Type: 19"},
      {concat(res, hex("01 01 61 00 13 00")), "Invalid entry type: 19"},
      {concat(res, hex("00 01 00 01 00 05 61")), "Io Error: Stream to String failed: content too short"},
      {concat(res, hex("00 01 00 01 04")), "Unimplemented HC_VARIANT Family:Not implemented yet family type:HC_NULL"},
  };
  for (const auto& [in, text] : cases) EXPECT_EQ(error_text(decode_exact<HcyMsg>(in)), text) << to_hex(in);
}

TEST(MessageTableTest, TableEncodingErrorRestoresBuffer) {
  HcyMsg m = response_with_table();
  std::get<HcyMsg::Response>(m.msg).body.params->add_row(InfoTableRow{std::vector<HcPrim>(65536)});
  ByteBuffer out;
  out.put_u8(0x5A);
  EXPECT_FALSE(m.to_bytes(out));
  EXPECT_EQ(to_hex(out.view()), "5A");
}

}  // namespace
}  // namespace veltrac
