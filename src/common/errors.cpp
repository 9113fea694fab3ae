#include "common/errors.hpp"

#include <string>

namespace veltrac::py {
namespace {

PyObject* g_decode_error = nullptr;
PyObject* g_incomplete_error = nullptr;
PyObject* g_encode_error = nullptr;

PyObject* new_class(PyObject* module, const char* qualified, const char* name, PyObject* base, const char* doc) {
  PyObject* cls = PyErr_NewExceptionWithDoc(qualified, doc, base, nullptr);
  if (!cls) return nullptr;
  if (PyModule_AddObjectRef(module, name, cls) < 0) {
    Py_DECREF(cls);
    return nullptr;
  }
  return cls;
}

PyObject* raise_text(PyObject* cls, std::string_view prefix, std::string_view message, std::string_view kind,
                     int64_t offset, PyObject* header) {
  std::string text(prefix);
  text += message;
  PyRef msg(new_str(text));
  if (!msg) return nullptr;
  PyRef exc(PyObject_CallOneArg(cls, msg.get()));
  if (!exc) return nullptr;
  PyRef kind_obj(PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size())));
  PyRef off(offset < 0 ? Py_NewRef(Py_None) : PyLong_FromLongLong(offset));
  if (!kind_obj || !off) return nullptr;
  if (PyObject_SetAttrString(exc.get(), "kind", kind_obj.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "offset", off.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "header", header ? header : Py_None) < 0) {
    return nullptr;
  }
  PyErr_SetObject(cls, exc.get());
  return nullptr;
}

PyObject* raise_with(PyObject* cls, std::string_view prefix, const VeltracError& e, int64_t offset, PyObject* header) {
  return raise_text(cls, prefix, e.message(), e.kind_name(), offset, header);
}

}  // namespace

bool add_error_classes(PyObject* module) {
  g_decode_error = new_class(module, "veltrac._native.DecodeError", "DecodeError", PyExc_ValueError,
                             "Bytes or text could not be decoded. Attributes: kind (the error's catalogue name), "
                             "offset (int or None) and header (a MessageHeader for messages, else None).");
  if (!g_decode_error) return false;
  g_incomplete_error = new_class(module, "veltrac._native.IncompleteError", "IncompleteError", g_decode_error,
                                 "The input ended before the value did: more bytes may complete it.");
  if (!g_incomplete_error) return false;
  g_encode_error = new_class(module, "veltrac._native.EncodeError", "EncodeError", PyExc_ValueError,
                             "A value could not be encoded. Attributes: kind, offset (None) and header (None).");
  return g_encode_error != nullptr;
}

PyObject* raise_decode_error_at(std::string_view prefix, const VeltracError& e, int64_t offset, bool incomplete,
                                PyObject* header) {
  return raise_with(incomplete ? g_incomplete_error : g_decode_error, prefix, e, offset, header);
}

PyObject* raise_decode_error(std::string_view prefix, const VeltracError& e, Bytes input, int64_t base,
                             PyObject* header) {
  int64_t off = e.offset_in(input);
  return raise_decode_error_at(prefix, e, off < 0 ? -1 : base + off, e.incomplete, header);
}

PyObject* raise_encode_error(std::string_view prefix, const VeltracError& e) {
  return raise_with(g_encode_error, prefix, e, -1, nullptr);
}

PyObject* raise_text_error(bool decoding, std::string_view prefix, const VeltracError& e, int64_t offset) {
  PyObject* cls = !decoding ? g_encode_error : e.incomplete ? g_incomplete_error : g_decode_error;
  return raise_text(cls, prefix, e.text(), e.kind_name(), offset, nullptr);
}

}  // namespace veltrac::py
