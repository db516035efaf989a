// stats.h - the small calculations behind the benchmark's report: medians and spreads over runs, and
// how many tree levels, counted from the root, fit in a cache together.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qrx::peers {

// Median of the values (the mean of the middle two for an even count); 0 for none.
inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Spread of the values around their median: (max - min) / median in percent; 0 for fewer than two.
inline double spread(const std::vector<double> &v) {
  if (v.size() < 2) return 0;
  auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  double med = median(v);
  return med > 0 ? 100.0 * (*hi - *lo) / med : 0;
}

// Levels from the root down whose blocks all fit in a cache of `buffers` blocks together; `levels` holds
// the blocks of each level, root level first.
inline int cached_levels(const std::vector<int64_t> &levels, double buffers) {
  int k = 0;
  double sum = 0;
  for (int64_t c : levels) {
    sum += static_cast<double>(c);
    if (sum > buffers) break;
    ++k;
  }
  return k;
}

}  // namespace qrx::peers
