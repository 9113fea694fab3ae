// The seeded hash of map keys (detail::hash_key, veltrac/detail/ordered_map.hpp).
#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>

#include "veltrac/detail/ordered_map.hpp"

namespace veltrac {

namespace detail {
namespace {
uint64_t os_seed() {
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ 0x9E3779B97F4A7C15ull;
}
inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t m = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}
}  // namespace

uint64_t hash_key(std::string_view key) noexcept {
  static const uint64_t seed = os_seed();
  const uint8_t* p = reinterpret_cast<const uint8_t*>(key.data());
  size_t n = key.size();
  uint64_t h = seed ^ (n * 0xA0761D6478BD642Full);
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h ^ w, 0xE7037ED1A0B428DBull);
    p += 8;
    n -= 8;
  }
  // The last 0 to 7 bytes: the last eight of the key when it had eight or more (some mixed in already),
  // else two overlapping 4-byte words, else the first, middle and last byte.
  uint64_t tail = 0;
  if (key.size() >= 8) {
    std::memcpy(&tail, key.data() + key.size() - 8, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    tail = uint64_t{a} << 32 | b;
  } else if (n > 0) {
    tail = uint64_t{p[0]} << 16 | uint64_t{p[n / 2]} << 8 | p[n - 1];
  }
  h = mix(h ^ tail, 0x8EBC6AF09C88C6E3ull);
  return mix(h, 0x589965CC75374CC3ull);
}
}  // namespace detail

}  // namespace veltrac
