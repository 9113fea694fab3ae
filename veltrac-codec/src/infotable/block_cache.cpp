// The per-thread caches of storage blocks: large blocks of tables (table_blocks in infotable/table_store.hpp)
// and the mid-size entry blocks of maps (detail::take_map_block in veltrac/detail/ordered_map.hpp).
#include <cstddef>
#include <new>
#include <utility>

#include "infotable/table_store.hpp"
#include "veltrac/detail/ordered_map.hpp"

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

namespace {

// Under AddressSanitizer a kept block is poisoned until it is handed out again, so any use of a table's or
// map's storage after it gave the block back is reported.
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

// Kept blocks of kSmallest bytes or more, kKept bytes at most in all.
template <size_t kSmallest, size_t kKept>
struct Cache {
  static constexpr size_t kSlots = 8;
  void* block[kSlots] = {};
  size_t size[kSlots] = {};
  size_t total = 0;
  ~Cache() {
    for (size_t i = 0; i < kSlots; ++i) {
      if (block[i] != nullptr) hand_out(block[i], size[i]);
      ::operator delete(block[i]);
    }
  }

  void* take(size_t& want) {
    if (want >= kSmallest) {
      // The smallest kept block that fits and wastes at most half of itself.
      size_t best = kSlots;
      for (size_t i = 0; i < kSlots; ++i) {
        if (block[i] != nullptr && size[i] >= want && size[i] / 2 <= want && (best == kSlots || size[i] < size[best])) {
          best = i;
        }
      }
      if (best != kSlots) {
        void* p = std::exchange(block[best], nullptr);
        want = size[best];
        total -= want;
        hand_out(p, want);
        return p;
      }
    }
    return ::operator new(want);
  }

  void give(void* p, size_t n) noexcept {
    if (p == nullptr) return;
    if (n >= kSmallest && total + n <= kKept) {
      for (size_t i = 0; i < kSlots; ++i) {
        if (block[i] == nullptr) {
          keep_poisoned(p, n);
          block[i] = p;
          size[i] = n;
          total += n;
          return;
        }
      }
    }
    ::operator delete(p);
  }
};

// Tables: from 64 KiB on, 8 MiB per thread at most.
thread_local Cache<size_t{64} << 10, size_t{8} << 20> t_tables;
// Maps: from 1 KiB (smaller blocks the allocator keeps in caches of its own), 256 KiB per thread at most.
thread_local Cache<size_t{1} << 10, size_t{256} << 10> t_maps;

}  // namespace

namespace table_blocks {

void* take(size_t& size) { return t_tables.take(size); }
void give(void* block, size_t size) noexcept { t_tables.give(block, size); }
size_t kept_bytes() noexcept { return t_tables.total; }

}  // namespace table_blocks

namespace detail {

void* take_map_block(size_t& bytes) { return t_maps.take(bytes); }
void give_map_block(void* block, size_t bytes) noexcept { t_maps.give(block, bytes); }

}  // namespace detail

}  // namespace veltrac
