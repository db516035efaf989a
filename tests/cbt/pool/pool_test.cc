// Buffer pool: caching, pinning, replacement, write-back, growth, allocation on first use and the checks on
// what callers hand in; opening, upgrading and closing block files, and the reuse of their descriptor
// numbers.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cbt/ctl.h"
#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

constexpr uint32_t kBlk = 512, kFileBlk = 256;  // the block size of most tests, of the file tests
constexpr int32_t kBlocks = 16;

// n blocks, block k filled with fill + k; block 0 starts with the block size.
void make_block_file(const std::string &path, int32_t n, uint32_t blksize = kBlk, uint8_t fill = 11) {
  std::string bytes;
  for (int32_t k = 0; k < n; ++k) bytes.append(blksize, static_cast<char>(fill + k));
  qrx::codec::store_u32(reinterpret_cast<uint8_t *>(bytes.data()), 0, blksize);
  qrx::test::write_file(path, bytes);
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    make_block_file(path_, kBlocks);
    pool_ = mk_pool(kBlk, 4, nullptr);
    bf_ = open_blks(path_.c_str(), 2, pool_);
    ASSERT_NE(bf_, nullptr);
  }
  void TearDown() override {
    if (bf_ != nullptr) close_blks(bf_);
    if (pool_ != nullptr) free_pool(pool_);
  }
  // A fresh pool of four buffers with the given replacement rule, the file opened on it again.
  void remake(qrx::pool::Rule rule) {
    close_blks(bf_);
    free_pool(pool_);
    pool_set_default_rule(rule);
    pool_ = mk_pool(kBlk, 4, nullptr);
    pool_set_default_rule(qrx::pool::Rule::kClock);
    ASSERT_NE(bf_ = open_blks(path_.c_str(), 2, pool_), nullptr);
  }
  void touch(int32_t k) { ASSERT_EQ(rlse_blk(bf_, get_blk(bf_, k)), 1) << k; }  // cached, unpinned
  std::string disk(int32_t k) { return qrx::test::read_file(path_).substr(k * size_t{kBlk}, kBlk); }
  uint8_t *get(int32_t k) { return static_cast<uint8_t *>(get_blk(bf_, k)); }

  qrx::test::TempDir dir_;
  std::string path_ = dir_.file("a.blk");
  BufPool *pool_ = nullptr;
  Bfile *bf_ = nullptr;
};

TEST_F(PoolTest, LruReplacementWriteBackRereadAndGrowthWhenAllArePinned) {
  remake(qrx::pool::Rule::kLru);
  uint8_t *d = get(1);
  std::string expect = disk(1);
  std::memset(d + 100, 0x5A, 20);
  std::memset(expect.data() + 100, 0x5A, 20);
  ASSERT_EQ(put_blk(bf_, d, 0), 1);
  for (int32_t k : {2, 3, 4, 2}) touch(k);  // LRU order now 1, 3, 4, 2
  const uint64_t r = pool_read_count(pool_);
  touch(5);  // replaces dirty block 1
  EXPECT_EQ(disk(1), expect);
  touch(2), touch(4);
  EXPECT_EQ(pool_read_count(pool_), r + 1) << "2 and 4 still cached";
  std::vector<uint8_t *> held;
  for (int32_t k : {1, 6, 7, 8, 10}) held.push_back(get(k));
  EXPECT_EQ(pool_read_count(pool_), r + 6) << "1 comes back from disk";
  EXPECT_EQ(std::string(reinterpret_cast<char *>(held[0]), kBlk), expect);
  EXPECT_EQ(pool_buffer_count(pool_), 5u) << "every buffer was pinned";
  for (uint8_t *h : held) EXPECT_EQ(rlse_blk(bf_, h), 1);
}

// Under the clock rule a block given back with a heavy weight (an interior node of a tree) outlives a
// stream of blocks given back with weight 1; exact LRU lets the same stream push it out.
TEST_F(PoolTest, ClockWeightsKeepHeavyBlocksThatLruEvicts) {
  using namespace qrx::pool::op;
  for (qrx::pool::Rule rule : {qrx::pool::Rule::kClock, qrx::pool::Rule::kLru}) {
    remake(rule);
    ASSERT_EQ(rlse_blk_held(bf_, get_blk_held(bf_, 1), 32), 1);
    for (int32_t k = 2; k <= 15; ++k) ASSERT_EQ(rlse_blk_held(bf_, get_blk_held(bf_, k), 1), 1);
    const uint64_t reads = pool_read_count(pool_);
    ASSERT_EQ(rlse_blk_held(bf_, get_blk_held(bf_, 1), 32), 1);
    EXPECT_EQ(pool_read_count(pool_) - reads, rule == qrx::pool::Rule::kClock ? 0u : 1u);
  }
}

// A hit and a release of a cached block take only the block's shard lock: they complete while another
// thread holds the pool mutex (as a miss reading from disk does).
TEST_F(PoolTest, AHitAndAReleaseWaitForNoPoolMutex) {
  touch(2);
  std::unique_lock<std::mutex> held(pool_->mutex);
  auto hit = std::async(std::launch::async, [&] {
    void *d = qrx::pool::op::get_blk_held(bf_, 2);
    return d != nullptr && qrx::pool::op::rlse_blk_held(bf_, d) == 1;
  });
  const bool done = hit.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  held.unlock();
  EXPECT_TRUE(done) << "the hit waited for the pool mutex";
  EXPECT_TRUE(hit.get());
}

TEST_F(PoolTest, FailedReadAndFailedWriteBackLeaveThePoolUsable) {
  qrx::test::TraceCapture trace;
  EXPECT_EQ(get_blk(bf_, kBlocks + 4), nullptr);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_IO));
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Error reading block 20"), 1);
  // A dirty block of a read-only file cannot be written: replacement passes it by and keeps it dirty.
  const std::string ro_path = dir_.file("ro.blk");
  make_block_file(ro_path, 4);
  Bfile *ro = open_blks(ro_path.c_str(), 0, pool_);
  auto *d = static_cast<uint8_t *>(get_blk(ro, 2));
  d[40] = 0xEE;
  ASSERT_EQ(put_blk(ro, d, 0), 1);
  for (int32_t k = 1; k <= 4; ++k) touch(k);  // the failed read left its buffer free
  EXPECT_EQ(pool_buffer_count(pool_), 4u);
  EXPECT_EQ(get_blk(ro, 2), d) << "still cached";
  EXPECT_EQ(d[40], 0xEE);
  EXPECT_EQ(rlse_blk(ro, d), 1);
}

TEST_F(PoolTest, EmptyBlkSupersedesTheCachedCopyAndForeignAddressesAndHandlesAreRefused) {
  touch(3);
  auto *d = static_cast<uint8_t *>(empty_blk(bf_, 3));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(d), kBlk), std::string(kBlk, '\0'));
  d[0] = 0xAB;
  ASSERT_EQ(put_blk(bf_, d, 1), 1);
  EXPECT_EQ(get(3)[0], 0xAB) << "the old cached copy must not be found";
  EXPECT_EQ(empty_blk(bf_, 3), nullptr) << "a pinned block cannot be replaced";
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BUFFER));
  EXPECT_EQ(rlse_blk(bf_, d), 1);
  d = get(1);
  auto heap = std::make_unique<char[]>(8);  // reading a header before it would trip ASan
  EXPECT_EQ(put_blk(bf_, d + 1, 1), -1);
  EXPECT_EQ(rlse_blk(bf_, heap.get()), -1);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
  EXPECT_EQ(rlse_blk(bf_, d), 1);
  EXPECT_EQ(rlse_blk(bf_, d), -1) << "released twice";

  qrx::test::TraceCapture trace;
  int fake = 0;  // neither a file nor a pool of this process
  EXPECT_EQ(close_blks(reinterpret_cast<Bfile *>(&fake)), -1);
  EXPECT_EQ(expand_pool(reinterpret_cast<BufPool *>(&fake), 2), 0u);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
  EXPECT_TRUE(trace.contains(QRXHOST_KIND_ERROR, "Unable to lock pool, pool may not exist"));
}

TEST_F(PoolTest, FlushShrinkAndFreeWriteDirtyBlocksAndKeepPinnedOnes) {
  EXPECT_EQ(expand_pool(pool_, 3), 3u);
  uint8_t *one = get(1), *two = get(2);
  one[10] = 0x01, two[10] = 0x02;
  ASSERT_EQ(put_blk(bf_, one, 0), 1);
  ASSERT_EQ(put_blk(bf_, two, 0), 1);
  two = get(2);  // dirty and pinned
  const uint64_t w = pool_write_count(pool_);
  EXPECT_EQ(flush_blks(bf_), 1);
  EXPECT_EQ(pool_write_count(pool_), w + 2);
  EXPECT_EQ(disk(2)[10], 0x02);
  uint8_t *three = get(3);
  three[0] = 0x77;
  ASSERT_EQ(put_blk(bf_, three, 0), 1);
  EXPECT_EQ(shrink_pool(pool_, 10), 6u) << "the pinned buffer stays";
  EXPECT_EQ(disk(3)[0], 0x77) << "a dirty buffer is written before it is freed";
  two[20] = 0x42;
  ASSERT_EQ(put_blk(bf_, two, 0), 1);
  ASSERT_NE(get_blk(bf_, 5), nullptr);  // pinned while the pool is freed
  EXPECT_EQ(free_pool(pool_), 1);
  EXPECT_EQ(disk(2)[20], 0x42);
  pool_ = nullptr;
  EXPECT_EQ(get_blk(bf_, 1), nullptr);
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
  EXPECT_EQ(close_blks(bf_), -1) << "the file was closed and freed with the pool";
  bf_ = nullptr;
}

// Budget not yet allocated is used before any cached block is evicted, and shrinking gives it back
// before touching a cached block.
TEST_F(PoolTest, UnallocatedBudgetComesBeforeEvictionAndGoesFirstWhenShrinking) {
  const std::string big = dir_.file("big.blk");
  make_block_file(big, 48);
  ASSERT_EQ(close_blks(bf_), 1);
  ASSERT_TRUE((bf_ = open_blks(big.c_str(), 2, pool_)) && expand_pool(pool_, 36) == 36u);
  EXPECT_EQ(pool_allocated_count(pool_), 0u);
  uint8_t *d = get(1);
  d[7] = 0x99;
  ASSERT_EQ(put_blk(bf_, d, 0), 1);
  touch(2), touch(3);
  const uint32_t first = pool_allocated_count(pool_);
  ASSERT_TRUE(first >= 3 && first <= 20) << first;
  EXPECT_TRUE(shrink_pool(pool_, 40 - first) == 40 - first && pool_buffer_count(pool_) == first &&
              pool_allocated_count(pool_) == first && pool_write_count(pool_) == 0u)
      << "only budget went";
  ASSERT_EQ(expand_pool(pool_, 20 - first), 20 - first);
  for (int32_t k = 1; k <= 40; ++k) touch((k - 1) % 20 + 1);
  EXPECT_EQ(pool_read_count(pool_), 20u) << "blocks 1 to 3 stayed cached, and 20 blocks fit";
  EXPECT_TRUE(pool_write_count(pool_) == 0u && pool_allocated_count(pool_) == 20u) << "no eviction yet";
  touch(21);
  EXPECT_EQ(pool_write_count(pool_), 1u) << "with the budget used up, the least recent block goes";
  EXPECT_EQ(qrx::test::read_file(big)[kBlk + 7], static_cast<char>(0x99));
}

// Buffer memory that runs short fails no request an eviction can serve; the budget stays for later.
TEST_F(PoolTest, WithoutMemoryForNewBuffersMissesEvictAndOnlyAPinnedPoolFails) {
  static int allowed;
  allowed = 2;
  pool_set_buffer_alloc_hook(
      [](size_t n, size_t size) { return allowed-- > 0 ? std::calloc(n, size) : nullptr; });
  qrx::test::TraceCapture trace;
  EXPECT_EQ(expand_pool(pool_, 36), 36u);
  touch(1), touch(2);
  uint8_t *three = get(3);
  EXPECT_TRUE(three && *qrxcbbpe() == QRXCB_POOL_OK && pool_allocated_count(pool_) == 2u);
  EXPECT_TRUE(trace.contains(
      QRXHOST_KIND_ERROR,
      "Unable to allocate " + std::to_string(sizeof(qrx::pool::BufRec) + kBlk) + " bytes for buffer 2"));
  uint8_t *two = get(2);
  EXPECT_EQ(pool_read_count(pool_), 3u) << "block 2 stayed cached: block 1 made room";
  EXPECT_TRUE(get_blk(bf_, 1) == nullptr && *qrxcbbpe() == QRXCB_POOL_NO_BUFFER);
  EXPECT_TRUE(trace.contains(QRXHOST_KIND_ERROR, "Unable to expand buffer pool"));
  pool_set_buffer_alloc_hook(nullptr);
  touch(1);
  EXPECT_TRUE(pool_allocated_count(pool_) > 2u && pool_buffer_count(pool_) == 40u) << "the budget was kept";
  EXPECT_TRUE(rlse_blk(bf_, two) == 1 && rlse_blk(bf_, three) == 1);
}

// A process that asks for a large pool and then works on one small file pays for what it uses.
TEST(PoolBudget, ASmallFileInALargePoolAllocatesFewBuffers) {
  qrx::test::TempDir dir;
  ASSERT_EQ(cbinit(65536, 4096), 1);
  BufPool *pool = qrx::cbt::cbt_anchor_peek()->pool;
  cbt_tree *t = cbcreate(dir.file("small.idx").c_str(), nullptr, 4096);
  for (uint32_t i = 0; i < 400; ++i) {
    const std::string key = "key" + std::to_string(i * 7919 % 400);
    ASSERT_EQ(cbinsert(t, key.data(), static_cast<uint32_t>(key.size()), i, 0), 1) << i;
  }
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_LT(pool_allocated_count(pool), 64u);
  EXPECT_TRUE(pool_buffer_count(pool) == 65536u && cbbufcnt() == 65536u);
  EXPECT_EQ(cbexit(), 1);
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
    make_block_file(a_, 8, kFileBlk, 0x10);
    make_block_file(b_, 8, kFileBlk, 0x80);
    pool_ = mk_pool(kFileBlk, 4, nullptr);
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
  make_block_file(big, 2, 1024, 0);
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
  EXPECT_EQ(a_before[3 * kFileBlk + 5], 0x42) << "written back at close";
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
  EXPECT_EQ(qrx::test::read_file(a_)[5 * kFileBlk + 1], 0x55) << "the dirty block went to the new descriptor";
  Bfile *other = open_blks(b_.c_str(), 0, pool_);  // receives the old number
  EXPECT_EQ(get(other, 5)[1], 0x85);
  EXPECT_EQ(close_blks(bf), 1);
}

}  // namespace
