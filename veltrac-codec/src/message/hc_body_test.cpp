#include <gtest/gtest.h>

#include "message/message_test_util.hpp"
#include "veltrac/auth.hpp"
#include "veltrac/bind.hpp"
#include "veltrac/response.hpp"

namespace veltrac {
namespace {

using testing::encode;
using testing::expect_decodes;
using testing::expect_errors;
using testing::expect_round_trip;
using testing::hex;
using testing::kSampleRequestHex;
using testing::sample_request_body;
using testing::to_hex;

constexpr const char* kTruncated = "Io Error: failed to fill whole buffer";

// Each body: its encodings, its decodings (value and bytes read) and its errors.

TEST(HcyReqBodyTest, WireForm) {
  expect_round_trip(HcyReqBody{}, hex("00 00 01 00 00 FF"));
  expect_round_trip(sample_request_body(), hex(kSampleRequestHex));
  expect_round_trip(HcyReqBody{.entity_name = "ab"}, hex("00 02 61 62 01 00 00 FF"));

  expect_decodes<HcyReqBody>({
      {"00 00 01 00 00 00", 6, HcyReqBody{}},  // any base type other than INFOTABLE: no table
      {"00 00 01 00 00 FF DE AD", 6, HcyReqBody{}},
      {"50 00 03 00 00 15", 6, HcyReqBody{.entity_type = entityTypeEnum{80}, .characteristic_type = 3}},
  });
  expect_errors<HcyReqBody>({
      {"01 00 01 00 00 FF", "Invalid entity type: 1"},
      {"25 00 01 00 00 FF", "Invalid entity type: 37"},
      {"00 00 04 00 00 FF", "Invalid characteristic type: 4"},
      {"00 00 00 00 00 FF", "Invalid characteristic type: 0"},
      {"00 00 01 00 00 13", "Invalid Base Type: 19"},
      {"00 03 61", "Io Error: Stream to String failed: content too short"},
      // cut short where a one-byte field is due
      {"", kTruncated},
      {"00 00", kTruncated},
      {"00 00 01 00", kTruncated},
      {"00 00 01 00 00", kTruncated},
      // ends inside the header entries: the missing texts read as empty, then the marker is missing
      {"00 00 01 00 02 01 61", kTruncated},
  });
}

TEST(HcyResBodyTest, WireForm) {
  expect_round_trip(HcyResBody{}, hex("00 FF"));
  expect_round_trip(HcyResBody{.reason = ""}, hex("01 00 FF"));
  expect_round_trip(HcyResBody{.reason = "ok"}, hex("01 02 6F 6B FF"));

  expect_decodes<HcyResBody>({
      {"00 00 77", 2, {}}, {"07 02 6F 6B 16", 5, {.reason = "ok"}},  // any non-zero reason marker
  });
  expect_errors<HcyResBody>({
      {"00 13", "Invalid Base Type: 19"},
      {"01 05 6F 6B", "Io Error: Stream to String failed: content too short"},
      {"", kTruncated},
      {"00", kTruncated},
      {"01 00", kTruncated},
      {"01 02 6F 6B", kTruncated},
  });
}

TEST(HcyAuthBodyTest, WireForm) {
  expect_round_trip(HcyAuthBody::from_appkey("k"), hex("01 06 61 70 70 4B 65 79 01 6B"));
  expect_round_trip(HcyAuthBody::from_appkey(""), hex("01 06 61 70 70 4B 65 79 00"));
  HcyAuthBody big = HcyAuthBody::from_appkey(std::string(1000, 'K'));
  auto bytes = encode(big);
  EXPECT_EQ(bytes.size(), big.encoded_size());
  EXPECT_EQ(HcyAuthBody::from_bytes(bytes)->value, big);

  expect_decodes<HcyAuthBody>({
      {"01", 1, HcyAuthBody{"", ""}},
      {"01 01 6E 02 76 76 EE", 6, HcyAuthBody{"n", "vv"}},
  });
  expect_errors<HcyAuthBody>({
      {"", "Unexpected Auth Body"},
      {"02 00 00", "Unexpected Auth Body"},
      {"00", "Unexpected Auth Body"},
      {"01 03 61", "Io Error: Stream to String failed: content too short"},
  });
}

TEST(HcyBindBodyTest, WireForm) {
  const std::pair<HcyBindBody, const char*> encodings[] = {
      {{}, "00 00 00"},
      {{.names = {"a", "bc"}}, "00 00 02 01 61 02 62 63"},
      {{.names = {"a"}, .binder_name = "n"}, "00 00 01 01 61"},  // half a pair is not written
      {{.names = {"a"}, .binder_type = "t"}, "00 00 01 01 61"},
      {{.names = {"a"}, .binder_name = "n", .binder_type = "t"}, "01 01 6E 01 74 00 01 01 61"},
  };
  for (const auto& [body, text] : encodings) {
    auto bytes = encode(body);
    EXPECT_EQ(to_hex(bytes), text);
    EXPECT_EQ(bytes.size(), body.encoded_size());
  }

  expect_decodes<HcyBindBody>({
      {"00 00 02", 3, {.names = {"", ""}}},
      {"00 00 02 01 61 02 62 63 FF", 8, {.names = {"a", "bc"}}},
      {"07 01 6E 01 74 00 01 01 61", 9, {.names = {"a"}, .binder_name = "n", .binder_type = "t"}},
      {"01 00 00 00 00", 5, {.binder_name = "", .binder_type = ""}},
  });
  expect_errors<HcyBindBody>({
      {"", kTruncated},
      {"00", kTruncated},
      {"00 00", kTruncated},
      {"01 01 6E 01 74", kTruncated},
      {"01 01 6E 01 74 00", kTruncated},
      {"00 00 02 01 61 03 62", "Io Error: Stream to String failed: content too short"},
  });
}

// The largest counts the wire carries are written and read back; one more writes nothing (the texts are
// pinned by the message tests).
TEST(BodyCountLimits, HeadersAndNames) {
  HcyReqBody req;
  req.headers.resize(255, Header{"k", "v"});
  auto bytes = encode(req);
  ASSERT_EQ(bytes.size(), 5 + 255 * 4 + 1u);
  EXPECT_EQ(bytes[4], 0xFF);
  EXPECT_EQ(HcyReqBody::from_bytes(bytes)->value, req);
  HcyBindBody bind;
  bind.names.resize(65535);
  bytes = encode(bind);
  ASSERT_EQ(bytes.size(), 3 + 65535u);
  EXPECT_EQ(to_hex(Bytes(bytes).first(3)), "00 FF FF");
  EXPECT_EQ(HcyBindBody::from_bytes(bytes)->value, bind);

  req.headers.emplace_back("k", "v");
  bind.names.emplace_back("x");
  ByteBuffer out;
  out.put_u8(9);
  EXPECT_FALSE(req.to_bytes(out));
  EXPECT_FALSE(bind.to_bytes(out));
  EXPECT_EQ(to_hex(out.view()), "09");
}

}  // namespace
}  // namespace veltrac
