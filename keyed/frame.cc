// frame.cc - the keyed-file service's anchor, its tables of operations and function sets, Initialize and
// Terminate, and the frame's error lines and test hooks.
//
// The anchor is found or made in one step under the service mutex, which Terminate also takes: no thread
// ever sees a half-made anchor, two first opens at once both get the one anchor, and a creation that
// fails undoes exactly what it made (areas destroyed, the name forgotten) before anyone else can look.
#include <mutex>
#include <new>

#include "host/qrxtrace.h"
#include "keyed/service.h"

QRX_TRACE_UNIT();

namespace qrx::keyed {
namespace {

// ---------------------------------------------------------------------------------------------------
// Refusals: one per slot type, so that a call through any slot is a call through its own type.
// ---------------------------------------------------------------------------------------------------
template <class Fn>
struct Bad;
template <class... A>
struct Bad<int32_t (*)(A...)> {
  static int32_t fn(A...) { return kBadHandle; }
};
#define BAD(table, slot) Bad<decltype(table::slot)>::fn

// badopen: slot 0 of the cursor and update base tables.
int32_t badopen(const char *, int32_t, int32_t, KeyHandle *, uint32_t *) {
  return kBadHandle;
}

using Base = qrxky_base_table;
using Upd = qrxky_update_table;

// clang-format off
constexpr qrxky_base_table fileBase = {
    ky_of, ky_oc, BAD(Base, ReadNext), BAD(Base, CloseCursor), ky_rbk, ky_ar, ky_cf,
    BAD(Base, RepositionCursor), ky_grf, ky_qkf, ky_qmf, ky_ff};
constexpr qrxky_base_table fileBaseInputOnly = {
    ky_of, ky_oc, BAD(Base, ReadNext), BAD(Base, CloseCursor), ky_rbk, BAD(Base, AddRecord), ky_cf,
    BAD(Base, RepositionCursor), ky_grf, ky_qkf, ky_qmf, BAD(Base, FlushFile)};
constexpr qrxky_base_table cursorBase = {
    badopen, BAD(Base, OpenCursor), ky_rn, ky_cc, BAD(Base, ReadByKey), BAD(Base, AddRecord),
    BAD(Base, CloseFile), ky_rc, ky_grc, ky_qkc, ky_qmc, BAD(Base, FlushFile)};
constexpr qrxky_base_table cursorNoPosBase = {
    badopen, BAD(Base, OpenCursor), BAD(Base, ReadNext), ky_cc, BAD(Base, ReadByKey), BAD(Base, AddRecord),
    BAD(Base, CloseFile), ky_rc, ky_grc, ky_qkc, ky_qmc, BAD(Base, FlushFile)};
constexpr qrxky_base_table updateBase = {
    badopen, BAD(Base, OpenCursor), BAD(Base, ReadNext), BAD(Base, CloseCursor), BAD(Base, ReadByKey),
    BAD(Base, AddRecord), BAD(Base, CloseFile), BAD(Base, RepositionCursor), ky_gru, ky_qku, ky_qmu,
    BAD(Base, FlushFile)};
constexpr qrxky_base_table deadBase = {
    badopen, BAD(Base, OpenCursor), BAD(Base, ReadNext), BAD(Base, CloseCursor), BAD(Base, ReadByKey),
    BAD(Base, AddRecord), BAD(Base, CloseFile), BAD(Base, RepositionCursor), BAD(Base, GetReason),
    BAD(Base, QueryKey), BAD(Base, QueryRecLen), BAD(Base, FlushFile)};

constexpr qrxky_update_table noUpdateAllowed = {
    BAD(Upd, UpdateByKey), BAD(Upd, DeleteByKey), BAD(Upd, ReadByKeyForUpdate), BAD(Upd, UpdateHeldRecord),
    BAD(Upd, DeleteHeldRecord), BAD(Upd, ReleaseHeldRecord), BAD(Upd, OpenUpdateCursor),
    BAD(Upd, ReadNextForUpdate)};
constexpr qrxky_update_table fileUpdateAllowed = {
    ky_ubk, ky_dbk, ky_rfu, BAD(Upd, UpdateHeldRecord), BAD(Upd, DeleteHeldRecord),
    BAD(Upd, ReleaseHeldRecord), ky_ssu, BAD(Upd, ReadNextForUpdate)};
constexpr qrxky_update_table cursorUpdateSSU = {
    BAD(Upd, UpdateByKey), BAD(Upd, DeleteByKey), BAD(Upd, ReadByKeyForUpdate), BAD(Upd, UpdateHeldRecord),
    BAD(Upd, DeleteHeldRecord), BAD(Upd, ReleaseHeldRecord), BAD(Upd, OpenUpdateCursor), ky_rnu};
constexpr qrxky_update_table updateUpdate = {
    BAD(Upd, UpdateByKey), BAD(Upd, DeleteByKey), BAD(Upd, ReadByKeyForUpdate), ky_uhr, ky_dhr, ky_rhr,
    BAD(Upd, OpenUpdateCursor), BAD(Upd, ReadNextForUpdate)};
constexpr qrxky_update_table updateInvalid = noUpdateAllowed;

constexpr qrxky_asynch_vector asynchVect = {ky_saf, ky_caf};
constexpr qrxky_asynch_vector cursorAsynchVect = {ky_sac, ky_cac};
constexpr qrxky_asynch_vector updateAsynchVect = {ky_sau, ky_cau};
constexpr qrxky_asynch_vector deadAsynchVect = {
    Bad<qrxky_set_mode_fn>::fn, Bad<qrxky_handle_fn>::fn};
// clang-format on

}  // namespace

const qrxky_func_set fileUpdateFuncSet = {&fileBase, nullptr, &fileUpdateAllowed, &asynchVect};
const qrxky_func_set fileInputFuncSet = {&fileBaseInputOnly, nullptr, &noUpdateAllowed, &asynchVect};
const qrxky_func_set cursorFuncSet = {&cursorBase, nullptr, &noUpdateAllowed, &cursorAsynchVect};
const qrxky_func_set cursorUpdateFuncSet = {&cursorBase, nullptr, &cursorUpdateSSU, &cursorAsynchVect};
const qrxky_func_set cursorNoPosFuncSet = {&cursorNoPosBase, nullptr, &noUpdateAllowed, &cursorAsynchVect};
const qrxky_func_set updateInvalidFuncSet = {&updateBase, nullptr, &updateInvalid, &updateAsynchVect};
const qrxky_func_set updateFuncSet = {&updateBase, nullptr, &updateUpdate, &updateAsynchVect};
const qrxky_func_set deadFuncSet = {&deadBase, nullptr, &noUpdateAllowed, &deadAsynchVect};

// ---------------------------------------------------------------------------------------------------
// Error lines of the frame.
// ---------------------------------------------------------------------------------------------------
void line_invalid_cursor(const void *block) {
  QRX_ERROR("Invalid cursor detected - status = %d Addr = %x", kBadHandle, low32(block));
}
void line_abnormal() {
  QRX_ERROR("Abnormal condition detected");
}
void line_invalid_file() {
  QRX_ERROR("Invalid file handle");
}

// ---------------------------------------------------------------------------------------------------
// Test hooks.
// ---------------------------------------------------------------------------------------------------
namespace {
std::atomic<int> g_raise_countdown[static_cast<int>(RaisePoint::kCount)];
std::atomic<int> g_anchor_fault{-1};
std::atomic<uint64_t> g_last_file_area{0}, g_last_cursor_area{0};

bool anchor_fault(AnchorStep step) {
  int expected = static_cast<int>(step);
  return g_anchor_fault.compare_exchange_strong(expected, -1);
}
}  // namespace

void raise_arm(RaisePoint where, int nth) {
  g_raise_countdown[static_cast<int>(where)].store(nth);
}
void raise_disarm() {
  for (auto &c : g_raise_countdown) c.store(0);
}
void maybe_raise(RaisePoint where) {
  auto &c = g_raise_countdown[static_cast<int>(where)];
  if (c.load(std::memory_order_relaxed) <= 0) return;
  if (c.fetch_sub(1) == 1) XFR1__Raise(XFR1_Thread(), 99);
}
void anchor_fault_arm(AnchorStep step) {
  g_anchor_fault.store(static_cast<int>(step));
}
void anchor_fault_disarm() {
  g_anchor_fault.store(-1);
}
void anchor_last_areas(HPM1_Handle *file_area, HPM1_Handle *cursor_area) {
  file_area->word = g_last_file_area.load();
  cursor_area->word = g_last_cursor_area.load();
}

// ---------------------------------------------------------------------------------------------------
// The anchor.
// ---------------------------------------------------------------------------------------------------
namespace {

std::mutex &service_mutex() {
  // Never destroyed (Terminate may run from exit handlers); made in place, so that the first use cannot fail
  // for want of memory.
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex *m = new (storage) std::mutex;
  return *m;
}

RGY1_Name anchor_name() {
  return RGY1_Name{"KEY1", 4, 4};
}

HPM1_Handle g_storage{0};  // the process's storage handle, once had; guarded by the service mutex

}  // namespace

// qrxkyiks: makes the anchor and its two areas. The caller holds the service mutex. 0, or the status of
// the step that failed, with everything made before it undone.
int32_t qrxkyiks(KeyServiceAnchor **out) {
  int32_t status = kOk;
  const RGY1_Name name = anchor_name();
  KeyServiceAnchor *anchor = nullptr;
  bool made = false, file_area = false, cursor_area = false;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    int32_t ctx = 0;
    g_last_file_area.store(0);
    g_last_cursor_area.store(0);
    if (anchor_fault(AnchorStep::kStorage) || HPM1_GetStorageHandle(&g_storage, &ctx) != HPM1_OK) {
      g_storage.word = 0;
      status = kNoStorage;
      return;
    }
    void *record = nullptr;
    int32_t rc = anchor_fault(AnchorStep::kCreate)
                     ? RGY1_NO_MEMORY
                     : RGY1_LocateCreateAnchor(&name, sizeof(KeyServiceAnchor), &record, &g_storage);
    if (rc != RGY1_CREATED) {
      status = rc == RGY1_OK ? 4 : rc;
      QRX_ERROR("LocateCreateAnchor failed, status = %d", status);
      return;
    }
    made = true;
    anchor = new (record) KeyServiceAnchor{};
    rc = anchor_fault(AnchorStep::kFileArea)
             ? HPM1_NO_MEMORY
             : HPM1_CreateArea(&g_storage, "KEY1FILE", 0, sizeof(FileControlBlock), sizeof(FileControlBlock),
                               &anchor->file_area);
    if (rc != HPM1_OK) {
      status = rc;
      return;
    }
    file_area = true;
    g_last_file_area.store(anchor->file_area.word);
    rc = anchor_fault(AnchorStep::kCursorArea)
             ? HPM1_NO_MEMORY
             : HPM1_CreateArea(&g_storage, "KEY1CRSR", 0, sizeof(CursorBlock), sizeof(CursorBlock),
                               &anchor->cursor_area);
    if (rc != HPM1_OK) {
      status = rc;
      return;
    }
    cursor_area = true;
    g_last_cursor_area.store(anchor->cursor_area.word);
    if (anchor_fault(AnchorStep::kFill)) XFR1__Raise(XFR1_Thread(), 99);
    anchor->file_counter = 0;
    std::memcpy(anchor->eye, "KEY1KSAB", 8);
    OSV1_InitializeLock(&anchor->lock);
    anchor->files.init_empty();
    *out = anchor;
  });
  if (cond != 0 && status == kOk) status = kAbnormal;
  if (status != kOk && made) {
    if (cursor_area) HPM1_DestroySpace(&anchor->cursor_area);
    if (file_area) HPM1_DestroySpace(&anchor->file_area);
    int32_t ctx = 0;
    RGY1_ForgetAnchorAddress(&name, &ctx);
    // Nobody else saw the record: the service mutex was held from its creation on.
    anchor->~KeyServiceAnchor();
    OSV1_FreeMem(anchor, nullptr);
  }
  return status;
}

// qrxkytks: closes every file still open (with its cursors), destroys both areas, forgets the anchor and
// frees its record. The caller holds the service mutex.
void qrxkytks(KeyServiceAnchor *anchor) {
  XFR1_Guard(__FILE__, __LINE__, [&] {
    for (;;) {
      FileControlBlock *f = nullptr;
      {
        LockGuard g(&anchor->lock);
        if (anchor->files.empty()) break;
        f = static_cast<FileControlBlock *>(anchor->files.next->self);
      }
      uint32_t reason = 0;
      const KeyHandle h = handle_of(f->seq.load(), f->slot);
      f->funcs.load()->base->CloseFile(h, &reason);
      // A file whose close failed before unlinking it must not keep this loop going.
      LockGuard g(&anchor->lock);
      if (!anchor->files.empty() && anchor->files.next == &f->link) f->link.unlink();
    }
    HPM1_DestroySpace(&anchor->cursor_area);
    HPM1_DestroySpace(&anchor->file_area);
    const RGY1_Name name = anchor_name();
    int32_t ctx = 0;
    RGY1_ForgetAnchorAddress(&name, &ctx);
    // The registry keeps forgotten records; the service is their owner and, with every file closed and
    // no other thread in the service, the record's last user: it goes back, so that a process that
    // initializes and terminates again and again does not keep one record per cycle.
    OSV1_DestroyLock(&anchor->lock);
    anchor->~KeyServiceAnchor();
    OSV1_FreeMem(anchor, nullptr);
  });
}

int32_t locate_anchor(KeyServiceAnchor **out) {
  std::lock_guard<std::mutex> g(service_mutex());
  const RGY1_Name name = anchor_name();
  int32_t ctx = 0;
  void *p = nullptr;
  const int32_t rc = RGY1_LocateAnchorAddress(&name, &p, &ctx);
  if (rc == RGY1_OK) *out = static_cast<KeyServiceAnchor *>(p);
  return rc;
}

int32_t find_or_make_anchor(KeyServiceAnchor **out) {
  std::lock_guard<std::mutex> g(service_mutex());
  const RGY1_Name name = anchor_name();
  int32_t ctx = 0;
  void *p = nullptr;
  const int32_t rc = RGY1_LocateAnchorAddress(&name, &p, &ctx);
  if (rc == RGY1_OK) {
    *out = static_cast<KeyServiceAnchor *>(p);
    return kOk;
  }
  if (rc != RGY1_NOT_FOUND && rc != RGY1_BAD_NAME) {
    QRX_ERROR("LocateAnchor failed, status = %d", rc);
    return rc;
  }
  return qrxkyiks(out);
}

// The function set of the live block of kind B the handle names, or the set of refusals.
template <class B>
const qrxky_func_set *current_set(KeyHandle h) {
  Pin p = slot_pin(h.slot, BlockTraits<B>::kind);
  return p && p.get<B>()->seq.load() == h.seq ? p.get<B>()->funcs.load() : &deadFuncSet;
}

void release_file_block(void *block) {
  auto *f = static_cast<FileControlBlock *>(block);
  OSV1_DestroyLock(&f->request_lock);
  OSV1_DestroyLock(&f->cursor_list_lock);
  const HPM1_Handle area = f->file_area;
  f->~FileControlBlock();
  HPM1_FreeStorage(&area, block);
}

void release_cursor_block(void *block) {
  auto *c = static_cast<CursorBlock *>(block);
  OSV1_DestroyLock(&c->lock);
  const HPM1_Handle area = c->cursor_area;
  c->~CursorBlock();
  HPM1_FreeStorage(&area, block);
}

}  // namespace qrx::keyed

using namespace qrx::keyed;

extern "C" {

QRX_API int32_t qrxkyini(void) {
  int32_t status = kOk;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    KeyServiceAnchor *anchor = nullptr;
    status = find_or_make_anchor(&anchor);
  });
  return cond != 0 ? kAbnormal : status;
}
QRX_API int32_t Initialize(void) __attribute__((alias("qrxkyini")));

QRX_API int32_t qrxkytrm(void) {
  int32_t status = kOk;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    std::lock_guard<std::mutex> g(service_mutex());
    const RGY1_Name name = anchor_name();
    int32_t ctx = 0;
    void *p = nullptr;
    status = RGY1_LocateAnchorAddress(&name, &p, &ctx);
    if (status == RGY1_OK) qrxkytks(static_cast<KeyServiceAnchor *>(p));
  });
  return cond != 0 ? kAbnormal : status;
}
QRX_API int32_t Terminate(void) __attribute__((alias("qrxkytrm")));

QRX_API int32_t qrxkyqfs(int32_t) {
  return 1;
}

QRX_API const qrxky_func_set *qrxkygfs(KeyHandle h) {
  const qrxky_func_set *fs = &deadFuncSet;
  XFR1_Guard(__FILE__, __LINE__, [&] {
    switch (static_cast<Kind>(slot_kind(h.slot))) {
      case Kind::kFile:
        fs = current_set<FileControlBlock>(h);
        break;
      case Kind::kCursor:
        fs = current_set<CursorBlock>(h);
        break;
      case Kind::kUpdate:
        fs = current_set<UpdateBlock>(h);
        break;
      default:
        break;
    }
  });
  return fs;
}

}  // extern "C"
