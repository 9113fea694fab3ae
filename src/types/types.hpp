// The module's classes. Each add_* readies one class and enters it into the module.
#pragma once

#include <optional>
#include <string_view>

#include "common/pyref.hpp"
#include "veltrac/base_type.hpp"

namespace veltrac::py {

bool add_base_type(PyObject* module);
bool add_hcprim(PyObject* module);
bool add_message(PyObject* module);
bool add_event(PyObject* module);
bool add_service(PyObject* module);
bool add_property(PyObject* module);
bool add_infotable(PyObject* module);
bool add_veltrac_error(PyObject* module);

// The base type named by `name` after full Unicode upper-casing, among the ten names accepted by the
// BaseType constructor and InfoTable.add_field_definition; nothing for any other name.
std::optional<BaseType> class_base_type_from_name(std::string_view utf8_name);

}  // namespace veltrac::py
