// Version of the codec. The build reads the numbers from this file.
#pragma once

#include <string_view>

#include "veltrac/export.hpp"

#define VELTRAC_VERSION_MAJOR 0
#define VELTRAC_VERSION_MINOR 6
#define VELTRAC_VERSION_PATCH 0
#define VELTRAC_VERSION_STRING "0.6.0"
// major * 10000 + minor * 100 + patch, for comparisons in the preprocessor.
#define VELTRAC_VERSION (VELTRAC_VERSION_MAJOR * 10000 + VELTRAC_VERSION_MINOR * 100 + VELTRAC_VERSION_PATCH)

VELTRAC_API_BEGIN
namespace veltrac {

// The version of the library linked in, "0.6.0"; differs from VELTRAC_VERSION_STRING only when the
// headers and the library come from different releases.
std::string_view version() noexcept;

}  // namespace veltrac
VELTRAC_API_END
