// The order of keys by their bytes, in time linear in the bytes that tell them apart: JSON objects whose
// members are written sorted (aspects, field definitions, row keys) may have tens of thousands of keys.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrac::detail {

struct KeyedPosition {
  std::string_view key;
  size_t pos;
};

// Sorts `items` by key as std::string_view's operator< orders them, equal keys keeping their order. A most
// significant byte first radix sort: a group is distributed by its keys' byte at the group's depth (keys
// that end there first), and groups of fewer than kSmallGroup keys are finished by insertion.
inline void sort_by_key(std::vector<KeyedPosition>& items) {
  constexpr size_t kSmallGroup = 24;
  const size_t n = items.size();
  std::vector<KeyedPosition> spare(n < kSmallGroup ? 0 : n);
  struct Group {
    size_t begin, end, depth;
  };
  std::vector<Group> todo{{0, n, 0}};
  while (!todo.empty()) {
    const Group g = todo.back();
    todo.pop_back();
    KeyedPosition* a = items.data() + g.begin;
    const size_t m = g.end - g.begin;
    if (m < kSmallGroup) {
      // Every key of a group has the group's first `depth` bytes in common.
      for (size_t i = 1; i < m; ++i) {
        KeyedPosition x = a[i];
        const std::string_view xs = x.key.substr(g.depth);
        size_t j = i;
        for (; j > 0 && xs < a[j - 1].key.substr(g.depth); --j) a[j] = a[j - 1];
        a[j] = x;
      }
      continue;
    }
    // Bucket 0: keys that end at this depth; bucket 1 + b: keys whose byte there is b.
    auto bucket = [d = g.depth](std::string_view k) {
      return k.size() == d ? size_t{0} : 1 + static_cast<unsigned char>(k[d]);
    };
    size_t count[257] = {};
    for (size_t i = 0; i < m; ++i) ++count[bucket(a[i].key)];
    size_t next[257];
    for (size_t b = 0, at = 0; b < 257; ++b) {
      next[b] = at;
      at += count[b];
    }
    KeyedPosition* to = spare.data() + g.begin;
    for (size_t i = 0; i < m; ++i) to[next[bucket(a[i].key)]++] = a[i];
    std::copy(to, to + m, a);
    // Keys that ended are equal and already in order; the others go on one byte deeper.
    for (size_t b = 1, at = g.begin + count[0]; b < 257; at += count[b++]) {
      if (count[b] > 1) todo.push_back({at, at + count[b], g.depth + 1});
    }
  }
}

// Positions 0 to n - 1 ordered by key_at(position), a string_view.
template <class KeyAt>
std::vector<KeyedPosition> key_order(size_t n, KeyAt key_at) {
  std::vector<KeyedPosition> items(n);
  for (size_t i = 0; i < n; ++i) items[i] = {key_at(i), i};
  sort_by_key(items);
  return items;
}

}  // namespace veltrac::detail
