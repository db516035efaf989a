// cbinsert from several threads: four threads on four files sharing the pool, and two threads racing for
// the same keys on one file through two handles. Afterwards every file matches its model.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
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

TEST_F(InsertThreads, FourThreadsFourFiles) {
  std::vector<std::string> paths;
  std::vector<cbt_tree *> trees;
  for (int n = 0; n < 4; ++n) {
    paths.push_back(dir_.file("t" + std::to_string(n) + ".idx"));
    trees.push_back(cbcreate(paths.back().c_str(), nullptr, n % 2 ? 512 : 256));
    ASSERT_NE(trees.back(), nullptr);
  }
  std::vector<TreeModel> models(4);
  std::vector<std::string> failures(4);
  std::vector<std::jthread> threads;
  for (int n = 0; n < 4; ++n)
    threads.emplace_back([&, n] {
      Rng rng(500 + static_cast<uint64_t>(n));
      for (int i = 0; i < 2500 && failures[n].empty(); ++i) {
        const std::string k = rng.text(rng.range(0, 40), "abcdef");
        const uint32_t item = static_cast<uint32_t>(rng.range(-2, 2));
        const int32_t dupok = rng.one_in(3) ? 0 : 1;
        const int want = models[n].insert_error(k, item, dupok);
        const int32_t r = ins(trees[n], k, item, dupok);  // the error code read below is this thread's own
        if (want == 0 ? r != 1 : (r != -1 || *qrxcbecd() != static_cast<uint32_t>(want)))
          failures[n] = "insertion " + std::to_string(i) + " returned " + std::to_string(r);
        else if (want == 0)
          models[n].insert(k, item);
      }
    });
  threads.clear();  // joins
  for (int n = 0; n < 4; ++n) {
    EXPECT_EQ(failures[n], "") << "thread " << n;
    EXPECT_TRUE(tree_matches_model(trees[n], paths[n], models[n])) << "file " << n;
    EXPECT_EQ(cbclose(trees[n]), 1);
  }
}

// Both threads insert every key with dupok 0 (own items): exactly one wins each key, the other gets 17.
// Each keeps its cursor on its last inserted entry while the other thread's insertions split under it.
TEST_F(InsertThreads, TwoThreadsOneFileTwoHandles) {
  const std::string path = dir_.file("shared.idx");
  cbt_tree *h[2] = {cbcreate(path.c_str(), nullptr, 256), nullptr};
  ASSERT_NE(h[0], nullptr);
  ASSERT_NE(h[1] = cbopen(path.c_str(), 2, nullptr), nullptr);
  std::vector<std::string> keys;
  Rng krng(31337);
  for (int i = 0; i < 3000; ++i) keys.push_back(krng.text(krng.range(1, 24), "abcdefgh") + std::to_string(i));
  std::vector<uint32_t> won[2];
  std::string failure[2];
  std::atomic<int> ready{0};
  auto worker = [&](int n) {
    cbt_tree *t = h[n];
    won[n].assign(keys.size(), 0);
    std::vector<size_t> order(keys.size());
    std::iota(order.begin(), order.end(), size_t{0});
    Rng rng(77 + static_cast<uint64_t>(n));
    rng.shuffle(order);
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    const uint32_t item = static_cast<uint32_t>(n + 1);
    std::string last;
    for (size_t i : order) {
      *qrxcbecd() = 0;
      const int32_t r = ins(t, keys[i], item, 0);
      if (r == 1)
        won[n][i] = item;
      else if (r != -1 || *qrxcbecd() != 17u)
        return void(failure[n] = "key " + keys[i] + ": " + std::to_string(r));
      const auto at = cursor_entry(t);
      if (!last.empty() && (!at || at->key != last || at->item != item))
        return void(failure[n] = "cursor left entry " + last);
      uint32_t found = item;
      if (r == 1 && cbfinditem(t, keys[i].data(), static_cast<uint32_t>(keys[i].size()), &found) != 2)
        return void(failure[n] = "cbfinditem missed " + keys[i]);
      if (r == 1) last = keys[i];
    }
  };
  std::thread ta(worker, 0);
  worker(1);
  ta.join();
  ASSERT_EQ(failure[0] + failure[1], "");
  TreeModel model;
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_NE(won[0][i] != 0, won[1][i] != 0) << "key " << keys[i] << " won by both or neither";
    model.insert(keys[i], won[0][i] | won[1][i]);
  }
  EXPECT_TRUE(tree_matches_model(h[0], path, model));
  EXPECT_TRUE(walk_forward_matches(h[1], model));
  for (cbt_tree *t : {h[1], h[0]}) EXPECT_EQ(cbclose(t), 1);
}

}  // namespace
}  // namespace qrx::test
