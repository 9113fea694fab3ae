// The binary form of tables and rows. Cells are read by the general reader (read_cell) or, in bulk, by
// decode_plain_cells: runs of texts and fixed-width scalars straight from the input into the table's
// stores. detail::CellDecoder chooses; the bulk path must give exactly what the general reader gives.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "infotable/table_store.hpp"
#include "primitive/prim_access.hpp"
#include "primitive/value_codec.hpp"
#include "primitive/wire.hpp"
#include "util/byte_list.hpp"
#include "util/log.hpp"
#include "util/stream_string.hpp"
#include "util/utf8.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac {
namespace detail {

Result<size_t> size_row(std::span<const HcPrim> row) {
  if (row.size() > 0xFFFF) {
    return fail(VeltracError::io("row value count " + std::to_string(row.size()) + " exceeds 65535"));
  }
  size_t n = 2;
  for (const HcPrim& v : row) {
    // Scalars and texts inline; only nested values need the full size pass.
    const Wire& w = wire_of(v.kind());
    if (w.payload == Payload::Fixed) {
      n += 1 + w.width;
    } else if (w.payload == Payload::Text) {
      size_t len = v.as_string().size();
      if (len > kMaxWireLength) return fail(too_long("text", len));
      n += 1 + size_string(len);
    } else {
      auto s = size_prim(v);
      if (!s) return fail(std::move(s.error()));
      n += *s;
    }
  }
  return n;
}

uint8_t* write_row(std::span<const HcPrim> row, uint8_t* p) {
  be::store16(p, static_cast<uint16_t>(row.size()));
  p += 2;
  for (const HcPrim& v : row) {
    // Scalars and texts inline; other values through write_prim.
    switch (v.kind()) {
      case PrimKind::NUMBER:
        *p++ = code_of(v.base_type());
        p = put_fixed<PrimKind::NUMBER>(v, p);
        break;
      case PrimKind::INTEGER:
        *p++ = code_of(v.base_type());
        p = put_fixed<PrimKind::INTEGER>(v, p);
        break;
      case PrimKind::LONG:
        *p++ = code_of(v.base_type());
        p = put_fixed<PrimKind::LONG>(v, p);
        break;
      case PrimKind::DATETIME:
        *p++ = code_of(v.base_type());
        p = put_fixed<PrimKind::DATETIME>(v, p);
        break;
      case PrimKind::BOOLEAN:
        *p++ = code_of(v.base_type());
        p = put_fixed<PrimKind::BOOLEAN>(v, p);
        break;
      case PrimKind::STRING:
        *p++ = code_of(v.base_type());
        p = write_string(v.as_string(), p);
        break;
      default: p = write_prim(v, p); break;
    }
  }
  return p;
}

Result<size_t> size_table(const InfoTable& t) {
  auto s = size_shape(t.datashape);
  if (!s) return fail(std::move(s.error()));
  size_t n = *s + 1;
  for (InfoTable::Row row : t.rows()) {
    auto rs = size_row(row);
    if (!rs) return fail(std::move(rs.error()));
    n += 1 + *rs;
  }
  return n;
}

uint8_t* write_table(const InfoTable& t, uint8_t* p) {
  p = write_shape(t.datashape, p);
  for (InfoTable::Row row : t.rows()) {
    *p++ = 0x01;
    p = write_row(row, p);
  }
  *p++ = 0x00;
  return p;
}

namespace {

// Trace diagnostics of one decoded row: its input (from its count) and its values.
[[gnu::noinline]] void trace_row(Bytes input, std::span<const HcPrim> fields) {
  std::string m = "InfoTableRow:";
  append_byte_list(m, input, ", ");
  log::emit(log::Level::Trace, "veltrac_codec::infotable", m);
  m = "row:";
  append_row_debug(m, fields);
  log::emit(log::Level::Trace, "veltrac_codec::infotable", m);
}

// Copies n bytes (0 < n < 128) from src to dst and tells whether they are all ASCII, 16 bytes at a time where
// there are 16 (the last block overlaps the one before); nothing is read or written outside the n bytes.
inline bool copy_ascii(char* dst, const uint8_t* src, size_t n) {
#if defined(__SSE2__)
  if (n >= 16) {
    __m128i acc = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 < n; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      acc = _mm_or_si128(acc, v);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
    }
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + n - 16), last);
    return _mm_movemask_epi8(_mm_or_si128(acc, last)) == 0;
  }
#endif
  std::memcpy(dst, src, n);
  return utf8::all_ascii(src, n);
}

// What decode_plain_cells does with a type code, from the code's wire description: one byte per code, so
// that a cell costs one table load and one jump. Codes that name no base type are None.
enum class PlainCell : uint8_t { None, Text, Number, Long, Datetime, Integer, Boolean };
const std::array<PlainCell, 256> kPlainCells = [] {
  std::array<PlainCell, 256> t{};
  for (size_t code = 0; code < 256; ++code) {
    if (kBaseTypeTable[code].name == nullptr) continue;
    const Wire w = wire_of(kBaseTypeTable[code].family);
    if (w.payload == Payload::Text) t[code] = PlainCell::Text;
    if (w.payload != Payload::Fixed) continue;
    switch (w.kind) {
      case PrimKind::NUMBER: t[code] = PlainCell::Number; break;
      case PrimKind::LONG: t[code] = PlainCell::Long; break;
      case PrimKind::DATETIME: t[code] = PlainCell::Datetime; break;
      case PrimKind::INTEGER: t[code] = PlainCell::Integer; break;
      default: t[code] = PlainCell::Boolean; break;
    }
  }
  return t;
}();
// With 1 + kWidest bytes left every Fixed cell fits.
constexpr size_t kWidest =
    std::max<size_t>({wire_of(PrimKind::NUMBER).width, wire_of(PrimKind::LONG).width, wire_of(PrimKind::DATETIME).width,
                      wire_of(PrimKind::INTEGER).width, wire_of(PrimKind::BOOLEAN).width});

// Builds a Fixed cell of kind K from the code at p; returns the end of the cell.
template <PrimKind K>
[[gnu::always_inline]] inline const uint8_t* fixed_cell(HcPrim* out, const uint8_t* p) {
  constexpr Wire w = wire_of(K);
  emplace_fixed(out, w, static_cast<BaseType>(*p), p + 1);
  return p + 1 + w.width;
}

// Builds the text cell whose code is at p if it holds at most 127 ASCII bytes and leaves at least `reserved`
// of the `left` bytes of input after it. Returns the end of the cell, or nullptr when it does not (the cell
// is then not built).
[[gnu::always_inline]] inline const uint8_t* text_cell(HcPrim* out, const uint8_t* p, size_t left, size_t reserved,
                                                       TextStore& texts, TextStore::Room& room) {
  const size_t len = p[1];
  const auto t = static_cast<BaseType>(*p);
  if (len >= 0x80 || left - 2 < len + reserved) return nullptr;
  if (len == 0) {
    PrimAccess::emplace(out, PrimKind::STRING, t);
  } else {
    // A text that is not ASCII leaves its copy unused in the store and is read again in general.
    char* stored = room.alloc(len, left - 2, texts);
    if (!copy_ascii(stored, p + 2, len)) return nullptr;
    PrimAccess::emplace_borrowed_text(out, t, stored, len);
  }
  return p + 2 + len;
}

// Builds up to n cells at `out` while they are texts of at most 127 ASCII bytes or Fixed values that start
// at least 1 + kWidest bytes before the end of the input (p to end), which so holds them whole: read
// straight from the input, texts copied into the store. Stops at the first other cell; p is left after the
// last cell built, whose count is returned. The cells own nothing.
[[gnu::always_inline]] inline size_t decode_plain_cells(const uint8_t*& cursor, const uint8_t* end, HcPrim* out,
                                                        size_t n, TextStore& texts, TextStore::Room& room) {
  const uint8_t* p = cursor;
  size_t i = 0;
  for (; i < n; ++i) {
    // Cells closer to the end go to the general reader.
    if (static_cast<size_t>(end - p) < 1 + kWidest) goto done;
    switch (kPlainCells[*p]) {
      case PlainCell::Text: {
        const uint8_t* next = text_cell(out + i, p, static_cast<size_t>(end - p), 0, texts, room);
        if (next == nullptr) goto done;
        p = next;
        break;
      }
      case PlainCell::Number: p = fixed_cell<PrimKind::NUMBER>(out + i, p); break;
      case PlainCell::Long: p = fixed_cell<PrimKind::LONG>(out + i, p); break;
      case PlainCell::Datetime: p = fixed_cell<PrimKind::DATETIME>(out + i, p); break;
      case PlainCell::Integer: p = fixed_cell<PrimKind::INTEGER>(out + i, p); break;
      case PlainCell::Boolean: p = fixed_cell<PrimKind::BOOLEAN>(out + i, p); break;
      case PlainCell::None: goto done;
      default: __builtin_unreachable();  // the table holds only the cases above
    }
  }
done:
  cursor = p;
  return i;
}

// decode_plain_cells after the table's last cell (whose room must hold n more), through the reader.
size_t read_plain_cells(ByteReader& r, CellStore& cells, size_t n, TextStore& texts) {
  const uint8_t* p = r.rest().data();
  TextStore::Room room = texts.room();
  const size_t built = decode_plain_cells(p, p + r.remaining(), cells.end_room(), n, texts, room);
  texts.give_back(room);
  cells.commit(built, false);
  r.advance(static_cast<size_t>(p - r.rest().data()));
  return built;
}

// Before a row: room for the rows the input can still hold at the average row length so far (after enough
// rows for a fair average; the first rows grow the block geometrically), with an eighth more, so that the
// cells are rarely moved. `bytes_read` counts the rows' bytes so far, `bytes_left` the input left.
void plan_room(CellStore& cells, std::vector<size_t>& row_ends, size_t bytes_read, size_t bytes_left) {
  const size_t rows = row_ends.size(), used = cells.size();
  if (rows < 16 || cells.capacity() - used >= used / rows) return;
  const size_t more_rows = bytes_left / std::max<size_t>(1, bytes_read / rows) + 1;
  row_ends.reserve(rows + more_rows + more_rows / 8);
  cells.reserve(used + (more_rows + more_rows / 8) * ((used + rows - 1) / rows));
}

// Reads whole rows (marker, count, cells) while all their cells are plain (as in decode_plain_cells) and the
// input holds them as if each were the widest Fixed value: a Fixed cell then needs no bounds check, and a
// text is taken only if the input still holds as much for each cell after it. Returns true after consuming
// the end marker; false before the first row it cannot read so (nothing of that row is consumed), which the
// general reader then reads or reports.
//
// The cells go to their kind's code through a table of labels (labels as values, a GNU extension that g++
// and clang both have) rather than a switch: with g++ 12 the switch's code for this loop ran 5 to 20%
// slower, depending on small edits. Out of line: inlined into read_table, whose general reader keeps
// many values live, the loop's state went through the stack on every cell.
[[gnu::noinline]] bool read_plain_rows(ByteReader& r, CellStore& cells, std::vector<size_t>& row_ends, TextStore& texts,
                                       size_t rows_start, bool trace) {
  // By PlainCell: None, Text, Number, Long, Datetime, Integer, Boolean.
  static void* const kCell[] = {&&stop, &&text, &&number, &&long_, &&datetime, &&integer, &&boolean};
  static_assert(std::size(kCell) == static_cast<size_t>(PlainCell::Boolean) + 1);
  const uint8_t* const start = r.rest().data();
  const uint8_t* const end = start + r.remaining();
  const uint8_t* p = start;
  TextStore::Room room = texts.room();
  bool finished = false;
  // Where the next row's cells go and where the store's room ends, kept here rather than read back from the
  // store after every row (about 5% of the time).
  HcPrim* row_out = cells.end_room();
  HcPrim* room_end = cells.data() + cells.capacity();
  while (p != end) {
    if (*p == 0) {
      ++p;
      finished = true;
      break;
    }
    if (end - p < 3) break;
    const size_t count = be::load16(p + 1);
    if (count * (1 + kWidest) > static_cast<size_t>(end - p) - 3) break;
    if (static_cast<size_t>(room_end - row_out) < count) {
      plan_room(cells, row_ends, r.position() + static_cast<size_t>(p - start) - rows_start,
                static_cast<size_t>(end - p));
      cells.reserve_more(count);
      row_out = cells.end_room();
      room_end = cells.data() + cells.capacity();
    }
    const uint8_t* q = p + 3;
    {
      HcPrim* out = row_out;
      HcPrim* const out_end = out + count;
#define VELTRAC_NEXT_CELL              \
  if (++out == out_end) goto row_read; \
  goto* kCell[static_cast<size_t>(kPlainCells[*q])]
      if (count == 0) goto row_read;
      goto* kCell[static_cast<size_t>(kPlainCells[*q])];
    text:
      q = text_cell(out, q, static_cast<size_t>(end - q), static_cast<size_t>(out_end - out - 1) * (1 + kWidest), texts,
                    room);
      if (q == nullptr) goto stop;
      VELTRAC_NEXT_CELL;
    number:
      q = fixed_cell<PrimKind::NUMBER>(out, q);
      VELTRAC_NEXT_CELL;
    long_:
      q = fixed_cell<PrimKind::LONG>(out, q);
      VELTRAC_NEXT_CELL;
    datetime:
      q = fixed_cell<PrimKind::DATETIME>(out, q);
      VELTRAC_NEXT_CELL;
    integer:
      q = fixed_cell<PrimKind::INTEGER>(out, q);
      VELTRAC_NEXT_CELL;
    boolean:
      q = fixed_cell<PrimKind::BOOLEAN>(out, q);
      VELTRAC_NEXT_CELL;
#undef VELTRAC_NEXT_CELL
    }
  stop:
    // A row that stops early leaves its cells uncommitted; they own nothing.
    break;
  row_read:
    cells.commit(count, false);
    row_out += count;
    row_ends.push_back(cells.size());
    if (trace) trace_row(Bytes(p + 1, q), cells.view().last(count));
    p = q;
  }
  texts.give_back(room);
  r.advance(static_cast<size_t>(p - start));
  return finished;
}

// Appends one row (from its count, after the marker): with Bulk the plain cells through read_plain_cells,
// every other cell (and any that would fail) through the general reader, which reports the errors.
Result<void> read_table_row(ByteReader& r, unsigned depth, CellStore& cells, TextStore& texts, CellDecoder how) {
  auto count = r.u16();
  if (!count) return fail(std::move(count.error()));
  // Every value takes at least one byte, so the input bounds the room needed.
  const size_t room = std::min<size_t>(*count, r.remaining());
  cells.reserve_more(room);
  size_t i = 0;
  for (;;) {
    if (how == CellDecoder::Bulk && i < room) i += read_plain_cells(r, cells, room - i, texts);
    if (i >= *count) break;
    auto code = r.u8();
    if (!code) return fail(std::move(code.error()));
    auto t = base_type_from_repr(*code);
    if (!t) return fail(VeltracError::invalid_base_type(*code).found_at(r.here() - 1));
    if (i >= room) cells.reserve_more(1);
    HcPrim& dst = *PrimAccess::emplace(cells.end_room(), PrimKind::NOTHING, BaseType::NOTHING);
    cells.commit(1, true);
    if (auto ok = read_cell(r, *t, depth, dst, &texts); !ok) return fail(std::move(ok.error()));
    ++i;
  }
  return {};
}

// The shapes of the nested tables read so far within the outermost table being decoded, with their wire
// bytes: the tables of one column are usually built by one piece of code and have the same shape, and a shape
// whose bytes come again shares the entries read the first time instead of holding a copy of its own. Reading
// a shape is determined by its bytes (and the depth), so the shared entries are what reading would give.
// With each shape goes the size of the last small table read with it, which sizes the next one's storage.
class ShapeCache {
 public:
  // Rows, cells and text bytes of a small table.
  struct Size {
    size_t rows = 0, cells = 0, text = 0;
  };
  static constexpr size_t kSlots = 4, kMaxBytes = 4096;  // shapes kept, bytes of each at most
  struct Slot {
    std::vector<uint8_t> bytes;
    unsigned depth = 0;
    uint64_t generation = 0;
    DataShape shape;
    Size size;
  };

  // A kept shape; valid while its slot holds it.
  struct Kept {
    size_t slot = kSlots;
    uint64_t generation = 0;
  };

  // The shape at the reader's position when its bytes are those of a kept shape (the reader is then past it).
  Kept find(ByteReader& r, unsigned depth) const {
    const Bytes rest = r.rest();
    for (size_t i = 0; i < kSlots; ++i) {
      const Slot& s = slots_[i];
      if (s.depth == depth && !s.bytes.empty() && s.bytes.size() <= rest.size() && rest[0] == s.bytes[0] &&
          std::memcmp(rest.data(), s.bytes.data(), s.bytes.size()) == 0) {
        r.advance(s.bytes.size());
        return {i, s.generation};
      }
    }
    return {};
  }
  // Keeps `shape`, read from `bytes`, in place of the oldest kept one.
  Kept keep(Bytes bytes, unsigned depth, const DataShape& shape) {
    if (bytes.size() > kMaxBytes) return {};
    const size_t i = next_;
    next_ = (next_ + 1) % kSlots;
    Slot& s = slots_[i];
    s.bytes.assign(bytes.begin(), bytes.end());
    s.depth = depth;
    s.shape = shape;
    s.size = {};
    s.generation = ++generation_;
    return {i, s.generation};
  }
  const Slot* at(Kept k) const {
    return k.slot < kSlots && slots_[k.slot].generation == k.generation ? &slots_[k.slot] : nullptr;
  }
  void set_size(Kept k, Size size) {
    if (k.slot < kSlots && slots_[k.slot].generation == k.generation) slots_[k.slot].size = size;
  }

  // The cache of the outermost table being decoded on this thread (made when its first nested table is
  // read), or null outside decoding.
  static thread_local std::optional<ShapeCache>* active;

 private:
  std::array<Slot, kSlots> slots_;
  size_t next_ = 0;
  uint64_t generation_ = 0;
};
thread_local std::optional<ShapeCache>* ShapeCache::active = nullptr;

// Reads a table's shape into t, through `cache` when given (nested tables); returns the kept shape.
Result<ShapeCache::Kept> read_table_shape(ByteReader& r, unsigned depth, InfoTable& t, ShapeCache* cache) {
  if (cache != nullptr) {
    const ShapeCache::Kept k = cache->find(r, depth);
    if (const ShapeCache::Slot* s = cache->at(k)) {
      t.datashape = s->shape;
      return k;
    }
  }
  const size_t start = r.position();
  const uint8_t* const at = r.rest().data();
  auto shape = read_shape(r, depth);
  if (!shape) return fail(std::move(shape.error()));
  t.datashape = std::move(*shape);
  if (cache == nullptr) return ShapeCache::Kept{};
  return cache->keep(Bytes(at, r.position() - start), depth, t.datashape);
}

}  // namespace

Result<InfoTable> read_table(ByteReader& r, unsigned depth, CellDecoder how) {
  if (depth > kMaxNestingDepth) return fail(nesting_too_deep(r.here()));
  InfoTable t;
  // The outermost table reads its own shape directly and opens the cache for the tables nested in it.
  std::optional<ShapeCache> own_cache;
  std::optional<ShapeCache>* const active = ShapeCache::active;
  if (active != nullptr && !active->has_value()) active->emplace();
  ShapeCache* const cache = active == nullptr ? nullptr : &**active;
  auto kept = read_table_shape(r, depth, t, cache);
  if (!kept) return fail(std::move(kept.error()));
  if (cache == nullptr) ShapeCache::active = &own_cache;
  struct CloseCache {
    bool outermost;
    ~CloseCache() {
      if (outermost) ShapeCache::active = nullptr;
    }
  } close_cache{cache == nullptr};
  const size_t rows_start = r.position();
  const bool trace = log::enabled(log::Level::Trace);
  // A table of no rows keeps no storage.
  if (r.remaining() > 0 && r.rest()[0] == 0) {
    r.advance(1);
    return t;
  }
  // A small table whose shape came before gets the room the last one of that shape took: its cells and texts
  // in the storage's own block.
  const ShapeCache::Slot* slot = cache == nullptr ? nullptr : cache->at(*kept);
  TableStore& s =
      slot != nullptr && slot->size.rows != 0
          ? TableAccess::own_small(t, std::min(slot->size.cells, r.remaining()),
                                   std::min(slot->size.rows, r.remaining()), std::min(slot->size.text, r.remaining()))
          : TableAccess::own(t);
  // With Bulk, plain rows in bulk; any other row alone through the general reader.
  for (;;) {
    if (how == CellDecoder::Bulk && read_plain_rows(r, s.cells, s.row_ends, s.texts, rows_start, trace)) break;
    auto marker = r.u8();
    if (!marker) return fail(std::move(marker.error()));
    if (*marker == 0) break;
    const size_t row_begin = s.cells.size();
    const uint8_t* const row_input = r.rest().data();
    plan_room(s.cells, s.row_ends, r.position() - 1 - rows_start, r.remaining() + 1);
    if (auto ok = read_table_row(r, depth, s.cells, s.texts, how); !ok) return fail(std::move(ok.error()));
    s.row_ends.push_back(s.cells.size());
    if (trace) trace_row(Bytes(row_input, r.rest().data()), s.cells.view().subspan(row_begin));
  }
  if (cache != nullptr) {
    const ShapeCache::Size size{s.row_ends.size(), s.cells.size(), s.texts.used()};
    constexpr size_t kSmallRows = 16, kSmallCells = 256, kSmallText = 4096;
    const bool small = size.rows <= kSmallRows && size.cells <= kSmallCells && size.text <= kSmallText;
    cache->set_size(*kept, small ? size : ShapeCache::Size{});
  }
  TableAccess::sync(t);
  return t;
}

}  // namespace detail

Result<size_t> InfoTableRow::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(
      out, *this, [](const InfoTableRow& row) { return detail::size_row(row.fields); },
      [](const InfoTableRow& row, uint8_t* p) { return detail::write_row(row.fields, p); });
}

Result<Decoded<InfoTableRow>> InfoTableRow::from_bytes(Bytes in) {
  ByteReader r(in);
  CellStore cells;
  TextStore texts;
  if (auto ok = detail::read_table_row(r, 1, cells, texts, detail::CellDecoder::Reference); !ok) {
    return fail(std::move(ok.error()));
  }
  // Copies of the cells, which own their texts.
  InfoTableRow row;
  row.fields.assign(cells.view().begin(), cells.view().end());
  return Decoded<InfoTableRow>{std::move(row), r.position()};
}

Result<size_t> InfoTable::encoded_size() const { return detail::size_table(*this); }

Result<size_t> InfoTable::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(out, *this, detail::size_table, detail::write_table);
}

Result<Decoded<InfoTable>> InfoTable::from_bytes(Bytes in) {
  return detail::decode_from(in, [&](ByteReader& r) { return detail::read_table(r, 1); });
}

}  // namespace veltrac
