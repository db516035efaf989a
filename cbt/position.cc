// position.cc - the cursor steps and the public positioning operations: cbhead, cbtail, cbnext, cbprev,
// cbcurr, cbkey, cbkeylen, cbfind, cbfinditem, cbmark and cbfindmark.
//
// A cursor is a raw (leaf block, entry index) pair with a state (1 on an entry, -2 BOI, -3 EOI). The
// steps walk the leaf level through the left and right links only. Reading through a cursor checks that
// its block is a leaf and its index lies inside the leaf (error 16 otherwise); a link that leads to a block
// that is not a leaf, or to the block itself, is a corrupt tree (error 20). Every step runs with the
// file's control-record mutex held, which also guards the cursor and mark fields of every handle.
#include <algorithm>
#include <cstring>

#include "cbt/cbt.h"
#include "cbt/node.h"
#include "cbt/position.h"
#include "cbt/search.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {
namespace {

void set_cursor(Tree *t, int32_t stat, int32_t block, int32_t index) {
  t->pos_stat = stat;
  t->curblock = block;
  t->curindex = index;
}

// The leaf at the cursor, pinned, with the cursor's index checked against it; empty with error 16 (or
// the codes of the failed read) and the context.
NodeRef cursor_leaf(Tree *t, Ctx ctx) {
  NodeRef n(t, t->curblock, ctx);
  if (!n) return n;
  NodeView v = n.view();
  if (!v.is_leaf() || t->curindex < 0 || t->curindex >= v.key_cnt()) {
    n.release(Ctx::kNone);
    set_error(Err::kBadCursor, ctx);
  }
  return n;
}

// A leaf reached through the control record or a sibling link, pinned; empty with error 20 when the
// block is not a leaf (or the codes of the failed read).
NodeRef linked_leaf(Tree *t, int32_t blk, Ctx ctx) {
  NodeRef n(t, blk, ctx);
  if (n && !n.view().is_leaf()) {
    n.release(Ctx::kNone);
    QRX_ERROR("Block number %d of %s is corrupt", blk, t->ctl->fname.c_str());
    set_error(Err::kCorrupt, ctx);
  }
  return n;
}

void store(uint32_t *out, uint32_t v) {
  if (out) *out = v;
}

// True when leaf `to`, reached from leaf `from` along a sibling link (rightward when `rightward`), is the
// neighbour the level order puts there: it links back to `from`, holds entries, and its entries continue
// the order (its first entry after from's last one, or its last before from's first). Walks through
// damaged links therefore end: a cycle of links cannot keep the (key, item) order. Error 20 otherwise.
bool sibling_ok(Tree *t, int32_t from, const NodeView &f, int32_t to, const NodeView &n, bool rightward,
                Ctx ctx) {
  const int32_t fc = f.key_cnt(), nc = n.key_cnt();
  bool ok = nc > 0 && fc > 0 && (rightward ? n.left() : n.right()) == from;
  if (ok) {
    const int32_t a = rightward ? fc - 1 : nc - 1;  // the lower entry of the two, then the higher one
    const NodeView &lo = rightward ? f : n;
    const NodeView &hi = rightward ? n : f;
    ok = B_key_item_cmp(t, lo.key(a), lo.len(a), lo.item(a), hi.key(0), hi.len(0), hi.item(0)) < 0;
  }
  if (!ok) {
    QRX_ERROR("Block number %d of %s is corrupt", to, t->ctl->fname.c_str());
    set_error(Err::kCorrupt, ctx);
  }
  return ok;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Cursor steps.
// ---------------------------------------------------------------------------------------------------

int32_t B_get_curitem(Tree *t, uint32_t *item) {
  if (t->pos_stat != CBT_POS_OK) return t->pos_stat;
  NodeRef n = cursor_leaf(t, Ctx::kGetItem);
  if (!n) return -1;
  store(item, n.view().item(t->curindex));
  return n.release(Ctx::kGetItem) == 1 ? 1 : -1;
}

int32_t B_pos_firstkey(Tree *t) {
  if (t->ctl->root == 0) {
    set_cursor(t, CBT_POS_EOI, -1, -1);
    return CBT_POS_EOI;
  }
  set_cursor(t, CBT_POS_OK, t->ctl->lowleaf, 0);
  return 1;
}

int32_t B_pos_lastkey(Tree *t) {
  if (t->ctl->root == 0) {
    set_cursor(t, CBT_POS_BOI, -1, -1);
    return CBT_POS_BOI;
  }
  NodeRef n = linked_leaf(t, t->ctl->highleaf, Ctx::kLastLeaf);
  if (!n) return -1;
  set_cursor(t, CBT_POS_OK, t->ctl->highleaf, n.view().key_cnt() - 1);
  n.release(Ctx::kLastLeaf);
  return 1;
}

int32_t B_pos_nextkey(Tree *t) {
  if (t->pos_stat == CBT_POS_EOI) return CBT_POS_EOI;
  if (t->pos_stat == CBT_POS_BOI) return B_pos_firstkey(t);
  NodeRef n(t, t->curblock, Ctx::kNextKey);
  if (!n) return -1;
  NodeView v = n.view();
  if (!v.is_leaf()) {
    n.release(Ctx::kNone);
    set_error(Err::kBadCursor, Ctx::kNextKey);
    return -1;
  }
  if (t->curindex == v.key_cnt() - 1) {
    int32_t right = v.right();
    if (right == t->curblock) {
      n.release(Ctx::kNone);
      QRX_ERROR("Block number %d of %s points to itself", right, t->ctl->fname.c_str());
      set_error(Err::kCorrupt, Ctx::kNextKey);
      return -1;
    }
    if (right != 0) {
      NodeRef r = linked_leaf(t, right, Ctx::kNextKey);
      if (!r || !sibling_ok(t, t->curblock, v, right, r.view(), true, Ctx::kNextKey)) return -1;
    }
    t->curblock = right;
    t->curindex = 0;
  } else {
    t->curindex += 1;
  }
  n.release(Ctx::kNextKey);
  if (t->curblock == 0) {
    set_cursor(t, CBT_POS_EOI, -1, -1);
    return CBT_POS_EOI;
  }
  return 1;
}

int32_t B_pos_prevkey(Tree *t) {
  if (t->pos_stat == CBT_POS_BOI) return CBT_POS_BOI;
  if (t->pos_stat == CBT_POS_EOI) return B_pos_lastkey(t);
  const int32_t old_block = t->curblock;
  NodeRef n(t, old_block, Ctx::kPrevKey);
  if (!n) return -1;
  NodeView v = n.view();
  if (!v.is_leaf()) {
    n.release(Ctx::kNone);
    set_error(Err::kBadCursor, Ctx::kPrevKey);
    return -1;
  }
  if (t->curindex > 0) {
    t->curindex -= 1;
    return n.release(Ctx::kPrevKey) == 1 ? 1 : -1;
  }
  const int32_t left = v.left();
  if (left == old_block) {
    QRX_ERROR("Block number %d of %s points to itself", left, t->ctl->fname.c_str());
    set_error(Err::kCorrupt, Ctx::kPrevKey);
    return -1;
  }
  if (left == 0) {
    set_cursor(t, CBT_POS_BOI, -1, -1);
    return CBT_POS_BOI;
  }
  // The left leaf is checked against the one the cursor leaves; when it cannot be used the cursor
  // stays on entry 0 of the old leaf.
  NodeRef l = linked_leaf(t, left, Ctx::kPrevKey);
  if (!l || !sibling_ok(t, old_block, v, left, l.view(), false, Ctx::kPrevKey)) {
    set_cursor(t, CBT_POS_OK, old_block, 0);
    return -1;
  }
  set_cursor(t, CBT_POS_OK, left, l.view().key_cnt() - 1);
  return 1;
}

// ---------------------------------------------------------------------------------------------------
// Public operations.
// ---------------------------------------------------------------------------------------------------

namespace {

// One positioning step followed, when it lands on an entry, by reading the item there.
template <class Step>
int32_t step_and_read(Tree *t, Fn fn, uint32_t *item, Step step) {
  set_function(fn);
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  int32_t rc = step(t);
  return rc == 1 ? B_get_curitem(t, item) : rc;
}

// Descends to (key, item) and reports whether the entry found has the key (and, with match_item, the
// item). The item at the cursor is stored in *item.
int32_t find(Tree *t, Fn fn, const void *key, uint32_t len, uint32_t *item, bool match_item) {
  set_function(fn);
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  if (!key && len) {
    set_error(Err::kNotFound, Ctx::kValidateArgs);
    return -1;
  }
  const uint32_t wanted = (match_item && item) ? *item : 0;
  const auto *k = static_cast<const uint8_t *>(key);
  const auto klen = static_cast<int32_t>(len);
  int32_t rc = B_loc_leaf_blk(t, k, klen, wanted);
  if (rc != 1) return rc;
  // The item at the cursor and the key comparison come from one read of the leaf; a failure leaves the
  // codes the key comparison step leaves (context 19), the item untouched and the result 3.
  NodeRef leaf = cursor_leaf(t, Ctx::kCurrentKey);
  if (!leaf) return CBT_NOT_FOUND;
  NodeView v = leaf.view();
  const uint32_t found = v.item(t->curindex);
  store(item, found);
  const bool same_key = B_keycmp(t, k, klen, v.key(t->curindex), v.len(t->curindex)) == 0;
  if (leaf.release(Ctx::kCurrentKey) != 1) return CBT_NOT_FOUND;
  return same_key && (!match_item || found == wanted) ? CBT_FOUND : CBT_NOT_FOUND;
}

}  // namespace

int32_t cbt_head(Tree *t, uint32_t *item) {
  return step_and_read(t, Fn::kHead, item, B_pos_firstkey);
}
int32_t cbt_tail(Tree *t, uint32_t *item) {
  return step_and_read(t, Fn::kTail, item, B_pos_lastkey);
}
namespace {

// A step that stays inside the cursor's leaf: the step and the item read that follows it would read the
// same leaf twice, so both are done from one pin. Any other case (another leaf, BOI/EOI, a cursor that
// is not on a valid entry) returns 0 and the caller takes the full path, which reports it.
int32_t step_in_leaf(Tree *t, int32_t delta, uint32_t *item) {
  if (t->pos_stat != CBT_POS_OK) return 0;
  NodeRef n(t, t->curblock, Ctx::kNone);
  if (!n) return 0;
  NodeView v = n.view();
  const int32_t to = t->curindex + delta;
  if (!v.is_leaf() || t->curindex < 0 || t->curindex >= v.key_cnt() || to < 0 || to >= v.key_cnt()) return 0;
  t->curindex = to;
  store(item, v.item(to));
  return n.release(delta > 0 ? Ctx::kNextKey : Ctx::kPrevKey) == 1 ? 1 : -1;
}

template <class Step>
int32_t walk(Tree *t, Fn fn, int32_t delta, uint32_t *item, Step step) {
  set_function(fn);
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  if (int32_t rc = step_in_leaf(t, delta, item)) return rc;
  int32_t rc = step(t);
  return rc == 1 ? B_get_curitem(t, item) : rc;
}

}  // namespace

int32_t cbt_next(Tree *t, uint32_t *item) {
  return walk(t, Fn::kNext, 1, item, B_pos_nextkey);
}
int32_t cbt_prev(Tree *t, uint32_t *item) {
  return walk(t, Fn::kPrev, -1, item, B_pos_prevkey);
}

int32_t cbt_curr(Tree *t, uint32_t *item) {
  set_function(Fn::kCurr);
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  return B_get_curitem(t, item);
}

int32_t cbt_key(Tree *t, void *buf, uint32_t size) {
  set_function(Fn::kKey);
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  if (t->pos_stat != CBT_POS_OK) return t->pos_stat;
  NodeRef n = cursor_leaf(t, Ctx::kCurrentLeaf);
  if (!n) return -1;
  NodeView v = n.view();
  if (!buf) size = 0;
  const auto len = static_cast<uint32_t>(v.len(t->curindex));
  const uint32_t copy = std::min(len, size);
  if (copy) std::memcpy(buf, v.key(t->curindex), copy);
  // A key exactly as long as the buffer, or longer, is not terminated.
  if (len < size) static_cast<uint8_t *>(buf)[len] = 0;
  return n.release(Ctx::kCurrentLeaf) == 1 ? 1 : -1;
}

int32_t cbt_keylen(Tree *t, uint32_t *len) {
  set_function(Fn::kKeyLen);
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  if (t->pos_stat != CBT_POS_OK) return t->pos_stat;
  NodeRef n = cursor_leaf(t, Ctx::kCurrentLeaf);
  if (!n) return -1;
  store(len, static_cast<uint32_t>(n.view().len(t->curindex)));
  n.release(Ctx::kNone);
  return 1;
}

int32_t cbt_find(Tree *t, const void *key, uint32_t len, uint32_t *item) {
  return find(t, Fn::kFind, key, len, item, false);
}

int32_t cbt_finditem(Tree *t, const void *key, uint32_t len, uint32_t *item) {
  return find(t, Fn::kFindItem, key, len, item, true);
}

int32_t cbt_mark(Tree *t) {
  set_function(Fn::kMark);
  // The record's mutex, not only the handle check: modifications through other handles move marks
  // under that mutex.
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  t->mrk_stat = t->pos_stat;
  t->mrkblock = t->curblock;
  t->mrkindex = t->curindex;
  return 1;
}

int32_t cbt_findmark(Tree *t, uint32_t *item) {
  set_function(Fn::kFindMark);
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  if (t->mrk_stat == CBT_NO_MARK) {
    set_error(Err::kNoMark, Ctx::kMark);
    return -1;
  }
  const int32_t stat = t->pos_stat, block = t->curblock, index = t->curindex;
  set_cursor(t, t->mrk_stat, t->mrkblock, t->mrkindex);
  if (t->pos_stat != CBT_POS_OK) return t->pos_stat;
  int32_t rc = B_get_curitem(t, item);
  if (rc != 1) set_cursor(t, stat, block, index);
  return rc;
}

}  // namespace qrx::cbt
