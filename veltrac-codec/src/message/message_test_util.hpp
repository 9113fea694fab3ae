// Helpers shared by the message tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "primitive/values_test_util.hpp"
#include "veltrac/bytes.hpp"

namespace veltrac::testing {

// "01 0a FF" -> {1, 10, 255}; blanks are ignored.
using ::veltrac::test::hex;

// {1, 10, 255} -> "01 0A FF"
inline std::string to_hex(Bytes b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s.push_back(' ');
    s.push_back(kDigits[b[i] >> 4]);
    s.push_back(kDigits[b[i] & 15]);
  }
  return s;
}

inline std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Encodes with T::to_bytes into a fresh buffer and checks the reported count.
template <class T>
std::vector<uint8_t> encode(const T& v) {
  ByteBuffer out;
  auto n = v.to_bytes(out);
  size_t count;
  if constexpr (requires { n.has_value(); }) {
    if (!n) {
      ADD_FAILURE() << "encoding failed: " << n.error().message();
      return {};
    }
    count = *n;
  } else {
    count = n;
  }
  EXPECT_EQ(count, out.size()) << "reported count differs from bytes appended";
  return out.vector();
}

}  // namespace veltrac::testing

namespace veltrac::testing {

// Decodes a copy of `in` held in its own allocation, so that a read past its end is caught by the sanitizer.
template <class T>
auto decode_exact(const std::vector<uint8_t>& in) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[in.size() + 1]);
  std::copy(in.begin(), in.end(), copy.get());
  return T::from_bytes(Bytes(copy.get(), in.size()));
}

// The display text of a failed result, or "ok".
template <class R>
std::string error_text(const R& r) {
  return r ? std::string("ok") : r.error().message();
}

// A hex input, the count of bytes its decoding reads and the value it gives.
template <class T>
struct Decoded {
  const char* in;
  size_t consumed;
  T value;
};

template <class T>
void expect_decodes(std::initializer_list<Decoded<T>> cases) {
  for (const Decoded<T>& c : cases) {
    auto r = decode_exact<T>(hex(c.in));
    ASSERT_TRUE(r) << c.in << ": " << r.error().message();
    EXPECT_EQ(r->consumed, c.consumed) << c.in;
    EXPECT_EQ(r->value, c.value) << c.in;
  }
}

// Hex inputs and the error text each gives.
template <class T>
void expect_errors(std::initializer_list<std::pair<const char*, const char*>> cases) {
  for (auto [in, text] : cases) EXPECT_EQ(error_text(decode_exact<T>(hex(in))), text) << in;
}

}  // namespace veltrac::testing
