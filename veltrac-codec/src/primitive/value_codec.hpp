// Internal binary codec of the value modules. Decoders read through one ByteReader and carry the nesting
// depth (VARIANT and INFOTABLE levels) so that one bound holds across primitives, rows and tables.
// Encoders run in two passes: an exact size pass (which also refuses what has no binary form), then a
// write pass through a raw pointer into space reserved once.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/families.hpp"
#include "util/stream_string.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"

namespace veltrac {

class HcPrim;
class Aspects;
struct DataShapeEntry;
class DataShape;
class InfoTable;
class TextStore;

namespace detail {

inline constexpr unsigned kMaxNestingDepth = 200;
// Io "nesting depth exceeds 200".
// Where a nested value would open one level too many.
VeltracError nesting_too_deep(const uint8_t* at);
VeltracError too_long(std::string_view what, size_t n);

// ---- decoding; `depth` is the number of VARIANT/INFOTABLE levels around the value being read ----
Result<HcPrim> read_prim(ByteReader& r, unsigned depth);
Result<HcPrim> read_prim_typed(ByteReader& r, BaseType t, unsigned depth);
// The general reader of a value after its type code, into `dst` in place (`dst` must hold NOTHING). With
// `texts`, a text of 1 to kStoredTextMax bytes is copied into that store and borrowed by the cell.
Result<void> read_cell(ByteReader& r, BaseType t, unsigned depth, HcPrim& dst, TextStore* texts);
inline constexpr size_t kStoredTextMax = 4096;
Result<Aspects> read_aspects(ByteReader& r, unsigned depth);
Result<DataShapeEntry> read_entry(ByteReader& r, unsigned depth);
Result<DataShape> read_shape(ByteReader& r, unsigned depth);
// read_table(r, depth): in infotable/table_store.hpp.

// ---- encoding ----
Result<size_t> size_prim(const HcPrim& v);
Result<size_t> size_aspects(const Aspects& a);
Result<size_t> size_entry(const DataShapeEntry& e);    // marker included
Result<size_t> size_shape(const DataShape& s);         // end byte included
Result<size_t> size_row(std::span<const HcPrim> row);  // marker excluded
Result<size_t> size_table(const InfoTable& t);

uint8_t* write_prim(const HcPrim& v, uint8_t* p);
uint8_t* write_aspects(const Aspects& a, uint8_t* p);
uint8_t* write_entry(const DataShapeEntry& e, uint8_t* p);
uint8_t* write_shape(const DataShape& s, uint8_t* p);
uint8_t* write_row(std::span<const HcPrim> row, uint8_t* p);
uint8_t* write_table(const InfoTable& t, uint8_t* p);

// InfoTableRow { fields: [..] }
void append_row_debug(std::string& out, std::span<const HcPrim> fields);

// Runs the size pass, reserves, runs the write pass; returns the count appended.
template <class T, class SizeFn, class WriteFn>
Result<size_t> encode_into(ByteBuffer& out, const T& v, SizeFn size_fn, WriteFn write_fn) {
  auto n = size_fn(v);
  if (!n) return fail(std::move(n.error()));
  size_t at = out.size();
  out.reserve_more(*n);
  out.truncate(at + *n);
  [[maybe_unused]] uint8_t* end = write_fn(v, out.data() + at);
  return *n;
}

// Runs a reader over `in`; the value and the count it consumed.
template <class ReadFn>
auto decode_from(Bytes in, ReadFn read)
    -> Result<Decoded<typename decltype(read(std::declval<ByteReader&>()))::value_type>> {
  ByteReader r(in);
  auto v = read(r);
  if (!v) return fail(std::move(v.error()));
  return Decoded<typename decltype(v)::value_type>{std::move(*v), r.position()};
}

}  // namespace detail
}  // namespace veltrac
