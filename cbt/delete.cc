// delete.cc - cbdelete internals: the leaf step, joining, the unused chain, parent repair and root removal.
//
// A change at one level is reported upward as a result code (1 done, 3 a child became unused) and the
// parent repairs itself by looking at its children, never by receiving a key. Interior entries are not
// rewritten by deletion: after deletions an interior entry is only known to separate its child's subtree
// from everything to its left.
//
// Unused block, as deletion leaves it (the rest of the block keeps its old bytes):
//
//   offset  width  field        meaning
//   0       4      low_path     0
//   4       4      next_unused  the previous head of the unused chain (control record freechain), 0 at its
//   end
//
// Blocks on disk are never trusted: every block comes through B_getblk (structure checked), walks down the
// tree are bounded by 1024 levels, and two blocks are joined only when the parent's view of them agrees
// with their own sibling links, so a damaged file gives error 20 instead of a move into a stranger block.
#include "cbt/delete.h"

#include <algorithm>

#include "cbt/node.h"
#include "cbt/redist.h"
#include "cbt/search.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

namespace {

constexpr int32_t kMaxLevels = 1024;  // deepest descent accepted before the tree counts as corrupt
constexpr int32_t kJoinEntry = 16;    // an interior R's low path becomes one interior entry of L

// The child at position pos of an interior node: the low path for -1. The caller knows it exists.
int32_t child_at(NodeView v, int32_t pos) {
  return pos < 0 ? v.low_path() : v.child(pos);
}

// True when the interior node has a child at position pos (-1 needs a low path, key_cnt >= 0).
bool has_child(NodeView v, int32_t pos) {
  return pos >= -1 && pos < v.key_cnt();
}

int32_t corrupt(Ctx ctx) {
  set_error(Err::kCorrupt, ctx);
  return -1;
}

// Header words of one block, read through a short pin.
struct Header {
  int32_t low_path;
  int32_t left;
  int32_t right;
  int32_t key_cnt;
};

int32_t read_header(Tree *t, int32_t blk, Ctx ctx, Header *h) {
  NodeRef n(t, blk, ctx);
  if (!n) return -1;
  NodeView v = n.view();
  *h = Header{v.low_path(), v.left(), v.right(), v.key_cnt()};
  return n.release(ctx) < 0 ? -1 : 1;
}

}  // namespace

uint32_t B_fill_threshold(uint32_t blksize) {
  const uint32_t x = blksize - 20;
  return (x + 2 * x) >> 2;
}

int32_t B_delete(Tree *t, const uint8_t *key, int32_t len, uint32_t item) {
  set_function(Fn::kDelete);
  if (t->ctl->root == 0) {
    set_error(Err::kEmptyTree, Ctx::kDeleteEmpty);
    return -1;
  }
  KeyInfo k;
  k.key = key;
  k.len = len;
  k.item = item;
  return B_del_tree(t, k);
}

int32_t B_del_tree(Tree *t, const KeyInfo &k) {
  const int32_t root = t->ctl->root;
  int32_t low_path = 0;
  if (B_get_low_path(t, root, &low_path) < 0) return -1;
  int32_t r;
  if (low_path == 0) {
    return corrupt(Ctx::kDeleteUnused);
  } else if (!B_kind_at(t, low_path, 0)) {
    return corrupt(Ctx::kDeleteKey);
  } else if (low_path == -1) {
    r = B_del_node(t, k, root, 0, 0);
  } else {
    r = del_subtree(t, k, root, 0, 0);
  }
  if (r == 3) return B_rmv_root(t);
  return r;
}

int32_t del_subtree(Tree *t, const KeyInfo &k, int32_t P, int32_t G, int32_t g, int32_t level) {
  if (level >= kMaxLevels) {
    QRX_ERROR("Corrupt tree detected for %s. Max depth (%d) exceeded", t->ctl->fname.c_str(), kMaxLevels);
    return corrupt(Ctx::kDeleteKey);
  }
  int32_t c = 0;
  const int32_t D = B_loc_subtree(t, k, P, &c);
  if (D == -1) return -1;
  if (D < 1 || D == P) {
    QRX_ERROR("Block number %d of %s is corrupt", P, t->ctl->fname.c_str());
    return corrupt(Ctx::kDeleteKey);
  }
  int32_t low_path = 0;
  if (B_get_low_path(t, D, &low_path) < 0) return -1;
  int32_t r;
  if (!B_kind_at(t, low_path, level + 1)) {
    return corrupt(Ctx::kDeleteKey);
  } else if (low_path == -1) {
    r = B_del_node(t, k, D, P, c);
  } else {
    r = del_subtree(t, k, D, P, c, level + 1);
  }
  if (r == 3) return rmv_unused_keys(t, P, c, G, g);
  return r;
}

int32_t B_del_node(Tree *t, const KeyInfo &k, int32_t N, int32_t P, int32_t p) {
  NodeRef n(t, N, Ctx::kDeleteKey);
  if (!n) return -1;
  NodeView v = n.view();
  if (!v.is_leaf()) return corrupt(Ctx::kDeleteKey);
  int32_t i = 0;
  if (B_key_info_loc(t, k, n.data(), &i) != 0) {
    n.release(Ctx::kNone);
    set_error(Err::kNotFound, Ctx::kDeleteKey);
    return -1;
  }

  int32_t status = 1;
  const bool keeps_entries = v.key_cnt() > 1;
  // The entry goes with B_del_key in both cases, so that cursors and marks on it move to the next entry
  // (or EOI) while the leaf is still linked to its right sibling; none is left in an unused block.
  B_del_key(t, N, n.data(), i);
  if (!keeps_entries) {
    if (B_release_node(t, N, n.data()) < 0) {
      n.release(Ctx::kNone);
      return -1;
    }
    status = 3;
  }

  if (!v.is_unused() && B_calc_used_space(t, n.data()) < B_fill_threshold(t->ctl->blksize)) {
    const int32_t r = B_compress_tree(t, P, p);
    if (r == -1) {
      status = -1;
    } else if (r == 3) {
      status = 3;
    }
  }

  if (n.put(false, status == -1 ? Ctx::kNone : Ctx::kDeleteKey) < 0) return -1;
  return status;
}

int32_t B_compress_tree(Tree *t, int32_t P, int32_t c) {
  if (P == 0) return 1;
  NodeRef pn(t, P, Ctx::kRemoveUnused);
  if (!pn) return -1;
  NodeView v = pn.view();
  if (v.is_leaf() || v.is_unused() || !has_child(v, c)) return corrupt(Ctx::kRemoveUnused);

  int32_t r1 = 1;
  int32_t r2 = 1;
  int32_t left = 0;  // the block that may absorb the right neighbour in the second step
  if (c > -1) {
    left = child_at(v, c - 1);
    const int32_t child = v.child(c);
    int32_t low_path = 0;
    if (B_get_low_path(t, child, &low_path) < 0) return -1;
    if (low_path != 0) {
      r1 = try_join(t, left, child);
      if (r1 == -1) return -1;
      // A child whose join with its left neighbour is refused is not offered to its right neighbour.
      if (r1 == 1) return pn.release(Ctx::kRemoveUnused) < 0 ? -1 : 1;
    }
  } else {
    left = v.low_path();  // the low path can only absorb its right neighbour
  }

  if (c < v.key_cnt() - 1) {
    const int32_t right = v.child(c + 1);
    int32_t low_path = 0;
    if (B_get_low_path(t, left, &low_path) < 0) return -1;
    if (low_path != 0) {
      r2 = try_join(t, left, right);
      if (r2 == -1) return -1;
    }
  }

  if (pn.release(Ctx::kRemoveUnused) < 0) return -1;
  return (r1 == 3 || r2 == 3) ? 3 : 1;
}

int32_t try_join(Tree *t, int32_t L, int32_t R) {
  Header l{};
  Header r{};
  if (read_header(t, L, Ctx::kGetKeyCnt, &l) < 0) return -1;
  if (read_header(t, R, Ctx::kGetKeyCnt, &r) < 0) return -1;
  // The move empties R into its own left sibling: the parent's pair must be linked neighbours of one kind.
  const bool l_leaf = l.low_path == -1;
  const bool r_leaf = r.low_path == -1;
  if (L == R || l.low_path == 0 || r.low_path == 0 || l_leaf != r_leaf || l.right != R || r.left != L ||
      (!l_leaf && (l.key_cnt < 0 || r.key_cnt < 0))) {
    QRX_ERROR("Blocks %d and %d of %s are not neighbours on one level", L, R, t->ctl->fname.c_str());
    return corrupt(Ctx::kJoin);
  }

  const int32_t space = B_combined_space(t, L, R);
  if (space < 0) return -1;
  const uint32_t blksize = t->ctl->blksize;
  if (!l_leaf && l.key_cnt == 0 && r.key_cnt == 0) {
    // Both have only a low path: always joined (the merged node holds one entry, which fits any block
    // whose keys the library accepts; a hand-made key longer than that is left where it is).
    if (static_cast<uint32_t>(space) > blksize) return 1;
    return B_join_node(t, R) < 0 ? -1 : 3;
  }
  if (static_cast<uint32_t>(space) < B_fill_threshold(blksize)) return B_join_node(t, R) < 0 ? -1 : 3;
  return 1;
}

int32_t B_combined_space(Tree *t, int32_t L, int32_t R) {
  const int32_t left = calc_node_space(t, L);
  if (left < 0) return -1;
  const int32_t right = calc_node_space(t, R);
  if (right < 0) return -1;
  int32_t adjust = 0;
  if (calc_adjust_space(t, L, R, &adjust) < 0) return -1;
  return left + right + adjust + static_cast<int32_t>(kHeaderSize);
}

int32_t calc_node_space(Tree *t, int32_t blk) {
  NodeRef n(t, blk, Ctx::kNodeSpace);
  if (!n) return -1;
  NodeView v = n.view();
  if (v.is_unused()) return corrupt(Ctx::kNodeSpace);  // an unused block's key_cnt means nothing
  const int32_t cnt = v.key_cnt();
  const uint32_t space = cnt <= 0 ? 0 : B_calc_key_space(n.data(), 0, cnt - 1);
  if (n.release(Ctx::kNodeSpace) < 0) return -1;
  return static_cast<int32_t>(space);
}

int32_t calc_adjust_space(Tree *t, int32_t L, int32_t R, int32_t *adj) {
  NodeRef l(t, L, Ctx::kNodeSpace);
  if (!l) return -1;
  NodeRef r(t, R, Ctx::kNodeSpace);
  if (!r) return -1;
  NodeView lv = l.view();
  NodeView rv = r.view();
  if (lv.is_unused() || rv.is_unused() || lv.is_leaf() != rv.is_leaf()) return corrupt(Ctx::kNodeSpace);
  const int32_t lcnt = lv.key_cnt();
  const int32_t rcnt = rv.key_cnt();

  int32_t a = 0;
  if (lv.is_leaf()) {
    // The merged leaf keeps one copy of equal boundary keys.
    if (lcnt > 0 && rcnt > 0 && B_key_share(t, l.data(), lcnt - 1, r.data(), 0)) a = -rv.len(0);
  } else {
    // R's low path becomes an ordinary entry carrying K, the lowest key under it. K shares L's last key's
    // bytes when equal to it, and R's first key then shares K's.
    if (rcnt < 0) return corrupt(Ctx::kNodeSpace);
    int32_t leaf = 0;
    if (B_loc_low_blk(t, rv.low_path(), &leaf) < 0) return -1;
    NodeRef lf(t, leaf, Ctx::kNodeSpace);
    if (!lf) return -1;
    NodeView fv = lf.view();
    if (!fv.is_leaf() || fv.key_cnt() <= 0) return corrupt(Ctx::kNodeSpace);
    KeyInfo K;
    K.key = fv.key(0);
    K.len = fv.len(0);
    K.item = fv.item(0);
    const bool eq_left = lcnt > 0 && B_node_keyshare(t, K, l.data(), lcnt - 1);
    const bool eq_right = rcnt > 0 && B_node_keyshare(t, K, r.data(), 0);
    a = kJoinEntry;
    if (eq_left && eq_right) {
      a -= K.len;
    } else if (!eq_left && !eq_right) {
      a += K.len;
    }
    if (lf.release(Ctx::kNodeSpace) < 0) return -1;
  }
  if (r.release(Ctx::kNodeSpace) < 0) return -1;
  if (l.release(Ctx::kNodeSpace) < 0) return -1;
  *adj = a;
  return 1;
}

int32_t B_join_node(Tree *t, int32_t R) {
  NodeRef r(t, R, Ctx::kJoin);
  if (!r) return -1;
  NodeView v = r.view();
  if (v.is_unused()) return corrupt(Ctx::kJoin);
  // Everything moves: the entries, and an interior node's low path in front of them.
  const int32_t n = v.is_leaf() ? v.key_cnt() : v.key_cnt() + 1;
  if (B_move_left(t, R, n) < 0) return -1;
  if (B_release_node(t, R, r.data()) < 0) return -1;
  return r.put(false, Ctx::kJoin) < 0 ? -1 : 1;
}

int32_t B_release_node(Tree *t, int32_t blk, uint8_t *node) {
  NodeView v(node);
  CtlRec *ctl = t->ctl;
  const int32_t left = v.left();
  const int32_t right = v.right();
  if (v.is_leaf()) {
    if (left == 0) ctl->lowleaf = right;
    if (right == 0) ctl->highleaf = left;
  }
  const bool leaf = v.is_leaf();
  int32_t result = 1;
  ctl->changes += 1;
  if (left != 0 && B_fix_right(t, left, leaf, blk, right) < 0) result = -1;
  if (result == 1 && right != 0 && B_fix_left(t, right, leaf, blk, left) < 0) result = -1;
  v.set_next_unused(ctl->freechain);
  v.set_low_path(0);
  ctl->freechain = blk;
  return result;
}

int32_t rmv_unused_keys(Tree *t, int32_t P, int32_t c, int32_t G, int32_t g) {
  NodeRef pn(t, P, Ctx::kRemoveUnused);
  if (!pn) return -1;
  NodeView v = pn.view();
  if (v.is_leaf() || v.is_unused() || !has_child(v, c)) return corrupt(Ctx::kRemoveUnused);

  int32_t u = 0;
  if (loc_unused_key(t, pn.data(), c, &u) < 0) return -1;
  int32_t next = 0;
  if (loc_next_child(t, pn.data(), u, &next) < 0) return -1;
  // Each pass removes one entry (at -1 the low path, entry 0's child taking its place), so the walk ends.
  while (u < v.key_cnt() && child_at(v, u) != next) B_rmvkey_here(t, pn.data(), u);

  int32_t status = 1;
  const int32_t cnt = v.key_cnt();
  if (G == 0) {
    // A root left with its low path only gives way to it; one left without any child empties the tree.
    if (cnt <= 0) status = 3;
  } else if (cnt == -1) {
    if (B_release_node(t, P, pn.data()) < 0) {
      pn.release(Ctx::kNone);
      return -1;
    }
    status = 3;
  }
  if (pn.put(false, Ctx::kRemoveUnused) < 0) return -1;
  // Interior nodes are offered for joining after every repair; the combined space decides.
  if (G != 0 && status == 1) return B_compress_tree(t, G, g);
  return status;
}

int32_t loc_unused_key(Tree *t, const uint8_t *node, int32_t c, int32_t *index) {
  NodeView v(node);
  const int32_t u = std::max(c - 1, -1);
  for (int32_t pos = u; pos <= u + 1; ++pos) {
    if (!has_child(v, pos)) break;
    int32_t low_path = 0;
    if (B_get_low_path(t, child_at(v, pos), &low_path) < 0) return -1;
    if (low_path == 0) {
      *index = pos;
      return 1;
    }
  }
  *index = u + 2;
  return 1;
}

int32_t loc_next_child(Tree *t, const uint8_t *node, int32_t index, int32_t *blk) {
  NodeView v(node);
  if (index < 0) {
    if (v.key_cnt() > 0) {
      *blk = v.child(0);
      return 1;
    }
    // Only the low path was there: the next child on the level is the first one of P's right sibling.
    if (v.right() == 0) {
      *blk = 0;
      return 1;
    }
    return B_get_low_path(t, v.right(), blk) < 0 ? -1 : 1;
  }
  if (index > v.key_cnt()) {  // nothing at or after index: no entry will be looked at
    *blk = 0;
    return 1;
  }
  // The release of the unused children has already pointed this child's right link past them.
  return B_get_right(t, child_at(v, index - 1), blk) < 0 ? -1 : 1;
}

int32_t B_rmv_root(Tree *t) {
  CtlRec *ctl = t->ctl;
  // The child that takes the root's place may itself have only its low path (interior nodes joined with
  // nothing and left with one child, on every level below): the tree is lowered until the root has two
  // children or is a leaf, so that no root is ever left with a single child.
  for (int32_t level = 0; level < kMaxLevels; ++level) {
    const int32_t root = ctl->root;
    NodeRef rn(t, root, Ctx::kRemoveRoot);
    if (!rn) return -1;
    NodeView v = rn.view();
    if (level == 0) {
      if (v.is_leaf() || v.key_cnt() > 0) return corrupt(Ctx::kRemoveRoot);  // nothing to remove
    } else {
      if (v.is_unused()) return corrupt(Ctx::kRemoveRoot);
      if (v.is_leaf() || v.key_cnt() != 0) return rn.release(Ctx::kRemoveRoot) < 0 ? -1 : 1;
    }

    if (!v.is_unused() && v.key_cnt() == 0) {
      // An interior root with its low path only: the child becomes the root.
      const int32_t child = v.low_path();
      if (B_release_node(t, root, rn.data()) < 0) {
        rn.release(Ctx::kNone);
        return -1;
      }
      ctl->root = child;
      ctl->depth -= 1;
    } else {
      // The emptied leaf root is already on the unused chain; an interior root without any child goes
      // there now. Either way the tree is empty.
      if (!v.is_unused() && B_release_node(t, root, rn.data()) < 0) {
        rn.release(Ctx::kNone);
        return -1;
      }
      ctl->root = 0;
      ctl->depth = 0;
      ctl->lowleaf = 0;
      ctl->highleaf = 0;
    }
    if (rn.put(false, Ctx::kRemoveRoot) < 0) return -1;
    if (ctl->root == 0) return 1;
  }
  return corrupt(Ctx::kRemoveRoot);
}

}  // namespace qrx::cbt
