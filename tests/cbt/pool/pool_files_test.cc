// Buffer pool: opening, upgrading and closing block files, and what becomes of their cached blocks when
// a descriptor number is handed to another file.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

using qrx::test::TempDir;
using qrx::test::TraceCapture;

constexpr uint32_t kBlk = 256;

// A block file of n blocks: block k is filled with `fill` + k, and block 0 starts with the block size.
void make_block_file(const std::string &path, uint32_t blksize, int32_t n, uint8_t fill) {
  std::string bytes;
  for (int32_t k = 0; k < n; ++k) bytes.append(blksize, static_cast<char>(fill + k));
  qrx::codec::store_u32(reinterpret_cast<uint8_t *>(bytes.data()), 0, blksize);
  qrx::test::write_file(path, bytes);
}

std::string disk_block(const std::string &path, int32_t k) {
  return qrx::test::read_file(path).substr(static_cast<size_t>(k) * kBlk, kBlk);
}

std::string bytes_of(const void *data) {
  return std::string(static_cast<const char *>(data), kBlk);
}

// The descriptors of this process open on the file, by scanning /proc/self/fd.
std::vector<int> fds_of(const std::string &path) {
  std::vector<int> fds;
  char real[PATH_MAX];
  if (realpath(path.c_str(), real) == nullptr) return fds;
  DIR *d = opendir("/proc/self/fd");
  while (dirent *e = readdir(d)) {
    char target[PATH_MAX];
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (std::strcmp(target, real) == 0) fds.push_back(std::atoi(e->d_name));
  }
  closedir(d);
  return fds;
}

int only_fd_of(const std::string &path) {
  std::vector<int> fds = fds_of(path);
  EXPECT_EQ(fds.size(), 1u) << path;
  return fds.empty() ? -1 : fds.front();
}

bool fd_is_open(int fd) {
  return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

uint32_t pool_status() {
  return *qrxcbbpe();
}

class PoolFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = dir_.file("a.blk");
    b_ = dir_.file("b.blk");
    make_block_file(a_, kBlk, 8, 0x10);
    make_block_file(b_, kBlk, 8, 0x80);
    pool_ = mk_pool(kBlk, 4, nullptr);
    ASSERT_NE(pool_, nullptr);
  }
  void TearDown() override {
    TLG1_SetFlags(0);
    free_pool(pool_);
  }

  TempDir dir_;
  std::string a_, b_;
  BufPool *pool_ = nullptr;
};

TEST_F(PoolFilesTest, OpenReadsTheBlockSizeAndRefusesBlocksLargerThanBuffers) {
  TLG1_SetFlags(TLG1_DETAIL);
  TraceCapture trace;
  Bfile *bf = open_blks(a_.c_str(), 2, pool_);
  ASSERT_NE(bf, nullptr);
  EXPECT_EQ(pool_status(), 0u);
  EXPECT_EQ(trace.count(QRXHOST_KIND_DETAIL, a_ + " opened Read/Write"), 1);
  EXPECT_EQ(close_blks(bf), 1);

  const std::string big = dir_.file("big.blk");
  make_block_file(big, 1024, 2, 0);
  EXPECT_EQ(open_blks(big.c_str(), 2, pool_), nullptr);
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_BLKSIZE));
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "block size 1024 is greater than buffer size 256"), 1);
  EXPECT_TRUE(fds_of(big).empty()) << "the refused file is closed";
}

TEST_F(PoolFilesTest, FilesThatCannotBeOpenedOrGiveNoBlockSizeAreRefused) {
  TraceCapture trace;
  const std::string shorty = dir_.file("short.blk");
  qrx::test::write_file(shorty, "ab");
  EXPECT_EQ(open_blks(shorty.c_str(), 0, pool_), nullptr);
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_IO));
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Error reading blocksize info for " + shorty), 1);
  EXPECT_TRUE(fds_of(shorty).empty());

  qrx::test::FakeSleep sleep;
  const std::string missing = dir_.file("missing.blk");
  EXPECT_EQ(open_blks(missing.c_str(), 2, pool_), nullptr);
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_IO));
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Error opening " + missing), 1);
  EXPECT_EQ(open_blks(nullptr, 0, pool_), nullptr);
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_IO));
}

TEST_F(PoolFilesTest, ReadOnlyBlockZeroPutWithWriteNowStaysInTheBufferOnly) {
  const std::string before = qrx::test::read_file(a_);
  Bfile *bf = open_blks(a_.c_str(), 0, pool_);
  ASSERT_NE(bf, nullptr);
  auto *d = static_cast<uint8_t *>(get_blk(bf, 0));
  ASSERT_NE(d, nullptr);
  d[8] = 0xFF;
  EXPECT_EQ(put_blk(bf, d, 1), 1);
  EXPECT_EQ(pool_status(), 0u);
  EXPECT_EQ(qrx::test::read_file(a_), before);
  d = static_cast<uint8_t *>(get_blk(bf, 0));
  EXPECT_EQ(d[8], 0xFF) << "the update is kept in the buffer";
  EXPECT_EQ(rlse_blk(bf, d), 1);

  // Any other block of a read-only file cannot be written.
  auto *one = static_cast<uint8_t *>(get_blk(bf, 1));
  one[0] = 0;
  EXPECT_EQ(put_blk(bf, one, 1), -1);
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_IO));
  EXPECT_EQ(flush_blks(bf), 1) << "a read-only file has nothing to flush";
  EXPECT_EQ(close_blks(bf), 1);
  EXPECT_EQ(qrx::test::read_file(a_), before);
}

TEST_F(PoolFilesTest, CloseWritesBackAndDropsTheFilesBuffers) {
  Bfile *bf = open_blks(a_.c_str(), 2, pool_);
  auto *d = static_cast<uint8_t *>(get_blk(bf, 3));
  d[5] = 0x42;
  ASSERT_EQ(put_blk(bf, d, 0), 1);
  const int fd = only_fd_of(a_);
  EXPECT_EQ(close_blks(bf), 1);
  EXPECT_EQ(pool_status(), 0u);
  EXPECT_FALSE(fd_is_open(fd));
  EXPECT_EQ(disk_block(a_, 3)[5], 0x42);
  Bfile *again = open_blks(a_.c_str(), 0, pool_);
  const uint64_t reads = pool_read_count(pool_);
  void *back = get_blk(again, 3);
  EXPECT_EQ(pool_read_count(pool_), reads + 1);
  EXPECT_EQ(static_cast<uint8_t *>(back)[5], 0x42);
  EXPECT_EQ(rlse_blk(again, back), 1);
  EXPECT_EQ(close_blks(again), 1);
  EXPECT_EQ(close_blks(again), -1) << "closed twice";
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
}

TEST_F(PoolFilesTest, ClosingWithAPinnedBlockReportsItAndStillClosesTheDescriptor) {
  Bfile *bf = open_blks(a_.c_str(), 2, pool_);
  ASSERT_NE(bf, nullptr);
  const int fd = only_fd_of(a_);
  void *held = get_blk(bf, 2);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(close_blks(bf), -1);
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_PINNED));
  EXPECT_FALSE(fd_is_open(fd));

  // The next file gets the same descriptor number: the held buffer is not one of its blocks.
  Bfile *other = open_blks(b_.c_str(), 2, pool_);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(only_fd_of(b_), fd);
  const uint64_t reads = pool_read_count(pool_);
  void *d = get_blk(other, 2);
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d, held);
  EXPECT_EQ(pool_read_count(pool_), reads + 1);
  EXPECT_EQ(bytes_of(d), disk_block(b_, 2));
  EXPECT_EQ(rlse_blk(other, held), -1);
  EXPECT_EQ(put_blk(other, held, 1), -1);
  EXPECT_EQ(rlse_blk(other, d), 1);
  EXPECT_EQ(close_blks(other), 1);
}

TEST_F(PoolFilesTest, BlocksOfAFileWhoseFlushFailedAreNeverFoundOrWrittenUnderItsOldNumber) {
  Bfile *bf = open_blks(a_.c_str(), 2, pool_);
  ASSERT_NE(bf, nullptr);
  auto *d = static_cast<uint8_t *>(get_blk(bf, 3));
  std::memset(d, 0xAA, kBlk);
  ASSERT_EQ(put_blk(bf, d, 0), 1);  // dirty
  void *clean = get_blk(bf, 4);
  ASSERT_EQ(rlse_blk(bf, clean), 1);
  // The descriptor disappears behind the pool's back, so the write-back at close fails.
  const int fd = only_fd_of(a_);
  ASSERT_EQ(close(fd), 0);
  EXPECT_EQ(close_blks(bf), -1);
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_IO));

  const std::string b_before = qrx::test::read_file(b_);
  Bfile *other = open_blks(b_.c_str(), 2, pool_);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(only_fd_of(b_), fd);
  const uint64_t reads = pool_read_count(pool_);
  for (int32_t k : {3, 4}) {
    void *x = get_blk(other, k);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(bytes_of(x), disk_block(b_, k));
    EXPECT_EQ(rlse_blk(other, x), 1);
  }
  EXPECT_EQ(pool_read_count(pool_), reads + 2) << "both blocks come from the new file";
  // Cycle every buffer and flush: nothing of the old file may reach the new one.
  for (int32_t k = 0; k < 8; ++k) {
    void *x = get_blk(other, k);
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(rlse_blk(other, x), 1);
  }
  EXPECT_EQ(flush_blks(other), 1);
  EXPECT_EQ(close_blks(other), 1);
  EXPECT_EQ(qrx::test::read_file(b_), b_before);
}

TEST_F(PoolFilesTest, ReopenMovesCachedBlocksToTheNewDescriptor) {
  Bfile *bf = open_blks(a_.c_str(), 0, pool_);
  ASSERT_NE(bf, nullptr);
  const int old_fd = only_fd_of(a_);
  for (int32_t k : {0, 2}) {
    void *x = get_blk(bf, k);
    ASSERT_EQ(rlse_blk(bf, x), 1);
  }
  auto *dirty = static_cast<uint8_t *>(get_blk(bf, 5));
  dirty[1] = 0x55;
  ASSERT_EQ(put_blk(bf, dirty, 0), 1);  // cannot be written while the file is read-only

  ASSERT_EQ(reopen_blks(a_.c_str(), bf), 1);
  EXPECT_EQ(pool_status(), 0u);
  EXPECT_FALSE(fd_is_open(old_fd));
  const int new_fd = only_fd_of(a_);
  EXPECT_NE(new_fd, old_fd);
  EXPECT_EQ(fcntl(new_fd, F_GETFL) & O_ACCMODE, O_RDWR);

  const uint64_t reads = pool_read_count(pool_);
  auto *two = static_cast<uint8_t *>(get_blk(bf, 2));
  auto *zero = static_cast<uint8_t *>(get_blk(bf, 0));
  EXPECT_EQ(pool_read_count(pool_), reads) << "blocks cached read-only are still found";
  two[7] = 0x21;
  zero[9] = 0x20;
  EXPECT_EQ(put_blk(bf, two, 1), 1);
  EXPECT_EQ(put_blk(bf, zero, 1), 1) << "block 0 is written now that the file is read/write";
  EXPECT_EQ(disk_block(a_, 2)[7], 0x21);
  EXPECT_EQ(disk_block(a_, 0)[9], 0x20);
  EXPECT_EQ(flush_blks(bf), 1);
  EXPECT_EQ(disk_block(a_, 5)[1], 0x55) << "the dirty block went to the new descriptor";

  // The old number goes to the next file opened; its blocks come from its own file.
  Bfile *other = open_blks(b_.c_str(), 0, pool_);
  ASSERT_EQ(only_fd_of(b_), old_fd);
  void *b2 = get_blk(other, 2);
  EXPECT_EQ(bytes_of(b2), disk_block(b_, 2));
  EXPECT_EQ(rlse_blk(other, b2), 1);
  EXPECT_EQ(close_blks(other), 1);
  EXPECT_EQ(close_blks(bf), 1);
}

TEST_F(PoolFilesTest, FailedReopenKeepsTheOldDescriptor) {
  Bfile *bf = open_blks(a_.c_str(), 0, pool_);
  ASSERT_NE(bf, nullptr);
  const int fd = only_fd_of(a_);
  qrx::test::FakeSleep sleep;
  EXPECT_EQ(reopen_blks(dir_.file("gone.blk").c_str(), bf), -1);
  EXPECT_EQ(pool_status(), static_cast<uint32_t>(QRXCB_POOL_IO));
  EXPECT_TRUE(fd_is_open(fd));
  void *x = get_blk(bf, 6);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(bytes_of(x), disk_block(a_, 6));
  EXPECT_EQ(rlse_blk(bf, x), 1);
  EXPECT_EQ(close_blks(bf), 1);
}

}  // namespace
