// Buffer pool under several threads: blocks of several files got, changed and put back at once while
// the pool is replaced through, grown and shrunk; the files must end up holding every change.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

using qrx::codec::load_u32;
using qrx::codec::store_u32;

constexpr uint32_t kBlk = 256;
constexpr int kFiles = 4;
constexpr int32_t kBlocks = 24;
constexpr int kThreads = 6;
constexpr int kRounds = 1500;
// Each thread counts its changes to a block in its own word of the block, behind a 16-byte header.
constexpr size_t kSlot0 = 16;

struct Shared {
  BufPool *pool = nullptr;
  std::array<Bfile *, kFiles> files{};
  // Operations on one file run one at a time, as the B-tree layer's control-record mutex makes them.
  std::array<std::mutex, kFiles> file_mutex;
};

using Counts = std::array<std::array<uint32_t, kBlocks>, kFiles>;

void worker(Shared &s, int t, Counts &mine, std::atomic<int> &failures) {
  std::mt19937 rng(1000 + t);
  for (int round = 0; round < kRounds; ++round) {
    const int f = static_cast<int>(rng() % kFiles);
    const auto b = static_cast<int32_t>(1 + rng() % (kBlocks - 1));
    const unsigned what = rng() % 10;
    std::lock_guard<std::mutex> g(s.file_mutex[f]);
    auto *d = static_cast<uint8_t *>(get_blk(s.files[f], b));
    if (d == nullptr) {
      ++failures;
      continue;
    }
    const size_t off = kSlot0 + 4 * static_cast<size_t>(t);
    if (load_u32(d, off) != mine[f][b] || load_u32(d, 0) != static_cast<uint32_t>(b)) ++failures;
    if (what < 2) {  // look only
      if (rlse_blk(s.files[f], d) != 1) ++failures;
      continue;
    }
    store_u32(d, off, ++mine[f][b]);
    if (put_blk(s.files[f], d, what < 4 ? 1 : 0) != 1) ++failures;
    if (what == 9 && flush_blks(s.files[f]) != 1) ++failures;
  }
}

TEST(PoolThreadTest, ConcurrentChangesToSeveralFilesAllReachTheirFiles) {
  qrx::test::TempDir dir;
  Shared s;
  s.pool = mk_pool(kBlk, 4, nullptr);
  ASSERT_NE(s.pool, nullptr);
  std::vector<std::string> paths;
  for (int f = 0; f < kFiles; ++f) {
    std::string bytes(kBlk * kBlocks, '\0');
    auto *p = reinterpret_cast<uint8_t *>(bytes.data());
    store_u32(p, 0, kBlk);
    for (int32_t b = 1; b < kBlocks; ++b) store_u32(p, b * size_t{kBlk}, static_cast<uint32_t>(b));
    paths.push_back(dir.file("f" + std::to_string(f) + ".blk"));
    qrx::test::write_file(paths.back(), bytes);
    s.files[f] = open_blks(paths.back().c_str(), 2, s.pool);
    ASSERT_NE(s.files[f], nullptr);
  }

  std::vector<Counts> counts(kThreads);
  for (auto &c : counts)
    for (auto &row : c) row.fill(0);
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { worker(s, t, counts[t], failures); });
  // Meanwhile the pool is grown and shrunk under the workers' feet.
  std::thread resizer([&] {
    while (!done.load()) {
      expand_pool(s.pool, 3);
      shrink_pool(s.pool, 3);
      std::this_thread::yield();
    }
  });
  for (auto &th : threads) th.join();
  done = true;
  resizer.join();

  EXPECT_EQ(failures.load(), 0);
  for (int f = 0; f < kFiles; ++f) EXPECT_EQ(close_blks(s.files[f]), 1);
  EXPECT_EQ(free_pool(s.pool), 1);
  for (int f = 0; f < kFiles; ++f) {
    const std::string bytes = qrx::test::read_file(paths[f]);
    ASSERT_EQ(bytes.size(), kBlk * size_t{kBlocks});
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.data());
    for (int32_t b = 1; b < kBlocks; ++b)
      for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(load_u32(p, b * size_t{kBlk} + kSlot0 + 4 * t), counts[t][f][b])
            << "file " << f << " block " << b << " thread " << t;
  }
}

TEST(PoolThreadTest, PoolStatusIsKeptPerThread) {
  EXPECT_EQ(get_blk(nullptr, 1), nullptr);
  ASSERT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE));
  uint32_t seen_in_thread = 99;
  uint32_t after_thread_call = 99;
  std::thread th([&] {
    seen_in_thread = *qrxcbbpe();
    expand_pool(nullptr, 1);
    after_thread_call = *qrxcbbpe();
  });
  th.join();
  EXPECT_EQ(seen_in_thread, 0u) << "a new thread starts with status 0";
  EXPECT_EQ(after_thread_call, static_cast<uint32_t>(QRXCB_POOL_NOT_REGISTERED));
  EXPECT_EQ(*qrxcbbpe(), static_cast<uint32_t>(QRXCB_POOL_NO_BFILE)) << "untouched by the other thread";
}

}  // namespace
