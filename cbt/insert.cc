// insert.cc - cbinsert internals: the first leaf, the descent, insertion into a node (right offload, left
// offload, split, in that order), the byte-balanced split, the re-synchronisation of a parent with its
// child level, and new root levels.
//
// Node layout (node.h): header of 20 bytes, then the directory (leaf 12 = 4 + 4 + 4 bytes per entry,
// interior 16 = 4 + 4 + 4 + 4), key bytes packed at the block end. Room in an empty node is blksize - 20;
// a key of at most blksize - 36 bytes therefore always fits an empty leaf (12 + key) and an interior node
// holding only its low path (16 + key), which is what lets every split make progress.
#include "cbt/insert.h"

#include <algorithm>
#include <cstdlib>

#include "cbt/node.h"
#include "cbt/redist.h"
#include "cbt/search.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

namespace {

// Deepest descent accepted before a tree is declared corrupt.
constexpr int32_t kMaxDepth = 1024;
// A key may take the room of an empty node less one interior entry: blksize - 20 - 16.
constexpr uint32_t kKeyReserve = kHeaderSize + kNodeEntrySize;
static_assert(kKeyReserve == 36);

bool shape_changed(int32_t r) {
  return r == 2 || r == 4 || r == 5;
}

// Keeps the error code a failed step left and names the step under way.
void set_context(Ctx c) {
  thread_codes().context = static_cast<uint32_t>(c);
}

// Reads the right link of block blk; failures carry context ctx.
int32_t read_right(Tree *t, int32_t blk, Ctx ctx, int32_t *right) {
  NodeRef n(t, blk, ctx);
  if (!n) return -1;
  *right = n.view().right();
  return n.release(ctx) < 0 ? -1 : 1;
}

// Where k goes in node: its insertion index, or -1 in an interior node when k is lower than the lowest
// entry under the low path (k's child becomes the low path). 1, or -1 with error 18 (context 21) when the
// exact key and item are there, or the codes of a failed read.
int32_t insertion_index(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t *i) {
  if (B_key_info_loc(t, k, node, i) == 0) {
    set_error(Err::kDupPair, Ctx::kInsertKey);
    return -1;
  }
  if (!NodeView(node).is_leaf() && *i == 0) {
    int32_t c = 0;
    if (B_cmp_low_path(t, k, node, &c) < 0) return -1;
    if (c == 0) {
      set_error(Err::kDupPair, Ctx::kInsertKey);
      return -1;
    }
    if (c < 0) *i = -1;
  }
  return 1;
}

// With dupok 0 no two entries of the tree may have equal keys. Equal keys stand next to each other in
// entry order, so besides the entries around index i of the leaf it is enough to look at the last entry
// of the left leaf (i = 0) and the first entry of the right leaf (i = key_cnt). 1 when k is refused, 0
// when not, -1 when a neighbour cannot be read.
int32_t dup_refused(Tree *t, const KeyInfo &k, const uint8_t *leaf, int32_t i) {
  if (k.dupok != 0) return 0;
  if (B_is_dup_error(t, k, leaf, i)) return 1;
  NodeView n(leaf);
  const int32_t sides[2] = {i == 0 ? n.left() : 0, i == n.key_cnt() ? n.right() : 0};
  for (int side = 0; side < 2; ++side) {
    if (sides[side] == 0) continue;
    NodeRef nb(t, sides[side], Ctx::kInsertKey);
    if (!nb) return -1;
    NodeView v = nb.view();
    if (!v.is_leaf()) {
      set_error(Err::kCorrupt, Ctx::kInsertKey);
      return -1;
    }
    const int32_t at = side == 0 ? v.key_cnt() - 1 : 0;
    const bool equal = v.key_cnt() > 0 && B_node_keycmp(t, k, nb.data(), at);
    if (nb.release(Ctx::kInsertKey) < 0) return -1;
    if (equal) return 1;
  }
  return 0;
}

// Bytes of entries a..b of node (0 when b < a).
int64_t space(const uint8_t *node, int32_t a, int32_t b) {
  return B_calc_key_space(node, a, b);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Top of the insertion.
// ---------------------------------------------------------------------------------------------------

int32_t B_insert(Tree *t, const uint8_t *key, uint32_t len, uint32_t item, int32_t dupok) {
  set_function(Fn::kInsert);
  const uint32_t trace = qrx::trace_flags(&qrx_trace_unit_);  // for the entry and exit events
  QRX_ENTRY_IN(trace);
  // The file's blocks may be smaller than the pool's buffers: the key must fit an empty node of the file.
  if (!B_is_key_valid(len) || uint64_t{len} + kKeyReserve > t->ctl->blksize) {
    QRX_EXIT_IN(trace, -1);
    return -1;
  }
  static const uint8_t kNoBytes[1] = {0};
  KeyInfo k;
  k.key = key ? key : kNoBytes;
  k.len = static_cast<int32_t>(len);
  k.item = item;
  k.dupok = dupok;
  const int32_t r = t->ctl->root == 0 ? B_ins_new_tree(t, k) : B_ins_tree(t, k);
  QRX_EXIT_IN(trace, r);
  return r;
}

int32_t B_ins_new_tree(Tree *t, const KeyInfo &k) {
  CtlRec *c = t->ctl;
  int32_t blk = 0;
  uint8_t *d = B_get_empty_block(t, &blk);
  if (!d) {
    set_context(Ctx::kFirstNode);
    return -1;
  }
  B_init_leaf(d, 0, 0, static_cast<int32_t>(c->blksize));
  if (B_putblk(t, d, false, Ctx::kFirstNode) < 0) return -1;
  c->root = blk;
  c->lowleaf = blk;
  c->highleaf = blk;
  c->depth = 1;
  QRX_DETAIL("First leaf of %s is block %d", c->fname.c_str(), blk);
  return B_ins_node(t, k, blk, 0, 0) == 1 ? 1 : -1;
}

int32_t B_ins_tree(Tree *t, const KeyInfo &k) {
  CtlRec *c = t->ctl;
  int32_t low = 0;
  if (B_get_low_path(t, c->root, &low) < 0) return -1;
  int32_t r;
  if (!B_kind_at(t, low, 0)) {
    set_error(Err::kCorrupt, Ctx::kInsertKey);
    return -1;
  } else if (low == -1) {
    r = B_ins_node(t, k, c->root, 0, 0);
  } else {
    r = ins_subtree(t, k, c->root, 0, 0);
  }
  if (r == -1) return -1;
  if (shape_changed(r) && B_make_root(t) < 0) return -1;
  return 1;
}

int32_t ins_subtree(Tree *t, const KeyInfo &k, int32_t P, int32_t G, int32_t g, int32_t level) {
  if (level >= kMaxDepth) {
    QRX_ERROR("Corrupt tree detected for %s. Max depth (%d) exceeded", t->ctl->fname.c_str(), kMaxDepth);
    set_error(Err::kCorrupt, Ctx::kInsertKey);
    return -1;
  }
  int32_t c = 0;
  const int32_t D = B_loc_subtree(t, k, P, &c);
  if (D < 0) return -1;
  int32_t low = 0;
  if (B_get_low_path(t, D, &low) < 0) return -1;
  int32_t r;
  if (!B_kind_at(t, low, level + 1)) {
    set_error(Err::kCorrupt, Ctx::kInsertKey);
    return -1;
  } else if (low == -1) {
    r = B_ins_node(t, k, D, P, c);
  } else {
    r = ins_subtree(t, k, D, P, c, level + 1);
  }
  if (shape_changed(r)) return add_children(t, P, c, G, g);
  return r;
}

// ---------------------------------------------------------------------------------------------------
// Re-synchronising a parent with its child level.
// ---------------------------------------------------------------------------------------------------

int32_t loc_start(Tree *t, const uint8_t *pnode, int32_t c, int32_t *x, int32_t *s) {
  NodeView pv(pnode);
  const int32_t cnt = pv.key_cnt();
  int32_t at = std::max(c - 1, -1);
  if (cnt < 0 || at >= cnt) {
    set_error(Err::kCorrupt, Ctx::kResync);
    return -1;
  }
  const int32_t start = at == -1 ? pv.low_path() : pv.child(at);
  int32_t right = 0;
  if (read_right(t, start, Ctx::kResync, &right) < 0) return -1;
  ++at;
  if (at < cnt && right == pv.child(at)) {
    // P references that block already (the descended child in the usual case): one more step.
    if (read_right(t, right, Ctx::kResync, &right) < 0) return -1;
    ++at;
  }
  *x = right;
  *s = at;
  return 1;
}

int32_t loc_stop(Tree *t, const uint8_t *pnode, int32_t s, int32_t *stop) {
  NodeView pv(pnode);
  if (s < pv.key_cnt()) {
    *stop = pv.child(s);
    return 1;
  }
  if (pv.right() == 0) {
    *stop = 0;
    return 1;
  }
  NodeRef sib(t, pv.right(), Ctx::kResync);
  if (!sib) return -1;
  *stop = sib.view().low_path();
  return sib.release(Ctx::kResync) < 0 ? -1 : 1;
}

int32_t B_add_low_key(Tree *t, int32_t P, uint8_t *pnode, int32_t X, int32_t G, int32_t g, int32_t *index) {
  int32_t lb = 0;
  if (B_loc_low_blk(t, X, &lb) < 0) return -1;
  NodeRef leaf(t, lb, Ctx::kResync);
  if (!leaf) return -1;
  NodeView lv = leaf.view();
  if (!lv.is_leaf() || lv.key_cnt() < 1) {
    set_error(Err::kCorrupt, Ctx::kResync);
    return -1;
  }
  KeyInfo k;
  k.key = lv.key(0);
  k.len = lv.len(0);
  k.item = lv.item(0);
  k.dupok = 1;
  k.child = X;
  const int32_t r = B_ins_node(t, k, P, G, g);
  if (r < 0) return -1;
  B_key_info_loc(t, k, pnode, index);
  return leaf.release(Ctx::kResync) < 0 ? -1 : r;
}

int32_t add_children(Tree *t, int32_t P, int32_t c, int32_t G, int32_t g) {
  NodeRef pn(t, P, Ctx::kResync);
  if (!pn) return -1;
  int32_t x = 0, s = 0, stop = 0;
  if (loc_start(t, pn.data(), c, &x, &s) < 0) return -1;
  if (loc_stop(t, pn.data(), s, &stop) < 0) return -1;
  int32_t status = 1;
  // The walk follows one level along right: never more steps than the file has blocks.
  for (int32_t steps = 0; x != stop && status != -1; ++steps) {
    if (x == 0 || steps > t->ctl->highblock) {
      QRX_ERROR("Block number %d of %s is corrupt", P, t->ctl->fname.c_str());
      set_error(Err::kCorrupt, Ctx::kResync);
      return -1;
    }
    int32_t at = 0;
    const int32_t r = B_add_low_key(t, P, pn.data(), x, G, g, &at);
    if (r == -1) return -1;
    if (shape_changed(r)) {
      if (at >= pn.view().key_cnt()) {
        // The key went into P's right sibling: go on there.
        P = pn.view().right();
        if (pn.release(Ctx::kResync) < 0) return -1;
        pn = NodeRef(t, P, Ctx::kResync);
        if (!pn) return -1;
      }
      status = r;
    }
    if (B_get_right(t, x, &x) < 0) return -1;
  }
  return pn.release(Ctx::kResync) < 0 ? -1 : status;
}

// ---------------------------------------------------------------------------------------------------
// New root levels.
// ---------------------------------------------------------------------------------------------------

int32_t make_empty_root(Tree *t) {
  CtlRec *c = t->ctl;
  int32_t blk = 0;
  uint8_t *d = B_get_empty_block(t, &blk);
  if (!d) {
    set_context(Ctx::kMakeRoot);
    return -1;
  }
  B_init_node(d, c->root, 0, 0, static_cast<int32_t>(c->blksize));
  NodeView(d).set_key_cnt(0);
  if (B_putblk(t, d, false, Ctx::kMakeRoot) < 0) return -1;
  c->root = blk;
  c->depth += 1;
  QRX_DETAIL("New root %d of %s, depth %d", blk, c->fname.c_str(), c->depth);
  return 1;
}

int32_t B_make_root(Tree *t) {
  CtlRec *c = t->ctl;
  for (int32_t level = 0; level < kMaxDepth; ++level) {
    int32_t s = 0;
    if (read_right(t, c->root, Ctx::kMakeRoot, &s) < 0) return -1;
    if (make_empty_root(t) < 0) return -1;
    int32_t cur = c->root;
    NodeRef node(t, cur, Ctx::kMakeRoot);
    if (!node) return -1;
    for (int32_t steps = 0; s != 0; ++steps) {
      if (steps > c->highblock) {
        set_error(Err::kCorrupt, Ctx::kMakeRoot);
        return -1;
      }
      int32_t at = 0;
      const int32_t r = B_add_low_key(t, cur, node.data(), s, 0, 0, &at);
      if (r < 0) return -1;
      if (r == 2 && at >= node.view().key_cnt()) {
        // The new root was split and the key went into its new right sibling: go on adding there.
        cur = node.view().right();
        if (node.release(Ctx::kMakeRoot) < 0) return -1;
        node = NodeRef(t, cur, Ctx::kMakeRoot);
        if (!node) return -1;
      }
      if (read_right(t, s, Ctx::kMakeRoot, &s) < 0) return -1;
    }
    if (node.release(Ctx::kMakeRoot) < 0) return -1;
    // Done when every key went into the root and the root has no sibling: a level of more than one
    // block gets a further root above it.
    int32_t beside = 0;
    if (cur == c->root && read_right(t, c->root, Ctx::kMakeRoot, &beside) < 0) return -1;
    if (cur == c->root && beside == 0) return 1;
  }
  set_error(Err::kCorrupt, Ctx::kMakeRoot);
  return -1;
}

// ---------------------------------------------------------------------------------------------------
// Insertion into a node.
// ---------------------------------------------------------------------------------------------------

int32_t B_ins_node(Tree *t, const KeyInfo &k, int32_t N, int32_t P, int32_t p) {
  uint8_t *d = B_getblk(t, N, Ctx::kInsertKey);
  if (!d) {
    QRX_ERROR("Unable to retrieve node in file %s: block number %d", t->ctl->fname.c_str(), N);
    return -1;
  }
  NodeView n(d);
  if (n.is_unused()) {  // reached through a damaged link: an unused block has no entries to search
    B_rlseblk(t, d, Ctx::kNone);
    QRX_ERROR("Block number %d of %s is corrupt", N, t->ctl->fname.c_str());
    set_error(Err::kCorrupt, Ctx::kInsertKey);
    return -1;
  }
  int32_t i = 0;
  if (insertion_index(t, k, d, &i) < 0) {
    B_rlseblk(t, d, Ctx::kNone);
    return -1;
  }
  if (n.is_leaf()) {
    const int32_t refused = dup_refused(t, k, d, i);
    if (refused != 0) {
      if (refused > 0) set_error(Err::kDupKey, Ctx::kInsertKey);
      B_rlseblk(t, d, Ctx::kNone);
      return -1;
    }
  }
  const int32_t fit = B_ins_complications(t, k, d, i);
  if (fit < 0) {
    B_rlseblk(t, d, Ctx::kNone);
    return -1;
  }
  int32_t r = fit == 0 ? B_add_key(t, k, N, d, i) : B_make_key_fit(t, k, N, d, i, P, p);
  if (B_putblk(t, d, false, r == -1 ? Ctx::kNone : Ctx::kInsertKey) < 0) r = -1;
  return r;
}

int32_t B_make_key_fit(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P,
                       int32_t p) {
  const int32_t r1 = B_right_offload(t, k, blk, node, i, P, p);
  if (r1 == -1 || r1 == 5) return r1;
  const int32_t r2 = B_left_offload(t, k, blk, node, i, P, p);
  if (r2 == -1 || r2 == 5) return r2;
  // Entries may have moved: find k's place again, the comparison with the low path included (after an
  // interior left shift k may now belong below the new low path).
  if (insertion_index(t, k, node, &i) < 0) return -1;
  const int32_t fit = B_ins_complications(t, k, node, i);
  if (fit < 0) return -1;
  if (fit == 0) {
    if (B_add_key(t, k, blk, node, i) < 0) return -1;
    return (r1 == 4 || r2 == 4) ? 4 : 1;
  }
  return split_node(t, k, blk, node, i, P, p);
}

// ---------------------------------------------------------------------------------------------------
// Splitting.
// ---------------------------------------------------------------------------------------------------

uint32_t rh_shift_key(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i, int32_t s) {
  NodeView n(node);
  if (n.is_leaf()) {
    bool counted;
    if (s == i)
      counted = B_node_keyshare(t, k, node, s - 1);
    else
      counted = n.offset(s - 1) == n.offset(s);
    return kLeafEntrySize + (counted ? 0 : static_cast<uint32_t>(n.len(s - 1)));
  }
  uint32_t d = kNodeEntrySize;
  if (s == i) {
    if (i == n.key_cnt() || !B_node_keyshare(t, k, node, i)) d += static_cast<uint32_t>(k.len);
  } else if (s + 1 == i) {
    if (!B_node_keyshare(t, k, node, s)) d += static_cast<uint32_t>(n.len(s));
  } else if (n.offset(s) != n.offset(s + 1)) {
    d += static_cast<uint32_t>(n.len(s - 1));
  }
  return d;
}

uint32_t lh_shift_key(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i, int32_t s) {
  NodeView n(node);
  bool counted;
  if (s == i)
    counted = B_node_keyshare(t, k, node, s);
  else
    counted = s > 0 && n.offset(s - 1) == n.offset(s);
  return n.esize() + (counted ? 0 : static_cast<uint32_t>(n.len(s)));
}

int32_t split_node(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P, int32_t p) {
  NodeView n(node);
  const bool leaf = n.is_leaf();
  // A key below an interior node's low path must stay in this node: every child of the new right node
  // comes after the low path.
  if (!leaf && i < 0) return split_left(t, k, blk, node, i, P, p);
  const int32_t cnt = n.key_cnt();
  const int64_t left = space(node, 0, i - 1);
  const int64_t right = leaf ? space(node, i, cnt - 1) : space(node, i + 1, cnt - 1);
  if (left > right) return split_right(t, k, blk, node, i, P, p);
  const int64_t add = n.esize() + (i >= 1 && B_node_keyshare(t, k, node, i - 1) ? 0 : k.len);
  if (static_cast<uint32_t>(left + add) < t->ctl->blksize - kHeaderSize)
    return split_left(t, k, blk, node, i, P, p);
  return split_right(t, k, blk, node, i, P, p);
}

int32_t split_right(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P, int32_t p) {
  NodeView n(node);
  const bool leaf = n.is_leaf();
  const int32_t cnt = n.key_cnt();
  const int64_t room = int64_t{t->ctl->blksize} - kHeaderSize;
  int32_t s = i;
  int64_t left = space(node, 0, s - 1);
  int64_t right = space(node, s, cnt - 1);
  if (leaf) right += kLeafEntrySize + (s < cnt && B_node_keyshare(t, k, node, s) ? 0 : k.len);
  while (left > right && s > 1) {
    const int64_t d = rh_shift_key(t, k, node, i, s);
    if (right + d >= room) break;
    if (std::llabs(left - right) <= std::llabs(left - (right + d))) break;
    --s;
    right += d;
    left = space(node, 0, s - 1);
  }
  QRX_DETAIL("Splitting block %d of %s to the right at %d of %d", blk, t->ctl->fname.c_str(), s, cnt);
  if (splice_in_node(t, blk, node) < 0) return -1;
  if (B_move_right(t, blk, cnt - s) < 0) return -1;
  if (B_ins_node(t, k, n.right(), P, p) < 0) return -1;
  return 2;
}

int32_t split_left(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P, int32_t p) {
  NodeView n(node);
  const bool leaf = n.is_leaf();
  const int32_t cnt = n.key_cnt();
  const int64_t room = int64_t{t->ctl->blksize} - kHeaderSize;
  // For k below an interior node's low path (i = -1) the split index starts at 0: the low path stays.
  const int32_t at = std::max(i, 0);
  int32_t s = at;
  auto right_of = [&](int32_t x) { return leaf ? space(node, x, cnt - 1) : space(node, x + 1, cnt - 1); };
  int64_t left =
      space(node, 0, s - 1) + kLeafEntrySize + (s > 0 && B_node_keyshare(t, k, node, s - 1) ? 0 : k.len);
  int64_t right = right_of(s);
  while (left < right && s < cnt) {
    const int64_t d = lh_shift_key(t, k, node, at, s);
    if (left + d >= room) break;
    if (std::llabs(right - left) <= std::llabs(right - (left + d))) break;
    ++s;
    left += d;
    right = right_of(s);
  }
  QRX_DETAIL("Splitting block %d of %s to the left at %d of %d", blk, t->ctl->fname.c_str(), s, cnt);
  if (splice_in_node(t, blk, node) < 0) return -1;
  if (B_move_right(t, blk, cnt - s) < 0) return -1;
  if (B_ins_node(t, k, blk, P, p) < 0) return -1;
  return 2;
}

int32_t splice_in_node(Tree *t, int32_t blk, uint8_t *node) {
  CtlRec *c = t->ctl;
  NodeView n(node);
  int32_t nb = 0;
  uint8_t *d = B_get_empty_block(t, &nb);
  if (!d) return -1;
  const int32_t right = n.right();
  const auto heap = static_cast<int32_t>(c->blksize);
  if (n.is_leaf())
    B_init_leaf(d, blk, right, heap);
  else
    B_init_node(d, n.low_path(), blk, right, heap);
  if (B_putblk(t, d, false, Ctx::kInsertKey) < 0) return -1;
  if (right == 0) {
    if (n.is_leaf()) c->highleaf = nb;
  } else if (B_fix_left(t, right, n.is_leaf(), blk, nb) < 0) {
    return -1;
  }
  n.set_right(nb);
  return 1;
}

}  // namespace qrx::cbt
