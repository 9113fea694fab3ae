#include "common/pickle_names.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/args.hpp"
#include "common/classes.hpp"
#include "common/pyref.hpp"
#include "primitive/value_codec.hpp"

namespace veltrac::py {
namespace {

// Visits the shape name of every table inside a value, in the order: a table, the values of its fields'
// aspects (fields in order, aspects by name), then its cells row by row; inside a value, what it wraps.
// Depths count as the decoder counts them (a VARIANT or INFOTABLE value at depth d needs d < the limit).
// Returns false when the value nests too deep. A walk that changes names (Mut) runs on a value just decoded
// and owned by the caller alone, so its fields and cells, handed out read-only, may be changed in place.
template <bool Mut, class F>
struct Walk {
  template <class T>
  using Ref = std::conditional_t<Mut, T&, const T&>;
  F& f;

  bool prim(Ref<HcPrim> v, unsigned depth) {
    if (v.kind() != PrimKind::VARIANT && v.kind() != PrimKind::INFOTABLE) return true;
    if (depth >= detail::kMaxNestingDepth) return false;
    return v.kind() == PrimKind::VARIANT ? prim(v.as_variant(), depth + 1) : table(v.as_table(), depth + 1, true);
  }

  bool table(Ref<InfoTable> t, unsigned depth, bool named) {
    if (named) f(t.datashape.name);
    for (auto& field : t.datashape.entries) {
      Ref<Aspects> aspects = const_cast<Ref<Aspects>>(field.second.aspects);
      std::vector<std::string_view> keys;
      for (const auto& [k, v] : aspects) keys.push_back(k);
      std::sort(keys.begin(), keys.end());
      for (std::string_view k : keys) {
        if (!prim(*aspects.find(k), depth)) return false;
      }
    }
    for (InfoTable::Row row : t.rows()) {
      for (const HcPrim& cell : row) {
        if constexpr (Mut) {
          if (!prim(const_cast<HcPrim&>(cell), depth)) return false;
        } else if (!prim(cell, depth)) {
          return false;
        }
      }
    }
    return true;
  }

  bool msg(Ref<HcyMsg> m) {
    if (auto* r = std::get_if<HcyMsg::Request>(&m.msg); r != nullptr && r->body.params) {
      return table(*r->body.params, 1, true);
    }
    if (auto* r = std::get_if<HcyMsg::Response>(&m.msg); r != nullptr && r->body.params) {
      return table(*r->body.params, 1, true);
    }
    return true;
  }
};

template <bool Mut, class F>
Walk<Mut, F> walk(F& f) {
  return Walk<Mut, F>{f};
}

// Gathers the names; None when none is set.
template <class Run>
PyObject* gather(const char* what, Run&& run) {
  std::vector<const std::optional<std::string>*> names;
  bool any = false;
  auto f = [&](const std::optional<std::string>& n) {
    names.push_back(&n);
    any = any || n.has_value();
  };
  if (!run(f)) {
    return raise(PyExc_ValueError, std::string("cannot pickle ") + what + ": values nested more than " +
                                       std::to_string(detail::kMaxNestingDepth) + " levels deep cannot be read back");
  }
  if (!any) return Py_NewRef(Py_None);
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* item = *names[i] ? new_str(**names[i]) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

template <class Run>
bool restore(PyObject* names, Run&& run) {
  if (!PyTuple_Check(names)) {
    raise(PyExc_TypeError, "the pickled shape names are not a tuple");
    return false;
  }
  Py_ssize_t i = 0;
  bool ok = true;
  auto f = [&](std::optional<std::string>& n) {
    if (!ok) return;
    if (i >= PyTuple_GET_SIZE(names)) {
      ok = false;
      return;
    }
    PyObject* item = PyTuple_GET_ITEM(names, i++);
    if (item == Py_None) {
      n.reset();
      return;
    }
    Py_ssize_t len;
    const char* s = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &len) : nullptr;
    if (s == nullptr) {
      ok = false;
      return;
    }
    n.emplace(s, static_cast<size_t>(len));
  };
  run(f);
  if (PyErr_Occurred()) return false;
  if (!ok || i != PyTuple_GET_SIZE(names)) {
    raise(PyExc_ValueError, "the pickled shape names do not fit the value");
    return false;
  }
  return true;
}

}  // namespace

PyObject* pickled_names(const HcPrim& v, const char* what) {
  return gather(what, [&](auto& f) { return walk<false>(f).prim(v, 0); });
}
PyObject* pickled_names(const HcyMsg& m, const char* what) {
  return gather(what, [&](auto& f) { return walk<false>(f).msg(m); });
}
PyObject* pickled_names(const InfoTable& t, const char* what) {
  return gather(what, [&](auto& f) { return walk<false>(f).table(t, 1, false); });
}

bool restore_names(HcPrim& v, PyObject* names) {
  return restore(names, [&](auto& f) { walk<true>(f).prim(v, 0); });
}
bool restore_names(HcyMsg& m, PyObject* names) {
  return restore(names, [&](auto& f) { walk<true>(f).msg(m); });
}
bool restore_names(InfoTable& t, PyObject* names) {
  return restore(names, [&](auto& f) { walk<true>(f).table(t, 1, false); });
}

namespace {

template <class T>
PyObject* reduce_keeping_names(PyObject* self, const char* what) {
  PyRef names(pickled_names(value_of<T>(self), what));
  if (!names) return nullptr;
  PyRef data(PyObject_CallMethod(self, "to_bytes", nullptr));
  if (!data) return nullptr;
  const char* ctor = names.get() == Py_None ? "from_bytes" : "_from_pickle";
  PyRef f(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), ctor));
  if (!f) return nullptr;
  if (names.get() == Py_None) return Py_BuildValue("(O(O))", f.get(), data.get());
  return Py_BuildValue("(O(OO))", f.get(), data.get(), names.get());
}

template <class T>
PyObject* from_pickle(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const char* name) {
  static const char* const names[] = {"data", "names"};
  static const Signature sig{name, names, 2, 2};
  PyObject* argv[2];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  PyRef from_bytes(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "from_bytes"));
  if (!from_bytes) return nullptr;
  PyRef obj(PyObject_CallOneArg(from_bytes.get(), argv[0]));
  if (!obj || !restore_names(value_of<T>(obj.get()), argv[1])) return nullptr;
  return obj.release();
}

}  // namespace

PyObject* reduce_prim(PyObject* self, PyObject*) { return reduce_keeping_names<HcPrim>(self, "HcPrim"); }
PyObject* reduce_msg(PyObject* self, PyObject*) { return reduce_keeping_names<HcyMsg>(self, "HcyMessage"); }

PyObject* prim_from_pickle(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return from_pickle<HcPrim>(type, args, nargs, kwnames, "HcPrim._from_pickle");
}
PyObject* msg_from_pickle(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return from_pickle<HcyMsg>(type, args, nargs, kwnames, "HcyMessage._from_pickle");
}

}  // namespace veltrac::py
