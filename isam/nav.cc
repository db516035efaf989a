// nav.cc - moving an index's cursor: ifindhead, ifindtail, ifindnext, ifindprev, ifindkey, ifindrec,
// imarkrec and ifindmark.
//
// An index with a tree walks the B-tree handle's own cursor over the run of keys whose first byte is the
// index number; after every B-tree step the key reached is checked for that byte, and running into another
// index's keys (or the free-space keys behind the last index) counts as passing the end or the start. The
// "Physical Index" walks the data file instead and can only go to its first record and on from there.
// Every operation runs under the database lock with curdb set and releases the lock on every path.
#include <cstring>
#include <memory>
#include <new>

#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

// The frame of every positioning operation: isam_errno 0, the lock, curdb, body() under the lock.
template <class Body>
int32_t positioned(Db *db, Index *idx, Body body) {
  set_errno(Err::kNone);
  if (!lock_index(db, idx, kEither)) return -1;
  curdb() = db;
  const int32_t rc = body();
  unlock(db);
  return rc;
}

int32_t not_allowed() {
  set_errno(Err::kNotAllowed);
  return -1;
}

int32_t cbt_failed() {
  set_errno(Err::kCbt);
  return -1;
}

// The first byte of the key at idx's cursor: 1 with it in *first, or cbkey's result (-2/-3 at an end, -1).
int32_t first_byte(Index *idx, uint8_t *first) {
  return cbkey(idx->tree, first, 1);
}

// The status after a B-tree step that returned r: on an entry of idx 1; on another key `off_side` (-3
// forward, -2 backward); an end keeps its value. -1 with isam_errno 9 when the step or the key read failed.
int32_t settle(Index *idx, int32_t r, int32_t off_side) {
  if (r == 1 || r == 2 || r == 3) {
    uint8_t first = 0;
    r = first_byte(idx, &first);
    if (r == 1) r = first == static_cast<uint8_t>(idx->number) ? 1 : off_side;
  }
  if (r == -1) return cbt_failed();
  idx->status = r;
  return r;
}

// The cursor on the first key behind the index's run (the one-byte key of the next number sorts before
// every entry of that number): 1, or -1 with isam_errno 9.
int32_t behind_run(Index *idx) {
  const uint8_t next = static_cast<uint8_t>(idx->number + 1);
  uint32_t item = 0;
  return cbfind(idx->tree, &next, 1, &item) == -1 ? cbt_failed() : 1;
}

int32_t head(Db *db, Index *idx) {
  if (idx->tree == nullptr) return I_phys_walk(db, idx, true);
  const uint8_t number = static_cast<uint8_t>(idx->number);
  uint32_t item = 0;
  const int32_t r = cbfind(idx->tree, &number, 1, &item);
  if (r == -1) return cbt_failed();
  if (r == -2 || r == -3) {  // nothing at or after the index's place
    idx->status = -3;
    return -3;
  }
  return settle(idx, r, -3);
}

int32_t tail(Index *idx) {
  if (behind_run(idx) < 0) return -1;
  uint32_t item = 0;
  return settle(idx, cbprev(idx->tree, &item), -2);
}

// A cursor that another handle's change moved (-4) already stands on what follows the record it left:
// that entry is the next one, so it is taken without a step.
int32_t after_move(Db *db, Index *idx) {
  if (idx->tree == nullptr) {
    int32_t len = 0;
    if (idx->curptr == 0) {
      idx->status = -3;
      return -3;
    }
    if (I_reclen(db, idx->curptr, &len) < 0) return -1;
    if (len > 0) {
      idx->status = 1;
      return 1;
    }
    return I_phys_walk(db, idx, false);  // a hole there now: the first record behind it
  }
  uint32_t item = 0;
  return settle(idx, cbcurr(idx->tree, &item), -3);
}

int32_t next(Db *db, Index *idx) {
  if (idx->status == -2) return head(db, idx);
  if (idx->status == -3) return -3;
  if (idx->status == -4) return after_move(db, idx);
  if (idx->tree == nullptr) return I_phys_walk(db, idx, false);
  uint32_t item = 0;
  return settle(idx, cbnext(idx->tree, &item), -3);
}

int32_t prev(Index *idx) {
  if (idx->tree == nullptr) return not_allowed();
  if (idx->status == -2) return -2;
  if (idx->status == -3 && behind_run(idx) < 0) return -1;
  uint32_t item = 0;
  return settle(idx, cbprev(idx->tree, &item), -2);
}

// The key text of a search key for the detail lines: the bytes after the index number up to the first NUL.
int key_text_len(const ThreadData *td) {
  const auto *text = td->keybuf + 1;
  const void *nul = std::memchr(text, 0, td->keylen - 1);
  return static_cast<int>(nul != nullptr ? static_cast<const uint8_t *>(nul) - text : td->keylen - 1);
}

int32_t seek_key(Index *idx, const void *const *values) {
  if (idx->tree == nullptr) return not_allowed();
  ThreadData *td = I_GetThreadData();
  if (td == nullptr || td->keybuf == nullptr) {
    set_errno(Err::kNoMemory);
    return -1;
  }
  const int32_t len = I_gluekey(idx, values, td->keybuf, td->keybufsize);
  if (len < 0) {
    set_errno(Err::kKeyTooLong);
    return -1;
  }
  td->keylen = static_cast<uint32_t>(len);
  uint32_t item = 0;
  const int32_t r = cbfind(idx->tree, td->keybuf, td->keylen, &item);
  if (r == -1) return cbt_failed();
  if (r == 2) {
    idx->status = 1;
    return 2;
  }
  const char *text = reinterpret_cast<const char *>(td->keybuf + 1);
  if (r == 3) {
    QRX_DETAIL("Could not locate key %d%.*s, keylen = %d", static_cast<int>(idx->number), key_text_len(td),
               text, static_cast<int>(td->keylen - 1));
    return settle(idx, r, -3) == -1 ? -1 : 3;
  }
  QRX_DETAIL("Could not locate key %d%.*s, keylen = %d position set to %s", static_cast<int>(idx->number),
             key_text_len(td), text, static_cast<int>(td->keylen - 1), r == -2 ? "BOI" : "EOI");
  idx->status = r;
  return 3;
}

// Searches the run of entries equal to the key in keybuf (keylen bytes) for the record whose fields are
// all equal to `fields`, starting at the cursor: 2 on it, 3 when the run ends first, -1. A record's key
// is compared as the index makes it (segments included); the walk never fetches a key that is not an
// entry of this index.
int32_t I_search_exact(Db *db, Index *idx, ThreadData *td, const uint8_t *const *fields) {
  std::unique_ptr<uint8_t[]> own(new (std::nothrow) uint8_t[td->keybufsize]);
  if (!own) {
    set_errno(Err::kNoMemory);
    return -1;
  }
  for (;;) {
    uint32_t off = 0;
    if (cbcurr(idx->tree, &off) != 1) return cbt_failed();
    ThreadData *rec = I_fetchrec(db, off);
    if (rec == nullptr) return -1;
    const FetchedRecord held(rec);
    const int32_t len = I_mkkey(idx, rec->recfields, own.get(), td->keybufsize);
    if (len < 0) return -1;
    if (I_compare(own.get(), static_cast<uint32_t>(len), td->keybuf, td->keylen) != 0) return 3;
    if (I_matchrec(db, rec->recfields, fields, db->nfields) == 1) return 2;
    uint32_t item = 0;
    const int32_t r = settle(idx, cbnext(idx->tree, &item), -3);
    if (r != 1) return r == -1 ? -1 : 3;
  }
}

int32_t seek_rec(Db *db, Index *idx, const uint8_t *const *fields) {
  if (idx->tree == nullptr) return not_allowed();
  ThreadData *td = I_GetThreadData();
  if (td == nullptr || td->keybuf == nullptr) {
    set_errno(Err::kNoMemory);
    return -1;
  }
  const int32_t len = I_mkkey(idx, fields, td->keybuf, td->keybufsize);
  if (len < 0) return -1;
  td->keylen = static_cast<uint32_t>(len);
  uint32_t item = 0;
  const int32_t r = cbfind(idx->tree, td->keybuf, td->keylen, &item);
  if (r == -1) return cbt_failed();
  if (r != 2) {
    if (r == 3) return settle(idx, r, -3) == -1 ? -1 : 3;
    idx->status = r;
    return 3;
  }
  idx->status = 1;
  return I_search_exact(db, idx, td, fields);
}

int32_t mark(Index *idx) {
  if (idx->tree == nullptr) return not_allowed();
  return cbmark(idx->tree) == -1 ? cbt_failed() : 1;
}

// Back on the mark, wherever the B-tree layer's corrections took it; a key of a lower index number means
// before this index, a higher one behind it.
int32_t to_mark(Index *idx) {
  if (idx->tree == nullptr) return not_allowed();
  uint32_t item = 0;
  int32_t r = cbfindmark(idx->tree, &item);
  if (r == 1) {
    uint8_t first = 0;
    r = first_byte(idx, &first);
    const uint8_t number = static_cast<uint8_t>(idx->number);
    if (r == 1) r = first < number ? -2 : (first > number ? -3 : 1);
  }
  if (r == -1) return cbt_failed();
  idx->status = r;
  return r;
}

}  // namespace

int32_t I_find_head(Db *db, Index *idx) {
  return head(db, idx);
}

int32_t find_head(Db *db, Index *idx) {
  return positioned(db, idx, [&] { return head(db, idx); });
}
int32_t find_tail(Db *db, Index *idx) {
  return positioned(db, idx, [&] { return idx->tree == nullptr ? not_allowed() : tail(idx); });
}
int32_t find_next(Db *db, Index *idx) {
  return positioned(db, idx, [&] { return next(db, idx); });
}
int32_t find_prev(Db *db, Index *idx) {
  return positioned(db, idx, [&] { return prev(idx); });
}
int32_t find_key(Db *db, Index *idx, const void *const *values) {
  if (values == nullptr) return refuse_null();
  return positioned(db, idx, [&] { return seek_key(idx, values); });
}
int32_t find_rec(Db *db, Index *idx, const void *const *fields) {
  if (fields == nullptr) return refuse_null();
  return positioned(db, idx,
                    [&] { return seek_rec(db, idx, reinterpret_cast<const uint8_t *const *>(fields)); });
}
int32_t mark_rec(Db *db, Index *idx) {
  return positioned(db, idx, [&] { return mark(idx); });
}
int32_t find_mark(Db *db, Index *idx) {
  return positioned(db, idx, [&] { return to_mark(idx); });
}

}  // namespace qrx::isam
