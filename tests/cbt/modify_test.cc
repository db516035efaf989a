// Modification on trees built block by block: in place or through deletion and insertion, equal keys in
// the neighbouring leaves, the same pair, the length limit, and other handles' cursors. Random mixes are
// in delete_model_test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

int32_t modify(cbt_tree *t, const KeyItem &from, const KeyItem &to, int32_t dupok) {
  return cbmodify(t, from.key.data(), static_cast<uint32_t>(from.key.size()), from.item, to.key.data(),
                  static_cast<uint32_t>(to.key.size()), to.item, dupok);
}
int32_t find(cbt_tree *t, const KeyItem &e) {
  uint32_t item = e.item;
  return cbfinditem(t, e.key.data(), static_cast<uint32_t>(e.key.size()), &item);
}
// 40-byte keys sorting by letter and number: nine nearly fill a 512-byte leaf.
std::string key40(char c, int n) {
  return std::string(38, c) + std::to_string(10 + n);
}
Leaf leaf(char c, int n, std::vector<KeyItem> before = {}, std::vector<KeyItem> after = {}) {
  for (int i = 0; i < n; ++i) before.push_back({key40(c, i), static_cast<uint32_t>(i)});
  before.insert(before.end(), after.begin(), after.end());
  return before;
}

class ModifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override { cbexit(); }
  cbt_tree *build(const std::vector<Leaf> &leaves) {
    build_index(path_, 512, leaves, 3);
    model_ = TreeModel();
    for (const auto &l : leaves)
      for (const auto &e : l) model_.insert(e.key, e.item);
    t_ = cbopen(path_.c_str(), 2, nullptr);
    other_ = cbopen(path_.c_str(), 2, nullptr);
    walker_ = cbopen(path_.c_str(), 2, nullptr);  // for the whole-tree checks, which move its cursor
    EXPECT_TRUE(t_ && other_ && walker_);
    return t_;
  }
  // Modifies with the expected error (0: success) and checks the whole tree afterwards.
  void expect(const KeyItem &from, const KeyItem &to, int32_t dupok, uint32_t err, uint32_t ctx = 21) {
    SCOPED_TRACE(describe(from) + " -> " + describe(to));
    ASSERT_EQ(modify(t_, from, to, dupok), err ? -1 : 1) << *qrxcbecd();
    fcd_ = *qrxcbfcd();
    if (err) {
      EXPECT_EQ(*qrxcbecd(), err);
      EXPECT_EQ(*qrxcbccd(), ctx);
    } else {
      model_.erase(from.key, from.item);
      model_.insert(to.key, to.item);
    }
    EXPECT_TRUE(tree_matches_model(walker_, path_, model_, {.relaxed = true}));
  }
  void close() {
    EXPECT_EQ(cbclose(walker_), 1);
    EXPECT_EQ(cbclose(other_), 1);
    EXPECT_EQ(cbclose(t_), 1);
  }

  TempDir dir_;
  std::string path_ = dir_.file("mod.idx");
  TreeModel model_;
  cbt_tree *t_ = nullptr, *other_ = nullptr, *walker_ = nullptr;
  uint32_t fcd_ = 0;  // the function code the modification left
};

TEST_F(ModifyTest, InPlaceOrThroughDeletionAndInsertion) {
  // Only the item changes within the leaf: in place (no insertion step, function code stays 16) even
  // with dupok 0; another handle's cursor stays on its entry.
  build({{{"a", 1}, {"k", 1}, {"k", 5}, {"m", 1}}});
  ASSERT_EQ(find(other_, {"k", 5}), 2);
  expect({"k", 1}, {"k", 7}, 0, 0);
  EXPECT_EQ(fcd_, 16u);
  EXPECT_EQ(cursor_entry(other_), (KeyItem{"k", 5}));
  close();
  // A key too long for the room in its leaf: deletion, then an insertion that splits.
  const Leaf c = leaf('c', 9);
  build({c});
  expect(c[3], {std::string(200, 'c'), 99}, 0, 0);
  EXPECT_EQ(fcd_, 14u);
  EXPECT_EQ(t_->ctl->depth, 2);
  close();
  build({c});  // the same leaf without room: the in-place removal, then the full insertion
  ASSERT_EQ(find(other_, c[8]), 2);
  expect(c[2], {key40('c', 4) + std::string(60, 'z'), 4}, 0, 0);
  EXPECT_EQ(cursor_entry(other_), c[8]);
  close();
  // Only the item changes but the pair sorts into the next leaf, which holds the equal key: with dupok 0
  // the fallback insertion must still accept it, or the entry is lost.
  build({leaf('a', 7, {}, {{"k", 1}, {"k", 2}}), leaf('m', 7, {{"k", 3}, {"k", 4}})});
  expect({"k", 1}, {"k", 10}, 0, 0);
  close();
}

TEST_F(ModifyTest, DuplicateRulesAndErrors) {
  build({{{"a", 1}, {"b", 1}, {"k", 5}, {"m", 1}}});
  expect({"a", 1}, {"k", 9}, 0, 17);
  expect({"a", 1}, {"k", 5}, 1, 18);  // the very pair: dupok does not matter
  expect({"a", 2}, {"c", 1}, 0, 21, 20);
  EXPECT_EQ(modify(t_, {"a", 1}, {std::string(477, 'x'), 1}, 0), -1);  // over 512 - 36: no code
  EXPECT_EQ(*qrxcbecd(), 0u);
  expect({"a", 1}, {std::string(476, 'x'), 1}, 0, 0);
  expect({"b", 1}, {"k", 9}, 1, 0);
  close();
  // Equal keys are neighbours in entry order but may sit in the next leaf or the previous one.
  const Leaf a = leaf('a', 8, {}, {{"k", 1}});
  build({a, leaf('n', 8, {{"m", 3}})});
  expect(a[0], {"m", 2}, 0, 17);  // its place is the end of the first leaf; ("m", 3) starts the next
  expect(a[0], {"m", 2}, 1, 0);
  close();
  build({leaf('a', 8, {}, {{"m", 1}}), leaf('n', 8, {{"m", 3}})});
  ASSERT_EQ(cbdelete(t_, "m", 1, 3), 1);  // the root still names ("m", 3): ("m", 4) goes to index 0
  model_.erase("m", 3);
  expect({key40('a', 1), 1}, {"m", 4}, 0, 17);
  close();

  build({});
  EXPECT_EQ(modify(t_, {"a", 1}, {"b", 1}, 0), -1);
  EXPECT_EQ(*qrxcbecd(), 18u);
  close();
  EXPECT_EQ(modify(nullptr, {"a", 1}, {"b", 1}, 0), -1);
  EXPECT_EQ(*qrxcbecd(), 15u);
}

TEST_F(ModifyTest, SamePairMovesOnlyTheCallersCursor) {
  build({{{"a", 1}, {"b", 1}, {"c", 1}}});
  ASSERT_EQ(find(other_, {"b", 1}), 2);
  ASSERT_EQ(find(t_, {"b", 1}), 2);
  expect({"b", 1}, {"b", 1}, 0, 0);
  EXPECT_EQ(cursor_entry(t_), (KeyItem{"c", 1}));
  EXPECT_EQ(cursor_entry(other_), (KeyItem{"b", 1}));
  expect({"c", 1}, {"c", 1}, 0, 0);  // the last entry: on to EOI
  int32_t status = 0;
  EXPECT_EQ(cursor_entry(t_, &status), std::nullopt);
  EXPECT_EQ(status, -3);
  EXPECT_EQ(modify(t_, {"zz", 4}, {"zz", 4}, 0), 1);  // at EOI nothing is looked up
  ASSERT_EQ(find(t_, {"a", 1}), 2);
  EXPECT_EQ(modify(t_, {"zz", 4}, {"zz", 4}, 0), -1);  // on an entry the pair is looked up
  EXPECT_EQ(*qrxcbecd(), 21u);
  EXPECT_EQ(cursor_entry(t_), (KeyItem{"a", 1}));
  close();
}

}  // namespace
}  // namespace qrx::test
