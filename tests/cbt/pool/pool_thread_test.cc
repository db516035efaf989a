// Several threads get, change and put blocks of several files while the pool grows and shrinks.
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
constexpr int kFiles = 4, kBlocks = 24, kThreads = 6, kRounds = 1500;

TEST(PoolThreadTest, ConcurrentChangesToSeveralFilesAllReachTheirFiles) {
  qrx::test::TempDir dir;
  BufPool *pool = mk_pool(kBlk, 4, nullptr);
  std::array<Bfile *, kFiles> files{};
  std::array<std::mutex, kFiles> file_mutex;  // one operation per file at a time, as the B-tree layer does
  std::array<std::string, kFiles> expect;     // what each file must hold, changed under its mutex
  auto bytes = [&](int f) { return reinterpret_cast<uint8_t *>(expect[f].data()); };
  for (int f = 0; f < kFiles; ++f) {
    expect[f].assign(kBlk * kBlocks, '\0');
    for (int b = 0; b < kBlocks; ++b) store_u32(bytes(f), b * kBlk, b ? b : kBlk);
    qrx::test::write_file(dir.file(std::to_string(f)), expect[f]);
    ASSERT_NE(files[f] = open_blks(dir.file(std::to_string(f)).c_str(), 2, pool), nullptr);
  }
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(1000 + t);
      for (int round = 0; round < kRounds; ++round) {
        const int f = rng() % kFiles, b = 1 + rng() % (kBlocks - 1), what = rng() % 10;
        std::lock_guard<std::mutex> g(file_mutex[f]);
        uint8_t *want = bytes(f) + b * kBlk;
        auto *d = static_cast<uint8_t *>(get_blk(files[f], b));
        if (d == nullptr || std::memcmp(d, want, kBlk) != 0) return void(++failures);
        const size_t off = 16 + 4 * t;  // each thread counts its changes in its own word
        if (what >= 2) store_u32(want, off, load_u32(want, off) + 1), std::memcpy(d, want, kBlk);
        failures += (what < 2 ? rlse_blk(files[f], d) : put_blk(files[f], d, what < 4)) != 1;
        if (what == 9) failures += flush_blks(files[f]) != 1;
      }
    });
  std::thread resizer([&] {
    while (!done) expand_pool(pool, 3), shrink_pool(pool, 3), std::this_thread::yield();
  });
  for (auto &th : threads) th.join();
  done = true;
  resizer.join();
  EXPECT_EQ(failures.load(), 0);
  for (Bfile *bf : files) EXPECT_EQ(close_blks(bf), 1);
  EXPECT_EQ(free_pool(pool), 1);
  for (int f = 0; f < kFiles; ++f) EXPECT_EQ(qrx::test::read_file(dir.file(std::to_string(f))), expect[f]);
}

}  // namespace
