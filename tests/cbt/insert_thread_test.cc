// cbinsert from several threads: four threads on four files sharing the pool, then two threads racing for
// the same keys on one file through two handles. Afterwards every file matches its model.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

TEST(InsertThreads, FourFilesThenOneFileThroughTwoHandles) {
  ASSERT_EQ(cbinit(48, 512), 1);
  TempDir dir;
  std::vector<std::jthread> threads;
  for (int n = 0; n < 4; ++n)
    threads.emplace_back([&, n] {
      const std::string path = dir.file("t" + std::to_string(n) + ".idx");
      cbt_tree *t = cbcreate(path.c_str(), nullptr, n % 2 ? 512 : 256);  // null: insertion 0 fails
      Rng rng(500 + static_cast<uint64_t>(n));
      TreeModel model;
      for (int i = 0; i < 2500; ++i) {
        const std::string k = rng.text(rng.range(0, 40), "abcdef");
        const uint32_t item = static_cast<uint32_t>(rng.range(-2, 2));
        const int32_t dupok = rng.one_in(3) ? 0 : 1, want = model.insert_error(k, item, dupok);
        const int32_t r = cbinsert(t, k.data(), static_cast<uint32_t>(k.size()), item, dupok);
        ASSERT_EQ(std::pair(r, want ? *qrxcbecd() : 0u),
                  std::pair(want ? -1 : 1, static_cast<uint32_t>(want)))
            << "file " << n << " insertion " << i;  // the error code is this thread's own
        if (want == 0) model.insert(k, item);
      }
      EXPECT_TRUE(tree_matches_model(t, path, model)) << n;  // while the others still insert
      EXPECT_EQ(cbclose(t), 1);
    });
  threads.clear();  // joins
  // Both threads insert every key with dupok 0 and an item of their own: exactly one wins each key.
  const std::string path = dir.file("shared.idx");
  cbt_tree *h[2] = {cbcreate(path.c_str(), nullptr, 256), cbopen(path.c_str(), 2, nullptr)};
  ASSERT_TRUE(h[0] && h[1]);
  Rng krng(31337);
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back(krng.text(krng.range(1, 24), "abcdefgh") + std::to_string(i));
  for (uint32_t n = 0; n < 2; ++n)
    threads.emplace_back([&, n] {
      std::vector<std::string> order = keys;
      Rng(77 + n).shuffle(order);
      std::string last;  // the cursor stays on it while the other thread's insertions split under it
      for (const auto &k : order) {
        ASSERT_TRUE(last.empty() || cursor_entry(h[n]) == std::optional<KeyItem>({last, n + 1})) << last;
        const int32_t r = cbinsert(h[n], k.data(), static_cast<uint32_t>(k.size()), n + 1, 0);
        uint32_t item = n + 1;
        ASSERT_TRUE(r == 1 ? cbfinditem(h[n], k.data(), static_cast<uint32_t>(k.size()), &item) == 2
                           : (r == -1 && *qrxcbecd() == 17u))
            << k << " " << r;
        if (r == 1) last = k;
      }
    });
  threads.clear();
  TreeModel model;  // a second winner would be an entry the model lacks
  for (uint32_t item = 0; const auto &k : keys) {
    ASSERT_EQ(cbfind(h[1], k.data(), static_cast<uint32_t>(k.size()), &item), 2) << k;
    model.insert(k, item);
  }
  EXPECT_TRUE(tree_matches_model(h[0], path, model));
  EXPECT_TRUE(walk_forward_matches(h[1], model));
  for (cbt_tree *t : {h[1], h[0]}) EXPECT_EQ(cbclose(t), 1);
  cbexit();
}

}  // namespace
}  // namespace qrx::test
