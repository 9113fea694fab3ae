// Request body: the addressed entity and characteristic, header entries and an optional parameter table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "veltrac/bytes.hpp"
#include "veltrac/error.hpp"
#include "veltrac/export.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/msg_code.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

// One request header entry.
struct Header {
  std::string name;
  std::string value;

  size_t encoded_size() const;
  // Appends name and value as length-prefixed strings; returns the count appended.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  static Result<Decoded<Header>> from_bytes(Bytes in);

  template <class F>
  void for_each_text(F&& f) const {
    f(name);
    f(value);
  }

  bool operator==(const Header&) const = default;
};

struct HcyReqBody {
  // The header count is one byte on the wire.
  static constexpr size_t kMaxHeaders = 255;

  entityTypeEnum entity_type{};
  std::string entity_name;
  uint8_t characteristic_type = 1;  // 1, 2 or 3
  std::string characteristic_name;
  std::vector<Header> headers;
  std::optional<InfoTable> params;

  // Fails with MsgToBinary, writing nothing, when there are more than 255 header entries or a text
  // is too long for its length prefix.
  Result<size_t> to_bytes(ByteBuffer& out) const;
  // The count error to_bytes reports for too many header entries, or nothing.
  Result<void> check_counts() const;
  static Result<Decoded<HcyReqBody>> from_bytes(Bytes in);
  // The same, reading into this body (every field is replaced); on failure the body is left partly read.
  Result<size_t> read_from(Bytes in);

  // Exact encoded size when there is no table; with a table, the size without the table's own bytes.
  size_t encoded_size_hint() const;

  // Visits every text of the wire form, in wire order.
  template <class F>
  void for_each_text(F&& f) const {
    f(entity_name);
    f(characteristic_name);
    for (const Header& h : headers) {
      f(h.name);
      f(h.value);
    }
  }

  bool operator==(const HcyReqBody&) const = default;
};

}  // namespace veltrac
VELTRAC_API_END
