// HcyMessage: one whole protocol message, decoded from bytes or built as an authentication message.
// The wrapped value never changes after creation, so the methods need no borrow.
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/buffer.hpp"
#include "common/classes.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "common/gil.hpp"
#include "common/guard.hpp"
#include "common/pickle_names.hpp"
#include "common/scratch.hpp"
#include "message/body_kind.hpp"
#include "types/types.hpp"
#include "util/debug_text.hpp"
#include "util/stream_string.hpp"
#include "veltrac/message.hpp"

namespace veltrac::py {
namespace {

using Msg = veltrac::HcyMsg;

PyTypeObject HcyMessageType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject MessageHeaderType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// A new MessageHeader object.
PyObject* new_header(const HcyMsgHeader& h) { return wrap(&MessageHeaderType, HcyMsgHeader(h)); }

// The header of the message at the start of `in` when its 15 bytes are there and its code is valid (multipart
// pieces included), else None; nullptr with an exception set on failure.
PyObject* header_or_none(Bytes in) {
  if (in.size() < HcyMsgHeader::kSize || !msg_code_from_repr(in[1])) return Py_NewRef(Py_None);
  return new_header(HcyMsgHeader::read(in.data()));
}

// DecodeError or IncompleteError for a message read from `in`, which starts at `base` in the caller's data.
PyObject* raise_message_error(const VeltracError& e, Bytes in, int64_t base) {
  PyRef header(header_or_none(in));
  if (!header) return nullptr;
  return raise_decode_error("Message deserialization error: ", e, in, base, header.get());
}

// Interned kind names and representations, indexed by MsgKind; created once when the class is added.
constexpr int kKinds = 4;
PyObject* g_kind_names[kKinds] = {};
PyObject* g_reprs[kKinds] = {};

inline const Msg& msg_of(PyObject* self) { return value_of<Msg>(self); }
inline int kind_index(const Msg& m) { return static_cast<int>(m.kind()); }

// An argument that converts to what `make()` returns, so that a member is initialised with it in place
// rather than moved from a temporary.
template <class F>
struct Made {
  F make;
  operator std::invoke_result_t<F&>() { return make(); }
};
template <class F>
Made(F) -> Made<F>;

// Memory of released messages, kept for the next ones: small messages are made and dropped at a high rate,
// and a kept block skips the allocator both ways. Every block is object memory of the class's size; the GIL
// guards the list.
constexpr int kSpareMessages = 16;
void* g_spare[kSpareMessages];
int g_spare_count = 0;

void release_message_memory(void* p) {
  if (g_spare_count < kSpareMessages) {
    g_spare[g_spare_count++] = p;
  } else {
    PyObject_Free(p);
  }
}

void msg_dealloc(PyObject* self) {
  value_of<Msg>(self).~Msg();
  release_message_memory(self);
}

// A new HcyMessage whose body is constructed in place from `args`; nullptr with MemoryError set. The class
// is final, outside the cycle collector and holds nothing but its value, so its memory needs no zero fill.
template <class... A>
PyObject* new_message(A&&... args) {
  void* p = g_spare_count > 0 ? g_spare[--g_spare_count] : PyObject_Malloc(sizeof(Wrapper<Msg>));
  if (!p) return PyErr_NoMemory();
  auto* w = static_cast<Wrapper<Msg>*>(p);
  try {
    new (&w->value) Msg{Msg::Body(std::forward<A>(args)...)};
  } catch (...) {
    release_message_memory(p);
    throw;
  }
  return PyObject_Init(reinterpret_cast<PyObject*>(w), &HcyMessageType);
}

PyObject* msg_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const Signature sig{"HcyMessage.from_bytes", names, 1, 1};
  std::string_view bytes;
  if (!parse_bytes_arg(sig, args, nargs, kwnames, bytes)) return nullptr;
  // Decode straight into the new object's value, which no other thread can see yet.
  PyRef obj(new_message());
  if (!obj) return nullptr;
  Msg& m = value_of<Msg>(obj.get());
  auto r = run_unlocked_if(bytes.size() >= kReleaseBytes, [&] { return m.read_from(as_bytes(bytes)); });
  if (!r) return raise_message_error(r.error(), as_bytes(bytes), 0);
  return obj.release();
}

// Bytes the encoding of `m` takes at least, counting a table's cells.
size_t encoded_size_estimate(const Msg& m) {
  size_t n = m.encoded_size_hint();
  std::visit(
      [&](const auto& alt) {
        if constexpr (requires { alt.body.params; }) {
          if (alt.body.params) n += alt.body.params->row_count() * alt.body.params->field_count() * 2;
        }
      },
      m.msg);
  return n;
}

PyObject* msg_to_bytes(PyObject* self, PyObject*) {
  ByteBuffer& buf = scratch_bytes();
  const Msg& m = msg_of(self);
  auto r = run_unlocked_if(encoded_size_estimate(m) >= kReleaseBytes, [&] { return m.to_bytes(buf); });
  if (!r) return raise_encode_error("Message serialization error: ", r.error());
  return take_bytes(buf);
}

PyObject* msg_get_message_type(PyObject* self, PyObject*) { return Py_NewRef(g_kind_names[kind_index(msg_of(self))]); }

PyObject* msg_get_request_id(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(msg_of(self).header().request_id);
}

PyObject* msg_get_session_id(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(msg_of(self).header().session_id);
}

PyObject* msg_get_endpoint(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(msg_of(self).header().endpoint);
}

PyObject* msg_is_request(PyObject* self, PyObject*) {
  const Msg& m = msg_of(self);
  return PyBool_FromLong(m.kind() == MsgKind::Request &&
                         message_detail::body_kind(m.header().code) == MsgKind::Request);
}

PyObject* msg_is_response(PyObject* self, PyObject*) {
  return PyBool_FromLong(msg_of(self).kind() == MsgKind::Response);
}
PyObject* msg_is_auth(PyObject* self, PyObject*) { return PyBool_FromLong(msg_of(self).kind() == MsgKind::Auth); }
PyObject* msg_is_bind(PyObject* self, PyObject*) { return PyBool_FromLong(msg_of(self).kind() == MsgKind::Bind); }

PyObject* msg_short_description(PyObject* self, PyObject*) {
  std::string s = msg_of(self).short_desc();
  // The names in the text are valid UTF-8: the decoder checks them and str arguments are UTF-8.
  return new_str(s);
}

PyObject* msg_build_auth(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"request_id", "app_key"};
  static const Signature sig{"HcyMessage.build_auth", names, 2, 2};
  PyObject* argv[2];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  uint32_t request_id;
  if (!to_u32(argv[0], "request_id", request_id)) return nullptr;
  std::string_view app_key;
  if (!to_str(argv[1], "app_key", app_key)) return nullptr;
  return wrap(&HcyMessageType, Msg::build_auth_msg(request_id, app_key));
}

// ---- reading: any message ----

PyObject* msg_get_version(PyObject* self, PyObject*) { return PyLong_FromLong(msg_of(self).header().version); }

PyObject* msg_get_code(PyObject* self, PyObject*) { return new_str(name_of(msg_of(self).header().code)); }

PyObject* msg_get_code_value(PyObject* self, PyObject*) { return PyLong_FromLong(code_of(msg_of(self).header().code)); }

// ---- reading: by kind ----

// "a" or "an" before a kind's name.
const char* article(std::string_view word) { return word.starts_with('A') ? "an " : "a "; }

// ValueError naming the method, the kinds it serves and the message's kind.
PyObject* wrong_kind(const Msg& m, const char* method, const char* wanted) {
  const std::string_view kind = kind_name(m.kind());
  std::string text = "HcyMessage.";
  text += method;
  text += "() needs ";
  text += article(wanted);
  text += wanted;
  text += " message, not ";
  text += article(kind);
  text += kind;
  return raise(PyExc_ValueError, text);
}

// The alternative M of the message, or nullptr with the wrong-kind ValueError set.
template <class M>
const M* as_kind(PyObject* self, const char* method) {
  const Msg& m = msg_of(self);
  if (const M* alt = std::get_if<M>(&m.msg)) return alt;
  wrong_kind(m, method, kind_name(Msg{M{}}.kind()).data());
  return nullptr;
}

PyObject* optional_str(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return new_str(*s);
}

PyObject* str_list(const std::vector<std::string>& items) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = new_str(items[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

#define REQUEST_FIELD(method, expr)                       \
  PyObject* msg_##method(PyObject* self, PyObject*) {     \
    const auto* r = as_kind<Msg::Request>(self, #method); \
    return r ? (expr) : nullptr;                          \
  }
REQUEST_FIELD(get_entity_type, PyLong_FromLong(code_of(r->body.entity_type)))
REQUEST_FIELD(get_entity_name, new_str(r->body.entity_name))
REQUEST_FIELD(get_characteristic_type, PyLong_FromLong(r->body.characteristic_type))
REQUEST_FIELD(get_characteristic_name, new_str(r->body.characteristic_name))
#undef REQUEST_FIELD

PyObject* msg_get_headers(PyObject* self, PyObject*) {
  const auto* r = as_kind<Msg::Request>(self, "get_headers");
  if (!r) return nullptr;
  const auto& headers = r->body.headers;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(headers.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < headers.size(); ++i) {
    PyRef name(new_str(headers[i].name));
    PyRef value(name ? new_str(headers[i].value) : nullptr);
    PyObject* pair = value ? PyTuple_Pack(2, name.get(), value.get()) : nullptr;
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* msg_get_params(PyObject* self, PyObject*) {
  const Msg& m = msg_of(self);
  const std::optional<InfoTable>* params = nullptr;
  if (const auto* r = std::get_if<Msg::Request>(&m.msg)) params = &r->body.params;
  if (const auto* r = std::get_if<Msg::Response>(&m.msg)) params = &r->body.params;
  if (!params) return wrong_kind(m, "get_params", "Request or Response");
  if (!*params) Py_RETURN_NONE;
  return new_infotable(InfoTable(**params));
}

PyObject* msg_get_reason(PyObject* self, PyObject*) {
  const auto* r = as_kind<Msg::Response>(self, "get_reason");
  return r ? optional_str(r->body.reason) : nullptr;
}

PyObject* msg_get_claim_name(PyObject* self, PyObject*) {
  const auto* a = as_kind<Msg::Auth>(self, "get_claim_name");
  return a ? new_str(a->body.claim_name) : nullptr;
}

PyObject* msg_get_claim_value(PyObject* self, PyObject*) {
  const auto* a = as_kind<Msg::Auth>(self, "get_claim_value");
  return a ? new_str(a->body.claim_value) : nullptr;
}

// A bind body's pair is both or neither once decoded or built.
PyObject* msg_get_binder_name(PyObject* self, PyObject*) {
  const auto* b = as_kind<Msg::Bind>(self, "get_binder_name");
  return b ? optional_str(b->body.has_pair() ? b->body.binder_name : std::nullopt) : nullptr;
}

PyObject* msg_get_binder_type(PyObject* self, PyObject*) {
  const auto* b = as_kind<Msg::Bind>(self, "get_binder_type");
  return b ? optional_str(b->body.has_pair() ? b->body.binder_type : std::nullopt) : nullptr;
}

PyObject* msg_get_names(PyObject* self, PyObject*) {
  const auto* b = as_kind<Msg::Bind>(self, "get_names");
  return b ? str_list(b->body.names) : nullptr;
}

// ---- building ----

// Which codes a builder takes.
enum class CodeClass { Request, Response, Any };

// The code given by display name or by value (an int, an IntEnum member, any object with __index__);
// false with ValueError (unknown code, or one of another class) or TypeError set otherwise.
bool to_code_general(PyObject* obj, CodeClass wanted, msgCodeEnum& out) {
  std::optional<msgCodeEnum> code;
  if (PyUnicode_Check(obj)) {
    std::string_view name;
    if (!to_str(obj, "code", name)) return false;
    for (int b = 0; b < 256 && !code; ++b) {
      if (auto c = msg_code_from_repr(static_cast<uint8_t>(b)); c && name_of(*c) == name) code = c;
    }
    if (!code) {
      std::string text = "Unknown message code: ";
      append_debug_str(text, name);
      raise(PyExc_ValueError, text);
      return false;
    }
  } else {
    int64_t v;
    if (!to_i64(obj, "code", v)) return false;
    if (v >= 0 && v <= 255) code = msg_code_from_repr(static_cast<uint8_t>(v));
    if (!code) {
      raise(PyExc_ValueError, "Unknown message code: " + std::to_string(v));
      return false;
    }
  }
  const uint8_t c = code_of(*code);
  const char* expected = nullptr;
  const auto kind = message_detail::body_kind(*code);
  if (wanted == CodeClass::Request && kind != MsgKind::Request)
    expected = "a request code (HCY_GET, HCY_PUT, HCY_POST or HCY_DEL)";
  if (wanted == CodeClass::Response && kind != MsgKind::Response) expected = "a response code (64 and above)";
  if (expected) {
    std::string text(name_of(*code));
    text += " (" + std::to_string(c) + ") is not ";
    text += expected;
    raise(PyExc_ValueError, text);
    return false;
  }
  out = *code;
  return true;
}

// The same, with an int naming a code of the wanted class read inline.
[[gnu::always_inline]] inline bool to_code(PyObject* obj, CodeClass wanted, msgCodeEnum& out) {
  long long v;
  if (small_int(obj, v) && v >= 0 && v <= 255) {
    if (auto code = msg_code_from_repr(static_cast<uint8_t>(v))) {
      const auto kind = message_detail::body_kind(*code);
      if (wanted == CodeClass::Any || (wanted == CodeClass::Request && kind == MsgKind::Request) ||
          (wanted == CodeClass::Response && kind == MsgKind::Response)) {
        out = *code;
        return true;
      }
    }
  }
  return to_code_general(obj, wanted, out);
}

// An optional str: None or a str.
bool to_optional_str(PyObject* obj, const char* param, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::string_view s;
  if (!to_str(obj, param, s)) return false;
  out.emplace(s);
  return true;
}

bool to_optional_table(PyObject* obj, std::optional<InfoTable>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  return copy_infotable(obj, "params", out.emplace());
}

// Each item of `iterable` converted by `convert(item, out)`; false with an exception set on failure.
template <class T, class F>
bool collect(PyObject* iterable, const char* param, std::vector<T>& out, F&& convert) {
  if (PyUnicode_Check(iterable)) {
    raise_cannot_convert(iterable, "Sequence", param);
    return false;
  }
  PyRef it(PyObject_GetIter(iterable));
  if (!it) {
    prefix_type_error(param);
    return false;
  }
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item(raw);
    if (!convert(item.get(), out.emplace_back())) return false;
  }
  return !PyErr_Occurred();
}

bool to_header(PyObject* item, Header& out) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
    PyRef seq(PySequence_Check(item) && !PyUnicode_Check(item) ? PySequence_Tuple(item) : nullptr);
    if (!seq || PyTuple_GET_SIZE(seq.get()) != 2) {
      PyErr_Clear();
      std::string text = "argument 'headers': each entry must be a (name, value) pair of str, not '";
      text += Py_TYPE(item)->tp_name;
      text += '\'';
      raise(PyExc_TypeError, text);
      return false;
    }
    return to_header(seq.get(), out);
  }
  std::string_view name, value;
  if (!to_str(PyTuple_GET_ITEM(item, 0), "headers", name) || !to_str(PyTuple_GET_ITEM(item, 1), "headers", value)) {
    return false;
  }
  out.name.assign(name);
  out.value.assign(value);
  return true;
}

// A new message object of kind M with a version 1 header, built in place by `fill(header, body)` and then
// checked; nullptr with an exception set on failure.
template <class M, class F>
PyObject* build(F&& fill) {
  PyRef obj(wrap_new<Msg>(&HcyMessageType));
  if (!obj) return nullptr;
  Msg& m = value_of<Msg>(obj.get());
  M& alt = std::holds_alternative<M>(m.msg) ? std::get<M>(m.msg) : m.msg.template emplace<M>();
  if (!fill(alt.header, alt.body)) return nullptr;
  if (auto ok = m.check(); !ok) return raise_encode_error("Message build error: ", ok.error());
  return obj.release();
}

[[gnu::always_inline]] inline bool to_ids(PyObject* request_id, PyObject* endpoint, PyObject* session_id,
                                          HcyMsgHeader& h) {
  if (!to_u32(request_id, "request_id", h.request_id)) return false;
  if (endpoint && !to_u32(endpoint, "endpoint", h.endpoint)) return false;
  return !session_id || to_u32(session_id, "session_id", h.session_id);
}

PyObject* msg_build_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {
      "code",    "request_id", "entity_type", "entity_name", "characteristic_type", "characteristic_name",
      "headers", "params",     "endpoint",    "session_id"};
  static const Signature sig{"HcyMessage.build_request", names, 10, 6, 8};
  PyObject* argv[10];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  // Every argument is converted before the message is made, so that its texts are copied once, straight
  // into the new object.
  HcyMsgHeader h;
  uint8_t entity_type, characteristic_type;
  std::string_view entity_name, characteristic_name;
  if (!to_code(argv[0], CodeClass::Request, h.code) || !to_ids(argv[1], argv[8], argv[9], h) ||
      !to_u8(argv[2], "entity_type", entity_type) || !to_str(argv[3], "entity_name", entity_name) ||
      !to_u8(argv[4], "characteristic_type", characteristic_type) ||
      !to_str(argv[5], "characteristic_name", characteristic_name)) {
    return nullptr;
  }
  std::vector<Header> headers;
  std::optional<InfoTable> params;
  if ((argv[6] && !collect(argv[6], "headers", headers, to_header)) || !to_optional_table(argv[7], params)) {
    return nullptr;
  }
  PyRef obj(new_message(std::in_place_type<Msg::Request>, h, Made{[&] {
                          return HcyReqBody{.entity_type = static_cast<entityTypeEnum>(entity_type),
                                            .entity_name = std::string(entity_name),
                                            .characteristic_type = characteristic_type,
                                            .characteristic_name = std::string(characteristic_name),
                                            .headers = std::move(headers),
                                            .params = std::move(params)};
                        }}));
  if (!obj) return nullptr;
  if (auto ok = msg_of(obj.get()).check(); !ok) return raise_encode_error("Message build error: ", ok.error());
  return obj.release();
}

PyObject* msg_build_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"code", "request_id", "reason", "params", "endpoint", "session_id"};
  static const Signature sig{"HcyMessage.build_response", names, 6, 2, 4};
  PyObject* argv[6];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  return build<Msg::Response>([&](HcyMsgHeader& h, HcyResBody& body) {
    return to_code(argv[0], CodeClass::Response, h.code) && to_ids(argv[1], argv[4], argv[5], h) &&
           to_optional_str(argv[2], "reason", body.reason) && to_optional_table(argv[3], body.params);
  });
}

PyObject* msg_build_bind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"request_id", "names",    "binder_name", "binder_type",
                                      "unbind",     "endpoint", "session_id"};
  static const Signature sig{"HcyMessage.build_bind", names, 7, 2, 4};
  PyObject* argv[7];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  return build<Msg::Bind>([&](HcyMsgHeader& h, HcyBindBody& body) {
    bool unbind = false;
    auto to_name = [](PyObject* item, std::string& out) {
      std::string_view s;
      if (!to_str(item, "names", s)) return false;
      out.assign(s);
      return true;
    };
    if (!to_ids(argv[0], argv[5], argv[6], h) || !collect(argv[1], "names", body.names, to_name) ||
        !to_optional_str(argv[2], "binder_name", body.binder_name) ||
        !to_optional_str(argv[3], "binder_type", body.binder_type) ||
        (argv[4] && !to_bool(argv[4], "unbind", unbind))) {
      return false;
    }
    if (body.binder_name.has_value() != body.binder_type.has_value()) {
      raise(PyExc_ValueError, "binder_name and binder_type are given together or not at all");
      return false;
    }
    h.code = unbind ? msgCodeEnum::HCY_UNBIND : msgCodeEnum::HCY_BIND;
    return true;
  });
}

PyObject* msg_reply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"code", "reason", "params"};
  static const Signature sig{"HcyMessage.reply", names, 3, 0};
  PyObject* argv[3];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  const HcyMsgHeader& from = msg_of(self).header();
  return build<Msg::Response>([&](HcyMsgHeader& h, HcyResBody& body) {
    h.request_id = from.request_id;
    h.endpoint = from.endpoint;
    h.session_id = from.session_id;
    h.code = msgCodeEnum::HCY_SUCCESS;
    return (!argv[0] || to_code(argv[0], CodeClass::Response, h.code)) &&
           to_optional_str(argv[1], "reason", body.reason) && to_optional_table(argv[2], body.params);
  });
}

// ---- transports, catalogue ----

PyObject* msg_from_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data", "offset"};
  static const Signature sig{"HcyMessage.from_buffer", names, 2, 1};
  PyObject* argv[2];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  BufferArg buf;
  if (!buf.open(argv[0], argv[1])) return nullptr;
  const Bytes in = buf.rest();
  const int64_t offset = buf.offset();
  PyRef obj(wrap_new<Msg>(&HcyMessageType));
  if (!obj) return nullptr;
  // A bytes object cannot change meanwhile; other buffers might, so they keep the lock.
  Msg& m = value_of<Msg>(obj.get());
  const bool unlocked = PyBytes_Check(argv[0]) && in.size() >= kReleaseBytes;
  auto r = run_unlocked_if(unlocked, [&] { return m.read_from(in); });
  if (!r) return raise_message_error(r.error(), in, offset);
  PyRef taken(PyLong_FromSize_t(*r));
  if (!taken) return nullptr;
  return PyTuple_Pack(2, obj.get(), taken.get());
}

PyObject* msg_message_codes(PyObject*, PyObject*) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (int b = 0; b < 256; ++b) {
    auto code = msg_code_from_repr(static_cast<uint8_t>(b));
    if (!code) continue;
    PyRef pair(Py_BuildValue("(s#i)", name_of(*code).data(), static_cast<Py_ssize_t>(name_of(*code).size()), b));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return list.release();
}

// ---- headers and streams ----

PyObject* msg_get_header(PyObject* self, PyObject*) { return new_header(msg_of(self).header()); }

// Header-only codes: valid, but no body kind.
bool header_only(uint8_t code) {
  return code < 64 && !(code >= 1 && code <= 4) && code != 10 && code != 11 && code != 20;
}

// _scan(data, start, base, final, limit): reads messages from `start` on; returns (messages, ends, error).
// `ends` holds the end of each message within `data`, as native unsigned 64-bit numbers (a bytes object, so
// that no int is made per message); `error` is the exception (or None) that stopped the
// scan at the last end. Unless `final`, a message that may go on past the end of `data` stops the scan
// without error (a string due at the very end counts as such); header-only codes yield their MessageHeader.
// Offsets in errors are `base` plus the position in `data`.
PyObject* msg_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) return raise(PyExc_TypeError, "_scan takes 5 arguments");
  Py_ssize_t start = PyLong_AsSsize_t(args[1]);
  long long base = PyLong_AsLongLong(args[2]);
  int final = PyObject_IsTrue(args[3]);
  Py_ssize_t limit = PyLong_AsSsize_t(args[4]);
  if (PyErr_Occurred() || final < 0) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  if (start < 0 || start > view.len) return raise(PyExc_ValueError, "start is outside the data");
  const auto* data = static_cast<const uint8_t*>(view.buf);
  const size_t len = static_cast<size_t>(view.len);
  PyRef msgs(PyList_New(0));
  if (!msgs) return nullptr;
  std::vector<uint64_t> ends;
  PyRef error(Py_NewRef(Py_None));
  size_t pos = static_cast<size_t>(start);
  auto append = [&](PyObject* obj, size_t end) {
    PyRef o(obj);
    if (!o || PyList_Append(msgs.get(), o.get()) < 0) return false;
    ends.push_back(end);
    return true;
  };
  // Unless final, a string due at the very end of the data waits for more bytes.
  std::optional<WholeStrings> whole;
  if (!final) whole.emplace();
  // Sets `error` to the exception `raise_fn` raises.
  auto take_error = [&]() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    error = PyRef(value);
  };
  for (Py_ssize_t n = 0; pos < len && n < limit; ++n) {
    Bytes in(data + pos, len - pos);
    const int64_t at = base + static_cast<int64_t>(pos);
    if (in.size() < HcyMsgHeader::kSize) {
      if (!final) break;
      Msg probe;
      VeltracError e = probe.read_from(in).error();
      raise_decode_error_at("Message deserialization error: ", e, at, true, Py_None);
      take_error();
      break;
    }
    const auto code = msg_code_from_repr(in[1]);
    if (code && (header_only(in[1]) || in[14] != 0)) {
      HcyMsgHeader h = HcyMsgHeader::read(in.data());
      if (h.multipart) {
        PyRef header(new_header(h));
        if (!header) return nullptr;
        raise_decode_error_at("Message deserialization error: ", VeltracError::plain(ErrorKind::MultipartFromBytes), at,
                              false, header.get());
        take_error();
        break;
      }
      if (!append(new_header(h), pos + HcyMsgHeader::kSize)) return nullptr;
      pos += HcyMsgHeader::kSize;
      continue;
    }
    PyRef obj(wrap_new<Msg>(&HcyMessageType));
    if (!obj) return nullptr;
    Msg& m = value_of<Msg>(obj.get());
    Result<size_t> r = m.read_from(in);
    if (!r) {
      if (!final && r.error().incomplete) break;
      PyRef header(header_or_none(in));
      if (!header) return nullptr;
      raise_decode_error_at("Message deserialization error: ", r.error(), at, r.error().incomplete, header.get());
      take_error();
      break;
    }
    pos += *r;
    if (!append(obj.release(), pos)) return nullptr;
  }
  PyRef ends_bytes(new_bytes(ends.data(), ends.size() * sizeof(uint64_t)));
  if (!ends_bytes) return nullptr;
  return PyTuple_Pack(3, msgs.get(), ends_bytes.get(), error.get());
}

// ---- MessageHeader ----

inline const HcyMsgHeader& header_of(PyObject* self) { return value_of<HcyMsgHeader>(self); }

// MessageCode members by wire value, looked up in the package on first use.
PyObject* g_code_members[256] = {};

PyObject* code_member(uint8_t code) {
  if (!g_code_members[code]) {
    PyRef pkg(PyImport_ImportModule("veltrac"));
    if (!pkg) return nullptr;
    PyRef cls(PyObject_GetAttrString(pkg.get(), "MessageCode"));
    if (!cls) return nullptr;
    g_code_members[code] = PyObject_CallFunction(cls.get(), "i", static_cast<int>(code));
    if (!g_code_members[code]) return nullptr;
  }
  return Py_NewRef(g_code_members[code]);
}

PyObject* header_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"code", "request_id", "endpoint", "session_id", "version", "multipart", nullptr};
  PyObject *code = nullptr, *rid = nullptr, *ep = nullptr, *sid = nullptr, *ver = nullptr, *mp = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO:MessageHeader", const_cast<char**>(kw), &code, &rid, &ep,
                                   &sid, &ver, &mp)) {
    return nullptr;
  }
  HcyMsgHeader h;
  if (!to_code(code, CodeClass::Any, h.code)) return nullptr;
  if ((rid && !to_u32(rid, "request_id", h.request_id)) || (ep && !to_u32(ep, "endpoint", h.endpoint)) ||
      (sid && !to_u32(sid, "session_id", h.session_id))) {
    return nullptr;
  }
  if (ver) {
    uint32_t v;
    if (!to_u32(ver, "version", v)) return nullptr;
    if (v > 255) return raise(PyExc_ValueError, "version must be 0 to 255, not " + std::to_string(v));
    h.version = static_cast<uint8_t>(v);
  }
  if (mp) {
    int b = PyObject_IsTrue(mp);
    if (b < 0) return nullptr;
    h.multipart = b != 0;
  }
  return wrap(type, std::move(h));
}

PyObject* header_get_version(PyObject* self, void*) { return PyLong_FromLong(header_of(self).version); }
PyObject* header_get_code(PyObject* self, void*) { return code_member(code_of(header_of(self).code)); }
PyObject* header_get_request_id(PyObject* self, void*) { return PyLong_FromUnsignedLong(header_of(self).request_id); }
PyObject* header_get_endpoint(PyObject* self, void*) { return PyLong_FromUnsignedLong(header_of(self).endpoint); }
PyObject* header_get_session_id(PyObject* self, void*) { return PyLong_FromUnsignedLong(header_of(self).session_id); }
PyObject* header_get_multipart(PyObject* self, void*) { return PyBool_FromLong(header_of(self).multipart); }

PyObject* header_to_bytes(PyObject* self, PyObject*) {
  uint8_t out[HcyMsgHeader::kSize];
  const HcyMsgHeader& h = header_of(self);
  out[0] = h.version;
  out[1] = code_of(h.code);
  be::store32(out + 2, h.request_id);
  be::store32(out + 6, h.endpoint);
  be::store32(out + 10, h.session_id);
  out[14] = h.multipart ? 1 : 0;
  return new_bytes(out, sizeof out);
}

PyObject* header_from_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data", "offset"};
  static const Signature sig{"MessageHeader.from_buffer", names, 2, 1};
  PyObject* argv[2] = {nullptr, nullptr};
  if (nargs == 1 && !kwnames) {
    argv[0] = args[0];
  } else if (!parse_args(sig, args, nargs, kwnames, argv)) {
    return nullptr;
  }
  BufferArg buf;
  if (!buf.open(argv[0], argv[1])) return nullptr;
  const Bytes in = buf.rest();
  const int64_t offset = buf.offset();
  if (in.size() < HcyMsgHeader::kSize) {
    Msg probe;
    VeltracError e = probe.read_from(in).error();
    return raise_decode_error("Message deserialization error: ", e, in, offset, Py_None);
  }
  if (!msg_code_from_repr(in[1])) {
    return raise_decode_error("Message deserialization error: ",
                              VeltracError::with_code(ErrorKind::InvalidCode, in[1]).found_at(in.data() + 1), in,
                              offset, Py_None);
  }
  return new_header(HcyMsgHeader::read(in.data()));
}

PyObject* header_repr(PyObject* self) {
  const HcyMsgHeader& h = header_of(self);
  std::string s = "MessageHeader(code=";
  s += name_of(h.code);
  s += ", request_id=" + std::to_string(h.request_id) + ", endpoint=" + std::to_string(h.endpoint) +
       ", session_id=" + std::to_string(h.session_id) + ", version=" + std::to_string(h.version) +
       ", multipart=" + (h.multipart ? "True" : "False") + ")";
  return new_str(s);
}

PyObject* header_str(PyObject* self) { return new_str(header_of(self).to_string()); }

PyObject* header_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != &MessageHeaderType) Py_RETURN_NOTIMPLEMENTED;
  bool eq = header_of(a) == header_of(b);
  return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

Py_hash_t header_hash(PyObject* self) {
  const HcyMsgHeader& h = header_of(self);
  PyRef t(Py_BuildValue("(iIIIii)", static_cast<int>(code_of(h.code)), h.request_id, h.endpoint, h.session_id,
                        static_cast<int>(h.version), static_cast<int>(h.multipart)));
  return t ? PyObject_Hash(t.get()) : -1;
}

PyObject* header_reduce(PyObject* self, PyObject*) {
  const HcyMsgHeader& h = header_of(self);
  return Py_BuildValue("(O(iIIIiO))", reinterpret_cast<PyObject*>(&MessageHeaderType),
                       static_cast<int>(code_of(h.code)), h.request_id, h.endpoint, h.session_id,
                       static_cast<int>(h.version), h.multipart ? Py_True : Py_False);
}

PyGetSetDef kHeaderGetSet[] = {
    {"version", header_get_version, nullptr, "Protocol version (0 to 255).", nullptr},
    {"code", header_get_code, nullptr, "The message code, a MessageCode.", nullptr},
    {"request_id", header_get_request_id, nullptr, "Request id.", nullptr},
    {"endpoint", header_get_endpoint, nullptr, "Endpoint id.", nullptr},
    {"session_id", header_get_session_id, nullptr, "Session id.", nullptr},
    {"multipart", header_get_multipart, nullptr, "Whether the message is one piece of a multipart message.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kHeaderMethods[] = {
    {"to_bytes", VELTRAC_METHOD(header_to_bytes), METH_NOARGS,
     "to_bytes($self)\n--\n\nThe 15 bytes of the header; a whole keep-alive or clear-auth message."},
    {"from_buffer", VELTRAC_METHOD(header_from_buffer), kStaticFastcall,
     "from_buffer(data, offset=0)\n--\n\nReads the 15 header bytes of any message with a valid code at `offset` of a "
     "bytes-like object."},
    {"__reduce__", VELTRAC_METHOD(header_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the header as its fields."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* msg_str(PyObject* self) { return msg_short_description(self, nullptr); }

PyObject* msg_repr(PyObject* self) { return Py_NewRef(g_reprs[kind_index(msg_of(self))]); }

PyObject* msg_from_pickle_m(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return msg_from_pickle(&HcyMessageType, args, nargs, kwnames);
}

PyMethodDef kMethods[] = {
    {"from_bytes", VELTRAC_METHOD(msg_from_bytes), kStaticFastcall, "from_bytes(data)\n--\n\n"},
    {"to_bytes", VELTRAC_METHOD(msg_to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"get_message_type", VELTRAC_METHOD(msg_get_message_type), METH_NOARGS, "get_message_type($self)\n--\n\n"},
    {"get_request_id", VELTRAC_METHOD(msg_get_request_id), METH_NOARGS, "get_request_id($self)\n--\n\n"},
    {"get_session_id", VELTRAC_METHOD(msg_get_session_id), METH_NOARGS, "get_session_id($self)\n--\n\n"},
    {"get_endpoint", VELTRAC_METHOD(msg_get_endpoint), METH_NOARGS, "get_endpoint($self)\n--\n\n"},
    {"is_request", VELTRAC_METHOD(msg_is_request), METH_NOARGS, "is_request($self)\n--\n\n"},
    {"is_response", VELTRAC_METHOD(msg_is_response), METH_NOARGS, "is_response($self)\n--\n\n"},
    {"is_auth", VELTRAC_METHOD(msg_is_auth), METH_NOARGS, "is_auth($self)\n--\n\n"},
    {"is_bind", VELTRAC_METHOD(msg_is_bind), METH_NOARGS, "is_bind($self)\n--\n\n"},
    {"short_description", VELTRAC_METHOD(msg_short_description), METH_NOARGS, "short_description($self)\n--\n\n"},
    {"build_auth", VELTRAC_METHOD(msg_build_auth), kStaticFastcall, "build_auth(request_id, app_key)\n--\n\n"},
    {"get_version", VELTRAC_METHOD(msg_get_version), METH_NOARGS,
     "get_version($self)\n--\n\nThe header's protocol version (0 to 255)."},
    {"get_code", VELTRAC_METHOD(msg_get_code), METH_NOARGS,
     "get_code($self)\n--\n\nThe message code's display name, such as \"HCY_SUCCESS\"."},
    {"get_code_value", VELTRAC_METHOD(msg_get_code_value), METH_NOARGS,
     "get_code_value($self)\n--\n\nThe message code's wire value, such as 64."},
    {"get_entity_type", VELTRAC_METHOD(msg_get_entity_type), METH_NOARGS,
     "get_entity_type($self)\n--\n\nA request's entity type code (one byte)."},
    {"get_entity_name", VELTRAC_METHOD(msg_get_entity_name), METH_NOARGS,
     "get_entity_name($self)\n--\n\nA request's entity name: the thing it is addressed to."},
    {"get_characteristic_type", VELTRAC_METHOD(msg_get_characteristic_type), METH_NOARGS,
     "get_characteristic_type($self)\n--\n\nA request's characteristic type code (one byte): property, service, event, "
     "..."},
    {"get_characteristic_name", VELTRAC_METHOD(msg_get_characteristic_name), METH_NOARGS,
     "get_characteristic_name($self)\n--\n\nA request's characteristic name: the property, service or event it is "
     "about."},
    {"get_headers", VELTRAC_METHOD(msg_get_headers), METH_NOARGS,
     "get_headers($self)\n--\n\nA request's header entries, as (name, value) pairs in wire order."},
    {"get_params", VELTRAC_METHOD(msg_get_params), METH_NOARGS,
     "get_params($self)\n--\n\nThe table a request or response carries, or None."},
    {"get_reason", VELTRAC_METHOD(msg_get_reason), METH_NOARGS,
     "get_reason($self)\n--\n\nA response's reason text, or None when it has none."},
    {"get_claim_name", VELTRAC_METHOD(msg_get_claim_name), METH_NOARGS,
     "get_claim_name($self)\n--\n\nAn authentication's claim name (\"appKey\" for `build_auth`)."},
    {"get_claim_value", VELTRAC_METHOD(msg_get_claim_value), METH_NOARGS,
     "get_claim_value($self)\n--\n\nAn authentication's claim value (the application key for `build_auth`)."},
    {"get_binder_name", VELTRAC_METHOD(msg_get_binder_name), METH_NOARGS,
     "get_binder_name($self)\n--\n\nA bind's binder name, or None."},
    {"get_binder_type", VELTRAC_METHOD(msg_get_binder_type), METH_NOARGS,
     "get_binder_type($self)\n--\n\nA bind's binder type, or None (present exactly when the binder name is)."},
    {"get_names", VELTRAC_METHOD(msg_get_names), METH_NOARGS,
     "get_names($self)\n--\n\nThe names of the things a bind or unbind message announces, in wire order."},
    {"build_request", VELTRAC_METHOD(msg_build_request), kStaticFastcall,
     "build_request(code, request_id, entity_type, entity_name, characteristic_type, characteristic_name, headers=(), "
     "params=None, *, endpoint=0, session_id=0)\n--\n\nBuilds a request."},
    {"build_response", VELTRAC_METHOD(msg_build_response), kStaticFastcall,
     "build_response(code, request_id, reason=None, params=None, *, endpoint=0, session_id=0)\n--\n\nBuilds a response "
     "without a request at hand (see `reply` for the usual case)."},
    {"build_bind", VELTRAC_METHOD(msg_build_bind), kStaticFastcall,
     "build_bind(request_id, names, binder_name=None, binder_type=None, *, unbind=False, endpoint=0, "
     "session_id=0)\n--\n\nBuilds a bind (HCY_BIND) or, with `unbind=True`, an unbind (HCY_UNBIND) message."},
    {"reply", VELTRAC_METHOD(msg_reply), kFastcall,
     "reply($self, code='HCY_SUCCESS', reason=None, params=None)\n--\n\nThe response to this message, of any kind: its "
     "request id, endpoint and session id, and `code`."},
    {"from_buffer", VELTRAC_METHOD(msg_from_buffer), kStaticFastcall,
     "from_buffer(data, offset=0)\n--\n\nDecodes one message at `offset` of any bytes-like object, without copying "
     "it."},
    {"message_codes", VELTRAC_METHOD(msg_message_codes), METH_NOARGS | METH_STATIC,
     "message_codes()\n--\n\nEvery message code as (display name, wire value), in wire order: what `MessageCode` is "
     "built from."},
    {"__copy__", VELTRAC_METHOD(copy_value<Msg>), METH_NOARGS,
     "__copy__($self)\n--\n\nA copy of the message (`copy.copy`); a table it carries is shared until one side "
     "changes."},
    {"__deepcopy__", VELTRAC_METHOD(copy_value<Msg>), METH_O,
     "__deepcopy__($self, memo)\n--\n\nA copy of the message (`copy.deepcopy`); a table it carries is shared until one "
     "side changes."},
    {"__reduce__", VELTRAC_METHOD(reduce_msg), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the message as its wire bytes (the shape names of its tables kept)."},
    {"_from_pickle", VELTRAC_METHOD(msg_from_pickle_m), kStaticFastcall, "_from_pickle(data, names)\n--\n\n"},
    {"get_header", VELTRAC_METHOD(msg_get_header), METH_NOARGS,
     "get_header($self)\n--\n\nThe message's header as a MessageHeader."},
    {"_scan", VELTRAC_METHOD(msg_scan), METH_FASTCALL | METH_STATIC, "_scan(data, start, base, final, limit)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_message(PyObject* module) {
  for (int i = 0; i < kKinds; ++i) {
    std::string_view name = kind_name(static_cast<MsgKind>(i));
    std::string repr = "HcyMessage(";
    repr.append(name);
    repr.push_back(')');
    g_kind_names[i] = PyUnicode_InternFromString(std::string(name).c_str());
    g_reprs[i] = PyUnicode_InternFromString(repr.c_str());
    if (!g_kind_names[i] || !g_reprs[i]) return false;
  }
  PyTypeObject& t = HcyMessageType;
  t.tp_name = "veltrac._native.HcyMessage";
  t.tp_basicsize = sizeof(Wrapper<Msg>);
  t.tp_flags = kClassFlags;
  t.tp_new = VELTRAC_GUARDED(no_constructor);
  t.tp_dealloc = msg_dealloc;
  t.tp_str = VELTRAC_GUARDED(msg_str);
  t.tp_repr = VELTRAC_GUARDED(msg_repr);
  t.tp_methods = kMethods;
  if (!add_class(module, &t, "HcyMessage")) return false;
  PyTypeObject& ht = MessageHeaderType;
  ht.tp_name = "veltrac._native.MessageHeader";
  ht.tp_basicsize = sizeof(Wrapper<HcyMsgHeader>);
  ht.tp_flags = kClassFlags;
  ht.tp_doc =
      "MessageHeader(code, request_id=0, endpoint=0, session_id=0, version=1, multipart=False)\n--\n\n"
      "The 15-byte header of any message: an immutable value, equal and hashed by its fields.";
  ht.tp_new = VELTRAC_GUARDED(header_new);
  ht.tp_dealloc = dealloc<HcyMsgHeader>;
  ht.tp_repr = VELTRAC_GUARDED(header_repr);
  ht.tp_str = VELTRAC_GUARDED(header_str);
  ht.tp_richcompare = header_richcompare;
  ht.tp_hash = header_hash;
  ht.tp_getset = kHeaderGetSet;
  ht.tp_methods = kHeaderMethods;
  if (PyType_Ready(&ht) < 0) return false;
  return PyModule_AddObjectRef(module, "MessageHeader", reinterpret_cast<PyObject*>(&ht)) == 0 &&
         add_error_classes(module);
}

}  // namespace veltrac::py
