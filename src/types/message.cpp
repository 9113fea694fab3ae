// HcyMessage: one whole protocol message, decoded from bytes or built as an authentication message.
// The wrapped value never changes after creation, so the methods need no borrow.
#include <string>

#include "common/args.hpp"
#include "common/classes.hpp"
#include "common/convert.hpp"
#include "common/guard.hpp"
#include "common/scratch.hpp"
#include "types/types.hpp"
#include "veltrac/message.hpp"

namespace veltrac::py {
namespace {

using Msg = veltrac::HcyMsg;

PyTypeObject HcyMessageType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

// Interned kind names and representations, indexed by MsgKind; created once when the class is added.
constexpr int kKinds = 4;
PyObject* g_kind_names[kKinds] = {};
PyObject* g_reprs[kKinds] = {};

inline const Msg& msg_of(PyObject* self) { return value_of<Msg>(self); }
inline int kind_index(const Msg& m) { return static_cast<int>(m.kind()); }

PyObject* msg_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const Signature sig{"HcyMessage.from_bytes", names, 1, 1};
  PyObject* data;
  if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == 1) {
    data = args[0];
  } else if (!parse_args(sig, args, nargs, kwnames, &data)) {
    return nullptr;
  }
  std::string_view bytes;
  if (!to_bytes(data, "data", bytes)) return nullptr;
  // Decode straight into the new object's value.
  PyRef obj(wrap(&HcyMessageType, Msg{}));
  if (!obj) return nullptr;
  auto r = value_of<Msg>(obj.get()).read_from(as_bytes(bytes));
  if (!r) return raise_value_error("Message deserialization error: ", r.error().message());
  return obj.release();
}

PyObject* msg_to_bytes(PyObject* self, PyObject*) {
  ByteBuffer& buf = scratch_bytes();
  auto r = msg_of(self).to_bytes(buf);
  if (!r) return raise_value_error("Message serialization error: ", r.error().message());
  return take_bytes(buf);
}

PyObject* msg_get_message_type(PyObject* self, PyObject*) {
  return Py_NewRef(g_kind_names[kind_index(msg_of(self))]);
}

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
  uint8_t code = code_of(m.header().code);
  return PyBool_FromLong(m.kind() == MsgKind::Request && code >= 1 && code <= 4);
}

PyObject* msg_is_response(PyObject* self, PyObject*) { return PyBool_FromLong(msg_of(self).kind() == MsgKind::Response); }
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
  if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == 2) {
    argv[0] = args[0];
    argv[1] = args[1];
  } else if (!parse_args(sig, args, nargs, kwnames, argv)) {
    return nullptr;
  }
  uint32_t request_id;
  if (!to_u32(argv[0], "request_id", request_id)) return nullptr;
  std::string_view app_key;
  if (!to_str(argv[1], "app_key", app_key)) return nullptr;
  return wrap(&HcyMessageType, Msg::build_auth_msg(request_id, app_key));
}

PyObject* msg_str(PyObject* self) { return msg_short_description(self, nullptr); }

PyObject* msg_repr(PyObject* self) { return Py_NewRef(g_reprs[kind_index(msg_of(self))]); }

#define VELTRAC_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kMethods[] = {
    {"from_bytes", VELTRAC_FASTCALL(VELTRAC_GUARDED(msg_from_bytes)), kStaticFastcall, "from_bytes(data)\n--\n\n"},
    {"to_bytes", VELTRAC_GUARDED(msg_to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"get_message_type", VELTRAC_GUARDED(msg_get_message_type), METH_NOARGS, "get_message_type($self)\n--\n\n"},
    {"get_request_id", VELTRAC_GUARDED(msg_get_request_id), METH_NOARGS, "get_request_id($self)\n--\n\n"},
    {"get_session_id", VELTRAC_GUARDED(msg_get_session_id), METH_NOARGS, "get_session_id($self)\n--\n\n"},
    {"get_endpoint", VELTRAC_GUARDED(msg_get_endpoint), METH_NOARGS, "get_endpoint($self)\n--\n\n"},
    {"is_request", VELTRAC_GUARDED(msg_is_request), METH_NOARGS, "is_request($self)\n--\n\n"},
    {"is_response", VELTRAC_GUARDED(msg_is_response), METH_NOARGS, "is_response($self)\n--\n\n"},
    {"is_auth", VELTRAC_GUARDED(msg_is_auth), METH_NOARGS, "is_auth($self)\n--\n\n"},
    {"is_bind", VELTRAC_GUARDED(msg_is_bind), METH_NOARGS, "is_bind($self)\n--\n\n"},
    {"short_description", VELTRAC_GUARDED(msg_short_description), METH_NOARGS, "short_description($self)\n--\n\n"},
    {"build_auth", VELTRAC_FASTCALL(VELTRAC_GUARDED(msg_build_auth)), kStaticFastcall, "build_auth(request_id, app_key)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef VELTRAC_FASTCALL

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
  t.tp_dealloc = dealloc<Msg>;
  t.tp_str = VELTRAC_GUARDED(msg_str);
  t.tp_repr = VELTRAC_GUARDED(msg_repr);
  t.tp_methods = kMethods;
  return add_class(module, &t, "HcyMessage");
}

}  // namespace veltrac::py
