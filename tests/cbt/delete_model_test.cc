// Model-based test of deletion and modification mixed with insertion, down to an empty tree: after every
// batch the walks, the structural checker (relaxed interior entries, every block in the tree or on the
// unused chain once) and qrxcbver agree with a sorted model; the cursors of three handles are checked after
// every operation and their marks after every batch; the file grows only once the unused chain is empty.
#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

struct Config {
  uint32_t blksize;
  cbt_keycmp_fn cmp;
  size_t grow_to;  // entries reached in the growing phase
  int batch;       // operations between two checks of the whole file
};
struct Pos {  // CBT_POS_OK on e, BOI, EOI or CBT_NO_MARK
  int32_t stat = CBT_POS_BOI;
  KeyItem e;
};
struct Handle {
  cbt_tree *t;
  Pos cur, mark{CBT_NO_MARK, {}};
};

class DeleteModelTest : public ::testing::TestWithParam<Config> {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(16, 4096), 1); }
  void TearDown() override { cbexit(); }

  // Batches of random operations until the model holds `target` entries.
  void phase(size_t target, int pct_insert, int pct_delete) {
    const bool grow = m_.size() < target;
    for (int batch = 0; grow ? m_.size() < target : m_.size() > target; ++batch) {
      for (int i = 0; i < c_.batch; ++i) {
        const cbt::CtlRec *ctl = hs_[0].t->ctl;
        const int32_t high = ctl->highblock;
        const int r = static_cast<int>(rng_.below(100));
        ASSERT_NO_FATAL_FAILURE(r < 96 ? change(r < pct_insert                ? 'i'
                                                : r < pct_insert + pct_delete ? 'd'
                                                                              : 'm')
                                       : reposition());
        if (ctl->highblock > high) {
          ASSERT_EQ(ctl->freechain, 0) << "the file grew while blocks were unused";
        }
        ASSERT_NO_FATAL_FAILURE(check_cursors());
      }
      ASSERT_TRUE(tree_matches_model(walker_, path_, m_, {.relaxed = true})) << "batch " << batch;
      ASSERT_EQ(qrxcbver(walker_), 1) << "batch " << batch;
      for (Handle &h : hs_) {  // cbfindmark puts the cursor on the mark
        uint32_t item = 0;
        ASSERT_EQ(cbfindmark(h.t, &item), h.mark.stat);
        if (h.mark.stat != CBT_NO_MARK) h.cur = h.mark;
      }
      ASSERT_NO_FATAL_FAILURE(check_cursors());
    }
  }
  void check_cursors() {
    for (Handle &h : hs_) {
      int32_t stat = 0;
      const std::optional<KeyItem> got = cursor_entry(h.t, &stat);
      ASSERT_EQ(got ? CBT_POS_OK : stat, h.cur.stat) << "handle " << (&h - hs_.data());
      if (got) {
        ASSERT_EQ(compare_entries(c_.cmp, *got, h.cur.e), 0) << describe(*got);
      }
    }
  }
  // Often a key in use (equal keys), else mostly short, sometimes up to the limit.
  KeyItem new_entry() {
    const uint32_t item = rng_.one_in(4) ? rng_.item() : static_cast<uint32_t>(rng_.below(40));
    if (!keys_.empty() && rng_.one_in(3)) return {keys_[rng_.below(keys_.size())], item};
    const uint64_t r = rng_.below(20), max = c_.blksize - 36;
    std::string k =
        rng_.text(rng_.below(r < 14 ? 9 : 1 + (r < 19 ? max / 3 : max)), c_.cmp ? "aAbBcC" : "abcd");
    if (keys_.size() < 400) keys_.push_back(k);
    return {k, item};
  }
  // Cursors and marks on a removed entry move to the entry that followed it, or to EOI.
  void removed(const KeyItem &e) {
    m_.erase(e.key, e.item);
    const Pos next = successor(e);
    for (Handle &h : hs_)
      for (Pos *p : {&h.cur, &h.mark})
        if (p->stat == CBT_POS_OK && compare_entries(c_.cmp, p->e, e) == 0) *p = next;
  }
  Pos successor(const KeyItem &e) {
    auto it = m_.entries().upper_bound(e);
    return it == m_.entries().end() ? Pos{CBT_POS_EOI, {}} : Pos{CBT_POS_OK, *it};
  }

  // An insertion ('i'), deletion ('d') or modification ('m') through handle 0, with the error the model
  // predicts (in the order the operation checks).
  void change(char op) {
    Handle &h = hs_[0];
    KeyItem from = m_.empty() || rng_.one_in(8)
                       ? new_entry()
                       : *std::next(m_.entries().begin(), static_cast<long>(rng_.below(m_.size())));
    const uint64_t kind = rng_.below(20);
    const KeyItem to = kind == 0 ? from : kind < 7 ? KeyItem{from.key, new_entry().item} : new_entry();
    const int32_t dupok = rng_.one_in(3) ? 0 : 1;
    const bool present = m_.contains(from.key, from.item), same = compare_entries(c_.cmp, from, to) == 0;
    int want = 0;
    int32_t r;
    if (op == 'i') {
      want = m_.insert_error(to.key, to.item, dupok);
      r = cbinsert(h.t, to.key.data(), static_cast<uint32_t>(to.key.size()), to.item, dupok);
    } else if (op == 'd') {
      want = present ? 0 : m_.empty() ? 19 : 21;
      r = cbdelete(h.t, from.key.data(), static_cast<uint32_t>(from.key.size()), from.item);
    } else {
      if (same) {
        want = h.cur.stat == CBT_POS_OK && !present ? 21 : 0;
      } else if (m_.contains(to.key, to.item) || m_.empty()) {
        want = 18;
      } else if (compare_keys(c_.cmp, from.key, to.key) != 0 && dupok == 0 && m_.has_key(to.key)) {
        want = 17;
      } else if (!present) {
        want = 21;
      }
      r = cbmodify(h.t, from.key.data(), static_cast<uint32_t>(from.key.size()), from.item, to.key.data(),
                   static_cast<uint32_t>(to.key.size()), to.item, dupok);
    }
    const std::string what = std::string(1, op) + " " + describe(from) + " " + describe(to);
    ASSERT_EQ(r, want ? -1 : 1) << what << " error " << *qrxcbecd();
    if (want) {
      ASSERT_EQ(*qrxcbecd(), static_cast<uint32_t>(want)) << what;
    }
    if (want || op == 'i') {
      if (!want) m_.insert(to.key, to.item);
    } else if (op == 'm' && same) {  // only the caller's cursor on it moves on
      if (h.cur.stat == CBT_POS_OK && compare_entries(c_.cmp, h.cur.e, from) == 0) h.cur = successor(from);
    } else {
      removed(from);
      if (op == 'm') m_.insert(to.key, to.item);
    }
  }
  void reposition() {
    Handle &h = hs_[rng_.below(hs_.size())];
    uint32_t item = 0;
    const uint64_t r = rng_.below(4);
    if (r == 3) {
      ASSERT_EQ(cbmark(h.t), 1);
      h.mark = h.cur;
    } else if (m_.empty()) {
    } else if (r == 0) {
      const KeyItem e = *std::next(m_.entries().begin(), static_cast<long>(rng_.below(m_.size())));
      item = e.item;
      ASSERT_EQ(cbfinditem(h.t, e.key.data(), static_cast<uint32_t>(e.key.size()), &item), 2);
      h.cur = {CBT_POS_OK, e};
    } else {  // past either end
      ASSERT_EQ(r == 1 ? cbtail(h.t, &item) : cbhead(h.t, &item), 1);
      ASSERT_EQ(r == 1 ? cbnext(h.t, &item) : cbprev(h.t, &item), r == 1 ? -3 : -2);
      h.cur = {r == 1 ? CBT_POS_EOI : CBT_POS_BOI, {}};
    }
  }

  Config c_ = GetParam();
  TempDir dir_;
  std::string path_ = dir_.file("model.idx");
  TreeModel m_{c_.cmp};
  Rng rng_{c_.blksize * 10ull + (c_.cmp != nullptr)};
  std::vector<Handle> hs_;
  cbt_tree *walker_ = nullptr;  // walks the tree for the batch checks; its cursor is not tracked
  std::vector<std::string> keys_;
};

TEST_P(DeleteModelTest, RandomInsertDeleteModifyDownToEmpty) {
  QRX_TRACE_SEED(rng_);
  hs_.push_back({cbcreate(path_.c_str(), c_.cmp, c_.blksize), {}});
  for (int i = 0; i < 2; ++i) hs_.push_back({cbopen(path_.c_str(), 2, c_.cmp), {}});
  walker_ = cbopen(path_.c_str(), 2, c_.cmp);
  for (const Handle &h : hs_) ASSERT_NE(h.t, nullptr);
  ASSERT_NE(walker_, nullptr);
  ASSERT_NO_FATAL_FAILURE(phase(c_.grow_to, 55, 25));  // grow, shrink, grow again, delete everything
  ASSERT_NO_FATAL_FAILURE(phase(c_.grow_to / 8, 15, 60));
  ASSERT_NO_FATAL_FAILURE(phase(c_.grow_to / 2, 60, 20));
  ASSERT_NO_FATAL_FAILURE(phase(0, 0, 90));
  const cbt::CtlRec *ctl = hs_[0].t->ctl;
  EXPECT_EQ(std::vector<int32_t>({ctl->root, ctl->depth, ctl->lowleaf, ctl->highleaf}),
            std::vector<int32_t>({0, 0, 0, 0}));
  ASSERT_EQ(cbflush(hs_[0].t), 1);
  const CheckResult r = check_index(path_, {.cmp = c_.cmp, .relaxed = true});
  EXPECT_TRUE(r.ok) << r.text();
  EXPECT_EQ(r.stats.unused, ctl->highblock);  // every block but block 0 is on the unused chain
  for (const Handle &h : hs_) EXPECT_EQ(cbclose(h.t), 1);
  EXPECT_EQ(cbclose(walker_), 1);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, DeleteModelTest,
                         ::testing::Values(Config{88, nullptr, 800, 100}, Config{512, nullptr, 2500, 200},
                                           Config{4096, nullptr, 3000, 400},
                                           Config{512, nocase_compare, 1500, 200}),
                         [](const testing::TestParamInfo<Config> &info) {
                           return "Block" + std::to_string(info.param.blksize) +
                                  (info.param.cmp ? "NoCase" : "Bytes");
                         });

}  // namespace
}  // namespace qrx::test
