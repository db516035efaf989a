// Redistribution between siblings on files built block by block: B_move_right and B_move_left byte for
// byte with the cursors and marks they carry, and the offloads with their result codes and parent updates.
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

namespace qrx::test {
namespace {

struct Entry {
  KeyItem ki;
  int32_t child, offset;
};
struct Node {
  int32_t low_path, left, right, key_cnt, heap_end;
  std::vector<Entry> entries;
  // Leaf: its entries. Interior: its children (low path first, none without one) as items.
  std::vector<KeyItem> seq() const {
    std::vector<KeyItem> c;
    if (low_path != -1 && key_cnt >= 0) c.push_back({"", static_cast<uint32_t>(low_path)});
    for (const auto &e : entries)
      c.push_back(low_path == -1 ? e.ki : KeyItem{"", static_cast<uint32_t>(e.child)});
    return c;
  }
};

// Reads a node and confirms its bytes: keys packed from heap_end to the block end in entry order, equal
// neighbours sharing one copy, zero between the directory and heap_end (the files are built with zeros).
Node read_node(const std::string &path, int32_t blk) {
  const auto b = read_block(path, blk);
  const uint8_t *d = b.data();
  Node n{codec::load_i32(d, kNodeLowPathOff), codec::load_i32(d, kNodeLeftOff),
         codec::load_i32(d, kNodeRightOff),   codec::load_i32(d, kNodeKeyCntOff),
         codec::load_i32(d, kNodeHeapEndOff), {}};
  const bool leaf = n.low_path == -1;
  int64_t pos = n.heap_end;
  for (int32_t i = 0; i < n.key_cnt; ++i) {
    const uint32_t at = entry_pos(leaf, i);
    const int32_t off = codec::load_i32(d, at + kEntryOffsetOff), len = codec::load_i32(d, at + kEntryLenOff);
    Entry e{
        {std::string(reinterpret_cast<const char *>(d) + off, len), codec::load_u32(d, at + kEntryItemOff)},
        leaf ? 0 : codec::load_i32(d, at + kEntryChildOff),
        off};
    const bool shares = i > 0 && len > 0 && e.ki.key == n.entries.back().ki.key;
    EXPECT_EQ(off, shares ? n.entries.back().offset : pos) << "block " << blk << " entry " << i;
    if (!shares) pos += len;
    n.entries.push_back(e);
  }
  EXPECT_EQ(pos, static_cast<int64_t>(b.size())) << "block " << blk;
  for (uint32_t x = entry_pos(leaf, std::max(n.key_cnt, 0)); x < static_cast<uint32_t>(n.heap_end); ++x)
    EXPECT_EQ(b[x], 0) << "block " << blk << " byte " << x;
  return n;
}

std::string key(char c, int n, size_t len = 12) {
  return std::string(1, c) + char('0' + n / 10) + char('0' + n % 10) + std::string(len - 3, c);
}
std::vector<Leaf> singles(int count) {
  std::vector<Leaf> l;
  for (int n = 0; n < count; ++n) l.push_back({{key('k', n), static_cast<uint32_t>(n)}});
  return l;
}

// Holds a file's public-operation lock while a test calls internal steps directly.
struct Locked {
  explicit Locked(cbt_tree *t) : t_(cbt::lock_tree(t) ? t : nullptr) {}
  ~Locked() {
    if (t_) cbt::unlock_tree(t_);
  }
  cbt_tree *t_;
};

void position(cbt_tree *t, bool mark, int32_t blk, int32_t index) {
  (mark ? t->mrk_stat : t->pos_stat) = 1;
  (mark ? t->mrkblock : t->curblock) = blk;
  (mark ? t->mrkindex : t->curindex) = index;
}

class RedistTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 512), 1); }
  void TearDown() override { cbexit(); }
  cbt_tree *open(const std::vector<Leaf> &leaves, int fanout) {
    built_ = build_index(path_, 512, leaves, fanout);
    return cbopen(path_.c_str(), 2, nullptr);
  }
  TempDir dir_;
  std::string path_ = dir_.file("redist.idx");
  BuiltIndex built_;
};

struct Pos {
  int handle;
  bool mark;
  int32_t blk, index, to_blk, to_index;
};
struct MoveCase {
  std::vector<Leaf> leaves;
  int fanout;
  char op;  // 'S' splice a node right of blk, then move right; 'R' move right; 'L' move left (blk = B)
  int32_t blk, n, lcnt, rcnt, lheap, rheap, rlow;  // rlow -2: not checked
  std::vector<Pos> pos;
};

// After every move: counts and heaps as expected, mutual links, the entries (leaves) or children (interior,
// each entry carrying its child's lowest key) of both nodes together unchanged, positions following.
TEST_F(RedistTest, MovesBetweenSiblings) {
  const Leaf one = {{"", 7},   {"aa", 1},     {"bbbb", 2},   {"cc", 3},
                    {"cc", 4}, {"dddddd", 5}, {"dddddd", 6}, {"ee", 8}};
  // clang-format off
  const std::vector<MoveCase> cases = {
      {{one}, 4, 'S', 1, 3, 5, 3, 504, 504, -1,
       {{0, 0, 1, 7, 2, 2}, {0, 1, 1, 5, 2, 0}, {1, 0, 1, 4, 1, 4}, {1, 1, 1, 6, 2, 1}}},
      {{{{"a1", 1}, {"a2", 2}, {"same", 3}, {"same", 4}}, {{"same", 5}, {"z", 6}}}, 4, 'R', 1, 3, 1, 5, 510, 505, -1,
       {{0, 0, 2, 1, 2, 4}, {0, 1, 1, 2, 2, 1}}},
      {{{{"a", 1}, {"mid", 2}}, {{"mid", 3}, {"mid", 4}, {"zz", 5}}}, 4, 'L', 2, 3, 5, 0, 506, 512, -1,
       {{0, 0, 2, 2, 1, 4}, {0, 1, 2, 0, 1, 2}}},
      {{{{"a", 1}}, {{"b", 1}, {"cc", 2}, {"cc", 3}, {"ddd", 4}, {"e", 5}}}, 4, 'L', 2, 2, 3, 3, 508, 506, -1,
       {{0, 0, 2, 3, 2, 1}, {0, 1, 2, 1, 1, 2}}},
      {singles(6), 6, 'S', 7, 3, 2, 2, 488, 488, 4, {}},   // the first moved child becomes the low path
      {singles(6), 6, 'S', 7, 1, 4, 0, 464, 512, 6, {}},   // only a low path moves
      {singles(8), 4, 'R', 9, 2, 1, 5, 500, 452, 3, {}},   // the old low path becomes an entry
      {singles(9), 3, 'L', 12, 1, 3, 1, 476, 500, 8, {}},  // the low path arrives with its lowest key
      {singles(9), 3, 'L', 12, 3, 5, -1, 452, 512, -2, {}},
      {{{{"a", 1}}, {{"dup", 1}}, {{"dup", 2}}, {{"dup", 3}}, {{"z", 1}}}, 2, 'L', 7, 2, 3, -1, 509, 512, -2, {}},
  };
  // clang-format on
  for (size_t c = 0; c < cases.size(); ++c) {
    const MoveCase &mc = cases[c];
    SCOPED_TRACE("case " + std::to_string(c));
    cbt_tree *h[2] = {open(mc.leaves, mc.fanout), cbopen(path_.c_str(), 2, nullptr)};
    ASSERT_TRUE(h[0] && h[1]);
    const int32_t lb = mc.op == 'L' ? read_node(path_, mc.blk).left : mc.blk;
    const Node bl = read_node(path_, lb), br = mc.op == 'S'
                                                   ? Node{0, 0, 0, -1, 0, {}}
                                                   : read_node(path_, lb == mc.blk ? bl.right : mc.blk);
    {
      Locked lock(h[0]);
      for (const Pos &p : mc.pos) position(h[p.handle], p.mark, p.blk, p.index);
      if (mc.op == 'S') {
        uint8_t *d = cbt::B_getblk(h[0], mc.blk, cbt::Ctx::kInsertKey);
        ASSERT_NE(d, nullptr);
        ASSERT_GE(cbt::splice_in_node(h[0], mc.blk, d), 0);
        ASSERT_EQ(cbt::B_putblk(h[0], d, false, cbt::Ctx::kInsertKey), 1);
      }
      ASSERT_EQ(mc.op == 'L' ? cbt::B_move_left(h[0], mc.blk, mc.n) : cbt::B_move_right(h[0], mc.blk, mc.n),
                1);
    }
    ASSERT_EQ(cbflush(h[0]), 1);
    const Node l = read_node(path_, lb);
    const Node r = read_node(path_, l.right);
    EXPECT_EQ(r.left, lb);
    EXPECT_EQ(std::vector<int32_t>({l.key_cnt, r.key_cnt, l.heap_end, r.heap_end}),
              std::vector<int32_t>({mc.lcnt, mc.rcnt, mc.lheap, mc.rheap}));
    EXPECT_TRUE(mc.rlow == -2 || r.low_path == mc.rlow) << r.low_path;
    auto both = [](const Node &a, const Node &b) {
      auto v = a.seq(), w = b.seq();
      v.insert(v.end(), w.begin(), w.end());
      return v;
    };
    EXPECT_TRUE(same_entries(both(l, r), both(bl, br)));
    for (const Node *n : {&l, &r})
      for (const auto &e : l.low_path != -1 ? n->entries : std::vector<Entry>{})
        EXPECT_TRUE(same_entries({e.ki}, {read_node(path_, e.child).entries.at(0).ki}));
    for (const Pos &p : mc.pos)
      EXPECT_EQ(p.mark ? std::pair(h[p.handle]->mrkblock, h[p.handle]->mrkindex)
                       : std::pair(h[p.handle]->curblock, h[p.handle]->curindex),
                std::pair(p.to_blk, p.to_index))
          << p.handle << p.mark;
    if (mc.op == 'S') {  // a root above both halves makes it a correct tree again
      ASSERT_EQ(([&] { return Locked(h[0]), cbt::B_make_root(h[0]); }()), 1);
      ASSERT_EQ(cbflush(h[0]), 1);
      EXPECT_TRUE(index_ok(path_));
    }
    EXPECT_EQ(cbclose(h[1]), 1);
    EXPECT_EQ(cbclose(h[0]), 1);
  }
}

// Two leaves of 40-byte keys under one root: the first full (9 entries), the second with `right` entries.
std::vector<Leaf> two_leaves(int left, int right, char lc = 'a') {
  Leaf a, b;
  for (int n = 0; n < left; ++n) a.push_back({key(lc, n * 2, 40), 1});
  for (int n = 0; n < right; ++n) b.push_back({key('b', n * 2, 40), 1});
  return {a, b};
}

// A node that would overflow is refused (error 20, context 34) before anything changes.
TEST_F(RedistTest, MoveRightRefusesWhatDoesNotFit) {
  cbt_tree *t = open(two_leaves(9, 9), 4);
  const auto before = read_file_bytes(path_);
  {
    Locked lock(t);
    EXPECT_EQ(cbt::B_move_right(t, 1, 2), -1);
    EXPECT_EQ(std::pair(*qrxcbecd(), *qrxcbccd()), std::pair(20u, 34u));
  }
  ASSERT_EQ(cbflush(t), 1);
  const auto after = read_file_bytes(path_);
  EXPECT_TRUE(std::equal(before.begin() + 512, before.end(), after.begin() + 512));
  EXPECT_EQ(cbclose(t), 1);
}

cbt::KeyInfo info(const std::string &k, uint32_t item) {
  return {reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), item, 1, 0};
}

// Result 5: two entries moved right and the key placed; the parent's entry for the sibling is removed
// until add_children re-synchronises it with the sibling's new lowest key. No split.
TEST_F(RedistTest, RightOffloadMakesRoomForKey) {
  cbt_tree *t = open(two_leaves(9, 3), 4);
  const std::string big = key('a', 13, 80);
  {
    Locked lock(t);
    EXPECT_EQ(cbt::B_ins_node(t, info(big, 9), 1, 3, -1), 5);
    uint8_t *root = cbt::B_getblk(t, 3, cbt::Ctx::kInsertKey);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(cbt::NodeView(root).key_cnt(), 0);
    ASSERT_EQ(cbt::B_rlseblk(t, root, cbt::Ctx::kInsertKey), 1);
    EXPECT_EQ(cbt::add_children(t, 3, -1, 0, 0), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(read_node(path_, 1).entries.back().ki.key, big);
  EXPECT_EQ(read_node(path_, 2).key_cnt, 5);
  EXPECT_EQ(read_node(path_, 3).entries.at(0).ki.key, key('a', 14, 40));
  EXPECT_EQ(read_ctl(path_).highblock, 3);  // no split
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(cbclose(t), 1);
}

// Result 4: the sibling takes one entry (with the cursor on it) but the key still does not fit.
TEST_F(RedistTest, RightOffloadReportsFourWhenKeyStillDoesNotFit) {
  cbt_tree *t = open(two_leaves(9, 8), 4);
  {
    Locked lock(t);
    const std::string big = key('a', 3, 80);
    uint8_t *d = cbt::B_getblk(t, 1, cbt::Ctx::kInsertKey);
    ASSERT_NE(d, nullptr);
    position(t, false, 1, 8);
    EXPECT_EQ(cbt::B_right_offload(t, info(big, 1), 1, d, 2, 3, -1), 4);
    EXPECT_EQ(cbt::NodeView(d).key_cnt(), 8);
    EXPECT_EQ(std::pair(t->curblock, t->curindex), std::pair(2, 0));
    ASSERT_EQ(cbt::B_putblk(t, d, false, cbt::Ctx::kInsertKey), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_EQ(read_node(path_, 2).key_cnt, 9);
  EXPECT_EQ(read_node(path_, 3).key_cnt, 0);
  EXPECT_EQ(cbclose(t), 1);
}

// Through cbinsert into a full leaf, no split: a key after the leaf goes to the front of the right sibling
// (leaf unchanged); a key inside the right leaf pushes its front entry into the left sibling, cursors follow.
TEST_F(RedistTest, OffloadsThroughInsert) {
  for (const bool right : {true, false}) {
    cbt_tree *t = open(right ? two_leaves(9, 3) : two_leaves(3, 9), 4);
    cbt_tree *u = cbopen(path_.c_str(), 2, nullptr);
    position(u, false, 2, 0);
    position(u, true, 2, 3);
    const std::string k = right ? key('a', 99, 40) : key('b', 5, 40);
    const auto leaf1 = read_block(path_, 1);
    ASSERT_EQ(cbinsert(t, k.data(), 40, 7, 0), 1);
    ASSERT_EQ(cbflush(t), 1);
    const std::string low = right ? k : key('b', 2, 40);
    EXPECT_EQ(read_node(path_, 2).entries.at(0).ki.key, low);
    EXPECT_EQ(read_node(path_, 3).entries.at(0).ki.key, low);
    if (right) {
      EXPECT_EQ(read_block(path_, 1), leaf1);
    } else {
      EXPECT_EQ(read_node(path_, 1).entries.at(3).ki.key, key('b', 0, 40));
    }
    EXPECT_EQ(std::vector<int32_t>({u->curblock, u->curindex, u->mrkblock, u->mrkindex}),
              std::vector<int32_t>({right ? 2 : 1, right ? 1 : 3, 2, right ? 4 : 3}));
    EXPECT_EQ(read_ctl(path_).highblock, 3);
    EXPECT_TRUE(index_ok(path_));
    EXPECT_EQ(cbclose(u), 1);
    EXPECT_EQ(cbclose(t), 1);
  }
}

}  // namespace
}  // namespace qrx::test
