// Helpers shared by the message tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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

using ::veltrac::test::decode_exact;
using ::veltrac::test::Decoded;
using ::veltrac::test::error_text;
using ::veltrac::test::expect_decodes;
using ::veltrac::test::expect_errors;

}  // namespace veltrac::testing
