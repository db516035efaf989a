// The descent to a leaf: where it leaves the cursor, and how it stops on damaged interior links.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/node.h"
#include "cbt/search.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::cbt {
namespace {

class SearchFile : public ::testing::Test {
 protected:
  // Six leaves of three entries ("a", 1), ("am", -1), ("am", 2), ... ("f", 1), ("fm", -1), ("fm", 2), fanout
  // 2: leaves 1-6, interior 7-9 (7 over 1,2), 10 (over 7,8) and 11 (over 9 alone), root 12.
  // A compare giving -1000/1000: results must be normalised before use.
  static int wild(const void *a, uint32_t m, const void *b, uint32_t n) {
    return qrxcbkcm(a, m, b, n) * 1000;
  }
  void SetUp() override { ASSERT_EQ(cbinit(8, 1024), 1); }
  void TearDown() override { cbexit(); }
  void build() {
    std::vector<test::Leaf> leaves;
    for (std::string k : {"a", "b", "c", "d", "e", "f"})
      leaves.push_back({{k, 1}, {k + "m", ~0u}, {k + "m", 2}});
    ASSERT_EQ(test::build_index(path_, 256, leaves, 2), 12);
  }
  // "result block.index", or "-1 error/code" on failure.
  std::string find(const std::string &k, uint32_t item) {
    const auto *key = reinterpret_cast<const uint8_t *>(k.data());
    const int32_t r = B_loc_leaf_blk(t_, key, static_cast<int32_t>(k.size()), item);
    if (r == -1) return "-1 " + std::to_string(*qrxcbecd()) + "/" + std::to_string(*qrxcbccd());
    return std::to_string(r) + " " + std::to_string(t_->curblock) + "." + std::to_string(t_->curindex);
  }
  test::TempDir dir_;
  std::string path_ = dir_.file("six.idx");
  Tree *t_ = nullptr;
};

TEST_F(SearchFile, DescentPlacesTheCursorOnTheFirstEntryNotBelow) {
  const std::tuple<std::string, uint32_t, std::string> cases[] = {
      {"a", 1, "1 1.0"},  {"", 0, "1 1.0"},      {"am", 0, "1 1.2"},    {"am", ~0u, "1 1.1"},
      {"an", 0, "1 2.0"}, {"c", 2, "1 3.1"},     {"cm", 3, "1 4.0"},    {"fm", 2, "1 6.2"},
      {"b", 0, "1 2.0"},  {"fm", 3, "-3 -1.-1"}, {"zzz", 0, "-3 -1.-1"}};
  for (cbt_keycmp_fn cmp : {qrxcbkcm, wild}) {
    build();
    ASSERT_NE(t_ = cbopen(path_.c_str(), 2, cmp), nullptr);
    for (const auto &[k, item, want] : cases) EXPECT_EQ(find(k, item), want) << k << "/" << item;
    EXPECT_EQ(t_->pos_stat, CBT_POS_EOI);
    EXPECT_EQ(cbclose(t_), 1);  // refuses pinned blocks: nothing may stay pinned
  }
}

TEST_F(SearchFile, DamagedLinksFailWithError20AndTheirMessage) {
  const std::string of = " of " + path_;
  const struct {
    std::vector<std::array<int32_t, 3>> damage;  // block, offset, value
    const char *key;
    std::string want, message;
    bool rest_answers;  // the rest of the tree still answers
  } cases[] = {
      // clang-format off
      {{{8, kHeaderSize + kEntryChildOff, 8}}, "d", "-1 20/20", "Block number 8" + of + " points to itself", true},
      {{{7, kHeaderSize + kEntryChildOff, 0}}, "b", "-1 20/20", "Block number 7" + of + " is corrupt", true},
      {{{9, kLowPathOff, 99}}, "e", "-1 6/20", "Unable to get block 99 referenced by block 9" + of, true},
      // A cycle of low paths: the descent meets an interior node where the tree's depth puts a leaf.
      {{{10, kLowPathOff, 11}, {11, kLowPathOff, 10}}, "a", "-1 20/20", "Block number 10" + of + " is corrupt", false},
      // The root is an unused block (whose other words mean nothing): its entries are never searched.
      {{{12, kLowPathOff, 0}, {12, kKeyCntOff, 1 << 20}}, "c", "-1 20/20", "Block number 12" + of + " is corrupt", false},
      // clang-format on
  };
  for (const auto &c : cases) {
    build();
    for (const auto &[blk, off, val] : c.damage) test::patch_i32(path_, blk, uint32_t(off), val);
    ASSERT_NE(t_ = cbopen(path_.c_str(), 2, nullptr), nullptr);
    test::TraceCapture cap;
    EXPECT_EQ(find(c.key, 1), c.want);
    EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, c.message), 1) << c.message;
    EXPECT_EQ(find("a", 1), c.rest_answers ? "1 1.0" : c.want);
    EXPECT_EQ(cbclose(t_), 1);
  }
}

}  // namespace
}  // namespace qrx::cbt
