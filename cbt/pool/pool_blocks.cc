// pool_blocks.cc - getting, pinning, putting back and flushing the blocks of an open file.
//
// Every exported operation looks its Bfile up and takes the pool mutex in one pass through the registry,
// then works under the pool mutex; block transfers run under it. The *_held forms serve the B-tree
// layer, which holds its file's control-record mutex for the whole operation and so knows the Bfile is
// open and every address it hands back came from its own get: they skip the registry and the address
// set, and a hit or a release takes no pool mutex at all, only the block's shard lock (under kLru a
// release takes the pool mutex to keep the exact order). A hit costs one index lookup, no allocation
// and no walk of the buffer list.
#include <cstring>

#include "cbt/pool/pool.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::pool {

namespace op {

namespace {

void report(const Bfile *bf, int32_t blkno, const BufRec *buf, bool miss) {
  if (auto hook = g_access_hook.load(std::memory_order_relaxed)) hook(bf->fid, blkno, buf->data, miss);
}

// The body of a get, run with the pool mutex held: a hit, or a miss that reads the block into a buffer
// the replacement step frees. The buffer's place among the unpinned ones is decided when it is released
// or put: while pinned it cannot be replaced.
void *get_locked(BufPool *pool, Bfile *bf, int32_t blkno, uint32_t *status) {
  QRX_BLOCK_TRACE("Getting block %d", blkno);
  BufRec *buf = pin_cached(pool, bf->fid, blkno);
  const bool miss = buf == nullptr;
  if (miss) {
    buf = empty_rec(pool, status);
    if (buf == nullptr) {
      *status = QRXCB_POOL_NO_BUFFER;
      QRX_ERROR("No buffers are available to read block %d", blkno);
      return nullptr;
    }
    if (readblk(bf->fd, blkno, bf->blksize, buf->data) != 1) {
      QRX_ERROR("Error reading block %d", blkno);
      *status = QRXCB_POOL_IO;  // the buffer stays free
      return nullptr;
    }
    assign_rec(pool, buf, bf, blkno, 1);
    pool->reads.fetch_add(1, std::memory_order_relaxed);
  }
  report(bf, blkno, buf, miss);
  return buf->data;
}

// Gives back a pinned buffer, written now (writenow set: block 0 of a read-only file holds the control
// record, whose update stays in the buffer only) or marked dirty.
int32_t put_pinned(BufPool *pool, Bfile *bf, BufRec *buf, int32_t writenow, uint8_t weight, bool locked,
                   uint32_t *status) {
  int32_t rc = 1;
  if (writenow != 0 && !(buf->blkno == 0 && bf->rdonly != 0) && write_rec(pool, buf, bf->blksize) != 1) {
    *status = QRXCB_POOL_IO;
    rc = -1;
  }
  unpin_rec(pool, buf, writenow != 0 ? 0 : 1, weight, locked);
  return rc;
}

// A data address the B-tree layer got from this pool for this file and still holds.
BufRec *held_rec(const Bfile *bf, void *data) {
  BufRec *buf = rec_of(data);
  return (buf->fid == bf->fid && buf->pincnt.load(std::memory_order_relaxed) > 0) ? buf : nullptr;
}

}  // namespace

void *get_blk(Bfile *bf, int32_t blkno) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  PoolLock pl;
  if (uint32_t s = pl.lock_file(bf)) {
    *status = s;
    return nullptr;
  }
  return get_locked(pl.pool(), bf, blkno, status);
}

// The held forms set the status on a failure only: their caller reads it after a failure alone, and a
// hit then touches nothing but the block's shard and buffer.
void *get_blk_held(Bfile *bf, int32_t blkno) {
  BufPool *pool = bf->pool;
  if (BufRec *buf = pin_cached(pool, bf->fid, blkno)) {
    QRX_BLOCK_TRACE("Getting block %d", blkno);
    report(bf, blkno, buf, false);
    return buf->data;
  }
  uint32_t status = QRXCB_POOL_OK;
  std::lock_guard<std::mutex> g(pool->mutex);
  void *data = get_locked(pool, bf, blkno, &status);
  if (status != QRXCB_POOL_OK) *status_word() = status;
  return data;
}

int32_t put_blk_held(Bfile *bf, void *data, int32_t writenow, uint8_t weight) {
  BufRec *buf = held_rec(bf, data);
  uint32_t status = buf == nullptr ? QRXCB_POOL_NO_BFILE : QRXCB_POOL_OK;
  const int32_t rc = buf == nullptr ? -1 : put_pinned(bf->pool, bf, buf, writenow, weight, false, &status);
  if (status != QRXCB_POOL_OK) *status_word() = status;
  return rc;
}

int32_t rlse_blk_held(Bfile *bf, void *data, uint8_t weight) {
  BufRec *buf = held_rec(bf, data);
  if (buf == nullptr) {
    *status_word() = QRXCB_POOL_NO_BFILE;
    return -1;
  }
  unpin_rec(bf->pool, buf, -1, weight, false);
  return 1;
}

int32_t write_blk_held(Bfile *bf, void *data) {
  BufRec *buf = held_rec(bf, data);
  if (buf == nullptr) {
    *status_word() = QRXCB_POOL_NO_BFILE;
    return -1;
  }
  const bool written = write_rec(bf->pool, buf, bf->blksize) == 1;
  mark_rec(bf->pool, buf, written ? 0 : 1);
  if (!written) *status_word() = QRXCB_POOL_IO;
  return written ? 1 : -1;
}

void *empty_blk(Bfile *bf, int32_t blkno) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  PoolLock pl;
  if (uint32_t s = pl.lock_file(bf)) {
    *status = s;
    return nullptr;
  }
  BufPool *pool = pl.pool();
  // The block is meant to be new to the file, so it is normally not cached. When it is, the cached copy
  // is superseded: an unpinned buffer is taken over (its old content, even unwritten, is replaced by the
  // zeroed block), while a pinned one cannot be, and the request is refused. Either way the index never
  // holds two buffers for one block.
  BufRec *buf = find_rec(pool, bf, blkno);
  if (buf != nullptr) {
    if (!unindex_rec(pool, buf)) {
      *status = QRXCB_POOL_NO_BUFFER;
      return nullptr;
    }
  } else {
    buf = empty_rec(pool, status);
    if (buf == nullptr) {
      *status = QRXCB_POOL_NO_BUFFER;
      return nullptr;
    }
  }
  std::memset(buf->data, 0, pool->bufsize);
  assign_rec(pool, buf, bf, blkno, 1);
  return buf->data;
}

namespace {

// Runs body(pool, status, buf) with the pool locked through the registry for a block of bf the caller
// holds; -1 with the status explaining why otherwise (8 a buffer not pinned for bf).
template <class Body>
int32_t with_pinned(Bfile *bf, void *data, Body body) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  PoolLock pl;
  if (uint32_t s = pl.lock_file(bf)) {
    *status = s;
    return -1;
  }
  BufRec *buf = pinned_rec(pl.pool(), bf, data);
  if (buf == nullptr) {
    *status = QRXCB_POOL_NO_BFILE;
    return -1;
  }
  return body(pl.pool(), status, buf);
}

}  // namespace

int32_t put_blk(Bfile *bf, void *data, int32_t writenow) {
  return with_pinned(bf, data, [&](BufPool *pool, uint32_t *status, BufRec *buf) {
    return put_pinned(pool, bf, buf, writenow, 1, true, status);
  });
}

int32_t rlse_blk(Bfile *bf, void *data) {
  return with_pinned(bf, data, [](BufPool *pool, uint32_t *, BufRec *buf) {
    unpin_rec(pool, buf, -1, 1, true);
    return 1;
  });
}

int32_t flush_blks(Bfile *bf) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  PoolLock pl;
  if (uint32_t s = pl.lock_file(bf)) {
    *status = s;
    return -1;
  }
  if (bf->rdonly != 0) return 1;
  int32_t rc = write_file_bufs(pl.pool(), bf);
  if (rc != 1) *status = QRXCB_POOL_IO;
  // The sync moves no buffer, so it runs after the pool is unlocked; calls on one file are serialised
  // by their caller, so the descriptor cannot change meanwhile.
  const int32_t fd = bf->fd;
  pl.unlock();
  if (qrxcb_flush(fd) != 1) {
    *status = QRXCB_POOL_IO;
    rc = -1;
  }
  return rc;
}

}  // namespace op
}  // namespace qrx::pool
