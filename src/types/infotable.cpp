// InfoTable: a table of typed rows, built field by field and row by row from Python values, and
// encoded, decoded and written as JSON.
//
// add_row is the hot path: each table keeps one key object and one converter per shape entry, rebuilt
// lazily after the shape changes, so a row costs one dict lookup per field with a key whose hash is cached
// (usually matched by identity) and one conversion straight into an HcPrim; the values are gathered in a
// batch kept with the table (texts in one buffer) and then copied into the table's cells and text store, so a
// row needs no allocation of its own. A dict that holds the columns' key objects first, in column order (rows
// built by one piece of code), is read in order without lookups.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/borrow.hpp"
#include "common/buffer.hpp"
#include "common/classes.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "common/gil.hpp"
#include "common/guard.hpp"
#include "common/pickle_names.hpp"
#include "common/scratch.hpp"
#include "common/to_python.hpp"
#include "infotable/table_store.hpp"
#include "json/record.hpp"
#include "primitive/prim_access.hpp"
#include "primitive/value_codec.hpp"
#include "types/types.hpp"
#include "util/debug_text.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/json/error.hpp"

namespace veltrac::py {
namespace {

using Table = veltrac::InfoTable;

struct Column {
  PyObject* key;  // owned str equal to the entry's key, its hash computed
  FieldConv conv;
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
      columns.push_back({k, field_conv(entry.entry_type)});
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

// The instance's value: the writers' turn (the only class whose value changes; the rule for threads is in
// common/borrow.hpp), the table, then the writers' column cache.
struct State {
  BorrowFlag borrow;
  Versioned<Table> table;
  KeyCache cache;
  veltrac::detail::RowBatch row;  // add_row's values before they join the table

  explicit State(Table t) : table(std::move(t)) {}
};

using Obj = Wrapper<State>;

PyTypeObject InfoTableType = {PyVarObject_HEAD_INIT(nullptr, 0)};

inline State& state_of(PyObject* self) { return value_of<State>(self); }
// The current table (lock held, no Python code run while it is used).
inline const Table& table_of(PyObject* self) { return value_of<State>(self).table.current(); }
inline BorrowFlag& flag_of(PyObject* self) { return value_of<State>(self).borrow; }

PyObject* new_table(PyTypeObject* type, Table&& t) { return wrap_new<State>(type, std::move(t)); }

// Whether encoding or decoding `t` is worth running without the interpreter lock.
bool large(const Table& t) { return t.row_count() * t.field_count() * 8 >= kReleaseBytes; }

// Runs `encode(table)`: for a large table on a snapshot without the interpreter lock, else on the current
// table with the lock.
template <class F>
auto encode_table(PyObject* self, F&& encode) -> std::optional<decltype(encode(std::declval<const Table&>()))> {
  if (!may_read(flag_of(self))) return std::nullopt;
  State& st = state_of(self);
  if (!large(st.table.current())) return encode(st.table.current());
  auto snapshot = st.table.snapshot();
  return run_unlocked_if(true, [&] { return encode(*snapshot); });
}

}  // namespace

PyObject* new_infotable(Table&& t) { return new_table(&InfoTableType, std::move(t)); }

// A snapshot of the table, for a reader that runs Python code while it reads (creating Python objects may run
// the collector and so any Python code); nothing with RuntimeError set on re-entry.
std::optional<Versioned<Table>::Snapshot> snapshot_of(PyObject* self) {
  if (!may_read(flag_of(self))) return std::nullopt;
  return state_of(self).table.snapshot();
}

const Table* infotable_to_read(PyObject* self) { return may_read(flag_of(self)) ? &table_of(self) : nullptr; }

bool copy_infotable(PyObject* obj, const char* param, Table& out) {
  if (Py_TYPE(obj) != &InfoTableType) {
    raise_cannot_convert(obj, "InfoTable", param);
    return false;
  }
  const Table* t = infotable_to_read(obj);
  if (t == nullptr) return false;
  out = *t;  // shares the rows
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
  std::string_view data;
  if (!parse_bytes_arg(sig, args, nargs, kwnames, data)) return nullptr;
  auto r = run_unlocked_if(data.size() >= kReleaseBytes, [&] { return Table::from_bytes(as_bytes(data)); });
  if (!r) return raise_decode_error("InfoTable deserialization error: ", r.error(), as_bytes(data));
  return new_table(&InfoTableType, std::move(r->value));
}

PyObject* table_from_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data", "offset"};
  static const Signature sig{"InfoTable.from_buffer", names, 2, 1};
  return decode_from_buffer(
      sig, args, nargs, kwnames, "InfoTable deserialization error: ", [](Bytes in) { return Table::from_bytes(in); },
      [](Table&& t) { return new_table(&InfoTableType, std::move(t)); });
}

// Sized first, then written straight into the new bytes object (no buffer to fill and copy); a large table
// is sized and written without the interpreter lock, from a snapshot.
PyObject* table_to_bytes(PyObject* self, PyObject*) {
  if (!may_read(flag_of(self))) return nullptr;
  auto snapshot = state_of(self).table.snapshot();
  const Table& t = *snapshot;
  const bool unlocked = large(t);
  auto size = run_unlocked_if(unlocked, [&] { return t.encoded_size(); });
  if (!size) return raise_encode_error("InfoTable serialization error: ", size.error());
  PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size)));
  if (!out) return nullptr;
  auto* at = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  uint8_t* end = run_unlocked_if(unlocked, [&] { return veltrac::detail::write_table(t, at); });
  if (end != at + *size) return raise(PyExc_SystemError, "InfoTable encoding wrote another size than it measured");
  return out.release();
}

// ---- readers ----

PyObject* table_get_row_count(PyObject* self, PyObject*) {
  if (!may_read(flag_of(self))) return nullptr;
  return PyLong_FromSize_t(table_of(self).row_count());
}

PyObject* table_get_field_count(PyObject* self, PyObject*) {
  if (!may_read(flag_of(self))) return nullptr;
  return PyLong_FromSize_t(table_of(self).field_count());
}

PyObject* table_get_datashape_name(PyObject* self, PyObject*) {
  if (!may_read(flag_of(self))) return nullptr;
  const auto& name = table_of(self).datashape_name();
  if (!name) Py_RETURN_NONE;
  return new_str(*name);
}

PyObject* table_to_json(PyObject* self, PyObject*) {
  auto r = encode_table(self, [](const Table& t) { return t.to_json(); });
  if (!r) return nullptr;
  if (!*r) return raise_text_error(false, "JSON serialization error: ", r->error());
  return take_text(**r);
}

PyObject* table_to_simple_json(PyObject* self, PyObject*) {
  // One text buffer per thread kept across calls (up to 16 MiB): a fresh multi-megabyte buffer per call
  // costs page faults every time, as the allocator hands the freed pages back to the system and takes them
  // again.
  thread_local std::string out;
  out.clear();
  bool ascii = false;
  auto r = encode_table(self, [&ascii](const Table& t) {
    return veltrac::detail::write_simple_json(t, out, veltrac::detail::SimpleRows::InPlace, &ascii);
  });
  if (!r) return nullptr;
  PyObject* result = *r ? take_text(out, ascii) : raise_encode_error("Simple JSON conversion error: ", r->error());
  constexpr size_t kKeep = size_t{16} << 20;
  if (out.capacity() > kKeep) std::string().swap(out);
  return result;
}

// ---- mutators ----

PyObject* table_add_field_definition(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name", "base_type", "description"};
  static const Signature sig{"InfoTable.add_field_definition", names, 3, 3};
  WriteTurn turn(flag_of(self));
  if (!turn) return nullptr;
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
  st.table.writable().add_field_definition(std::move(entry));
  st.cache.valid = false;
  Py_RETURN_NONE;
}

PyObject* unsupported_field(const Table& t, size_t pos) {
  const auto& [key, entry] = t.datashape.entries.at(pos);
  std::string m = "Unsupported field type for field ";
  m += key;
  m += ": ";
  m += name_of(entry.entry_type);
  return raise(PyExc_ValueError, m);
}

// Converts one row value of a field whose conversion is not Unsupported and adds it to the open row of `b`
// (which has room for it); errors carry no argument prefix.
inline bool add_value(PyObject* v, FieldConv conv, veltrac::detail::RowBatch& b) {
  switch (conv) {
    case FieldConv::String: {
      std::string_view s;
      if (!to_str(v, nullptr, s)) return false;
      b.add_text(BaseType::STRING, s);
      return true;
    }
    case FieldConv::Number: {
      double d;
      if (!to_f64(v, nullptr, d)) return false;
      b.add_u64(PrimKind::NUMBER, BaseType::NUMBER, std::bit_cast<uint64_t>(d));
      return true;
    }
    case FieldConv::Boolean: {
      bool x;
      if (!to_bool(v, nullptr, x)) return false;
      b.add_bool(BaseType::BOOLEAN, x);
      return true;
    }
    case FieldConv::Integer: {
      int32_t i;
      if (!to_i32(v, nullptr, i)) return false;
      b.add_i32(BaseType::INTEGER, i);
      return true;
    }
    case FieldConv::Long:
    case FieldConv::Datetime: {
      int64_t i;
      if (!to_i64(v, nullptr, i)) return false;
      if (conv == FieldConv::Long) {
        b.add_u64(PrimKind::LONG, BaseType::LONG, static_cast<uint64_t>(i));
      } else {
        b.add_u64(PrimKind::DATETIME, BaseType::DATETIME, static_cast<uint64_t>(i));
      }
      return true;
    }
    case FieldConv::Unsupported: break;
  }
  return false;
}

// Converts the value `v` of column i of the row dict; false with an exception set on failure. Values of the
// exact types are stored straight away (no Python code runs); others go through the full conversion.
inline bool add_column_value(const Table& t, const Column& col, size_t i, PyObject* v, veltrac::detail::RowBatch& b) {
  switch (col.conv) {
    case FieldConv::String:
      if (PyUnicode_CheckExact(v) && PyUnicode_IS_COMPACT_ASCII(v)) [[likely]] {
        b.add_text(BaseType::STRING,
                   {static_cast<const char*>(PyUnicode_DATA(v)), static_cast<size_t>(PyUnicode_GET_LENGTH(v))});
        return true;
      }
      break;
    case FieldConv::Number:
      if (PyFloat_CheckExact(v)) [[likely]] {
        b.add_u64(PrimKind::NUMBER, BaseType::NUMBER, std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)));
        return true;
      }
      break;
    case FieldConv::Boolean:
      if (v == Py_True || v == Py_False) [[likely]] {
        b.add_bool(BaseType::BOOLEAN, v == Py_True);
        return true;
      }
      break;
    case FieldConv::Unsupported: unsupported_field(t, i); return false;
    default: break;
  }
  // The conversion may run Python code (__index__, __float__) that drops the dict's reference.
  PyRef held = PyRef::borrow(v);
  return add_value(v, col.conv, b);
}

// Converts the dict `d` into a closed row of `b` by add_row's rules (one value per field, in field order);
// false with an exception set on failure, the row then left open. The caller has the writers' turn, so the
// shape cannot change meanwhile.
bool convert_row(State& st, PyObject* d, veltrac::detail::RowBatch& b) {
  if (!check_dict(d, nullptr)) return false;
  const Table& t = st.table.current();
  if (!st.cache.valid && !st.cache.rebuild(t)) return false;
  if (!st.cache.adopted) st.cache.adopt_keys(t, d);
  const std::vector<Column>& cols = st.cache.columns;
  b.room_for(cols.size());
  // While the dict's entries are the columns' own key objects in column order, each value is the one a lookup
  // would find (a dict holds a key once); from the first other entry on, the columns are looked up.
  size_t i = 0;
  Py_ssize_t pos = 0;
  PyObject *key, *v;
  for (; i < cols.size(); ++i) {
    if (!PyDict_Next(d, &pos, &key, &v) || key != cols[i].key) break;
    if (!add_column_value(t, cols[i], i, v, b)) return false;
  }
  for (; i < cols.size(); ++i) {
    // The dict's own storage is searched (no __missing__ or __getitem__ override), for subclasses too;
    // a key's __eq__ may still run Python code, which the writers' turn guards against (common/borrow.hpp).
    v = PyDict_GetItemWithError(d, cols[i].key);
    if (v == nullptr) {
      if (PyErr_Occurred()) return false;
      std::string m = "Missing field: ";
      m += t.datashape.entries.at(i).first;
      raise(PyExc_ValueError, m);
      return false;
    }
    if (!add_column_value(t, cols[i], i, v, b)) return false;
  }
  b.end_row();
  return true;
}

// add_row's common row in one step, straight into the table's storage: an exact dict whose entries begin with
// the columns' own key objects in column order, each value of its column's exact type (ASCII str, float,
// bool, int in range). No Python code runs meanwhile, so the change is one commit. False leaves the table's
// rows as they were (nothing committed) and the row to convert_row, which also reports what is wrong with it.
bool add_row_direct(State& st, PyObject* d) {
  if (!PyDict_CheckExact(d) || !st.cache.valid) return false;
  const std::vector<Column>& cols = st.cache.columns;
  const size_t n = cols.size();
  if (static_cast<size_t>(PyDict_GET_SIZE(d)) < n) return false;
  Table& t = st.table.writable();
  veltrac::detail::TableStore& s = veltrac::detail::TableAccess::own(t);
  struct SyncOnExit {
    Table& t;
    ~SyncOnExit() { veltrac::detail::TableAccess::sync(t); }
  } sync_on_exit{t};
  s.cells.reserve_more(n);
  if (s.row_ends.size() == s.row_ends.capacity()) s.row_ends.reserve(std::max<size_t>(16, 2 * s.row_ends.size()));
  HcPrim* out = s.cells.end_room();
  veltrac::TextStore::Room room = s.texts.room();
  Py_ssize_t pos = 0;
  PyObject *key, *v;
  for (size_t i = 0; i < n; ++i) {
    if (!PyDict_Next(d, &pos, &key, &v) || key != cols[i].key) return false;
    switch (cols[i].conv) {
      case FieldConv::String: {
        if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_COMPACT_ASCII(v)) return false;
        const auto len = static_cast<size_t>(PyUnicode_GET_LENGTH(v));
        if (len == 0) {
          PrimAccess::emplace(out + i, PrimKind::STRING, BaseType::STRING);
        } else {
          if (len >= UINT32_MAX) return false;
          char* stored = room.alloc(len, SIZE_MAX, s.texts);
          std::memcpy(stored, PyUnicode_DATA(v), len);
          PrimAccess::emplace_borrowed_text(out + i, BaseType::STRING, stored, len);
        }
        break;
      }
      case FieldConv::Number:
        if (!PyFloat_CheckExact(v)) return false;
        PrimAccess::emplace_u64(out + i, PrimKind::NUMBER, BaseType::NUMBER,
                                std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)));
        break;
      case FieldConv::Boolean:
        if (v != Py_True && v != Py_False) return false;
        PrimAccess::emplace_bool(out + i, BaseType::BOOLEAN, v == Py_True);
        break;
      case FieldConv::Integer:
      case FieldConv::Long:
      case FieldConv::Datetime: {
        long long x;
        if (!PyLong_CheckExact(v)) return false;
        if (!to_ll(v, nullptr, x)) {  // out of range: convert_row raises the error
          PyErr_Clear();
          return false;
        }
        if (cols[i].conv == FieldConv::Integer) {
          if (x < INT32_MIN || x > INT32_MAX) return false;
          PrimAccess::emplace_i32(out + i, BaseType::INTEGER, static_cast<int32_t>(x));
        } else if (cols[i].conv == FieldConv::Long) {
          PrimAccess::emplace_u64(out + i, PrimKind::LONG, BaseType::LONG, static_cast<uint64_t>(x));
        } else {
          PrimAccess::emplace_u64(out + i, PrimKind::DATETIME, BaseType::DATETIME, static_cast<uint64_t>(x));
        }
        break;
      }
      case FieldConv::Unsupported: return false;
    }
  }
  s.texts.give_back(room);
  s.cells.commit(n, false);
  s.row_ends.push_back(s.cells.size());
  return true;
}

PyObject* table_add_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"row_dict"};
  static const Signature sig{"InfoTable.add_row", names, 1, 1};
  WriteTurn turn(flag_of(self));
  if (!turn) return nullptr;
  PyObject* d;
  if (!parse_args(sig, args, nargs, kwnames, d)) return nullptr;
  State& st = state_of(self);
  if (add_row_direct(st, d)) Py_RETURN_NONE;
  veltrac::detail::RowBatch& row = st.row;
  row.clear();
  if (!convert_row(st, d, row)) {
    row.clear();
    return nullptr;
  }
  row.append_to(st.table.writable());
  Py_RETURN_NONE;
}

PyObject* table_add_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"rows"};
  static const Signature sig{"InfoTable.add_rows", names, 1, 1};
  WriteTurn turn(flag_of(self));
  if (!turn) return nullptr;
  PyObject* rows;
  if (!parse_args(sig, args, nargs, kwnames, rows)) return nullptr;
  PyRef it(PyObject_GetIter(rows));
  if (!it) {
    prefix_type_error("rows");
    return nullptr;
  }
  // All rows are converted before any is added, so a failure adds none. Room is reserved only for the rows
  // a list or tuple holds; for other iterables the batch grows as rows come.
  State& st = state_of(self);
  veltrac::detail::RowBatch batch;
  if (PyList_CheckExact(rows) || PyTuple_CheckExact(rows)) {
    const auto n = static_cast<size_t>(Py_SIZE(rows));
    batch.reserve(n, n * st.table.current().field_count());
  }
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef d(raw);
    if (!convert_row(st, d.get(), batch)) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  if (batch.rows() == 0) Py_RETURN_NONE;  // the rows stay shared
  batch.append_to(st.table.writable());
  Py_RETURN_NONE;
}

PyObject* table_append_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"values"};
  static const Signature sig{"InfoTable.append_row", names, 1, 1};
  WriteTurn turn(flag_of(self));
  if (!turn) return nullptr;
  PyObject* values;
  if (!parse_args(sig, args, nargs, kwnames, values)) return nullptr;
  if (PyUnicode_Check(values) || !PySequence_Check(values)) {
    raise_cannot_convert(values, "Sequence", "values");
    return nullptr;
  }
  PyRef seq(PySequence_Fast(values, ""));
  if (!seq) return nullptr;
  const Table& t = table_of(self);  // its shape does not change while this writer has the turn
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (static_cast<size_t>(n) != t.field_count()) {
    return raise(PyExc_ValueError, "append_row takes one value per field: " + std::to_string(t.field_count()) +
                                       " fields, " + std::to_string(n) + " values");
  }
  std::vector<veltrac::HcPrim> row;
  row.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    const veltrac::HcPrim* v = hcprim_of(item);
    if (v == nullptr) {
      raise_cannot_convert(item, "HcPrim", "values");
      return nullptr;
    }
    const auto& [key, entry] = t.datashape.entries.at(static_cast<size_t>(i));
    if (v->base_type() != entry.entry_type) {
      std::string m = "value " + std::to_string(i) + " is ";
      m += name_of(v->base_type());
      m += ", field ";
      m += key;
      m += " is ";
      m += name_of(entry.entry_type);
      return raise(PyExc_ValueError, m);
    }
    row.push_back(*v);
  }
  state_of(self).table.writable().append_row(row);
  Py_RETURN_NONE;
}

// ---- reading as Python data ----

PyObject* table_get_field_definitions(PyObject* self, PyObject*) {
  auto snap = snapshot_of(self);
  if (!snap) return nullptr;
  return field_definitions_to_list((*snap)->datashape.entries);
}

// The field keys (as get_rows() uses them) or base types, in field order.
template <bool types>
PyObject* field_list(PyObject* self) {
  if (!may_read(flag_of(self))) return nullptr;
  auto snap = state_of(self).table.snapshot();  // making objects may run Python code that changes the table
  const DataShapeEntries& entries = snap->datashape.entries;
  if constexpr (!types) {
    PyRef keys(field_keys_tuple(entries));
    if (!keys) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(keys.get());
    PyObject* list = PyList_New(n);
    if (list == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list, i, Py_NewRef(PyTuple_GET_ITEM(keys.get(), i)));
    return list;
  } else {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& [key, entry] : entries) {
      PyObject* item = base_type_object(entry.entry_type);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), i++, item);
    }
    return list.release();
  }
}

PyObject* table_get_field_names(PyObject* self, PyObject*) { return field_list<false>(self); }

PyObject* table_get_field_types(PyObject* self, PyObject*) { return field_list<true>(self); }

// One (name, base_type, description) item of from_fields into `entry`; false with TypeError or ValueError
// (naming the item) set otherwise.
bool field_of_item(PyObject* item, size_t index, DataShapeEntry& entry) {
  const std::string at = "fields[" + std::to_string(index) + "]";
  if (!PyTuple_Check(item) && !PyList_Check(item)) {
    raise(PyExc_TypeError, at + ": expected a (name, base_type, description) tuple, got " + Py_TYPE(item)->tp_name);
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
  if (n != 3) {
    raise(PyExc_ValueError, at + ": expected 3 items (name, base_type, description), got " + std::to_string(n));
    return false;
  }
  PyObject* name = PySequence_Fast_GET_ITEM(item, 0);
  PyObject* type = PySequence_Fast_GET_ITEM(item, 1);
  PyObject* description = PySequence_Fast_GET_ITEM(item, 2);
  for (auto [obj, what] : {std::pair{name, "name"}, std::pair{description, "description"}}) {
    if (!PyUnicode_Check(obj)) {
      raise(PyExc_TypeError, at + ": " + what + " must be str, not " + Py_TYPE(obj)->tp_name);
      return false;
    }
  }
  std::string_view name_text = str_view(name), description_text = str_view(description);
  if ((name_text.data() == nullptr || description_text.data() == nullptr) && PyErr_Occurred()) return false;
  if (const BaseType* t = base_type_of(type)) {
    entry.entry_type = *t;
  } else if (PyUnicode_Check(type)) {
    std::string_view type_text = str_view(type);
    if (type_text.data() == nullptr && PyErr_Occurred()) return false;
    auto t2 = class_base_type_from_name(type_text);
    if (!t2) {
      raise(PyExc_ValueError, at + ": Invalid base type: " + std::string(type_text));
      return false;
    }
    entry.entry_type = *t2;
  } else {
    raise(PyExc_TypeError, at + ": base_type must be BaseType or str, not " + Py_TYPE(type)->tp_name);
    return false;
  }
  entry.name.assign(name_text);
  entry.description.assign(description_text);
  return true;
}

// An empty table of the given fields, in one call; a repeated name is refused (add_field_definition would
// replace the earlier field).
PyObject* table_from_fields(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"fields", "name"};
  static const Signature sig{"InfoTable.from_fields", names, 2, 1};
  PyObject* argv[2];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  std::optional<std::string> shape_name;
  if (argv[1] != nullptr && argv[1] != Py_None) {
    std::string_view s;
    if (!to_str(argv[1], "name", s)) return nullptr;
    shape_name.emplace(s);
  }
  if (PyUnicode_Check(argv[0]) || PyBytes_Check(argv[0])) {
    raise_cannot_convert(argv[0], "Iterable", "fields");
    return nullptr;
  }
  PyRef it(PyObject_GetIter(argv[0]));
  if (!it) {
    prefix_type_error("fields");
    return nullptr;
  }
  PyRef items(PySequence_Fast(it.get(), ""));
  if (!items) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  Table t(std::move(shape_name));
  t.datashape.entries.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    DataShapeEntry entry;
    if (!field_of_item(PySequence_Fast_GET_ITEM(items.get(), i), static_cast<size_t>(i), entry)) return nullptr;
    if (t.datashape.entries.find(entry.name) != nullptr) {
      return raise(PyExc_ValueError, "fields[" + std::to_string(i) + "]: repeated field name: " + entry.name);
    }
    t.add_field_definition(std::move(entry));
  }
  return new_table(reinterpret_cast<PyTypeObject*>(cls), std::move(t));
}

// Every row, made by `make` (RowConverter::row or row_tuple), in a new list.
template <PyObject* (RowConverter::*make)(size_t) const>
PyObject* rows_to_list(PyObject* self) {
  auto snap = snapshot_of(self);
  if (!snap) return nullptr;
  const Table& t = **snap;
  RowConverter rows(t);
  if (!rows.init()) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(t.row_count())));
  if (!list) return nullptr;
  for (size_t i = 0; i < t.row_count(); ++i) {
    PyObject* row = (rows.*make)(i);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

PyObject* table_get_rows(PyObject* self, PyObject*) { return rows_to_list<&RowConverter::row>(self); }

PyObject* table_get_row_tuples(PyObject* self, PyObject*) { return rows_to_list<&RowConverter::row_tuple>(self); }

// The row index `obj` (negative counts from the end); false with TypeError or IndexError set otherwise.
bool row_index(const Table& t, PyObject* obj, size_t& out) {
  int64_t i;
  if (!to_i64(obj, "index", i)) return false;
  const auto n = static_cast<int64_t>(t.row_count());
  const int64_t at = i < 0 ? i + n : i;
  if (at < 0 || at >= n) {
    raise(PyExc_IndexError, "row index " + std::to_string(i) + " is out of range (" + std::to_string(n) + " rows)");
    return false;
  }
  out = static_cast<size_t>(at);
  return true;
}

// The position of the field named by `obj`; false with TypeError or KeyError set otherwise.
bool field_position(const Table& t, PyObject* obj, size_t& out) {
  std::string_view name;
  if (!to_str(obj, "name", name)) return false;
  out = t.datashape.entries.position(name);
  if (out == DataShapeEntries::npos) {
    PyErr_SetObject(PyExc_KeyError, obj);
    return false;
  }
  return true;
}

PyObject* table_get_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"index"};
  static const Signature sig{"InfoTable.get_row", names, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  auto snap = snapshot_of(self);
  if (!snap) return nullptr;
  const Table& t = **snap;
  size_t i;
  if (!row_index(t, v, i)) return nullptr;
  RowConverter rows(t);
  return rows.init() ? rows.row(i) : nullptr;
}

PyObject* table_get_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name"};
  static const Signature sig{"InfoTable.get_column", names, 1, 1};
  PyObject* v;
  if (!parse_args(sig, args, nargs, kwnames, v)) return nullptr;
  auto snap = snapshot_of(self);
  if (!snap) return nullptr;
  const Table& t = **snap;
  size_t pos;
  if (!field_position(t, v, pos)) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(t.row_count())));
  if (!list) return nullptr;
  for (size_t i = 0; i < t.row_count(); ++i) {
    Table::Row row = t.row(i);
    // A row shorter than the shape has no value for the field.
    PyObject* item = pos < row.size() ? prim_to_python(row[pos]) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* table_get_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"index", "name"};
  static const Signature sig{"InfoTable.get_cell", names, 2, 2};
  PyObject* argv[2];
  if (!parse_args(sig, args, nargs, kwnames, argv)) return nullptr;
  auto snap = snapshot_of(self);
  if (!snap) return nullptr;
  const Table& t = **snap;
  size_t i, pos;
  if (!row_index(t, argv[0], i) || !field_position(t, argv[1], pos)) return nullptr;
  Table::Row row = t.row(i);
  if (pos >= row.size()) {
    PyErr_SetObject(PyExc_KeyError, argv[1]);
    return nullptr;
  }
  return new_hcprim(veltrac::HcPrim(row[pos]));
}

PyObject* table_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"json_str"};
  static const Signature sig{"InfoTable.from_json", names, 1, 1};
  std::string_view text;
  if (!parse_text_arg(sig, args, nargs, kwnames, text)) return nullptr;
  auto r = json::read_document(text, [](json::Reader& reader) { return Table::read_json(reader); });
  if (!r) return raise_text_error(true, "InfoTable JSON deserialization error: ", r.error());
  return new_table(&InfoTableType, std::move(*r));
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
  if (!may_read(flag_of(self))) return nullptr;
  return new_table(Py_TYPE(self), Table(table_of(self)));
}

// (InfoTable, (name,), bytes): the binary form keeps fields, descriptions, aspects and rows; the shape name
// goes to the constructor. The state is (bytes, names) when tables inside have names (pickled_names).
PyObject* table_reduce(PyObject* self, PyObject*) {
  auto snap = snapshot_of(self);
  if (!snap) return nullptr;
  const Table& t = **snap;
  PyRef names(pickled_names(t, "InfoTable"));
  if (!names) return nullptr;
  ByteBuffer& buf = scratch_bytes();
  auto r = t.to_bytes(buf);
  if (!r) return raise_encode_error("InfoTable serialization error: ", r.error());
  PyRef data(take_bytes(buf));
  PyRef name(t.datashape_name() ? new_str(*t.datashape_name()) : Py_NewRef(Py_None));
  if (!data || !name) return nullptr;
  if (names.get() != Py_None) {
    data = PyRef(PyTuple_Pack(2, data.get(), names.get()));
    if (!data) return nullptr;
  }
  return Py_BuildValue("(O(O)O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), name.get(), data.get());
}

PyObject* table_setstate(PyObject* self, PyObject* state) {
  PyObject* names = nullptr;
  if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
    names = PyTuple_GET_ITEM(state, 1);
    state = PyTuple_GET_ITEM(state, 0);
  }
  std::string_view data;
  if (!to_bytes(state, "state", data)) return nullptr;
  auto r = Table::from_bytes(as_bytes(data));
  if (!r) return raise_decode_error("InfoTable deserialization error: ", r.error(), as_bytes(data));
  if (names != nullptr && !restore_names(r->value, names)) return nullptr;
  WriteTurn turn(flag_of(self));
  if (!turn) return nullptr;
  State& st = state_of(self);
  r->value.datashape.name = st.table.current().datashape.name;
  st.table.replace(std::move(r->value));
  st.cache.clear();
  Py_RETURN_NONE;
}

PyObject* table_str(PyObject* self) {
  if (!may_read(flag_of(self))) return nullptr;
  std::string s;
  append_counts(s, table_of(self));
  s += ')';
  return new_str(s);
}

PyObject* table_repr(PyObject* self) {
  if (!may_read(flag_of(self))) return nullptr;
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

PyMethodDef kMethods[] = {
    {"from_bytes", VELTRAC_METHOD(table_from_bytes), kStaticFastcall, "from_bytes(data)\n--\n\n"},
    {"to_bytes", VELTRAC_METHOD(table_to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"get_row_count", VELTRAC_METHOD(table_get_row_count), METH_NOARGS, "get_row_count($self)\n--\n\n"},
    {"get_field_count", VELTRAC_METHOD(table_get_field_count), METH_NOARGS, "get_field_count($self)\n--\n\n"},
    {"get_datashape_name", VELTRAC_METHOD(table_get_datashape_name), METH_NOARGS, "get_datashape_name($self)\n--\n\n"},
    {"to_json", VELTRAC_METHOD(table_to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"to_simple_json", VELTRAC_METHOD(table_to_simple_json), METH_NOARGS, "to_simple_json($self)\n--\n\n"},
    {"add_field_definition", VELTRAC_METHOD(table_add_field_definition), kFastcall,
     "add_field_definition($self, name, base_type, description)\n--\n\n"},
    {"add_row", VELTRAC_METHOD(table_add_row), kFastcall, "add_row($self, row_dict)\n--\n\n"},
    {"__copy__", VELTRAC_METHOD(table_copy), METH_NOARGS,
     "__copy__($self)\n--\n\nA copy (`copy.copy`): the rows are shared until one side changes."},
    {"__deepcopy__", VELTRAC_METHOD(table_copy), METH_O,
     "__deepcopy__($self, memo)\n--\n\nA copy (`copy.deepcopy`): the rows are shared until one side changes."},
    {"__reduce__", VELTRAC_METHOD(table_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the table as its shape name and wire bytes."},
    {"__setstate__", VELTRAC_METHOD(table_setstate), METH_O,
     "__setstate__($self, state)\n--\n\nRestores a pickled table from its wire bytes."},
    {"get_field_definitions", VELTRAC_METHOD(table_get_field_definitions), METH_NOARGS,
     "get_field_definitions($self)\n--\n\nThe fields in order: name, base type, description, ordinal and aspects of "
     "each."},
    {"get_rows", VELTRAC_METHOD(table_get_rows), METH_NOARGS,
     "get_rows($self)\n--\n\nEvery row as a dict from field name to value (`HcPrim.to_python` of each cell)."},
    {"get_row_tuples", VELTRAC_METHOD(table_get_row_tuples), METH_NOARGS,
     "get_row_tuples($self)\n--\n\nEvery row as a tuple of its values in field order: the values of `get_rows()` "
     "without the keys."},
    {"get_row", VELTRAC_METHOD(table_get_row), kFastcall,
     "get_row($self, index)\n--\n\nOne row as a dict; a negative index counts from the end."},
    {"get_column", VELTRAC_METHOD(table_get_column), kFastcall,
     "get_column($self, name)\n--\n\nThe values of one field, row by row."},
    {"get_cell", VELTRAC_METHOD(table_get_cell), kFastcall,
     "get_cell($self, index, name)\n--\n\nOne cell as a typed value."},
    {"add_rows", VELTRAC_METHOD(table_add_rows), kFastcall,
     "add_rows($self, rows)\n--\n\nAppends many rows given as for `add_row`: all of them, or none when one fails."},
    {"append_row", VELTRAC_METHOD(table_append_row), kFastcall,
     "append_row($self, values)\n--\n\nAppends one row of typed values, one per field in field order."},
    {"from_json", VELTRAC_METHOD(table_from_json), kStaticFastcall,
     "from_json(json_str)\n--\n\nReads a table from the record form `to_json` writes (shape name included)."},
    {"__arrow_c_schema__", VELTRAC_METHOD(infotable_arrow_c_schema), METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe Arrow schema of the table, as a PyCapsule (the Arrow PyCapsule interface)."},
    {"__arrow_c_stream__", VELTRAC_METHOD(infotable_arrow_c_stream), kFastcall,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nThe table as an Arrow stream of one batch, as a "
     "PyCapsule."},
    {"from_arrow", VELTRAC_METHOD(infotable_from_arrow), kStaticFastcall,
     "from_arrow(data, name=None)\n--\n\nReads a table from any Arrow producer (`__arrow_c_stream__` or "
     "`__arrow_c_array__`)."},
    {"from_buffer", VELTRAC_METHOD(table_from_buffer), kStaticFastcall,
     "from_buffer(data, offset=0)\n--\n\nDecodes a table at `offset` of any bytes-like object, without copying it."},
    {"get_field_names", VELTRAC_METHOD(table_get_field_names), METH_NOARGS,
     "get_field_names($self)\n--\n\nThe field names in field order: the keys of the dicts `get_rows()` gives."},
    {"get_field_types", VELTRAC_METHOD(table_get_field_types), METH_NOARGS,
     "get_field_types($self)\n--\n\nThe base type of each field, as `BaseType` objects, in field order."},
    {"from_fields", VELTRAC_METHOD(table_from_fields), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_fields($type, fields, name=None)\n--\n\nA new table without rows whose fields are the `(name, base_type, "
     "description)` items of `fields`."},
    {nullptr, nullptr, 0, nullptr},
};

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
