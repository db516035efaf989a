// Redistribution between siblings: the bulk moves B_move_right and B_move_left byte for byte (directory,
// packed heap, shared boundary keys, zeroed free space, low paths of interior nodes) with the cursors and
// marks they carry, and the offloads with their result codes and parent adjustments, on files built block
// by block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/codec.h"
#include "cbt/insert.h"
#include "cbt/node.h"
#include "cbt/redist.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

// One node read from the file's bytes.
struct Entry {
  std::string key;
  uint32_t item = 0;
  int32_t child = 0;
  int32_t offset = 0;
  int32_t len = 0;
};
struct Node {
  int32_t low_path = 0, left = 0, right = 0, key_cnt = 0, heap_end = 0;
  std::vector<Entry> entries;
  std::vector<uint8_t> bytes;
  bool leaf() const { return low_path == -1; }
  // Bytes between the end of the directory and heap_end.
  bool free_space_zero() const {
    const uint32_t end = entry_pos(leaf(), std::max(key_cnt, 0));
    for (uint32_t b = end; b < static_cast<uint32_t>(heap_end); ++b)
      if (bytes[b] != 0) return false;
    return true;
  }
};

Node read_node(const std::string &path, int32_t blk) {
  Node n;
  n.bytes = read_block(path, blk);
  const uint8_t *d = n.bytes.data();
  n.low_path = codec::load_i32(d, kNodeLowPathOff);
  n.left = codec::load_i32(d, kNodeLeftOff);
  n.right = codec::load_i32(d, kNodeRightOff);
  n.key_cnt = codec::load_i32(d, kNodeKeyCntOff);
  n.heap_end = codec::load_i32(d, kNodeHeapEndOff);
  for (int32_t i = 0; i < n.key_cnt; ++i) {
    const uint32_t at = entry_pos(n.leaf(), i);
    Entry e;
    e.offset = codec::load_i32(d, at + kEntryOffsetOff);
    e.len = codec::load_i32(d, at + kEntryLenOff);
    e.item = codec::load_u32(d, at + kEntryItemOff);
    if (!n.leaf()) e.child = codec::load_i32(d, at + kEntryChildOff);
    e.key.assign(reinterpret_cast<const char *>(d) + e.offset, static_cast<size_t>(e.len));
    n.entries.push_back(e);
  }
  return n;
}

std::vector<KeyItem> pairs(const Node &n) {
  std::vector<KeyItem> out;
  for (const auto &e : n.entries) out.push_back({e.key, e.item});
  return out;
}

// Keys packed from heap_end to the block end in entry order; neighbours of equal bytes share.
testing::AssertionResult packed(const Node &n, uint32_t blksize) {
  int64_t pos = n.heap_end;
  for (size_t i = 0; i < n.entries.size(); ++i) {
    const Entry &e = n.entries[i];
    if (e.offset == pos) {
      pos += e.len;
    } else if (!(i > 0 && e.len > 0 && e.offset == n.entries[i - 1].offset &&
                 e.len == n.entries[i - 1].len)) {
      return testing::AssertionFailure() << "entry " << i << " at " << e.offset << ", expected " << pos;
    }
    if (i > 0 && e.len > 0 && e.key == n.entries[i - 1].key && e.offset != n.entries[i - 1].offset)
      return testing::AssertionFailure()
             << "entries " << i - 1 << " and " << i << " do not share equal bytes";
  }
  if (pos != blksize) return testing::AssertionFailure() << "heap ends at " << pos;
  return testing::AssertionSuccess();
}

std::string key(char c, int n, size_t len = 12) {
  std::string k(len, c);
  k[1] = static_cast<char>('0' + n / 10);
  k[2] = static_cast<char>('0' + n % 10);
  return k;
}

// Holds a file's public-operation lock while a test calls internal steps directly.
class Locked {
 public:
  explicit Locked(cbt_tree *t) : t_(cbt::lock_tree(t) ? t : nullptr) {}
  ~Locked() {
    if (t_) cbt::unlock_tree(t_);
  }

 private:
  cbt_tree *t_;
};

class RedistTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 512), 1); }
  void TearDown() override { cbexit(); }

  cbt_tree *open(const std::vector<Leaf> &leaves, int fanout, uint8_t fill = 0) {
    BuildOptions opt;
    opt.free_fill = fill;
    built_ = build_index(path_, 512, leaves, fanout, opt);
    cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
    EXPECT_NE(t, nullptr);
    return t;
  }
  void position(cbt_tree *t, int32_t blk, int32_t index, bool mark = false) {
    if (mark) {
      t->mrk_stat = 1, t->mrkblock = blk, t->mrkindex = index;
    } else {
      t->pos_stat = 1, t->curblock = blk, t->curindex = index;
    }
  }
  // Splices a new node right of blk and moves its last n entries there: the first half of a split.
  int32_t split_off(cbt_tree *t, int32_t blk, int32_t n) {
    uint8_t *d = cbt::B_getblk(t, blk, cbt::Ctx::kInsertKey);
    if (!d) return -1;
    int32_t r = cbt::splice_in_node(t, blk, d);
    if (cbt::B_putblk(t, d, false, cbt::Ctx::kInsertKey) < 0) r = -1;
    return r < 0 ? -1 : cbt::B_move_right(t, blk, n);
  }

  TempDir dir_;
  std::string path_ = dir_.file("redist.idx");
  BuiltIndex built_;
};

// ---------------------------------------------------------------------------------------------------
// B_move_right
// ---------------------------------------------------------------------------------------------------

// Moving the last 3 entries of a leaf into the node a split spliced in: the source keeps its first
// entries packed at the block end, freed bytes and slots are zeroed, shared keys stay shared on both
// sides, and positions on the moved entries follow them.
TEST_F(RedistTest, MoveRightFillsSplicedLeaf) {
  const Leaf leaf = {{"", 7},   {"aa", 1},     {"bbbb", 2},   {"cc", 3},
                     {"cc", 4}, {"dddddd", 5}, {"dddddd", 6}, {"ee", 8}};
  cbt_tree *t = open({leaf}, 4, 0xEE);
  cbt_tree *u = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_NE(u, nullptr);
  {
    Locked lock(t);
    position(t, 1, 7);        // last entry
    position(t, 1, 5, true);  // first moved entry
    position(u, 1, 4);        // stays
    position(u, 1, 6, true);  // shares its bytes with entry 5, moves with it
    ASSERT_EQ(split_off(t, 1, 3), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  const Node src = read_node(path_, 1);
  const Node dst = read_node(path_, 2);
  EXPECT_EQ(src.right, 2);
  EXPECT_EQ(dst.left, 1);
  EXPECT_EQ(dst.right, 0);
  EXPECT_EQ(src.key_cnt, 5);
  EXPECT_EQ(src.heap_end, 512 - (2 + 4 + 2));  // "", "aa", "bbbb", "cc" once
  EXPECT_TRUE(packed(src, 512));
  EXPECT_TRUE(packed(dst, 512));
  EXPECT_TRUE(same_entries(pairs(src), {leaf.begin(), leaf.begin() + 5}));
  EXPECT_TRUE(same_entries(pairs(dst), {leaf.begin() + 5, leaf.end()}));
  EXPECT_EQ(dst.entries[0].offset, dst.entries[1].offset);  // "dddddd" stored once
  EXPECT_EQ(dst.heap_end, 512 - 8);
  // The vacated directory slots of the source are zero (the rest of the free space was 0xEE).
  for (uint32_t b = entry_pos(true, 5); b < entry_pos(true, 8); ++b) ASSERT_EQ(src.bytes[b], 0) << b;
  // So are the bytes the moved keys occupied, in front of the kept ones.
  for (int32_t b = 512 - 16; b < src.heap_end; ++b) ASSERT_EQ(src.bytes[b], 0) << b;
  EXPECT_TRUE(dst.free_space_zero());
  EXPECT_EQ(t->curblock, 2);
  EXPECT_EQ(t->curindex, 2);
  EXPECT_EQ(t->mrkblock, 2);
  EXPECT_EQ(t->mrkindex, 0);
  EXPECT_EQ(u->curblock, 1);
  EXPECT_EQ(u->curindex, 4);
  EXPECT_EQ(u->mrkblock, 2);
  EXPECT_EQ(u->mrkindex, 1);
  // With a root above both halves the file is a correct tree again.
  {
    Locked lock(t);
    ASSERT_EQ(cbt::B_make_root(t), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(u), 1);
  EXPECT_EQ(cbclose(t), 1);
}

// Interior: the first moved entry becomes the new node's low path and its key is dropped; n = 1 moves
// only that child.
TEST_F(RedistTest, MoveRightInteriorDropsKeyOfNewLowPath) {
  std::vector<Leaf> leaves;
  for (int n = 0; n < 6; ++n) leaves.push_back({{key('k', n), static_cast<uint32_t>(n)}});
  cbt_tree *t = open(leaves, 6);  // one interior root: low path leaf 1, entries for leaves 2..6
  const int32_t root = built_.root;
  {
    Locked lock(t);
    ASSERT_EQ(split_off(t, root, 3), 1);  // entries 2..4 (leaves 4, 5, 6) leave
  }
  ASSERT_EQ(cbflush(t), 1);
  const int32_t fresh = read_node(path_, root).right;
  const Node src = read_node(path_, root);
  const Node dst = read_node(path_, fresh);
  EXPECT_EQ(src.key_cnt, 2);
  EXPECT_EQ(src.low_path, 1);
  EXPECT_TRUE(packed(src, 512));
  EXPECT_EQ(dst.low_path, 4);
  ASSERT_EQ(dst.key_cnt, 2);
  EXPECT_EQ(dst.entries[0].child, 5);
  EXPECT_EQ(dst.entries[1].child, 6);
  EXPECT_EQ(dst.entries[0].key, key('k', 4));
  EXPECT_EQ(dst.heap_end, 512 - 24);  // leaf 4's key is not stored
  EXPECT_TRUE(packed(dst, 512));
  {
    Locked lock(t);
    ASSERT_EQ(cbt::B_make_root(t), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbdepth(t), 3);
  // n = 1: only the last child moves, as the low path of an otherwise empty node.
  {
    Locked lock(t);
    ASSERT_EQ(split_off(t, fresh, 1), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  const Node last = read_node(path_, read_node(path_, fresh).right);
  EXPECT_EQ(last.low_path, 6);
  EXPECT_EQ(last.key_cnt, 0);
  EXPECT_EQ(last.heap_end, 512);
  EXPECT_EQ(read_node(path_, fresh).key_cnt, 1);
  EXPECT_EQ(cbclose(t), 1);
}

// Into a node that already holds entries: they move up, positions on them too, and B's last key shares
// the bytes of the right node's equal first key.
TEST_F(RedistTest, MoveRightIntoFilledLeafSharesBoundaryKey) {
  const Leaf a = {{"a1", 1}, {"a2", 2}, {"same", 3}, {"same", 4}};
  const Leaf b = {{"same", 5}, {"z", 6}};
  cbt_tree *t = open({a, b}, 4);
  {
    Locked lock(t);
    position(t, 2, 1);        // on ("z", 6)
    position(t, 1, 2, true);  // on ("same", 3)
    ASSERT_EQ(cbt::B_move_right(t, 1, 3), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  const Node l = read_node(path_, 1);
  const Node r = read_node(path_, 2);
  EXPECT_TRUE(same_entries(pairs(l), {{"a1", 1}}));
  EXPECT_TRUE(same_entries(pairs(r), {{"a2", 2}, {"same", 3}, {"same", 4}, {"same", 5}, {"z", 6}}));
  EXPECT_TRUE(packed(l, 512));
  EXPECT_TRUE(packed(r, 512));
  EXPECT_EQ(r.heap_end, 512 - (2 + 4 + 1));
  EXPECT_EQ(t->curblock, 2);
  EXPECT_EQ(t->curindex, 4);
  EXPECT_EQ(t->mrkblock, 2);
  EXPECT_EQ(t->mrkindex, 1);
  EXPECT_EQ(cbclose(t), 1);
}

// Into a filled interior node: its old low path becomes entry n - 1 with the lowest key under it.
TEST_F(RedistTest, MoveRightIntoFilledInteriorNode) {
  std::vector<Leaf> leaves;
  for (int n = 0; n < 8; ++n) leaves.push_back({{key('k', n), static_cast<uint32_t>(n)}});
  cbt_tree *t = open(leaves, 4);  // interior 9 (leaves 1-4), 10 (leaves 5-8), root 11
  {
    Locked lock(t);
    ASSERT_EQ(cbt::B_move_right(t, 9, 2), 1);  // entries for leaves 3 and 4 go right
  }
  ASSERT_EQ(cbflush(t), 1);
  const Node l = read_node(path_, 9);
  const Node r = read_node(path_, 10);
  EXPECT_EQ(l.key_cnt, 1);
  EXPECT_EQ(l.entries[0].child, 2);
  EXPECT_TRUE(packed(l, 512));
  EXPECT_EQ(r.low_path, 3);
  ASSERT_EQ(r.key_cnt, 5);  // leaf 4, the old low path 5, then 6, 7, 8
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(r.entries[i].child, 4 + i);
    EXPECT_EQ(r.entries[i].key, key('k', 3 + i));
    EXPECT_EQ(r.entries[i].item, static_cast<uint32_t>(3 + i));
  }
  EXPECT_TRUE(packed(r, 512));
  EXPECT_EQ(cbclose(t), 1);
}

// A node that would overflow is refused before anything changes.
TEST_F(RedistTest, MoveRightRefusesWhatDoesNotFit) {
  Leaf a, b;
  for (int n = 0; n < 9; ++n) a.push_back({key('a', n, 40), 1});
  for (int n = 0; n < 9; ++n) b.push_back({key('b', n, 40), 1});
  cbt_tree *t = open({a, b}, 4);
  const auto before = read_file_bytes(path_);
  {
    Locked lock(t);
    *qrxcbecd() = 0;
    EXPECT_EQ(cbt::B_move_right(t, 1, 2), -1);
    EXPECT_EQ(*qrxcbecd(), 20u);
    EXPECT_EQ(*qrxcbccd(), 34u);
  }
  ASSERT_EQ(cbflush(t), 1);
  const auto after = read_file_bytes(path_);
  EXPECT_TRUE(std::equal(before.begin() + 512, before.end(), after.begin() + 512));
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// B_move_left
// ---------------------------------------------------------------------------------------------------

// Joining two leaves whose boundary keys are equal stores that key once; positions on the right leaf
// move to their entries' new places.
TEST_F(RedistTest, MoveLeftJoinsLeavesSharingBoundaryKey) {
  const Leaf a = {{"a", 1}, {"mid", 2}};
  const Leaf b = {{"mid", 3}, {"mid", 4}, {"zz", 5}};
  cbt_tree *t = open({a, b}, 4, 0xEE);
  {
    Locked lock(t);
    position(t, 2, 2);        // ("zz", 5)
    position(t, 2, 0, true);  // ("mid", 3)
    ASSERT_EQ(cbt::B_move_left(t, 2, 3), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  const Node l = read_node(path_, 1);
  const Node r = read_node(path_, 2);
  EXPECT_TRUE(same_entries(pairs(l), {{"a", 1}, {"mid", 2}, {"mid", 3}, {"mid", 4}, {"zz", 5}}));
  EXPECT_TRUE(packed(l, 512));
  EXPECT_EQ(l.heap_end, 512 - (1 + 3 + 2));
  EXPECT_EQ(r.key_cnt, 0);
  EXPECT_EQ(r.heap_end, 512);
  for (uint32_t b = 20; b < 512; ++b) ASSERT_TRUE(r.bytes[b] == 0 || r.bytes[b] == 0xEE) << b;
  for (uint32_t b = entry_pos(true, 0); b < entry_pos(true, 3); ++b) ASSERT_EQ(r.bytes[b], 0) << b;
  for (uint32_t b = 512 - 5; b < 512; ++b) ASSERT_EQ(r.bytes[b], 0) << b;
  EXPECT_EQ(t->curblock, 1);
  EXPECT_EQ(t->curindex, 4);
  EXPECT_EQ(t->mrkblock, 1);
  EXPECT_EQ(t->mrkindex, 2);
  EXPECT_EQ(cbclose(t), 1);
}

// A partial leaf move leaves B's remaining entries at the front, their bytes where they were.
TEST_F(RedistTest, MoveLeftPartialLeaf) {
  const Leaf a = {{"a", 1}};
  const Leaf b = {{"b", 1}, {"cc", 2}, {"cc", 3}, {"ddd", 4}, {"e", 5}};
  cbt_tree *t = open({a, b}, 4);
  {
    Locked lock(t);
    position(t, 2, 3);
    position(t, 2, 1, true);
    ASSERT_EQ(cbt::B_move_left(t, 2, 2), 1);  // "b" and the first "cc"
  }
  ASSERT_EQ(cbflush(t), 1);
  const Node l = read_node(path_, 1);
  const Node r = read_node(path_, 2);
  EXPECT_TRUE(same_entries(pairs(l), {{"a", 1}, {"b", 1}, {"cc", 2}}));
  EXPECT_TRUE(same_entries(pairs(r), {{"cc", 3}, {"ddd", 4}, {"e", 5}}));
  EXPECT_TRUE(packed(l, 512));
  EXPECT_TRUE(packed(r, 512));
  EXPECT_EQ(r.heap_end, 512 - 6);
  EXPECT_EQ(t->curblock, 2);
  EXPECT_EQ(t->curindex, 1);
  EXPECT_EQ(t->mrkblock, 1);
  EXPECT_EQ(t->mrkindex, 2);
  EXPECT_EQ(cbclose(t), 1);
}

// Interior join: B's low path arrives as an entry carrying the lowest key under it, then B's entries;
// B is left without even a low path. n = 1 moves only the low path and B's entry 0 takes its place.
TEST_F(RedistTest, MoveLeftInteriorCarriesLowPathKey) {
  std::vector<Leaf> leaves;
  for (int n = 0; n < 9; ++n) leaves.push_back({{key('k', n), static_cast<uint32_t>(n)}});
  cbt_tree *t = open(leaves, 3);  // interior 10 (1-3), 11 (4-6), 12 (7-9), root 13
  {
    Locked lock(t);
    ASSERT_EQ(cbt::B_move_left(t, 12, 1), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  Node l = read_node(path_, 11);
  Node r = read_node(path_, 12);
  ASSERT_EQ(l.key_cnt, 3);
  EXPECT_EQ(l.entries[2].child, 7);
  EXPECT_EQ(l.entries[2].key, key('k', 6));
  EXPECT_EQ(r.low_path, 8);
  ASSERT_EQ(r.key_cnt, 1);
  EXPECT_EQ(r.entries[0].child, 9);
  EXPECT_TRUE(packed(l, 512));
  EXPECT_TRUE(packed(r, 512));
  {
    Locked lock(t);
    ASSERT_EQ(cbt::B_move_left(t, 12, 2), 1);  // the rest: low path 8 and entry 9
  }
  ASSERT_EQ(cbflush(t), 1);
  l = read_node(path_, 11);
  r = read_node(path_, 12);
  ASSERT_EQ(l.key_cnt, 5);
  EXPECT_EQ(l.low_path, 4);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(l.entries[i].child, 5 + i);
    EXPECT_EQ(l.entries[i].key, key('k', 4 + i));
  }
  EXPECT_TRUE(packed(l, 512));
  EXPECT_EQ(r.key_cnt, -1);
  EXPECT_EQ(r.heap_end, 512);
  EXPECT_EQ(cbclose(t), 1);
}

// An interior join where the low path's key equals L's last key: the bytes are shared.
TEST_F(RedistTest, MoveLeftInteriorSharesEqualLowPathKey) {
  const std::vector<Leaf> leaves = {{{"a", 1}}, {{"dup", 1}}, {{"dup", 2}}, {{"dup", 3}}, {{"z", 1}}};
  cbt_tree *t = open(leaves, 2);  // interior 6 (1, 2), 7 (3, 4), 8 (5); above them 9 (6, 7), 10 (8); root
  {
    Locked lock(t);
    ASSERT_EQ(cbt::B_move_left(t, 7, 2), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  const Node l = read_node(path_, 6);
  ASSERT_EQ(l.key_cnt, 3);
  EXPECT_EQ(l.entries[0].offset, l.entries[1].offset);
  EXPECT_EQ(l.entries[1].offset, l.entries[2].offset);
  EXPECT_EQ(l.heap_end, 512 - 3);
  EXPECT_TRUE(packed(l, 512));
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// Offloads
// ---------------------------------------------------------------------------------------------------

class OffloadTest : public RedistTest {
 protected:
  // Two leaves of 40-byte keys under one root: the first full (9 entries, 468 of 492 bytes), the second
  // with `right_count` entries.
  cbt_tree *two_leaves(int right_count) {
    Leaf a, b;
    for (int n = 0; n < 9; ++n) a.push_back({key('a', n * 2, 40), 1});
    for (int n = 0; n < right_count; ++n) b.push_back({key('b', n * 2, 40), 1});
    return open({a, b}, 4);
  }
  cbt::KeyInfo info(const std::string &k, uint32_t item) {
    cbt::KeyInfo ki;
    ki.key = reinterpret_cast<const uint8_t *>(k.data());
    ki.len = static_cast<int32_t>(k.size());
    ki.item = item;
    ki.dupok = 1;
    return ki;
  }
};

// Result 5 with the key placed in the node after two entries moved; the parent entry for the sibling is
// gone until the parent re-synchronises, and then carries the sibling's new lowest key.
TEST_F(OffloadTest, RightOffloadMakesRoomForKey) {
  cbt_tree *t = two_leaves(3);
  std::string big = key('a', 13, 80);  // between a12 and a14 of the first leaf; needs 92 bytes
  {
    Locked lock(t);
    const auto k = info(big, 9);
    EXPECT_EQ(cbt::B_ins_node(t, k, 1, 3, -1), 5);
    uint8_t *root = cbt::B_getblk(t, 3, cbt::Ctx::kInsertKey);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(cbt::NodeView(root).key_cnt(), 0);  // the root's entry for leaf 2 was removed
    ASSERT_EQ(cbt::B_rlseblk(t, root, cbt::Ctx::kInsertKey), 1);
    EXPECT_EQ(cbt::add_children(t, 3, -1, 0, 0), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  const Node l = read_node(path_, 1);
  const Node r = read_node(path_, 2);
  EXPECT_EQ(l.key_cnt, 8);
  EXPECT_EQ(l.entries.back().key, big);
  EXPECT_EQ(r.key_cnt, 5);
  EXPECT_EQ(r.entries[0].key, key('a', 14, 40));
  const Node root = read_node(path_, 3);
  ASSERT_EQ(root.key_cnt, 1);
  EXPECT_EQ(root.entries[0].key, key('a', 14, 40));
  EXPECT_EQ(read_ctl(path_).highblock, 3);  // no split
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// A key after every entry of the full leaf goes to the front of the right sibling; the leaf is unchanged.
TEST_F(OffloadTest, RightOffloadPlacesKeyInSibling) {
  cbt_tree *t = two_leaves(3);
  const std::string k = key('a', 99, 40);
  const Node before = read_node(path_, 1);
  ASSERT_EQ(cbinsert(t, k.data(), 40, 7, 0), 1);
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(read_node(path_, 1).bytes, before.bytes);
  const Node r = read_node(path_, 2);
  EXPECT_EQ(r.entries[0].key, k);
  EXPECT_EQ(read_node(path_, 3).entries[0].key, k);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// The sibling takes one entry but the key needs more: result 4, one entry moved, nothing inserted.
TEST_F(OffloadTest, RightOffloadReportsFourWhenKeyStillDoesNotFit) {
  cbt_tree *t = two_leaves(8);  // the right leaf has room for one more 52-byte entry
  {
    Locked lock(t);
    const std::string big = key('a', 3, 80);
    const auto k = info(big, 1);
    uint8_t *d = cbt::B_getblk(t, 1, cbt::Ctx::kInsertKey);
    ASSERT_NE(d, nullptr);
    position(t, 1, 8);
    EXPECT_EQ(cbt::B_right_offload(t, k, 1, d, 2, 3, -1), 4);
    EXPECT_EQ(cbt::NodeView(d).key_cnt(), 8);
    EXPECT_EQ(t->curblock, 2);  // the moved entry took the cursor along
    EXPECT_EQ(t->curindex, 0);
    ASSERT_EQ(cbt::B_putblk(t, d, false, cbt::Ctx::kInsertKey), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(read_node(path_, 2).key_cnt, 9);
  EXPECT_EQ(read_node(path_, 3).key_cnt, 0);
  EXPECT_EQ(cbclose(t), 1);
}

// Left offload: entries before the insertion index go to the end of the left sibling, cursors with them,
// and the parent's entry for the node itself is replaced by its new lowest key.
TEST_F(OffloadTest, LeftOffloadMovesFrontEntries) {
  Leaf a, b;
  for (int n = 0; n < 3; ++n) a.push_back({key('a', n, 40), 1});
  for (int n = 0; n < 9; ++n) b.push_back({key('b', n * 2, 40), 1});
  cbt_tree *t = open({a, b}, 4);
  cbt_tree *u = cbopen(path_.c_str(), 2, nullptr);
  {
    Locked lock(t);
    position(u, 2, 0);
    position(u, 2, 3, true);
  }
  const std::string k = key('b', 5, 40);
  ASSERT_EQ(cbinsert(t, k.data(), 40, 1, 0), 1);
  ASSERT_EQ(cbflush(t), 1);
  const Node l = read_node(path_, 1);
  const Node r = read_node(path_, 2);
  EXPECT_EQ(l.key_cnt, 4);
  EXPECT_EQ(l.entries[3].key, key('b', 0, 40));
  EXPECT_EQ(r.entries[0].key, key('b', 2, 40));
  EXPECT_EQ(read_node(path_, 3).entries[0].key, key('b', 2, 40));
  EXPECT_EQ(u->curblock, 1);
  EXPECT_EQ(u->curindex, 3);
  EXPECT_EQ(u->mrkblock, 2);
  EXPECT_EQ(u->mrkindex, 3);  // one entry left the front, the new key came in before it
  EXPECT_EQ(read_ctl(path_).highblock, 3);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(u), 1);
  EXPECT_EQ(cbclose(t), 1);
}

}  // namespace
}  // namespace qrx::test
