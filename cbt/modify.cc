// modify.cc - cbmodify internals: locate_key and the replacement of one entry by another.
//
// The in-place path removes the old entry and adds the new one inside one pinned leaf, with the cursor
// and mark corrections of B_del_key and B_add_key. Every other case is a full deletion (which may join and
// release nodes) followed by a full insertion (which may shift and split); both run under the same lock,
// so other handles see one change.
#include "cbt/modify.h"

#include "cbt/delete.h"
#include "cbt/insert.h"
#include "cbt/node.h"
#include "cbt/position.h"
#include "cbt/search.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

namespace {

constexpr int32_t kMaxLevels = 1024;   // deepest descent accepted before the tree counts as corrupt
constexpr uint32_t kKeyOverhead = 36;  // a key may use a block but for its header and one entry

// The duplicate rule across leaf boundaries: equal keys are adjacent in entry order, so when the new key
// would stand first or last in its leaf, the neighbouring leaf's last or first entry is the only other
// place an equal key can be. 1 when such a key is there, 0 when not, -1 on failure (context 21).
int32_t dup_in_neighbour(Tree *t, const KeyInfo &k, const uint8_t *leaf, int32_t i) {
  if (k.dupok != 0) return 0;
  NodeView v(leaf);
  if (i == 0 && v.left() != 0) {
    NodeRef n(t, v.left(), Ctx::kInsertKey);
    if (!n) return -1;
    const int32_t cnt = n.view().key_cnt();
    const bool dup = n.view().is_leaf() && cnt > 0 && B_node_keycmp(t, k, n.data(), cnt - 1);
    if (n.release(Ctx::kInsertKey) < 0) return -1;
    if (dup) return 1;
  }
  if (i == v.key_cnt() && v.right() != 0) {
    NodeRef n(t, v.right(), Ctx::kInsertKey);
    if (!n) return -1;
    const bool dup = n.view().is_leaf() && n.view().key_cnt() > 0 && B_node_keycmp(t, k, n.data(), 0);
    if (n.release(Ctx::kInsertKey) < 0) return -1;
    if (dup) return 1;
  }
  return 0;
}

}  // namespace

int32_t locate_key(Tree *t, const uint8_t *key, int32_t len, uint32_t item, int32_t *blk, int32_t *index) {
  if (t->ctl->root == 0) {
    set_error(Err::kEmptyTree, Ctx::kFindLeaf);
    return -1;
  }
  int32_t b = t->ctl->root;
  for (int32_t level = 0; level < kMaxLevels; ++level) {
    NodeRef n(t, b, Ctx::kFindLeaf);
    if (!n) return -1;
    NodeView v = n.view();
    if (!B_level_ok(t, n.data(), level)) {
      QRX_ERROR("Block number %d of %s is corrupt", b, t->ctl->fname.c_str());
      set_error(Err::kCorrupt, Ctx::kFindLeaf);
      return -1;
    }
    int32_t j = 0;
    const int32_t r = B_loc_key(t, key, len, item, n.data(), &j);
    if (v.is_leaf()) {
      if (n.release(Ctx::kFindLeaf) < 0) return -1;
      *blk = b;
      *index = j;
      if (r == 0) return CBT_FOUND;
      set_error(Err::kNotFound, Ctx::kFindLeaf);
      return CBT_NOT_FOUND;
    }
    // An interior entry is at most the lowest pair of its child's subtree: an equal pair lives under it.
    const int32_t next = r == 0 ? v.child(j) : (j == 0 ? v.low_path() : v.child(j - 1));
    if (n.release(Ctx::kFindLeaf) < 0) return -1;
    if (next < 1 || next == b) {
      QRX_ERROR(next == b ? "Block number %d of %s points to itself" : "Block number %d of %s is corrupt", b,
                t->ctl->fname.c_str());
      set_error(Err::kCorrupt, Ctx::kFindLeaf);
      return -1;
    }
    b = next;
  }
  QRX_ERROR("Corrupt tree detected for %s. Max depth (%d) exceeded", t->ctl->fname.c_str(), kMaxLevels);
  set_error(Err::kCorrupt, Ctx::kFindLeaf);
  return -1;
}

namespace {

// True when the handle's cursor stands on the pair (key, item): a pair is in a tree once, so that entry
// is the one a search for it finds. False also when the cursor's leaf cannot be read or does not hold
// the cursor's index (the caller then searches).
bool cursor_on_pair(Tree *t, const uint8_t *key, int32_t len, uint32_t item) {
  const NodeRef n(t, t->curblock, Ctx::kFindLeaf);
  if (!n) return false;
  const NodeView v = n.view();
  const int32_t i = t->curindex;
  if (!v.is_leaf() || i < 0 || i >= v.key_cnt()) return false;
  const int32_t off = v.offset(i), l = v.len(i);
  if (off < 0 || l < 0 || uint64_t(off) + uint64_t(l) > t->ctl->blksize) return false;
  return B_key_item_cmp(t, v.key(i), l, v.item(i), key, len, item) == 0;
}

}  // namespace

int32_t B_modify(Tree *t, const uint8_t *okey, uint32_t olen, uint32_t oitem, const uint8_t *nkey,
                 uint32_t nlen, uint32_t nitem, int32_t ndupok) {
  // 1. The new key obeys insertion's limit, which includes the file's own block size.
  if (!B_is_key_valid(nlen) || uint64_t{nlen} + kKeyOverhead > t->ctl->blksize) return -1;
  const auto ol = static_cast<int32_t>(olen);
  const auto nl = static_cast<int32_t>(nlen);

  // 2. The same pair: nothing is stored, but a cursor on it moves on as a real replacement would move it.
  if (B_key_item_cmp(t, okey, ol, oitem, nkey, nl, nitem) == 0) {
    if (t->pos_stat != CBT_POS_OK) return 1;
    if (cursor_on_pair(t, okey, ol, oitem)) return B_pos_nextkey(t) == -1 ? -1 : 1;
    int32_t blk = 0;
    int32_t j = 0;
    if (locate_key(t, okey, ol, oitem, &blk, &j) != CBT_FOUND) return -1;
    if (blk == t->curblock && j == t->curindex && B_pos_nextkey(t) == -1) return -1;
    return 1;
  }

  // 3. Where the new pair belongs. A pair already present is error 18; a lookup that failed (a block
  // that cannot be read, an empty tree) keeps the lookup's own codes.
  int32_t B = 0;
  int32_t i = 0;
  const int32_t where = locate_key(t, nkey, nl, nitem, &B, &i);
  if (where == CBT_FOUND) {
    set_error(Err::kDupPair, Ctx::kInsertKey);
    return -1;
  }
  if (where != CBT_NOT_FOUND) return -1;

  // 4.
  NodeRef bn(t, B, Ctx::kFindLeaf);
  if (!bn) return -1;
  KeyInfo k;
  k.key = nkey;
  k.len = nl;
  k.item = nitem;
  k.dupok = ndupok;

  // 5. The duplicate rule, only when the key itself changes: an equal old key is about to go.
  const bool same_key = B_keycmp(t, okey, ol, nkey, nl) == 0;
  if (!same_key) {
    int32_t dup = B_is_dup_error(t, k, bn.data(), i);
    if (dup == 0) dup = dup_in_neighbour(t, k, bn.data(), i);
    if (dup != 0) {
      bn.release(Ctx::kNone);
      if (dup == 1) set_error(Err::kDupKey, Ctx::kInsertKey);
      return -1;
    }
  }

  // 6. The old pair.
  int32_t A = 0;
  int32_t j = 0;
  if (locate_key(t, okey, ol, oitem, &A, &j) != CBT_FOUND) {
    bn.release(Ctx::kNone);
    return -1;
  }

  // 7. Remove the old entry.
  const bool same_leaf = A == B;
  if (same_leaf) {
    B_del_key(t, B, bn.data(), j);
    if (j < i) --i;
  } else {
    set_function(Fn::kModify);
    if (B_delete(t, okey, ol, oitem) < 0) {
      bn.release(Ctx::kNone);
      return -1;
    }
  }

  // 8. Add the new entry. When only the item changes, the equal keys the insertion meets are the replaced
  // entry's own duplicates, which the caller already had: the fallback allows them.
  if (same_leaf && B_key_fit(t, k, bn.data(), i, 0, bn.view().key_cnt() - 1)) {
    if (B_add_key(t, k, B, bn.data(), i) < 0) {
      bn.put(false, Ctx::kNone);  // the leaf has changed already
      return -1;
    }
  } else {
    set_function(Fn::kModify);
    if (B_insert(t, nkey, nlen, nitem, same_key ? 1 : ndupok) < 0) {
      if (same_leaf) {
        bn.put(false, Ctx::kNone);
      } else {
        bn.release(Ctx::kNone);
      }
      return -1;
    }
  }

  // 9.
  if (same_leaf) return bn.put(false, Ctx::kInsertKey) < 0 ? -1 : 1;
  return bn.release(Ctx::kInsertKey) < 0 ? -1 : 1;
}

}  // namespace qrx::cbt
