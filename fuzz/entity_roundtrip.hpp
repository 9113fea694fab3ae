// Shared body of the property, service and event targets: the bytes are read as JSON text by the
// record's from_json (as the Python classes do after checking UTF-8); whatever reads must write, read back
// to an equal record and write the same text again.
#pragma once

#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "util/utf8.hpp"

namespace fuzz {

template <class Record>
int entity_roundtrip(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  bool valid = veltrac::utf8::is_valid(text);
  auto rec = Record::from_json(text);
  if (!rec) {
    (void)rec.error().text();
    return 0;
  }
  if (!valid) return 0;  // callers check UTF-8 first; only robustness matters here
  std::string t1;
  auto w1 = rec->to_json(t1);
  FUZZ_CHECK(w1.has_value(),
             "record read from JSON does not write: " + clip(text) + "\n" + (w1 ? std::string() : w1.error().text()));
  FUZZ_CHECK(veltrac::utf8::is_valid(t1), "written JSON is not UTF-8: " + clip(t1));
  auto back = Record::from_json(t1);
  FUZZ_CHECK(back.has_value(),
             "written JSON does not read back: " + clip(t1) + "\n" + (back ? std::string() : back.error().text()));
  FUZZ_CHECK(*back == *rec, "record differs after JSON round trip: " + clip(t1));
  std::string t2;
  auto w2 = back->to_json(t2);
  FUZZ_CHECK(w2.has_value() && t2 == t1, "second JSON text differs:\n" + clip(t1) + "\n" + clip(t2));
  // On failure the output keeps its previous content; on success the text is appended.
  std::string prefixed = "x";
  auto w3 = rec->to_json(prefixed);
  FUZZ_CHECK(w3.has_value() && prefixed == "x" + t1, "to_json does not append");
  return 0;
}

}  // namespace fuzz
