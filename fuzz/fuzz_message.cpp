// Whole messages: HcyMsg::from_bytes on arbitrary bytes; whatever decodes must encode to bytes that decode
// to an equal message, and describe itself. A failure's position lies inside the input. Read as a stream
// reader does (whole strings required), the result agrees with the ordinary decoding: the same message, or
// an incomplete-input error, or the same error.
#include "roundtrip.hpp"
#include "util/stream_string.hpp"
#include "veltrac/message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const veltrac::Bytes in(data, size);
  auto d = veltrac::HcyMsg::from_bytes(in);
  auto whole = [&] {
    veltrac::WholeStrings guard;
    return veltrac::HcyMsg::from_bytes(in);
  }();
  if (whole) {
    FUZZ_CHECK(d && d->consumed == whole->consumed && d->value == whole->value, "stream reading disagrees");
  } else if (!whole.error().incomplete) {
    FUZZ_CHECK(!d && d.error() == whole.error(), "stream reading reports another error");
  }
  if (!d) {
    (void)d.error().message();
    const uint8_t* at = d.error().at();
    FUZZ_CHECK(at == nullptr || (at >= data && at <= data + size), "error position outside the input");
    return 0;
  }
  FUZZ_CHECK(d->consumed <= size && d->consumed >= 15, "consumed count out of range");
  (void)d->value.short_desc();
  fuzz::binary_roundtrip(d->value);
  return 0;
}
