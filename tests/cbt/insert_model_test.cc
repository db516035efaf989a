// Model-based tests of cbinsert: insertions in every order and block size, equal keys, refusals, cursors
// and marks of several handles, a case-insensitive compare and one large tree. After every batch the tree
// must match a sorted model (both walks) and pass the structural checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

int32_t insert(cbt_tree *t, const std::string &key, uint32_t item, int32_t dupok) {
  return cbinsert(t, key.data(), static_cast<uint32_t>(key.size()), item, dupok);
}

// One insertion checked against the model: accepted pairs join it, refused ones carry exactly the error
// the model predicts (18 pair present, 17 equal key and dupok 0) with context 21.
testing::AssertionResult insert_checked(cbt_tree *t, TreeModel &m, const std::string &key, uint32_t item,
                                        int32_t dupok) {
  const int want = m.insert_error(key, item, dupok);
  *qrxcbecd() = 0;
  const int32_t r = insert(t, key, item, dupok);
  if (want == 0 ? r == 1 : (r == -1 && *qrxcbecd() == static_cast<uint32_t>(want) && *qrxcbccd() == 21)) {
    if (want == 0) m.insert(key, item);
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "cbinsert of " << describe({key, item}) << " dupok " << dupok
                                     << " returned " << r << " error " << *qrxcbecd() << " context "
                                     << *qrxcbccd() << ", expected error " << want;
}

struct Pair {
  std::string key;
  uint32_t item;
  int32_t dupok;
};

enum Order { kRandom, kAscending, kDescending };

class InsertSweep : public ::testing::TestWithParam<std::tuple<uint32_t, Order>> {
 protected:
  void TearDown() override { cbexit(); }
  TempDir dir_;
};

// Keys of lengths 0..limit (mostly short, the two ends now and then) over a small alphabet so prefixes
// collide; some repeat an earlier key (dupok 1 or 0), few items so exact pairs repeat too.
TEST_P(InsertSweep, TreeMatchesModelAfterEveryBatch) {
  const auto [blksize, order] = GetParam();
  ASSERT_EQ(cbinit(64, blksize), 1);
  Rng rng(1000 + blksize * 3 + static_cast<uint64_t>(order));
  QRX_TRACE_SEED(rng);
  const size_t limit = blksize - 36, count = blksize <= 512 ? 2500 : 1200;
  std::vector<Pair> work;
  std::vector<std::string> keys;
  for (size_t n = 0; n < count; ++n) {
    const uint64_t kind = keys.empty() ? 9 : rng.below(10), pick = rng.below(20);
    Pair p{keys.empty() ? "" : keys[rng.below(keys.size())], 0, kind == 3 ? 0 : 1};
    if (kind > 3) {
      const size_t len = pick == 0   ? 0
                         : pick == 1 ? limit
                         : pick < 12 ? rng.below(std::min<size_t>(limit, 12) + 1)
                                     : rng.below((pick < 17 ? limit / 4 : limit) + 1);
      keys.push_back(p.key = rng.text(len, "abcd"));
      p.dupok = rng.one_in(4) ? 0 : 1;
    }
    p.item = static_cast<uint32_t>(rng.range(-3, 40));
    work.push_back(std::move(p));
  }
  if (order != kRandom) {
    std::stable_sort(work.begin(), work.end(), [](const Pair &a, const Pair &b) {
      return compare_entries(nullptr, {a.key, a.item}, {b.key, b.item}) < 0;
    });
    if (order == kDescending) std::reverse(work.begin(), work.end());
  }
  const std::string path = dir_.file("sweep.idx");
  cbt_tree *t = cbcreate(path.c_str(), nullptr, blksize);
  ASSERT_NE(t, nullptr);
  TreeModel model;
  const size_t per_batch = 300;  // entries between full checks
  for (size_t n = 0; n < work.size(); ++n) {
    ASSERT_TRUE(insert_checked(t, model, work[n].key, work[n].item, work[n].dupok)) << "insertion " << n;
    if ((n + 1) % per_batch == 0 || n + 1 == work.size()) {
      ASSERT_TRUE(tree_matches_model(t, path, model)) << "after insertion " << n;
    }
  }
  EXPECT_GT(cbdepth(t), blksize <= 512 ? 2 : 1);
  ASSERT_EQ(cbclose(t), 1);
  ASSERT_NE(t = cbopen(path.c_str(), 2, nullptr), nullptr);  // reopened from disk: still the model
  EXPECT_TRUE(walk_forward_matches(t, model));
  EXPECT_EQ(cbclose(t), 1);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, InsertSweep,
                         ::testing::Combine(::testing::Values(88u, 512u, 2048u, 4096u),
                                            ::testing::Values(kRandom, kAscending, kDescending)));

class InsertModel : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 512), 1); }
  void TearDown() override { cbexit(); }
  TempDir dir_;
  std::string path_ = dir_.file("model.idx");
};

// Runs of one key (dupok 1) span many leaves; another item of that key with dupok 0 is refused with 17
// wherever it lands, also next to a leaf boundary where its equal is only in the neighbouring leaf.
TEST_F(InsertModel, EqualKeysAcrossLeavesRefusedWithoutDupok) {
  Rng rng(77);
  QRX_TRACE_SEED(rng);
  cbt_tree *t = cbcreate(path_.c_str(), nullptr, 512);
  ASSERT_NE(t, nullptr);
  TreeModel model;
  const std::vector<std::string> keys = {"alpha", "beta", std::string(60, 'g'), "kappa", "omega"};
  std::vector<Pair> work;
  for (const auto &k : keys)
    for (uint32_t n = 0; n < 120; ++n) work.push_back({k, n * 10, 1});  // gaps of 10 to try later
  for (int n = 0; n < 400; ++n) work.push_back({"key" + std::to_string(10000 + n * 2), 1000, 0});
  rng.shuffle(work);
  for (const auto &p : work) ASSERT_TRUE(insert_checked(t, model, p.key, p.item, p.dupok));
  ASSERT_TRUE(tree_matches_model(t, path_, model));
  for (const auto &k : keys)
    for (int32_t item = -1; item <= 1200; item += 10) ASSERT_TRUE(insert_checked(t, model, k, item + 5, 0));
  // The first key of every leaf but the first, with a smaller item: it lands after the previous leaf's
  // last entry; refused with dupok 0, accepted with dupok 1.
  std::vector<std::string> firsts;
  for (int32_t blk = peek_i32(path_, read_ctl(path_).lowleaf, kNodeRightOff), guard = 0; blk && guard < 9999;
       blk = peek_i32(path_, blk, kNodeRightOff), ++guard) {
    const auto b = read_block(path_, blk);
    firsts.emplace_back(reinterpret_cast<const char *>(b.data()) + peek_i32(path_, blk, entry_pos(true, 0)),
                        peek_i32(path_, blk, entry_pos(true, 0) + 4));
  }
  ASSERT_GT(firsts.size(), 5u);
  for (const auto &k : firsts)
    for (int32_t dupok : {0, 1}) ASSERT_TRUE(insert_checked(t, model, k, 999, dupok)) << k;
  for (const auto &k : keys) ASSERT_TRUE(insert_checked(t, model, k + "x", 1, 0));
  ASSERT_TRUE(tree_matches_model(t, path_, model));
  EXPECT_EQ(cbclose(t), 1);
}

// Three handles hold a cursor and a mark on entries of their own while random insertions split leaves,
// shift entries and add root levels; they never leave their (key, item).
TEST_F(InsertModel, CursorsAndMarksOfSeveralHandlesStayOnTheirEntries) {
  Rng rng(4242);
  QRX_TRACE_SEED(rng);
  cbt_tree *w = cbcreate(path_.c_str(), nullptr, 512);
  ASSERT_NE(w, nullptr);
  std::vector<cbt_tree *> readers;
  for (int h = 0; h < 3; ++h) ASSERT_NE(readers.emplace_back(cbopen(path_.c_str(), 2, nullptr)), nullptr);
  TreeModel model;
  auto add = [&](int n) {
    for (int i = 0; i < n; ++i)
      ASSERT_TRUE(insert_checked(w, model, rng.text(rng.range(1, 30), "abcdefgh"),
                                 static_cast<uint32_t>(rng.range(-5, 5)), 1));
  };
  auto find = [](cbt_tree *t, const KeyItem &e) {
    uint32_t item = e.item;
    return cbfinditem(t, e.key.data(), static_cast<uint32_t>(e.key.size()), &item);
  };
  add(20);
  const int32_t start_depth = cbdepth(w);
  std::vector<KeyItem> cur(3), mark(3);
  auto place = [&](size_t h) {
    const auto all = model.to_vector();
    mark[h] = all[rng.below(all.size())];
    cur[h] = all[rng.below(all.size())];
    ASSERT_EQ(find(readers[h], mark[h]), 2);
    ASSERT_EQ(cbmark(readers[h]), 1);
    ASSERT_EQ(find(readers[h], cur[h]), 2);
  };
  for (size_t h = 0; h < 3; ++h) place(h);
  for (int batch = 0; batch < 40; ++batch) {
    add(60);
    ASSERT_TRUE(tree_matches_model(w, path_, model));
    for (size_t h = 0; h < 3; ++h) {
      SCOPED_TRACE("handle " + std::to_string(h) + " batch " + std::to_string(batch));
      const auto at = cursor_entry(readers[h]);
      ASSERT_TRUE(at && same_entries({*at}, {cur[h]}));
      uint32_t item = 0;
      ASSERT_EQ(cbfindmark(readers[h], &item), 1);
      const auto m = cursor_entry(readers[h]);
      ASSERT_TRUE(m && same_entries({*m}, {mark[h]}));
      EXPECT_EQ(item, mark[h].item);
      if (batch % 8 == 7)
        place(h);
      else
        ASSERT_EQ(find(readers[h], cur[h]), 2);
    }
  }
  EXPECT_GT(cbdepth(w), start_depth);
  for (auto *r : readers) EXPECT_EQ(cbclose(r), 1);
  EXPECT_EQ(cbclose(w), 1);
}

// Case-insensitive compare: equal neighbours of equal length share bytes (the checker demands it), so a
// key read back has the spelling stored first.
TEST_F(InsertModel, CaseInsensitiveNeighboursShareBytes) {
  Rng rng(99);
  QRX_TRACE_SEED(rng);
  cbt_tree *t = cbcreate(path_.c_str(), nocase_compare, 512);
  ASSERT_NE(t, nullptr);
  TreeModel model(nocase_compare);
  for (const auto &[k, item] : {std::pair{"Apple", 1}, {"APPLE", 2}, {"aPpLe", 0}})
    ASSERT_TRUE(insert_checked(t, model, k, item, 1));
  uint32_t item = 2;
  ASSERT_EQ(cbfinditem(t, "apple", 5, &item), 2);
  char buf[16] = {};
  ASSERT_EQ(cbkey(t, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "Apple");
  ASSERT_TRUE(insert_checked(t, model, "APPle", 9, 0));  // refused with 17
  const std::vector<std::string> words = {"delta", "echo", "foxtrot", "golf", std::string(50, 'h')};
  for (int n = 0; n < 1500; ++n) {
    std::string w = words[rng.below(words.size())];
    for (auto &ch : w)
      if (rng.one_in(2)) ch = static_cast<char>(ch - 'a' + 'A');
    ASSERT_TRUE(insert_checked(t, model, w, static_cast<uint32_t>(rng.range(-50, 50)), 1));
  }
  ASSERT_TRUE(tree_matches_model(t, path_, model));
  std::string err;
  const auto entries = dump_entries(path_, &err);
  ASSERT_TRUE(err.empty()) << err;
  size_t respelled = 0;
  for (size_t n = 1; n < entries.size(); ++n) respelled += entries[n].key == entries[n - 1].key;
  EXPECT_GT(respelled, entries.size() / 2);
  EXPECT_EQ(cbclose(t), 1);
}

// One large tree: 200,000 random keys with 4-byte items.
TEST(InsertLarge, TwoHundredThousandEntries) {
  ASSERT_EQ(cbinit(256, 2048), 1);
  Rng rng(2024);
  QRX_TRACE_SEED(rng);
  TempDir dir;
  const std::string path = dir.file("large.idx");
  cbt_tree *t = cbcreate(path.c_str(), nullptr, 2048);
  ASSERT_NE(t, nullptr);
  TreeModel model;
  while (model.size() < 200000) {
    const std::string key = rng.bytes(rng.range(4, 24));
    const uint32_t item = rng.item();
    if (model.insert_error(key, item, 0) != 0) continue;
    ASSERT_TRUE(insert_checked(t, model, key, item, 0));
  }
  ASSERT_TRUE(tree_matches_model(t, path, model));
  EXPECT_GE(cbdepth(t), 3);
  EXPECT_EQ(cbclose(t), 1);
  cbexit();
}

}  // namespace
}  // namespace qrx::test
