// Property definitions: name, push settings, start type, aspects and base type, as a JSON record.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "veltrac/aspects.hpp"
#include "veltrac/base_type.hpp"
#include "veltrac/export.hpp"
#include "veltrac/json/error.hpp"
#include "veltrac/json/reader.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

// When a changed value is pushed.
enum class PushType : uint8_t { NEVER = 0, ALWAYS = 1, VALUE = 2 };
// Where the value comes from at start.
enum class StartType : uint8_t { useDefaultValue = 0, readEdgeValue = 1 };

// JSON names: "NEVER", "ALWAYS", "VALUE" / "useDefaultValue", "readEdgeValue".
std::string_view push_type_name(PushType t);
std::string_view start_type_name(StartType t);
std::span<const std::string_view> push_type_names();
std::span<const std::string_view> start_type_names();

// "NAME" or {"NAME":null}; unknown names are "unknown variant".
json::Expected<PushType> read_push_type(json::Reader& r);
json::Expected<StartType> read_start_type(json::Reader& r);

struct HcyProperty {
  std::string name;
  double push_threshold = 0.0;
  PushType push_type = PushType::NEVER;
  StartType start_type = StartType::useDefaultValue;
  Aspects aspects;
  BaseType base_type = BaseType::STRING;

  bool operator==(const HcyProperty&) const = default;

  bool should_read_edge_value() const { return start_type == StartType::readEdgeValue; }

  // {"name":..,"pushThreshold":..,"pushType":..,"startType":..,"aspects":{..},"baseType":..}; a non-finite
  // threshold is written as null. Fails only when an aspect value does not convert to its predefined type.
  std::expected<void, json::Error> write_json(std::string& out) const;
  // Object (members in any order, other members skipped) or an array of the six values in order.
  static std::expected<HcyProperty, json::Error> read_json(json::Reader& r);

  // Appends the compact JSON text to `out`; on failure `out` is left as it was.
  std::expected<void, json::Error> to_json(std::string& out) const;
  // Reads a whole document (only whitespace may follow the record).
  static std::expected<HcyProperty, json::Error> from_json(std::string_view text);
};

}  // namespace veltrac
VELTRAC_API_END
