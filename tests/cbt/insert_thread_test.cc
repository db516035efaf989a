// cbinsert from several threads: four threads on four files sharing the buffer pool, and two threads on
// one file through two handles, racing for the same keys and holding cursors that the other thread's
// insertions move. Afterwards every file must match its model. Clean under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

int32_t ins(cbt_tree *t, const std::string &k, uint32_t item, int32_t dupok) {
  return cbinsert(t, k.data(), static_cast<uint32_t>(k.size()), item, dupok);
}

class InsertThreads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(48, 512), 1); }
  void TearDown() override { cbexit(); }
  TempDir dir_;
};

// Each thread fills a file of its own; the pool and the layer's anchor are shared.
TEST_F(InsertThreads, FourThreadsFourFiles) {
  constexpr int kThreads = 4;
  constexpr int kKeys = 2500;
  std::vector<std::string> paths;
  std::vector<cbt_tree *> trees;
  for (int n = 0; n < kThreads; ++n) {
    paths.push_back(dir_.file("t" + std::to_string(n) + ".idx"));
    trees.push_back(cbcreate(paths.back().c_str(), nullptr, n % 2 ? 512 : 256));
    ASSERT_NE(trees.back(), nullptr);
  }
  std::vector<TreeModel> models(kThreads);
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&, n] {
      Rng rng(500 + static_cast<uint64_t>(n));
      for (int i = 0; i < kKeys; ++i) {
        const std::string k = rng.text(rng.range(0, 40), "abcdef");
        const uint32_t item = static_cast<uint32_t>(rng.range(-2, 2));
        const int32_t dupok = rng.one_in(3) ? 0 : 1;
        const int want = models[n].insert_error(k, item, dupok);
        const int32_t r = ins(trees[n], k, item, dupok);
        // The codes are per thread: the error read here is this thread's own.
        if (want == 0 ? r != 1 : (r != -1 || *qrxcbecd() != static_cast<uint32_t>(want))) {
          failures[n] = "insertion " + std::to_string(i) + " returned " + std::to_string(r) + ", error " +
                        std::to_string(*qrxcbecd()) + ", expected error " + std::to_string(want);
          return;
        }
        if (want == 0) models[n].insert(k, item);
      }
    });
  }
  for (auto &th : threads) th.join();
  for (int n = 0; n < kThreads; ++n) {
    EXPECT_EQ(failures[n], "") << "thread " << n;
    EXPECT_TRUE(tree_matches_model(trees[n], paths[n], models[n])) << "file " << n;
    EXPECT_EQ(cbclose(trees[n]), 1);
  }
}

// Two handles on one file, one per thread. Both insert the same keys with dupok 0 (each thread its own
// items): exactly one of the two wins every key, the other is refused with 17. Each thread also keeps its
// cursor on the entry it inserted last and checks that the other thread's insertions, which split and
// shift the leaves under it, leave it on that entry.
TEST_F(InsertThreads, TwoThreadsOneFileTwoHandles) {
  const std::string path = dir_.file("shared.idx");
  cbt_tree *a = cbcreate(path.c_str(), nullptr, 256);
  ASSERT_NE(a, nullptr);
  cbt_tree *b = cbopen(path.c_str(), 2, nullptr);
  ASSERT_NE(b, nullptr);
  constexpr int kKeys = 3000;
  std::vector<std::string> keys;
  {
    Rng rng(31337);
    for (int i = 0; i < kKeys; ++i)
      keys.push_back(rng.text(rng.range(1, 24), "abcdefgh") + std::to_string(i));
  }
  struct Outcome {
    std::vector<uint32_t> won;  // items of the keys this thread inserted (0 = refused)
    std::string failure;
  };
  Outcome out[2];
  std::atomic<int> ready{0};
  auto worker = [&](int n, cbt_tree *t) {
    Outcome &o = out[n];
    o.won.assign(keys.size(), 0);
    Rng rng(77 + static_cast<uint64_t>(n));
    std::vector<size_t> order(keys.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    rng.shuffle(order);
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    std::string last;
    uint32_t last_item = 0;
    for (size_t i : order) {
      const uint32_t item = static_cast<uint32_t>(n + 1);
      *qrxcbecd() = 0;
      const int32_t r = ins(t, keys[i], item, 0);
      if (r == 1) {
        o.won[i] = item;
      } else if (r != -1 || *qrxcbecd() != 17u) {
        o.failure = "key " + std::to_string(i) + ": result " + std::to_string(r) + ", error " +
                    std::to_string(*qrxcbecd());
        return;
      }
      // The cursor set on the previous entry must still be on it.
      if (!last.empty()) {
        uint32_t got = 0;
        std::string k(last.size() + 1, '\0');
        if (cbcurr(t, &got) != 1 || got != last_item ||
            cbkey(t, k.data(), static_cast<uint32_t>(k.size())) != 1 ||
            k.compare(0, last.size(), last) != 0 || k[last.size()] != '\0') {
          o.failure = "cursor left entry " + last;
          return;
        }
      }
      if (r == 1) {
        uint32_t found = item;
        if (cbfinditem(t, keys[i].data(), static_cast<uint32_t>(keys[i].size()), &found) != 2) {
          o.failure = "cbfinditem missed " + keys[i];
          return;
        }
        last = keys[i];
        last_item = item;
      }
    }
  };
  std::thread ta(worker, 0, a), tb(worker, 1, b);
  ta.join();
  tb.join();
  ASSERT_EQ(out[0].failure, "");
  ASSERT_EQ(out[1].failure, "");
  TreeModel model;
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_NE(out[0].won[i] != 0, out[1].won[i] != 0) << "key " << keys[i] << " won by both or neither";
    model.insert(keys[i], out[0].won[i] | out[1].won[i]);
  }
  EXPECT_TRUE(tree_matches_model(a, path, model));
  EXPECT_TRUE(walk_forward_matches(b, model));
  EXPECT_EQ(cbclose(b), 1);
  EXPECT_EQ(cbclose(a), 1);
}

}  // namespace
}  // namespace qrx::test
