// Deletion on trees built block by block: errors, the joining decisions and the lowering of the root.
// Random mixes with cursors, marks and the unused chain are in delete_model_test.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/delete.h"
#include "cbt/node.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

// A 40-byte key (52 bytes with its entry): nine fill a 512-byte leaf to 488; the join threshold is 369.
Leaf leaf40(char c, int count, uint32_t base) {
  Leaf l;
  for (int i = 0; i < count; ++i) l.push_back({std::string(38, c) + std::to_string(10 + i), base + i});
  return l;
}
int32_t del(cbt_tree *t, const KeyItem &e) {
  return cbdelete(t, e.key.data(), static_cast<uint32_t>(e.key.size()), e.item);
}
uint32_t ecd() {
  return *qrxcbecd();
}
uint32_t ccd() {
  return *qrxcbccd();
}

class DeleteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override { cbexit(); }
  cbt_tree *build(const std::vector<Leaf> &leaves, int fanout, cbt_keycmp_fn cmp = nullptr) {
    built_ = build_index(path_, 512, leaves, fanout, {.cmp = cmp});
    model_ = TreeModel(cmp);
    for (const auto &l : leaves)
      for (const auto &e : l) model_.insert(e.key, e.item);
    return reopen(cmp);
  }
  cbt_tree *reopen(cbt_keycmp_fn cmp = nullptr) {
    cbt_tree *t = cbopen(path_.c_str(), 2, cmp);
    EXPECT_NE(t, nullptr);
    return t;
  }
  testing::AssertionResult matches(cbt_tree *t) {
    return tree_matches_model(t, path_, model_, {.relaxed = true});
  }
  void empty_interior(std::initializer_list<int32_t> blocks) {  // keeps only the low path
    for (int32_t blk : blocks) {
      patch_i32(path_, blk, kNodeKeyCntOff, 0);
      patch_i32(path_, blk, kNodeHeapEndOff, 512);
    }
  }

  TempDir dir_;
  std::string path_ = dir_.file("del.idx");
  BuiltIndex built_;
  TreeModel model_;
};

TEST_F(DeleteTest, ErrorsAndCorruption) {
  cbt_tree *t = build({}, 2);
  EXPECT_EQ(del(t, {"a", 1}), -1);
  EXPECT_EQ(ecd(), 19u);
  EXPECT_EQ(ccd(), 25u);
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(cbdelete(nullptr, "a", 1, 1), -1);
  EXPECT_EQ(ecd(), 15u);
  EXPECT_EQ(*qrxcbfcd(), 15u);

  t = build({{{"k", 5}, {"m", 1}}}, 2);
  for (const KeyItem &absent : {KeyItem{"k", 6}, KeyItem{"kk", 5}}) {  // only the exact pair goes
    EXPECT_EQ(del(t, absent), -1);
    EXPECT_EQ(ecd(), 21u);
    EXPECT_EQ(ccd(), 27u);
  }
  EXPECT_EQ(del(t, {"k", 5}), 1);
  model_.erase("k", 5);
  EXPECT_TRUE(matches(t));
  EXPECT_EQ(cbclose(t), 1);

  // An unused block where the tree expects a leaf or the root is corruption.
  const Leaf a = leaf40('a', 9, 0), b = leaf40('b', 9, 100);
  ASSERT_EQ(cbclose(build({a, b}, 2)), 1);
  for (auto [blk, e, ctx] :
       {std::tuple{built_.levels[0][1], b[3], 27u}, std::tuple{built_.root, a[3], 26u}}) {
    patch_i32(path_, blk, kNodeLowPathOff, 0);
    t = reopen();
    EXPECT_EQ(del(t, e), -1);
    EXPECT_EQ(ecd(), 20u);
    EXPECT_EQ(ccd(), ctx);
    ASSERT_EQ(cbclose(t), 1);
  }
}

// Three leaves under one root, one entry deleted: the low path absorbs only its right neighbour; a refused
// left join is not offered to the right; a successful one is followed by the next right neighbour, and
// the root then gives way to the single leaf.
TEST_F(DeleteTest, JoinOffers) {
  struct Case {
    int na, nb;
    bool from_b;
    int leaves, unused, depth;
  };
  for (const Case &c : {Case{5, 1, false, 2, 1, 2}, Case{9, 2, true, 3, 0, 2}, Case{4, 2, true, 1, 3, 1}}) {
    SCOPED_TRACE(c.na);
    const Leaf a = leaf40('a', c.na, 100), b = leaf40('b', c.nb, 200);
    cbt_tree *t = build({a, b, leaf40('c', 1, 300)}, 3);
    const KeyItem &gone = c.from_b ? b[0] : a[0];
    ASSERT_EQ(del(t, gone), 1);
    model_.erase(gone.key, gone.item);
    ASSERT_TRUE(matches(t));
    const CheckResult r = check_index(path_, {.relaxed = true});
    EXPECT_EQ(r.stats.leaves, c.leaves);
    EXPECT_EQ(r.stats.unused, c.unused);
    EXPECT_EQ(t->ctl->depth, c.depth);
    EXPECT_EQ(cbclose(t), 1);
  }
}

// A leaf is offered for joining only below the threshold: the right neighbour is damaged, so an offer
// shows as error 20.
TEST_F(DeleteTest, ThresholdDecidesWhetherALeafIsOffered) {
  for (int used : {369, 368}) {
    SCOPED_TRACE(used);
    Leaf a = {{"a", 1}};  // 20 + 5 * 12 + 289 (or 288) bytes once "a" goes
    for (int i = 0; i < 5; ++i)
      a.push_back({std::string(i == 0 || (i == 1 && used == 368) ? 57 : 58, static_cast<char>('b' + i)), 2});
    ASSERT_EQ(cbclose(build({a, {{"x", 1}}}, 2)), 1);
    patch_i32(path_, built_.levels[0][1], kNodeHeapEndOff, 7);
    cbt_tree *t = reopen();
    EXPECT_EQ(del(t, {"a", 1}), used == 369 ? 1 : -1);
    if (used == 368) {
      EXPECT_EQ(ecd(), 20u);
    }
    EXPECT_EQ(cbclose(t), 1);
  }
}

// Equal under this compare but of different lengths: such keys never share bytes.
int first_byte_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  const int a = l1 ? static_cast<const unsigned char *>(k1)[0] : -1;
  const int b = l2 ? static_cast<const unsigned char *>(k2)[0] : -1;
  return (a > b) - (a < b);
}

// The space a join is decided with is the space the joined node really uses, for leaves and interior
// nodes, with and without equal (shared) boundary keys.
TEST_F(DeleteTest, CombinedSpaceIsTheSpaceOfTheJoinedNode) {
  struct Case {
    std::string l_last, k, r_first;
    cbt_keycmp_fn cmp;
  };
  for (const Case &c : {Case{"mmmm", "mmmm", "mmmm", nullptr}, Case{"mmmm", "mmmm", "nn", nullptr},
                        Case{"llllll", "mmmm", "mmmm", nullptr}, Case{"llllll", "mmmm", "nn", nullptr},
                        Case{"m", "mx", "z", first_byte_compare}}) {
    for (bool leaf : {true, false}) {
      SCOPED_TRACE(c.l_last + " " + c.k + " " + c.r_first + (leaf ? " leaf" : " interior"));
      cbt_tree *t = build(leaf ? std::vector<Leaf>{{{"a", 1}, {c.l_last, 2}}, {{c.k, 3}, {c.r_first, 4}}}
                               : std::vector<Leaf>{{{"a", 1}}, {{c.l_last, 2}}, {{c.k, 3}}, {{c.r_first, 4}}},
                          2, c.cmp);
      const int32_t L = built_.levels[leaf ? 0 : 1][0], R = built_.levels[leaf ? 0 : 1][1];
      ASSERT_TRUE(cbt::lock_tree(t));
      const int32_t predicted = cbt::B_combined_space(t, L, R);
      EXPECT_GT(predicted, 0);
      EXPECT_EQ(cbt::B_join_node(t, R), 1);
      {
        cbt::NodeRef n(t, L, cbt::Ctx::kNone);
        EXPECT_TRUE(n);
        EXPECT_EQ(cbt::B_calc_used_space(t, n.data()), static_cast<uint32_t>(predicted));
        EXPECT_EQ(n.view().key_cnt(), leaf ? 4 : 3);
        if (c.cmp && leaf) {
          EXPECT_NE(n.view().offset(1), n.view().offset(2));  // equal keys of different lengths
        }
        n.release(cbt::Ctx::kNone);
      }
      cbt::unlock_tree(t);
      EXPECT_EQ(cbclose(t), 1);
    }
  }
}

// Interior nodes with only their low paths are joined whatever their size; blocks that are not linked
// neighbours never are.
TEST_F(DeleteTest, TryJoinOfLowPathOnlyNodesAndOfStrangers) {
  ASSERT_EQ(cbclose(build({{{"a", 1}}, {{"b", 2}}, {{std::string(400, 'q'), 3}}, {{"r", 4}}}, 2)), 1);
  const int32_t L = built_.levels[1][0], R = built_.levels[1][1];
  empty_interior({L, R});
  cbt_tree *t = reopen();
  ASSERT_TRUE(cbt::lock_tree(t));
  EXPECT_EQ(cbt::try_join(t, 1, 3), -1);
  EXPECT_EQ(ecd(), 20u);
  EXPECT_EQ(ccd(), 47u);
  EXPECT_EQ(cbt::try_join(t, 2, 1), -1);
  EXPECT_GE(cbt::B_combined_space(t, L, R), 369);
  EXPECT_EQ(cbt::try_join(t, L, R), 3);
  EXPECT_EQ(t->ctl->freechain, R);
  cbt::unlock_tree(t);
  EXPECT_EQ(cbclose(t), 1);
}

// A root whose one remaining child has only a low path gives way level by level.
TEST_F(DeleteTest, RootGivesWayThroughAChainOfSingleChildren) {
  // Leaves 1..4, nodes 5 = [1 2], 6 = [3 4], root 7; cut to 5 = [1], 6 = [4] with 2 and 3 unused.
  ASSERT_EQ(cbclose(build({{{"a", 1}}, {{"b", 1}}, {{"c", 1}}, {{"d", 1}}}, 2)), 1);
  empty_interior({5, 6});
  const uint32_t patches[][3] = {
      {6, kNodeLowPathOff, 4},    {1, kNodeRightOff, 4},   {4, kNodeLeftOff, 1},      {2, kNodeLowPathOff, 0},
      {2, kNodeNextUnusedOff, 0}, {3, kNodeLowPathOff, 0}, {3, kNodeNextUnusedOff, 2}};
  for (const auto &p : patches)
    patch_i32(path_, static_cast<int32_t>(p[0]), p[1], static_cast<int32_t>(p[2]));
  CtlFields c = read_ctl(path_);
  c.freechain = 3;
  write_ctl(path_, c);
  ASSERT_TRUE(index_ok(path_, {.relaxed = true}));
  cbt_tree *t = reopen();
  ASSERT_EQ(del(t, {"a", 1}), 1);
  EXPECT_EQ(std::vector<int32_t>({t->ctl->root, t->ctl->depth, t->ctl->lowleaf, t->ctl->highleaf}),
            std::vector<int32_t>({4, 1, 4, 4}));
  model_ = TreeModel();
  model_.insert("d", 1);
  ASSERT_TRUE(matches(t));
  EXPECT_EQ(check_index(path_).stats.unused, 6);
  EXPECT_EQ(cbclose(t), 1);
}

}  // namespace
}  // namespace qrx::test
