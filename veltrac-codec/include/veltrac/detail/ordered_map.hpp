// Insertion-ordered string-keyed map with hashed lookup. Entries live in one vector in insertion order;
// a key that is inserted again replaces the value in place. Small maps are searched linearly; from
// kIndexThreshold entries on, an open-addressing index of positions (seeded hash) is kept beside them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "veltrac/detail/same_bytes.hpp"
#include "veltrac/export.hpp"

VELTRAC_API_BEGIN
namespace veltrac {

namespace detail {
// Seeded 64-bit string hash; the seed comes from the OS random source once per process.
uint64_t hash_key(std::string_view key) noexcept;
}  // namespace detail

template <class V>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using const_iterator = typename std::vector<value_type>::const_iterator;
  using iterator = typename std::vector<value_type>::iterator;

  static constexpr size_t kIndexThreshold = 9;

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  void reserve(size_t n) { items_.reserve(n); }
  size_t capacity() const { return items_.capacity(); }
  void shrink_to_fit() { items_.shrink_to_fit(); }

  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  // Values may be changed through these; keys must not be.
  iterator begin() { return items_.begin(); }
  iterator end() { return items_.end(); }

  // Entry at a position (0-based), in insertion order.
  const value_type& at(size_t pos) const { return items_[pos]; }
  const std::vector<value_type>& items() const { return items_; }

  // Position of a key, or npos.
  static constexpr size_t npos = static_cast<size_t>(-1);
  size_t position(std::string_view key) const { return position(key, slots_.empty() ? 0 : detail::hash_key(key)); }
  const V* find(std::string_view key) const {
    size_t p = position(key);
    return p == npos ? nullptr : &items_[p].second;
  }
  V* find(std::string_view key) {
    size_t p = position(key);
    return p == npos ? nullptr : &items_[p].second;
  }

  // Inserts or replaces; returns the entry's position.
  size_t insert(std::string key, V value) {
    const uint64_t h = key_hash(key);
    size_t p = position(key, h);
    if (p != npos) {
      items_[p].second = std::move(value);
      return p;
    }
    items_.emplace_back(std::move(key), std::move(value));
    return index_last(h);
  }
  // The same with the key copied from a view (no intermediate string).
  size_t emplace(std::string_view key, V&& value) {
    const uint64_t h = key_hash(key);
    size_t p = position(key, h);
    if (p != npos) {
      items_[p].second = std::move(value);
      return p;
    }
    items_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(std::move(value)));
    return index_last(h);
  }
  // Appends `key`, which must not be present, with a default value; the value to be filled in place.
  V& append(std::string_view key) {
    const uint64_t h = key_hash(key);
    items_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
    return items_[index_last(h)].second;
  }
  // Appends `key` with a default value as append() does when it is not present; nullptr when it is.
  V* try_append(std::string_view key) {
    const uint64_t h = key_hash(key);
    if (position(key, h) != npos) return nullptr;
    items_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
    return &items_[index_last(h)].second;
  }

  void clear() {
    items_.clear();
    slots_.clear();
  }

 private:
  // The key's hash when the index is in use (the only case that reads it), else 0.
  uint64_t key_hash(std::string_view key) const { return slots_.empty() ? 0 : detail::hash_key(key); }
  // `h`: key_hash(key), taken before the entry that may have been appended since.
  size_t position(std::string_view key, uint64_t h) const {
    if (slots_.empty()) {
      for (size_t i = 0; i < items_.size(); ++i)
        if (same_text(items_[i].first, key)) return i;
      return npos;
    }
    size_t mask = slots_.size() - 1;
    for (size_t s = h & mask;; s = (s + 1) & mask) {
      uint32_t v = slots_[s];
      if (v == 0) return npos;
      if (same_text(items_[v - 1].first, key)) return v - 1;
    }
  }
  // Indexes the entry just appended, whose key_hash was `h`; returns its position.
  size_t index_last(uint64_t h) {
    size_t p = items_.size() - 1;
    if (!slots_.empty()) {
      if (items_.size() * 2 > slots_.size()) {
        rebuild();
      } else {
        place(p, h);
      }
    } else if (items_.size() >= kIndexThreshold) {
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
  void rebuild() {
    size_t cap = 16;
    while (cap < items_.size() * 4) cap *= 2;
    slots_.assign(cap, 0);
    for (size_t i = 0; i < items_.size(); ++i) place(i, detail::hash_key(items_[i].first));
  }

  std::vector<value_type> items_;
  std::vector<uint32_t> slots_;  // position + 1, 0 = empty
};

}  // namespace veltrac
VELTRAC_API_END
