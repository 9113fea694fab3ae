#include "veltrac/base_type.hpp"

#include <cstring>

#include "base/families.hpp"

namespace veltrac {

namespace detail {
namespace {

struct Row {
  uint8_t code;
  const char* name;
  TypeFamily family;
};

constexpr Row kRows[] = {
    {255, "NOTHING", TypeFamily::HC_NOTHING},
    {0, "STRING", TypeFamily::HC_STRING},
    {1, "NUMBER", TypeFamily::HC_NUMBER},
    {2, "BOOLEAN", TypeFamily::HC_BOOLEAN},
    {3, "DATETIME", TypeFamily::HC_DATETIME},
    {4, "TIMESPAN", TypeFamily::HC_NULL},
    {5, "INFOTABLE", TypeFamily::HC_INFOTABLE},
    {6, "LOCATION", TypeFamily::HC_LOCATION},
    {7, "XML", TypeFamily::HC_STRING},
    {8, "JSON", TypeFamily::HC_STRING},
    {9, "QUERY", TypeFamily::HC_STRING},
    {10, "IMAGE", TypeFamily::HC_BLOB},
    {11, "HYPERLINK", TypeFamily::HC_STRING},
    {12, "IMAGELINK", TypeFamily::HC_STRING},
    {13, "PASSWORD", TypeFamily::HC_STRING},
    {14, "HTML", TypeFamily::HC_STRING},
    {15, "TEXT", TypeFamily::HC_STRING},
    {16, "TAGS", TypeFamily::HC_STRING},
    {17, "SCHEDULE", TypeFamily::HC_NULL},
    {18, "VARIANT", TypeFamily::HC_VARIANT},
    {20, "GUID", TypeFamily::HC_STRING},
    {21, "BLOB", TypeFamily::HC_BLOB},
    {22, "INTEGER", TypeFamily::HC_INTEGER},
    {23, "LONG", TypeFamily::HC_LONG},
    {50, "PROPERTYNAME", TypeFamily::HC_STRING},
    {51, "SERVICENAME", TypeFamily::HC_STRING},
    {52, "EVENTNAME", TypeFamily::HC_STRING},
    {100, "THINGNAME", TypeFamily::HC_STRING},
    {101, "THINGSHAPENAME", TypeFamily::HC_STRING},
    {102, "THINGTEMPLATENAME", TypeFamily::HC_STRING},
    {104, "DATASHAPENAME", TypeFamily::HC_STRING},
    {105, "MASHUPNAME", TypeFamily::HC_STRING},
    {106, "MENUNAME", TypeFamily::HC_STRING},
    {107, "BASETYPENAME", TypeFamily::HC_STRING},
    {108, "USERNAME", TypeFamily::HC_STRING},
    {109, "GROUPNAME", TypeFamily::HC_STRING},
    {110, "CATEGORYNAME", TypeFamily::HC_STRING},
    {111, "STATEDEFINITIONNAME", TypeFamily::HC_STRING},
    {112, "STYLEDEFINITIONNAME", TypeFamily::HC_STRING},
    {113, "MODELTAGVOCABULARYNAME", TypeFamily::HC_STRING},
    {114, "DATATAGVOCABULARYNAME", TypeFamily::HC_STRING},
    {115, "NETWORKNAME", TypeFamily::HC_STRING},
    {116, "MEDIAENTITYNAME", TypeFamily::HC_STRING},
    {117, "APPLICATIONKEYNAME", TypeFamily::HC_STRING},
    {118, "LOCALIZATIONTABLENAME", TypeFamily::HC_STRING},
    {119, "ORGANIZATIONNAME", TypeFamily::HC_STRING},
    {120, "DASHBOARDNAME", TypeFamily::HC_STRING},
    {121, "UNKNOWN_TYPE", TypeFamily::HC_NULL},
};
static_assert(std::size(kRows) == kBaseTypeCount);

// A base type's whole description is its row above (and its member in the enum).
constexpr std::array<BaseType, kBaseTypeCount> in_order() {
  std::array<BaseType, kBaseTypeCount> t{};
  for (size_t i = 0; i < kBaseTypeCount; ++i) t[i] = static_cast<BaseType>(kRows[i].code);
  return t;
}

constexpr std::array<BaseTypeInfo, 256> build_table() {
  std::array<BaseTypeInfo, 256> t{};
  for (auto& e : t) e = {nullptr, 0, TypeFamily::HC_NULL};
  for (const auto& r : kRows) {
    uint8_t len = 0;
    while (r.name[len] != '\0') ++len;
    t[r.code] = {r.name, len, r.family};
  }
  return t;
}

}  // namespace

const std::array<BaseTypeInfo, 256> kBaseTypeTable = build_table();

}  // namespace detail

const std::array<BaseType, kBaseTypeCount> kBaseTypesInOrder = detail::in_order();

std::optional<BaseType> base_type_from_name(std::string_view name) {
  for (BaseType t : kBaseTypesInOrder) {
    if (name_of(t) == name) return t;
  }
  return std::nullopt;
}

size_t base_type_index(BaseType t) {
  for (size_t i = 0; i < kBaseTypesInOrder.size(); ++i) {
    if (kBaseTypesInOrder[i] == t) return i;
  }
  return 0;
}

std::string_view family_name(TypeFamily f) { return detail::family_of(f).name; }

}  // namespace veltrac
