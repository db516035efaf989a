// B_move_right and B_move_left between existing siblings of hand-built files, with cursors and marks of two
// handles. Splits and offloads are judged through cbinsert in the insertion tests.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/codec.h"
#include "cbt/node.h"
#include "cbt/redist.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_checker.h"

namespace qrx::test {
namespace {

struct Node {
  int32_t low_path, right, key_cnt, heap_end;
  std::vector<KeyItem> entries, seq;  // seq: a leaf's entries, an interior node's children (low path first)
};

// Reads a node (appending its seq to *all) and confirms its heap: keys packed from heap_end to the block
// end in entry order, equal neighbours sharing one copy.
Node read_node(const std::string &path, int32_t blk, std::vector<KeyItem> *all = nullptr) {
  const auto b = read_block(path, blk);
  const uint8_t *d = b.data();
  auto at = [&](uint32_t off) { return codec::load_i32(d, off); };
  Node n{at(kNodeLowPathOff), at(kNodeRightOff), at(kNodeKeyCntOff), at(kNodeHeapEndOff), {}, {}};
  if (n.low_path != -1 && n.key_cnt >= 0) n.seq.push_back({"", static_cast<uint32_t>(n.low_path)});
  int64_t pos = n.heap_end, prev = -1;
  for (int32_t i = 0; i < n.key_cnt; ++i) {
    const uint32_t e = entry_pos(n.low_path == -1, i);
    const int32_t off = at(e + kEntryOffsetOff), len = at(e + kEntryLenOff);
    n.entries.push_back(
        {std::string(reinterpret_cast<const char *>(d) + off, len), codec::load_u32(d, e + kEntryItemOff)});
    n.seq.push_back(n.low_path == -1 ? n.entries.back()
                                     : KeyItem{"", static_cast<uint32_t>(at(e + kEntryChildOff))});
    const bool shares = i > 0 && len > 0 && n.entries[i].key == n.entries[i - 1].key;
    EXPECT_EQ(off, shares ? prev : pos) << "block " << blk << " entry " << i;
    pos += shares ? 0 : len, prev = off;
  }
  EXPECT_EQ(pos, static_cast<int64_t>(b.size())) << "block " << blk;
  if (all) all->insert(all->end(), n.seq.begin(), n.seq.end());
  return n;
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
    const int32_t lb = mc.op == 'L' ? peek_i32(path, mc.blk, kNodeLeftOff) : mc.blk;
    std::vector<KeyItem> before, after;  // both nodes' entries (children) together do not change
    read_node(path, read_node(path, lb, &before).right, &before);
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
    const Node l = read_node(path, lb, &after), r = read_node(path, l.right, &after);
    EXPECT_EQ(std::tuple(l.key_cnt, r.key_cnt, l.heap_end, r.heap_end, peek_i32(path, l.right, kNodeLeftOff)),
              std::tuple(mc.lcnt, mc.rcnt, mc.lheap, mc.rheap, lb));
    EXPECT_TRUE(same_entries(after, before));
    for (const Node *n : {&l, &r})
      for (size_t i = 0; n->low_path != -1 && i < n->entries.size(); ++i)  // its child's lowest key
        EXPECT_TRUE(same_entries({n->entries[i]}, {read_node(path, n->seq[i + 1].item).entries.at(0)}));
    for (const auto &[k, mark, blk, index, to_blk, to_index] : mc.pos)
      EXPECT_EQ(mark ? std::pair(h[k]->mrkblock, h[k]->mrkindex) : std::pair(h[k]->curblock, h[k]->curindex),
                std::pair(to_blk, to_index));
    for (cbt_tree *t : h) EXPECT_EQ(cbclose(t), 1);
  }
}

}  // namespace
}  // namespace qrx::test
