// redist.cc - redistribution of entries between neighbouring nodes of one level: the offloads (one entry
// at a time into a sibling under the same parent) and the bulk moves B_move_right and B_move_left.
//
// Node layout (node.h): header of 20 bytes (low_path, left, right, key_cnt, heap_end), then the entry
// directory (leaf 12 = offset + len + item, interior 16 = ... + child), key bytes packed from heap_end to
// the block end in entry order; neighbours with equal keys of equal length share one copy. Every step
// here leaves both nodes in exactly that layout: freed directory slots and freed key bytes are zeroed.
//
// Write order: a node that receives entries is written at once, while the node that gave them is still
// held and so cannot be written back yet. Whenever the process ends, every entry is then on disk in the
// giver's old image or in the receiver's new one: a flushed entry is never lost between two writes, and
// the block-order dump (qrxcbdmp mode 1) can still find it. A receiver whose write fails stays dirty and
// goes out with the write-back, as before; the operation does not fail for it.
#include "cbt/redist.h"

#include <algorithm>
#include <cstring>

#include "cbt/node.h"
#include "cbt/search.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

namespace {

// Index of the entry of interior node pnode whose child is blk (-1 for the low path), trying `hint`
// first; -2 when the node does not reference blk.
int32_t child_index(const uint8_t *pnode, int32_t blk, int32_t hint) {
  NodeView pv(pnode);
  const int32_t cnt = pv.key_cnt();
  if (hint >= 0 && hint < cnt && pv.child(hint) == blk) return hint;
  if (cnt >= 0 && pv.low_path() == blk) return -1;
  for (int32_t q = 0; q < cnt; ++q)
    if (pv.child(q) == blk) return q;
  return -2;
}

// True when the key bytes (k1, l1) may share the bytes of (k2, l2): equal under the compare function and
// of the same length.
bool same_bytes(Tree *t, const uint8_t *k1, int32_t l1, const uint8_t *k2, int32_t l2) {
  return l1 == l2 && B_keycmp(t, k1, l1, k2, l2) == 0;
}

KeyInfo entry_info(const NodeView &n, int32_t j) {
  KeyInfo k;
  k.key = n.key(j);
  k.len = n.len(j);
  k.item = n.item(j);
  k.dupok = 1;
  k.child = n.is_leaf() ? 0 : n.child(j);
  return k;
}

// ---------------------------------------------------------------------------------------------------
// Shifts of the offloads.
// ---------------------------------------------------------------------------------------------------

// Leaf: entries move from the end of N to the front of R, never those before index i. B_add_key moves
// every position in R one place on; B_del_key moves a position on N's last entry to R's entry 0, which is
// where that entry went.
int32_t l_shift_right(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t rblk,
                      uint8_t *rnode) {
  NodeView n(node);
  const uint8_t *const block_end = node + t->ctl->blksize;
  int32_t result = 1;
  for (int32_t j = n.key_cnt() - 1; j >= i; --j) {
    const KeyInfo kj = entry_info(n, j);
    const int32_t fit = B_ins_complications(t, kj, rnode, 0);
    if (fit < 0) return -1;
    if (fit == 1) break;
    if (B_add_key(t, kj, rblk, rnode, 0) < 0) return -1;
    result = 4;
    // Entry j is N's last: k fits once it has gone exactly when k fits among entries 0..j-1 now (what
    // B_ins_complications answers afterwards; a leaf left empty takes any key). B_replace_last reads k's
    // bytes after the heap has moved, so a key held in this leaf itself takes the two separate steps.
    const bool now = j == 0 || B_key_fit(t, k, node, i, 0, j - 1);
    if (now && (k.len == 0 || k.key < node || k.key >= block_end)) {
      B_replace_last(t, k, blk, node, i);
      return 5;
    }
    B_del_key(t, blk, node, j);
    if (now) {
      if (B_add_key(t, k, blk, node, i) < 0) return -1;
      return 5;
    }
  }
  if (i == n.key_cnt()) {
    // Every entry from i on has moved: k itself belongs at the front of R.
    const int32_t fit = B_ins_complications(t, k, rnode, 0);
    if (fit < 0) return -1;
    if (fit == 0) {
      if (B_add_key(t, k, rblk, rnode, 0) < 0) return -1;
      result = 5;
    }
  }
  return result;
}

// Interior: each moved entry becomes R's new low path (its key dropped) and R's old low path becomes R's
// entry 0 with the lowest key under it. No cursors live in interior nodes.
int32_t i_shift_right(Tree *t, const KeyInfo &k, uint8_t *node, int32_t i, uint8_t *rnode) {
  NodeView n(node);
  int32_t result = 1;
  // With i = -1 (k becomes N's low path) every entry may go; the low path itself stays.
  for (int32_t j = n.key_cnt() - 1; j >= std::max(i, 0); --j) {
    const KeyInfo kj = entry_info(n, j);
    const int32_t fit = B_ins_complications(t, kj, rnode, -1);
    if (fit < 0) return -1;
    if (fit == 1) break;
    if (B_addkey_here(t, kj, rnode, -1) < 0) return -1;
    B_rmvkey_here(t, node, j);
    result = 4;
    const int32_t now = B_ins_complications(t, k, node, i);
    if (now < 0) return -1;
    if (now == 0) {
      if (B_addkey_here(t, k, node, i) < 0) return -1;
      return 5;
    }
  }
  if (i == n.key_cnt()) {
    const int32_t fit = B_ins_complications(t, k, rnode, -1);
    if (fit < 0) return -1;
    if (fit == 0) {
      if (B_addkey_here(t, k, rnode, -1) < 0) return -1;
      result = 5;
    }
  }
  return result;
}

// Leaf: entries move from the front of N to the end of L, never those at or after index i.
int32_t l_shift_left(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t lblk,
                     uint8_t *lnode) {
  NodeView l(lnode);
  NodeView n(node);
  int32_t result = 1;
  while (i > 0) {
    const KeyInfo k0 = entry_info(n, 0);
    const int32_t fit = B_ins_complications(t, k0, lnode, l.key_cnt());
    if (fit < 0) return -1;
    if (fit == 1) break;
    if (B_add_key(t, k0, lblk, lnode, l.key_cnt()) < 0) return -1;
    B_rmvkey_here(t, node, 0);
    const int32_t last = l.key_cnt() - 1;
    for_each_position(t, [&](int32_t &, int32_t &block, int32_t &index) {
      if (block != blk) return;
      if (index == 0) {
        block = lblk;
        index = last;
      } else if (index > 0) {
        --index;
      }
    });
    result = 4;
    --i;
    const int32_t now = B_ins_complications(t, k, node, i);
    if (now < 0) return -1;
    if (now == 0) {
      if (B_add_key(t, k, blk, node, i) < 0) return -1;
      return 5;
    }
  }
  if (i == 0) {
    // k belongs before every entry left in N, that is right after L's last entry.
    const int32_t fit = B_ins_complications(t, k, lnode, l.key_cnt());
    if (fit < 0) return -1;
    if (fit == 0) {
      if (B_add_key(t, k, lblk, lnode, l.key_cnt()) < 0) return -1;
      result = 5;
    }
  }
  return result;
}

// Interior: N's low path moves first, as an entry of L carrying the lowest key under it; N's entry 0
// then becomes N's low path (its key dropped).
int32_t i_shift_left(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, uint8_t *lnode) {
  NodeView l(lnode);
  int32_t result = 1;
  while (i > -1) {
    int32_t lb = 0;
    if (B_loc_low_blk(t, blk, &lb) < 0) return -1;
    NodeRef leaf(t, lb, Ctx::kShiftLeft);
    if (!leaf) return -1;
    NodeView lv = leaf.view();
    if (!lv.is_leaf() || lv.key_cnt() < 1) {
      set_error(Err::kCorrupt, Ctx::kShiftLeft);
      return -1;
    }
    KeyInfo low;
    low.key = lv.key(0);
    low.len = lv.len(0);
    low.item = lv.item(0);
    low.dupok = 1;
    low.child = NodeView(node).low_path();
    const int32_t fit = B_ins_complications(t, low, lnode, l.key_cnt());
    if (fit < 0) return -1;
    if (fit == 1) {
      if (leaf.release(Ctx::kShiftLeft) < 0) return -1;
      break;
    }
    if (B_addkey_here(t, low, lnode, l.key_cnt()) < 0) return -1;
    B_rmvkey_here(t, node, -1);
    result = 4;
    --i;
    if (leaf.release(Ctx::kShiftLeft) < 0) return -1;
    const int32_t now = B_ins_complications(t, k, node, i);
    if (now < 0) return -1;
    if (now == 0) {
      if (B_addkey_here(t, k, node, i) < 0) return -1;
      return 5;
    }
  }
  if (i == -1) {
    const int32_t fit = B_ins_complications(t, k, lnode, l.key_cnt());
    if (fit < 0) return -1;
    if (fit == 0) {
      if (B_addkey_here(t, k, lnode, l.key_cnt()) < 0) return -1;
      result = 5;
    }
  }
  return result;
}

// Gets the sibling sblk of node (block blk) for an offload and checks that it is another node of the same
// kind whose link at `back` (its left for a right sibling, its right for a left one) names blk.
bool get_sibling(Tree *t, int32_t blk, const uint8_t *node, int32_t sblk, uint32_t back, Ctx ctx,
                 NodeRef *sib) {
  if (sblk == blk) {
    QRX_ERROR("Block number %d of %s points to itself", blk, t->ctl->fname.c_str());
    set_error(Err::kCorrupt, ctx);
    return false;
  }
  *sib = NodeRef(t, sblk, ctx);
  if (!*sib) return false;
  NodeView s = sib->view();
  if (s.is_unused() || s.is_leaf() != NodeView(node).is_leaf() || codec::load_i32(sib->data(), back) != blk) {
    QRX_ERROR("Block number %d of %s is corrupt", sblk, t->ctl->fname.c_str());
    set_error(Err::kCorrupt, ctx);
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Offloads.
// ---------------------------------------------------------------------------------------------------

int32_t right_sibling(Tree *t, int32_t P, int32_t p, int32_t N, int32_t R) {
  if (P == 0) return 0;
  NodeRef parent(t, P, Ctx::kShiftRight);
  if (!parent) return -1;
  // Inside one re-synchronisation walk every insertion into this level is given the same position p, so
  // after a shift has removed P's entry for N, or for a node N was spliced from, p names some other
  // child. The decision is therefore made from the blocks themselves. When P still names N (as an entry
  // or as its low path), N's right neighbour is under P exactly when N is not P's last child: it is
  // either the next entry's child or a node spliced in before it. When P no longer names N, only a
  // neighbour that P names by an entry is known to be under P; a neighbour P does not name might be the
  // first child of P's right sibling, whose lowest key must not change, so it is not used.
  const int32_t q = child_index(parent.data(), N, p);
  const int32_t r = q >= -1 ? (q < parent.view().key_cnt() - 1 ? 1 : 0)
                            : (child_index(parent.data(), R, p + 1) >= 0 ? 1 : 0);
  if (parent.release(Ctx::kShiftRight) < 0) return -1;
  return r;
}

bool left_sibling(int32_t P, int32_t p) {
  return P != 0 && p > -1;
}

int32_t shift_right(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t sblk,
                    uint8_t *sib) {
  return NodeView(node).is_leaf() ? l_shift_right(t, k, blk, node, i, sblk, sib)
                                  : i_shift_right(t, k, node, i, sib);
}

int32_t shift_left(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t sblk,
                   uint8_t *sib) {
  return NodeView(node).is_leaf() ? l_shift_left(t, k, blk, node, i, sblk, sib)
                                  : i_shift_left(t, k, blk, node, i, sib);
}

namespace {

// P's entry for block blk, whose lowest key a shift changed, is removed; the parent level re-adds blk with
// its new lowest key when it re-synchronises. Only the entry that names blk may go. The entry at the
// usual index (hint) names another child once an earlier shift of the same walk removed an entry of P:
// that child's key is still right, and when it stands beyond the first child P still names after the
// changed ones, the parent level's walk (which stops at that child) never re-adds it. When P has no entry
// for blk (a node spliced in by a split, or one whose entry is already gone) there is nothing stale to
// remove: the re-synchronisation adds it with its current lowest key.
// in_place(pnode) may instead bring the entry up to date where it stands (true when it did).
template <class InPlace>
int32_t adj_parent(Tree *t, int32_t P, int32_t hint, int32_t blk, Ctx ctx, InPlace in_place) {
  NodeRef parent(t, P, ctx);
  if (!parent) return -1;
  if (!in_place(parent.data())) {
    const int32_t q = child_index(parent.data(), blk, hint);
    if (q >= 0) B_rmvkey_here(t, parent.data(), q);
  }
  return parent.put(false, ctx) < 0 ? -1 : 1;
}

bool never(uint8_t *) {
  return false;
}

// After a leaf shift into R that also placed the new key (result 5): the bytes the removal of P's entry
// for R and its re-insertion by the parent's re-synchronisation produce, written directly, when it is
// sure that they are those. That holds when
//   - P holds N at p >= 0 and R at q = p + 1, not as its last entry, and the child after R is R's right
//     neighbour, while N's left link names the child before N (whose right link then names N: a split
//     or release that fails half-way leaves the two links disagreeing only at a node that no parent
//     references or that is unused): the re-synchronisation's walk then visits R alone;
//   - R's new lowest key has the length of the old one, whose bytes are shared with no neighbour, and it
//     lies strictly between the keys of entries q-1 and q+1: the re-insertion then goes to index q, into
//     the room the removal made, sharing nothing, at the offset the entry had (entries q-1 and q+1 do not
//     share bytes either: entry q's own bytes lie between theirs in a packed heap).
// The walk then finds R referenced and adds nothing, as it would have added nothing after R. True when
// the entry was rewritten; false leaves P untouched.
bool rekey_in_place(Tree *t, uint8_t *pnode, int32_t p, int32_t N, const uint8_t *node, int32_t R,
                    const uint8_t *rnode) {
  NodeView pv(pnode), nv(node), rv(rnode);
  const int32_t q = p + 1;
  if (p < 0 || q + 1 >= pv.key_cnt() || rv.key_cnt() < 1) return false;
  if (pv.child(p) != N || pv.child(q) != R || pv.child(q + 1) != rv.right() || rv.right() == R) return false;
  if (nv.left() != (p == 0 ? pv.low_path() : pv.child(p - 1))) return false;
  const int32_t len = rv.len(0);
  if (len != pv.len(q) || is_key_duplicate(pnode, q)) return false;
  const uint8_t *key = rv.key(0);
  if (B_keycmp(t, key, len, pv.key(q - 1), pv.len(q - 1)) <= 0) return false;
  if (B_keycmp(t, key, len, pv.key(q + 1), pv.len(q + 1)) >= 0) return false;
  if (len > 0) std::memcpy(pnode + pv.offset(q), key, static_cast<size_t>(len));
  pv.set_item(q, rv.item(0));
  return true;
}

}  // namespace

int32_t adj_r_parent(Tree *t, int32_t P, int32_t p, int32_t R) {
  return adj_parent(t, P, p + 1, R, Ctx::kShiftRight, never);
}

int32_t adj_l_parent(Tree *t, int32_t P, int32_t p, int32_t N) {
  return adj_parent(t, P, p, N, Ctx::kShiftLeft, never);
}

int32_t B_right_offload(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P,
                        int32_t p) {
  const int32_t rblk = NodeView(node).right();
  const int32_t has = right_sibling(t, P, p, blk, rblk);
  if (has <= 0) return has < 0 ? -1 : 1;
  NodeRef r;
  if (!get_sibling(t, blk, node, rblk, kLeftOff, Ctx::kShiftRight, &r)) return -1;
  int32_t result = shift_right(t, k, blk, node, i, rblk, r.data());
  if (result == 4 || result == 5) {
    const bool leaf_placed = result == 5 && NodeView(node).is_leaf();
    auto in_place = [&](uint8_t *pnode) {
      return leaf_placed && rekey_in_place(t, pnode, p, blk, node, rblk, r.data());
    };
    if (adj_parent(t, P, p + 1, rblk, Ctx::kShiftRight, in_place) < 0) result = -1;
  }
  if (r.write_release(result == -1 ? Ctx::kNone : Ctx::kShiftRight) < 0) result = -1;  // receiver first
  return result;
}

int32_t B_left_offload(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P,
                       int32_t p) {
  if (!left_sibling(P, p)) return 1;
  const int32_t lblk = NodeView(node).left();
  NodeRef l;
  if (!get_sibling(t, blk, node, lblk, kRightOff, Ctx::kShiftLeft, &l)) return -1;
  int32_t result = shift_left(t, k, blk, node, i, lblk, l.data());
  if ((result == 4 || result == 5) && adj_l_parent(t, P, p, blk) < 0) result = -1;
  if (l.write_release(result == -1 ? Ctx::kNone : Ctx::kShiftLeft) < 0) result = -1;  // receiver first
  return result;
}

// ---------------------------------------------------------------------------------------------------
// Bulk move to the right.
// ---------------------------------------------------------------------------------------------------

namespace {

// Moves the positions of every handle on block `from` at index `first` or above to block `to`, index
// minus first plus `base`.
void move_positions(Tree *t, int32_t from, int32_t first, int32_t to, int32_t base) {
  for_each_position(t, [&](int32_t &, int32_t &block, int32_t &index) {
    if (block == from && index >= first) {
      block = to;
      index = index - first + base;
    }
  });
}

// The directory entries dst[0..m-1] hold the offsets their keys had in the source node; the key bytes of
// the ones that did not share were copied in order to `pos` onwards. Gives each entry its new offset:
// an entry that shared its bytes with the next one keeps the position for that one.
void up_key(NodeView dst, int32_t first, int32_t m, int32_t pos) {
  if (m <= 0) return;
  const uint32_t e = dst.esize();
  uint8_t *p = dst.data() + dst.entry_pos(first);
  int32_t old = codec::load_i32(p, kEntryOffsetOff);
  int32_t len = codec::load_i32(p, kEntryLenOff);
  for (int32_t x = 0; x < m; ++x, p += e) {
    codec::store_i32(p, kEntryOffsetOff, pos);
    if (x + 1 == m) break;
    const int32_t next_old = codec::load_i32(p + e, kEntryOffsetOff);
    const int32_t next_len = codec::load_i32(p + e, kEntryLenOff);
    const bool shares_next = next_old == old && next_len == len && len > 0;
    if (!shares_next) pos += len;
    old = next_old;
    len = next_len;
  }
}

}  // namespace

int32_t B_move_right(Tree *t, int32_t B, int32_t n) {
  if (n == 0) return 1;
  constexpr Ctx ctx = Ctx::kMoveRight;
  NodeRef b(t, B, ctx);
  if (!b) return -1;
  NodeView bv = b.view();
  const int32_t rblk = bv.right();
  NodeRef r(t, rblk, ctx);
  if (!r) return -1;
  NodeView rv = r.view();
  const bool leaf = bv.is_leaf();
  const int32_t kc = bv.key_cnt();
  const int32_t blksize = static_cast<int32_t>(t->ctl->blksize);
  if (rblk == B || rv.is_unused() || rv.is_leaf() != leaf || rv.left() != B || n < 0 || n > kc ||
      (!leaf && n < 1)) {
    set_error(Err::kCorrupt, ctx);
    return -1;
  }
  const int32_t e = static_cast<int32_t>(bv.esize());
  const int32_t f = kc - n;             // first entry leaving B
  const int32_t fc = leaf ? f : f + 1;  // first entry that keeps its key (interior: f becomes R's low path)
  const int32_t m = kc - fc;            // directory entries R gains from B
  const int32_t rkc = rv.key_cnt();
  const bool r_full = leaf ? rkc > 0 : rkc >= 0;  // R already holds entries (or, interior, a low path)

  // R's old low path becomes entry n - 1 (interior, non-empty R): its key, from the leftmost leaf under it.
  NodeRef lpleaf;
  KeyInfo lp;
  int32_t lp_bytes = 0;  // heap bytes the low path's key needs (0 when it shares R's old entry 0)
  if (!leaf && r_full) {
    if (!B_lowest_under_low_path(t, rv, Ctx::kLowPathRight, &lpleaf, &lp)) return -1;
    lp.dupok = 1;
    const bool shared = rkc >= 1 && same_bytes(t, lp.key, lp.len, rv.key(0), rv.len(0));
    lp_bytes = shared ? 0 : lp.len;
  }
  // Key bytes copied from B: from the first copied entry to the block end, without B's last key when it
  // will share the bytes of R's first old entry (the low-path entry in an interior R).
  int32_t span = m > 0 ? blksize - bv.offset(fc) : 0;
  if (m > 0 && r_full) {
    bool last_shared = false;
    if (!leaf)
      last_shared = same_bytes(t, bv.key(kc - 1), bv.len(kc - 1), lp.key, lp.len);
    else
      last_shared = same_bytes(t, bv.key(kc - 1), bv.len(kc - 1), rv.key(0), rv.len(0));
    if (last_shared) span -= bv.len(kc - 1);
  }
  const int32_t old_cnt = r_full ? std::max(rkc, 0) + (leaf ? 0 : 1) : 0;
  const int32_t new_cnt = old_cnt + m;
  const int32_t new_heap = rv.heap_end() - lp_bytes - span;
  if (static_cast<int64_t>(kHeaderSize) + int64_t{new_cnt} * e > new_heap) {
    QRX_ERROR("Block number %d of %s has no room for %d entries of block %d", rblk, t->ctl->fname.c_str(), n,
              B);
    set_error(Err::kCorrupt, ctx);
    return -1;
  }
  uint8_t *rd = r.data();
  uint8_t *bd = b.data();

  // mk_rm_right: R's entries move up by n slots; in an interior R its low path becomes entry n - 1.
  if (r_full) {
    if (leaf) {
      std::memmove(rd + rv.entry_pos(n), rd + rv.entry_pos(0), static_cast<size_t>(rkc) * e);
      move_positions(t, rblk, 0, rblk, n);
    } else {
      const int32_t cnt = std::max(rkc, 0);
      std::memmove(rd + rv.entry_pos(n), rd + rv.entry_pos(0), static_cast<size_t>(cnt) * e);
      // The low path's key goes right in front of R's old first key, or shares that key's bytes.
      int32_t off = cnt > 0 ? rv.offset(n) : rv.heap_end();
      if (lp_bytes > 0) {
        off = rv.heap_end() - lp.len;
        std::memcpy(rd + off, lp.key, static_cast<size_t>(lp.len));
        rv.set_heap_end(off);
      }
      rv.set_offset(n - 1, off);
      rv.set_len(n - 1, lp.len);
      rv.set_item(n - 1, lp.item);
      rv.set_child(n - 1, lp.child);
    }
  }
  if (lpleaf && lpleaf.release(Ctx::kLowPathRight) < 0) return -1;

  // mv_ov_right: the directory entries, still holding B's offsets.
  if (!leaf) rv.set_low_path(bv.child(f));
  if (m > 0) std::memcpy(rd + rv.entry_pos(0), bd + bv.entry_pos(fc), static_cast<size_t>(m) * e);
  // sh_key_right, up_key_right.
  const int32_t heap = rv.heap_end() - span;
  if (span > 0) std::memcpy(rd + heap, bd + bv.offset(fc), static_cast<size_t>(span));
  rv.set_heap_end(heap);
  if (m > 0) up_key(rv, 0, m, heap);
  rv.set_key_cnt(new_cnt);  // an empty interior R now has its low path and m entries

  // cln_up_right: B keeps its first f entries, their bytes moved to the block end.
  const int32_t keep = f;
  const int32_t old_heap = bv.heap_end();
  int32_t dist;
  if (keep == 0) {
    dist = blksize - old_heap;
  } else {
    const int32_t end = bv.offset(keep - 1) + bv.len(keep - 1);
    dist = blksize - end;
    std::memmove(bd + old_heap + dist, bd + old_heap, static_cast<size_t>(end - old_heap));
    shift_offsets(bd, static_cast<uint32_t>(e), 0, keep, dist);
  }
  std::memset(bd + old_heap, 0, static_cast<size_t>(dist));
  bv.set_heap_end(old_heap + dist);
  std::memset(bd + bv.entry_pos(keep), 0, static_cast<size_t>(kc - keep) * e);
  bv.set_key_cnt(kc - n);

  // ad_cur_right: positions on the moved leaf entries follow them.
  if (leaf) move_positions(t, B, keep, rblk, 0);

  if (r.write_release(ctx) < 0) {  // the receiver reaches the disk before the giver can
    b.put(true, Ctx::kNone);
    set_error(Err::kPutBlock, ctx);
    return -1;
  }
  return b.put(false, ctx) < 0 ? -1 : 1;
}

// ---------------------------------------------------------------------------------------------------
// Bulk move to the left.
// ---------------------------------------------------------------------------------------------------

int32_t B_move_left(Tree *t, int32_t B, int32_t n) {
  if (n == 0) return 1;
  constexpr Ctx ctx = Ctx::kMoveLeft;
  NodeRef b(t, B, ctx);
  if (!b) return -1;
  NodeView bv = b.view();
  const int32_t lblk = bv.left();
  NodeRef l(t, lblk, ctx);
  if (!l) return -1;
  NodeView lv = l.view();
  const bool leaf = bv.is_leaf();
  const int32_t kc = bv.key_cnt();
  const int32_t blksize = static_cast<int32_t>(t->ctl->blksize);
  const int32_t limit = leaf ? kc : kc + 1;
  if (lblk == B || lv.is_unused() || lv.is_leaf() != leaf || lv.right() != B || n < 0 || n > limit) {
    set_error(Err::kCorrupt, ctx);
    return -1;
  }
  const int32_t e = static_cast<int32_t>(bv.esize());
  const int32_t m = leaf ? n : n - 1;  // directory entries copied from B after the low path
  const int32_t lkc_before = std::max(lv.key_cnt(), 0);

  // An interior B's low path goes first, as an entry of L with the lowest key under it (mv_lp_left). In
  // an empty interior L (no low path either) it becomes L's low path instead.
  NodeRef lpleaf;
  KeyInfo lp;
  int32_t lp_at = 0, lp_bytes = 0, lp_entries = 0;
  if (!leaf) {
    if (!B_lowest_under_low_path(t, bv, Ctx::kLowPathLeft, &lpleaf, &lp)) return -1;
    lp.dupok = 1;
    lp_at = lv.key_cnt() < 0 ? -1 : lv.key_cnt();
    if (lp_at >= 0) {
      lp_entries = 1;
      const bool shared = lp_at > 0 && same_bytes(t, lp.key, lp.len, lv.key(lp_at - 1), lv.len(lp_at - 1));
      lp_bytes = shared ? 0 : lp.len;
    }
  }
  const int32_t lkc = lkc_before + lp_entries;  // L's entries in front of the copied ones

  // Bytes of the copied entries: from B's entry 0 to the end of the last copied key, without entry 0's
  // when it shares L's last key (the low-path entry just appended, in an interior L).
  bool first_shared = false;
  int32_t src = 0, span = 0;
  if (m > 0) {
    src = bv.offset(0);
    span = bv.offset(m - 1) + bv.len(m - 1) - src;
    if (lp_entries > 0)
      first_shared = same_bytes(t, bv.key(0), bv.len(0), lp.key, lp.len);
    else if (lkc > 0)
      first_shared = same_bytes(t, bv.key(0), bv.len(0), lv.key(lkc - 1), lv.len(lkc - 1));
    if (first_shared) {
      src += bv.len(0);
      span -= bv.len(0);
    }
  }
  if (static_cast<int64_t>(kHeaderSize) + int64_t{lkc + m} * e > int64_t{lv.heap_end()} - lp_bytes - span) {
    QRX_ERROR("Block number %d of %s has no room for %d entries of block %d", lblk, t->ctl->fname.c_str(), n,
              B);
    set_error(Err::kCorrupt, ctx);
    return -1;
  }
  if (!leaf) {
    if (B_addkey_here(t, lp, l.data(), lp_at) < 0) return -1;
    if (lpleaf.release(Ctx::kLowPathLeft) < 0) return -1;
  }
  uint8_t *ld = l.data();
  uint8_t *bd = b.data();
  if (m > 0) {
    // mv_ov_left: the headers, still holding B's offsets.
    std::memcpy(ld + lv.entry_pos(lkc), bd + bv.entry_pos(0), static_cast<size_t>(m) * e);
    // mk_rm_left: L's bytes move down by span.
    const int32_t lheap = lv.heap_end();
    std::memmove(ld + lheap - span, ld + lheap, static_cast<size_t>(blksize - lheap));
    shift_offsets(ld, static_cast<uint32_t>(e), 0, lkc, -span);
    // sh_key_left, up_key_left.
    std::memcpy(ld + blksize - span, bd + src, static_cast<size_t>(span));
    lv.set_heap_end(lheap - span);
    const int32_t pos = first_shared ? lv.offset(lkc - 1) : blksize - span;
    up_key(lv, lkc, m, pos);
    lv.set_key_cnt(lkc + m);
  }

  // cln_up_left: B loses n directory entries (interior: the copied ones and the one whose child becomes
  // the low path) and the bytes in front of the first kept key.
  const int32_t gone = leaf ? n : std::min(n, kc);
  if (!leaf && n <= kc) bv.set_low_path(bv.child(n - 1));
  const int32_t old_heap = bv.heap_end();
  const int32_t first_kept = gone < kc ? bv.offset(gone) : blksize;
  std::memset(bd + old_heap, 0, static_cast<size_t>(first_kept - old_heap));
  bv.set_heap_end(first_kept);
  const int32_t rest = std::max(kc, 0) - gone;
  if (rest > 0) std::memmove(bd + bv.entry_pos(0), bd + bv.entry_pos(gone), static_cast<size_t>(rest) * e);
  if (gone > 0) std::memset(bd + bv.entry_pos(rest), 0, static_cast<size_t>(gone) * e);
  bv.set_key_cnt(kc - n);

  // ad_cur_left.
  if (leaf) {
    for_each_position(t, [&](int32_t &, int32_t &block, int32_t &index) {
      if (block != B) return;
      if (index >= n) {
        index -= n;
      } else if (index >= 0) {
        block = lblk;
        index += lkc_before;
      }
    });
  }

  int32_t result = 1;
  if (l.write_release(ctx) < 0) result = -1;  // the receiver reaches the disk before the giver can
  if (b.put(false, result == -1 ? Ctx::kNone : ctx) < 0) result = -1;
  if (result < 0) set_error(Err::kPutBlock, ctx);
  return result;
}

}  // namespace qrx::cbt
