// B_move_right and B_move_left between existing siblings of hand-built files, with cursors and marks of two
// handles. Splits and offloads are judged through cbinsert in the insertion tests.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/node.h"
#include "cbt/redist.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_checker.h"

namespace qrx::test {
namespace {

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

TEST(Redist, MovesBetweenSiblings) {
  ASSERT_EQ(cbinit(32, 512), 1);
  TempDir dir;
  const std::string path = dir.file("redist.idx");
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

}  // namespace
}  // namespace qrx::test
