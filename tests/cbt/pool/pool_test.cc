// Buffer pool: caching, pinning, replacement, write-back, growth and the checks on what callers hand in.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

using qrx::test::TempDir;
using qrx::test::TraceCapture;

constexpr uint32_t kBlk = 512;
constexpr int32_t kBlocks = 16;

uint8_t pattern(int32_t blkno) {
  return static_cast<uint8_t>(blkno * 37 + 11);
}

// A block file of n blocks: block k is filled with pattern(k), and block 0 starts with the block size.
void make_block_file(const std::string &path, uint32_t blksize, int32_t n) {
  std::string bytes;
  for (int32_t k = 0; k < n; ++k) bytes.append(blksize, static_cast<char>(pattern(k)));
  qrx::codec::store_u32(reinterpret_cast<uint8_t *>(bytes.data()), 0, blksize);
  qrx::test::write_file(path, bytes);
}

// Block k of the file as it is on disk.
std::string disk_block(const std::string &path, int32_t k) {
  return qrx::test::read_file(path).substr(static_cast<size_t>(k) * kBlk, kBlk);
}

std::string bytes_of(const void *data) {
  return std::string(static_cast<const char *>(data), kBlk);
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("a.blk");
    make_block_file(path_, kBlk, kBlocks);
    uint32_t st = 99;
    pool_ = mk_pool(kBlk, 4, &st);
    ASSERT_NE(pool_, nullptr);
    ASSERT_EQ(st, 0u);
    bf_ = open_blks(path_.c_str(), 2, pool_);
    ASSERT_NE(bf_, nullptr);
  }
  void TearDown() override {
    TLG1_SetFlags(0);
    if (bf_ != nullptr) close_blks(bf_);
    if (pool_ != nullptr) free_pool(pool_);
  }

  // Gets and releases a block, so that it is cached and unpinned.
  void touch(int32_t blkno) {
    void *d = get_blk(bf_, blkno);
    ASSERT_NE(d, nullptr) << "block " << blkno;
    ASSERT_EQ(rlse_blk(bf_, d), 1);
  }

  TempDir dir_;
  std::string path_;
  BufPool *pool_ = nullptr;
  Bfile *bf_ = nullptr;
};

TEST_F(PoolTest, MissReadsFromDiskAndHitDoesNot) {
  void *d = get_blk(bf_, 3);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(*qrxcbbpe(), 0u);
  EXPECT_EQ(bytes_of(d), disk_block(path_, 3));
  EXPECT_EQ(pool_read_count(pool_), 1u);
  ASSERT_EQ(rlse_blk(bf_, d), 1);
  void *again = get_blk(bf_, 3);
  EXPECT_EQ(again, d);
  EXPECT_EQ(pool_read_count(pool_), 1u);
  EXPECT_EQ(rlse_blk(bf_, again), 1);
}

TEST_F(PoolTest, ReplacementTakesTheLeastRecentlyUsedBuffer) {
  for (int32_t k = 1; k <= 4; ++k) touch(k);
  touch(1);  // 1 becomes the most recently used; 2 is now the least
  touch(5);
  const uint64_t reads = pool_read_count(pool_);
  touch(1);
  touch(3);
  touch(4);
  EXPECT_EQ(pool_read_count(pool_), reads) << "1, 3 and 4 must still be cached";
  touch(2);
  EXPECT_EQ(pool_read_count(pool_), reads + 1) << "2 was the one replaced";
}

TEST_F(PoolTest, EveryBufferPinnedGrowsThePoolByOne) {
  TLG1_SetFlags(TLG1_DETAIL);
  TraceCapture trace;
  std::vector<void *> held;
  for (int32_t k = 1; k <= 4; ++k) held.push_back(get_blk(bf_, k));
  void *fifth = get_blk(bf_, 5);
  ASSERT_NE(fifth, nullptr);
  EXPECT_EQ(bytes_of(fifth), disk_block(path_, 5));
  EXPECT_EQ(pool_buffer_count(pool_), 5u);
  EXPECT_EQ(trace.count(QRXHOST_KIND_DETAIL, "Buffer pool expanded to 5 buffers"), 1);
  for (void *d : held) EXPECT_EQ(rlse_blk(bf_, d), 1);
  EXPECT_EQ(rlse_blk(bf_, fifth), 1);
  touch(6);  // with free buffers again, no further growth
  EXPECT_EQ(pool_buffer_count(pool_), 5u);
}

TEST_F(PoolTest, DirtyBlockIsWrittenBackWhenItsBufferIsReplaced) {
  const std::string before = disk_block(path_, 1);
  auto *d = static_cast<uint8_t *>(get_blk(bf_, 1));
  ASSERT_NE(d, nullptr);
  std::memset(d + 100, 0x5A, 20);
  ASSERT_EQ(put_blk(bf_, d, 0), 1);
  EXPECT_EQ(disk_block(path_, 1), before) << "a deferred write waits for replacement";
  for (int32_t k = 2; k <= 5; ++k) touch(k);  // block 1 is the least recently used: replaced
  std::string expect = before;
  std::memset(expect.data() + 100, 0x5A, 20);
  EXPECT_EQ(disk_block(path_, 1), expect);
}

TEST_F(PoolTest, BlockReadAfterItsBufferWasReusedComesBackFromDisk) {
  auto *d = static_cast<uint8_t *>(get_blk(bf_, 2));
  ASSERT_NE(d, nullptr);
  std::memset(d + 8, 0xC3, 64);
  ASSERT_EQ(put_blk(bf_, d, 1), 1);
  std::string expect = bytes_of(d);
  EXPECT_EQ(disk_block(path_, 2), expect) << "write-now writes at once";
  for (int32_t k = 3; k <= 7; ++k) touch(k);
  const uint64_t reads = pool_read_count(pool_);
  void *back = get_blk(bf_, 2);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(pool_read_count(pool_), reads + 1);
  EXPECT_EQ(bytes_of(back), expect);
  EXPECT_EQ(rlse_blk(bf_, back), 1);
}

TEST_F(PoolTest, FailedWriteBackSkipsTheBufferAndKeepsItDirty) {
  // A block of a read-only file put back dirty can never be written: replacement passes it by.
  const std::string ro_path = dir_.file("ro.blk");
  make_block_file(ro_path, kBlk, 4);
  Bfile *ro = open_blks(ro_path.c_str(), 0, pool_);
  ASSERT_NE(ro, nullptr);
  auto *d = static_cast<uint8_t *>(get_blk(ro, 2));
  ASSERT_NE(d, nullptr);
  d[40] = 0xEE;
  ASSERT_EQ(put_blk(ro, d, 0), 1);
  for (int32_t k = 1; k <= 3; ++k) touch(k);  // the three free buffers
  void *x = get_blk(bf_, 4);                  // the dirty one is least recently used now
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_IO));
  ASSERT_EQ(rlse_blk(bf_, x), 1);
  EXPECT_EQ(pool_buffer_count(pool_), 4u);
  const uint64_t reads = pool_read_count(pool_);
  auto *again = static_cast<uint8_t *>(get_blk(ro, 2));
  ASSERT_EQ(again, d);
  EXPECT_EQ(pool_read_count(pool_), reads);
  EXPECT_EQ(again[40], 0xEE);
  EXPECT_EQ(rlse_blk(ro, again), 1);
  EXPECT_EQ(disk_block(ro_path, 2), std::string(kBlk, static_cast<char>(pattern(2))));
  EXPECT_EQ(close_blks(ro), 1);
}

TEST_F(PoolTest, FailedReadLeavesTheBufferFree) {
  TraceCapture trace;
  EXPECT_EQ(get_blk(bf_, kBlocks + 4), nullptr);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_IO));
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Error reading block 20"), 1);
  EXPECT_EQ(get_blk(bf_, -1), nullptr);
  EXPECT_EQ(pool_buffer_count(pool_), 4u);
  for (int32_t k = 1; k <= 4; ++k) touch(k);
  EXPECT_EQ(pool_buffer_count(pool_), 4u);
}

TEST_F(PoolTest, EmptyBlkGivesAZeroedBlockThatSupersedesACachedCopy) {
  touch(3);
  const uint64_t reads = pool_read_count(pool_);
  auto *d = static_cast<uint8_t *>(empty_blk(bf_, 3));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(bytes_of(d), std::string(kBlk, '\0'));
  d[0] = 0xAB;
  ASSERT_EQ(put_blk(bf_, d, 1), 1);
  auto *back = static_cast<uint8_t *>(get_blk(bf_, 3));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back[0], 0xAB) << "the old cached copy must not be found";
  EXPECT_EQ(pool_read_count(pool_), reads);
  EXPECT_EQ(empty_blk(bf_, 3), nullptr) << "a pinned block cannot be replaced";
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BUFFER));
  EXPECT_EQ(rlse_blk(bf_, back), 1);

  // A block past the end of the file: the write makes the file grow.
  auto *fresh = static_cast<uint8_t *>(empty_blk(bf_, kBlocks));
  ASSERT_NE(fresh, nullptr);
  fresh[kBlk - 1] = 0x11;
  ASSERT_EQ(put_blk(bf_, fresh, 1), 1);
  EXPECT_EQ(qrx::test::read_file(path_).size(), (kBlocks + 1) * size_t{kBlk});
  EXPECT_EQ(disk_block(path_, kBlocks).back(), 0x11);
}

TEST_F(PoolTest, CheckedFlagLastsUntilTheBufferIsRefilled) {
  void *d = get_blk(bf_, 2);
  ASSERT_NE(d, nullptr);
  EXPECT_FALSE(pool_block_checked(d));
  pool_set_block_checked(d);
  ASSERT_EQ(rlse_blk(bf_, d), 1);
  d = get_blk(bf_, 2);
  EXPECT_TRUE(pool_block_checked(d)) << "a hit keeps the flag";
  ASSERT_EQ(rlse_blk(bf_, d), 1);
  for (int32_t k = 3; k <= 6; ++k) touch(k);  // block 2 replaced
  d = get_blk(bf_, 2);
  EXPECT_FALSE(pool_block_checked(d)) << "a read from disk clears it";
  pool_set_block_checked(d);
  ASSERT_EQ(put_blk(bf_, d, 1), 1);
  void *fresh = empty_blk(bf_, 2);
  EXPECT_FALSE(pool_block_checked(fresh)) << "empty_blk clears it";
  EXPECT_EQ(rlse_blk(bf_, fresh), 1);
}

TEST_F(PoolTest, FlushWritesEveryDirtyBlockPinnedOrNot) {
  auto *one = static_cast<uint8_t *>(get_blk(bf_, 1));
  one[10] = 0x01;
  ASSERT_EQ(put_blk(bf_, one, 0), 1);
  auto *two = static_cast<uint8_t *>(get_blk(bf_, 2));
  two[10] = 0x02;
  ASSERT_EQ(put_blk(bf_, two, 0), 1);
  two = static_cast<uint8_t *>(get_blk(bf_, 2));  // dirty and pinned
  const uint64_t writes = pool_write_count(pool_);
  EXPECT_EQ(flush_blks(bf_), 1);
  EXPECT_EQ(*qrxcbbpe(), 0u);
  EXPECT_EQ(pool_write_count(pool_), writes + 2);
  EXPECT_EQ(disk_block(path_, 1)[10], 0x01);
  EXPECT_EQ(disk_block(path_, 2)[10], 0x02);
  EXPECT_EQ(flush_blks(bf_), 1);
  EXPECT_EQ(pool_write_count(pool_), writes + 2) << "clean blocks are not written again";
  EXPECT_EQ(rlse_blk(bf_, two), 1);
}

TEST_F(PoolTest, ExpandAndShrinkCountBuffers) {
  EXPECT_EQ(expand_pool(pool_, 3), 3u);
  EXPECT_EQ(pool_buffer_count(pool_), 7u);
  void *a = get_blk(bf_, 1);
  void *b = get_blk(bf_, 2);
  auto *c = static_cast<uint8_t *>(get_blk(bf_, 3));
  c[0] = 0x77;
  ASSERT_EQ(put_blk(bf_, c, 0), 1);
  EXPECT_EQ(shrink_pool(pool_, 10), 5u) << "the two pinned buffers stay";
  EXPECT_EQ(*qrxcbbpe(), 0u);
  EXPECT_EQ(pool_buffer_count(pool_), 2u);
  EXPECT_EQ(disk_block(path_, 3)[0], 0x77) << "a dirty buffer is written before it is freed";
  EXPECT_EQ(shrink_pool(pool_, 1), 0u);
  EXPECT_EQ(rlse_blk(bf_, a), 1);
  EXPECT_EQ(rlse_blk(bf_, b), 1);
  EXPECT_EQ(shrink_pool(pool_, 1), 1u);
  EXPECT_EQ(pool_buffer_count(pool_), 1u);
  touch(9);
  touch(10);
}

TEST_F(PoolTest, AddressesThatAreNotAPinnedBlockOfTheFileAreRefused) {
  auto *d = static_cast<uint8_t *>(get_blk(bf_, 1));
  ASSERT_NE(d, nullptr);
  auto bogus_heap = std::make_unique<char[]>(8);  // reading a header before it would trip ASan
  int local = 0;
  const std::vector<void *> bad = {d + 1, d - 1, bogus_heap.get(), &local, nullptr};
  for (void *p : bad) {
    EXPECT_EQ(put_blk(bf_, p, 1), -1);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
    EXPECT_EQ(rlse_blk(bf_, p), -1);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
  }
  // A pinned block of another file in the same pool is not this file's.
  const std::string other_path = dir_.file("b.blk");
  make_block_file(other_path, kBlk, 4);
  Bfile *other = open_blks(other_path.c_str(), 2, pool_);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(rlse_blk(other, d), -1);
  // A block of another pool.
  BufPool *pool2 = mk_pool(kBlk, 2, nullptr);
  Bfile *in2 = open_blks(other_path.c_str(), 0, pool2);
  void *d2 = get_blk(in2, 1);
  ASSERT_NE(d2, nullptr);
  EXPECT_EQ(rlse_blk(bf_, d2), -1);
  EXPECT_EQ(rlse_blk(in2, d2), 1);
  EXPECT_EQ(close_blks(in2), 1);
  EXPECT_EQ(free_pool(pool2), 1);

  EXPECT_EQ(rlse_blk(bf_, d), 1);
  EXPECT_EQ(rlse_blk(bf_, d), -1) << "released twice";
  EXPECT_EQ(put_blk(bf_, d, 1), -1) << "put after release";
  // The refused calls left the pin count alone: pinned once more, the block must survive replacement.
  void *held = get_blk(bf_, 1);
  ASSERT_EQ(held, d);
  for (int32_t k = 2; k <= 7; ++k) touch(k);
  EXPECT_EQ(bytes_of(held), disk_block(path_, 1));
  const uint64_t reads = pool_read_count(pool_);
  EXPECT_EQ(get_blk(bf_, 1), held);
  EXPECT_EQ(pool_read_count(pool_), reads);
  EXPECT_EQ(rlse_blk(bf_, held), 1);
  EXPECT_EQ(rlse_blk(bf_, held), 1);
  EXPECT_EQ(close_blks(other), 1);
}

TEST_F(PoolTest, NullAndUnknownHandlesAreRefused) {
  TraceCapture trace;
  int not_a_handle = 0;
  auto *fake_bf = reinterpret_cast<Bfile *>(&not_a_handle);
  auto *fake_pool = reinterpret_cast<BufPool *>(&not_a_handle);
  for (Bfile *bf : {static_cast<Bfile *>(nullptr), fake_bf}) {
    EXPECT_EQ(get_blk(bf, 1), nullptr);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
    EXPECT_EQ(empty_blk(bf, 1), nullptr);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
    EXPECT_EQ(put_blk(bf, nullptr, 0), -1);
    EXPECT_EQ(rlse_blk(bf, nullptr), -1);
    EXPECT_EQ(flush_blks(bf), -1);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
    EXPECT_EQ(reopen_blks(path_.c_str(), bf), -1);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
    EXPECT_EQ(close_blks(bf), -1);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
  }
  for (BufPool *pool : {static_cast<BufPool *>(nullptr), fake_pool}) {
    trace.clear();
    EXPECT_EQ(expand_pool(pool, 2), 0u);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
    EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Unable to lock pool, pool may not exist"), 1);
    EXPECT_EQ(shrink_pool(pool, 2), 0u);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
    EXPECT_EQ(free_pool(pool), -1);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
    EXPECT_EQ(open_blks(path_.c_str(), 0, pool), nullptr);
    EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
  }
}

TEST_F(PoolTest, FreeingThePoolWritesBackAndLeavesItsFilesUnusable) {
  auto *d = static_cast<uint8_t *>(get_blk(bf_, 4));
  d[3] = 0x99;
  ASSERT_EQ(put_blk(bf_, d, 0), 1);
  void *pinned = get_blk(bf_, 5);
  ASSERT_NE(pinned, nullptr);
  EXPECT_EQ(free_pool(pool_), 1);
  EXPECT_EQ(disk_block(path_, 4)[3], static_cast<char>(0x99));
  EXPECT_EQ(free_pool(pool_), -1);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
  pool_ = nullptr;
  EXPECT_EQ(get_blk(bf_, 1), nullptr);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
  EXPECT_EQ(close_blks(bf_), -1) << "the file is still closed and freed";
  bf_ = nullptr;
}

}  // namespace
