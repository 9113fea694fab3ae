// Codec values as Python data: typed values, aspect maps, field definitions and table rows.
// Every function returns a new reference, or nullptr with an exception set.
#pragma once

#include "common/pyref.hpp"
#include "veltrac/datashape.hpp"
#include "veltrac/infotable.hpp"
#include "veltrac/primitive.hpp"

namespace veltrac::py {

// The plain kinds as HcPrim.get_value gives them; LOCATION as {"latitude", "longitude", "elevation"};
// INFOTABLE as a new InfoTable; VARIANT as its inner value, converted the same way.
PyObject* prim_to_python(const HcPrim& p);

// {name: value} in the map's order, values by prim_to_python.
PyObject* aspects_to_dict(const Aspects& aspects);

// The shape's keys in order, as a tuple of str (shared by tables of one shape).
PyObject* field_keys_tuple(const DataShapeEntries& entries);

// [{"name", "base_type", "description", "ordinal", "aspects"}, ...] in shape order.
PyObject* field_definitions_to_list(const DataShapeEntries& entries);

// Rows as dicts: each row's values paired with the shape's keys by position (values beyond the shape are
// left out, as the simple JSON form leaves them out). Keys are made once and shared by all rows.
class RowConverter {
 public:
  explicit RowConverter(const InfoTable& table) : table_(table) {}
  // False with an exception set when the keys cannot be made.
  bool init();
  PyObject* row(size_t index) const;
  // The same values as a tuple, in column order.
  PyObject* row_tuple(size_t index) const;
  // The position of the field whose key is `name`, or npos.
  size_t column(std::string_view name) const;

 private:
  const InfoTable& table_;
  PyRef keys_;  // tuple of str, in shape order
};

}  // namespace veltrac::py
