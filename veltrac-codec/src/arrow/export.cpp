// Export of tables through the Arrow C data and C stream interfaces.
//
// Every exported structure owns its memory through private_data and releases its children itself, so a
// consumer may move any child out and release it on its own.
#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

#include "arrow/arrow_util.hpp"
#include "veltrac/arrow.hpp"

namespace veltrac::arrow {
namespace {

using detail::Buf;
using detail::fail;
using detail::is_wire;

// Releases an exported structure: first each child the consumer has not moved out, then what it owns.
template <class T, class Data>
void release_owned(T* p) noexcept {
  auto* d = static_cast<Data*>(p->private_data);
  for (T* c : d->child_ptrs) {
    if (c->release != nullptr) c->release(c);
  }
  delete d;
  p->release = nullptr;
}

// ---- schema ----

struct SchemaData {
  std::string format, name, metadata;
  std::vector<ArrowSchema> child_structs;
  std::vector<ArrowSchema*> child_ptrs;
};

constexpr auto release_schema = release_owned<ArrowSchema, SchemaData>;

void put_i32(std::string& out, size_t n) {
  int32_t v = static_cast<int32_t>(n);
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;

// The binary metadata form: pair count, then each key and value with its length (native int32); nothing
// without pairs.
std::string encode_metadata(const Pairs& pairs) {
  if (pairs.empty()) return {};
  std::string out;
  put_i32(out, pairs.size());
  for (const auto& [k, v] : pairs) {
    put_i32(out, k.size());
    out += k;
    put_i32(out, v.size());
    out += v;
  }
  return out;
}

// A schema owned by a fresh SchemaData; the children are added by the caller.
SchemaData* init_schema(ArrowSchema* s, std::string format, std::string_view name, std::string metadata,
                        int64_t flags = 0) {
  auto* d = new SchemaData{std::move(format), std::string(name), std::move(metadata), {}, {}};
  *s = ArrowSchema{};
  s->flags = flags;
  s->format = d->format.c_str();
  s->name = d->name.c_str();
  s->metadata = d->metadata.empty() ? nullptr : d->metadata.data();
  s->release = release_schema;
  s->private_data = d;
  return d;
}

// How a field's values are exported.
struct ColumnType {
  PrimKind kind;
  BaseType type;
  std::string aspects;  // the field's aspects as JSON text, empty without aspects
};

Expected<std::vector<ColumnType>> column_types(const DataShape& shape) {
  std::vector<ColumnType> cols;
  cols.reserve(shape.size());
  for (const auto& field : shape.entries) {
    const std::string& key = field.first;
    const DataShapeEntry& entry = field.second;
    if (key.find('\0') != std::string::npos) {
      std::string shown;
      for (char ch : key) shown += ch == '\0' ? std::string("\\0") : std::string(1, ch);
      return fail("field '" + shown + "': Arrow field names cannot hold a NUL character");
    }
    std::string aspects;
    if (!entry.aspects.empty()) {
      if (auto ok = entry.aspects.write_json(aspects); !ok) {
        return fail("field '" + key + "': the aspects have no JSON form: " + ok.error().text(), ErrorKind::Json);
      }
    }
    cols.push_back({detail::arrow_kind(entry.entry_type), entry.entry_type, std::move(aspects)});
  }
  return cols;
}

// Texts and bytes past 2 GiB take the large formats.
std::string format_of(PrimKind k, bool large) {
  std::string f(veltrac::detail::family_of(k).arrow_format);
  if (large) f[0] = static_cast<char>(f[0] - 'a' + 'A');  // "u" / "z"
  return f;
}

// `large[i]`: column i uses 64-bit offsets.
void build_schema(const DataShape& shape, const std::vector<ColumnType>& cols, const std::vector<bool>& large,
                  ArrowSchema* out) {
  std::string meta;
  if (shape.name) meta = encode_metadata({{kNameKey, *shape.name}});
  ArrowSchema top;
  SchemaData* d = init_schema(&top, "+s", "", std::move(meta));
  std::unique_ptr<ArrowSchema, void (*)(ArrowSchema*)> guard(&top, release_schema);
  d->child_structs.resize(cols.size());
  d->child_ptrs.reserve(cols.size());
  size_t i = 0;
  for (const auto& field : shape.entries) {
    const std::string& key = field.first;
    const DataShapeEntry& entry = field.second;
    const ColumnType& c = cols[i];
    Pairs pairs;
    if (!entry.description.empty()) pairs.emplace_back(kDescriptionKey, entry.description);
    if (detail::plain_type_of(c.kind) != c.type) pairs.emplace_back(kBaseTypeKey, name_of(c.type));
    if (!c.aspects.empty()) pairs.emplace_back(kAspectsKey, c.aspects);
    ArrowSchema* child = &d->child_structs[i];
    SchemaData* cd = init_schema(child, format_of(c.kind, large[i]), key, encode_metadata(pairs), ARROW_FLAG_NULLABLE);
    d->child_ptrs.push_back(child);
    if (c.kind == PrimKind::LOCATION) {
      cd->child_structs.resize(3);
      for (size_t k = 0; k < 3; ++k) {
        init_schema(&cd->child_structs[k], "g", detail::kCoordinates[k], {}, ARROW_FLAG_NULLABLE);
        cd->child_ptrs.push_back(&cd->child_structs[k]);
      }
      child->n_children = 3;
      child->children = cd->child_ptrs.data();
    }
    ++i;
  }
  top.n_children = static_cast<int64_t>(cols.size());
  top.children = d->child_ptrs.data();
  (void)guard.release();  // the caller owns the schema now
  *out = top;
}

// ---- array ----

struct ArrayData {
  std::vector<Buf> bufs;
  std::vector<const void*> buffer_ptrs;
  std::vector<ArrowArray> child_structs;
  std::vector<ArrowArray*> child_ptrs;
};

constexpr auto release_array = release_owned<ArrowArray, ArrayData>;

// The buffers of one column while the cells are read.
struct ColumnBuild {
  ColumnType type;
  Buf values;      // fixed-width values, the bits of booleans, or the offsets of texts and bytes
  Buf data;        // texts and bytes
  size_t end = 0;  // bytes of `data` taken, the pending run's included
  // Texts or bytes lying back to back in the table, not copied yet: the last run_len bytes of `data`.
  const char* run = nullptr;
  size_t run_len = 0;
  bool large = false;  // 64-bit offsets
  Buf extra;           // LOCATION: elevations (`values` the latitudes, `data` the longitudes)
  Buf validity;        // allocated at the first empty cell
  size_t nulls = 0;
  ByteBuffer wire;  // INFOTABLE and VARIANT: the cells' wire bytes (`values` their int64 offsets)
};

// An empty (NOTHING) cell at row r of n: a cleared validity bit.
void set_null(ColumnBuild& b, size_t r, size_t n) {
  if (b.nulls++ == 0) {
    b.validity.allocate((n + 7) / 8);
    std::memset(b.validity.data(), 0xFF, (n + 7) / 8);
  }
  b.validity.data()[r / 8] &= static_cast<uint8_t>(~(1u << (r % 8)));
}

bool is_var(PrimKind k) { return k == PrimKind::STRING || k == PrimKind::BLOB; }

inline size_t var_size(const HcPrim& v) {
  return v.kind() == PrimKind::STRING ? v.as_string().size() : v.as_blob().size();
}

// Bytes of texts, blobs or wire bytes per column (0 for the others), counting the cells of the column's
// kind: each data buffer is allocated once, with its offsets' width known before the first value is written.
std::vector<uint64_t> data_sizes(const InfoTable& t, const std::vector<ColumnType>& cols) {
  std::vector<size_t> var;
  for (size_t c = 0; c < cols.size(); ++c) {
    if (is_var(cols[c].kind) || is_wire(cols[c].kind)) var.push_back(c);
  }
  std::vector<uint64_t> sizes(cols.size());
  if (var.empty()) return sizes;
  for (InfoTable::Row row : t.rows()) {
    for (size_t c : var) {
      if (c >= row.size() || row[c].kind() != cols[c].kind) continue;
      if (is_var(cols[c].kind)) {
        sizes[c] += var_size(row[c]);
      } else {
        const HcPrim& v = row[c];
        sizes[c] += (v.is_variant() ? v.as_variant().encoded_size() : v.as_table().encoded_size()).value_or(0);
      }
    }
  }
  return sizes;
}

// Offsets switch from 32 to 64 bits once a column's data outgrows `limit` bytes (int32, lower in tests):
// the offsets of rows [0, done] are widened into room for all `rows`.
void widen_offsets(ColumnBuild& b, size_t done, size_t rows) {
  Buf wide;
  wide.allocate((rows + 1) * sizeof(int64_t));
  const int32_t* narrow = b.values.as<int32_t>();
  for (size_t i = 0; i <= done; ++i) wide.as<int64_t>()[i] = narrow[i];
  b.values = std::move(wide);
  b.large = true;
}

// Beyond this, a guess from the first block is not trusted: the column's bytes are counted.
constexpr size_t kTrustedGuess = size_t{64} << 20;

// Room for the data of all rows, extrapolated from the first block's `more` bytes with an eighth more (the
// first block's average is seldom that far below the whole table's); appends grow it by half when the guess
// still falls short. A guess above kTrustedGuess (one long text among short ones extrapolates to far more
// than the table holds) is replaced by the exact count `exact()`, which also fixes the offsets' width.
template <class Exact>
void reserve_data(ColumnBuild& b, size_t more, size_t block_rows, size_t rows, size_t limit, Exact&& exact) {
  const size_t per_row = more / std::max<size_t>(block_rows, 1);
  size_t want = per_row > kTrustedGuess / std::max<size_t>(rows, 1) ? kTrustedGuess + 1 : per_row * rows;
  want += want / 8 + 64;
  if (want > kTrustedGuess) {
    want = exact();
    if (want > limit && !b.large) widen_offsets(b, 0, rows);
  }
  b.data.grow(want, b.end);
}

// Copies the pending run into place.
inline void flush_run(ColumnBuild& b) {
  if (b.run_len != 0) std::memcpy(b.data.data() + (b.end - b.run_len), b.run, b.run_len);
  b.run_len = 0;
}

// Values that lie back to back in the table (a decoded table stores the long texts of its only text column
// so) are copied as one run instead of one by one.
inline void append_bytes(ColumnBuild& b, size_t r, size_t rows, size_t limit, const char* p, size_t n) {
  if (b.end + n > b.data.capacity()) [[unlikely]] {
    const size_t need = b.end + n;
    b.data.grow(need + need / 2, b.end - b.run_len);
  }
  if (n != 0) {
    if (p != b.run + b.run_len) {
      flush_run(b);
      b.run = p;
    }
    b.run_len += n;
    b.end += n;
  }
  if (b.large) {
    b.values.as<int64_t>()[r + 1] = static_cast<int64_t>(b.end);
  } else if (b.end <= limit) {
    b.values.as<int32_t>()[r + 1] = static_cast<int32_t>(b.end);
  } else {
    widen_offsets(b, r, rows);
    b.values.as<int64_t>()[r + 1] = static_cast<int64_t>(b.end);
  }
}

std::string row_error(size_t r, const std::string& key, const HcPrim& v, BaseType field_type) {
  std::string m = "field '" + key + "' row " + std::to_string(r) + ": a value of type ";
  m += v.is_variant() ? std::string("VARIANT") : std::string(name_of(v.base_type()));
  m += " in a field of type ";
  m += name_of(field_type);
  return m;
}

// Calls f(r, value) for rows [r0, r1) of a column whose first value in row r0 is `v` (a row's values
// follow the previous row's) while the values have the column's kind and base type; returns the first row
// that does not, or SIZE_MAX.
template <class F>
inline size_t each_value(const HcPrim* v, size_t stride, size_t r0, size_t r1, ColumnType type, F&& f) {
  for (size_t r = r0; r < r1; ++r, v += stride) {
    if (v->kind() != type.kind || v->base_type() != type.type) return r;
    f(r, *v);
  }
  return SIZE_MAX;
}

// each_value over rows [r0, r1) of column cb (`v`: its value in row r0), with an empty cell as a null
// whose slot `on_null(r)` fills; returns the first row whose value is neither empty nor of the column's
// type, or SIZE_MAX.
template <class F, class N>
inline size_t each_or_null(ColumnBuild& cb, const HcPrim* v, size_t stride, size_t r0, size_t r1, size_t n, F&& f,
                           N&& on_null) {
  for (size_t r = r0;;) {
    const size_t bad = each_value(v + (r - r0) * stride, stride, r, r1, cb.type, f);
    if (bad == SIZE_MAX || v[(bad - r0) * stride].kind() != PrimKind::NOTHING) return bad;
    set_null(cb, bad, n);
    on_null(bad);
    r = bad + 1;
  }
}

// The buffers filled in one pass over the cells, in blocks of rows that stay in cache while each column's
// values are copied by a loop of their own kind (texts and bytes: room guessed from the first block).
Expected<std::vector<ColumnBuild>> build_columns(const InfoTable& t, const std::vector<ColumnType>& cols,
                                                 size_t limit) {
  const size_t n = t.row_count(), f = cols.size();
  std::vector<ColumnBuild> b(f);
  for (size_t c = 0; c < f; ++c) {
    b[c].type = cols[c];
    switch (cols[c].kind) {
      case PrimKind::STRING:
      case PrimKind::BLOB:
        b[c].values.allocate((n + 1) * sizeof(int32_t));
        b[c].values.as<int32_t>()[0] = 0;
        b[c].data.allocate(0);
        break;
      case PrimKind::BOOLEAN: b[c].values.allocate_zero((n + 7) / 8); break;
      case PrimKind::INTEGER: b[c].values.allocate(n * sizeof(int32_t)); break;
      case PrimKind::NOTHING: break;
      case PrimKind::LOCATION:
        b[c].values.allocate(n * 8);
        b[c].data.allocate(n * 8);
        b[c].extra.allocate(n * 8);
        break;
      case PrimKind::INFOTABLE:
      case PrimKind::VARIANT:
        b[c].values.allocate((n + 1) * sizeof(int64_t));
        b[c].values.as<int64_t>()[0] = 0;
        break;
      default: b[c].values.allocate(n * 8); break;
    }
  }
  constexpr size_t kBlock = 256;  // a multiple of 8
  for (size_t r0 = 0; r0 < n; r0 += kBlock) {
    const size_t r1 = std::min(n, r0 + kBlock);
    // Rows of f values each, back to back: row r starts f values after row r - 1. The table stores rows
    // back to back, so the widths are checked without a branch per row and the block's end once.
    const HcPrim* first = t.row(r0).data();
    size_t wrong_width = 0;
    for (size_t r = r0; r < r1; ++r) wrong_width |= t.row(r).size() ^ f;
    if (wrong_width != 0) [[unlikely]] {
      size_t r = r0;
      while (t.row(r).size() == f) ++r;
      return fail("row " + std::to_string(r) + " has " + std::to_string(t.row(r).size()) + " values for " +
                  std::to_string(f) + " fields");
    }
    if (t.row(r1 - 1).data() != first + (r1 - 1 - r0) * f) return fail("rows are not stored back to back");
    for (size_t c = 0; c < f; ++c) {
      ColumnBuild& cb = b[c];
      size_t bad = SIZE_MAX;
      if (r0 == 0 && is_var(cb.type.kind)) {
        size_t more = 0;
        for (const HcPrim* v = first + c; v < first + (r1 - r0) * f; v += f) {
          if (v->kind() == cb.type.kind) more += var_size(*v);
        }
        reserve_data(cb, more, r1 - r0, n, limit, [&t, &cb, c] {
          size_t total = 0;
          for (InfoTable::Row row : t.rows()) {
            if (c < row.size() && row[c].kind() == cb.type.kind) total += var_size(row[c]);
          }
          return total;
        });
      }
      const HcPrim* v0 = first + c;
      switch (cb.type.kind) {
        case PrimKind::STRING:
          bad = each_or_null(
              cb, v0, f, r0, r1, n,
              [&cb, n, limit](size_t r, const HcPrim& v) {
                std::string_view s = v.as_string();
                append_bytes(cb, r, n, limit, s.data(), s.size());
              },
              [&cb, n, limit](size_t r) { append_bytes(cb, r, n, limit, nullptr, 0); });
          break;
        case PrimKind::BLOB:
          bad = each_or_null(
              cb, v0, f, r0, r1, n,
              [&cb, n, limit](size_t r, const HcPrim& v) {
                Bytes s = v.as_blob();
                append_bytes(cb, r, n, limit, reinterpret_cast<const char*>(s.data()), s.size());
              },
              [&cb, n, limit](size_t r) { append_bytes(cb, r, n, limit, nullptr, 0); });
          break;
        case PrimKind::NUMBER: {
          double* out = cb.values.as<double>();
          bad = each_or_null(
              cb, v0, f, r0, r1, n, [out](size_t r, const HcPrim& v) { out[r] = v.as_number(); },
              [out](size_t r) { out[r] = 0; });
          break;
        }
        case PrimKind::INTEGER: {
          int32_t* out = cb.values.as<int32_t>();
          bad = each_or_null(
              cb, v0, f, r0, r1, n, [out](size_t r, const HcPrim& v) { out[r] = v.as_integer(); },
              [out](size_t r) { out[r] = 0; });
          break;
        }
        case PrimKind::LONG:
        case PrimKind::DATETIME: {
          int64_t* out = cb.values.as<int64_t>();
          bad = each_or_null(
              cb, v0, f, r0, r1, n, [out](size_t r, const HcPrim& v) { out[r] = v.as_long(); },
              [out](size_t r) { out[r] = 0; });
          break;
        }
        case PrimKind::BOOLEAN: {
          // Eight bits gathered in a register, then stored: a read-modify-write of the same byte per value would
          // make every value wait for the one before (blocks start at multiples of 8 rows).
          uint8_t* out = cb.values.data();
          unsigned bits = 0;
          auto put = [out, &bits](size_t r, bool on) {
            bits |= unsigned{on} << (r % 8);
            if (r % 8 == 7) {
              out[r / 8] = static_cast<uint8_t>(bits);
              bits = 0;
            }
          };
          bad = each_or_null(
              cb, v0, f, r0, r1, n, [&put](size_t r, const HcPrim& v) { put(r, v.as_bool()); },
              [&put](size_t r) { put(r, false); });
          if (r1 % 8 != 0) out[r1 / 8] = static_cast<uint8_t>(bits);
          break;
        }
        case PrimKind::LOCATION: {
          double *lat = cb.values.as<double>(), *lon = cb.data.as<double>(), *elev = cb.extra.as<double>();
          bad = each_or_null(
              cb, v0, f, r0, r1, n,
              [lat, lon, elev](size_t r, const HcPrim& v) {
                const Location& l = v.as_location();
                lat[r] = l.latitude;
                lon[r] = l.longitude;
                elev[r] = l.elevation;
              },
              [lat, lon, elev](size_t r) { lat[r] = lon[r] = elev[r] = 0; });
          break;
        }
        case PrimKind::INFOTABLE:
        case PrimKind::VARIANT: {
          int64_t* off = cb.values.as<int64_t>();
          Result<size_t> written = size_t{0};
          size_t failed = 0;
          bad = each_or_null(
              cb, v0, f, r0, r1, n,
              [&cb, off, &written, &failed](size_t r, const HcPrim& v) {
                if (written) {
                  written = v.is_variant() ? v.as_variant().to_bytes(cb.wire) : v.as_table().to_bytes(cb.wire);
                  failed = r;
                }
                off[r + 1] = static_cast<int64_t>(cb.wire.size());
              },
              [&cb, off](size_t r) { off[r + 1] = static_cast<int64_t>(cb.wire.size()); });
          if (!written) {
            return fail("field '" + t.datashape.entries.at(c).first + "' row " + std::to_string(failed) + ": " +
                        written.error().message());
          }
          break;
        }
        case PrimKind::NOTHING:
          // The null type: every cell empty.
          for (size_t r = r0; r < r1 && bad == SIZE_MAX; ++r) {
            if (v0[(r - r0) * f].kind() != PrimKind::NOTHING) bad = r;
          }
          break;
      }
      if (bad != SIZE_MAX) return fail(row_error(bad, t.datashape.entries.at(c).first, t.row(bad)[c], cb.type.type));
    }
  }
  for (ColumnBuild& cb : b) {
    flush_run(cb);
    if (is_wire(cb.type.kind)) {
      // Offsets narrowed in place when the bytes fit 32 bits (each int32 lands on an int64 already read).
      cb.large = cb.wire.size() > limit;
      if (!cb.large) {
        for (size_t i = 0; i <= n; ++i) cb.values.as<int32_t>()[i] = static_cast<int32_t>(cb.values.as<int64_t>()[i]);
      }
      cb.data.allocate(cb.wire.size());
      if (cb.wire.size() != 0) std::memcpy(cb.data.data(), cb.wire.data(), cb.wire.size());
      cb.wire = ByteBuffer();
    }
  }
  return b;
}

ArrayData* init_array(ArrowArray* a, int64_t length, size_t n_buffers) {
  auto* d = new ArrayData;
  d->buffer_ptrs.assign(n_buffers, nullptr);
  *a = ArrowArray{};
  a->length = length;
  a->n_buffers = static_cast<int64_t>(n_buffers);
  a->buffers = d->buffer_ptrs.data();
  a->release = release_array;
  a->private_data = d;
  return d;
}

void build_array(std::vector<ColumnBuild>&& cols, size_t rows, ArrowArray* out) {
  const auto length = static_cast<int64_t>(rows);
  ArrowArray top;
  ArrayData* d = init_array(&top, length, 1);
  std::unique_ptr<ArrowArray, void (*)(ArrowArray*)> guard(&top, release_array);
  d->child_structs.resize(cols.size());
  d->child_ptrs.reserve(cols.size());
  for (size_t c = 0; c < cols.size(); ++c) {
    ColumnBuild& b = cols[c];
    const PrimKind k = b.type.kind;
    const bool var = is_var(k) || is_wire(k);
    ArrowArray* child = &d->child_structs[c];
    ArrayData* cd = init_array(child, length, k == PrimKind::NOTHING ? 0 : k == PrimKind::LOCATION ? 1 : var ? 3 : 2);
    d->child_ptrs.push_back(child);
    if (k == PrimKind::NOTHING) {
      child->null_count = length;
      continue;
    }
    if (b.nulls != 0) {
      child->null_count = static_cast<int64_t>(b.nulls);
      cd->buffer_ptrs[0] = b.validity.data();
      cd->bufs.push_back(std::move(b.validity));
    }
    if (k == PrimKind::LOCATION) {
      // Latitudes, longitudes, elevations: one float64 child each, in kCoordinates order.
      Buf* coords[3] = {&b.values, &b.data, &b.extra};
      cd->child_structs.resize(3);
      for (size_t i = 0; i < 3; ++i) {
        ArrayData* xd = init_array(&cd->child_structs[i], length, 2);
        xd->buffer_ptrs[1] = coords[i]->data();
        xd->bufs.push_back(std::move(*coords[i]));
        cd->child_ptrs.push_back(&cd->child_structs[i]);
      }
      child->n_children = 3;
      child->children = cd->child_ptrs.data();
      continue;
    }
    cd->buffer_ptrs[1] = b.values.data();
    cd->bufs.push_back(std::move(b.values));
    if (var) {
      cd->buffer_ptrs[2] = b.data.data();
      cd->bufs.push_back(std::move(b.data));
    }
  }
  top.n_children = static_cast<int64_t>(cols.size());
  top.children = d->child_ptrs.data();
  (void)guard.release();  // the caller owns the array now
  *out = top;
}

std::vector<bool> large_flags(const std::vector<ColumnBuild>& cols) {
  std::vector<bool> large(cols.size());
  for (size_t c = 0; c < cols.size(); ++c) large[c] = cols[c].large;
  return large;
}

// ---- stream ----

struct StreamData {
  DataShape shape;
  std::vector<ColumnType> cols;
  std::vector<bool> large;
  ArrowArray batch{};  // released (release == nullptr) once handed out
  std::string last_error;
};

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) noexcept {
  auto* d = static_cast<StreamData*>(s->private_data);
  try {
    build_schema(d->shape, d->cols, d->large, out);
    return 0;
  } catch (...) {
    d->last_error = "out of memory";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) noexcept {
  auto* d = static_cast<StreamData*>(s->private_data);
  *out = d->batch;  // the end of the stream is a released array
  d->batch.release = nullptr;
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream* s) noexcept {
  auto* d = static_cast<StreamData*>(s->private_data);
  return d->last_error.empty() ? nullptr : d->last_error.c_str();
}

void stream_release(ArrowArrayStream* s) noexcept {
  auto* d = static_cast<StreamData*>(s->private_data);
  if (d->batch.release != nullptr) d->batch.release(&d->batch);
  delete d;
  s->release = nullptr;
}

}  // namespace

Expected<void> export_schema(const InfoTable& t, ArrowSchema* out) {
  auto cols = column_types(t.datashape);
  if (!cols) return fail(std::move(cols.error()));
  // Offsets are 32-bit unless the data needs more, which only the cells tell.
  std::vector<uint64_t> sizes = data_sizes(t, *cols);
  std::vector<bool> large(cols->size());
  for (size_t c = 0; c < cols->size(); ++c) large[c] = sizes[c] > INT32_MAX;
  build_schema(t.datashape, *cols, large, out);
  return {};
}

namespace detail {
Expected<void> export_array_widening_at(const InfoTable& t, size_t limit, ArrowSchema* schema_out,
                                        ArrowArray* array_out) {
  auto cols = column_types(t.datashape);
  if (!cols) return fail(std::move(cols.error()));
  auto built = build_columns(t, *cols, limit);
  if (!built) return fail(std::move(built.error()));
  std::vector<bool> large = large_flags(*built);
  build_schema(t.datashape, *cols, large, schema_out);
  build_array(std::move(*built), t.row_count(), array_out);
  return {};
}
}  // namespace detail

Expected<void> export_array(const InfoTable& t, ArrowSchema* schema_out, ArrowArray* array_out) {
  return detail::export_array_widening_at(t, INT32_MAX, schema_out, array_out);
}

Expected<void> export_stream(const InfoTable& t, ArrowArrayStream* out) {
  auto cols = column_types(t.datashape);
  if (!cols) return fail(std::move(cols.error()));
  auto built = build_columns(t, *cols, INT32_MAX);
  if (!built) return fail(std::move(built.error()));
  auto d = std::make_unique<StreamData>();
  d->shape = t.datashape;
  d->cols = std::move(*cols);
  d->large = large_flags(*built);
  build_array(std::move(*built), t.row_count(), &d->batch);
  *out = ArrowArrayStream{};
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
  out->private_data = d.release();
  return {};
}

}  // namespace veltrac::arrow
