// frame.cc - the ISAM layer's anchor (qrxisgbl), the per-thread record, the error texts, isaminit and
// isamexit.
//
// The anchor is made once (InitGlobals through OSV1_InitializeOnce), registers isamexit with atexit and
// is never freed: database objects cached on its dblist outlive their last close and go only with the
// last isamexit. isaminit and isamexit hold the anchor's mutex for their whole run, cbinit and cbexit
// included.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <new>

#include "host/qrxmem.h"
#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

constexpr const char *kErrorTexts[] = {
    "No Isam error",
    "Invalid database handle",
    "Invalid index handle",
    "Database in use; cannot perform operation",
    "No current record",
    "Out of memory",
    "Operation not allowed for this index",
    "Error reading or writing file",
    "Unknown index name",
    "Error from cbt level",
    "File not found",
    "Key too long for current buffer size",
    "Isam index file possibly corrupted",
    "Too many indexes for one database",
    "No marked record",
    "Cannot rename data base",
    "Cannot construct name of file",
    "New index name duplicates existing index name",
    "Field name is not name of existing field",
    "Cannot copy database to itself",
    "Block size too big for buffer pool",
    "Cannot overwrite existing index file",
    "isaminit already called",
    "field longer than specified maximum length",
    "field number >= field count",
    "key number >= key count",
};
static_assert(std::size(kErrorTexts) == 26);

// Per-thread record: one ThreadData per thread, made in the host's block for the key.
void InitThreadData(void *block) {
  auto *td = new (block) ThreadData;
  const uint32_t size = cbbufsize();
  td->keybufsize = size != 0 ? size : 256;
  td->keybuf = static_cast<uint8_t *>(qrx::mem::alloc(td->keybufsize));
  if (td->keybuf == nullptr) td->keybufsize = 0;
  QRX_DETAIL("globals = %p, buffer length = %d, buffer addr = %p", block, static_cast<int>(td->keybufsize),
             static_cast<void *>(td->keybuf));
}

void FreeThreadData(void *block) {
  auto *td = static_cast<ThreadData *>(block);
  std::free(td->names_buf);
  std::free(td->desc_buf);
  std::free(td->keybuf);
  std::free(td->recmem);
  td->~ThreadData();
}

OSV1_ThreadKey qrxisthk_OSV1__T = {sizeof(ThreadData), &InitThreadData, &FreeThreadData, 0, 0};
int32_t g_errno_fallback = 0;
Db *g_curdb_fallback = nullptr;

// The anchor and its once word.
volatile int32_t qrxistho = 0;
std::atomic<Anchor *> qrxisgbl{nullptr};

void at_exit() {
  isam_exit();
}

void InitGlobals(void *) {
  auto *a = new (std::nothrow) Anchor;
  if (a == nullptr) return;
  std::atexit(&at_exit);
  qrxisgbl.store(a, std::memory_order_release);
}

}  // namespace

Anchor *anchor_peek() {
  return qrxisgbl.load(std::memory_order_acquire);
}

Anchor *anchor_get() {
  if (Anchor *a = anchor_peek()) return a;
  OSV1_InitializeOnce(&qrxistho, &InitGlobals, nullptr, __FILE__, __LINE__);
  return anchor_peek();
}

int32_t refuse_null() {
  QRX_ERROR("Missing argument");
  set_errno(Err::kNoField);
  return -1;
}

constinit thread_local ThreadData *t_thread_data = nullptr;

ThreadData *I_ResolveThreadData() {
  if (t_thread_data == nullptr)
    t_thread_data = static_cast<ThreadData *>(OSV1_ResolveThread(&qrxisthk_OSV1__T, __FILE__, __LINE__));
  return t_thread_data;
}

int32_t &errno_fallback() {
  return g_errno_fallback;
}

Db *&curdb_fallback() {
  return g_curdb_fallback;
}

const char *isam_error_text(int32_t code) {
  if (code < 0 || static_cast<size_t>(code) >= std::size(kErrorTexts)) return "Unknown isam error number";
  return kErrorTexts[code];
}

int32_t buffer_size_for(uint32_t blocksize) {
  if (blocksize <= 512) return 512;
  if (blocksize <= 1024) return 1024;
  if (blocksize <= 4096) return 4096;
  if (blocksize <= 8192) return 8192;
  return 32768;
}

int32_t isam_init(int32_t count, int32_t size) {
  set_errno(Err::kNone);
  Anchor *a = anchor_get();
  if (a == nullptr) {
    set_errno(Err::kNoMemory);
    return -1;
  }
  std::lock_guard<std::mutex> g(a->mutex);
  return init_locked(a, count, size, false);
}

int32_t init_locked(Anchor *a, int32_t count, int32_t size, bool only_first) {
  if (only_first && a->initcnt != 0) return 1;
  a->initcnt += 1;
  if (a->initcnt != 1) return 1;
  // The environment may only raise the sizes the caller asks for.
  if (const char *env = OSV1_GetEnv("QRX_CBTBUFSZ", nullptr); env != nullptr && std::atol(env) > size)
    size = static_cast<int32_t>(std::atol(env));
  if (const char *env = OSV1_GetEnv("QRX_CBTBUFCNT", nullptr); env != nullptr && std::atol(env) > count)
    count = static_cast<int32_t>(std::atol(env));
  if (cbinit(static_cast<uint32_t>(count), static_cast<uint32_t>(size)) == -1) {
    QRX_ERROR("cbinit failed");
    set_errno(Err::kCbt);
    return -1;
  }
  return 1;
}

int32_t isam_exit() {
  Anchor *a = anchor_peek();
  if (a == nullptr) return 1;
  set_errno(Err::kNone);
  std::lock_guard<std::mutex> g(a->mutex);
  QRX_DETAIL("init count = %d", static_cast<int>(a->initcnt));
  if (a->initcnt != 1) {
    if (a->initcnt > 1) a->initcnt -= 1;
    return 1;
  }
  // initcnt 0 tells the close steps that this thread holds the anchor's mutex and that database locks are
  // neither taken nor released: every database is closed here with the close steps themselves, its use
  // count lowered once.
  a->initcnt = 0;
  int32_t remembered = 0;
  while (Db *db = a->dblist) {
    if (db->usecount > 0) {
      db->usecount -= 1;
      if (close_db_steps(db, true) < 0 && remembered == 0) remembered = isam_errno();
      if (db->usecount > 0) continue;  // still open for other users: closed again on the next pass
    }
    QRX_DETAIL("Removing db object %p lock %p %s", static_cast<void *>(db), static_cast<void *>(&db->mutex),
               db->datafile.c_str());
    a->removals.fetch_add(1, std::memory_order_acq_rel);
    a->dblist = db->next;
    delete db;
  }
  if (cbexit() == -1 && remembered == 0) remembered = static_cast<int32_t>(Err::kCbt);
  isam_errno() = remembered;
  return remembered != 0 ? -1 : 1;
}

}  // namespace qrx::isam
