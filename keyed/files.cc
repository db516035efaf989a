// files.cc - opening and closing keyed files and cursors, reading by key and in sequence, adding and
// flushing.
//
// Closing is done once: a file or cursor is marked closed (seq -1) in the same critical section that
// unlinks it, so of CloseCursor and CloseFile racing for one cursor exactly one closes it. CloseCursor
// holds the owning file's request lock throughout (request lock, cursor-list lock, cursor lock), so a
// CloseFile never closes the adapter file under a cursor close in progress. Blocks are given back to
// their areas only when the last operation working on them has returned (see keyed/handles.h).
#include <algorithm>
#include <new>

#include "host/qrxtrace.h"
#include "keyed/adapter.h"
#include "keyed/service.h"

QRX_TRACE_UNIT();

namespace qrx::keyed {
namespace {

bool is_no_key(const void *key) {
  return key == QRXKY_KEY_HEAD || key == QRXKY_KEY_TAIL;
}

// The key check of OpenCursor and RepositionCursor: 0 when the key may be used.
int32_t check_cursor_key(const void *key, int32_t key_len, uint32_t file_key_len, bool lines) {
  if (is_no_key(key)) {
    if (key_len == 0) return kOk;
    if (lines) QRX_ERROR("Key address %d is invalid", static_cast<int32_t>(low32(key)));
    return kInvalid;
  }
  if (key_len < 1 || (file_key_len > 0 && static_cast<uint32_t>(key_len) > file_key_len)) {
    if (lines) QRX_ERROR("Key length %d is invalid", key_len);
    return kInvalid;
  }
  return kOk;
}

// Closes a cursor already unlinked and marked closed by the caller, who holds nothing but (perhaps) the
// file's request lock. Returns the adapter's status of deleting the cursor's request.
int32_t finish_cursor_close(CursorBlock *c, uint32_t *reason) {
  Pin keep = slot_pin(c->slot, Kind::kCursor);  // the memory stays until the lock below is released
  LockGuard lock(&c->lock);
  int32_t status = kOk;
  if (c->update.held.load() != 0) {
    uint32_t ignored = 0;
    ky1_rr(c->adapter, 1, &ignored);
    c->update.held.store(0);
  }
  if (c->adapter.slot != 0) status = ky1_dc(c->adapter, sync_flag(c->access_mode.load()), reason);
  c->adapter = KeyHandle{0, 0, 0};
  OSV1_FreeMem(c->iobuf, nullptr);
  c->iobuf = nullptr;
  c->update.seq.store(-1);
  slot_retire(c->update.slot);
  slot_retire(c->slot);  // the memory goes back once the last operation on the cursor has returned
  return status;
}

}  // namespace

// Makes a cursor on a file whose request lock the caller holds (through `file_lock`, which this releases
// once the new cursor's lock is held). The cursor starts with the given function set and update state.
int32_t open_cursor_locked(FileControlBlock *f, LockGuard &file_lock, const void *key, int32_t key_len,
                           KeyHandle *out, const qrxky_func_set *funcs, uint32_t update_state) {
  if (out == nullptr) return kInvalid;
  if (int32_t rc = check_cursor_key(key, key_len, f->key.key_length, true); rc != kOk) return rc;
  void *mem = nullptr;
  if (int32_t rc = HPM1_AllocateStorage(&f->cursor_area, sizeof(CursorBlock), &mem); rc != HPM1_OK) return rc;
  auto *c = new (mem) CursorBlock{};
  std::memcpy(c->eye, "KEYC", 4);
  f->cursor_counter = next_seq(f->cursor_counter);
  const auto seq = static_cast<int16_t>(f->cursor_counter);
  c->seq.store(seq);
  c->funcs.store(funcs);
  c->file = f;
  c->self = c;
  c->link.self = c;
  c->adapter = KeyHandle{0, 0, 0};  // empty until the adapter has made the cursor's own request
  c->access_mode.store(f->access_mode.load());
  c->reason.store(kReasonNeutral);
  c->cursor_area = f->cursor_area;
  c->key = &f->key;
  c->file_slot = f->slot;
  UpdateBlock &u = c->update;
  std::memcpy(u.eye, "KEYU", 4);
  u.seq.store(seq);
  u.funcs.store(&updateInvalidFuncSet);
  u.owner = c;
  u.self = &u;
  u.lock = &c->lock;
  u.key = &f->key;
  u.update_state = update_state;
  OSV1_InitializeLock(&c->lock);
  if (OSV1_GetMem(f->key.record_length, reinterpret_cast<void **>(&c->iobuf), nullptr) != 0 ||
      (c->slot = slot_issue(Kind::kCursor, c, 0, release_cursor_block)) == 0) {
    OSV1_FreeMem(c->iobuf, nullptr);
    release_cursor_block(c);
    return kNoStorage;
  }
  u.slot = slot_issue(Kind::kUpdate, &u, c->slot, nullptr);
  if (u.slot == 0) {
    OSV1_FreeMem(c->iobuf, nullptr);
    slot_retire(c->slot);
    return kNoStorage;
  }
  {
    LockGuard list(&f->cursor_list_lock);
    f->cursors.push_back(&c->link);
  }
  LockGuard cursor_lock(&c->lock);
  const KeyHandle file_adapter = f->adapter;
  const int32_t sync = sync_flag(c->access_mode.load());
  file_lock.release();

  uint32_t reason = 0;
  int32_t status = kUnset;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    maybe_raise(RaisePoint::kWork);
    KeyHandle made{0, 0, 0};
    status = ky1_cc(file_adapter, key, key_len, sync, &made, &reason);
    if (status == kOk) c->adapter = made;
  });
  if (cond == 0 && status == kOk) {
    u.adapter = c->adapter;
    *out = handle_of(seq, c->slot);
    return kOk;
  }
  // Undo: whoever unlinks the cursor closes it (a CloseFile may have taken it meanwhile).
  status = cond != 0 ? kBadHandle : kNotFound;
  if (cond == 0) QRX_NOTICE(20, "Unable to create cursor - status = %d", status);
  if (c->adapter.slot != 0) {
    uint32_t ignored = 0;
    ky1_dc(c->adapter, sync, &ignored);
    c->adapter = KeyHandle{0, 0, 0};
  }
  cursor_lock.release();
  bool found = false;
  {
    LockGuard list(&f->cursor_list_lock);
    if (c->link.linked()) {
      c->link.unlink();
      c->seq.store(-1);
      found = true;
    }
  }
  if (found) finish_cursor_close(c, &reason);
  return status;
}

// Closes the file's cursors, unlinks it and closes its adapter file. The caller holds the request lock
// and has checked the handle; the block is given back once the caller's pin goes.
int32_t close_file_locked(FileControlBlock *f, uint32_t *reason) {
  // Each cursor is unlinked and marked closed under the cursor-list lock, then closed under its own lock.
  auto close_cursors = [f] {
    for (;;) {
      CursorBlock *c = nullptr;
      {
        LockGuard list(&f->cursor_list_lock);
        if (f->cursors.empty()) return;
        c = static_cast<CursorBlock *>(f->cursors.next->self);
        c->link.unlink();
        c->seq.store(-1);
      }
      uint32_t ignored = 0;
      finish_cursor_close(c, &ignored);
    }
  };
  int32_t status = kUnset;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    maybe_raise(RaisePoint::kWork);
    if (f->update.held.load() != 0) {
      uint32_t ignored = 0;
      ky1_rr(f->adapter, 1, &ignored);
      f->update.held.store(0);
    }
    close_cursors();
  });
  if (cond != 0) {
    QRX_ERROR("Abnormal condition detected");
    status = kAbnormal;
    close_cursors();  // nothing may outlive the file's adapter objects
  }
  {
    LockGuard anchor_lock(&f->anchor->lock);
    if (f->link.linked()) f->link.unlink();
  }
  const int32_t closed = ky1_cf(f->adapter, reason);
  if (status == kUnset) status = closed;
  f->adapter = KeyHandle{0, 0, 0};
  OSV1_FreeMem(f->iobuf, nullptr);
  f->iobuf = nullptr;
  f->update.seq.store(-1);
  f->seq.store(-1);
  slot_retire(f->update.slot);
  slot_retire(f->slot);
  return status;
}

}  // namespace qrx::keyed

using namespace qrx::keyed;

extern "C" {

int32_t ky_of(const char *name, int32_t name_len, int32_t usage, KeyHandle *out, uint32_t *reason) {
  if (reason == nullptr || out == nullptr) return kInvalid;
  *reason = kReasonNeutral;
  int32_t status = kUnset;
  FileControlBlock *f = nullptr;
  HPM1_Handle area{0};
  bool registered = false;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    KeyServiceAnchor *anchor = nullptr;
    if (find_or_make_anchor(&anchor) != kOk || anchor == nullptr) {
      status = kAbnormal;
      *reason = 52;
      return;
    }
    void *mem = nullptr;
    area = anchor->file_area;
    if (int32_t rc = HPM1_AllocateStorage(&area, sizeof(FileControlBlock), &mem); rc != HPM1_OK) {
      int32_t why = 0;
      HPM1_DiagnoseSpace(&area, &why);
      *reason = static_cast<uint32_t>(why);
      QRX_ERROR("File Control Block allocation failed, status = %d reason = %d", rc, why);
      status = rc;
      return;
    }
    f = new (mem) FileControlBlock{};
    if (name_len < 0) {
      QRX_ERROR("Invalid file name length %d", name_len);
      *reason = 2;
      status = kInvalid;
      return;
    }
    const auto len = static_cast<uint32_t>(std::min<int32_t>(name_len, kMaxName));
    if (name != nullptr) std::memcpy(f->name, name, len);
    f->name_length = len;
    if ((usage & ~3) != 0) {
      QRX_ERROR("Usage Mode %d is invalid", usage);
      *reason = 3;
      status = kInvalid;
      return;
    }
    std::memcpy(f->eye, "KEYF", 4);
    {
      LockGuard g(&anchor->lock);
      anchor->file_counter = next_seq(anchor->file_counter);
      f->seq.store(static_cast<int16_t>(anchor->file_counter));
    }
    f->funcs.store(&fileUpdateFuncSet);
    f->anchor = anchor;
    f->self = f;
    f->link.self = f;
    f->file_area = anchor->file_area;
    f->cursor_area = anchor->cursor_area;
    f->cursors.init_empty();
    UpdateBlock &u = f->update;
    std::memcpy(u.eye, "KEYU", 4);
    u.seq.store(f->seq.load());
    u.funcs.store(&updateInvalidFuncSet);
    u.owner = f;
    u.self = &u;
    u.lock = &f->request_lock;
    u.key = &f->key;
    OSV1_InitializeLock(&f->request_lock);
    OSV1_InitializeLock(&f->cursor_list_lock);
    f->slot = slot_issue(Kind::kFile, f, 0, release_file_block);
    if (f->slot == 0) {
      release_file_block(f);
      f = nullptr;
      status = kNoStorage;
      return;
    }
    registered = true;
    u.slot = slot_issue(Kind::kUpdate, &u, f->slot, nullptr);
    if (u.slot == 0) {
      status = kNoStorage;
      return;
    }
    maybe_raise(RaisePoint::kWork);
    status = ky1_of(name, static_cast<int32_t>(len), usage, &f->key.record_length, &f->key.key_offset,
                    &f->key.key_length, &f->adapter, reason);
    if (status != kOk) {
      QRX_ERROR("Open failed for %.*s, status = %d", static_cast<int>(name != nullptr ? len : 0),
                name != nullptr ? name : "", status);
      return;
    }
    u.adapter = f->adapter;
    // The buffer's status word is the caller's reason: 0 on the way to a successful open.
    int32_t got = 0;
    const int32_t rc = OSV1_GetMem(f->key.record_length, reinterpret_cast<void **>(&f->iobuf), &got);
    *reason = static_cast<uint32_t>(got);
    if (rc != 0) {
      QRX_ERROR("Could not acquire %d bytes for i/o buffer", static_cast<int32_t>(f->key.record_length));
      uint32_t ignored = 0;
      ky1_cf(f->adapter, &ignored);
      f->adapter = KeyHandle{0, 0, 0};
      status = kNoStorage;
      return;
    }
    *out = handle_of(f->seq.load(), f->slot);
    LockGuard g(&anchor->lock);
    anchor->files.push_back(&f->link);
    status = kOk;
  });
  if (cond != 0 && status == kUnset) {
    status = kAbnormal;
    *reason = 45;
  }
  if (status != kOk && f != nullptr) {
    if (f->adapter.slot != 0) {
      uint32_t ignored = 0;
      ky1_cf(f->adapter, &ignored);
    }
    OSV1_FreeMem(f->iobuf, nullptr);
    f->seq.store(-1);
    if (registered) {
      slot_retire(f->update.slot);
      slot_retire(f->slot);
    } else {
      f->~FileControlBlock();
      HPM1_FreeStorage(&area, f);
    }
  }
  return status;
}
QRX_API int32_t qrxkyof(const char *, int32_t, int32_t, KeyHandle *, uint32_t *)
    __attribute__((alias("ky_of")));
QRX_API int32_t OpenKeyedFile(const char *, int32_t, int32_t, KeyHandle *, uint32_t *)
    __attribute__((alias("ky_of")));

int32_t ky_oc(KeyHandle h, const void *key, int32_t key_len, KeyHandle *out) {
  return with_file_locked(h, true, [&](FileControlBlock *f, LockGuard &lock) {
    if (f->funcs.load()->base->OpenCursor != ky_oc) return kBadHandle;
    return open_cursor_locked(f, lock, key, key_len, out, &cursorFuncSet, 0);
  });
}
QRX_API int32_t qrxkyoc(KeyHandle, const void *, int32_t, KeyHandle *) __attribute__((alias("ky_oc")));
QRX_API int32_t OpenCursor(KeyHandle, const void *, int32_t, KeyHandle *) __attribute__((alias("ky_oc")));

int32_t ky_rn(KeyHandle h, int32_t direction, void *buf, int32_t buf_len, int32_t *rec_len) {
  return common_frame<CursorBlock>(
      h, true, [](CursorBlock *c) { return c->funcs.load()->base->ReadNext == ky_rn; },
      [&](CursorBlock *c) {
        if (!buffer_args_ok(buf, buf_len, rec_len)) return kInvalid;
        if (c->update.held.load() != 0) {
          uint32_t ignored = 0;
          ky1_rr(c->adapter, sync_flag(c->access_mode.load()), &ignored);
          c->update.held.store(0);
        }
        uint32_t reason = 0;
        int32_t len = 0;
        const int32_t status =
            ky1_rs(c->adapter, direction == 0 ? 1 : 0, c->iobuf, static_cast<int32_t>(c->key->record_length),
                   sync_flag(c->access_mode.load()), &len, &reason);
        if (status == kOk) {
          copy_out(buf, buf_len, c->iobuf, len);
          *rec_len = len;
        }
        c->reason.store(reason);
        return status;
      });
}
QRX_API int32_t qrxkyrn(KeyHandle, int32_t, void *, int32_t, int32_t *) __attribute__((alias("ky_rn")));
QRX_API int32_t ReadNext(KeyHandle, int32_t, void *, int32_t, int32_t *) __attribute__((alias("ky_rn")));

int32_t ky_rc(KeyHandle h, const void *key, int32_t key_len) {
  return common_frame<CursorBlock>(
      h, true, [](CursorBlock *c) { return c->funcs.load()->base->RepositionCursor == ky_rc; },
      [&](CursorBlock *c) {
        if (int32_t rc = check_cursor_key(key, key_len, c->key->key_length, false); rc != kOk) return rc;
        uint32_t reason = 0;
        const int32_t status = ky1_sp(c->adapter, key, key_len, sync_flag(c->access_mode.load()), &reason);
        if (status == kOk && c->update.update_state == 2) {
          c->funcs.store(&cursorUpdateFuncSet);
          c->update.update_state = 1;
        }
        return status;
      });
}
QRX_API int32_t qrxkyrc(KeyHandle, const void *, int32_t) __attribute__((alias("ky_rc")));
QRX_API int32_t RepositionCursor(KeyHandle, const void *, int32_t) __attribute__((alias("ky_rc")));

int32_t ky_cc(KeyHandle h, uint32_t *reason) {
  if (reason == nullptr) return kInvalid;
  *reason = 0;
  int32_t status = kUnset;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    maybe_raise(RaisePoint::kCheck);
    Pin cursor_pin = slot_pin(h.slot, Kind::kCursor);
    if (!cursor_pin) {
      status = kBadHandle;
      return;
    }
    auto *c = cursor_pin.get<CursorBlock>();
    Pin file_pin = slot_pin(c->file_slot, Kind::kFile);  // a closed file has closed its cursors
    if (!file_pin) {
      status = kBadHandle;
      return;
    }
    FileControlBlock *f = file_pin.get<FileControlBlock>();
    LockGuard request(&f->request_lock);
    {
      LockGuard list(&f->cursor_list_lock);
      if (c->seq.load() != h.seq || !c->link.linked() || c->funcs.load()->base->CloseCursor != ky_cc) {
        status = kBadHandle;
        return;
      }
      c->link.unlink();
      c->seq.store(-1);
    }
    const int32_t inner = XFR1_Guard(__FILE__, __LINE__, [&] {
      maybe_raise(RaisePoint::kWork);
      status = finish_cursor_close(c, reason);
    });
    if (inner != 0) {
      QRX_ERROR("Abnormal condition detected");
      if (status == kUnset) {
        status = kAbnormal;
        *reason = kReasonCondition;
      }
      // The cursor is unlinked and marked closed: its close must still happen.
      if (c->adapter.slot != 0 || c->iobuf != nullptr) {
        uint32_t ignored = 0;
        finish_cursor_close(c, &ignored);
      }
    }
  });
  return cond != 0 ? kBadHandle : status;
}
QRX_API int32_t qrxkycc(KeyHandle, uint32_t *) __attribute__((alias("ky_cc")));
QRX_API int32_t CloseCursor(KeyHandle, uint32_t *) __attribute__((alias("ky_cc")));

int32_t ky_rbk(KeyHandle h, const void *key, int32_t key_len, void *buf, int32_t buf_len, int32_t *rec_len) {
  return common_frame<FileControlBlock>(
      h, false, [](FileControlBlock *f) { return f->funcs.load()->base->ReadByKey == ky_rbk; },
      [&](FileControlBlock *f) {
        if (!key_args_ok(key, key_len) || !buffer_args_ok(buf, buf_len, rec_len)) return kInvalid;
        uint32_t reason = 0;
        int32_t len = 0;
        const int32_t status =
            ky1_gr(f->adapter, key, key_len, f->iobuf, static_cast<int32_t>(f->key.record_length), &len,
                   sync_flag(f->access_mode.load()), &reason);
        f->reason.store(reason);
        if (status == kOk) {
          copy_out(buf, buf_len, f->iobuf, len);
          *rec_len = len;
        }
        return status;
      });
}
QRX_API int32_t qrxkyrbk(KeyHandle, const void *, int32_t, void *, int32_t, int32_t *)
    __attribute__((alias("ky_rbk")));
QRX_API int32_t ReadByKey(KeyHandle, const void *, int32_t, void *, int32_t, int32_t *)
    __attribute__((alias("ky_rbk")));

int32_t ky_ar(KeyHandle h, const void *key, int32_t key_len, const void *rec, int32_t rec_len) {
  return common_frame<FileControlBlock>(
      h, false, [](FileControlBlock *f) { return f->funcs.load()->base->AddRecord == ky_ar; },
      [&](FileControlBlock *f) {
        if (!key_args_ok(key, key_len) || !key_args_ok(rec, rec_len)) return kInvalid;
        uint32_t reason = 0;
        const int32_t status =
            ky1_ar(f->adapter, key, key_len, rec, rec_len, sync_flag(f->access_mode.load()), &reason);
        f->reason.store(reason);
        return status;
      });
}
QRX_API int32_t qrxkyar(KeyHandle, const void *, int32_t, const void *, int32_t)
    __attribute__((alias("ky_ar")));
QRX_API int32_t AddRecord(KeyHandle, const void *, int32_t, const void *, int32_t)
    __attribute__((alias("ky_ar")));

int32_t ky_ff(KeyHandle h) {
  return with_file_locked(h, false, [&](FileControlBlock *f, LockGuard &) {
    if (f->funcs.load()->base->FlushFile != ky_ff) return kBadHandle;
    uint32_t reason = 0;
    const int32_t status = ky1_ff(f->adapter, &reason);
    f->reason.store(reason);
    return status;
  });
}
QRX_API int32_t FlushFile(KeyHandle) __attribute__((alias("ky_ff")));

int32_t ky_cf(KeyHandle h, uint32_t *reason) {
  if (reason == nullptr) return kInvalid;
  *reason = 0;
  int32_t status = kUnset;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    maybe_raise(RaisePoint::kCheck);
    Pin pin = slot_pin(h.slot, Kind::kFile);
    if (!pin) {
      status = kBadHandle;
      return;
    }
    auto *f = pin.get<FileControlBlock>();
    LockGuard lock(&f->request_lock);
    if (f->seq.load() != h.seq || f->funcs.load()->base->CloseFile != ky_cf) {
      status = kBadHandle;
      return;
    }
    status = close_file_locked(f, reason);
  });
  return cond != 0 && status == kUnset ? kBadHandle : status;
}
QRX_API int32_t qrxkycf(KeyHandle, uint32_t *) __attribute__((alias("ky_cf")));
QRX_API int32_t CloseFile(KeyHandle, uint32_t *) __attribute__((alias("ky_cf")));

}  // extern "C"
