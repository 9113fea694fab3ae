// InfoTable and the Arrow PyCapsule interface: __arrow_c_schema__ and __arrow_c_stream__ hand the table to
// any Arrow consumer, InfoTable.from_arrow reads any producer. The structures and the mapping are the
// codec's (veltrac/arrow.hpp); this file moves them in and out of capsules.
#include <memory>
#include <optional>
#include <string>

#include "common/args.hpp"
#include "common/borrow.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "types/types.hpp"
#include "veltrac/arrow.hpp"

namespace veltrac::py {
namespace {

constexpr const char* kExportError = "Arrow export error: ";
constexpr const char* kImportError = "Arrow import error: ";
constexpr const char* kSchemaName = "arrow_schema";
constexpr const char* kArrayName = "arrow_array";
constexpr const char* kStreamName = "arrow_array_stream";

// Capsule destructors: release the structure unless the consumer took it (release set to null), then free it.
template <class T>
void destroy_capsule(PyObject* capsule) {
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
  if (p == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (p->release != nullptr) p->release(p);
  delete p;
}

// A capsule owning `p` (exported, so released by the destructor if never consumed).
template <class T>
PyObject* new_capsule(std::unique_ptr<T> p, const char* name) {
  PyObject* c = PyCapsule_New(p.get(), name, destroy_capsule<T>);
  if (c == nullptr) {
    p->release(p.get());
    return nullptr;
  }
  p.release();
  return c;
}

// Moves the structure out of a capsule of the given name (the capsule's copy is marked released).
template <class T>
bool take_from_capsule(PyObject* capsule, const char* name, const char* method, T& out) {
  if (!PyCapsule_IsValid(capsule, name)) {
    std::string m = "argument 'data': ";
    m += method;
    m += " did not return a capsule named '";
    m += name;
    m += '\'';
    raise(PyExc_TypeError, m);
    return false;
  }
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (p == nullptr) return false;
  out = *p;
  p->release = nullptr;
  return true;
}

// Runs the producer's code that dropping `refs` or releasing a taken structure may call (capsule destructors,
// release callbacks, written in Python through ctypes or cffi perhaps) with the pending exception set aside,
// then restores it: such code cannot run while an exception is set.
class ErrorSetAside {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  ErrorSetAside() : exc_(PyErr_GetRaisedException()) {}
  ~ErrorSetAside() { PyErr_SetRaisedException(exc_); }

 private:
  PyObject* exc_;
#else
  ErrorSetAside() { PyErr_Fetch(&type_, &value_, &tb_); }
  ~ErrorSetAside() { PyErr_Restore(type_, value_, tb_); }

 private:
  PyObject *type_, *value_, *tb_;
#endif
};

// Fails (returns nullptr) after releasing `taken` (when set and not released) and dropping `refs`, with
// the pending exception set aside meanwhile.
template <class... Refs>
PyObject* fail_releasing(ArrowSchema* taken, Refs&... refs) {
  ErrorSetAside aside;
  if (taken != nullptr && taken->release != nullptr) taken->release(taken);
  ((refs = PyRef()), ...);
  return nullptr;
}

// The method `name` of `obj` (`name` is interned once), or nullptr without an exception when it has none.
PyObject* optional_method(PyObject* obj, const char* name, PyObject*& interned) {
  if (interned == nullptr) {
    interned = PyUnicode_InternFromString(name);
    if (interned == nullptr) return nullptr;
  }
  PyObject* m = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  if (PyObject_GetOptionalAttr(obj, interned, &m) < 0) return nullptr;
#else
  if (_PyObject_LookupAttr(obj, interned, &m) < 0) return nullptr;
#endif
  return m;
}

}  // namespace

PyObject* infotable_arrow_c_schema(PyObject* self, PyObject*) {
  const InfoTable* t = infotable_to_read(self);
  if (t == nullptr) return nullptr;
  auto s = std::make_unique<ArrowSchema>();
  if (auto r = arrow::export_schema(*t, s.get()); !r) {
    return raise_text_error(false, kExportError, r.error());
  }
  return new_capsule(std::move(s), kSchemaName);
}

PyObject* infotable_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"requested_schema"};
  static const Signature sig{"InfoTable.__arrow_c_stream__", names, 1, 0};
  PyObject* requested;
  // The table has one Arrow form: a requested schema is not applied (the consumer casts if it must).
  if (!parse_args(sig, args, nargs, kwnames, requested)) return nullptr;
  const InfoTable* t = infotable_to_read(self);
  if (t == nullptr) return nullptr;
  auto s = std::make_unique<ArrowArrayStream>();
  if (auto r = arrow::export_stream(*t, s.get()); !r) {
    return raise_text_error(false, kExportError, r.error());
  }
  return new_capsule(std::move(s), kStreamName);
}

PyObject* infotable_from_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data", "name"};
  static const Signature sig{"InfoTable.from_arrow", names, 2, 1};
  PyObject* argv[2];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  PyObject* data = argv[0];
  std::optional<std::string> name;
  if (argv[1] != nullptr && argv[1] != Py_None) {
    std::string_view s;
    if (!to_str(argv[1], "name", s)) return nullptr;
    name.emplace(s);
  }
  arrow::Expected<InfoTable> t = std::unexpected(arrow::Error{});
  static PyObject* stream_name = nullptr;
  static PyObject* array_name = nullptr;
  if (PyRef method{optional_method(data, "__arrow_c_stream__", stream_name)}) {
    PyRef capsule(PyObject_CallNoArgs(method.get()));
    if (!capsule) return nullptr;
    ArrowArrayStream stream;
    if (!take_from_capsule(capsule.get(), kStreamName, "__arrow_c_stream__", stream)) {
      return fail_releasing(nullptr, capsule);
    }
    t = arrow::import_stream(&stream, std::move(name));
  } else if (PyErr_Occurred()) {
    return nullptr;
  } else if (PyRef array_method{optional_method(data, "__arrow_c_array__", array_name)}) {
    PyRef pair(PyObject_CallNoArgs(array_method.get()));
    if (!pair) return nullptr;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      raise(PyExc_TypeError, "argument 'data': __arrow_c_array__ did not return a pair of capsules");
      return fail_releasing(nullptr, pair);
    }
    ArrowSchema schema{};
    ArrowArray array{};
    if (!take_from_capsule(PyTuple_GET_ITEM(pair.get(), 0), kSchemaName, "__arrow_c_array__", schema)) {
      return fail_releasing(nullptr, pair);
    }
    if (!take_from_capsule(PyTuple_GET_ITEM(pair.get(), 1), kArrayName, "__arrow_c_array__", array)) {
      return fail_releasing(&schema, pair);
    }
    t = arrow::import_array(&schema, &array, std::move(name));
  } else if (PyErr_Occurred()) {
    return nullptr;
  } else {
    raise_cannot_convert(data, "ArrowArrayStream", "data");
    return nullptr;
  }
  if (!t) return raise_text_error(true, kImportError, t.error());
  return new_infotable(std::move(*t));
}

}  // namespace veltrac::py
