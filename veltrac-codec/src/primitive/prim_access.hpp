// Internal stores into HcPrim cells, for the decoders of the value modules.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "primitive/hc_prim.hpp"

namespace veltrac {

// In-place stores into a cell that holds NOTHING (and so owns nothing).
struct PrimAccess {
  static void set_u64(HcPrim& p, PrimKind k, BaseType t, uint64_t bits) {
    p.kind_ = k;
    p.type_ = t;
    p.u_.i64 = static_cast<int64_t>(bits);
  }
  static void set_i32(HcPrim& p, BaseType t, int32_t v) {
    p.kind_ = PrimKind::INTEGER;
    p.type_ = t;
    p.u_.i32 = v;
  }
  static void set_bool(HcPrim& p, BaseType t, bool v) {
    p.kind_ = PrimKind::BOOLEAN;
    p.type_ = t;
    p.u_.b = v;
  }
  // A text the cell borrows from its table's store.
  static void set_borrowed_text(HcPrim& p, PrimKind k, BaseType t, const char* data, size_t n) {
    p.kind_ = k;
    p.type_ = t;
    p.flags_ = HcPrim::kBorrowedText;
    p.len_ = static_cast<uint32_t>(n);
    p.u_.heap = const_cast<char*>(data);
  }
  // Builds a cell in uninitialised room: a value of kind k whose payload is zero (the empty text, NOTHING).
  static HcPrim* emplace(void* at, PrimKind k, BaseType t) { return new (at) HcPrim(k, t); }
  static void emplace_u64(void* at, PrimKind k, BaseType t, uint64_t bits) {
    emplace(at, k, t)->u_.i64 = static_cast<int64_t>(bits);
  }
  static void emplace_i32(void* at, BaseType t, int32_t v) { emplace(at, PrimKind::INTEGER, t)->u_.i32 = v; }
  static void emplace_bool(void* at, BaseType t, bool v) { emplace(at, PrimKind::BOOLEAN, t)->u_.b = v; }
  static void emplace_borrowed_text(void* at, BaseType t, const char* data, size_t n) {
    set_borrowed_text(*emplace(at, PrimKind::STRING, t), PrimKind::STRING, t, data, n);
  }
  static bool is_borrowed(const HcPrim& p) { return p.flags_ & HcPrim::kBorrowedText; }
  static void set_text(HcPrim& p, PrimKind k, BaseType t, std::string_view s) {
    char* dst = p.alloc_bytes(s.size());
    if (!s.empty()) std::memcpy(dst, s.data(), s.size());
    p.kind_ = k;
    p.type_ = t;
  }
};

}  // namespace veltrac
