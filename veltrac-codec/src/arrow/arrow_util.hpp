// Internals shared by the Arrow export and import: owned buffers, metadata encoding and the kinds that
// Arrow columns hold.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <expected>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/families.hpp"
#include "infotable/table_store.hpp"
#include "veltrac/arrow.hpp"

namespace veltrac::arrow::detail {

// An Arrow failure: kind Io unless given (see arrow.hpp), the text as callers see it.
inline Unexpected fail(std::string text, ErrorKind kind = ErrorKind::Io) {
  return Unexpected(VeltracError::with_text(kind, std::move(text)));
}

// The kind whose Arrow type a field of type t takes: its family's kind, NOTHING (the null type) for the
// families without values.
inline PrimKind arrow_kind(BaseType t) { return veltrac::detail::family_of(t).kind; }

// The children of a LOCATION column, in this order.
inline constexpr const char* kCoordinates[3] = {"latitude", "longitude", "elevation"};

// INFOTABLE and VARIANT columns are binary holding each value's wire bytes.
inline bool is_wire(PrimKind k) { return k == PrimKind::INFOTABLE || k == PrimKind::VARIANT; }

// The base type a kind's Arrow type stands for when the field metadata names none; nothing for INFOTABLE
// and VARIANT, whose binary columns always name theirs (a binary column is BLOB otherwise).
inline std::optional<BaseType> plain_type_of(PrimKind k) {
  if (is_wire(k)) return std::nullopt;
  return veltrac::detail::family_of(k).plain;
}

// export_array with text and byte offsets widened to 64 bits past `limit` bytes of a column instead of
// past INT32_MAX, so that tests reach the widening without gigabytes of data.
Expected<void> export_array_widening_at(const InfoTable& t, size_t limit, ArrowSchema* schema_out,
                                        ArrowArray* array_out);

// A block of bytes for one exported buffer, from the table block cache (so that exporting table after
// table does not fault fresh pages in every time); 16-byte aligned, never null.
class Buf {
 public:
  Buf() = default;
  Buf(const Buf&) = delete;
  Buf& operator=(const Buf&) = delete;
  Buf(Buf&& o) noexcept : p_(std::exchange(o.p_, nullptr)), cap_(std::exchange(o.cap_, 0)) {}
  Buf& operator=(Buf&& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~Buf() { table_blocks::give(p_, cap_); }

  // Room for n bytes, uninitialised (the previous content is dropped).
  void allocate(size_t n) {
    table_blocks::give(std::exchange(p_, nullptr), std::exchange(cap_, 0));
    size_t cap = std::max(n, size_t{1});
    p_ = static_cast<uint8_t*>(table_blocks::take(cap));
    cap_ = cap;
  }
  // Room for at least n bytes, keeping the first `keep` bytes.
  void grow(size_t n, size_t keep) {
    if (n <= cap_) return;
    size_t cap = n;
    auto* p = static_cast<uint8_t*>(table_blocks::take(cap));
    if (keep != 0) std::memcpy(p, p_, keep);
    table_blocks::give(std::exchange(p_, p), std::exchange(cap_, cap));
  }
  size_t capacity() const { return cap_; }
  void allocate_zero(size_t n) {
    allocate(n);
    std::memset(p_, 0, n);
  }
  uint8_t* data() { return p_; }
  template <class T>
  T* as() {
    return reinterpret_cast<T*>(p_);
  }

 private:
  uint8_t* p_ = nullptr;
  size_t cap_ = 0;
};

}  // namespace veltrac::arrow::detail
