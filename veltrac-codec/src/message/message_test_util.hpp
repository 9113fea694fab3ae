// Helpers shared by the message tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "primitive/values_test_util.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/request.hpp"

namespace veltrac::testing {

using ::veltrac::test::decode_exact;
using ::veltrac::test::encode;
using ::veltrac::test::error_text;
using ::veltrac::test::expect_decodes;
using ::veltrac::test::expect_errors;
using ::veltrac::test::expect_round_trip;
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

// A request body with every field set (one header with an empty name), and its bytes.
inline HcyReqBody sample_request_body() {
  return HcyReqBody{.entity_type = entityTypeEnum{20},
                    .entity_name = "Pump-07",
                    .characteristic_type = 2,
                    .characteristic_name = "SetSpeed",
                    .headers = {{"trace", "a1"}, {"", "x"}}};
}
constexpr const char* kSampleRequestHex =
    "14 07 50 75 6D 70 2D 30 37 02 08 53 65 74 53 70 65 65 64 02 05 74 72 61 63 65 02 61 31 00 01 78 FF";

}  // namespace veltrac::testing
