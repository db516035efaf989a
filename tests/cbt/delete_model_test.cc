// Deletion and modification mixed with insertion, down to an empty tree, against a sorted model: walks,
// the structural checker (relaxed interior entries, every block in the tree or on the unused chain once),
// qrxcbver, the cursors of three handles after every operation and their marks after every batch, and the
// file growing only once the unused chain is empty.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <tuple>

#include "cbt/cbt.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

struct Pos {  // CBT_POS_OK on e, BOI, EOI or CBT_NO_MARK
  int32_t stat = CBT_POS_BOI;
  KeyItem e;
};
struct Handle {
  cbt_tree *t = nullptr;
  Pos cur, mark{CBT_NO_MARK, {}};
};
using Config = std::tuple<uint32_t, cbt_keycmp_fn, size_t>;  // block size, compare, entries when grown
class DeleteModelTest : public ::testing::TestWithParam<Config> {};

TEST_P(DeleteModelTest, RandomInsertDeleteModifyDownToEmpty) {
  const auto [blksize, cmp, grow_to] = GetParam();
  ASSERT_EQ(cbinit(16, 4096), 1);
  TempDir dir;
  const std::string path = dir.file("model.idx");
  TreeModel m{cmp};
  Rng rng{blksize * 10ull + (cmp != nullptr)};
  QRX_TRACE_SEED(rng);
  Handle hs[3];
  for (Handle &h : hs) h.t = &h == hs ? cbcreate(path.c_str(), cmp, blksize) : cbopen(path.c_str(), 2, cmp);
  cbt_tree *walker = cbopen(path.c_str(), 2, cmp);  // for the batch checks; its cursor is not tracked
  ASSERT_TRUE(hs[0].t && hs[1].t && hs[2].t && walker);
  const cbt::CtlRec *ctl = hs[0].t->ctl;
  auto some_entry = [&] { return *std::next(m.entries().begin(), static_cast<long>(rng.below(m.size()))); };
  auto new_entry = [&]() -> KeyItem {  // often a key in use, else mostly short, sometimes up to the limit
    const uint32_t item = rng.one_in(4) ? rng.item() : static_cast<uint32_t>(rng.below(40));
    if (!m.empty() && rng.one_in(3)) return {some_entry().key, item};
    const uint64_t r = rng.below(20), max = blksize - 36;
    return {rng.text(rng.below(r < 14 ? 9 : 1 + (r < 19 ? max / 3 : max)), cmp ? "aAbBcC" : "abcd"), item};
  };
  auto check_cursors = [&](bool to_mark) {  // to_mark: cbfindmark first puts each cursor on its mark
    for (Handle &h : hs) {
      uint32_t item = 0;
      ASSERT_TRUE(!to_mark || cbfindmark(h.t, &item) == h.mark.stat);
      if (to_mark && h.mark.stat != CBT_NO_MARK) h.cur = h.mark;
      int32_t stat = 0;
      const std::optional<KeyItem> got = cursor_entry(h.t, &stat);
      ASSERT_EQ(got ? CBT_POS_OK : stat, h.cur.stat) << "handle " << (&h - hs);
      ASSERT_TRUE(!got || compare_entries(cmp, *got, h.cur.e) == 0) << describe(*got);
    }
  };
  // Through handle 0, with the error the model predicts (only a changed key is checked against dupok).
  // Cursors and marks on a removed entry move to the entry that followed it, or to EOI.
  auto change = [&](char op) {
    const KeyItem from = op == 'i' ? KeyItem{} : some_entry();
    const KeyItem to = op == 'm' && rng.one_in(3) ? KeyItem{from.key, new_entry().item} : new_entry();
    const int32_t dupok = rng.one_in(3) ? 0 : 1;
    if (op == 'm' && compare_entries(cmp, from, to) == 0) return;  // the same pair: change_test
    const bool same_key = op == 'm' && compare_keys(cmp, from.key, to.key) == 0;
    const int want = op == 'd' ? 0 : m.insert_error(to.key, to.item, same_key ? 1 : dupok);
    const auto flen = static_cast<uint32_t>(from.key.size()), tlen = static_cast<uint32_t>(to.key.size());
    const int32_t r = op == 'i'   ? cbinsert(hs[0].t, to.key.data(), tlen, to.item, dupok)
                      : op == 'd' ? cbdelete(hs[0].t, from.key.data(), flen, from.item)
                                  : cbmodify(hs[0].t, from.key.data(), flen, from.item, to.key.data(), tlen,
                                             to.item, dupok);
    ASSERT_EQ(r, want ? -1 : 1) << op << " " << describe(from) << " " << describe(to) << " " << *qrxcbecd();
    ASSERT_TRUE(!want || *qrxcbecd() == static_cast<uint32_t>(want)) << *qrxcbecd();
    if (want) return;
    if (op != 'i') {
      m.erase(from.key, from.item);
      auto it = m.entries().upper_bound(from);
      const Pos next = it == m.entries().end() ? Pos{CBT_POS_EOI, {}} : Pos{CBT_POS_OK, *it};
      for (Handle &h : hs)
        for (Pos *p : {&h.cur, &h.mark})
          if (p->stat == CBT_POS_OK && compare_entries(cmp, p->e, from) == 0) *p = next;
    }
    if (op != 'd') m.insert(to.key, to.item);
  };
  auto reposition = [&](Handle &h, bool mark) {  // a mark, or the cursor onto a random entry
    if (!mark) h.cur = {CBT_POS_OK, some_entry()};
    uint32_t item = h.cur.e.item;
    const auto len = static_cast<uint32_t>(h.cur.e.key.size());
    ASSERT_EQ(mark ? cbmark(h.t) : cbfinditem(h.t, h.cur.e.key.data(), len, &item), mark ? 1 : 2);
    if (mark) h.mark = h.cur;
  };
  // Grow, shrink, grow again, delete everything; percentages of insertions and deletions, the rest modify.
  for (auto [target, ins, del] :
       {std::tuple{grow_to, 55, 25}, {grow_to / 8, 15, 60}, {grow_to / 2, 60, 20}, {size_t{0}, 0, 90}}) {
    for (const bool grow = m.size() < target; grow ? m.size() < target : m.size() > target;) {
      for (uint32_t i = 0; i < 100 + blksize / 16; ++i) {
        const int32_t high = ctl->highblock, r = static_cast<int32_t>(rng.below(100));
        const char op = r >= 96 ? 'p' : m.empty() || r < ins ? 'i' : r < ins + del ? 'd' : 'm';
        ASSERT_NO_FATAL_FAILURE(op == 'p' ? reposition(hs[rng.below(3)], m.empty() || r & 1) : change(op));
        ASSERT_TRUE(ctl->highblock == high || ctl->freechain == 0) << "grew with blocks unused";
        ASSERT_NO_FATAL_FAILURE(check_cursors(false));
      }
      ASSERT_TRUE(tree_matches_model(walker, path, m, {.relaxed = true}));
      ASSERT_EQ(qrxcbver(walker), 1);
      ASSERT_NO_FATAL_FAILURE(check_cursors(true));
    }
  }
  EXPECT_EQ(ctl->root | ctl->depth | ctl->lowleaf | ctl->highleaf, 0);
  ASSERT_EQ(cbflush(hs[0].t), 1);  // every block but block 0 is on the unused chain
  EXPECT_EQ(check_index(path, {.cmp = cmp, .relaxed = true}).stats.unused, ctl->highblock);
  for (const Handle &h : hs) EXPECT_EQ(cbclose(h.t), 1);
  EXPECT_EQ(cbclose(walker), 1);
  cbexit();
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, DeleteModelTest,
                         ::testing::Values(Config{88, nullptr, 800}, Config{512, nullptr, 2500},
                                           Config{4096, nullptr, 3000}, Config{512, nocase_compare, 1500}));

}  // namespace
}  // namespace qrx::test
