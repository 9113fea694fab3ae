// Module entry: single-phase initialisation, one module object per process, main interpreter only.
#include <atomic>

#include "common/pyref.hpp"
#include "types/types.hpp"
#include "veltrac/version.hpp"

namespace veltrac::py {
namespace {

// Adds one class to the module; false with an exception set on failure.
using AddFn = bool (*)(PyObject*);

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_native", "Python bindings for Halcyra Veltrac protocol codec", 0, nullptr,
};

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyObject* create_module() {
  PyRef m(PyModule_Create(&g_module_def));
  if (!m) return nullptr;
  if (PyModule_AddStringConstant(m.get(), "__version__", VELTRAC_VERSION_STRING) < 0) return nullptr;
  const AddFn adders[] = {add_base_type, add_hcprim,    add_message,       add_event,      add_service,
                          add_property,  add_infotable, add_veltrac_error, add_frozen_dict};
  for (AddFn add : adders) {
    if (!add(m.get())) return nullptr;
  }
  return m.release();
}

}  // namespace
}  // namespace veltrac::py

PyMODINIT_FUNC PyInit__native(void) {
  using namespace veltrac::py;
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "veltrac._native does not yet support subinterpreters: it is already loaded in another "
                    "interpreter of this process");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyObject* m = create_module();
  if (m == nullptr) return nullptr;
  g_module = Py_NewRef(m);
  return m;
}
