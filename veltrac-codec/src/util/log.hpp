// A tiny diagnostics facade. Off by default: nothing is formatted unless a sink is connected and the
// level is enabled.
#pragma once

#include <atomic>
#include <string_view>

namespace veltrac::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

using Sink = void (*)(Level level, std::string_view target, std::string_view message, void* context);

namespace detail {
extern std::atomic<int> g_max_level;
}

// Connects a sink receiving every diagnostic at `max_level` or more severe; nullptr disconnects.
void set_sink(Sink sink, Level max_level, void* context = nullptr);

inline bool enabled(Level level) {
  return static_cast<int>(level) <= detail::g_max_level.load(std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, std::string_view message);

}  // namespace veltrac::log

// `message_expr` is evaluated only when the level is enabled.
#define VELTRAC_LOG(level, target, message_expr)                                    \
  do {                                                                              \
    if (::veltrac::log::enabled(::veltrac::log::Level::level)) {                    \
      ::veltrac::log::emit(::veltrac::log::Level::level, (target), (message_expr)); \
    }                                                                               \
  } while (0)
