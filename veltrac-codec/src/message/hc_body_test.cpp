#include <gtest/gtest.h>

#include "message/message_test_util.hpp"
#include "veltrac/auth.hpp"
#include "veltrac/bind.hpp"
#include "veltrac/request.hpp"
#include "veltrac/response.hpp"

namespace veltrac {
namespace {

using testing::decode_exact;
using testing::encode;
using testing::error_text;
using testing::hex;
using testing::to_hex;

constexpr const char* kTruncated = "Io Error: failed to fill whole buffer";

HcyReqBody sample_request() {
  HcyReqBody b;
  b.entity_type = *entity_type_from_repr(20);
  b.entity_name = "Pump-07";
  b.characteristic_type = 2;
  b.characteristic_name = "SetSpeed";
  b.headers = {{"trace", "a1"}, {"", "x"}};
  return b;
}

constexpr const char* kSampleRequestHex =
    "14 07 50 75 6D 70 2D 30 37 02 08 53 65 74 53 70 65 65 64 02 05 74 72 61 63 65 02 61 31 00 01 78 FF";

// ---- request ----

TEST(HcyReqBodyTest, Encodings) {
  HcyReqBody minimal;
  EXPECT_EQ(to_hex(encode(minimal)), "00 00 01 00 00 FF");
  EXPECT_EQ(to_hex(encode(sample_request())), kSampleRequestHex);

  HcyReqBody named;
  named.entity_name = "ab";
  EXPECT_EQ(to_hex(encode(named)), "00 02 61 62 01 00 00 FF");
}

TEST(HcyReqBodyTest, Decodes) {
  struct Case {
    const char* in;
    size_t consumed;
    HcyReqBody expect;
  };
  const Case cases[] = {
      {"00 00 01 00 00 FF", 6, HcyReqBody{}},
      {"00 00 01 00 00 00", 6, HcyReqBody{}},  // any base type other than INFOTABLE: no table
      {"00 00 01 00 00 FF DE AD", 6, HcyReqBody{}},
      {kSampleRequestHex, 33, sample_request()},
      {"50 00 03 00 00 15", 6, HcyReqBody{.entity_type = entityTypeEnum{80}, .characteristic_type = 3}},
  };
  for (const Case& c : cases) {
    auto r = decode_exact<HcyReqBody>(hex(c.in));
    ASSERT_TRUE(r) << c.in << ": " << r.error().message();
    EXPECT_EQ(r->consumed, c.consumed) << c.in;
    EXPECT_EQ(r->value, c.expect) << c.in;
  }
}

TEST(HcyReqBodyTest, Errors) {
  const std::pair<const char*, const char*> cases[] = {
      {"01 00 01 00 00 FF", "Invalid entity type: 1"},
      {"25 00 01 00 00 FF", "Invalid entity type: 37"},
      {"00 00 04 00 00 FF", "Invalid characteristic type: 4"},
      {"00 00 00 00 00 FF", "Invalid characteristic type: 0"},
      {"00 00 01 00 00 13", "Invalid Base Type: 19"},
      {"00 03 61", "Io Error: Stream to String failed: content too short"},
      {"00 00 01 00 01 02 C3 28 00 FF",
       "Io Error: Stream to String failed:invalid utf-8 sequence of 1 bytes from index 0"},
      // cut short where a one-byte field is due
      {"", kTruncated},
      {"00 00", kTruncated},
      {"00 00 01 00", kTruncated},
      {"00 00 01 00 00", kTruncated},
      // ends inside the header entries: the missing texts read as empty, then the marker is missing
      {"00 00 01 00 02 01 61", kTruncated},
  };
  for (auto [in, text] : cases) EXPECT_EQ(error_text(decode_exact<HcyReqBody>(hex(in))), text) << in;
}

TEST(HcyReqBodyTest, EveryShorterPrefixFails) {
  auto full = hex(kSampleRequestHex);
  for (size_t n = 0; n < full.size(); ++n) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + n);
    EXPECT_FALSE(decode_exact<HcyReqBody>(cut)) << n;
  }
}

TEST(HcyReqBodyTest, HeaderCountLimit) {
  HcyReqBody b;
  b.headers.resize(255, Header{"k", "v"});
  auto bytes = encode(b);
  ASSERT_EQ(bytes.size(), 5 + 255 * 4 + 1u);
  EXPECT_EQ(bytes[4], 0xFF);
  EXPECT_EQ(HcyReqBody::from_bytes(bytes)->value, b);

  b.headers.emplace_back("k", "v");
  ByteBuffer out;
  out.put_u8(9);
  auto r = b.to_bytes(out);
  EXPECT_EQ(error_text(r), "Failed to convert msg to binary:request header count 256/at most 255");
  EXPECT_EQ(out.size(), 1u);  // nothing written
}

// ---- response ----

TEST(HcyResBodyTest, Encodings) {
  EXPECT_EQ(to_hex(encode(HcyResBody{})), "00 FF");
  EXPECT_EQ(to_hex(encode(HcyResBody{.reason = ""})), "01 00 FF");
  EXPECT_EQ(to_hex(encode(HcyResBody{.reason = "ok"})), "01 02 6F 6B FF");
}

TEST(HcyResBodyTest, Decodes) {
  struct Case {
    const char* in;
    size_t consumed;
    HcyResBody expect;
  };
  const Case cases[] = {
      {"00 FF", 2, {}},
      {"00 00 77", 2, {}},
      {"01 00 FF", 3, {.reason = ""}},
      {"07 02 6F 6B 16", 5, {.reason = "ok"}},  // any non-zero reason marker
  };
  for (const Case& c : cases) {
    auto r = decode_exact<HcyResBody>(hex(c.in));
    ASSERT_TRUE(r) << c.in << ": " << r.error().message();
    EXPECT_EQ(r->consumed, c.consumed) << c.in;
    EXPECT_EQ(r->value, c.expect) << c.in;
  }
}

TEST(HcyResBodyTest, Errors) {
  const std::pair<const char*, const char*> cases[] = {
      {"00 13", "Invalid Base Type: 19"},
      {"01 05 6F 6B", "Io Error: Stream to String failed: content too short"},
      {"", kTruncated},
      {"00", kTruncated},
      {"01 00", kTruncated},
      {"01 02 6F 6B", kTruncated},
  };
  for (auto [in, text] : cases) EXPECT_EQ(error_text(decode_exact<HcyResBody>(hex(in))), text) << in;
}

// ---- authentication ----

TEST(HcyAuthBodyTest, FromAppKey) {
  EXPECT_EQ(to_hex(encode(HcyAuthBody::from_appkey("k"))), "01 06 61 70 70 4B 65 79 01 6B");
  EXPECT_EQ(to_hex(encode(HcyAuthBody::from_appkey(""))), "01 06 61 70 70 4B 65 79 00");
  HcyAuthBody big = HcyAuthBody::from_appkey(std::string(1000, 'K'));
  auto bytes = encode(big);
  EXPECT_EQ(bytes.size(), big.encoded_size());
  EXPECT_EQ(HcyAuthBody::from_bytes(bytes)->value, big);
}

TEST(HcyAuthBodyTest, Decodes) {
  auto one = decode_exact<HcyAuthBody>(hex("01"));
  ASSERT_TRUE(one);
  EXPECT_EQ(one->value, (HcyAuthBody{"", ""}));
  EXPECT_EQ(one->consumed, 1u);

  auto full = decode_exact<HcyAuthBody>(hex("01 01 6E 02 76 76 EE"));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->value, (HcyAuthBody{"n", "vv"}));
  EXPECT_EQ(full->consumed, 6u);

  const std::pair<const char*, const char*> errors[] = {
      {"", "Unexpected Auth Body"},
      {"02 00 00", "Unexpected Auth Body"},
      {"00", "Unexpected Auth Body"},
      {"01 03 61", "Io Error: Stream to String failed: content too short"},
  };
  for (auto [in, text] : errors) EXPECT_EQ(error_text(decode_exact<HcyAuthBody>(hex(in))), text) << in;
}

// ---- bind ----

TEST(HcyBindBodyTest, Encodings) {
  const std::pair<HcyBindBody, const char*> cases[] = {
      {{}, "00 00 00"},
      {{.names = {"a", "bc"}}, "00 00 02 01 61 02 62 63"},
      {{.names = {"a"}, .binder_name = "n"}, "00 00 01 01 61"},  // half a pair is not written
      {{.names = {"a"}, .binder_type = "t"}, "00 00 01 01 61"},
      {{.names = {"a"}, .binder_name = "n", .binder_type = "t"}, "01 01 6E 01 74 00 01 01 61"},
  };
  for (const auto& [body, text] : cases) {
    auto bytes = encode(body);
    EXPECT_EQ(to_hex(bytes), text);
    EXPECT_EQ(bytes.size(), body.encoded_size());
  }
}

TEST(HcyBindBodyTest, Decodes) {
  struct Case {
    const char* in;
    size_t consumed;
    HcyBindBody expect;
  };
  const Case cases[] = {
      {"00 00 02", 3, {.names = {"", ""}}},
      {"00 00 02 01 61 02 62 63 FF", 8, {.names = {"a", "bc"}}},
      {"07 01 6E 01 74 00 01 01 61", 9, {.names = {"a"}, .binder_name = "n", .binder_type = "t"}},
      {"01 00 00 00 00", 5, {.binder_name = "", .binder_type = ""}},
  };
  for (const Case& c : cases) {
    auto r = decode_exact<HcyBindBody>(hex(c.in));
    ASSERT_TRUE(r) << c.in << ": " << r.error().message();
    EXPECT_EQ(r->consumed, c.consumed) << c.in;
    EXPECT_EQ(r->value, c.expect) << c.in;
  }
}

TEST(HcyBindBodyTest, Errors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", kTruncated},
      {"00", kTruncated},
      {"00 00", kTruncated},
      {"01 01 6E 01 74", kTruncated},
      {"01 01 6E 01 74 00", kTruncated},
      {"00 00 02 01 61 03 62", "Io Error: Stream to String failed: content too short"},
  };
  for (auto [in, text] : cases) EXPECT_EQ(error_text(decode_exact<HcyBindBody>(hex(in))), text) << in;
}

TEST(HcyBindBodyTest, NameCountLimit) {
  HcyBindBody b;
  b.names.resize(65535);
  auto bytes = encode(b);
  ASSERT_EQ(bytes.size(), 3 + 65535u);
  EXPECT_EQ(to_hex(Bytes(bytes).first(3)), "00 FF FF");
  EXPECT_EQ(HcyBindBody::from_bytes(bytes)->value, b);

  b.names.emplace_back("x");
  ByteBuffer out;
  EXPECT_EQ(error_text(b.to_bytes(out)), "Failed to convert msg to binary:bind name count 65536/at most 65535");
  EXPECT_EQ(out.size(), 0u);
}

}  // namespace
}  // namespace veltrac
