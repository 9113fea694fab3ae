// Helpers shared by the class definitions: instance layout, allocation, the constructor-less tp_new.
#pragma once

#include <new>
#include <utility>

#include "common/guard.hpp"
#include "common/pyref.hpp"

namespace veltrac::py {

// Instance layout of every wrapping class: the object header and one codec value. Only a value that can
// change (InfoTable's) carries a borrow state, as part of T.
template <class T>
struct Wrapper {
  PyObject_HEAD T value;
};

// Allocates a new instance of `type` whose value of type T is constructed in place from `args`; nullptr with
// an exception set on failure.
template <class T, class... A>
PyObject* wrap_new(PyTypeObject* type, A&&... args) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  auto* w = reinterpret_cast<Wrapper<T>*>(obj);
  new (&w->value) T(std::forward<A>(args)...);
  return obj;
}

// Allocates a new instance of `type` owning `value`.
template <class T>
PyObject* wrap(PyTypeObject* type, T&& value) {
  return wrap_new<std::remove_cvref_t<T>>(type, std::forward<T>(value));
}

template <class T>
T& value_of(PyObject* self) {
  return reinterpret_cast<Wrapper<T>*>(self)->value;
}

template <class T>
void dealloc(PyObject* self) {
  reinterpret_cast<Wrapper<T>*>(self)->value.~T();
  Py_TYPE(self)->tp_free(self);
}

// tp_new of the classes without a constructor: TypeError "No constructor defined for <Name>".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Readies a static type and adds it to the module: appends its name to __all__, then sets the attribute.
// Also makes __doc__ None (the doc slot carries only the text signature).
bool add_class(PyObject* module, PyTypeObject* type, const char* name);

// __copy__ and __deepcopy__(memo) of the classes whose value never changes: a new instance with a copy.
template <class T>
PyObject* copy_value(PyObject* self, PyObject*) {
  return wrap(Py_TYPE(self), T(value_of<T>(self)));
}

// __reduce__ of the classes whose byte form keeps everything: (type.from_bytes, (self.to_bytes(),)).
PyObject* reduce_from_bytes(PyObject* self, PyObject*);

// Method-table entries for copy, deepcopy and pickle of a class whose value of type T never changes.
#define VELTRAC_IMMUTABLE_COPY_METHODS(T)                                               \
  {"__copy__", VELTRAC_METHOD(::veltrac::py::copy_value<T>), METH_NOARGS,               \
   "__copy__($self)\n--\n\nA copy of the definition (`copy.copy`)."},                   \
      {"__deepcopy__", VELTRAC_METHOD(::veltrac::py::copy_value<T>), METH_O,            \
       "__deepcopy__($self, memo)\n--\n\nA copy of the definition (`copy.deepcopy`)."}, \
  {                                                                                     \
    "__reduce__", VELTRAC_METHOD(::veltrac::py::reduce_from_bytes), METH_NOARGS,        \
        "__reduce__($self)\n--\n\nPickles the definition as its JSON bytes."            \
  }

// Flags of every class: final (no Py_TPFLAGS_BASETYPE), immutable.
constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT;

// Method flags.
constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;
constexpr int kStaticFastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

}  // namespace veltrac::py
