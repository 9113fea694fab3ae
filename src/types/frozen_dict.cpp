// FrozenDict: a dict whose own methods never change it. Field definitions are handed out as FrozenDicts, so
// every caller of one shape can be given the same objects. Reading, comparing, iterating, json.dumps and
// `|` work as on a dict; a copy (`dict(d)`, `d.copy()`, copy, pickle) is a plain dict.
#include "common/pyref.hpp"
#include "types/types.hpp"

namespace veltrac::py {
namespace {

constexpr const char* kReadOnly = "FrozenDict is read-only: dict(d) makes a mutable copy";

PyTypeObject FrozenDictType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* refuse(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, kReadOnly);
  return nullptr;
}

int refuse_item(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, kReadOnly);
  return -1;
}

int refuse_init(PyObject*, PyObject*, PyObject*) { return refuse_item(nullptr, nullptr, nullptr); }

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'veltrac._native.FrozenDict' instances");
  return nullptr;
}

PyObject* refuse_inplace(PyObject*, PyObject*) { return refuse(nullptr, nullptr, nullptr); }

// Pickled and copied as a plain dict of the same items.
PyObject* frozen_reduce(PyObject* self, PyObject*) {
  PyRef items(PyDict_Copy(self));
  if (!items) return nullptr;
  return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyDict_Type), items.get());
}

PyMethodDef refusing(const char* name) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse)), METH_VARARGS | METH_KEYWORDS,
          nullptr};
}

PyMethodDef kMethods[] = {
    refusing("clear"),
    refusing("pop"),
    refusing("popitem"),
    refusing("setdefault"),
    refusing("update"),
    {"__reduce__", frozen_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods kMapping = {nullptr, nullptr, refuse_item};
PyNumberMethods kNumber = {};

}  // namespace

PyObject* new_frozen_dict() {
  // dict's own constructor, which reads neither argument: FrozenDict's refuses.
  return PyDict_Type.tp_new(&FrozenDictType, nullptr, nullptr);
}

bool add_frozen_dict(PyObject* module) {
  PyTypeObject& t = FrozenDictType;
  t.tp_name = "veltrac._native.FrozenDict";
  t.tp_base = &PyDict_Type;
  t.tp_basicsize = PyDict_Type.tp_basicsize;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = "A read-only dict: the field definitions of tables and definitions, and their aspects.";
  t.tp_new = refuse_new;
  t.tp_init = refuse_init;
  t.tp_as_mapping = &kMapping;
  kNumber.nb_inplace_or = refuse_inplace;
  t.tp_as_number = &kNumber;
  t.tp_methods = kMethods;
  if (PyType_Ready(&t) < 0) return false;
  return PyModule_AddObjectRef(module, "FrozenDict", reinterpret_cast<PyObject*>(&t)) == 0;
}

}  // namespace veltrac::py
