// The layer frame (cbinit/cbexit counting and argument fixing, cbaddbufs/cbrmbufs, the text tables), the
// control record and tree handles: cbcreate, cbopen (sharing, files not closed properly), cbclose,
// cbblksize, cbexit with open handles, the handle checks, and what misuse and failed reads and writes
// (injected into the block files) leave behind: refused changes, a full disk, handles a failed exit left,
// and the codes of failed calls.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>

#include "cbt/blockio/blockio.h"
#include "cbt/cbt.h"
#include "cbt/ctl.h"
#include "cbt/pool/pool.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_checker.h"

namespace {

namespace tb = qrx::test;
namespace fs = std::filesystem;

using Codes = std::array<uint32_t, 3>;  // error, context, function
const auto codes = [] { return Codes{*qrxcbecd(), *qrxcbccd(), *qrxcbfcd()}; };
const auto openflag = [](const std::string &p) { return tb::read_ctl(p).openflag; };

using qrx::cbt::cbt_anchor_peek;

// Buffers really in the pool, not the count callers see.
const auto pool_buffers = [] {
  return cbt_anchor_peek()->pool ? pool_buffer_count(cbt_anchor_peek()->pool) : 0u;
};

TEST(Frame, InitFixesItsArgumentsAndCountsUntilTheLastExit) {
  const std::array<uint32_t, 4> cases[] = {
      {0, 0, 5, 512}, {2, 20, 4, 512}, {10, 36, 10, 36}, {3, 35, 4, 512}, {4, 37, 4, 37}};
  for (auto [cnt, size, want_cnt, want_size] : cases) {
    ASSERT_EQ(cbinit(cnt, size), 1);
    EXPECT_TRUE(cbbufcnt() == want_cnt && cbbufsize() == want_size && pool_buffers() == want_cnt)
        << cnt << "x" << size;
    ASSERT_EQ(cbexit(), 1);
  }
  ASSERT_TRUE(cbinit(6, 1024) == 1 && cbinit(20, 8192) == 1);  // the second is counted, its arguments ignored
  EXPECT_TRUE(cbbufsize() == 1024 && cbexit() == 1 && pool_buffers() == 6);
  EXPECT_TRUE(cbexit() == 1 && cbt_anchor_peek()->pool == nullptr);
  EXPECT_TRUE(cbexit() == -1 && *qrxcbecd() == 3 && cbt_anchor_peek()->initcnt == 0);  // one too many
}

TEST(Frame, AddingAndRemovingBuffers) {
  ASSERT_EQ(cbinit(10, 512), 1);
  EXPECT_TRUE(cbrmbufs(100) == 6 && pool_buffers() == 4);  // never below four
  EXPECT_TRUE(cbaddbufs(3) == 3 && cbbufcnt() == 7);
  // Buffers the pool adds by itself when it runs dry are not the callers' to remove.
  ASSERT_EQ(expand_pool(cbt_anchor_peek()->pool, 2), 2u);
  EXPECT_TRUE(cbrmbufs(10) == 3 && pool_buffers() == 6);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_TRUE(cbaddbufs(5) == 0 && *qrxcbecd() == 3);
}

TEST(Frame, TextTablesAndTheirEnds) {
  for (auto [got, want] : {std::pair{qrxcberr(22), "no mark in index"},
                           {qrxcberr(23), "Unknown cbt error number"},
                           {qrxcberr(-1), "Unknown cbt error number"},
                           {qrxcbfcn(26), "cbblksize"},
                           {qrxcbfcn(27), "Unknown cbt function number"},
                           {qrxcbcon(50), "positioning to mark in index"},
                           {qrxcbcon(51), "Unknown cbt context number"},
                           {qrxcbcon(INT32_MIN), "Unknown cbt context number"}})
    EXPECT_STREQ(got, want);
}

int open_descriptors(const std::string &path) {  // of this process, on that file
  int n = 0;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/proc/self/fd")) n += fs::equivalent(e.path(), path, ec);
  return n;
}

std::string key_of(int i) {
  return "key" + std::to_string(100000 + i) + std::string(static_cast<size_t>(i % 23), 'x');
}
int32_t ins(cbt_tree *t, int i) {
  const std::string k = key_of(i);
  return cbinsert(t, k.data(), uint32_t(k.size()), uint32_t(i), 0);
}
int count(cbt_tree *t) {  // entries from cbhead to the end, -1 when the walk fails
  uint32_t item = 0;
  int n = 0, r = cbhead(t, &item);
  for (; r == 1 && n < 100000; r = cbnext(t, &item)) ++n;
  return r == -3 ? n : -1;
}

// A file of keys 0..n-1; false also while the name has a record.
bool make(const std::string &p, uint32_t blksize = 512, int n = 0) {
  cbt_tree *t = cbcreate(p.c_str(), nullptr, blksize);
  for (int i = 0; t && i < n; ++i) EXPECT_EQ(ins(t, i), 1);
  return t && cbclose(t) == 1;
}

using qrx::blockio::FaultOn;

class CtlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(8, 4096), 1); }
  void TearDown() override {
    qrx::blockio::fault_disarm();
    EXPECT_EQ(cbexit(), 1);  // every test leaves one init
  }
  std::string made(std::string n, uint32_t b = 512, int keys = 0) {
    return make(dir.file(n), b, keys) ? dir.file(n) : "";
  }
  tb::TempDir dir;
};

TEST_F(CtlTest, CreateFixesBlockSizes) {
  for (auto [asked, want] : {std::pair{0u, 512u}, {50u, 88u}, {88u, 88u}, {4096u, 4096u}}) {
    std::string p = made("bs" + std::to_string(asked), asked);
    EXPECT_TRUE(cbblksize(p.c_str()) == static_cast<int32_t>(want) && fs::file_size(p) == want) << asked;
  }
  EXPECT_TRUE(!make(dir.file("big"), 4097) && codes() == (Codes{13, 9, 4}) && !fs::exists(dir.file("big")));
}

TEST_F(CtlTest, NewFileHoldsExactlyTheControlRecord) {
  ASSERT_TRUE(cbexit() == 1 && cbinit(4, 131072) == 1);
  const std::string p = dir.file("exact");
  cbt_tree *t = cbcreate(p.c_str(), nullptr, 0x00011234);  // above 65535: both halfwords count in the parity
  std::string want(0x00011234, '\0');
  want[1] = 0x01, want[2] = 0x12, want[3] = 0x34;           // blksize
  want[30] = 0x12, want[31] = 0x35;                         // parity 0x0001 ^ 0x1234
  std::fill(want.begin() + 32, want.begin() + 36, '\xff');  // openflag -1 while open for writing
  EXPECT_EQ(tb::read_file(p), want);                        // complete before any close
  std::fill(want.begin() + 32, want.begin() + 36, '\0');    // 0 after the close
  EXPECT_TRUE(t && cbclose(t) == 1 && tb::read_file(p) == want);
}

TEST_F(CtlTest, ThreeHandlesShareOneRecordAndTheFileClosesWithTheLast) {
  std::string p = made("shared");
  cbt_tree *r1 = cbopen(p.c_str(), 0, 0), *r2 = cbopen(p.c_str(), 1, 0), *w = cbopen(p.c_str(), 3, 0);
  ASSERT_TRUE(r1 && r2 && w && r1->ctl == w->ctl && r2->ctl == w->ctl &&
              w->ctl->nopen == 3);  // 3: read/write
  ASSERT_TRUE(cbclose(w) == 1 && cbclose(r1) == 1);
  EXPECT_TRUE(open_descriptors(p) == 1 && openflag(p) == -1);
  EXPECT_TRUE(cbclose(r2) == 1 && open_descriptors(p) == 0 && openflag(p) == 0);
  EXPECT_TRUE(tb::index_ok(p) && make(p));  // the last close wrote a sound control record
}

TEST_F(CtlTest, FlippedControlRecordByteFailsParity) {
  const std::string clean = tb::read_file(made("good"));
  for (uint32_t off : {4u, 15u, 27u, 28u, 31u}) {  // behind the block size, parity included
    std::string p = dir.file("flip" + std::to_string(off)), bytes = clean;
    bytes[off] ^= 0x10, tb::write_file(p, bytes);
    tb::TraceCapture cap;
    EXPECT_TRUE(cbopen(p.c_str(), 2, nullptr) == nullptr && codes() == (Codes{12, 7, 6})) << off;
    const std::string line = "Invalid Parity Check s/b " + std::to_string(tb::read_ctl(p).vparity);
    EXPECT_TRUE(cap.count(QRXHOST_KIND_ERROR, line) == 1 && tb::read_file(p) == bytes &&
                open_descriptors(p) == 0);
    EXPECT_TRUE(cbblksize(p.c_str()) == -1 && codes() == (Codes{12, 7, 26})) << off;
  }
}

// Opened for writing, or read-only then upgraded: the open flag is on disk before any other block, so a
// process that ends with changes leaves a file the next open reports.
TEST_F(CtlTest, FileLeftOpenByAnEndedProcessIsReported) {
  for (bool upgraded : {false, true}) {
    std::string p = made(upgraded ? "up" : "dead");
    int status = 0, pid = fork();
    if (pid == 0) {
      cbt_tree *r = upgraded ? cbopen(p.c_str(), 1, nullptr) : nullptr, *w = cbopen(p.c_str(), 2, nullptr);
      bool ok = w && (r || !upgraded) && *qrxcbecd() == 0 && openflag(p) == -1;
      for (uint32_t i = 0; i < 400 && ok; ++i)
        ok = cbinsert(w, "key", 3, i, 1) == 1;  // 8 buffers: written back
      _exit(ok ? 0 : 1);                        // ends without closing
    }
    ASSERT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(openflag(p), -1);
    for (int mode : {1, 2}) {  // read-only leaves the flag on disk; read/write clears it at close
      tb::TraceCapture cap;
      cbt_tree *t = cbopen(p.c_str(), mode, nullptr);
      EXPECT_TRUE(t && codes() == (Codes{20, 7, 6})) << mode;
      EXPECT_EQ(cap.count(QRXHOST_KIND_NOTICE, p + " was not closed properly. Verify required"), 1);
      EXPECT_TRUE(cap.contains(QRXHOST_KIND_MESSAGE, "QRX0001") && cap.contains(QRXHOST_KIND_MESSAGE, p));
      EXPECT_TRUE(cbclose(t) == 1 && openflag(p) == (mode == 1 ? -1 : 0)) << mode;
    }
  }
}

TEST_F(CtlTest, InvalidHandlesAreRefused) {
  auto refused = [](cbt_tree *t, uint32_t err) {
    uint32_t i = 0;
    EXPECT_TRUE(cbhead(t, &i) == -1 && codes() == (Codes{err, 10, 7}));
    for (int32_t rc : {cbdepth(t), cbflush(t), cbmark(t), cbfind(t, "a", 1, &i), cbclose(t)})
      EXPECT_EQ(rc, -1);
    EXPECT_EQ(codes()[0], err);
  };
  refused(nullptr, 15);
  uint64_t junk[16] = {0xdeadbeef, 1, 2, 3};
  refused(reinterpret_cast<cbt_tree *>(junk), 15);
  cbt_tree *t = cbopen(made("stale").c_str(), 2, nullptr);
  ASSERT_TRUE(t && cbclose(t) == 1);
  refused(t, 15);  // closed already
  ASSERT_NE(t = cbopen(dir.file("stale").c_str(), 2, nullptr), nullptr);
  qrx::cbt::CtlRec *real = t->ctl;
  t->ctl = reinterpret_cast<qrx::cbt::CtlRec *>(junk);  // a record the registry does not know
  refused(t, 14);
  t->ctl = real;
}

TEST_F(CtlTest, LastExitClosesEveryHandle) {
  std::string a = made("a"), b = made("b");
  cbt_tree *x = cbopen(a.c_str(), 2, 0), *y = cbopen(b.c_str(), 2, 0), *z = cbopen(b.c_str(), 1, 0);
  ASSERT_TRUE(x && y && z && cbexit() == 1);
  EXPECT_TRUE(openflag(a) == 0 && openflag(b) == 0 && open_descriptors(a) + open_descriptors(b) == 0);
  ASSERT_EQ(cbinit(8, 4096), 1);
  EXPECT_TRUE(cbdepth(z) == -1 && codes()[0] == 15 && make(a) && make(b));
}

TEST_F(CtlTest, ReadOnlyFilesAndNullKeysRefuseEveryChange) {
  const std::string p = made("ro.idx", 512, 60), k = key_of(3);
  const std::string before = tb::read_file(p);
  const auto len = uint32_t(k.size());
  for (int mode : {1, 2}) {
    cbt_tree *t = cbopen(p.c_str(), mode, nullptr);
    const uint32_t err = mode == 1 ? 2 : 21, ctx = mode == 1 ? 2 : 10;  // read-only, or the null key
    const char *nk = mode == 1 ? "new" : nullptr;
    EXPECT_TRUE(cbinsert(t, nk, 3, 1, 0) == -1 && codes() == (Codes{err, ctx, 14}));
    EXPECT_TRUE(cbdelete(t, mode == 1 ? k.data() : nullptr, len, 3) == -1 &&
                codes() == (Codes{err, ctx, 15}));
    EXPECT_TRUE(cbmodify(t, k.data(), len, 3, nk, 3, 1, 0) == -1 && codes() == (Codes{err, ctx, 16}));
    EXPECT_TRUE(cbmodify(t, nullptr, len, 3, "b", 1, 1, 0) == -1 && codes()[0] == 21);  // arguments first
    EXPECT_TRUE(cbflush(t) == 1 && count(t) == 60 && cbclose(t) == 1);
    EXPECT_EQ(tb::read_file(p), before) << mode;
  }
}

// A full disk (the file size limit) fails the append of a new block: highblock stays on the file's last
// block, and once there is room again the file grows and closes clean.
TEST_F(CtlTest, FailedAppendLeavesHighblockSoTheFileGrowsOnceThereIsRoom) {
  signal(SIGXFSZ, SIG_IGN);
  const std::string p = dir.file("full.idx");
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
  EXPECT_TRUE(i < 300 && failed[0] == 8 && t->ctl->highblock == int32_t(size / 512) - 1) << failed[0];
  for (int j = i; j < i + 200; ++j) ASSERT_EQ(ins(t, j), 1) << j;
  ASSERT_TRUE(cbclose(t) == 1 && (t = cbopen(p.c_str(), 2, nullptr)));
  // Error 20 when the failed insertion had shifted entries before the split that needed the block.
  EXPECT_TRUE((codes()[0] == 0 || codes()[0] == 20) && qrxcbchk(t) == 1 && count(t) == i + 200);
  EXPECT_EQ(cbclose(t), 1);
}

// cbexit whose first close fails frees the pool all the same: the handles it left are refused (error 3)
// before any block is touched, also under a new pool, and cbclose lets go of them.
TEST_F(CtlTest, HandlesAFailedExitLeftAreRefusedThenReleasedByClose) {
  const std::string a = made("a.idx"), b = made("b.idx");
  cbt_tree *ta = cbopen(a.c_str(), 2, nullptr), *tb = cbopen(b.c_str(), 2, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(ins(ta, i) == 1 && ins(tb, i) == 1);
  qrx::blockio::fault_arm(FaultOn::kWrite, 1, true);
  EXPECT_EQ(cbexit(), -1);
  qrx::blockio::fault_disarm();
  uint32_t item = 0;
  EXPECT_TRUE(cbhead(tb, &item) == -1 && codes() == (Codes{3, 10, 7}));
  EXPECT_TRUE(ins(ta, 500) == -1 && codes()[0] == 3 && qrxcbver(ta) == -1);
  ASSERT_EQ(cbinit(8, 4096), 1);  // a new pool, perhaps at the old one's address
  EXPECT_TRUE(cbfind(ta, "a", 1, &item) == -1 && codes()[0] == 3);
  EXPECT_TRUE(cbopen(a.c_str(), 2, nullptr) == nullptr && codes() == (Codes{3, 7, 6}));
  EXPECT_TRUE(cbclose(ta) == -1 && codes() == (Codes{3, 10, 3}));
  EXPECT_TRUE(cbclose(ta) == -1 && codes()[0] == 15);  // gone
  cbt_tree *t = cbopen(a.c_str(), 2, nullptr);         // its close never wrote the open flag off
  EXPECT_TRUE(t && codes()[0] == 20 && cbclose(t) == 1);
  // tb is still listed; the last exit lets go of it without failing.
}

// The codes of failed calls name what failed: a flush at close (the handle stays open), a read while
// cbmodify looks for the new pair's place (not a duplicate).
TEST_F(CtlTest, FailedCallsReportTheStepThatFailed) {
  const std::string p = made("codes.idx", 512, 300), k = key_of(7);
  cbt_tree *t = cbopen(p.c_str(), 2, nullptr);  // the first open: nothing cached but block 0
  qrx::blockio::fault_arm(FaultOn::kRead, 1, false);
  EXPECT_TRUE(cbmodify(t, k.data(), uint32_t(k.size()), 7, "new", 3, 1, 0) == -1 &&
              codes() == (Codes{6, 20, 16}));
  for (int i = 300; i < 350; ++i) ASSERT_EQ(ins(t, i), 1);
  qrx::blockio::fault_arm(FaultOn::kWrite, 1, true);
  EXPECT_TRUE(cbclose(t) == -1 && codes() == (Codes{10, 49, 3}));
  qrx::blockio::fault_disarm();
  EXPECT_TRUE(cbclose(t) == 1 && codes() == (Codes{0, 0, 3}));
}

}  // namespace
