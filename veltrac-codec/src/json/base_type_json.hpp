// Base types in JSON: the upper-case name as a string.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "veltrac/base_type.hpp"
#include "veltrac/json/error.hpp"
#include "veltrac/json/reader.hpp"

namespace veltrac::json {

// The 48 names in declaration order (NOTHING first, UNKNOWN_TYPE last).
std::span<const std::string_view> base_type_names();

// "NAME" or {"NAME":null}, case-sensitive; any other name is "unknown variant" listing all 48 names;
// a value that is neither string nor object is "expected value".
Expected<BaseType> read_base_type(Reader& r);

// Appends "NAME".
void write_base_type(std::string& out, BaseType t);

}  // namespace veltrac::json
