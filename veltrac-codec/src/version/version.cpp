#include "veltrac/version.hpp"

namespace veltrac {

std::string_view version() noexcept { return VELTRAC_VERSION_STRING; }

}  // namespace veltrac
