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

}  // namespace

std::span<const std::string_view> base_type_names() { return names(); }

Expected<BaseType> read_base_type(Reader& r) {
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
