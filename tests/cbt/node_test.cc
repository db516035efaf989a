// Node primitives: packed heaps, shared bytes, fit rules, and the check that rejects damaged blocks (a block
// failing it is refused when read: change_test; a missing one: position_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "cbt/codec.h"
#include "cbt/node.h"
#include "cbt/search.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::cbt {
namespace {

// Trailing spaces ignored: "ab" equals "ab " although the lengths differ, so the two must not share.
int notrail(const void *a, uint32_t la, const void *b, uint32_t lb) {
  auto *x = static_cast<const uint8_t *>(a), *y = static_cast<const uint8_t *>(b);
  while (la > 0 && x[la - 1] == ' ') --la;
  while (lb > 0 && y[lb - 1] == ' ') --lb;
  return qrxcbkcm(x, la, y, lb);
}

KeyInfo ki(const std::string &k, uint32_t item, int32_t child = 0) {
  return KeyInfo{reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), item, 1, child};
}
using Entries = std::vector<std::pair<std::string, uint32_t>>;
using test::nocase_compare;

// A node block in memory with the tree and control record the primitives need.
struct MemNode {
  CtlRec ctl;
  Tree tree{};
  std::vector<uint8_t> buf;
  MemNode(uint32_t size, cbt_keycmp_fn cmp, const Entries &adds, bool leaf = true) : buf(size, 0) {
    ctl.blksize = size, tree.ctl = &ctl, tree.keycmp = cmp;
    tree.curblock = tree.curindex = tree.mrkblock = tree.mrkindex = -1;
    leaf ? B_init_leaf(d(), 0, 0, int32_t(size)) : B_init_node(d(), 0, 0, 0, int32_t(size));
    if (!leaf) B_addkey_here(&tree, ki("", 0, 9), d(), -1);  // low path 9
    for (const auto &[k, item] : adds) EXPECT_GE(add(k, item), 0) << k;
  }
  uint8_t *d() { return buf.data(); }
  NodeView v() { return NodeView(d()); }
  std::string key(int32_t i) { return std::string(reinterpret_cast<const char *>(v().key(i)), v().len(i)); }
  std::string show() {
    std::string s = std::to_string(v().heap_end()) + ":";
    for (int32_t i = 0; i < v().key_cnt(); ++i) s += " " + key(i) + "@" + std::to_string(v().offset(i));
    return s;
  }
  int32_t add(const std::string &k, uint32_t item) {  // the index, or -1 when it does not fit
    int32_t i = 0;
    EXPECT_NE(B_key_info_loc(&tree, ki(k, item), d(), &i), 0) << "already present";
    if (B_ins_complications(&tree, ki(k, item), d(), i) != 0) return -1;
    EXPECT_EQ(B_add_key(&tree, ki(k, item), 7, d(), i), 1);
    return i;
  }
};

TEST(NodeHeap, PackedAndSharedThroughAddsAndRemoves) {
  // Compare (null: the default), entries added, layout, indexes removed one after the other, layout.
  const std::tuple<cbt_keycmp_fn, Entries, std::string, std::vector<int32_t>, std::string> cases[] = {
      {{}, {{"", 1}, {"a", 1}}, "511: @511 a@511", {1}, "512: @512"},
      {{}, {{"a", 1}, {"s", 5}, {"s", 7}}, "510: a@510 s@511 s@511", {1, 1}, "511: a@511"},
      // Empty keys sit where the next key's bytes start; a sharer reads back its neighbour's spelling.
      {{}, {{"", 1}, {"", 3}, {"b", 1}, {"c", 0}}, "510: @510 @510 b@510 c@511", {2, 2}, "512: @512 @512"},
      {nocase_compare, {{"A", 1}, {"a", 2}, {"B", 3}}, "510: A@510 A@510 B@511", {0}, "510: A@510 B@511"},
      {notrail, {{"ab", 1}, {"ab", 3}, {"ab ", 2}}, "505: ab@505 ab @507 ab@510", {1, 0, 0}, "512:"},
  };
  for (const auto &[cmp, adds, added, removes, removed] : cases) {
    MemNode m(512, cmp ? cmp : qrxcbkcm, adds);
    EXPECT_EQ(m.show(), added);
    for (int32_t i : removes) B_del_key(&m.tree, 7, m.d(), i);
    EXPECT_EQ(m.show(), removed);
    EXPECT_TRUE(B_node_valid(m.d(), 512)) << removed;
    uint8_t *dir_end = m.d() + kHeaderSize + m.v().key_cnt() * m.v().esize();  // freed bytes zeroed
    EXPECT_TRUE(std::all_of(dir_end, m.d() + m.v().heap_end(), [](uint8_t b) { return !b; })) << removed;
  }
}

// Regression: key bytes taken from the node itself were read after the heap had moved.
TEST(NodeHeap, KeyBytesFromTheSameBlockAreCopiedBeforeTheHeapMoves) {
  MemNode m(256, qrxcbkcm, {{"az", 1}, {"b", 1}});
  ASSERT_EQ(B_add_key(&m.tree, KeyInfo{m.v().key(0) + 1, 1, 0, 1, 0}, 7, m.d(), 2), 1);  // "z" of "az"
  ASSERT_EQ(B_add_key(&m.tree, KeyInfo{m.v().key(2), 1, 5, 1, 0}, 7, m.d(), 3), 1);
  EXPECT_EQ(m.show(), "252: az@252 b@254 z@255 z@255");
}

TEST(NodeFit, ExactFitSharingAndSeparation) {
  const std::string k468(468, 'k');  // 512 - 20 - 12 - 468: 12 bytes left, room for an entry but no byte
  MemNode m(512, qrxcbkcm, {{k468, 1}});
  for (auto [key, at, want] : {std::tuple{k468, 1, 0}, {"", 0, 0}, {"a", 0, 1}})
    EXPECT_EQ(B_ins_complications(&m.tree, ki(key, 2), m.d(), at), want) << key.size();
  MemNode t(128, notrail, {{"ab", 1}, {"ab", 3}, {std::string(53, 'z'), 0}});  // 17 bytes left
  EXPECT_EQ(B_ins_complications(&t.tree, ki("ab  ", 2), t.d(), 1), 1);         // 12 + 4 + a second "ab"
  EXPECT_EQ(t.add("ab ", 2), 1);
  EXPECT_EQ(B_calc_free_space(&t.tree, t.d()), 0u);
}

// A right shift that gives the sibling a lowest key equal (under the compare function, at the same length)
// to the key of the parent's next entry: the parent's entry for the sibling is not rewritten where it
// stands but re-inserted, sharing that next entry's bytes.
TEST(NodeShift, ParentEntryEqualToTheNextOneSharesItsBytes) {
  test::TempDir dir;
  const std::string path = dir.file("p.cbt");
  auto leaf = [](std::initializer_list<test::KeyItem> l) { return test::Leaf(l); };
  // Written bytewise, so "M" and "m" keep bytes of their own in the root; block 2 has 1 byte free.
  const int32_t root = test::build_index(
      path, 128,
      {leaf({{"a", 0}}), leaf({{std::string(40, 'b'), 0}, {std::string(30, 'd'), 0}, {"m", 1}}),
       leaf({{"M", 5}}), leaf({{"m", 9}})},
      4);
  ASSERT_EQ(cbinit(16, 128), 1);
  cbt_tree *t = cbopen(path.c_str(), 2, nocase_compare);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(cbinsert(t, "c", 1, 7, 1), 1);  // ("m", 1) moves to the front of block 3
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(cbexit(), 1);
  const test::NodeImage p = test::read_node(path, root);
  ASSERT_EQ(p.entries.size(), 3u);
  EXPECT_EQ(p.entries[1], (test::KeyItem{"m", 1}));
  EXPECT_EQ(p.offsets[1], p.offsets[2]);
}

const Entries kFive = {{"alpha", 1}, {"beta", 2}, {"beta", 3}, {"", 4}, {"gamma", 5}};

TEST(NodeValid, DamagedBlocksAreRejected) {
  // (offset, value): header fields out of range or off by one; entry offsets (20 + 12e) and lengths
  // (24 + 12e) leaving gaps, overlapping, leaving the block, sharing at another length, giving "" bytes.
  const int32_t cases[][2] = {{0, -2},   {12, -1},  {12, 0x7fffffff}, {12, 6},   {12, 4},  {16, 257},
                              {16, 68},  {16, -4},  {16, 241},        {16, 243}, {32, 30}, {68, 300},
                              {68, 254}, {36, -1},  {36, 0x7ffffff0}, {36, 4},   {36, 6},  {56, 3},
                              {56, 0},   {44, 248}, {20, 243},        {24, 1},   {32, -8}};
  for (const auto &[off, val] : cases) {
    MemNode m(256, qrxcbkcm, kFive);
    ASSERT_EQ(m.show(), "242: @242 alpha@242 beta@247 beta@247 gamma@251");
    codec::store_i32(m.d(), off, val);
    EXPECT_FALSE(B_node_valid(m.d(), 256)) << off << " = " << val;
  }
}

}  // namespace
}  // namespace qrx::cbt
