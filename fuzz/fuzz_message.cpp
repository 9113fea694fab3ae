// Whole messages: HcyMsg::from_bytes on arbitrary bytes; whatever decodes must encode to bytes that decode
// to an equal message, and describe itself.
#include "roundtrip.hpp"
#include "veltrac/message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  veltrac::Bytes in(data, size);
  auto d = veltrac::HcyMsg::from_bytes(in);
  if (!d) {
    (void)d.error().message();
    return 0;
  }
  const veltrac::HcyMsg& m = d->value;
  FUZZ_CHECK(d->consumed <= size && d->consumed >= 15, "consumed count out of range");
  (void)m.short_desc();

  veltrac::ByteBuffer b1;
  auto n1 = m.to_bytes(b1);
  FUZZ_CHECK(n1.has_value() && *n1 == b1.size(), "decoded message does not encode");
  FUZZ_CHECK(m.encoded_size_hint() <= b1.size(), "size hint above the encoded size");
  auto d2 = veltrac::HcyMsg::from_bytes(b1.view());
  FUZZ_CHECK(d2.has_value(),
             "encoding does not decode: " + fuzz::hex(b1.view()) + "\n" + (d2 ? std::string() : d2.error().message()));
  FUZZ_CHECK(d2->consumed == b1.size(), "re-decoding does not consume the whole encoding");
  FUZZ_CHECK(d2->value == m, "re-decoded message differs: " + fuzz::hex(b1.view()));
  veltrac::ByteBuffer b2;
  auto n2 = d2->value.to_bytes(b2);
  FUZZ_CHECK(n2.has_value() && b2.vector() == b1.vector(), "second encoding differs");
  return 0;
}
