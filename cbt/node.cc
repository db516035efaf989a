// node.cc - structural check of node blocks, block access for the tree layer, the primitives that put
// an entry into a node or take one out, the space accounting, cursor and mark correction, new blocks,
// and the header accessors.
//
// Layout of a node block (all big-endian, see node.h for the meaning of each word):
//
//   offset  width  field
//   0       4      low_path     -1 leaf, 0 unused, > 0 interior
//   4       4      left         (unused block: next_unused)
//   8       4      right
//   12      4      key_cnt
//   16      4      heap_end
//   20      E each entries      E = 12 (leaf: offset, len, item) or 16 (interior: ... child)
//   heap_end..blksize          key bytes, packed in entry order
//
// Every primitive here works on a block the caller holds pinned and keeps the layout valid in the sense
// of B_node_valid: the heap stays packed in entry order and two entries share bytes only when they are
// neighbours with equal keys of equal, non-zero length.
#include "cbt/node.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "cbt/pool/pool.h"
#include "cbt/search.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

namespace {

// Number of entries a node really holds (an empty interior node says -1).
int32_t entries(const NodeView &n) {
  return std::max(n.key_cnt(), 0);
}

// Moves a position off the end of a leaf onto the first entry of its right neighbour `right`, or past
// the end of the index when there is none.
void step_to_right(int32_t right, int32_t &stat, int32_t &block, int32_t &index) {
  if (right == 0) {
    stat = CBT_POS_EOI;
    block = -1;
    index = -1;
  } else {
    block = right;
    index = 0;
  }
}

// True when entries i and j (both existing) point at the same bytes: equal offset and equal, non-zero
// length. Two empty keys may have the same offset without sharing anything.
bool shares_bytes(const NodeView &n, int32_t i, int32_t j) {
  return n.offset(i) == n.offset(j) && n.len(i) == n.len(j) && n.len(i) > 0;
}

// flags: this unit's trace flags, read once by the caller.
void trace_node(int32_t blk, const uint8_t *d, uint32_t flags) {
  NodeView n(d);
  QRX_BLOCK_TRACE_IN(flags, "node %d at %p", blk, static_cast<const void *>(d));
  QRX_BLOCK_TRACE_IN(flags, "low_path = %d, left = %d, right = %d, key_cnt = %d", n.low_path(), n.left(),
                     n.right(), n.key_cnt());
}

// The offset fix-up with the stride known to the compiler, four entries per step.
template <uint32_t E>
void shift_offsets_by(uint8_t *p, int32_t count, int32_t delta) {
  uint8_t *const end = p + static_cast<size_t>(count) * E;
  auto one = [delta](uint8_t *q) { codec::store_i32(q, 0, codec::load_i32(q, 0) + delta); };
  for (; end - p >= static_cast<std::ptrdiff_t>(4 * E); p += 4 * E) {
    one(p);
    one(p + E);
    one(p + 2 * E);
    one(p + 3 * E);
  }
  for (; p != end; p += E) one(p);
}

// Inserts the directory entry (offset, k.len, k.item[, k.child]) at index i.
void add_overhead(const KeyInfo &k, uint8_t *node, int32_t i, int32_t offset) {
  NodeView n(node);
  const int32_t cnt = entries(n);
  const bool leaf = n.is_leaf();
  const uint32_t e = leaf ? kLeafEntrySize : kNodeEntrySize;
  uint8_t *at = node + kHeaderSize + static_cast<size_t>(i) * e;
  std::memmove(at + e, at, static_cast<size_t>(cnt - i) * e);
  codec::store_i32(at, kEntryOffsetOff, offset);
  codec::store_i32(at, kEntryLenOff, k.len);
  codec::store_u32(at, kEntryItemOff, k.item);
  if (!leaf) codec::store_i32(at, kEntryChildOff, k.child);
  n.set_key_cnt(cnt + 1);
}

// After add_overhead: makes room for the bytes of entry i directly in front of the bytes of entry i+1
// (or the block end) and copies k's bytes there. `extra` bytes in front of them receive a copy of the
// bytes of entry i+1: used when entry i-1 shared those bytes with entry i+1 and the new key, which does
// not share them, now stands between the two (see B_addkey_here).
void add_key(Tree *t, const KeyInfo &k, uint8_t *node, int32_t i, int32_t extra) {
  NodeView n(node);
  const int32_t cnt = n.key_cnt();
  const int32_t len = k.len;
  const int32_t grow = len + extra;
  const int32_t end = (i == cnt - 1) ? static_cast<int32_t>(t->ctl->blksize) : n.offset(i + 1);
  const int32_t heap = n.heap_end();
  // The key may live in this very block (a caller moving an entry inside a node): take a copy before
  // the heap moves under it.
  std::vector<uint8_t> copy;
  const uint8_t *src = k.key;
  if (len > 0 && src >= node && src < node + t->ctl->blksize) {
    copy.assign(src, src + len);
    src = copy.data();
  }
  std::memmove(node + heap - grow, node + heap, static_cast<size_t>(end - heap));
  if (extra > 0) std::memcpy(node + end - grow, node + end, static_cast<size_t>(extra));
  if (len > 0) std::memcpy(node + end - len, src, static_cast<size_t>(len));
  n.set_offset(i, end - len);
  n.set_heap_end(heap - grow);
  shift_offsets(node, n.esize(), 0, i, -grow);
}

// Removes directory entry i, giving back its offset and length; the vacated last slot is zeroed.
void rmv_overhead(uint8_t *node, int32_t i, int32_t *offset, int32_t *len) {
  NodeView n(node);
  const int32_t cnt = n.key_cnt();
  const uint32_t e = n.esize();
  uint8_t *at = node + kHeaderSize + static_cast<size_t>(i) * e;
  *offset = codec::load_i32(at, kEntryOffsetOff);
  *len = codec::load_i32(at, kEntryLenOff);
  std::memmove(at, at + e, static_cast<size_t>(cnt - 1 - i) * e);
  std::memset(node + kHeaderSize + static_cast<size_t>(cnt - 1) * e, 0, e);
  n.set_key_cnt(cnt - 1);
}

// After rmv_overhead: frees the len bytes at offset, closing the gap from below and zeroing the bytes
// that fall free at the old heap_end.
void rmv_key(uint8_t *node, int32_t i, int32_t offset, int32_t len) {
  NodeView n(node);
  if (!n.is_leaf() && n.key_cnt() == -1) return;
  const int32_t heap = n.heap_end();
  std::memmove(node + heap + len, node + heap, static_cast<size_t>(offset - heap));
  std::memset(node + heap, 0, static_cast<size_t>(len));
  n.set_heap_end(heap + len);
  shift_offsets(node, n.esize(), 0, i, len);
}

// Extra bytes a non-sharing key at index i needs because entries i-1 and i share bytes that would have
// to be split apart (only when both lie within a..b).
int32_t split_share_extra(const NodeView &n, int32_t i, int32_t a, int32_t b) {
  if (i - 1 < a || i > b) return 0;
  return shares_bytes(n, i - 1, i) ? n.len(i) : 0;
}

}  // namespace

void shift_offsets(uint8_t *node, uint32_t e, int32_t first, int32_t last, int32_t delta) {
  if (last <= first) return;
  uint8_t *p = node + kHeaderSize + static_cast<size_t>(first) * e + kEntryOffsetOff;
  if (e == kLeafEntrySize)
    shift_offsets_by<kLeafEntrySize>(p, last - first, delta);
  else
    shift_offsets_by<kNodeEntrySize>(p, last - first, delta);
}

// The key-info of the lowest entry under an interior node's low path, read from that leaf, which stays
// pinned in `leaf` (the key bytes live in its buffer). False with the codes set.
bool B_lowest_under_low_path(Tree *t, const NodeView &n, Ctx ctx, NodeRef *leaf, KeyInfo *k) {
  int32_t lb = 0;
  if (B_loc_low_blk(t, n.low_path(), &lb) < 0) return false;
  *leaf = NodeRef(t, lb, ctx);
  if (!*leaf) return false;
  NodeView lv = leaf->view();
  if (!lv.is_leaf() || lv.key_cnt() < 1) {
    set_error(Err::kCorrupt, ctx);
    return false;
  }
  k->key = lv.key(0);
  k->len = lv.len(0);
  k->item = lv.item(0);
  k->dupok = 0;
  k->child = n.low_path();
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Structural check.
// ---------------------------------------------------------------------------------------------------

namespace {

// True when the `used` entries of E bytes from p on have their keys inside heap..size, packed in entry
// order without gaps up to size, each either starting where the previous key ended or sharing the
// previous entry's bytes (same offset, same non-zero length). An entry that shares passes the bounds the
// previous one passed; a first entry cannot share (no previous offset is -1 long).
template <uint32_t E>
bool keys_packed(const uint8_t *p, int64_t used, int64_t heap, int64_t size) {
  int64_t pos = heap;
  int64_t prev_off = -1, prev_len = -1;
  for (const uint8_t *const end = p + used * E; p != end; p += E) {
    const int64_t off = codec::load_i32(p, kEntryOffsetOff);
    const int64_t len = codec::load_i32(p, kEntryLenOff);
    if (off == pos) {
      if (static_cast<uint64_t>(len) > static_cast<uint64_t>(size - pos)) return false;  // len < 0 too
      pos += len;
    } else if (len <= 0 || off != prev_off || len != prev_len) {
      return false;
    }
    prev_off = off;
    prev_len = len;
  }
  return pos == size;
}

}  // namespace

bool B_node_valid(const uint8_t *node, uint32_t blksize) {
  if (blksize < kHeaderSize) return false;
  NodeView n(node);
  const int32_t low = n.low_path();
  if (low == 0) return true;
  if (low < -1) return false;
  const bool leaf = low == -1;
  const int64_t e = leaf ? kLeafEntrySize : kNodeEntrySize;
  const int64_t size = blksize;
  const int64_t cnt = n.key_cnt();
  const int64_t max_cnt = (size - kHeaderSize) / e;
  if (cnt < (leaf ? 0 : -1) || cnt > max_cnt) return false;
  const int64_t heap = n.heap_end();
  const int64_t used = std::max<int64_t>(cnt, 0);
  if (heap < kHeaderSize + used * e || heap > size) return false;
  const uint8_t *first = node + kHeaderSize;
  return leaf ? keys_packed<kLeafEntrySize>(first, used, heap, size)
              : keys_packed<kNodeEntrySize>(first, used, heap, size);
}

// ---------------------------------------------------------------------------------------------------
// Block access.
// ---------------------------------------------------------------------------------------------------

namespace {

// Clock count of a block given back to the pool: an interior node, which every lookup below it passes
// through, survives more sweeps of the pool's hand than a leaf or an unused block.
constexpr uint8_t kInteriorWeight = 32;
uint8_t weight_of(const uint8_t *d) {
  return NodeView(d).low_path() > 0 ? kInteriorWeight : 1;
}

// Gives a block back to the pool: put back dirty, or released.
int32_t pool_release(CtlRec *c, uint8_t *d, bool dirty) {
  return dirty ? pool::op::put_blk_held(c->bfile, d, 0, weight_of(d))
               : pool::op::rlse_blk_held(c->bfile, d, weight_of(d));
}

int find_slot(const PinCache &p, const uint8_t *d) {
  for (int i = 0; i < p.count; ++i)
    if (p.slots[i].data == d) return i;
  return -1;
}

// Keeps a block just got from the pool in the cache, making room by giving back the least recently got
// block no one uses; when every slot is in use the block stays an ordinary pin.
void cache_block(CtlRec *c, int32_t blkno, uint8_t *d) {
  PinCache &p = c->pins;
  int i = p.count;
  if (i == PinCache::kSlots) {
    for (int j = 0; j < p.count; ++j)
      if (p.slots[j].users == 0 && (i == p.count || p.slots[j].last < p.slots[i].last)) i = j;
    if (i == p.count) return;
    pool_release(c, p.slots[i].data, p.slots[i].dirty);
  } else {
    ++p.count;
  }
  p.slots[i] = {d, blkno, 1, false, ++p.clock};
}

}  // namespace

void B_pins_end(CtlRec *c) {
  PinCache &p = c->pins;
  for (int i = 0; i < p.count; ++i) pool_release(c, p.slots[i].data, p.slots[i].dirty);
  p.count = 0;
  p.active = false;
}

uint8_t *B_getblk(Tree *t, int32_t blkno, Ctx ctx) {
  if (blkno < 1) {
    set_error(Err::kCorrupt, ctx);
    return nullptr;
  }
  CtlRec *c = t->ctl;
  PinCache &p = c->pins;
  if (p.active) {
    for (int i = 0; i < p.count; ++i) {
      if (p.slots[i].blkno == blkno) {
        ++p.slots[i].users;
        p.slots[i].last = ++p.clock;
        return p.slots[i].data;
      }
    }
  }
  auto *d = static_cast<uint8_t *>(pool::op::get_blk_held(c->bfile, blkno));
  if (!d) {
    set_error(Err::kGetBlock, ctx);
    return nullptr;
  }
  if (!pool_block_checked(d)) {
    if (!B_node_valid(d, c->blksize)) {
      QRX_DETAIL("Block %d of %s failed the structure check", blkno, c->fname.c_str());
      pool::op::rlse_blk_held(c->bfile, d);
      set_error(Err::kCorrupt, ctx);
      return nullptr;
    }
    pool_set_block_checked(d);
  }
  if (p.active) cache_block(c, blkno, d);
  return d;
}

namespace {

// The cache slot holding the block, or -1 (an ordinary pin, or no operation caching blocks).
int cached_slot(CtlRec *c, const uint8_t *node) {
  return c->pins.active ? find_slot(c->pins, node) : -1;
}

}  // namespace

// A cached block whose users are all gone was released more often than it was got: -1, like the pool's
// refusal of an address not held.
int32_t B_rlseblk(Tree *t, uint8_t *node, Ctx ctx) {
  CtlRec *c = t->ctl;
  int32_t rc = 1;
  if (int i = cached_slot(c, node); i >= 0) {
    int32_t &users = c->pins.slots[i].users;
    if (users == 0) {
      rc = -1;
    } else {
      --users;
    }
  } else {
    rc = pool::op::rlse_blk_held(c->bfile, node, weight_of(node));
  }
  if (rc < 0 && ctx != Ctx::kNone) set_error(Err::kReleaseBlock, ctx);
  return rc < 0 ? -1 : 1;
}

int32_t B_write_held(Tree *t, uint8_t *node) {
  CtlRec *c = t->ctl;
  const bool written = pool::op::write_blk_held(c->bfile, node) == 1;  // marks the buffer clean or dirty
  if (int i = cached_slot(c, node); i >= 0) c->pins.slots[i].dirty = !written;
  c->changes += 1;
  return written ? 1 : -1;
}

int32_t B_putblk(Tree *t, uint8_t *node, bool writenow, Ctx ctx) {
  CtlRec *c = t->ctl;
  int32_t rc = 1;
  if (int i = cached_slot(c, node); i >= 0) {
    PinCache::Slot &s = c->pins.slots[i];
    if (s.users == 0) {
      rc = -1;  // put back more often than got
    } else {
      --s.users;
      if (!writenow) {
        s.dirty = true;
      } else if (pool::op::write_blk_held(c->bfile, node) == 1) {
        s.dirty = false;
      } else {
        rc = -1;  // stays dirty: the block is written again when it is given back
      }
    }
  } else {
    rc = pool::op::put_blk_held(c->bfile, node, writenow ? 1 : 0, weight_of(node));
  }
  if (rc < 0) {
    if (ctx != Ctx::kNone) set_error(Err::kPutBlock, ctx);
    return -1;
  }
  c->changes += 1;
  return 1;
}

// ---------------------------------------------------------------------------------------------------
// Node primitives.
// ---------------------------------------------------------------------------------------------------

void B_init_leaf(uint8_t *node, int32_t left, int32_t right, int32_t heap_end) {
  NodeView n(node);
  n.set_low_path(-1);
  n.set_left(left);
  n.set_right(right);
  n.set_key_cnt(0);
  n.set_heap_end(heap_end);
}

void B_init_node(uint8_t *node, int32_t low_path, int32_t left, int32_t right, int32_t heap_end) {
  NodeView n(node);
  n.set_low_path(low_path);
  n.set_left(left);
  n.set_right(right);
  n.set_key_cnt(-1);
  n.set_heap_end(heap_end);
}

int32_t B_addkey_here(Tree *t, const KeyInfo &k, uint8_t *node, int32_t i) {
  NodeView n(node);
  KeyInfo key = k;
  NodeRef leaf;  // the leaf whose first key becomes an ordinary entry (step 1), pinned until the end
  if (!n.is_leaf() && i == -1) {
    if (n.key_cnt() == -1) {
      n.set_low_path(k.child);
      n.set_key_cnt(0);
      return 1;
    }
    // The old low path becomes entry 0, carrying the lowest key under it.
    if (!B_lowest_under_low_path(t, n, Ctx::kInsertKey, &leaf, &key)) return -1;
    n.set_low_path(k.child);
    i = 0;
  }
  int32_t shared = 0;
  if (B_is_k_info_dup(t, key, node, i, &shared) == 1) {
    add_overhead(key, node, i, shared);
  } else {
    // The bytes go right in front of the bytes of the entry now at i. When entries i-1 and i share
    // their bytes, the new key would separate them: entry i-1 (and any entry sharing with it) gets a
    // copy of its own, so that the heap stays packed in entry order.
    const int32_t cnt = entries(n);
    const int32_t extra = (i > 0 && i < cnt && shares_bytes(n, i - 1, i)) ? n.len(i) : 0;
    const int32_t end = i < cnt ? n.offset(i) : static_cast<int32_t>(t->ctl->blksize);
    add_overhead(key, node, i, end - key.len);
    add_key(t, key, node, i, extra);
  }
  if (leaf.release(Ctx::kInsertKey) < 0) return -1;
  return 1;
}

void B_rmvkey_here(Tree *, uint8_t *node, int32_t i) {
  NodeView n(node);
  if (!n.is_leaf() && i == -1) {
    if (n.key_cnt() <= 0) {
      n.set_key_cnt(-1);
      return;
    }
    n.set_low_path(n.child(0));
    i = 0;
  }
  if (i < 0 || i >= n.key_cnt()) return;
  const bool dup = is_key_duplicate(node, i);
  int32_t offset = 0, len = 0;
  rmv_overhead(node, i, &offset, &len);
  if (!dup) rmv_key(node, i, offset, len);
}

bool is_key_duplicate(const uint8_t *node, int32_t i) {
  NodeView n(node);
  const int32_t cnt = entries(n);
  if (i < 0 || i >= cnt) return false;
  return (i > 0 && shares_bytes(n, i, i - 1)) || (i + 1 < cnt && shares_bytes(n, i, i + 1));
}

// ---------------------------------------------------------------------------------------------------
// Space accounting.
// ---------------------------------------------------------------------------------------------------

uint32_t B_calc_used_space(Tree *t, const uint8_t *node) {
  NodeView n(node);
  return kHeaderSize + static_cast<uint32_t>(entries(n)) * n.esize() +
         (t->ctl->blksize - static_cast<uint32_t>(n.heap_end()));
}

uint32_t B_calc_free_space(Tree *t, const uint8_t *node) {
  return t->ctl->blksize - B_calc_used_space(t, node);
}

uint32_t B_calc_key_space(const uint8_t *node, int32_t a, int32_t b) {
  NodeView n(node);
  if (a < 0) a = 0;
  b = std::min(b, n.key_cnt() - 1);  // only entries that exist
  if (b < a) return 0;
  return static_cast<uint32_t>(b - a + 1) * n.esize() +
         static_cast<uint32_t>(n.offset(b) + n.len(b) - n.offset(a));
}

bool B_key_fit(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i, int32_t a, int32_t b) {
  NodeView n(node);
  const int64_t e = n.esize();
  const int64_t room = int64_t{t->ctl->blksize} - kHeaderSize - B_calc_key_space(node, a, b);
  bool share = false;
  if (a <= b && a <= i && i <= b + 1)
    share = (i > a && B_node_keyshare(t, k, node, i - 1)) || (i <= b && B_node_keyshare(t, k, node, i));
  if (share) return room >= e;
  return room >= e + k.len + split_share_extra(n, i, a, b);
}

int32_t B_ins_complications(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i) {
  NodeView n(node);
  const int32_t cnt = n.key_cnt();
  if ((n.is_leaf() && cnt == 0) || (!n.is_leaf() && cnt == -1)) return 0;
  const int32_t b = cnt - 1;
  if (!n.is_leaf() && i == -1) {
    NodeRef leaf;
    KeyInfo low;
    if (!B_lowest_under_low_path(t, n, Ctx::kInsertKey, &leaf, &low)) return -1;
    const bool fits = B_key_fit(t, low, node, 0, 0, b);
    if (leaf.release(Ctx::kInsertKey) < 0) return -1;
    return fits ? 0 : 1;
  }
  return B_key_fit(t, k, node, i, 0, b) ? 0 : 1;
}

int32_t B_add_key(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i) {
  if (B_addkey_here(t, k, node, i) < 0) return -1;
  if (NodeView(node).is_leaf()) {
    for_each_position(t, [&](int32_t &, int32_t &block, int32_t &index) {
      if (block == blk && index >= i) ++index;
    });
  }
  return 1;
}

void B_del_key(Tree *t, int32_t blk, uint8_t *node, int32_t i) {
  NodeView n(node);
  if (!n.is_leaf()) {
    B_rmvkey_here(t, node, i);
    return;
  }
  if (i < 0 || i >= n.key_cnt()) return;
  B_rmvkey_here(t, node, i);
  const int32_t cnt = n.key_cnt();
  const int32_t right = n.right();
  for_each_position(t, [&](int32_t &stat, int32_t &block, int32_t &index) {
    if (block != blk) return;
    if (index == i && index == cnt) {
      // The removed entry was the last one: the position goes on to the next entry of the level.
      step_to_right(right, stat, block, index);
    } else if (index > i) {
      --index;
    }
  });
}

void B_replace_last(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i) {
  NodeView n(node);
  constexpr uint32_t e = kLeafEntrySize;
  const int32_t blksize = static_cast<int32_t>(t->ctl->blksize);
  const int32_t j = n.key_cnt() - 1;  // the entry that goes
  const int32_t heap = n.heap_end();
  const int32_t off_j = n.offset(j);
  // Bytes the removal frees: none when entry j shares the bytes of entry j-1. Without it every remaining
  // offset is `freed` higher.
  const int32_t freed = (j > 0 && shares_bytes(n, j, j - 1)) ? 0 : n.len(j);
  // B_is_k_info_dup on the node without entry j: sharing with entry i first, then with entry i-1.
  int32_t shared = 0;
  bool dup = false;
  if (i < j) {
    shared = n.offset(i);
    dup = B_node_keyshare(t, k, node, i);
  }
  if (!dup && i > 0) {
    shared = n.offset(i - 1);
    dup = B_node_keyshare(t, k, node, i - 1);
  }
  int32_t grow = 0;  // heap bytes k takes
  int32_t at = 0;    // k's offset in the result
  if (dup) {
    at = shared + freed;
    if (freed > 0) std::memmove(node + heap + freed, node + heap, static_cast<size_t>(off_j - heap));
  } else {
    // k's bytes go in front of those of entry i (the block end when k becomes the last entry), with a
    // copy of entry i's bytes in front of them when entries i-1 and i shared those (B_addkey_here).
    const int32_t extra = (i > 0 && i < j && shares_bytes(n, i - 1, i)) ? n.len(i) : 0;
    grow = k.len + extra;
    const int32_t below = i < j ? n.offset(i) : blksize - freed;  // bytes of entries 0..i-1 end here
    const int32_t end = below + freed;
    // Entries i..j-1 move up by freed, then entries 0..i-1 by freed - grow: the second move's target
    // lies wholly below the first one's, which has been read by then.
    if (freed > 0) std::memmove(node + end, node + below, static_cast<size_t>(off_j - below));
    std::memmove(node + heap + freed - grow, node + heap, static_cast<size_t>(below - heap));
    if (extra > 0) std::memcpy(node + end - grow, node + end, static_cast<size_t>(extra));
    if (k.len > 0) std::memcpy(node + end - k.len, k.key, static_cast<size_t>(k.len));
    at = end - k.len;
  }
  if (freed > grow) std::memset(node + heap, 0, static_cast<size_t>(freed - grow));
  n.set_heap_end(heap + freed - grow);
  uint8_t *slot = node + kHeaderSize + static_cast<size_t>(i) * e;
  std::memmove(slot + e, slot, static_cast<size_t>(j - i) * e);
  codec::store_i32(slot, kEntryOffsetOff, at);
  codec::store_i32(slot, kEntryLenOff, k.len);
  codec::store_u32(slot, kEntryItemOff, k.item);
  if (freed != grow) shift_offsets(node, e, 0, i, freed - grow);
  if (freed != 0) shift_offsets(node, e, i + 1, j + 1, freed);

  // B_del_key sends a position on entry j to the right neighbour's entry 0 (or EOI) and moves later ones
  // down; B_add_key then moves every position from i on up, which leaves those later ones where they were.
  const int32_t right = n.right();
  for_each_position(t, [&](int32_t &stat, int32_t &block, int32_t &index) {
    if (block != blk) return;
    if (index == j) {
      step_to_right(right, stat, block, index);
    } else if (index >= i && index < j) {
      ++index;
    }
  });
}

uint8_t *B_get_empty_block(Tree *t, int32_t *blkno) {
  CtlRec *c = t->ctl;
  if (c->freechain != 0) {
    const int32_t blk = c->freechain;
    uint8_t *d = B_getblk(t, blk, Ctx::kEmptyBlock);
    if (!d) return nullptr;
    NodeView n(d);
    // Only an unused block may come off the chain, and its link must stay inside the file.
    if (!n.is_unused() || n.next_unused() < 0 || n.next_unused() > c->highblock) {
      QRX_ERROR("Block number %d of %s is corrupt", blk, c->fname.c_str());
      B_rlseblk(t, d, Ctx::kNone);
      set_error(Err::kCorrupt, Ctx::kEmptyBlock);
      return nullptr;
    }
    *blkno = blk;
    c->freechain = n.next_unused();
    c->changes += 1;
    return d;
  }
  // Every block up to highblock was written when it was added, so a highblock beyond the file's last
  // block comes from a damaged control record; extending from it would write far past the end.
  if (c->highblock > B_block_limit(t)) {
    QRX_ERROR("Block number %d of %s is corrupt", 0, c->fname.c_str());
    set_error(Err::kCorrupt, Ctx::kEmptyBlock);
    return nullptr;
  }
  const int32_t blk = c->highblock + 1;
  void *fresh = empty_blk(c->bfile, blk);
  if (!fresh) {
    set_error(Err::kEmptyBlock, Ctx::kEmptyBlock);
    return nullptr;
  }
  // highblock names the last block the file really holds: it is raised only once the new block has been
  // written. After a failed write (a full disk) the next append tries the same block again.
  if (B_putblk(t, static_cast<uint8_t *>(fresh), true, Ctx::kEmptyBlock) < 0) return nullptr;
  c->highblock = blk;
  *blkno = blk;
  return B_getblk(t, blk, Ctx::kEmptyBlock);
}

// ---------------------------------------------------------------------------------------------------
// Header accessors.
// ---------------------------------------------------------------------------------------------------

namespace {

template <class Read>
int32_t read_header(Tree *t, int32_t blk, Ctx ctx, int32_t *out, Read read) {
  uint8_t *d = B_getblk(t, blk, ctx);
  if (!d) return -1;
  trace_node(blk, d, qrx::trace_flags(&qrx_trace_unit_));
  *out = read(NodeView(d));
  return B_rlseblk(t, d, ctx) < 0 ? -1 : 1;
}

}  // namespace

int32_t B_get_low_path(Tree *t, int32_t blk, int32_t *out) {
  return read_header(t, blk, Ctx::kLowPath, out, [](NodeView n) { return n.low_path(); });
}

int32_t B_get_right(Tree *t, int32_t blk, int32_t *out) {
  return read_header(t, blk, Ctx::kGetRight, out, [](NodeView n) { return n.right(); });
}

int32_t B_get_left(Tree *t, int32_t blk, int32_t *out) {
  return read_header(t, blk, Ctx::kGetLeft, out, [](NodeView n) { return n.left(); });
}

int32_t B_get_key_cnt(Tree *t, int32_t blk, int32_t *out) {
  return read_header(t, blk, Ctx::kGetKeyCnt, out, [](NodeView n) { return n.key_cnt(); });
}

namespace {

// Rewrites one sibling link of block blk, a node of the given kind whose link (at off) names `was`
// today; anything else is a damaged file (error 20), and the block is left as it was.
int32_t fix_link(Tree *t, int32_t blk, bool leaf, uint32_t off, int32_t was, int32_t value, Ctx ctx) {
  uint8_t *d = B_getblk(t, blk, ctx);
  if (!d) return -1;
  const uint32_t trace = qrx::trace_flags(&qrx_trace_unit_);
  trace_node(blk, d, trace);
  NodeView n(d);
  if (n.is_unused() || n.is_leaf() != leaf || codec::load_i32(d, off) != was) {
    B_rlseblk(t, d, Ctx::kNone);
    QRX_ERROR("Block number %d of %s is corrupt", blk, t->ctl->fname.c_str());
    set_error(Err::kCorrupt, ctx);
    return -1;
  }
  if (off == kRightOff) {
    QRX_BLOCK_TRACE_IN(trace, "new right will be %d", value);
  } else {
    QRX_BLOCK_TRACE_IN(trace, "new left will be %d", value);
  }
  codec::store_i32(d, off, value);
  return B_putblk(t, d, false, ctx) < 0 ? -1 : 1;
}

}  // namespace

int32_t B_fix_right(Tree *t, int32_t blk, bool leaf, int32_t was, int32_t value) {
  return fix_link(t, blk, leaf, kRightOff, was, value, Ctx::kFixRight);
}

int32_t B_fix_left(Tree *t, int32_t blk, bool leaf, int32_t was, int32_t value) {
  return fix_link(t, blk, leaf, kLeftOff, was, value, Ctx::kFixLeft);
}

}  // namespace qrx::cbt
