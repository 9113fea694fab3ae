// VeltracError: a plain value class carrying one message (not an exception type).
#include <string>

#include "common/args.hpp"
#include "common/classes.hpp"
#include "common/convert.hpp"
#include "common/guard.hpp"
#include "types/types.hpp"

namespace veltrac::py {
namespace {

using Obj = Wrapper<std::string>;

PyObject* error_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"message"};
  static const Signature sig{"VeltracError.__new__", names, 1, 1};
  PyObject* argv[1];
  if (!parse_args_tuple(sig, args, kwargs, argv)) return nullptr;
  std::string_view message;
  if (!to_str(argv[0], "message", message)) return nullptr;
  return wrap(type, std::string(message));
}

PyObject* error_str(PyObject* self) { return new_str(value_of<std::string>(self)); }

PyObject* error_repr(PyObject* self) {
  const std::string& m = value_of<std::string>(self);
  std::string s;
  s.reserve(m.size() + 16);
  s += "VeltracError('";
  s += m;
  s += "')";
  return new_str(s);
}

PyTypeObject VeltracErrorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

bool add_veltrac_error(PyObject* module) {
  PyTypeObject& t = VeltracErrorType;
  t.tp_name = "veltrac._native.VeltracError";
  t.tp_basicsize = sizeof(Obj);
  t.tp_flags = kClassFlags;
  t.tp_doc = "VeltracError(message)\n--\n\n";
  t.tp_new = VELTRAC_GUARDED(error_new);
  t.tp_dealloc = dealloc<std::string>;
  t.tp_str = VELTRAC_GUARDED(error_str);
  t.tp_repr = VELTRAC_GUARDED(error_repr);
  return add_class(module, &t, "VeltracError");
}

}  // namespace veltrac::py
