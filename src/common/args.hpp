// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods, with the module's fixed error texts.
#pragma once

#include <algorithm>

#include "common/convert.hpp"
#include "common/pyref.hpp"

namespace veltrac::py {

inline constexpr int kMaxParams = 10;

struct Signature {
  const char* full_name;     // "InfoTable.add_field_definition", "BaseType.__new__"
  const char* const* names;  // parameter names
  int count;                 // number of parameters
  int required;              // the first `required` parameters are required
  int positional = -1;       // parameters that may be given by position (the rest are keyword-only); -1: all
  // The names as interned str, made on first use: keywords written in code are interned, so they usually
  // match by identity.
  mutable PyObject* interned[kMaxParams] = {};
  // The keyword names tuple of the last call matched by identity (held, so that its address is not reused),
  // with its positional count and the parameter each keyword named: a call site passes the same tuple on
  // every call.
  mutable PyObject* last_kwnames = nullptr;
  mutable size_t last_nargs = 0;
  mutable unsigned char last_slots[kMaxParams] = {};

  int positional_count() const { return positional < 0 ? count : positional; }
};

// parse_args for every other call: keywords, optional parameters left out, or a wrong count.
bool parse_args_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** out);

// Makes `kwnames`, whose keywords name the parameters at `slots` after `nargs` positional arguments, the
// tuple parse_args places without matching.
void remember_keywords(const Signature& sig, PyObject* kwnames, size_t nargs, const unsigned char* slots);

// Fills out[0..N) with borrowed references (nullptr for an omitted optional parameter); N is sig.count.
// Returns false with a TypeError set on failure. No tuple or dict is built; a call giving every parameter
// by position only copies the pointers.
template <size_t N>
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject* (&out)[N]) {
  const auto n = static_cast<size_t>(PyVectorcall_NARGS(nargs));
  if (kwnames == nullptr) {
    if (n == N) [[likely]] {
      for (size_t i = 0; i < N; ++i) out[i] = args[i];
      return true;
    }
  } else if (kwnames == sig.last_kwnames && n == sig.last_nargs) [[likely]] {
    // The same keywords as last time, after as many positional arguments: their places are known.
    std::fill_n(out, N, nullptr);
    for (size_t i = 0; i < n; ++i) out[i] = args[i];
    const auto nkw = static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    for (size_t k = 0; k < nkw; ++k) out[sig.last_slots[k]] = args[n + k];
    return true;
  } else if (sig.interned[0] != nullptr && n >= static_cast<size_t>(sig.required) &&
             n <= static_cast<size_t>(sig.positional_count())) {
    // Keywords written in code are interned and name parameters after the positional ones: match them by
    // identity here; anything else (a repeat, an unknown or uninterned name) takes the general path.
    for (size_t i = 0; i < N; ++i) out[i] = i < n ? args[i] : nullptr;
    const auto nkw = static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    unsigned char slots[kMaxParams];
    size_t k = 0;
    for (; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      size_t j = n;
      while (j < N && sig.interned[j] != key) ++j;
      if (j == N || out[j] != nullptr) break;
      out[j] = args[n + k];
      slots[k] = static_cast<unsigned char>(j);
    }
    if (k == nkw) {
      remember_keywords(sig, kwnames, n, slots);
      return true;
    }
  }
  return parse_args_general(sig, args, nargs, kwnames, out);
}

// The same for a single parameter.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject*& out) {
  PyObject* one[1];
  if (!parse_args(sig, args, nargs, kwnames, one)) return false;
  out = one[0];
  return true;
}

// The single parameter of `sig` as str (`text`) or bytes (`data`), the input of the from_json and
// from_bytes factories; the TypeError names the parameter.
inline bool parse_text_arg(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           std::string_view& text) {
  PyObject* v;
  return parse_args(sig, args, nargs, kwnames, v) && to_str(v, sig.names[0], text);
}
inline bool parse_bytes_arg(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            std::string_view& data) {
  PyObject* v;
  return parse_args(sig, args, nargs, kwnames, v) && to_bytes(v, sig.names[0], data);
}

// The same for tp_new / tp_init style (args tuple, kwargs dict).
bool parse_args_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace veltrac::py
