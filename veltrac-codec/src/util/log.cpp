#include "util/log.hpp"

namespace veltrac::log {

namespace detail {
std::atomic<int> g_max_level{0};
}

namespace {
Sink g_sink = nullptr;
void* g_context = nullptr;
}  // namespace

void set_sink(Sink sink, Level max_level, void* context) {
  g_sink = sink;
  g_context = context;
  detail::g_max_level.store(sink ? static_cast<int>(max_level) : 0, std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, std::string_view message) {
  if (g_sink) g_sink(level, target, message, g_context);
}

}  // namespace veltrac::log
