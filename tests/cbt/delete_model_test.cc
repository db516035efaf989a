// Model-based test of deletion and modification mixed with insertion: random operations against a sorted
// model, with the whole file checked after every batch, the cursors and marks of several handles checked
// after every operation, and the file's growth watched while the unused chain holds blocks.
#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/node.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

// Where a cursor or a mark is expected: on an entry, at BOI (-2), at EOI (-3), or no mark (-1).
struct Pos {
  int32_t stat = CBT_POS_BOI;
  KeyItem e;
};

struct Handle {
  cbt_tree *t = nullptr;
  Pos cur;
  Pos mark{CBT_NO_MARK, {}};
};

struct Config {
  uint32_t blksize;
  cbt_keycmp_fn cmp;
  size_t grow_to;  // entries reached in the growing phase
  int batch;       // operations between two checks of the whole file
  uint64_t seed;
};

class DeleteModelTest : public ::testing::TestWithParam<Config> {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(16, 4096), 1); }
  void TearDown() override { cbexit(); }
};

// The entry at a raw (block, index), read under the file's lock; nullopt when there is none.
std::optional<KeyItem> entry_at(cbt_tree *t, int32_t blk, int32_t idx) {
  if (!cbt::lock_tree(t)) return std::nullopt;
  std::optional<KeyItem> out;
  {
    cbt::NodeRef n(t, blk, cbt::Ctx::kNone);
    if (n && n.view().is_leaf() && idx >= 0 && idx < n.view().key_cnt()) {
      cbt::NodeView v = n.view();
      out = KeyItem{std::string(reinterpret_cast<const char *>(v.key(idx)), static_cast<size_t>(v.len(idx))),
                    v.item(idx)};
    }
  }
  cbt::unlock_tree(t);
  return out;
}

testing::AssertionResult position_is(cbt_keycmp_fn cmp, cbt_tree *t, const char *what, int32_t stat,
                                     int32_t blk, int32_t idx, const Pos &want) {
  if (stat != want.stat)
    return testing::AssertionFailure() << what << " state " << stat << ", expected " << want.stat
                                       << (want.stat == 1 ? " on " + describe(want.e) : std::string());
  if (stat != CBT_POS_OK) return testing::AssertionSuccess();
  std::optional<KeyItem> got = entry_at(t, blk, idx);
  if (!got)
    return testing::AssertionFailure() << what << " at block " << blk << " index " << idx << ": no entry";
  if (compare_entries(cmp, *got, want.e) != 0)
    return testing::AssertionFailure()
           << what << " on " << describe(*got) << ", expected " << describe(want.e);
  return testing::AssertionSuccess();
}

class Runner {
 public:
  Runner(const Config &c, const std::string &path) : c_(c), path_(path), model_(c.cmp), rng_(c.seed) {}

  void run() {
    QRX_TRACE_SEED(rng_);
    cbt_tree *t = cbcreate(path_.c_str(), c_.cmp, c_.blksize);
    ASSERT_NE(t, nullptr);
    handles_.push_back(Handle{t, {}, {CBT_NO_MARK, {}}});
    for (int i = 0; i < 2; ++i) {
      cbt_tree *h = cbopen(path_.c_str(), 2, c_.cmp);
      ASSERT_NE(h, nullptr);
      handles_.push_back(Handle{h, {}, {CBT_NO_MARK, {}}});
    }
    walker_ =
        cbopen(path_.c_str(), 2, c_.cmp);  // walks the tree for the batch checks; its cursor is not tracked
    ASSERT_NE(walker_, nullptr);
    maxlen_ = c_.blksize - 36;

    // Grow with deletions and modifications mixed in, shrink, grow again, then delete everything.
    ASSERT_NO_FATAL_FAILURE(phase(c_.grow_to, 55, 25));
    ASSERT_NO_FATAL_FAILURE(phase(c_.grow_to / 8, 15, 60));
    ASSERT_NO_FATAL_FAILURE(phase(c_.grow_to / 2, 60, 20));
    ASSERT_NO_FATAL_FAILURE(delete_all());

    cbt::CtlRec *ctl = t->ctl;
    EXPECT_EQ(ctl->root, 0);
    EXPECT_EQ(ctl->depth, 0);
    EXPECT_EQ(ctl->lowleaf, 0);
    EXPECT_EQ(ctl->highleaf, 0);
    ASSERT_EQ(cbflush(t), 1);
    CheckResult r = check_index(path_, {.cmp = c_.cmp, .relaxed = true});
    EXPECT_TRUE(r.ok) << r.text();
    EXPECT_EQ(r.stats.unused, ctl->highblock);  // every block but block 0 is on the unused chain
    for (auto &h : handles_) EXPECT_EQ(cbclose(h.t), 1);
    EXPECT_EQ(cbclose(walker_), 1);
  }

 private:
  // Runs batches of random operations until the model holds `target` entries (growing or shrinking
  // towards it); pct_insert and pct_delete of the operations insert and delete, the rest modify or move
  // cursors.
  void phase(size_t target, int pct_insert, int pct_delete) {
    const bool grow = model_.size() < target;
    for (int batch = 0; grow ? model_.size() < target : model_.size() > target; ++batch) {
      for (int i = 0; i < c_.batch; ++i) {
        const int r = static_cast<int>(rng_.below(100));
        if (r < pct_insert) {
          ASSERT_NO_FATAL_FAILURE(op_insert());
        } else if (r < pct_insert + pct_delete) {
          ASSERT_NO_FATAL_FAILURE(op_delete());
        } else if (r < 96) {
          ASSERT_NO_FATAL_FAILURE(op_modify());
        } else {
          ASSERT_NO_FATAL_FAILURE(reposition());
        }
        ASSERT_NO_FATAL_FAILURE(check_positions());
      }
      ASSERT_TRUE(tree_matches_model(walker_, path_, model_, {.relaxed = true})) << "batch " << batch;
      ASSERT_EQ(qrxcbver(walker_), 1) << "batch " << batch;
    }
  }

  void delete_all() {
    std::vector<KeyItem> all = model_.to_vector();
    rng_.shuffle(all);
    size_t n = 0;
    for (const KeyItem &e : all) {
      ASSERT_EQ(call_delete(e), 1) << describe(e);
      removed(e);
      ASSERT_NO_FATAL_FAILURE(check_positions());
      if (++n % 200 == 0 || model_.size() < 10) {
        ASSERT_TRUE(tree_matches_model(walker_, path_, model_, {.relaxed = true})) << n;
      }
    }
  }

  // Keys: often one already in use (equal keys with other items), else new text of a random length,
  // mostly short, sometimes up to the limit.
  std::string new_key() {
    if (!used_keys_.empty() && rng_.one_in(3)) return used_keys_[rng_.below(used_keys_.size())];
    size_t len;
    const uint64_t r = rng_.below(20);
    if (r < 14) {
      len = rng_.below(9);
    } else if (r < 19) {
      len = rng_.below(maxlen_ / 3 + 1);
    } else {
      len = rng_.below(maxlen_ + 1);
    }
    std::string k = rng_.text(len, c_.cmp ? "aAbBcC" : "abcd");
    if (used_keys_.size() < 400) used_keys_.push_back(k);
    return k;
  }
  uint32_t new_item() { return rng_.one_in(4) ? rng_.item() : static_cast<uint32_t>(rng_.below(40)); }
  std::optional<KeyItem> random_entry() {
    if (model_.empty()) return std::nullopt;
    auto it = model_.entries().begin();
    std::advance(it, static_cast<long>(rng_.below(model_.size())));
    return *it;
  }

  int32_t call_delete(const KeyItem &e) {
    cbt::CtlRec *ctl = handles_[0].t->ctl;
    const int32_t high = ctl->highblock;
    const int32_t r = cbdelete(handles_[0].t, e.key.data(), static_cast<uint32_t>(e.key.size()), e.item);
    EXPECT_EQ(ctl->highblock, high) << "deletion grew the file";
    return r;
  }

  // The file may grow only once the unused chain is used up.
  void growth_ok(int32_t high_before) {
    cbt::CtlRec *ctl = handles_[0].t->ctl;
    if (ctl->highblock > high_before) {
      EXPECT_EQ(ctl->freechain, 0) << "the file grew while blocks were unused";
    }
  }

  void op_insert() {
    const KeyItem e{new_key(), new_item()};
    const int32_t dupok = rng_.one_in(3) ? 0 : 1;
    const int want = model_.insert_error(e.key, e.item, dupok);
    const int32_t high = handles_[0].t->ctl->highblock;
    const int32_t r =
        cbinsert(handles_[0].t, e.key.data(), static_cast<uint32_t>(e.key.size()), e.item, dupok);
    growth_ok(high);
    if (want == 0) {
      ASSERT_EQ(r, 1) << "insert " << describe(e) << " error " << *qrxcbecd();
      model_.insert(e.key, e.item);
    } else {
      ASSERT_EQ(r, -1) << "insert " << describe(e);
      ASSERT_EQ(*qrxcbecd(), static_cast<uint32_t>(want)) << "insert " << describe(e);
    }
  }

  void op_delete() {
    std::optional<KeyItem> e = random_entry();
    if (!e || rng_.one_in(5)) {
      const KeyItem absent{new_key(), new_item()};
      if (model_.contains(absent.key, absent.item)) return;
      ASSERT_EQ(call_delete(absent), -1);
      ASSERT_EQ(*qrxcbecd(), model_.empty() ? 19u : 21u) << "delete " << describe(absent);
      return;
    }
    ASSERT_EQ(call_delete(*e), 1) << "delete " << describe(*e) << " error " << *qrxcbecd();
    removed(*e);
  }

  void op_modify() {
    std::optional<KeyItem> from = random_entry();
    if (!from || rng_.one_in(10)) from = KeyItem{new_key(), new_item()};
    KeyItem to;
    const uint64_t kind = rng_.below(20);
    if (kind == 0) {
      to = *from;  // the same pair
    } else if (kind < 7) {
      to = {from->key, new_item()};  // only the item
    } else {
      to = {new_key(), new_item()};
    }
    const int32_t dupok = rng_.one_in(3) ? 0 : 1;

    // What the operation must report, in the order it checks.
    const bool same_pair = compare_entries(c_.cmp, *from, to) == 0;
    const bool same_key = compare_keys(c_.cmp, from->key, to.key) == 0;
    int want = 0;
    if (same_pair) {
      if (handles_[0].cur.stat == CBT_POS_OK && !model_.contains(from->key, from->item)) want = 21;
    } else if (model_.contains(to.key, to.item) || model_.empty()) {
      want = 18;
    } else if (!same_key && dupok == 0 && model_.has_key(to.key)) {
      want = 17;
    } else if (!model_.contains(from->key, from->item)) {
      want = 21;
    }

    Handle &h = handles_[0];
    const int32_t high = h.t->ctl->highblock;
    const int32_t r = cbmodify(h.t, from->key.data(), static_cast<uint32_t>(from->key.size()), from->item,
                               to.key.data(), static_cast<uint32_t>(to.key.size()), to.item, dupok);
    growth_ok(high);
    if (want != 0) {
      ASSERT_EQ(r, -1) << "modify " << describe(*from) << " to " << describe(to);
      ASSERT_EQ(*qrxcbecd(), static_cast<uint32_t>(want))
          << "modify " << describe(*from) << " to " << describe(to);
      return;
    }
    ASSERT_EQ(r, 1) << "modify " << describe(*from) << " to " << describe(to) << " error " << *qrxcbecd();
    if (same_pair) {
      // Only the caller's cursor moves on; nothing else changes.
      if (h.cur.stat == CBT_POS_OK && compare_entries(c_.cmp, h.cur.e, *from) == 0) h.cur = successor(*from);
      return;
    }
    removed(*from);
    model_.insert(to.key, to.item);
  }

  // Cursors and marks on a removed entry move to the entry that followed it, or to EOI.
  void removed(const KeyItem &e) {
    model_.erase(e.key, e.item);
    const Pos next = successor(e);
    for (Handle &h : handles_) {
      for (Pos *p : {&h.cur, &h.mark})
        if (p->stat == CBT_POS_OK && compare_entries(c_.cmp, p->e, e) == 0) *p = next;
    }
  }
  Pos successor(const KeyItem &e) {
    auto it = model_.entries().upper_bound(e);
    if (it == model_.entries().end()) return {CBT_POS_EOI, {}};
    return {CBT_POS_OK, *it};
  }

  void reposition() {
    Handle &h = handles_[rng_.below(handles_.size())];
    uint32_t item = 0;
    switch (rng_.below(5)) {
      case 0:
      case 1: {
        std::optional<KeyItem> e = random_entry();
        if (!e) return;
        item = e->item;
        ASSERT_EQ(cbfinditem(h.t, e->key.data(), static_cast<uint32_t>(e->key.size()), &item), 2);
        h.cur = {CBT_POS_OK, *e};
        break;
      }
      case 2:
        if (model_.empty()) return;
        ASSERT_EQ(cbtail(h.t, &item), 1);
        ASSERT_EQ(cbnext(h.t, &item), -3);
        h.cur = {CBT_POS_EOI, {}};
        break;
      case 3:
        if (model_.empty()) return;
        ASSERT_EQ(cbhead(h.t, &item), 1);
        ASSERT_EQ(cbprev(h.t, &item), -2);
        h.cur = {CBT_POS_BOI, {}};
        break;
      default:
        ASSERT_EQ(cbmark(h.t), 1);
        h.mark = h.cur;
        break;
    }
  }

  void check_positions() {
    for (size_t i = 0; i < handles_.size(); ++i) {
      cbt_tree *t = handles_[i].t;
      SCOPED_TRACE("handle " + std::to_string(i));
      ASSERT_TRUE(position_is(c_.cmp, t, "cursor", t->pos_stat, t->curblock, t->curindex, handles_[i].cur));
      ASSERT_TRUE(position_is(c_.cmp, t, "mark", t->mrk_stat, t->mrkblock, t->mrkindex, handles_[i].mark));
    }
  }

  Config c_;
  std::string path_;
  TreeModel model_;
  Rng rng_;
  std::vector<Handle> handles_;
  cbt_tree *walker_ = nullptr;
  std::vector<std::string> used_keys_;
  size_t maxlen_ = 0;
};

TEST_P(DeleteModelTest, RandomInsertDeleteModify) {
  TempDir dir;
  Runner runner(GetParam(), dir.file("model.idx"));
  runner.run();
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, DeleteModelTest,
    ::testing::Values(Config{88, nullptr, 800, 100, 881}, Config{512, nullptr, 2500, 200, 5121},
                      Config{4096, nullptr, 3000, 400, 40961}, Config{512, nocase_compare, 1500, 200, 5122}),
    [](const testing::TestParamInfo<Config> &info) {
      return "Block" + std::to_string(info.param.blksize) + (info.param.cmp ? "NoCase" : "Bytes");
    });

}  // namespace
}  // namespace qrx::test
