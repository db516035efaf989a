// Changes to hand-built files. cbinsert: keys too long for the file, where splits fall, which siblings may
// take entries, interior shifts, new root levels, damaged files, regressions of the re-synchronisation
// walk, and the moves between siblings that splits and joins are made of. cbdelete and cbmodify below.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/insert.h"
#include "cbt/node.h"
#include "cbt/redist.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

int32_t ins(cbt_tree *t, const std::string &k, uint32_t item) {
  return cbinsert(t, k.data(), static_cast<uint32_t>(k.size()), item, 0);
}

cbt::KeyInfo info(const std::string &k, int32_t child = 0) {
  return {reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), 1, 1, child};
}

// Leaf b holds counts[b] ('0'..'9') 40-byte keys of letter names[b] (default 'A' + b) numbered first[b],
// + 2, ...; count '-' gives the letter alone as the leaf's one key.
std::vector<Leaf> leaves(const std::string &counts, const std::string &names = "",
                         std::vector<int> first = {}) {
  std::vector<Leaf> l(counts.size());
  first.resize(counts.size());
  for (size_t b = 0; b < l.size(); ++b) {
    const char c = names.empty() ? static_cast<char>('A' + b) : names[b];
    for (int n = 0; n < (counts[b] == '-' ? 1 : counts[b] - '0'); ++n)
      l[b].push_back({counts[b] == '-' ? std::string(1, c) : sized_key(c, first[b] + n * 2), 1});
  }
  return l;
}

// Splices a new node right of blk and moves blk's last n entries into it; returns the new block.
int32_t split_off(cbt_tree *t, int32_t blk, int32_t n) {
  uint8_t *d = cbt::B_getblk(t, blk, cbt::Ctx::kInsertKey);
  if (!d) return -1;
  const int32_t r = cbt::splice_in_node(t, blk, d), fresh = cbt::NodeView(d).right();
  if (cbt::B_putblk(t, d, false, cbt::Ctx::kInsertKey) < 0 || r < 0) return -1;
  return cbt::B_move_right(t, blk, n) < 0 ? -1 : fresh;
}

// A leaf's entries, or an interior node's children (low path first) as items. Confirms the heap: keys
// packed from heap_end to the block end in entry order, equal neighbours sharing one copy.
std::vector<KeyItem> contents(const NodeImage &n, int32_t blk) {
  int64_t pos = n.heap_end;
  for (size_t i = 0; i < n.entries.size(); ++i) {
    const bool shares = i > 0 && !n.entries[i].key.empty() && n.entries[i].key == n.entries[i - 1].key;
    EXPECT_EQ(n.offsets[i], shares ? n.offsets[i - 1] : pos) << "block " << blk << " entry " << i;
    pos += shares ? 0 : static_cast<int64_t>(n.entries[i].key.size());
  }
  EXPECT_EQ(pos, 512) << "block " << blk;
  if (n.low_path == -1 || n.key_cnt < 0) return n.entries;  // an emptied interior node lost its low path
  std::vector<KeyItem> seq{{"", static_cast<uint32_t>(n.low_path)}};
  for (int32_t c : n.children) seq.push_back({"", static_cast<uint32_t>(c)});
  return seq;
}

// Each case: leaves, fanout, the move ('R': B's last n entries to its right sibling, 'L': B's first n to its
// left one), B, n, result, both nodes' key_cnt and heap_end, positions {handle, mark?, blk, index, after}.
struct MoveCase {
  std::vector<Leaf> leaves;
  int fanout;
  char op;
  int32_t blk, n, result, lcnt, rcnt, lheap, rheap;
  std::vector<std::array<int32_t, 6>> pos;
};

// A pool, and a file built by hand at path_ (its leaves in blocks 1..n).
class ChangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override { cbexit(); }
  // Builds the file (fanout 0: keeps the one there) and opens a read/write handle on it.
  cbt_tree *build(const std::vector<Leaf> &leaves = {}, int fanout = 0) {
    if (fanout) root_ = build_index(path_, 512, leaves, fanout);
    return cbopen(path_.c_str(), 2, nullptr);
  }
  TempDir dir_;
  std::string path_ = dir_.file("change.idx");
  int32_t root_ = 0;
};

class InsertTest : public ChangeTest {
 protected:
  std::vector<int32_t> ctl() {
    const CtlFields f = read_ctl(path_);
    return {f.root, f.lowleaf, f.highleaf, f.depth, f.highblock, f.freechain};
  }
};

// Keys longer than the file's block less 36 bytes are refused without an error code, even with the
// pool's larger buffers (keys of exactly that length, and empty keys, go in throughout insert_model_test).
TEST_F(InsertTest, KeysLongerThanTheBlockAllowsAreRefused) {
  const std::string big(4096, 'x');
  for (auto [blksize, len] : {std::pair{512u, 477u}, {88u, 53u}, {88u, 2012u}, {512u, 0xFFFFFFFFu}}) {
    cbt_tree *t = cbcreate(path_.c_str(), nullptr, blksize);
    *qrxcbecd() = 0, *qrxcbccd() = 0, *qrxcbfcd() = 0;
    EXPECT_EQ(cbinsert(t, big.data(), len, 1, 0), -1) << len;
    EXPECT_EQ(std::tuple(*qrxcbecd(), *qrxcbccd(), *qrxcbfcd()), std::tuple(0u, 0u, 14u));
    EXPECT_EQ(cbclose(t), 1);
  }
}

// Where splits fall and which siblings take entries. The first key makes one leaf that is the root and
// both ends. Nine 40-byte keys fill a 512-byte root leaf; the tenth splits it (a root cannot shift), five
// entries on each side wherever it goes; splits follow bytes: one long key balances eleven short ones. A
// full node offers entries to the right sibling first, never to one under another parent (a low path does
// not shift left, a parent's last child does not shift right); full interior nodes pass children to a
// sibling instead of splitting.
TEST_F(InsertTest, WhereSplitsFallAndWhichSiblingsTakeEntries) {
  struct Case {
    std::string counts, key;  // counts "": the leaves of `built`
    int fanout;
    int32_t highblock, from, to;               // blocks from..to keep their entries
    std::vector<std::vector<int32_t>> expect;  // block, low_path, key_cnt
    std::vector<Leaf> built = {};
  };
  Leaf long_and_short = {{"a" + std::string(300, 'x'), 0}};
  for (int n = 0; n < 11; ++n) long_and_short.push_back({sized_key('b', n, 3), 1});
  const std::vector<Case> cases = {
      {"", "a", 2, 1, 0, -1, {{1, -1, 1}}},
      {"9", sized_key('A', 19), 2, 3, 0, -1, {{1, -1, 5}, {2, -1, 5}, {3, 1, 1}}},
      {"9", sized_key('0', 0), 2, 3, 0, -1, {{1, -1, 5}, {2, -1, 5}, {3, 1, 1}}},  // in front
      {"", sized_key('b', 20, 3), 2, 3, 0, -1, {{1, -1, 1}, {2, -1, 12}}, {long_and_short}},
      {"99999999199999999", sized_key('J', 5), 9, 21, 9, 9, {}},    // into leaf 10, a low path: splits
      {"99999999919999999", sized_key('I', 5), 9, 21, 10, 10, {}},  // into leaf 9, a last child: splits
      {"99929299999999999", sized_key('E', 5), 9, 20, 4, 4, {{6, -1, 3}}},
      {"999999999999111", sized_key('I', 99), 9, 19, 0, -1, {{16, 1, 8}, {17, 19, 6}}},
      {"---------999999999", sized_key('L', 5), 9, 22, 0, -1, {{19, 1, 9}, {20, 11, 8}}},
      {"222222222222", "0", 3, 19, 2, 19, {{1, -1, 3}}},  // into lowleaf: nothing above changes
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.counts);
    cbt_tree *t = build(c.counts.empty() ? c.built : leaves(c.counts), c.fanout);
    auto content = [&](int32_t blk) {  // links may change
      const NodeImage n = read_node(path_, blk);
      return std::tuple(n.low_path, n.entries, n.children);
    };
    std::vector<decltype(content(0))> before;
    for (int32_t blk = c.from; blk <= c.to; ++blk) before.push_back(content(blk));
    ASSERT_EQ(ins(t, c.key, 1), 1);
    ASSERT_EQ(cbflush(t), 1);
    EXPECT_EQ(read_ctl(path_).highblock, c.highblock);
    for (int32_t blk = c.from; blk <= c.to; ++blk) EXPECT_TRUE(content(blk) == before[blk - c.from]) << blk;
    for (const auto &e : c.expect)
      EXPECT_EQ(std::vector<int32_t>({e[0], read_node(path_, e[0]).low_path, read_node(path_, e[0]).key_cnt}),
                e);
    EXPECT_TRUE(index_ok(path_));
    EXPECT_EQ(cbclose(t), 1);
  }
}

// Regressions of the re-synchronisation walk that adds children to one parent. State in the middle of
// such a walk: every key goes into leaf B (block 2) at B's old position 0, but an earlier shift removed
// the root's (block 7) entries for B and for B2 (block 3, split off B). The root names C, D, E (blocks
// 4-6) after its low path A (block 1). A shift may remove the root's entry only for the block whose lowest
// key it changed; removing the entry at the old position dropped C or D for good.
TEST_F(InsertTest, StaleWalk) {
  for (auto [a_count, b2_count, name_b, want, blk, key_cnt] :
       {std::tuple{9, 2, false, 2, 3, 2},    // B2 unnamed: no right shift; A full: B splits
        std::tuple{2, 9, false, 5, 1, 3},    // A takes B's first entry; no entry of the root goes
        std::tuple{9, 2, true, 5, 3, 3}}) {  // B named: B2 is under the root and takes B's last
    const auto l =
        leaves(std::to_string(a_count) + "9" + std::to_string(b2_count) + "222", "ABBCDE", {0, 0, 40});
    cbt_tree *t = build(l, 9);  // interior root 7
    TreeModel m;
    for (const KeyItem &e : dump_entries(path_)) m.insert(e.key, e.item);
    {
      cbt::TreeLock lock(t);
      uint8_t *d = cbt::B_getblk(t, 7, cbt::Ctx::kInsertKey);
      ASSERT_NE(d, nullptr);
      cbt::B_rmvkey_here(t, d, 0);  // B's entry
      cbt::B_rmvkey_here(t, d, 0);  // B2's entry
      const std::string b0 = sized_key('B', 0), k5 = sized_key('B', 5);
      EXPECT_EQ(name_b ? cbt::B_addkey_here(t, info(b0, 2), d, 0) : 1, 1);
      ASSERT_EQ(cbt::B_putblk(t, d, false, cbt::Ctx::kInsertKey), 1);
      EXPECT_EQ(cbt::B_ins_node(t, info(k5), 2, 7, 0), want);
      m.insert(k5, 1);
      EXPECT_EQ(cbt::add_children(t, 7, 0, 0, 0), 1);  // the walk stops at C: what it lost stays lost
    }
    EXPECT_TRUE(tree_matches_model(t, path_, m));
    EXPECT_EQ(read_node(path_, blk).key_cnt, key_cnt);
    EXPECT_EQ(cbclose(t), 1);
  }
}

// A top level of 20 blocks needs two new levels: the first new root fills up after 17 entries, splits,
// and the two blocks of that level get a root of their own.
TEST_F(InsertTest, NewRootOverManyBlocksAddsLevelsUntilOneBlock) {
  Leaf leaf;
  for (int n = 0; n < 20; ++n) leaf.push_back({sized_key('k', n, 12), static_cast<uint32_t>(n)});
  cbt_tree *t = build({leaf}, 2);
  {
    cbt::TreeLock lock(t);
    for (int n = 0; n < 19; ++n) ASSERT_GT(split_off(t, 1, 1), 0);
    ASSERT_EQ(cbt::B_make_root(t), 1);
  }
  ASSERT_EQ(cbflush(t), 1);
  EXPECT_TRUE(index_ok(path_));
  EXPECT_EQ(read_node(path_, read_ctl(path_).root).key_cnt, 1);
  EXPECT_EQ(cbclose(t), 1);
}

// A key below an interior node's low path that fits neither the node nor its left sibling: the split
// must keep it as the node's new low path ahead of the old one, not put it after the low path.
TEST_F(InsertTest, KeyBelowInteriorLowPathStaysInFront) {
  const std::vector<Leaf> leaves = {
      {{"v0", 1}},           {{"v1" + std::string(198, 'x'), 1}}, {{"v2" + std::string(224, 'x'), 1}},
      {{"w", 1}, {"wa", 1}}, {{"x" + std::string(199, 'y'), 1}},  {{std::string(270, 'z'), 1}}};
  cbt_tree *t = build(leaves, 4);  // interior 7 (leaves 1-4, 17 bytes free), 8 (leaves 5, 6), root 9
  {
    cbt::TreeLock lock(t);
    ASSERT_EQ(split_off(t, 4, 1), 10);  // leaf 10 holds "wa" and is not referenced yet
    EXPECT_EQ(cbt::B_ins_node(t, info("wa", 10), 8, 9, 0), 2);  // 8 is the last child and 7 is full
  }
  ASSERT_EQ(cbflush(t), 1);
  const NodeImage n8 = read_node(path_, 8);
  EXPECT_EQ(std::tuple(n8.low_path, n8.entries, n8.children),
            std::tuple(10, Leaf{leaves[4][0]}, std::vector{5}));
  EXPECT_EQ(read_node(path_, 7).key_cnt, 3);
  EXPECT_EQ(cbclose(t), 1);
}

// Damaged files: an unused block as a child or as the root, and two interior nodes naming each other,
// give error 20 (the descent ends, it does not loop); paths around the damage still work.
TEST_F(InsertTest, DamagedFiles) {
  for (int c = 0; c < 3; ++c) {
    build_index(path_, 512, leaves(c == 2 ? "111111111" : "1111"), c == 2 ? 3 : 4);
    const int32_t u = add_unused_blocks(path_, 1)[0];
    CtlFields f = read_ctl(path_);
    f.root = u;
    if (c == 0) patch_i32(path_, 5, entry_pos(false, 1) + kEntryChildOff, u);  // the root's entry for C
    if (c == 1) write_ctl(path_, f);
    if (c == 2) patch_i32(path_, 11, kNodeLowPathOff, 13);  // node 11 (leaves 4-6) names the root 13
    cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
    ASSERT_NE(t, nullptr);
    *qrxcbecd() = 0;
    EXPECT_EQ(ins(t, sized_key("CAD"[c], 0) + "x", 1), -1) << c;
    EXPECT_EQ(std::pair(*qrxcbecd(), *qrxcbccd()), std::pair(20u, 21u));
    EXPECT_EQ(ins(t, "", 1), c == 1 ? -1 : 1);  // along the low paths
    EXPECT_EQ(cbclose(t), 1);
  }
  // A control record whose parity holds but whose highblock lies far past the file: the split that
  // needs a new block refuses, instead of writing a block millions of blocks past the end.
  build_index(path_, 512, leaves("9999"), 4);
  CtlFields f = read_ctl(path_);
  f.highblock = 1 << 20;
  write_ctl(path_, f);
  const auto size = read_file(path_).size();
  cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(ins(t, sized_key('B', 1) + "x", 1), -1);
  EXPECT_EQ(std::pair(*qrxcbecd(), *qrxcbccd()), std::pair(20u, 23u));
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(read_file(path_).size(), size);
}

// B_move_right and B_move_left between existing siblings, with cursors and marks of two handles. (Splits
// and offloads are judged through cbinsert above.)
TEST_F(InsertTest, MovesBetweenSiblings) {
  const std::string &path = path_;
  std::vector<Leaf> full(2), singles;  // two leaves of nine 40-byte keys; nine leaves of one 12-byte key
  for (int n = 0; n < 18; ++n) full[n / 9].push_back({std::string(40, static_cast<char>('a' + n)), 1});
  for (int n = 0; n < 9; ++n) singles.push_back({{"k" + std::to_string(10 + n) + std::string(9, 'k'), 1}});
  // clang-format off
  const std::vector<MoveCase> cases = {
      {{{{"a1", 1}, {"a2", 2}, {"same", 3}, {"same", 4}}, {{"same", 5}, {"z", 6}}}, 4, 'R', 1, 3, 1, 1, 5, 510, 505,
       {{0, 0, 2, 1, 2, 4}, {1, 1, 1, 2, 2, 1}}},  // equal keys meeting in the right node share one copy
      {{{{"a", 1}, {"mid", 2}}, {{"mid", 3}, {"mid", 4}, {"zz", 5}}}, 4, 'L', 2, 3, 1, 5, 0, 506, 512,
       {{0, 0, 2, 2, 1, 4}, {1, 1, 2, 0, 1, 2}}},
      {{{{"a", 1}}, {{"b", 1}, {"cc", 2}, {"cc", 3}, {"ddd", 4}, {"e", 5}}}, 4, 'L', 2, 2, 1, 3, 3, 508, 506,
       {{0, 0, 2, 3, 2, 1}, {1, 1, 2, 1, 1, 2}}},
      {full, 4, 'R', 1, 2, -1, 9, 9, 152, 152, {}},  // refused (20, 34), nothing moved
      {{singles.begin(), singles.end() - 1}, 4, 'R', 9, 2, 1, 1, 5, 500, 452, {}},  // low path becomes an entry
      {singles, 3, 'L', 12, 1, 1, 3, 1, 476, 500, {}},  // the low path arrives with its lowest key
      {singles, 3, 'L', 12, 3, 1, 5, -1, 452, 512, {}},
      {{{{"a", 1}}, {{"dup", 1}}, {{"dup", 2}}, {{"dup", 3}}, {{"z", 1}}}, 2, 'L', 7, 2, 1, 3, -1, 509, 512, {}},
  };
  // clang-format on
  for (const MoveCase &mc : cases) {
    SCOPED_TRACE(testing::Message() << mc.op << " " << mc.blk << " " << mc.n);
    build_index(path, 512, mc.leaves, mc.fanout);
    cbt_tree *h[2] = {cbopen(path.c_str(), 2, nullptr), cbopen(path.c_str(), 2, nullptr)};
    ASSERT_TRUE(h[0] && h[1]);
    const int32_t lb = mc.op == 'L' ? read_node(path, mc.blk).left : mc.blk;
    std::vector<KeyItem> before = contents(read_node(path, lb), lb);  // with the right node's: unchanged
    const int32_t rb = read_node(path, lb).right;
    for (const KeyItem &e : contents(read_node(path, rb), rb)) before.push_back(e);
    {
      cbt::TreeLock lock(h[0]);
      for (const auto &[k, mark, blk, index, to_blk, to_index] : mc.pos)
        std::tie(mark ? h[k]->mrk_stat : h[k]->pos_stat, mark ? h[k]->mrkblock : h[k]->curblock,
                 mark ? h[k]->mrkindex : h[k]->curindex) = std::tuple(1, blk, index);
      *qrxcbecd() = 0, *qrxcbccd() = 0;
      EXPECT_EQ(mc.op == 'L' ? cbt::B_move_left(h[0], mc.blk, mc.n) : cbt::B_move_right(h[0], mc.blk, mc.n),
                mc.result);
      EXPECT_EQ(*qrxcbecd() * 100 + *qrxcbccd(),
                mc.result == 1 ? 0u : 2034u);  // refused: error 20, context 34
    }
    ASSERT_EQ(cbflush(h[0]), 1);
    const NodeImage l = read_node(path, lb), r = read_node(path, rb);
    EXPECT_EQ(std::tuple(l.right, l.key_cnt, r.key_cnt, l.heap_end, r.heap_end, r.left),
              std::tuple(rb, mc.lcnt, mc.rcnt, mc.lheap, mc.rheap, lb));
    std::vector<KeyItem> after = contents(l, lb);
    for (const KeyItem &e : contents(r, rb)) after.push_back(e);
    EXPECT_TRUE(same_entries(after, before));
    for (const NodeImage *n : {&l, &r})
      for (size_t i = 0; i < n->children.size(); ++i)  // its child's lowest key
        EXPECT_TRUE(same_entries({n->entries[i]}, {read_node(path, n->children[i]).entries.at(0)}));
    for (const auto &[k, mark, blk, index, to_blk, to_index] : mc.pos)
      EXPECT_EQ(mark ? std::pair(h[k]->mrkblock, h[k]->mrkindex) : std::pair(h[k]->curblock, h[k]->curindex),
                std::pair(to_blk, to_index));
    for (cbt_tree *t : h) EXPECT_EQ(cbclose(t), 1);
  }
}

// Deletion: errors, joining decisions, lowering the root (random mixes: delete_model_test). Keys of key_run
// are 40 bytes (52 with their entry): nine fill a 512-byte leaf to 488; the join threshold is 369.
class DeleteTest : public ChangeTest {
 protected:
  cbt_tree *build(const std::vector<Leaf> &leaves = {}, int fanout = 0) {
    EXPECT_NE(t_ = ChangeTest::build(leaves, fanout), nullptr);
    return t_;
  }
  int32_t del(const KeyItem &e) { return cbdelete(t_, e.key.data(), uint32_t(e.key.size()), e.item); }
  std::pair<uint32_t, uint32_t> codes() { return {*qrxcbecd(), *qrxcbccd()}; }
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

// Modification: in place, the key limit, lookup errors and the same pair (random mixes, the duplicate
// rules across leaves, other handles' cursors and the path through deletion and insertion:
// delete_model_test).
class ModifyTest : public ChangeTest {
 protected:
  void TearDown() override { close(), ChangeTest::TearDown(); }
  void close() {
    for (cbt_tree *h : {t_, other_, walker_}) EXPECT_TRUE(!h || cbclose(h) == 1);
  }
  void build(const std::vector<Leaf> &leaves) {  // walker_ is for the checks, which move its cursor
    close();
    build_index(path_, 512, leaves, 3);
    for (cbt_tree **h : {&t_, &other_, &walker_}) ASSERT_NE(*h = cbopen(path_.c_str(), 2, nullptr), nullptr);
  }
  // Modifies through t_ with the expected error (0: success, -1: failure without a code); on success the
  // new pair is found and the tree verifies.
  void expect(const KeyItem &from, const KeyItem &to, int32_t dupok, int err) {
    *qrxcbecd() = 0;
    ASSERT_EQ(cbmodify(t_, from.key.data(), uint32_t(from.key.size()), from.item, to.key.data(),
                       uint32_t(to.key.size()), to.item, dupok),
              err ? -1 : 1)
        << describe(from) << " -> " << describe(to) << " " << *qrxcbecd();
    fcd_ = *qrxcbfcd();
    EXPECT_TRUE(!err || *qrxcbecd() == uint32_t(std::max(err, 0))) << *qrxcbecd();
    EXPECT_TRUE(err || find(walker_, to)) << describe(to);
    EXPECT_EQ(qrxcbver(walker_), 1);
  }
  bool find(cbt_tree *t, KeyItem e) {
    return cbfinditem(t, e.key.data(), uint32_t(e.key.size()), &e.item) == 2;
  }

  cbt_tree *t_ = nullptr, *other_ = nullptr, *walker_ = nullptr;
  uint32_t fcd_ = 0;  // the function code the modification left
};

TEST_F(ModifyTest, InPlaceKeyLimitAndLookupErrors) {
  build({{{"a", 1}, {"k", 1}, {"k", 5}, {"m", 1}}});
  expect({"k", 1}, {"k", 7}, 0, 0);
  EXPECT_EQ(fcd_, 16u);  // in place: no insertion step, so dupok 0 does not matter
  expect({"a", 1}, {std::string(477, 'x'), 1}, 0, -1);  // over 512 - 36: no code
  expect({"a", 2}, {"c", 1}, 0, 21);
  build({});
  expect({"a", 1}, {"b", 1}, 0, 19);  // the lookup's own code, not a duplicate
}

// The same pair moves only the caller's cursor on, and is looked up only when the cursor is on an entry.
TEST_F(ModifyTest, SamePairMovesOnlyTheCallersCursor) {
  build({{{"a", 1}, {"b", 1}, {"c", 1}}});
  ASSERT_TRUE(find(other_, {"b", 1}) && find(t_, {"b", 1}));
  expect({"b", 1}, {"b", 1}, 0, 0);
  EXPECT_EQ(cursor_entry(t_), (KeyItem{"c", 1}));
  EXPECT_EQ(cursor_entry(other_), (KeyItem{"b", 1}));
  expect({"c", 1}, {"c", 1}, 0, 0);
  int32_t status = 0;
  EXPECT_EQ(cursor_entry(t_, &status), std::nullopt);
  EXPECT_EQ(status, -3);
  EXPECT_EQ(cbmodify(t_, "zz", 2, 4, "zz", 2, 4, 0), 1);  // at EOI nothing is looked up
  ASSERT_TRUE(find(t_, {"a", 1}));
  expect({"zz", 4}, {"zz", 4}, 0, 21);
  EXPECT_EQ(cursor_entry(t_), (KeyItem{"a", 1}));
}

}  // namespace
}  // namespace qrx::test
