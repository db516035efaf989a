// node.h - the layout of leaf, interior and unused blocks, block access with structural checks, and
// the primitives that put an entry into a node or take one out.
//
// Every block after block 0 of an index file, all fields big-endian:
//
//   offset  width  field      meaning
//   0       4      low_path   -1 leaf; 0 unused block; >0 interior: child holding keys below entry 0
//   4       4      left       left sibling on the same level, 0 none (unused block: next_unused)
//   8       4      right      right sibling on the same level, 0 none
//   12      4      key_cnt    entries; interior: 0 = low path only, -1 = empty (no low path either)
//   16      4      heap_end   offset of the first key byte; blksize when the heap is empty
//   20      ...    entries    key_cnt entries in (key, item) order
//
//   leaf entry (12 = 4 + 4 + 4):      offset, len, item
//   interior entry (16 = 4+4+4+4):    offset, len, item, child
//
// Key heap: key bytes fill the block from heap_end to its end, in entry order and without gaps. An entry
// whose key equals a neighbour's key (under the tree's compare function) and has the same length shares
// the neighbour's bytes (same offset, counted once). An empty key has no bytes; its offset is where the
// next key starts.
//
// All primitives work on a block the caller holds pinned. Layers: node -> search (for equality tests and
// the lowest key under a low path) -> buffer pool.
#pragma once

#include <cstdint>

#include "cbt/cbt.h"
#include "cbt/codec.h"

// The trace lines of host/qrxtrace.h for a caller that read its unit's flags once (qrx::trace_flags) for
// a whole descent or operation: each line keeps its flag and tests the word the caller holds.
#define QRX_BLOCK_TRACE_IN(flags, ...)                                                    \
  do {                                                                                    \
    if (((flags)&TLG1_BLOCKS) != 0) TLG1_Printf(&qrx_trace_unit_, __LINE__, __VA_ARGS__); \
  } while (0)
#define QRX_DETAIL_IN(flags, ...)                                                         \
  do {                                                                                    \
    if (((flags)&TLG1_DETAIL) != 0) TLG1_Printf(&qrx_trace_unit_, __LINE__, __VA_ARGS__); \
  } while (0)
#define QRX_ENTRY_IN(flags)                                                                          \
  do {                                                                                               \
    if (((flags)&TLG1_ENTRY_EXIT) != 0) TLG1_Event(&qrx_trace_unit_, __LINE__, TLG1_EVENT_ENTRY, 0); \
  } while (0)
#define QRX_EXIT_IN(flags, value)                                                              \
  do {                                                                                         \
    if (((flags)&TLG1_ENTRY_EXIT) != 0)                                                        \
      TLG1_Event(&qrx_trace_unit_, __LINE__, TLG1_EVENT_EXIT_VALUE, static_cast<long>(value)); \
  } while (0)

namespace qrx::cbt {

inline constexpr uint32_t kLowPathOff = 0;
inline constexpr uint32_t kLeftOff = 4;
inline constexpr uint32_t kNextUnusedOff = 4;
inline constexpr uint32_t kRightOff = 8;
inline constexpr uint32_t kKeyCntOff = 12;
inline constexpr uint32_t kHeapEndOff = 16;
inline constexpr uint32_t kHeaderSize = 4 + 4 + 4 + 4 + 4;
inline constexpr uint32_t kLeafEntrySize = 4 + 4 + 4;
inline constexpr uint32_t kNodeEntrySize = 4 + 4 + 4 + 4;
inline constexpr uint32_t kEntryOffsetOff = 0;
inline constexpr uint32_t kEntryLenOff = 4;
inline constexpr uint32_t kEntryItemOff = 8;
inline constexpr uint32_t kEntryChildOff = 12;
static_assert(kHeaderSize == 20 && kLeafEntrySize == 12 && kNodeEntrySize == 16);

// Byte-level view of a pinned node block. No checks: callers index only entries that exist (0 <= i <
// key_cnt) of a block that passed B_node_valid or that this layer wrote itself.
class NodeView {
 public:
  explicit NodeView(uint8_t *d) : d_(d) {}
  explicit NodeView(const uint8_t *d) : d_(const_cast<uint8_t *>(d)) {}
  uint8_t *data() const { return d_; }

  int32_t low_path() const { return codec::load_i32(d_, kLowPathOff); }
  int32_t left() const { return codec::load_i32(d_, kLeftOff); }
  int32_t next_unused() const { return codec::load_i32(d_, kNextUnusedOff); }
  int32_t right() const { return codec::load_i32(d_, kRightOff); }
  int32_t key_cnt() const { return codec::load_i32(d_, kKeyCntOff); }
  int32_t heap_end() const { return codec::load_i32(d_, kHeapEndOff); }
  void set_low_path(int32_t v) { codec::store_i32(d_, kLowPathOff, v); }
  void set_left(int32_t v) { codec::store_i32(d_, kLeftOff, v); }
  void set_next_unused(int32_t v) { codec::store_i32(d_, kNextUnusedOff, v); }
  void set_right(int32_t v) { codec::store_i32(d_, kRightOff, v); }
  void set_key_cnt(int32_t v) { codec::store_i32(d_, kKeyCntOff, v); }
  void set_heap_end(int32_t v) { codec::store_i32(d_, kHeapEndOff, v); }

  bool is_leaf() const { return low_path() == -1; }
  bool is_unused() const { return low_path() == 0; }
  uint32_t esize() const { return is_leaf() ? kLeafEntrySize : kNodeEntrySize; }
  uint32_t entry_pos(int32_t i) const { return kHeaderSize + static_cast<uint32_t>(i) * esize(); }

  int32_t offset(int32_t i) const { return codec::load_i32(d_, entry_pos(i) + kEntryOffsetOff); }
  int32_t len(int32_t i) const { return codec::load_i32(d_, entry_pos(i) + kEntryLenOff); }
  uint32_t item(int32_t i) const { return codec::load_u32(d_, entry_pos(i) + kEntryItemOff); }
  int32_t child(int32_t i) const { return codec::load_i32(d_, entry_pos(i) + kEntryChildOff); }
  const uint8_t *key(int32_t i) const { return d_ + offset(i); }
  void set_offset(int32_t i, int32_t v) { codec::store_i32(d_, entry_pos(i) + kEntryOffsetOff, v); }
  void set_len(int32_t i, int32_t v) { codec::store_i32(d_, entry_pos(i) + kEntryLenOff, v); }
  void set_item(int32_t i, uint32_t v) { codec::store_u32(d_, entry_pos(i) + kEntryItemOff, v); }
  void set_child(int32_t i, int32_t v) { codec::store_i32(d_, entry_pos(i) + kEntryChildOff, v); }

 private:
  uint8_t *d_;
};

// Adds delta to the key offsets of entries first..last-1 (an empty range does nothing) of a node whose
// entries are e bytes long (kLeafEntrySize or kNodeEntrySize). One pass with a fixed stride: the entry
// size is the caller's, not re-read from the block for every entry.
void shift_offsets(uint8_t *node, uint32_t e, int32_t first, int32_t last, int32_t delta);

// True when the block's header, directory and key heap are consistent with the layout above: header
// words in range, the directory below heap_end, every key inside the heap, keys packed in entry order
// without gaps up to blksize (shared keys: same offset and length as the previous entry). Unused blocks
// (low_path 0) are always accepted. Anything that passes can be handled without reading outside the block.
bool B_node_valid(const uint8_t *node, uint32_t blksize);

// ---------------------------------------------------------------------------------------------------
// Block access for the tree layer. Every node block goes through these: B_getblk checks a block's
// structure the first time it is used after being read from disk.
// ---------------------------------------------------------------------------------------------------

// The pinned block, or null with error 6 (cannot be read) or 20 (block number below 1, or a block that
// fails B_node_valid: "node in tree is corrupted") and the given context.
uint8_t *B_getblk(Tree *t, int32_t blkno, Ctx ctx);
// Unpins: 1, or -1 with error 9 and the context (with Ctx::kNone a failure leaves the codes alone; the
// NodeRef destructor uses that on paths that already failed).
int32_t B_rlseblk(Tree *t, uint8_t *node, Ctx ctx);
// Unpins, writing now or marking dirty: 1, or -1 with error 8 and the context.
int32_t B_putblk(Tree *t, uint8_t *node, bool writenow, Ctx ctx);
// Writes a node the caller holds (and keeps holding) to disk now: clean once written; after a failed
// write it stays dirty and goes out with a later write-back, as any change does. 1, or -1 when the write
// failed; sets no codes. The caller then releases the node with B_rlseblk.
int32_t B_write_held(Tree *t, uint8_t *node);

// Pins a node for a scope: released on destruction unless put() or release() was called.
class NodeRef {
 public:
  NodeRef() = default;
  NodeRef(Tree *t, int32_t blkno, Ctx ctx) : t_(t), blk_(blkno), d_(B_getblk(t, blkno, ctx)) {}
  ~NodeRef() {
    if (d_) B_rlseblk(t_, d_, Ctx::kNone);
  }
  NodeRef(const NodeRef &) = delete;
  NodeRef &operator=(const NodeRef &) = delete;
  NodeRef(NodeRef &&o) noexcept : t_(o.t_), blk_(o.blk_), d_(o.d_) { o.d_ = nullptr; }
  NodeRef &operator=(NodeRef &&o) noexcept {
    if (this != &o) {
      if (d_) B_rlseblk(t_, d_, Ctx::kNone);
      t_ = o.t_;
      blk_ = o.blk_;
      d_ = o.d_;
      o.d_ = nullptr;
    }
    return *this;
  }
  explicit operator bool() const { return d_ != nullptr; }
  uint8_t *data() const { return d_; }
  NodeView view() const { return NodeView(d_); }
  int32_t blkno() const { return blk_; }
  // Takes over a block pinned elsewhere (B_get_empty_block).
  void adopt(Tree *t, int32_t blkno, uint8_t *d) {
    if (d_) B_rlseblk(t_, d_, Ctx::kNone);
    t_ = t;
    blk_ = blkno;
    d_ = d;
  }
  int32_t release(Ctx ctx) {
    uint8_t *d = d_;
    d_ = nullptr;
    return d ? B_rlseblk(t_, d, ctx) : 1;
  }
  // Writes the held block now (B_write_held) and releases it: the order of writes a move of entries
  // needs. -1 only when the release fails; a failed write leaves the block to the write-back.
  int32_t write_release(Ctx ctx) {
    if (!d_) return 1;
    B_write_held(t_, d_);
    return release(ctx);
  }
  int32_t put(bool writenow, Ctx ctx) {
    uint8_t *d = d_;
    d_ = nullptr;
    return d ? B_putblk(t_, d, writenow, ctx) : 1;
  }

 private:
  Tree *t_ = nullptr;
  int32_t blk_ = 0;
  uint8_t *d_ = nullptr;
};

// ---------------------------------------------------------------------------------------------------
// Node primitives.
// ---------------------------------------------------------------------------------------------------
void B_init_leaf(uint8_t *node, int32_t left, int32_t right, int32_t heap_end);
// Sets the five header words with key_cnt -1.
void B_init_node(uint8_t *node, int32_t low_path, int32_t left, int32_t right, int32_t heap_end);

// Puts k at index i (i = -1 in an interior node: k.child becomes the low path). The caller has made sure
// it fits. 1, or -1 (error 6/9, context 21, when the lowest key under the old low path cannot be read).
int32_t B_addkey_here(Tree *t, const KeyInfo &k, uint8_t *node, int32_t i);
// Removes entry i (i = -1 in an interior node: the low path), keeping bytes a neighbour still shares.
void B_rmvkey_here(Tree *t, uint8_t *node, int32_t i);
// True when entry i shares its key bytes with entry i-1 or i+1 (only entries that exist are looked at).
bool is_key_duplicate(const uint8_t *node, int32_t i);

uint32_t B_calc_used_space(Tree *t, const uint8_t *node);
uint32_t B_calc_free_space(Tree *t, const uint8_t *node);
// Space of entries a..b: 0 when b < a (a below 0 counts as 0), else directory plus key bytes counted once.
uint32_t B_calc_key_space(const uint8_t *node, int32_t a, int32_t b);
// Would the node, holding only its entries a..b, take k as a new entry at index i?
bool B_key_fit(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i, int32_t a, int32_t b);
// 0 fits, 1 does not fit, -1 failure.
int32_t B_ins_complications(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i);
// B_addkey_here plus cursor and mark correction when the node is a leaf. 1, or -1.
int32_t B_add_key(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i);
// B_rmvkey_here plus cursor and mark correction when the node is a leaf.
void B_del_key(Tree *t, int32_t blk, uint8_t *node, int32_t i);
// In leaf blk: B_del_key of the last entry followed by B_add_key of k at index i (0 <= i < key_cnt), with
// the same bytes, cursors and marks, but one move of the heap and one pass over the directory. The caller
// has made sure k fits once the last entry is gone and that k's bytes do not lie in this block.
void B_replace_last(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i);
// The key-info (dupok 0, child = the low path) of the lowest entry under interior node n's low path, read
// from that leftmost leaf, which stays pinned in *leaf because the key bytes live in its buffer. False with
// the codes set (context ctx; a leaf without entries is error 20).
bool B_lowest_under_low_path(Tree *t, const NodeView &n, Ctx ctx, NodeRef *leaf, KeyInfo *k);
// A pinned block for a new node: the head of the unused chain, or block highblock + 1 appended to the
// file at once. Null with the codes set (context 23).
uint8_t *B_get_empty_block(Tree *t, int32_t *blkno);
// Highest block number a walk over t's file can meet: highblock, lowered to the last block the file
// really holds (dump.cc).
int32_t B_block_limit(Tree *t);

// Header accessors: get the block, read or write one word, give it back. 1, or -1.
int32_t B_get_low_path(Tree *t, int32_t blk, int32_t *out);
int32_t B_get_right(Tree *t, int32_t blk, int32_t *out);
int32_t B_get_left(Tree *t, int32_t blk, int32_t *out);
int32_t B_get_key_cnt(Tree *t, int32_t blk, int32_t *out);
// The writers check that blk is a node of the caller's kind (leaf or interior) whose link names `was`
// (the caller's own block) before they change it; otherwise error 20 and nothing changes.
int32_t B_fix_right(Tree *t, int32_t blk, bool leaf, int32_t was, int32_t value);
int32_t B_fix_left(Tree *t, int32_t blk, bool leaf, int32_t was, int32_t value);

}  // namespace qrx::cbt
