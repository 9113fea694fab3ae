// InfoTable: a table of typed rows, built field by field and row by row from Python values, and
// encoded, decoded and written as JSON.
//
// add_row is the hot path: each table keeps one key object and one converter per shape entry, rebuilt
// lazily after the shape changes, so a row costs one dict lookup per field with a key whose hash is cached
// (usually matched by identity) and one conversion straight into an HcPrim; the values are gathered in a
// vector kept with the table and then moved into the table's cells, so a row needs no allocation of its own.
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/guard.hpp"
#include "common/classes.hpp"
#include "common/scratch.hpp"
#include "common/convert.hpp"
#include "veltrac/json/error.hpp"
#include "veltrac/infotable.hpp"
#include "types/types.hpp"
#include "util/debug_text.hpp"

namespace veltrac::py {
namespace {

using Table = veltrac::InfoTable;

// How a field's values are converted by add_row.
enum class Conv : uint8_t { String, Number, Boolean, Datetime, Integer, Long, Unsupported };

Conv conv_of(BaseType t) {
  switch (t) {
    case BaseType::STRING: return Conv::String;
    case BaseType::NUMBER: return Conv::Number;
    case BaseType::BOOLEAN: return Conv::Boolean;
    case BaseType::DATETIME: return Conv::Datetime;
    case BaseType::INTEGER: return Conv::Integer;
    case BaseType::LONG: return Conv::Long;
    default: return Conv::Unsupported;
  }
}

struct Column {
  PyObject* key;  // owned str equal to the entry's key, its hash computed
  Conv conv;
};

// The column cache of one table: valid while the shape is unchanged.
//
// Keys are not interned: CPython 3.12 makes interned strings immortal, so interning every field name would
// leak one string per distinct name for the life of the process. Instead the first row dict seen after a
// rebuild lends its own key objects: rows built by the same code share those objects (literal keys are
// interned constants), so later lookups match by identity without comparing text.
struct KeyCache {
  std::vector<Column> columns;
  bool valid = false;
  bool adopted = false;

  KeyCache() = default;
  KeyCache(KeyCache&& o) noexcept : columns(std::move(o.columns)), valid(o.valid), adopted(o.adopted) {
    o.columns.clear();
    o.valid = false;
  }
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;
  KeyCache& operator=(KeyCache&&) = delete;
  ~KeyCache() { clear(); }

  void clear() {
    for (Column& c : columns) Py_DECREF(c.key);
    columns.clear();
    valid = false;
    adopted = false;
  }

  // Rebuilds the columns from the shape; false with an exception set on failure.
  bool rebuild(const Table& t) {
    clear();
    columns.reserve(t.datashape.entries.size());
    for (const auto& [key, entry] : t.datashape.entries) {
      PyObject* k = new_str(key);
      if (k == nullptr || PyObject_Hash(k) == -1) {
        Py_XDECREF(k);
        clear();
        return false;
      }
      columns.push_back({k, conv_of(entry.entry_type)});
    }
    valid = true;
    return true;
  }

  // Takes over the exact-str keys of `d` that equal a column key. Runs no Python code.
  void adopt_keys(const Table& t, PyObject* d) {
    adopted = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) continue;
      Py_ssize_t len;
      const char* k = PyUnicode_AsUTF8AndSize(key, &len);
      if (k == nullptr) {
        PyErr_Clear();
        continue;
      }
      size_t at = t.datashape.entries.position(std::string_view(k, static_cast<size_t>(len)));
      if (at == DataShapeEntries::npos || at >= columns.size() || columns[at].key == key) continue;
      Py_INCREF(key);
      Py_SETREF(columns[at].key, key);
    }
  }
};

// Instance layout: the common header and borrow state (as in Wrapper), the table, then the column cache.
struct State {
  Table table;
  KeyCache cache;
  std::vector<veltrac::HcPrim> row;  // add_row's values before they move into the table

  explicit State(Table t) : table(std::move(t)) {}
};

using Obj = Wrapper<State>;

PyTypeObject InfoTableType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

inline State& state_of(PyObject* self) { return value_of<State>(self); }
inline Table& table_of(PyObject* self) { return value_of<State>(self).table; }
inline BorrowFlag& flag_of(PyObject* self) { return borrow_of<State>(self); }

PyObject* new_table(PyTypeObject* type, Table&& t) { return wrap(type, State(std::move(t))); }

}  // namespace

PyObject* new_infotable(Table&& t) { return new_table(&InfoTableType, std::move(t)); }
Table& infotable_value(PyObject* self) { return table_of(self); }
BorrowFlag& infotable_borrow(PyObject* self) { return flag_of(self); }

bool copy_infotable(PyObject* obj, const char* param, Table& out) {
  if (Py_TYPE(obj) != &InfoTableType) {
    raise_cannot_convert(obj, "InfoTable", param);
    return false;
  }
  SharedBorrow b(flag_of(obj));
  if (!b) return false;
  out = table_of(obj);
  return true;
}

namespace {

// ---- constructor ----

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"name"};
  static const Signature sig{"InfoTable.__new__", names, 1, 0};
  PyObject* argv[1];
  if (!parse_args_tuple(sig, args, kwargs, argv)) return nullptr;
  std::optional<std::string> name;
  if (argv[0] != nullptr && argv[0] != Py_None) {
    std::string_view s;
    if (!to_str(argv[0], "name", s)) return nullptr;
    name.emplace(s);
  }
  return new_table(type, Table(std::move(name)));
}

// ---- binary form ----

PyObject* table_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const Signature sig{"InfoTable.from_bytes", names, 1, 1};
  PyObject* v;
  if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == 1) {
    v = args[0];
  } else if (!parse_args(sig, args, nargs, kwnames, &v)) {
    return nullptr;
  }
  std::string_view data;
  if (!to_bytes(v, "data", data)) return nullptr;
  auto r = Table::from_bytes(as_bytes(data));
  if (!r) return raise_value_error("InfoTable deserialization error: ", r.error().message());
  return new_table(&InfoTableType, std::move(r->value));
}

PyObject* table_to_bytes(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  ByteBuffer& buf = scratch_bytes();
  auto r = table_of(self).to_bytes(buf);
  if (!r) return raise_value_error("InfoTable serialization error: ", r.error().message());
  return take_bytes(buf);
}

// ---- readers ----

PyObject* table_get_row_count(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  return PyLong_FromSize_t(table_of(self).row_count());
}

PyObject* table_get_field_count(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  return PyLong_FromSize_t(table_of(self).field_count());
}

PyObject* table_get_datashape_name(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  const auto& name = table_of(self).datashape_name();
  if (!name) Py_RETURN_NONE;
  return new_str(*name);
}

PyObject* table_to_json(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  auto r = table_of(self).to_json();
  if (!r) return raise_value_error("JSON serialization error: ", r.error().text());
  return new_str(*r);
}

PyObject* table_to_simple_json(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  // One text buffer kept across calls (up to 16 MiB): a fresh multi-megabyte buffer per call costs page
  // faults every time, as the allocator hands the freed pages back to the system and takes them again.
  static std::string out;
  out.clear();
  auto r = table_of(self).write_simple_json(out);
  PyObject* result = r ? new_str(out) : raise_value_error("Simple JSON conversion error: ", r.error().message());
  constexpr size_t kKeep = size_t{16} << 20;
  if (out.capacity() > kKeep) std::string().swap(out);
  return result;
}

// ---- mutators ----

PyObject* table_add_field_definition(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name", "base_type", "description"};
  static const Signature sig{"InfoTable.add_field_definition", names, 3, 3};
  ExclusiveBorrow b(flag_of(self));
  if (!b) return nullptr;
  PyObject* argv[3];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  std::string_view name, base_type, description;
  if (!to_str(argv[0], "name", name)) return nullptr;
  if (!to_str(argv[1], "base_type", base_type)) return nullptr;
  if (!to_str(argv[2], "description", description)) return nullptr;
  auto t = class_base_type_from_name(base_type);
  if (!t) return raise_value_error("Invalid base type: ", base_type);
  DataShapeEntry entry;
  entry.name.assign(name);
  entry.description.assign(description);
  entry.entry_type = *t;
  State& st = state_of(self);
  st.table.add_field_definition(std::move(entry));
  st.cache.valid = false;
  Py_RETURN_NONE;
}

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// An exact int that fits a C long, without a call through __index__.
inline bool small_int(PyObject* v, long long& out) {
  if (!PyLong_CheckExact(v)) return false;
  int overflow;
  out = PyLong_AsLongLongAndOverflow(v, &overflow);
  return overflow == 0 && !(out == -1 && PyErr_Occurred());
}

// Converts one row value into `row`; false with an exception set on failure.
inline bool convert_value(PyObject* v, Conv conv, std::vector<veltrac::HcPrim>& row) {
  switch (conv) {
    case Conv::String: {
      if (PyUnicode_Check(v)) {
        std::string_view s = str_view(v);
        if (s.data() == nullptr) return false;
        row.push_back(veltrac::HcPrim::string(s));
        return true;
      }
      raise_cannot_convert(v, "PyString", nullptr);
      return false;
    }
    case Conv::Number: {
      double d;
      if (PyFloat_CheckExact(v)) {
        d = PyFloat_AS_DOUBLE(v);
      } else if (!to_f64(v, nullptr, d)) {
        return false;
      }
      row.push_back(veltrac::HcPrim::number(d));
      return true;
    }
    case Conv::Boolean: {
      bool b;
      if (v == Py_True) {
        b = true;
      } else if (v == Py_False) {
        b = false;
      } else if (!to_bool(v, nullptr, b)) {
        return false;
      }
      row.push_back(veltrac::HcPrim::boolean(b));
      return true;
    }
    case Conv::Integer: {
      long long n;
      if (small_int(v, n)) {
        if (n < INT32_MIN || n > INT32_MAX) {
          raise(PyExc_OverflowError, kOutOfRange);
          return false;
        }
        row.push_back(veltrac::HcPrim::integer(static_cast<int32_t>(n)));
        return true;
      }
      if (PyErr_Occurred()) return false;
      int32_t i;
      if (!to_i32(v, nullptr, i)) return false;
      row.push_back(veltrac::HcPrim::integer(i));
      return true;
    }
    case Conv::Long:
    case Conv::Datetime: {
      long long n;
      int64_t i;
      if (small_int(v, n)) {
        i = n;
      } else if (PyErr_Occurred() || !to_i64(v, nullptr, i)) {
        return false;
      }
      row.push_back(conv == Conv::Long ? veltrac::HcPrim::long_(i) : veltrac::HcPrim::datetime(i));
      return true;
    }
    case Conv::Unsupported:
      break;
  }
  return false;
}

PyObject* unsupported_field(const Table& t, size_t pos) {
  const auto& [key, entry] = t.datashape.entries.at(pos);
  std::string m = "Unsupported field type for field ";
  m += key;
  m += ": ";
  m += name_of(entry.entry_type);
  return raise(PyExc_ValueError, m);
}

PyObject* table_add_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"row_dict"};
  static const Signature sig{"InfoTable.add_row", names, 1, 1};
  ExclusiveBorrow b(flag_of(self));
  if (!b) return nullptr;
  PyObject* d;
  if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == 1) {
    d = args[0];
  } else if (!parse_args(sig, args, nargs, kwnames, &d)) {
    return nullptr;
  }
  if (!check_dict(d, nullptr)) return nullptr;
  State& st = state_of(self);
  if (!st.cache.valid && !st.cache.rebuild(st.table)) return nullptr;
  if (!st.cache.adopted) st.cache.adopt_keys(st.table, d);
  // The shape cannot change during this call (exclusive borrow), so the columns stay valid throughout.
  const std::vector<Column>& cols = st.cache.columns;
  std::vector<veltrac::HcPrim>& row = st.row;
  row.clear();
  for (size_t i = 0; i < cols.size(); ++i) {
    // The dict's own storage is searched (no __missing__ or __getitem__ override), for subclasses too;
    // a key's __eq__ may still run Python code, which the exclusive borrow guards against.
    PyObject* v = PyDict_GetItemWithError(d, cols[i].key);
    if (v == nullptr) {
      if (PyErr_Occurred()) return nullptr;
      std::string m = "Missing field: ";
      m += st.table.datashape.entries.at(i).first;
      return raise(PyExc_ValueError, m);
    }
    if (cols[i].conv == Conv::Unsupported) return unsupported_field(st.table, i);
    // The conversion may run Python code (__index__, __float__) that drops the dict's reference.
    PyRef held = PyRef::borrow(v);
    if (!convert_value(v, cols[i].conv, row)) return nullptr;
  }
  st.table.append_row(row);
  row.clear();
  Py_RETURN_NONE;
}

// ---- text forms ----

void append_counts(std::string& s, const Table& t) {
  s += "InfoTable(rows=";
  s += std::to_string(t.row_count());
  s += ", fields=";
  s += std::to_string(t.field_count());
}

// ---- copy and pickle ----

PyObject* table_copy(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  return new_table(Py_TYPE(self), Table(table_of(self)));
}

// (InfoTable, (name,), bytes): the binary form keeps fields, descriptions, aspects and rows; the shape name
// goes to the constructor.
PyObject* table_reduce(PyObject* self, PyObject*) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  const Table& t = table_of(self);
  ByteBuffer& buf = scratch_bytes();
  auto r = t.to_bytes(buf);
  if (!r) return raise_value_error("InfoTable serialization error: ", r.error().message());
  PyRef data(take_bytes(buf));
  PyRef name(t.datashape_name() ? new_str(*t.datashape_name()) : Py_NewRef(Py_None));
  if (!data || !name) return nullptr;
  return Py_BuildValue("(O(O)O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), name.get(), data.get());
}

PyObject* table_setstate(PyObject* self, PyObject* state) {
  std::string_view data;
  if (!to_bytes(state, "state", data)) return nullptr;
  auto r = Table::from_bytes(as_bytes(data));
  if (!r) return raise_value_error("InfoTable deserialization error: ", r.error().message());
  ExclusiveBorrow b(flag_of(self));
  if (!b) return nullptr;
  State& st = state_of(self);
  r->value.datashape.name = std::move(st.table.datashape.name);
  st.table = std::move(r->value);
  st.cache.clear();
  Py_RETURN_NONE;
}

PyObject* table_str(PyObject* self) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  std::string s;
  append_counts(s, table_of(self));
  s += ')';
  return new_str(s);
}

PyObject* table_repr(PyObject* self) {
  SharedBorrow b(flag_of(self));
  if (!b) return nullptr;
  const Table& t = table_of(self);
  std::string s;
  append_counts(s, t);
  s += ", name=";
  if (const auto& name = t.datashape_name()) {
    s += "Some(";
    append_debug_str(s, *name);
    s += ')';
  } else {
    s += "None";
  }
  s += ')';
  return new_str(s);
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kMethods[] = {
    {"from_bytes", FASTCALL(VELTRAC_GUARDED(table_from_bytes)), kStaticFastcall, "from_bytes(data)\n--\n\n"},
    {"to_bytes", VELTRAC_GUARDED(table_to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"get_row_count", VELTRAC_GUARDED(table_get_row_count), METH_NOARGS, "get_row_count($self)\n--\n\n"},
    {"get_field_count", VELTRAC_GUARDED(table_get_field_count), METH_NOARGS, "get_field_count($self)\n--\n\n"},
    {"get_datashape_name", VELTRAC_GUARDED(table_get_datashape_name), METH_NOARGS, "get_datashape_name($self)\n--\n\n"},
    {"to_json", VELTRAC_GUARDED(table_to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"to_simple_json", VELTRAC_GUARDED(table_to_simple_json), METH_NOARGS, "to_simple_json($self)\n--\n\n"},
    {"add_field_definition", FASTCALL(VELTRAC_GUARDED(table_add_field_definition)), kFastcall,
     "add_field_definition($self, name, base_type, description)\n--\n\n"},
    {"add_row", FASTCALL(VELTRAC_GUARDED(table_add_row)), kFastcall, "add_row($self, row_dict)\n--\n\n"},
    {"__copy__", VELTRAC_GUARDED(table_copy), METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", VELTRAC_GUARDED(table_copy), METH_O, "__deepcopy__($self, memo)\n--\n\n"},
    {"__reduce__", VELTRAC_GUARDED(table_reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__setstate__", VELTRAC_GUARDED(table_setstate), METH_O, "__setstate__($self, state)\n--\n\n"},
    {"__arrow_c_schema__", VELTRAC_GUARDED(infotable_arrow_c_schema), METH_NOARGS, "__arrow_c_schema__($self)\n--\n\n"},
    {"__arrow_c_stream__", FASTCALL(VELTRAC_GUARDED(infotable_arrow_c_stream)), kFastcall,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {"from_arrow", FASTCALL(VELTRAC_GUARDED(infotable_from_arrow)), kStaticFastcall, "from_arrow(data, name=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL

}  // namespace

bool add_infotable(PyObject* module) {
  PyTypeObject& t = InfoTableType;
  t.tp_name = "veltrac._native.InfoTable";
  t.tp_basicsize = sizeof(Obj);
  t.tp_flags = kClassFlags;
  t.tp_doc = "InfoTable(name=None)\n--\n\n";
  t.tp_new = VELTRAC_GUARDED(table_new);
  t.tp_dealloc = dealloc<State>;
  t.tp_str = VELTRAC_GUARDED(table_str);
  t.tp_repr = VELTRAC_GUARDED(table_repr);
  t.tp_methods = kMethods;
  return add_class(module, &t, "InfoTable");
}

}  // namespace veltrac::py
