#include "common/classes.hpp"

#include <cstring>
#include <string>

namespace veltrac::py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  const char* name = type->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  return raise(PyExc_TypeError, std::string("No constructor defined for ") + name);
}

PyObject* reduce_from_bytes(PyObject* self, PyObject*) {
  PyRef from_bytes(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
  if (!from_bytes) return nullptr;
  PyRef data(PyObject_CallMethod(self, "to_bytes", nullptr));
  if (!data) return nullptr;
  return Py_BuildValue("(O(O))", from_bytes.get(), data.get());
}

bool add_class(PyObject* module, PyTypeObject* type, const char* name) {
  if (PyType_Ready(type) < 0) return false;
  // Instances see the class dict's __doc__; the doc slot only carries the text signature.
  if (PyDict_SetItemString(type->tp_dict, "__doc__", Py_None) < 0) return false;
  PyType_Modified(type);
  // PyModule_AddObjectRef never steals: each reference below is released on every path.
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  PyRef name_obj(PyUnicode_FromString(name));
  if (!name_obj || PyList_Append(all.get(), name_obj.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace veltrac::py
