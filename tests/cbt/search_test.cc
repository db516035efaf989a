// search_test.cc - entry order, the default compare, the search inside a node, the descent to a leaf
// with its corruption guards, the low-path helpers, sharing and duplicate tests, the key length limit
// and the list helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/codec.h"
#include "cbt/node.h"
#include "cbt/search.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::cbt {
namespace {

int kcm(const std::string &a, const std::string &b) {
  return qrxcbkcm(a.data(), static_cast<uint32_t>(a.size()), b.data(), static_cast<uint32_t>(b.size()));
}

KeyInfo key_info(const std::string &k, uint32_t item, int32_t dupok = 0) {
  return KeyInfo{reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), item, dupok, 0};
}

uint32_t err() {
  return *qrxcbecd();
}
uint32_t ctx() {
  return *qrxcbccd();
}

// A leaf in memory built with the node primitives, with its own tree and control record.
struct MemLeaf {
  CtlRec ctl;
  Tree tree{};
  std::vector<uint8_t> buf;
  explicit MemLeaf(cbt_keycmp_fn cmp = qrxcbkcm, uint32_t blksize = 512) : buf(blksize, 0) {
    ctl.blksize = blksize;
    tree.ctl = &ctl;
    tree.keycmp = cmp;
    B_init_leaf(buf.data(), 0, 0, static_cast<int32_t>(blksize));
  }
  // Appends entries given in order.
  void fill(const std::vector<std::pair<std::string, uint32_t>> &entries) {
    for (const auto &[k, item] : entries) {
      const int32_t at = NodeView(buf.data()).key_cnt();
      ASSERT_EQ(B_addkey_here(&tree, key_info(k, item), buf.data(), at), 1);
    }
  }
  const uint8_t *data() const { return buf.data(); }
  int32_t loc(const std::string &k, uint32_t item, int32_t *index) {
    return B_loc_key(&tree, reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), item,
                     buf.data(), index);
  }
};

// ---------------------------------------------------------------------------------------------------
// Compare functions and entry order.
// ---------------------------------------------------------------------------------------------------

TEST(SearchCompare, DefaultOrder) {
  EXPECT_EQ(kcm("ab", "abc"), -1);
  EXPECT_EQ(kcm("abc", "abd"), -1);
  EXPECT_EQ(kcm("abd", "ab"), 1);
  EXPECT_EQ(kcm("abc", "abc"), 0);
  EXPECT_EQ(kcm("", ""), 0);
  EXPECT_EQ(kcm("", std::string(1, '\0')), -1);
  EXPECT_EQ(kcm(std::string(1, '\0'), ""), 1);
  EXPECT_EQ(kcm("\xff", "\x01"), 1);                                   // bytes are unsigned
  EXPECT_EQ(kcm(std::string("a\0b", 3), std::string("a\0c", 3)), -1);  // NUL is an ordinary byte
  // Null addresses with length 0 are not touched.
  EXPECT_EQ(qrxcbkcm(nullptr, 0, "x", 1), -1);
  EXPECT_EQ(qrxcbkcm(nullptr, 0, nullptr, 0), 0);
}

int wild(const void *a, uint32_t la, const void *b, uint32_t lb) {
  const int r = qrxcbkcm(a, la, b, lb);
  return r * 1000;  // returns -1000 or 1000 instead of -1 or 1
}

TEST(SearchCompare, ResultsAreNormalisedAndItemsAreSigned) {
  MemLeaf m(wild);
  const auto *a = reinterpret_cast<const uint8_t *>("a");
  const auto *b = reinterpret_cast<const uint8_t *>("b");
  EXPECT_EQ(B_keycmp(&m.tree, a, 1, b, 1), -1);
  EXPECT_EQ(B_keycmp(&m.tree, b, 1, a, 1), 1);
  EXPECT_EQ(B_key_item_cmp(&m.tree, a, 1, 9, b, 1, 0), -1);                      // key decides before item
  EXPECT_EQ(B_key_item_cmp(&m.tree, a, 1, 0xFFFFFFFFu, a, 1, 0), -1);            // -1 before 0
  EXPECT_EQ(B_key_item_cmp(&m.tree, a, 1, 0x80000000u, a, 1, 0xFFFFFFFFu), -1);  // most negative first
  EXPECT_EQ(B_key_item_cmp(&m.tree, a, 1, 0x7FFFFFFFu, a, 1, 0x80000000u), 1);
  EXPECT_EQ(B_key_item_cmp(&m.tree, a, 1, 5, a, 1, 5), 0);
}

TEST(SearchCompare, WildCompareStillSearchesCorrectly) {
  MemLeaf m(wild);
  m.fill({{"b", 1}, {"d", 1}, {"f", 1}});
  int32_t i = -1;
  EXPECT_EQ(m.loc("d", 1, &i), 0);
  EXPECT_EQ(i, 1);
  EXPECT_EQ(m.loc("e", 1, &i), -1);
  EXPECT_EQ(i, 2);
  EXPECT_EQ(m.loc("g", 1, &i), 1);
  EXPECT_EQ(i, 3);
}

// ---------------------------------------------------------------------------------------------------
// Search inside a node.
// ---------------------------------------------------------------------------------------------------

TEST(SearchNode, EveryPositionOfASortedLeaf) {
  MemLeaf m;
  m.fill({{"", 0},
          {"a", 0x80000000u},
          {"a", 0xFFFFFFFFu},
          {"a", 0},
          {"a", 7},
          {"ab", 1},
          {"abc", 1},
          {"abd", 1}});
  const int32_t cnt = 8;
  NodeView n(m.data());
  // Every entry is found at its own index.
  for (int32_t e = 0; e < cnt; ++e) {
    std::string k(reinterpret_cast<const char *>(n.key(e)), static_cast<size_t>(n.len(e)));
    int32_t i = -1;
    EXPECT_EQ(m.loc(k, n.item(e), &i), 0) << e;
    EXPECT_EQ(i, e);
  }
  struct Miss {
    std::string key;
    uint32_t item;
    int32_t result, index;
  } misses[] = {
      {"", 0xFFFFFFFFu, -1, 0},  // before the first entry
      {"", 1, -1, 1},           {"a", 0x80000001u, -1, 2}, {"a", 3, -1, 4},  {"a", 8, -1, 5},
      {"aa", 0, -1, 5},         {"abcd", 0, -1, 7},        {"abd", 2, 1, 8},  // after the last
      {"b", 0, 1, 8},
  };
  for (const auto &x : misses) {
    int32_t i = -1;
    EXPECT_EQ(m.loc(x.key, x.item, &i), x.result) << x.key << "/" << x.item;
    EXPECT_EQ(i, x.index) << x.key << "/" << x.item;
  }
}

TEST(SearchNode, EmptyNodesAnswerOneAtIndexZero) {
  MemLeaf m;
  int32_t i = 5;
  EXPECT_EQ(m.loc("x", 0, &i), 1);
  EXPECT_EQ(i, 0);
  std::vector<uint8_t> interior(512, 0);
  B_init_node(interior.data(), 3, 0, 0, 512);
  i = 5;
  EXPECT_EQ(B_loc_key(&m.tree, nullptr, 0, 0, interior.data(), &i), 1);
  EXPECT_EQ(i, 0);
}

TEST(SearchNode, TraceLinesOfTheSearch) {
  MemLeaf m;
  m.fill({{"a", 1}, {"c", 1}});
  test::TraceCapture cap;
  TLG1_SetFlags(TLG1_BLOCKS);
  int32_t i = 0;
  m.loc("c", 1, &i);
  m.loc("b", 1, &i);
  TLG1_SetFlags(0);
  EXPECT_EQ(cap.count(QRXHOST_KIND_DETAIL, "Found - key position = 1"), 1);
  EXPECT_EQ(cap.count(QRXHOST_KIND_DETAIL, "Not Found - key position = 1"), 1);
}

// ---------------------------------------------------------------------------------------------------
// Sharing and duplicate tests.
// ---------------------------------------------------------------------------------------------------

int nocase(const void *a, uint32_t la, const void *b, uint32_t lb) {
  std::string x(static_cast<const char *>(a), la), y(static_cast<const char *>(b), lb);
  for (auto &c : x) c = static_cast<char>(std::tolower(c));
  for (auto &c : y) c = static_cast<char>(std::tolower(c));
  return kcm(x, y);
}

// Equal when the first byte is equal, whatever the lengths.
int first_byte(const void *a, uint32_t la, const void *b, uint32_t lb) {
  if (la == 0 || lb == 0) return la == lb ? 0 : (la == 0 ? -1 : 1);
  const uint8_t x = *static_cast<const uint8_t *>(a), y = *static_cast<const uint8_t *>(b);
  return x == y ? 0 : (x < y ? -1 : 1);
}

TEST(SearchShare, SharingNeedsEqualKeyAndEqualLength) {
  MemLeaf m(first_byte);
  m.fill({{"k1", 1}, {"m22", 1}});
  NodeView n(m.data());
  int32_t off = -1;
  EXPECT_EQ(B_is_k_info_dup(&m.tree, key_info("kX", 2), m.data(), 1, &off), 1);  // entry 0 ("k1")
  EXPECT_EQ(off, n.offset(0));
  EXPECT_EQ(B_is_k_info_dup(&m.tree, key_info("mXX", 0), m.data(), 1, &off), 1);  // entry 1 tried first
  EXPECT_EQ(off, n.offset(1));
  EXPECT_EQ(B_is_k_info_dup(&m.tree, key_info("kXX", 2), m.data(), 1, &off), 0);  // equal, other length
  EXPECT_EQ(B_is_k_info_dup(&m.tree, key_info("m", 2), m.data(), 2, &off), 0);
  EXPECT_EQ(B_is_k_info_dup(&m.tree, key_info("k1", 0), m.data(), 0, &off), 1);
  EXPECT_EQ(B_is_k_info_dup(&m.tree, key_info("zz", 0), m.data(), 2, &off), 0);
  // The plain equality of the duplicate rules ignores the length.
  EXPECT_TRUE(B_node_keycmp(&m.tree, key_info("kXX", 0), m.data(), 0));
  EXPECT_FALSE(B_node_keyshare(&m.tree, key_info("kXX", 0), m.data(), 0));
  EXPECT_FALSE(B_node_keycmp(&m.tree, key_info("k", 0), m.data(), -1));
  EXPECT_FALSE(B_node_keycmp(&m.tree, key_info("k", 0), m.data(), 2));
  MemLeaf other(first_byte);
  other.fill({{"mQ", 4}});
  EXPECT_TRUE(B_key_match(&m.tree, m.data(), 1, other.data(), 0));
  EXPECT_FALSE(B_key_share(&m.tree, m.data(), 1, other.data(), 0));
  EXPECT_FALSE(B_key_match(&m.tree, m.data(), 2, other.data(), 0));
}

TEST(SearchShare, EmptyLeafHasNothingToShare) {
  MemLeaf m;
  int32_t off = 77;
  EXPECT_EQ(B_is_k_info_dup(&m.tree, key_info("", 0), m.data(), 0, &off), 0);
  EXPECT_EQ(B_is_dup_error(&m.tree, key_info("", 0), m.data(), 0), 0);
}

TEST(SearchShare, CaseInsensitiveDuplicateRule) {
  MemLeaf m(nocase);
  m.fill({{"Key", 3}, {"Zed", 7}});
  // "KEY" with item 5 would go at index 1: equal to entry 0, refused whatever side the equal key is on.
  EXPECT_EQ(B_is_dup_error(&m.tree, key_info("KEY", 5), m.data(), 1), 1);
  EXPECT_EQ(B_is_dup_error(&m.tree, key_info("zed", 5), m.data(), 1), 1);
  EXPECT_EQ(B_is_dup_error(&m.tree, key_info("KEY", 5, 1), m.data(), 1), 0);
  EXPECT_EQ(B_is_dup_error(&m.tree, key_info("L", 5), m.data(), 1), 0);
  EXPECT_EQ(B_is_dup_error(&m.tree, key_info("a", 5), m.data(), 0), 0);
  EXPECT_EQ(B_is_dup_error(&m.tree, key_info("zz", 5), m.data(), 2), 0);
}

// ---------------------------------------------------------------------------------------------------
// List helpers.
// ---------------------------------------------------------------------------------------------------

struct Member {
  Member *next = reinterpret_cast<Member *>(0x1);  // junk: add_member must overwrite it
  int id = 0;
};

TEST(SearchList, AddFindDelete) {
  void *head = nullptr;
  Member a, b, c, stranger;
  EXPECT_EQ(is_member(&head, &a), 0);
  EXPECT_EQ(del_member(&head, &a), 0);
  EXPECT_EQ(add_member(&head, &a), 1);
  EXPECT_EQ(a.next, nullptr);
  add_member(&head, &b);
  add_member(&head, &c);
  EXPECT_EQ(head, &c);  // newest first
  EXPECT_EQ(c.next, &b);
  EXPECT_EQ(is_member(&head, &b), 1);
  EXPECT_EQ(is_member(&head, &stranger), 0);
  EXPECT_EQ(del_member(&head, &stranger), 0);
  EXPECT_EQ(del_member(&head, &b), 1);  // middle
  EXPECT_EQ(b.next, nullptr);
  EXPECT_EQ(c.next, &a);
  EXPECT_EQ(is_member(&head, &b), 0);
  EXPECT_EQ(del_member(&head, &c), 1);  // head
  EXPECT_EQ(head, &a);
  EXPECT_EQ(del_member(&head, &a), 1);  // last
  EXPECT_EQ(head, nullptr);
}

// ---------------------------------------------------------------------------------------------------
// Descent and low-path helpers on index files.
// ---------------------------------------------------------------------------------------------------

class SearchFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(8, 1024), 1); }
  void TearDown() override {
    if (t_) {
      EXPECT_EQ(cbclose(t_), 1);
    }
    cbexit();
    TLG1_SetFlags(0);
  }
  void open(const std::string &path) {
    t_ = cbopen(path.c_str(), 2, nullptr);
    ASSERT_NE(t_, nullptr);
  }
  // Six leaves of three entries, fanout 2: three levels (leaves 1-6, interior 7-9, 10-11, root 12).
  std::string six_leaves() {
    std::vector<test::Leaf> leaves;
    for (char c = 'a'; c < 'a' + 6; ++c) {
      std::string k(1, c);
      leaves.push_back({{k, 1}, {k + "m", 0xFFFFFFFFu}, {k + "m", 2}});
    }
    const std::string path = dir_.file("six.idx");
    built_ = test::build_index(path, 256, leaves, 2);
    return path;
  }
  int32_t find(const std::string &k, uint32_t item) {
    return B_loc_leaf_blk(t_, reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()),
                          item);
  }
  test::TempDir dir_;
  test::BuiltIndex built_;
  Tree *t_ = nullptr;
};

TEST_F(SearchFile, DescentPlacesTheCursorOnTheFirstEntryNotBelow) {
  open(six_leaves());
  ASSERT_EQ(built_.depth, 4);
  struct Case {
    std::string key;
    uint32_t item;
    int32_t block, index;
  } cases[] = {
      {"a", 1, 1, 0},  {"", 0, 1, 0},  {"am", 0, 1, 2}, {"am", 0xFFFFFFFFu, 1, 1},
      {"an", 0, 2, 0},  // above all of leaf 1, below leaf 2: next leaf, index 0
      {"c", 1, 3, 0},  {"c", 2, 3, 1}, {"cm", 3, 4, 0}, {"fm", 2, 6, 2},
      {"b", 0, 2, 0},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(find(c.key, c.item), 1) << c.key;
    EXPECT_EQ(t_->pos_stat, 1) << c.key;
    EXPECT_EQ(t_->curblock, c.block) << c.key << "/" << c.item;
    EXPECT_EQ(t_->curindex, c.index) << c.key << "/" << c.item;
  }
  EXPECT_EQ(find("fm", 3), -3);
  EXPECT_EQ(t_->pos_stat, CBT_POS_EOI);
  EXPECT_EQ(t_->curblock, -1);
  EXPECT_EQ(t_->curindex, -1);
  EXPECT_EQ(find("zzz", 0), -3);
}

TEST_F(SearchFile, DescentDetailLine) {
  open(six_leaves());
  test::TraceCapture cap;
  TLG1_SetFlags(TLG1_DETAIL);
  ASSERT_EQ(find("c", 2), 1);
  EXPECT_EQ(cap.count(QRXHOST_KIND_DETAIL, "Block = 3, index = 1"), 1);
  TLG1_SetFlags(TLG1_BLOCKS);
  cap.clear();
  ASSERT_EQ(find("c", 2), 1);
  EXPECT_TRUE(cap.contains(QRXHOST_KIND_DETAIL, "node 12 at "));
  EXPECT_EQ(cap.count(QRXHOST_KIND_DETAIL, "low_path = -1, left = 2, right = 4, key_cnt = 3"), 1);
}

TEST_F(SearchFile, EmptyTreeGivesEoi) {
  const std::string path = dir_.file("empty.idx");
  test::build_index(path, 256, {}, 2);
  open(path);
  EXPECT_EQ(find("a", 0), -3);
  EXPECT_EQ(t_->pos_stat, CBT_POS_EOI);
  EXPECT_EQ(t_->curblock, -1);
}

TEST_F(SearchFile, ChildPointingToItsOwnBlock) {
  const std::string path = six_leaves();
  const int32_t node = built_.levels[1][1];  // interior over leaves 3 and 4
  test::patch_i32(path, node, kHeaderSize + kEntryChildOff, node);
  open(path);
  test::TraceCapture cap;
  EXPECT_EQ(find("d", 1), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 20u);
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR,
                      "Block number " + std::to_string(node) + " of " + path + " points to itself"),
            1);
  // The rest of the tree still answers.
  EXPECT_EQ(find("c", 1), 1);
  EXPECT_EQ(t_->curblock, 3);
}

TEST_F(SearchFile, ChildZeroAndUnreadableBlocks) {
  const std::string path = six_leaves();
  const int32_t node = built_.levels[1][0];
  test::patch_i32(path, node, kHeaderSize + kEntryChildOff, 0);
  test::patch_i32(path, built_.levels[1][2], kLowPathOff, 99);  // beyond the file
  open(path);
  test::TraceCapture cap;
  EXPECT_EQ(find("b", 1), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 20u);
  EXPECT_EQ(
      cap.count(QRXHOST_KIND_ERROR, "Block number " + std::to_string(node) + " of " + path + " is corrupt"),
      1);
  EXPECT_EQ(find("e", 1), -1);
  EXPECT_EQ(err(), 6u);
  EXPECT_EQ(ctx(), 20u);
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, "Unable to get block 99 referenced by block " +
                                              std::to_string(built_.levels[1][2]) + " of " + path),
            1);
}

TEST_F(SearchFile, UnreadableRootNamesBlockZero) {
  const std::string path = six_leaves();
  test::patch_i32(path, built_.root, kHeapEndOff, 3);  // fails the structure check
  open(path);
  test::TraceCapture cap;
  EXPECT_EQ(find("b", 1), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 20u);
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, "Unable to get block " + std::to_string(built_.root) +
                                              " referenced by block 0 of " + path),
            1);
}

TEST_F(SearchFile, CycleStopsAtMaxDepth) {
  const std::string path = six_leaves();
  // The two level-2 nodes point at each other through their low paths.
  const int32_t a = built_.levels[2][0], b = built_.levels[2][1];
  test::patch_i32(path, a, kLowPathOff, b);
  test::patch_i32(path, b, kLowPathOff, a);
  open(path);
  test::TraceCapture cap;
  TLG1_SetFlags(TLG1_BLOCKS);
  EXPECT_EQ(find("a", 0), -1);
  TLG1_SetFlags(0);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 20u);
  EXPECT_EQ(
      cap.count(QRXHOST_KIND_ERROR, "Corrupt tree detected for " + path + ". Max depth (1024) exceeded"), 1);
  int visited = 0;  // one "node %d at %p" line per block visited
  for (const auto &l : cap.lines()) visited += l.text.rfind("node ", 0) == 0;
  EXPECT_EQ(visited, 1024);
  int32_t leaf = 0;
  EXPECT_EQ(B_loc_low_blk(t_, a, &leaf), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 31u);
}

TEST_F(SearchFile, SubtreeLowLeafAndLowPathComparison) {
  open(six_leaves());
  const int32_t n = built_.levels[1][1];  // low path leaf 3 ("c"...), entry 0 -> leaf 4 ("d"...)
  int32_t idx = 7;
  EXPECT_EQ(B_loc_subtree(t_, key_info("c", 2), n, &idx), 3);
  EXPECT_EQ(idx, -1);
  EXPECT_EQ(B_loc_subtree(t_, key_info("d", 1), n, &idx), 4);
  EXPECT_EQ(idx, 0);
  EXPECT_EQ(B_loc_subtree(t_, key_info("zz", 1), n, &idx), 4);
  EXPECT_EQ(idx, 0);
  EXPECT_EQ(B_loc_subtree(t_, key_info("a", 1), n, &idx), 3);   // below everything: low path
  EXPECT_EQ(B_loc_subtree(t_, key_info("a", 1), 3, &idx), -1);  // a leaf has no subtree
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 30u);
  EXPECT_EQ(B_loc_subtree(t_, key_info("a", 1), 77, &idx), -1);
  EXPECT_EQ(err(), 6u);
  EXPECT_EQ(ctx(), 30u);

  int32_t leaf = 0;
  ASSERT_EQ(B_loc_low_blk(t_, built_.root, &leaf), 1);
  EXPECT_EQ(leaf, 1);
  ASSERT_EQ(B_loc_low_blk(t_, built_.levels[2][1], &leaf), 1);
  EXPECT_EQ(leaf, 5);
  ASSERT_EQ(B_loc_low_blk(t_, 4, &leaf), 1);
  EXPECT_EQ(leaf, 4);
  EXPECT_EQ(B_loc_low_blk(t_, 0, &leaf), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 31u);

  uint8_t *d = B_getblk(t_, n, Ctx::kNone);
  ASSERT_NE(d, nullptr);
  int32_t r = 9;
  ASSERT_EQ(B_cmp_low_path(t_, key_info("c", 1), d, &r), 1);
  EXPECT_EQ(r, 0);
  ASSERT_EQ(B_cmp_low_path(t_, key_info("c", 0), d, &r), 1);
  EXPECT_EQ(r, -1);
  ASSERT_EQ(B_cmp_low_path(t_, key_info("bz", 9), d, &r), 1);
  EXPECT_EQ(r, -1);
  ASSERT_EQ(B_cmp_low_path(t_, key_info("c", 2), d, &r), 1);
  EXPECT_EQ(r, 1);
  ASSERT_EQ(B_rlseblk(t_, d, Ctx::kNone), 1);
  std::vector<uint8_t> empty(256, 0);
  B_init_node(empty.data(), 123, 0, 0, 256);  // key_cnt -1: no low path, nothing read
  ASSERT_EQ(B_cmp_low_path(t_, key_info("c", 1), empty.data(), &r), 1);
  EXPECT_EQ(r, -1);
}

TEST_F(SearchFile, LowLeafRefusesANodeWithoutLowPath) {
  const std::string path = six_leaves();
  const int32_t n = built_.levels[2][1];  // low path only (key_cnt 0)
  test::patch_i32(path, n, kKeyCntOff, -1);
  open(path);
  int32_t leaf = 0;
  EXPECT_EQ(B_loc_low_blk(t_, n, &leaf), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 31u);
  EXPECT_EQ(B_loc_low_blk(t_, built_.root, &leaf), 1);  // the other branch is intact
  EXPECT_EQ(leaf, 1);
  EXPECT_EQ(find("f", 1), -1);  // the descent treats it as corrupt too
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 20u);
}

TEST_F(SearchFile, CurrentKeyMatch) {
  open(six_leaves());
  const std::string k = "bm";
  const auto *kp = reinterpret_cast<const uint8_t *>(k.data());
  EXPECT_EQ(B_cur_key_match(t_, kp, 2), -1);  // a new handle is at BOI
  ASSERT_EQ(find("bm", 0), 1);
  EXPECT_EQ(B_cur_key_match(t_, kp, 2), 1);
  EXPECT_EQ(B_cur_key_match(t_, kp, 1), 0);
  t_->curindex = 3;  // beyond the leaf's entries
  EXPECT_EQ(B_cur_key_match(t_, kp, 2), -1);
  EXPECT_EQ(err(), 16u);
  EXPECT_EQ(ctx(), 19u);
}

TEST_F(SearchFile, KeyLengthLimitFollowsTheBufferSize) {
  EXPECT_TRUE(B_is_key_valid(1024 - 36));
  EXPECT_FALSE(B_is_key_valid(1024 - 35));
  EXPECT_FALSE(B_is_key_valid(0xFFFFFFFFu));
}

TEST(SearchLimit, NoPoolNoKeys) {
  // Before any cbinit the buffer size is 0: even the empty key is too long.
  EXPECT_FALSE(B_is_key_valid(0));
}

}  // namespace
}  // namespace qrx::cbt
