#include "veltrac/primitive.hpp"

#include <bit>
#include <new>
#include <vector>

#include "base/families.hpp"
#include "primitive/prim_access.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {

namespace {

// Owned nested objects (the value inside a VARIANT, the table of an INFOTABLE) are released and copied
// through per-thread work lists, so a value nested a million levels deep needs no deep call stack: a
// nested object met while a list is being drained is queued instead of handled in place.
struct PendingRelease {
  bool is_table;
  void* object;
};
struct ReleaseList {
  std::vector<PendingRelease> pending;
  bool draining = false;
};
thread_local ReleaseList t_release;

void release_nested(bool is_table, void* object) noexcept {
  ReleaseList& list = t_release;
  list.pending.push_back({is_table, object});
  if (list.draining) return;
  list.draining = true;
  while (!list.pending.empty()) {
    PendingRelease p = list.pending.back();
    list.pending.pop_back();
    if (p.is_table) {
      delete static_cast<InfoTable*>(p.object);
    } else {
      delete static_cast<HcPrim*>(p.object);
    }
  }
  list.draining = false;
}

struct PendingCopy {
  bool is_table;
  const void* from;
  void* to;  // a heap object owned by the copy, so it never moves
};
struct CopyList {
  std::vector<PendingCopy> pending;
  bool draining = false;
};
thread_local CopyList t_copy;

void copy_nested(bool is_table, const void* from, void* to) {
  CopyList& list = t_copy;
  list.pending.push_back({is_table, from, to});
  if (list.draining) return;
  list.draining = true;
  struct Reset {
    CopyList& l;
    ~Reset() {
      l.pending.clear();
      l.draining = false;
    }
  } reset{list};
  while (!list.pending.empty()) {
    PendingCopy p = list.pending.back();
    list.pending.pop_back();
    if (p.is_table) {
      *static_cast<InfoTable*>(p.to) = *static_cast<const InfoTable*>(p.from);
    } else {
      *static_cast<HcPrim*>(p.to) = *static_cast<const HcPrim*>(p.from);
    }
  }
}

}  // namespace

std::string_view prim_kind_name(PrimKind k) { return detail::kKindNames[static_cast<size_t>(k)]; }

std::optional<PrimKind> prim_kind_of(TypeFamily f) {
  const detail::Family& facts = detail::family_of(f);
  if (!facts.has_values) return std::nullopt;
  return facts.kind;
}

bool Location::operator==(const Location& o) const {
  return std::bit_cast<uint64_t>(longitude) == std::bit_cast<uint64_t>(o.longitude) &&
         std::bit_cast<uint64_t>(latitude) == std::bit_cast<uint64_t>(o.latitude) &&
         std::bit_cast<uint64_t>(elevation) == std::bit_cast<uint64_t>(o.elevation);
}

// ---- storage ----

char* HcPrim::alloc_bytes(size_t n) {
  static_assert(offsetof(Head, len) == kInlineAt && sizeof(Head) + sizeof(Payload) == kInlineAt + kInlineMax);
  if (n == 0) {
    u_.heap = nullptr;
    h_.len = 0;
    return nullptr;
  }
  if (n <= kInlineMax) {
    h_.flags = kInlineText;
    h_.inline_len = static_cast<uint8_t>(n);
    return reinterpret_cast<char*>(this) + kInlineAt;
  }
  if (n < kLongLen) {
    u_.heap = static_cast<char*>(::operator new(n));
    h_.len = static_cast<uint32_t>(n);
    return u_.heap;
  }
  u_.heap = static_cast<char*>(::operator new(n + 8));
  uint64_t n64 = n;
  std::memcpy(u_.heap, &n64, 8);
  h_.len = kLongLen;
  return u_.heap + 8;
}

void HcPrim::release() noexcept {
  switch (h_.kind) {
    case PrimKind::STRING:
    case PrimKind::BLOB: ::operator delete(u_.heap); break;
    case PrimKind::LOCATION: delete u_.loc; break;
    case PrimKind::INFOTABLE: release_nested(true, u_.table); break;
    case PrimKind::VARIANT: release_nested(false, u_.inner); break;
    default: break;
  }
}

HcPrim::HcPrim(const HcPrim& o) : h_{o.h_.kind, o.h_.type, 0, 0, 0} {
  switch (h_.kind) {
    case PrimKind::STRING:
    case PrimKind::BLOB: {
      size_t n = o.byte_len();
      char* dst = alloc_bytes(n);
      if (n) std::memcpy(dst, o.text_ptr(), n);
      break;
    }
    case PrimKind::LOCATION: u_.loc = new Location(*o.u_.loc); break;
    case PrimKind::INFOTABLE:
      u_.table = new InfoTable();
      copy_nested(true, o.u_.table, u_.table);
      break;
    case PrimKind::VARIANT:
      u_.inner = new HcPrim();
      copy_nested(false, o.u_.inner, u_.inner);
      break;
    default: u_ = o.u_; break;
  }
}

HcPrim& HcPrim::operator=(const HcPrim& o) {
  if (this != &o) *this = HcPrim(o);
  return *this;
}

HcPrim& HcPrim::operator=(HcPrim&& o) noexcept {
  if (this != &o) {
    // Take o first: it may live inside this value's own tree.
    HcPrim old(std::move(o));
    std::swap(h_, old.h_);
    std::swap(u_, old.u_);
  }
  return *this;
}

// ---- factories ----

HcPrim HcPrim::nothing(BaseType t) { return HcPrim(PrimKind::NOTHING, t); }

HcPrim HcPrim::string(std::string_view text, BaseType t) {
  HcPrim p(PrimKind::STRING, t);
  char* dst = p.alloc_bytes(text.size());
  if (!text.empty()) std::memcpy(dst, text.data(), text.size());
  return p;
}

HcPrim HcPrim::number(double v, BaseType t) {
  HcPrim p(PrimKind::NUMBER, t);
  p.u_.f64 = v;
  return p;
}

HcPrim HcPrim::integer(int32_t v, BaseType t) {
  HcPrim p(PrimKind::INTEGER, t);
  p.u_.i32 = v;
  return p;
}

HcPrim HcPrim::long_(int64_t v, BaseType t) {
  HcPrim p(PrimKind::LONG, t);
  p.u_.i64 = v;
  return p;
}

HcPrim HcPrim::boolean(bool v, BaseType t) {
  HcPrim p(PrimKind::BOOLEAN, t);
  p.u_.b = v;
  return p;
}

HcPrim HcPrim::location(Location loc, BaseType t) {
  HcPrim p(PrimKind::LOCATION, t);
  p.u_.loc = new Location(loc);
  return p;
}

HcPrim HcPrim::blob(Bytes bytes, BaseType t) {
  HcPrim p(PrimKind::BLOB, t);
  char* dst = p.alloc_bytes(bytes.size());
  if (!bytes.empty()) std::memcpy(dst, bytes.data(), bytes.size());
  return p;
}

HcPrim HcPrim::datetime(int64_t v, BaseType t) {
  HcPrim p(PrimKind::DATETIME, t);
  p.u_.i64 = v;
  return p;
}

HcPrim HcPrim::infotable(InfoTable table, BaseType t) {
  HcPrim p(PrimKind::INFOTABLE, t);
  p.u_.table = new InfoTable(std::move(table));
  return p;
}

HcPrim HcPrim::variant(HcPrim inner, BaseType t) {
  HcPrim p(PrimKind::VARIANT, t);
  p.u_.inner = new HcPrim(std::move(inner));
  return p;
}

// ---- inspection ----

const HcPrim& HcPrim::innermost() const {
  const HcPrim* p = this;
  while (p->h_.kind == PrimKind::VARIANT) p = p->u_.inner;
  return *p;
}

std::string_view HcPrim::type_name() const { return prim_kind_name(innermost().h_.kind); }

std::string HcPrim::full_type_name() const {
  std::string out;
  const HcPrim* p = this;
  while (p->h_.kind == PrimKind::VARIANT) {
    out += "VARIANT::";
    p = p->u_.inner;
  }
  out += prim_kind_name(p->h_.kind);
  return out;
}

namespace {

using PrimPairs = std::vector<std::pair<const HcPrim*, const HcPrim*>>;

// Compares the tables' own fields; their nested values are queued on `todo`.
bool tables_equal_shallow(const InfoTable& a, const InfoTable& b, PrimPairs& todo) {
  if (a.datashape.name != b.datashape.name || a.datashape.entries.size() != b.datashape.entries.size() ||
      a.row_count() != b.row_count()) {
    return false;
  }
  for (size_t i = 0; i < a.datashape.entries.size(); ++i) {
    const auto& [ka, ea] = a.datashape.entries.at(i);
    const auto& [kb, eb] = b.datashape.entries.at(i);
    if (ka != kb || ea.name != eb.name || ea.description != eb.description || ea.entry_type != eb.entry_type ||
        ea.aspects.size() != eb.aspects.size()) {
      return false;
    }
    for (const auto& [name, value] : ea.aspects) {
      const HcPrim* other = eb.aspects.find(name);
      if (other == nullptr) return false;
      todo.emplace_back(&value, other);
    }
  }
  for (size_t r = 0; r < a.row_count(); ++r) {
    InfoTable::Row fa = a.row(r);
    InfoTable::Row fb = b.row(r);
    if (fa.size() != fb.size()) return false;
    for (size_t i = 0; i < fa.size(); ++i) todo.emplace_back(&fa[i], &fb[i]);
  }
  return true;
}

}  // namespace

// Iterative, so deeply nested values compare without deep recursion.
bool HcPrim::operator==(const HcPrim& o) const {
  PrimPairs todo;
  const HcPrim* a = this;
  const HcPrim* b = &o;
  for (;;) {
    if (a->h_.kind != b->h_.kind || a->h_.type != b->h_.type) return false;
    bool same = true;
    switch (a->h_.kind) {
      case PrimKind::NOTHING: break;
      case PrimKind::STRING:
      case PrimKind::BLOB: same = a->as_string() == b->as_string(); break;
      case PrimKind::NUMBER: same = std::bit_cast<uint64_t>(a->u_.f64) == std::bit_cast<uint64_t>(b->u_.f64); break;
      case PrimKind::INTEGER: same = a->u_.i32 == b->u_.i32; break;
      case PrimKind::LONG:
      case PrimKind::DATETIME: same = a->u_.i64 == b->u_.i64; break;
      case PrimKind::BOOLEAN: same = a->u_.b == b->u_.b; break;
      case PrimKind::LOCATION: same = *a->u_.loc == *b->u_.loc; break;
      case PrimKind::INFOTABLE: same = tables_equal_shallow(*a->u_.table, *b->u_.table, todo); break;
      case PrimKind::VARIANT: todo.emplace_back(a->u_.inner, b->u_.inner); break;
    }
    if (!same) return false;
    if (todo.empty()) return true;
    a = todo.back().first;
    b = todo.back().second;
    todo.pop_back();
  }
}

}  // namespace veltrac
