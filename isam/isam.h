// isam.h - records of the ISAM layer: the layer's anchor, the per-thread record, the database and index
// objects, the error numbers, and the internal steps each file of isam/ provides to the others.
//
// Layers: the ISAM layer calls the B-tree layer (qrxcb.h, through its exported operations only) and the
// block-file helpers of cbt/blockio, and the host services; never upward.
// Locks, outermost first: the open lock (only inside iopen_db), a database's mutex (held for the whole of
// every operation on that database, through all its indexes), the anchor's mutex (walks and changes of
// dblist, and the data-side close). The anchor's mutex is never held while waiting for a database mutex.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "isam/datacache.h"
#include "qrxcb.h"
#include "qrxis.h"

namespace qrx::isam {

// Error numbers 0..25 (texts in frame.cc).
enum class Err : int32_t {
  kNone = 0,
  kBadDb = 1,
  kBadIndex = 2,
  kInUse = 3,
  kNoCurrent = 4,
  kNoMemory = 5,
  kNotAllowed = 6,
  kIo = 7,
  kUnknownIndex = 8,
  kCbt = 9,
  kNotFound = 10,
  kKeyTooLong = 11,
  kCorrupt = 12,
  kTooMany = 13,
  kNoMark = 14,
  kRename = 15,
  kName = 16,
  kDupIndex = 17,
  kNoField = 18,
  kCopySelf = 19,
  kBlockSize = 20,
  kIndexExists = 21,
  kInitCalled = 22,
  kFieldTooLong = 23,
  kFieldNumber = 24,
  kKeyNumber = 25
};

// First bytes of the index file's keys: descriptions sort first, then the indexes 1..253, then the
// offset-hole keys, then the size-hole keys.
inline constexpr uint8_t kDescPrefix = 0x00;
inline constexpr uint8_t kOffsetHolePrefix = 0xFE;
inline constexpr uint8_t kSizeHolePrefix = 0xFF;
// Index numbers 1..253: 254 is the offset-hole prefix, whose keys would read as holes.
inline constexpr int32_t kMaxIndexNumber = 253;
// The description of index 0: the byte 0x00, this text and its NUL (16 bytes).
inline constexpr char kPhysicalIndex[] = "Physical Index";
// Longest database name; the file names add their extension.
inline constexpr size_t kMaxName = 255;
// Declared lengths of I_BINARY and I_CHAR fields are at most this; minreclen is capped here too.
inline constexpr int32_t kMaxDeclared = 32767;

}  // namespace qrx::isam

// Index object. Shared ones live on their database's `indexes` list while its files are open; private
// ones (iopen_index) on `privindexes`. Every field is guarded by the database's mutex.
struct isam_index {
  isam_index *next = nullptr;                         // links on the list; the sentinel of an empty list
  isam_index *prev = nullptr;                         //   links to itself
  int32_t number = 0;                                 // index number; 0 for the "Physical Index"
  std::string name;                                   // the name from the description, options included
  cbt_tree *tree = nullptr;                           // own handle on the index file; null for number 0
  isam_db *db = nullptr;                              // the database
  int32_t nkeyfields = 0;                             // number of key fields
  std::vector<int32_t> keyfields;                     // field number of each key field, in key order
  uint8_t unique = 0;                                 // number of U options: non-zero refuses duplicates
  std::vector<std::pair<int32_t, int32_t>> segments;  // (start, length) per key field; empty: none
  std::vector<std::pair<uint8_t, uint32_t>> keyplan;  // per key field: its type and fixed width (texts 0),
                                                      //   set while the object is on `indexes`; room
                                                      //   for every key field reserved when made
  int32_t status = -2;                                // 1 on an entry, -2/-3 off an end, -4 moved under it
  uint32_t curptr = 0;                                // offset of the current record (physical walks)
};

// Database object: one per database name in the process, on the anchor's dblist from its first open
// until the last isamexit. The list link is guarded by the anchor's mutex, everything else by `mutex`.
struct isam_db {
  isam_db *next = nullptr;                      // link on dblist
  std::mutex mutex;                             // the database lock
  std::string datafile;                         // data file name
  int32_t fd = -1;                              // data file descriptor, -1 when closed
  std::unique_ptr<qrx::isam::DataCache> cache;  // pages of the data file; only while open read/write
  uint64_t datasize = 0;                        // size of the data file, kept while `cache` is there
  int32_t nfields = 0;                          // field count
  std::vector<const char *> fieldnames;         // description strings (into `desc`), a null entry behind
  std::vector<uint8_t *> fieldptrs;             // nfields + 1 pointers into a record being split into fields
  std::vector<char> desc;                       // the N bytes of the header's description area
  uint32_t datastart = 0;                       // offset of the first record or hole
  int32_t mode = 0;                             // 1 read-only, 2 read/write
  std::vector<uint8_t> types;                   // field type numbers
  std::vector<int32_t> lengths;                 // declared lengths; empty when no field needs one
  std::vector<uint32_t> widths;                 // stored width of each field: 0 for texts, kNoWidth for
                                                //   an unknown type (set with `types`)
  int32_t minreclen = 5;                        // smallest stored record: 4 + an empty value of each field
  int32_t usecount = 0;                         // opens not yet closed; negative while being taken away
  int32_t fixedlen = 1;                         // 1 when every field has a fixed width
  std::vector<uint8_t> rbuf;                    // record buffer, grown on demand
  std::string idxfile;                          // index file name; empty when no index file is open
  cbt_tree *desctree = nullptr;                 // handle for the index descriptions
  cbt_tree *holetree = nullptr;                 // handle for the free-space keys
  int32_t nindexes = 0;                         // index objects on `indexes`
  isam_index indexes;                           // sentinel of the shared index objects, newest first
  isam_index privindexes;                       // sentinel of the private index objects, newest first
  std::array<const isam_index *, 256> numbered{};  // the first object on `indexes` of each number

  isam_db() {
    indexes.next = indexes.prev = &indexes;
    privindexes.next = privindexes.prev = &privindexes;
  }
};

namespace qrx::isam {

using Db = isam_db;
using Index = isam_index;

// Process-wide anchor qrxisgbl, made once and never freed.
struct Anchor {
  std::mutex mutex;                      // guards initcnt and dblist
  Db *dblist = nullptr;                  // database objects, newest first
  std::atomic<uint64_t> removals{0};     // objects taken off dblist so far (raised before each goes)
  void (*progress)(uint32_t) = nullptr;  // progress callback of long administration calls
  uint32_t initcnt = 0;                  // isaminit calls not yet matched by isamexit
};

// The anchor, made on first use (registers isamexit with atexit); null only without memory.
Anchor *anchor_get();
// The anchor if it has been made, else null.
Anchor *anchor_peek();

// Per-thread record (qrxisthk_OSV1__T), its words in order.
struct ThreadData {
  int32_t isam_errno = 0;         // the thread's error number
  uint32_t names_size = 0;        // size of names_buf (igetindexnames)
  uint32_t desc_size = 0;         // size of desc_buf (igetdesc)
  char *names_buf = nullptr;      // owned
  char *desc_buf = nullptr;       // owned
  Db *curdb = nullptr;            // the database the thread works on (read by I_compare)
  uint8_t *keybuf = nullptr;      // key work buffer, owned
  uint32_t keybufsize = 0;        // its size: the pool's buffer size, or 256
  uint32_t keylen = 0;            // length of the key last built in keybuf
  uint8_t *recbuf = nullptr;      // data of the record last fetched
  int32_t reclen = 0;             // its stored length
  uint8_t **recfields = nullptr;  // its field pointers
  uint8_t *recmem = nullptr;      // owned: the memory recbuf and recfields point into, kept for the next
  uint32_t recmemsize = 0;        //   fetch (its size in bytes)
};

// A needed argument is null: the error line "Missing argument", isam_errno 18, -1.
int32_t refuse_null();
// The calling thread's record once resolved: it lives until the thread ends, so its address is looked
// up once per thread (every key comparison reads curdb through it).
extern constinit thread_local ThreadData *t_thread_data;
// Resolves the record (made on first use) into t_thread_data; null when it cannot be.
ThreadData *I_ResolveThreadData();
// The calling thread's record, made on first use; null when it cannot be.
inline ThreadData *I_GetThreadData() {
  ThreadData *td = t_thread_data;
  return td != nullptr ? td : I_ResolveThreadData();
}
// The process-wide words used when the thread's record cannot be had.
int32_t &errno_fallback();
Db *&curdb_fallback();
// The calling thread's error number (a process-wide word when the record cannot be had).
inline int32_t &isam_errno() {
  ThreadData *td = I_GetThreadData();
  return td != nullptr ? td->isam_errno : errno_fallback();
}
inline void set_errno(Err e) {
  isam_errno() = static_cast<int32_t>(e);
}
// The calling thread's curdb (a second process-wide word as fallback).
inline Db *&curdb() {
  ThreadData *td = I_GetThreadData();
  return td != nullptr ? td->curdb : curdb_fallback();
}

// ---------------------------------------------------------------------------------------------------
// Frame (frame.cc).
// ---------------------------------------------------------------------------------------------------
int32_t isam_init(int32_t count, int32_t size);
// isaminit's body with the anchor's mutex held; with only_first, nothing happens while initcnt is above 0
// (iopen_db and icreate_db start the layer only when nobody has).
int32_t init_locked(Anchor *a, int32_t count, int32_t size, bool only_first);
int32_t isam_exit();
const char *isam_error_text(int32_t code);
// The isaminit buffer size for an index file of this block size: 512, 1024, 4096, 8192 or 32768.
int32_t buffer_size_for(uint32_t blocksize);

// ---------------------------------------------------------------------------------------------------
// Database files (dbfile.cc).
// ---------------------------------------------------------------------------------------------------

// Data and index file names: the name (at most 255 characters) with its extension replaced by ".DB" or
// ".IDX". The output holds at most `size` bytes with its NUL; null when the result does not fit.
char *I_mkdata_filename(const char *name, char *out, size_t size);
char *I_mkindex_filename(const char *name, char *out, size_t size);
// Both names into buffers of kNameBuf bytes; false when either cannot be made.
inline constexpr size_t kNameBuf = kMaxName + 8;
bool make_file_names(const char *name, char (&data)[kNameBuf], char (&idx)[kNameBuf]);

// Type number and declared length of a field description string (declared: 1 for other types).
void I_parse_field(const char *desc, uint8_t *type, int32_t *declared);

// Writes the header (N, F and the description strings) of the data file open read/write on fd. 1, or -1
// with isam_errno 7 (I/O) or 18 (no fields).
int32_t I_write_header(int32_t fd, const char *const *fields);
// Reads and checks the header of the data file open on db->fd into the object's description fields.
// 1, or -1 with isam_errno 7 (cannot read), 12 (damaged: N or F not fitting the file, a description area
// without its NULs) or 5.
int32_t I_read_header(Db *db);

// Appends text and its NUL at *at when both fit before `size`; false otherwise.
bool I_col_str(uint8_t *buf, uint32_t size, uint32_t *at, const char *text);
// The index description key: 0x00, the name and its NUL, each specification and its NUL. Its length, or
// -1 when it does not fit `size` bytes.
int32_t I_mkdesc(const char *name, const char *const *specs, uint8_t *buf, uint32_t size);

// ---------------------------------------------------------------------------------------------------
// Keys (keys.cc).
// ---------------------------------------------------------------------------------------------------

// The compare function of every index file (cbt_keycmp_fn): reads the thread's curdb.
int I_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2);
// Width of a field's stored value at p (texts: length + 1), at most `avail` bytes looked at; 0 when the
// value does not fit in `avail` bytes or the type is unknown.
// (From the widths table made at open: every record read splits its fields through this.)
inline uint32_t I_field_width(const Db *db, int32_t field, const uint8_t *p, uint32_t avail) {
  const uint32_t w = db->widths[static_cast<size_t>(field)];
  if (w != 0) return w <= avail ? w : 0;  // kNoWidth never fits
  const void *z = std::memchr(p, 0, avail);
  return z != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t *>(z) - p) + 1 : 0;
}
// Sets `numbered` of db and the key plan of every shared index object from the `indexes` list. Never
// allocates (the plans fill the room their objects reserved), so linking and unlinking cannot fail.
void I_index_table(Db *db);
// The stored width of field f whatever its value: 0 for texts, kNoWidth for an unknown type.
inline constexpr uint32_t kNoWidth = UINT32_MAX;
uint32_t I_fixed_width(const Db *db, int32_t f);
// Width of a caller's field value (texts: length + 1); 0 for an unknown type.
uint32_t I_value_width(const Db *db, int32_t field, const uint8_t *v);
// Entry key of idx from a record's field pointers (one per database field); a null pointer ends the key.
// Its length, or -1 with isam_errno 11.
int32_t I_mkkey(const Index *idx, const uint8_t *const *fields, uint8_t *out, uint32_t size);
// Search key from caller values (one per key field in key order, a null pointer after the last given).
// Its length, or -1 with isam_errno 11.
int32_t I_gluekey(const Index *idx, const void *const *values, uint8_t *out, uint32_t size);
// Width of value 1 when the two values of that field are equal, else 0.
uint32_t I_compare_fields(const Db *db, const void *v1, const void *v2, int32_t type, int32_t field);
// 1 when the record's key fields equal the key in the thread's keybuf (behind its first byte), else 0.
int32_t I_matchkey(const Index *idx, const uint8_t *const *fields);
// 1 when every field of the fetched record equals the given one, else 0.
int32_t I_matchrec(const Db *db, const uint8_t *const *fetched, const uint8_t *const *fields, int32_t n);
// 1 when the key at idx's cursor belongs to idx (its first byte is the index number), 0 when not, -1
// (isam_errno 9 or 4).
int32_t I_mat_prefix(Index *idx);
// imatchkey and ipartialmatch (contracts in qrxis.h).
int32_t match_key(Db *db, Index *idx, const void *const *values);
int32_t partial_match(Db *db, Index *idx, const void *const *values);

// ---------------------------------------------------------------------------------------------------
// Opening, closing and locking (open.cc).
// ---------------------------------------------------------------------------------------------------

// Database check and lock: true with db->mutex held when db is on dblist (else isam_errno 1 and the
// error line "Invalid DB object detected").
bool lock_db(Db *db);
bool lock_db_to_close(Db *db);  // as lock_db, and lowers usecount by 1
bool valid_db(Db *db);          // the check alone, no lock kept
// List modes of the index checks.
inline constexpr int32_t kPrivateOnly = 1, kEither = 2, kSharedOnly = 0;
// lock_db, and idx belongs to db under the list mode (else isam_errno 2, the lock released).
bool lock_index(Db *db, Index *idx, int32_t mode);
void unlock(Db *db);
// The close steps of iclose_db once usecount has been lowered: flush a database open for writing and,
// when the count is 0, close the index side and then the data side. `exiting` (isamexit, which holds the
// anchor's mutex): no lock is taken or released. Otherwise the caller holds db->mutex and this releases
// it. 1, or -1 with the first failure's isam_errno (the close goes on after a failed flush).
int32_t close_db_steps(Db *db, bool exiting);

// Index objects and the index side, for the operations that add and remove indexes (all with the database
// lock held, curdb set).
// Both keep the database's `numbered` table and the key plans of its shared index objects.
void link_front(Index &head, Index *idx);
void unlink_index(Index *idx);
// Frees an index object, closing its tree and taking it off its list (a failed close: isam_errno 9).
int32_t free_index(Index *idx);
// A key field specification as an index description holds it: the field's name and its text segment. A
// ':' followed by a length other than 0 (with "start," before it when given) ends the name; otherwise the
// whole specification is the name. True when it holds a ':' (the index then has a segment array).
bool I_parse_spec(const char *spec, std::string *name, int32_t *start, int32_t *length);
// An index object from a description key and its item (the index number). Null with isam_errno set.
Index *make_index(Db *db, const uint8_t *key, uint32_t len, uint32_t item);
// Opens the index file and makes an index object per description. 1, or -1 with isam_errno set.
int32_t open_index_file(Db *db, const std::string &idxname);
// Closes the index side: both description handles and every index object (private ones first).
int32_t close_index_side(Db *db);
bool file_exists(const std::string &path);
// ihandle's name match: equal, or equal to the part before the first comma of the stored name.
bool I_compareIndexName(const std::string &stored, const char *name);

// iopen_db, iclose_db, iflush_db, idbhandle, ihandle, iopen_index, iclose_index (contracts in qrxis.h).
Db *open_db(const char *name, int32_t mode);
int32_t close_db(Db *db);
int32_t flush_db(Db *db);
Db *db_handle(const char *name);
Index *index_handle(Db *db, const char *name);
Index *open_index(Db *db, const char *name);
int32_t close_index(Db *db, Index *idx);

// ---------------------------------------------------------------------------------------------------
// Record storage and free-space holes (record.cc). All run under the database lock with curdb set.
// ---------------------------------------------------------------------------------------------------

// Offsets, record lengths and hole sizes stay below this (offset-hole keys order offsets as signed).
inline constexpr uint64_t kOffsetLimit = 0x80000000u;

// Results of the steps that turn space into a hole.
inline constexpr int32_t kHoleMade = 1;
inline constexpr int32_t kHoleNotMade = -1;  // nothing was written: the space is as it was
inline constexpr int32_t kHoleUnkeyed = -2;  // the length word was written, the free-space keys are not

// The data file's bytes: read and written through the database's page cache when it has one. A read of
// bytes past the end of the file fails. 1, or -1 (errno set; isam_errno untouched).
int32_t I_data_read(Db *db, uint64_t off, void *buf, uint32_t len);
int32_t I_data_write(Db *db, uint64_t off, const void *buf, uint32_t len);
// The data file's size, or -1 (isam_errno 7).
int64_t I_data_size(Db *db);
// Cuts the data file to size bytes: true, or false.
bool I_data_cut(Db *db, uint64_t size);
// Starts the page cache of a database whose data file has just been opened for reading and writing
// (nothing for a read-only one, or with the cache turned off), and ends it when the file closes.
void I_data_cache_start(Db *db);
void I_data_cache_end(Db *db);

// The length word at off (isam_errno 7 when it cannot be read). 1 or -1.
int32_t I_reclen(Db *db, uint32_t off, int32_t *len);
// The stored length of the record at off, which must lie inside the data file: 1, or -1 (isam_errno 7;
// 4 with the notice "Record at %d in %s is deleted!" when the space is a hole).
int32_t I_stored_length(Db *db, uint32_t off, int32_t *len);
// Reads len bytes behind the length word at off into buf: len, or -1 (isam_errno 7).
int32_t I_read_rec(Db *db, uint32_t off, uint32_t len, uint8_t *buf);
// Points ptrs[0..nfields) at the fields of len bytes of stored data (null from the first field that does
// not fit) and ptrs[nfields] at null. The number of fields found.
int32_t I_mark_fields(const Db *db, const uint8_t *data, uint32_t len, uint8_t **ptrs);
// Total width of a record's field values (one pointer per field), or -1: a null value (isam_errno 18) or a
// record too long for the file (isam_errno 7).
int64_t I_record_width(const Db *db, const uint8_t *const *fields);
// Stored bytes of a record from its field values (length word `stored`, then the values) in rbuf, with
// room for `extra` more bytes behind them. The bytes built, or -1 (isam_errno 5).
int64_t I_build_record(Db *db, const uint8_t *const *fields, uint32_t stored, uint32_t extra);
// Room for a record of *need data bytes: the offset, *need raised to the size of a hole taken whole, and
// *at_end set when the room is at the end of the file. 0 on failure.
uint32_t I_emptyrec(Db *db, uint32_t *need, bool *at_end);
// Turns size bytes behind the length word at off into a hole merged with its neighbours: kHoleMade, or
// kHoleNotMade / kHoleUnkeyed with isam_errno set.
int32_t I_add_hole(Db *db, uint32_t off, uint32_t size);
// Places a record from field values (I_adddata) or raw data bytes (I_insdata): 1 with its offset, or -1.
int32_t I_adddata(Db *db, const uint8_t *const *fields, uint32_t *off);
int32_t I_insdata(Db *db, const uint8_t *data, uint32_t len, uint32_t *off);
// The record's space (its stored length) becomes a hole; without index file only its length word is
// written. As I_add_hole.
int32_t I_deldata(Db *db, uint32_t off, uint32_t stored);
// Fetches the record at off into the thread's recbuf, reclen and recfields: the thread record, or null
// (isam_errno 6, 7, 4 for a hole, 5). The holder releases it with I_rlserec before the next fetch.
ThreadData *I_fetchrec(Db *db, uint32_t off);
int32_t I_rlserec(ThreadData *td);
// Releases the thread's fetched record when it goes out of scope.
struct FetchedRecord {
  ThreadData *td;
  explicit FetchedRecord(ThreadData *t) : td(t) {}
  FetchedRecord(const FetchedRecord &) = delete;
  FetchedRecord &operator=(const FetchedRecord &) = delete;
  ~FetchedRecord() {
    if (td != nullptr) I_rlserec(td);
  }
};
// The walk over the data file in file order for an index object without tree: the first record (head)
// or the one after curptr. 1 on a record (status 1), -3 at the end (status -3), -1 (isam_errno 7).
int32_t I_phys_walk(Db *db, Index *idx, bool head);
// rbuf holds at least n bytes: true, or false with the error line and isam_errno 5.
bool I_grow_rbuf(Db *db, uint64_t n);

// igetrec, igetrec2, ireadrec, igetreclen (read.cc; contracts in qrxis.h).
int32_t get_rec(Db *db, Index *idx, uint8_t **fields, uint8_t *buf, int32_t size);
int32_t get_rec2(Db *db, Index *idx, void *const *dests, const int32_t *widths);
int32_t read_rec(Db *db, Index *idx, uint8_t *buf, uint32_t size, uint32_t *len);
int32_t get_reclen(Db *db, Index *idx, uint32_t *len);

// ---------------------------------------------------------------------------------------------------
// Adding, deleting and modifying records (update.cc).
// ---------------------------------------------------------------------------------------------------

// One index's entry of the record (fields, off): added (duplicates only where the index is not unique), or
// deleted with the index's status settled. 1, or -1 (isam_errno 9; 11 when the key cannot be made).
int32_t I_up1index(Index *idx, ThreadData *td, const uint8_t *const *fields, uint32_t off);
int32_t I_del1index(Index *idx, ThreadData *td, const uint8_t *const *fields, uint32_t off);
// Entries of a new record in every index; on a failure the entries already added are deleted again and
// the record's space becomes a hole. 1 or -1.
int32_t I_upindexes(Db *db, const uint8_t *const *fields, uint32_t off);
int32_t I_updateindexes(Db *db, const uint8_t *data, uint32_t len, uint32_t off);
// The status of idx from where its cursor stands after a change: 1 on an entry of idx, -3 on another
// index's entry, -2/-3 at an end. 1, or -1 (isam_errno 9).
int32_t I_settle_status(Index *idx);

// iaddrec, iaddrec2, idelrec, imodrec, imodrec2 (contracts in qrxis.h).
int32_t add_rec(Db *db, Index *idx, const void *const *fields);
int32_t add_rec2(Db *db, Index *idx, const void *key, uint32_t keylen, const void *data, uint32_t len);
int32_t del_rec(Db *db, Index *idx);
int32_t mod_rec(Db *db, Index *idx, const void *const *fields);
int32_t mod_rec2(Db *db, Index *idx, const void *data, uint32_t len);

// ---------------------------------------------------------------------------------------------------
// Navigation (nav.cc).
// ---------------------------------------------------------------------------------------------------

// ifindhead, ifindtail, ifindnext, ifindprev, ifindkey, ifindrec, imarkrec, ifindmark (contracts in qrxis.h).
int32_t find_head(Db *db, Index *idx);
int32_t find_tail(Db *db, Index *idx);
int32_t find_next(Db *db, Index *idx);
int32_t find_prev(Db *db, Index *idx);
int32_t find_key(Db *db, Index *idx, const void *const *values);
int32_t find_rec(Db *db, Index *idx, const void *const *fields);
int32_t mark_rec(Db *db, Index *idx);
int32_t find_mark(Db *db, Index *idx);
// ifindhead's step for a caller that holds the database lock.
int32_t I_find_head(Db *db, Index *idx);

// ---------------------------------------------------------------------------------------------------
// Administration (admin.cc).
// ---------------------------------------------------------------------------------------------------

// match_namelist, icopy_database, idestroy_db, qrxisren, imkindex, irmindex, inew_index_file, iverify_db,
// qrxisdmp (contracts in qrxis.h).
const char *match_namelist(const char *name, const char *const *list);
int32_t copy_database(const char *src, const char *dst, const char *idxname, int32_t blocksize,
                      int32_t create);
int32_t destroy_db(const char *name);
int32_t rename_db(const char *from, const char *to);
int32_t mk_index(Db *db, const char *name, const char *const *specs);
int32_t rm_index(Db *db, const char *name);
int32_t new_index_file(Db *db, int32_t blocksize, int32_t overwrite);
int32_t verify_db(const char *name);
int32_t dump_db(const char *name);

// ---------------------------------------------------------------------------------------------------
// Creating (create.cc).
// ---------------------------------------------------------------------------------------------------
Db *create_db(const char *name, int32_t blocksize, const char *const *fields);

// ---------------------------------------------------------------------------------------------------
// Descriptor queries and display (query.cc).
// ---------------------------------------------------------------------------------------------------

// A value in decimal, digits found from the least significant by repeated division by 10: at most 11
// characters ("-2147483648") and a NUL, so buf holds kItoSSize bytes; 0 gives "0". The characters written.
inline constexpr size_t kItoSSize = 11 + 1;
int32_t ItoS(int32_t value, char *buf);

// igetdesc, igetdesc_count, igetdesc_fldnbr, igetdesc_fldstart, igetdesc_fldlen, igetfldcount,
// igetflddesc, igetfldtype, igetfldlen, igetfldnames, igetindexnames (contracts in qrxis.h).
const char *const *get_desc(Db *db, Index *idx);
int32_t get_desc_count(Db *db, Index *idx);
int32_t get_desc_fldnbr(Db *db, Index *idx, int32_t k);
int32_t get_desc_fldstart(Db *db, Index *idx, int32_t k);
int32_t get_desc_fldlen(Db *db, Index *idx, int32_t k);
int32_t get_fld_count(Db *db);
const uint8_t *get_fld_desc(Db *db);
int32_t get_fld_type(Db *db, int32_t n);
int32_t get_fld_len(Db *db, int32_t n);
const char *const *get_fld_names(Db *db);
const char *const *get_index_names(Db *db);

// showdesc, qrxisshf, qrxisshi, qrxisshw, qrxisshr (contracts in qrxis.h). qrxisshr takes the lock of
// the thread's curdb: a caller that holds it already must not call it.
int32_t show_desc(Db *db, Index *idx, const char *sep);
int32_t show_fields(Db *db, const char *sep);
int32_t show_indexes(Db *db, const char *sep);
int32_t show_key(Db *db, Index *idx, const uint8_t *key, const char *sep);
int32_t show_record(const uint8_t *const *fields, const char *sep);
// qrxisshk: every record in the order of idx (null: the "Physical Index"), the index put back on its entry.
int32_t show_keyed(Db *db, Index *idx, const char *sep);

}  // namespace qrx::isam
