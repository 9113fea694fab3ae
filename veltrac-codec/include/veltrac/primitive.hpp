// HcPrim: one typed protocol value. Each value carries its BaseType; the kind fixes the storage.
//
// Layout (16 bytes): kind, base type, flags, a short length, a 32-bit length for text and bytes, and an
// 8-byte payload that holds the number itself or a pointer: text and bytes of up to 12 bytes are kept in the
// value itself (in the room of the 32-bit length and the payload), longer ones in one exact-size heap block;
// LOCATION, INFOTABLE and the value inside a VARIANT are owned through pointers. A cell of a decoded table may instead
// borrow its text from the table's text store; tables hand out their cells only as const references, so
// such a value leaves its table by copy (which owns its text), never by move. Copying is deep; copying and destroying
// deeply nested values (VARIANT chains, tables inside values inside tables) use an explicit work list, never recursion.
#pragma once

#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "veltrac/base_type.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"
#include "veltrac/json/error.hpp"
#include "veltrac/json/reader.hpp"
#include "veltrac/json/value.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

class InfoTable;

enum class PrimKind : uint8_t {
  NOTHING,
  STRING,
  NUMBER,
  INTEGER,
  LONG,
  BOOLEAN,
  LOCATION,
  BLOB,
  DATETIME,
  INFOTABLE,
  VARIANT,
};

inline constexpr size_t kPrimKindCount = 11;

// Member name: "NOTHING", "STRING", ... "VARIANT".
std::string_view prim_kind_name(PrimKind k);
// The kind that stores values of a family; nothing for HC_NULL.
std::optional<PrimKind> prim_kind_of(TypeFamily f);

struct Location {
  double longitude = 0.0;
  double latitude = 0.0;
  double elevation = 0.0;
  // Bitwise, so NaN coordinates compare equal to themselves.
  bool operator==(const Location& o) const;
};

class HcPrim {
 public:
  // NOTHING with base type NOTHING.
  HcPrim() noexcept : h_{PrimKind::NOTHING, BaseType::NOTHING, 0, 0, 0} { u_.i64 = 0; }
  HcPrim(const HcPrim& o);
  HcPrim(HcPrim&& o) noexcept : h_(o.h_), u_(o.u_) { o.reset_to_nothing(); }
  HcPrim& operator=(const HcPrim& o);
  HcPrim& operator=(HcPrim&& o) noexcept;
  ~HcPrim() {
    if (owns_heap()) release();
  }

  // Factories. The base type must belong to the family that the kind stores (see prim_kind_of).
  static HcPrim nothing(BaseType t = BaseType::NOTHING);
  static HcPrim string(std::string_view text, BaseType t = BaseType::STRING);
  static HcPrim number(double v, BaseType t = BaseType::NUMBER);
  static HcPrim integer(int32_t v, BaseType t = BaseType::INTEGER);
  static HcPrim long_(int64_t v, BaseType t = BaseType::LONG);
  static HcPrim boolean(bool v, BaseType t = BaseType::BOOLEAN);
  static HcPrim location(Location loc, BaseType t = BaseType::LOCATION);
  static HcPrim blob(Bytes bytes, BaseType t = BaseType::BLOB);
  static HcPrim datetime(int64_t v, BaseType t = BaseType::DATETIME);
  static HcPrim infotable(InfoTable table, BaseType t = BaseType::INFOTABLE);
  static HcPrim variant(HcPrim inner, BaseType t = BaseType::VARIANT);

  PrimKind kind() const { return h_.kind; }
  BaseType base_type() const { return h_.type; }
  bool is_variant() const { return h_.kind == PrimKind::VARIANT; }

  // Accessors; each requires the matching kind.
  std::string_view as_string() const { return {text_ptr(), byte_len()}; }
  Bytes as_blob() const { return {reinterpret_cast<const uint8_t*>(text_ptr()), byte_len()}; }
  double as_number() const { return u_.f64; }
  int32_t as_integer() const { return u_.i32; }
  int64_t as_long() const { return u_.i64; }
  int64_t as_datetime() const { return u_.i64; }
  bool as_bool() const { return u_.b; }
  const Location& as_location() const { return *u_.loc; }
  const InfoTable& as_table() const { return *u_.table; }
  InfoTable& as_table() { return *u_.table; }
  const HcPrim& as_variant() const { return *u_.inner; }
  HcPrim& as_variant() { return *u_.inner; }
  // The first value inside any number of VARIANT levels (the value itself when it is no VARIANT).
  const HcPrim& innermost() const;

  // Kind name of the innermost value ("VARIANT" is never returned).
  std::string_view type_name() const;
  // "VARIANT::" once per VARIANT level, then the innermost kind name.
  std::string full_type_name() const;

  // Deep equality; floats compare bitwise.
  bool operator==(const HcPrim& o) const;

  // ---- binary form ----
  // Appends the type code and the payload; returns the count appended.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  // Type code, then payload. An empty input is NOTHING with 0 consumed.
  static Result<Decoded<HcPrim>> from_bytes(Bytes in);
  // Payload only, after a type code naming `t`; the count excludes the code.
  static Result<Decoded<HcPrim>> from_bytes_typed(Bytes in, BaseType t);
  // Exact size of the binary form (fails where to_bytes would).
  Result<size_t> encoded_size() const;

  // ---- JSON forms ----
  // Typed form under a caller-given base type, as compact text.
  Result<void> write_json_typed(std::string& out, BaseType t) const;
  static Result<HcPrim> from_json_typed(json::Value v, BaseType t);
  // Simple form (no type information).
  Result<void> write_simple_json(std::string& out) const;
  // Tagged form, e.g. {"INTEGER":["INTEGER",5]}.
  std::expected<void, json::Error> to_tagged_json(std::string& out) const;
  static std::expected<HcPrim, json::Error> from_tagged_json(json::Reader& r);

  // ---- debug text ----
  // e.g. INTEGER(INTEGER, 5), VARIANT(VARIANT, LONG(LONG, 7)).
  std::string debug_text() const;
  void append_debug(std::string& out) const;

 private:
  friend struct PrimAccess;
  static constexpr uint32_t kLongLen = 0xFFFFFFFFu;  // real length stored in front of the heap block

  union Payload {
    double f64;
    int64_t i64;
    int32_t i32;
    bool b;
    char* heap;
    Location* loc;
    InfoTable* table;
    HcPrim* inner;
  };

  HcPrim(PrimKind k, BaseType t) noexcept : h_{k, t, 0, 0, 0} { u_.i64 = 0; }
  // From the head's bytes (see PrimAccess::head_bits) and the payload's: two stores.
  HcPrim(uint64_t head_bits, uint64_t payload_bits) noexcept {
    std::memcpy(&h_, &head_bits, sizeof h_);
    u_.i64 = static_cast<int64_t>(payload_bits);
  }
  static constexpr uint8_t kBorrowedText = 1;  // text/bytes belong to the enclosing table's store
  static constexpr uint8_t kInlineText = 2;    // text/bytes held in the value itself, from byte kInlineAt on
  static constexpr size_t kInlineAt = 4;
  static constexpr size_t kInlineMax = 12;
  bool owns_heap() const {
    switch (h_.kind) {
      case PrimKind::STRING:
      case PrimKind::BLOB: return !(h_.flags & (kBorrowedText | kInlineText)) && u_.heap != nullptr;
      case PrimKind::LOCATION:
      case PrimKind::INFOTABLE:
      case PrimKind::VARIANT: return true;
      default: return false;
    }
  }
  void reset_to_nothing() noexcept {
    h_ = Head{PrimKind::NOTHING, BaseType::NOTHING, 0, 0, 0};
    u_.i64 = 0;
  }
  void release() noexcept;
  // Allocates the exact-size block for n bytes and returns where the bytes go.
  char* alloc_bytes(size_t n);
  const char* text_ptr() const {
    if (h_.flags & kInlineText) return reinterpret_cast<const char*>(this) + kInlineAt;
    return h_.len == kLongLen ? u_.heap + 8 : u_.heap;
  }
  size_t byte_len() const {
    if (h_.flags & kInlineText) return h_.inline_len;
    if (h_.len != kLongLen) return h_.len;
    uint64_t n;
    std::memcpy(&n, u_.heap, 8);
    return n;
  }

  // Kind, base type, flags and the length of text and bytes (inline_len for inline text, whose bytes then
  // take the place of len and the payload): one 8-byte word, written as one.
  struct Head {
    PrimKind kind;
    BaseType type;
    uint8_t flags;
    uint8_t inline_len;
    uint32_t len;
  };
  Head h_;
  Payload u_;
};

static_assert(sizeof(HcPrim) == 16);

}  // namespace veltrac
VELTRAC_API_END
