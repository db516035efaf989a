// cbinsert: results and error codes, the key length limits, the first leaf, where splits fall, which
// siblings may take entries (and which may not), interior shifts instead of splits, new root levels, reuse
// of unused blocks, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
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

uint32_t error_code() {
  return *qrxcbecd();
}
uint32_t context_code() {
  return *qrxcbccd();
}
uint32_t function_code() {
  return *qrxcbfcd();
}
void clear_codes() {
  *qrxcbecd() = 0, *qrxcbccd() = 0, *qrxcbfcd() = 0;
}

int32_t ins(cbt_tree *t, const std::string &k, uint32_t item, int32_t dupok = 0) {
  return cbinsert(t, k.data(), static_cast<uint32_t>(k.size()), item, dupok);
}

// A key that sorts by its letter and number, padded to len bytes.
std::string key(char c, int n, size_t len = 40) {
  std::string k(len, c);
  k[1] = static_cast<char>('0' + n / 10);
  k[2] = static_cast<char>('0' + n % 10);
  return k;
}

struct NodeInfo {
  int32_t low_path = 0, left = 0, right = 0, key_cnt = 0;
  std::vector<std::string> keys;
  std::vector<uint32_t> items;
  std::vector<int32_t> children;
  std::vector<uint8_t> bytes;
};

NodeInfo node(const std::string &path, int32_t blk) {
  NodeInfo n;
  n.bytes = read_block(path, blk);
  const uint8_t *d = n.bytes.data();
  n.low_path = codec::load_i32(d, kNodeLowPathOff);
  n.left = codec::load_i32(d, kNodeLeftOff);
  n.right = codec::load_i32(d, kNodeRightOff);
  n.key_cnt = codec::load_i32(d, kNodeKeyCntOff);
  const bool leaf = n.low_path == -1;
  for (int32_t i = 0; i < n.key_cnt; ++i) {
    const uint32_t at = entry_pos(leaf, i);
    const int32_t off = codec::load_i32(d, at + kEntryOffsetOff);
    const int32_t len = codec::load_i32(d, at + kEntryLenOff);
    n.keys.emplace_back(reinterpret_cast<const char *>(d) + off, static_cast<size_t>(len));
    n.items.push_back(codec::load_u32(d, at + kEntryItemOff));
    if (!leaf) n.children.push_back(codec::load_i32(d, at + kEntryChildOff));
  }
  return n;
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

// Splices a new node right of blk and moves blk's last n entries into it; returns the new block.
int32_t split_off(cbt_tree *t, int32_t blk, int32_t n) {
  uint8_t *d = cbt::B_getblk(t, blk, cbt::Ctx::kInsertKey);
  if (!d) return -1;
  const int32_t r = cbt::splice_in_node(t, blk, d);
  const int32_t fresh = cbt::NodeView(d).right();
  if (cbt::B_putblk(t, d, false, cbt::Ctx::kInsertKey) < 0 || r < 0) return -1;
  return cbt::B_move_right(t, blk, n) < 0 ? -1 : fresh;
}

class InsertTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 512), 1); }
  void TearDown() override { cbexit(); }
  cbt_tree *create(uint32_t blksize = 512, cbt_keycmp_fn cmp = nullptr) {
    cbt_tree *t = cbcreate(path_.c_str(), cmp, blksize);
    EXPECT_NE(t, nullptr);
    return t;
  }
  cbt_tree *build(const std::vector<Leaf> &leaves, int fanout) {
    built_ = build_index(path_, 512, leaves, fanout);
    cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
    EXPECT_NE(t, nullptr);
    return t;
  }
  TempDir dir_;
  std::string path_ = dir_.file("ins.idx");
  BuiltIndex built_;
};

// ---------------------------------------------------------------------------------------------------
// Results, duplicates and limits
// ---------------------------------------------------------------------------------------------------

TEST_F(InsertTest, FirstInsertMakesOneLeafThatIsRootAndBothEnds) {
  cbt_tree *t = create();
  ASSERT_EQ(ins(t, "first", 1), 1);
  EXPECT_EQ(function_code(), 14u);
  ASSERT_EQ(cbflush(t), 1);
  const CtlFields c = read_ctl(path_);
  EXPECT_EQ(c.root, 1);
  EXPECT_EQ(c.lowleaf, 1);
  EXPECT_EQ(c.highleaf, 1);
  EXPECT_EQ(c.depth, 1);
  EXPECT_EQ(c.highblock, 1);
  const NodeInfo n = node(path_, 1);
  EXPECT_EQ(n.low_path, -1);
  EXPECT_EQ(n.left, 0);
  EXPECT_EQ(n.right, 0);
  EXPECT_EQ(n.keys, std::vector<std::string>{"first"});
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(InsertTest, DuplicateRules) {
  cbt_tree *t = create();
  ASSERT_EQ(ins(t, "K", 5, 1), 1);
  // The same pair again: 18 whatever dupok says.
  for (int32_t dupok : {0, 1}) {
    clear_codes();
    EXPECT_EQ(ins(t, "K", 5, dupok), -1);
    EXPECT_EQ(error_code(), 18u);
    EXPECT_EQ(context_code(), 21u);
  }
  // Another item: refused with 17 without dupok, whether the equal entry comes before or after it.
  ASSERT_EQ(ins(t, "K", 3, 1), 1);
  ASSERT_EQ(ins(t, "K", 7, 1), 1);
  for (uint32_t item : {1u, 4u, 6u, 9u, 0x80000000u}) {
    clear_codes();
    EXPECT_EQ(ins(t, "K", item, 0), -1) << item;
    EXPECT_EQ(error_code(), 17u);
    EXPECT_EQ(context_code(), 21u);
  }
  EXPECT_EQ(ins(t, "K", 4, 1), 1);
  // Keys that only share a prefix are different keys.
  EXPECT_EQ(ins(t, "KK", 4, 0), 1);
  EXPECT_EQ(ins(t, "", 4, 0), 1);
  TreeModel m;
  for (uint32_t item : {3u, 4u, 5u, 7u}) m.insert("K", item);
  m.insert("KK", 4);
  m.insert("", 4);
  EXPECT_TRUE(tree_matches_model(t, path_, m));
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(InsertTest, KeyLengthLimits) {
  cbt_tree *t = create();
  const std::string longest(512 - 36, 'x');
  clear_codes();
  EXPECT_EQ(ins(t, longest + "y", 1), -1);
  EXPECT_EQ(error_code(), 0u);  // refused without a code
  EXPECT_EQ(context_code(), 0u);
  EXPECT_EQ(function_code(), 14u);
  EXPECT_EQ(cbinsert(t, "abc", 0xFFFFFFFFu, 1, 0), -1);
  EXPECT_EQ(error_code(), 0u);
  // The longest key fits, also next to others of its size: each takes a leaf of its own.
  for (uint32_t item = 0; item < 5; ++item) ASSERT_EQ(ins(t, longest, item, 1), 1);
  ASSERT_EQ(ins(t, std::string(300, 'a'), 1), 1);
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_TRUE(index_ok(path_));
  // A null key of length 0 is the empty key; with a length it is refused.
  EXPECT_EQ(cbinsert(t, nullptr, 0, 1, 0), 1);
  EXPECT_EQ(cbinsert(t, nullptr, 3, 2, 0), -1);
  uint32_t item = 0;
  EXPECT_EQ(cbhead(t, &item), 1);
  uint32_t len = 99;
  EXPECT_EQ(cbkeylen(t, &len), 1);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(cbclose(t), 1);
}

// A file whose blocks are smaller than the pool's buffers takes only keys that fit its own blocks.
TEST_F(InsertTest, KeyLimitOfSmallerBlocks) {
  cbexit();
  ASSERT_EQ(cbinit(16, 2048), 1);
  cbt_tree *t = create(88);
  clear_codes();
  EXPECT_EQ(ins(t, std::string(53, 'a'), 1), -1);
  EXPECT_EQ(ins(t, std::string(2012, 'a'), 1), -1);
  EXPECT_EQ(error_code(), 0u);
  TreeModel m;
  for (uint32_t item = 0; item < 20; ++item) {
    ASSERT_EQ(ins(t, std::string(52, static_cast<char>('a' + item % 3)), item, 1), 1);
    m.insert(std::string(52, static_cast<char>('a' + item % 3)), item);
  }
  EXPECT_TRUE(tree_matches_model(t, path_, m));
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(InsertTest, InvalidHandle) {
  cbt_tree *t = create();
  ASSERT_EQ(cbclose(t), 1);
  clear_codes();
  EXPECT_EQ(ins(t, "a", 1), -1);
  EXPECT_EQ(error_code(), 15u);
  EXPECT_EQ(function_code(), 14u);
  EXPECT_EQ(ins(nullptr, "a", 1), -1);
  EXPECT_EQ(error_code(), 15u);
}

// ---------------------------------------------------------------------------------------------------
// Where splits fall
// ---------------------------------------------------------------------------------------------------

// Nine 40-byte keys fill a 512-byte root leaf (9 x 52 = 468 of 492 bytes). The tenth splits it; a root
// cannot shift. Byte balance puts five entries on each side.
TEST_F(InsertTest, RootLeafSplitAscending) {
  cbt_tree *t = create();
  for (int n = 0; n < 10; ++n) ASSERT_EQ(ins(t, key('a', n), static_cast<uint32_t>(n)), 1);
  ASSERT_EQ(cbflush(t), 1);
  const CtlFields c = read_ctl(path_);
  EXPECT_EQ(c.depth, 2);
  EXPECT_EQ(c.highblock, 3);
  EXPECT_EQ(c.root, 3);
  EXPECT_EQ(c.lowleaf, 1);
  EXPECT_EQ(c.highleaf, 2);
  const NodeInfo l = node(path_, 1), r = node(path_, 2), root = node(path_, 3);
  EXPECT_EQ(l.key_cnt, 5);
  EXPECT_EQ(r.key_cnt, 5);
  EXPECT_EQ(r.keys[0], key('a', 5));
  EXPECT_EQ(root.low_path, 1);
  ASSERT_EQ(root.key_cnt, 1);  // the only entry: the new right leaf's lowest key and item
  EXPECT_EQ(root.keys[0], key('a', 5));
  EXPECT_EQ(root.items[0], 5u);
  EXPECT_EQ(root.children[0], 2);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// Descending: the new key goes to index 0 and stays in the old leaf with the lowest four.
TEST_F(InsertTest, RootLeafSplitDescending) {
  cbt_tree *t = create();
  for (int n = 9; n >= 0; --n) ASSERT_EQ(ins(t, key('a', n), static_cast<uint32_t>(n)), 1);
  ASSERT_EQ(cbflush(t), 1);
  const NodeInfo l = node(path_, 1), r = node(path_, 2);
  ASSERT_EQ(l.key_cnt, 5);
  EXPECT_EQ(l.keys[0], key('a', 0));
  EXPECT_EQ(l.keys[4], key('a', 4));
  EXPECT_EQ(r.key_cnt, 5);
  EXPECT_EQ(node(path_, 3).keys[0], key('a', 5));
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// Split points follow bytes, not entry counts: one long key on the left balances many short ones.
TEST_F(InsertTest, SplitBalancesBytes) {
  cbt_tree *t = create();
  ASSERT_EQ(ins(t, "a" + std::string(300, 'x'), 0), 1);
  for (int n = 0; n < 11; ++n) ASSERT_EQ(ins(t, key('b', n, 3), static_cast<uint32_t>(n)), 1);
  // 313 + 11 x 15 = 478 bytes used; the next short key splits with the long key alone on its side.
  ASSERT_EQ(ins(t, key('b', 20, 3), 20), 1);
  ASSERT_EQ(cbflush(t), 1);
  const NodeInfo l = node(path_, 1), r = node(path_, 2);
  EXPECT_EQ(l.key_cnt, 1);
  EXPECT_EQ(r.key_cnt, 12);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// A key lower than every key goes into lowleaf; the interior entries above it do not change.
TEST_F(InsertTest, LowestKeyGoesToLowLeafWithoutTouchingInteriorNodes) {
  std::vector<Leaf> leaves;
  for (int n = 0; n < 12; ++n) leaves.push_back({{key('m', n, 20), 1}, {key('m', n, 21), 2}});
  cbt_tree *t = build(leaves, 3);
  const auto before = read_file_bytes(path_);
  ASSERT_EQ(ins(t, "a", 1), 1);
  ASSERT_EQ(cbflush(t), 1);
  const auto after = read_file_bytes(path_);
  ASSERT_EQ(before.size(), after.size());
  for (int32_t blk = 2; blk <= built_.highblock; ++blk)
    EXPECT_TRUE(
        std::equal(before.begin() + blk * 512, before.begin() + (blk + 1) * 512, after.begin() + blk * 512))
        << "block " << blk;
  EXPECT_EQ(node(path_, 1).keys[0], "a");
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// Which siblings take entries
// ---------------------------------------------------------------------------------------------------

class SiblingTest : public InsertTest {
 protected:
  // 17 leaves of 40-byte keys under two interior nodes (the first: leaves 1-9, block 18, full with eight
  // entries of 56 bytes; the second: leaves 10-17, block 19, room for one more) under root 20. `counts`
  // gives each leaf's entries (1..9; nine fill a leaf).
  cbt_tree *level3(const std::vector<int> &counts) {
    std::vector<Leaf> leaves;
    for (int b = 0; b < 17; ++b) {
      Leaf l;
      for (int n = 0; n < counts[b]; ++n) l.push_back({key(static_cast<char>('A' + b), n * 2), 1});
      leaves.push_back(l);
    }
    return build(leaves, 9);
  }
  int32_t blocks() { return read_ctl(path_).highblock; }
};

// Leaf 10 is the second interior node's low path: its left neighbour (leaf 9, under the first interior
// node) has room but never takes entries from it; with leaf 11 full it splits.
TEST_F(SiblingTest, LowPathNeverShiftsLeft) {
  std::vector<int> counts(17, 9);
  counts[8] = 1;
  cbt_tree *t = level3(counts);
  const auto leaf9 = node(path_, 9).bytes;
  ASSERT_EQ(ins(t, key('J', 5), 1), 1);  // into leaf 10
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(node(path_, 9).bytes, leaf9);
  EXPECT_EQ(blocks(), 21);  // split: one new leaf
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// Leaf 9 is the first interior node's last child: its right neighbour (leaf 10, under the second) has room
// but never takes entries from it; with leaf 8 full it splits (and the full first interior node passes
// the new leaf on to the second).
TEST_F(SiblingTest, LastChildNeverShiftsRight) {
  std::vector<int> counts(17, 9);
  counts[9] = 1;
  cbt_tree *t = level3(counts);
  const NodeInfo leaf10 = node(path_, 10);
  ASSERT_EQ(ins(t, key('I', 5), 1), 1);  // into leaf 9
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(node(path_, 10).keys, leaf10.keys);  // only its left link changed, to the new leaf
  EXPECT_EQ(node(path_, 10).left, 21);
  EXPECT_EQ(blocks(), 21);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// Right first: with room on both sides, the right sibling takes the entries.
TEST_F(SiblingTest, RightSiblingIsTriedFirst) {
  std::vector<int> counts(17, 9);
  counts[3] = 2;
  counts[5] = 2;
  cbt_tree *t = level3(counts);
  const auto leaf4 = node(path_, 4).bytes;
  ASSERT_EQ(ins(t, key('E', 5), 1), 1);  // into leaf 5
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(node(path_, 4).bytes, leaf4);
  EXPECT_EQ(node(path_, 6).key_cnt, 3);
  EXPECT_EQ(node(path_, 6).keys[0], key('E', 16));
  EXPECT_EQ(blocks(), 20);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// The full first interior node (low path + 8 entries of 56 bytes) gets a new child from a leaf split
// under it and, being its parent's low path, passes that child to its right sibling: only the new leaf
// is added to the file, and the second interior node's low path is the new leaf.
TEST_F(SiblingTest, InteriorNodeShiftsRight) {
  std::vector<Leaf> leaves;  // the second interior node gets leaves 10-15 only, room for more entries
  for (int b = 0; b < 15; ++b) {
    Leaf l;
    for (int n = 0; n < (b < 12 ? 9 : 1); ++n) l.push_back({key(static_cast<char>('A' + b), n * 2), 1});
    leaves.push_back(l);
  }
  cbt_tree *t = build(leaves, 9);         // interior 16 (leaves 1-9), 17 (leaves 10-15), root 18
  ASSERT_EQ(ins(t, key('I', 99), 1), 1);  // after every entry of leaf 9, the first node's last child
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(read_ctl(path_).highblock, 19);
  EXPECT_EQ(read_ctl(path_).depth, 3);
  const NodeInfo first = node(path_, 16), second = node(path_, 17);
  EXPECT_EQ(first.key_cnt, 8);
  EXPECT_EQ(second.low_path, 19);
  EXPECT_EQ(second.key_cnt, 6);
  EXPECT_EQ(node(path_, 18).keys[0], node(path_, 19).keys[0]);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// The mirror: a full last interior node passes its low path and following children to its left sibling,
// whose entries are short.
TEST_F(SiblingTest, InteriorNodeShiftsLeft) {
  std::vector<Leaf> leaves;
  for (int b = 0; b < 18; ++b) {
    Leaf l;
    if (b < 9) {
      l.push_back({std::string(1, static_cast<char>('A' + b)), 1});  // short keys: small entries above
    } else {
      for (int n = 0; n < 9; ++n) l.push_back({key(static_cast<char>('A' + b), n * 2), 1});
    }
    leaves.push_back(l);
  }
  cbt_tree *t = build(leaves, 9);  // interior 19 (leaves 1-9, short keys), 20 (leaves 10-18, full), root 21
  ASSERT_EQ(ins(t, key('L', 5), 1), 1);  // into leaf 12: splits; node 20 has no room for the new child
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(read_ctl(path_).highblock, 22);
  const NodeInfo first = node(path_, 19), second = node(path_, 20);
  EXPECT_EQ(first.key_cnt, 9);
  EXPECT_EQ(first.children.back(), 10);
  EXPECT_EQ(first.keys.back(), key('J', 0));
  EXPECT_EQ(second.low_path, 11);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// Shifts inside one re-synchronisation walk
// ---------------------------------------------------------------------------------------------------

// The state in the middle of a walk that adds children to one parent: every key goes into leaf B (block 2)
// with B's position as it was when the walk began (0), but an earlier shift has removed the root's entry
// for B, and B2 (block 3) was split off B and is not referenced yet. The root (block 7) names only C, D
// and E (blocks 4-6) after its low path A (block 1). A shift may then remove the root's entry only for
// the block whose lowest key it changed; removing the entry at the old position would drop C or D, which
// the walk never re-adds (it stops at the first child the root still names).
class StaleWalkTest : public InsertTest {
 protected:
  // a_count entries in A, 9 (full) in B, b2_count in B2, two in each of C, D, E; 40-byte keys.
  cbt_tree *mid_walk(int a_count, int b2_count) {
    const char names[6] = {'A', 'B', 'B', 'C', 'D', 'E'};
    const int first[6] = {0, 0, 40, 0, 0, 0};  // B2 holds B40, B42, ...: after every key of B
    const int counts[6] = {a_count, 9, b2_count, 2, 2, 2};
    std::vector<Leaf> leaves;
    for (int b = 0; b < 6; ++b) {
      Leaf l;
      for (int n = 0; n < counts[b]; ++n) l.push_back({key(names[b], first[b] + n * 2), 1});
      leaves.push_back(l);
      for (const KeyItem &e : l) model_.push_back(e);
    }
    cbt_tree *t = build(leaves, 9);
    EXPECT_EQ(built_.root, 7);
    Locked lock(t);
    uint8_t *d = cbt::B_getblk(t, 7, cbt::Ctx::kInsertKey);
    EXPECT_NE(d, nullptr);
    if (!d) return t;
    cbt::B_rmvkey_here(t, d, 0);  // B's entry
    cbt::B_rmvkey_here(t, d, 0);  // B2's entry
    EXPECT_EQ(cbt::B_putblk(t, d, false, cbt::Ctx::kInsertKey), 1);
    return t;
  }
  // Inserts B05 into B as the walk would (parent 7, B's old position 0), then lets the root's walk re-add
  // what it no longer names; every entry must then be reachable and the file exact.
  void insert_and_resync(cbt_tree *t, int32_t want) {
    const std::string k5 = key('B', 5);
    {
      Locked lock(t);
      cbt::KeyInfo k;
      k.key = reinterpret_cast<const uint8_t *>(k5.data());
      k.len = static_cast<int32_t>(k5.size());
      k.item = 1;
      k.dupok = 1;
      EXPECT_EQ(cbt::B_ins_node(t, k, 2, 7, 0), want);
      {
        // No shift changed the lowest key of C, D or E: the root still names all three.
        cbt::NodeRef root(t, 7, cbt::Ctx::kNone);
        ASSERT_TRUE(root);
        const cbt::NodeView v = root.view();
        ASSERT_GE(v.key_cnt(), 3);
        for (int32_t j = 0; j < 3; ++j) EXPECT_EQ(v.child(v.key_cnt() - 3 + j), 4 + j) << j;
      }
      EXPECT_EQ(cbt::add_children(t, 7, 0, 0, 0), 1);
    }
    model_.push_back({k5, 1});
    std::sort(model_.begin(), model_.end(),
              [](const KeyItem &a, const KeyItem &b) { return compare_entries(nullptr, a, b) < 0; });
    ASSERT_EQ(cbflush(t), 1);
    EXPECT_TRUE(index_ok(path_));
    EXPECT_EQ(dump_entries(path_), model_);
    for (const KeyItem &e : model_) {
      uint32_t item = e.item;
      EXPECT_EQ(cbfinditem(t, e.key.data(), static_cast<uint32_t>(e.key.size()), &item), 2) << describe(e);
    }
    const NodeInfo root = node(path_, 7);
    ASSERT_GE(root.key_cnt, 5);
    EXPECT_EQ(std::vector<int32_t>(root.children.end() - 3, root.children.end()),
              (std::vector<int32_t>{4, 5, 6}));
  }
  std::vector<KeyItem> model_;
};

// B2 has room, but the root names neither B nor B2: B2 may be the first child of another parent as far as
// the root can tell, so nothing moves right. A is full too: B splits.
TEST_F(StaleWalkTest, RightShiftNeedsASiblingTheParentNames) {
  cbt_tree *t = mid_walk(9, 2);
  const NodeInfo b2 = node(path_, 3);
  ASSERT_NO_FATAL_FAILURE(insert_and_resync(t, 2));
  EXPECT_EQ(node(path_, 3).keys, b2.keys);
  EXPECT_EQ(cbclose(t), 1);
}

// A has room and still takes B's first entry although the root no longer names B; having no entry for
// B, the root loses none.
TEST_F(StaleWalkTest, LeftShiftOfAnUnnamedNodeRemovesNoEntry) {
  cbt_tree *t = mid_walk(2, 9);
  ASSERT_NO_FATAL_FAILURE(insert_and_resync(t, 5));
  EXPECT_EQ(node(path_, 1).key_cnt, 3);
  EXPECT_EQ(cbclose(t), 1);
}

// The root still names B (only the split-off B2 is not named yet): B is not its last child, so its right
// neighbour B2 lies under the root and still takes B's last entry; the walk then adds B2 with its new
// lowest key.
TEST_F(StaleWalkTest, RightShiftIntoAnUnnamedSplitOffKeepsTheNextEntry) {
  cbt_tree *t = mid_walk(9, 2);
  {
    Locked lock(t);
    // Give B its entry back at index 0: the root now names A (low path), B, C, D, E.
    const std::string b0 = key('B', 0);
    cbt::KeyInfo k;
    k.key = reinterpret_cast<const uint8_t *>(b0.data());
    k.len = static_cast<int32_t>(b0.size());
    k.item = 1;
    k.dupok = 1;
    k.child = 2;
    uint8_t *d = cbt::B_getblk(t, 7, cbt::Ctx::kInsertKey);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(cbt::B_addkey_here(t, k, d, 0), 1);
    EXPECT_EQ(cbt::B_putblk(t, d, false, cbt::Ctx::kInsertKey), 1);
  }
  ASSERT_NO_FATAL_FAILURE(insert_and_resync(t, 5));
  EXPECT_EQ(node(path_, 3).key_cnt, 3);
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// Root levels and blocks
// ---------------------------------------------------------------------------------------------------

// With 88-byte blocks and keys of the limit (52 bytes) every leaf and interior node holds one entry, so
// a single insertion can leave several blocks at the top that need more than one new root level.
TEST_F(InsertTest, NewRootLevelsForLongestKeys) {
  cbexit();
  ASSERT_EQ(cbinit(16, 88), 1);
  cbt_tree *t = create(88);
  Rng rng(5);
  QRX_TRACE_SEED(rng);
  TreeModel m;
  int32_t depth = 0;
  for (int n = 0; n < 300; ++n) {
    const std::string k = rng.text(52, "abc");
    if (m.insert_error(k, 1, 0) != 0) continue;
    ASSERT_EQ(ins(t, k, 1), 1) << n;
    m.insert(k, 1);
    if (n % 25 == 0) {
      ASSERT_TRUE(tree_matches_model(t, path_, m)) << n;
    }
    depth = std::max(depth, cbdepth(t));
  }
  ASSERT_TRUE(tree_matches_model(t, path_, m));
  EXPECT_GE(depth, 6);
  EXPECT_EQ(cbclose(t), 1);
}

// A top level of 20 blocks needs two new levels: the first new root fills up after 17 entries (28 bytes
// each), splits, and the two blocks of that level get a root of their own.
TEST_F(InsertTest, NewRootOverManyBlocksAddsLevelsUntilOneBlock) {
  Leaf leaf;
  for (int n = 0; n < 20; ++n) leaf.push_back({key('k', n, 12), static_cast<uint32_t>(n)});
  cbt_tree *t = build({leaf}, 2);
  {
    Locked lock(t);
    for (int n = 0; n < 19; ++n) ASSERT_GT(split_off(t, 1, 1), 0);
    EXPECT_EQ(t->ctl->highleaf, 2);
    ASSERT_EQ(cbt::B_make_root(t), 1);
    EXPECT_EQ(t->ctl->depth, 3);
  }
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_TRUE(index_ok(path_));
  const NodeInfo root = node(path_, read_ctl(path_).root);
  EXPECT_EQ(root.key_cnt, 1);
  EXPECT_EQ(cbclose(t), 1);
}

// A key below an interior node's low path (index -1) that fits neither the node nor its left sibling:
// after the shifts the node is searched again with the low path compared, so the split keeps the key as
// the node's new low path, ahead of the old one, instead of putting it after the low path.
TEST_F(InsertTest, KeyBelowInteriorLowPathStaysInFront) {
  const std::vector<Leaf> leaves = {
      {{"v0", 1}},           {{"v1" + std::string(198, 'x'), 1}}, {{"v2" + std::string(224, 'x'), 1}},
      {{"w", 1}, {"wa", 1}}, {{"x" + std::string(199, 'y'), 1}},  {{std::string(270, 'z'), 1}}};
  // Interior 7 (leaves 1-4) has 17 bytes free; interior 8 (low path leaf 5, entry leaf 6) 206; root 9.
  cbt_tree *t = build(leaves, 4);
  {
    Locked lock(t);
    const int32_t x = split_off(t, 4, 1);  // leaf 10 holds "wa" and is not referenced yet
    ASSERT_EQ(x, 10);
    cbt::KeyInfo k;
    k.key = reinterpret_cast<const uint8_t *>("wa");
    k.len = 2;
    k.item = 1;
    k.dupok = 1;
    k.child = x;
    // Node 8 is its parent's last child (no right offload) and node 7 is full: it splits.
    EXPECT_EQ(cbt::B_ins_node(t, k, 8, 9, 0), 2);
  }
  ASSERT_EQ(cbflush(t), 1);
  const NodeInfo n = node(path_, 8);
  EXPECT_EQ(n.low_path, 10);
  ASSERT_EQ(n.key_cnt, 1);
  EXPECT_EQ(n.children[0], 5);
  EXPECT_EQ(n.keys[0], leaves[4][0].key);
  EXPECT_EQ(node(path_, 7).key_cnt, 3);  // the left sibling was not changed
  EXPECT_EQ(cbclose(t), 1);
}

// New nodes come from the unused chain first; such a block keeps its old bytes beyond what the node uses.
TEST_F(InsertTest, SplitReusesUnusedBlocks) {
  cbt_tree *t = create();
  ASSERT_EQ(ins(t, "seed", 1), 1);
  ASSERT_EQ(cbclose(t), 1);
  const auto unused = add_unused_blocks(path_, 2, 0xAB);  // blocks 2 and 3, 3 first on the chain
  t = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  TreeModel m;
  m.insert("seed", 1);
  for (int n = 0; n < 10; ++n) {
    ASSERT_EQ(ins(t, key('k', n), 1), 1);
    m.insert(key('k', n), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  const CtlFields c = read_ctl(path_);
  EXPECT_EQ(c.highblock, 3);  // nothing appended
  EXPECT_EQ(c.freechain, 0);
  EXPECT_EQ(c.root, unused[0]);      // the second block taken became the root
  EXPECT_EQ(c.highleaf, unused[1]);  // the first, the new leaf
  EXPECT_TRUE(tree_matches_model(t, path_, m));
  EXPECT_EQ(cbclose(t), 1);
}

// ---------------------------------------------------------------------------------------------------
// Damaged files
// ---------------------------------------------------------------------------------------------------

TEST_F(InsertTest, ChildThatIsUnusedIsCorruption) {
  std::vector<Leaf> leaves;
  for (int n = 0; n < 4; ++n) leaves.push_back({{key('k', n), 1}});
  cbt_tree *t = build(leaves, 4);
  ASSERT_EQ(cbclose(t), 1);
  const auto unused = add_unused_blocks(path_, 1);
  patch_i32(path_, built_.root, entry_pos(false, 1) + kEntryChildOff, unused[0]);  // leaf 3's entry
  t = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  clear_codes();
  EXPECT_EQ(ins(t, key('k', 2) + "x", 1), -1);
  EXPECT_EQ(error_code(), 20u);
  EXPECT_EQ(context_code(), 21u);
  EXPECT_EQ(ins(t, key('k', 0) + "x", 1), 1);  // other paths still work
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(InsertTest, UnusedRootIsCorruption) {
  cbt_tree *t = create();
  ASSERT_EQ(ins(t, "a", 1), 1);
  ASSERT_EQ(cbclose(t), 1);
  const auto unused = add_unused_blocks(path_, 1);
  CtlFields c = read_ctl(path_);
  c.root = unused[0];
  write_ctl(path_, c);
  t = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  clear_codes();
  EXPECT_EQ(ins(t, "b", 1), -1);
  EXPECT_EQ(error_code(), 20u);
  EXPECT_EQ(context_code(), 21u);
  EXPECT_EQ(cbclose(t), 1);
}

// Two interior nodes naming each other as children: the descent stops with error 20, it does not loop.
TEST_F(InsertTest, CycleOfInteriorNodesEnds) {
  std::vector<Leaf> leaves;
  for (int n = 0; n < 9; ++n) leaves.push_back({{key('k', n), 1}});
  cbt_tree *t = build(leaves, 3);  // interior 10, 11, 12 under root 13
  ASSERT_EQ(cbclose(t), 1);
  patch_i32(path_, 11, kNodeLowPathOff, 13);  // node 11's low path: the root
  t = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  clear_codes();
  EXPECT_EQ(ins(t, key('k', 3) + "\x01", 1), -1);
  EXPECT_EQ(error_code(), 20u);
  EXPECT_EQ(cbclose(t), 1);
}

}  // namespace
}  // namespace qrx::test
