#include "util/stream_string.hpp"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "util/utf8.hpp"

namespace veltrac {
namespace {

std::vector<uint8_t> encode(std::string_view s) {
  ByteBuffer b;
  size_t n = string_to_stream(b, s);
  EXPECT_EQ(n, b.size());
  return b.vector();
}

// One length byte up to 127 bytes, then four with the top bit set.
TEST(StreamStringTest, Prefixes) {
  const std::pair<size_t, std::vector<uint8_t>> cases[] = {
      {0, {0}}, {3, {3}}, {127, {0x7F}}, {128, {0x80, 0, 0, 0x80}}, {300, {0x80, 0, 1, 0x2C}}};
  for (const auto& [n, prefix] : cases) {
    std::vector<uint8_t> want = prefix;
    want.insert(want.end(), n, 'x');
    EXPECT_EQ(encode(std::string(n, 'x')), want) << n;
  }
}

TEST(StreamStringTest, Reads) {
  const std::tuple<std::vector<uint8_t>, const char*, size_t> cases[] = {
      {{0x80, 0, 0, 3, 'a', 'b', 'c', 'z'}, "abc", 7}, {{}, "", 0}, {{0}, "", 1}, {{0x80, 0, 0, 0}, "", 4}};
  for (const auto& [in, text, consumed] : cases) {
    auto r = stream_to_string(in);
    ASSERT_TRUE(r) << consumed;
    EXPECT_EQ(r->value, text);
    EXPECT_EQ(r->consumed, consumed);
  }
}

TEST(StreamStringTest, Errors) {
  struct Case {
    std::vector<uint8_t> in;
    const char* text;
  };
  const Case cases[] = {
      {{0x81, 0x00}, "Io Error: Stream to String failed: content too short, expecting 4 bytes but got less"},
      {{0x05, 0x61}, "Io Error: Stream to String failed: content too short"},
      {{0x80, 0, 0, 5, 'a'}, "Io Error: Stream to String failed: content too short"},
      {{0x02, 0xC3, 0x28}, "Io Error: Stream to String failed:invalid utf-8 sequence of 1 bytes from index 0"},
      {{0x03, 0xE2, 0x82, 0x28}, "Io Error: Stream to String failed:invalid utf-8 sequence of 2 bytes from index 0"},
      {{0x02, 0x61, 0xC3}, "Io Error: Stream to String failed:incomplete utf-8 byte sequence from index 1"},
  };
  for (const auto& c : cases) {
    auto r = stream_to_string(c.in);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.text);
  }
}

TEST(Utf8Test, ErrorLengths) {
  struct Case {
    std::vector<uint8_t> in;
    size_t index;
    int len;  // 0: incomplete
  };
  const Case cases[] = {
      {{0xE2, 0x82, 0x28}, 0, 2},
      {{0xF0, 0x9F, 0x98, 0x41}, 0, 3},
      {{0xC0, 0x80}, 0, 1},
      {{0xED, 0xA0, 0x80}, 0, 1},
      {{0x61, 0xC3}, 1, 0},
      {{0x61, 0x62, 0xFF}, 2, 1},
      {{0xF4, 0x90, 0x80, 0x80}, 0, 1},
      {{0xE0, 0x80, 0x80}, 0, 1},
      {{0xF0, 0x9F, 0x98}, 0, 0},
  };
  for (const auto& c : cases) {
    auto e = utf8::validate(c.in.data(), c.in.size());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->valid_up_to, c.index);
    if (c.len == 0) {
      EXPECT_FALSE(e->error_len);
    } else {
      EXPECT_EQ(e->error_len, c.len);
    }
  }
  const std::string ok = "plain ascii text long enough for the fast path \xC3\xA9 \xF0\x9F\x98\x80";
  EXPECT_FALSE(utf8::validate(ok));
  // The highest second bytes: U+FFFF, U+D7FF (below the surrogates), U+10FFFF; the lowest: U+0080, U+0800,
  // U+1000, U+10000.
  EXPECT_FALSE(utf8::validate(std::string_view("\xEF\xBF\xBF\xED\x9F\xBF\xF4\x8F\xBF\xBF")));
  EXPECT_FALSE(utf8::validate(std::string_view("\xC2\x80\xE0\xA0\x80\xE1\x80\x80\xF0\x90\x80\x80")));
}

TEST(ByteReaderTest, NeverReadsPastTheEnd) {
  const std::vector<uint8_t> in = {0x12, 0x34, 0x56};
  ByteReader r(in);
  EXPECT_EQ(*r.u16(), 0x1234);
  auto fail = r.u16();
  ASSERT_FALSE(fail);
  EXPECT_EQ(fail.error().message(), "Io Error: failed to fill whole buffer");
  EXPECT_EQ(r.position(), 2u);
  EXPECT_EQ(*r.u8(), 0x56);
  EXPECT_FALSE(r.u8());
  EXPECT_FALSE(r.take(1));
}

}  // namespace
}  // namespace veltrac
