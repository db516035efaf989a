// search_test.cc - entry order, the search inside a node, the sharing and duplicate rules, the descent to
// a leaf with its corruption guards and the key length limit.
#include <gtest/gtest.h>

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

KeyInfo ki(const std::string &k, uint32_t item, int32_t dupok = 0) {
  return KeyInfo{reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), item, dupok, 0};
}
const uint8_t *u8(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

// A compare returning -1000/1000: results must be normalised before use.
int wild(const void *a, uint32_t la, const void *b, uint32_t lb) {
  return qrxcbkcm(a, la, b, lb) * 1000;
}

// A leaf in memory filled in order.
struct MemLeaf {
  CtlRec ctl;
  Tree tree{};
  std::vector<uint8_t> buf = std::vector<uint8_t>(512);
  MemLeaf(cbt_keycmp_fn cmp, std::vector<std::pair<std::string, uint32_t>> entries) {
    ctl.blksize = 512;
    tree.ctl = &ctl;
    tree.keycmp = cmp;
    B_init_leaf(buf.data(), 0, 0, 512);
    for (size_t i = 0; i < entries.size(); ++i)
      EXPECT_EQ(B_addkey_here(&tree, ki(entries[i].first, entries[i].second), buf.data(), i), 1);
  }
  std::string loc(const std::string &k, uint32_t item) {  // "result@index"
    int32_t i = -9;
    const int32_t r = B_loc_key(&tree, u8(k), static_cast<int32_t>(k.size()), item, buf.data(), &i);
    return std::to_string(r) + "@" + std::to_string(i);
  }
};

TEST(SearchCompare, DefaultOrderAndSignedItems) {
  const std::string nul(1, '\0');
  const std::pair<std::string, std::string> less[] = {{"ab", "abc"},
                                                      {"abc", "abd"},
                                                      {"", nul},
                                                      {"\x01", "\xff"},
                                                      {std::string("a\0b", 3), std::string("a\0c", 3)}};
  for (const auto &[a, b] : less) {
    EXPECT_EQ(qrxcbkcm(a.data(), a.size(), b.data(), b.size()), -1) << a;
    EXPECT_EQ(qrxcbkcm(b.data(), b.size(), a.data(), a.size()), 1) << a;
  }
  MemLeaf m(wild, {});
  EXPECT_EQ(B_key_item_cmp(&m.tree, u8("a"), 1, 9, u8("b"), 1, 0), -1);            // key decides before item
  EXPECT_EQ(B_key_item_cmp(&m.tree, u8("a"), 1, 0xFFFFFFFFu, u8("a"), 1, 0), -1);  // signed: -1 before 0
  EXPECT_EQ(B_key_item_cmp(&m.tree, u8("a"), 1, 0x80000000u, u8("a"), 1, 0x7FFFFFFFu), -1);
}

TEST(SearchNode, EveryPositionOfASortedLeaf) {
  for (cbt_keycmp_fn cmp : {qrxcbkcm, wild}) {
    MemLeaf m(cmp,
              {{"", 0}, {"a", 0x80000000u}, {"a", 0xFFFFFFFFu}, {"a", 0}, {"a", 7}, {"ab", 1}, {"abc", 1}});
    NodeView n(m.buf.data());
    for (int32_t e = 0; e < n.key_cnt(); ++e)
      EXPECT_EQ(m.loc(std::string(reinterpret_cast<const char *>(n.key(e)), n.len(e)), n.item(e)),
                "0@" + std::to_string(e));
    const std::tuple<std::string, uint32_t, std::string> misses[] = {
        {"", 0xFFFFFFFFu, "-1@0"}, {"", 1, "-1@1"},   {"a", 0x80000001u, "-1@2"}, {"a", 3, "-1@4"},
        {"a", 8, "-1@5"},          {"aa", 0, "-1@5"}, {"abc", 2, "1@7"},          {"b", 0, "1@7"}};
    for (const auto &[k, item, want] : misses) EXPECT_EQ(m.loc(k, item), want) << k << "/" << item;
  }
  EXPECT_EQ(MemLeaf(qrxcbkcm, {}).loc("x", 0), "1@0");
}

// Equal when the first byte is equal, whatever the lengths.
int first_byte(const void *a, uint32_t la, const void *b, uint32_t lb) {
  if (la == 0 || lb == 0) return la == lb ? 0 : (la == 0 ? -1 : 1);
  return qrxcbkcm(a, 1, b, 1);
}

TEST(SearchShare, SharingNeedsEqualLengthDuplicatesDoNot) {
  MemLeaf m(first_byte, {{"k1", 1}, {"m22", 1}});
  NodeView n(m.buf.data());
  int32_t off = -1;
  EXPECT_EQ(B_is_k_info_dup(&m.tree, ki("kX", 2), m.buf.data(), 1, &off), 1);  // left neighbour
  EXPECT_EQ(off, n.offset(0));
  EXPECT_EQ(B_is_k_info_dup(&m.tree, ki("mXX", 0), m.buf.data(), 1, &off), 1);  // right neighbour
  EXPECT_EQ(off, n.offset(1));
  EXPECT_EQ(B_is_k_info_dup(&m.tree, ki("kXX", 2), m.buf.data(), 1, &off), 0);  // equal, other length
  EXPECT_EQ(B_is_k_info_dup(&m.tree, ki("m", 2), m.buf.data(), 2, &off), 0);
  // Duplicates ignore the length and look at both neighbours; dupok lifts the refusal.
  EXPECT_EQ(B_is_dup_error(&m.tree, ki("kXXX", 5), m.buf.data(), 1), 1);
  EXPECT_EQ(B_is_dup_error(&m.tree, ki("m", 0), m.buf.data(), 1), 1);
  EXPECT_EQ(B_is_dup_error(&m.tree, ki("m", 0, 1), m.buf.data(), 1), 0);
  EXPECT_EQ(B_is_dup_error(&m.tree, ki("l", 0), m.buf.data(), 1), 0);
  EXPECT_EQ(B_is_dup_error(&m.tree, ki("z", 5), m.buf.data(), 2), 0);
}

class SearchFile : public ::testing::Test {
 protected:
  // Six leaves of three entries, fanout 2: leaves 1-6, interior 7-9, 10-11, root 12.
  void SetUp() override {
    ASSERT_EQ(cbinit(8, 1024), 1);
    std::vector<test::Leaf> leaves;
    for (std::string k : {"a", "b", "c", "d", "e", "f"})
      leaves.push_back({{k, 1}, {k + "m", 0xFFFFFFFFu}, {k + "m", 2}});
    built_ = test::build_index(path_, 256, leaves, 2);
  }
  void TearDown() override {
    EXPECT_EQ(cbclose(t_), 1);
    cbexit();
  }
  void open() { ASSERT_NE(t_ = cbopen(path_.c_str(), 2, nullptr), nullptr); }
  std::string find(const std::string &k, uint32_t item) {  // "result block.index", codes on failure
    const int32_t r = B_loc_leaf_blk(t_, u8(k), static_cast<int32_t>(k.size()), item);
    if (r == -1) return "-1 " + std::to_string(*qrxcbecd()) + "/" + std::to_string(*qrxcbccd());
    return std::to_string(r) + " " + std::to_string(t_->curblock) + "." + std::to_string(t_->curindex);
  }
  test::TempDir dir_;
  std::string path_ = dir_.file("six.idx");
  test::BuiltIndex built_;
  Tree *t_ = nullptr;
};

TEST_F(SearchFile, DescentPlacesTheCursorOnTheFirstEntryNotBelow) {
  open();
  const std::tuple<std::string, uint32_t, std::string> cases[] = {
      {"a", 1, "1 1.0"},  {"", 0, "1 1.0"},      {"am", 0, "1 1.2"},    {"am", 0xFFFFFFFFu, "1 1.1"},
      {"an", 0, "1 2.0"}, {"c", 2, "1 3.1"},     {"cm", 3, "1 4.0"},    {"fm", 2, "1 6.2"},
      {"b", 0, "1 2.0"},  {"fm", 3, "-3 -1.-1"}, {"zzz", 0, "-3 -1.-1"}};
  for (const auto &[k, item, want] : cases) EXPECT_EQ(find(k, item), want) << k << "/" << item;
  EXPECT_EQ(t_->pos_stat, CBT_POS_EOI);
  EXPECT_TRUE(B_is_key_valid(1024 - 36));
  EXPECT_FALSE(B_is_key_valid(1024 - 35));
}

TEST_F(SearchFile, CorruptLinksFailCleanlyAndTheRestStillAnswers) {
  const int32_t self = built_.levels[1][1], zero = built_.levels[1][0], far = built_.levels[1][2];
  test::patch_i32(path_, self, kHeaderSize + kEntryChildOff, self);  // points to itself
  test::patch_i32(path_, zero, kHeaderSize + kEntryChildOff, 0);
  test::patch_i32(path_, far, kLowPathOff, 99);  // beyond the file
  open();
  test::TraceCapture cap;
  EXPECT_EQ(find("d", 1), "-1 20/20");
  EXPECT_EQ(find("b", 1), "-1 20/20");
  EXPECT_EQ(find("e", 1), "-1 6/20");
  EXPECT_EQ(find("c", 1), "1 3.0");
  const std::string blk = "Block number ", of = " of " + path_;
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, blk + std::to_string(self) + of + " points to itself"), 1);
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, blk + std::to_string(zero) + of + " is corrupt"), 1);
  EXPECT_EQ(
      cap.count(QRXHOST_KIND_ERROR, "Unable to get block 99 referenced by block " + std::to_string(far) + of),
      1);
}

TEST_F(SearchFile, CycleStopsAtMaxDepth) {
  const int32_t a = built_.levels[2][0], b = built_.levels[2][1];  // low paths point at each other
  test::patch_i32(path_, a, kLowPathOff, b);
  test::patch_i32(path_, b, kLowPathOff, a);
  open();
  test::TraceCapture cap;
  EXPECT_EQ(find("a", 0), "-1 20/20");
  EXPECT_EQ(
      cap.count(QRXHOST_KIND_ERROR, "Corrupt tree detected for " + path_ + ". Max depth (1024) exceeded"), 1);
  int32_t leaf = 0;
  EXPECT_EQ(B_loc_low_blk(t_, a, &leaf), -1);
  EXPECT_EQ(*qrxcbccd(), 31u);
}

}  // namespace
}  // namespace qrx::cbt
