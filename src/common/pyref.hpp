// Owned references and small helpers shared by every class of the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "util/utf8.hpp"

namespace veltrac::py {

// An owned (strong) reference, released on destruction.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

inline PyObject* new_str(std::string_view s) {
  // Texts we write are mostly ASCII: checking that is much cheaper than decoding UTF-8.
  if (s.size() >= 32 && veltrac::utf8::all_ascii(s)) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), s.data(), s.size());
    return str;
  }
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

// The UTF-8 text of a str (ASCII strings are read in place); a null view with an exception set when the
// str holds lone surrogates.
inline std::string_view str_view(PyObject* str) {
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    return {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str))};
  }
  Py_ssize_t len;
  const char* s = PyUnicode_AsUTF8AndSize(str, &len);
  if (s == nullptr) return {};
  return {s, static_cast<size_t>(len)};
}

inline PyObject* new_bytes(const void* data, size_t n) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(n));
}

// Raises `type` with the given message and returns nullptr.
inline PyObject* raise(PyObject* type, std::string_view message) {
  PyRef msg(new_str(message));
  if (msg) PyErr_SetObject(type, msg.get());
  return nullptr;
}

// Raises ValueError(prefix + text) and returns nullptr.
inline PyObject* raise_value_error(std::string_view prefix, std::string_view text) {
  std::string m;
  m.reserve(prefix.size() + text.size());
  m.append(prefix);
  m.append(text);
  return raise(PyExc_ValueError, m);
}

}  // namespace veltrac::py
