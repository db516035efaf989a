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
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/peers/child.h"
#include "bench/peers/engine.h"
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

struct Summary {
  std::string name;
  std::vector<Sample> runs;
  double ops[kWorkloads + 1] = {};       // median ops per CPU second
  double wall_ops[kWorkloads + 1] = {};  // median ops per elapsed second
  double spread[kWorkloads + 1] = {};
  double file_bytes = 0, flush_ms = 0, maxrss_kib = 0;
  double cache7 = 0, lookups7 = 0, syscr7 = -1, majflt7 = -1, blockreads7 = -1, resident7 = -1;
  bool dropped7 = true;
  int depth = -1;
  std::vector<int64_t> levels;
  std::string extra_name;
  double extra_value = 0;
  bool ok = true;
};

Summary summarise(const std::string &name, const std::vector<Sample> &runs) {
  Summary s;
  s.name = name;
  s.runs = runs;
  auto med = [&](auto get) {
    std::vector<double> v;
    for (const Sample &x : runs)
      if (x.exited_ok) v.push_back(get(x));
    return median(v);
  };
  for (int w = 1; w <= kWorkloads; ++w) {
    std::vector<double> v;
    for (const Sample &x : runs)
      if (x.exited_ok) v.push_back(x.result.ops[w]);
    s.ops[w] = median(v);
    s.spread[w] = spread(v);
    s.wall_ops[w] = med([w](const Sample &x) { return x.result.wall_ops[w]; });
  }
  s.file_bytes = med([](const Sample &x) { return static_cast<double>(x.result.file_bytes); });
  s.flush_ms = med([](const Sample &x) { return x.result.flush_ms; });
  s.cache7 = med([](const Sample &x) { return static_cast<double>(x.result.cache7_bytes); });
  s.lookups7 = med([](const Sample &x) { return static_cast<double>(x.result.lookups7); });
  s.syscr7 = med([](const Sample &x) { return x.result.syscr7; });
  s.majflt7 = med([](const Sample &x) { return x.result.majflt7; });
  s.blockreads7 = med([](const Sample &x) { return x.result.blockreads7; });
  s.resident7 = med([](const Sample &x) { return x.result.resident7; });
  s.extra_value = med([](const Sample &x) { return x.result.extra_value; });
  for (const Sample &x : runs) {
    s.maxrss_kib = std::max<double>(s.maxrss_kib, static_cast<double>(x.maxrss_kib));
    s.ok = s.ok && x.exited_ok;
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
  int runs = 3;
  bool quick = false;
  bool n_given = false, runs_given = false;
  double cache_mb = 0;
  std::string dir_opt;
  std::vector<std::string> wanted;
  std::vector<int> thread_counts;
  uint64_t threads_n = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    try {
      if (a == "--n") {
        st.n = std::stoull(value());
        n_given = true;
      } else if (a == "--runs") {
        runs = std::stoi(value());
        runs_given = true;
      } else if (a == "--quick") {
        quick = true;
      } else if (a == "--seed") {
        st.seed = std::stoull(value());
      } else if (a == "--cache-mb") {
        cache_mb = std::stod(value());
      } else if (a == "--lookups7") {
        st.lookups7 = std::stoull(value());
      } else if (a == "--dir") {
        dir_opt = value();
      } else if (a == "--threads") {
        for (const std::string &t : split_list(value())) thread_counts.push_back(std::stoi(t));
      } else if (a == "--threads-n") {
        threads_n = std::stoull(value());
      } else if (a == "--engines") {
        wanted = split_list(value());
      } else {
        usage();
        return 2;
      }
    } catch (const std::exception &) {
      usage();
      return 2;
    }
  }
  if (quick) {
    if (!n_given) st.n = 20000;
    if (!runs_given) runs = 1;
    if (thread_counts.empty()) thread_counts = {1, 2};
  }
  if (thread_counts.empty()) thread_counts = {1, 2, 4, 8};
  if (threads_n == 0) threads_n = std::min<uint64_t>(st.n, 300000);
  if (std::any_of(thread_counts.begin(), thread_counts.end(), [](int t) { return t < 1 || t > 64; }) ||
      threads_n < 2 || threads_n >= (uint64_t{1} << 31)) {
    usage();
    return 2;
  }
  if (runs < 1 || st.n < 2 || st.n >= (uint64_t{1} << 31)) {
    usage();
    return 2;
  }
  st.cache_bytes = cache_mb > 0 ? static_cast<uint64_t>(cache_mb * (1 << 20)) / kPageSize * kPageSize
                                : default_cache_bytes(st.n);
  if (st.lookups7 == 0) st.lookups7 = std::min<uint64_t>(st.n, 200000);

  std::vector<EngineEntry> engines;
  for (const EngineEntry &e : all_engines())
    if (wanted.empty() || std::find(wanted.begin(), wanted.end(), e.name) != wanted.end())
      engines.push_back(e);
  for (const std::string &w : wanted)
    if (std::none_of(engines.begin(), engines.end(), [&](const EngineEntry &e) { return w == e.name; })) {
      std::fprintf(stderr, "peer_bench: unknown or unavailable engine '%s'\n", w.c_str());
      return 2;
    }

  std::string base = dir_opt;
  if (base.empty()) {
    const char *t = std::getenv("TMPDIR");
    base = t != nullptr && *t != '\0' ? t : "/var/tmp";
  }
  std::string tmpl = base + "/qrxpeers.XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::fprintf(stderr, "peer_bench: cannot make a directory under %s\n", base.c_str());
    return 1;
  }
  st.dir = tmpl;

  std::printf(
      "peer_bench: N = %llu, %d run(s), 16-byte keys, 4-byte items, 4096-byte pages, cache budget %s\n",
      static_cast<unsigned long long>(st.n), runs, mib(static_cast<double>(st.cache_bytes)).c_str());
  std::printf("files in %s (removed at the end)\n\n", st.dir.c_str());

  Sample baseline = in_child([&](RunResult &r) { run_baseline(st, r); });

  std::map<std::string, std::vector<Sample>> samples;
  for (int run = 0; run < runs; ++run) {
    for (const EngineEntry &e : engines) {
      std::fprintf(stderr, "run %d/%d: %-7s ...", run + 1, runs, e.name);
      auto t0 = std::chrono::steady_clock::now();
      Sample s = in_child([&](RunResult &r) {
        std::unique_ptr<Engine> eng = e.make();
        run_engine(*eng, st, r);
      });
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::fprintf(stderr, " %s in %.1f s\n", s.exited_ok ? "done" : "FAILED", secs);
      if (!s.exited_ok) std::fprintf(stderr, "  %s: %s\n", e.name, s.result.error);
      samples[e.name].push_back(s);
    }
  }
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
  std::error_code ec;
  std::filesystem::remove_all(st.dir, ec);

  std::vector<Summary> sums;
  for (const EngineEntry &e : engines) sums.push_back(summarise(e.name, samples[e.name]));
  const Summary *qrx = nullptr;
  const Summary *bdb = nullptr;
  const Summary *sqlite = nullptr;
  const Summary *absl = nullptr;
  for (const Summary &s : sums) {
    if (s.name == "qrx") qrx = &s;
    if (s.name == "bdb") bdb = &s;
    if (s.name == "sqlite") sqlite = &s;
    if (s.name == "absl") absl = &s;
  }

  // Table 1: operations per CPU second.
  auto header = [&](const char *first) {
    std::printf("| %-20s |", first);
    for (const Summary &s : sums) std::printf(" %10s |", s.name.c_str());
    std::printf("\n|%s|", std::string(22, '-').c_str());
    for (size_t i = 0; i < sums.size(); ++i) std::printf("%s|", std::string(12, '-').c_str());
    std::printf("\n");
  };
  auto ops_rows = [&](bool wall) {
    for (int w = 1; w <= kWorkloads; ++w) {
      std::printf("| %-20s |", kWorkloadNames[w]);
      for (const Summary &s : sums)
        std::printf(" %10s |", s.ok ? fmt_ops(wall ? s.wall_ops[w] : s.ops[w]).c_str() : "FAILED");
      std::printf("\n");
    }
  };
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
  if (qrx != nullptr && qrx->ok) {
    std::printf(
        "\nSpeed of qrx relative to each engine (qrx ops/s divided by the engine's; above 1 = qrx "
        "faster)\n\n");
    std::printf("| %-20s |", "workload");
    for (const Summary &s : sums)
      if (&s != qrx) std::printf(" %10s |", s.name.c_str());
    std::printf("\n|%s|", std::string(22, '-').c_str());
    for (size_t i = 1; i < sums.size(); ++i) std::printf("%s|", std::string(12, '-').c_str());
    std::printf("\n");
    for (int w = 1; w <= kWorkloads; ++w) {
      std::printf("| %-20s |", kWorkloadNames[w]);
      for (const Summary &s : sums) {
        if (&s == qrx) continue;
        bool have = s.ok && s.ops[w] > 0 && qrx->ops[w] > 0;
        std::printf(" %10s |", have ? fmt("%.2f", qrx->ops[w] / s.ops[w]).c_str() : "n/a");
      }
      std::printf("\n");
    }
  }

  // Elapsed time.
  std::printf(
      "\nOperations per second of elapsed (wall-clock) time, median of %d run(s); workload 7 includes the\n"
      "waits for the disk, which CPU time leaves out\n\n",
      runs);
  header("workload");
  ops_rows(true);

  // Run-to-run spread.
  if (runs > 1) {
    std::printf("\nRun-to-run spread of the CPU-time figures, (max - min) / median in %%\n\n");
    header("workload");
    for (int w = 1; w <= kWorkloads; ++w) {
      std::printf("| %-20s |", kWorkloadNames[w]);
      for (const Summary &s : sums)
        std::printf(" %10s |", s.ops[w] > 0 ? fmt("%.1f", s.spread[w]).c_str() : "n/a");
      std::printf("\n");
    }
  }

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

  bool all_ok = baseline.exited_ok && threads_ok;
  for (const Summary &s : sums) {
    if (!s.ok) {
      all_ok = false;
      for (const Sample &x : s.runs)
        if (!x.exited_ok) std::printf("\n%s FAILED: %s", s.name.c_str(), x.result.error);
    }
  }
  std::printf("\n%s\n", all_ok ? "all runs passed their checks" : "some runs FAILED");
  return all_ok ? 0 : 1;
}

}  // namespace
}  // namespace qrx::peers

int main(int argc, char **argv) {
  return qrx::peers::main_impl(argc, argv);
}
