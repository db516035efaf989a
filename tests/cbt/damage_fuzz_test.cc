// Damaged files: a valid multi-level index, built by cbinsert and closed, is copied and damaged at random
// (bytes of any value, and header and directory words set to plausible block numbers, counts and offsets
// so that the damage passes the structure check and bends links), then opened, walked both ways,
// searched, changed by insertions, deletions and a modification, verified and dumped. Every operation
// must come back: no crash, no read outside a block (ASan/UBSan), no endless loop (a per-iteration alarm
// ends the run with the iteration and seed), and a failure must carry an error code that says why.
//
// QRX_TEST_SEED fixes the seed, QRX_DAMAGE_ITERATIONS the number of iterations (200 by default).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

constexpr unsigned kAlarmSeconds = 60;  // one iteration takes milliseconds; this only catches a hang

volatile sig_atomic_t g_iteration = -1;
volatile uint64_t g_seed = 0;

void on_alarm(int) {
  char msg[160];
  const int n =
      std::snprintf(msg, sizeof msg,
                    "damage_fuzz_test: iteration %d did not finish within %u s (hang); rerun with "
                    "QRX_TEST_SEED=%llu\n",
                    static_cast<int>(g_iteration), kAlarmSeconds, static_cast<unsigned long long>(g_seed));
  if (n > 0) (void)!write(2, msg, static_cast<size_t>(n));
  _exit(3);
}

int iterations() {
  const char *s = std::getenv("QRX_DAMAGE_ITERATIONS");
  return s && *s ? std::atoi(s) : 200;
}

// Error codes a failed operation on a damaged file may leave: block I/O (6 to 9), a cursor left on a
// vanished entry (16), the duplicate rules (17, 18), an empty tree (19), corruption (20), a missing key (21).
bool explained(uint32_t error) {
  return (error >= 6 && error <= 9) || (error >= 16 && error <= 21);
}

class DamageFuzzTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(cbinit(64, 4096), 1);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
  }
  static void TearDownTestSuite() {
    alarm(0);
    cbexit();
  }

  // The valid file: 2500 keys of 1 to 40 letters in 512-byte blocks (a tree of three levels or more).
  void build_base(Rng &rng) {
    cbt_tree *t = cbcreate(base_.c_str(), nullptr, 512);
    ASSERT_NE(t, nullptr);
    for (uint32_t i = 0; keys_.size() < 2500; ++i) {
      KeyItem e{rng.text(static_cast<size_t>(rng.range(1, 40))), i};
      if (cbinsert(t, e.key.data(), static_cast<uint32_t>(e.key.size()), e.item, 1) == 1) keys_.push_back(e);
    }
    ASSERT_GE(cbdepth(t), 3);
    ASSERT_EQ(qrxcbver(t), 1);
    ASSERT_EQ(cbclose(t), 1);
    highblock_ = read_ctl(base_).highblock;
  }

  // Damage of one kind at a random place.
  void damage(const std::string &path, Rng &rng) {
    const uint32_t bs = 512;
    const int32_t blk = static_cast<int32_t>(rng.range(1, highblock_));
    switch (rng.below(6)) {
      case 0: {  // a few bytes of any value anywhere in a node
        const uint32_t at = static_cast<uint32_t>(rng.below(bs - 4));
        patch_bytes(path, blk, at, {static_cast<uint8_t>(rng.next()), static_cast<uint8_t>(rng.next())});
        break;
      }
      case 1: {  // a sibling link or the low path to another block (or none, or out of the file)
        static const uint32_t kLinks[] = {kNodeLowPathOff, kNodeLeftOff, kNodeRightOff};
        patch_i32(path, blk, kLinks[rng.below(3)], static_cast<int32_t>(rng.range(-2, highblock_ + 3)));
        break;
      }
      case 2: {  // an interior entry's child, or a directory word of an entry
        const bool leaf = peek_i32(path, blk, kNodeLowPathOff) == -1;
        const int32_t cnt = peek_i32(path, blk, kNodeKeyCntOff);
        if (cnt <= 0 || cnt > 40) break;
        const int32_t i = static_cast<int32_t>(rng.below(static_cast<uint64_t>(cnt)));
        static const uint32_t kWords[] = {kEntryOffsetOff, kEntryLenOff, kEntryItemOff, kEntryChildOff};
        const uint32_t word = kWords[rng.below(leaf ? 3 : 4)];
        const int32_t value = word == kEntryChildOff ? static_cast<int32_t>(rng.range(-1, highblock_ + 2))
                                                     : static_cast<int32_t>(rng.range(-4, bs + 4));
        patch_i32(path, blk, entry_pos(leaf, i) + word, value);
        break;
      }
      case 3:  // key count or heap end
        patch_i32(path, blk, rng.one_in(2) ? kNodeKeyCntOff : kNodeHeapEndOff,
                  static_cast<int32_t>(rng.range(-2, 60)));
        break;
      case 4: {  // key bytes: breaks the order without touching the structure
        const int32_t heap = peek_i32(path, blk, kNodeHeapEndOff);
        if (heap < 20 || heap >= static_cast<int32_t>(bs)) break;
        patch_bytes(path, blk, static_cast<uint32_t>(rng.range(heap, bs - 1)),
                    {static_cast<uint8_t>(rng.next())});
        break;
      }
      case 5: {  // the control record, with its parity made right again
        CtlFields c = read_ctl(path);
        int32_t *fields[] = {&c.root, &c.lowleaf, &c.highleaf, &c.freechain, &c.depth, &c.highblock};
        *fields[rng.below(6)] = static_cast<int32_t>(rng.range(-1, highblock_ + 2));
        write_ctl(path, c);
        break;
      }
    }
  }

  void count(const char *op, int32_t result) {
    if (result != -1) return;
    const uint32_t e = *qrxcbecd();
    ++errors_[e];
    EXPECT_TRUE(explained(e)) << op << " failed with error " << e << " (" << qrxcberr(static_cast<int32_t>(e))
                              << "), iteration " << g_iteration;
  }

  // Everything a caller might do with the file.
  void exercise(cbt_tree *t, Rng &rng) {
    uint32_t item = 0;
    const int64_t bound = static_cast<int64_t>(keys_.size()) + 50;  // a looping level must not hold the test
    int32_t r = cbhead(t, &item);
    for (int64_t n = 0; r == 1 && n < bound; ++n) r = cbnext(t, &item);
    count("cbnext", r);
    r = cbtail(t, &item);
    for (int64_t n = 0; r == 1 && n < bound; ++n) r = cbprev(t, &item);
    count("cbprev", r);
    for (int i = 0; i < 20; ++i) {
      const KeyItem &k = keys_[rng.below(keys_.size())];
      count("cbfind", cbfind(t, k.key.data(), static_cast<uint32_t>(k.key.size()), &item));
      uint32_t want = k.item;
      count("cbfinditem", cbfinditem(t, k.key.data(), static_cast<uint32_t>(k.key.size()), &want));
      char buf[64];
      count("cbkey", cbkey(t, buf, sizeof buf));
    }
    for (int i = 0; i < 30; ++i) {
      const std::string key = rng.text(static_cast<size_t>(rng.range(1, 60)));
      count("cbinsert", cbinsert(t, key.data(), static_cast<uint32_t>(key.size()), rng.item(), 1));
    }
    for (int i = 0; i < 60; ++i) {
      const KeyItem &k = keys_[rng.below(keys_.size())];
      count("cbdelete", cbdelete(t, k.key.data(), static_cast<uint32_t>(k.key.size()), k.item));
    }
    const KeyItem &m = keys_[rng.below(keys_.size())];
    const std::string nkey = m.key + "~";
    count("cbmodify", cbmodify(t, m.key.data(), static_cast<uint32_t>(m.key.size()), m.item, nkey.data(),
                               static_cast<uint32_t>(nkey.size()), m.item, 1));
    count("cbmark", cbmark(t));
    count("cbfindmark", cbfindmark(t, &item));
    const int32_t v = qrxcbver(t);
    ++verdicts_[v];
    FILE *null = std::fopen("/dev/null", "w");
    ASSERT_NE(null, nullptr);
    qrxcbdmp(t, 0, null);
    qrxcbdmp(t, 1, null);
    std::fclose(null);
  }

  TempDir dir_;
  std::string base_ = dir_.file("base.idx");
  std::vector<KeyItem> keys_;
  int32_t highblock_ = 0;
  std::map<uint32_t, int> errors_;   // error code -> failed operations
  std::map<int32_t, int> verdicts_;  // qrxcbver result -> iterations
};

TEST_F(DamageFuzzTest, OperationsOnDamagedFilesEndWithoutCrashOrHang) {
  Rng rng(20240611);
  QRX_TRACE_SEED(rng);
  g_seed = rng.seed();
  build_base(rng);
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<uint8_t> base = read_file_bytes(base_);
  int opened = 0;
  const int n = iterations();
  for (int it = 0; it < n; ++it) {
    g_iteration = it;
    alarm(kAlarmSeconds);
    // Each iteration uses a file of its own: a handle that cannot be closed keeps its name registered.
    const std::string path = dir_.file("d" + std::to_string(it) + ".idx");
    {
      FILE *f = std::fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(std::fwrite(base.data(), 1, base.size(), f), base.size());
      std::fclose(f);
    }
    // Every tenth iteration stays undamaged: the harness itself must see a sound file as sound.
    const bool undamaged = it % 10 == 0;
    const int damages = undamaged ? 0 : static_cast<int>(rng.range(1, 6));
    for (int d = 0; d < damages; ++d) damage(path, rng);
    {
      TraceCapture quiet;  // keep the expected error lines out of the test's output
      cbt_tree *t = cbopen(path.c_str(), 2, nullptr);
      if (t != nullptr) {
        ++opened;
        if (undamaged) {
          EXPECT_EQ(qrxcbver(t), 1) << "iteration " << it;
        }
        exercise(t, rng);
        if (undamaged) {
          EXPECT_EQ(qrxcbver(t), 1) << "iteration " << it;
        }
        cbclose(t);
      } else {
        ++errors_[*qrxcbecd()];
      }
    }
    alarm(0);
    std::filesystem::remove(path);
  }
  EXPECT_GT(opened, n / 2);
  // The damage must have mattered: some damaged files fail verification.
  EXPECT_GT(verdicts_[-1], 0);
  std::string summary = "iterations " + std::to_string(n) + ", opened " + std::to_string(opened) +
                        ", verified " + std::to_string(verdicts_[1]) + ", failed verification " +
                        std::to_string(verdicts_[-1]) + "; failed operations by error:";
  for (const auto &[e, c] : errors_) summary += " " + std::to_string(e) + "x" + std::to_string(c);
  std::printf("%s\n", summary.c_str());
}

}  // namespace
}  // namespace qrx::test
