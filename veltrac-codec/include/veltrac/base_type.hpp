// Base types (one-byte wire codes) and the storage families they belong to.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

enum class BaseType : uint8_t {
  NOTHING = 255,
  STRING = 0,
  NUMBER = 1,
  BOOLEAN = 2,
  DATETIME = 3,
  TIMESPAN = 4,
  INFOTABLE = 5,
  LOCATION = 6,
  XML = 7,
  JSON = 8,
  QUERY = 9,
  IMAGE = 10,
  HYPERLINK = 11,
  IMAGELINK = 12,
  PASSWORD = 13,
  HTML = 14,
  TEXT = 15,
  TAGS = 16,
  SCHEDULE = 17,
  VARIANT = 18,
  GUID = 20,
  BLOB = 21,
  INTEGER = 22,
  LONG = 23,
  PROPERTYNAME = 50,
  SERVICENAME = 51,
  EVENTNAME = 52,
  THINGNAME = 100,
  THINGSHAPENAME = 101,
  THINGTEMPLATENAME = 102,
  DATASHAPENAME = 104,
  MASHUPNAME = 105,
  MENUNAME = 106,
  BASETYPENAME = 107,
  USERNAME = 108,
  GROUPNAME = 109,
  CATEGORYNAME = 110,
  STATEDEFINITIONNAME = 111,
  STYLEDEFINITIONNAME = 112,
  MODELTAGVOCABULARYNAME = 113,
  DATATAGVOCABULARYNAME = 114,
  NETWORKNAME = 115,
  MEDIAENTITYNAME = 116,
  APPLICATIONKEYNAME = 117,
  LOCALIZATIONTABLENAME = 118,
  ORGANIZATIONNAME = 119,
  DASHBOARDNAME = 120,
  UNKNOWN_TYPE = 121,
};

enum class TypeFamily : int8_t {
  HC_NOTHING = -1,
  HC_STRING = 0,
  HC_VARIANT = 1,
  HC_NUMBER = 2,
  HC_INTEGER = 3,
  HC_LONG = 4,
  HC_BOOLEAN = 5,
  HC_DATETIME = 6,
  HC_BLOB = 7,
  HC_LOCATION = 8,
  HC_INFOTABLE = 9,
  HC_NULL = 10,
};

inline constexpr size_t kBaseTypeCount = 48;

// All members in declaration order (NOTHING first, UNKNOWN_TYPE last); the index is the member index.
extern const std::array<BaseType, kBaseTypeCount> kBaseTypesInOrder;

namespace detail {
struct BaseTypeInfo {
  const char* name;  // nullptr: the code names no base type
  uint8_t name_len;
  TypeFamily family;
};
extern const std::array<BaseTypeInfo, 256> kBaseTypeTable;
}  // namespace detail

constexpr uint8_t code_of(BaseType t) { return static_cast<uint8_t>(t); }

// The member whose wire code is `code`, or nothing.
inline std::optional<BaseType> base_type_from_repr(uint8_t code) {
  if (detail::kBaseTypeTable[code].name == nullptr) return std::nullopt;
  return static_cast<BaseType>(code);
}

inline TypeFamily get_family(BaseType t) { return detail::kBaseTypeTable[code_of(t)].family; }

// Upper-case name, for example "STRING", "UNKNOWN_TYPE".
inline std::string_view name_of(BaseType t) {
  const auto& info = detail::kBaseTypeTable[code_of(t)];
  return {info.name, info.name_len};
}

// Exact (case-sensitive) lookup of one of the 48 names.
std::optional<BaseType> base_type_from_name(std::string_view name);

// Member index in declaration order (0 for NOTHING).
size_t base_type_index(BaseType t);

// Debug name of a family, for example "HC_NULL".
std::string_view family_name(TypeFamily f);

}  // namespace veltrac
VELTRAC_API_END
