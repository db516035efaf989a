// open.cc - database and index objects: iopen_db with its open lock, the index file and its
// descriptions, the verification after an unclean close, iclose_db, iflush_db, ihandle, idbhandle,
// iopen_index, iclose_index, and the lock helpers every ISAM operation uses.
//
// Lock order, outermost first: the open lock (iopen_db only), a database's mutex, the anchor's mutex. The
// anchor's mutex is released before a database mutex is waited for. While isamexit runs it holds the
// anchor's mutex and closes databases with the close steps below, which then take and release nothing.
#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "cbt/codec.h"
#include "host/qrxmem.h"
#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

std::mutex g_open_lock;  // makes the look-up and creation of a database object one step

volatile int32_t qrxismsgo = 0;  // once word of the message base set-up
void SetMsgBase(void *) {
  (void)OSV1_LocateEnv("QRX_QRXMSGBASE");
}
constexpr char kCatalog[] = "QRXMSENU";

// Writes catalog message `id` with one insert, after setting up the message base once.
void catalog_message(const char *id, const char *insert) {
  OSV1_InitializeOnce(&qrxismsgo, &SetMsgBase, nullptr, __FILE__, __LINE__);
  QRXMS_Catalog *cat = nullptr;
  if (qrxmsom(kCatalog, sizeof kCatalog - 1, &cat) != 0) return;
  const char *inserts[1] = {insert};
  qrxmswm(cat, id, 1, inserts);
  qrxmscm(cat);
}

bool on_dblist(Anchor *a, const Db *db) {
  for (const Db *d = a->dblist; d != nullptr; d = d->next)
    if (d == db) return true;
  return false;
}

// The database this thread last found on dblist, and the anchor's removal count at that moment: while
// no object has left the list since, it is on the list still, and the list need not be walked again.
thread_local const Db *t_checked_db = nullptr;
thread_local uint64_t t_checked_at = 0;

// Checks db (under the anchor's mutex unless this thread found it there last and nothing has left the
// list since); with `lock`, then takes its mutex (after releasing the anchor's).
bool check_db(Db *db, bool lock, bool closing) {
  Anchor *a = anchor_peek();
  const bool known = a != nullptr && db != nullptr && db == t_checked_db &&
                     a->removals.load(std::memory_order_acquire) == t_checked_at;
  if (!known) {
    std::unique_lock<std::mutex> g;
    if (a != nullptr) g = std::unique_lock<std::mutex>(a->mutex);
    if (a == nullptr || !on_dblist(a, db)) {
      QRX_ERROR("Invalid DB object detected");
      set_errno(Err::kBadDb);
      return false;
    }
    t_checked_db = db;
    t_checked_at = a->removals.load(std::memory_order_relaxed);
  }
  if (!lock) return true;
  QRX_DETAIL("Obtaining lock %p %d %s", static_cast<void *>(&db->mutex), static_cast<int>(db->usecount),
             closing ? " for CloseDB." : "");
  db->mutex.lock();
  QRX_DETAIL("Obtained  lock %p %d %s", static_cast<void *>(&db->mutex), static_cast<int>(db->usecount),
             closing ? " for CloseDB." : "");
  if (closing) {
    // A database that is not open has nothing to close; a count below zero would make every later
    // open wait for it forever.
    if (db->usecount <= 0) {
      db->mutex.unlock();
      QRX_ERROR("Database %s is not open", db->datafile.c_str());
      set_errno(Err::kBadDb);
      return false;
    }
    db->usecount -= 1;
  }
  return true;
}

// Decimal number at p; p moves past it.
int32_t read_number(const char *&p) {
  int64_t v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) v = v > INT32_MAX ? v : v * 10 + (*p - '0');
  return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v);
}

}  // namespace

void link_front(Index &head, Index *idx) {
  idx->next = head.next;
  idx->prev = &head;
  head.next->prev = idx;
  head.next = idx;
  if (idx->db != nullptr && &head == &idx->db->indexes) I_index_table(idx->db);
}

void unlink_index(Index *idx) {
  idx->prev->next = idx->next;
  idx->next->prev = idx->prev;
  idx->next = idx->prev = nullptr;
  if (idx->db != nullptr && idx->db->numbered[static_cast<uint8_t>(idx->number)] == idx)
    I_index_table(idx->db);
}

int32_t free_index(Index *idx) {
  int32_t rc = 1;
  if (idx->tree != nullptr && cbclose(idx->tree) != 1) {
    set_errno(Err::kCbt);
    rc = -1;
  }
  if (idx->next != nullptr) unlink_index(idx);
  delete idx;
  return rc;
}

bool I_parse_spec(const char *spec, std::string *name, int32_t *start, int32_t *length) {
  *name = spec;
  *start = *length = 0;
  const size_t colon = name->find(':');
  if (colon == std::string::npos) return false;
  const char *q = spec + colon + 1;
  *length = read_number(q);
  if (*q == ',') {
    ++q;
    *start = *length;
    *length = read_number(q);
  }
  if (*length != 0) name->resize(colon);
  return true;
}

namespace {

bool in_list(const Index &head, const Index *idx) {
  for (const Index *i = head.next; i != &head; i = i->next)
    if (i == idx) return true;
  return false;
}

// The "Physical Index" of a database: number 0, every field a key field, no tree.
Index *physical_index(Db *db) {
  std::unique_ptr<Index> idx(new (std::nothrow) Index);
  if (idx == nullptr) return nullptr;
  idx->number = 0;
  idx->db = db;
  idx->nkeyfields = db->nfields;
  try {
    idx->name = kPhysicalIndex;
    idx->keyfields.resize(static_cast<size_t>(db->nfields));
    idx->keyplan.reserve(idx->keyfields.size());
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  for (int32_t f = 0; f < db->nfields; ++f) idx->keyfields[static_cast<size_t>(f)] = f;
  return idx.release();
}

// Case-insensitive equality of two field names.
bool same_name(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

// Key fields and segments of an index from its description key (key[0] 0x00, the name, the
// specifications). 1, or -1 (isam_errno 12: a damaged key or a field the database does not have).
int32_t parse_description(Db *db, Index *idx, const uint8_t *key, uint32_t len) {
  const char *p = reinterpret_cast<const char *>(key) + 1, *end = reinterpret_cast<const char *>(key) + len;
  p += std::strlen(p) + 1;  // the caller checked that the name ends inside the key
  for (const char *c = idx->name.c_str(); (c = std::strchr(c, ',')) != nullptr; ++c)
    if (c[1] == 'U' || c[1] == 'u') idx->unique += 1;
  if (idx->number == 0) {
    idx->nkeyfields = db->nfields;
    for (int32_t f = 0; f < db->nfields; ++f) idx->keyfields.push_back(f);
    return 1;
  }
  bool segmented = false;
  for (; p < end; p += std::strlen(p) + 1) {
    if (std::memchr(p, '\0', static_cast<size_t>(end - p)) == nullptr) {
      QRX_ERROR("Description of index %s is damaged", idx->name.c_str());
      set_errno(Err::kCorrupt);
      return -1;
    }
    std::string spec;
    int32_t start = 0, length = 0;
    if (I_parse_spec(p, &spec, &start, &length) && !segmented) {
      // The array starts at the first specification with a ':', the first one included.
      idx->segments.assign(idx->keyfields.size(), {0, 0}), segmented = true;
    }
    if (segmented) idx->segments.push_back({start, length});
    int32_t field = -1;
    for (int32_t f = 0; f < db->nfields && field < 0; ++f)
      if (same_name(spec.c_str(), db->fieldnames[f])) field = f;
    if (field < 0) {
      QRX_ERROR("No match for %s was found", spec.c_str());
      set_errno(Err::kCorrupt);
      return -1;
    }
    idx->keyfields.push_back(field);
  }
  idx->nkeyfields = static_cast<int32_t>(idx->keyfields.size());
  return 1;
}

}  // namespace

Index *make_index(Db *db, const uint8_t *key, uint32_t len, uint32_t item) {
  if (len < 2 || key[0] != kDescPrefix || std::memchr(key + 1, '\0', len - 1) == nullptr ||
      item > kMaxIndexNumber) {
    QRX_ERROR("Index description of %s is damaged", db->idxfile.c_str());
    set_errno(Err::kCorrupt);
    return nullptr;
  }
  std::unique_ptr<Index> idx(new (std::nothrow) Index);
  if (idx == nullptr) {
    QRX_ERROR("Unable to allocate index object");
    set_errno(Err::kNoMemory);
    return nullptr;
  }
  idx->number = static_cast<int32_t>(item);
  idx->db = db;
  try {
    idx->name = reinterpret_cast<const char *>(key) + 1;
  } catch (const std::bad_alloc &) {
    QRX_ERROR("Unable to allocate index object");
    set_errno(Err::kNoMemory);
    return nullptr;
  }
  if (idx->number > 0) {
    idx->tree = cbopen(db->idxfile.c_str(), db->mode, &I_compare);
    if (idx->tree == nullptr) {
      QRX_ERROR("Unable to open index %s", idx->name.c_str());
      set_errno(Err::kCbt);
      return nullptr;
    }
  }
  // The key tables grow as the description is read; running out of memory there fails like a damaged
  // description, with the tree closed again.
  int32_t parsed = -1;
  try {
    const int32_t rc = parse_description(db, idx.get(), key, len);
    idx->keyplan.reserve(idx->keyfields.size());
    parsed = rc;
  } catch (const std::bad_alloc &) {
    set_errno(Err::kNoMemory);
  }
  if (parsed < 0) {
    QRX_ERROR("Unable to get description of index %s", idx->name.c_str());
    if (idx->tree != nullptr) cbclose(idx->tree);
    return nullptr;
  }
  return idx.release();
}

namespace {

// Reads the key at the cursor of t into the thread's keybuf: its length, or -1 (isam_errno 9).
int32_t read_key(cbt_tree *t, ThreadData *td) {
  uint32_t len = 0;
  if (cbkeylen(t, &len) != 1 || len > td->keybufsize || cbkey(t, td->keybuf, td->keybufsize) != 1) {
    set_errno(Err::kCbt);
    return -1;
  }
  return static_cast<int32_t>(len);
}

// Verifies the index file after an unclean close, with the notice and catalog message of the result.
void verify_index_file(Db *db) {
  curdb() = db;
  const bool ok = qrxcbchk(db->desctree) == 1;
  const char *name = db->idxfile.c_str();
  if (ok) {
    QRX_NOTICE(20, "Verify of %s successful", name);
  } else {
    QRX_NOTICE(30, "Verify of %s failed", name);
  }
  catalog_message(ok ? "QRX0002" : "QRX0003", name);
}

}  // namespace

int32_t open_index_file(Db *db, const std::string &idxname) {
  db->idxfile = idxname;
  ThreadData *td = I_GetThreadData();
  if (td == nullptr || td->keybuf == nullptr) {
    QRX_ERROR("Unable to locate global data");
    set_errno(Err::kNoMemory);
    return -1;
  }
  curdb() = db;
  bool unclean = false;
  for (cbt_tree **t : {&db->desctree, &db->holetree}) {
    *t = cbopen(db->idxfile.c_str(), db->mode, &I_compare);
    if (*t == nullptr) {
      QRX_ERROR("Unable to open index file %s", db->idxfile.c_str());
      set_errno(*qrxcbecd() == 13 ? Err::kBlockSize : Err::kCorrupt);
      return -1;
    }
    unclean = unclean || *qrxcbecd() == 20;
  }
  uint32_t item = 0;
  for (int32_t r = cbnext(db->desctree, &item); r != -3; r = cbnext(db->desctree, &item)) {
    if (r != 1) {
      set_errno(Err::kCbt);
      return -1;
    }
    const int32_t len = read_key(db->desctree, td);
    if (len < 0) return -1;
    if (len > 0 && td->keybuf[0] != kDescPrefix) break;
    Index *idx = make_index(db, td->keybuf, static_cast<uint32_t>(len), item);
    if (idx == nullptr) {
      QRX_ERROR("Unable to open index %s", len > 1 ? reinterpret_cast<const char *>(td->keybuf) + 1 : "");
      return -1;
    }
    link_front(db->indexes, idx);
    db->nindexes += 1;
  }
  if (unclean) verify_index_file(db);
  return 1;
}

int32_t close_index_side(Db *db) {
  int32_t rc = 1;
  db->idxfile.clear();
  for (cbt_tree **t : {&db->desctree, &db->holetree}) {
    if (*t != nullptr && cbclose(*t) != 1) {
      set_errno(Err::kCbt);
      rc = -1;
    }
    *t = nullptr;
  }
  while (db->privindexes.next != &db->privindexes)
    if (free_index(db->privindexes.next) < 0) rc = -1;
  while (db->indexes.next != &db->indexes) {
    if (free_index(db->indexes.next) < 0) rc = -1;
    db->nindexes -= 1;
  }
  return rc;
}

namespace {

// Closes the data side and releases the database lock (neither lock is touched while exiting).
int32_t close_data_side(Db *db, bool exiting) {
  int32_t rc = 1;
  {
    std::unique_lock<std::mutex> g;
    Anchor *a = anchor_peek();
    if (!exiting && a != nullptr) g = std::unique_lock<std::mutex>(a->mutex);
    I_data_cache_end(db);
    if (db->fd >= 0) {
      if (db->mode == 2) qrxcb_UnlockFile();
      if (qrxcb_close(db->fd) == -1) {
        set_errno(Err::kIo);
        rc = -1;
      }
      db->fd = -1;
    }
    db->fieldptrs.clear();
    db->desc.clear();
    db->types.clear();
    db->lengths.clear();
    db->widths.clear();
    db->fieldnames.clear();
    db->nfields = 0;
    db->rbuf.clear();
    db->rbuf.shrink_to_fit();
    db->datastart = 0;
    db->minreclen = 5;
  }
  if (!exiting) unlock(db);
  return rc;
}

// Opens the data file and reads its header. 1, or -1 with isam_errno set.
int32_t open_data_file(Db *db, const char *dataname) {
  // Walks of dblist compare datafile under the anchor's mutex alone, so it is written only while the
  // object is not on the list yet: a cached object was found by this very name.
  if (db->datafile != dataname) db->datafile = dataname;
  db->fd = qrxcb_open(dataname, db->mode == 2 ? O_RDWR : O_RDONLY, 0);
  if (db->fd < 0) {
    QRX_ERROR("Unable to open data file %s", dataname);
    set_errno(Err::kNotFound);
    return -1;
  }
  // Only a read/write open takes the lock: readers never change the file.
  if (db->mode == 2 && qrxcb_LockFile(db->fd) == -1) {
    QRX_ERROR("Unable to obtain file lock for %s", dataname);
    qrxcb_close(db->fd);
    db->fd = -1;
    set_errno(Err::kInUse);
    return -1;
  }
  if (I_read_header(db) < 0) {
    QRX_ERROR("Unable to read database header");
    return -1;
  }
  I_data_cache_start(db);
  return 1;
}

}  // namespace

bool file_exists(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

namespace {

// Finds the database object of that data file name with its lock held and usecount raised, waiting while
// it is being taken away (negative usecount). Null (isam_errno 1) when there is none.
Db *lock_dbname(Anchor *a, const char *dataname) {
  for (;;) {
    Db *db = nullptr;
    {
      std::lock_guard<std::mutex> g(a->mutex);
      for (Db *d = a->dblist; d != nullptr && db == nullptr; d = d->next)
        if (d->datafile == dataname) db = d;
    }
    if (db == nullptr) {
      set_errno(Err::kBadDb);
      return nullptr;
    }
    db->mutex.lock();
    if (db->usecount >= 0) {
      db->usecount += 1;
      return db;
    }
    db->mutex.unlock();
    OSV1_Sleep(1);
  }
}

// The flush of iflush_db and iclose_db, with the database lock held.
int32_t flush_steps(Db *db) {
  curdb() = db;
  int32_t rc = 1;
  // Any handle on the index file writes the whole file; the description handle also covers a database
  // whose only index is the "Physical Index" (its free-space keys).
  if (db->desctree != nullptr && cbflush(db->desctree) != 1) {
    QRX_ERROR("Flush of index %s failed", db->idxfile.c_str());
    set_errno(Err::kCbt);
    rc = -1;
  }
  for (Index *i = db->indexes.next; i != &db->indexes; i = i->next) {
    if (i->number > 0 && cbflush(i->tree) != 1) {
      QRX_ERROR("Flush of index %s failed", i->name.c_str());
      set_errno(Err::kCbt);
      rc = -1;
    }
  }
  if (db->fd >= 0 && qrxcb_flush(db->fd) != 1) {
    catalog_message("QRX0101", db->datafile.c_str());
    QRX_ERROR("Database flush failed");
    set_errno(Err::kIo);
    rc = -1;
  }
  return rc;
}

}  // namespace

bool I_compareIndexName(const std::string &stored, const char *name) {
  const size_t n = std::strlen(name);
  if (stored.size() == n) return stored == name;
  const size_t comma = stored.find(',');
  return comma != std::string::npos && comma == n && stored.compare(0, n, name) == 0;
}

bool lock_db(Db *db) {
  return check_db(db, true, false);
}

bool lock_db_to_close(Db *db) {
  return check_db(db, true, true);
}

bool valid_db(Db *db) {
  return check_db(db, false, false);
}

bool lock_index(Db *db, Index *idx, int32_t mode) {
  if (!lock_db(db)) return false;
  const bool ok = mode == kPrivateOnly ? in_list(db->privindexes, idx)
                  : mode == kEither    ? in_list(db->privindexes, idx) || in_list(db->indexes, idx)
                                       : in_list(db->indexes, idx);
  if (!ok) {
    QRX_ERROR("Invalid Index object detected %p", static_cast<void *>(idx));
    set_errno(Err::kBadIndex);
    unlock(db);
  }
  return ok;
}

void unlock(Db *db) {
  QRX_DETAIL("Releasing lock %p %d %s", static_cast<void *>(&db->mutex), static_cast<int>(db->usecount),
             db->datafile.c_str());
  db->mutex.unlock();
}

int32_t close_db_steps(Db *db, bool exiting) {
  int32_t rc = 1, first = 0;
  if (db->mode == 2 && flush_steps(db) < 0) rc = -1, first = isam_errno();
  if (db->usecount > 0) {
    if (!exiting) unlock(db);
  } else {
    if (close_index_side(db) < 0 && rc == 1) rc = -1, first = isam_errno();
    if (close_data_side(db, exiting) < 0 && rc == 1) rc = -1, first = isam_errno();
  }
  if (rc < 0) isam_errno() = first;
  return rc;
}

// ---------------------------------------------------------------------------------------------------
// Public operations (entry points in api.cc).
// ---------------------------------------------------------------------------------------------------

Db *open_db(const char *name, int32_t mode) {
  set_errno(Err::kNone);
  char dataname[kNameBuf], idxname[kNameBuf];
  if (!make_file_names(name, dataname, idxname)) {
    QRX_ERROR("Unable to make names for %s", name != nullptr ? name : "");
    set_errno(Err::kName);
    return nullptr;
  }
  Anchor *a = anchor_get();
  if (a == nullptr) {
    set_errno(Err::kNoMemory);
    return nullptr;
  }
  {
    // The layer starts on the first open (and on the first after a full isamexit), sized for the file. A
    // missing index file is not asked for its block size: the file open behind that retries for seconds.
    std::lock_guard<std::mutex> g(a->mutex);
    const int32_t blk = a->initcnt == 0 && file_exists(idxname) ? cbblksize(idxname) : 0;
    if (init_locked(a, 5, buffer_size_for(blk > 0 ? static_cast<uint32_t>(blk) : 0), true) < 0) {
      QRX_ERROR("isaminit failed");
      return nullptr;
    }
  }
  ThreadData *td = I_GetThreadData();
  if (td == nullptr) {
    set_errno(Err::kNoMemory);
    return nullptr;
  }
  // A key may be as long as one buffer of the pool. A thread record made before the pool existed, or
  // while a smaller one did, has a smaller key buffer: it grows here, before any key is read into it.
  if (const uint32_t size = cbbufsize(); td->keybuf == nullptr || td->keybufsize < size) {
    auto *grown = static_cast<uint8_t *>(qrx::mem::resize(td->keybuf, size > 0 ? size : 256));
    if (grown == nullptr) {
      set_errno(Err::kNoMemory);
      return nullptr;
    }
    td->keybuf = grown, td->keybufsize = size > 0 ? size : 256;
    QRX_DETAIL("globals = %p, buf_len = %d, buffer = %p", static_cast<void *>(td), static_cast<int>(size),
               static_cast<void *>(grown));
  }
  std::unique_lock<std::mutex> open_lock(g_open_lock, std::defer_lock);
  Db *db = lock_dbname(a, dataname);
  bool fresh = false;
  if (db == nullptr) {
    open_lock.lock();
    db = lock_dbname(a, dataname);
    if (db == nullptr) {
      db = new (std::nothrow) Db;
      if (db == nullptr) {
        QRX_ERROR("Unable to make db object for %s", name);
        set_errno(Err::kNoMemory);
        return nullptr;
      }
      db->usecount = 1;
      db->mutex.lock();
      fresh = true;
    }
  }
  set_errno(Err::kNone);
  bool locked = true;  // the database lock is released exactly once, on every path
  Db *result = db;
  if (db->usecount == 1) {
    db->mode = (mode & 2) != 0 ? 2 : 1;
    bool data_ok = false, ok = false;
    // The header's and the indexes' tables grow as they are read: running out of memory there fails
    // the open like any other step, so that the half-open object is taken apart below.
    try {
      data_ok = open_data_file(db, dataname) > 0;
      ok = data_ok;
      if (!ok) QRX_ERROR("Unable to open data file %s for database %s", dataname, name);
      // Only a database without an index file opens with the physical index alone: one whose index file
      // exists but cannot be read would have records added behind its indexes' back.
      if (ok && !file_exists(idxname)) {
        Index *phys = physical_index(db);
        if (phys == nullptr) set_errno(Err::kNoMemory);
        ok = phys != nullptr;
        if (ok) link_front(db->indexes, phys), db->nindexes = 1;
      } else if (ok && open_index_file(db, idxname) < 0) {
        ok = false;
      }
    } catch (const std::bad_alloc &) {
      QRX_ERROR("Out of memory opening database %s", name);
      set_errno(Err::kNoMemory);
      ok = false;
    }
    if (!ok && data_ok) QRX_ERROR("Unable to access indexes %s for database %s", idxname, name);
    if (!ok) {
      const int32_t why = isam_errno();
      close_index_side(db);
      db->usecount -= 1;
      close_data_side(db, false);  // releases the database lock
      locked = false;
      isam_errno() = why;
      if (fresh) delete db;
      result = nullptr;
    } else if (fresh) {
      std::lock_guard<std::mutex> g(a->mutex);
      db->next = a->dblist;
      a->dblist = db;
    }
  }
  if (result != nullptr && (mode & 2) != 0 && db->mode == 1) {
    db->usecount -= 1;
    QRX_ERROR("DB %s cannot be opened Read/Write, already opened for Read Only", name);
    set_errno(Err::kName);
    result = nullptr;
  }
  if (locked) unlock(db);
  return result;
}

int32_t close_db(Db *db) {
  set_errno(Err::kNone);
  if (!lock_db_to_close(db)) return -1;
  return close_db_steps(db, false);
}

int32_t flush_db(Db *db) {
  set_errno(Err::kNone);
  if (!lock_db(db)) {
    set_errno(Err::kBadDb);
    return -1;
  }
  const int32_t rc = flush_steps(db);
  unlock(db);
  return rc;
}

Db *db_handle(const char *name) {
  set_errno(Err::kNone);
  char dataname[kNameBuf];
  if (I_mkdata_filename(name, dataname, sizeof dataname) == nullptr) {
    set_errno(Err::kName);
    return nullptr;
  }
  Anchor *a = anchor_peek();
  if (a != nullptr) {
    std::lock_guard<std::mutex> g(a->mutex);
    for (Db *d = a->dblist; d != nullptr; d = d->next)
      if (d->datafile == dataname) return d;
  }
  set_errno(Err::kBadDb);
  return nullptr;
}

Index *index_handle(Db *db, const char *name) {
  set_errno(Err::kNone);
  if (!lock_db(db)) return nullptr;
  Index *found = nullptr;
  for (Index *i = db->indexes.next; name != nullptr && i != &db->indexes && found == nullptr; i = i->next)
    if (I_compareIndexName(i->name, name)) found = i;
  if (found == nullptr) {
    if (!db->idxfile.empty()) {
      QRX_ERROR("Couldn't locate index %s", name != nullptr ? name : "");
      set_errno(Err::kUnknownIndex);
    } else {
      set_errno(Err::kCorrupt);
    }
  }
  unlock(db);
  return found;
}

Index *open_index(Db *db, const char *name) {
  set_errno(Err::kNone);
  if (!lock_db(db)) return nullptr;
  curdb() = db;
  ThreadData *td = I_GetThreadData();
  Index *idx = nullptr;
  if (td == nullptr || td->keybuf == nullptr) {
    QRX_ERROR("Invalid DB object");
    set_errno(Err::kBadDb);
  } else if (name == nullptr || db->desctree == nullptr) {
    set_errno(db->idxfile.empty() ? Err::kCorrupt : Err::kUnknownIndex);
  } else {
    const size_t n = std::strlen(name);
    uint32_t item = 0;
    bool found = false;
    if (n + 2 > td->keybufsize) {
      set_errno(Err::kKeyTooLong);
    } else {
      td->keybuf[0] = kDescPrefix;
      std::memcpy(td->keybuf + 1, name, n + 1);
      const int32_t st = cbfind(db->desctree, td->keybuf, static_cast<uint32_t>(n + 2), &item);
      int32_t len = -1;
      if (st != 2 && st != 3) {
        QRX_ERROR("Error locating index %s, status = %d", name, st);
      } else if ((len = read_key(db->desctree, td)) < 0) {
        QRX_ERROR("Error Retrieving key information for %s", name);
      } else if (static_cast<size_t>(len) < n + 1 || td->keybuf[0] != kDescPrefix ||
                 std::memcmp(td->keybuf + 1, name, n) != 0) {
        QRX_ERROR("Index name %s does not match index description name %.*s", name,
                  static_cast<int>(len > 1 ? len - 1 : 0), reinterpret_cast<const char *>(td->keybuf) + 1);
      } else {
        found = true;
        idx = make_index(db, td->keybuf, static_cast<uint32_t>(len), item);
        if (idx != nullptr) link_front(db->privindexes, idx);
      }
    }
    if (!found && isam_errno() != static_cast<int32_t>(Err::kKeyTooLong)) {
      QRX_ERROR("Couldn't locate index %s", name);
      set_errno(Err::kUnknownIndex);
    }
  }
  unlock(db);
  return idx;
}

int32_t close_index(Db *db, Index *idx) {
  set_errno(Err::kNone);
  if (!lock_index(db, idx, kPrivateOnly)) return -1;
  const int32_t rc = free_index(idx);
  unlock(db);
  return rc;
}

}  // namespace qrx::isam
