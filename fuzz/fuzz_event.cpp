// HcyEvent definitions read from JSON text; see entity_roundtrip.hpp.
#include "entity_roundtrip.hpp"
#include "veltrac/event.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::entity_roundtrip<veltrac::HcyEvent>(data, size);
}
