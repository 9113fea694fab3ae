#include "common/to_python.hpp"

#include <bit>
#include <functional>
#include <string_view>
#include <vector>

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

namespace {

// Puts the aspects into the new dict `d` (its reference is taken); `d` or nullptr.
PyObject* fill_aspects(PyObject* d, const Aspects& aspects) {
  PyRef owned(d);
  if (!owned) return nullptr;
  for (const auto& [name, value] : aspects) {
    PyRef key(new_str(name));
    if (!key || !set_item(d, key.get(), prim_to_python(value))) return nullptr;
  }
  return owned.release();
}

}  // namespace

PyObject* aspects_to_dict(const Aspects& aspects) {
  return fill_aspects(new_dict(static_cast<Py_ssize_t>(aspects.size())), aspects);
}

namespace {

// The keys of a field definition dict, made once (five short strs kept for the life of the process).
struct FieldKeys {
  PyObject* name;
  PyObject* base_type;
  PyObject* description;
  PyObject* ordinal;
  PyObject* aspects;
};

const FieldKeys* field_keys() {
  static FieldKeys keys{};
  if (keys.aspects == nullptr) {
    PyObject* made[5];
    const char* texts[5] = {"name", "base_type", "description", "ordinal", "aspects"};
    for (int i = 0; i < 5; ++i) {
      made[i] = PyUnicode_InternFromString(texts[i]);
      if (made[i] == nullptr) {
        for (int k = 0; k < i; ++k) Py_DECREF(made[k]);
        return nullptr;
      }
    }
    keys = {made[0], made[1], made[2], made[3], made[4]};
  }
  return &keys;
}

// The base type's name as a str, made once per type.
PyObject* base_type_name(BaseType t) {
  static PyObject* names[256] = {};
  PyObject*& s = names[static_cast<uint8_t>(t)];
  if (s == nullptr) s = new_str(name_of(t));
  return Py_XNewRef(s);
}

PyObject* field_definition(const FieldKeys& k, const DataShapeEntry& entry, size_t ordinal) {
  PyRef d(new_frozen_dict());
  if (!d || !set_item(d.get(), k.name, new_str(entry.name)) ||
      !set_item(d.get(), k.base_type, base_type_name(entry.entry_type)) ||
      !set_item(d.get(), k.description, new_str(entry.description)) ||
      !set_item(d.get(), k.ordinal, PyLong_FromSize_t(ordinal)) ||
      !set_item(d.get(), k.aspects, fill_aspects(new_frozen_dict(), entry.aspects))) {
    return nullptr;
  }
  return d.release();
}

// Field definitions of recently seen shapes. The definitions are FrozenDicts holding immutable values, so
// every table of one shape (every request of one kind, every table of one result) is given the same ones:
// a call makes only the list. A slot is picked by a hash of the field names and holds a copy of the shape,
// compared in full, so a hit gives exactly what building would. Shapes whose aspects hold values that
// convert to mutable objects (LOCATION, INFOTABLE) are not kept: they are built anew for each call.
struct ShapeMemo {
  DataShapeEntries entries;
  PyObject* fields = nullptr;  // tuple of the field dicts
};

constexpr size_t kMemoSlots = 64;
constexpr size_t kMemoMaxFields = 64;
constexpr size_t kMemoMaxTextBytes = 4096;

ShapeMemo& memo_slot(size_t hash) {
  static ShapeMemo slots[kMemoSlots];
  return slots[hash % kMemoSlots];
}

// Values that prim_to_python turns into the same Python value (floats compared by their bits).
bool same_value(const HcPrim& a, const HcPrim& b) {
  if (!(a == b)) return false;
  const HcPrim& x = a.innermost();
  return x.kind() != PrimKind::NUMBER ||
         std::bit_cast<uint64_t>(x.as_number()) == std::bit_cast<uint64_t>(b.innermost().as_number());
}

// Whether building the field definitions of `a` and `b` gives equal lists with keys in equal order.
bool same_fields(const DataShapeEntries& a, const DataShapeEntries& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const DataShapeEntry& x = a.at(i).second;
    const DataShapeEntry& y = b.at(i).second;
    if (x.entry_type != y.entry_type || x.name != y.name || x.description != y.description ||
        x.aspects.size() != y.aspects.size()) {
      return false;
    }
    auto yi = y.aspects.begin();
    for (const auto& [name, value] : x.aspects) {
      if (name != yi->first || !same_value(value, yi->second)) return false;
      ++yi;
    }
  }
  return true;
}

// The memo's slot hash of a shape, or 0 when the shape is not kept.
size_t memo_hash(const DataShapeEntries& entries) {
  if (entries.empty() || entries.size() > kMemoMaxFields) return 0;
  size_t h = entries.size(), text = 0;
  for (const auto& [key, entry] : entries) {
    text += entry.name.size() + entry.description.size();
    for (const auto& [name, value] : entry.aspects) {
      PrimKind kind = value.innermost().kind();
      if (kind == PrimKind::LOCATION || kind == PrimKind::INFOTABLE) return 0;
      text += name.size();
      if (kind == PrimKind::STRING) text += value.innermost().as_string().size();
      if (kind == PrimKind::BLOB) text += value.innermost().as_blob().size();
    }
    h = h * 1000003 ^ std::hash<std::string_view>{}(entry.name);
  }
  if (text > kMemoMaxTextBytes) return 0;
  return h | 1;
}

// A new list of the items of the tuple `fields`.
PyObject* list_of(PyObject* fields) {
  const Py_ssize_t n = PyTuple_GET_SIZE(fields);
  PyObject* list = PyList_New(n);
  if (list == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list, i, Py_NewRef(PyTuple_GET_ITEM(fields, i)));
  return list;
}

// Field keys of recently seen shapes, as tuples of str: a tuple cannot change, so every table of the shape
// is given the same one.
struct KeysMemo {
  std::vector<std::string> keys;
  PyObject* tuple = nullptr;
};

// A slot hash from each key's length and first and last bytes: a hit is confirmed by same_keys, so the hash
// need only spread the shapes a program uses over the slots.
size_t keys_hash(const DataShapeEntries& entries) {
  if (entries.empty() || entries.size() > kMemoMaxFields) return 0;
  size_t h = entries.size(), text = 0;
  for (const auto& [key, entry] : entries) {
    text += key.size();
    const size_t ends =
        key.empty() ? 0 : static_cast<unsigned char>(key.front()) << 8 | static_cast<unsigned char>(key.back());
    h = (h ^ (key.size() << 16 | ends)) * 0x9E3779B97F4A7C15ULL;
  }
  return text > kMemoMaxTextBytes ? 0 : (h ^ h >> 29) | 1;
}

bool same_keys(const std::vector<std::string>& keys, const DataShapeEntries& entries) {
  if (keys.size() != entries.size()) return false;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != entries.at(i).first) return false;
  }
  return true;
}

}  // namespace

PyObject* field_keys_tuple(const DataShapeEntries& entries) {
  static KeysMemo slots[kMemoSlots];
  const size_t hash = keys_hash(entries);
  KeysMemo* slot = hash != 0 ? &slots[(hash >> 1) % kMemoSlots] : nullptr;
  if (slot != nullptr && slot->tuple != nullptr && same_keys(slot->keys, entries)) return Py_NewRef(slot->tuple);
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(entries.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& [key, entry] : entries) {
    PyObject* k = new_str(key);
    if (k == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i++, k);
  }
  if (slot != nullptr) {
    slot->keys.clear();
    for (const auto& [key, entry] : entries) slot->keys.push_back(key);
    Py_XSETREF(slot->tuple, Py_NewRef(tuple.get()));
  }
  return tuple.release();
}

PyObject* field_definitions_to_list(const DataShapeEntries& entries) {
  // The shape last given, by identity: entries that share its storage are unchanged since (a change to
  // shared entries detaches them first), so the same table asked again costs no comparison.
  static ShapeMemo last;
  if (last.fields != nullptr && !entries.empty() && last.entries.shares(entries)) return list_of(last.fields);
  const FieldKeys* k = field_keys();
  if (k == nullptr) return nullptr;
  const size_t hash = memo_hash(entries);
  if (hash != 0) {
    ShapeMemo& slot = memo_slot(hash);
    if (slot.fields != nullptr && same_fields(slot.entries, entries)) {
      last.entries = entries;
      Py_XSETREF(last.fields, Py_NewRef(slot.fields));
      return list_of(slot.fields);
    }
  }
  PyRef fields(PyTuple_New(static_cast<Py_ssize_t>(entries.size())));
  if (!fields) return nullptr;
  size_t ordinal = 0;
  for (const auto& [key, entry] : entries) {
    PyObject* d = field_definition(*k, entry, ordinal);
    if (d == nullptr) return nullptr;
    PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(ordinal++), d);
  }
  if (hash != 0) {
    ShapeMemo& slot = memo_slot(hash);
    slot.entries = entries;
    Py_XSETREF(slot.fields, Py_NewRef(fields.get()));
    last.entries = entries;
    Py_XSETREF(last.fields, Py_NewRef(fields.get()));
  }
  return list_of(fields.get());
}

bool RowConverter::init() {
  keys_ = PyRef(field_keys_tuple(table_.datashape.entries));
  return static_cast<bool>(keys_);
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
