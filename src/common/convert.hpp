// Conversions of Python arguments to native values, with the module's fixed texts.
//
// `param` is the parameter name used in the "argument 'x': " prefix of TypeErrors; pass nullptr where
// the conversion error is reported without the prefix (row values of InfoTable.add_row).
// Every function returns false with an exception set on failure.
#pragma once

#include <climits>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "common/pyref.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac::py {

// TypeError "'<type>' object cannot be converted to '<target>'" (with the argument prefix when `param`).
void raise_cannot_convert(PyObject* obj, const char* target, const char* param);

// Prefixes a pending TypeError with "argument '<param>': "; other exceptions are left as they are.
void prefix_type_error(const char* param);

// OverflowError "out of range integral type conversion attempted".
void raise_out_of_range();

// The general paths of the inline conversions below (their common cases are inline: add_row and the
// factories convert one value per call).
bool to_bool_general(PyObject* obj, const char* param, bool& out);
bool to_f64_general(PyObject* obj, const char* param, double& out);
bool to_ll_general(PyObject* obj, const char* param, long long& out);

// str only; the view stays valid while `obj` lives.
inline bool to_str(PyObject* obj, const char* param, std::string_view& out) {
  if (!PyUnicode_Check(obj)) [[unlikely]] {
    raise_cannot_convert(obj, "PyString", param);
    return false;
  }
  out = str_view(obj);
  return out.data() != nullptr;
}

// bool only; numpy's boolean scalar is accepted too.
inline bool to_bool(PyObject* obj, const char* param, bool& out) {
  if (obj == Py_True || obj == Py_False) [[likely]] {
    out = obj == Py_True;
    return true;
  }
  return to_bool_general(obj, param, out);
}

// Any object with __float__ (or __index__).
inline bool to_f64(PyObject* obj, const char* param, double& out) {
  if (PyFloat_CheckExact(obj)) [[likely]] {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  return to_f64_general(obj, param, out);
}

// An int small enough to hold its value in one digit (below 2^30 in magnitude) read into `out`; false for
// anything else, with nothing set.
inline bool small_int(PyObject* obj, long long& out) {
#if PY_VERSION_HEX >= 0x030C0000
  if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) [[likely]] {
    out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    return true;
  }
#else
  (void)obj;
  (void)out;
#endif
  return false;
}

// Any object with __index__, to 64 bits; the interpreter's own OverflowError beyond them.
inline bool to_ll(PyObject* obj, const char* param, long long& out) {
  if (small_int(obj, out)) [[likely]]
    return true;
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && PYLONG_BITS_IN_DIGIT == 30
  // Two or three 30-bit digits (3.12 and 3.13 keep the digit count and sign in lv_tag: count << 3 | sign,
  // sign 2 for negative): read in place while the magnitude is below 2^63.
  if (PyLong_CheckExact(obj)) {
    const _PyLongValue& lv = reinterpret_cast<PyLongObject*>(obj)->long_value;
    const uintptr_t ndigits = lv.lv_tag >> 3;
    if (ndigits == 2 || (ndigits == 3 && lv.ob_digit[2] < 8)) {
      uint64_t m = lv.ob_digit[0] | static_cast<uint64_t>(lv.ob_digit[1]) << 30;
      if (ndigits == 3) m |= static_cast<uint64_t>(lv.ob_digit[2]) << 60;
      out = (lv.lv_tag & 3) == 2 ? -static_cast<long long>(m) : static_cast<long long>(m);
      return true;
    }
  }
#endif
  return to_ll_general(obj, param, out);
}

inline bool to_i64(PyObject* obj, const char* param, int64_t& out) {
  long long v;
  if (!to_ll(obj, param, v)) return false;
  out = v;
  return true;
}

inline bool to_i32(PyObject* obj, const char* param, int32_t& out) {
  long long v;
  if (!to_ll(obj, param, v)) return false;
  if (v < INT32_MIN || v > INT32_MAX) [[unlikely]] {
    raise_out_of_range();
    return false;
  }
  out = static_cast<int32_t>(v);
  return true;
}

// bytes only (bytearray and memoryview are refused); the view stays valid while `obj` lives.
bool to_bytes(PyObject* obj, const char* param, std::string_view& out);

// Unsigned integers of U's width; OverflowError outside it. Small ints are read inline, the rest out of line.
template <class U>
[[gnu::noinline]] bool to_unsigned_general(PyObject* obj, const char* param, U& out) {
  long long v;
  if (!to_ll(obj, param, v)) return false;
  if (v < 0 || v > static_cast<long long>(std::numeric_limits<U>::max())) [[unlikely]] {
    raise_out_of_range();
    return false;
  }
  out = static_cast<U>(v);
  return true;
}

template <class U>
[[gnu::always_inline]] inline bool to_unsigned(PyObject* obj, const char* param, U& out) {
  long long v;
  if (small_int(obj, v) && v >= 0 && v <= static_cast<long long>(std::numeric_limits<U>::max())) [[likely]] {
    out = static_cast<U>(v);
    return true;
  }
  return to_unsigned_general(obj, param, out);
}

[[gnu::always_inline]] inline bool to_u32(PyObject* obj, const char* param, uint32_t& out) {
  return to_unsigned(obj, param, out);
}
[[gnu::always_inline]] inline bool to_u8(PyObject* obj, const char* param, uint8_t& out) {
  return to_unsigned(obj, param, out);
}
// Any sequence of integers 0..255 (bytes, bytearray, list, tuple, ...); str is refused.
bool to_byte_vector(PyObject* obj, const char* param, std::vector<uint8_t>& out);
// dict or a dict subclass.
bool check_dict(PyObject* obj, const char* param);

// How the values of a table field are converted from Python (InfoTable.add_row): the base types whose
// values rows take, and Unsupported for the others.
enum class FieldConv : uint8_t { String, Number, Boolean, Datetime, Integer, Long, Unsupported };

FieldConv field_conv(BaseType t);

}  // namespace veltrac::py
