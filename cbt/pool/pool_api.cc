// pool_api.cc - the exported buffer-pool entry points: each adds its entry and exit events around the
// body in the pool's internals, which takes the locks, sets the calling thread's pool status and never
// throws.
#include <cstdint>
#include <new>

#include "cbt/pool/pool.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace {

// Exit value of an operation returning an address.
long exit_value(const void *p) {
  return static_cast<long>(reinterpret_cast<intptr_t>(p));
}

// Runs a body so that no exception reaches the C caller. The bodies allocate nothing on their paths
// beyond what they check themselves, so this only catches what cannot be foreseen: out of memory
// gives status 2, anything else (a mutex that cannot be taken) status 1.
template <class R, class Body>
R shielded(R failure, Body &&body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    *qrx::pool::status_word() = QRXCB_POOL_NO_MEMORY;
  } catch (...) {
    *qrx::pool::status_word() = QRXCB_POOL_NOT_REGISTERED;
  }
  return failure;
}

}  // namespace

uint32_t *qrxcbbpe(void) {
  return qrx::pool::status_word();
}

BufPool *mk_pool(uint32_t bufsize, uint32_t bufcnt, uint32_t *status) {
  QRX_ENTRY();
  BufPool *pool = shielded(static_cast<BufPool *>(nullptr),
                           [&] { return qrx::pool::op::mk_pool(bufsize, bufcnt, status); });
  QRX_EXIT(exit_value(pool));
  return pool;
}

int32_t free_pool(BufPool *pool) {
  QRX_ENTRY();
  int32_t rc = shielded(int32_t{-1}, [&] { return qrx::pool::op::free_pool(pool); });
  QRX_EXIT(rc);
  return rc;
}

uint32_t expand_pool(BufPool *pool, uint32_t n) {
  QRX_ENTRY();
  uint32_t added = shielded(uint32_t{0}, [&] { return qrx::pool::op::expand_pool(pool, n); });
  QRX_EXIT(added);
  return added;
}

uint32_t shrink_pool(BufPool *pool, uint32_t n) {
  QRX_ENTRY();
  uint32_t removed = shielded(uint32_t{0}, [&] { return qrx::pool::op::shrink_pool(pool, n); });
  QRX_EXIT(removed);
  return removed;
}

Bfile *open_blks(const char *path, int32_t mode, BufPool *pool) {
  QRX_ENTRY();
  Bfile *bf =
      shielded(static_cast<Bfile *>(nullptr), [&] { return qrx::pool::op::open_blks(path, mode, pool); });
  QRX_EXIT(exit_value(bf));
  return bf;
}

int32_t reopen_blks(const char *path, Bfile *bf) {
  QRX_ENTRY();
  int32_t rc = shielded(int32_t{-1}, [&] { return qrx::pool::op::reopen_blks(path, bf); });
  QRX_EXIT(rc);
  return rc;
}

int32_t close_blks(Bfile *bf) {
  QRX_ENTRY();
  int32_t rc = shielded(int32_t{-1}, [&] { return qrx::pool::op::close_blks(bf); });
  QRX_EXIT(rc);
  return rc;
}

void *get_blk(Bfile *bf, int32_t blkno) {
  QRX_ENTRY();
  void *data = shielded(static_cast<void *>(nullptr), [&] { return qrx::pool::op::get_blk(bf, blkno); });
  QRX_EXIT(exit_value(data));
  return data;
}

void *empty_blk(Bfile *bf, int32_t blkno) {
  QRX_ENTRY();
  void *data = shielded(static_cast<void *>(nullptr), [&] { return qrx::pool::op::empty_blk(bf, blkno); });
  QRX_EXIT(exit_value(data));
  return data;
}

int32_t put_blk(Bfile *bf, void *data, int32_t writenow) {
  QRX_ENTRY();
  int32_t rc = shielded(int32_t{-1}, [&] { return qrx::pool::op::put_blk(bf, data, writenow); });
  QRX_EXIT(rc);
  return rc;
}

int32_t rlse_blk(Bfile *bf, void *data) {
  QRX_ENTRY();
  int32_t rc = shielded(int32_t{-1}, [&] { return qrx::pool::op::rlse_blk(bf, data); });
  QRX_EXIT(rc);
  return rc;
}

int32_t flush_blks(Bfile *bf) {
  QRX_ENTRY();
  int32_t rc = shielded(int32_t{-1}, [&] { return qrx::pool::op::flush_blks(bf); });
  QRX_EXIT(rc);
  return rc;
}
