// BaseType: a Python view of one base type, built from one of ten names in any letter case.
#include <string>

#include "common/args.hpp"
#include "common/classes.hpp"
#include "common/convert.hpp"
#include "common/guard.hpp"
#include "types/types.hpp"

namespace veltrac::py {
namespace {

using Obj = Wrapper<BaseType>;

constexpr BaseType kClassTypes[] = {
    BaseType::STRING,   BaseType::NUMBER,  BaseType::BOOLEAN, BaseType::DATETIME, BaseType::INFOTABLE,
    BaseType::LOCATION, BaseType::VARIANT, BaseType::BLOB,    BaseType::INTEGER,  BaseType::LONG,
};

// Upper-cases by full case mapping; only mappings that end in ASCII matter for the accepted names.
// Returns false when a character's upper case is not ASCII.
bool ascii_upper(std::string_view s, std::string& out) {
  out.clear();
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : static_cast<char>(c));
      ++i;
      continue;
    }
    // Decode one code point (the input is valid UTF-8).
    uint32_t cp;
    size_t n;
    if (c >= 0xF0) {
      cp = c & 0x07;
      n = 4;
    } else if (c >= 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else {
      cp = c & 0x1F;
      n = 2;
    }
    for (size_t k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    switch (cp) {
      case 0x00DF: out += "SS"; break;
      case 0x0131: out += "I"; break;
      case 0x017F: out += "S"; break;
      case 0xFB00: out += "FF"; break;
      case 0xFB01: out += "FI"; break;
      case 0xFB02: out += "FL"; break;
      case 0xFB03: out += "FFI"; break;
      case 0xFB04: out += "FFL"; break;
      case 0xFB05:
      case 0xFB06: out += "ST"; break;
      default: return false;
    }
  }
  return true;
}

PyObject* base_type_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"type_name"};
  static const Signature sig{"BaseType.__new__", names, 1, 1};
  PyObject* argv[1];
  if (!parse_args_tuple(sig, args, kwargs, argv)) return nullptr;
  std::string_view name;
  if (!to_str(argv[0], "type_name", name)) return nullptr;
  auto t = class_base_type_from_name(name);
  if (!t) return raise_value_error("Invalid base type: ", name);
  return wrap(type, BaseType(*t));
}

PyObject* base_type_str(PyObject* self) { return new_str(name_of(value_of<BaseType>(self))); }

PyObject* base_type_repr(PyObject* self) {
  std::string s = "BaseType.";
  s += name_of(value_of<BaseType>(self));
  return new_str(s);
}

PyTypeObject BaseTypeType = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

PyObject* base_type_object(BaseType t) {
  static PyObject* objects[256] = {};
  PyObject*& o = objects[static_cast<uint8_t>(t)];
  if (o == nullptr) o = wrap(&BaseTypeType, BaseType(t));
  return Py_XNewRef(o);
}

const BaseType* base_type_of(PyObject* obj) {
  return Py_TYPE(obj) == &BaseTypeType ? &value_of<BaseType>(obj) : nullptr;
}

std::optional<BaseType> class_base_type_from_name(std::string_view utf8_name) {
  std::string upper;
  if (!ascii_upper(utf8_name, upper)) return std::nullopt;
  for (BaseType t : kClassTypes) {
    if (name_of(t) == upper) return t;
  }
  return std::nullopt;
}

bool add_base_type(PyObject* module) {
  PyTypeObject& t = BaseTypeType;
  t.tp_name = "veltrac._native.BaseType";
  t.tp_basicsize = sizeof(Obj);
  t.tp_flags = kClassFlags;
  t.tp_doc = "BaseType(type_name)\n--\n\n";
  t.tp_new = VELTRAC_GUARDED(base_type_new);
  t.tp_dealloc = dealloc<BaseType>;
  t.tp_str = VELTRAC_GUARDED(base_type_str);
  t.tp_repr = VELTRAC_GUARDED(base_type_repr);
  if (PyType_Ready(&t) < 0) return false;
  // Class attributes: the ten accepted names as plain str.
  constexpr BaseType order[] = {BaseType::BOOLEAN,   BaseType::INTEGER,  BaseType::LONG, BaseType::NUMBER,
                                BaseType::STRING,    BaseType::DATETIME, BaseType::BLOB, BaseType::LOCATION,
                                BaseType::INFOTABLE, BaseType::VARIANT};
  for (BaseType bt : order) {
    std::string name(name_of(bt));
    PyRef s(new_str(name));
    if (!s || PyDict_SetItemString(t.tp_dict, name.c_str(), s.get()) < 0) return false;
  }
  PyType_Modified(&t);
  return add_class(module, &t, "BaseType");
}

}  // namespace veltrac::py
