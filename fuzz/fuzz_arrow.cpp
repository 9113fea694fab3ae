// Arrow import: ArrowSchema / ArrowArray / ArrowArrayStream structures built from the fuzz bytes (formats,
// names, metadata, children, lengths, offsets, null counts, buffer contents, stream callbacks and their
// error texts) and handed to import_array or import_stream. The buffers are as large as the structures
// say (the C data interface gives no sizes, so a producer is trusted for them); everything else may lie.
// Columns of every mapped type: besides the flat ones, LOCATION structs of three float64 children (names now
// and then wrong), the null type, and binary marked INFOTABLE or VARIANT whose cells are read as wire bytes;
// validity bitmaps with any bits.
// Checks: every structure handed over is released exactly once; error texts are UTF-8; whatever imports
// exports and imports back equal.
#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "util/utf8.hpp"
#include "veltrac/arrow.hpp"

namespace {

// The fuzz bytes, read front to back; zeros once they run out.
struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t u8() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  size_t below(size_t k) { return u8() % k; }
  bool chance(unsigned in256) { return u8() < in256; }
  std::string text(size_t max) {
    std::string s;
    for (size_t len = below(max + 1); len > 0 && n > 0; --len) s += static_cast<char>(u8());
    return s;
  }
};

const char* const kFormats[] = {
    "c",  "C", "s",   "S",   "i",    "I",       "l",     "L",    "f",  "g",  "u", "U",      "vu",  "z", "Z",
    "vz", "b", "tdD", "tdm", "tss:", "tsm:UTC", "tsu:X", "tsn:", "+s", "+l", "e", "d:10,2", "tDs", "n"};
const char* const kNames[] = {"a", "b", "c", "é", "a\xff", ""};
const char* const kMetaKeys[] = {"name", "description", "base_type", "x", "aspects"};
const char* const kMetaValues[] = {"JSON",      "XML",     "GUID",     "INTEGER",  "LONG",
                                   "STRING",    "BLOB",    "NOTHING",  "T",        "\xc3",
                                   "INFOTABLE", "VARIANT", "LOCATION", "TIMESPAN", "{\"isPrimaryKey\":true}"};
const char* const kCoordinateNames[] = {"latitude", "longitude", "elevation", "x"};

// Every byte a structure points to lives here until the input is done.
struct Arena {
  std::deque<std::vector<uint8_t>> bytes;
  std::deque<std::string> texts;
  std::deque<std::vector<const void*>> ptrs;
  std::deque<ArrowSchema> schemas;
  std::deque<ArrowArray> arrays;
  std::deque<std::vector<ArrowSchema*>> schema_lists;
  std::deque<std::vector<ArrowArray*>> array_lists;
  std::deque<int> releases;

  uint8_t* alloc(size_t size, Input& in) {
    auto& b = bytes.emplace_back(size + 1);
    for (size_t i = 0; i < size; ++i) b[i] = in.u8();
    return b.data();
  }
  const char* text(std::string s) { return texts.emplace_back(std::move(s)).c_str(); }
};

// Each structure's private_data counts its releases.
void note_release(void* counter) { FUZZ_CHECK(++*static_cast<int*>(counter) == 1, "a structure is released twice"); }

template <class T>
void release(T* p) {
  // A released structure's children are the producer's to release.
  for (int64_t i = 0; i < p->n_children; ++i) {
    if (p->children[i] != nullptr && p->children[i]->release != nullptr) p->children[i]->release(p->children[i]);
  }
  if (p->dictionary != nullptr && p->dictionary->release != nullptr) p->dictionary->release(p->dictionary);
  note_release(p->private_data);
  p->release = nullptr;
}

// Metadata in the binary form (honest: the form carries its own lengths).
const char* metadata(Arena& a, Input& in) {
  if (!in.chance(96)) return nullptr;
  std::string m;
  auto put = [&m](int32_t v) { m.append(reinterpret_cast<const char*>(&v), 4); };
  const size_t pairs = in.below(3);
  put(static_cast<int32_t>(pairs));
  for (size_t i = 0; i < pairs; ++i) {
    std::string k = kMetaKeys[in.below(std::size(kMetaKeys))];
    std::string v = in.chance(32) ? in.text(6) : kMetaValues[in.below(std::size(kMetaValues))];
    put(static_cast<int32_t>(k.size()));
    m += k;
    put(static_cast<int32_t>(v.size()));
    m += v;
  }
  return a.text(std::move(m));
}

ArrowSchema* new_schema(Arena& a) {
  ArrowSchema* s = &a.schemas.emplace_back();
  *s = ArrowSchema{};
  s->private_data = &a.releases.emplace_back(0);
  s->release = release<ArrowSchema>;
  return s;
}

ArrowArray* new_array(Arena& a) {
  ArrowArray* x = &a.arrays.emplace_back();
  *x = ArrowArray{};
  x->private_data = &a.releases.emplace_back(0);
  x->release = release<ArrowArray>;
  return x;
}

struct ColumnSpec {
  std::string format;
  size_t rotate = 0;  // LOCATION: the order of the coordinates among the children
};

ArrowSchema* column_schema(Arena& a, Input& in, const ColumnSpec& c) {
  ArrowSchema* s = new_schema(a);
  s->format = in.chance(4) ? nullptr : a.text(c.format);
  s->name = in.chance(8) ? nullptr : in.chance(24) ? a.text(in.text(4)) : kNames[in.below(6)];
  s->metadata = metadata(a, in);
  s->flags = ARROW_FLAG_NULLABLE;
  if (c.format == "+s" && !in.chance(16)) {
    // A LOCATION: three float64 children, each named by one of the coordinates (or not).
    s->n_children = 3;
    auto& kids = a.schema_lists.emplace_back();
    for (size_t k = 0; k < 3; ++k) {
      ArrowSchema* x = kids.emplace_back(new_schema(a));
      x->format = in.chance(8) ? "f" : "g";
      x->name = kCoordinateNames[in.chance(16) ? in.below(4) : (k + c.rotate) % 3];
    }
    s->children = kids.data();
  } else if (in.chance(6)) {
    s->n_children = 1;
    s->children = a.schema_lists.emplace_back(1, new_schema(a)).data();
    s->children[0]->format = "i";
  }
  if (in.chance(6)) {
    s->dictionary = new_schema(a);
    s->dictionary->format = "u";
  }
  return s;
}

// Offsets from small steps (now and then a step back), and a data buffer as long as the largest.
template <class Off>
void offsets_and_data(Arena& a, Input& in, size_t count, const void*& off_buf, const void*& data_buf) {
  std::vector<Off> off(count + 1);
  Off at = static_cast<Off>(in.below(4)), top = at;
  for (size_t i = 0; i <= count; ++i) {
    off[i] = at;
    top = std::max(top, at);
    at = in.chance(8) ? static_cast<Off>(at - static_cast<Off>(in.below(8))) : static_cast<Off>(at + in.below(8));
  }
  if (in.chance(4)) off[in.below(count + 1)] = std::numeric_limits<Off>::min();
  auto& b = a.bytes.emplace_back(off.size() * sizeof(Off));
  std::memcpy(b.data(), off.data(), b.size());
  off_buf = b.data();
  data_buf = in.chance(4) ? nullptr : a.alloc(static_cast<size_t>(std::max<Off>(top, 0)), in);
}

// Views: lengths -1 to 30, out-of-line ones pointing into 0 to 2 data buffers whose sizes are stated
// honestly in the last buffer.
void views(Arena& a, Input& in, size_t count, std::vector<const void*>& bufs) {
  const size_t n_data = in.below(3);
  std::vector<int64_t> sizes(n_data);
  for (size_t i = 0; i < n_data; ++i) {
    sizes[i] = static_cast<int64_t>(in.below(48));
    bufs.push_back(a.alloc(static_cast<size_t>(sizes[i]), in));
  }
  auto& v = a.bytes.emplace_back(16 * count + 1);
  for (size_t i = 0; i < count; ++i) {
    int32_t len = static_cast<int32_t>(in.below(32)) - 1;
    std::memcpy(&v[16 * i], &len, 4);
    for (size_t j = 4; j < 16; ++j) v[16 * i + j] = in.u8();
    if (len > 12) {
      int32_t buf = static_cast<int32_t>(in.below(4)) - 1, off = static_cast<int32_t>(in.below(40)) - 1;
      std::memcpy(&v[16 * i + 8], &buf, 4);
      std::memcpy(&v[16 * i + 12], &off, 4);
    }
  }
  bufs[1] = v.data();
  auto& s = a.bytes.emplace_back(8 * n_data + 1);
  if (n_data) std::memcpy(s.data(), sizes.data(), 8 * n_data);
  bufs.push_back(s.data());
}

size_t fixed_width(std::string_view f) {
  if (f == "c" || f == "C") return 1;
  if (f == "s" || f == "S" || f == "e") return 2;
  if (f == "i" || f == "I" || f == "f" || f == "tdD") return 4;
  if (f == "d:10,2") return 16;
  return 8;
}

// One column's array of at least `need` values (the rows the batch reads from it).
ArrowArray* column_array(Arena& a, Input& in, const ColumnSpec& c, int64_t need) {
  ArrowArray* x = new_array(a);
  x->offset = static_cast<int64_t>(in.below(4));
  x->length = std::max<int64_t>(0, need - x->offset + static_cast<int64_t>(in.below(3)) - (in.chance(8) ? 1 : 0));
  if (in.chance(2)) x->length = -1;
  const auto count = static_cast<size_t>(std::max<int64_t>(0, x->offset + x->length));
  x->null_count = in.chance(200) ? 0 : static_cast<int64_t>(in.below(3)) - 1;
  std::vector<const void*> bufs(2, nullptr);
  if (in.chance(64)) bufs[0] = a.alloc((count + 7) / 8, in);
  const std::string_view f = c.format;
  if (f == "u" || f == "z") {
    bufs.resize(3);
    offsets_and_data<int32_t>(a, in, count, bufs[1], bufs[2]);
    if (in.chance(4)) bufs[1] = nullptr;
  } else if (f == "U" || f == "Z") {
    bufs.resize(3);
    offsets_and_data<int64_t>(a, in, count, bufs[1], bufs[2]);
  } else if (f == "vu" || f == "vz") {
    views(a, in, count, bufs);
  } else if (f == "b") {
    bufs[1] = a.alloc((count + 7) / 8, in);
  } else if (f == "n") {
    bufs.clear();
  } else if (f == "+s") {
    bufs.resize(1);
    x->n_children = 3;
    auto& kids = a.array_lists.emplace_back();
    for (size_t k = 0; k < 3; ++k) kids.push_back(column_array(a, in, ColumnSpec{"g"}, x->offset + need));
    x->children = kids.data();
  } else if (!in.chance(4)) {
    bufs[1] = a.alloc(fixed_width(f) * count, in);
  }
  if (in.chance(4)) bufs.push_back(nullptr);  // a wrong buffer count
  x->n_buffers = static_cast<int64_t>(bufs.size());
  x->buffers = a.ptrs.emplace_back(std::move(bufs)).data();
  if (in.chance(4) && f != "+s") {
    x->n_children = 1;
    x->children = a.array_lists.emplace_back(1, new_array(a)).data();
  }
  return x;
}

// A struct batch of the given columns.
ArrowArray* batch(Arena& a, Input& in, const std::vector<ColumnSpec>& cols) {
  ArrowArray* top = new_array(a);
  top->length = static_cast<int64_t>(in.below(24));
  top->offset = static_cast<int64_t>(in.below(3));
  if (in.chance(2)) top->length = int64_t{1} << (40 + in.below(23));
  const int64_t need = top->length < (int64_t{1} << 20) ? top->offset + top->length : 0;
  top->null_count = in.chance(220) ? 0 : static_cast<int64_t>(in.below(3)) - 1;
  std::vector<const void*> bufs(1, nullptr);
  if (need == top->offset + top->length && top->null_count != 0 && in.chance(128))
    bufs[0] = a.alloc(static_cast<size_t>(need + 7) / 8, in);
  if (in.chance(3)) bufs.push_back(nullptr);
  top->n_buffers = static_cast<int64_t>(bufs.size());
  top->buffers = a.ptrs.emplace_back(std::move(bufs)).data();
  // A batch of a huge length whose columns could not hold it: only without columns (nothing is read).
  std::vector<ArrowArray*>& kids = a.array_lists.emplace_back();
  if (need != 0 || top->length == 0 || cols.empty()) {
    for (const ColumnSpec& c : cols) kids.push_back(in.chance(3) ? nullptr : column_array(a, in, c, need));
  }
  if (in.chance(3) && !kids.empty()) kids.pop_back();
  top->n_children = static_cast<int64_t>(kids.size());
  top->children = kids.data();
  return top;
}

ArrowSchema* top_schema(Arena& a, Input& in, const std::vector<ColumnSpec>& cols) {
  ArrowSchema* s = new_schema(a);
  s->format = in.chance(4) ? "+l" : "+s";
  s->name = "";
  s->metadata = metadata(a, in);
  std::vector<ArrowSchema*>& kids = a.schema_lists.emplace_back();
  for (const ColumnSpec& c : cols) kids.push_back(in.chance(2) ? nullptr : column_schema(a, in, c));
  s->n_children = static_cast<int64_t>(kids.size());
  s->children = kids.data();
  return s;
}

struct Stream {
  Arena* arena;
  Input* in;
  std::vector<ColumnSpec> cols;
  size_t batches;
  std::string error;
  int fail_schema, fail_at;
  std::vector<int*>* handed;
  int released = 0;
};

void release_stream(ArrowArrayStream* s) {
  note_release(&static_cast<Stream*>(s->private_data)->released);
  s->release = nullptr;
}

void check_result(const veltrac::arrow::Expected<veltrac::InfoTable>& t) {
  if (!t) {
    FUZZ_CHECK(veltrac::utf8::is_valid(t.error().text()), fuzz::clip(t.error().text()));
    return;
  }
  ArrowArrayStream s;
  auto r = veltrac::arrow::export_stream(*t, &s);
  FUZZ_CHECK(r.has_value(), r.error().text());
  auto back = veltrac::arrow::import_stream(&s);
  FUZZ_CHECK(back.has_value(), back.error().text());
  FUZZ_CHECK(*back == *t, "an imported table exports and imports back different");
}

void check_released(const std::vector<int*>& handed) {
  for (int* count : handed) FUZZ_CHECK(*count == 1, "a structure handed over is never released");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  Arena arena;
  std::vector<int*> handed;  // the release counters of the structures handed over
  std::vector<ColumnSpec> cols(in.below(5));
  for (ColumnSpec& c : cols) {
    c.format = in.chance(16) ? in.text(6) : kFormats[in.below(std::size(kFormats))];
    c.rotate = in.below(3);
  }
  const bool as_stream = in.chance(128);
  if (!as_stream) {
    ArrowSchema* schema = top_schema(arena, in, cols);
    ArrowArray* array = batch(arena, in, cols);
    if (in.chance(6)) schema->release = nullptr;
    if (in.chance(6)) array->release = nullptr;
    if (schema->release != nullptr) handed.push_back(static_cast<int*>(schema->private_data));
    if (array->release != nullptr) handed.push_back(static_cast<int*>(array->private_data));
    check_result(veltrac::arrow::import_array(schema, array));
  } else {
    Stream st{&arena,
              &in,
              cols,
              in.below(4),
              in.chance(128) ? in.text(8) : std::string(),
              in.chance(16) ? 7 : 0,
              static_cast<int>(in.below(6)),
              &handed};
    ArrowArrayStream s{};
    s.private_data = &st;
    s.get_schema = [](ArrowArrayStream* self, ArrowSchema* out) {
      auto& d = *static_cast<Stream*>(self->private_data);
      if (d.fail_schema != 0) return d.fail_schema;
      *out = *top_schema(*d.arena, *d.in, d.cols);
      d.handed->push_back(static_cast<int*>(out->private_data));
      return 0;
    };
    s.get_next = [](ArrowArrayStream* self, ArrowArray* out) {
      auto& d = *static_cast<Stream*>(self->private_data);
      if (d.fail_at == 0) return 5;
      --d.fail_at;
      if (d.batches == 0) {
        out->release = nullptr;
        return 0;
      }
      --d.batches;
      *out = *batch(*d.arena, *d.in, d.cols);
      d.handed->push_back(static_cast<int*>(out->private_data));
      return 0;
    };
    s.get_last_error = [](ArrowArrayStream* self) -> const char* {
      auto& d = *static_cast<Stream*>(self->private_data);
      return d.error.empty() ? nullptr : d.error.c_str();
    };
    s.release = release_stream;
    handed.push_back(&st.released);
    check_result(veltrac::arrow::import_stream(&s));
    check_released(handed);
    return 0;
  }
  check_released(handed);
  return 0;
}
