#include "veltrac/infotable.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/record.hpp"
#include "json/write.hpp"
#include "primitive/prim_access.hpp"
#include "primitive/value_codec.hpp"
#include "util/decimal.hpp"
#include "util/log.hpp"
#include "util/stream_string.hpp"
#include "util/utf8.hpp"

namespace veltrac {

// ---- storage ----

namespace table_blocks {
namespace {

constexpr size_t kSmallest = size_t{64} << 10;  // smaller blocks go straight to the allocator
#if defined(__SANITIZE_ADDRESS__)
#define VELTRAC_KEEP_NO_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTRAC_KEEP_NO_BLOCKS 1
#endif
#endif
#ifdef VELTRAC_KEEP_NO_BLOCKS
constexpr size_t kKept = 0;  // every block goes back at once, so AddressSanitizer sees any late use
#else
constexpr size_t kKept = size_t{8} << 20;  // bytes kept per thread at most
#endif
constexpr size_t kSlots = 8;

struct Cache {
  void* block[kSlots] = {};
  size_t size[kSlots] = {};
  size_t total = 0;
  ~Cache() {
    for (size_t i = 0; i < kSlots; ++i) ::operator delete(block[i]);
  }
};
thread_local Cache t_cache;

}  // namespace

void* take(size_t& size) {
  if (size >= kSmallest) {
    Cache& c = t_cache;
    // The smallest kept block that fits and wastes at most half of itself.
    size_t best = kSlots;
    for (size_t i = 0; i < kSlots; ++i) {
      if (c.block[i] != nullptr && c.size[i] >= size && c.size[i] / 2 <= size &&
          (best == kSlots || c.size[i] < c.size[best])) {
        best = i;
      }
    }
    if (best != kSlots) {
      void* p = std::exchange(c.block[best], nullptr);
      size = c.size[best];
      c.total -= size;
      return p;
    }
  }
  return ::operator new(size);
}

void give(void* block, size_t size) noexcept {
  if (block == nullptr) return;
  if (size >= kSmallest) {
    Cache& c = t_cache;
    if (c.total + size <= kKept) {
      for (size_t i = 0; i < kSlots; ++i) {
        if (c.block[i] == nullptr) {
          c.block[i] = block;
          c.size[i] = size;
          c.total += size;
          return;
        }
      }
    }
  }
  ::operator delete(block);
}

size_t kept_bytes() noexcept { return t_cache.total; }

}  // namespace table_blocks

TextStore::TextStore(TextStore&& o) noexcept
    : blocks_(std::move(o.blocks_)),
      next_(std::exchange(o.next_, nullptr)),
      left_(std::exchange(o.left_, 0)),
      block_size_(std::exchange(o.block_size_, 0)) {
  o.blocks_.clear();
}

TextStore& TextStore::operator=(TextStore&& o) noexcept {
  if (this != &o) {
    release();
    blocks_ = std::move(o.blocks_);
    o.blocks_.clear();
    next_ = std::exchange(o.next_, nullptr);
    left_ = std::exchange(o.left_, 0);
    block_size_ = std::exchange(o.block_size_, 0);
  }
  return *this;
}

void TextStore::release() noexcept {
  for (const Block& b : blocks_) table_blocks::give(b.data, b.size);
  blocks_.clear();
  next_ = nullptr;
  left_ = 0;
}

void TextStore::new_block(size_t n, size_t bound) {
  constexpr size_t kFirstBlock = 4096, kLargestBlock = size_t{1} << 20;
  block_size_ = block_size_ == 0 ? kFirstBlock : std::min(block_size_ * 2, kLargestBlock);
  size_t size = std::max(n, std::min(block_size_, bound));
  blocks_.reserve(blocks_.size() + 1);
  char* data = static_cast<char*>(table_blocks::take(size));
  blocks_.push_back({data, size});
  next_ = data;
  left_ = size;
}

void CellStore::clear() noexcept {
  if (may_own_) {
    for (size_t i = 0; i < size_; ++i) data_[i].~HcPrim();
  }
  table_blocks::give(data_, capacity_ * sizeof(HcPrim));
  data_ = nullptr;
  size_ = capacity_ = 0;
  may_own_ = false;
}

void CellStore::relocate(size_t capacity) {
  if (capacity > SIZE_MAX / sizeof(HcPrim)) throw std::bad_alloc();
  size_t bytes = capacity * sizeof(HcPrim);
  auto* fresh = static_cast<HcPrim*>(table_blocks::take(bytes));
  // Moving leaves NOTHING behind, which owns nothing: the old block is freed without visiting it again.
  for (size_t i = 0; i < size_; ++i) new (fresh + i) HcPrim(std::move(data_[i]));
  table_blocks::give(data_, capacity_ * sizeof(HcPrim));
  data_ = fresh;
  capacity_ = bytes / sizeof(HcPrim);
}

InfoTable::InfoTable(const InfoTable& o) : datashape(o.datashape), row_ends_(o.row_ends_) {
  cells_.reserve(o.cells_.size());
  for (const HcPrim& v : o.cells_.view()) {
    if (PrimAccess::is_borrowed(v)) {
      std::string_view s = v.as_string();
      char* dst = texts_.alloc(s.size(), s.size());
      std::memcpy(dst, s.data(), s.size());
      PrimAccess::emplace_borrowed_text(cells_.end_room(), v.base_type(), dst, s.size());
      cells_.commit(1, false);
    } else {
      cells_.push_back(HcPrim(v));
    }
  }
}

InfoTable& InfoTable::operator=(const InfoTable& o) {
  if (this != &o) *this = InfoTable(o);
  return *this;
}

bool InfoTable::operator==(const InfoTable& o) const {
  auto a = cells_.view(), b = o.cells_.view();
  return datashape == o.datashape && row_ends_ == o.row_ends_ && std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void InfoTable::append_row(std::span<HcPrim> values) {
  cells_.reserve_more(values.size());
  for (HcPrim& v : values) cells_.push_back(std::move(v));
  row_ends_.push_back(cells_.size());
}

// ---- binary form ----

namespace detail {

Result<size_t> size_row(std::span<const HcPrim> row) {
  if (row.size() > 0xFFFF) {
    return fail(VeltracError::io("row value count " + std::to_string(row.size()) + " exceeds 65535"));
  }
  size_t n = 2;
  for (const HcPrim& v : row) {
    // Scalars inline; only nested values need the full size pass.
    switch (v.kind()) {
      case PrimKind::INTEGER: n += 5; break;
      case PrimKind::NUMBER:
      case PrimKind::LONG:
      case PrimKind::DATETIME: n += 9; break;
      case PrimKind::BOOLEAN: n += 2; break;
      case PrimKind::STRING: {
        size_t len = v.as_string().size();
        if (len > kMaxWireLength) return fail(too_long("text", len));
        n += 1 + size_string(len);
        break;
      }
      default: {
        auto s = size_prim(v);
        if (!s) return fail(std::move(s.error()));
        n += *s;
      }
    }
  }
  return n;
}

uint8_t* write_row(std::span<const HcPrim> row, uint8_t* p) {
  be::store16(p, static_cast<uint16_t>(row.size()));
  p += 2;
  for (const HcPrim& v : row) p = write_prim(v, p);
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

std::string row_input_text(Bytes in) {
  std::string m = "InfoTableRow:[";
  char buf[4];
  for (size_t i = 0; i < in.size(); ++i) {
    if (i) m.append(", ");
    auto res = std::to_chars(buf, buf + sizeof buf, in[i]);
    m.append(buf, res.ptr);
  }
  m.push_back(']');
  return m;
}

void append_row_debug(std::string& out, std::span<const HcPrim> fields) {
  out.append("InfoTableRow { fields: [");
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out.append(", ");
    fields[i].append_debug(out);
  }
  out.append("] }");
}

// Texts up to this length go to the table's store; longer ones get their own block.
constexpr size_t kStoredTextMax = 4096;

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

// What decode_plain_cells does with a type code: one byte per code, so a cell costs one table load and one
// jump. Codes that name no base type are None.
enum class PlainCell : uint8_t { None, Text, Number, Long, Datetime, Integer, Boolean };
const std::array<PlainCell, 256> kPlainCells = [] {
  std::array<PlainCell, 256> t{};
  for (size_t code = 0; code < 256; ++code) {
    switch (kBaseTypeTable[code].family) {  // HC_NULL for codes that name no base type
      case TypeFamily::HC_STRING: t[code] = PlainCell::Text; break;
      case TypeFamily::HC_NUMBER: t[code] = PlainCell::Number; break;
      case TypeFamily::HC_LONG: t[code] = PlainCell::Long; break;
      case TypeFamily::HC_DATETIME: t[code] = PlainCell::Datetime; break;
      case TypeFamily::HC_INTEGER: t[code] = PlainCell::Integer; break;
      case TypeFamily::HC_BOOLEAN: t[code] = PlainCell::Boolean; break;
      default: t[code] = PlainCell::None; break;
    }
  }
  return t;
}();

// Builds up to n cells at `out` while they are texts of at most 127 ASCII bytes or fixed-width scalars that
// start at least 9 bytes before the end of the input (p to end), which so holds them whole: read straight
// from the input, texts copied into the store. Stops at the first other cell; p is left after the last cell
// built, whose count is returned. The cells own nothing.
[[gnu::always_inline]] inline size_t decode_plain_cells(const uint8_t*& cursor, const uint8_t* end, HcPrim* out,
                                                        size_t n, TextStore& texts, TextStore::Room& room) {
  const uint8_t* p = cursor;
  size_t i = 0;
  for (; i < n; ++i) {
    // With 9 bytes left every fixed-width cell fits; cells closer to the end go to the general reader.
    if (end - p < 9) goto done;
    const uint8_t code = *p;
    const auto t = static_cast<BaseType>(code);
    const size_t left = static_cast<size_t>(end - p);
    switch (kPlainCells[code]) {
      case PlainCell::Text: {
        const size_t len = p[1];
        if (len >= 0x80 || left - 2 < len) goto done;
        if (len == 0) {
          PrimAccess::emplace(out + i, PrimKind::STRING, t);
        } else {
          // A text that is not ASCII leaves its copy unused in the store and is read again in general.
          char* stored = room.alloc(len, left - 2, texts);
          if (!copy_ascii(stored, p + 2, len)) goto done;
          PrimAccess::emplace_borrowed_text(out + i, t, stored, len);
        }
        p += 2 + len;
        break;
      }
      case PlainCell::Number:
        PrimAccess::emplace_u64(out + i, PrimKind::NUMBER, t, be::load64(p + 1));
        p += 9;
        break;
      case PlainCell::Long:
        PrimAccess::emplace_u64(out + i, PrimKind::LONG, t, be::load64(p + 1));
        p += 9;
        break;
      case PlainCell::Datetime:
        PrimAccess::emplace_u64(out + i, PrimKind::DATETIME, t, be::load64(p + 1));
        p += 9;
        break;
      case PlainCell::Integer:
        PrimAccess::emplace_i32(out + i, t, static_cast<int32_t>(be::load32(p + 1)));
        p += 5;
        break;
      case PlainCell::Boolean:
        PrimAccess::emplace_bool(out + i, t, p[1] != 0);
        p += 2;
        break;
      case PlainCell::None:
        goto done;
      default:
        __builtin_unreachable();  // the table holds only the cases above
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

// Appends one row of a table (from its count, after the marker): the common cells through
// read_plain_cells, any other cell (and any that would fail) through the general readers, which report
// the errors.
Result<void> read_table_row(ByteReader& r, unsigned depth, CellStore& cells, TextStore& texts) {
  VELTRAC_LOG(Trace, "veltrac_codec::infotable", row_input_text(r.rest()));
  auto count = r.u16();
  if (!count) return fail(std::move(count.error()));
  // Every value takes at least one byte, so the input bounds the room needed.
  const size_t room = std::min<size_t>(*count, r.remaining());
  cells.reserve_more(room);
  size_t i = 0;
  for (;;) {
    if (i < room) i += read_plain_cells(r, cells, room - i, texts);
    if (i >= *count) break;
    auto code = r.u8();
    if (!code) return fail(std::move(code.error()));
    auto t = base_type_from_repr(*code);
    if (!t) return fail(VeltracError::invalid_base_type(*code));
    if (i >= room) cells.reserve_more(1);
    HcPrim& dst = *PrimAccess::emplace(cells.end_room(), PrimKind::NOTHING, BaseType::NOTHING);
    cells.commit(1, true);
    if (get_family(*t) == TypeFamily::HC_STRING) {
      auto s = stream_to_string_view(r.rest());
      if (!s) return fail(std::move(s.error()));
      r.advance(s->consumed);
      const size_t n = s->value.size();
      if (n != 0 && n <= kStoredTextMax) {
        char* stored = texts.alloc(n, n + r.remaining());
        std::memcpy(stored, s->value.data(), n);
        PrimAccess::set_borrowed_text(dst, PrimKind::STRING, *t, stored, n);
      } else {
        PrimAccess::set_text(dst, PrimKind::STRING, *t, s->value);
      }
    } else if (auto ok = read_prim_typed_into(r, *t, depth, dst); !ok) {
      return fail(std::move(ok.error()));
    }
    ++i;
  }
  return {};
}

}  // namespace

Result<void> read_row(ByteReader& r, unsigned depth, std::vector<HcPrim>& out) {
  VELTRAC_LOG(Trace, "veltrac_codec::infotable", row_input_text(r.rest()));
  auto count = r.u16();
  if (!count) return fail(std::move(count.error()));
  // Cells are decoded in place. Every value takes at least one byte, so the input bounds the count.
  const size_t base = out.size();
  out.resize(base + std::min<size_t>(*count, r.remaining()));
  for (size_t i = 0; i < *count; ++i) {
    auto code = r.u8();
    if (!code) return fail(std::move(code.error()));
    auto t = base_type_from_repr(*code);
    if (!t) return fail(VeltracError::invalid_base_type(*code));
    if (base + i == out.size()) out.emplace_back();
    if (auto ok = read_prim_typed_into(r, *t, depth, out[base + i]); !ok) return fail(std::move(ok.error()));
  }
  return {};
}

namespace {

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

// Reads whole rows (marker, count, cells) while all their cells are plain (see decode_plain_cells) and the
// input holds them. Returns true after consuming the end marker; false before the first row it cannot read
// so (nothing of that row is consumed), which the general reader then reads or reports.
bool read_plain_rows(ByteReader& r, CellStore& cells, std::vector<size_t>& row_ends, TextStore& texts,
                     size_t rows_start) {
  const uint8_t* const start = r.rest().data();
  const uint8_t* const end = start + r.remaining();
  const uint8_t* p = start;
  TextStore::Room room = texts.room();
  bool finished = false;
  while (p != end) {
    if (*p == 0) {
      ++p;
      finished = true;
      break;
    }
    if (end - p < 3) break;
    const size_t count = be::load16(p + 1);
    if (count > static_cast<size_t>(end - p) - 3) break;
    if (cells.capacity() - cells.size() < count) {
      plan_room(cells, row_ends, r.position() + static_cast<size_t>(p - start) - rows_start,
                static_cast<size_t>(end - p));
      cells.reserve_more(count);
    }
    const uint8_t* q = p + 3;
    // A row that stops early leaves its cells uncommitted; they own nothing.
    if (decode_plain_cells(q, end, cells.end_room(), count, texts, room) != count) break;
    cells.commit(count, false);
    row_ends.push_back(cells.size());
    p = q;
  }
  texts.give_back(room);
  r.advance(static_cast<size_t>(p - start));
  return finished;
}

}  // namespace

Result<InfoTable> read_table(ByteReader& r, unsigned depth) {
  if (depth > kMaxNestingDepth) return fail(nesting_too_deep());
  InfoTable t;
  auto shape = read_shape(r, depth);
  if (!shape) return fail(std::move(shape.error()));
  t.datashape = std::move(*shape);
  const size_t rows_start = r.position();
  // Plain rows in bulk; any other row alone through the general reader (also every row while a trace sink
  // listens, so that each row is reported).
  const bool bulk = !log::enabled(log::Level::Trace);
  for (;;) {
    if (bulk && read_plain_rows(r, t.cells_, t.row_ends_, t.texts_, rows_start)) break;
    auto marker = r.u8();
    if (!marker) return fail(std::move(marker.error()));
    if (*marker == 0) break;
    const size_t row_begin = t.cells_.size();
    plan_room(t.cells_, t.row_ends_, r.position() - 1 - rows_start, r.remaining() + 1);
    if (auto ok = read_table_row(r, depth, t.cells_, t.texts_); !ok) return fail(std::move(ok.error()));
    t.row_ends_.push_back(t.cells_.size());
    VELTRAC_LOG(Trace, "veltrac_codec::infotable", [&] {
      std::string m = "row:";
      append_row_debug(m, t.cells_.view().subspan(row_begin));
      return m;
    }());
  }
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
  InfoTableRow row;
  if (auto ok = detail::read_row(r, 1, row.fields); !ok) return fail(std::move(ok.error()));
  return Decoded<InfoTableRow>{std::move(row), r.position()};
}

Result<size_t> InfoTable::encoded_size() const { return detail::size_table(*this); }

Result<size_t> InfoTable::to_bytes(ByteBuffer& out) const {
  return detail::encode_into(out, *this, detail::size_table, detail::write_table);
}

Result<Decoded<InfoTable>> InfoTable::from_bytes(Bytes in) {
  ByteReader r(in);
  auto t = detail::read_table(r, 1);
  if (!t) return fail(std::move(t.error()));
  return Decoded<InfoTable>{std::move(*t), r.position()};
}

// ---- JSON record form ----

namespace {
constexpr std::string_view kTableFields[] = {"datashape", "rows"};
constexpr json::RecordSpec kTableSpec{"struct InfoTable", kTableFields, "struct InfoTable with 2 elements",
                                      json::UnknownFields::Skip};
constexpr std::string_view kRowFields[] = {"fields"};
constexpr json::RecordSpec kRowSpec{"struct InfoTableRow", kRowFields, "struct InfoTableRow with 1 element",
                                    json::UnknownFields::Skip};
}  // namespace

namespace {
std::expected<void, json::Error> write_row_json(std::string& out, std::span<const HcPrim> fields) {
  out.append("{\"fields\":[");
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out.push_back(',');
    if (auto ok = fields[i].to_tagged_json(out); !ok) return ok;
  }
  out.append("]}");
  return {};
}
}  // namespace

std::expected<void, json::Error> InfoTableRow::write_json(std::string& out) const {
  return write_row_json(out, fields);
}

std::expected<InfoTableRow, json::Error> InfoTableRow::read_json(json::Reader& r) {
  InfoTableRow row;
  auto seen = json::read_record(r, kRowSpec, [&](size_t) -> json::Expected<void> {
    return json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
      auto v = HcPrim::from_tagged_json(r);
      if (!v) return json::fail(std::move(v.error()));
      row.fields.push_back(std::move(*v));
      return {};
    });
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kRowFields, {0}); !ok) return json::fail(std::move(ok.error()));
  return row;
}

std::expected<void, json::Error> InfoTable::write_json(std::string& out) const {
  out.append("{\"datashape\":");
  if (auto ok = datashape.write_json(out); !ok) return ok;
  out.append(",\"rows\":[");
  for (size_t i = 0; i < row_count(); ++i) {
    if (i) out.push_back(',');
    if (auto ok = write_row_json(out, row(i)); !ok) return ok;
  }
  out.append("]}");
  return {};
}

std::expected<std::string, json::Error> InfoTable::to_json() const {
  std::string out;
  if (auto ok = write_json(out); !ok) return json::fail(std::move(ok.error()));
  return out;
}

std::expected<InfoTable, json::Error> InfoTable::read_json(json::Reader& r) {
  InfoTable t;
  auto seen = json::read_record(r, kTableSpec, [&](size_t i) -> json::Expected<void> {
    if (i == 0) return json::assign(t.datashape, DataShape::read_json(r));
    return json::read_seq(r, "a sequence", [&](size_t) -> json::Expected<void> {
      auto row = InfoTableRow::read_json(r);
      if (!row) return json::fail(std::move(row.error()));
      t.add_row(std::move(*row));
      return {};
    });
  });
  if (!seen) return json::fail(std::move(seen.error()));
  if (auto ok = json::require_fields(r, *seen, kTableFields, {0, 1}); !ok) return json::fail(std::move(ok.error()));
  return t;
}

// ---- simple JSON ----

namespace {
void report_missing_entry(size_t index) {
  VELTRAC_LOG(Error, "veltrac_codec::infotable::json", "DataShape entry not found for index " + std::to_string(index));
}
}  // namespace

Result<json::Value> InfoTable::to_simple_json() const {
  auto shape = datashape.to_simple_json();
  if (!shape) return fail(std::move(shape.error()));
  json::Array out_rows;
  out_rows.reserve(row_count());
  for (Row fields : rows()) {
    json::Object obj;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i >= datashape.entries.size()) {
        report_missing_entry(i);
        continue;
      }
      auto v = fields[i].to_simple_json();
      if (!v) return fail(std::move(v.error()));
      obj.insert(datashape.entries.at(i).first, std::move(*v));
    }
    out_rows.emplace_back(std::move(obj));
  }
  json::Object obj;
  obj.insert("dataShape", std::move(*shape));
  obj.insert("rows", json::Value(std::move(out_rows)));
  return json::Value(std::move(obj));
}

namespace {

// Pre-escaped member keys ("key":) of every column in one buffer, each padded to a multiple of 16 bytes, so
// that a short key is copied with one fixed-size store.
class MemberKeys {
 public:
  static constexpr size_t kSlack = 16;

  explicit MemberKeys(const DataShape& shape) {
    std::string key;
    for (const auto& [name, entry] : shape.entries) {
      key.clear();
      json::write_key(key, name);
      at_.push_back({buf_.size(), key.size()});
      buf_.append(key);
      buf_.append(kSlack - key.size() % kSlack, '\0');
    }
  }
  size_t size(size_t col) const { return at_[col].second; }
  std::string_view text(size_t col) const { return {buf_.data() + at_[col].first, at_[col].second}; }
  // Writes the key at p, which has kSlack bytes of room past it.
  char* put(char* p, size_t col) const {
    const auto [offset, n] = at_[col];
    if (n <= kSlack) {
      std::memcpy(p, buf_.data() + offset, kSlack);
    } else {
      std::memcpy(p, buf_.data() + offset, n);
    }
    return p + n;
  }

 private:
  std::string buf_;
  std::vector<std::pair<size_t, size_t>> at_;  // offset and length per column
};

// Writes a row whose values are all texts, numbers, integers or booleans (the values that cannot fail)
// straight into room reserved for the whole row; the same text as the value-by-value writer. Returns false,
// writing nothing, for a row holding any other kind.
bool write_simple_row(std::string& out, std::span<const HcPrim> fields, const std::vector<size_t>& order,
                      const MemberKeys& keys, bool comma) {
  size_t room = 3 + MemberKeys::kSlack;  // comma, braces, and what a key copy may store past its end
  for (size_t col : order) {
    if (col >= fields.size()) continue;
    const HcPrim& v = fields[col];
    room += keys.size(col) + 1;
    switch (v.kind()) {
      case PrimKind::STRING: room += json::string_room(v.as_string().size()); break;
      case PrimKind::NUMBER:
      case PrimKind::INTEGER:
      case PrimKind::LONG:
      case PrimKind::DATETIME: room += json::kNumberRoom; break;
      case PrimKind::BOOLEAN: room += 5; break;
      default: return false;
    }
  }
  const size_t at = out.size();
  out.resize_and_overwrite(at + room, [&](char* buf, size_t) {
    char* p = buf + at;
    if (comma) *p++ = ',';
    *p++ = '{';
    bool first = true;
    for (size_t col : order) {
      if (col >= fields.size()) continue;
      if (!first) *p++ = ',';
      first = false;
      p = keys.put(p, col);
      const HcPrim& v = fields[col];
      switch (v.kind()) {
        case PrimKind::STRING: p = json::put_string(p, v.as_string()); break;
        case PrimKind::NUMBER: {
          double d = v.as_number();
          p = json::put_f64(p, std::isfinite(d) ? d : 0.0);
          break;
        }
        case PrimKind::INTEGER: p = decimal::put_i64(p, v.as_integer()); break;
        case PrimKind::LONG:
        case PrimKind::DATETIME: p = decimal::put_i64(p, v.as_long()); break;
        default: {  // BOOLEAN
          bool b = v.as_bool();
          std::memcpy(p, b ? "true" : "false", b ? 4 : 5);
          p += b ? 4 : 5;
        }
      }
    }
    *p++ = '}';
    return static_cast<size_t>(p - buf);
  });
  return true;
}

}  // namespace

Result<void> InfoTable::write_simple_json(std::string& out) const {
  out.append("{\"dataShape\":");
  if (auto ok = datashape.write_simple_json(out); !ok) return ok;
  out.append(",\"rows\":[");
  // Column positions in the byte order of their keys, computed once for all rows.
  const size_t ncols = datashape.entries.size();
  std::vector<size_t> order(ncols);
  for (size_t i = 0; i < ncols; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return datashape.entries.at(a).first < datashape.entries.at(b).first; });
  MemberKeys keys(datashape);

  const size_t rows_start = out.size();
  const size_t nrows = row_count();
  for (size_t ri = 0; ri < nrows; ++ri) {
    const Row fields = row(ri);
    if (write_simple_row(out, fields, order, keys, ri != 0)) {
      if (ri == 0 && nrows > 1) {
        // Room for the other rows at the first row's length (capped), instead of growing step by step.
        constexpr size_t kMaxGuess = size_t{1} << 28;
        out.reserve(out.size() + std::min(kMaxGuess, (nrows - 1) * (out.size() - rows_start)) + 2);
      }
    } else {
      if (ri) out.push_back(',');
      out.push_back('{');
      bool first = true;
      for (size_t col : order) {
        if (col >= fields.size()) continue;
        if (!first) out.push_back(',');
        first = false;
        out.append(keys.text(col));
        if (auto ok = fields[col].write_simple_json(out); !ok) return ok;
      }
      out.push_back('}');
    }
    for (size_t i = ncols; i < fields.size(); ++i) report_missing_entry(i);
  }
  out.append("]}");
  return {};
}

// ---- debug text ----

void InfoTableRow::append_debug(std::string& out) const { detail::append_row_debug(out, fields); }

void InfoTable::append_debug(std::string& out) const {
  out.append("InfoTable { datashape: ");
  datashape.append_debug(out);
  out.append(", rows: [");
  for (size_t i = 0; i < row_count(); ++i) {
    if (i) out.append(", ");
    detail::append_row_debug(out, row(i));
  }
  out.append("] }");
}

std::string InfoTable::debug_text() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace veltrac
