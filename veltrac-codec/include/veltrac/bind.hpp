// Bind / unbind body: the names to bind or unbind, optionally preceded by a binder name and type.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

struct HcyBindBody {
  // The name count is 16 bits on the wire.
  static constexpr size_t kMaxNames = 65535;

  std::vector<std::string> names;
  // The pair is written only when both are present, and read as both or neither.
  std::optional<std::string> binder_name;
  std::optional<std::string> binder_type;

  // Fails with MsgToBinary, writing nothing, when there are more than 65535 names or a text is too long
  // for its length prefix.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  // The count error to_bytes reports for too many names, or nothing.
  Result<void> check_counts() const;
  static Result<Decoded<HcyBindBody>> from_bytes(Bytes in);
  // The same, reading into this body (every field is replaced); on failure the body is left partly read.
  Result<size_t> read_from(Bytes in);

  size_t encoded_size() const;

  bool has_pair() const { return binder_name && binder_type; }

  template <class F>
  void for_each_text(F&& f) const {
    if (binder_name && binder_type) {
      f(*binder_name);
      f(*binder_type);
    }
    for (const std::string& s : names) f(s);
  }

  bool operator==(const HcyBindBody&) const = default;
};

}  // namespace veltrac
VELTRAC_API_END
