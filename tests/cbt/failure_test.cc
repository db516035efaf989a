// Failure and misuse paths of index files: changes through read-only files and with null keys, failed
// reads and writes (injected into the block files), a full disk, handles a failed exit left behind, and the
// open flag on disk that makes the next open ask for a verification.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>

#include "cbt/blockio/blockio.h"
#include "cbt/cbt.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

using blockio::FaultOn;
using Codes = std::array<uint32_t, 3>;  // error, context, function
Codes codes() {
  return {*qrxcbecd(), *qrxcbccd(), *qrxcbfcd()};
}

std::string key_of(int i) {
  return "key" + std::to_string(100000 + i) + std::string(static_cast<size_t>(i % 23), 'x');
}
int32_t ins(cbt_tree *t, int i) {
  const std::string k = key_of(i);
  return cbinsert(t, k.data(), uint32_t(k.size()), uint32_t(i), 0);
}
// Entries from cbhead to the end, -1 when the walk fails.
int count(cbt_tree *t) {
  uint32_t item = 0;
  int n = 0, r = cbhead(t, &item);
  for (; r == 1 && n < 100000; r = cbnext(t, &item)) ++n;
  return r == -3 ? n : -1;
}

// Armed for a scope.
struct Fault {
  Fault(FaultOn on, uint64_t nth, bool sticky) { blockio::fault_arm(on, nth, sticky); }
  ~Fault() { blockio::fault_disarm(); }
};

class FailureTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(16, 512), 1); }
  void TearDown() override {
    blockio::fault_disarm();
    cbexit();
  }
  // A closed file of 512-byte blocks holding keys 0..n-1.
  std::string made(const std::string &name, int n) {
    const std::string p = dir_.file(name);
    cbt_tree *t = cbcreate(p.c_str(), nullptr, 512);
    for (int i = 0; i < n; ++i) EXPECT_EQ(ins(t, i), 1);
    EXPECT_EQ(cbclose(t), 1);
    return p;
  }
  TempDir dir_;
  TraceCapture quiet_;
};

// A read-only open upgraded by a read/write one puts the open flag on disk before the pool may write any
// block: a process that ends then leaves a file the next open reports.
TEST_F(FailureTest, UpgradedOpenMarksTheFileOpenBeforeAnyBlockIsWritten) {
  const std::string p = made("up.idx", 0);
  int status = 0;
  const pid_t pid = fork();
  if (pid == 0) {
    cbt_tree *r = cbopen(p.c_str(), 1, nullptr), *w = cbopen(p.c_str(), 2, nullptr);
    bool ok = r && w && peek_i32(p, 0, kCtlOpenflagOff) == -1;
    for (int i = 0; i < 400 && ok; ++i) ok = ins(w, i) == 1;  // 16 buffers: blocks are written back
    _exit(ok ? 0 : 1);                                        // ends without closing
  }
  ASSERT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  cbt_tree *t = cbopen(p.c_str(), 2, nullptr);
  EXPECT_TRUE(t && codes() == (Codes{20, 7, 6}));
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(FailureTest, ReadOnlyFilesAndNullKeysRefuseEveryChange) {
  const std::string p = made("ro.idx", 60), k = key_of(3);
  const auto before = read_file_bytes(p);
  const auto len = uint32_t(k.size());
  for (int mode : {1, 2}) {
    cbt_tree *t = cbopen(p.c_str(), mode, nullptr);
    ASSERT_NE(t, nullptr);
    const uint32_t err = mode == 1 ? 2 : 21, ctx = mode == 1 ? 2 : 10;  // read-only, or the null key
    const char *nk = mode == 1 ? "new" : nullptr;
    EXPECT_TRUE(cbinsert(t, nk, 3, 1, 0) == -1 && codes() == (Codes{err, ctx, 14}));
    EXPECT_TRUE(cbdelete(t, mode == 1 ? k.data() : nullptr, len, 3) == -1 &&
                codes() == (Codes{err, ctx, 15}));
    EXPECT_TRUE(cbmodify(t, k.data(), len, 3, nk, 3, 1, 0) == -1 && codes() == (Codes{err, ctx, 16}));
    EXPECT_TRUE(cbmodify(t, nullptr, len, 3, "b", 1, 1, 0) == -1 && codes()[0] == 21);  // arguments first
    EXPECT_TRUE(cbflush(t) == 1 && count(t) == 60 && cbclose(t) == 1);
    EXPECT_EQ(read_file_bytes(p), before) << mode;
  }
}

// A full disk (the file size limit) fails the append of a new block: highblock stays on the file's last
// block, and once there is room again the file grows and closes clean.
TEST_F(FailureTest, FailedAppendLeavesHighblockSoTheFileGrowsOnceThereIsRoom) {
  signal(SIGXFSZ, SIG_IGN);
  const std::string p = dir_.file("full.idx");
  cbt_tree *t = cbcreate(p.c_str(), nullptr, 512);
  for (int i = 0; i < 30; ++i) ASSERT_EQ(ins(t, i), 1);
  ASSERT_EQ(cbflush(t), 1);
  const auto size = static_cast<rlim_t>(std::filesystem::file_size(p));
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit full{size, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  int i = 30;
  while (i < 300 && ins(t, i) == 1) ++i;
  const Codes failed = codes();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_TRUE(i < 300 && failed[0] == 8) << failed[0];
  EXPECT_EQ(t->ctl->highblock, static_cast<int32_t>(size / 512) - 1);
  for (int j = i; j < i + 200; ++j) ASSERT_EQ(ins(t, j), 1) << j;
  ASSERT_EQ(cbclose(t), 1);
  t = cbopen(p.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(codes()[0] == 0 || codes()[0] == 20);  // 20: the failed insertion had shifted entries
  EXPECT_EQ(qrxcbchk(t), 1);
  EXPECT_EQ(count(t), i + 200);
  EXPECT_EQ(cbclose(t), 1);
}

// cbexit whose first close fails frees the pool all the same: the handles it left are refused (error 3)
// before any block is touched, also under a new pool, and cbclose lets go of them.
TEST_F(FailureTest, HandlesAFailedExitLeftAreRefusedThenReleasedByClose) {
  const std::string a = made("a.idx", 0), b = made("b.idx", 0);
  cbt_tree *ta = cbopen(a.c_str(), 2, nullptr), *tb = cbopen(b.c_str(), 2, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(ins(ta, i) == 1 && ins(tb, i) == 1);
  {
    Fault f(FaultOn::kWrite, 1, true);
    EXPECT_EQ(cbexit(), -1);
  }
  uint32_t item = 0;
  EXPECT_TRUE(cbhead(tb, &item) == -1 && codes() == (Codes{3, 10, 7}));
  EXPECT_TRUE(ins(ta, 500) == -1 && codes()[0] == 3 && qrxcbver(ta) == -1);
  ASSERT_EQ(cbinit(16, 512), 1);  // a new pool, perhaps at the old one's address
  EXPECT_TRUE(cbfind(ta, "a", 1, &item) == -1 && codes()[0] == 3);
  EXPECT_TRUE(cbopen(a.c_str(), 2, nullptr) == nullptr && codes() == (Codes{3, 7, 6}));
  EXPECT_TRUE(cbclose(ta) == -1 && codes() == (Codes{3, 10, 3}));
  EXPECT_TRUE(cbclose(ta) == -1 && codes()[0] == 15);  // gone
  cbt_tree *t = cbopen(a.c_str(), 2, nullptr);         // its close never wrote the open flag off
  EXPECT_TRUE(t && codes()[0] == 20 && cbclose(t) == 1);
  // tb is still listed; the last exit lets go of it without failing.
}

TEST_F(FailureTest, FailedFlushAtCloseKeepsTheHandleAndReportsTheFlush) {
  cbt_tree *t = cbopen(made("cl.idx", 0).c_str(), 2, nullptr);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(ins(t, i), 1);
  {
    Fault f(FaultOn::kWrite, 1, true);
    EXPECT_TRUE(cbclose(t) == -1 && codes() == (Codes{10, 49, 3}));
  }
  EXPECT_TRUE(cbclose(t) == 1 && codes() == (Codes{0, 0, 3}));
}

TEST_F(FailureTest, ModifyReportsAReadErrorOfItsLookupAsSuch) {
  const std::string p = made("mod.idx", 300), k = key_of(7);
  cbt_tree *t = cbopen(p.c_str(), 2, nullptr);  // the first open: nothing cached but block 0
  Fault f(FaultOn::kRead, 1, false);
  EXPECT_EQ(cbmodify(t, k.data(), uint32_t(k.size()), 7, "new", 3, 1, 0), -1);
  EXPECT_EQ(codes(), (Codes{6, 20, 16}));
  EXPECT_EQ(cbclose(t), 1);
}

// Every write of an insertion that splits a leaf and its parent fails in turn: a failure after the split
// had changed blocks leaves the file marked open at the close, so the next open asks for a verification;
// any other outcome is a file that verifies with every other entry in place.
TEST_F(FailureTest, WriteFailingInTheMiddleOfASplitIsReportedByTheNextOpen) {
  const std::string p = dir_.file("split.idx");
  auto build = [&](int n) {
    cbt_tree *t = cbcreate(p.c_str(), nullptr, 512);
    for (int i = 0; i < n; ++i) EXPECT_EQ(ins(t, i), 1);
    return t;
  };
  // The first insertion that appends two blocks (a leaf and an interior node split) and its writes.
  int victim = 0;
  uint64_t writes = 0;
  for (cbt_tree *t = build(0); victim < 3000; ++victim) {
    const int32_t high = t->ctl->highblock;
    blockio::fault_arm(FaultOn::kWrite, UINT64_MAX, false);
    ASSERT_EQ(ins(t, victim), 1);
    writes = blockio::fault_count();
    blockio::fault_disarm();
    if (t->ctl->highblock >= high + 2 && t->ctl->depth > 2) break;
  }
  ASSERT_TRUE(cbexit() == 1 && cbinit(16, 512) == 1);  // closes the file
  int flagged = 0;
  for (uint64_t n = 1; n <= writes; ++n) {
    SCOPED_TRACE("write " + std::to_string(n) + " of " + std::to_string(writes));
    std::filesystem::remove(p);
    cbt_tree *t = build(victim);
    int32_t r = 0;
    {
      Fault f(FaultOn::kWrite, n, false);
      r = ins(t, victim);
    }
    ASSERT_EQ(cbclose(t), 1);
    t = cbopen(p.c_str(), 2, nullptr);
    ASSERT_NE(t, nullptr);
    if (codes()[0] == 20) {
      ++flagged;
      EXPECT_EQ(r, -1);
    } else {
      EXPECT_EQ(qrxcbchk(t), 1);
      EXPECT_EQ(count(t), victim + (r == 1));
    }
    cbclose(t);
  }
  EXPECT_GT(flagged, 0);
}

}  // namespace
}  // namespace qrx::test
