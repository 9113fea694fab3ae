#include "common/convert.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <string>

namespace veltrac::py {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

}  // namespace

void raise_out_of_range() { raise(PyExc_OverflowError, kOutOfRange); }

// Converts through __index__ to a C long long; the interpreter's own OverflowError beyond 64 bits.
bool to_ll_general(PyObject* obj, const char* param, long long& out) {
  if (PyLong_CheckExact(obj)) {
    // Cheaper than PyLong_AsLongLong for ints of several digits, which it converts through a byte array.
    int overflow;
    out = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) out = PyLong_AsLongLong(obj);  // raises the interpreter's OverflowError
    return !(out == -1 && PyErr_Occurred());
  }
  PyRef idx(PyNumber_Index(obj));
  if (!idx) {
    prefix_type_error(param);
    return false;
  }
  out = PyLong_AsLongLong(idx.get());
  return !(out == -1 && PyErr_Occurred());
}

void raise_cannot_convert(PyObject* obj, const char* target, const char* param) {
  std::string m;
  if (param) {
    m = "argument '";
    m += param;
    m += "': ";
  }
  m += '\'';
  m += Py_TYPE(obj)->tp_name;
  m += "' object cannot be converted to '";
  m += target;
  m += '\'';
  raise(PyExc_TypeError, m);
}

void prefix_type_error(const char* param) {
  if (param == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t(type), v(value), trace(tb);
  PyRef text(v ? PyObject_Str(v.get()) : nullptr);
  if (!text) {
    PyErr_Clear();
    text = PyRef(PyUnicode_FromString(""));
    if (!text) return;
  }
  PyRef msg(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!msg) return;
  PyErr_SetObject(PyExc_TypeError, msg.get());
  if (v) {
    // Keep the original error as the cause.
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    PyException_SetCause(v2, v.release());
    PyErr_Restore(t2, v2, tb2);
  }
}

bool to_bytes(PyObject* obj, const char* param, std::string_view& out) {
  if (!PyBytes_Check(obj)) {
    raise_cannot_convert(obj, "PyBytes", param);
    return false;
  }
  out = std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

bool to_bool_general(PyObject* obj, const char* param, bool& out) {
  const char* tn = Py_TYPE(obj)->tp_name;
  if (std::strcmp(tn, "numpy.bool_") == 0 || std::strcmp(tn, "numpy.bool") == 0) {
    int r = PyObject_IsTrue(obj);
    if (r < 0) return false;
    out = r != 0;
    return true;
  }
  raise_cannot_convert(obj, "PyBool", param);
  return false;
}

bool to_f64_general(PyObject* obj, const char* param, double& out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    prefix_type_error(param);
    return false;
  }
  out = v;
  return true;
}

bool to_byte_vector(PyObject* obj, const char* param, std::vector<uint8_t>& out) {
  if (PyUnicode_Check(obj)) {
    std::string m;
    if (param) m = std::string("argument '") + param + "': ";
    m += "Can't extract `str` to `Vec`";
    raise(PyExc_TypeError, m);
    return false;
  }
  if (PyBytes_Check(obj)) {
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
    out.assign(p, p + PyBytes_GET_SIZE(obj));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    const auto* p = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(obj));
    out.assign(p, p + PyByteArray_GET_SIZE(obj));
    return true;
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence", param);
    return false;
  }
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    prefix_type_error(param);
    return false;
  }
  out.clear();
  // __len__ is only a hint (a sequence may report any length): reserve at most 64 KiB up front.
  out.reserve(std::min(static_cast<size_t>(n), size_t{1} << 16));
  PyRef it(PyObject_GetIter(obj));
  if (!it) {
    prefix_type_error(param);
    return false;
  }
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item(raw);
    long long v;
    if (!to_ll(item.get(), param, v)) return false;
    if (v < 0 || v > 255) {
      raise_out_of_range();
      return false;
    }
    out.push_back(static_cast<uint8_t>(v));
  }
  if (PyErr_Occurred()) {
    prefix_type_error(param);
    return false;
  }
  return true;
}

bool check_dict(PyObject* obj, const char* param) {
  if (PyDict_Check(obj)) return true;
  raise_cannot_convert(obj, "PyDict", param);
  return false;
}

FieldConv field_conv(BaseType t) {
  switch (t) {
    case BaseType::STRING: return FieldConv::String;
    case BaseType::NUMBER: return FieldConv::Number;
    case BaseType::BOOLEAN: return FieldConv::Boolean;
    case BaseType::DATETIME: return FieldConv::Datetime;
    case BaseType::INTEGER: return FieldConv::Integer;
    case BaseType::LONG: return FieldConv::Long;
    default: return FieldConv::Unsupported;
  }
}

}  // namespace veltrac::py
