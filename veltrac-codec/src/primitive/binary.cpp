// The binary form of single values: the size pass, the writer and the general reader, all after the
// description of each family in primitive/wire.hpp.
#include <bit>
#include <cstring>

#include "infotable/table_store.hpp"
#include "primitive/prim_access.hpp"
#include "primitive/value_codec.hpp"
#include "primitive/wire.hpp"
#include "util/stream_string.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac {
namespace detail {

VeltracError nesting_too_deep(const uint8_t* at) { return VeltracError::io(IoText::NestingTooDeep).found_at(at); }

VeltracError too_long(std::string_view what, size_t n) {
  std::string msg(what);
  msg += " of ";
  msg += std::to_string(n);
  msg += " bytes exceeds the 31-bit length limit";
  return VeltracError::io(std::move(msg));
}

Result<size_t> size_prim(const HcPrim& v) {
  size_t levels = 0;
  const HcPrim* p = &v;
  while (p->kind() == PrimKind::VARIANT) {
    ++levels;
    p = &p->as_variant();
  }
  const Wire& w = wire_of(p->kind());
  size_t n = 1;
  switch (w.payload) {
    case Payload::Fixed:
    case Payload::Location: n += w.width; break;
    case Payload::Text: {
      size_t len = p->as_string().size();
      if (len > kMaxWireLength) return fail(too_long("text", len));
      n += size_string(len);
      break;
    }
    case Payload::Blob: {
      size_t len = p->as_blob().size();
      if (len > kMaxWireLength) return fail(too_long("byte string", len));
      n += 4 + len;
      break;
    }
    case Payload::Table: {
      auto t = size_table(p->as_table());
      if (!t) return fail(std::move(t.error()));
      n += *t;
      break;
    }
    case Payload::None:
    case Payload::Variant:
    case Payload::Refused: break;
  }
  return levels + n;
}

uint8_t* write_prim(const HcPrim& v, uint8_t* p) {
  const HcPrim* x = &v;
  while (x->kind() == PrimKind::VARIANT) {
    *p++ = code_of(x->base_type());
    x = &x->as_variant();
  }
  *p++ = code_of(x->base_type());
  switch (x->kind()) {
    case PrimKind::NUMBER: p = put_fixed<PrimKind::NUMBER>(*x, p); break;
    case PrimKind::INTEGER: p = put_fixed<PrimKind::INTEGER>(*x, p); break;
    case PrimKind::LONG: p = put_fixed<PrimKind::LONG>(*x, p); break;
    case PrimKind::DATETIME: p = put_fixed<PrimKind::DATETIME>(*x, p); break;
    case PrimKind::BOOLEAN: p = put_fixed<PrimKind::BOOLEAN>(*x, p); break;
    case PrimKind::STRING: p = write_string(x->as_string(), p); break;
    case PrimKind::LOCATION: {
      const Location& l = x->as_location();
      be::store64(p, std::bit_cast<uint64_t>(l.longitude));
      be::store64(p + 8, std::bit_cast<uint64_t>(l.latitude));
      be::store64(p + 16, std::bit_cast<uint64_t>(l.elevation));
      p += 24;
      break;
    }
    case PrimKind::BLOB: {
      Bytes b = x->as_blob();
      p = put_wide_length(p, b.size());
      if (!b.empty()) std::memcpy(p, b.data(), b.size());
      p += b.size();
      break;
    }
    case PrimKind::INFOTABLE: p = write_table(x->as_table(), p); break;
    case PrimKind::NOTHING:
    case PrimKind::VARIANT: break;
  }
  return p;
}

Result<HcPrim> read_prim(ByteReader& r, unsigned depth) {
  if (r.at_end()) return HcPrim();
  uint8_t code = *r.u8();
  auto t = base_type_from_repr(code);
  if (!t) return fail(VeltracError::invalid_base_type(code).found_at(r.here() - 1));
  if (*t == BaseType::NOTHING) return HcPrim();
  return read_prim_typed(r, *t, depth);
}

Result<HcPrim> read_prim_typed(ByteReader& r, BaseType t, unsigned depth) {
  HcPrim v;
  if (auto ok = read_cell(r, t, depth, v, nullptr); !ok) return fail(std::move(ok.error()));
  return v;
}

Result<void> read_cell(ByteReader& r, BaseType t, unsigned depth, HcPrim& dst, TextStore* texts) {
  const Wire& w = wire_of(get_family(t));
  switch (w.payload) {
    case Payload::None: PrimAccess::emplace(&dst, PrimKind::NOTHING, t); return {};
    case Payload::Fixed: {
      auto b = r.take(w.width);
      if (!b) return fail(std::move(b.error()));
      emplace_fixed(&dst, w, t, b->data());
      return {};
    }
    case Payload::Text: {
      auto s = read_stream_string(r);
      if (!s) return fail(std::move(s.error()));
      const size_t n = s->size();
      if (texts != nullptr && n != 0 && n <= kStoredTextMax) {
        char* stored = texts->alloc(n, n + r.remaining());
        std::memcpy(stored, s->data(), n);
        PrimAccess::set_borrowed_text(dst, PrimKind::STRING, t, stored, n);
      } else {
        PrimAccess::set_text(dst, PrimKind::STRING, t, *s);
      }
      return {};
    }
    case Payload::Location: {
      if (r.remaining() < 24) return fail(VeltracError::truncated_at(r.here()));
      Location l;
      l.longitude = *r.f64();
      l.latitude = *r.f64();
      l.elevation = *r.f64();
      dst = HcPrim::location(l, t);
      return {};
    }
    case Payload::Blob: {
      auto len = r.u32();
      if (!len) return fail(std::move(len.error()));
      // Checked before anything is allocated.
      auto bytes = r.take(*len & 0x7FFFFFFFu);
      if (!bytes) return fail(std::move(bytes.error()));
      dst = HcPrim::blob(*bytes, t);
      return {};
    }
    case Payload::Variant: {
      if (depth >= kMaxNestingDepth) return fail(nesting_too_deep(r.here()));
      auto inner = read_prim(r, depth + 1);
      if (!inner) return fail(std::move(inner.error()));
      dst = HcPrim::variant(std::move(*inner), t);
      return {};
    }
    case Payload::Table: {
      if (depth >= kMaxNestingDepth) return fail(nesting_too_deep(r.here()));
      auto table = read_table(r, depth + 1);
      if (!table) return fail(std::move(table.error()));
      dst = HcPrim::infotable(std::move(*table), t);
      return {};
    }
    case Payload::Refused: break;
  }
  return fail(
      VeltracError::with_text(ErrorKind::UnimplementedVariantFamily,
                              "Not implemented yet family type:" + std::string(family_name(TypeFamily::HC_NULL)))
          .found_at(r.here()));
}

}  // namespace detail

Result<size_t> HcPrim::encoded_size() const { return detail::size_prim(*this); }

Result<size_t> HcPrim::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(out, *this, detail::size_prim, detail::write_prim);
}

Result<Decoded<HcPrim>> HcPrim::from_bytes(Bytes in) {
  return detail::decode_from(in, [&](ByteReader& r) { return detail::read_prim(r, 0); });
}

Result<Decoded<HcPrim>> HcPrim::from_bytes_typed(Bytes in, BaseType t) {
  return detail::decode_from(in, [&](ByteReader& r) { return detail::read_prim_typed(r, t, 0); });
}

}  // namespace veltrac
