// Conversions of Python arguments to native values, with the module's fixed texts.
//
// `param` is the parameter name used in the "argument 'x': " prefix of TypeErrors; pass nullptr where
// the conversion error is reported without the prefix (row values of InfoTable.add_row).
// Every function returns false with an exception set on failure.
#pragma once

#include <cstdint>
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

// str only; the view stays valid while `obj` lives.
bool to_str(PyObject* obj, const char* param, std::string_view& out);
// bytes only (bytearray and memoryview are refused); the view stays valid while `obj` lives.
bool to_bytes(PyObject* obj, const char* param, std::string_view& out);
// bool only; numpy's boolean scalar is accepted too.
bool to_bool(PyObject* obj, const char* param, bool& out);
bool to_i32(PyObject* obj, const char* param, int32_t& out);
bool to_i64(PyObject* obj, const char* param, int64_t& out);
bool to_u32(PyObject* obj, const char* param, uint32_t& out);
bool to_u8(PyObject* obj, const char* param, uint8_t& out);
bool to_f64(PyObject* obj, const char* param, double& out);
// Any sequence of integers 0..255 (bytes, bytearray, list, tuple, ...); str is refused.
bool to_byte_vector(PyObject* obj, const char* param, std::vector<uint8_t>& out);
// dict or a dict subclass.
bool check_dict(PyObject* obj, const char* param);

// How the values of a table field are converted from Python (InfoTable.add_row): the base types whose
// values rows take, and Unsupported for the others.
enum class FieldConv : uint8_t { String, Number, Boolean, Datetime, Integer, Long, Unsupported };

FieldConv field_conv(BaseType t);

// Converts one row value of a field whose conversion is not Unsupported and appends it to `row`; errors
// carry no argument prefix.
bool append_field_value(PyObject* v, FieldConv conv, std::vector<HcPrim>& row);

}  // namespace veltrac::py
