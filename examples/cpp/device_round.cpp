// One round of a device: decode a request received from the server, read what it addresses and its
// parameters, answer with a result table, and build the authentication message sent at connect time.
#include <veltrac/veltrac.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

using namespace veltrac;

namespace {

std::string hex(Bytes bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

DataShapeEntry field(std::string name, BaseType type) {
  DataShapeEntry e;
  e.name = std::move(name);
  e.entry_type = type;
  return e;
}

// What the server sends: invoke the service SetSpeed of the thing "pump-7" with rpm = 1200.
ByteBuffer received_request() {
  InfoTable params;
  params.add_field_definition(field("rpm", BaseType::INTEGER));
  HcPrim rpm = HcPrim::integer(1200);
  params.append_row({&rpm, 1});

  HcyMsg msg{
      HcyMsg::Request{.header = {.request_id = 42, .endpoint = 3, .session_id = 77, .code = msgCodeEnum::HCY_POST},
                      .body = {.entity_type = *entity_type_from_repr(20),
                               .entity_name = "pump-7",
                               .characteristic_type = 2,
                               .characteristic_name = "SetSpeed",
                               .params = std::move(params)}}};
  ByteBuffer wire;
  if (!msg.to_bytes(wire)) std::abort();
  return wire;
}

}  // namespace

int main() {
  if (version() != VELTRAC_VERSION_STRING) {
    std::printf("headers %s, library %s\n", VELTRAC_VERSION_STRING, std::string(version()).c_str());
    return 1;
  }

  // Decode. Errors are values: Result<T> is std::expected<T, VeltracError>.
  ByteBuffer wire = received_request();
  Result<Decoded<HcyMsg>> decoded = HcyMsg::from_bytes(wire.view());
  if (!decoded) {
    std::printf("cannot decode: %s\n", decoded.error().message().c_str());
    return 1;
  }
  const HcyMsg& msg = decoded->value;
  std::printf("received %zu of %zu bytes: %s\n", decoded->consumed, wire.size(), msg.short_desc().c_str());
  if (msg.kind() != MsgKind::Request) return 1;

  // What the request addresses, and its parameter table.
  const HcyReqBody& req = std::get<HcyMsg::Request>(msg.msg).body;
  std::printf("entity type %u, entity %s, characteristic %u %s\n", code_of(req.entity_type), req.entity_name.c_str(),
              req.characteristic_type, req.characteristic_name.c_str());
  int32_t rpm = 0;
  if (req.params && req.params->row_count() == 1) {
    const InfoTable& table = *req.params;
    size_t col = table.datashape.entries.position("rpm");
    const HcPrim& value = table.row(0)[col];
    if (col != DataShapeEntries::npos && value.kind() == PrimKind::INTEGER) rpm = value.as_integer();
    std::printf("parameters: %s\n", table.debug_text().c_str());
  }
  std::printf("rpm = %d\n", rpm);

  // Answer with a result table: the speed now set, and a note.
  InfoTable result;
  result.add_field_definition(field("result", BaseType::INTEGER));
  result.add_field_definition(field("note", BaseType::STRING));
  HcPrim row[] = {HcPrim::integer(rpm), HcPrim::string("speed set")};
  result.append_row(row);

  HcyMsgHeader header = msg.header();
  header.code = msgCodeEnum::HCY_SUCCESS;
  HcyMsg response{HcyMsg::Response{.header = header, .body = {.params = std::move(result)}}};
  ByteBuffer out;
  if (Result<size_t> n = response.to_bytes(out); !n) {
    std::printf("cannot encode: %s\n", n.error().message().c_str());
    return 1;
  }
  std::printf("response: %s\n%s\n", response.short_desc().c_str(), hex(out.view()).c_str());

  // Messages are values: copies are deep and compare equal; a decoded copy equals the original.
  HcyMsg copy = response;
  auto again = HcyMsg::from_bytes(out.view());
  std::printf("round trip equal: %s\n", again && again->value == copy ? "yes" : "no");

  // The authentication message a device sends when it connects.
  HcyMsg auth = HcyMsg::build_auth_msg(1, "my-application-key");
  ByteBuffer auth_wire;
  if (!auth.to_bytes(auth_wire)) return 1;
  std::printf("auth: %s\n%s\n", auth.short_desc().c_str(), hex(auth_wire.view()).c_str());

  // A truncated message fails with the codec's error text.
  auto bad = HcyMsg::from_bytes(wire.view().first(10));
  std::printf("truncated: %s\n", bad ? "decoded" : bad.error().message().c_str());
  return 0;
}
