// Every block read or write in turn fails (once, or from then on), every block transfer in turn moves its
// bytes in short pieces, and every allocation in turn fails, under a workload of insertions, deletions
// and modifications that split, shift, join and lower trees of 512- and 4096-byte blocks in a small pool.
// Failed calls give -1 with a code; once the fault clears the file opens clean, passes the deep check and
// holds what the model expects, or the next open flags it (error 20). A clean open of a damaged file or
// of a file that lost an entry is a silent failure, which must never happen. Short transfers must all
// complete: every call succeeds. The figures are printed.
//
// The workload allocates nothing of its own while a fault is armed, so the allocations counted are the
// library's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cbt/blockio/blockio.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/counted_new.h"
#include "support/faults.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

using blockio::FaultOn;

// Key i of the workload is inserted; 3/4 of them are then deleted, every fifth deletion being a
// modification to key n + i instead.
struct Workload {
  std::vector<std::string> keys;           // 2n keys
  std::vector<std::pair<int, int>> steps;  // (key, -1) insert, (key, -2) delete, (key, new key) modify
};

Workload make_workload(uint64_t seed, int n, int64_t min_len, int64_t max_len) {
  Rng rng(seed);
  Workload w;
  for (int i = 0; i < n * 2; ++i)
    w.keys.push_back(rng.text(size_t(rng.range(min_len, max_len))) + std::to_string(i));
  std::vector<int> order(size_t(n), 0);
  for (int i = 0; i < n; ++i) order[size_t(i)] = i;
  rng.shuffle(order);
  for (int i : order) w.steps.push_back({i, -1});
  rng.shuffle(order);
  for (int j = 0; j < n * 3 / 4; ++j)
    w.steps.push_back({order[size_t(j)], j % 5 == 0 ? n + order[size_t(j)] : -2});
  return w;
}

enum State { kAbsent, kPresent, kUnsure };
enum Outcome { kClean, kFlagged, kSilent };

// What goes wrong here: block reads or writes fail, transfers move short pieces, or allocations fail.
const char *kind_name(Fault k) {
  return k == Fault::kRead            ? "reads failing"
         : k == Fault::kWrite         ? "writes failing"
         : k == Fault::kShortTransfer ? "transfers short"
                                      : "allocations failing";
}

// One run in a pool of its own (a pool whose write-backs failed has grown, which would change the
// transfers of the runs after it): the workload with the fault armed, the close included; then the file
// is judged. *why says what a silent failure was.
// Allocations are armed before cbinit, since the pool, the control record and the handle are made
// there and at cbcreate; the other kinds after cbcreate.
Outcome run(const std::string &path, uint32_t blksize, uint32_t buffers, const Workload &w, Fault kind,
            uint64_t nth, bool sticky, std::string *why) {
  const bool from_start = kind == Fault::kAllocation;
  std::remove(path.c_str());
  std::vector<State> state(w.keys.size(), kAbsent);
  if (from_start) arm_fault(kind, nth, sticky);
  const int32_t started = cbinit(buffers, blksize);
  EXPECT_TRUE(started == 1 || (from_start && started == -1 && *qrxcbecd() != 0)) << started;
  cbt_tree *t = started == 1 ? cbcreate(path.c_str(), nullptr, blksize) : nullptr;
  EXPECT_TRUE(t != nullptr || (from_start && *qrxcbecd() != 0));
  int failed = 0;
  if (!from_start) arm_fault(kind, nth, sticky);
  static const decltype(w.steps) kNoSteps;  // both lvalues: the steps are not copied while armed
  for (const auto &[i, to] : t != nullptr ? w.steps : kNoSteps) {
    const std::string &k = w.keys[size_t(i)], &nk = w.keys[size_t(std::max(to, 0))];
    const auto len = uint32_t(k.size());
    const int32_t r =
        to == -1   ? cbinsert(t, k.data(), len, uint32_t(i), 0)
        : to == -2 ? cbdelete(t, k.data(), len, uint32_t(i))
                   : cbmodify(t, k.data(), len, uint32_t(i), nk.data(), uint32_t(nk.size()), uint32_t(to), 0);
    EXPECT_TRUE(r == 1 || (r == -1 && *qrxcbecd() != 0)) << "key " << i << ": " << r;
    failed += r != 1;
    // A failed change may have been applied or not; an entry already as wanted stays so.
    const State done = to == -1 ? kPresent : kAbsent;
    if (r == 1 || state[size_t(i)] != done) state[size_t(i)] = r == 1 ? done : kUnsure;
    if (to >= 0) state[size_t(to)] = r == 1 ? kPresent : kUnsure;
  }
  const bool closed = t != nullptr && cbclose(t) == 1;
  disarm_faults();
  if (kind == Fault::kShortTransfer && (failed != 0 || !closed)) *why = "a short transfer made a call fail";
  // The handle stays open when the flush failed; a close that failed later has let go of it.
  if (t != nullptr && !closed && cbclose(t) != 1 && *qrxcbecd() != 15)
    *why = "the close fails after the fault cleared";
  if (started != 1) {  // a failed first cbinit still counts: its cbexit finds no pool
    EXPECT_EQ(cbexit(), -1);
    EXPECT_EQ(*qrxcbecd(), 3);
    EXPECT_EQ(cbinit(buffers, blksize), 1);
  }
  // A create that failed made no file, or took away what it had begun.
  if (t == nullptr) {
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "a failed create left " << path;
    EXPECT_EQ(cbexit(), 1);
    return kClean;
  }
  TraceCapture quiet;
  t = cbopen(path.c_str(), 1, nullptr);
  // A flagged file may be damaged, but then the deep check must say so: it may not pass a lost entry.
  const bool flagged = t && *qrxcbecd() == 20, sound = t && qrxcbchk(t) == 1;
  const std::string as = flagged ? "passes the deep check" : "opens clean";
  if (t == nullptr) {
    *why = "the file does not open";
  } else if (!flagged && !sound) {
    *why = "opens clean but fails the deep check";
  } else if (sound) {
    std::map<uint32_t, bool> found;
    uint32_t item = 0;
    int32_t rc = cbhead(t, &item);
    for (size_t n = 0; rc == 1 && n <= state.size(); rc = cbnext(t, &item), ++n) found[item] = true;
    for (size_t i = 0; i < state.size(); ++i)
      if (state[i] != kUnsure && (state[i] == kPresent) != found.count(uint32_t(i)))
        *why = as + " but entry " + std::to_string(i) + (found.count(uint32_t(i)) ? " is back" : " is lost");
    if (rc != -3) *why = as + " but the walk fails";
  }
  if (t) cbclose(t);
  EXPECT_EQ(cbexit(), 1);
  return !why->empty() ? kSilent : flagged ? kFlagged : kClean;
}

void sweep(uint32_t blksize, uint32_t buffers, const Workload &w) {
  TempDir dir;
  const std::string path = dir.file("sweep.idx");
  for (Fault kind : {Fault::kRead, Fault::kWrite, Fault::kShortTransfer, Fault::kAllocation}) {
    std::string why;  // a run without a fault counts the transfers and must itself be clean
    ASSERT_EQ(run(path, blksize, buffers, w, kind, UINT64_MAX, false, &why), kClean) << why;
    const uint64_t total = faults_counted(kind);
    ASSERT_GT(total, 0u) << kind_name(kind);
    // Short transfers are swept at every point of the database and keyed-file lives; here one point
    // in `stride` is enough to cover every kind of block change.
    const uint64_t stride = kind == Fault::kShortTransfer ? std::max<uint64_t>(1, total / 150) : 1;
    for (bool sticky : {false, true}) {
      int figures[3] = {0, 0, 0};
      for (uint64_t n = 1; n <= total; n += stride) {
        const Outcome o = run(path, blksize, buffers, w, kind, n, sticky, &why);
        ++figures[o];
        EXPECT_NE(o, kSilent) << kind_name(kind) << " " << n << (sticky ? " on: " : ": ") << why;
        why.clear();
      }
      std::printf(
          "%4u-byte blocks, %-19s %-10s: %5llu points (every %llu swept), %5d clean, %5d flagged, %d "
          "silent\n",
          blksize, kind_name(kind), sticky ? "from then" : "once", static_cast<unsigned long long>(total),
          static_cast<unsigned long long>(stride), figures[kClean], figures[kFlagged], figures[kSilent]);
      // Short transfers all complete; some failed read or write fell in the middle of a change.
      if (kind == Fault::kShortTransfer) {
        EXPECT_EQ(figures[kClean], int((total + stride - 1) / stride));
      }
      if (kind == Fault::kRead || kind == Fault::kWrite) {
        EXPECT_GT(figures[kFlagged], 0);
      }
    }
  }
}

TEST(FaultSweep, SmallBlocksSplitsShiftsJoinsAndLowerings) {
  sweep(512, 12, make_workload(20261205, 600, 6, 40));
}

TEST(FaultSweep, LargeBlocksWithLongKeys) {
  sweep(4096, 8, make_workload(20261206, 300, 150, 700));
}

}  // namespace
}  // namespace qrx::test
