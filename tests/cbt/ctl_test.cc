// Control record and tree handles: cbcreate, cbopen (sharing, upgrade, files not closed properly),
// cbclose, cbflush, cbblksize, cbexit with open handles, and the handle checks of the public lock.
#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/ctl.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace {

namespace tb = qrx::test;
using tb::FakeSleep;
using tb::TraceCapture;

struct Codes {
  uint32_t err, ctx, fn;
  bool operator==(const Codes &) const = default;
};
std::ostream &operator<<(std::ostream &o, const Codes &c) {
  return o << "error " << c.err << ", context " << c.ctx << ", function " << c.fn;
}
Codes codes() {
  return {*qrxcbecd(), *qrxcbccd(), *qrxcbfcd()};
}

int32_t openflag(const std::string &p) {
  return tb::peek_i32(p, 0, tb::kCtlOpenflagOff);
}

// Descriptors of this process open on the file.
int open_descriptors(const std::string &path) {
  char want[PATH_MAX], got[PATH_MAX];
  if (!realpath(path.c_str(), want)) return 0;
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (dirent *e = readdir(d)) {
    ssize_t len = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), got, sizeof got - 1);
    if (len > 0) n += std::string(got, static_cast<size_t>(len)) == want;
  }
  closedir(d);
  return n;
}

// What qrxcbprt writes to standard output.
std::string printed_codes() {
  std::fflush(stdout);
  char name[] = "/tmp/qrxprt.XXXXXX";
  int fd = mkstemp(name), saved = dup(1);
  dup2(fd, 1);
  qrxcbprt();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(fd);
  std::string out = tb::read_file(name);
  unlink(name);
  return out;
}

class CtlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(8, 4096), 1); }
  void TearDown() override {
    while (qrx::cbt::cbt_anchor_peek()->initcnt > 0) cbexit();
  }
  // A new, closed file of that name.
  std::string created(const std::string &name, uint32_t blksize = 512) {
    std::string p = dir.file(name);
    cbt_tree *t = cbcreate(p.c_str(), nullptr, blksize);
    EXPECT_NE(t, nullptr);
    EXPECT_EQ(cbclose(t), 1);
    return p;
  }
  // True when the name has no record left in the process: it can be created again.
  bool creatable(const std::string &p) {
    cbt_tree *t = cbcreate(p.c_str(), nullptr, 0);
    return t && cbclose(t) == 1;
  }
  tb::TempDir dir;
};

// ---------------------------------------------------------------------------------------------------
// cbcreate
// ---------------------------------------------------------------------------------------------------

TEST_F(CtlTest, CreateFixesBlockSizes) {
  for (auto [asked, made] : {std::pair{0u, 512u}, {50u, 88u}, {88u, 88u}, {4096u, 4096u}}) {
    std::string p = dir.file("bs" + std::to_string(asked));
    cbt_tree *t = cbcreate(p.c_str(), nullptr, asked);
    ASSERT_NE(t, nullptr) << asked;
    EXPECT_EQ(cbblksize(p.c_str()), static_cast<int32_t>(made));
    ASSERT_EQ(cbclose(t), 1);
    EXPECT_EQ(std::filesystem::file_size(p), made);
  }
  std::string big = dir.file("big");
  EXPECT_EQ(cbcreate(big.c_str(), nullptr, 4097), nullptr);
  EXPECT_EQ(codes(), (Codes{13, 9, 4}));
  EXPECT_FALSE(std::filesystem::exists(big));
}

TEST(CtlNoPool, CreateAndOpenWithoutPoolFail) {
  tb::TempDir dir;
  ASSERT_EQ(cbbufsize(), 0u);
  EXPECT_EQ(cbcreate(dir.file("x").c_str(), nullptr, 0), nullptr);
  EXPECT_EQ(codes(), (Codes{13, 9, 4}));
  EXPECT_EQ(cbopen(dir.file("x").c_str(), 2, nullptr), nullptr);
  EXPECT_EQ(codes(), (Codes{3, 2, 6}));
}

TEST(CtlBlock0, NewFileHoldsExactlyTheControlRecord) {
  // A block size above 65535 makes both halfwords of the first word count in the parity.
  ASSERT_EQ(cbinit(4, 131072), 1);
  tb::TempDir dir;
  std::string p = dir.file("exact");
  const uint32_t blksize = 0x00011234;
  cbt_tree *t = cbcreate(p.c_str(), nullptr, blksize);
  ASSERT_NE(t, nullptr);
  std::vector<uint8_t> want(blksize, 0);
  want[1] = 0x01, want[2] = 0x12, want[3] = 0x34;  // blksize
  want[30] = 0x12, want[31] = 0x35;                // parity 0x0001 ^ 0x1234; openflag 0
  EXPECT_EQ(tb::read_file_bytes(p), want);         // complete before any close
  ASSERT_EQ(cbclose(t), 1);
  EXPECT_EQ(tb::read_file_bytes(p), want);
  EXPECT_EQ(cbexit(), 1);
}

TEST_F(CtlTest, CreateOfANameOpenHereIsRefused) {
  std::string p = created("busy");
  cbt_tree *t = cbopen(p.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  std::vector<uint8_t> before = tb::read_file_bytes(p);
  TraceCapture cap;
  EXPECT_EQ(cbcreate(p.c_str(), nullptr, 1024), nullptr);
  EXPECT_EQ(codes(), (Codes{1, 1, 4}));
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, "Unable to create " + p), 1);
  EXPECT_EQ(tb::read_file_bytes(p), before);
  EXPECT_EQ(cbblksize(p.c_str()), 512);
  ASSERT_EQ(cbclose(t), 1);
  EXPECT_TRUE(creatable(p));
}

// ---------------------------------------------------------------------------------------------------
// cbopen and cbclose
// ---------------------------------------------------------------------------------------------------

TEST_F(CtlTest, OnlyReadWriteOpensMarkTheFileOpen) {
  std::string p = created("rw");
  std::vector<uint8_t> closed = tb::read_file_bytes(p);
  cbt_tree *r = cbopen(p.c_str(), 1, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(cbflush(r), 1);
  EXPECT_EQ(cbclose(r), 1);
  EXPECT_EQ(tb::read_file_bytes(p), closed);

  *qrxcbecd() = 7;
  cbt_tree *w = cbopen(p.c_str(), 2, nullptr);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(codes(), (Codes{0, 0, 6}));  // cleared on entry
  EXPECT_EQ(openflag(p), -1);
  ASSERT_EQ(cbclose(w), 1);
  EXPECT_EQ(codes(), (Codes{0, 0, 3}));
  EXPECT_EQ(tb::read_file_bytes(p), closed);
  EXPECT_EQ(open_descriptors(p), 0);
}

TEST_F(CtlTest, ThreeHandlesShareOneRecordAndTheFileClosesWithTheLast) {
  std::string p = created("shared");
  cbt_tree *r1 = cbopen(p.c_str(), 0, nullptr);
  cbt_tree *r2 = cbopen(p.c_str(), 1, nullptr);
  cbt_tree *w = cbopen(p.c_str(), 3, nullptr);  // bit value 2 set: read/write
  ASSERT_TRUE(r1 && r2 && w);
  EXPECT_TRUE(r1->ctl == w->ctl && r2->ctl == w->ctl);
  EXPECT_EQ(w->ctl->nopen, 3);
  EXPECT_EQ(open_descriptors(p), 1);
  // Only a file really upgraded to read/write lets a flush, even through a read-only handle, write
  // block 0 with the open flag the first open set in memory.
  EXPECT_EQ(openflag(p), 0);
  ASSERT_EQ(cbflush(r1), 1);
  EXPECT_EQ(openflag(p), -1);

  ASSERT_EQ(cbclose(w), 1);
  ASSERT_EQ(cbclose(r1), 1);
  EXPECT_EQ(open_descriptors(p), 1);
  EXPECT_EQ(openflag(p), -1);
  EXPECT_EQ(cbdepth(r2), 0);
  ASSERT_EQ(cbclose(r2), 1);
  EXPECT_EQ(open_descriptors(p), 0);
  EXPECT_EQ(openflag(p), 0);
  EXPECT_EQ(tb::read_ctl(p).vparity, tb::ctl_parity(tb::read_file_bytes(p).data()));
}

TEST_F(CtlTest, FailedUpgradeKeepsTheReadOnlyOpen) {
  FakeSleep sleep;
  std::string p = created("upgrade");
  cbt_tree *r = cbopen(p.c_str(), 1, nullptr);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(std::rename(p.c_str(), dir.file("moved").c_str()), 0);
  TraceCapture cap;
  EXPECT_EQ(cbopen(p.c_str(), 2, nullptr), nullptr);
  EXPECT_EQ(codes(), (Codes{2, 7, 6}));
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, "Unable to upgrade " + p + " access from read to read/write"), 1);
  EXPECT_EQ(r->ctl->nopen, 1);
  EXPECT_EQ(cbdepth(r), 0);
  ASSERT_EQ(cbclose(r), 1);
  EXPECT_TRUE(creatable(p));  // the record went with the last close
}

TEST_F(CtlTest, FailedOpensLeaveNoRecord) {
  FakeSleep sleep;
  std::string missing = dir.file("missing");
  EXPECT_EQ(cbopen(missing.c_str(), 2, nullptr), nullptr);
  EXPECT_EQ(codes(), (Codes{2, 2, 6}));
  EXPECT_TRUE(creatable(missing));

  std::string big = dir.file("big");
  tb::build_index(big, 8192, {}, 2);
  EXPECT_EQ(cbopen(big.c_str(), 2, nullptr), nullptr);
  EXPECT_EQ(codes(), (Codes{13, 2, 6}));

  // A record claiming 64-byte blocks, too small for any node of this layer.
  std::string small = dir.file("small"), rec(64, '\0');
  rec[3] = 64, rec[31] = 64;  // blksize and its parity
  tb::write_file(small, rec);
  EXPECT_EQ(cbopen(small.c_str(), 2, nullptr), nullptr);
  EXPECT_EQ(codes().err, 13u);
  EXPECT_EQ(tb::read_file(small), rec);
  EXPECT_EQ(qrx::cbt::cbt_anchor_peek()->trees, nullptr);
}

TEST_F(CtlTest, FlippedControlRecordByteFailsParity) {
  const std::vector<uint8_t> clean = tb::read_file_bytes(created("good"));
  for (uint32_t off : {4u, 9u, 15u, 22u, 27u, 28u, 31u}) {  // behind the block size, parity included
    SCOPED_TRACE(off);
    std::string p = dir.file("flip" + std::to_string(off));
    std::vector<uint8_t> bytes = clean;
    bytes[off] ^= 0x10;
    tb::write_file(p, std::string(bytes.begin(), bytes.end()));
    TraceCapture cap;
    EXPECT_EQ(cbopen(p.c_str(), 2, nullptr), nullptr);
    EXPECT_EQ(codes(), (Codes{12, 7, 6}));
    EXPECT_EQ(
        cap.count(QRXHOST_KIND_ERROR, "Invalid Parity Check s/b " + std::to_string(tb::read_ctl(p).vparity)),
        1);
    EXPECT_EQ(printed_codes(),
              "context: reading control record, function: cbopen\ncontrol record parity error\n");
    EXPECT_EQ(tb::read_file_bytes(p), bytes);
    EXPECT_EQ(open_descriptors(p), 0);
    EXPECT_EQ(cbblksize(p.c_str()), -1);
    EXPECT_EQ(codes(), (Codes{12, 7, 26}));
  }
}

TEST_F(CtlTest, FileLeftOpenByAnEndedProcessIsReported) {
  std::string p = created("dead");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {  // opens for writing and ends without closing
    cbt_tree *t = cbopen(p.c_str(), 2, nullptr);
    _exit(t != nullptr && *qrxcbecd() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(openflag(p), -1);

  for (int mode : {1, 2}) {  // read-only leaves the flag on disk; read/write clears it at close
    SCOPED_TRACE(mode);
    TraceCapture cap;
    cbt_tree *t = cbopen(p.c_str(), mode, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(codes(), (Codes{20, 7, 6}));
    std::vector<tb::TraceLine> notices;
    for (const tb::TraceLine &l : cap.lines())
      if (l.kind == QRXHOST_KIND_NOTICE) notices.push_back(l);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].severity, 20);
    EXPECT_EQ(notices[0].text, p + " was not closed properly. Verify required");
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_MESSAGE, "QRX0001"));
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_MESSAGE, p));
    EXPECT_EQ(cbdepth(t), 0);
    ASSERT_EQ(cbclose(t), 1);
    EXPECT_EQ(openflag(p), mode == 1 ? -1 : 0);
  }
  TraceCapture cap;
  cbt_tree *t = cbopen(p.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(codes().err, 0u);
  EXPECT_TRUE(cap.lines().empty());
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// cbflush and cbblksize
// ---------------------------------------------------------------------------------------------------

TEST_F(CtlTest, FlushWritesTheRecordFromMemory) {
  std::string p = created("flush");
  cbt_tree *t = cbopen(p.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  t->ctl->freechain = 0x01020304;  // no other thread uses the file
  *qrxcbecd() = 9;
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(codes(), (Codes{0, 0, 5}));
  tb::CtlFields f = tb::read_ctl(p);
  EXPECT_EQ(f.freechain, 0x01020304);
  EXPECT_EQ(f.openflag, -1);
  EXPECT_EQ(f.vparity, tb::ctl_parity(tb::read_file_bytes(p).data()));
  t->ctl->freechain = 0;
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(CtlTest, BlockSizeFromTheRecordOrFromDisk) {
  std::string p = created("bls", 1024);
  cbt_tree *t = cbopen(p.c_str(), 1, nullptr);
  ASSERT_NE(t, nullptr);
  tb::patch_bytes(p, 0, 0, {0, 0, 0x08, 0});  // the disk now says 2048 (and fails parity)
  *qrxcbecd() = 0;
  EXPECT_EQ(cbblksize(p.c_str()), 1024);  // open here: the record's value
  EXPECT_EQ(codes(), (Codes{0, 0, 26}));
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(cbblksize(p.c_str()), -1);
  EXPECT_EQ(codes(), (Codes{12, 7, 26}));

  std::string other = created("disk", 2048);
  EXPECT_EQ(cbblksize(other.c_str()), 2048);
  EXPECT_EQ(codes(), (Codes{14, 6, 26}));  // left by the failed registry lookup

  std::string shorter = dir.file("short");
  tb::write_file(shorter, std::string(20, '\0'));
  EXPECT_EQ(cbblksize(shorter.c_str()), -1);
  EXPECT_EQ(codes(), (Codes{6, 7, 26}));
  FakeSleep sleep;
  EXPECT_EQ(cbblksize(dir.file("absent").c_str()), -1);
  EXPECT_EQ(codes(), (Codes{2, 7, 26}));
}

// ---------------------------------------------------------------------------------------------------
// Handle checks, and cbexit with handles open
// ---------------------------------------------------------------------------------------------------

void expect_refused(cbt_tree *t, uint32_t want_err) {
  uint32_t item = 0;
  char key[8];
  EXPECT_EQ(cbhead(t, &item), -1);
  EXPECT_EQ(codes(), (Codes{want_err, 10, 7}));
  for (int32_t rc : {cbdepth(t), cbflush(t), cbmark(t), cbfindmark(t, &item), cbkey(t, key, sizeof key),
                     cbfind(t, "a", 1, &item), cbclose(t)}) {
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(codes().err, want_err);
  }
}

TEST_F(CtlTest, InvalidHandlesAreRefused) {
  expect_refused(nullptr, 15);
  cbt_tree foreign{};
  expect_refused(&foreign, 15);
  uint64_t junk[16] = {0xdeadbeef, 1, 2, 3};
  expect_refused(reinterpret_cast<cbt_tree *>(junk), 15);

  cbt_tree *t = cbopen(created("stale").c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(cbclose(t), 1);
  expect_refused(t, 15);

  t = cbopen(dir.file("stale").c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  qrx::cbt::CtlRec *real = t->ctl;
  t->ctl = reinterpret_cast<qrx::cbt::CtlRec *>(junk);  // a record the registry does not know
  expect_refused(t, 14);
  t->ctl = real;
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(CtlTest, LastExitClosesEveryHandle) {
  std::string a = created("a"), b = created("b");
  cbt_tree *ta = cbopen(a.c_str(), 2, nullptr);
  cbt_tree *tb1 = cbopen(b.c_str(), 2, nullptr);
  cbt_tree *tb2 = cbopen(b.c_str(), 1, nullptr);
  ASSERT_TRUE(ta && tb1 && tb2);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(codes().err, 0u);
  EXPECT_EQ(openflag(a), 0);
  EXPECT_EQ(openflag(b), 0);
  EXPECT_EQ(open_descriptors(a) + open_descriptors(b), 0);
  ASSERT_EQ(cbinit(8, 4096), 1);
  EXPECT_EQ(cbdepth(tb2), -1);
  EXPECT_EQ(codes().err, 15u);
  EXPECT_TRUE(creatable(a));
  EXPECT_TRUE(creatable(b));
}

}  // namespace
