// Primitive values: HcPrim::from_bytes on arbitrary bytes; whatever decodes must round-trip in binary and
// in its JSON forms.
#include "roundtrip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  veltrac::Bytes in(data, size);
  auto d = veltrac::HcPrim::from_bytes(in);
  if (!d) {
    (void)d.error().message();
    return 0;
  }
  FUZZ_CHECK(d->consumed <= size, "consumed more than the input");
  fuzz::check_prim(d->value);
  return 0;
}
