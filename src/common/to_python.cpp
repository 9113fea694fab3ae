#include "common/to_python.hpp"

#include "types/types.hpp"

namespace veltrac::py {
namespace {

// A new dict with room for n items without resizing.
PyObject* new_dict(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030D0000
  return _PyDict_NewPresized(n);
#else
  (void)n;
  return PyDict_New();
#endif
}

// Sets d[key] = value, taking the reference to value; false with an exception set on failure.
bool set_item(PyObject* d, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  int r = PyDict_SetItem(d, key, value);
  Py_DECREF(value);
  return r == 0;
}

bool set_item(PyObject* d, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  int r = PyDict_SetItemString(d, key, value);
  Py_DECREF(value);
  return r == 0;
}

PyObject* location_to_dict(const Location& loc) {
  PyRef d(new_dict(3));
  if (!d || !set_item(d.get(), "latitude", PyFloat_FromDouble(loc.latitude)) ||
      !set_item(d.get(), "longitude", PyFloat_FromDouble(loc.longitude)) ||
      !set_item(d.get(), "elevation", PyFloat_FromDouble(loc.elevation))) {
    return nullptr;
  }
  return d.release();
}

}  // namespace

PyObject* prim_to_python(const HcPrim& prim) {
  const HcPrim& p = prim.innermost();
  switch (p.kind()) {
    case PrimKind::NOTHING: Py_RETURN_NONE;
    case PrimKind::STRING: return new_str(p.as_string());
    case PrimKind::NUMBER: return PyFloat_FromDouble(p.as_number());
    case PrimKind::INTEGER: return PyLong_FromLong(p.as_integer());
    case PrimKind::LONG: return PyLong_FromLongLong(p.as_long());
    case PrimKind::DATETIME: return PyLong_FromLongLong(p.as_datetime());
    case PrimKind::BOOLEAN: return PyBool_FromLong(p.as_bool());
    case PrimKind::BLOB: return new_bytes(p.as_blob().data(), p.as_blob().size());
    case PrimKind::LOCATION: return location_to_dict(p.as_location());
    case PrimKind::INFOTABLE: return new_infotable(InfoTable(p.as_table()));
    case PrimKind::VARIANT: break;  // never the innermost value
  }
  return raise(PyExc_SystemError, "unexpected value kind");
}

PyObject* aspects_to_dict(const Aspects& aspects) {
  PyRef d(new_dict(static_cast<Py_ssize_t>(aspects.size())));
  if (!d) return nullptr;
  for (const auto& [name, value] : aspects) {
    PyRef key(new_str(name));
    if (!key || !set_item(d.get(), key.get(), prim_to_python(value))) return nullptr;
  }
  return d.release();
}

PyObject* field_definitions_to_list(const DataShapeEntries& entries) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!list) return nullptr;
  size_t ordinal = 0;
  for (const auto& [key, entry] : entries) {
    PyRef d(new_dict(5));
    if (!d || !set_item(d.get(), "name", new_str(entry.name)) ||
        !set_item(d.get(), "base_type", new_str(name_of(entry.entry_type))) ||
        !set_item(d.get(), "description", new_str(entry.description)) ||
        !set_item(d.get(), "ordinal", PyLong_FromSize_t(ordinal)) ||
        !set_item(d.get(), "aspects", aspects_to_dict(entry.aspects))) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(ordinal++), d.release());
  }
  return list.release();
}

bool RowConverter::init() {
  const DataShapeEntries& entries = table_.datashape.entries;
  keys_ = PyRef(PyTuple_New(static_cast<Py_ssize_t>(entries.size())));
  if (!keys_) return false;
  Py_ssize_t i = 0;
  for (const auto& [key, entry] : entries) {
    PyObject* k = new_str(key);
    if (k == nullptr) return false;
    PyTuple_SET_ITEM(keys_.get(), i++, k);
  }
  return true;
}

PyObject* RowConverter::row(size_t index) const {
  InfoTable::Row values = table_.row(index);
  const size_t n = std::min(values.size(), static_cast<size_t>(PyTuple_GET_SIZE(keys_.get())));
  PyRef d(new_dict(static_cast<Py_ssize_t>(n)));
  if (!d) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    if (!set_item(d.get(), PyTuple_GET_ITEM(keys_.get(), static_cast<Py_ssize_t>(i)), prim_to_python(values[i]))) {
      return nullptr;
    }
  }
  return d.release();
}

PyObject* RowConverter::row_tuple(size_t index) const {
  InfoTable::Row values = table_.row(index);
  const size_t n = std::min(values.size(), static_cast<size_t>(PyTuple_GET_SIZE(keys_.get())));
  PyRef t(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!t) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* v = prim_to_python(values[i]);
    if (v == nullptr) return nullptr;
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), v);
  }
  return t.release();
}

size_t RowConverter::column(std::string_view name) const { return table_.datashape.entries.position(name); }

}  // namespace veltrac::py
