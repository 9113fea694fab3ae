// The per-thread cache of large storage blocks of tables (table_blocks in veltrac/detail/table_store.hpp).
#include <cstddef>
#include <new>
#include <utility>

#include "veltrac/detail/table_store.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define VELTRAC_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTRAC_ASAN 1
#endif
#endif
#ifdef VELTRAC_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace veltrac {

namespace table_blocks {
namespace {

constexpr size_t kSmallest = size_t{64} << 10;  // smaller blocks go straight to the allocator
constexpr size_t kKept = size_t{8} << 20;       // bytes kept per thread at most
constexpr size_t kSlots = 8;

// Under AddressSanitizer a kept block is poisoned until it is handed out again, so any use of a table's
// storage after the table gave it back is reported.
inline void keep_poisoned([[maybe_unused]] void* block, [[maybe_unused]] size_t size) {
#ifdef VELTRAC_ASAN
  ASAN_POISON_MEMORY_REGION(block, size);
#endif
}
inline void hand_out([[maybe_unused]] void* block, [[maybe_unused]] size_t size) {
#ifdef VELTRAC_ASAN
  ASAN_UNPOISON_MEMORY_REGION(block, size);
#endif
}

struct Cache {
  void* block[kSlots] = {};
  size_t size[kSlots] = {};
  size_t total = 0;
  ~Cache() {
    for (size_t i = 0; i < kSlots; ++i) {
      if (block[i] != nullptr) hand_out(block[i], size[i]);
      ::operator delete(block[i]);
    }
  }
};
thread_local Cache t_cache;

}  // namespace

void* take(size_t& size) {
  if (size >= kSmallest) {
    Cache& c = t_cache;
    // The smallest kept block that fits and wastes at most half of itself.
    size_t best = kSlots;
    for (size_t i = 0; i < kSlots; ++i) {
      if (c.block[i] != nullptr && c.size[i] >= size && c.size[i] / 2 <= size &&
          (best == kSlots || c.size[i] < c.size[best])) {
        best = i;
      }
    }
    if (best != kSlots) {
      void* p = std::exchange(c.block[best], nullptr);
      size = c.size[best];
      c.total -= size;
      hand_out(p, size);
      return p;
    }
  }
  return ::operator new(size);
}

void give(void* block, size_t size) noexcept {
  if (block == nullptr) return;
  if (size >= kSmallest) {
    Cache& c = t_cache;
    if (c.total + size <= kKept) {
      for (size_t i = 0; i < kSlots; ++i) {
        if (c.block[i] == nullptr) {
          keep_poisoned(block, size);
          c.block[i] = block;
          c.size[i] = size;
          c.total += size;
          return;
        }
      }
    }
  }
  ::operator delete(block);
}

size_t kept_bytes() noexcept { return t_cache.total; }

}  // namespace table_blocks

}  // namespace veltrac
