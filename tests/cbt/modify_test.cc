// Modification: in place versus deletion and insertion, the duplicate rules, the same pair, the length
// limit and the cursors of every handle on the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/modify.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

uint32_t error_code() {
  return *qrxcbecd();
}
uint32_t context_code() {
  return *qrxcbccd();
}
uint32_t function_code() {
  return *qrxcbfcd();
}

int32_t modify(cbt_tree *t, const KeyItem &from, const KeyItem &to, int32_t dupok) {
  return cbmodify(t, from.key.data(), static_cast<uint32_t>(from.key.size()), from.item, to.key.data(),
                  static_cast<uint32_t>(to.key.size()), to.item, dupok);
}

int32_t find(cbt_tree *t, const KeyItem &e) {
  uint32_t item = e.item;
  return cbfinditem(t, e.key.data(), static_cast<uint32_t>(e.key.size()), &item);
}

// A key that sorts by its letter and number and takes 40 bytes: nine of them nearly fill a 512-byte leaf.
std::string key40(char c, int n) {
  std::string k(40, c);
  k[1] = static_cast<char>('0' + n / 10);
  k[2] = static_cast<char>('0' + n % 10);
  return k;
}

class ModifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override { cbexit(); }

  cbt_tree *build(const std::vector<Leaf> &leaves, int fanout = 3) {
    built_ = build_index(path_, 512, leaves, fanout);
    for (const auto &l : leaves)
      for (const auto &e : l) model_.insert(e.key, e.item);
    cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
    EXPECT_NE(t, nullptr);
    return t;
  }
  // Applies a successful modification to the model.
  void moved(const KeyItem &from, const KeyItem &to) {
    model_.erase(from.key, from.item);
    model_.insert(to.key, to.item);
  }
  testing::AssertionResult matches(cbt_tree *t) {
    return tree_matches_model(t, path_, model_, {.relaxed = true});
  }

  TempDir dir_;
  std::string path_ = dir_.file("mod.idx");
  BuiltIndex built_;
  TreeModel model_;
};

// ---------------------------------------------------------------------------------------------------
// In place or through deletion and insertion
// ---------------------------------------------------------------------------------------------------

// Only the item changes and the pair stays in its leaf: done in place even though duplicates are not
// allowed. The in-place path runs no deletion or insertion, so the function code stays 16.
TEST_F(ModifyTest, ItemOnlyChangeInTheSameLeafIsDoneInPlace) {
  cbt_tree *t = build({{{"a", 1}, {"k", 1}, {"k", 5}, {"m", 1}}});
  cbt_tree *other = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_EQ(find(other, {"k", 5}), 2);
  ASSERT_EQ(modify(t, {"k", 1}, {"k", 7}, 0), 1);
  EXPECT_EQ(function_code(), 16u);
  moved({"k", 1}, {"k", 7});
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cursor_entry(other), (KeyItem{"k", 5}));  // the entry it was on moved one place back
  EXPECT_EQ(cbclose(other), 1);
  EXPECT_EQ(cbclose(t), 1);
}

// The new key is longer than the room left in its leaf: the old pair is deleted and the new one inserted
// through the full operations, which split the leaf.
TEST_F(ModifyTest, KeyThatDoesNotFitGoesThroughDeletionAndInsertion) {
  Leaf l;
  for (int i = 0; i < 9; ++i) l.push_back({key40('c', i), static_cast<uint32_t>(i)});
  cbt_tree *t = build({l});
  const KeyItem to{std::string(200, 'c'), 99};
  ASSERT_EQ(modify(t, l[3], to, 0), 1);
  EXPECT_EQ(function_code(), 14u);  // the last step was the insertion
  moved(l[3], to);
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(t->ctl->depth, 2);
  EXPECT_EQ(cbclose(t), 1);
}

// Only the item changes, but the new pair sorts into the next leaf: the fallback insertion must accept
// the equal key it meets there, even with dupok 0, or the entry would be lost after its deletion.
TEST_F(ModifyTest, ItemOnlyChangeAcrossALeafBoundaryKeepsTheEntry) {
  Leaf a, b;
  for (int i = 0; i < 7; ++i) a.push_back({key40('a', i), 1});
  a.push_back({"k", 1});
  a.push_back({"k", 2});
  b.push_back({"k", 3});
  b.push_back({"k", 4});
  for (int i = 0; i < 7; ++i) b.push_back({key40('m', i), 1});
  cbt_tree *t = build({a, b});
  ASSERT_EQ(modify(t, {"k", 1}, {"k", 10}, 0), 1);
  moved({"k", 1}, {"k", 10});
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cbclose(t), 1);
}

// Removing the old entry in place and then inserting through the full insertion: the leaf keeps its
// changes and the tree stays whole.
TEST_F(ModifyTest, SameLeafWithoutRoomFallsBackAfterTheInPlaceRemoval) {
  Leaf l;
  for (int i = 0; i < 9; ++i) l.push_back({key40('c', i), static_cast<uint32_t>(i)});
  cbt_tree *t = build({l});
  cbt_tree *other = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_EQ(find(other, l[8]), 2);
  const KeyItem to{key40('c', 4) + std::string(60, 'z'), 4};  // sorts right after l[4], in the same leaf
  ASSERT_EQ(modify(t, l[2], to, 0), 1);
  moved(l[2], to);
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cursor_entry(other), l[8]);
  EXPECT_EQ(cbclose(other), 1);
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// Duplicate rules and errors
// ---------------------------------------------------------------------------------------------------

TEST_F(ModifyTest, DuplicateRules) {
  cbt_tree *t = build({{{"a", 1}, {"b", 1}, {"k", 5}, {"m", 1}}});
  EXPECT_EQ(modify(t, {"a", 1}, {"k", 9}, 0), -1);  // an equal key, duplicates not allowed
  EXPECT_EQ(error_code(), 17u);
  EXPECT_EQ(context_code(), 21u);
  EXPECT_EQ(modify(t, {"a", 1}, {"k", 5}, 1), -1);  // the very pair is there: dupok does not matter
  EXPECT_EQ(error_code(), 18u);
  EXPECT_EQ(context_code(), 21u);
  EXPECT_TRUE(matches(t));  // nothing changed
  ASSERT_EQ(modify(t, {"a", 1}, {"k", 9}, 1), 1);
  moved({"a", 1}, {"k", 9});
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cbclose(t), 1);
}

// Equal keys are neighbours in entry order, but not always in one leaf: the rule also looks at the first
// entry of the next leaf and the last entry of the leaf before the new pair's place.
TEST_F(ModifyTest, EqualKeyFirstInTheNextLeafIsADuplicate) {
  Leaf a, b;
  for (int i = 0; i < 8; ++i) a.push_back({key40('a', i), 1});
  a.push_back({"k", 1});
  b.push_back({"m", 3});
  for (int i = 0; i < 8; ++i) b.push_back({key40('n', i), 1});
  cbt_tree *t = build({a, b});
  // ("m", 2) sorts before the root's entry ("m", 3): its place is the end of the first leaf.
  EXPECT_EQ(modify(t, a[0], {"m", 2}, 0), -1);
  EXPECT_EQ(error_code(), 17u);
  EXPECT_EQ(context_code(), 21u);
  EXPECT_TRUE(matches(t));
  ASSERT_EQ(modify(t, a[0], {"m", 2}, 1), 1);
  moved(a[0], {"m", 2});
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(ModifyTest, EqualKeyLastInThePreviousLeafIsADuplicate) {
  Leaf a, b;
  for (int i = 0; i < 8; ++i) a.push_back({key40('a', i), 1});
  a.push_back({"m", 1});
  b.push_back({"m", 3});
  for (int i = 0; i < 8; ++i) b.push_back({key40('n', i), 1});
  cbt_tree *t = build({a, b});
  // Without b's first entry the root's entry for b still reads ("m", 3): ("m", 4) has its place at
  // index 0 of b, and the equal key is the last entry of the first leaf.
  ASSERT_EQ(cbdelete(t, "m", 1, 3), 1);
  model_.erase("m", 3);
  EXPECT_EQ(modify(t, a[0], {"m", 4}, 0), -1);
  EXPECT_EQ(error_code(), 17u);
  EXPECT_TRUE(matches(t));
  ASSERT_EQ(modify(t, a[0], {"m", 4}, 1), 1);
  moved(a[0], {"m", 4});
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(ModifyTest, MissingPairEmptyTreeAndInvalidHandle) {
  cbt_tree *t = build({{{"a", 1}, {"b", 1}}});
  EXPECT_EQ(modify(t, {"a", 2}, {"c", 1}, 0), -1);
  EXPECT_EQ(error_code(), 21u);
  EXPECT_EQ(context_code(), 20u);
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cbclose(t), 1);

  build_index(path_, 512, {}, 2);
  t = cbopen(path_.c_str(), 2, nullptr);
  EXPECT_EQ(modify(t, {"a", 1}, {"b", 1}, 0), -1);  // the search for the new place fails
  EXPECT_EQ(error_code(), 18u);
  EXPECT_EQ(context_code(), 21u);
  EXPECT_EQ(cbclose(t), 1);

  EXPECT_EQ(modify(nullptr, {"a", 1}, {"b", 1}, 0), -1);
  EXPECT_EQ(error_code(), 15u);
  EXPECT_EQ(function_code(), 16u);
}

// The new key obeys insertion's limit: the pool's buffer size and the file's block size, less 36.
TEST_F(ModifyTest, OverlongNewKeyIsRefusedWithoutACode) {
  cbt_tree *t = build({{{"a", 1}, {"b", 1}}});
  *qrxcbecd() = 0;
  *qrxcbccd() = 0;
  EXPECT_EQ(modify(t, {"a", 1}, {std::string(477, 'x'), 1}, 0), -1);  // 512 - 36 = 476
  EXPECT_EQ(error_code(), 0u);
  EXPECT_EQ(context_code(), 0u);
  EXPECT_EQ(modify(t, {"a", 1}, {std::string(4061, 'x'), 1}, 0), -1);  // 4096 - 36 = 4060
  EXPECT_EQ(error_code(), 0u);
  EXPECT_TRUE(matches(t));
  ASSERT_EQ(modify(t, {"a", 1}, {std::string(476, 'x'), 1}, 0), 1);
  moved({"a", 1}, {std::string(476, 'x'), 1});
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// The same pair
// ---------------------------------------------------------------------------------------------------

TEST_F(ModifyTest, SamePairMovesOnlyTheCallersCursorOnIt) {
  cbt_tree *t = build({{{"a", 1}, {"b", 1}, {"c", 1}}});
  cbt_tree *other = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_EQ(find(other, {"b", 1}), 2);
  ASSERT_EQ(find(t, {"b", 1}), 2);
  ASSERT_EQ(modify(t, {"b", 1}, {"b", 1}, 0), 1);
  EXPECT_EQ(cursor_entry(t), (KeyItem{"c", 1}));
  EXPECT_EQ(cursor_entry(other), (KeyItem{"b", 1}));
  ASSERT_EQ(modify(t, {"c", 1}, {"c", 1}, 0), 1);  // the last entry: on to EOI
  int32_t status = 0;
  EXPECT_EQ(cursor_entry(t, &status), std::nullopt);
  EXPECT_EQ(status, -3);
  // At EOI (or BOI) nothing is looked up: even a pair that is not there gives 1.
  EXPECT_EQ(modify(t, {"zz", 4}, {"zz", 4}, 0), 1);
  // On an entry the pair is looked up.
  ASSERT_EQ(find(t, {"a", 1}), 2);
  EXPECT_EQ(modify(t, {"zz", 4}, {"zz", 4}, 0), -1);
  EXPECT_EQ(error_code(), 21u);
  EXPECT_EQ(cursor_entry(t), (KeyItem{"a", 1}));
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cbclose(other), 1);
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// locate_key
// ---------------------------------------------------------------------------------------------------

TEST_F(ModifyTest, LocateKeyFindsThePairOrItsPlace) {
  Leaf a, b;
  for (int i = 0; i < 9; ++i) a.push_back({key40('a', i), 1});
  for (int i = 0; i < 9; ++i) b.push_back({key40('b', i), 1});
  cbt_tree *t = build({a, b});
  ASSERT_TRUE(cbt::lock_tree(t));
  int32_t blk = 0, idx = 0;
  EXPECT_EQ(cbt::locate_key(t, reinterpret_cast<const uint8_t *>(b[4].key.data()), 40, 1, &blk, &idx), 2);
  EXPECT_EQ(blk, 2);
  EXPECT_EQ(idx, 4);
  EXPECT_EQ(cbt::locate_key(t, reinterpret_cast<const uint8_t *>(b[4].key.data()), 40, 2, &blk, &idx), 3);
  EXPECT_EQ(error_code(), 21u);
  EXPECT_EQ(context_code(), 20u);
  EXPECT_EQ(blk, 2);
  EXPECT_EQ(idx, 5);
  EXPECT_EQ(cbt::locate_key(t, reinterpret_cast<const uint8_t *>("a~"), 2, 0, &blk, &idx), 3);
  EXPECT_EQ(blk, 1);
  EXPECT_EQ(idx, 9);
  cbt::unlock_tree(t);
  EXPECT_EQ(cbclose(t), 1);
}

}  // namespace
}  // namespace qrx::test
