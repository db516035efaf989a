// report.h - the number formats and the argument helper of the side-by-side benchmarks' reports.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qrx::peers {

inline std::string fmt_ops(double ops) {
  if (ops <= 0) return "n/a";
  char buf[32];
  if (ops >= 1e6)
    std::snprintf(buf, sizeof buf, "%.2fM", ops / 1e6);
  else if (ops >= 1e3)
    std::snprintf(buf, sizeof buf, "%.1fk", ops / 1e3);
  else
    std::snprintf(buf, sizeof buf, "%.0f", ops);
  return buf;
}

inline std::string fmt(const char *f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

// A size in MiB, or in KiB below 1 MiB.
inline std::string mib(double bytes) {
  if (bytes <= 0) return "n/a";
  return bytes < (1 << 20) ? fmt("%.0f KiB", bytes / 1024) : fmt("%.1f MiB", bytes / (1 << 20));
}

// The non-empty items of a comma-separated list.
inline std::vector<std::string> split_list(const std::string &list) {
  std::vector<std::string> items;
  for (size_t p = 0; p <= list.size();) {
    size_t q = list.find(',', p);
    if (q == std::string::npos) q = list.size();
    if (q > p) items.push_back(list.substr(p, q - p));
    p = q + 1;
  }
  return items;
}

}  // namespace qrx::peers
