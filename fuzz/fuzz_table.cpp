// Info tables: InfoTable::from_bytes on arbitrary bytes; the bulk cell decoder must give what the reference
// decoder gives, whatever decodes must round-trip in binary and in the JSON record form, and its simple JSON
// writers must agree; a copy that changes gets rows of its own, equal to the original's, which stays as it
// was. The JSON record reader is fed the same bytes as text.
#include <algorithm>

#include "roundtrip.hpp"
#include "util/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  veltrac::Bytes in(data, size);
  auto d = veltrac::InfoTable::from_bytes(in);
  if (d) {
    FUZZ_CHECK(d->consumed <= size, "consumed more than the input");
    const auto bytes = fuzz::check_table(d->value);
    veltrac::InfoTable copy = d->value;
    copy.add_row({});  // detaches: cells and texts copied
    FUZZ_CHECK(fuzz::binary_roundtrip(d->value) == bytes, "a change of the copy changed the original");
    FUZZ_CHECK(copy.row_count() == d->value.row_count() + 1, "the copy lost rows");
    for (size_t i = 0; i < d->value.row_count(); ++i) {
      FUZZ_CHECK(std::ranges::equal(copy.row(i), d->value.row(i)), "the copy's rows differ");
    }
    d->value = veltrac::InfoTable();
    FUZZ_CHECK(fuzz::check_table(copy).size() == bytes.size() + 3, "the copy does not encode");
  } else {
    (void)d.error().message();
  }
  veltrac::ByteReader bulk(in), reference(in);
  auto fast = veltrac::detail::read_table(bulk, 1, veltrac::detail::CellDecoder::Bulk);
  auto ref = veltrac::detail::read_table(reference, 1, veltrac::detail::CellDecoder::Reference);
  FUZZ_CHECK(fast.has_value() == ref.has_value(), "bulk and reference decoders disagree on success");
  if (fast) {
    FUZZ_CHECK(*fast == *ref && bulk.position() == reference.position(), "bulk and reference decoders disagree");
  } else {
    FUZZ_CHECK(fast.error().message() == ref.error().message(), "bulk and reference decoders give other errors");
  }

  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!veltrac::utf8::is_valid(text)) return 0;
  veltrac::json::Reader r(text);
  auto t = veltrac::InfoTable::read_json(r);
  if (!t || !r.end()) return 0;
  // The binary form drops the shape name and the entry keys (entries are keyed by name when read), so the
  // table read from JSON is checked through its first binary decoding.
  veltrac::ByteBuffer b;
  auto n = t->to_bytes(b);
  FUZZ_CHECK(n.has_value(), "table read from JSON does not encode");
  auto d2 = veltrac::InfoTable::from_bytes(b.view());
  FUZZ_CHECK(d2.has_value() && d2->consumed == b.size(), "encoding of a JSON table does not decode");
  FUZZ_CHECK(fuzz::check_table(d2->value) == b.vector(), "JSON table: binary form changes on re-encoding");
  fuzz::table_json_roundtrip(*t);
  return 0;
}
