// Threads: per-thread status codes (the pool's too); two threads racing to insert the same keys through two
// handles on one file, exactly one winning each; two threads changing and positioning through two
// handles on one file (cursor correction walks the handle list under the record's mutex: no lock-order
// cycle); and the buffer pool serving several threads and files while it grows and shrinks. Several index
// files changed at once: isam/update_thread_test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace {

namespace tb = qrx::test;
using qrx::codec::load_u32;
using qrx::codec::store_u32;

TEST(CodesThread, CodesDoNotLeakBetweenThreads) {
  EXPECT_TRUE(cbdepth(nullptr) == -1 && get_blk(nullptr, 1) == nullptr);
  uint32_t f = 99, a = 0, p = 0, mine[4] = {*qrxcbecd(), *qrxcbfcd(), *qrxcbccd(), *qrxcbbpe()};
  std::thread t([&] {
    f = *qrxcbecd() | *qrxcbfcd() | *qrxcbccd() | *qrxcbbpe(), cbkey(0, 0, 0), a = *qrxcbfcd();
    expand_pool(nullptr, 1), p = *qrxcbbpe();
  });
  t.join();  // a fresh thread starts with zero codes, and its codes (the pool's too) stay its own
  EXPECT_TRUE(mine[0] == 15 && f == 0 && a == 12 && *qrxcbecd() == mine[0] && *qrxcbfcd() == mine[1] &&
              *qrxcbccd() == mine[2]);
  EXPECT_TRUE(mine[3] == QRXCB_POOL_NO_BFILE && p == QRXCB_POOL_NOT_REGISTERED && *qrxcbbpe() == mine[3]);
}

// Both threads insert every key with dupok 0 and an item of their own: exactly one wins each key.
TEST(InsertThreads, TwoHandlesRaceForTheSameKeys) {
  ASSERT_EQ(cbinit(48, 512), 1);
  tb::TempDir dir;
  const std::string path = dir.file("shared.idx");
  cbt_tree *h[2] = {cbcreate(path.c_str(), nullptr, 256), cbopen(path.c_str(), 2, nullptr)};
  ASSERT_TRUE(h[0] && h[1]);
  tb::Rng krng(31337);
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back(krng.text(krng.range(1, 24), "abcdefgh") + std::to_string(i));
  std::vector<std::jthread> threads;
  for (uint32_t n = 0; n < 2; ++n)
    threads.emplace_back([&, n] {
      std::vector<std::string> order = keys;
      tb::Rng(77 + n).shuffle(order);
      std::string last;  // the cursor stays on it while the other thread's insertions split under it
      for (const auto &k : order) {
        ASSERT_TRUE(last.empty() || tb::cursor_entry(h[n]) == std::optional<tb::KeyItem>({last, n + 1}))
            << last;
        const int32_t r = cbinsert(h[n], k.data(), static_cast<uint32_t>(k.size()), n + 1, 0);
        uint32_t item = n + 1;
        ASSERT_TRUE(r == 1 ? cbfinditem(h[n], k.data(), static_cast<uint32_t>(k.size()), &item) == 2
                           : (r == -1 && *qrxcbecd() == 17u))
            << k << " " << r;
        if (r == 1) last = k;
      }
    });
  threads.clear();
  tb::TreeModel model;  // a second winner would be an entry the model lacks
  for (uint32_t item = 0; const auto &k : keys) {
    ASSERT_EQ(cbfind(h[1], k.data(), static_cast<uint32_t>(k.size()), &item), 2) << k;
    model.insert(k, item);
  }
  EXPECT_TRUE(tb::tree_matches_model(h[0], path, model));
  for (cbt_tree *t : {h[1], h[0]}) EXPECT_EQ(cbclose(t), 1);
  cbexit();
}

TEST(HandlesThread, ChangesAndPositioningOnOneFileThroughTwoHandles) {
  alarm(240);  // a deadlock ends the process instead of hanging it
  ASSERT_EQ(cbinit(64, 512), 1);
  tb::TempDir dir;
  const std::string p = dir.file("busy.idx");
  cbt_tree *w = cbcreate(p.c_str(), nullptr, 512);
  constexpr uint32_t kBase = 400;
  auto base = [](uint64_t i) { return "b" + std::to_string(10000 + i); };
  tb::TreeModel model;
  std::atomic<int> errors{0}, walks{0}, stop{0};
  for (uint32_t i = 0; i < kBase; ++i)
    errors += cbinsert(w, base(i).data(), 6, i, 0) != 1, model.insert(base(i), i);
  cbt_tree *r = cbopen(p.c_str(), 1, nullptr);
  ASSERT_TRUE(r && errors == 0);
  auto erase = [&](const std::string &k) { errors += cbdelete(w, k.data(), k.size(), 1) != 1; };
  // Inserts and deletes keys between the base keys, so leaves split, shift and join under the cursor.
  std::thread changer([&] {
    tb::Rng rng(77);
    std::vector<std::string> added;
    for (int round = 0; (round < 3000 || walks < 300) && round < 300000; ++round) {
      if (added.size() >= 300 || (!added.empty() && rng.one_in(3))) {
        std::swap(added[rng.below(added.size())], added.back());
        erase(added.back()), added.pop_back();
      } else if (std::string k = base(rng.below(kBase)) + rng.text(1 + rng.below(20));
                 cbinsert(w, k.data(), k.size(), 1, 0) == 1) {
        added.push_back(k);
      } else {
        errors += *qrxcbecd() != 17 && *qrxcbecd() != 18;
      }
    }
    for (const std::string &k : added) erase(k);
    stop = 1;
  });
  // A cursor stays on its entry or, when that is deleted, moves to the following one (or the end): forward
  // walks read strictly increasing keys. Base keys stay found, and marks bring the cursor back.
  std::thread reader([&] {
    tb::Rng rng(78);
    char key[64], last[64];  // keys hold no NUL and fit: cbkey ends them with one
    while (!stop) {
      uint32_t item = 0, len = 0, last_len = 0;
      const bool forward = rng.one_in(2);
      int32_t rc = forward ? cbhead(r, &item) : cbtail(r, &item), krc = 1;
      for (int steps = 0; rc == 1 && steps < 200; ++steps) {
        if ((krc = cbkey(r, key, sizeof key)) != 1) break;
        len = static_cast<uint32_t>(std::strlen(key));
        errors += steps > 0 && forward && qrxcbkcm(last, last_len, key, len) >= 0;
        std::memcpy(last, key, len), last_len = len;
        rc = forward ? cbnext(r, &item) : cbprev(r, &item);
      }
      const uint32_t i = static_cast<uint32_t>(rng.below(kBase));
      errors += rc == -1 || (krc != 1 && krc != -3) || cbfind(r, base(i).data(), 6, &item) != 2 || item != i;
      errors += cbmark(r) != 1 || cbnext(r, &item) == -1 || cbfindmark(r, &item) != 1 || item != i;
      ++walks;
    }
  });
  changer.join(), reader.join();
  EXPECT_TRUE(tb::tree_matches_model(w, p, model, {.relaxed = true}));
  EXPECT_TRUE(errors == 0 && walks >= 300 && cbclose(r) == 1 && cbclose(w) == 1 && cbexit() == 1) << errors;
}

constexpr uint32_t kBlk = 256;  // the pool test's files and rounds
constexpr int kFiles = 4, kBlocks = 24, kThreads = 6, kRounds = 1500;

// Several threads get, change and put blocks of several files while the pool grows and shrinks.
TEST(PoolThreadTest, ConcurrentChangesToSeveralFilesAllReachTheirFiles) {
  tb::TempDir dir;
  BufPool *pool = mk_pool(kBlk, 4, nullptr);
  std::array<Bfile *, kFiles> files{};
  std::array<std::mutex, kFiles> file_mutex;  // one operation per file at a time, as the B-tree layer does
  std::array<std::string, kFiles> expect;     // what each file must hold, changed under its mutex
  auto bytes = [&](int f) { return reinterpret_cast<uint8_t *>(expect[f].data()); };
  for (int f = 0; f < kFiles; ++f) {
    expect[f].assign(kBlk * kBlocks, '\0');
    for (int b = 0; b < kBlocks; ++b) store_u32(bytes(f), b * kBlk, b ? b : kBlk);
    tb::write_file(dir.file(std::to_string(f)), expect[f]);
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
  for (int f = 0; f < kFiles; ++f) EXPECT_EQ(tb::read_file(dir.file(std::to_string(f))), expect[f]);
}

}  // namespace
