// The module's classes. Each add_* readies one class and enters it into the module.
#pragma once

#include <optional>
#include <string_view>

#include "common/borrow.hpp"
#include "common/pyref.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/infotable.hpp"

namespace veltrac::py {

bool add_base_type(PyObject* module);
bool add_hcprim(PyObject* module);
bool add_message(PyObject* module);
bool add_event(PyObject* module);
bool add_service(PyObject* module);
bool add_property(PyObject* module);
bool add_infotable(PyObject* module);
bool add_veltrac_error(PyObject* module);
bool add_frozen_dict(PyObject* module);

// A new, empty FrozenDict, filled by PyDict_SetItem (which its own methods refuse).
PyObject* new_frozen_dict();

// A new InfoTable object holding `t`; nullptr with an exception set on failure.
PyObject* new_infotable(veltrac::InfoTable&& t);
// A copy of the table of `obj` (sharing its rows) when it is an InfoTable; false with TypeError (naming
// `param`) or RuntimeError (re-entry, common/borrow.hpp) set otherwise.
bool copy_infotable(PyObject* obj, const char* param, veltrac::InfoTable& out);
// The current table of an InfoTable object, for a reader that runs no Python code while it reads; nullptr
// with RuntimeError set on re-entry.
const veltrac::InfoTable* infotable_to_read(PyObject* self);

// InfoTable's Arrow PyCapsule interface (types/arrow.cpp).
PyObject* infotable_arrow_c_schema(PyObject* self, PyObject*);
PyObject* infotable_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* infotable_from_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A new HcPrim object holding `v`; the value of `obj` when it is an HcPrim, else nullptr (no exception set).
PyObject* new_hcprim(veltrac::HcPrim&& v);
const veltrac::HcPrim* hcprim_of(PyObject* obj);

// The BaseType object of `t` (one per type, kept for the life of the process); a new reference.
PyObject* base_type_object(BaseType t);
// The base type of `obj` when it is a BaseType object, else nullptr (no exception set).
const BaseType* base_type_of(PyObject* obj);

// The base type named by `name` after full Unicode upper-casing, among the ten names accepted by the
// BaseType constructor and InfoTable.add_field_definition; nothing for any other name.
std::optional<BaseType> class_base_type_from_name(std::string_view utf8_name);

}  // namespace veltrac::py
