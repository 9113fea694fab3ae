// Which body each message code carries, written once: the decoder picks the body by it, the builders check
// the code against the body, and the binding's is_request and code checks read it.
#pragma once

#include <cstdint>
#include <optional>

#include "veltrac/message.hpp"
#include "veltrac/msg_code.hpp"

namespace veltrac::message_detail {

// Requests (HCY_GET, HCY_PUT, HCY_POST, HCY_DEL), bind and unbind, authentication, and every code from 64
// on (responses); nothing for a byte that is no code or a code below 64 without a body (HCY_UNKNOWN,
// HCY_CLEAR_AUTH, HCY_KEEP_ALIVE).
constexpr std::optional<MsgKind> body_kind(msgCodeEnum code) {
  using enum msgCodeEnum;
  switch (code) {
    case HCY_GET:
    case HCY_PUT:
    case HCY_POST:
    case HCY_DEL: return MsgKind::Request;
    case HCY_BIND:
    case HCY_UNBIND: return MsgKind::Bind;
    case HCY_AUTH: return MsgKind::Auth;
    default: break;
  }
  if (code_of(code) >= 64) return MsgKind::Response;
  return std::nullopt;
}

inline std::optional<MsgKind> body_kind(uint8_t code) {
  auto c = msg_code_from_repr(code);
  return c ? body_kind(*c) : std::nullopt;
}

}  // namespace veltrac::message_detail
