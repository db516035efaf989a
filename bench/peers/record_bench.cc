// record_bench.cc - side-by-side benchmark of this library's record engine against SQLite, Berkeley DB
// and LMDB on records with three indexes (ID, NAME, CITY + AMOUNT), in one program run.
//
// As in peer_bench, every (run, engine) pair runs in a forked child (its peak resident memory is its
// own), every engine gets the same cache budget and 4096-byte pages, and the parent prints medians over
// the runs. A "model" child works out from the records themselves what the range scans must read; every
// engine's range digest is compared with it. A "harness" child measures what a run holds and the work
// per record the harness itself does inside the timed loops.
//
// Usage: record_bench [--n N] [--runs R] [--quick] [--engines qrx,sqlite,...] [--dir DIR] [--cache-mb MB]
//                     [--seed S] [--lookups M] [--updates M] [--scans S]
// Exit status: 0 when every run of every engine passed its checks, 1 otherwise, 2 on bad arguments.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/peers/child.h"
#include "bench/peers/record_workloads.h"
#include "bench/peers/report.h"
#include "bench/peers/stats.h"

namespace qrx::peers {
namespace {

using Sample = ChildSample<RecordRunResult>;

const char *const kWorkloadNames[kRecordWorkloads + 1] = {
    "",
    "1 load",
    "2 lookup by ID",
    "3 lookup by NAME",
    "4 range scans",
    "5 full scan",
    "6 update CODE",
    "7 update NAME",
    "8 delete half",
    "8 add them back",
};

struct Summary {
  std::string name;
  std::vector<Sample> runs;
  double ops[kRecordWorkloads + 1] = {};
  double wall_ops[kRecordWorkloads + 1] = {};
  double spread[kRecordWorkloads + 1] = {};
  double data = 0, index = 0, flush_ms = 0, before_delete = 0, after_delete = 0, after_add = 0;
  double maxrss_kib = 0;
  bool ok = true;
};

Summary summarise(const std::string &name, const std::vector<Sample> &runs) {
  Summary s;
  s.name = name;
  s.runs = runs;
  auto med = [&](auto get) {
    std::vector<double> v;
    for (const Sample &x : runs)
      if (x.exited_ok) v.push_back(static_cast<double>(get(x.result)));
    return median(v);
  };
  for (int w = 1; w <= kRecordWorkloads; ++w) {
    std::vector<double> v;
    for (const Sample &x : runs)
      if (x.exited_ok) v.push_back(x.result.ops[w]);
    s.ops[w] = median(v);
    s.spread[w] = spread(v);
    s.wall_ops[w] = med([w](const RecordRunResult &r) { return r.wall_ops[w]; });
  }
  s.data = med([](const RecordRunResult &r) { return r.data_bytes; });
  s.index = med([](const RecordRunResult &r) { return r.index_bytes; });
  s.flush_ms = med([](const RecordRunResult &r) { return r.flush_ms; });
  s.before_delete = med([](const RecordRunResult &r) { return r.data_before_delete; });
  s.after_delete = med([](const RecordRunResult &r) { return r.data_after_delete; });
  s.after_add = med([](const RecordRunResult &r) { return r.data_after_add; });
  for (const Sample &x : runs) {
    s.maxrss_kib = std::max<double>(s.maxrss_kib, static_cast<double>(x.maxrss_kib));
    s.ok = s.ok && x.exited_ok;
  }
  return s;
}

void usage() {
  std::fprintf(
      stderr,
      "usage: record_bench [--n N] [--runs R] [--quick] [--engines LIST] [--dir DIR] [--cache-mb MB]\n"
      "                    [--seed S] [--lookups M] [--updates M] [--scans S]\n"
      "  --n N          records loaded (default 1000000)\n"
      "  --runs R       runs per engine; medians are printed (default 3)\n"
      "  --quick        N = 20000, 1 run, 100 range scans: a smoke test\n"
      "  --engines L    comma-separated subset of: ");
  for (const RecordEngineEntry &e : all_record_engines()) std::fprintf(stderr, "%s ", e.name);
  std::fprintf(
      stderr,
      "\n  --dir DIR      where the database files go (default $TMPDIR or /var/tmp)\n"
      "  --cache-mb MB  cache budget of every engine (default 256 bytes per record, at least 1 MiB)\n"
      "  --seed S       seed of the records, range starts and shuffles\n"
      "  --lookups M    lookups of workloads 2 and 3 (default N)\n"
      "  --updates M    updates of workloads 6 and 7 (default N/2)\n"
      "  --scans S      range scans of 100 records in workload 4 (default 1000; --quick: 100)\n");
}

int main_impl(int argc, char **argv) {
  RecordSettings st;
  int runs = 3;
  bool quick = false, n_given = false, runs_given = false, scans_given = false;
  double cache_mb = 0;
  std::string dir_opt;
  std::vector<std::string> wanted;
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
      } else if (a == "--lookups") {
        st.lookups = std::stoull(value());
      } else if (a == "--updates") {
        st.updates = std::stoull(value());
      } else if (a == "--scans") {
        st.scans = static_cast<uint32_t>(std::stoul(value()));
        scans_given = true;
      } else if (a == "--dir") {
        dir_opt = value();
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
    if (!scans_given) st.scans = 100;
  }
  if (runs < 1 || st.n < 2 || st.n >= (uint64_t{1} << 31)) {
    usage();
    return 2;
  }
  st.cache_bytes = cache_mb > 0 ? static_cast<uint64_t>(cache_mb * (1 << 20)) / kPageSize * kPageSize
                                : default_record_cache_bytes(st.n);

  std::vector<RecordEngineEntry> engines;
  for (const RecordEngineEntry &e : all_record_engines())
    if (wanted.empty() || std::find(wanted.begin(), wanted.end(), e.name) != wanted.end())
      engines.push_back(e);
  for (const std::string &w : wanted)
    if (std::none_of(engines.begin(), engines.end(),
                     [&](const RecordEngineEntry &e) { return w == e.name; })) {
      std::fprintf(stderr, "record_bench: unknown engine '%s'\n", w.c_str());
      return 2;
    }

  std::string base = dir_opt;
  if (base.empty()) {
    const char *t = std::getenv("TMPDIR");
    base = t != nullptr && *t != '\0' ? t : "/var/tmp";
  }
  std::string tmpl = base + "/qrxrecords.XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::fprintf(stderr, "record_bench: cannot make a directory under %s\n", base.c_str());
    return 1;
  }
  st.dir = tmpl;

  std::printf(
      "record_bench: N = %llu records (ID, NAME 8-24, CITY 5-10, AMOUNT, CODE 8), %d run(s), 4096-byte "
      "pages,\n"
      "cache budget %s for every engine (LMDB has none: it reads through its memory map)\n",
      static_cast<unsigned long long>(st.n), runs, mib(static_cast<double>(st.cache_bytes)).c_str());
  std::printf("files in %s (removed at the end)\n\n", st.dir.c_str());

  Sample baseline = in_child<RecordRunResult>([&](RecordRunResult &r) { run_record_baseline(st, r); });
  Sample model = in_child<RecordRunResult>([&](RecordRunResult &r) {
    r.ranges = expected_ranges(st.seed, st.n, st.scans, st.scan_len);
    r.ok = 1;
  });

  std::map<std::string, std::vector<Sample>> samples;
  for (int run = 0; run < runs; ++run) {
    for (const RecordEngineEntry &e : engines) {
      std::fprintf(stderr, "run %d/%d: %-7s ...", run + 1, runs, e.name);
      auto t0 = std::chrono::steady_clock::now();
      Sample s = in_child<RecordRunResult>([&](RecordRunResult &r) {
        try {
          std::unique_ptr<RecordEngine> eng = e.make();
          run_record_engine(*eng, st, r);
        } catch (const std::exception &ex) {  // the factory failed
          std::snprintf(r.error, sizeof r.error, "%s", ex.what());
        }
      });
      if (s.exited_ok && !(model.exited_ok && s.result.ranges == model.result.ranges)) {
        s.exited_ok = false;
        std::snprintf(s.result.error, sizeof s.result.error,
                      "workload 4: the range scans read %llu records, other ones than the records hold (%llu "
                      "records in their CITY + AMOUNT order)",
                      static_cast<unsigned long long>(s.result.ranges.count),
                      static_cast<unsigned long long>(model.result.ranges.count));
      }
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::fprintf(stderr, " %s in %.1f s\n", s.exited_ok ? "done" : "FAILED", secs);
      if (!s.exited_ok) std::fprintf(stderr, "  %s: %s\n", e.name, s.result.error);
      samples[e.name].push_back(s);
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(st.dir, ec);

  std::vector<Summary> sums;
  for (const RecordEngineEntry &e : engines) sums.push_back(summarise(e.name, samples[e.name]));
  const Summary *qrx = nullptr;
  for (const Summary &s : sums)
    if (s.name == "qrx") qrx = &s;

  auto header = [&](const char *first, bool with_qrx) {
    std::printf("| %-20s |", first);
    size_t cols = 0;
    for (const Summary &s : sums)
      if (with_qrx || &s != qrx) {
        std::printf(" %10s |", s.name.c_str());
        ++cols;
      }
    std::printf("\n|%s|", std::string(22, '-').c_str());
    for (size_t i = 0; i < cols; ++i) std::printf("%s|", std::string(12, '-').c_str());
    std::printf("\n");
  };
  auto ops_rows = [&](bool wall) {
    for (int w = 1; w <= kRecordWorkloads; ++w) {
      std::printf("| %-20s |", kWorkloadNames[w]);
      for (const Summary &s : sums)
        std::printf(" %10s |", s.ok ? fmt_ops(wall ? s.wall_ops[w] : s.ops[w]).c_str() : "FAILED");
      std::printf("\n");
    }
  };
  auto size_row = [&](const char *what, auto get) {
    std::printf("| %-20s |", what);
    for (const Summary &s : sums) std::printf(" %10s |", s.ok ? get(s).c_str() : "FAILED");
    std::printf("\n");
  };

  std::printf(
      "Operations per second of CPU time (user + system of the engine's process; median of %d run(s);\n"
      "k = 10^3, M = 10^6). Workload 4 counts scans of %u records; 5 counts records.\n\n",
      runs, st.scan_len);
  header("workload", true);
  ops_rows(false);
  size_row("peak RSS", [](const Summary &s) { return mib(s.maxrss_kib * 1024); });
  std::printf(
      "\nEvery figure includes the harness's own %.0f ns per record (making a record and adding it to a\n"
      "digest, measured alone); peak RSS includes the harness's own %s.\n",
      baseline.result.ns_per_record, mib(static_cast<double>(baseline.maxrss_kib) * 1024).c_str());

  if (qrx != nullptr && qrx->ok && sums.size() > 1) {
    std::printf(
        "\nSpeed of qrx relative to each engine (qrx ops/s divided by the engine's; above 1 = qrx "
        "faster)\n\n");
    header("workload", false);
    for (int w = 1; w <= kRecordWorkloads; ++w) {
      std::printf("| %-20s |", kWorkloadNames[w]);
      for (const Summary &s : sums) {
        if (&s == qrx) continue;
        bool have = s.ok && s.ops[w] > 0 && qrx->ops[w] > 0;
        std::printf(" %10s |", have ? fmt("%.2f", qrx->ops[w] / s.ops[w]).c_str() : "n/a");
      }
      std::printf("\n");
    }
  }

  std::printf("\nOperations per second of elapsed (wall-clock) time, median of %d run(s)\n\n", runs);
  header("workload", true);
  ops_rows(true);

  if (runs > 1) {
    std::printf("\nRun-to-run spread of the CPU-time figures, (max - min) / median in %%\n\n");
    header("workload", true);
    for (int w = 1; w <= kRecordWorkloads; ++w) {
      std::printf("| %-20s |", kWorkloadNames[w]);
      for (const Summary &s : sums)
        std::printf(" %10s |", s.ops[w] > 0 ? fmt("%.1f", s.spread[w]).c_str() : "n/a");
      std::printf("\n");
    }
  }

  std::printf(
      "\nFiles (median of the runs; each size after a flush). \"in data\": the engine keeps its indexes in "
      "the\n"
      "records' file.\n\n");
  header("file", true);
  size_row("data after load", [](const Summary &s) { return mib(s.data); });
  size_row("indexes after load", [](const Summary &s) { return s.index > 0 ? mib(s.index) : "in data"; });
  size_row("total after load", [](const Summary &s) { return mib(s.data + s.index); });
  size_row("flush after load, ms", [](const Summary &s) { return fmt("%.1f", s.flush_ms); });
  size_row("data before delete", [](const Summary &s) { return mib(s.before_delete); });
  size_row("data after delete", [](const Summary &s) { return mib(s.after_delete); });
  size_row("data after add back", [](const Summary &s) { return mib(s.after_add); });

  bool all_ok = baseline.exited_ok && model.exited_ok;
  if (!model.exited_ok) std::printf("\nthe range model FAILED: %s", model.result.error);
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
