// ctl.cc - the control record in block 0, the registry of in-memory control records, tree handles, the
// public-operation lock, and cbcreate, cbopen, cbclose, cbflush, cbdepth and cbblksize.
//
// One CtlRec exists per file name open in the process; every handle on that name points to it. The
// record's fields follow the locks named in cbt.h: registry links, nopen and access under the registry
// mutex; the disk fields and the handle list under the record's own mutex. cbopen, cbcreate and cbclose
// run wholly under the anchor mutex, so a record is made, counted and freed by one thread at a time and
// no thread can be waiting for a record's mutex when the record is freed (lock_tree takes that mutex only
// while it holds the anchor mutex).
#include <fcntl.h>

#include <mutex>
#include <shared_mutex>
#include <string>
#include <new>

#include "cbt/cbt.h"
#include "cbt/codec.h"
#include "cbt/ctl.h"
#include "cbt/pool/pool.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {
namespace {

// Registry qrxcbctl: circular doubly linked list of records behind a sentinel, newest first.
struct CtlRegistry {
  std::mutex mutex;  // guards the list, nopen and access of every record, and loads/saves/releases
  CtlRec head;       // sentinel; only next and prev are used
};
CtlRegistry *qrxcbctl = nullptr;  // set once by B_ctlinit, before the anchor is published

// The registry, or null when the anchor could not be made.
CtlRegistry *registry() {
  return cbt_anchor_get() ? qrxcbctl : nullptr;
}

CtlRec *find_name_locked(CtlRegistry &r, const char *name) {
  for (CtlRec *c = r.head.next; c != &r.head; c = c->next)
    if (c->fname == name) return c;
  return nullptr;
}

bool registered_locked(CtlRegistry &r, const CtlRec *ctl) {
  for (CtlRec *c = r.head.next; c != &r.head; c = c->next)
    if (c == ctl) return true;
  return false;
}

void unlink_locked(CtlRec *ctl) {
  ctl->prev->next = ctl->next;
  ctl->next->prev = ctl->prev;
  ctl->next = ctl->prev = nullptr;
}

// Keeps the calling thread's error and context codes across clean-up steps that may set their own.
class KeepCodes {
 public:
  KeepCodes() : saved_(thread_codes()) {}
  ~KeepCodes() {
    Codes &k = thread_codes();
    k.error = saved_.error;
    k.context = saved_.context;
  }

 private:
  Codes saved_;
};

// Handle checks of lock_tree; the caller holds the anchor mutex. t is compared, never dereferenced,
// until it is found on the anchor's list. With `need_pool` a handle whose file went through a pool
// that has been freed since is refused too (error 3): its blocks cannot be reached any more.
bool check_tree_locked(Anchor *a, Tree *t, bool need_pool = true) {
  bool listed = false;
  for (Tree *h = a->trees; h && !listed; h = h->next) listed = (h == t);
  if (!t || !listed) {
    set_error(Err::kBadTree, Ctx::kValidateArgs);
    return false;
  }
  // Records join and leave the registry only under the anchor mutex held exclusively (cbopen, cbcreate,
  // cbclose, cbexit), so under the anchor mutex the list is walked without the registry's own.
  CtlRegistry *r = registry();
  if (!r || !registered_locked(*r, t->ctl)) {
    set_error(Err::kBadCtl, Ctx::kValidateArgs);
    return false;
  }
  if (need_pool && !B_pool_current(a, t->ctl)) {
    set_error(Err::kNoPool, Ctx::kValidateArgs);
    return false;
  }
  return true;
}

// Copies the disk fields of block 0 into the record (all but vparity).
void copy_from_block(CtlRec *ctl, const uint8_t *b0) {
  ctl->blksize = codec::load_u32(b0, kCtlBlksizeOff);
  ctl->root = codec::load_i32(b0, kCtlRootOff);
  ctl->highblock = codec::load_i32(b0, kCtlHighblockOff);
  ctl->lowleaf = codec::load_i32(b0, kCtlLowleafOff);
  ctl->highleaf = codec::load_i32(b0, kCtlHighleafOff);
  ctl->freechain = codec::load_i32(b0, kCtlFreechainOff);
  ctl->depth = codec::load_i32(b0, kCtlDepthOff);
  ctl->openflag = codec::load_i32(b0, kCtlOpenflagOff);
}

// Writes the record's disk fields, a fresh parity and the open flag into block 0.
void copy_to_block(const CtlRec *ctl, uint8_t *b0) {
  codec::store_u32(b0, kCtlBlksizeOff, ctl->blksize);
  codec::store_i32(b0, kCtlRootOff, ctl->root);
  codec::store_i32(b0, kCtlHighblockOff, ctl->highblock);
  codec::store_i32(b0, kCtlLowleafOff, ctl->lowleaf);
  codec::store_i32(b0, kCtlHighleafOff, ctl->highleaf);
  codec::store_i32(b0, kCtlFreechainOff, ctl->freechain);
  codec::store_i32(b0, kCtlDepthOff, ctl->depth);
  codec::store_u32(b0, kCtlParityOff, B_calc_parity(b0));
  codec::store_i32(b0, kCtlOpenflagOff, ctl->openflag);
}

// Message base step, run once before the first message of an improperly closed file. The variable is
// looked up for the host's sake; the catalog opened stays "QRXMSENU".
volatile int32_t qrxcbmsgo = 0;
void SetMsgBaseName(void *) {
  (void)OSV1_LocateEnv("QRX_QRXMSGBASE");
}
constexpr char kMsgBase[] = "QRXMSENU";

void report_not_closed(const char *name) {
  OSV1_InitializeOnce(&qrxcbmsgo, &SetMsgBaseName, nullptr, __FILE__, __LINE__);
  QRX_NOTICE(20, "%s was not closed properly. Verify required", name);
  QRXMS_Catalog *cat = nullptr;
  if (qrxmsom(kMsgBase, sizeof kMsgBase - 1, &cat) == 0) {
    const char *inserts[1] = {name};
    qrxmswm(cat, "QRX0001", 1, inserts);
    qrxmscm(cat);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Control record and registry.
// ---------------------------------------------------------------------------------------------------

uint32_t B_calc_parity(const uint8_t *rec) {
  uint16_t p = 0;
  for (uint32_t off = 0; off < kCtlParityBytes; off += 2) p ^= codec::load_u16(rec, off);
  return p;
}

bool B_ctlinit() {
  auto *r = new (std::nothrow) CtlRegistry;
  if (!r) return false;
  r->head.next = r->head.prev = &r->head;
  qrxcbctl = r;
  return true;
}

CtlRec *B_ctlrec(const char *name, uint32_t access) {
  CtlRegistry *r = registry();
  if (!r) {
    set_error(Err::kNoMemory, Ctx::kAllocCtl);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(r->mutex);
  if (CtlRec *c = find_name_locked(*r, name)) return c;
  auto *c = new (std::nothrow) CtlRec;
  if (c) {
    try {
      c->fname = name;
    } catch (...) {
      delete c;
      c = nullptr;
    }
  }
  if (!c) {
    set_error(Err::kNoMemory, Ctx::kAllocCtl);
    return nullptr;
  }
  c->access = access;
  c->next = r->head.next;
  c->prev = &r->head;
  r->head.next->prev = c;
  r->head.next = c;
  return c;
}

CtlRec *B_ctlfind(const char *name) {
  CtlRegistry *r = registry();
  CtlRec *c = nullptr;
  if (r && name) {
    std::lock_guard<std::mutex> g(r->mutex);
    c = find_name_locked(*r, name);
  }
  if (!c) set_error(Err::kBadCtl, Ctx::kAllocCtl);
  return c;
}

int32_t B_ctlload(CtlRec *ctl, uint32_t access) {
  CtlRegistry *r = registry();
  if (!r) {
    set_error(Err::kBadCtl, Ctx::kReadCtl);
    return -1;
  }
  std::lock_guard<std::mutex> g(r->mutex);
  if (!registered_locked(*r, ctl)) {
    set_error(Err::kBadCtl, Ctx::kReadCtl);
    return -1;
  }
  const char *name = ctl->fname.c_str();

  // Already open in this process: nothing is read; a read-only file may be upgraded.
  Anchor *a = cbt_anchor_peek();
  if (ctl->nopen > 0) {
    int32_t rc = 1;
    if (!B_pool_current(a, ctl)) {
      // Left open by a cbexit that could not close it: its pool is gone, so no handle can use it.
      set_error(Err::kNoPool, Ctx::kReadCtl);
      rc = -1;
    } else if (ctl->access == 1 && access == 2) {
      if (reopen_blks(name, ctl->bfile) != 1) {
        QRX_ERROR("Unable to upgrade %s access from read to read/write", name);
        set_error(Err::kOpen, Ctx::kReadCtl);
        rc = -1;
      } else {
        // From now on the pool writes this file's blocks back. The open flag reaches the disk first,
        // so that a process ending before the last close leaves a file the next open reports. When it
        // cannot be written the access stays read-only: nothing is changed through this file.
        ctl->openflag = -1;
        if (WriteCtl(ctl) != 1) {
          set_error(Err::kPutBlock, Ctx::kReadCtl);
          rc = -1;
        } else {
          ctl->access = 2;
        }
      }
    }
    ctl->nopen += 1;
    return rc;
  }

  Bfile *bf = open_blks(name, static_cast<int32_t>(ctl->access), a ? a->pool : nullptr);
  if (!bf) {
    set_error(*qrxcbbpe() == QRXCB_POOL_BLKSIZE ? Err::kBlockSize : Err::kOpen, Ctx::kOpenRW);
    return -1;
  }
  // A block smaller than the smallest one this layer makes cannot hold a node (nor, below 36 bytes,
  // the control record itself): the file is not an index file.
  if (bf->blksize < kMinBlockSize) {
    close_blks(bf);
    set_error(Err::kBlockSize, Ctx::kReadCtl);
    return -1;
  }
  auto *b0 = static_cast<uint8_t *>(get_blk(bf, 0));
  if (!b0) {
    close_blks(bf);
    set_error(Err::kGetBlock, Ctx::kReadCtl);
    return -1;
  }
  uint32_t stored = codec::load_u32(b0, kCtlParityOff);
  if (B_calc_parity(b0) != stored) {
    QRX_ERROR("Invalid Parity Check s/b %d", static_cast<int>(stored));
    rlse_blk(bf, b0);
    close_blks(bf);
    set_error(Err::kParity, Ctx::kReadCtl);
    return -1;
  }
  copy_from_block(ctl, b0);
  ctl->bfile = bf;

  if (ctl->openflag != 0) {
    // Left open by a process that ended: the open counts, and the caller reports it.
    if (rlse_blk(bf, b0) != 1) {
      close_blks(bf);
      ctl->bfile = nullptr;
      set_error(Err::kReleaseBlock, Ctx::kReadCtl);
      return -1;
    }
    ctl->nopen += 1;
    set_error(Err::kCorrupt, Ctx::kReadCtl);
    return -1;
  }
  // Mark the file open. The pool does not write block 0 of a read-only file, so then only the copy in
  // memory carries the flag.
  ctl->openflag = -1;
  codec::store_i32(b0, kCtlOpenflagOff, -1);
  if (put_blk(bf, b0, 1) != 1) {
    close_blks(bf);
    ctl->bfile = nullptr;
    set_error(Err::kPutBlock, Ctx::kReadCtl);
    return -1;
  }
  ctl->nopen += 1;
  return 1;
}

int32_t B_ctlmake(CtlRec *ctl, uint32_t blksize) {
  CtlRegistry *r = registry();
  if (!r) {
    set_error(Err::kOpen, Ctx::kOpenRW);
    return -1;
  }
  std::lock_guard<std::mutex> g(r->mutex);
  Anchor *a = cbt_anchor_peek();
  Bfile *bf = open_blks(ctl->fname.c_str(), 2, a ? a->pool : nullptr);
  if (!bf) {
    set_error(Err::kOpen, Ctx::kOpenRW);
    return -1;
  }
  ctl->blksize = blksize;
  ctl->root = ctl->highblock = ctl->lowleaf = ctl->highleaf = ctl->freechain = ctl->depth = 0;
  // The new file is open for writing: it carries the open flag from its first write on, so that a
  // process ending before the close leaves a file the next open reports. The close writes 0.
  ctl->openflag = -1;
  auto *b0 = static_cast<uint8_t *>(empty_blk(bf, 0));
  if (!b0) {
    close_blks(bf);
    set_error(Err::kEmptyBlock, Ctx::kMakeCtl);
    return -1;
  }
  copy_to_block(ctl, b0);
  ctl->vparity = codec::load_u32(b0, kCtlParityOff);
  if (put_blk(bf, b0, 1) != 1) {
    close_blks(bf);
    set_error(Err::kPutBlock, Ctx::kMakeCtl);
    return -1;
  }
  ctl->bfile = bf;
  ctl->access = 2;
  ctl->nopen = 1;
  return 1;
}

int32_t WriteCtl(CtlRec *ctl) {
  auto *b0 = static_cast<uint8_t *>(get_blk(ctl->bfile, 0));
  if (!b0) {
    set_error(Err::kGetBlock, Ctx::kWriteCtl);
    return -1;
  }
  copy_to_block(ctl, b0);
  if (put_blk(ctl->bfile, b0, 1) != 1) {
    set_error(Err::kPutBlock, Ctx::kWriteCtl);
    return -1;
  }
  return 1;
}

int32_t B_ctlsave(CtlRec *ctl) {
  CtlRegistry *r = registry();
  if (!r) {
    set_error(Err::kBadCtl, Ctx::kWriteCtl);
    return -1;
  }
  std::lock_guard<std::mutex> g(r->mutex);
  if (!registered_locked(*r, ctl)) {
    set_error(Err::kBadCtl, Ctx::kWriteCtl);
    return -1;
  }
  return WriteCtl(ctl);
}

int32_t B_ctlfree(CtlRec *ctl) {
  CtlRegistry *r = registry();
  if (!r) return -1;
  std::lock_guard<std::mutex> g(r->mutex);
  if (!registered_locked(*r, ctl)) return -1;
  int32_t result = 1;
  bool counted = ctl->nopen > 0;
  if (counted) ctl->nopen -= 1;
  if (counted && ctl->nopen > 0) {
    if (ctl->locked) {
      ctl->locked = 0;
      ctl->mutex.unlock();
    }
    return result;
  }
  if (counted) {
    // Last open: the file is marked properly closed on disk and closed through the pool. A record
    // that was never counted belongs to a load or make that failed and already closed its file. A
    // file that a failed change left half-done stays marked open, for the next open to report.
    ctl->openflag = ctl->unclean ? -1 : 0;
    if (ctl->unclean)
      QRX_ERROR("%s is closed with changes a failed operation left half-done. Verify required",
                ctl->fname.c_str());
    if (WriteCtl(ctl) != 1) result = -1;
    if (close_blks(ctl->bfile) != 1) {
      set_error(Err::kCloseFile, Ctx::kCloseFile);
      result = -1;
    }
    ctl->bfile = nullptr;
  }
  unlink_locked(ctl);
  if (ctl->locked) {
    ctl->locked = 0;
    ctl->mutex.unlock();
  }
  delete ctl;
  return result;
}

// ---------------------------------------------------------------------------------------------------
// Handles and the public-operation lock.
// ---------------------------------------------------------------------------------------------------

Tree *B_treealloc(CtlRec *ctl, cbt_keycmp_fn cmp) {
  Anchor *a = cbt_anchor_peek();
  auto *t = new (std::nothrow) Tree{};
  if (!a || !t) {
    delete t;
    set_error(Err::kNoMemory, Ctx::kAllocTree);
    return nullptr;
  }
  t->ctl = ctl;
  t->keycmp = cmp;
  t->pos_stat = CBT_POS_BOI;
  t->curblock = t->curindex = -1;
  t->mrk_stat = CBT_NO_MARK;
  t->mrkblock = t->mrkindex = -1;
  t->next = a->trees;
  a->trees = t;
  std::unique_lock g(ctl->mutex, std::defer_lock);
  if (!ctl->locked) g.lock();
  t->file_next = ctl->handles;
  ctl->handles = t;
  return t;
}

void B_treefree(Tree *t) {
  if (Anchor *a = cbt_anchor_peek()) {
    for (Tree **p = &a->trees; *p; p = &(*p)->next) {
      if (*p == t) {
        *p = t->next;
        break;
      }
    }
  }
  CtlRec *ctl = t->ctl;
  std::unique_lock g(ctl->mutex, std::defer_lock);
  if (!ctl->locked) g.lock();
  for (Tree **p = &ctl->handles; *p; p = &(*p)->file_next) {
    if (*p == t) {
      *p = t->file_next;
      break;
    }
  }
  g = {};  // give the mutex back (when taken here) before the handle goes
  delete t;
}

bool lock_tree(Tree *t) {
  Anchor *a = cbt_anchor_peek();
  if (!a) {
    set_error(Err::kBadTree, Ctx::kValidateArgs);
    return false;
  }
  std::shared_lock g(a->mutex);
  if (!check_tree_locked(a, t)) return false;
  t->ctl->mutex.lock();
  return true;
}

void unlock_tree(Tree *t) {
  t->ctl->mutex.unlock();
}

bool B_is_tree_valid(Tree *t) {
  Anchor *a = cbt_anchor_peek();
  if (!a) {
    set_error(Err::kBadTree, Ctx::kValidateArgs);
    return false;
  }
  std::shared_lock g(a->mutex);
  return check_tree_locked(a, t);
}

bool B_pool_current(const Anchor *a, const CtlRec *ctl) {
  return a && a->pool && ctl->bfile && ctl->bfile->pool_id == a->pool_id;
}

bool B_writable(Tree *t) {
  if (t->ctl->access == 2) return true;
  set_error(Err::kOpen, Ctx::kOpenRW);
  return false;
}

void B_mark_unclean(Tree *t) {
  if (!t->ctl->unclean) QRX_ERROR("A failed operation left changes to %s half-done", t->ctl->fname.c_str());
  t->ctl->unclean = true;
}

int32_t B_flush(Tree *t) {
  set_function(Fn::kFlush);
  clear_error();
  CtlRec *ctl = t->ctl;
  // Blocks the operation still keeps pinned go back first, so that the flush sees them dirty.
  const bool pinning = ctl->pins.active;
  B_pins_end(ctl);
  ctl->pins.active = pinning;
  int32_t blocks = flush_blks(ctl->bfile);
  int32_t record = B_ctlsave(ctl);
  if (blocks != 1) {
    set_error(Err::kFlush, Ctx::kFlushTree);
    return -1;
  }
  if (record != 1) return -1;
  clear_error();
  return 1;
}

int32_t B_close(Tree *t) {
  set_function(Fn::kClose);
  clear_error();
  CtlRec *ctl = t->ctl;
  if (!B_pool_current(cbt_anchor_peek(), ctl)) {
    // The pool this file went through is gone: nothing can be written any more. The handle is dropped
    // and the file closed as it stands on disk (still marked open, for the next open to report).
    B_treefree(t);
    B_ctlfree(ctl);
    set_function(Fn::kClose);
    set_error(Err::kNoPool, Ctx::kValidateArgs);
    return -1;
  }
  if (B_flush(t) != 1) {
    // The handle stays open, with the flush's codes: a later close may succeed.
    if (ctl->locked) {
      ctl->locked = 0;
      ctl->mutex.unlock();
    }
    set_function(Fn::kClose);
    return -1;
  }
  set_function(Fn::kClose);
  B_treefree(t);
  int32_t rc = B_ctlfree(ctl);
  if (rc == 1) clear_error();
  return rc;
}

// ---------------------------------------------------------------------------------------------------
// Public file operations.
// ---------------------------------------------------------------------------------------------------

Tree *cbt_create(const char *name, cbt_keycmp_fn cmp, uint32_t blksize) {
  set_function(Fn::kCreate);
  clear_error();
  if (!cmp) cmp = qrxcbkcm;
  if (blksize == 0) blksize = kDefaultBlockSize;
  if (blksize < kMinBlockSize) blksize = kMinBlockSize;
  Anchor *a = cbt_anchor_get();
  if (blksize > pool_bufsize()) {
    set_error(Err::kBlockSize, Ctx::kMakeCtl);
    return nullptr;
  }
  std::lock_guard g(a->mutex);
  if (!a->pool) {
    set_error(Err::kNoPool, Ctx::kCreateFile);
    return nullptr;
  }
  // A name open in this process is not created over: its file and record stay as they are.
  bool open_here = false;
  if (name) {
    CtlRegistry *r = registry();
    std::lock_guard<std::mutex> rg(r->mutex);
    open_here = find_name_locked(*r, name) != nullptr;
  }
  if (!name || open_here) {
    QRX_ERROR("Unable to create %s", name ? name : "");
    set_error(Err::kCreate, Ctx::kCreateFile);
    return nullptr;
  }
  CtlRec *ctl = B_ctlrec(name, 2);
  if (!ctl) return nullptr;
  Tree *t = B_treealloc(ctl, cmp);
  if (!t) {
    KeepCodes keep;
    B_ctlfree(ctl);
    return nullptr;
  }

  bool ok = false;
  int32_t fd = qrxcb_creat(name, kCreateMode);
  if (fd < 0) {
    QRX_ERROR("Unable to create %s", name);
    set_error(Err::kCreate, Ctx::kCreateFile);
  } else {
    // The block size alone, so that the pool can open the file; B_ctlmake writes block 0 in full.
    uint8_t word[4];
    codec::store_u32(word, 0, blksize);
    bool written = writeblk(fd, 0, sizeof word, word) == 1;
    qrxcb_close(fd);
    if (!written) {
      set_error(Err::kPutBlock, Ctx::kCreateFile);
    } else {
      ok = B_ctlmake(ctl, blksize) == 1;
    }
  }
  if (!ok) {
    KeepCodes keep;
    B_treefree(t);
    B_ctlfree(ctl);
    // A file this call made and could not finish is not left behind for a later open to refuse.
    if (fd >= 0) qrxcb_unlink(name);
    return nullptr;
  }
  return t;
}

Tree *cbt_open(const char *name, int32_t mode, cbt_keycmp_fn cmp) {
  set_function(Fn::kOpen);
  clear_error();
  if (!cmp) cmp = qrxcbkcm;
  uint32_t access = (static_cast<uint32_t>(mode) & 2u) ? 2 : 1;
  Anchor *a = cbt_anchor_get();
  if (!a) {
    set_error(Err::kNoMemory, Ctx::kAllocCtl);
    return nullptr;
  }
  std::lock_guard g(a->mutex);
  if (!a->pool) {
    set_error(Err::kNoPool, Ctx::kOpenRW);
    return nullptr;
  }
  if (!name) {
    set_error(Err::kOpen, Ctx::kValidateArgs);
    return nullptr;
  }
  CtlRec *ctl = B_ctlrec(name, access);
  if (!ctl) return nullptr;
  // The record's mutex is held across the load, so that an upgrade never runs under an operation of
  // another handle on the same file; `locked` tells the release steps to give it back.
  ctl->mutex.lock();
  ctl->locked = 1;
  Tree *t = B_treealloc(ctl, cmp);
  if (!t) {
    KeepCodes keep;
    B_ctlfree(ctl);
    return nullptr;
  }
  if (B_ctlload(ctl, access) != 1) {
    if (last_error() != static_cast<uint32_t>(Err::kCorrupt)) {
      KeepCodes keep;
      B_treefree(t);
      B_ctlfree(ctl);
      return nullptr;
    }
    // Not closed properly: the handle is good; error 20 stays for the caller to see.
    ctl->locked = 0;
    ctl->mutex.unlock();
    report_not_closed(name);
    return t;
  }
  ctl->locked = 0;
  ctl->mutex.unlock();
  return t;
}

int32_t cbt_close(Tree *t) {
  set_function(Fn::kClose);
  clear_error();
  Anchor *a = cbt_anchor_peek();
  if (!a) {
    set_error(Err::kBadTree, Ctx::kValidateArgs);
    return -1;
  }
  std::lock_guard g(a->mutex);
  // A handle whose pool is gone is accepted here: closing it is the only way to let go of it.
  if (!check_tree_locked(a, t, false)) return -1;
  t->ctl->mutex.lock();
  t->ctl->locked = 1;
  return B_close(t);
}

int32_t cbt_flush(Tree *t) {
  set_function(Fn::kFlush);
  clear_error();
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  return B_flush(t);
}

int32_t cbt_depth(Tree *t) {
  set_function(Fn::kDepth);
  TreeLock lock(t);
  if (!lock.ok()) return -1;
  return t->ctl->depth;
}

int32_t cbt_blksize(const char *name) {
  set_function(Fn::kBlkSize);
  CtlRegistry *r = registry();
  if (r && name) {
    std::lock_guard<std::mutex> g(r->mutex);
    if (CtlRec *c = find_name_locked(*r, name)) return static_cast<int32_t>(c->blksize);
  }
  set_error(Err::kBadCtl, Ctx::kAllocCtl);
  if (!name) {
    set_error(Err::kOpen, Ctx::kReadCtl);
    return -1;
  }
  int32_t fd = qrxcb_open(name, O_RDONLY, 0);
  if (fd < 0) {
    set_error(Err::kOpen, Ctx::kReadCtl);
    return -1;
  }
  uint8_t rec[kCtlSize];
  bool read = readblk(fd, 0, kCtlSize, rec) == 1;
  qrxcb_close(fd);
  if (!read) {
    set_error(Err::kGetBlock, Ctx::kReadCtl);
    return -1;
  }
  if (B_calc_parity(rec) != codec::load_u32(rec, kCtlParityOff)) {
    set_error(Err::kParity, Ctx::kReadCtl);
    return -1;
  }
  return static_cast<int32_t>(codec::load_u32(rec, kCtlBlksizeOff));
}

}  // namespace qrx::cbt
