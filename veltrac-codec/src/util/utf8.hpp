// UTF-8 validation with the exact error descriptions callers see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace veltrac::utf8 {

struct Utf8Error {
  size_t valid_up_to;  // offset of the first bad byte
  // Length of the longest valid prefix of the bad sequence (at least 1), or nothing when the input ends
  // inside a sequence that could still be valid.
  std::optional<uint8_t> error_len;

  // "invalid utf-8 sequence of k bytes from index i" or "incomplete utf-8 byte sequence from index i".
  std::string describe() const;
};

// True when the n bytes at p are all ASCII, checked 32 (long inputs) or 8 bytes at a time.
inline bool all_ascii(const uint8_t* p, size_t n) {
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  uint64_t acc = 0, w;
  if (n >= 64) {
    uint64_t a[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      for (size_t j = 0; j < 4; ++j) {
        std::memcpy(&w, p + i + 8 * j, 8);
        a[j] |= w;
      }
    }
    for (; i + 8 <= n; i += 8) {
      std::memcpy(&w, p + i, 8);
      acc |= w;
    }
    std::memcpy(&w, p + n - 8, 8);
    return ((a[0] | a[1] | a[2] | a[3] | acc | w) & kHigh) == 0;
  }
  if (n >= 8) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      std::memcpy(&w, p + i, 8);
      acc |= w;
    }
    std::memcpy(&w, p + n - 8, 8);  // the tail, overlapping bytes already seen
    return ((acc | w) & kHigh) == 0;
  }
  for (size_t i = 0; i < n; ++i) acc |= p[i];
  return (acc & 0x80) == 0;
}
inline bool all_ascii(std::string_view s) { return all_ascii(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// Nothing when `data` is valid UTF-8.
std::optional<Utf8Error> validate(const uint8_t* data, size_t len);
inline std::optional<Utf8Error> validate(std::string_view s) {
  return validate(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
inline bool is_valid(std::string_view s) { return !validate(s).has_value(); }

}  // namespace veltrac::utf8
