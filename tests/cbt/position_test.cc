// Positioning over a hand-built five-leaf file: steps, BOI/EOI, find (the descent, under the default compare
// and one whose results are not -1, 0, 1), cbkey, damaged sibling and interior links
// (marks: delete_model_test, with their codes from C in qrxcb_c_test).
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_model.h"

namespace {

namespace tb = qrx::test;

// Leaves 1..5 under two interior nodes: "k" straddles leaves 2 and 3, "m" has only a negative item.
const std::vector<tb::Leaf> kLeaves = {
    {{"", 5}, {"apple", 10}, {"banana", 20}, {"cherry", 30}},
    {{"date", 40}, {"k", 1}},
    {{"k", 2}, {"k", 5}, {"m", uint32_t(-5)}},
    {{"p", 60}, {"q", 70}},
    {{"zz", 0x80000000u}, {"zz", 7}},
};

class PositionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(cbinit(16, 512), 1);
    ASSERT_EQ(tb::build_index(path_, 512, kLeaves, 3), 8);  // interior nodes 6, 7 under root 8
    ASSERT_NE(t_ = cbopen(path_.c_str(), 1, nullptr), nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(cbclose(t_), 1);
    cbexit();
  }
  using Patch = std::array<int32_t, 3>;  // block, offset, value
  // The file built afresh with the patches, and t_ opened on it again with cmp.
  void reopen(const std::vector<Patch> &patches, cbt_keycmp_fn cmp = nullptr) {
    ASSERT_EQ(cbclose(t_), 1);
    tb::build_index(path_, 512, kLeaves, 3);
    for (const auto &[blk, off, value] : patches) tb::patch_i32(path_, blk, uint32_t(off), value);
    ASSERT_NE(t_ = cbopen(path_.c_str(), 1, cmp), nullptr);
  }
  // A compare giving -1000 and 1000: the results of a caller's compare must be taken by their sign.
  static int wild(const void *a, uint32_t m, const void *b, uint32_t n) {
    return qrxcbkcm(a, m, b, n) * 1000;
  }
  static int32_t find_k(cbt_tree *t, uint32_t *item) { return cbfind(t, "k", 1, item); }
  static int32_t find_end(cbt_tree *t, uint32_t *item) { return cbfind(t, "zzzz", 4, item); }
  // Steps "<op><rc>:<item afterwards>": h head, t tail, n next, p prev, c curr, k find "k", z find past
  // the end. A failing step leaves the item alone.
  void run(const char *script, uint32_t item) {
    const decltype(&cbhead) ops[] = {cbhead, cbtail, cbnext, cbprev, cbcurr, find_k, find_end};
    std::istringstream in(script);
    for (std::string s; in >> s;) {
      long long rc = 0, want = 0;
      ASSERT_EQ(std::sscanf(s.c_str() + 1, "%lld:%lld", &rc, &want), 2) << s;
      EXPECT_EQ(ops[std::string_view("htnpckz").find(s[0])](t_, &item), rc) << s;
      EXPECT_EQ(item, uint32_t(want)) << s;
    }
  }
  tb::TempDir dir_;
  std::string path_ = dir_.file("pos.idx");
  cbt_tree *t_ = nullptr;
};

// Whole walks are compared with the model in insert_model_test and delete_model_test.
TEST_F(PositionTest, StepsStopAtBeginAndEnd) {
  char buf[4];
  EXPECT_EQ(cbkey(t_, buf, sizeof buf), -2);  // a new handle is before the first entry
  run("c-2:99 p-2:99 n1:5 p-2:5 t1:7 n-3:7 n-3:7 c-3:7 p1:7 z-3:7 p1:7", 99);
}

TEST_F(PositionTest, FindPassesOverNegativeItemsFindItemTakesTheItemIntoAccount) {
  const std::tuple<const char *, bool, uint32_t, int32_t, uint32_t, const char *> cases[] = {
      {"k", false, 0, 2, 1, "k"},   // the first "k", in leaf 2
      {"m", false, 0, 3, 60, "p"},  // only a negative item: passed over into the next leaf
      {"zz", false, 0, 2, 7, "zz"},         {"c", false, 0, 3, 30, "cherry"},
      {"zzz", false, 42, -3, 42, "<none>"}, {"k", true, 3, 3, 5, "k"},
      {"k", true, 6, 3, uint32_t(-5), "m"}, {"zz", true, 0x80000000u, 2, 0x80000000u, "zz"},
      {"zz", true, 8, -3, 8, "<none>"},     {"d", false, 0, 3, 40, "date"},  // past the end of leaf 1
  };
  for (cbt_keycmp_fn cmp : {cbt_keycmp_fn{}, &wild}) {
    ASSERT_NO_FATAL_FAILURE(reopen({}, cmp));
    for (const auto &[key, with_item, item_in, rc, item_out, lands_on] : cases) {
      SCOPED_TRACE(testing::Message() << key << (with_item ? " finditem " : " find ") << item_in);
      uint32_t item = item_in;
      const auto len = static_cast<uint32_t>(std::strlen(key));
      EXPECT_EQ(with_item ? cbfinditem(t_, key, len, &item) : cbfind(t_, key, len, &item), rc);
      EXPECT_EQ(item, item_out);
      EXPECT_EQ(tb::cursor_entry(t_).value_or(tb::KeyItem{"<none>"}).key, lands_on);
    }
  }
}

TEST_F(PositionTest, KeyIsTerminatedOnlyWhenShorterThanTheBuffer) {
  uint32_t item = 0;
  ASSERT_EQ(cbfind(t_, "banana", 6, &item), 2);
  for (uint32_t size : {3u, 6u, 9u}) {
    char buf[10];
    std::memset(buf, 0xAA, sizeof buf);
    ASSERT_EQ(cbkey(t_, buf, size), 1);
    EXPECT_EQ(std::string(buf, std::min(size, 6u)), std::string("banana").substr(0, size));
    EXPECT_EQ(static_cast<uint8_t>(buf[std::min(size, 6u)]), size > 6 ? 0 : 0xAA) << size;
    EXPECT_EQ(static_cast<uint8_t>(buf[7]), 0xAA);
  }
}

// Sibling links that would keep a walk going forever end it with error 20: a leaf linked to itself, a left
// link to a leaf that does not link back, and two leaves linked to each other both ways out of key order.
TEST_F(PositionTest, WalksEndWhereSiblingLinksLoopOrBreakTheOrder) {
  tb::TraceCapture quiet;
  for (const auto &[forward, patches] : {std::pair{true, std::vector<Patch>{{2, tb::kNodeRightOff, 2}}},
                                         {false, {{2, tb::kNodeLeftOff, 4}}},
                                         {true, {{2, tb::kNodeRightOff, 1}, {1, tb::kNodeLeftOff, 2}}}}) {
    ASSERT_NO_FATAL_FAILURE(reopen(patches));
    uint32_t item = 0;
    int32_t r = forward ? cbhead(t_, &item) : cbtail(t_, &item);
    int steps = 0;
    while (r == 1 && ++steps < 100) r = forward ? cbnext(t_, &item) : cbprev(t_, &item);
    EXPECT_TRUE(r == -1 && *qrxcbecd() == 20)
        << patches.size() << ": " << r << " after " << steps << " steps";
  }
}

// Damaged interior links end a descent with error 20 (6 for a block past the file), context 20, and their
// line; it does not loop, and the rest of the tree still answers while the root is sound. Interior nodes:
// 6 (low path 1, ("date", 40) -> 2, ("k", 2) -> 3), 7 (low path 4, ("zz", -2^31) -> 5), root 8 (low path
// 6, ("p", 60) -> 7).
TEST_F(PositionTest, DamagedInteriorLinksEndTheDescent) {
  const std::string of = " of " + path_;
  const int32_t kChild0 = tb::entry_pos(false, 0) + tb::kEntryChildOff, kLow = tb::kNodeLowPathOff;
  const struct {
    std::vector<Patch> damage;
    const char *key;
    uint32_t error;
    std::string message;
    bool rest_answers;
  } cases[] = {
      {{{6, kChild0, 6}}, "e", 20, "Block number 6" + of + " points to itself", true},
      {{{6, kChild0 + int32_t(tb::kInteriorEntrySize), 0}},
       "m",
       20,
       "Block number 6" + of + " is corrupt",
       true},
      {{{7, kLow, 99}}, "q", 6, "Unable to get block 99 referenced by block 7" + of, true},
      // A cycle of low paths: the descent meets an interior node where the tree's depth puts a leaf.
      {{{6, kLow, 7}, {7, kLow, 6}}, "apple", 20, "Block number 7" + of + " is corrupt", false},
      // The root is an unused block (whose other words mean nothing): its entries are never searched.
      {{{8, kLow, 0}, {8, tb::kNodeKeyCntOff, 1 << 20}},
       "c",
       20,
       "Block number 8" + of + " is corrupt",
       false},
  };
  for (const auto &c : cases) {
    ASSERT_NO_FATAL_FAILURE(reopen(c.damage));
    tb::TraceCapture cap;
    uint32_t item = 0;
    EXPECT_EQ(cbfind(t_, c.key, uint32_t(std::strlen(c.key)), &item), -1) << c.message;
    EXPECT_EQ(std::pair(*qrxcbecd(), *qrxcbccd()), std::pair(c.error, 20u)) << c.message;
    EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, c.message), 1) << c.message;
    EXPECT_EQ(cbfind(t_, "apple", 5, &item), c.rest_answers ? 2 : -1) << c.message;
  }
}

}  // namespace
