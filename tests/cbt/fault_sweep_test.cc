// Failure of every read or write in turn: a workload of insertions that split and shift, deletions that
// join and lower the tree and modifications runs with the n-th block read or write failing (once, or
// from then on), for 512- and 4096-byte blocks and a small pool that writes blocks back as it goes. After
// each point: every failed call gave -1 with a code, nothing crashed or leaked (ASan/LSan), and once the
// fault clears the file either opens clean, passes the deep check and holds what the model expects, or
// is flagged by the next open (error 20). A file that opens clean but is damaged or lost an entry is a
// silent failure, the one outcome that must never happen.
// Every point is run (under a minute with the sanitizers); the figures of each sweep are printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cbt/blockio/blockio.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

using blockio::FaultOn;

enum class Op { kInsert, kDelete, kModify };
struct Step {
  Op op;
  int key;     // index into keys
  int to = 0;  // kModify: the new key's index
};

struct Workload {
  std::vector<std::string> keys;
  std::vector<Step> steps;
};

// n keys of min_len..max_len bytes, all inserted in a shuffled order; then 3/4 of them deleted, every
// fifth deletion replaced by a modification to a fresh key.
Workload make_workload(uint64_t seed, int n, size_t min_len, size_t max_len) {
  Rng rng(seed);
  Workload w;
  for (int i = 0; i < n * 2; ++i)
    w.keys.push_back(rng.text(size_t(rng.range(int64_t(min_len), int64_t(max_len)))) + std::to_string(i));
  std::vector<int> order(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) order[size_t(i)] = i;
  rng.shuffle(order);
  for (int i : order) w.steps.push_back({Op::kInsert, i});
  rng.shuffle(order);
  for (int j = 0; j < n * 3 / 4; ++j) {
    const int i = order[size_t(j)];
    w.steps.push_back(j % 5 == 0 ? Step{Op::kModify, i, n + i} : Step{Op::kDelete, i});
  }
  return w;
}

enum class State { kAbsent, kPresent, kUnsure };
enum class Outcome { kClean, kFlagged, kSilent };

struct Run {
  Outcome outcome = Outcome::kClean;
  std::string why;  // for a silent failure
};

class Sweep {
 public:
  Sweep(const std::string &path, uint32_t blksize, uint32_t buffers, const Workload &w)
      : path_(path), blksize_(blksize), buffers_(buffers), w_(w) {}

  // The whole workload with the armed fault (if any), the close included; then the file is judged. Each
  // run has a pool of its own: one whose write-backs failed has grown (it never refuses a block while
  // memory lasts), which would change the transfers of the runs after it.
  Run run(FaultOn on, uint64_t nth, bool sticky, bool arm) {
    EXPECT_EQ(cbinit(buffers_, blksize_), 1);
    const Run r = run_workload(on, nth, sticky, arm);
    EXPECT_EQ(cbexit(), 1);
    return r;
  }

 private:
  Run run_workload(FaultOn on, uint64_t nth, bool sticky, bool arm) {
    std::remove(path_.c_str());
    std::vector<State> state(w_.keys.size(), State::kAbsent);
    cbt_tree *t = cbcreate(path_.c_str(), nullptr, blksize_);
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return {Outcome::kSilent, "create failed"};
    if (arm) blockio::fault_arm(on, nth, sticky);
    for (const Step &s : w_.steps) {
      const std::string &k = w_.keys[size_t(s.key)];
      const auto len = uint32_t(k.size()), item = uint32_t(s.key);
      int32_t r = -1;
      switch (s.op) {
        case Op::kInsert:
          r = cbinsert(t, k.data(), len, item, 0);
          break;
        case Op::kDelete:
          r = cbdelete(t, k.data(), len, item);
          break;
        case Op::kModify: {
          const std::string &nk = w_.keys[size_t(s.to)];
          r = cbmodify(t, k.data(), len, item, nk.data(), uint32_t(nk.size()), uint32_t(s.to), 0);
          break;
        }
      }
      EXPECT_TRUE(r == 1 || (r == -1 && *qrxcbecd() != 0)) << "step on key " << s.key << ": " << r;
      const State done = s.op == Op::kInsert ? State::kPresent : State::kAbsent;
      if (r == 1) {
        state[size_t(s.key)] = done;
        if (s.op == Op::kModify) state[size_t(s.to)] = State::kPresent;
      } else if (state[size_t(s.key)] != done) {
        // A failed change may have been applied or not; an entry already in the wanted state stays.
        state[size_t(s.key)] = State::kUnsure;
        if (s.op == Op::kModify) state[size_t(s.to)] = State::kUnsure;
      }
    }
    int32_t closed = cbclose(t);
    const uint32_t why = *qrxcbecd(), ctx = *qrxcbccd();
    blockio::fault_disarm();
    // The handle stays open when the flush failed; a close that failed later has let go of it.
    if (closed != 1) closed = cbclose(t);
    if (closed != 1 && *qrxcbecd() != 15)
      return {Outcome::kSilent, "the close fails after the fault cleared: " + std::to_string(why) + "/" +
                                    std::to_string(ctx) + ", then " + std::to_string(*qrxcbecd())};
    return judge(state);
  }

  Run judge(const std::vector<State> &state) {
    TraceCapture quiet;
    cbt_tree *t = cbopen(path_.c_str(), 1, nullptr);
    if (t == nullptr)
      return {Outcome::kSilent, "the file does not open: error " + std::to_string(*qrxcbecd())};
    Run r;
    if (*qrxcbecd() == 20) {
      r.outcome = Outcome::kFlagged;
    } else if (qrxcbchk(t) != 1) {
      r = {Outcome::kSilent, "opens clean but fails the deep check"};
    } else {
      std::map<uint32_t, bool> seen;  // items found
      uint32_t item = 0;
      int32_t rc = cbhead(t, &item);
      for (size_t n = 0; rc == 1 && n <= state.size(); rc = cbnext(t, &item), ++n) seen[item] = true;
      for (size_t i = 0; i < state.size() && r.why.empty(); ++i) {
        const bool found = seen.count(uint32_t(i)) != 0;
        if ((state[i] == State::kPresent && !found) || (state[i] == State::kAbsent && found))
          r = {Outcome::kSilent,
               "opens clean but entry " + std::to_string(i) + (found ? " is back" : " is lost")};
      }
      if (rc != -3 && r.why.empty()) r = {Outcome::kSilent, "opens clean but the walk fails"};
    }
    cbclose(t);
    return r;
  }

  std::string path_;
  uint32_t blksize_, buffers_;
  const Workload &w_;
};

struct Figures {
  int points = 0, clean = 0, flagged = 0, silent = 0;
};

void sweep(uint32_t blksize, uint32_t buffers, const Workload &w) {
  TempDir dir;
  Sweep s(dir.file("sweep.idx"), blksize, buffers, w);
  // A run without a fault counts the transfers of each kind and must itself be clean.
  std::map<FaultOn, uint64_t> total;
  for (FaultOn on : {FaultOn::kRead, FaultOn::kWrite}) {
    blockio::fault_arm(on, UINT64_MAX, false);
    const Run base = s.run(on, 0, false, false);
    total[on] = blockio::fault_count();
    blockio::fault_disarm();
    ASSERT_EQ(base.outcome, Outcome::kClean) << base.why;
  }
  for (FaultOn on : {FaultOn::kRead, FaultOn::kWrite}) {
    for (bool sticky : {false, true}) {
      Figures f;
      for (uint64_t n = 1; n <= total[on]; ++n) {
        SCOPED_TRACE(std::string(on == FaultOn::kRead ? "read " : "write ") + std::to_string(n) +
                     (sticky ? " and after" : " once"));
        const Run r = s.run(on, n, sticky, true);
        ++f.points;
        (r.outcome == Outcome::kClean ? f.clean : r.outcome == Outcome::kFlagged ? f.flagged : f.silent)++;
        EXPECT_NE(r.outcome, Outcome::kSilent) << r.why;
      }
      std::printf("%4u-byte blocks, %s failing %-10s: %5d points, %5d clean, %5d flagged, %d silent\n",
                  blksize, on == FaultOn::kRead ? "reads " : "writes", sticky ? "from then" : "once",
                  f.points, f.clean, f.flagged, f.silent);
      EXPECT_GT(f.flagged, 0);  // some failure fell in the middle of a change
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
