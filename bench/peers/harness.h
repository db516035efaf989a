// harness.h - what the two side-by-side benchmark programs do alike: the options they share, the
// choice of engines, the directory for the database files, the rounds of runs in forked children and
// the tables of per-workload figures built from them.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "bench/peers/child.h"
#include "bench/peers/engine.h"
#include "bench/peers/report.h"
#include "bench/peers/stats.h"

namespace qrx::peers {

// The options both programs take besides --n and --seed, which go into the program's settings.
struct CommonOptions {
  int runs = 3;
  bool quick = false;
  bool n_given = false, runs_given = false;
  double cache_mb = 0;
  std::string dir;
  std::vector<std::string> engines;
};

// Reads the command line: --n and --seed into st.n and st.seed, the other common options into `o`, and
// every other option through more(option, value), which returns false for an option it does not know
// and calls value() for the option's value. --quick then means N = 20000 and one run unless --n or
// --runs say otherwise. False on an unknown option, a missing value, a value that is not a number, fewer
// than one run, or N outside [2, 2^31).
template <class Settings, class More>
bool parse_options(int argc, char **argv, Settings &st, CommonOptions &o, const More &more) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " without a value");
      return argv[++i];
    };
    try {
      if (a == "--n") {
        st.n = std::stoull(value());
        o.n_given = true;
      } else if (a == "--runs") {
        o.runs = std::stoi(value());
        o.runs_given = true;
      } else if (a == "--quick") {
        o.quick = true;
      } else if (a == "--seed") {
        st.seed = std::stoull(value());
      } else if (a == "--cache-mb") {
        o.cache_mb = std::stod(value());
      } else if (a == "--dir") {
        o.dir = value();
      } else if (a == "--engines") {
        o.engines = split_list(value());
      } else if (!more(a, value)) {
        return false;
      }
    } catch (const std::exception &) {
      return false;
    }
  }
  if (o.quick) {
    if (!o.n_given) st.n = 20000;
    if (!o.runs_given) o.runs = 1;
  }
  return o.runs >= 1 && st.n >= 2 && st.n < (uint64_t{1} << 31);
}

// The cache budget: --cache-mb rounded down to whole pages, or `fallback` when it was not given.
inline uint64_t cache_budget(double cache_mb, uint64_t fallback) {
  return cache_mb > 0 ? static_cast<uint64_t>(cache_mb * (1 << 20)) / kPageSize * kPageSize : fallback;
}

// The entries of `all` that `wanted` names, in the order of `all` (every entry when `wanted` is empty).
// False, with the first name no entry has in *unknown, when `wanted` names one that is not there.
template <class Entry>
bool select_engines(const std::vector<Entry> &all, const std::vector<std::string> &wanted,
                    std::vector<Entry> *chosen, std::string *unknown) {
  for (const Entry &e : all)
    if (wanted.empty() || std::find(wanted.begin(), wanted.end(), e.name) != wanted.end())
      chosen->push_back(e);
  for (const std::string &w : wanted)
    if (std::none_of(chosen->begin(), chosen->end(), [&](const Entry &e) { return w == e.name; })) {
      *unknown = w;
      return false;
    }
  return true;
}

// Makes a fresh directory "<stem>.XXXXXX" for the database files under `dir`, or under $TMPDIR (or
// /var/tmp) when `dir` is empty, and returns its path. When it cannot be made, says so on stderr led by
// `program` and returns an empty path.
inline std::string make_scratch_dir(const char *program, const std::string &dir, const char *stem) {
  std::string base = dir;
  if (base.empty()) {
    const char *t = std::getenv("TMPDIR");
    base = t != nullptr && *t != '\0' ? t : "/var/tmp";
  }
  std::string tmpl = base + "/" + stem + ".XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::fprintf(stderr, "%s: cannot make a directory under %s\n", program, base.c_str());
    return std::string();
  }
  return tmpl;
}

// Removes the directory and everything in it, as far as it can.
inline void remove_scratch_dir(const std::string &path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

// Runs every engine `runs` times, all engines once in each round, each run by measure(entry), which
// returns the run's ChildSample. Tells each run's progress, time and any failure on stderr. The samples
// by engine name, in run order.
template <class Entry, class Measure>
auto run_rounds(int runs, const std::vector<Entry> &engines, const Measure &measure) {
  using Sample = std::invoke_result_t<const Measure &, const Entry &>;
  std::map<std::string, std::vector<Sample>> samples;
  for (int run = 0; run < runs; ++run) {
    for (const Entry &e : engines) {
      std::fprintf(stderr, "run %d/%d: %-7s ...", run + 1, runs, e.name);
      auto t0 = std::chrono::steady_clock::now();
      Sample s = measure(e);
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::fprintf(stderr, " %s in %.1f s\n", s.exited_ok ? "done" : "FAILED", secs);
      if (!s.exited_ok) std::fprintf(stderr, "  %s: %s\n", e.name, s.result.error);
      samples[e.name].push_back(s);
    }
  }
  return samples;
}

// The figures of one engine that both programs report by workload number (1..kCount), over its runs.
template <class Result, int kCount>
struct WorkloadSummary {
  static constexpr int kWorkloadCount = kCount;
  std::string name;
  std::vector<ChildSample<Result>> runs;
  double ops[kCount + 1] = {};       // median ops per CPU second
  double wall_ops[kCount + 1] = {};  // median ops per elapsed second
  double spread[kCount + 1] = {};    // run-to-run spread of ops, (max - min) / median in %
  double maxrss_kib = 0;             // the highest peak memory of the runs
  bool ok = true;                    // every run passed
};

// The median of get(result) over the runs that passed.
template <class Result, class Get>
double median_of(const std::vector<ChildSample<Result>> &runs, const Get &get) {
  std::vector<double> v;
  for (const ChildSample<Result> &x : runs)
    if (x.exited_ok) v.push_back(static_cast<double>(get(x.result)));
  return median(v);
}

// Fills the figures of WorkloadSummary from the runs of the engine `name`.
template <class Result, int kCount>
void summarise_workloads(const std::string &name, const std::vector<ChildSample<Result>> &runs,
                         WorkloadSummary<Result, kCount> &s) {
  s.name = name;
  s.runs = runs;
  for (int w = 1; w <= kCount; ++w) {
    std::vector<double> v;
    for (const ChildSample<Result> &x : runs)
      if (x.exited_ok) v.push_back(x.result.ops[w]);
    s.ops[w] = median(v);
    s.spread[w] = spread(v);
    s.wall_ops[w] = median_of(runs, [w](const Result &r) { return r.wall_ops[w]; });
  }
  for (const ChildSample<Result> &x : runs) {
    s.maxrss_kib = std::max<double>(s.maxrss_kib, static_cast<double>(x.maxrss_kib));
    s.ok = s.ok && x.exited_ok;
  }
}

// The summary of the engine `name`, or null when it did not run.
template <class Summary>
const Summary *find_summary(const std::vector<Summary> &sums, const std::string &name) {
  for (const Summary &s : sums)
    if (s.name == name) return &s;
  return nullptr;
}

// The tables print a first column of 20 characters, then a column of 10 per engine.

// The head of a table: `first` over the first column, then every engine's name but that of `skip`.
template <class Summary>
void print_header(const char *first, const std::vector<Summary> &sums, const Summary *skip = nullptr) {
  std::printf("| %-20s |", first);
  size_t cols = 0;
  for (const Summary &s : sums)
    if (&s != skip) {
      std::printf(" %10s |", s.name.c_str());
      ++cols;
    }
  std::printf("\n|%s|", std::string(22, '-').c_str());
  for (size_t i = 0; i < cols; ++i) std::printf("%s|", std::string(12, '-').c_str());
  std::printf("\n");
}

// A row per workload, named by names[w]: each engine's median ops per CPU second, or per elapsed second
// when `wall` is set; FAILED for an engine with a failed run.
template <class Summary>
void print_ops_rows(const char *const *names, const std::vector<Summary> &sums, bool wall) {
  for (int w = 1; w <= Summary::kWorkloadCount; ++w) {
    std::printf("| %-20s |", names[w]);
    for (const Summary &s : sums)
      std::printf(" %10s |", s.ok ? fmt_ops(wall ? s.wall_ops[w] : s.ops[w]).c_str() : "FAILED");
    std::printf("\n");
  }
}

// The table of qrx's speed relative to every other engine, by workload.
template <class Summary>
void print_ratios(const char *const *names, const std::vector<Summary> &sums, const Summary &qrx) {
  std::printf(
      "\nSpeed of qrx relative to each engine (qrx ops/s divided by the engine's; above 1 = qrx "
      "faster)\n\n");
  print_header("workload", sums, &qrx);
  for (int w = 1; w <= Summary::kWorkloadCount; ++w) {
    std::printf("| %-20s |", names[w]);
    for (const Summary &s : sums) {
      if (&s == &qrx) continue;
      bool have = s.ok && s.ops[w] > 0 && qrx.ops[w] > 0;
      std::printf(" %10s |", have ? fmt("%.2f", qrx.ops[w] / s.ops[w]).c_str() : "n/a");
    }
    std::printf("\n");
  }
}

// The table of the run-to-run spread of the CPU-time figures, when there was more than one run.
template <class Summary>
void print_spreads(const char *const *names, const std::vector<Summary> &sums, int runs) {
  if (runs <= 1) return;
  std::printf("\nRun-to-run spread of the CPU-time figures, (max - min) / median in %%\n\n");
  print_header("workload", sums);
  for (int w = 1; w <= Summary::kWorkloadCount; ++w) {
    std::printf("| %-20s |", names[w]);
    for (const Summary &s : sums)
      std::printf(" %10s |", s.ops[w] > 0 ? fmt("%.1f", s.spread[w]).c_str() : "n/a");
    std::printf("\n");
  }
}

// Lists every failed run with its error, then the verdict over all runs; the exit status: 0 when
// `others_ok` and every run passed, 1 otherwise.
template <class Summary>
int print_verdict(const std::vector<Summary> &sums, bool others_ok) {
  bool all_ok = others_ok;
  for (const Summary &s : sums) {
    if (!s.ok) {
      all_ok = false;
      for (const auto &x : s.runs)
        if (!x.exited_ok) std::printf("\n%s FAILED: %s", s.name.c_str(), x.result.error);
    }
  }
  std::printf("\n%s\n", all_ok ? "all runs passed their checks" : "some runs FAILED");
  return all_ok ? 0 : 1;
}

}  // namespace qrx::peers
