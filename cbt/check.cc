// check.cc - the deep check of an open tree (qrxcbchk, cbcheck): qrxcbver's level check, then the
// properties a search, a walk and the next insertion rely on beyond it (the list is in verify.h).
//
// Every block is read through B_getblk, so a block whose structure is damaged is reported, never read
// past its end. Walks are bounded by the blocks the file holds: a level visits each block once at most,
// the unused chain likewise. Nothing in the file changes. One error line per finding, up to
// kMaxFindings; the first findings that make later checks meaningless (a level that cannot be walked)
// end the check.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/node.h"
#include "cbt/pool/pool.h"
#include "cbt/search.h"
#include "cbt/verify.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

namespace {

// What the walk knows of each block 1..limit.
enum class Seen : uint8_t { kNone, kTree, kChain };

class DeepCheck {
 public:
  explicit DeepCheck(Tree *t) : t_(t), c_(t->ctl), name_(t->ctl->fname.c_str()) {}

  int32_t run() {
    if (verify_tree(t_) < 0) return -1;  // its line names the problem
    check_highblock();
    seen_.assign(static_cast<size_t>(limit_) + 1, Seen::kNone);
    if (walk_levels()) {
      check_leaf_ends();
      check_separators();
    }
    walk_chain();
    check_accounting();
    return findings_ == 0 ? 1 : -1;
  }

 private:
  template <class... A>
  void finding(const char *fmt, A... a) {
    if (findings_ < kMaxFindings) QRX_ERROR(fmt, a...);
    ++findings_;
  }

  // highblock must name a block the file holds; walks stop at the last block either way.
  void check_highblock() {
    struct stat st;
    int64_t blocks = c_->highblock + int64_t{1};
    if (fstat(c_->bfile->fd, &st) == 0) blocks = st.st_size / c_->blksize;
    if (c_->highblock < 0 || c_->highblock >= blocks)
      finding("highblock %d of %s is past the last block %d of the file", c_->highblock, name_,
              static_cast<int32_t>(blocks - 1));
    limit_ =
        static_cast<int32_t>(std::clamp<int64_t>(std::min<int64_t>(c_->highblock, blocks - 1), 0, INT32_MAX));
  }

  // Every level from the root along right: one kind per level, left links, entry counts. False when a
  // level cannot be walked (the checks that need the levels are then skipped).
  bool walk_levels() {
    if (c_->root == 0) {
      if (c_->depth != 0 || c_->lowleaf != 0 || c_->highleaf != 0)
        finding("%s is empty but depth %d, lowleaf %d, highleaf %d", name_, c_->depth, c_->lowleaf,
                c_->highleaf);
      return false;
    }
    for (int32_t first = c_->root; first != 0;) {
      const auto level = static_cast<int32_t>(levels_.size()) + 1;
      std::vector<int32_t> nodes;
      bool leaves = false;
      int32_t next_first = 0;
      for (int32_t b = first, prev = 0; b != 0;) {
        if (b < 1 || b > limit_ || seen_[b] != Seen::kNone) {
          finding("Level %d of %s reaches block %d a second time or outside the file", level, name_, b);
          return false;
        }
        seen_[b] = Seen::kTree;
        NodeRef n(t_, b, Ctx::kNone);
        if (!n) {
          finding("Unable to access block %d of %s", b, name_);
          return false;
        }
        const NodeView v = n.view();
        if (nodes.empty()) {
          leaves = v.is_leaf();
          next_first = leaves ? 0 : v.low_path();
        }
        if (v.is_unused() || v.is_leaf() != leaves) {
          finding("Block %d of %s is not a node of level %d's kind", b, name_, level);
          return false;
        }
        if (v.left() != prev) finding("Block %d of %s links left to %d, not to %d", b, name_, v.left(), prev);
        if (leaves ? v.key_cnt() < 1 : (v.key_cnt() < 0 || (b == c_->root && v.key_cnt() < 1)))
          finding("Block %d of %s holds %d entries", b, name_, v.key_cnt());
        nodes.push_back(b);
        prev = b;
        b = v.right();
      }
      levels_.push_back(std::move(nodes));
      first = next_first;
    }
    if (static_cast<int32_t>(levels_.size()) != c_->depth)
      finding("%s has %d levels but depth %d", name_, static_cast<int32_t>(levels_.size()), c_->depth);
    return true;
  }

  void check_leaf_ends() {
    const std::vector<int32_t> &leaves = levels_.back();
    if (c_->lowleaf != leaves.front() || c_->highleaf != leaves.back())
      finding("%s: lowleaf %d and highleaf %d, but the leaf level runs from %d to %d", name_, c_->lowleaf,
              c_->highleaf, leaves.front(), leaves.back());
    for (size_t j = 0; j < leaves.size(); ++j) leaf_at_[leaves[j]] = j;
  }

  // The leftmost leaf under block b, `below` levels down.
  int32_t leftmost_leaf(int32_t b, size_t below) {
    for (; below > 0; --below) {
      NodeRef n(t_, b, Ctx::kNone);
      if (!n || n.view().low_path() <= 0) return 0;
      b = n.view().low_path();
    }
    return b;
  }

  // Each interior entry e naming child c, with L the leftmost leaf under c and P the leaf before L:
  // every entry of P < e <= entry 0 of L. A descent for any entry then ends in the leaf holding it.
  void check_separators() {
    const size_t depth = levels_.size();
    for (size_t l = 0; l + 1 < depth; ++l) {
      for (int32_t b : levels_[l]) {
        NodeRef n(t_, b, Ctx::kNone);
        if (!n) continue;
        const NodeView v = n.view();
        for (int32_t i = 0; i < v.key_cnt(); ++i) {
          const int32_t leaf = leftmost_leaf(v.child(i), depth - l - 2);
          const auto at = leaf_at_.find(leaf);
          if (at == leaf_at_.end()) continue;  // verify_tree has matched children to levels already
          NodeRef low(t_, leaf, Ctx::kNone);
          if (!low || low.view().key_cnt() < 1) continue;
          const NodeView lv = low.view();
          if (B_key_item_cmp(t_, v.key(i), v.len(i), v.item(i), lv.key(0), lv.len(0), lv.item(0)) > 0)
            finding("Entry %d of block %d of %s is above the lowest entry under its child %d", i, b, name_,
                    v.child(i));
          if (at->second == 0) continue;
          NodeRef prev(t_, levels_.back()[at->second - 1], Ctx::kNone);
          if (!prev || prev.view().key_cnt() < 1) continue;
          const NodeView pv = prev.view();
          const int32_t last = pv.key_cnt() - 1;
          if (B_key_item_cmp(t_, pv.key(last), pv.len(last), pv.item(last), v.key(i), v.len(i), v.item(i)) >=
              0)
            finding("Entry %d of block %d of %s does not exceed the entries left of its child %d", i, b,
                    name_, v.child(i));
        }
      }
    }
  }

  void walk_chain() {
    for (int32_t b = c_->freechain; b != 0;) {
      if (b < 1 || b > limit_ || seen_[b] != Seen::kNone) {
        finding("The unused chain of %s reaches block %d %s", name_, b,
                b < 1 || b > limit_ ? "outside the file" : "a second time or in the tree");
        return;
      }
      seen_[b] = Seen::kChain;
      NodeRef n(t_, b, Ctx::kNone);
      if (!n) {
        finding("Unable to access block %d of %s", b, name_);
        return;
      }
      if (!n.view().is_unused()) {
        finding("Block %d on the unused chain of %s is in use", b, name_);
        return;
      }
      b = n.view().next_unused();
    }
  }

  void check_accounting() {
    for (int32_t b = 1; b <= limit_; ++b)
      if (seen_[b] == Seen::kNone)
        finding("Block %d of %s is neither in the tree nor on the unused chain", b, name_);
  }

  Tree *t_;
  CtlRec *c_;
  const char *name_;
  int32_t findings_ = 0;
  int32_t limit_ = 0;  // the last block a walk may visit
  std::vector<Seen> seen_;
  std::vector<std::vector<int32_t>> levels_;     // blocks per level, the root level first
  std::unordered_map<int32_t, size_t> leaf_at_;  // leaf block -> its place on the leaf level
};

}  // namespace

int32_t deep_check(Tree *t) {
  return DeepCheck(t).run();
}

}  // namespace qrx::cbt

using namespace qrx::cbt;

extern "C" QRX_API int32_t qrxcbchk(cbt_tree *tree) {
  QRX_ENTRY();
  int32_t result = -1;
  try {
    TreeLock lock(tree);
    if (lock.ok()) {
      result = deep_check(tree);
      if (result < 0) write_dump_file(tree);
    }
  } catch (...) {
    QRX_ERROR("%s ended by an exception", "qrxcbchk");
    thread_codes().error = static_cast<uint32_t>(Err::kNoMemory);
    result = -1;
  }
  QRX_EXIT(result);
  return result;
}

extern "C" QRX_API int32_t cbcheck(cbt_tree *tree) __attribute__((alias("qrxcbchk")));
