// update.cc - adding, deleting and modifying records: iaddrec, iaddrec2, idelrec, imodrec, imodrec2, with
// the index updates behind them and their undo paths.
//
// Every operation runs under the database lock with curdb set. A change through one index object keeps
// the others honest: a private index object whose cursor stood on a record that is deleted or moved is
// stepped to the entry after it and carries -4 until it is positioned again (its caller's own index gets
// the state where it lands). Shared index objects recompute their status from their cursor only when it
// was 1; one at -2 or -3 keeps it.
//
// Order of the steps, and what a failure leaves:
//  - add: place the record, then add an entry per index; a failed entry deletes the entries added so far
//    and turns the record's space into a hole (the B-tree layer's codes of the failure are kept).
//  - delete: the entries go, then the record's space becomes a hole. A failure of either puts the entries
//    back, so no entry is ever left pointing at space that a later record may take.
//  - modify: write the new data (in place, or as a new record whose old space becomes a hole), then change
//    every entry; a failed change puts the old record back (at an offset that may differ) and points every
//    entry at it again.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "cbt/blockio/blockio.h"
#include "cbt/codec.h"
#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

// The B-tree layer's three codes of the calling thread, kept across an undo.
struct CbtCodes {
  uint32_t error = *qrxcbecd(), context = *qrxcbccd(), function = *qrxcbfcd();
  int32_t isam = isam_errno();
  void restore() const {
    *qrxcbecd() = error, *qrxcbccd() = context, *qrxcbfcd() = function;
    isam_errno() = isam;
  }
};

// Releases the database lock when it goes out of scope.
struct Unlock {
  Db *db;
  ~Unlock() { unlock(db); }
};

bool lock_for_change(Db *db, Index *idx) {
  if (!(idx != nullptr ? lock_index(db, idx, kEither) : lock_db(db))) return false;
  curdb() = db;
  if (db->mode == 2) return true;
  QRX_ERROR("Database %s is open for reading only", db->datafile.c_str());
  set_errno(Err::kIo);
  unlock(db);
  return false;
}

template <class F>
void for_each(Index &head, F f) {
  for (Index *i = head.next; i != &head; i = i->next) f(i);
}

ThreadData *thread_data() {
  ThreadData *td = I_GetThreadData();
  if (td != nullptr && td->keybuf != nullptr) return td;
  QRX_ERROR("Unable to locate thread data");
  set_errno(Err::kNoMemory);
  return nullptr;
}

// Writes the first n bytes of rbuf at off: 1, or -1 (isam_errno 7).
int32_t write_record(Db *db, uint32_t off, uint32_t n) {
  if (I_data_write(db, off, db->rbuf.data(), n) == 1) return 1;
  QRX_ERROR("Unable to write record at offset %d in %s", static_cast<int>(off), db->datafile.c_str());
  set_errno(Err::kIo);
  return -1;
}

// idx positioned on the new record at off after an add: its entry key is in keybuf (len bytes).
int32_t position_on_new(Index *idx, ThreadData *td, uint32_t len, uint32_t off) {
  idx->status = 1;
  if (idx->tree == nullptr) {
    idx->curptr = off;
    return 1;
  }
  uint32_t item = off;
  if (cbfinditem(idx->tree, td->keybuf, len, &item) != 2) {
    QRX_ERROR("Unable to verify record insertion");
    set_errno(Err::kIo);
    return -1;
  }
  return 1;
}

// The stored length at off becomes a hole (the undo of a placed record).
void free_record(Db *db, uint32_t off) {
  int32_t len = 0;
  if (I_reclen(db, off, &len) == 1 && len > 0) I_deldata(db, off, static_cast<uint32_t>(len));
}

// Steps private index objects that stand on the record at off to the entry after it (the walk's next
// record for one without tree): the caller's own index gets the state where it lands, the others -4.
// Those in `keep` stay where they are. 1, or -1 when a step failed.
int32_t I_move_private(Db *db, Index *caller, uint32_t off, const std::vector<Index *> &keep = {}) {
  int32_t rc = 1;
  for_each(db->privindexes, [&](Index *p) {
    if (p->status != 1 && p->status != -4) return;
    if (std::find(keep.begin(), keep.end(), p) != keep.end()) return;
    int32_t landed = 0;
    if (p->tree == nullptr) {
      if (p->curptr != off) return;
      landed = I_phys_walk(db, p, false);
    } else {
      uint32_t item = 0;
      const int32_t at = cbcurr(p->tree, &item);
      if (at != 1 || item != off) {
        if (at == -1) set_errno(Err::kCbt), rc = -1;
        return;
      }
      landed = cbnext(p->tree, &item);
      QRX_DETAIL("Reseting cursor for index %p from %d to %d", static_cast<void *>(p), static_cast<int>(off),
                 static_cast<int>(item));
      if (landed == 1) {
        const int32_t mine = I_mat_prefix(p);
        landed = mine < 0 ? -1 : (mine == 1 ? 1 : -3);
      } else if (landed == -1) {
        set_errno(Err::kCbt);
      }
    }
    if (landed == -1) rc = -1;
    p->status = p == caller && landed != -1 ? landed : -4;
  });
  return rc;
}

}  // namespace

int32_t I_del1index(Index *idx, ThreadData *td, const uint8_t *const *fields, uint32_t off) {
  const int32_t len = I_mkkey(idx, fields, td->keybuf, td->keybufsize);
  if (len < 0) return -1;
  if (cbdelete(idx->tree, td->keybuf, static_cast<uint32_t>(len), off) != 1) {
    QRX_ERROR("Unable to delete key from index %s - error code %d", idx->name.c_str(),
              static_cast<int>(*qrxcbecd()));
    set_errno(Err::kCbt);
    return -1;
  }
  return idx->status == 1 ? I_settle_status(idx) : 1;
}

int32_t I_up1index(Index *idx, ThreadData *td, const uint8_t *const *fields, uint32_t off) {
  const int32_t len = I_mkkey(idx, fields, td->keybuf, td->keybufsize);
  if (len < 0) {
    QRX_ERROR("Error making key for index %s", idx->name.c_str());
    return -1;
  }
  if (cbinsert(idx->tree, td->keybuf, static_cast<uint32_t>(len), off, idx->unique != 0 ? 0 : 1) != 1) {
    QRX_ERROR("Unable to add key to index %s - error code %d", idx->name.c_str(),
              static_cast<int>(*qrxcbecd()));
    set_errno(Err::kCbt);
    return -1;
  }
  return 1;
}

namespace {

constexpr int32_t kEntriesKept = -2;

// Adds the entries of the record (fields, off) again to the indexes before `until` (all: null).
void reinsert(Db *db, ThreadData *td, const uint8_t *const *fields, uint32_t off, const Index *until) {
  for (Index *idx = db->indexes.next; idx != &db->indexes && idx != until; idx = idx->next) {
    const int32_t len = idx->tree != nullptr ? I_mkkey(idx, fields, td->keybuf, td->keybufsize) : -1;
    if (len >= 0 &&
        cbinsert(idx->tree, td->keybuf, static_cast<uint32_t>(len), off, idx->unique != 0 ? 0 : 1) != 1)
      QRX_ERROR("Unable to restore the entry of index %s for the record of %d", idx->name.c_str(),
                static_cast<int>(off));
  }
}

// Removes every entry of the record (fields, off), after stepping the index objects that stand on it.
// When an entry cannot be removed, those removed before it are added again: kEntriesKept, the record
// keeps all its entries. 1 otherwise, or -1 when a cursor could not be stepped.
int32_t I_delindexes(Db *db, Index *caller, ThreadData *td, const uint8_t *const *fields, uint32_t off) {
  int32_t rc = I_move_private(db, caller, off);
  for (Index *idx = db->indexes.next; idx != &db->indexes; idx = idx->next) {
    if (idx->tree == nullptr) {
      // The shared walk moves on only when it stood on the deleted record.
      if ((idx->status == 1 || idx->status == -4) && idx->curptr == off && I_phys_walk(db, idx, false) == -1)
        rc = -1;
    } else if (I_del1index(idx, td, fields, off) < 0) {
      const CbtCodes codes;
      reinsert(db, td, fields, off, idx);
      codes.restore();
      return kEntriesKept;
    }
  }
  return rc;
}

// The new data of a record (old stored length `stored` at off) written: in place when it fits, else as a
// new record whose old space becomes a hole. 1 with the new offset (also when the free-space keys of the
// space let go could not be written: that space is then lost to reuse, nothing else); -1 when nothing
// changed.
int32_t I_moddata(Db *db, uint32_t stored, uint32_t off, const uint8_t *const *fields, uint32_t *noff) {
  const int64_t total = I_record_width(db, fields);
  if (total < 0) return -1;
  if (total > stored) {
    if (I_adddata(db, fields, noff) < 0) return -1;
    const int32_t freed = I_deldata(db, off, stored);
    if (freed == kHoleNotMade) {  // the old record is still there: give the new space back
      const CbtCodes codes;
      free_record(db, *noff);
      codes.restore();
      return -1;
    }
    return 1;
  }
  // A rest of 4 bytes or less cannot hold a hole: the record keeps it.
  const uint32_t used = total + 4 >= stored ? stored : static_cast<uint32_t>(total);
  const uint32_t rest = stored - used;
  const int64_t bytes = I_build_record(db, fields, used, rest != 0 ? 4 : 0);
  if (bytes < 0) return -1;
  if (rest != 0) {
    // The rest's hole word goes out with the record, so the file walks cleanly whatever happens next.
    codec::store_u32(db->rbuf.data(), static_cast<size_t>(bytes), static_cast<uint32_t>(-int64_t{rest - 4}));
  }
  if (write_record(db, off, static_cast<uint32_t>(bytes) + (rest != 0 ? 4 : 0)) < 0) return -1;
  *noff = off;
  if (rest == 0) return 1;
  // The rest's word is on disk already: a failure here only leaves its keys out of step.
  I_deldata(db, off + used + 4, rest - 4);
  return 1;
}

// Puts the old record (fields old, first at off) back after the change of `failed` went wrong: the new
// data at noff become a hole, the old record is placed again at R, and every entry points at R again:
// those already changed from (new key, noff), the others from (old key, off). isam_errno and the B-tree
// layer's codes of the first failure are kept.
void undo_modify(Db *db, ThreadData *td, uint8_t *nkey, Index *failed, const uint8_t *const *old,
                 uint32_t off, const uint8_t *const *fresh, uint32_t noff) {
  const CbtCodes codes;
  free_record(db, noff);
  uint32_t back = 0;
  if (I_adddata(db, old, &back) < 0) {
    QRX_ERROR("Unable to restore the record of %d in %s", static_cast<int>(off), db->datafile.c_str());
    codes.restore();
    return;
  }
  bool changed = true;  // indexes before the failed one carry the new entry
  for_each(db->indexes, [&](Index *idx) {
    if (idx == failed) changed = false;
    if (idx->tree == nullptr) {
      if (idx->status == 1 && idx->curptr == noff) idx->curptr = back;
      return;
    }
    const int32_t ol = I_mkkey(idx, old, td->keybuf, td->keybufsize);
    const int32_t nl = changed ? I_mkkey(idx, fresh, nkey, td->keybufsize) : ol;
    if (ol < 0 || nl < 0) return;
    const int32_t dupok = idx->unique != 0 ? 0 : 1;
    if (cbmodify(idx->tree, changed ? nkey : td->keybuf, static_cast<uint32_t>(nl), changed ? noff : off,
                 td->keybuf, static_cast<uint32_t>(ol), back, dupok) == 1)
      return;
    // The failed change may have removed the old entry without adding the new one.
    if (idx == failed && cbinsert(idx->tree, td->keybuf, static_cast<uint32_t>(ol), back, dupok) == 1) return;
    QRX_ERROR("Unable to restore the entry of index %s for the record of %d", idx->name.c_str(),
              static_cast<int>(off));
  });
  codes.restore();
}

// Private index objects that an earlier change moved onto the record at off (state -4) and that have not
// shown it yet: those in whose order the record keeps its place (the same key and, unless the index is
// unique, the same offset; in file order the same offset) go on waiting on it rather than passing it by.
std::vector<Index *> I_waiting(Db *db, Index *caller, ThreadData *td, uint8_t *nkey,
                               const uint8_t *const *old, uint32_t off, const uint8_t *const *fresh,
                               uint32_t noff) {
  std::vector<Index *> waiting;
  for_each(db->privindexes, [&](Index *p) {
    if (p == caller || p->status != -4) return;
    if (p->tree == nullptr) {
      if (p->curptr == off && noff == off) waiting.push_back(p);
      return;
    }
    uint32_t item = 0;
    if ((noff != off && p->unique == 0) || cbcurr(p->tree, &item) != 1 || item != off) return;
    const int32_t ol = I_mkkey(p, old, td->keybuf, td->keybufsize);
    const int32_t nl = ol < 0 ? -1 : I_mkkey(p, fresh, nkey, td->keybufsize);
    if (nl >= 0 && I_compare(td->keybuf, static_cast<uint32_t>(ol), nkey, static_cast<uint32_t>(nl)) == 0)
      waiting.push_back(p);
  });
  return waiting;
}

// Changes every entry of the record from (old key, off) to (new key, noff), after stepping private index
// objects off the old record. 1, or -1 (after the undo when an entry could not be changed).
int32_t I_modindexes(Db *db, Index *caller, ThreadData *td, const uint8_t *const *old, uint32_t off,
                     const uint8_t *const *fresh, uint32_t noff) {
  std::unique_ptr<uint8_t[]> nkey(new (std::nothrow) uint8_t[td->keybufsize]);
  if (!nkey) {
    set_errno(Err::kNoMemory);
    return -1;
  }
  const std::vector<Index *> waiting = I_waiting(db, caller, td, nkey.get(), old, off, fresh, noff);
  // Before any entry changes: afterwards no cursor would stand on the old entry any more.
  int32_t rc = I_move_private(db, caller, off, waiting);
  Index *failed = nullptr;
  for (Index *idx = db->indexes.next; idx != &db->indexes && failed == nullptr; idx = idx->next) {
    if (idx->tree == nullptr) {
      if ((idx->status == 1 || idx->status == -4) && idx->curptr == off) idx->curptr = noff, idx->status = 1;
      continue;
    }
    const int32_t ol = I_mkkey(idx, old, td->keybuf, td->keybufsize);
    const int32_t nl = ol < 0 ? -1 : I_mkkey(idx, fresh, nkey.get(), td->keybufsize);
    if (nl < 0) {
      failed = idx;
    } else if (cbmodify(idx->tree, td->keybuf, static_cast<uint32_t>(ol), off, nkey.get(),
                        static_cast<uint32_t>(nl), noff, idx->unique != 0 ? 0 : 1) != 1) {
      QRX_ERROR("Unable to change key in index %s - error code %d", idx->name.c_str(),
                static_cast<int>(*qrxcbecd()));
      set_errno(Err::kCbt);
      failed = idx;
    } else if (idx->status == 1 && I_settle_status(idx) < 0) {
      rc = -1;
    }
  }
  if (failed == nullptr) {
    // The entry change moved the waiting cursors off the old entry: back onto the new one (should that
    // fail, one stays on the entry after it, as any other moved cursor).
    for (Index *p : waiting) {
      const int32_t nl = p->tree != nullptr ? I_mkkey(p, fresh, nkey.get(), td->keybufsize) : -1;
      uint32_t item = noff;
      if (nl >= 0) cbfinditem(p->tree, nkey.get(), static_cast<uint32_t>(nl), &item);
    }
    return rc;
  }
  undo_modify(db, td, nkey.get(), failed, old, off, fresh, noff);
  return -1;
}

// The offset of idx's current record for a change: 1, the index's status (-2, -3), or -1.
int32_t current_for_change(Index *idx, uint32_t *off) {
  *off = idx->curptr;
  if (idx->tree == nullptr) {
    if (*off != 0) return 1;
    set_errno(Err::kNoCurrent);
    return -1;
  }
  const int32_t at = cbcurr(idx->tree, off);
  if (at == -2 || at == -3) idx->status = at;
  if (at == -1) set_errno(Err::kCbt);
  return at;
}

// The shared step of imodrec and imodrec2, with the lock held.
int32_t modify_record(Db *db, Index *idx, const uint8_t *const *fields) {
  if (idx->status != 1) {
    QRX_ERROR("Cursor position invalid - %d", static_cast<int>(idx->status));
    return idx->status;
  }
  uint32_t off = 0;
  if (const int32_t at = current_for_change(idx, &off); at != 1) return at;
  QRX_DETAIL("Tree = %p, ptr = %d", static_cast<void *>(idx->tree), static_cast<int>(off));
  ThreadData *td = thread_data();
  if (td == nullptr || I_record_width(db, fields) < 0) return -1;
  // Every new key must be buildable before anything is written.
  for (Index *i = db->indexes.next; i != &db->indexes; i = i->next)
    if (i->tree != nullptr && I_mkkey(i, fields, td->keybuf, td->keybufsize) < 0) return -1;
  if (I_fetchrec(db, off) == nullptr) return -1;
  const FetchedRecord rec(td);
  uint32_t noff = 0;
  if (I_moddata(db, static_cast<uint32_t>(td->reclen), off, fields, &noff) < 0) return -1;
  return I_modindexes(db, idx, td, td->recfields, off, fields, noff);
}

}  // namespace

int32_t I_settle_status(Index *idx) {
  uint32_t item = 0;
  const int32_t at = cbcurr(idx->tree, &item);
  if (at == -1) {
    set_errno(Err::kCbt);
    return -1;
  }
  if (at != 1) {
    idx->status = at;
    return 1;
  }
  const int32_t mine = I_mat_prefix(idx);
  if (mine < 0) return -1;
  idx->status = mine == 1 ? 1 : -3;
  return 1;
}

int32_t I_upindexes(Db *db, const uint8_t *const *fields, uint32_t off) {
  ThreadData *td = thread_data();
  if (td == nullptr) return -1;
  Index *failed = nullptr;
  for (Index *idx = db->indexes.next; idx != &db->indexes && failed == nullptr; idx = idx->next)
    if (idx->tree != nullptr && I_up1index(idx, td, fields, off) < 0) failed = idx;
  if (failed == nullptr) return 1;
  const CbtCodes codes;
  for (Index *idx = db->indexes.next; idx != failed; idx = idx->next) {
    const int32_t len = idx->tree != nullptr ? I_mkkey(idx, fields, td->keybuf, td->keybufsize) : -1;
    if (len >= 0 && cbdelete(idx->tree, td->keybuf, static_cast<uint32_t>(len), off) != 1)
      QRX_ERROR("Unable to remove key from index %s", idx->name.c_str());
  }
  free_record(db, off);
  codes.restore();
  return -1;
}

int32_t I_updateindexes(Db *db, const uint8_t *data, uint32_t len, uint32_t off) {
  I_mark_fields(db, data, len, db->fieldptrs.data());
  return I_upindexes(db, db->fieldptrs.data(), off);
}

// ---------------------------------------------------------------------------------------------------
// Public operations (entry points in api.cc).
// ---------------------------------------------------------------------------------------------------

int32_t add_rec(Db *db, Index *idx, const void *const *values) {
  set_errno(Err::kNone);
  if (values == nullptr) return refuse_null();
  if (!lock_for_change(db, idx)) return -1;
  const Unlock unlock_at_end{db};
  const auto *fields = reinterpret_cast<const uint8_t *const *>(values);
  uint32_t off = 0;
  if (I_adddata(db, fields, &off) < 0 || I_upindexes(db, fields, off) < 0) return -1;
  if (idx == nullptr) return 1;
  ThreadData *td = thread_data();
  if (td == nullptr) return -1;
  int32_t len = 0;
  if (idx->tree != nullptr && (len = I_mkkey(idx, fields, td->keybuf, td->keybufsize)) < 0) {
    QRX_ERROR("Unable to construct key");
    return -1;
  }
  return position_on_new(idx, td, static_cast<uint32_t>(len), off);
}

int32_t add_rec2(Db *db, Index *idx, const void *key, uint32_t keylen, const void *data, uint32_t len) {
  set_errno(Err::kNone);
  if ((data == nullptr && len != 0) || (key == nullptr && keylen != 0)) return refuse_null();
  if (!lock_for_change(db, idx)) return -1;
  const Unlock unlock_at_end{db};
  ThreadData *td = thread_data();
  if (td == nullptr) return -1;
  const bool keyed = idx != nullptr && idx->tree != nullptr;
  if (keyed && uint64_t{keylen} + 1 > td->keybufsize) {
    set_errno(Err::kKeyTooLong);
    return -1;
  }
  // The caller's key with the index number in front, in keybuf.
  const auto load_key = [&] {
    td->keybuf[0] = static_cast<uint8_t>(idx->number);
    if (keylen != 0) std::memcpy(td->keybuf + 1, key, keylen);
  };
  if (keyed && idx->unique != 0) {
    load_key();
    uint32_t item = 0;
    const int32_t found = cbfind(idx->tree, td->keybuf, keylen + 1, &item);
    if (found == 2 || found == -1) {
      set_errno(Err::kCbt);
      if (found == 2) {
        *qrxcbecd() = 18, *qrxcbccd() = 21;
        QRX_ERROR("Duplicate key for index %s in %s", idx->name.c_str(), db->idxfile.c_str());
      }
      return -1;
    }
  }
  const uint32_t least = static_cast<uint32_t>(db->minreclen - 4);
  if (db->fixedlen == 1 ? len != least : len < least) {
    QRX_ERROR("Record length %d does not match db def (%d)", static_cast<int>(len), static_cast<int>(least));
    set_errno(Err::kIo);
    return -1;
  }
  const auto *bytes = static_cast<const uint8_t *>(data);
  if (I_mark_fields(db, bytes, len, db->fieldptrs.data()) != db->nfields) {
    QRX_ERROR("Record data of %d bytes does not hold every field", static_cast<int>(len));
    set_errno(Err::kIo);
    return -1;
  }
  uint32_t off = 0;
  if (I_insdata(db, bytes, len, &off) < 0 || I_updateindexes(db, bytes, len, off) < 0) return -1;
  if (idx == nullptr) return 1;
  if (keyed) load_key();
  return position_on_new(idx, td, keylen + 1, off);
}

int32_t del_rec(Db *db, Index *idx) {
  set_errno(Err::kNone);
  if (!lock_for_change(db, idx)) return -1;
  const Unlock unlock_at_end{db};
  if (idx == nullptr) {
    set_errno(Err::kBadIndex);
    return -1;
  }
  if (idx->status != 1) {
    QRX_ERROR(idx->status == -4 ? "Current record pointer changed by a concurrent update"
                                : "No current record to delete");
    set_errno(Err::kNoCurrent);
    return -1;
  }
  uint32_t off = 0;
  if (const int32_t at = current_for_change(idx, &off); at != 1) return at;
  QRX_DETAIL("Request to delete record at %d", static_cast<int>(off));
  ThreadData *td = thread_data();
  if (td == nullptr) return -1;
  if (I_fetchrec(db, off) == nullptr) {
    QRX_ERROR("Unable to fetch record to be deleted");
    return -1;
  }
  const FetchedRecord rec(td);
  // Entries first, then the space: a failure of either leaves the record with all its entries, so no
  // entry ever points at space that a later record may take.
  const int32_t gone = I_delindexes(db, idx, td, td->recfields, off);
  if (gone == kEntriesKept) return -1;
  if (I_deldata(db, off, static_cast<uint32_t>(td->reclen)) == kHoleNotMade) {
    const CbtCodes codes;
    reinsert(db, td, td->recfields, off, nullptr);
    codes.restore();
    return -1;
  }
  return gone;
}

namespace {

// The frame of imodrec and imodrec2: lock, then body() with the lock held.
template <class Body>
int32_t modify_frame(Db *db, Index *idx, Body body) {
  if (idx == nullptr) {
    QRX_ERROR("Invalid Index object detected %p", static_cast<void *>(idx));
    set_errno(Err::kBadIndex);
    return -1;
  }
  if (!lock_for_change(db, idx)) return -1;
  const Unlock unlock_at_end{db};
  return body();
}

}  // namespace

int32_t mod_rec(Db *db, Index *idx, const void *const *values) {
  set_errno(Err::kNone);
  if (values == nullptr) return refuse_null();
  return modify_frame(
      db, idx, [&] { return modify_record(db, idx, reinterpret_cast<const uint8_t *const *>(values)); });
}

int32_t mod_rec2(Db *db, Index *idx, const void *data, uint32_t len) {
  set_errno(Err::kNone);
  if (data == nullptr && len != 0) return refuse_null();
  return modify_frame(db, idx, [&] {
    std::vector<uint8_t *> fields(static_cast<size_t>(db->nfields) + 1, nullptr);
    if (I_mark_fields(db, static_cast<const uint8_t *>(data), len, fields.data()) != db->nfields) {
      QRX_ERROR("Record data of %d bytes does not hold every field", static_cast<int>(len));
      set_errno(Err::kIo);
      return -1;
    }
    return modify_record(db, idx, fields.data());
  });
}

}  // namespace qrx::isam
