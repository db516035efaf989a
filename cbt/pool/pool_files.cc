// pool_files.cc - opening, upgrading and closing the block files whose blocks go through a pool.
//
// A file's buffers are matched by its Bfile's unique id, never by descriptor number alone: once a file
// is closed its number may be handed to another file at once, and nothing cached for the old file may
// be found, or written, under it.
#include <fcntl.h>

#include <new>

#include "cbt/blockio/blockio.h"
#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::pool {
namespace {

// The file's block size: the first four bytes of block 0 (first field of the control record).
constexpr uint32_t kBlockSizeWord = 4;

// Drops every buffer of the file being closed (pool locked): unpinned ones become free; pinned ones
// are detached, neither found nor written again, and stay out of use until the pool is freed, since
// their holder may still touch their data area. True when a pinned one was met.
bool drop_file_bufs(BufPool *pool, const Bfile *bf) {
  bool pinned = false;
  for (Link *l = pool->bufs.next, *next; l != &pool->bufs; l = next) {
    next = l->next;  // release_rec moves the buffer to the front
    auto *buf = static_cast<BufRec *>(l);
    if (buf->fid != bf->fid) continue;
    if (buf->pincnt.load(std::memory_order_relaxed) > 0) pinned = true;
    release_rec(pool, buf);
  }
  return pinned;
}

// Undoes a half-made open: gives back the lock of a read/write file, closes it and frees the record.
void abandon(Bfile *bf) {
  if (bf->rdonly == 0) qrxcb_UnlockFile();
  qrxcb_close(bf->fd);
  delete bf;
}

}  // namespace

int32_t write_file_bufs(BufPool *pool, const Bfile *bf) {
  int32_t rc = 1;
  for (Link *l = pool->bufs.next; l != &pool->bufs; l = l->next) {
    auto *buf = static_cast<BufRec *>(l);
    if (buf->fid != bf->fid || buf->dirty == 0) continue;
    if (write_rec(pool, buf, bf->blksize) == 1) {
      buf->dirty = 0;
    } else {
      rc = -1;
    }
  }
  return rc;
}

namespace op {

Bfile *open_blks(const char *path, int32_t mode, BufPool *pool) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  Registry &r = registry();
  uint32_t bufsize = 0;
  uint64_t pool_id = 0;
  {
    std::lock_guard<std::mutex> g(r.mutex);
    BufPool *p = find_pool(r, pool);
    if (p == nullptr) {
      *status = QRXCB_POOL_NOT_REGISTERED;
      return nullptr;
    }
    bufsize = p->bufsize;
    pool_id = p->id;
  }
  auto *bf = new (std::nothrow) Bfile;
  if (bf == nullptr) {
    *status = QRXCB_POOL_NO_MEMORY;
    QRX_ERROR("Unable to allocate %d bytes for Bfile", static_cast<int>(sizeof(Bfile)));
    return nullptr;
  }
  const char *name = path != nullptr ? path : "";
  const bool rw = (mode & 2) != 0;
  bf->rdonly = rw ? 0 : 1;
  bf->fd = path != nullptr ? qrxcb_open(path, rw ? O_RDWR : O_RDONLY, 0) : -1;
  if (bf->fd < 0) {
    *status = QRXCB_POOL_IO;
    QRX_ERROR("Error opening %s", name);
    delete bf;
    return nullptr;
  }
  if (rw) {
    if (qrxcb_LockFile(bf->fd) == -1) {
      QRX_ERROR("Unable to obtain file lock for %s", name);
      qrxcb_close(bf->fd);
      delete bf;
      *status = QRXCB_POOL_IO;
      return nullptr;
    }
    QRX_DETAIL("%s opened Read/Write", name);
  }
  uint8_t word[kBlockSizeWord];
  if (readblk(bf->fd, 0, kBlockSizeWord, word) != 1) {
    abandon(bf);
    *status = QRXCB_POOL_IO;
    QRX_ERROR("Error reading blocksize info for %s", name);
    return nullptr;
  }
  const uint32_t blksize = codec::load_u32(word, 0);
  if (blksize > bufsize) {
    QRX_ERROR("block size %d is greater than buffer size %d", static_cast<int>(blksize),
              static_cast<int>(bufsize));
    abandon(bf);
    *status = QRXCB_POOL_BLKSIZE;
    return nullptr;
  }
  bf->blksize = blksize;
  bf->pool = pool;
  bf->pool_id = pool_id;
  bf->fid = next_id();
  std::lock_guard<std::mutex> g(r.mutex);
  link_front(r.bfiles, bf);
  return bf;
}

int32_t reopen_blks(const char *path, Bfile *bf) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  {
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    if (!find_bfile(r, bf)) {
      *status = QRXCB_POOL_NO_BFILE;
      return -1;
    }
  }
  // Opening may retry for seconds: no lock is held meanwhile.
  const int32_t fd = path != nullptr ? qrxcb_open(path, O_RDWR, 0) : -1;
  if (fd < 0) {
    *status = QRXCB_POOL_IO;
    return -1;
  }
  PoolLock pl;
  if (uint32_t s = pl.lock_file(bf)) {
    qrxcb_close(fd);
    *status = s;
    return -1;
  }
  // One lock per file: a descriptor already open for writing hands its lock to the new one (and takes
  // it back when the new one cannot have it).
  const bool locked_before = bf->rdonly == 0;
  if (locked_before) blockio::unlock_fd(bf->fd);
  if (qrxcb_LockFile(fd) == -1) {
    if (locked_before) qrxcb_LockFile(bf->fd);
    pl.unlock();
    qrxcb_close(fd);
    *status = QRXCB_POOL_IO;
    return -1;
  }
  // The cached blocks follow the new descriptor before the old one is closed, so no buffer ever
  // carries a number that may already belong to another file.
  BufPool *pool = pl.pool();
  for (Link *l = pool->bufs.next; l != &pool->bufs; l = l->next) {
    auto *buf = static_cast<BufRec *>(l);
    if (buf->fid == bf->fid) buf->fd = fd;
  }
  const int32_t old_fd = bf->fd;
  const bool was_rw = bf->rdonly == 0;
  bf->fd = fd;
  bf->rdonly = 0;
  pl.unlock();
  if (was_rw) qrxcb_UnlockFile();
  qrxcb_close(old_fd);
  return 1;
}

int32_t close_blks(Bfile *bf) {
  uint32_t *status = status_word();
  *status = QRXCB_POOL_OK;
  Registry &r = registry();
  std::unique_lock<std::mutex> reg(r.mutex);
  if (!find_bfile(r, bf)) {
    *status = QRXCB_POOL_NO_BFILE;
    return -1;
  }
  unlink(bf);
  BufPool *pool = find_pool(r, bf->pool, bf->pool_id);
  std::unique_lock<std::mutex> pool_lock;
  if (pool != nullptr) pool_lock = std::unique_lock<std::mutex>(pool->mutex);
  reg.unlock();

  int32_t rc = 1;
  if (pool == nullptr) {
    // The pool was freed first; it wrote back the file's dirty blocks and nothing is cached any more.
    *status = QRXCB_POOL_NOT_REGISTERED;
    rc = -1;
  } else {
    bool flushed = bf->rdonly != 0 || write_file_bufs(pool, bf) == 1;
    // The file's buffers are dropped even when the flush failed: the descriptor is closed below and
    // its number may go to another file at once, so nothing may be written under it later. Blocks that
    // could not be written are lost either way.
    const bool pinned = drop_file_bufs(pool, bf);
    pool_lock.unlock();
    if (bf->rdonly == 0 && qrxcb_flush(bf->fd) != 1) flushed = false;
    if (!flushed) {
      *status = QRXCB_POOL_IO;
      rc = -1;
    } else if (pinned) {
      *status = QRXCB_POOL_PINNED;
      rc = -1;
    }
  }
  if (bf->rdonly == 0) qrxcb_UnlockFile();
  qrxcb_close(bf->fd);
  delete bf;
  return rc;
}

}  // namespace op
}  // namespace qrx::pool
