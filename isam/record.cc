// record.cc - records and free-space holes in the data file: placing a record (in the largest hole or at
// the end of the file), turning a record's space into a hole merged with its neighbours, fetching a record
// by offset, locating fields in stored data, and the walk over the data file in file order.
//
// Record at offset O: the length word L (i32, big-endian) and L bytes of field values in field order.
// Hole at O: the length word -S and S free bytes. Every hole has a size-hole key (0xFF, S as u32; item O;
// duplicates allowed) and an offset-hole key (0xFE, O as u32; item S) in the index file. Two holes never
// touch: a new hole merges with the hole before it and the hole behind it.
//
// Offsets and lengths stay below 2^31: offset-hole keys order offsets as signed numbers. A free-space key
// is used only when the data file holds the hole it describes (the length word at its offset reads -S),
// so a stale or damaged key never places a record over another one, and a record read from the file must
// lie inside the file and hold every field inside its own length.
//
// A hole's length word is written before its keys are changed. Each record and each hole word is written
// with one write, so a failed write leaves the old bytes as they were.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cbt/blockio/blockio.h"
#include "cbt/codec.h"
#include "host/qrxmem.h"
#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

using Key5 = uint8_t[5];

void hole_key(Key5 &key, uint8_t prefix, uint32_t v) {
  key[0] = prefix;
  codec::store_u32(key, 1, v);
}

int32_t write_word(Db *db, uint32_t off, int32_t value) {
  uint8_t w[4];
  codec::store_u32(w, 0, static_cast<uint32_t>(value));
  if (I_data_write(db, off, w, sizeof w) < 0) {
    QRX_ERROR("Unable to write length word at offset %d in %s", static_cast<int>(off), db->datafile.c_str());
    set_errno(Err::kIo);
    return -1;
  }
  return 1;
}

// 1 when the data file holds a hole of `size` bytes at off (its length word reads -size), 0 when it does
// not, -1 when the word cannot be read (isam_errno 7).
int32_t hole_at(Db *db, uint32_t off, uint32_t size) {
  int32_t len = 0;
  if (off < db->datastart || size == 0 || size >= kOffsetLimit) return 0;
  if (I_reclen(db, off, &len) < 0) return -1;
  return len == -static_cast<int32_t>(size) ? 1 : 0;
}

// The hole whose offset-hole key is at the cursor of t (with its item), when the key is one.
bool hole_at_cursor(cbt_tree *t, uint32_t item, uint32_t *off, uint32_t *size) {
  uint8_t key[6] = {};
  uint32_t len = 0;
  if (cbkeylen(t, &len) != 1 || len != 5 || cbkey(t, key, sizeof key) != 1 || key[0] != kOffsetHolePrefix)
    return false;
  *off = codec::load_u32(key, 1);
  *size = item;
  return true;
}

// The two keys of the hole (osize, ooff) become those of (nsize, noff), its new length word written
// first. kHoleMade; kHoleNotMade when the word could not be written; kHoleUnkeyed when a key could not
// be changed. The old keys then still describe the old hole: the size key is changed back when the
// offset key fails, and a new word written in front of the old hole is cut short to end where the old
// hole begins, so that the old hole is never inside another one.
int32_t change_hole(Db *db, uint32_t osize, uint32_t ooff, uint32_t nsize, uint32_t noff) {
  if (write_word(db, noff, -static_cast<int32_t>(nsize)) < 0) return kHoleNotMade;
  Key5 os, ns, oo, no;
  hole_key(os, kSizeHolePrefix, osize), hole_key(ns, kSizeHolePrefix, nsize);
  hole_key(oo, kOffsetHolePrefix, ooff), hole_key(no, kOffsetHolePrefix, noff);
  const bool sized = cbmodify(db->holetree, os, 5, ooff, ns, 5, noff, 1) == 1;
  if (sized && cbmodify(db->holetree, oo, 5, osize, no, 5, nsize, 1) == 1) return kHoleMade;
  QRX_ERROR("Unable to change free-space keys of %d bytes at %d", static_cast<int>(osize),
            static_cast<int>(ooff));
  if (sized) cbmodify(db->holetree, ns, 5, noff, os, 5, ooff, 1);
  if (noff < ooff) write_word(db, noff, -static_cast<int32_t>(ooff - noff - 4));
  set_errno(Err::kCbt);
  return kHoleUnkeyed;
}

// Removes both keys of the hole (size, off): true, or false (isam_errno 9).
bool remove_hole(Db *db, uint32_t off, uint32_t size) {
  Key5 s, o;
  hole_key(s, kSizeHolePrefix, size), hole_key(o, kOffsetHolePrefix, off);
  if (cbdelete(db->holetree, s, 5, off) != 1 || cbdelete(db->holetree, o, 5, size) != 1) {
    QRX_ERROR("Unable to remove free-space keys of %d bytes at %d", static_cast<int>(size),
              static_cast<int>(off));
    set_errno(Err::kCbt);
    return false;
  }
  return true;
}

// The largest hole: true with its size and offset, false when there is none or when *failed is set (the
// B-tree layer or the read of the hole's word failed). A key whose hole the data file does not hold is
// reported and dropped.
bool largest_hole(Db *db, uint32_t *size, uint32_t *off, bool *failed) {
  uint32_t item = 0, len = 0;
  uint8_t key[10] = {};
  const int32_t r = cbtail(db->holetree, &item);
  if (r == 1 && cbkeylen(db->holetree, &len) == 1 && cbkey(db->holetree, key, sizeof key) == 1) {
    if (key[0] != kSizeHolePrefix || len != 5) return false;
    *size = codec::load_u32(key, 1), *off = item;
    const int32_t held = hole_at(db, *off, *size);
    if (held != 0) {
      *failed = held < 0;
      return held > 0;
    }
    QRX_ERROR("Free-space key of %d bytes at %d does not describe %s; dropped", static_cast<int>(*size),
              static_cast<int>(*off), db->datafile.c_str());
    remove_hole(db, *off, *size);
    return false;
  }
  if (r == -2 || r == -3) return false;  // an empty index file
  set_errno(Err::kCbt);
  *failed = true;
  return false;
}

// The size of the file open on fd, or -1.
int64_t stat_size(int32_t fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

int32_t I_data_read(Db *db, uint64_t off, void *buf, uint32_t len) {
  if (db->cache) return db->cache->read(db->fd, db->datasize, off, static_cast<uint8_t *>(buf), len);
  return blockio::read_at(db->fd, off, buf, len);
}

int32_t I_data_write(Db *db, uint64_t off, const void *buf, uint32_t len) {
  const int32_t rc = blockio::write_at(db->fd, off, buf, len);
  if (!db->cache) return rc;
  if (rc == 1) {
    db->cache->wrote(off, static_cast<const uint8_t *>(buf), len);
    db->datasize = std::max(db->datasize, off + len);
    return 1;
  }
  // Part of the bytes may have reached the file: nothing cached is trusted any more.
  const int64_t size = stat_size(db->fd);
  if (size < 0) {
    I_data_cache_end(db);
  } else {
    db->cache->clear();
    db->datasize = static_cast<uint64_t>(size);
  }
  return rc;
}

int64_t I_data_size(Db *db) {
  if (db->cache) return static_cast<int64_t>(db->datasize);
  const int64_t size = stat_size(db->fd);
  if (size < 0) set_errno(Err::kIo);
  return size;
}

bool I_data_cut(Db *db, uint64_t size) {
  const bool cut = ::ftruncate(db->fd, static_cast<off_t>(size)) == 0;
  if (db->cache) {
    db->cache->clear();
    const int64_t now = stat_size(db->fd);
    if (now < 0)
      I_data_cache_end(db);
    else
      db->datasize = static_cast<uint64_t>(now);
  }
  return cut;
}

void I_data_cache_start(Db *db) {
  db->cache.reset();
  const uint32_t pages = data_cache_pages();
  if (db->mode != 2 || pages == 0) return;
  const int64_t size = stat_size(db->fd);
  if (size < 0) return;
  db->cache.reset(new (std::nothrow) DataCache(pages));
  db->datasize = static_cast<uint64_t>(size);
}

void I_data_cache_end(Db *db) {
  db->cache.reset();
  db->datasize = 0;
}

int32_t I_reclen(Db *db, uint32_t off, int32_t *len) {
  uint8_t w[4];
  if (I_data_read(db, off, w, sizeof w) < 0) {
    set_errno(Err::kIo);
    return -1;
  }
  *len = codec::load_i32(w, 0);
  return 1;
}

int32_t I_stored_length(Db *db, uint32_t off, int32_t *len) {
  if (I_reclen(db, off, len) < 0) return -1;
  if (*len < 0) {
    QRX_NOTICE(20, "Record at %d in %s is deleted!", static_cast<int>(off), db->datafile.c_str());
    set_errno(Err::kNoCurrent);
    return -1;
  }
  const int64_t size = I_data_size(db);
  if (size < 0) return -1;
  if (*len == 0 || uint64_t{off} + 4 + static_cast<uint32_t>(*len) > static_cast<uint64_t>(size)) {
    QRX_ERROR("Record at %d in %s is damaged: length %d", static_cast<int>(off), db->datafile.c_str(),
              static_cast<int>(*len));
    set_errno(Err::kIo);
    return -1;
  }
  return 1;
}

int32_t I_read_rec(Db *db, uint32_t off, uint32_t len, uint8_t *buf) {
  const uint64_t at = uint64_t{off} + 4;
  if (I_data_read(db, at, buf, len) < 0) {
    QRX_ERROR("Error reading record at offset %d", static_cast<int>(at));
    set_errno(Err::kIo);
    return -1;
  }
  return static_cast<int32_t>(len);
}

int32_t I_mark_fields(const Db *db, const uint8_t *data, uint32_t len, uint8_t **ptrs) {
  uint32_t at = 0;
  int32_t found = 0;
  for (; found < db->nfields; ++found) {
    const uint32_t w = I_field_width(db, found, data + at, len - at);
    if (w == 0) break;
    ptrs[found] = const_cast<uint8_t *>(data + at);
    at += w;
  }
  for (int32_t f = found; f <= db->nfields; ++f) ptrs[f] = nullptr;
  return found;
}

int64_t I_record_width(const Db *db, const uint8_t *const *fields) {
  uint64_t total = 0;
  for (int32_t f = 0; f < db->nfields; ++f) {
    if (fields[f] == nullptr) {
      QRX_ERROR("Field %d has no value", static_cast<int>(f));
      set_errno(Err::kNoField);
      return -1;
    }
    total += I_value_width(db, f, fields[f]);
    if (total + 8 >= kOffsetLimit) {
      QRX_ERROR("Record too long for %s", db->datafile.c_str());
      set_errno(Err::kIo);
      return -1;
    }
  }
  return static_cast<int64_t>(total);
}

bool I_grow_rbuf(Db *db, uint64_t n) {
  if (db->rbuf.size() >= n) return true;
  try {
    db->rbuf.resize(n);
    return true;
  } catch (const std::exception &) {
    QRX_ERROR("Unable to allocate %d bytes for record buffer", static_cast<int>(n));
    set_errno(Err::kNoMemory);
    return false;
  }
}

int64_t I_build_record(Db *db, const uint8_t *const *fields, uint32_t stored, uint32_t extra) {
  const int64_t total = I_record_width(db, fields);
  if (total < 0 || !I_grow_rbuf(db, uint64_t(total) + 4 + extra + 1)) return -1;
  uint8_t *p = db->rbuf.data();
  codec::store_u32(p, 0, stored);
  uint32_t at = 4;
  for (int32_t f = 0; f < db->nfields; ++f) {
    const uint32_t w = I_value_width(db, f, fields[f]);
    std::memcpy(p + at, fields[f], w);
    at += w;
  }
  return at;
}

uint32_t I_emptyrec(Db *db, uint32_t *need, bool *at_end) {
  const uint32_t d = *need;
  uint32_t size = 0, off = 0;
  bool failed = false;
  const bool hole = db->holetree != nullptr && largest_hole(db, &size, &off, &failed);
  if (failed) return 0;
  *at_end = !hole || d > size;
  if (*at_end) {
    QRX_DETAIL("No hole found. Positioning to end of file");
    const int64_t end = I_data_size(db);
    if (end < 0) return 0;
    if (end < db->datastart || uint64_t(end) + 4 + d >= kOffsetLimit) {
      QRX_ERROR("No room for a record of %d bytes in %s", static_cast<int>(d), db->datafile.c_str());
      set_errno(Err::kIo);
      return 0;
    }
    return static_cast<uint32_t>(end);
  }
  QRX_DETAIL("Hole of size %d found at %d", static_cast<int>(size), static_cast<int>(off));
  if (uint64_t{d} + static_cast<uint32_t>(db->minreclen) <= size)
    return change_hole(db, size, off, size - d - 4, off + d + 4) == kHoleMade ? off : 0;
  *need = size;
  return remove_hole(db, off, size) ? off : 0;
}

int32_t I_add_hole(Db *db, uint32_t off, uint32_t size) {
  Key5 key;
  hole_key(key, kOffsetHolePrefix, off);
  uint32_t item = 0, next = 0, next_size = 0, prev = 0, prev_size = 0;
  const int32_t found = cbfind(db->holetree, key, 5, &item);
  if (found == -1) {
    set_errno(Err::kCbt);
    return kHoleNotMade;
  }
  if (found == 2 || found == 3) hole_at_cursor(db->holetree, item, &next, &next_size);
  if (next == off) {
    // A key for this very offset describes space that holds a record: it is stale.
    QRX_ERROR("Free-space key of %d bytes at %d does not describe %s; dropped", static_cast<int>(next_size),
              static_cast<int>(off), db->datafile.c_str());
    return remove_hole(db, next, next_size) ? I_add_hole(db, off, size) : kHoleNotMade;
  }
  const int32_t back = cbprev(db->holetree, &item);
  if (back == -1) {
    set_errno(Err::kCbt);
    return kHoleNotMade;
  }
  if (back == 1) hole_at_cursor(db->holetree, item, &prev, &prev_size);
  // Neighbours count only when the data file holds them.
  const int32_t next_held = next != 0 ? hole_at(db, next, next_size) : 0;
  const int32_t prev_held = prev != 0 ? hole_at(db, prev, prev_size) : 0;
  if (next_held < 0 || prev_held < 0) return kHoleNotMade;
  if (next_held == 0) next = 0;
  if (prev_held == 0) prev = 0;
  const bool prev_touches = prev != 0 && uint64_t{prev} + prev_size + 4 == off;
  const bool next_touches = next != 0 && uint64_t{off} + size + 4 == next;
  if (prev_touches && next_touches && uint64_t{prev_size} + size + next_size + 8 < kOffsetLimit) {
    // The next hole's keys go first: a failure then leaves it unused, never inside a bigger hole.
    if (!remove_hole(db, next, next_size)) return kHoleNotMade;
    return change_hole(db, prev_size, prev, prev_size + size + next_size + 8, prev);
  }
  if (prev_touches && uint64_t{prev_size} + size + 4 < kOffsetLimit)
    return change_hole(db, prev_size, prev, prev_size + size + 4, prev);
  if (next_touches && uint64_t{size} + next_size + 4 < kOffsetLimit)
    return change_hole(db, next_size, next, size + next_size + 4, off);
  if (write_word(db, off, -static_cast<int32_t>(size)) < 0) return kHoleNotMade;
  Key5 s;
  hole_key(s, kSizeHolePrefix, size);
  if (cbinsert(db->holetree, s, 5, off, 1) != 1) {
    set_errno(Err::kCbt);
    return kHoleUnkeyed;
  }
  if (cbinsert(db->holetree, key, 5, size, 0) != 1) {
    cbdelete(db->holetree, s, 5, off);
    set_errno(Err::kCbt);
    return kHoleUnkeyed;
  }
  return kHoleMade;
}

int32_t I_deldata(Db *db, uint32_t off, uint32_t stored) {
  if (stored == 0 || stored >= kOffsetLimit) {
    QRX_ERROR("Record at %d in %s is damaged: length %d", static_cast<int>(off), db->datafile.c_str(),
              static_cast<int>(stored));
    set_errno(Err::kIo);
    return kHoleNotMade;
  }
  if (db->holetree == nullptr)
    return write_word(db, off, -static_cast<int32_t>(stored)) == 1 ? kHoleMade : kHoleNotMade;
  const int32_t made = I_add_hole(db, off, stored);
  if (made == kHoleUnkeyed)
    QRX_ERROR("Free space of %d bytes at %d in %s is not recorded; it will not be reused",
              static_cast<int>(stored), static_cast<int>(off), db->datafile.c_str());
  return made;
}

namespace {

// Writes the record built in rbuf (bytes in all) at off, the room I_emptyrec gave; on a failed write the
// room is given back: cut off the end of the file, or made a hole again.
int32_t place(Db *db, uint32_t off, uint32_t bytes, uint32_t stored, bool at_end) {
  if (I_data_write(db, off, db->rbuf.data(), bytes) == 1) return 1;
  QRX_ERROR("Unable to write record at offset %d in %s", static_cast<int>(off), db->datafile.c_str());
  if (at_end) {
    if (!I_data_cut(db, off)) QRX_ERROR("Unable to cut %s back to %d", db->datafile.c_str(), off);
  } else {
    I_add_hole(db, off, stored);
  }
  set_errno(Err::kIo);
  return -1;
}

}  // namespace

int32_t I_adddata(Db *db, const uint8_t *const *fields, uint32_t *off) {
  const int64_t total = I_record_width(db, fields);
  if (total < 0) return -1;
  uint32_t stored = static_cast<uint32_t>(total);
  bool at_end = false;
  const uint32_t at = I_emptyrec(db, &stored, &at_end);
  if (at == 0) return -1;
  const int64_t bytes = I_build_record(db, fields, stored, 0);
  if (bytes < 0 || place(db, at, static_cast<uint32_t>(bytes), stored, at_end) < 0) return -1;
  *off = at;
  return 1;
}

int32_t I_insdata(Db *db, const uint8_t *data, uint32_t len, uint32_t *off) {
  if (uint64_t{len} + 8 >= kOffsetLimit) {
    QRX_ERROR("Record too long for %s", db->datafile.c_str());
    set_errno(Err::kIo);
    return -1;
  }
  uint32_t stored = len;
  bool at_end = false;
  const uint32_t at = I_emptyrec(db, &stored, &at_end);
  if (at == 0) return -1;
  if (!I_grow_rbuf(db, uint64_t{stored} + 5)) {
    if (at_end) return -1;
    I_add_hole(db, at, stored);
    set_errno(Err::kNoMemory);
    return -1;
  }
  codec::store_u32(db->rbuf.data(), 0, stored);
  if (len != 0) std::memcpy(db->rbuf.data() + 4, data, len);
  QRX_DETAIL("Ptr = %d, record Length = %d", static_cast<int>(at), static_cast<int>(stored));
  if (place(db, at, len + 4, stored, at_end) < 0) return -1;
  *off = at;
  return 1;
}

ThreadData *I_fetchrec(Db *db, uint32_t off) {
  ThreadData *td = I_GetThreadData();
  if (td == nullptr) {
    set_errno(Err::kNotAllowed);
    return nullptr;
  }
  I_rlserec(td);
  int32_t len = 0;
  if (I_stored_length(db, off, &len) < 0) return nullptr;
  // One piece of memory, kept for the next fetch: the field pointers, then the record's bytes.
  const size_t ptrs = sizeof(uint8_t *) * (size_t(db->nfields) + 1);
  const size_t need = ptrs + static_cast<size_t>(len);
  if (need > td->recmemsize) {
    auto *mem = static_cast<uint8_t *>(qrx::mem::alloc(need));
    if (mem == nullptr) {
      set_errno(Err::kNoMemory);
      return nullptr;
    }
    std::free(td->recmem);
    td->recmem = mem;
    td->recmemsize = static_cast<uint32_t>(need);
  }
  td->recfields = reinterpret_cast<uint8_t **>(td->recmem);
  td->recbuf = td->recmem + ptrs;
  td->reclen = len;
  if (I_read_rec(db, off, static_cast<uint32_t>(len), td->recbuf) < 0) {
    I_rlserec(td);
    return nullptr;
  }
  if (I_mark_fields(db, td->recbuf, static_cast<uint32_t>(len), td->recfields) != db->nfields) {
    QRX_ERROR("Record at %d in %s is damaged: its fields run past its length %d", static_cast<int>(off),
              db->datafile.c_str(), static_cast<int>(len));
    I_rlserec(td);
    set_errno(Err::kIo);
    return nullptr;
  }
  return td;
}

int32_t I_rlserec(ThreadData *td) {
  td->recbuf = nullptr;
  td->recfields = nullptr;
  td->reclen = 0;
  return 1;
}

int32_t I_phys_walk(Db *db, Index *idx, bool head) {
  uint64_t at = db->datastart;
  int32_t len = 0;
  if (!head) {
    if (I_reclen(db, idx->curptr, &len) < 0) return -1;
    at = uint64_t{idx->curptr} + (len < 0 ? -int64_t{len} : len) + 4;
    len = len == 0 ? 0 : -1;  // a zero word ends the walk; otherwise go on reading
  }
  // Every step moves on by at least 4 bytes, so the walk ends at the end of the file.
  while ((head || len != 0) && at < kOffsetLimit && I_reclen(db, static_cast<uint32_t>(at), &len) == 1) {
    head = false;
    if (len > 0) {
      idx->curptr = static_cast<uint32_t>(at);
      idx->status = 1;
      return 1;
    }
    at += uint64_t(-int64_t{len}) + 4;
  }
  idx->status = -3;
  idx->curptr = 0;
  return -3;
}

}  // namespace qrx::isam
