// Control record and tree handles: cbcreate, cbopen (sharing, files not closed properly), cbclose,
// cbblksize, cbexit with open handles, and the handle checks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>

#include "cbt/cbt.h"
#include "cbt/ctl.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace {

namespace tb = qrx::test;
namespace fs = std::filesystem;

using Codes = std::array<uint32_t, 3>;  // error, context, function
const auto codes = [] { return Codes{*qrxcbecd(), *qrxcbccd(), *qrxcbfcd()}; };
const auto openflag = [](const std::string &p) { return tb::peek_i32(p, 0, tb::kCtlOpenflagOff); };

int open_descriptors(const std::string &path) {  // of this process, on that file
  int n = 0;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/proc/self/fd")) n += fs::equivalent(e.path(), path, ec);
  return n;
}

bool make(const std::string &p, uint32_t blksize = 512) {  // false also while the name has a record
  cbt_tree *t = cbcreate(p.c_str(), nullptr, blksize);
  return t && cbclose(t) == 1;
}

class CtlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(8, 4096), 1); }
  void TearDown() override { EXPECT_EQ(cbexit(), 1); }  // every test leaves one init
  std::string made(std::string n, uint32_t b = 512) { return make(dir.file(n), b) ? dir.file(n) : ""; }
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
  std::vector<uint8_t> want(0x00011234, 0);
  want[1] = 0x01, want[2] = 0x12, want[3] = 0x34;         // blksize
  want[30] = 0x12, want[31] = 0x35;                       // parity 0x0001 ^ 0x1234
  std::fill(want.begin() + 32, want.begin() + 36, 0xFF);  // openflag -1 while open for writing
  EXPECT_EQ(tb::read_file_bytes(p), want);                // complete before any close
  std::fill(want.begin() + 32, want.begin() + 36, 0);     // 0 after the close
  EXPECT_TRUE(t && cbclose(t) == 1 && tb::read_file_bytes(p) == want);
}

TEST_F(CtlTest, ThreeHandlesShareOneRecordAndTheFileClosesWithTheLast) {
  std::string p = made("shared");
  cbt_tree *r1 = cbopen(p.c_str(), 0, 0), *r2 = cbopen(p.c_str(), 1, 0), *w = cbopen(p.c_str(), 3, 0);
  ASSERT_TRUE(r1 && r2 && w && r1->ctl == w->ctl && r2->ctl == w->ctl &&
              w->ctl->nopen == 3);  // 3: read/write
  ASSERT_TRUE(cbclose(w) == 1 && cbclose(r1) == 1);
  EXPECT_TRUE(open_descriptors(p) == 1 && openflag(p) == -1);
  EXPECT_TRUE(cbclose(r2) == 1 && open_descriptors(p) == 0 && openflag(p) == 0);
  EXPECT_TRUE(tb::read_ctl(p).vparity == tb::ctl_parity(tb::read_file_bytes(p).data()) && make(p));
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

TEST_F(CtlTest, FileLeftOpenByAnEndedProcessIsReported) {
  std::string p = made("dead");
  int status = 0, pid = fork();
  if (pid == 0) _exit(cbopen(p.c_str(), 2, nullptr) && *qrxcbecd() == 0 ? 0 : 1);  // ends without closing
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

}  // namespace
