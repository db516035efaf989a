// One writer per file across processes: the file lock every read/write open takes, through the block
// files, the B-tree layer and the ISAM layer, held by another process and released by its end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "host/qrxhost.h"
#include "qrxcb.h"
#include "qrxis.h"
#include "support/test_util.h"

namespace {

namespace tb = qrx::test;

// A child process that runs `hold` (which takes what it holds and returns whether it could), tells the
// parent, and keeps everything until the parent lets it go; with `die`, it ends by SIGKILL instead.
class Holder {
 public:
  Holder(const std::function<bool()> &hold) {
    int up[2], down[2];
    EXPECT_EQ(::pipe(up), 0);
    EXPECT_EQ(::pipe(down), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      const char ok = hold() ? 'y' : 'n';
      char c = 0;
      if (::write(up[1], &ok, 1) != 1 || ::read(down[0], &c, 1) != 1) ::_exit(3);
      ::_exit(0);  // no clean-up: the files close as the process ends
    }
    ::close(up[1]), ::close(down[0]);
    char ok = 0;
    held_ = ::read(up[0], &ok, 1) == 1 && ok == 'y';
    ::close(up[0]);
    release_ = down[1];
  }
  ~Holder() { end(false); }
  bool held() const { return held_; }
  // Lets the child end (killed when `kill`), and waits for it.
  void end(bool kill) {
    if (pid_ <= 0) return;
    if (kill) {
      // No release byte: the pipe may have lost its reader already, and a write would raise SIGPIPE.
      ::kill(pid_, SIGKILL);
    } else {
      const char c = 'x';
      (void)!::write(release_, &c, 1);
    }
    ::close(release_);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool held_ = false;
};

TEST(FileLock, OneWriterPerFileUntilTheHolderClosesOrDies) {
  tb::TempDir dir;
  const std::string path = dir.file("blocks");
  tb::write_file(path, std::string(512, '\0'));
  {
    Holder other([&] { return qrxcb_LockFile(qrxcb_open(path.c_str(), O_RDWR, 0)) == 0; });
    ASSERT_TRUE(other.held());
    const int32_t fd = qrxcb_open(path.c_str(), O_RDWR, 0);
    EXPECT_EQ(qrxcb_LockFile(fd), -1) << "held by another process";
    other.end(false);
    EXPECT_EQ(qrxcb_LockFile(fd), 0) << "released when the holder ended";
    // A second open in this process is a second description: refused as well.
    const int32_t again = qrxcb_open(path.c_str(), O_RDWR, 0);
    EXPECT_EQ(qrxcb_LockFile(again), -1);
    EXPECT_EQ(qrxcb_UnlockFile(), 0);
    qrxcb_close(fd);
    EXPECT_EQ(qrxcb_LockFile(again), 0) << "released by the close";
    qrxcb_close(again);
  }
  Holder killed([&] { return qrxcb_LockFile(qrxcb_open(path.c_str(), O_RDWR, 0)) == 0; });
  ASSERT_TRUE(killed.held());
  killed.end(true);
  const int32_t fd = qrxcb_open(path.c_str(), O_RDWR, 0);
  EXPECT_EQ(qrxcb_LockFile(fd), 0) << "released by the holder's death";
  qrxcb_close(fd);
}

// Closing a file and opening it again at once is not refused by the closed description, even while
// another process reads this one's descriptors: each read holds the description for the length of its
// call, so now and then the lock goes a moment after the close.
TEST(FileLock, OpenAgainAfterACloseWhileAnotherProcessLooksOn) {
  tb::TempDir dir;
  const std::string path = dir.file("blocks");
  tb::write_file(path, std::string(512, '\0'));
  const int32_t number = qrxcb_open(path.c_str(), O_RDWR, 0);  // the number each open below gets
  ASSERT_GE(number, 0);
  qrxcb_close(number);
  const std::string link = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(number);
  const pid_t looker = ::fork();
  if (looker == 0) {
    char target[512];
    for (;;) (void)!::readlink(link.c_str(), target, sizeof target);
  }
  ASSERT_GT(looker, 0);
  int refused = 0;
  for (int i = 0; i < 100000; ++i) {
    const int32_t fd = qrxcb_open(path.c_str(), O_RDWR, 0);
    if (qrxcb_LockFile(fd) != 0) ++refused;
    qrxcb_close(fd);
  }
  ::kill(looker, SIGKILL);
  ::waitpid(looker, nullptr, 0);
  EXPECT_EQ(refused, 0);
}

// A reopen of a block file already open for writing hands the lock to the new descriptor.
TEST(FileLock, AReopenKeepsTheFileLocked) {
  tb::TempDir dir;
  const std::string path = dir.file("blocks");
  std::string bytes(1024, '\0');
  bytes[2] = 0x02;  // block size 512, big-endian, in the first word
  tb::write_file(path, bytes);
  uint32_t status = 0;
  BufPool *pool = mk_pool(512, 4, &status);
  Bfile *bf = open_blks(path.c_str(), 2, pool);
  ASSERT_NE(bf, nullptr);
  ASSERT_EQ(reopen_blks(path.c_str(), bf), 1);
  Holder other([&] { return qrxcb_LockFile(qrxcb_open(path.c_str(), O_RDWR, 0)) == 0; });
  EXPECT_FALSE(other.held()) << "the new descriptor holds the lock";
  other.end(false);
  EXPECT_EQ(close_blks(bf), 1);
  EXPECT_EQ(free_pool(pool), 1);
}

// Through the layers: a read/write open of an index file or a database another process has open for
// writing is refused with the documented codes; read-only opens are not locked and go on.
TEST(FileLock, TheLayersRefuseASecondWriterAndLetReadersIn) {
  tb::TempDir dir;
  tb::FakeSleep no_waits;
  const std::string idx = dir.file("tree.IDX"), base = dir.file("db");
  ASSERT_EQ(cbinit(16, 512), 1);
  ASSERT_EQ(cbclose(cbcreate(idx.c_str(), nullptr, 512)), 1);
  const char *fields[] = {"NAME", nullptr};
  ASSERT_EQ(iclose_db(icreate_db(base.c_str(), 512, fields)), 1);
  ASSERT_EQ(isamexit(), 1);
  {
    Holder other([&] { return cbopen(idx.c_str(), 2, nullptr) != nullptr; });
    ASSERT_TRUE(other.held());
    tb::TraceCapture trace;
    EXPECT_EQ(cbopen(idx.c_str(), 2, nullptr), nullptr);
    EXPECT_EQ(*qrxcbbpe(), uint32_t{QRXCB_POOL_IO});
    EXPECT_TRUE(trace.contains(QRXHOST_KIND_ERROR, "Unable to obtain file lock for " + idx));
    // Nor is the file created over (emptied) under its writer.
    const std::string bytes = tb::read_file(idx);
    EXPECT_EQ(cbcreate(idx.c_str(), nullptr, 512), nullptr);
    EXPECT_EQ(*qrxcbecd(), 1u);
    EXPECT_EQ(tb::read_file(idx), bytes);
    cbt_tree *reader = cbopen(idx.c_str(), 1, nullptr);
    EXPECT_NE(reader, nullptr) << "a reader is not locked out";
    EXPECT_EQ(cbclose(reader), 1);
  }
  {
    Holder other([&] { return iopen_db(base.c_str(), 2) != nullptr; });
    ASSERT_TRUE(other.held());
    tb::TraceCapture trace;
    EXPECT_EQ(iopen_db(base.c_str(), 2), nullptr);
    EXPECT_EQ(*qrxiseno(), QRXIS_IN_USE);
    EXPECT_TRUE(trace.contains(QRXHOST_KIND_ERROR, "Unable to obtain file lock for " + base + ".DB"));
    const std::string data = tb::read_file(base + ".DB"), index = tb::read_file(base + ".IDX");
    EXPECT_EQ(icreate_db(base.c_str(), 512, fields), nullptr);
    EXPECT_EQ(*qrxiseno(), QRXIS_IO);
    EXPECT_EQ(tb::read_file(base + ".DB"), data);
    EXPECT_EQ(tb::read_file(base + ".IDX"), index);
    // Nor are its files removed or renamed away from under it.
    EXPECT_EQ(idestroy_db(base.c_str()), -1);
    EXPECT_EQ(*qrxiseno(), QRXIS_IN_USE);
    EXPECT_EQ(qrxisren(base.c_str(), dir.file("moved").c_str()), -1);
    EXPECT_EQ(*qrxiseno(), QRXIS_IN_USE);
    EXPECT_EQ(tb::read_file(base + ".DB"), data);
    EXPECT_EQ(tb::read_file(base + ".IDX"), index);
    EXPECT_EQ(isamexit(), 1);
    isam_db *reader = iopen_db(base.c_str(), 1);
    EXPECT_NE(reader, nullptr) << "a reader is not locked out";
    EXPECT_EQ(iclose_db(reader), 1);
    EXPECT_EQ(isamexit(), 1);
  }
  isam_db *db = iopen_db(base.c_str(), 2);
  EXPECT_NE(db, nullptr) << "the holder's end released the lock";
  EXPECT_EQ(isamexit(), 1);
  EXPECT_EQ(cbexit(), 1);
}

}  // namespace
