// Whole messages: HcyMsg::from_bytes on arbitrary bytes; whatever decodes must encode to bytes that decode
// to an equal message, and describe itself.
#include "roundtrip.hpp"
#include "veltrac/message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto d = veltrac::HcyMsg::from_bytes(veltrac::Bytes(data, size));
  if (!d) {
    (void)d.error().message();
    return 0;
  }
  FUZZ_CHECK(d->consumed <= size && d->consumed >= 15, "consumed count out of range");
  (void)d->value.short_desc();
  fuzz::binary_roundtrip(d->value);
  return 0;
}
