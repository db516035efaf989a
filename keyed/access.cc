// access.cc - access modes, checks of asynchronous completion, and the reason, key and record-length
// queries, for files, cursors and update blocks; and the public names that serve all three kinds.
//
// The queries check the handle (a dead one gives 2 and nothing of the block is read) but take no lock:
// the words they read are atomic, or fixed while the block is open.
#include "host/qrxtrace.h"
#include "keyed/adapter.h"
#include "keyed/service.h"

QRX_TRACE_UNIT();

namespace qrx::keyed {

// The shared step of SetAccessMode: modes 0 and 1 are stored; any other leaves the mode and gives 1,
// reason 2.
int32_t qrxkysam(std::atomic<uint32_t> *mode, int32_t value, std::atomic<uint32_t> *reason) {
  if (value != 0 && value != 1) {
    QRX_DETAIL("access mode %d refused", value);
    reason->store(2);
    return kInvalid;
  }
  mode->store(static_cast<uint32_t>(value));
  return kOk;
}

namespace {

const KeyHandle &adapter_of(FileControlBlock *f) {
  return f->adapter;
}
const KeyHandle &adapter_of(CursorBlock *c) {
  return c->adapter;
}
const KeyHandle &adapter_of(UpdateBlock *u) {
  return u->adapter;
}

template <class B>
int32_t set_mode(KeyHandle h, int32_t mode, qrxky_set_mode_fn self) {
  return common_frame<B>(
      h, false, [self](B *b) { return b->funcs.load()->asynch->SetAccessMode == self; },
      [mode](B *b) { return qrxkysam(&b->access_mode, mode, &b->reason); }, true);
}

template <class B>
int32_t check_asynch(KeyHandle h, qrxky_handle_fn self) {
  return common_frame<B>(
      h, false, [self](B *b) { return b->funcs.load()->asynch->CheckAsynch == self; },
      [](B *b) {
        if (b->access_mode.load() != 1) {
          b->reason.store(25);
          return kNotAllowed;
        }
        uint32_t unchanged = 0;
        return ky1_ca(adapter_of(b), &unchanged);
      });
}

// Runs a query on a live block of the handle, without its lock.
template <class B, class Query>
int32_t query(KeyHandle h, Query q) {
  int32_t status = kBadHandle;
  XFR1_Guard(__FILE__, __LINE__, [&] {
    Pin pin = slot_pin(h.slot, BlockTraits<B>::kind);
    if (pin && pin.get<B>()->seq.load() == h.seq) status = q(pin.get<B>());
  });
  return status;
}

template <class B>
int32_t get_reason(KeyHandle h, uint32_t *reason) {
  if (reason == nullptr) return kInvalid;
  return query<B>(h, [reason](B *b) {
    *reason = b->reason.load();
    return kOk;
  });
}

template <class B>
int32_t query_key(KeyHandle h, uint32_t *offset, uint32_t *length) {
  if (offset == nullptr || length == nullptr) return kInvalid;
  return query<B>(h, [=](B *b) {
    const KeyTriple &k = *BlockKey<B>::of(b);
    *offset = k.key_offset;
    *length = k.key_length;
    return k.key_length == 0 ? QRXKY_NO_KEY : kOk;
  });
}

template <class B>
int32_t query_reclen(KeyHandle h, uint32_t *rec_len) {
  if (rec_len == nullptr) return kInvalid;
  return query<B>(h, [=](B *b) {
    *rec_len = BlockKey<B>::of(b)->record_length;
    return kOk;
  });
}

// Calls the file's, the cursor's or the update block's entry point, by the kind the handle's slot names.
template <class... A>
int32_t by_kind(KeyHandle h, int32_t (*file)(KeyHandle, A...), int32_t (*cursor)(KeyHandle, A...),
                int32_t (*update)(KeyHandle, A...), A... args) {
  switch (static_cast<Kind>(slot_kind(h.slot))) {
    case Kind::kFile:
      return file(h, args...);
    case Kind::kCursor:
      return cursor(h, args...);
    case Kind::kUpdate:
      return update(h, args...);
    default:
      return kBadHandle;
  }
}

}  // namespace
}  // namespace qrx::keyed

using namespace qrx::keyed;

extern "C" {

int32_t ky_saf(KeyHandle h, int32_t mode) {
  return set_mode<FileControlBlock>(h, mode, ky_saf);
}
int32_t ky_sac(KeyHandle h, int32_t mode) {
  return set_mode<CursorBlock>(h, mode, ky_sac);
}
int32_t ky_sau(KeyHandle h, int32_t mode) {
  return set_mode<UpdateBlock>(h, mode, ky_sau);
}
int32_t ky_caf(KeyHandle h) {
  return check_asynch<FileControlBlock>(h, ky_caf);
}
int32_t ky_cac(KeyHandle h) {
  return check_asynch<CursorBlock>(h, ky_cac);
}
int32_t ky_cau(KeyHandle h) {
  return check_asynch<UpdateBlock>(h, ky_cau);
}
int32_t ky_grf(KeyHandle h, uint32_t *reason) {
  return get_reason<FileControlBlock>(h, reason);
}
int32_t ky_grc(KeyHandle h, uint32_t *reason) {
  return get_reason<CursorBlock>(h, reason);
}
int32_t ky_gru(KeyHandle h, uint32_t *reason) {
  return get_reason<UpdateBlock>(h, reason);
}
int32_t ky_qkf(KeyHandle h, uint32_t *offset, uint32_t *length) {
  return query_key<FileControlBlock>(h, offset, length);
}
int32_t ky_qkc(KeyHandle h, uint32_t *offset, uint32_t *length) {
  return query_key<CursorBlock>(h, offset, length);
}
int32_t ky_qku(KeyHandle h, uint32_t *offset, uint32_t *length) {
  return query_key<UpdateBlock>(h, offset, length);
}
int32_t ky_qmf(KeyHandle h, uint32_t *rec_len) {
  return query_reclen<FileControlBlock>(h, rec_len);
}
int32_t ky_qmc(KeyHandle h, uint32_t *rec_len) {
  return query_reclen<CursorBlock>(h, rec_len);
}
int32_t ky_qmu(KeyHandle h, uint32_t *rec_len) {
  return query_reclen<UpdateBlock>(h, rec_len);
}

QRX_API int32_t qrxkysaf(KeyHandle, int32_t) __attribute__((alias("ky_saf")));
QRX_API int32_t qrxkysac(KeyHandle, int32_t) __attribute__((alias("ky_sac")));
QRX_API int32_t qrxkysau(KeyHandle, int32_t) __attribute__((alias("ky_sau")));
QRX_API int32_t qrxkycaf(KeyHandle) __attribute__((alias("ky_caf")));
QRX_API int32_t qrxkycac(KeyHandle) __attribute__((alias("ky_cac")));
QRX_API int32_t qrxkycau(KeyHandle) __attribute__((alias("ky_cau")));
QRX_API int32_t CheckAsynchFile(KeyHandle) __attribute__((alias("ky_caf")));
QRX_API int32_t CheckAsynchCursor(KeyHandle) __attribute__((alias("ky_cac")));
QRX_API int32_t CheckAsynchUpdate(KeyHandle) __attribute__((alias("ky_cau")));
QRX_API int32_t qrxkygrf(KeyHandle, uint32_t *) __attribute__((alias("ky_grf")));
QRX_API int32_t qrxkygrc(KeyHandle, uint32_t *) __attribute__((alias("ky_grc")));
QRX_API int32_t qrxkygru(KeyHandle, uint32_t *) __attribute__((alias("ky_gru")));
QRX_API int32_t qrxkyqkf(KeyHandle, uint32_t *, uint32_t *) __attribute__((alias("ky_qkf")));
QRX_API int32_t qrxkyqkc(KeyHandle, uint32_t *, uint32_t *) __attribute__((alias("ky_qkc")));
QRX_API int32_t qrxkyqku(KeyHandle, uint32_t *, uint32_t *) __attribute__((alias("ky_qku")));
QRX_API int32_t qrxkyqmf(KeyHandle, uint32_t *) __attribute__((alias("ky_qmf")));
QRX_API int32_t qrxkyqmc(KeyHandle, uint32_t *) __attribute__((alias("ky_qmc")));
QRX_API int32_t qrxkyqmu(KeyHandle, uint32_t *) __attribute__((alias("ky_qmu")));

// The public names that serve every kind of block dispatch on the kind the handle's slot names; a slot
// naming none gives 2.
QRX_API int32_t SetAccessMode(KeyHandle h, int32_t mode) {
  return by_kind(h, ky_saf, ky_sac, ky_sau, mode);
}
QRX_API int32_t CheckAsynch(KeyHandle h) {
  return by_kind(h, ky_caf, ky_cac, ky_cau);
}
QRX_API int32_t GetReason(KeyHandle h, uint32_t *reason) {
  return by_kind(h, ky_grf, ky_grc, ky_gru, reason);
}
QRX_API int32_t QueryKey(KeyHandle h, uint32_t *offset, uint32_t *length) {
  return by_kind(h, ky_qkf, ky_qkc, ky_qku, offset, length);
}
QRX_API int32_t QueryRecLen(KeyHandle h, uint32_t *rec_len) {
  return by_kind(h, ky_qmf, ky_qmc, ky_qmu, rec_len);
}

}  // extern "C"
