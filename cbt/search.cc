// search.cc - entry order, the default compare function, the binary search inside a node, the descent
// from the root to a leaf, the sharing and duplicate tests, and the list helpers.
//
// Every node reached here comes through B_getblk, so its header words, entry offsets and lengths have
// been checked against the block size; only entries 0..key_cnt-1 are ever read. Walks down the tree are
// bounded by kMaxDepth levels, so a cycle in a corrupt file ends in error 20 instead of an endless loop.
#include "cbt/search.h"

#include <algorithm>
#include <cstring>

#include "cbt/ctl.h"
#include "cbt/node.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

namespace {

// Deepest descent accepted before a tree is declared corrupt.
constexpr int32_t kMaxDepth = 1024;

// Largest key length accepted is the buffer size minus this many bytes.
constexpr uint32_t kKeyReserve = 36;

int32_t sign(int r) {
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// flags: this unit's trace flags, read once by the caller.
void trace_node(int32_t blk, const uint8_t *d, uint32_t flags) {
  NodeView n(d);
  QRX_BLOCK_TRACE_IN(flags, "node %d at %p", blk, static_cast<const void *>(d));
  QRX_BLOCK_TRACE_IN(flags, "low_path = %d, left = %d, right = %d, key_cnt = %d", n.low_path(), n.left(),
                     n.right(), n.key_cnt());
}

void set_eoi(Tree *t) {
  t->pos_stat = CBT_POS_EOI;
  t->curblock = -1;
  t->curindex = -1;
}

// True when entry i exists in the node.
bool has_entry(const NodeView &n, int32_t i) {
  return i >= 0 && i < n.key_cnt();
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Comparison.
// ---------------------------------------------------------------------------------------------------

namespace {

// The default order: bytes as unsigned over the shorter length, then the shorter key first. Eight bytes
// at a time read big-endian compare as unsigned integers exactly as they do byte by byte, so the common
// key lengths need no call to memcmp.
inline int default_compare(const void *key1, uint32_t len1, const void *key2, uint32_t len2) {
  const auto *a = static_cast<const uint8_t *>(key1);
  const auto *b = static_cast<const uint8_t *>(key2);
  const uint32_t n = std::min(len1, len2);
  uint32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t x = codec::load_u64(a, i), y = codec::load_u64(b, i);
    if (x != y) return x < y ? -1 : 1;
  }
  for (; i < n; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  if (len1 == len2) return 0;
  return len1 < len2 ? -1 : 1;
}

}  // namespace

int32_t B_keycmp(Tree *t, const uint8_t *k1, int32_t l1, const uint8_t *k2, int32_t l2) {
  cbt_keycmp_fn cmp = t->keycmp;
  // Trees on the default order compare inline; the search makes one comparison per probe.
  if (cmp == nullptr || cmp == qrxcbkcm)
    return default_compare(k1, static_cast<uint32_t>(l1), k2, static_cast<uint32_t>(l2));
  return sign(cmp(k1, static_cast<uint32_t>(l1), k2, static_cast<uint32_t>(l2)));
}

int32_t B_key_item_cmp(Tree *t, const uint8_t *key, int32_t len, uint32_t item, const uint8_t *key2,
                       int32_t len2, uint32_t item2) {
  const int32_t c = B_keycmp(t, key, len, key2, len2);
  if (c != 0) return c;
  const auto a = static_cast<int32_t>(item);
  const auto b = static_cast<int32_t>(item2);
  return a < b ? -1 : (a > b ? 1 : 0);
}

bool B_node_keycmp(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i) {
  NodeView n(node);
  if (!has_entry(n, i)) return false;
  return B_keycmp(t, k.key, k.len, n.key(i), n.len(i)) == 0;
}

bool B_node_keyshare(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i) {
  NodeView n(node);
  if (!has_entry(n, i) || n.len(i) != k.len) return false;
  return B_keycmp(t, k.key, k.len, n.key(i), n.len(i)) == 0;
}

bool B_key_match(Tree *t, const uint8_t *n1, int32_t i1, const uint8_t *n2, int32_t i2) {
  NodeView a(n1), b(n2);
  if (!has_entry(a, i1) || !has_entry(b, i2)) return false;
  return B_keycmp(t, a.key(i1), a.len(i1), b.key(i2), b.len(i2)) == 0;
}

bool B_key_share(Tree *t, const uint8_t *n1, int32_t i1, const uint8_t *n2, int32_t i2) {
  NodeView a(n1), b(n2);
  if (!has_entry(a, i1) || !has_entry(b, i2) || a.len(i1) != b.len(i2)) return false;
  return B_keycmp(t, a.key(i1), a.len(i1), b.key(i2), b.len(i2)) == 0;
}

int32_t B_cur_key_match(Tree *t, const uint8_t *key, int32_t len) {
  if (t->pos_stat != CBT_POS_OK) return -1;
  NodeRef leaf(t, t->curblock, Ctx::kCurrentKey);
  if (!leaf) return -1;
  NodeView n = leaf.view();
  if (!n.is_leaf() || !has_entry(n, t->curindex)) {
    set_error(Err::kBadCursor, Ctx::kCurrentKey);
    return -1;
  }
  const int32_t c = B_keycmp(t, key, len, n.key(t->curindex), n.len(t->curindex));
  if (leaf.release(Ctx::kCurrentKey) < 0) return -1;
  return c == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------------
// Search in a node and descent.
// ---------------------------------------------------------------------------------------------------

namespace {

// Binary search of node for (key, item) under the key order `keys`; see B_loc_key. trace_flags() gives
// this unit's trace flags for the line that reports the result.
template <class KeyOrder, class TraceFlags>
int32_t loc_key(KeyOrder keys, const uint8_t *key, int32_t len, uint32_t item, const uint8_t *node,
                int32_t *index, TraceFlags trace_flags) {
  NodeView n(node);
  *index = 0;
  const int32_t cnt = n.key_cnt();
  if (cnt <= 0) return 1;
  const auto signed_item = static_cast<int32_t>(item);
  int32_t lo = 0, hi = cnt - 1, mid = 0, c = 0;
  while (lo <= hi) {
    mid = lo + (hi - lo) / 2;
    c = keys(key, len, n.key(mid), n.len(mid));
    if (c == 0) {
      const auto other = static_cast<int32_t>(n.item(mid));
      c = signed_item < other ? -1 : (signed_item > other ? 1 : 0);
    }
    if (c == 0) {
      *index = mid;
      QRX_BLOCK_TRACE_IN(trace_flags(), "Found - key position = %d", mid);
      return 0;
    }
    if (c < 0) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  // lo is now the first entry greater than (key, item); every entry before it is smaller.
  const int32_t p = c > 0 ? mid + 1 : mid;
  *index = p;
  QRX_BLOCK_TRACE_IN(trace_flags(), "Not Found - key position = %d", p);
  return p < cnt ? -1 : 1;
}

// B_loc_key with the trace flags from trace_flags().
template <class TraceFlags>
int32_t loc_key_traced(Tree *t, const uint8_t *key, int32_t len, uint32_t item, const uint8_t *node,
                       int32_t *index, TraceFlags trace) {
  // Trees on the default order get a search with the comparison inlined into every probe.
  cbt_keycmp_fn cmp = t->keycmp;
  if (cmp == nullptr || cmp == qrxcbkcm) {
    return loc_key(
        [](const uint8_t *a, int32_t la, const uint8_t *b, int32_t lb) {
          return default_compare(a, static_cast<uint32_t>(la), b, static_cast<uint32_t>(lb));
        },
        key, len, item, node, index, trace);
  }
  return loc_key(
      [cmp](const uint8_t *a, int32_t la, const uint8_t *b, int32_t lb) {
        return sign(cmp(a, static_cast<uint32_t>(la), b, static_cast<uint32_t>(lb)));
      },
      key, len, item, node, index, trace);
}

}  // namespace

int32_t B_loc_key(Tree *t, const uint8_t *key, int32_t len, uint32_t item, const uint8_t *node,
                  int32_t *index) {
  return loc_key_traced(t, key, len, item, node, index, [] { return qrx::trace_flags(&qrx_trace_unit_); });
}

int32_t B_key_info_loc(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t *index) {
  return B_loc_key(t, k.key, k.len, k.item, node, index);
}

bool B_kind_at(Tree *t, int32_t low_path, int32_t level) {
  const int32_t depth = t->ctl->depth;
  if (level < 0 || level >= depth) return false;
  return level == depth - 1 ? low_path == -1 : low_path > 0;
}

bool B_level_ok(Tree *t, const uint8_t *node, int32_t level) {
  NodeView n(node);
  return B_kind_at(t, n.low_path(), level) && (n.is_leaf() || n.key_cnt() >= 0);
}

int32_t B_loc_leaf_blk(Tree *t, const uint8_t *key, int32_t len, uint32_t item) {
  CtlRec *ctl = t->ctl;
  if (ctl->root == 0) {
    set_eoi(t);
    return -3;
  }
  const char *fname = ctl->fname.c_str();
  const uint32_t trace = qrx::trace_flags(&qrx_trace_unit_);  // once for the whole descent
  int32_t blk = ctl->root;
  int32_t from = 0;  // the block whose entry led here; 0 for the root
  for (int32_t level = 0; level < kMaxDepth; ++level) {
    uint8_t *d = B_getblk(t, blk, Ctx::kFindLeaf);
    if (!d) {
      QRX_ERROR("Unable to get block %d referenced by block %d of %s", blk, from, fname);
      return -1;
    }
    trace_node(blk, d, trace);
    NodeView n(d);
    if (!B_level_ok(t, d, level)) {
      // An unused block, or a node of another level than the tree's depth puts here: its entries are
      // not searched.
      B_rlseblk(t, d, Ctx::kNone);
      QRX_ERROR("Block number %d of %s is corrupt", blk, fname);
      set_error(Err::kCorrupt, Ctx::kFindLeaf);
      return -1;
    }
    int32_t p = 0;
    const int32_t c = loc_key_traced(t, key, len, item, d, &p, [trace] { return trace; });
    if (n.is_leaf()) {
      int32_t result = 1;
      if (c <= 0) {
        t->pos_stat = CBT_POS_OK;
        t->curblock = blk;
        t->curindex = p;
      } else if (n.right() != 0) {
        t->pos_stat = CBT_POS_OK;
        t->curblock = n.right();
        t->curindex = 0;
      } else {
        set_eoi(t);
        result = -3;
      }
      if (B_rlseblk(t, d, Ctx::kFindLeaf) < 0) return -1;
      if (result == 1) QRX_DETAIL_IN(trace, "Block = %d, index = %d", t->curblock, t->curindex);
      return result;
    }
    // Interior node (B_level_ok: it has its low path).
    int32_t next = 0;
    if (c == 0) {
      next = n.child(p);
    } else {
      next = p > 0 ? n.child(p - 1) : n.low_path();
    }
    if (B_rlseblk(t, d, Ctx::kFindLeaf) < 0) return -1;
    if (next == 0 || next == blk) {
      if (next == 0) {
        QRX_ERROR("Block number %d of %s is corrupt", blk, fname);
      } else {
        QRX_ERROR("Block number %d of %s points to itself", blk, fname);
      }
      set_error(Err::kCorrupt, Ctx::kFindLeaf);
      return -1;
    }
    from = blk;
    blk = next;
  }
  QRX_ERROR("Corrupt tree detected for %s. Max depth (%d) exceeded", fname, kMaxDepth);
  set_error(Err::kCorrupt, Ctx::kFindLeaf);
  return -1;
}

int32_t B_loc_subtree(Tree *t, const KeyInfo &k, int32_t blk, int32_t *index) {
  NodeRef node(t, blk, Ctx::kLocSubtree);
  if (!node) return -1;
  NodeView n = node.view();
  if (n.low_path() <= 0 || n.key_cnt() < 0) {  // a leaf, an unused block, an interior node without children
    set_error(Err::kCorrupt, Ctx::kLocSubtree);
    return -1;
  }
  int32_t p = 0;
  const int32_t c = B_key_info_loc(t, k, node.data(), &p);
  const int32_t at = c == 0 ? p : p - 1;
  const int32_t child = at == -1 ? n.low_path() : n.child(at);
  if (node.release(Ctx::kLocSubtree) < 0) return -1;
  if (child < 1 || child == blk) {
    set_error(Err::kCorrupt, Ctx::kLocSubtree);
    return -1;
  }
  *index = at;
  return child;
}

int32_t B_loc_low_blk(Tree *t, int32_t blk, int32_t *leaf) {
  for (int32_t level = 0; level < kMaxDepth; ++level) {
    uint8_t *d = B_getblk(t, blk, Ctx::kLocLowLeaf);
    if (!d) return -1;
    NodeView n(d);
    const int32_t low = n.low_path();
    // An unused block, or an interior node without a low path, cannot lie on a path of the tree.
    const bool corrupt = low == 0 || (low != -1 && n.key_cnt() < 0) || low == blk;
    if (B_rlseblk(t, d, Ctx::kLocLowLeaf) < 0) return -1;
    if (corrupt) {
      set_error(Err::kCorrupt, Ctx::kLocLowLeaf);
      return -1;
    }
    if (low == -1) {
      *leaf = blk;
      return 1;
    }
    blk = low;
  }
  set_error(Err::kCorrupt, Ctx::kLocLowLeaf);
  return -1;
}

int32_t B_cmp_low_path(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t *result) {
  NodeView n(node);
  if (n.key_cnt() == -1) {
    *result = -1;
    return 1;
  }
  int32_t lb = 0;
  if (B_loc_low_blk(t, n.low_path(), &lb) < 0) return -1;
  NodeRef leaf(t, lb, Ctx::kLocLowLeaf);
  if (!leaf) return -1;
  NodeView lv = leaf.view();
  if (!lv.is_leaf() || !has_entry(lv, 0)) {
    set_error(Err::kCorrupt, Ctx::kLocLowLeaf);
    return -1;
  }
  const int32_t c = B_key_item_cmp(t, k.key, k.len, k.item, lv.key(0), lv.len(0), lv.item(0));
  if (leaf.release(Ctx::kLocLowLeaf) < 0) return -1;
  *result = c;
  return 1;
}

// ---------------------------------------------------------------------------------------------------
// Sharing and duplicate tests, key length limit.
// ---------------------------------------------------------------------------------------------------

int32_t B_is_k_info_dup(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i, int32_t *offset) {
  NodeView n(node);
  if (has_entry(n, i)) {
    *offset = n.offset(i);
    if (B_node_keyshare(t, k, node, i)) return 1;
  }
  if (!has_entry(n, i - 1)) return 0;
  *offset = n.offset(i - 1);
  return B_node_keyshare(t, k, node, i - 1) ? 1 : 0;
}

int32_t B_is_dup_error(Tree *t, const KeyInfo &k, const uint8_t *leaf, int32_t i) {
  if (k.dupok != 0) return 0;
  return (B_node_keycmp(t, k, leaf, i) || B_node_keycmp(t, k, leaf, i - 1)) ? 1 : 0;
}

bool B_is_key_valid(uint32_t len) {
  // The pool's buffer size, read without the anchor mutex (callers hold a control record's mutex,
  // which comes after the anchor mutex) and without touching the function code.
  const uint64_t bufsize = pool_bufsize();
  return uint64_t{len} + kKeyReserve <= bufsize;
}

// ---------------------------------------------------------------------------------------------------
// Lists whose members begin with their next pointer.
// ---------------------------------------------------------------------------------------------------

namespace {

void *&next_of(void *member) {
  return *static_cast<void **>(member);
}

}  // namespace

int32_t add_member(void **head, void *member) {
  if (!head || !member) return 0;
  next_of(member) = *head;
  *head = member;
  return 1;
}

int32_t is_member(void **head, void *member) {
  if (!head || !member) return 0;
  for (void *m = *head; m; m = next_of(m))
    if (m == member) return 1;
  return 0;
}

int32_t del_member(void **head, void *member) {
  if (!head || !member) return 0;
  for (void **link = head; *link; link = &next_of(*link)) {
    if (*link == member) {
      *link = next_of(member);
      next_of(member) = nullptr;
      return 1;
    }
  }
  return 0;
}

}  // namespace qrx::cbt

// ---------------------------------------------------------------------------------------------------
// The default compare function (exported; it has no other public name).
// ---------------------------------------------------------------------------------------------------

extern "C" QRX_API int qrxcbkcm(const void *key1, uint32_t len1, const void *key2, uint32_t len2) {
  return qrx::cbt::default_compare(key1, len1, key2, len2);
}
