// Tables to and from the Arrow C data and C stream interfaces, without the Arrow library.
//
// Export: a table becomes one struct array ("+s") with one nullable child per field in shape order, each
// base type by its family: the texts utf8 ("u", "U" when a column's text exceeds 32-bit offsets), NUMBER
// float64, INTEGER int32, LONG int64, BOOLEAN bool, DATETIME timestamp[ms, UTC], BLOB and IMAGE binary
// ("z" / "Z"), LOCATION struct<latitude, longitude, elevation: float64>, INFOTABLE and VARIANT binary
// holding each value's wire bytes after its type code (a table's binary form; the inner value with its
// code), NOTHING and the types without values (TIMESPAN, SCHEDULE, UNKNOWN_TYPE) the null type ("n").
// Where the Arrow type alone does not say the base type (XML, GUID, THINGNAME, IMAGE, INFOTABLE, VARIANT,
// TIMESPAN, ...), the field metadata "base_type" names it. A field's description is the field metadata
// "description", its aspects the field metadata "aspects" (their JSON form), the shape's name the schema
// metadata "name". An empty cell (NOTHING) is a null. A value whose type differs from its field's, or a
// row whose value count differs from the field count, is refused with an error that names the field and
// the row.
//
// Import maps back: the types above by their metadata; without it int8, int16, int32, uint8, uint16 to
// INTEGER; uint32, int64 and uint64 (up to the int64 maximum) to LONG; float32, float64 to NUMBER; utf8,
// large utf8, utf8 view to STRING; bool to BOOLEAN; timestamps of any unit and zone, date32 and date64 to
// DATETIME in milliseconds since the epoch (finer units by floor division, so instants before 1970 round
// down); binary, large binary, binary view to BLOB; a struct of the three coordinates (in any order) to
// LOCATION; the null type to NOTHING. A null is an empty cell (a null row a row of empty cells).
// An unmapped type (dictionary, decimal, other nested types, ...), text that is not UTF-8, INFOTABLE or
// VARIANT bytes that do not hold exactly one value, a null coordinate of a LOCATION, or a structure that
// breaks the interface's rules fails with an error naming the column and, for values, the row (counted
// from 0 over all batches); nothing is built then. Every imported structure is released exactly once, on
// success and on failure.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "veltrac/export.hpp"
#include "veltrac/infotable.hpp"

// The structures of the Arrow C data interface and C stream interface (a stable ABI), guarded by the
// interface's own macros so that they coexist with any other definition of the same structures.
#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif

VELTRAC_API_BEGIN
namespace veltrac::arrow {

// An export or import failure is a VeltracError: its text() is the Arrow text (naming the field or column and
// the row), its kind Utf8 for text that is not UTF-8, Json for aspects that are not valid JSON, and Io for
// the rest (a structure that breaks the interface's rules, an unmapped type, a value out of range, wire
// bytes that do not decode, a stream callback's failure); message() is text() after the kind's prefix.
using Error = VeltracError;

template <class T>
using Expected = Result<T>;

// Metadata keys.
inline constexpr const char* kNameKey = "name";
inline constexpr const char* kDescriptionKey = "description";
inline constexpr const char* kBaseTypeKey = "base_type";
inline constexpr const char* kAspectsKey = "aspects";  // the field's aspects in their JSON form

// The schema of the table's struct array. `out` is written only on success; its owner releases it.
Expected<void> export_schema(const InfoTable& t, ArrowSchema* out);
// The schema and the struct array of the whole table; the buffers are built in one pass over the cells.
// Both are written only on success and are independent of `t` (each released by its owner).
Expected<void> export_array(const InfoTable& t, ArrowSchema* schema_out, ArrowArray* array_out);
// A stream of one batch (the whole table), then the end. The batch is built here, so every refusal happens
// now; the stream keeps only the built buffers and the schema, not the table.
Expected<void> export_stream(const InfoTable& t, ArrowArrayStream* out);

// Reads every batch of the stream into one table and releases the stream. The shape is named `name`, or
// else by the schema metadata "name" when present.
Expected<InfoTable> import_stream(ArrowArrayStream* stream, std::optional<std::string> name = std::nullopt);
// Reads one struct array; releases both `schema` and `array` (when their release is set).
Expected<InfoTable> import_array(ArrowSchema* schema, ArrowArray* array,
                                 std::optional<std::string> name = std::nullopt);

}  // namespace veltrac::arrow
VELTRAC_API_END
