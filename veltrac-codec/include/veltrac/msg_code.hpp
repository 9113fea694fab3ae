// Message codes (class * 32 + detail) and entity type codes, both one-byte wire values.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

enum class msgCodeEnum : uint8_t {
  HCY_UNKNOWN = 0,
  HCY_GET = 1,
  HCY_PUT = 2,
  HCY_POST = 3,
  HCY_DEL = 4,
  HCY_BIND = 10,
  HCY_UNBIND = 11,
  HCY_AUTH = 20,
  HCY_CLEAR_AUTH = 21,
  HCY_KEEP_ALIVE = 31,
  HCY_SUCCESS = 64,
  HCY_CREATED = 65,
  HCY_ACCEPTED = 66,
  HCY_NO_CONTENT = 68,
  HCY_PARTIAL_CONTENT = 70,
  HCY_MULTIPLE_CHOICES = 96,
  HCY_MOVED_PERMANENTLY = 97,
  HCY_FOUND = 98,
  HCY_SEE_OTHER = 99,
  HCY_NOT_MODIFIED = 100,
  HCY_USE_PROXY = 101,
  HCY_TEMPORARY_REDIRECT = 103,
  HCY_BAD_REQUEST = 128,
  HCY_UNAUTHORIZED = 129,
  HCY_BAD_OPTION = 130,
  HCY_FORBIDDEN = 131,
  HCY_NOT_FOUND = 132,
  HCY_METHOD_NOT_ALLOWED = 133,
  HCY_NOT_ACCEPTABLE = 134,
  HCY_REQUEST_TIMEOUT = 136,
  HCY_CONFLICT = 137,
  HCY_PRECONDITION_FAILED = 140,
  HCY_ENTITY_TOO_LARGE = 141,
  HCY_UNSUPPORTED_CONTENT_FORMAT = 143,
  HCY_INTERNAL_SERVER_ERROR = 160,
  HCY_INVALID_SESSION = 161,
  HCY_BAD_GATEWAY = 162,
  HCY_SERVICE_UNAVAILABLE = 163,
  HCY_GATEWAY_TIMEOUT = 164,
  HCY_NOT_IMPLEMENTED = 165,
  HCY_COMM_ERROR = 224,
  HCY_SERVER_REFUSED = 225,
  HCY_SERVER_UNAVAILABLE = 226,
  HCY_COMM_TIMEOUT = 227,
  HCY_INVALID_PROTOCOL_VERSION = 228,
  HCY_WROTE_TO_OFFLINE_MSG_STORE = 240,
  HCY_OFFLINE_MSG_STORE_FULL = 241,
};

inline constexpr size_t kMsgCodeCount = 47;

namespace detail {
// Display name per wire byte; empty where the byte is no code.
extern const std::array<std::string_view, 256> kMsgCodeNames;
// Bit b of word b / 64 is set when b is an entity type code.
inline constexpr std::array<uint64_t, 4> kEntityTypeBits = [] {
  std::array<uint64_t, 4> bits{};
  for (unsigned c :
       {0, 10, 11, 12, 13, 14, 15, 20, 21, 30, 31, 32, 33, 34, 35, 36, 39, 40, 50, 51, 52, 53, 54, 60, 61, 70, 80}) {
    bits[c / 64] |= uint64_t{1} << (c % 64);
  }
  return bits;
}();
}  // namespace detail

constexpr uint8_t code_of(msgCodeEnum c) { return static_cast<uint8_t>(c); }

// The code whose wire value is `byte`, or nothing.
inline std::optional<msgCodeEnum> msg_code_from_repr(uint8_t byte) {
  if (detail::kMsgCodeNames[byte].empty()) return std::nullopt;
  return static_cast<msgCodeEnum>(byte);
}

// Display name, for example "HCY_AUTH".
inline std::string_view name_of(msgCodeEnum c) { return detail::kMsgCodeNames[code_of(c)]; }

// Entity types have no names: a member is its wire code, and only the 27 valid codes are members.
enum class entityTypeEnum : uint8_t {};

constexpr uint8_t code_of(entityTypeEnum t) { return static_cast<uint8_t>(t); }

inline constexpr size_t kEntityTypeCount = 27;

// The member whose wire value is `byte`, or nothing.
inline std::optional<entityTypeEnum> entity_type_from_repr(uint8_t byte) {
  if (((detail::kEntityTypeBits[byte / 64] >> (byte % 64)) & 1) == 0) return std::nullopt;
  return static_cast<entityTypeEnum>(byte);
}

}  // namespace veltrac
VELTRAC_API_END
