// Model-based test of cbinsert: every block size and order, runs of equal keys across leaves, refusals,
// case-insensitive keys, one large tree; checked after every batch. (The cursors and marks of other
// handles through splits, shifts and new roots, and the duplicate rule against both neighbouring leaves:
// delete_model_test, after every operation.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

// Accepted pairs join the model; refused ones carry exactly the error it predicts, with context 21.
testing::AssertionResult insert_checked(cbt_tree *t, TreeModel &m, const std::string &key, uint32_t item,
                                        int32_t dupok) {
  const uint32_t want = static_cast<uint32_t>(m.insert_error(key, item, dupok));
  *qrxcbecd() = 0;
  const int32_t r = cbinsert(t, key.data(), static_cast<uint32_t>(key.size()), item, dupok);
  if (want ? r == -1 && *qrxcbecd() == want && *qrxcbccd() == 21 : r == 1 && m.insert(key, item))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << describe({key, item}) << " dupok " << dupok << ": " << r << " error "
                                     << *qrxcbecd() << "/" << *qrxcbccd() << ", want " << want;
}

// blksize, order (0 random, 1 ascending, 2 descending), compare, entries, distinct keys (0 no limit; -1:
// every key new, 4 to 24 random bytes).
using Row = std::tuple<uint32_t, int, cbt_keycmp_fn, size_t, size_t>;

TEST(InsertModel, EveryBlockSizeOrderAndKeyMix) {
  std::vector<Row> rows = {
      {512, 0, nocase_compare, 2500, 0}, {512, 0, nullptr, 2500, 5}, {2048, 0, nullptr, 200000, size_t(-1)}};
  for (uint32_t b : {88u, 512u, 2048u, 4096u})
    for (int o : {0, 1, 2}) rows.push_back({b, o, nullptr, b <= 512 ? 2500u : 1200u, 0});
  TempDir dir;
  for (size_t row_no = 0; row_no < rows.size(); ++row_no) {
    const auto [blksize, order, cmp, count, distinct] = rows[row_no];
    const std::string path = dir.file(std::to_string(row_no) + ".idx");
    Rng rng(1000 + row_no);
    QRX_TRACE_SEED(rng);
    // Keys of 0..limit bytes over a small alphabet, most repeating an earlier key, with few items.
    const size_t limit = blksize - 36;
    std::vector<std::pair<KeyItem, int32_t>> work;  // (entry, dupok)
    std::vector<std::string> keys;
    for (size_t n = 0; n < count; ++n) {
      const bool fresh = keys.empty() || (distinct ? keys.size() < distinct : rng.below(10) < 4);
      const uint64_t pick = rng.below(20), cap = pick < 12 ? 12 : pick < 17 ? limit / 4 : limit;
      if (fresh && distinct == size_t(-1)) keys.push_back(rng.bytes(rng.range(4, 24)));
      if (fresh && distinct != size_t(-1))
        keys.push_back(
            rng.text(pick < 2 ? pick * limit : std::min(limit, rng.below(cap + 1)), cmp ? "abAB" : "abcd"));
      work.push_back({{fresh ? keys.back() : keys[rng.below(keys.size())],
                       static_cast<uint32_t>(rng.range(-3, distinct ? 2000 : 40))},
                      rng.one_in(4) ? 0 : 1});
    }
    if (order != 0)
      std::stable_sort(work.begin(), work.end(), [&](const auto &a, const auto &b) {
        return compare_entries(cmp, a.first, b.first) * (order == 1 ? 1 : -1) < 0;
      });
    ASSERT_EQ(cbinit(64, blksize), 1);
    cbt_tree *t = cbcreate(path.c_str(), cmp, blksize);
    TreeModel model(cmp);
    if (cmp) {  // neighbours equal under cmp share bytes: a key reads back in the spelling stored first
      ASSERT_TRUE(insert_checked(t, model, "Apple", 1, 1) && insert_checked(t, model, "APPLE", 2, 1));
      uint32_t item = 2;
      ASSERT_EQ(cbfinditem(t, "apple", 5, &item), 2);
      EXPECT_EQ(cursor_entry(t).value_or(KeyItem{}).key, "Apple");
    }
    const size_t per = count < 10000 ? 300 : count;
    for (size_t n = 0; n < work.size(); ++n) {
      ASSERT_TRUE(insert_checked(t, model, work[n].first.key, work[n].first.item, work[n].second)) << n;
      if ((n + 1) % per != 0 && n + 1 != work.size()) continue;
      ASSERT_TRUE(tree_matches_model(t, path, model)) << n;
    }
    EXPECT_GT(cbdepth(t), blksize <= 512 ? 2 : 1);
    EXPECT_EQ(cbclose(t), 1);
    ASSERT_EQ(cbexit(), 1);
  }
}

}  // namespace
}  // namespace qrx::test
