// Service definitions: name, description, aspects, the input field definitions and the output, as JSON
// records.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "veltrac/aspects.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/datashape.hpp"
#include "veltrac/export.hpp"
#include "veltrac/json/error.hpp"
#include "veltrac/json/reader.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

// The inputs of a service. No map: the service takes no inputs; an empty map is kept distinct from that.
struct InputDefinition {
  std::optional<DataShapeEntries> field_definitions;

  bool operator==(const InputDefinition&) const = default;

  // {} without a map, {"fieldDefinitions":{..}} with one.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // Object only; "fieldDefinitions" null or absent gives no map; other members are skipped.
  static std::expected<InputDefinition, json::Error> read_json(json::Reader& r);
};

// The result of a service.
struct OutputDefinition {
  std::string name;
  BaseType base_type = BaseType::NOTHING;
  Aspects aspects;
  DataShapeEntries field_definitions;

  bool operator==(const OutputDefinition&) const = default;

  // {"name":..,"baseType":..[,"aspects":{..}],"fieldDefinitions":{..}}; "aspects" only when not empty.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // Object only; "aspects" may be absent (empty aspects); other members are skipped.
  static std::expected<OutputDefinition, json::Error> read_json(json::Reader& r);
};

struct HcyService {
  std::string name;
  std::string description;
  Aspects aspects;
  InputDefinition inputs;
  OutputDefinition outputs;

  bool operator==(const HcyService&) const = default;

  // {"name":..,"description":..,"aspects":{..},"Inputs":{..},"Outputs":{..}}. Fails only when an aspect
  // value does not convert to its predefined type.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // Object (members in any order, other members skipped) or an array of the five values in order.
  static std::expected<HcyService, json::Error> read_json(json::Reader& r);

  // Appends the compact JSON text to `out`; on failure `out` is left as it was.
  std::expected<void, json::Error> to_json(std::string& out) const;
  // Reads a whole document (only whitespace may follow the record).
  static std::expected<HcyService, json::Error> from_json(std::string_view text);
};

}  // namespace veltrac
VELTRAC_API_END
