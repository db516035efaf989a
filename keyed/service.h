// service.h - the keyed-file service's records and the call frame every operation runs in.
//
// The service anchor "KEY1" holds the storage areas of file control blocks and cursors and the list of
// open files. A file control block owns its cursors; each of them embeds an update block. Callers reach
// blocks through handles (slot numbers in the table of keyed/handles.h) and operations through function
// sets; a block's function set is its state.
//
// Lock order, outermost first: a file's request lock, the file's cursor-list lock, a cursor's lock, the
// anchor lock; then the ISAM layer's own locks. Fields that other threads read without the block's lock
// (sequence numbers, function sets, reason words, access modes, the held flag) are atomic words.
#pragma once

#include <atomic>
#include <climits>
#include <utility>
#include <cstdint>
#include <cstring>

#include "host/qrxhost.h"
#include "keyed/handles.h"
#include "keyed/links.h"
#include "qrxky.h"

// Entry points of the service: hidden names that the tables hold; the exported qrx and public names are
// aliases of them. Internal calls use these names, so a host's own function of an exported name never
// takes the place of the service's.
extern "C" {
int32_t ky_of(const char *name, int32_t name_len, int32_t usage, KeyHandle *file, uint32_t *reason);
int32_t ky_oc(KeyHandle file, const void *key, int32_t key_len, KeyHandle *cursor);
int32_t ky_rn(KeyHandle cursor, int32_t direction, void *buf, int32_t buf_len, int32_t *rec_len);
int32_t ky_cc(KeyHandle cursor, uint32_t *reason);
int32_t ky_rbk(KeyHandle file, const void *key, int32_t key_len, void *buf, int32_t buf_len,
               int32_t *rec_len);
int32_t ky_ar(KeyHandle file, const void *key, int32_t key_len, const void *rec, int32_t rec_len);
int32_t ky_cf(KeyHandle file, uint32_t *reason);
int32_t ky_rc(KeyHandle cursor, const void *key, int32_t key_len);
int32_t ky_ff(KeyHandle file);
int32_t ky_grf(KeyHandle h, uint32_t *reason);
int32_t ky_grc(KeyHandle h, uint32_t *reason);
int32_t ky_gru(KeyHandle h, uint32_t *reason);
int32_t ky_qkf(KeyHandle h, uint32_t *key_offset, uint32_t *key_len);
int32_t ky_qkc(KeyHandle h, uint32_t *key_offset, uint32_t *key_len);
int32_t ky_qku(KeyHandle h, uint32_t *key_offset, uint32_t *key_len);
int32_t ky_qmf(KeyHandle h, uint32_t *rec_len);
int32_t ky_qmc(KeyHandle h, uint32_t *rec_len);
int32_t ky_qmu(KeyHandle h, uint32_t *rec_len);
int32_t ky_ubk(KeyHandle file, const void *key, int32_t key_len, const void *rec, int32_t rec_len);
int32_t ky_dbk(KeyHandle file, const void *key, int32_t key_len);
int32_t ky_rfu(KeyHandle file, const void *key, int32_t key_len, void *buf, int32_t buf_len, int32_t *rec_len,
               KeyHandle *update);
int32_t ky_uhr(KeyHandle update, const void *rec, int32_t rec_len);
int32_t ky_dhr(KeyHandle update);
int32_t ky_rhr(KeyHandle update);
int32_t ky_ssu(KeyHandle file, const void *key, int32_t key_len, KeyHandle *cursor);
int32_t ky_rnu(KeyHandle cursor, int32_t direction, void *buf, int32_t buf_len, int32_t *rec_len,
               KeyHandle *update);
int32_t ky_saf(KeyHandle h, int32_t mode);
int32_t ky_sac(KeyHandle h, int32_t mode);
int32_t ky_sau(KeyHandle h, int32_t mode);
int32_t ky_caf(KeyHandle h);
int32_t ky_cac(KeyHandle h);
int32_t ky_cau(KeyHandle h);
}

namespace qrx::keyed {

inline constexpr int32_t kOk = 0, kInvalid = 1, kBadHandle = 2, kNotFound = 5, kNotAllowed = 6,
                         kNoStorage = 7, kAbnormal = 8;
inline constexpr uint32_t kReasonNeutral = 26, kReasonCondition = 20;
inline constexpr uint32_t kMaxName = 255;

// The function sets (constant data, in frame.cc).
extern const qrxky_func_set fileUpdateFuncSet, fileInputFuncSet, cursorFuncSet, cursorUpdateFuncSet,
    cursorNoPosFuncSet, updateInvalidFuncSet, updateFuncSet, deadFuncSet;

struct KeyTriple {
  uint32_t key_offset = 0;
  uint32_t key_length = 0;
  uint32_t record_length = 0;
};

struct KeyServiceAnchor {
  char eye[8];              // "KEY1KSAB"
  HPM1_Handle file_area;    // "KEY1FILE": file control blocks
  HPM1_Handle cursor_area;  // "KEY1CRSR": cursors
  Links files;              // open file control blocks; guarded by lock
  OSV1_Lock lock;           // the anchor lock
  uint16_t file_counter;    // guarded by lock
};

struct UpdateBlock {
  char eye[4];  // "KEYU"
  std::atomic<int16_t> seq;
  int16_t aux;
  std::atomic<const qrxky_func_set *> funcs;
  void *owner;  // the file control block or cursor it is embedded in
  UpdateBlock *self;
  OSV1_Lock *lock;  // the owner's request lock or cursor lock
  std::atomic<uint32_t> reason;
  KeyHandle adapter;  // the owner's adapter request
  std::atomic<uint32_t> access_mode;
  const KeyTriple *key;
  uint32_t update_state;      // cursors: 0 plain, 1 update cursor, 2 update cursor that lost its position
  std::atomic<int16_t> held;  // 1 while a record read for update is held
  uint32_t slot;              // this block's own slot
};

struct FileControlBlock {
  char eye[4];  // "KEYF"
  std::atomic<int16_t> seq;
  int16_t aux;
  std::atomic<const qrxky_func_set *> funcs;
  KeyServiceAnchor *anchor;
  FileControlBlock *self;
  OSV1_Lock request_lock;
  OSV1_Lock cursor_list_lock;
  Links link;     // in the anchor's file list
  Links cursors;  // open cursors; guarded by cursor_list_lock
  HPM1_Handle file_area, cursor_area;
  std::atomic<uint32_t> access_mode;
  KeyHandle adapter;  // the adapter's primary request
  std::atomic<uint32_t> reason;
  uint32_t name_length;
  uint16_t cursor_counter;  // guarded by request_lock
  char name[kMaxName + 1];
  KeyTriple key;
  UpdateBlock update;
  uint8_t *iobuf;  // record-length bytes; used under request_lock
  uint32_t slot;
};

struct CursorBlock {
  char eye[4];  // "KEYC"
  std::atomic<int16_t> seq;
  int16_t aux;
  std::atomic<const qrxky_func_set *> funcs;
  FileControlBlock *file;
  CursorBlock *self;
  OSV1_Lock lock;
  Links link;         // in the file's cursor list
  KeyHandle adapter;  // the cursor's adapter request; slot 0 when none exists
  std::atomic<uint32_t> access_mode;
  std::atomic<uint32_t> reason;
  HPM1_Handle cursor_area;
  const KeyTriple *key;
  UpdateBlock update;
  uint8_t *iobuf;  // record-length bytes; used under lock
  uint32_t slot;
  uint32_t file_slot;  // the owning file's slot
};

// Kinds of block an operation serves, and how the frame reaches the parts it needs.
template <class B>
struct BlockTraits;
template <>
struct BlockTraits<FileControlBlock> {
  static constexpr Kind kind = Kind::kFile;
  static OSV1_Lock *lock(FileControlBlock *b) { return &b->request_lock; }
};
template <>
struct BlockTraits<CursorBlock> {
  static constexpr Kind kind = Kind::kCursor;
  static OSV1_Lock *lock(CursorBlock *b) { return &b->lock; }
};
template <>
struct BlockTraits<UpdateBlock> {
  static constexpr Kind kind = Kind::kUpdate;
  static OSV1_Lock *lock(UpdateBlock *b) { return b->lock; }
};

// The key triple a block reads its geometry from.
template <class B>
struct BlockKey {
  static const KeyTriple *of(B *b) { return b->key; }
};
template <>
struct BlockKey<FileControlBlock> {
  static const KeyTriple *of(FileControlBlock *f) { return &f->key; }
};

// Holds an OSV1 lock for a scope; release() ends it early.
class LockGuard {
 public:
  explicit LockGuard(OSV1_Lock *lock) : lock_(lock) { OSV1_GetLock(lock_); }
  ~LockGuard() { release(); }
  LockGuard(const LockGuard &) = delete;
  LockGuard &operator=(const LockGuard &) = delete;
  void release() {
    if (lock_ != nullptr) OSV1_ReleaseLock(std::exchange(lock_, nullptr));
  }

 private:
  OSV1_Lock *lock_;
};

inline int32_t sync_flag(uint32_t access_mode) {
  return access_mode == 0 ? 1 : 0;
}
// A pointer printed by a %d or %x of an error line: its low 32 bits.
inline uint32_t low32(const void *p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
// The next value of a 16-bit block counter: wraps, and skips -1, the closed marker.
inline uint16_t next_seq(uint16_t counter) {
  const uint16_t n = static_cast<uint16_t>(counter + 1);
  return n == 0xFFFF ? 0 : n;
}
inline KeyHandle handle_of(int16_t seq, uint32_t slot) {
  return KeyHandle{seq, 0, slot};
}

// Copies min(buf_len, len) bytes of a record read into a block's i/o buffer out to the caller.
inline void copy_out(void *buf, int32_t buf_len, const uint8_t *iobuf, int32_t len) {
  const int32_t n = buf_len < len ? buf_len : len;
  if (n > 0) std::memcpy(buf, iobuf, static_cast<size_t>(n));
}
// A caller's buffer: a negative length, a null buffer with a length, or a null record length is refused.
inline bool buffer_args_ok(const void *buf, int32_t buf_len, const int32_t *rec_len) {
  return buf_len >= 0 && (buf != nullptr || buf_len == 0) && rec_len != nullptr;
}
// A caller's key or record: a negative length, or a null address with a length, is refused.
inline bool key_args_ok(const void *key, int32_t key_len) {
  return key_len >= 0 && (key != nullptr || key_len == 0);
}

// ---------------------------------------------------------------------------------------------------
// Test hooks (frame.cc). A raise point armed for the n-th pass (1 = the next) raises a condition there,
// once. An anchor step armed fails the n-th time it is reached.
// ---------------------------------------------------------------------------------------------------
enum class RaisePoint : int { kCheck = 0, kWork = 1, kCount = 2 };
void raise_arm(RaisePoint where, int nth);
void raise_disarm();
void maybe_raise(RaisePoint where);

enum class AnchorStep : int {
  kStorage = 0,
  kCreate = 1,
  kFileArea = 2,
  kCursorArea = 3,
  kFill = 4,
  kCount = 5
};
void anchor_fault_arm(AnchorStep step);
void anchor_fault_disarm();
// The area handles the last anchor creation made (tests: destroyed again after a failure).
void anchor_last_areas(HPM1_Handle *file_area, HPM1_Handle *cursor_area);

// ---------------------------------------------------------------------------------------------------
// The call frame of operations on an existing handle.
// ---------------------------------------------------------------------------------------------------

inline constexpr int32_t kUnset = INT32_MIN;  // the work has not set a status yet

// Error lines of the frame (written from frame.cc).
void line_invalid_cursor(const void *block);
void line_abnormal();

inline bool cursor_eye_ok(const CursorBlock *c, KeyHandle h) {
  return std::memcmp(c->eye, "KEYC", 4) == 0 && c->seq.load() == h.seq;
}

// Runs `work(block)` for the block the handle names:
//  1. outer guard frame around the check: a condition raised here gives 2;
//  2. with `eye_check` (cursor reads), a block that is not a cursor of that seq: the error line and 2;
//  3. the block's lock is taken; a seq that differs, or a function set that does not hold the operation
//     (`holds(block)` false), gives 2 with the lock released;
//  4. inner guard frame around the work: a condition writes "Abnormal condition detected" and, when the
//     work set no status, gives 8 and reason 20;
//  5. the lock is released on every path, then the block's pin (a close during the work gives the block
//     back only then).
// With `one_frame`, the work runs without the inner frame: a condition in it gives 2.
template <class B, class Holds, class Work>
int32_t common_frame(KeyHandle h, bool eye_check, Holds holds, Work work, bool one_frame = false) noexcept {
  int32_t status = kUnset;
  const int32_t outer = XFR1_Guard(__FILE__, __LINE__, [&] {
    maybe_raise(RaisePoint::kCheck);
    Pin pin = slot_pin(h.slot, BlockTraits<B>::kind);
    if (!pin) {
      status = kBadHandle;
      return;
    }
    B *b = pin.get<B>();
    if constexpr (BlockTraits<B>::kind == Kind::kCursor) {
      if (eye_check && !cursor_eye_ok(b, h)) {
        line_invalid_cursor(b);
        status = kBadHandle;
        return;
      }
    }
    LockGuard lock(BlockTraits<B>::lock(b));
    bool ok = b->seq.load() == h.seq && holds(b);
    if constexpr (BlockTraits<B>::kind == Kind::kCursor) ok = ok && (!eye_check || cursor_eye_ok(b, h));
    if (!ok) {
      status = kBadHandle;
      return;
    }
    if (one_frame) {
      maybe_raise(RaisePoint::kWork);
      status = work(b);
      return;
    }
    const int32_t inner = XFR1_Guard(__FILE__, __LINE__, [&] {
      maybe_raise(RaisePoint::kWork);
      status = work(b);
    });
    if (inner != 0) {
      line_abnormal();
      if (status == kUnset) {
        status = kAbnormal;
        b->reason.store(kReasonCondition);
      }
    }
  });
  if (outer != 0 || status == kUnset) status = kBadHandle;
  return status;
}

// Runs `work(file, lock)` holding the file's request lock, under one guard frame: a handle that names no
// open file gives 2 (with the line "Invalid file handle" when `line`); a condition keeps a status already
// set, else gives 2. The work may release the lock early through the guard it is given.
void line_invalid_file();
template <class Work>
int32_t with_file_locked(KeyHandle h, bool line, Work work) noexcept {
  int32_t status = kUnset;
  XFR1_Guard(__FILE__, __LINE__, [&] {
    maybe_raise(RaisePoint::kCheck);
    Pin pin = slot_pin(h.slot, Kind::kFile);
    auto *f = pin ? pin.get<FileControlBlock>() : nullptr;
    if (f == nullptr) {
      if (line) line_invalid_file();
      status = kBadHandle;
      return;
    }
    LockGuard lock(&f->request_lock);
    if (f->seq.load() != h.seq) {
      if (line) line_invalid_file();
      status = kBadHandle;
      return;
    }
    status = work(f, lock);
  });
  return status == kUnset ? kBadHandle : status;
}

// Makes a cursor on a file whose request lock the caller holds through `file_lock`, which is released
// once the new cursor's lock is held. The cursor starts with the given function set and update state.
int32_t open_cursor_locked(FileControlBlock *f, LockGuard &file_lock, const void *key, int32_t key_len,
                           KeyHandle *out, const qrxky_func_set *funcs, uint32_t update_state);

// ---------------------------------------------------------------------------------------------------
// The anchor (frame.cc).
// ---------------------------------------------------------------------------------------------------

// Finds the anchor, or makes it when there is none; one step under the service mutex. 0 with *out set,
// else the failing call's status with nothing left behind.
int32_t find_or_make_anchor(KeyServiceAnchor **out);
// The anchor when it exists (0), else the lookup's status.
int32_t locate_anchor(KeyServiceAnchor **out);

// Releases of blocks whose last pin went (the table calls them): locks destroyed, memory given back.
void release_file_block(void *block);
void release_cursor_block(void *block);

}  // namespace qrx::keyed
