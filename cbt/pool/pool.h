// pool.h - the shared LRU buffer pool: records, internal steps and the hooks the B-tree layer uses.
//
// Owns: the process-wide pool registry (qrxcbbpa: every pool and every open Bfile), the pools and their
// buffers, and the Bfile records. Calls: the block-file helpers and the host services only.
// Locks, outermost first: the registry mutex, held only while a Bfile or pool is looked up or linked;
// then one pool mutex, held alone for the rest of an operation including its disk transfers. The pool
// mutex guards the pool's buffer list, its index and every buffer header, and the mutable Bfile fields.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "qrxcb.h"

namespace qrx::pool {

// Links of the registry's and the pools' circular doubly linked lists; a bare Link is a list sentinel.
struct Link {
  Link *next = this;  // the sentinel's next is the first element
  Link *prev = this;  // the sentinel's prev is the last element
};

// Inserts l as the first element of list; takes l out of its list (l then links to itself).
void link_front(Link &list, Link *l);
void unlink(Link *l);

// Buffer record: one allocation, this header followed by the data area of the pool's bufsize bytes.
// A buffer is free (fid 0), assigned to a block of an open file (fid of that file, indexed), or detached
// (fid 0, still pinned: its file was closed while a holder still had its data address).
struct alignas(16) BufRec : Link {  // next, prev: links in the pool's bufs list (front = least recent)
  int32_t pincnt = 0;               // number of holders; above 0 the buffer is never reused or dropped
  int32_t fd = -1;                  // descriptor of the file whose block this is; -1 when free
  int32_t blkno = -1;               // block number held; -1 when free
  uint32_t blksize = 0;             // block size of that file
  int32_t dirty = 0;                // 1 when the data area has changes not yet written
  uint8_t *data = nullptr;          // the data area, right behind this header
  uint64_t fid = 0;                 // unique id of the Bfile the block belongs to; 0 when free or detached
  BufRec *hnext = nullptr;          // next buffer in the same index bucket
  std::atomic<uint8_t> checked{0};  // set by the B-tree layer once the block's structure was validated
};
// The data area starts at a 16-byte boundary right behind the header.
static_assert(sizeof(BufRec) % 16 == 0);

// Index of the assigned buffers by (file id, block number): a power-of-two table of intrusive hash
// chains, kept at one bucket or more per allocated buffer so that a lookup costs a constant expected
// time while a pool's unused budget costs nothing.
class BlockIndex {
 public:
  BufRec *find(uint64_t fid, int32_t blkno) const;
  void insert(BufRec *buf);  // buf->fid and buf->blkno set, not yet indexed
  void erase(BufRec *buf);   // buf indexed under its current fid and blkno
  // Grows the table to at least `buffers` buckets. Without memory the table keeps its size, which only
  // lengthens the chains.
  void reserve(size_t buffers);
  bool ready() const { return !buckets_.empty(); }

 private:
  size_t slot(uint64_t fid, int32_t blkno) const;
  std::vector<BufRec *> buckets_;  // chains through BufRec::hnext
  unsigned shift_ = 64;            // 64 minus log2 of the bucket count
};

// The data addresses of a pool's buffers, so that an address handed back by a caller can be checked
// without touching memory that may not be a buffer. Open addressing with linear probing; 0 marks an
// empty slot; deletion shifts the following entries back, so there are no tombstones.
class AddrSet {
 public:
  bool contains(const void *p) const;
  bool insert(const void *p);  // false without memory (the set is unchanged)
  void erase(const void *p);

 private:
  size_t home(uintptr_t key) const;
  bool grow();
  std::vector<uintptr_t> slots_;
  size_t count_ = 0;
  unsigned shift_ = 64;
};

}  // namespace qrx::pool

// Pool record.
struct BufPool : qrx::pool::Link {  // next, prev: links in the registry's pools list
  qrx::pool::Link bufs;             // buffers: first = least recently used, last = most recently used
  uint32_t bufsize = 0;             // size of every buffer's data area in bytes
  std::mutex mutex;                 // the pool mutex
  uint64_t id = 0;                  // unique id; a Bfile names its pool by address and id
  uint32_t nbufs = 0;               // the pool's buffer count as callers see it; guarded by mutex
  uint32_t allocated = 0;           // buffers in bufs, at most nbufs (see alloc_bufs); guarded by mutex
  qrx::pool::BlockIndex index;      // assigned buffers by (file id, block); guarded by mutex
  qrx::pool::AddrSet addrs;         // data addresses of all buffers; guarded by mutex
  std::atomic<uint64_t> reads{0};   // blocks read from disk by get_blk
  std::atomic<uint64_t> writes{0};  // blocks written to disk (write-now, write-back, flush)
};

// Per open block file (made by open_blks, freed by close_blks).
struct Bfile : qrx::pool::Link {  // next, prev: links in the registry's bfiles list
  int32_t fd = -1;                // the descriptor; guarded by the pool mutex once registered
  BufPool *pool = nullptr;        // the pool the file's blocks go through
  uint32_t blksize = 0;           // the file's block size (first four bytes of the file)
  uint8_t rdonly = 1;             // 1 read-only, 0 read and write; guarded by the pool mutex once registered
  uint64_t fid = 0;               // unique id the file's buffers are indexed by, never reused
  uint64_t pool_id = 0;           // id of `pool` when the file was opened
};

namespace qrx::pool {

// Pool registry qrxcbbpa: made once, never freed.
struct Registry {
  std::mutex mutex;  // the registry mutex
  Link pools;        // all pools; guarded by mutex
  Link bfiles;       // all open Bfiles; guarded by mutex
};

// The registry, made on first use through the once word qrxcbbpo.
Registry &registry();
// A fresh id for a pool or a file (never 0, never reused).
uint64_t next_id();

// The calling thread's pool status word (same as qrxcbbpe()).
uint32_t *status_word();

// Looks `pool` up among the registered pools (registry mutex held); null when it is not there or its id
// differs from `id` (0 accepts any id). Never dereferences an unregistered address.
BufPool *find_pool(Registry &r, const BufPool *pool, uint64_t id = 0);
// True when bf is a registered Bfile (registry mutex held). Never dereferences an unregistered address.
bool find_bfile(Registry &r, const Bfile *bf);

// A pool mutex held through the registry's lock order (lock_pool / unlock_pool).
class PoolLock {
 public:
  PoolLock() = default;
  void unlock() { lock_.unlock(); }  // unlock_pool
  // Takes the pool mutex of a registered pool (lock_pool): false when the pool is not registered.
  bool lock(BufPool *pool);
  // Looks bf up and takes its pool's mutex: 0, or the status explaining the failure (8 the Bfile is
  // not registered, 1 its pool is not).
  uint32_t lock_file(const Bfile *bf);
  BufPool *pool() const { return pool_; }

 private:
  BufPool *pool_ = nullptr;
  std::unique_lock<std::mutex> lock_;
};

// Internal steps; all need the pool mutex held.
// A pool's nbufs buffers are allocated when they are first needed: nbufs - allocated of them exist only
// as budget, counted as free buffers at the least recently used end. alloc_bufs allocates up to n
// zeroed free buffers (never past nbufs) and puts them at that end; when memory runs out it leaves an
// error line and returns the number it could allocate, setting no status: the caller decides whether
// the request fails.
uint32_t alloc_bufs(BufPool *pool, uint32_t n);
// The buffer holding the block, or null.
inline BufRec *find_rec(BufPool *pool, const Bfile *bf, int32_t blkno) {
  return pool->index.find(bf->fid, blkno);
}
// The replacement rule: the least recently used unpinned buffer, written back first when dirty (a failed
// write-back sets status 4 and skips it), where budget not yet allocated counts as free buffers ahead of
// all others: some of it is allocated rather than evicting an assigned buffer. When none is found and
// `grow` is set, the pool grows by one buffer. The buffer comes back free and unpinned at its place in
// the list, or null, which the caller reports as status 3 where that is a failure (shrinking merely
// stops).
BufRec *empty_rec(BufPool *pool, uint32_t *status, bool grow = true);
// Moves the buffer to the most recently used end.
void set_mru(BufPool *pool, BufRec *buf);
// Assigns a free buffer to a block of bf and indexes it (not pinned, clean, not checked).
void assign_rec(BufPool *pool, BufRec *buf, const Bfile *bf, int32_t blkno);
// Makes an assigned buffer free (fd and blkno -1, clean) and removes it from the index.
void release_rec(BufPool *pool, BufRec *buf);
// Writes a buffer's block to its own descriptor; counts the write. 1, or -1.
int32_t write_rec(BufPool *pool, BufRec *buf, uint32_t blksize);
// The buffer whose data area is `data` when it is a pinned block of bf in this pool, else null. Reads
// no memory at `data` unless it is the data area of one of the pool's buffers.
BufRec *pinned_rec(BufPool *pool, const Bfile *bf, const void *data);
// Writes bf's dirty buffers back: 1, or -1 when a write failed (those buffers stay dirty).
int32_t write_file_bufs(BufPool *pool, const Bfile *bf);
// Unlinks a buffer from the list and the address set and frees it (index entry already removed); the
// pool's count drops with it.
void free_rec(BufPool *pool, BufRec *buf);

// Bodies of the exported operations (same contracts as in qrxcb.h); the exported functions add the
// entry and exit events. Each sets the calling thread's pool status: 0 on success, except that a get_blk,
// empty_blk or shrink_pool that had to pass by a dirty buffer it could not write back leaves 4 (that
// buffer stays cached and dirty). They live in a namespace of their own so that argument-dependent
// lookup from a call such as get_blk(bf, n) never finds them.
namespace op {
BufPool *mk_pool(uint32_t bufsize, uint32_t bufcnt, uint32_t *status);
int32_t free_pool(BufPool *pool);
uint32_t expand_pool(BufPool *pool, uint32_t n);
uint32_t shrink_pool(BufPool *pool, uint32_t n);
Bfile *open_blks(const char *path, int32_t mode, BufPool *pool);
int32_t reopen_blks(const char *path, Bfile *bf);
int32_t close_blks(Bfile *bf);
void *get_blk(Bfile *bf, int32_t blkno);
void *empty_blk(Bfile *bf, int32_t blkno);
int32_t put_blk(Bfile *bf, void *data, int32_t writenow);
int32_t rlse_blk(Bfile *bf, void *data);
int32_t flush_blks(Bfile *bf);
// Same results and statuses as get_blk, put_blk and rlse_blk, for a caller that keeps bf open for the
// whole call and hands back only addresses it got for bf and still holds pinned.
void *get_blk_held(Bfile *bf, int32_t blkno);
int32_t put_blk_held(Bfile *bf, void *data, int32_t writenow);
int32_t rlse_blk_held(Bfile *bf, void *data);
}  // namespace op

// Header of the buffer whose data area is `data` (no check).
inline BufRec *rec_of(const void *data) {
  return reinterpret_cast<BufRec *>(const_cast<uint8_t *>(static_cast<const uint8_t *>(data)) -
                                    sizeof(BufRec));
}

}  // namespace qrx::pool

// Hooks for the B-tree layer, on the data address of a block it holds pinned.
// True when the block was marked checked since its buffer was last filled (read from disk or
// empty_blk); validation of a block's structure is then paid once per read.
bool pool_block_checked(const void *data);
// Marks the pinned block as structurally validated.
void pool_set_block_checked(void *data);

// Counters for tests and benchmarks (any thread, no lock; 0 for a null pool).
uint64_t pool_read_count(const BufPool *pool);   // blocks read from disk by get_blk
uint64_t pool_write_count(const BufPool *pool);  // blocks written to disk
// Number of buffers in the pool, taken under its lock; 0 when the pool is not registered.
uint32_t pool_buffer_count(BufPool *pool);
// Number of those buffers whose memory is allocated, taken under the pool's lock; 0 when the pool is
// not registered.
uint32_t pool_allocated_count(BufPool *pool);

// Test hook: buffer memory comes from fn (calloc's contract) instead of std::calloc, so that tests can
// make it run out; null restores std::calloc. Programs never need it.
void pool_set_buffer_alloc_hook(void *(*fn)(size_t count, size_t size));

// Benchmark hook: while set, every get_blk (and the B-tree layer's gets) reports the block it hands out,
// after the block is in its buffer: the Bfile's unique id, the block number, the data area (read-only,
// valid during the call) and whether the get read it from disk. Used to record the pool's real access
// trace for replacement studies; null (the default) costs one relaxed load per get.
using pool_access_hook_fn = void (*)(uint64_t fid, int32_t blkno, const void *data, bool miss);
void pool_set_access_hook(pool_access_hook_fn fn);

namespace qrx::pool {
extern std::atomic<pool_access_hook_fn> g_access_hook;  // see pool_set_access_hook
}  // namespace qrx::pool
