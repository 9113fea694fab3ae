// Micro-benchmarks of the codec alone. Each group times its operations and memcpy of the same bytes (the
// physical floor); bench/run.py prints them with the ratio to memcpy.
//
// Inputs: the files get.bin, auth.bin, response.bin, table.bin and service.bin from the directory named by
// VELTRAC_BENCH_DATA (bench/run.py writes them, so C++ and Python time the same bytes); without it, inputs
// of the same shape are generated here.
//
// The Response/Decode benchmark also counts heap use: every operator new and delete of the process is
// tallied (usable size), giving the peak and the kept heap of one decoding relative to its wire size; blocks
// the decoded tables take from their reuse cache count as kept.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "infotable/table_store.hpp"
#include "json/write.hpp"
#include "veltrac/arrow.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/message.hpp"
#include "veltrac/service.hpp"

// ---- heap accounting ----

namespace {
// Tallied only while `counting` is set, so the timed loops pay one predictable branch.
struct HeapStats {
  bool counting = false;
  int64_t live = 0;  // change since counting started
  int64_t peak = 0;
  int64_t allocs = 0;
};
HeapStats g_heap;

void* counted_alloc(size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  if (g_heap.counting) {
    g_heap.live += static_cast<int64_t>(malloc_usable_size(p));
    if (g_heap.live > g_heap.peak) g_heap.peak = g_heap.live;
    ++g_heap.allocs;
  }
  return p;
}
void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  if (g_heap.counting) g_heap.live -= static_cast<int64_t>(malloc_usable_size(p));
  std::free(p);
}
}  // namespace

void* operator new(size_t n) { return counted_alloc(n); }
void* operator new[](size_t n) { return counted_alloc(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, size_t) noexcept { counted_free(p); }
void operator delete[](void* p, size_t) noexcept { counted_free(p); }

namespace {

using veltrac::ByteBuffer;
using veltrac::Bytes;

// ---- inputs ----

struct Inputs {
  std::string get, auth, response, table, service;
};

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "codec_bench: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void put_string(std::string& out, std::string_view s) {
  out.push_back(static_cast<char>(s.size()));  // all generated texts are shorter than 128 bytes
  out.append(s);
}

std::string header(uint8_t code, uint32_t request_id, uint32_t endpoint, uint32_t session) {
  std::string h;
  h.push_back(1);
  h.push_back(static_cast<char>(code));
  for (uint32_t v : {request_id, endpoint, session}) {
    for (int shift = 24; shift >= 0; shift -= 8) h.push_back(static_cast<char>(v >> shift));
  }
  h.push_back(0);
  return h;
}

std::string auth_message() {
  auto msg = veltrac::HcyMsg::build_auth_msg(7, "d8c7f1e2-5a4b-4c3d-9e8f-7a6b5c4d3e2f");
  ByteBuffer buf;
  (void)msg.to_bytes(buf);
  return {reinterpret_cast<const char*>(buf.data()), buf.size()};
}

// The same shapes as bench/workloads.py, from a fixed linear congruential sequence.
Inputs generate() {
  Inputs in;
  uint64_t state = 20240611;
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  static const char* const words[] = {"pump",  "valve",  "motor",    "sensor", "line",  "north", "south",  "station",
                                      "inlet", "outlet", "pressure", "flow",   "level", "tank",  "boiler", "fan"};

  in.get = header(1, 4711, 3, 0x12345678);
  in.get.push_back(20);
  put_string(in.get, "PumpStation_NorthBay_07");
  in.get.push_back(1);
  put_string(in.get, "OutletPressureAvg");
  in.get.append("\x00\xff", 2);
  in.auth = auth_message();

  veltrac::InfoTable t(std::string("Readings"));
  const std::pair<const char*, veltrac::BaseType> cols[] = {
      {"name", veltrac::BaseType::STRING},    {"reading", veltrac::BaseType::NUMBER},
      {"count", veltrac::BaseType::INTEGER},  {"total", veltrac::BaseType::LONG},
      {"active", veltrac::BaseType::BOOLEAN}, {"updated", veltrac::BaseType::DATETIME}};
  for (const auto& [name, type] : cols) {
    veltrac::DataShapeEntry e;
    e.name = name;
    e.description = std::string("the ") + name + " column";
    e.entry_type = type;
    t.add_field_definition(std::move(e));
  }
  for (int i = 0; i < 10000; ++i) {
    size_t len = 40 + next() % 41;
    std::string text;
    while (text.size() < len) {
      if (!text.empty()) text.push_back(' ');
      text += words[next() % std::size(words)];
    }
    text.resize(len);
    veltrac::InfoTableRow row;
    row.fields.push_back(veltrac::HcPrim::string(text));
    row.fields.push_back(veltrac::HcPrim::number(static_cast<double>(next() % 2000000) / 1000.0 - 1000.0));
    row.fields.push_back(veltrac::HcPrim::integer(static_cast<int32_t>(next())));
    row.fields.push_back(veltrac::HcPrim::long_(static_cast<int64_t>(next() << 30 | next())));
    row.fields.push_back(veltrac::HcPrim::boolean(next() & 1));
    row.fields.push_back(veltrac::HcPrim::datetime(1700000000000 + i * 1000 + next() % 1000));
    t.add_row(std::move(row));
  }
  ByteBuffer buf;
  (void)t.to_bytes(buf);
  in.table.assign(reinterpret_cast<const char*>(buf.data()), buf.size());
  in.response = header(64, 4712, 3, 0x12345678) + std::string("\x00\x05", 2) + in.table;

  in.service = R"({"name":"ConfigureStation","description":"Applies a new configuration","aspects":{"isAsync":false},)"
               R"("Inputs":{"fieldDefinitions":{)";
  for (int i = 0; i < 20; ++i) {
    std::string name = std::string(words[next() % std::size(words)]) + std::to_string(i);
    if (i) in.service += ',';
    in.service += "\"" + name + "\":{\"name\":\"" + name + "\",\"description\":\"Input " + std::to_string(i) +
                  " setting\",\"baseType\":\"NUMBER\",\"aspects\":{\"isRequired\":true,\"units\":\"kPa\","
                  "\"minimumValue\":0.0,\"maximumValue\":250.5}}";
  }
  in.service += R"(}},"Outputs":{"name":"result","baseType":"INTEGER","fieldDefinitions":{}}})";
  return in;
}

const Inputs& inputs() {
  static const Inputs in = [] {
    if (const char* dir = std::getenv("VELTRAC_BENCH_DATA")) {
      std::string d(dir);
      return Inputs{read_file(d + "/get.bin"), read_file(d + "/auth.bin"), read_file(d + "/response.bin"),
                    read_file(d + "/table.bin"), read_file(d + "/service.bin")};
    }
    return generate();
  }();
  return in;
}

Bytes bytes_of(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

void fail(benchmark::State& state, const std::string& what) { state.SkipWithError(what.c_str()); }

// ---- benchmarks ----

void memcpy_floor(benchmark::State& state, const std::string& src) {
  std::vector<char> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}

void msg_decode(benchmark::State& state, const std::string& wire, bool count_heap) {
  if (count_heap) {
    // One decoding outside the timed loop, with the heap tallied.
    // Blocks the tables take from their per-thread reuse cache count as held too.
    const size_t cached_before = veltrac::table_blocks::kept_bytes();
    g_heap = HeapStats{true};
    {
      auto m = veltrac::HcyMsg::from_bytes(bytes_of(wire));
      g_heap.counting = false;
      if (!m) return fail(state, m.error().message());
      const auto reused = static_cast<int64_t>(cached_before - veltrac::table_blocks::kept_bytes());
      state.counters["kept_per_wire"] = static_cast<double>(g_heap.live + reused) / wire.size();
      state.counters["peak_per_wire"] = static_cast<double>(g_heap.peak + reused) / wire.size();
      state.counters["allocs"] = static_cast<double>(g_heap.allocs);
    }
  }
  for (auto _ : state) {
    auto m = veltrac::HcyMsg::from_bytes(bytes_of(wire));
    benchmark::DoNotOptimize(m);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

void msg_encode(benchmark::State& state, const std::string& wire) {
  auto m = veltrac::HcyMsg::from_bytes(bytes_of(wire));
  if (!m) return fail(state, m.error().message());
  ByteBuffer buf;
  for (auto _ : state) {
    buf.clear();
    auto n = m->value.to_bytes(buf);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(buf.data());
  }
  if (buf.size() != wire.size() || std::memcmp(buf.data(), wire.data(), wire.size()) != 0) {
    return fail(state, "encoding differs from the input");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

// Decode, describe and encode into a fresh buffer: what HcyMessage does for one small message.
void msg_round_trip(benchmark::State& state, const std::string& wire) {
  for (auto _ : state) {
    auto m = veltrac::HcyMsg::from_bytes(bytes_of(wire));
    std::string desc = m->value.short_desc();
    ByteBuffer buf;
    auto n = m->value.to_bytes(buf);
    benchmark::DoNotOptimize(desc);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

void table_decode(benchmark::State& state) {
  const std::string& wire = inputs().table;
  for (auto _ : state) {
    auto t = veltrac::InfoTable::from_bytes(bytes_of(wire));
    benchmark::DoNotOptimize(t);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

void table_simple_json(benchmark::State& state) {
  const std::string& wire = inputs().table;
  auto t = veltrac::InfoTable::from_bytes(bytes_of(wire));
  if (!t) return fail(state, t.error().message());
  size_t n = 0;
  // One buffer kept across calls, as the Python binding keeps one per thread.
  std::string out;
  for (auto _ : state) {
    out.clear();
    auto ok = t->value.write_simple_json(out);
    benchmark::DoNotOptimize(ok);
    n = out.size();
  }
  state.counters["json_bytes"] = static_cast<double>(n);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

// The decoded table handed over as an Arrow stream, released again as a consumer would.
void table_arrow(benchmark::State& state) {
  const std::string& wire = inputs().table;
  auto t = veltrac::InfoTable::from_bytes(bytes_of(wire));
  if (!t) return fail(state, t.error().message());
  for (auto _ : state) {
    ArrowArrayStream stream;
    auto ok = veltrac::arrow::export_stream(t->value, &stream);
    if (!ok) return fail(state, ok.error().text());
    stream.release(&stream);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

void table_export(benchmark::State& state) {
  const std::string& wire = inputs().table;
  std::string out;
  for (auto _ : state) {
    auto t = veltrac::InfoTable::from_bytes(bytes_of(wire));
    out.clear();
    auto ok = t->value.write_simple_json(out);
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}

void service_from_json(benchmark::State& state) {
  const std::string& text = inputs().service;
  for (auto _ : state) {
    auto s = veltrac::HcyService::from_json(text);
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void service_to_json(benchmark::State& state) {
  const std::string& text = inputs().service;
  auto s = veltrac::HcyService::from_json(text);
  if (!s) return fail(state, s.error().text());
  for (auto _ : state) {
    std::string out;
    auto ok = s->to_json(out);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void service_round_trip(benchmark::State& state) {
  const std::string& text = inputs().service;
  for (auto _ : state) {
    auto s = veltrac::HcyService::from_json(text);
    std::string out;
    auto ok = s->to_json(out);
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// JSON text of 1024 doubles: random finite bit patterns, full-precision values in (-1e6, 1e6), or decimals
// with three places (the table's NUMBER column).
enum class Floats { RandomBits, Uniform, ShortDecimal };

void float_json(benchmark::State& state, Floats kind) {
  std::mt19937_64 rnd(5);
  std::vector<double> values;
  while (values.size() < 1024) {
    double v = 0;
    switch (kind) {
      case Floats::RandomBits: v = std::bit_cast<double>(rnd()); break;
      case Floats::Uniform: v = std::uniform_real_distribution<double>(-1e6, 1e6)(rnd); break;
      case Floats::ShortDecimal: v = (static_cast<double>(rnd() % 2000000) - 1000000) / 1000.0; break;
    }
    if (std::isfinite(v)) values.push_back(v);
  }
  std::vector<char> out(values.size() * veltrac::json::kNumberRoom);
  for (auto _ : state) {
    char* p = out.data();
    for (double v : values) p = veltrac::json::put_f64(p, v);
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

// ---- Arrow import in many batches ----

// A stream handing out rows [0, kBatchRows) of three columns (utf8, float64, int32) as batches of `per_batch`
// rows: each batch is the same struct with its offset moved, so the producer costs next to nothing and the
// importer's per-batch cost shows.
constexpr int64_t kBatchRows = 100000;

struct BatchSource {
  std::vector<int32_t> text_offsets, ints;
  std::string text;
  std::vector<double> reals;
  const void* bufs[3][3] = {};
  const void* top_bufs[1] = {nullptr};
  ArrowArray cols[3] = {};
  ArrowArray* col_ptrs[3] = {&cols[0], &cols[1], &cols[2]};
  ArrowSchema col_schemas[3] = {};
  ArrowSchema* col_schema_ptrs[3] = {&col_schemas[0], &col_schemas[1], &col_schemas[2]};
  int64_t next = 0, per_batch = 1;

  BatchSource() {
    text_offsets.push_back(0);
    for (int64_t i = 0; i < kBatchRows; ++i) {
      text += "row" + std::to_string(i % 1000);
      text_offsets.push_back(static_cast<int32_t>(text.size()));
      reals.push_back(static_cast<double>(i) * 0.5);
      ints.push_back(static_cast<int32_t>(i));
    }
    const char* formats[] = {"u", "g", "i"};
    const char* names[] = {"name", "reading", "count"};
    bufs[0][1] = text_offsets.data();
    bufs[0][2] = text.data();
    bufs[1][1] = reals.data();
    bufs[2][1] = ints.data();
    for (int c = 0; c < 3; ++c) {
      cols[c].length = kBatchRows;
      cols[c].n_buffers = c == 0 ? 3 : 2;
      cols[c].buffers = bufs[c];
      cols[c].release = release;
      col_schemas[c].format = formats[c];
      col_schemas[c].name = names[c];
      col_schemas[c].release = release;
    }
  }
  static void release(ArrowArray* a) { a->release = nullptr; }
  static void release(ArrowSchema* s) { s->release = nullptr; }
  static BatchSource& of(ArrowArrayStream* s) { return *static_cast<BatchSource*>(s->private_data); }

  ArrowArrayStream stream(int64_t rows_per_batch) {
    next = 0;
    per_batch = rows_per_batch;
    ArrowArrayStream s{};
    s.get_schema = [](ArrowArrayStream* st, ArrowSchema* out) {
      BatchSource& b = of(st);
      *out = ArrowSchema{};
      out->format = "+s";
      out->name = "";
      out->n_children = 3;
      out->children = b.col_schema_ptrs;
      out->release = release;
      return 0;
    };
    s.get_next = [](ArrowArrayStream* st, ArrowArray* out) {
      BatchSource& b = of(st);
      *out = ArrowArray{};
      if (b.next < kBatchRows) {
        out->length = std::min(b.per_batch, kBatchRows - b.next);
        out->offset = b.next;
        out->n_buffers = 1;
        out->n_children = 3;
        out->buffers = b.top_bufs;
        out->children = b.col_ptrs;
        out->release = release;
        b.next += b.per_batch;
      }
      return 0;
    };
    s.release = [](ArrowArrayStream* st) { st->release = nullptr; };
    s.private_data = this;
    return s;
  }
};

void arrow_import(benchmark::State& state, int64_t rows_per_batch) {
  static BatchSource source;
  for (auto _ : state) {
    ArrowArrayStream s = source.stream(rows_per_batch);
    auto t = veltrac::arrow::import_stream(&s);
    if (!t || t->row_count() != static_cast<size_t>(kBatchRows)) return fail(state, "import failed");
    benchmark::DoNotOptimize(t);
  }
  state.SetItemsProcessed(state.iterations() * kBatchRows);
}

void register_all() {
  using benchmark::RegisterBenchmark;
  const Inputs& in = inputs();
  RegisterBenchmark("Get/Memcpy", memcpy_floor, in.get);
  RegisterBenchmark("Get/Decode", msg_decode, in.get, false);
  RegisterBenchmark("Get/Encode", msg_encode, in.get);
  RegisterBenchmark("Get/DecodeDescribeEncode", msg_round_trip, in.get);
  RegisterBenchmark("Auth/Memcpy", memcpy_floor, in.auth);
  RegisterBenchmark("Auth/Decode", msg_decode, in.auth, false);
  RegisterBenchmark("Auth/DecodeDescribeEncode", msg_round_trip, in.auth);
  RegisterBenchmark("Response/Memcpy", memcpy_floor, in.response);
  RegisterBenchmark("Response/Decode", msg_decode, in.response, true);
  RegisterBenchmark("Response/Encode", msg_encode, in.response);
  RegisterBenchmark("Table/Memcpy", memcpy_floor, in.table);
  RegisterBenchmark("Table/Decode", table_decode);
  RegisterBenchmark("Table/SimpleJson", table_simple_json);
  RegisterBenchmark("Table/DecodeSimpleJson", table_export);
  RegisterBenchmark("Table/ArrowExport", table_arrow);
  RegisterBenchmark("Service/Memcpy", memcpy_floor, in.service);
  RegisterBenchmark("Service/FromJson", service_from_json);
  RegisterBenchmark("Service/ToJson", service_to_json);
  RegisterBenchmark("Service/FromJsonToJson", service_round_trip);
  RegisterBenchmark("Float/JsonRandomBits", float_json, Floats::RandomBits);
  RegisterBenchmark("Float/JsonUniform", float_json, Floats::Uniform);
  RegisterBenchmark("Float/JsonShortDecimal", float_json, Floats::ShortDecimal);
  RegisterBenchmark("ArrowImport/OneBatch", arrow_import, kBatchRows);
  RegisterBenchmark("ArrowImport/OneRowBatches", arrow_import, 1);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
