// Control record and tree handles: cbcreate, cbopen (sharing, files not closed properly), cbclose,
// cbblksize, cbexit with open handles, and the handle checks.
#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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
using tb::TraceCapture;

struct Codes {
  uint32_t err, ctx, fn;
  bool operator==(const Codes &) const = default;
};
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

TEST_F(CtlTest, CreateFixesBlockSizes) {
  for (auto [asked, made] : {std::pair{0u, 512u}, {50u, 88u}, {88u, 88u}, {4096u, 4096u}}) {
    std::string p = created("bs" + std::to_string(asked), asked);
    EXPECT_EQ(cbblksize(p.c_str()), static_cast<int32_t>(made));
    EXPECT_EQ(std::filesystem::file_size(p), made);
  }
  std::string big = dir.file("big");
  EXPECT_EQ(cbcreate(big.c_str(), nullptr, 4097), nullptr);  // larger than the buffers
  EXPECT_EQ(codes(), (Codes{13, 9, 4}));
  EXPECT_FALSE(std::filesystem::exists(big));
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

TEST_F(CtlTest, ThreeHandlesShareOneRecordAndTheFileClosesWithTheLast) {
  std::string p = created("shared");
  cbt_tree *r1 = cbopen(p.c_str(), 0, nullptr);
  cbt_tree *r2 = cbopen(p.c_str(), 1, nullptr);
  cbt_tree *w = cbopen(p.c_str(), 3, nullptr);  // bit value 2 set: read/write
  ASSERT_TRUE(r1 && r2 && w);
  EXPECT_TRUE(r1->ctl == w->ctl && r2->ctl == w->ctl);
  EXPECT_EQ(w->ctl->nopen, 3);
  ASSERT_EQ(cbclose(w), 1);
  ASSERT_EQ(cbclose(r1), 1);
  EXPECT_EQ(open_descriptors(p), 1);
  EXPECT_EQ(openflag(p), -1);
  ASSERT_EQ(cbclose(r2), 1);
  EXPECT_EQ(open_descriptors(p), 0);
  EXPECT_EQ(openflag(p), 0);
  EXPECT_EQ(tb::read_ctl(p).vparity, tb::ctl_parity(tb::read_file_bytes(p).data()));
  EXPECT_TRUE(creatable(p));
}

TEST_F(CtlTest, FlippedControlRecordByteFailsParity) {
  const std::vector<uint8_t> clean = tb::read_file_bytes(created("good"));
  for (uint32_t off : {4u, 15u, 27u, 28u, 31u}) {  // behind the block size, parity included
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
    EXPECT_EQ(cap.count(QRXHOST_KIND_NOTICE, p + " was not closed properly. Verify required"), 1);
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_MESSAGE, "QRX0001"));
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_MESSAGE, p));
    ASSERT_EQ(cbclose(t), 1);
    EXPECT_EQ(openflag(p), mode == 1 ? -1 : 0);
  }
}

TEST_F(CtlTest, InvalidHandlesAreRefused) {
  auto expect_refused = [](cbt_tree *t, uint32_t want_err) {
    uint32_t item = 0;
    EXPECT_EQ(cbhead(t, &item), -1);
    EXPECT_EQ(codes(), (Codes{want_err, 10, 7}));
    for (int32_t rc : {cbdepth(t), cbflush(t), cbmark(t), cbfind(t, "a", 1, &item), cbclose(t)}) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(codes().err, want_err);
    }
  };
  expect_refused(nullptr, 15);
  uint64_t junk[16] = {0xdeadbeef, 1, 2, 3};
  expect_refused(reinterpret_cast<cbt_tree *>(junk), 15);
  cbt_tree *t = cbopen(created("stale").c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(cbclose(t), 1);
  expect_refused(t, 15);  // closed already
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
  EXPECT_EQ(openflag(a) + openflag(b), 0);
  EXPECT_EQ(open_descriptors(a) + open_descriptors(b), 0);
  ASSERT_EQ(cbinit(8, 4096), 1);
  EXPECT_EQ(cbdepth(tb2), -1);
  EXPECT_EQ(codes().err, 15u);
  EXPECT_TRUE(creatable(a) && creatable(b));
}

}  // namespace
