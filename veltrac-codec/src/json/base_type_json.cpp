#include "json/base_type_json.hpp"

#include <array>

#include "json/record.hpp"

namespace veltrac::json {

namespace {

const std::array<std::string_view, kBaseTypeCount>& names() {
  static const std::array<std::string_view, kBaseTypeCount> kNames = [] {
    std::array<std::string_view, kBaseTypeCount> a{};
    for (size_t i = 0; i < kBaseTypeCount; ++i) a[i] = name_of(kBaseTypesInOrder[i]);
    return a;
  }();
  return kNames;
}

// Open-addressing index over the names: slot = hash of length and three bytes, probed linearly.
constexpr size_t kNameSlots = 128;
size_t name_hash(std::string_view s) {
  if (s.empty()) return 0;
  auto b = [&](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(s[i])); };
  return (s.size() * 37 + b(0) * 5 + b(s.size() / 2) * 3 + b(s.size() - 1)) % kNameSlots;
}

const std::array<uint8_t, kNameSlots>& name_slots() {
  static const std::array<uint8_t, kNameSlots> kSlots = [] {
    std::array<uint8_t, kNameSlots> slots{};
    slots.fill(0xFF);
    for (size_t i = 0; i < kBaseTypeCount; ++i) {
      size_t h = name_hash(names()[i]);
      while (slots[h] != 0xFF) h = (h + 1) % kNameSlots;
      slots[h] = static_cast<uint8_t>(i);
    }
    return slots;
  }();
  return kSlots;
}

// Index of a name in declaration order, or kBaseTypeCount.
size_t find_base_type_name(std::string_view s) {
  const auto& slots = name_slots();
  for (size_t h = name_hash(s);; h = (h + 1) % kNameSlots) {
    uint8_t i = slots[h];
    if (i == 0xFF) return kBaseTypeCount;
    if (same_text(names()[i], s)) return i;
  }
}

}  // namespace

std::span<const std::string_view> base_type_names() { return names(); }

Expected<BaseType> read_base_type(Reader& r) {
  if (r.peek() == Peek::String) {
    auto s = r.read_str();
    if (!s) return fail(std::move(s.error()));
    size_t i = find_base_type_name(*s);
    if (i == kBaseTypeCount) return fail(r.fix_position(unknown_variant(*s, names())));
    return kBaseTypesInOrder[i];
  }
  // The object form and the errors of other values.
  auto idx = read_enum(r, names());
  if (!idx) return fail(std::move(idx.error()));
  return kBaseTypesInOrder[*idx];
}

void write_base_type(std::string& out, BaseType t) {
  std::string_view name = name_of(t);
  out.reserve(out.size() + name.size() + 2);
  out.push_back('"');
  out.append(name);
  out.push_back('"');
}

}  // namespace veltrac::json
