// Insertion-ordered string-keyed map with hashed lookup. Entries live in one array in insertion order; a
// key that is inserted again replaces the value in place. Small maps are searched linearly; from
// kIndexThreshold entries on, an open-addressing index of positions (seeded hash) is kept beside them.
// Maps of small entries hold up to kInlineCount entries in the map itself (no heap block: aspects maps of a
// handful of names are common); beyond that, all entries move to one heap block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "veltrac/detail/same_bytes.hpp"
#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

namespace detail {
// Seeded 64-bit string hash; the seed comes from the OS random source once per process.
uint64_t hash_key(std::string_view key) noexcept;
// Entry blocks of maps. Blocks of 1 KiB or more are kept per thread (256 KiB at most) and handed to the next
// map they fit, so that reading definition after definition does not give back and ask again for a block
// of some KiB each time (the allocator merges its caches of small blocks around such a request or release,
// and the small blocks of the next definition pay for it). `bytes` becomes the block's real size.
void* take_map_block(size_t& bytes);
void give_map_block(void* block, size_t bytes) noexcept;
}  // namespace detail

template <class V>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using const_iterator = const value_type*;
  using iterator = value_type*;

  static constexpr size_t kIndexThreshold = 9;
  // Entries held in the map itself: 4 of up to 64 bytes, none of larger ones.
  static constexpr size_t kInlineCount = sizeof(value_type) <= 64 ? 4 : 0;

  OrderedMap() noexcept = default;
  OrderedMap(const OrderedMap& o) : slots_(o.slots_) {
    try {
      reserve(o.size_);
      for (; size_ < o.size_; ++size_) new (data_ + size_) value_type(o.data_[size_]);
    } catch (...) {
      release();
      throw;
    }
  }
  OrderedMap(OrderedMap&& o) noexcept { take(o); }
  OrderedMap& operator=(const OrderedMap& o) {
    if (this != &o) *this = OrderedMap(o);
    return *this;
  }
  OrderedMap& operator=(OrderedMap&& o) noexcept {
    if (this != &o) {
      // This map's entries move out first: o may live inside one of their values (behind a pointer, so it
      // stays where it is), and is taken before they are destroyed.
      OrderedMap old(std::move(*this));
      take(o);
    }
    return *this;
  }
  ~OrderedMap() { release(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Room for `n` entries; from kIndexThreshold on, the index is sized for them too.
  void reserve(size_t n) {
    if (n > cap_) move_to(n);
    if (n >= kIndexThreshold && slots_.size() < n * 2) index_for(n);
  }
  size_t capacity() const { return cap_; }
  void shrink_to_fit() {
    if (cap_ > std::max(size_, kInlineCount)) move_to(size_);
  }

  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }
  // Values may be changed through these; keys must not be.
  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }

  // Entry at a position (0-based), in insertion order.
  const value_type& at(size_t pos) const { return data_[pos]; }
  std::span<const value_type> items() const { return {data_, size_}; }

  // Position of a key, or npos.
  static constexpr size_t npos = static_cast<size_t>(-1);
  size_t position(std::string_view key) const { return position(key, slots_.empty() ? 0 : detail::hash_key(key)); }
  const V* find(std::string_view key) const {
    size_t p = position(key);
    return p == npos ? nullptr : &data_[p].second;
  }
  V* find(std::string_view key) {
    size_t p = position(key);
    return p == npos ? nullptr : &data_[p].second;
  }

  // Inserts or replaces; returns the entry's position.
  size_t insert(std::string key, V value) {
    const uint64_t h = key_hash(key);
    return insert(std::move(key), std::move(value), h);
  }
  // For a reader that takes a key, then its value, then inserts: the key's hash, with its first slot
  // prefetched so that the slot's cache miss overlaps reading the value. Good until the map next changes.
  uint64_t prepare(std::string_view key) const {
    const uint64_t h = key_hash(key);
    if (!slots_.empty()) __builtin_prefetch(slots_.data() + (h & (slots_.size() - 1)));
    return h;
  }
  // insert() with `h` from prepare(key), the map unchanged since.
  size_t insert(std::string key, V value, uint64_t h) {
    size_t p = position(key, h);
    if (p != npos) {
      data_[p].second = std::move(value);
      return p;
    }
    emplace_back(std::move(key), std::move(value));
    return index_last(h);
  }
  // The same with the key copied from a view (no intermediate string).
  size_t emplace(std::string_view key, V&& value) {
    const uint64_t h = key_hash(key);
    size_t p = position(key, h);
    if (p != npos) {
      data_[p].second = std::move(value);
      return p;
    }
    emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(std::move(value)));
    return index_last(h);
  }
  // Appends `key`, which must not be present, with a default value; the value to be filled in place.
  V& append(std::string_view key) {
    const uint64_t h = key_hash(key);
    emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(DefaultValue{}));
    return data_[index_last(h)].second;
  }
  // Appends `key` with a default value as append() does when it is not present; nullptr when it is.
  V* try_append(std::string_view key) {
    const uint64_t h = key_hash(key);
    if (position(key, h) != npos) return nullptr;
    emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(DefaultValue{}));
    return &data_[index_last(h)].second;
  }

  void clear() {
    std::destroy_n(data_, size_);
    size_ = 0;
    slots_.clear();
  }

 private:
  // The key's hash when the index is in use (the only case that reads it), else 0.
  uint64_t key_hash(std::string_view key) const { return slots_.empty() ? 0 : detail::hash_key(key); }
  // `h`: key_hash(key), taken before the entry that may have been appended since.
  size_t position(std::string_view key, uint64_t h) const {
    if (slots_.empty()) {
      for (size_t i = 0; i < size_; ++i)
        if (same_text(data_[i].first, key)) return i;
      return npos;
    }
    size_t mask = slots_.size() - 1;
    for (size_t s = h & mask;; s = (s + 1) & mask) {
      uint32_t v = slots_[s];
      if (v == 0) return npos;
      if (same_text(data_[v - 1].first, key)) return v - 1;
    }
  }
  // Indexes the entry just appended, whose key_hash was `h`; returns its position.
  size_t index_last(uint64_t h) {
    size_t p = size_ - 1;
    if (!slots_.empty()) {
      if (size_ * 2 > slots_.size()) {
        rebuild();
      } else {
        place(p, h);
      }
    } else if (size_ >= kIndexThreshold) {
      rebuild();
    }
    return p;
  }
  void place(size_t pos, uint64_t h) {
    size_t mask = slots_.size() - 1;
    size_t s = h & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<uint32_t>(pos + 1);
  }
  void rebuild() { index_for(size_); }
  void index_for(size_t n) {
    size_t cap = 16;
    while (cap < n * 4) cap *= 2;
    slots_.assign(cap, 0);
    for (size_t i = 0; i < size_; ++i) place(i, detail::hash_key(data_[i].first));
  }

  static_assert(std::is_nothrow_move_constructible_v<value_type>);
  // Converts to a default-initialised V: V() would first zero all of a V whose constructor is implicit (the
  // entries kept in a map inside a value too).
  struct DefaultValue {
    operator V() const {  // NOLINT(google-explicit-constructor): converted to by the entry's constructor only
      V v;
      return v;
    }
  };
  static_assert(alignof(value_type) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  // A block for at least `cap` entries; `cap` becomes the count it has room for.
  static value_type* allocate(size_t& cap) {
    if (cap > SIZE_MAX / sizeof(value_type)) throw std::bad_array_new_length();
    size_t bytes = cap * sizeof(value_type);
    void* block = detail::take_map_block(bytes);
    cap = bytes / sizeof(value_type);
    return static_cast<value_type*>(block);
  }
  static void deallocate(value_type* block, size_t cap) noexcept {
    detail::give_map_block(block, cap * sizeof(value_type));
  }
  value_type* inline_data() noexcept { return reinterpret_cast<value_type*>(inline_room_); }
  bool on_heap() const noexcept { return cap_ > kInlineCount; }

  // Appends an entry built from `args`, moving the entries to a larger block when full (the new entry is
  // built first: `args` may refer to an entry).
  template <class... Args>
  void emplace_back(Args&&... args) {
    if (size_ < cap_) {
      new (data_ + size_) value_type(std::forward<Args>(args)...);
      ++size_;
      return;
    }
    // Maps of large entries (data shapes) start with room for one: a message may hold thousands of nested
    // tables of one field each.
    size_t cap = cap_ == 0 ? 1 : 2 * cap_;
    value_type* fresh = allocate(cap);
    try {
      new (fresh + size_) value_type(std::forward<Args>(args)...);
    } catch (...) {
      deallocate(fresh, cap);
      throw;
    }
    adopt(fresh, cap);
    ++size_;
  }
  // Moves the entries to room for `cap` (>= size_): the map itself when they fit, else a new block.
  void move_to(size_t cap) {
    if (cap <= kInlineCount) {
      if (!on_heap()) return;
      value_type* old = data_;
      const size_t old_cap = cap_;
      value_type* room = inline_data();
      for (size_t i = 0; i < size_; ++i) {
        new (room + i) value_type(std::move(old[i]));
        old[i].~value_type();
      }
      deallocate(old, old_cap);
      data_ = room;
      cap_ = kInlineCount;
      return;
    }
    value_type* fresh = allocate(cap);
    adopt(fresh, cap);
  }
  // Moves the entries into `fresh` (room for cap) and frees the old block.
  void adopt(value_type* fresh, size_t cap) noexcept {
    for (size_t i = 0; i < size_; ++i) {
      new (fresh + i) value_type(std::move(data_[i]));
      data_[i].~value_type();
    }
    if (on_heap()) deallocate(data_, cap_);
    data_ = fresh;
    cap_ = cap;
  }
  // Takes o's entries and index, leaving o empty with its inline room (this map holds none).
  void take(OrderedMap& o) noexcept {
    slots_ = std::move(o.slots_);
    o.slots_.clear();
    if (o.on_heap()) {
      data_ = o.data_;
      cap_ = o.cap_;
      size_ = o.size_;
      o.data_ = o.inline_data();
      o.cap_ = kInlineCount;
      o.size_ = 0;
      return;
    }
    for (size_t i = 0; i < o.size_; ++i) {
      new (data_ + i) value_type(std::move(o.data_[i]));
      o.data_[i].~value_type();
    }
    size_ = o.size_;
    o.size_ = 0;
  }
  // Destroys the entries and frees the block; the map is left with its inline room, as if new.
  void release() noexcept {
    std::destroy_n(data_, size_);
    if (on_heap()) deallocate(data_, cap_);
    data_ = inline_data();
    cap_ = kInlineCount;
    size_ = 0;
  }

  value_type* data_ = inline_data();
  size_t size_ = 0;
  size_t cap_ = kInlineCount;
  std::vector<uint32_t> slots_;  // position + 1, 0 = empty
  alignas(value_type) unsigned char inline_room_[kInlineCount == 0 ? 1 : kInlineCount * sizeof(value_type)];
};

}  // namespace veltrac
VELTRAC_API_END
