// Buffer pool: opening, upgrading and closing block files, and the reuse of their descriptor numbers.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

constexpr uint32_t kBlk = 256;

// n blocks, block k filled with fill + k; block 0 starts with the block size.
void make_block_file(const std::string &path, uint32_t blksize, int32_t n, uint8_t fill) {
  std::string bytes;
  for (int32_t k = 0; k < n; ++k) bytes.append(blksize, static_cast<char>(fill + k));
  qrx::codec::store_u32(reinterpret_cast<uint8_t *>(bytes.data()), 0, blksize);
  qrx::test::write_file(path, bytes);
}

// The number the next opened file receives (the lowest free descriptor).
int next_fd() {
  const int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

uint8_t *get(Bfile *bf, int32_t k) {
  return static_cast<uint8_t *>(get_blk(bf, k));
}

class PoolFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    make_block_file(a_, kBlk, 8, 0x10);
    make_block_file(b_, kBlk, 8, 0x80);
    pool_ = mk_pool(kBlk, 4, nullptr);
  }
  void TearDown() override { free_pool(pool_); }

  qrx::test::TempDir dir_;
  std::string a_ = dir_.file("a.blk"), b_ = dir_.file("b.blk");
  BufPool *pool_ = nullptr;
};

TEST_F(PoolFilesTest, FilesThatCannotServeThePoolAreRefusedAndClosed) {
  qrx::test::TraceCapture trace;
  const std::string big = dir_.file("big.blk"), shorty = dir_.file("short.blk");
  const int fd = next_fd();
  make_block_file(big, 1024, 2, 0);
  qrx::test::write_file(shorty, "ab");
  EXPECT_EQ(open_blks(big.c_str(), 2, pool_), nullptr);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_BLKSIZE));
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "block size 1024 is greater than buffer size 256"), 1);
  EXPECT_EQ(open_blks(shorty.c_str(), 0, pool_), nullptr);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_IO));
  EXPECT_EQ(next_fd(), fd) << "both refused files are closed";
}

// Closing with a pinned block or with a failed write-back still closes the descriptor, and nothing of
// the closed file is found or written under the number the next file receives.
TEST_F(PoolFilesTest, ClosedFilesLeaveNothingBehindTheirDescriptorNumber) {
  const int fd = next_fd();
  Bfile *bf = open_blks(a_.c_str(), 2, pool_);
  uint8_t *d = get(bf, 3);
  d[5] = 0x42;
  ASSERT_EQ(put_blk(bf, d, 0), 1);
  void *held = get_blk(bf, 2);
  EXPECT_EQ(close_blks(bf), -1);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_PINNED));
  EXPECT_EQ(next_fd(), fd) << "the descriptor is closed";
  const std::string a_before = qrx::test::read_file(a_);
  EXPECT_EQ(a_before[3 * kBlk + 5], 0x42) << "written back at close";
  Bfile *other = open_blks(b_.c_str(), 2, pool_);
  EXPECT_EQ(rlse_blk(other, held), -1);
  d = get(other, 3);
  std::memset(d + 8, 0xAA, 64);
  ASSERT_EQ(put_blk(other, d, 0), 1);
  ASSERT_EQ(close(fd), 0);  // behind the pool's back: the write-back at close fails
  EXPECT_EQ(close_blks(other), -1);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_IO));
  bf = open_blks(a_.c_str(), 2, pool_);
  for (int32_t k = 1; k < 8; ++k) {
    uint8_t *x = get(bf, k);
    EXPECT_EQ(x[9], 0x10 + k) << k;
    ASSERT_EQ(rlse_blk(bf, x), 1);
  }
  EXPECT_EQ(close_blks(bf), 1);
  EXPECT_EQ(qrx::test::read_file(a_), a_before);
}

TEST_F(PoolFilesTest, ReadOnlyFilesAreNeverWrittenAndReopenMovesTheirBlocksToTheNewDescriptor) {
  const std::string before = qrx::test::read_file(a_);
  const int old_fd = next_fd();
  Bfile *bf = open_blks(a_.c_str(), 0, pool_);
  uint8_t *zero = get(bf, 0), *one = get(bf, 1), *five = get(bf, 5);
  zero[9] = 0x20, one[1] = 0x33, five[1] = 0x55;
  EXPECT_EQ(put_blk(bf, zero, 1), 1) << "block 0 stays in the buffer";
  EXPECT_EQ(put_blk(bf, one, 1), -1) << "any other block cannot be written";
  ASSERT_EQ(put_blk(bf, five, 0), 1);
  EXPECT_EQ(qrx::test::read_file(a_), before);
  qrx::test::FakeSleep sleep;
  EXPECT_EQ(reopen_blks(dir_.file("gone").c_str(), bf), -1);
  EXPECT_NE(fcntl(old_fd, F_GETFD), -1) << "a failed reopen keeps the old descriptor";
  ASSERT_EQ(reopen_blks(a_.c_str(), bf), 1);
  EXPECT_EQ(next_fd(), old_fd) << "the old descriptor is closed";
  EXPECT_EQ((zero = get(bf, 0))[9], 0x20) << "blocks cached read-only are still found";
  EXPECT_EQ(put_blk(bf, zero, 1), 1);
  EXPECT_EQ(qrx::test::read_file(a_)[9], 0x20) << "block 0 is written now that the file is read/write";
  EXPECT_EQ(flush_blks(bf), 1);
  EXPECT_EQ(qrx::test::read_file(a_)[5 * kBlk + 1], 0x55) << "the dirty block went to the new descriptor";
  Bfile *other = open_blks(b_.c_str(), 0, pool_);  // receives the old number
  EXPECT_EQ(get(other, 5)[1], 0x85);
  EXPECT_EQ(close_blks(bf), 1);
}

}  // namespace
