// read.cc - the public reads of an index's current record: igetrec, igetrec2, ireadrec and igetreclen.
//
// Each takes the database lock (released on every path), sets curdb, and reads nothing unless the index
// stands on a record (status 1 and, for an index with a tree, an entry at its cursor). A record read from
// the file must lie inside the file and hold its fields inside its own length: anything else is a damaged
// record (isam_errno 7), reported without reading past any buffer.
#include <cstring>

#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

// The offset of idx's current record: 1, or the index's status when it is not on a record (with the
// error line for -4 when report_moved), or -1.
int32_t current_offset(Index *idx, bool report_moved, uint32_t *off) {
  if (idx->status != 1) {
    if (idx->status == -4 && report_moved) QRX_ERROR("Cursor position moved by concurrent update");
    return idx->status;
  }
  if (idx->tree == nullptr) {
    if (idx->curptr == 0) {
      set_errno(Err::kNoCurrent);
      return -1;
    }
    *off = idx->curptr;
    return 1;
  }
  const int32_t r = cbcurr(idx->tree, off);
  if (r == -2 || r == -3) idx->status = r;
  if (r == -1) set_errno(Err::kCbt);
  return r;
}

// The frame of the four reads: body(offset) gives the result when the index is on a record.
template <class Body>
int32_t with_current_record(Db *db, Index *idx, bool report_moved, Body body) {
  if (!lock_index(db, idx, kEither)) return -1;
  curdb() = db;
  uint32_t off = 0;
  int32_t rc = current_offset(idx, report_moved, &off);
  if (rc == 1) rc = body(off);
  unlock(db);
  return rc;
}

int32_t damaged(const Db *db, uint32_t off) {
  QRX_ERROR("Record at %d in %s is damaged: its fields run past its length", static_cast<int>(off),
            db->datafile.c_str());
  set_errno(Err::kIo);
  return -1;
}

// The stored record at off read into rbuf: its stored length, or -1.
int32_t read_into_rbuf(Db *db, uint32_t off) {
  int32_t len = 0;
  if (I_stored_length(db, off, &len) < 0 || !I_grow_rbuf(db, uint64_t(len) + 5) ||
      I_read_rec(db, off, static_cast<uint32_t>(len), db->rbuf.data()) < 0)
    return -1;
  return len;
}

}  // namespace

int32_t get_rec(Db *db, Index *idx, uint8_t **fields, uint8_t *buf, int32_t size) {
  set_errno(Err::kNone);
  if (fields == nullptr || (buf == nullptr && size > 0)) return refuse_null();
  return with_current_record(db, idx, true, [&](uint32_t off) {
    if (size <= 0) return 1;  // no room: nothing is read and the field array stays as it was
    int32_t len = 0;
    if (I_stored_length(db, off, &len) < 0) return -1;
    if (len <= size) {
      if (I_read_rec(db, off, static_cast<uint32_t>(len), buf) < 0) return -1;
      return I_mark_fields(db, buf, static_cast<uint32_t>(len), fields) == db->nfields ? 1 : damaged(db, off);
    }
    if (I_read_rec(db, off, static_cast<uint32_t>(size - 1), buf) < 0) return -1;
    buf[size - 1] = 0;
    return 1;
  });
}

int32_t get_rec2(Db *db, Index *idx, void *const *dests, const int32_t *widths) {
  set_errno(Err::kNone);
  if (dests == nullptr) return refuse_null();
  return with_current_record(db, idx, true, [&](uint32_t off) {
    const int32_t len = read_into_rbuf(db, off);
    if (len < 0) return -1;
    uint32_t at = 0;
    for (int32_t f = 0; f < db->nfields; ++f) {
      const uint32_t w = I_field_width(db, f, db->rbuf.data() + at, static_cast<uint32_t>(len) - at);
      if (w == 0) return damaged(db, off);
      if (widths != nullptr && w > static_cast<uint32_t>(widths[f] < 0 ? 0 : widths[f])) {
        QRX_ERROR("Field %d of the record at %d is %d bytes, more than %d", static_cast<int>(f),
                  static_cast<int>(off), static_cast<int>(w), static_cast<int>(widths[f]));
        set_errno(Err::kFieldTooLong);
        return -1;
      }
      if (dests[f] == nullptr) return refuse_null();
      std::memcpy(dests[f], db->rbuf.data() + at, w);
      at += w;
    }
    return 1;
  });
}

int32_t read_rec(Db *db, Index *idx, uint8_t *buf, uint32_t size, uint32_t *len) {
  set_errno(Err::kNone);
  if (len == nullptr || (buf == nullptr && size > 0)) return refuse_null();
  return with_current_record(db, idx, false, [&](uint32_t off) {
    QRX_DETAIL("Retrieving record at offset %d for index %p", static_cast<int>(off),
               static_cast<void *>(idx));
    uint32_t n = static_cast<uint32_t>(db->minreclen - 4), data = n;
    if (db->fixedlen == 1) {
      // Fixed-width records: their length is known, the length word is not read.
      if (!I_grow_rbuf(db, uint64_t{n} + 5) || I_read_rec(db, off, n, db->rbuf.data()) < 0) return -1;
    } else {
      const int32_t stored = read_into_rbuf(db, off);
      if (stored < 0) return -1;
      n = static_cast<uint32_t>(stored), data = 0;
      for (int32_t f = 0; f < db->nfields; ++f) {
        const uint32_t w = I_field_width(db, f, db->rbuf.data() + data, n - data);
        if (w == 0) return damaged(db, off);
        data += w;
      }
    }
    *len = data;
    if (size > 0) std::memcpy(buf, db->rbuf.data(), data < size ? data : size);
    return 1;
  });
}

int32_t get_reclen(Db *db, Index *idx, uint32_t *len) {
  set_errno(Err::kNone);
  if (len == nullptr) return refuse_null();
  *len = 0;
  return with_current_record(db, idx, false, [&](uint32_t off) {
    int32_t stored = 0;
    if (I_stored_length(db, off, &stored) < 0) return -1;
    *len = static_cast<uint32_t>(stored);
    return 1;
  });
}

}  // namespace qrx::isam
