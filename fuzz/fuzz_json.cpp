// JSON text parser: whatever parses is written back, and the written text parses to an equal value and
// is written identically. The syntax-only skipper must accept everything the parser accepts.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "json/write.hpp"
#include "veltrac/json/reader.hpp"

using namespace veltrac;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto v = json::parse(text);

  // The skipper accepts a superset of what parse accepts (no range, surrogate or depth checks).
  json::Reader skipper(text);
  auto skipped = skipper.skip_value();
  bool skip_ok = skipped.has_value() && skipper.end().has_value();
  if (v) FUZZ_CHECK(skip_ok, fuzz::clip(text));

  if (!v) {
    (void)v.error().text();
    return 0;
  }
  std::string t1 = json::to_text(*v);
  (void)json::debug_text(*v);
  auto v2 = json::parse(t1);
  FUZZ_CHECK(v2.has_value(),
             "written text does not parse: " + fuzz::clip(t1) + "\n" + (v2 ? std::string() : v2.error().text()));
  FUZZ_CHECK(*v2 == *v, "reparsed value differs: " + fuzz::clip(t1));
  std::string t2 = json::to_text(*v2);
  FUZZ_CHECK(t2 == t1, "second write differs:\n" + fuzz::clip(t1) + "\n" + fuzz::clip(t2));
  return 0;
}
