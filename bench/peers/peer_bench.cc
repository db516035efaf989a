// peer_bench.cc - side-by-side benchmark of this library's B-tree layer against the ordered key-value
// engines a user would otherwise pick, in one program run.
//
// Every (run, engine) pair runs in a forked child, so that each engine starts from a clean process and
// its peak resident memory (ru_maxrss of the child) is its own; the parent only collects the children's
// result records through a pipe and prints medians over the runs. A "harness" child that only builds the
// keys and permutations gives the memory every child has before its engine does anything.
//
// Usage: peer_bench [--n N] [--runs R] [--quick] [--engines qrx,bdb,...] [--dir DIR] [--cache-mb MB]
//                   [--lookups7 M] [--seed S] [--threads LIST] [--threads-n N]
// Exit status: 0 when every run of every engine passed its checks, 1 otherwise, 2 on bad arguments.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/peers/child.h"
#include "bench/peers/engine.h"
#include "bench/peers/harness.h"
#include "bench/peers/report.h"
#include "bench/peers/stats.h"
#include "bench/peers/workloads.h"

namespace qrx::peers {
namespace {

const char *const kWorkloadNames[kWorkloads + 1] = {
    "",
    "1 random insert",
    "2 ascending insert",
    "3 lookup, present",
    "4 lookup, absent",
    "5 forward scan",
    "6 delete half",
    "7 lookup, 2% cache",
};

using Sample = ChildSample<RunResult>;

// Runs `job` in a forked child and returns its result record and peak memory.
Sample in_child(const std::function<void(RunResult &)> &job) {
  return qrx::peers::in_child<RunResult>(job);
}

struct Summary : WorkloadSummary<RunResult, kWorkloads> {
  double file_bytes = 0, flush_ms = 0;
  double cache7 = 0, lookups7 = 0, syscr7 = -1, majflt7 = -1, blockreads7 = -1, resident7 = -1;
  bool dropped7 = true;
  int depth = -1;
  std::vector<int64_t> levels;
  std::string extra_name;
  double extra_value = 0;
};

Summary summarise(const std::string &name, const std::vector<Sample> &runs) {
  Summary s;
  summarise_workloads(name, runs, s);
  auto med = [&](auto get) { return median_of(runs, get); };
  s.file_bytes = med([](const RunResult &r) { return r.file_bytes; });
  s.flush_ms = med([](const RunResult &r) { return r.flush_ms; });
  s.cache7 = med([](const RunResult &r) { return r.cache7_bytes; });
  s.lookups7 = med([](const RunResult &r) { return r.lookups7; });
  s.syscr7 = med([](const RunResult &r) { return r.syscr7; });
  s.majflt7 = med([](const RunResult &r) { return r.majflt7; });
  s.blockreads7 = med([](const RunResult &r) { return r.blockreads7; });
  s.resident7 = med([](const RunResult &r) { return r.resident7; });
  s.extra_value = med([](const RunResult &r) { return r.extra_value; });
  for (const Sample &x : runs) {
    if (!x.exited_ok) continue;
    s.dropped7 = s.dropped7 && x.result.dropped7 == 1;
    s.depth = x.result.depth;
    s.levels.assign(x.result.level_blocks, x.result.level_blocks + x.result.nlevels);
    s.extra_name = x.result.extra_name;
  }
  return s;
}

void usage() {
  std::fprintf(stderr,
               "usage: peer_bench [--n N] [--runs R] [--quick] [--engines LIST] [--dir DIR] [--cache-mb MB]\n"
               "                  [--lookups7 M] [--seed S] [--threads LIST] [--threads-n N]\n"
               "  --n N          entries per load (default 1000000)\n"
               "  --runs R       runs per engine; medians are printed (default 3)\n"
               "  --quick        N = 20000, 1 run: a smoke test\n"
               "  --engines L    comma-separated subset of: ");
  for (const EngineEntry &e : all_engines()) std::fprintf(stderr, "%s ", e.name);
  std::fprintf(
      stderr,
      "\n  --dir DIR      where the database files go (default $TMPDIR or /var/tmp)\n"
      "  --cache-mb MB  cache budget of workloads 1-6 (default 128 bytes per entry, at least 1 MiB)\n"
      "  --lookups7 M   lookups of workload 7 (default min(N, 200000))\n"
      "  --seed S       seed of keys and shuffles\n"
      "  --threads L    thread counts of the threads workload (default 1,2,4,8; --quick: 1,2)\n"
      "  --threads-n N  keys per thread of the threads workload (default min(N, 300000))\n");
}

int main_impl(int argc, char **argv) {
  Settings st;
  CommonOptions o;
  std::vector<int> thread_counts;
  uint64_t threads_n = 0;
  bool parsed = parse_options(argc, argv, st, o, [&](const std::string &a, auto value) {
    if (a == "--lookups7") {
      st.lookups7 = std::stoull(value());
    } else if (a == "--threads") {
      for (const std::string &t : split_list(value())) thread_counts.push_back(std::stoi(t));
    } else if (a == "--threads-n") {
      threads_n = std::stoull(value());
    } else {
      return false;
    }
    return true;
  });
  if (o.quick && thread_counts.empty()) thread_counts = {1, 2};
  if (thread_counts.empty()) thread_counts = {1, 2, 4, 8};
  if (threads_n == 0) threads_n = std::min<uint64_t>(st.n, 300000);
  if (!parsed ||
      std::any_of(thread_counts.begin(), thread_counts.end(), [](int t) { return t < 1 || t > 64; }) ||
      threads_n < 2 || threads_n >= (uint64_t{1} << 31)) {
    usage();
    return 2;
  }
  const int runs = o.runs;
  st.cache_bytes = cache_budget(o.cache_mb, default_cache_bytes(st.n));
  if (st.lookups7 == 0) st.lookups7 = std::min<uint64_t>(st.n, 200000);

  std::vector<EngineEntry> engines;
  std::string unknown;
  if (!select_engines(all_engines(), o.engines, &engines, &unknown)) {
    std::fprintf(stderr, "peer_bench: unknown or unavailable engine '%s'\n", unknown.c_str());
    return 2;
  }

  st.dir = make_scratch_dir("peer_bench", o.dir, "qrxpeers");
  if (st.dir.empty()) return 1;

  std::printf(
      "peer_bench: N = %llu, %d run(s), 16-byte keys, 4-byte items, 4096-byte pages, cache budget %s\n",
      static_cast<unsigned long long>(st.n), runs, mib(static_cast<double>(st.cache_bytes)).c_str());
  std::printf("files in %s (removed at the end)\n\n", st.dir.c_str());

  Sample baseline = in_child([&](RunResult &r) { run_baseline(st, r); });

  std::map<std::string, std::vector<Sample>> samples = run_rounds(runs, engines, [&](const EngineEntry &e) {
    return in_child([&](RunResult &r) {
      std::unique_ptr<Engine> eng = e.make();
      run_engine(*eng, st, r);
    });
  });
  // The threads workload: per engine and thread count, the medians over the runs.
  Settings ts = st;
  ts.n = threads_n;
  ts.cache_bytes = default_cache_bytes(threads_n);
  // threads_ops[0]: a file per thread; threads_ops[1]: one file for all threads, for the engines whose
  // handles can share one (the others are left out of that table).
  using ThreadsTable = std::map<std::string, std::map<int, std::pair<double, double>>>;
  ThreadsTable threads_ops[2];
  for (const EngineEntry &e : engines) {
    for (int one_file = 0; one_file < 2; ++one_file) {
      if (one_file && !e.make()->can_share()) continue;
      for (int t : thread_counts) {
        std::vector<double> ins, look;
        for (int run = 0; run < runs; ++run) {
          Sample x = in_child([&](RunResult &r) { run_threads(e.make, ts, t, one_file != 0, r); });
          if (!x.exited_ok) std::fprintf(stderr, "threads %s x%d FAILED: %s\n", e.name, t, x.result.error);
          ins.push_back(x.exited_ok ? x.result.threads_insert_ops : 0);
          look.push_back(x.exited_ok ? x.result.threads_lookup_ops : 0);
        }
        threads_ops[one_file][e.name][t] = {median(ins), median(look)};
      }
    }
  }
  remove_scratch_dir(st.dir);

  std::vector<Summary> sums;
  for (const EngineEntry &e : engines) sums.push_back(summarise(e.name, samples[e.name]));
  const Summary *qrx = find_summary(sums, "qrx");
  const Summary *bdb = find_summary(sums, "bdb");
  const Summary *sqlite = find_summary(sums, "sqlite");
  const Summary *absl = find_summary(sums, "absl");

  // Table 1: operations per CPU second.
  auto header = [&](const char *first) { print_header(first, sums); };
  auto ops_rows = [&](bool wall) { print_ops_rows(kWorkloadNames, sums, wall); };
  std::printf(
      "Operations per second of CPU time (user + system of the engine's process; median of %d run(s);\n"
      "k = 10^3, M = 10^6)\n\n",
      runs);
  header("workload");
  ops_rows(false);
  std::printf("| %-20s |", "file after load");
  for (const Summary &s : sums) std::printf(" %10s |", mib(s.file_bytes).c_str());
  std::printf("\n| %-20s |", "peak RSS");
  for (const Summary &s : sums) std::printf(" %10s |", mib(s.maxrss_kib * 1024).c_str());
  std::printf("\n| %-20s |", "flush after load, ms");
  for (const Summary &s : sums)
    std::printf(" %10s |", s.name == "absl" ? "n/a" : fmt("%.1f", s.flush_ms).c_str());
  std::printf("\n\nPeak RSS includes the harness's own %s (keys and permutations, measured alone).\n",
              mib(static_cast<double>(baseline.maxrss_kib) * 1024).c_str());

  // Table 2: ratios.
  if (qrx != nullptr && qrx->ok) print_ratios(kWorkloadNames, sums, *qrx);

  // Elapsed time.
  std::printf(
      "\nOperations per second of elapsed (wall-clock) time, median of %d run(s); workload 7 includes the\n"
      "waits for the disk, which CPU time leaves out\n\n",
      runs);
  header("workload");
  ops_rows(true);

  // Run-to-run spread.
  print_spreads(kWorkloadNames, sums, runs);

  // Workload 7 details.
  std::printf(
      "\nWorkload 7: cache of 2%% of each engine's file; the file was fsync'ed and dropped from the OS page\n"
      "cache with posix_fadvise(POSIX_FADV_DONTNEED) before it was reopened\n\n");
  std::printf("| %-7s | %10s | %8s | %9s | %12s | %12s | %12s |\n", "engine", "cache", "lookups", "resident",
              "reads/lookup", "syscr/lookup", "majflt/lookup");
  std::printf(
      "|---------|------------|----------|-----------|--------------|--------------|--------------|\n");
  for (const Summary &s : sums) {
    if (s.ops[7] <= 0) continue;
    std::printf("| %-7s | %10s | %8.0f | %8.1f%% | %12s | %12s | %12s |\n", s.name.c_str(),
                mib(s.cache7).c_str(), s.lookups7, s.resident7,
                s.blockreads7 >= 0 ? fmt("%.3f", s.blockreads7).c_str() : "n/a",
                s.syscr7 >= 0 ? fmt("%.3f", s.syscr7).c_str() : "n/a",
                s.majflt7 >= 0 ? fmt("%.3f", s.majflt7).c_str() : "n/a");
    if (!s.dropped7)
      std::printf("|         | (fsync or posix_fadvise failed: the file may have stayed cached)\n");
  }
  std::printf(
      "resident = share of the main file in the OS page cache right after the drop; reads = blocks read\n"
      "by the engine's own cache (qrx: the pool's read counter); syscr = read system calls of the process;\n"
      "majflt = major page faults (LMDB reads through a memory map).\n");

  // Goals.
  if (qrx != nullptr && qrx->ok) {
    std::printf("\nGoals of this library\n\n");
    auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    for (const Summary *peer : {bdb, sqlite}) {
      if (peer == nullptr || !peer->ok) continue;
      double worst = 1e300;
      int worst_w = 0;
      for (int w = 1; w <= 6; ++w) {
        double ratio = qrx->ops[w] / peer->ops[w];
        if (ratio < worst) {
          worst = ratio;
          worst_w = w;
        }
      }
      std::printf("- workloads 1-6 at least 2x %s: %s (lowest ratio %.2f, workload %d)\n", peer->name.c_str(),
                  verdict(worst >= 2.0), worst, worst_w);
    }
    if (absl != nullptr && absl->ok) {
      double r3 = absl->ops[3] / qrx->ops[3];
      double r4 = absl->ops[4] / qrx->ops[4];
      std::printf("- random lookup at most 3x the absl::btree_map lookup: %s (present %.2fx, absent %.2fx)\n",
                  verdict(r3 <= 3.0 && r4 <= 3.0), r3, r4);
    }
    double us = 1e6 / qrx->ops[5];
    std::printf("- full scan at most 0.15 us per entry: %s (%.3f us)\n", verdict(us <= 0.15), us);
    if (!qrx->extra_name.empty())
      std::printf("  (%s: %s, %.3f us per entry)\n", qrx->extra_name.c_str(),
                  fmt_ops(qrx->extra_value).c_str(), qrx->extra_value > 0 ? 1e6 / qrx->extra_value : 0.0);
    if (bdb != nullptr && bdb->ok)
      std::printf("- file no larger than Berkeley DB's: %s (%s vs %s)\n",
                  verdict(qrx->file_bytes <= bdb->file_bytes), mib(qrx->file_bytes).c_str(),
                  mib(bdb->file_bytes).c_str());
    if (qrx->ops[7] > 0) {
      double buffers = qrx->cache7 / kPageSize;
      int k = cached_levels(qrx->levels, buffers);
      double bound = (qrx->depth - k) + 0.1;
      std::string lv;
      for (int64_t c : qrx->levels) lv += (lv.empty() ? "" : ", ") + std::to_string(c);
      std::printf(
          "- out of cache at most (depth - cached levels) + 0.1 block reads per lookup: %s\n"
          "  (%.3f reads per lookup; depth %d, blocks per level from the root [%s], %.0f buffers hold the "
          "top\n"
          "  %d level(s): bound %.1f)\n",
          verdict(qrx->blockreads7 >= 0 && qrx->blockreads7 <= bound), qrx->blockreads7, qrx->depth,
          lv.c_str(), buffers, k, bound);
    }
  }

  bool threads_ok = true;
  auto threads_table = [&](const ThreadsTable &table, const char *title, const char *keys) {
    std::printf(
        "\n%s: %llu random inserts, then as many lookups, %s; operations per second of elapsed\n"
        "time, all threads together (median of %d run(s)); in brackets the share of one thread's rate\n\n",
        title, static_cast<unsigned long long>(threads_n), keys, runs);
    std::printf(
        "| %-8s | %-7s | %-20s | %-20s "
        "|\n|----------|---------|----------------------|----------------------|\n",
        "engine", "threads", "inserts", "lookups");
    for (const EngineEntry &e : engines) {
      auto found = table.find(e.name);
      if (found == table.end()) continue;
      const auto &by = found->second;
      const auto one = by.count(1) ? by.at(1) : std::make_pair(0.0, 0.0);
      for (const auto &[t, ops] : by) {
        threads_ok = threads_ok && ops.first > 0 && ops.second > 0;
        auto cell = [](double v, double base) {
          return fmt_ops(v) + (base > 0 ? fmt(" (%.2fx)", v / base) : std::string());
        };
        std::printf("| %-8s | %7d | %-20s | %-20s |\n", e.name, t, cell(ops.first, one.first).c_str(),
                    cell(ops.second, one.second).c_str());
      }
    }
  };
  threads_table(threads_ops[0], "Threads, each with an engine object and a file of its own", "per thread");
  threads_table(threads_ops[1], "Threads on one file, each with a handle of its own",
                "shared by the threads");

  // Goals for this library's threads: files of their own scale with the cores, and neither more threads
  // than cores nor threads sharing one file lose throughput.
  auto ratio = [&](int table, int t, int base_t, bool lookups) {
    const auto engine = threads_ops[table].find("qrx");
    if (engine == threads_ops[table].end() || !engine->second.count(base_t) || !engine->second.count(t))
      return -1.0;
    const auto &base = engine->second.at(base_t), &many = engine->second.at(t);
    const double b = lookups ? base.second : base.first;
    return b > 0 ? (lookups ? many.second : many.first) / b : -1.0;
  };
  std::printf("\nGoals of this library's threads (lowest of inserts and lookups)\n\n");
  const struct {
    int table, threads, base;
    double goal;
    const char *what;
  } goals[] = {{0, 2, 1, 1.7, "2 threads on 2 files at least 1.7x one thread"},
               {0, 8, 2, 1.0, "8 threads on 8 files at least what 2 threads on 2 files make"},
               {1, 4, 1, 1.0, "4 threads on one file at least what one thread makes"}};
  for (const auto &g : goals) {
    const double x =
        std::min(ratio(g.table, g.threads, g.base, false), ratio(g.table, g.threads, g.base, true));
    if (x < 0)
      std::printf("- %s: not measured\n", g.what);
    else
      std::printf("- %s: %s (%.2fx)\n", g.what, x >= g.goal ? "met" : "NOT met", x);
  }

  return print_verdict(sums, baseline.exited_ok && threads_ok);
}

}  // namespace
}  // namespace qrx::peers

int main(int argc, char **argv) {
  return qrx::peers::main_impl(argc, argv);
}
