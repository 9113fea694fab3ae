#include "util/key_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace veltrac {
namespace {

// Against a stable comparison sort: keys from a small alphabet (so that prefixes, repeats and empty keys are
// common), bytes above 0x7F (ordered as unsigned), groups on both sides of the insertion threshold, and a
// long shared prefix.
TEST(KeyOrder, MatchesAStableSort) {
  std::mt19937 rng(7);
  const std::string alphabet = std::string("ab\x80\xFF") + '\0';
  for (size_t n : {0, 1, 2, 23, 24, 25, 100, 3000}) {
    for (size_t prefix : {0, 300}) {
      std::vector<std::string> keys(n);
      for (std::string& k : keys) {
        k.assign(prefix, 'p');
        for (size_t len = rng() % 6; len > 0; --len) k.push_back(alphabet[rng() % alphabet.size()]);
      }
      const auto got = detail::key_order(n, [&](size_t i) { return std::string_view(keys[i]); });
      std::vector<size_t> want(n);
      for (size_t i = 0; i < n; ++i) want[i] = i;
      std::stable_sort(want.begin(), want.end(),
                       [&](size_t a, size_t b) { return std::string_view(keys[a]) < std::string_view(keys[b]); });
      ASSERT_EQ(got.size(), n);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(got[i].pos, want[i]) << "n=" << n << " prefix=" << prefix << " at " << i;
        ASSERT_EQ(got[i].key, keys[want[i]]);
      }
    }
  }
}

}  // namespace
}  // namespace veltrac
