// pool_core.cc - the pool registry, the per-thread pool status, the block index and the steps every pool
// operation is made of: allocating buffers, the replacement rule and the move to the most recently used end.
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "cbt/pool/pool.h"
#include "host/qrxmem.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::pool {
namespace {

// Pool registry qrxcbbpa and its once word qrxcbbpo. The registry lives in static storage and is never
// destroyed, so pool calls made while the process exits still find it.
alignas(Registry) unsigned char qrxcbbpa_storage[sizeof(Registry)];
Registry *qrxcbbpa = nullptr;
volatile int32_t qrxcbbpo = 0;

void InitBufPool(void *) {
  qrxcbbpa = new (qrxcbbpa_storage) Registry;
}

// Per-thread pool status: one word per thread through the thread-key record, with a process-wide word
// in its place when per-thread storage cannot be had.
OSV1_ThreadKey qrxcbbpk_OSV1__T = {sizeof(uint32_t), nullptr, nullptr, 0, 0};
uint32_t qrxcbbpe_static = 0;

std::atomic<uint64_t> g_next_id{1};

// Buffers allocated at once when a request needs one and only budget is left. One at a time would
// follow the working set most closely; sixteen let the next fifteen misses take a free buffer straight
// from the front of the list, so a pool warming up goes through the allocation step (budget check,
// index and address-set growth checks) once per sixteen misses, while allocating at most fifteen
// buffers (60 KiB at 4 KiB buffers) beyond what its working set needs. Each buffer is still its own
// allocation, so shrinking and freeing give memory back buffer by buffer.
constexpr uint32_t kChunk = 16;

// Where buffer memory comes from (see pool_set_buffer_alloc_hook).
void *plain_calloc(size_t count, size_t size) {
  return qrx::mem::alloc_zeroed(count, size);
}
std::atomic<void *(*)(size_t, size_t)> g_buffer_alloc{&plain_calloc};

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;  // 2^64 / golden ratio: Fibonacci hashing
constexpr size_t kMinBuckets = 16;

// Smallest power of two >= n (n >= 1) and its logarithm.
unsigned log2_ceil(size_t n) {
  unsigned bits = 0;
  while ((size_t{1} << bits) < n) ++bits;
  return bits;
}

}  // namespace

Registry &registry() {
  if (__atomic_load_n(&qrxcbbpo, __ATOMIC_ACQUIRE) >= 0)
    OSV1_InitializeOnce(&qrxcbbpo, &InitBufPool, nullptr, __FILE__, __LINE__);
  return *qrxcbbpa;
}

uint64_t next_id() {
  return g_next_id.fetch_add(1, std::memory_order_relaxed);
}

uint32_t *status_word() {
  // The thread's block lives until the thread ends, so its address is resolved once per thread.
  thread_local uint32_t *mine = nullptr;
  if (mine != nullptr) return mine;
  void *p = OSV1_ResolveThread(&qrxcbbpk_OSV1__T, __FILE__, __LINE__);
  if (p == nullptr) return &qrxcbbpe_static;
  mine = static_cast<uint32_t *>(p);
  return mine;
}

void link_front(Link &list, Link *l) {
  l->prev = &list;
  l->next = list.next;
  list.next->prev = l;
  list.next = l;
}

void unlink(Link *l) {
  l->prev->next = l->next;
  l->next->prev = l->prev;
  l->next = l->prev = l;
}

BufPool *find_pool(Registry &r, const BufPool *pool, uint64_t id) {
  if (pool == nullptr) return nullptr;
  for (Link *l = r.pools.next; l != &r.pools; l = l->next) {
    if (l == pool) {
      auto *p = static_cast<BufPool *>(l);
      return (id == 0 || p->id == id) ? p : nullptr;
    }
  }
  return nullptr;
}

bool find_bfile(Registry &r, const Bfile *bf) {
  if (bf == nullptr) return false;
  for (Link *l = r.bfiles.next; l != &r.bfiles; l = l->next)
    if (l == bf) return true;
  return false;
}

bool PoolLock::lock(BufPool *pool) {
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.mutex);
  BufPool *p = find_pool(r, pool);
  if (p == nullptr) return false;
  lock_ = std::unique_lock<std::mutex>(p->mutex);
  pool_ = p;
  return true;
}

uint32_t PoolLock::lock_file(const Bfile *bf) {
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.mutex);
  if (!find_bfile(r, bf)) return QRXCB_POOL_NO_BFILE;
  BufPool *p = find_pool(r, bf->pool, bf->pool_id);
  if (p == nullptr) return QRXCB_POOL_NOT_REGISTERED;
  lock_ = std::unique_lock<std::mutex>(p->mutex);
  pool_ = p;
  return QRXCB_POOL_OK;
}

// ---- block index ---------------------------------------------------------------------------------

void SpinLock::yield() {
  std::this_thread::yield();
}

BufRec *BlockIndex::find(uint64_t fid, int32_t blkno, uint64_t hash) const {
  if (buckets_.empty()) return nullptr;
  for (BufRec *b = buckets_[slot(hash)]; b != nullptr; b = b->hnext)
    if (b->blkno == blkno && b->fid == fid) return b;
  return nullptr;
}

void BlockIndex::insert(BufRec *buf, uint64_t hash) {
  // At one entry per bucket the table doubles. mk_pool refuses to make a pool whose tables could not
  // be allocated, and a table never shrinks.
  if (++count_ > buckets_.size()) reserve(count_ * 2);
  link(buf, hash);
}

void BlockIndex::link(BufRec *buf, uint64_t hash) {
  BufRec *&head = buckets_[slot(hash)];
  buf->hnext = head;
  head = buf;
}

void BlockIndex::erase(BufRec *buf, uint64_t hash) {
  for (BufRec **pp = &buckets_[slot(hash)]; *pp != nullptr; pp = &(*pp)->hnext) {
    if (*pp == buf) {
      *pp = buf->hnext;
      buf->hnext = nullptr;
      --count_;
      return;
    }
  }
}

void BlockIndex::reserve(size_t buffers) {
  unsigned bits = log2_ceil(buffers < kMinBuckets ? kMinBuckets : buffers);
  if (!buckets_.empty() && bits <= 64 - shift_) return;
  std::vector<BufRec *> old;
  try {
    old.swap(buckets_);
    buckets_.assign(size_t{1} << bits, nullptr);
  } catch (const std::bad_alloc &) {
    buckets_.swap(old);  // keep the table we had; chains just get longer
    return;
  }
  shift_ = 64 - bits;
  for (BufRec *chain : old) {
    while (chain != nullptr) {
      BufRec *next = chain->hnext;
      link(chain, block_hash(chain->fid, chain->blkno));
      chain = next;
    }
  }
}

// ---- address set ---------------------------------------------------------------------------------

size_t AddrSet::home(uintptr_t key) const {
  return static_cast<size_t>(((key >> 4) * kGolden) >> shift_);
}

bool AddrSet::contains(const void *p) const {
  auto key = reinterpret_cast<uintptr_t>(p);
  if (slots_.empty() || key == 0) return false;
  size_t mask = slots_.size() - 1;
  for (size_t i = home(key);; i = (i + 1) & mask) {
    if (slots_[i] == key) return true;
    if (slots_[i] == 0) return false;
  }
}

bool AddrSet::grow() {
  size_t cap = slots_.empty() ? kMinBuckets : slots_.size() * 2;
  std::vector<uintptr_t> old;
  try {
    old.swap(slots_);
    slots_.assign(cap, 0);
  } catch (const std::bad_alloc &) {
    slots_.swap(old);
    return false;
  }
  shift_ = 64 - log2_ceil(cap);
  count_ = 0;
  for (uintptr_t key : old)
    if (key != 0) insert(reinterpret_cast<const void *>(key));
  return true;
}

bool AddrSet::insert(const void *p) {
  auto key = reinterpret_cast<uintptr_t>(p);
  // At most half full, so probe runs stay short and an empty slot always ends them.
  if ((count_ + 1) * 2 > slots_.size() && !grow()) return false;
  size_t mask = slots_.size() - 1;
  size_t i = home(key);
  while (slots_[i] != 0 && slots_[i] != key) i = (i + 1) & mask;
  if (slots_[i] == 0) ++count_;
  slots_[i] = key;
  return true;
}

void AddrSet::erase(const void *p) {
  auto key = reinterpret_cast<uintptr_t>(p);
  if (slots_.empty()) return;
  size_t mask = slots_.size() - 1;
  size_t i = home(key);
  while (slots_[i] != key) {
    if (slots_[i] == 0) return;
    i = (i + 1) & mask;
  }
  // Shift back every following entry of the run that may not stay behind the hole.
  for (size_t j = (i + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
    size_t h = home(slots_[j]);
    bool stays = (i <= j) ? (i < h && h <= j) : (i < h || h <= j);
    if (!stays) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i] = 0;
  --count_;
}

// ---- steps -----------------------------------------------------------------------------------------

namespace {

// Takes a buffer out of the list, moving the clock hand on first when it points at it.
void unlink_buf(BufPool *pool, BufRec *buf) {
  if (pool->hand == buf) pool->hand = buf->next;
  unlink(buf);
}

// Links l in front of `at` (at the end of the list when `at` is the sentinel).
void link_before(Link *at, Link *l) {
  l->next = at;
  l->prev = at->prev;
  at->prev->next = l;
  at->prev = l;
}

bool is_free(const BufRec *b) {
  return b->fid == 0 && b->pincnt.load(std::memory_order_relaxed) == 0;
}

// Writes back a buffer that is out of the index and unpinned, so that it can be reused: true when it
// was clean or its write succeeded. Otherwise the buffer goes back into the index, cached and dirty,
// with status 4.
bool clean_for_reuse(BufPool *pool, BufRec *b, uint32_t *status) {
  if (b->dirty == 0) return true;
  if (write_rec(pool, b, b->blksize) == 1) {
    b->dirty = 0;
    return true;
  }
  *status = QRXCB_POOL_IO;
  const uint64_t h = block_hash(b->fid, b->blkno);
  Shard &s = pool->shard(b->fid);
  std::lock_guard<SpinLock> g(s.lock);
  s.index.insert(b, h);
  return false;
}

// Takes b when it is free, or unpinned and evictable; false leaves it where it was.
bool take(BufPool *pool, BufRec *b, uint32_t *status) {
  if (b->fid == 0) return b->pincnt.load(std::memory_order_relaxed) == 0;
  return unindex_rec(pool, b) && clean_for_reuse(pool, b, status);
}

// kLru: the least recently used unpinned buffer.
BufRec *lru_victim(BufPool *pool, uint32_t *status) {
  for (Link *l = pool->bufs.next; l != &pool->bufs; l = l->next) {
    auto *b = static_cast<BufRec *>(l);
    if (b->pincnt.load(std::memory_order_relaxed) > 0) continue;
    if (take(pool, b, status)) return b;
  }
  return nullptr;
}

// kClock: the first unpinned buffer the hand reaches whose count has run out; the hand lowers every
// count it passes. A buffer whose count is at most kMaxWeight is taken within kMaxWeight + 1 rounds,
// so the sweep is bounded even when every buffer was just released.
constexpr uint32_t kMaxWeight = 32;
BufRec *clock_victim(BufPool *pool, uint32_t *status) {
  const uint64_t steps = uint64_t{pool->allocated} * (kMaxWeight + 1) + 1;
  for (uint64_t i = 0; i < steps && pool->allocated > 0; ++i) {
    if (pool->hand == &pool->bufs) pool->hand = pool->bufs.next;
    auto *b = static_cast<BufRec *>(pool->hand);
    pool->hand = b->next;
    if (b->pincnt.load(std::memory_order_relaxed) > 0) continue;
    if (b->fid != 0) {
      const uint8_t ref = b->ref.load(std::memory_order_relaxed);
      if (ref > 0) {
        b->ref.store(ref - 1, std::memory_order_relaxed);
        continue;
      }
    }
    if (take(pool, b, status)) return b;
  }
  return nullptr;
}

}  // namespace

BufRec *pin_cached(BufPool *pool, uint64_t fid, int32_t blkno) {
  const uint64_t h = block_hash(fid, blkno);
  Shard &s = pool->shard(fid);
  std::lock_guard<SpinLock> g(s.lock);
  BufRec *b = s.index.find(fid, blkno, h);
  // Pin counts change only under their shard lock; the atomic is for the sweep's unlocked glance.
  if (b != nullptr) b->pincnt.store(b->pincnt.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return b;
}

BufRec *find_rec(BufPool *pool, const Bfile *bf, int32_t blkno) {
  const uint64_t h = block_hash(bf->fid, blkno);
  Shard &s = pool->shard(bf->fid);
  std::lock_guard<SpinLock> g(s.lock);
  return s.index.find(bf->fid, blkno, h);
}

uint32_t alloc_bufs(BufPool *pool, uint32_t n) {
  if (n > pool->nbufs - pool->allocated) n = pool->nbufs - pool->allocated;
  const size_t size = sizeof(BufRec) + pool->bufsize;
  uint32_t added = 0;
  for (; added < n; ++added) {
    void *mem = g_buffer_alloc.load(std::memory_order_relaxed)(1, size);  // the data area starts zeroed
    uint8_t *data = mem != nullptr ? static_cast<uint8_t *>(mem) + sizeof(BufRec) : nullptr;
    if (mem == nullptr || !pool->addrs.insert(data)) {
      std::free(mem);
      QRX_ERROR("Unable to allocate %d bytes for buffer %d", static_cast<int>(size),
                static_cast<int>(pool->allocated));
      break;
    }
    auto *buf = new (mem) BufRec;
    buf->data = data;
    link_front(pool->bufs, buf);  // a new buffer is the first to be taken
    ++pool->allocated;
  }
  return added;
}

BufRec *empty_rec(BufPool *pool, uint32_t *status, bool grow) {
  // Budget not yet allocated stands for free buffers ahead of every assigned one, so it is used before
  // anything is evicted. Shrinking (grow unset) never allocates a buffer only to free it again. When an
  // allocation fails, the request is served as if the budget were used up: by evicting, or failing that
  // by the growth step, which needs memory too. The budget stays for a later request to try again.
  BufRec *taken = nullptr;
  auto *front = static_cast<BufRec *>(pool->bufs.next);
  if (front != &pool->bufs && is_free(front)) {
    taken = front;
  } else if (grow && pool->allocated < pool->nbufs && alloc_bufs(pool, kChunk) > 0) {
    taken = static_cast<BufRec *>(pool->bufs.next);
  } else {
    taken = pool->rule == Rule::kLru ? lru_victim(pool, status) : clock_victim(pool, status);
  }
  if (taken == nullptr && grow) {
    // Every allocated buffer is pinned (or could not be written back): with no budget left, the pool
    // grows by one buffer.
    if (pool->allocated == pool->nbufs && pool->nbufs < UINT32_MAX) {
      ++pool->nbufs;
      if (alloc_bufs(pool, 1) == 1) {
        taken = static_cast<BufRec *>(pool->bufs.next);
        QRX_DETAIL("Buffer pool expanded to %d buffers", static_cast<int>(pool->nbufs));
      } else {
        --pool->nbufs;
      }
    }
    if (taken == nullptr) QRX_ERROR("Unable to expand buffer pool");
  }
  if (taken == nullptr) return nullptr;
  taken->fid = 0;
  taken->fd = -1;
  taken->blkno = -1;
  taken->dirty = 0;
  return taken;
}

void set_mru(BufPool *pool, BufRec *buf) {
  if (buf->next == &pool->bufs) return;
  unlink_buf(pool, buf);
  link_before(&pool->bufs, buf);
}

void assign_rec(BufPool *pool, BufRec *buf, const Bfile *bf, int32_t blkno, int32_t pins) {
  buf->fid = bf->fid;
  buf->fd = bf->fd;
  buf->blkno = blkno;
  buf->blksize = bf->blksize;
  buf->dirty = 0;
  buf->checked.store(0, std::memory_order_relaxed);
  buf->ref.store(0, std::memory_order_relaxed);
  unlink_buf(pool, buf);
  link_before(pool->rule == Rule::kLru ? &pool->bufs : pool->hand, buf);
  const uint64_t h = block_hash(buf->fid, blkno);
  Shard &s = pool->shard(buf->fid);
  std::lock_guard<SpinLock> g(s.lock);
  buf->pincnt.store(pins, std::memory_order_relaxed);
  s.index.insert(buf, h);
}

bool unindex_rec(BufPool *pool, BufRec *buf) {
  const uint64_t h = block_hash(buf->fid, buf->blkno);
  Shard &s = pool->shard(buf->fid);
  std::lock_guard<SpinLock> g(s.lock);
  if (buf->pincnt.load(std::memory_order_relaxed) > 0) return false;
  s.index.erase(buf, h);
  return true;
}

void release_rec(BufPool *pool, BufRec *buf) {
  if (buf->fid != 0) {
    const uint64_t h = block_hash(buf->fid, buf->blkno);
    Shard &s = pool->shard(buf->fid);
    std::lock_guard<SpinLock> g(s.lock);
    s.index.erase(buf, h);
  }
  buf->fid = 0;
  buf->fd = -1;
  buf->blkno = -1;
  buf->dirty = 0;
  buf->checked.store(0, std::memory_order_relaxed);
  unlink_buf(pool, buf);
  link_front(pool->bufs, buf);
}

int32_t write_rec(BufPool *pool, BufRec *buf, uint32_t blksize) {
  if (writeblk(buf->fd, buf->blkno, blksize, buf->data) != 1) return -1;
  pool->writes.fetch_add(1, std::memory_order_relaxed);
  return 1;
}

BufRec *pinned_rec(BufPool *pool, const Bfile *bf, const void *data) {
  if (!pool->addrs.contains(data)) return nullptr;
  BufRec *buf = rec_of(data);  // a buffer of this pool: its header may be read
  if (buf->fid != bf->fid || buf->pincnt.load(std::memory_order_relaxed) <= 0) return nullptr;
  return buf;
}

void unpin_rec(BufPool *pool, BufRec *buf, int32_t dirty, uint8_t weight, bool locked) {
  std::unique_lock<std::mutex> pl;
  if (pool->rule == Rule::kLru && !locked) pl = std::unique_lock<std::mutex>(pool->mutex);
  {
    // A detached buffer (fid 0) is in no index; the lock of shard 0 orders its flags the same.
    Shard &s = pool->shard(buf->fid);
    std::lock_guard<SpinLock> g(s.lock);
    if (dirty >= 0) buf->dirty = dirty;
    buf->ref.store(weight, std::memory_order_relaxed);
    buf->pincnt.store(buf->pincnt.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }
  if (pool->rule == Rule::kLru && buf->fid != 0) set_mru(pool, buf);
}

void mark_rec(BufPool *pool, BufRec *buf, int32_t dirty) {
  Shard &s = pool->shard(buf->fid);
  std::lock_guard<SpinLock> g(s.lock);
  buf->dirty = dirty;
}

void free_rec(BufPool *pool, BufRec *buf) {
  unlink_buf(pool, buf);
  pool->addrs.erase(buf->data);
  --pool->nbufs;
  --pool->allocated;
  buf->~BufRec();
  std::free(buf);
}

namespace {
std::atomic<int> g_default_rule{-1};  // -1: not yet read from the environment
}

Rule default_rule() {
  int r = g_default_rule.load(std::memory_order_relaxed);
  if (r < 0) {
    const char *env = std::getenv("QRX_POOL_RULE");
    r = static_cast<int>(env != nullptr && std::strcmp(env, "lru") == 0 ? Rule::kLru : Rule::kClock);
    int expected = -1;
    if (!g_default_rule.compare_exchange_strong(expected, r, std::memory_order_relaxed)) r = expected;
  }
  return static_cast<Rule>(r);
}

}  // namespace qrx::pool

using qrx::pool::rec_of;

bool pool_block_checked(const void *data) {
  return data != nullptr && rec_of(data)->checked.load(std::memory_order_relaxed) != 0;
}

void pool_set_block_checked(void *data) {
  if (data != nullptr) rec_of(data)->checked.store(1, std::memory_order_relaxed);
}

uint64_t pool_read_count(const BufPool *pool) {
  return pool != nullptr ? pool->reads.load(std::memory_order_relaxed) : 0;
}

uint64_t pool_write_count(const BufPool *pool) {
  return pool != nullptr ? pool->writes.load(std::memory_order_relaxed) : 0;
}

uint32_t pool_buffer_count(BufPool *pool) {
  qrx::pool::PoolLock pl;
  return pl.lock(pool) ? pl.pool()->nbufs : 0;
}

uint32_t pool_allocated_count(BufPool *pool) {
  qrx::pool::PoolLock pl;
  return pl.lock(pool) ? pl.pool()->allocated : 0;
}

namespace qrx::pool {
std::atomic<pool_access_hook_fn> g_access_hook{nullptr};
}

void pool_set_access_hook(pool_access_hook_fn fn) {
  qrx::pool::g_access_hook.store(fn, std::memory_order_relaxed);
}

void pool_set_default_rule(qrx::pool::Rule rule) {
  qrx::pool::g_default_rule.store(static_cast<int>(rule), std::memory_order_relaxed);
}

void pool_set_buffer_alloc_hook(void *(*fn)(size_t count, size_t size)) {
  qrx::pool::g_buffer_alloc.store(fn != nullptr ? fn : &qrx::pool::plain_calloc, std::memory_order_relaxed);
}
