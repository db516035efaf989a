// Deletion on hand-built trees: errors, joining decisions, lowering the root (random mixes: delete_model).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cbt/cbt.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"

namespace qrx::test {
namespace {

class DeleteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override { cbexit(); }
  // Leaves are blocks 1..n. Keys of key_run are 40 bytes (52 with their entry): nine fill a 512-byte leaf
  // to 488; the join threshold is 369.
  cbt_tree *build(const std::vector<Leaf> &leaves = {}, int fanout = 0) {
    if (fanout) root_ = build_index(path_, 512, leaves, fanout);
    EXPECT_NE(t_ = cbopen(path_.c_str(), 2, nullptr), nullptr);
    return t_;
  }
  int32_t del(const KeyItem &e) { return cbdelete(t_, e.key.data(), uint32_t(e.key.size()), e.item); }
  std::pair<uint32_t, uint32_t> codes() { return {*qrxcbecd(), *qrxcbccd()}; }

  TempDir dir_;
  std::string path_ = dir_.file("del.idx");
  int32_t root_ = 0;
  cbt_tree *t_ = nullptr;
};

TEST_F(DeleteTest, ErrorsAndCorruption) {
  build({}, 2);
  EXPECT_EQ(del({"a", 1}), -1);
  EXPECT_EQ(codes(), std::pair(19u, 25u));
  EXPECT_EQ(cbclose(t_), 1);
  const Leaf a = key_run('a', 9, 0), b = key_run('b', 9, 100);
  build({a, b}, 2);
  for (const KeyItem &absent : {KeyItem{a[1].key, 0}, KeyItem{a[1].key + "x", 1}}) {  // only the exact pair
    EXPECT_EQ(del(absent), -1);
    EXPECT_EQ(codes(), std::pair(21u, 27u));
  }
  EXPECT_EQ(cbclose(t_), 1);
  // An unused block where the tree expects a leaf or the root is corruption.
  for (auto [blk, e, ctx] : {std::tuple{2, b[3], 27u}, std::tuple{root_, a[3], 26u}}) {
    patch_i32(path_, blk, kNodeLowPathOff, 0);
    build();
    EXPECT_EQ(del(e), -1);
    EXPECT_EQ(codes(), std::pair(20u, ctx));
    ASSERT_EQ(cbclose(t_), 1);
  }
}

// Three leaves under a root: the low path absorbs only its right neighbour; a refused left join is not
// offered to the right; a successful one is followed by the next right neighbour, and the root gives way.
TEST_F(DeleteTest, JoinOffers) {
  for (auto [na, nb, from_b, leaves, unused, depth] :
       {std::tuple{5, 1, false, 2, 1, 2}, {9, 2, true, 3, 0, 2}, {4, 2, true, 1, 3, 1}}) {
    const Leaf a = key_run('a', na, 100), b = key_run('b', nb, 200);
    build({a, b, key_run('c', 1, 300)}, 3);
    ASSERT_EQ(del(from_b ? b[0] : a[0]), 1);
    ASSERT_EQ(cbflush(t_), 1);
    const CheckResult r = check_index(path_, {.relaxed = true});
    EXPECT_TRUE(r.ok) << r.text();
    EXPECT_EQ(std::tuple(r.stats.leaves, r.stats.unused, t_->ctl->depth), std::tuple(leaves, unused, depth))
        << na;
    EXPECT_EQ(cbclose(t_), 1);
  }
}

// A leaf is offered for joining only below the threshold (the damaged neighbour shows an offer as error 20).
TEST_F(DeleteTest, ThresholdDecidesWhetherALeafIsOffered) {
  for (int used : {369, 368}) {
    Leaf a = {{"a", 1}};  // 20 + 5 * 12 + 289 (or 288) bytes once "a" goes
    for (int i = 0; i < 5; ++i)
      a.push_back({std::string(i == 0 || (i == 1 && used == 368) ? 57 : 58, static_cast<char>('b' + i)), 2});
    ASSERT_EQ(cbclose(build({a, {{"x", 1}}}, 2)), 1);
    patch_i32(path_, 2, kNodeHeapEndOff, 7);
    build();
    EXPECT_EQ(del({"a", 1}), used == 369 ? 1 : -1) << used;
    EXPECT_EQ(*qrxcbecd(), used == 369 ? 0u : 20u);
    EXPECT_EQ(cbclose(t_), 1);
  }
}

// Regression: a root whose one remaining child has only a low path must give way level by level.
TEST_F(DeleteTest, RootGivesWayThroughAChainOfSingleChildren) {
  // Leaves 1..4, nodes 5 = [1 2], 6 = [3 4], root 7; cut to 5 = [1], 6 = [4] with 2 and 3 unused.
  ASSERT_EQ(cbclose(build({{{"a", 1}}, {{"b", 1}}, {{"c", 1}}, {{"d", 1}}}, 2)), 1);
  const uint32_t patches[][3] = {
      {5, kNodeKeyCntOff, 0},    {5, kNodeHeapEndOff, 512}, {6, kNodeKeyCntOff, 0},
      {6, kNodeHeapEndOff, 512}, {6, kNodeLowPathOff, 4},   {1, kNodeRightOff, 4},
      {4, kNodeLeftOff, 1},      {2, kNodeLowPathOff, 0},   {2, kNodeNextUnusedOff, 0},
      {3, kNodeLowPathOff, 0},   {3, kNodeNextUnusedOff, 2}};
  for (const auto &p : patches) patch_i32(path_, int32_t(p[0]), p[1], int32_t(p[2]));
  CtlFields c = read_ctl(path_);
  c.freechain = 3;
  write_ctl(path_, c);
  build();
  ASSERT_EQ(del({"a", 1}), 1);
  EXPECT_EQ(std::vector<int32_t>({t_->ctl->root, t_->ctl->depth, t_->ctl->lowleaf, t_->ctl->highleaf}),
            std::vector<int32_t>({4, 1, 4, 4}));
  EXPECT_EQ(cbclose(t_), 1);
  EXPECT_TRUE(same_entries(dump_entries(path_), {{"d", 1}}));
  EXPECT_EQ(check_index(path_).stats.unused, 6);
}

}  // namespace
}  // namespace qrx::test
