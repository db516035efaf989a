// pool.h - the shared buffer pool: records, internal steps and the hooks the B-tree layer uses.
//
// Owns: the process-wide pool registry (qrxcbbpa: every pool and every open Bfile), the pools and their
// buffers, and the Bfile records. Calls: the block-file helpers and the host services only.
//
// Locks, outermost first: the registry mutex, held only while a Bfile or pool is looked up or linked;
// then one pool mutex; then one shard lock of the pool's block index. The pool mutex guards the buffer
// list, the replacement state, the allocation counts, the address set and the mutable Bfile fields, and
// is held through every step that changes which block a buffer holds (a miss, with its disk transfers,
// an eviction, a close). A shard lock guards one shard of the block index and the pin counts and dirty
// flags of the buffers indexed in it. A hit (the block is cached) takes its shard lock alone, so threads
// working on different blocks, and above all on different files, do not serialise on the pool.
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
// Fields that say which block a buffer holds (fid, fd, blkno, blksize) change only under the pool mutex
// while the buffer is unpinned and out of the index, so a holder of a pin reads them freely.
struct alignas(16) BufRec : Link {  // next, prev: links in the pool's bufs list
  std::atomic<int32_t> pincnt{0};   // holders; above 0 the buffer is never reused or dropped (shard lock)
  int32_t fd = -1;                  // descriptor of the file whose block this is; -1 when free
  int32_t blkno = -1;               // block number held; -1 when free
  uint32_t blksize = 0;             // block size of that file
  int32_t dirty = 0;                // 1 when the data area has changes not yet written (shard lock)
  uint8_t *data = nullptr;          // the data area, right behind this header
  uint64_t fid = 0;                 // unique id of the Bfile the block belongs to; 0 when free or detached
  BufRec *hnext = nullptr;          // next buffer in the same index chain (shard lock)
  std::atomic<uint8_t> checked{0};  // set by the B-tree layer once the block's structure was validated
  std::atomic<uint8_t> ref{0};      // clock rule: sweeps the buffer survives; set on every release
};
// The data area starts at a 16-byte boundary right behind the header.
static_assert(sizeof(BufRec) % 16 == 0);

// The block index has 64 shards. All blocks of a file go to one shard, chosen by the file's id; ids are
// handed out in sequence, so threads working on files of their own take shard locks of their own.
inline constexpr unsigned kShardBits = 6;

// One shard of the index of the assigned buffers by (file id, block number): a power-of-two table of
// intrusive hash chains that grows with its entries, kept at one bucket or more per entry so that a
// lookup costs a constant expected time while a pool's unused budget costs nothing.
class BlockIndex {
 public:
  BufRec *find(uint64_t fid, int32_t blkno, uint64_t hash) const;
  void insert(BufRec *buf, uint64_t hash);  // buf->fid and buf->blkno set, not yet indexed
  void erase(BufRec *buf, uint64_t hash);   // buf indexed under its current fid and blkno
  // Grows the table to at least `buffers` buckets. Without memory the table keeps its size, which only
  // lengthens the chains.
  void reserve(size_t buffers);
  bool ready() const { return !buckets_.empty(); }

 private:
  size_t slot(uint64_t hash) const { return static_cast<size_t>(hash >> shift_); }
  void link(BufRec *buf, uint64_t hash);
  std::vector<BufRec *> buckets_;  // chains through BufRec::hnext
  size_t count_ = 0;               // entries
  unsigned shift_ = 64;            // 64 minus log2 of the bucket count
};

// A lock for the few instructions of an index lookup and a pin: spinning briefly, then yielding.
class SpinLock {
 public:
  void lock() {
    while (flag_.exchange(true, std::memory_order_acquire)) {
      for (int spins = 0; flag_.load(std::memory_order_relaxed); ++spins)
        if (spins > 64) yield();
    }
  }
  void unlock() { flag_.store(false, std::memory_order_release); }

 private:
  static void yield();
  std::atomic<bool> flag_{false};
};

// Shards of the block index, each with its lock on a cache line of its own.
struct alignas(64) Shard {
  SpinLock lock;
  BlockIndex index;
};

// Hash of a block's identity; its top bits choose the bucket within the file's shard.
inline uint64_t block_hash(uint64_t fid, int32_t blkno) {
  return ((fid << 32) ^ static_cast<uint32_t>(blkno)) * 0x9E3779B97F4A7C15ull;  // Fibonacci hashing
}

// The replacement rules. kClock: a sweeping hand passes every buffer round the list, evicting the first
// unpinned one whose count of sweeps to survive (ref, set on release from the holder's hint) has run
// out; a release writes one byte of the buffer and moves nothing. kLru: exact least-recently-used
// order, every release moving its buffer to the end of the list under the pool mutex; kept to compare
// the two.
enum class Rule : uint8_t { kClock, kLru };

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
// The buffer list: free buffers are kept at its front, where a request takes them first. Under kLru
// the assigned ones follow from least to most recently used; under kClock their order is the ring the
// hand sweeps.
struct BufPool : qrx::pool::Link {  // next, prev: links in the registry's pools list
  qrx::pool::Link bufs;             // buffers; guarded by mutex
  uint32_t bufsize = 0;             // size of every buffer's data area in bytes
  std::mutex mutex;                 // the pool mutex
  uint64_t id = 0;                  // unique id; a Bfile names its pool by address and id
  uint32_t nbufs = 0;               // the pool's buffer count as callers see it; guarded by mutex
  uint32_t allocated = 0;           // buffers in bufs, at most nbufs (see alloc_bufs); guarded by mutex
  qrx::pool::Rule rule = qrx::pool::Rule::kClock;  // fixed when the pool is made
  qrx::pool::Link *hand = &bufs;  // kClock: the next buffer the hand looks at; guarded by mutex
  qrx::pool::Shard shards[size_t{1} << qrx::pool::kShardBits];  // the block index
  qrx::pool::AddrSet addrs;         // data addresses of all buffers; guarded by mutex
  std::atomic<uint64_t> reads{0};   // blocks read from disk by get_blk
  std::atomic<uint64_t> writes{0};  // blocks written to disk (write-now, write-back, flush)

  qrx::pool::Shard &shard(uint64_t fid) { return shards[fid & ((uint64_t{1} << qrx::pool::kShardBits) - 1)]; }
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

// Internal steps; all need the pool mutex held unless they say otherwise.
// A pool's nbufs buffers are allocated when they are first needed: nbufs - allocated of them exist only
// as budget, counted as free buffers ahead of every assigned one. alloc_bufs allocates up to n zeroed
// free buffers (never past nbufs) and puts them at the front of the list; when memory runs out it leaves
// an error line and returns the number it could allocate, setting no status: the caller decides whether
// the request fails.
uint32_t alloc_bufs(BufPool *pool, uint32_t n);
// The buffer holding the block, pinned once more, or null when the block is not cached. Takes the
// block's shard lock alone: this is the whole of a hit, and needs no pool mutex.
BufRec *pin_cached(BufPool *pool, uint64_t fid, int32_t blkno);
// The buffer holding the block (not pinned), or null.
BufRec *find_rec(BufPool *pool, const Bfile *bf, int32_t blkno);
// The replacement step. A free buffer at the front of the list is taken first; then budget not yet
// allocated, which counts as free buffers ahead of all others; then the pool's rule chooses an
// unpinned buffer, written back first when dirty (a failed write-back sets status 4, leaves the buffer
// cached and dirty and goes on). When none is found and `grow` is set, the pool grows by one buffer.
// The buffer comes back free, unpinned and out of the index, or null, which the caller reports as
// status 3 where that is a failure (shrinking merely stops).
BufRec *empty_rec(BufPool *pool, uint32_t *status, bool grow = true);
// kLru: moves the buffer to the most recently used end.
void set_mru(BufPool *pool, BufRec *buf);
// Assigns a free buffer to a block of bf and indexes it with `pins` holders (clean, not checked). The
// buffer takes the place of the most recently used one: the end of the list under kLru, the place
// right behind the hand under kClock.
void assign_rec(BufPool *pool, BufRec *buf, const Bfile *bf, int32_t blkno, int32_t pins);
// Takes an unpinned assigned buffer out of the index; false (nothing changed) when it is pinned.
bool unindex_rec(BufPool *pool, BufRec *buf);
// Makes an assigned buffer free (fd and blkno -1, clean), out of the index, at the front of the list.
// A pinned buffer (its file is being closed) is detached: free in the same way, it is reused only
// once its holders have released it.
void release_rec(BufPool *pool, BufRec *buf);
// Writes a buffer's block to its own descriptor; counts the write. 1, or -1. Needs only a pin.
int32_t write_rec(BufPool *pool, BufRec *buf, uint32_t blksize);
// The buffer whose data area is `data` when it is a pinned block of bf in this pool, else null. Reads
// no memory at `data` unless it is the data area of one of the pool's buffers.
BufRec *pinned_rec(BufPool *pool, const Bfile *bf, const void *data);
// Gives back one pin of a buffer the caller holds, marking it dirty (dirty 1), clean (dirty 0) or
// leaving its flag (dirty -1), and sets its clock count to `weight`; under kLru moves it to the most
// recently used end, which needs the pool mutex: `locked` says whether the caller holds it.
void unpin_rec(BufPool *pool, BufRec *buf, int32_t dirty, uint8_t weight, bool locked);
// Sets the dirty flag of a buffer the caller holds pinned.
void mark_rec(BufPool *pool, BufRec *buf, int32_t dirty);
// Writes bf's dirty buffers back: 1, or -1 when a write failed (those buffers stay dirty).
int32_t write_file_bufs(BufPool *pool, const Bfile *bf);
// Unlinks a free buffer from the list and the address set and frees it; the pool's count drops with it.
void free_rec(BufPool *pool, BufRec *buf);
// The rule of pools made from now on: kClock, or kLru when the environment variable QRX_POOL_RULE is
// "lru" at the first pool's making; pool_set_default_rule overrides both (tests, benchmarks).
Rule default_rule();

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
// Same results as get_blk, put_blk and rlse_blk, for a caller that keeps bf open for the whole call and
// hands back only addresses it got for bf and still holds pinned; they set the status on a failure only.
// `weight` is the clock count the block gets (1 for a block used once in a while, more for one every
// lookup passes through, such as an interior node of a tree).
void *get_blk_held(Bfile *bf, int32_t blkno);
int32_t put_blk_held(Bfile *bf, void *data, int32_t writenow, uint8_t weight = 1);
int32_t rlse_blk_held(Bfile *bf, void *data, uint8_t weight = 1);
// Writes a block the caller holds now and marks it clean, keeping the pin: 1, or -1 (status 4, the
// block stays dirty; status 8 for an address not held).
int32_t write_blk_held(Bfile *bf, void *data);
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

// The replacement rule of pools made from now on (see qrx::pool::Rule); tests and benchmarks use it to
// compare the rules.
void pool_set_default_rule(qrx::pool::Rule rule);

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
