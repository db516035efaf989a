// cbt.h - records shared by the whole B-tree layer: the layer anchor, the in-memory control record, the
// tree handle, the key-info record, the per-thread status codes and the public-operation lock.
//
// Layers: the B-tree layer calls the buffer pool (cbt/pool) and the block files (cbt/blockio), and the host
// services from anywhere; never upward.
// Locks, outermost first: anchor mutex (taken shared by an operation checking its handle, exclusively by
// cbinit/cbexit/cbopen/cbcreate/cbclose and the other changes of handle lists), then a control record's mutex
// (held for the whole of every operation on that file; guards the record's disk fields and its list of
// handles with their cursors and marks), then the control-record registry mutex, then the pool's registry
// mutex, pool mutex and shard locks.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "cbt/locks.h"
#include "qrxcb.h"

namespace qrx::cbt {
struct CtlRec;
}

// The tree handle handed to callers. One per successful cbopen or cbcreate. Every operation walks the
// anchor's list of handles to check its own, reading the first line of the handles before it, while the
// threads owning those handles move their cursors: the cursor fields live on a cache line of their own,
// and each handle starts on a line of its own, so that the walk reads only lines nobody writes.
struct alignas(64) cbt_tree {
  cbt_tree *next;         // next handle in the anchor's trees list, newest first; guarded by anchor mutex
  qrx::cbt::CtlRec *ctl;  // shared in-memory control record of the file
  cbt_keycmp_fn keycmp;   // compare function of this handle (never null)
  cbt_tree *file_next;    // next handle on the same control record; guarded by ctl->mutex
  alignas(64) int32_t pos_stat;  // cursor state: 1 OK, -2 BOI, -3 EOI
  int32_t curblock;              // leaf block of the cursor, -1 when not on an entry
  int32_t curindex;              // entry index of the cursor in that leaf
  int32_t mrk_stat;              // mark state, as pos_stat; -1 when no mark was set
  int32_t mrkblock;              // leaf block of the mark
  int32_t mrkindex;              // entry index of the mark
};

namespace qrx::cbt {

using Tree = cbt_tree;

// Blocks a public operation keeps pinned between its uses of them. An operation gets the same few
// blocks again and again (the path from the root, a leaf and its siblings): a block it releases stays
// pinned here, and its next get of that block within the operation costs no pool call. Whatever is
// left is given back when the operation ends (B_pins_end), in the state the operation left it (dirty
// when it was put back). Guarded by the record's mutex.
struct PinCache {
  static constexpr int kSlots = 8;
  struct Slot {
    uint8_t *data;  // the pinned block's data area (one pool pin, whatever the users)
    int32_t blkno;
    int32_t users;  // gets handed out and not yet released
    bool dirty;     // put back without being written
    uint32_t last;  // value of clock at the block's last get
  };
  Slot slots[kSlots];
  int count = 0;
  uint32_t clock = 0;   // counts gets
  bool active = false;  // only inside an operation that gives them back at its end
};

// In-memory control record: one per open file name, shared by every handle on that file. It starts on
// a cache line of its own, so that threads working on different files never write one line.
struct alignas(64) CtlRec {
  // The nine fields of the on-disk control record (block 0). Guarded by mutex.
  uint32_t blksize = 0;   // block size of the file in bytes
  int32_t root = 0;       // root block, 0 when the tree is empty
  int32_t highblock = 0;  // highest block in use
  int32_t lowleaf = 0;    // leftmost leaf, 0 when empty
  int32_t highleaf = 0;   // rightmost leaf, 0 when empty
  int32_t freechain = 0;  // head of the unused-block chain, 0 when empty
  int32_t depth = 0;      // levels: 0 empty, 1 root is a leaf
  uint32_t vparity = 0;   // parity over the first 28 bytes (set by cbcreate only)
  int32_t openflag = 0;   // -1 while open read/write, 0 after a proper close

  CtlRec *next = nullptr;  // registry links; guarded by the registry mutex
  CtlRec *prev = nullptr;
  int32_t nopen = 0;        // opens currently holding the record; guarded by the registry mutex
  Bfile *bfile = nullptr;   // the pool's file record
  int32_t locked = 0;       // set by cbclose while it holds mutex, so the release gives it back
  NappingMutex mutex;       // held by every public operation on the file
  uint32_t access = 0;      // 1 read-only, 2 read and write
  Tree *handles = nullptr;  // handles on this file (linked by file_next); guarded by mutex
  uint64_t changes = 0;     // blocks put back, taken or linked anew since the open; guarded by mutex
  bool unclean = false;     // a change failed half-way: the last close leaves openflag -1; guarded by mutex
  std::string fname;        // file name exactly as given to cbopen or cbcreate
  PinCache pins;            // guarded by mutex
};

// A key in transit through search and insertion.
struct KeyInfo {
  const uint8_t *key = nullptr;  // key bytes
  int32_t len = 0;               // key length in bytes
  uint32_t item = 0;             // the caller's 32-bit value
  int32_t dupok = 0;             // nonzero when equal keys with other items are allowed
  int32_t child = 0;             // child block when inserted into an interior node
};

// Process-wide anchor of the layer, made once and never freed.
struct Anchor {
  AnchorLock mutex;         // the layer's process mutex (shared: an operation checking its handle)
  uint32_t bufsize = 0;     // buffer size the pool was made with; 0 without a pool
  uint32_t bufcnt = 0;      // buffer count as callers see it; 0 without a pool
  uint32_t initcnt = 0;     // cbinit calls not yet matched by cbexit
  BufPool *pool = nullptr;  // the buffer pool, or null
  uint64_t pool_id = 0;     // the pool's unique id (a later pool may reuse its address), 0 without one
  Tree *trees = nullptr;    // open tree handles, newest first
};

// The anchor, made on first use (InitGlobals, once per process).
Anchor *cbt_anchor_get();

// ---------------------------------------------------------------------------------------------------
// Status codes. Error numbers 0..22, function numbers 0..26, context numbers 0..50 (texts in frame.cc).
// ---------------------------------------------------------------------------------------------------
enum class Err : uint32_t {
  kNone = 0,
  kCreate = 1,
  kOpen = 2,
  kNoPool = 3,
  kPool = 4,
  kNoMemory = 5,
  kGetBlock = 6,
  kEmptyBlock = 7,
  kPutBlock = 8,
  kReleaseBlock = 9,
  kFlush = 10,
  kCloseFile = 11,
  kParity = 12,
  kBlockSize = 13,
  kBadCtl = 14,
  kBadTree = 15,
  kBadCursor = 16,
  kDupKey = 17,
  kDupPair = 18,
  kEmptyTree = 19,
  kCorrupt = 20,
  kNotFound = 21,
  kNoMark = 22
};

enum class Fn : uint32_t {
  kNone = 0,
  kInit = 1,
  kExit = 2,
  kClose = 3,
  kCreate = 4,
  kFlush = 5,
  kOpen = 6,
  kHead = 7,
  kTail = 8,
  kNext = 9,
  kPrev = 10,
  kCurr = 11,
  kKey = 12,
  kKeyLen = 13,
  kInsert = 14,
  kDelete = 15,
  kModify = 16,
  kFind = 17,
  kFindItem = 18,
  kMark = 19,
  kFindMark = 20,
  kBufCnt = 21,
  kBufSize = 22,
  kAddBufs = 23,
  kRmBufs = 24,
  kDepth = 25,
  kBlkSize = 26
};

enum class Ctx : uint32_t {
  kNone = 0,
  kCreateFile = 1,
  kOpenRW = 2,
  kReleaseAll = 3,
  kAllocPool = 4,
  kReleasePool = 5,
  kAllocCtl = 6,
  kReadCtl = 7,
  kWriteCtl = 8,
  kMakeCtl = 9,
  kValidateArgs = 10,
  kAllocTree = 11,
  kReleaseTree = 12,
  kGetItem = 13,
  kLastLeaf = 14,
  kCurrentLeaf = 15,
  kNextKey = 16,
  kPrevKey = 17,
  kCloseFile = 18,
  kCurrentKey = 19,
  kFindLeaf = 20,
  kInsertKey = 21,
  kFirstNode = 22,
  kEmptyBlock = 23,
  kLowPath = 24,
  kDeleteEmpty = 25,
  kDeleteUnused = 26,
  kDeleteKey = 27,
  kShiftRight = 28,
  kShiftLeft = 29,
  kLocSubtree = 30,
  kLocLowLeaf = 31,
  kFixRight = 32,
  kFixLeft = 33,
  kMoveRight = 34,
  kMoveLeft = 35,
  kLowPathRight = 36,
  kLowPathLeft = 37,
  kMakeRoot = 38,
  kGetRight = 39,
  kGetLeft = 40,
  kGetKeyCnt = 41,
  kResync = 42,
  kSwapKey = 43,
  kSameParent = 44,
  kNodeSpace = 45,
  kRemoveUnused = 46,
  kJoin = 47,
  kRemoveRoot = 48,
  kFlushTree = 49,
  kMark = 50
};

// The calling thread's three code words (per-thread record, process-wide fallback).
struct Codes {
  uint32_t context;   // step under way when something went wrong
  uint32_t function;  // public operation last entered
  uint32_t error;     // what went wrong
};
Codes &thread_codes();

inline void set_function(Fn f) {
  thread_codes().function = static_cast<uint32_t>(f);
}
inline void set_error(Err e, Ctx c) {
  Codes &k = thread_codes();
  k.error = static_cast<uint32_t>(e);
  k.context = static_cast<uint32_t>(c);
}
inline void clear_error() {
  set_error(Err::kNone, Ctx::kNone);
}
inline uint32_t last_error() {
  return thread_codes().error;
}

// ---------------------------------------------------------------------------------------------------
// Public-operation lock.
// ---------------------------------------------------------------------------------------------------

// Takes the anchor mutex, checks that the handle is open (else error 15, context 10) and that its
// control record is registered (else error 14, context 10), takes the record's mutex and releases the
// anchor mutex. Returns true with the record's mutex held.
bool lock_tree(Tree *t);
void unlock_tree(Tree *t);

// Starts keeping released blocks pinned for the operation (PinCache); B_pins_end gives every one back.
// The caller holds the record's mutex.
inline void B_pins_begin(CtlRec *c);
void B_pins_end(CtlRec *c);

// RAII form: owns the record's mutex when ok(), and the operation's pin cache with it.
class TreeLock {
 public:
  explicit TreeLock(Tree *t) : t_(lock_tree(t) ? t : nullptr) {
    if (t_) B_pins_begin(t_->ctl);
  }
  ~TreeLock() {
    if (t_) {
      B_pins_end(t_->ctl);
      unlock_tree(t_);
    }
  }
  TreeLock(const TreeLock &) = delete;
  TreeLock &operator=(const TreeLock &) = delete;
  bool ok() const { return t_ != nullptr; }

 private:
  Tree *t_;
};

inline void B_pins_begin(CtlRec *c) {
  c->pins.active = true;
}

// The handle checks under the anchor mutex, without taking the record's mutex.
bool B_is_tree_valid(Tree *t);

// True when the file of ctl goes through the anchor's current pool. A handle that an earlier cbexit
// could not close keeps a file whose pool has been freed since; no block of it may be touched. The
// caller holds the anchor mutex.
bool B_pool_current(const Anchor *a, const CtlRec *ctl);

// Change operations (cbinsert, cbdelete, cbmodify) on a file open read-only are refused: false with
// error 2, context 2. The caller holds the record's mutex.
bool B_writable(Tree *t);
// Records that a change failed after it had altered blocks of the file (ctl->changes moved): the last
// close then leaves the file marked open on disk, so that the next open asks for a verification.
void B_mark_unclean(Tree *t);

// Test hook of the layers above: while armed, every change call of the chosen functions (Fn::kInsert,
// kDelete, kModify as bits 1 << code) is counted, process-wide, and the nth one (1 = the next) fails
// before it reads anything: -1 with error 6 "error getting disk block", nothing changed. Disarmed, the
// check costs one relaxed atomic load per change.
void change_fault_arm(uint32_t fn_bits, uint64_t nth);
void change_fault_disarm();
uint64_t change_fault_count();  // change calls counted since change_fault_arm
inline constexpr uint32_t fn_bit(Fn fn) {
  return 1u << static_cast<uint32_t>(fn);
}

// Calls f(stat, block, index) for the cursor and for the mark of every handle open on t's file. The
// caller holds t->ctl->mutex (every modification does), which guards those fields.
template <class F>
void for_each_position(Tree *t, F &&f) {
  for (Tree *h = t->ctl->handles; h; h = h->file_next) {
    f(h->pos_stat, h->curblock, h->curindex);
    f(h->mrk_stat, h->mrkblock, h->mrkindex);
  }
}

}  // namespace qrx::cbt
