// update.cc - records read for update and then updated, deleted or released through the update block of
// their file or cursor; updates and deletes by key.
//
// Every read for update reads into the owner's i/o buffer of record length and copies what fits to the
// caller, as the plain reads do. UpdateByKey and DeleteByKey hold the file's request lock from the read
// to the change, so no other operation on the file moves its index in between.
#include "host/qrxtrace.h"
#include "keyed/adapter.h"
#include "keyed/service.h"

QRX_TRACE_UNIT();

namespace qrx::keyed {
namespace {

// Reads a record by key for update through the file's update block; the request lock is held.
int32_t read_key_for_update(FileControlBlock *f, const void *key, int32_t key_len, void *buf, int32_t buf_len,
                            int32_t *rec_len, KeyHandle *update) {
  UpdateBlock &u = f->update;
  u.access_mode.store(f->access_mode.load());
  u.funcs.store(&updateFuncSet);
  uint32_t reason = 0;
  int32_t len = 0;
  const int32_t status = ky1_gu(u.adapter, key, key_len, f->iobuf, static_cast<int32_t>(f->key.record_length),
                                &len, sync_flag(u.access_mode.load()), &reason);
  f->reason.store(reason);
  if (status == kOk) {
    copy_out(buf, buf_len, f->iobuf, len);
    *rec_len = len;
    u.held.store(1);
    *update = handle_of(u.seq.load(), u.slot);
  }
  return status;
}

// Replaces the record the owner's index stands on; the owner's lock is held.
int32_t update_held(UpdateBlock *u, const void *rec, int32_t rec_len) {
  uint32_t reason = 0;
  const int32_t status = ky1_re(u->adapter, rec, rec_len, sync_flag(u->access_mode.load()), &reason);
  u->reason.store(reason);
  QRX_DETAIL("held record of update block %u replaced: status %d, reason %u", u->slot, status, reason);
  if (status == QRXKY_NO_KEY && std::memcmp(static_cast<const char *>(u->owner), "KEYC", 4) == 0) {
    // The cursor lost its position: it cannot be read again until it is repositioned.
    u->update_state = 2;
    static_cast<CursorBlock *>(u->owner)->funcs.store(&cursorNoPosFuncSet);
  }
  u->funcs.store(&updateInvalidFuncSet);
  u->held.store(0);
  return status;
}

int32_t delete_held(UpdateBlock *u) {
  uint32_t reason = 0;
  const int32_t status = ky1_dr(u->adapter, sync_flag(u->access_mode.load()), &reason);
  u->reason.store(reason);
  if (status == kOk) u->held.store(0);
  return status;
}

// The adapter's release does nothing, the reason word included: the update block keeps the reason of its
// last update or delete.
int32_t release_held(UpdateBlock *u) {
  uint32_t unchanged = 0;
  return ky1_rr(u->adapter, sync_flag(u->access_mode.load()), &unchanged);
}

// UpdateByKey and DeleteByKey: read for update, then `change`; a failed change releases the record.
template <class Change>
int32_t by_key(KeyHandle h, const void *key, int32_t key_len, bool rec_ok, qrxky_write_key_fn self_u,
               qrxky_delete_key_fn self_d, Change change) {
  return common_frame<FileControlBlock>(
      h, false,
      [&](FileControlBlock *f) {
        const qrxky_update_table *t = f->funcs.load()->update;
        return self_u != nullptr ? t->UpdateByKey == self_u : t->DeleteByKey == self_d;
      },
      [&](FileControlBlock *f) {
        if (!key_args_ok(key, key_len) || !rec_ok) return kInvalid;  // before the read: nothing held
        int32_t len = 0;
        KeyHandle update{0, 0, 0};
        int32_t status = read_key_for_update(f, key, key_len, nullptr, 0, &len, &update);
        if (status != kOk) return status;
        status = change(&f->update);
        if (status != kOk) release_held(&f->update);
        return status;
      });
}

bool update_holds(UpdateBlock *u, int slot) {
  const qrxky_update_table *t = u->funcs.load()->update;
  switch (slot) {
    case 3:
      return t->UpdateHeldRecord == ky_uhr;
    case 4:
      return t->DeleteHeldRecord == ky_dhr;
    default:
      return t->ReleaseHeldRecord == ky_rhr;
  }
}

}  // namespace
}  // namespace qrx::keyed

using namespace qrx::keyed;

extern "C" {

int32_t ky_ssu(KeyHandle h, const void *key, int32_t key_len, KeyHandle *out) {
  return with_file_locked(h, true, [&](FileControlBlock *f, LockGuard &lock) {
    if (f->funcs.load()->update->OpenUpdateCursor != ky_ssu) return kBadHandle;
    return open_cursor_locked(f, lock, key, key_len, out, &cursorUpdateFuncSet, 1);
  });
}
QRX_API int32_t qrxkyssu(KeyHandle, const void *, int32_t, KeyHandle *) __attribute__((alias("ky_ssu")));
QRX_API int32_t OpenUpdateCursor(KeyHandle, const void *, int32_t, KeyHandle *)
    __attribute__((alias("ky_ssu")));

int32_t ky_rnu(KeyHandle h, int32_t direction, void *buf, int32_t buf_len, int32_t *rec_len,
               KeyHandle *update) {
  return common_frame<CursorBlock>(
      h, true, [](CursorBlock *c) { return c->funcs.load()->update->ReadNextForUpdate == ky_rnu; },
      [&](CursorBlock *c) {
        if (!buffer_args_ok(buf, buf_len, rec_len) || update == nullptr) return kInvalid;
        UpdateBlock &u = c->update;
        u.access_mode.store(c->access_mode.load());
        u.funcs.store(&updateFuncSet);
        uint32_t reason = 0;
        int32_t len = 0;
        const int32_t status =
            ky1_ru(u.adapter, direction == 0 ? 1 : 0, c->iobuf, static_cast<int32_t>(c->key->record_length),
                   sync_flag(u.access_mode.load()), &len, &reason);
        c->reason.store(reason);
        if (status == kOk) {
          copy_out(buf, buf_len, c->iobuf, len);
          *rec_len = len;
          u.held.store(1);
          *update = handle_of(u.seq.load(), u.slot);
        }
        return status;
      });
}
QRX_API int32_t qrxkyrnu(KeyHandle, int32_t, void *, int32_t, int32_t *, KeyHandle *)
    __attribute__((alias("ky_rnu")));
QRX_API int32_t ReadNextForUpdate(KeyHandle, int32_t, void *, int32_t, int32_t *, KeyHandle *)
    __attribute__((alias("ky_rnu")));

int32_t ky_rfu(KeyHandle h, const void *key, int32_t key_len, void *buf, int32_t buf_len, int32_t *rec_len,
               KeyHandle *update) {
  return common_frame<FileControlBlock>(
      h, false, [](FileControlBlock *f) { return f->funcs.load()->update->ReadByKeyForUpdate == ky_rfu; },
      [&](FileControlBlock *f) {
        if (!key_args_ok(key, key_len) || !buffer_args_ok(buf, buf_len, rec_len) || update == nullptr)
          return kInvalid;
        return read_key_for_update(f, key, key_len, buf, buf_len, rec_len, update);
      });
}
QRX_API int32_t qrxkyrfu(KeyHandle, const void *, int32_t, void *, int32_t, int32_t *, KeyHandle *)
    __attribute__((alias("ky_rfu")));
QRX_API int32_t ReadByKeyForUpdate(KeyHandle, const void *, int32_t, void *, int32_t, int32_t *, KeyHandle *)
    __attribute__((alias("ky_rfu")));

int32_t ky_uhr(KeyHandle h, const void *rec, int32_t rec_len) {
  return common_frame<UpdateBlock>(
      h, false, [](UpdateBlock *u) { return update_holds(u, 3); },
      [&](UpdateBlock *u) { return key_args_ok(rec, rec_len) ? update_held(u, rec, rec_len) : kInvalid; });
}
QRX_API int32_t qrxkyuhr(KeyHandle, const void *, int32_t) __attribute__((alias("ky_uhr")));
QRX_API int32_t UpdateHeldRecord(KeyHandle, const void *, int32_t) __attribute__((alias("ky_uhr")));

int32_t ky_dhr(KeyHandle h) {
  return common_frame<UpdateBlock>(
      h, false, [](UpdateBlock *u) { return update_holds(u, 4); },
      [](UpdateBlock *u) { return delete_held(u); });
}
QRX_API int32_t qrxkydhr(KeyHandle) __attribute__((alias("ky_dhr")));
QRX_API int32_t DeleteHeldRecord(KeyHandle) __attribute__((alias("ky_dhr")));

int32_t ky_rhr(KeyHandle h) {
  return common_frame<UpdateBlock>(
      h, false, [](UpdateBlock *u) { return update_holds(u, 5); },
      [](UpdateBlock *u) { return release_held(u); });
}
QRX_API int32_t qrxkyrhr(KeyHandle) __attribute__((alias("ky_rhr")));
QRX_API int32_t ReleaseHeldRecord(KeyHandle) __attribute__((alias("ky_rhr")));

int32_t ky_ubk(KeyHandle h, const void *key, int32_t key_len, const void *rec, int32_t rec_len) {
  return by_key(h, key, key_len, key_args_ok(rec, rec_len), ky_ubk, nullptr,
                [&](UpdateBlock *u) { return update_held(u, rec, rec_len); });
}
QRX_API int32_t qrxkyubk(KeyHandle, const void *, int32_t, const void *, int32_t)
    __attribute__((alias("ky_ubk")));
QRX_API int32_t UpdateByKey(KeyHandle, const void *, int32_t, const void *, int32_t)
    __attribute__((alias("ky_ubk")));

int32_t ky_dbk(KeyHandle h, const void *key, int32_t key_len) {
  return by_key(h, key, key_len, true, nullptr, ky_dbk, [](UpdateBlock *u) { return delete_held(u); });
}
QRX_API int32_t qrxkydbk(KeyHandle, const void *, int32_t) __attribute__((alias("ky_dbk")));
QRX_API int32_t DeleteByKey(KeyHandle, const void *, int32_t) __attribute__((alias("ky_dbk")));

}  // extern "C"
