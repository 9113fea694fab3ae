// HcPrim: one typed protocol value, built by static factories, encoded and decoded in its binary form and
// written in its typed and simple JSON forms. The wrapped value never changes after creation, so the
// methods need no borrow.
#include <string>

#include "common/args.hpp"
#include "common/buffer.hpp"
#include "common/classes.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "common/gil.hpp"
#include "common/guard.hpp"
#include "common/pickle_names.hpp"
#include "common/scratch.hpp"
#include "common/to_python.hpp"
#include "json/record.hpp"
#include "types/types.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac::py {
namespace {

using Prim = veltrac::HcPrim;
using Obj = Wrapper<Prim>;

PyTypeObject HcPrimType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Interned kind names, indexed by PrimKind; created once when the class is added.
PyObject* g_kind_names[kPrimKindCount] = {};

inline PyObject* new_prim(Prim&& v) { return wrap(&HcPrimType, std::move(v)); }

const char* const kValueNames[] = {"value"};
const char* const kDataNames[] = {"data"};

// ---- factories ----

PyObject* prim_boolean(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.boolean", kValueNames, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  bool b;
  if (!to_bool(v, "value", b)) return nullptr;
  return new_prim(Prim::boolean(b));
}

PyObject* prim_integer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.integer", kValueNames, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  int32_t n;
  if (!to_i32(v, "value", n)) return nullptr;
  return new_prim(Prim::integer(n));
}

PyObject* prim_long(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.long", kValueNames, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  int64_t n;
  if (!to_i64(v, "value", n)) return nullptr;
  return new_prim(Prim::long_(n));
}

PyObject* prim_number(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.number", kValueNames, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  double d;
  if (!to_f64(v, "value", d)) return nullptr;
  return new_prim(Prim::number(d));
}

PyObject* prim_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.string", kValueNames, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  std::string_view s;
  if (!to_str(v, "value", s)) return nullptr;
  return new_prim(Prim::string(s));
}

PyObject* prim_datetime(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.datetime", kValueNames, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  int64_t n;
  if (!to_i64(v, "value", n)) return nullptr;
  return new_prim(Prim::datetime(n));
}

PyObject* prim_blob(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.blob", kValueNames, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  if (PyBytes_Check(v)) {
    // No intermediate copy for bytes.
    Bytes b(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(v)), static_cast<size_t>(PyBytes_GET_SIZE(v)));
    return new_prim(Prim::blob(b));
  }
  std::vector<uint8_t> bytes;
  if (!to_byte_vector(v, "value", bytes)) return nullptr;
  return new_prim(Prim::blob(Bytes(bytes.data(), bytes.size())));
}

PyObject* prim_infotable_empty(PyObject*, PyObject*) {
  return new_prim(Prim::infotable(veltrac::InfoTable(std::optional<std::string>("EmptyDataShape"))));
}

// ---- binary form ----

PyObject* prim_to_bytes(PyObject* self, PyObject*) {
  ByteBuffer& buf = scratch_bytes();
  auto r = value_of<Prim>(self).to_bytes(buf);
  if (!r) return raise_encode_error("Binary serialization error: ", r.error());
  return take_bytes(buf);
}

PyObject* prim_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.from_bytes", kDataNames, 1, 1};
  std::string_view data;
  if (!parse_bytes_arg(sig, args, nargs, kwnames, data)) return nullptr;
  auto r = run_unlocked_if(data.size() >= kReleaseBytes, [&] { return Prim::from_bytes(as_bytes(data)); });
  if (!r) return raise_decode_error("Binary deserialization error: ", r.error(), as_bytes(data));
  return new_prim(std::move(r->value));
}

PyObject* prim_from_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data", "offset"};
  static const Signature sig{"HcPrim.from_buffer", names, 2, 1};
  return decode_from_buffer(
      sig, args, nargs, kwnames, "Binary deserialization error: ", [](Bytes in) { return Prim::from_bytes(in); },
      [](Prim&& v) { return new_prim(std::move(v)); });
}

// ---- JSON forms ----

PyObject* prim_to_json(PyObject* self, PyObject*) {
  const Prim& p = value_of<Prim>(self);
  std::string out;
  auto r = p.write_json_typed(out, p.base_type());
  if (!r) return raise_encode_error("JSON conversion error: ", r.error());
  return new_str(out);
}

PyObject* prim_to_simple_json(PyObject* self, PyObject*) {
  std::string out;
  auto r = value_of<Prim>(self).write_simple_json(out);
  if (!r) return raise_encode_error("Simple JSON conversion error: ", r.error());
  return new_str(out);
}

// ---- accessors ----

PyObject* kind_name(PrimKind k) { return Py_NewRef(g_kind_names[static_cast<size_t>(k)]); }

PyObject* prim_get_type(PyObject* self, PyObject*) { return kind_name(value_of<Prim>(self).innermost().kind()); }

PyObject* table_summary(const veltrac::InfoTable& t) {
  std::string s = "InfoTable(rows=";
  s += std::to_string(t.row_count());
  s += ", fields=";
  s += std::to_string(t.field_count());
  s += ')';
  return new_str(s);
}

// The plain kinds as to_python gives them; a table as its summary text; LOCATION has no plain value.
PyObject* prim_get_value(PyObject* self, PyObject*) {
  const Prim& p = value_of<Prim>(self).innermost();
  switch (p.kind()) {
    case PrimKind::INFOTABLE: return table_summary(p.as_table());
    case PrimKind::LOCATION:
    case PrimKind::VARIANT:  // never the innermost value
      return raise(PyExc_TypeError, "Unsupported type for get_value");
    default: return prim_to_python(p);
  }
}

PyObject* prim_is_variant(PyObject* self, PyObject*) { return PyBool_FromLong(value_of<Prim>(self).is_variant()); }

PyObject* prim_unwrap_variant(PyObject* self, PyObject*) {
  const Prim& p = value_of<Prim>(self);
  if (!p.is_variant()) return raise(PyExc_TypeError, "HcPrim is not a VARIANT type");
  return new_prim(Prim(p.as_variant()));
}

PyObject* prim_get_full_type(PyObject* self, PyObject*) {
  const Prim& p = value_of<Prim>(self);
  if (!p.is_variant()) return kind_name(p.kind());
  return new_str(p.full_type_name());
}

// ---- text forms ----

// ---- Python values and the remaining kinds ----

PyObject* prim_to_python_m(PyObject* self, PyObject*) { return prim_to_python(value_of<Prim>(self)); }

PyObject* prim_location(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"latitude", "longitude", "elevation"};
  static const Signature sig{"HcPrim.location", names, 3, 2};
  PyObject* argv[3];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  Location loc;
  if (!to_f64(argv[0], "latitude", loc.latitude) || !to_f64(argv[1], "longitude", loc.longitude) ||
      (argv[2] && !to_f64(argv[2], "elevation", loc.elevation))) {
    return nullptr;
  }
  return new_prim(Prim::location(loc));
}

// The HcPrim argument `param`; nullptr with TypeError set otherwise.
const Prim* prim_arg(PyObject* obj, const char* param) {
  if (Py_TYPE(obj) != &HcPrimType) {
    raise_cannot_convert(obj, "HcPrim", param);
    return nullptr;
  }
  return &value_of<Prim>(obj);
}

PyObject* prim_variant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"HcPrim.variant", kValueNames, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  const Prim* inner = prim_arg(v, "value");
  return inner ? new_prim(Prim::variant(Prim(*inner))) : nullptr;
}

PyObject* prim_infotable(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"table"};
  static const Signature sig{"HcPrim.infotable", names, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  veltrac::InfoTable table;
  if (!copy_infotable(v, "table", table)) return nullptr;
  return new_prim(Prim::infotable(std::move(table)));
}

PyObject* prim_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"json_str"};
  static const Signature sig{"HcPrim.from_json", names, 1, 1};
  std::string_view text;
  if (!parse_text_arg(sig, args, nargs, kwnames, text)) return nullptr;
  auto r = json::read_document(text, [](json::Reader& reader) { return Prim::from_tagged_json(reader); });
  if (!r) return raise_text_error(true, "HcPrim JSON deserialization error: ", r.error());
  return new_prim(std::move(*r));
}

PyObject* prim_str(PyObject* self) { return new_str(value_of<Prim>(self).debug_text()); }

PyObject* prim_repr(PyObject* self) {
  std::string s = "HcPrim(";
  value_of<Prim>(self).append_debug(s);
  s += ')';
  return new_str(s);
}

PyObject* prim_from_pickle_m(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return prim_from_pickle(&HcPrimType, args, nargs, kwnames);
}

PyMethodDef kMethods[] = {
    {"boolean", VELTRAC_METHOD(prim_boolean), kStaticFastcall, "boolean(value)\n--\n\n"},
    {"integer", VELTRAC_METHOD(prim_integer), kStaticFastcall, "integer(value)\n--\n\n"},
    {"long", VELTRAC_METHOD(prim_long), kStaticFastcall, "long(value)\n--\n\n"},
    {"number", VELTRAC_METHOD(prim_number), kStaticFastcall, "number(value)\n--\n\n"},
    {"string", VELTRAC_METHOD(prim_string), kStaticFastcall, "string(value)\n--\n\n"},
    {"datetime", VELTRAC_METHOD(prim_datetime), kStaticFastcall, "datetime(value)\n--\n\n"},
    {"blob", VELTRAC_METHOD(prim_blob), kStaticFastcall, "blob(value)\n--\n\n"},
    {"infotable_empty", VELTRAC_METHOD(prim_infotable_empty), METH_NOARGS | METH_STATIC, "infotable_empty()\n--\n\n"},
    {"to_bytes", VELTRAC_METHOD(prim_to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", VELTRAC_METHOD(prim_from_bytes), kStaticFastcall, "from_bytes(data)\n--\n\n"},
    {"to_json", VELTRAC_METHOD(prim_to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"to_simple_json", VELTRAC_METHOD(prim_to_simple_json), METH_NOARGS, "to_simple_json($self)\n--\n\n"},
    {"get_type", VELTRAC_METHOD(prim_get_type), METH_NOARGS, "get_type($self)\n--\n\n"},
    {"get_value", VELTRAC_METHOD(prim_get_value), METH_NOARGS, "get_value($self)\n--\n\n"},
    {"is_variant", VELTRAC_METHOD(prim_is_variant), METH_NOARGS, "is_variant($self)\n--\n\n"},
    {"unwrap_variant", VELTRAC_METHOD(prim_unwrap_variant), METH_NOARGS, "unwrap_variant($self)\n--\n\n"},
    // Both branches of the inner type give the innermost kind, like get_type.
    {"get_inner_type", VELTRAC_METHOD(prim_get_type), METH_NOARGS, "get_inner_type($self)\n--\n\n"},
    {"get_full_type", VELTRAC_METHOD(prim_get_full_type), METH_NOARGS, "get_full_type($self)\n--\n\n"},
    {"__copy__", VELTRAC_METHOD(copy_value<Prim>), METH_NOARGS,
     "__copy__($self)\n--\n\nA copy of the value (`copy.copy`)."},
    {"__deepcopy__", VELTRAC_METHOD(copy_value<Prim>), METH_O,
     "__deepcopy__($self, memo)\n--\n\nA copy of the value (`copy.deepcopy`)."},
    {"__reduce__", VELTRAC_METHOD(reduce_prim), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the value as its wire bytes (shape names of nested tables kept)."},
    {"_from_pickle", VELTRAC_METHOD(prim_from_pickle_m), kStaticFastcall, "_from_pickle(data, names)\n--\n\n"},
    {"to_python", VELTRAC_METHOD(prim_to_python_m), METH_NOARGS,
     "to_python($self)\n--\n\nThe payload as a Python value, every kind included."},
    {"location", VELTRAC_METHOD(prim_location), kStaticFastcall,
     "location(latitude, longitude, elevation=0.0)\n--\n\nA LOCATION value: three 64-bit floats, written in this order "
     "on the wire."},
    {"variant", VELTRAC_METHOD(prim_variant), kStaticFastcall,
     "variant(value)\n--\n\nA VARIANT value wrapping a copy of `value`; on the wire, the VARIANT code, then `value`'s "
     "bytes."},
    {"infotable", VELTRAC_METHOD(prim_infotable), kStaticFastcall,
     "infotable(table)\n--\n\nAn INFOTABLE value holding `table` (its rows shared until one side changes)."},
    {"from_json", VELTRAC_METHOD(prim_from_json), kStaticFastcall,
     "from_json(json_str)\n--\n\nReads a value from its tagged JSON form, the one a table's record form writes for "
     "each cell."},
    {"from_buffer", VELTRAC_METHOD(prim_from_buffer), kStaticFastcall,
     "from_buffer(data, offset=0)\n--\n\nDecodes one value at `offset` of any bytes-like object, without copying it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* new_hcprim(veltrac::HcPrim&& v) { return new_prim(std::move(v)); }

const veltrac::HcPrim* hcprim_of(PyObject* obj) { return Py_TYPE(obj) == &HcPrimType ? &value_of<Prim>(obj) : nullptr; }

bool add_hcprim(PyObject* module) {
  for (size_t k = 0; k < kPrimKindCount; ++k) {
    if (g_kind_names[k] != nullptr) continue;
    std::string name(prim_kind_name(static_cast<PrimKind>(k)));
    g_kind_names[k] = PyUnicode_InternFromString(name.c_str());
    if (g_kind_names[k] == nullptr) return false;
  }
  PyTypeObject& t = HcPrimType;
  t.tp_name = "veltrac._native.HcPrim";
  t.tp_basicsize = sizeof(Obj);
  t.tp_flags = kClassFlags;
  t.tp_new = VELTRAC_GUARDED(no_constructor);
  t.tp_dealloc = dealloc<Prim>;
  t.tp_str = VELTRAC_GUARDED(prim_str);
  t.tp_repr = VELTRAC_GUARDED(prim_repr);
  t.tp_methods = kMethods;
  return add_class(module, &t, "HcPrim");
}

}  // namespace veltrac::py
