// A whole message: the 15-byte header followed by the body its code selects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "veltrac/auth.hpp"
#include "veltrac/bind.hpp"
#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"
#include "veltrac/message_header.hpp"
#include "veltrac/request.hpp"
#include "veltrac/response.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

// The variant alternatives, in the order of HcyMsg::Body.
enum class MsgKind : uint8_t { Request, Bind, Auth, Response };

// "Request", "Bind", "Auth" or "Response".
std::string_view kind_name(MsgKind k);

// The header fields a builder takes from its caller.
struct MsgIds {
  uint32_t request_id = 0;
  uint32_t endpoint = 0;
  uint32_t session_id = 0;
};

struct HcyMsg {
  struct Request {
    HcyMsgHeader header;
    HcyReqBody body;
    bool operator==(const Request&) const = default;
  };
  struct Bind {
    HcyMsgHeader header;
    HcyBindBody body;
    bool operator==(const Bind&) const = default;
  };
  struct Auth {
    HcyMsgHeader header;
    HcyAuthBody body;
    bool operator==(const Auth&) const = default;
  };
  struct Response {
    HcyMsgHeader header;
    HcyResBody body;
    bool operator==(const Response&) const = default;
  };
  using Body = std::variant<Request, Bind, Auth, Response>;

  Body msg;

  MsgKind kind() const { return static_cast<MsgKind>(msg.index()); }
  const HcyMsgHeader& header() const {
    return std::visit([](const auto& m) -> const HcyMsgHeader& { return m.header; }, msg);
  }

  // Checks, in order: at least 15 bytes, a known code, the multipart flag clear, a code with a body kind;
  // then decodes the body from byte 15. Bytes after the body are not examined.
  static Result<Decoded<HcyMsg>> from_bytes(Bytes in);
  // The same, reading into this message (which is replaced); on failure it is left partly read.
  Result<size_t> read_from(Bytes in);

  // Appends header and body. A multipart header is refused; on any failure the buffer is restored to
  // its size on entry.
  Result<size_t> to_bytes(ByteBuffer& out) const;

  // Exact encoded size for messages without a table; a lower bound otherwise.
  size_t encoded_size_hint() const;

  // Version 1, HCY_AUTH, endpoint 0, session 0xFFFFFFFF, the "appKey" claim.
  static HcyMsg build_auth_msg(uint32_t request_id, std::string_view app_key);

  // Builders of the other kinds: version 1, multipart clear. Each checks the result as check() does and
  // builds nothing on failure.
  static Result<HcyMsg> build_request(msgCodeEnum code, MsgIds ids, HcyReqBody body);
  static Result<HcyMsg> build_response(msgCodeEnum code, MsgIds ids, HcyResBody body);
  // HCY_BIND or HCY_UNBIND.
  static Result<HcyMsg> build_bind(msgCodeEnum code, MsgIds ids, HcyBindBody body);

  // Whether the message can be sent as it stands: its code selects its kind (InvalidCode); a request's
  // entity type is known (InvalidEntityType) and its characteristic type 1 to 3 (InvalidCharacteristicType);
  // at most 255 request header entries or 65535 bind names (MsgToBinary, as to_bytes reports them).
  // Decoded messages always pass.
  Result<void> check() const;

  // The header's text form and a suffix per kind.
  std::string short_desc() const;

  bool operator==(const HcyMsg&) const = default;
};

}  // namespace veltrac
VELTRAC_API_END
