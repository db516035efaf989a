// pool_life.cc - making, growing, shrinking and freeing pools.
#include <iterator>
#include <new>

#include "cbt/pool/pool.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::pool {
namespace op {

BufPool *mk_pool(uint32_t bufsize, uint32_t bufcnt, uint32_t *status) {
  uint32_t ignored = 0;
  if (status == nullptr) status = &ignored;
  *status = QRXCB_POOL_OK;
  Registry &r = registry();
  auto *pool = new (std::nothrow) BufPool;
  bool ready = pool != nullptr;
  for (size_t i = 0; ready && i < std::size(pool->shards); ++i) {
    pool->shards[i].index.reserve(0);  // the smallest tables; they grow with the buffers
    ready = pool->shards[i].index.ready();
  }
  if (!ready) {
    delete pool;
    QRX_ERROR("Unable to allocate %d bytes for buffer pool", static_cast<int>(sizeof(BufPool)));
    *status = QRXCB_POOL_NO_MEMORY;
    return nullptr;
  }
  pool->bufsize = bufsize;
  pool->id = next_id();
  pool->rule = default_rule();
  // The buffers are allocated as requests need them (empty_rec), so a pool costs little until it is
  // used and memory that runs short shows up there, not here.
  pool->nbufs = bufcnt;
  std::lock_guard<std::mutex> g(r.mutex);
  link_front(r.pools, pool);
  return pool;
}

int32_t free_pool(BufPool *pool) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  Registry &r = registry();
  std::unique_lock<std::mutex> reg(r.mutex);
  BufPool *p = find_pool(r, pool);
  if (p == nullptr) {
    *status = QRXCB_POOL_NOT_REGISTERED;
    return -1;
  }
  std::unique_lock<std::mutex> pl(p->mutex);
  unlink(p);
  reg.unlock();
  // Nobody can find the pool any more: every later call naming it, or a file on it, fails with
  // status 1. Dirty buffers belong to open files (a closed file leaves none), so their descriptors
  // are still theirs.
  int32_t rc = 1;
  while (p->bufs.next != &p->bufs) {
    auto *buf = static_cast<BufRec *>(p->bufs.next);
    if (buf->dirty != 0 && write_rec(p, buf, buf->blksize) != 1) {
      *status = QRXCB_POOL_IO;
      rc = -1;
    }
    free_rec(p, buf);
  }
  pl.unlock();
  delete p;
  return rc;
}

uint32_t expand_pool(BufPool *pool, uint32_t n) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  PoolLock pl;
  if (!pl.lock(pool)) {
    QRX_ERROR("Unable to lock pool, pool may not exist");
    *status = QRXCB_POOL_NOT_REGISTERED;
    return 0;
  }
  // Only the count grows; the buffers are allocated when requests need them. A count that would pass
  // the largest the pool can hold stops there, with status 2.
  BufPool *p = pl.pool();
  uint32_t added = n;
  if (added > UINT32_MAX - p->nbufs) {
    added = UINT32_MAX - p->nbufs;
    *status = QRXCB_POOL_NO_MEMORY;
  }
  p->nbufs += added;
  return added;
}

uint32_t shrink_pool(BufPool *pool, uint32_t n) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  PoolLock pl;
  if (!pl.lock(pool)) {
    *status = QRXCB_POOL_NOT_REGISTERED;
    return 0;
  }
  // Budget not yet allocated goes first: giving it back costs nothing and touches no cached block.
  // Then the replacement rule without its growth step: shrinking stops when no unpinned buffer is left
  // instead of adding one only to free it again.
  BufPool *p = pl.pool();
  uint32_t removed = p->nbufs - p->allocated;
  if (removed > n) removed = n;
  p->nbufs -= removed;
  for (; removed < n; ++removed) {
    BufRec *buf = empty_rec(p, status, false);
    if (buf == nullptr) break;
    free_rec(p, buf);
  }
  return removed;
}

}  // namespace op
}  // namespace qrx::pool
