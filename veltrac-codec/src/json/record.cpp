#include "json/record.hpp"

namespace veltrac::json {

namespace {

Expected<size_t> variant_name(Reader& r, std::span<const std::string_view> names) {
  auto s = r.read_str();
  if (!s) return fail(std::move(s.error()));
  size_t idx = find_name(names, *s);
  if (idx == names.size()) return fail(r.fix_position(unknown_variant(*s, names)));
  return idx;
}

}  // namespace

Expected<VariantStart> begin_variant(Reader& r, std::span<const std::string_view> names) {
  switch (r.peek()) {
    case Peek::String: {
      auto idx = variant_name(r, names);
      if (!idx) return fail(std::move(idx.error()));
      return VariantStart{*idx, false};
    }
    case Peek::Object: {
      if (auto ok = r.begin_object(); !ok) return fail(std::move(ok.error()));
      auto b = r.peek_byte();
      // Input ending where the variant's name is due ends an object, as it does where any key is due.
      if (!b) return fail(r.error_consumed(msg::kEofObject));
      if (*b == '}') return fail(r.error_peeked(msg::kExpectedValue));
      if (*b != '"') return fail(r.error_peeked(msg::kKeyMustBeString));
      auto idx = variant_name(r, names);
      if (!idx) return fail(std::move(idx.error()));
      if (auto ok = r.expect_colon(); !ok) return fail(std::move(ok.error()));
      return VariantStart{*idx, true};
    }
    case Peek::End: return fail(r.error_peeked(msg::kEofValue));
    default: return fail(r.error_peeked(msg::kExpectedValue));
  }
}

Expected<void> end_variant(Reader& r) {
  auto b = r.peek_byte();
  if (!b) return fail(r.error_consumed(msg::kEofObject));
  if (*b != '}') return fail(r.error_consumed(msg::kExpectedValue));
  return r.end_object();
}

Expected<size_t> read_enum(Reader& r, std::span<const std::string_view> names) {
  auto start = begin_variant(r, names);
  if (!start) return fail(std::move(start.error()));
  if (start->object_form) {
    if (auto ok = r.read_unit("unit"); !ok) return fail(std::move(ok.error()));
    if (auto ok = end_variant(r); !ok) return fail(std::move(ok.error()));
  }
  return start->index;
}

}  // namespace veltrac::json
