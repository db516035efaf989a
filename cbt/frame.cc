// frame.cc - the layer's anchor, the per-thread status codes with their texts, and the pool operations
// cbinit, cbexit, cbbufsize, cbbufcnt, cbaddbufs and cbrmbufs.
//
// The anchor is made once (InitGlobals through OSV1_InitializeOnce) and never freed. Its pointer is
// published with release order, so a thread that sees it also sees the record initialised. The anchor
// mutex guards bufsize, bufcnt, initcnt, pool and trees; bufsize and bufcnt are also read without it
// (they change only on the first cbinit and the last cbexit).
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

#include "cbt/cbt.h"
#include "cbt/ctl.h"
#include "cbt/pool/pool.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {
namespace {

// ---------------------------------------------------------------------------------------------------
// Texts of the codes.
// ---------------------------------------------------------------------------------------------------
constexpr const char *kErrorTexts[] = {
    "no error",
    "cannot create a btree file",
    "cannot open a btree file",
    "no buffer pool",
    "buffer pool error",
    "out of memory",
    "error getting disk block",
    "error getting empty block",
    "error putting disk block",
    "error releasing disk block",
    "error flushing blocks to disk",
    "error closing LRU buffered file",
    "control record parity error",
    "btree block size error",
    "invalid control record pointer",
    "invalid tree pointer",
    "invalid block or index cursor",
    "duplicate key not allowed",
    "duplicate key/item pair",
    "tree has no index entries",
    "node in tree is corrupted",
    "key not found",
    "no mark in index",
};
static_assert(std::size(kErrorTexts) == 23);

constexpr const char *kFunctionTexts[] = {
    "no function set", "cbinit",    "cbexit",    "cbclose",  "cbcreate",   "cbflush",   "cbopen",
    "cbhead",          "cbtail",    "cbnext",    "cbprev",   "cbcurr",     "cbkey",     "cbkeylen",
    "cbinsert",        "cbdelete",  "cbmodify",  "cbfind",   "cbfinditem", "cbmark",    "cbfindmark",
    "cbbufcnt",        "cbbufsize", "cbaddbufs", "cbrmbufs", "cbdepth",    "cbblksize",
};
static_assert(std::size(kFunctionTexts) == 27);

constexpr const char *kContextTexts[] = {
    "no context set",
    "creating new btree file",
    "opening btree file for read/write",
    "releasing all resources",
    "allocating buffer pool",
    "releasing buffer pool",
    "allocating control record",
    "reading control record",
    "writing control record",
    "making new control record",
    "validating arguments",
    "allocating a new tree",
    "releasing tree structure space",
    "getting item from leaf",
    "positioning to last leaf",
    "positioning to current leaf",
    "positioning to next key",
    "positioning to previous key",
    "physically closing file",
    "getting current key",
    "finding leaf containing key",
    "inserting key into node",
    "making first node in a tree",
    "getting unused or new empty block",
    "getting low path value",
    "deleting from empty tree",
    "deleting from unused block",
    "deleting key from node",
    "shifting keys to right sibling",
    "shifting keys to left sibling",
    "locating sub-tree containing key",
    "locating leaf at end of low path",
    "fixing right sibling pointer",
    "fixing left sibling pointer",
    "moving keys to right sibling",
    "moving keys to left sibling",
    "moving low path key to the right",
    "moving low path key to the left",
    "making new root node",
    "getting block number of right sibling",
    "getting block number of left sibling",
    "get key count from node",
    "re-syncronizing parent and child nodes",
    "swapping key in parent for new key",
    "checking for same parent",
    "checking node space",
    "removing unused keys in parent",
    "joining two nodes",
    "removing root node",
    "flushing btree to disk",
    "positioning to mark in index",
};
static_assert(std::size(kContextTexts) == 51);

template <size_t N>
const char *table_text(const char *const (&table)[N], int32_t code, const char *unknown) {
  if (code < 0 || static_cast<size_t>(code) >= N) return unknown;
  return table[code];
}

// ---------------------------------------------------------------------------------------------------
// Per-thread codes: one Codes record per thread; a shared static record when the thread's record cannot
// be made.
// ---------------------------------------------------------------------------------------------------
void InitThread(void *block) {
  std::memset(block, 0, sizeof(Codes));
}
void EndThread(void *) {}

OSV1_ThreadKey qrxcbthk_OSV1__T = {sizeof(Codes), &InitThread, &EndThread, 0, 0};
Codes g_fallback_codes = {0, 0, 0};

// ---------------------------------------------------------------------------------------------------
// The anchor.
// ---------------------------------------------------------------------------------------------------
volatile int32_t qrxcbtho = 0;  // once word of InitGlobals
std::atomic<Anchor *> cbt_anchor{nullptr};

void InitGlobals(void *) {
  auto *a = new (std::nothrow) Anchor;  // zeroed by its member initialisers; never freed
  // Without memory the anchor stays absent, and every operation that needs it fails as out of memory.
  if (!a || !B_ctlinit()) {
    delete a;
    return;
  }
  cbt_anchor.store(a, std::memory_order_release);
  QRX_DETAIL("cbt_anchor = %p", static_cast<void *>(a));
}

// bufsize and bufcnt are written under the anchor mutex and read without it: both sides go through
// atomic references so that an unlocked read never races with the first cbinit or the last cbexit.
uint32_t load_word(uint32_t &w) {
  return std::atomic_ref<uint32_t>(w).load(std::memory_order_relaxed);
}
void store_word(uint32_t &w, uint32_t v) {
  std::atomic_ref<uint32_t>(w).store(v, std::memory_order_relaxed);
}

// Pool arguments of the first cbinit, as fixed: counts are raised to at least 4, sizes below 36 (too
// small for a control record) become 512. All comparisons are unsigned.
constexpr uint32_t kMinBufCount = 4;
constexpr uint32_t kDefaultBufCount = 5;
constexpr uint32_t kMinBufSize = 36;
constexpr uint32_t kDefaultBufSize = 512;

}  // namespace

Codes &thread_codes() {
  // The thread's record lives until the thread ends, so its address is resolved once per thread.
  thread_local Codes *mine = nullptr;
  if (mine) return *mine;
  void *p = OSV1_ResolveThread(&qrxcbthk_OSV1__T, __FILE__, __LINE__);
  if (!p) return g_fallback_codes;
  mine = static_cast<Codes *>(p);
  return *mine;
}

Anchor *cbt_anchor_get() {
  Anchor *a = cbt_anchor.load(std::memory_order_acquire);
  if (a) return a;
  OSV1_InitializeOnce(&qrxcbtho, &InitGlobals, nullptr, __FILE__, __LINE__);
  return cbt_anchor.load(std::memory_order_acquire);
}

Anchor *cbt_anchor_peek() {
  return cbt_anchor.load(std::memory_order_acquire);
}

const char *cbt_error_text(int32_t code) {
  return table_text(kErrorTexts, code, "Unknown cbt error number");
}
const char *cbt_function_text(int32_t code) {
  return table_text(kFunctionTexts, code, "Unknown cbt function number");
}
const char *cbt_context_text(int32_t code) {
  return table_text(kContextTexts, code, "Unknown cbt context number");
}

void cbt_print_codes() {
  const Codes &k = thread_codes();
  std::printf("context: %s, function: %s\n%s\n", cbt_context_text(static_cast<int32_t>(k.context)),
              cbt_function_text(static_cast<int32_t>(k.function)),
              cbt_error_text(static_cast<int32_t>(k.error)));
}

uint32_t pool_bufsize() {
  Anchor *a = cbt_anchor_peek();
  return a ? load_word(a->bufsize) : 0;
}

int32_t cbt_init(uint32_t bufcnt, uint32_t bufsize) {
  Anchor *a = cbt_anchor_get();
  set_function(Fn::kInit);
  if (!a) {
    set_error(Err::kNoMemory, Ctx::kAllocPool);
    return -1;
  }
  int32_t result = 1;
  std::lock_guard g(a->mutex);
  a->initcnt += 1;
  if (a->initcnt == 1) {
    if (a->pool) {
      QRX_ERROR("Buffer pool already exists!");
      set_error(Err::kPool, Ctx::kAllocPool);
      result = -1;
    } else {
      if (bufcnt == 0) bufcnt = kDefaultBufCount;
      if (bufcnt < kMinBufCount) bufcnt = kMinBufCount;
      if (bufsize == 0 || bufsize < kMinBufSize) bufsize = kDefaultBufSize;
      uint32_t status = 0;
      BufPool *pool = mk_pool(bufsize, bufcnt, &status);
      if (!pool) {
        QRX_ERROR("Cannot create buffer pool");
        set_error(Err::kNoMemory, Ctx::kAllocPool);
        result = -1;
      } else {
        a->pool = pool;
        a->pool_id = pool->id;
        store_word(a->bufsize, bufsize);
        store_word(a->bufcnt, bufcnt);
      }
    }
  }
  QRX_DETAIL("cbt_anchor = %p, bufsize = %d, bufcnt = %d", static_cast<void *>(a),
             static_cast<int>(a->bufsize), static_cast<int>(a->bufcnt));
  return result;
}

int32_t cbt_exit() {
  Anchor *a = cbt_anchor_peek();
  if (!a) return 1;
  set_function(Fn::kExit);
  clear_error();
  std::lock_guard g(a->mutex);
  if (a->initcnt > 1) {
    a->initcnt -= 1;
    return 1;
  }
  a->initcnt = 0;
  if (!a->pool) {
    set_error(Err::kNoPool, Ctx::kReleaseAll);
    return -1;
  }
  int32_t result = 1;
  // Every handle still open is closed as cbclose would: with its record's mutex taken and `locked` set,
  // so that B_close gives the mutex back whatever happens. A handle an earlier exit could not close
  // belongs to a pool freed since; it is let go of without counting as a failure of this exit.
  while (a->trees) {
    Tree *t = a->trees;
    const bool orphan = !B_pool_current(a, t->ctl);
    t->ctl->mutex.lock();
    t->ctl->locked = 1;
    if (B_close(t) != 1 && !orphan) {
      result = -1;
      break;
    }
  }
  int32_t freed = free_pool(a->pool);
  a->pool = nullptr;
  a->pool_id = 0;
  store_word(a->bufsize, 0);
  store_word(a->bufcnt, 0);
  if (freed != 1) {
    set_error(Err::kPool, Ctx::kReleasePool);
    return -1;
  }
  clear_error();
  return result;
}

uint32_t cbt_bufsize() {
  set_function(Fn::kBufSize);
  Anchor *a = cbt_anchor_get();
  return a ? load_word(a->bufsize) : 0;
}

uint32_t cbt_bufcnt() {
  set_function(Fn::kBufCnt);
  Anchor *a = cbt_anchor_get();
  return a ? load_word(a->bufcnt) : 0;
}

namespace {

// Runs body(anchor) under the anchor mutex when a pool exists; 0 with error 3 otherwise.
template <class Body>
uint32_t with_pool(Body body) {
  Anchor *a = cbt_anchor_get();
  if (!a) {
    set_error(Err::kNoPool, Ctx::kAllocPool);
    return 0;
  }
  std::lock_guard g(a->mutex);
  if (!a->pool) {
    set_error(Err::kNoPool, Ctx::kAllocPool);
    return 0;
  }
  return body(a);
}

}  // namespace

uint32_t cbt_addbufs(uint32_t n) {
  set_function(Fn::kAddBufs);
  return with_pool([n](Anchor *a) {
    uint32_t added = expand_pool(a->pool, n);
    if (added < n) set_error(Err::kNoMemory, Ctx::kAllocPool);
    store_word(a->bufcnt, a->bufcnt + added);
    return added;
  });
}

uint32_t cbt_rmbufs(uint32_t n) {
  set_function(Fn::kRmBufs);
  return with_pool([n](Anchor *a) mutable {
    // The count the caller sees never drops below the minimum a pool is made with.
    uint32_t room = a->bufcnt > kMinBufCount ? a->bufcnt - kMinBufCount : 0;
    if (n > room) n = room;
    uint32_t removed = n ? shrink_pool(a->pool, n) : 0;
    store_word(a->bufcnt, a->bufcnt - removed);
    return removed;
  });
}

}  // namespace qrx::cbt
