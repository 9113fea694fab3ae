// Info tables: InfoTable::from_bytes on arbitrary bytes; whatever decodes must round-trip in binary and in
// the JSON record form, and its simple JSON writers must agree. The JSON record reader is fed the same
// bytes as text.
#include "roundtrip.hpp"
#include "util/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  veltrac::Bytes in(data, size);
  auto d = veltrac::InfoTable::from_bytes(in);
  if (d) {
    FUZZ_CHECK(d->consumed <= size, "consumed more than the input");
    fuzz::check_table(d->value);
  } else {
    (void)d.error().message();
  }

  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!veltrac::utf8::is_valid(text)) return 0;
  veltrac::json::Reader r(text);
  auto t = veltrac::InfoTable::read_json(r);
  if (!t || !r.end()) return 0;
  fuzz::check_table(*t);
  return 0;
}
