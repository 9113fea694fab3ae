// Helpers shared by the value-module tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/write.hpp"
#include "util/log.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/json/reader.hpp"

namespace veltrac::test {

// "16 FF 00" -> {0x16, 0xFF, 0x00}; blanks are ignored.
inline std::vector<uint8_t> hex(std::string_view s) {
  std::vector<uint8_t> out;
  int hi = -1;
  for (char c : s) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

inline Bytes view(const std::vector<uint8_t>& v) { return {v.data(), v.size()}; }

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
