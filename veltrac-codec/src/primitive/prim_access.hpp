// Internal stores into HcPrim cells, for the decoders of the value modules.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "veltrac/primitive.hpp"

namespace veltrac {

// In-place stores into a cell that holds NOTHING (and so owns nothing).
struct PrimAccess {
  static void set_u64(HcPrim& p, PrimKind k, BaseType t, uint64_t bits) {
    p.h_.kind = k;
    p.h_.type = t;
    p.u_.i64 = static_cast<int64_t>(bits);
  }
  static void set_i32(HcPrim& p, BaseType t, int32_t v) {
    p.h_.kind = PrimKind::INTEGER;
    p.h_.type = t;
    p.u_.i32 = v;
  }
  static void set_bool(HcPrim& p, BaseType t, bool v) {
    p.h_.kind = PrimKind::BOOLEAN;
    p.h_.type = t;
    p.u_.b = v;
  }
  // A text the cell borrows from its table's store.
  static void set_borrowed_text(HcPrim& p, PrimKind k, BaseType t, const char* data, size_t n) {
    p.h_ = HcPrim::Head{k, t, HcPrim::kBorrowedText, 0, static_cast<uint32_t>(n)};
    p.u_.heap = const_cast<char*>(data);
  }
  // The bytes of a head {k, t, flags, len} as one word, in the head's memory order.
  static uint64_t head_bits(PrimKind k, BaseType t, uint8_t flags, uint32_t len) {
    static_assert(sizeof(HcPrim::Head) == 8 && offsetof(HcPrim::Head, len) == 4);
    if constexpr (std::endian::native == std::endian::little) {
      return static_cast<uint64_t>(k) | static_cast<uint64_t>(t) << 8 | static_cast<uint64_t>(flags) << 16 |
             static_cast<uint64_t>(len) << 32;
    } else {
      const HcPrim::Head h{k, t, flags, 0, len};
      uint64_t bits = 0;
      std::memcpy(&bits, &h, sizeof h);
      return bits;
    }
  }
  // Builds a cell in uninitialised room: a value of kind k whose payload is zero (the empty text, NOTHING).
  static HcPrim* emplace(void* at, PrimKind k, BaseType t) { return new (at) HcPrim(head_bits(k, t, 0, 0), 0); }
  static void emplace_u64(void* at, PrimKind k, BaseType t, uint64_t bits) {
    new (at) HcPrim(head_bits(k, t, 0, 0), bits);
  }
  static void emplace_i32(void* at, BaseType t, int32_t v) { emplace(at, PrimKind::INTEGER, t)->u_.i32 = v; }
  static void emplace_bool(void* at, BaseType t, bool v) { emplace(at, PrimKind::BOOLEAN, t)->u_.b = v; }
  static void emplace_borrowed_text(void* at, BaseType t, const char* data, size_t n) {
    HcPrim* p = new (at) HcPrim(head_bits(PrimKind::STRING, t, HcPrim::kBorrowedText, static_cast<uint32_t>(n)), 0);
    p->u_.heap = const_cast<char*>(data);
  }
  static bool is_borrowed(const HcPrim& p) { return p.h_.flags & HcPrim::kBorrowedText; }
  // Builds at `at` a copy of `p`, a value that owns no heap memory (its words copied as they are).
  static void emplace_plain_copy(void* at, const HcPrim& p) {
    uint64_t head;
    std::memcpy(&head, &p.h_, sizeof head);
    new (at) HcPrim(head, static_cast<uint64_t>(p.u_.i64));
  }
  static void set_text(HcPrim& p, PrimKind k, BaseType t, std::string_view s) {
    char* dst = p.alloc_bytes(s.size());
    if (!s.empty()) std::memcpy(dst, s.data(), s.size());
    p.h_.kind = k;
    p.h_.type = t;
  }
};

}  // namespace veltrac
