// Pickling through the binary form, kept exact. The binary form carries no shape names, so the names of the
// tables inside a value (parameter tables, tables in values, cells and aspects) travel beside the bytes; and
// a value nested deeper than the decoder reads fails when it is pickled, not when it is loaded.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "veltrac/infotable.hpp"
#include "veltrac/message.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac::py {

// The shape names of the tables inside `v`, in a fixed order, as a tuple of str and None; or None when no
// table has a name (an InfoTable's own name is left out: its constructor carries it). nullptr with
// ValueError set when `v` nests deeper than from_bytes reads; `what` names the class in that error.
PyObject* pickled_names(const HcPrim& v, const char* what);
PyObject* pickled_names(const HcyMsg& m, const char* what);
PyObject* pickled_names(const InfoTable& t, const char* what);

// Gives the tables inside a decoded value the names from pickled_names (a tuple); false with ValueError set
// when they do not fit the value.
bool restore_names(HcPrim& v, PyObject* names);
bool restore_names(HcyMsg& m, PyObject* names);
bool restore_names(InfoTable& t, PyObject* names);

// __reduce__ of HcPrim and HcyMessage: (type.from_bytes, (bytes,)), or (type._from_pickle, (bytes, names))
// when tables inside have names; and _from_pickle(data, names) of the class `type` itself.
PyObject* reduce_prim(PyObject* self, PyObject*);
PyObject* reduce_msg(PyObject* self, PyObject*);
PyObject* prim_from_pickle(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* msg_from_pickle(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace veltrac::py
