#include "common/args.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace veltrac::py {
namespace {

bool name_equals(PyObject* key, const char* name) {
  Py_ssize_t len;
  const char* k = PyUnicode_AsUTF8AndSize(key, &len);
  if (k == nullptr) {
    PyErr_Clear();
    return false;
  }
  return static_cast<size_t>(len) == std::strlen(name) && std::memcmp(k, name, static_cast<size_t>(len)) == 0;
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string m = sig.full_name;
  m += "()";
  const int positional = sig.positional_count();
  if (sig.required < positional) {
    m += " takes from " + std::to_string(sig.required) + " to " + std::to_string(positional);
  } else {
    m += " takes " + std::to_string(positional);
  }
  m += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  raise(PyExc_TypeError, m);
}

void missing_required(const Signature& sig, PyObject** out) {
  std::string names;
  int missing = 0;
  int total = 0;
  for (int i = 0; i < sig.required; ++i) total += out[i] == nullptr;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    if (missing > 0) {
      if (total == 2) {
        names += " and ";
      } else if (missing == total - 1) {
        names += ", and ";
      } else {
        names += ", ";
      }
    }
    names += '\'';
    names += sig.names[i];
    names += '\'';
    ++missing;
  }
  std::string m = sig.full_name;
  m += "() missing " + std::to_string(total) + " required positional argument" + (total > 1 ? "s" : "") + ": " + names;
  raise(PyExc_TypeError, m);
}

// The parameter named by `key`, or -1.
int find_keyword(const Signature& sig, PyObject* key, int first) {
  if (sig.interned[0] == nullptr) [[unlikely]] {
    for (int i = 0; i < sig.count; ++i) {
      if (sig.interned[i] == nullptr) sig.interned[i] = PyUnicode_InternFromString(sig.names[i]);
      if (sig.interned[i] == nullptr) PyErr_Clear();  // matched by text below
    }
  }
  // Keywords name the parameters after the positional ones, unless given twice.
  for (int i = first; i < sig.count; ++i) {
    if (key == sig.interned[i]) return i;
  }
  for (int i = 0; i < first; ++i) {
    if (key == sig.interned[i]) return i;
  }
  for (int i = 0; i < sig.count; ++i) {
    if (name_equals(key, sig.names[i])) return i;
  }
  return -1;
}

// Places one keyword argument; false with a TypeError set on failure.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out, int first) {
  if (int i = find_keyword(sig, key, first); i >= 0) {
    if (out[i] != nullptr) {
      raise(PyExc_TypeError, std::string(sig.full_name) + "() got multiple values for argument '" + sig.names[i] + "'");
      return false;
    }
    out[i] = value;
    return true;
  }
  PyRef s(PyObject_Str(key));
  if (!s) return false;
  Py_ssize_t len;
  const char* k = PyUnicode_AsUTF8AndSize(s.get(), &len);
  if (!k) return false;
  raise(PyExc_TypeError, std::string(sig.full_name) + "() got an unexpected keyword argument '" +
                             std::string(k, static_cast<size_t>(len)) + "'");
  return false;
}

bool check_required(const Signature& sig, PyObject** out) {
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      missing_required(sig, out);
      return false;
    }
  }
  return true;
}

}  // namespace

void remember_keywords(const Signature& sig, PyObject* kwnames, size_t nargs, const unsigned char* slots) {
  const auto nkw = static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
  std::copy_n(slots, nkw, sig.last_slots);
  sig.last_nargs = nargs;
  // Set before the old tuple is released: nothing can see a released tuple as the remembered one.
  PyObject* old = std::exchange(sig.last_kwnames, Py_NewRef(kwnames));
  Py_XDECREF(old);
}

bool parse_args_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (nargs > sig.positional_count()) {
    too_many_positional(sig, nargs);
    return false;
  }
  int i = 0;
  for (; i < nargs; ++i) out[i] = args[i];
  for (; i < sig.count; ++i) out[i] = nullptr;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out, static_cast<int>(nargs))) {
        return false;
      }
    }
  }
  return nargs >= sig.required || check_required(sig, out);
}

bool parse_args_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.positional_count()) {
    too_many_positional(sig, nargs);
    return false;
  }
  for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out, static_cast<int>(nargs))) return false;
    }
  }
  return check_required(sig, out);
}

}  // namespace veltrac::py
