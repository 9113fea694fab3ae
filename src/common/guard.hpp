// C++ exceptions never cross into the interpreter: every function the interpreter calls is wrapped so that
// running out of memory raises MemoryError and any other C++ exception raises SystemError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

namespace veltrac::py {

template <auto F>
struct Guarded;

template <class... A, PyObject* (*F)(A...)>
struct Guarded<F> {
  static PyObject* call(A... a) noexcept {
    try {
      return F(a...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
      PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
  }
};

}  // namespace veltrac::py

// The guarded form of the function f (a function, or a function template's specialisation), for type slots.
#define VELTRAC_GUARDED(f) (&::veltrac::py::Guarded<&f>::call)

// The guarded form of f as a method-table entry stores it (PyCFunction, whatever the calling convention
// the entry's flags name). Every method table uses this.
#define VELTRAC_METHOD(f) (reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(VELTRAC_GUARDED(f))))
