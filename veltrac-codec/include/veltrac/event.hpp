// Event definitions: name, description, aspects and the data shape of the event's data. In JSON the
// data shape travels as an "EventData" object (DummyEventData) with a name, aspects and field definitions.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "veltrac/aspects.hpp"
#include "veltrac/datashape.hpp"
#include "veltrac/export.hpp"
#include "veltrac/json/error.hpp"
#include "veltrac/json/reader.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

// The JSON-side form of an event's data shape.
struct DummyEventData {
  std::string name;
  Aspects aspects;
  DataShapeEntries field_definitions;

  bool operator==(const DummyEventData&) const = default;

  // Name: the shape's name, or "DataShape" when it has none; aspects: only "dataShape" holding that
  // name as DATASHAPENAME; field definitions: a copy of the shape's entries.
  static DummyEventData from_datashape(const DataShape& shape);
  // A shape named `name` with the field definitions; the aspects are dropped.
  DataShape to_datashape() &&;

  // {"name":..,"aspects":{..},"fieldDefinitions":{..}}
  std::expected<void, json::Error> write_json(std::string& out) const;
  // Object only; unknown members are refused; all three members are required.
  static std::expected<DummyEventData, json::Error> read_json(json::Reader& r);
};

struct HcyEvent {
  std::string name;
  std::string description;
  DataShape data_shape;
  Aspects aspects;

  bool operator==(const HcyEvent&) const = default;

  // {"name":..,"aspects":{..},"description":..,"EventData":{..}}. Fails only when an aspect value does
  // not convert to its predefined type.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // Object only (members in any order); unknown members are refused; all four members are required.
  static std::expected<HcyEvent, json::Error> read_json(json::Reader& r);

  // Appends the compact JSON text to `out`; on failure `out` is left as it was.
  std::expected<void, json::Error> to_json(std::string& out) const;
  // Reads a whole document (only whitespace may follow the record).
  static std::expected<HcyEvent, json::Error> from_json(std::string_view text);
};

}  // namespace veltrac
VELTRAC_API_END
