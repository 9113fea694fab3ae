// Bounds-checked big-endian reader over a byte span, and the growable output buffer every encoder uses.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "veltrac/error.hpp"
#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

using Bytes = std::span<const uint8_t>;

inline Bytes as_bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

namespace be {
inline uint16_t load16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return std::byteswap(v);
}
inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return std::byteswap(v);
}
inline void store16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void store32(uint8_t* p, uint32_t v) {
  v = std::byteswap(v);
  std::memcpy(p, &v, 4);
}
inline void store64(uint8_t* p, uint64_t v) {
  v = std::byteswap(v);
  std::memcpy(p, &v, 8);
}
}  // namespace be

// Reads from the front of a span; every read checks the remaining length first and never reads past the end.
class ByteReader {
 public:
  explicit ByteReader(Bytes data) : data_(data) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }
  // The unread rest of the input.
  Bytes rest() const { return data_.subspan(pos_); }
  void advance(size_t n) { pos_ += n; }  // caller guarantees n <= remaining()
  // The byte at the current position (one past the end when at_end()).
  const uint8_t* here() const { return data_.data() + pos_; }

  Result<uint8_t> u8() {
    if (remaining() < 1) return fail(VeltracError::truncated_at(data_.data() + pos_));
    return data_[pos_++];
  }
  Result<uint16_t> u16() {
    if (remaining() < 2) return fail(VeltracError::truncated_at(data_.data() + pos_));
    uint16_t v = be::load16(data_.data() + pos_);
    pos_ += 2;
    return v;
  }
  Result<uint32_t> u32() {
    if (remaining() < 4) return fail(VeltracError::truncated_at(data_.data() + pos_));
    uint32_t v = be::load32(data_.data() + pos_);
    pos_ += 4;
    return v;
  }
  Result<uint64_t> u64() {
    if (remaining() < 8) return fail(VeltracError::truncated_at(data_.data() + pos_));
    uint64_t v = be::load64(data_.data() + pos_);
    pos_ += 8;
    return v;
  }
  Result<int32_t> i32() {
    auto v = u32();
    if (!v) return fail(std::move(v.error()));
    return static_cast<int32_t>(*v);
  }
  Result<int64_t> i64() {
    auto v = u64();
    if (!v) return fail(std::move(v.error()));
    return static_cast<int64_t>(*v);
  }
  Result<double> f64() {
    auto v = u64();
    if (!v) return fail(std::move(v.error()));
    return std::bit_cast<double>(*v);
  }
  // The next n bytes, without copying.
  Result<Bytes> take(size_t n) {
    if (remaining() < n) return fail(VeltracError::truncated_at(data_.data() + pos_));
    Bytes b = data_.subspan(pos_, n);
    pos_ += n;
    return b;
  }

 private:
  Bytes data_;
  size_t pos_ = 0;
};

// Growable output buffer. Encoders append at the end and report how many bytes they appended.
class ByteBuffer {
 public:
  ByteBuffer() = default;

  size_t size() const { return data_.size(); }
  const uint8_t* data() const { return data_.data(); }
  uint8_t* data() { return data_.data(); }
  std::vector<uint8_t>& vector() { return data_; }
  const std::vector<uint8_t>& vector() const { return data_; }
  Bytes view() const { return {data_.data(), data_.size()}; }
  void reserve(size_t n) { data_.reserve(n); }
  // Make room for `extra` more bytes, growing geometrically.
  void reserve_more(size_t extra) {
    size_t need = data_.size() + extra;
    if (need > data_.capacity()) data_.reserve(std::max(need, data_.capacity() * 2));
  }
  void clear() { data_.clear(); }
  void truncate(size_t n) { data_.resize(n); }

  void put_u8(uint8_t v) { data_.push_back(v); }
  void put_u16(uint16_t v) {
    size_t at = grow(2);
    be::store16(data_.data() + at, v);
  }
  void put_u32(uint32_t v) {
    size_t at = grow(4);
    be::store32(data_.data() + at, v);
  }
  void put_u64(uint64_t v) {
    size_t at = grow(8);
    be::store64(data_.data() + at, v);
  }
  void put_i32(int32_t v) { put_u32(static_cast<uint32_t>(v)); }
  void put_i64(int64_t v) { put_u64(static_cast<uint64_t>(v)); }
  void put_f64(double v) { put_u64(std::bit_cast<uint64_t>(v)); }
  void put_bytes(const void* p, size_t n) {
    if (n == 0) return;
    size_t at = grow(n);
    std::memcpy(data_.data() + at, p, n);
  }
  void put_bytes(Bytes b) { put_bytes(b.data(), b.size()); }

 private:
  size_t grow(size_t n) {
    size_t at = data_.size();
    reserve_more(n);
    data_.resize(at + n);
    return at;
  }
  std::vector<uint8_t> data_;
};

}  // namespace veltrac
VELTRAC_API_END
