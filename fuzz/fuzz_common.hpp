// Shared helpers of the fuzz targets: a check that aborts with a message, and hex dumps for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n%.*s\n", file, line, what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

inline std::string hex(std::span<const uint8_t> b, size_t limit = 256) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < b.size() && i < limit; ++i) {
    s += digits[b[i] >> 4];
    s += digits[b[i] & 15];
    s += ' ';
  }
  if (b.size() > limit) s += "...";
  return s;
}

inline std::string clip(std::string_view s, size_t limit = 512) {
  return std::string(s.substr(0, limit)) + (s.size() > limit ? "..." : "");
}

}  // namespace fuzz

#define FUZZ_CHECK(cond, detail)                                    \
  do {                                                              \
    if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, #cond, (detail)); \
  } while (0)
