// Response body: an optional reason text and an optional table.
#pragma once

#include <optional>
#include <string>

#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"
#include "veltrac/infotable.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

struct HcyResBody {
  std::optional<std::string> reason;
  std::optional<InfoTable> params;

  Result<size_t> to_bytes(ByteBuffer& out) const;
  static Result<Decoded<HcyResBody>> from_bytes(Bytes in);
  // The same, reading into this body (every field is replaced); on failure the body is left partly read.
  Result<size_t> read_from(Bytes in);

  // Exact encoded size when there is no table; with a table, the size without the table's own bytes.
  size_t encoded_size_hint() const;

  template <class F>
  void for_each_text(F&& f) const {
    if (reason) f(*reason);
  }

  bool operator==(const HcyResBody&) const = default;
};

}  // namespace veltrac
VELTRAC_API_END
