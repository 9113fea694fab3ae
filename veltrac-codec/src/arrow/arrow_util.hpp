// Internals shared by the Arrow export and import: owned buffers, metadata encoding and the kinds that
// Arrow columns hold.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "veltrac/arrow.hpp"

namespace veltrac::arrow::detail {

inline std::unexpected<Error> fail(std::string message) { return std::unexpected(Error{std::move(message)}); }

// The base type a kind exports by default (and imports as); nothing for the kinds Arrow cannot hold.
inline std::optional<BaseType> plain_type_of(PrimKind k) {
  switch (k) {
    case PrimKind::STRING: return BaseType::STRING;
    case PrimKind::NUMBER: return BaseType::NUMBER;
    case PrimKind::INTEGER: return BaseType::INTEGER;
    case PrimKind::LONG: return BaseType::LONG;
    case PrimKind::BOOLEAN: return BaseType::BOOLEAN;
    case PrimKind::BLOB: return BaseType::BLOB;
    case PrimKind::DATETIME: return BaseType::DATETIME;
    default: return std::nullopt;
  }
}

// A growable block of raw bytes from malloc (16-byte aligned, enough for every Arrow value type).
class Buf {
 public:
  Buf() = default;
  Buf(const Buf&) = delete;
  Buf& operator=(const Buf&) = delete;
  Buf(Buf&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)), cap_(std::exchange(o.cap_, 0)) {}
  Buf& operator=(Buf&& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~Buf() { std::free(p_); }

  uint8_t* data() { return p_; }
  size_t size() const { return size_; }
  void reserve(size_t n) {
    if (n > cap_) grow(n);
  }
  // n more bytes, uninitialised.
  uint8_t* extend(size_t n) {
    reserve(size_ + n);
    uint8_t* at = p_ + size_;
    size_ += n;
    return at;
  }
  // n zero bytes (the whole content); a block is allocated even for n == 0, so the pointer is never null.
  void assign_zero(size_t n) {
    reserve(n == 0 ? 1 : n);
    std::memset(p_, 0, n);
    size_ = n;
  }
  void resize(size_t n) {
    reserve(n == 0 ? 1 : n);
    size_ = n;
  }
  template <class T>
  T* as() {
    return reinterpret_cast<T*>(p_);
  }

 private:
  void grow(size_t n) {
    size_t cap = std::max({n, cap_ * 2, size_t{64}});
    void* q = std::realloc(p_, cap);
    if (q == nullptr) throw std::bad_alloc();
    p_ = static_cast<uint8_t*>(q);
    cap_ = cap;
  }

  uint8_t* p_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

}  // namespace veltrac::arrow::detail
