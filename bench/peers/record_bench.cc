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
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/peers/child.h"
#include "bench/peers/harness.h"
#include "bench/peers/record_workloads.h"
#include "bench/peers/report.h"

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

struct Summary : WorkloadSummary<RecordRunResult, kRecordWorkloads> {
  double data = 0, index = 0, flush_ms = 0, before_delete = 0, after_delete = 0, after_add = 0;
};

Summary summarise(const std::string &name, const std::vector<Sample> &runs) {
  Summary s;
  summarise_workloads(name, runs, s);
  auto med = [&](auto get) { return median_of(runs, get); };
  s.data = med([](const RecordRunResult &r) { return r.data_bytes; });
  s.index = med([](const RecordRunResult &r) { return r.index_bytes; });
  s.flush_ms = med([](const RecordRunResult &r) { return r.flush_ms; });
  s.before_delete = med([](const RecordRunResult &r) { return r.data_before_delete; });
  s.after_delete = med([](const RecordRunResult &r) { return r.data_after_delete; });
  s.after_add = med([](const RecordRunResult &r) { return r.data_after_add; });
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
  CommonOptions o;
  bool scans_given = false;
  bool parsed = parse_options(argc, argv, st, o, [&](const std::string &a, auto value) {
    if (a == "--lookups") {
      st.lookups = std::stoull(value());
    } else if (a == "--updates") {
      st.updates = std::stoull(value());
    } else if (a == "--scans") {
      st.scans = static_cast<uint32_t>(std::stoul(value()));
      scans_given = true;
    } else {
      return false;
    }
    return true;
  });
  if (!parsed) {
    usage();
    return 2;
  }
  if (o.quick && !scans_given) st.scans = 100;
  const int runs = o.runs;
  st.cache_bytes = cache_budget(o.cache_mb, default_record_cache_bytes(st.n));

  std::vector<RecordEngineEntry> engines;
  std::string unknown;
  if (!select_engines(all_record_engines(), o.engines, &engines, &unknown)) {
    std::fprintf(stderr, "record_bench: unknown engine '%s'\n", unknown.c_str());
    return 2;
  }

  st.dir = make_scratch_dir("record_bench", o.dir, "qrxrecords");
  if (st.dir.empty()) return 1;

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

  std::map<std::string, std::vector<Sample>> samples =
      run_rounds(runs, engines, [&](const RecordEngineEntry &e) {
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
          std::snprintf(
              s.result.error, sizeof s.result.error,
              "workload 4: the range scans read %llu records, other ones than the records hold (%llu "
              "records in their CITY + AMOUNT order)",
              static_cast<unsigned long long>(s.result.ranges.count),
              static_cast<unsigned long long>(model.result.ranges.count));
        }
        return s;
      });
  remove_scratch_dir(st.dir);

  std::vector<Summary> sums;
  for (const RecordEngineEntry &e : engines) sums.push_back(summarise(e.name, samples[e.name]));
  const Summary *qrx = find_summary(sums, "qrx");

  auto header = [&](const char *first) { print_header(first, sums); };
  auto ops_rows = [&](bool wall) { print_ops_rows(kWorkloadNames, sums, wall); };
  auto size_row = [&](const char *what, auto get) {
    std::printf("| %-20s |", what);
    for (const Summary &s : sums) std::printf(" %10s |", s.ok ? get(s).c_str() : "FAILED");
    std::printf("\n");
  };

  std::printf(
      "Operations per second of CPU time (user + system of the engine's process; median of %d run(s);\n"
      "k = 10^3, M = 10^6). Workload 4 counts scans of %u records; 5 counts records.\n\n",
      runs, st.scan_len);
  header("workload");
  ops_rows(false);
  size_row("peak RSS", [](const Summary &s) { return mib(s.maxrss_kib * 1024); });
  std::printf(
      "\nEvery figure includes the harness's own %.0f ns per record (making a record and adding it to a\n"
      "digest, measured alone); peak RSS includes the harness's own %s.\n",
      baseline.result.ns_per_record, mib(static_cast<double>(baseline.maxrss_kib) * 1024).c_str());

  if (qrx != nullptr && qrx->ok && sums.size() > 1) print_ratios(kWorkloadNames, sums, *qrx);

  std::printf("\nOperations per second of elapsed (wall-clock) time, median of %d run(s)\n\n", runs);
  header("workload");
  ops_rows(true);

  print_spreads(kWorkloadNames, sums, runs);

  std::printf(
      "\nFiles (median of the runs; each size after a flush). \"in data\": the engine keeps its indexes in "
      "the\n"
      "records' file.\n\n");
  header("file");
  size_row("data after load", [](const Summary &s) { return mib(s.data); });
  size_row("indexes after load", [](const Summary &s) { return s.index > 0 ? mib(s.index) : "in data"; });
  size_row("total after load", [](const Summary &s) { return mib(s.data + s.index); });
  size_row("flush after load, ms", [](const Summary &s) { return fmt("%.1f", s.flush_ms); });
  size_row("data before delete", [](const Summary &s) { return mib(s.before_delete); });
  size_row("data after delete", [](const Summary &s) { return mib(s.after_delete); });
  size_row("data after add back", [](const Summary &s) { return mib(s.after_add); });

  if (!model.exited_ok) std::printf("\nthe range model FAILED: %s", model.result.error);
  return print_verdict(sums, baseline.exited_ok && model.exited_ok);
}

}  // namespace
}  // namespace qrx::peers

int main(int argc, char **argv) {
  return qrx::peers::main_impl(argc, argv);
}
