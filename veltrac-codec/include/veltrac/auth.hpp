// Authentication body: one claim, a name and a value.
#pragma once

#include <string>
#include <string_view>

#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

struct HcyAuthBody {
  std::string claim_name;
  std::string claim_value;

  // The claim "appKey" carrying the application key.
  static HcyAuthBody from_appkey(std::string_view app_key);

  // Fails with MsgToBinary, writing nothing, when a text is too long for its length prefix.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  // An empty body or a first byte other than 1 fails with UnexpectedAuthBody.
  static Result<Decoded<HcyAuthBody>> from_bytes(Bytes in);
  // The same, reading into this body (every field is replaced); on failure the body is left partly read.
  Result<size_t> read_from(Bytes in);

  size_t encoded_size() const;

  template <class F>
  void for_each_text(F&& f) const {
    f(claim_name);
    f(claim_value);
  }

  bool operator==(const HcyAuthBody&) const = default;
};

}  // namespace veltrac
VELTRAC_API_END
