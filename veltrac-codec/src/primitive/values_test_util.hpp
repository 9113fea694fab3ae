// Helpers shared by the value-module tests.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "json/write.hpp"
#include "util/log.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/json/reader.hpp"

namespace veltrac::test {

// "16 FF 00" -> {0x16, 0xFF, 0x00}; blanks are ignored.
inline std::vector<uint8_t> hex(std::string_view s) {
  std::string digits;
  for (char c : s) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline Bytes view(const std::vector<uint8_t>& v) { return {v.data(), v.size()}; }

// Decodes a copy of `in` held in its own allocation, so that a read past its end is caught by the sanitizer.
template <class T>
auto decode_exact(const std::vector<uint8_t>& in) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[in.size() + 1]);
  std::copy(in.begin(), in.end(), copy.get());
  return T::from_bytes(Bytes(copy.get(), in.size()));
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

// `value` encodes to exactly the hex `bytes` and decodes back from them, reading all of them.
template <class T>
void expect_round_trip(const T& value, const std::vector<uint8_t>& bytes) {
  EXPECT_EQ(encode(value), bytes);
  auto d = decode_exact<T>(bytes);
  ASSERT_TRUE(d) << d.error().message();
  EXPECT_EQ(d->value, value);
  EXPECT_EQ(d->consumed, bytes.size());
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

// JSON inputs and the error text of reading each with `read`.
template <class F>
void expect_json_errors(F read, std::initializer_list<std::pair<const char*, std::string>> cases) {
  for (const auto& [in, text] : cases) {
    auto v = read(in);
    ASSERT_FALSE(v) << in;
    EXPECT_EQ(v.error().text(), text) << in;
  }
}

// Collects diagnostics while alive.
struct LogCapture {
  struct Line {
    log::Level level;
    std::string target;
    std::string message;
  };
  std::vector<Line> lines;
  explicit LogCapture(log::Level max = log::Level::Trace) {
    log::set_sink(
        [](log::Level level, std::string_view target, std::string_view message, void* ctx) {
          static_cast<LogCapture*>(ctx)->lines.push_back({level, std::string(target), std::string(message)});
        },
        max, this);
  }
  ~LogCapture() { log::set_sink(nullptr, log::Level::Off); }
  bool has(std::string_view target, std::string_view message) const {
    for (const auto& l : lines)
      if (l.target == target && l.message == message) return true;
    return false;
  }
};

}  // namespace veltrac::test
