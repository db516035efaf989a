/* qrxis.h - ISAM databases: typed records in a data file (name.DB) with any number of named indexes, all
 * kept in one B-tree index file (name.IDX) beside it.
 *
 * Conventions of this interface:
 *  1. Databases (isam_db) and indexes (isam_index) are opaque; the library makes and frees them. One
 *     database object stands for one database name in the whole process: every iopen_db of that name
 *     returns it and counts the open; it stays cached after the last close until the last isamexit.
 *  2. Operations return 1 (or an object) on success and -1 (or null) on failure, with the reason in the
 *     calling thread's error number *qrxiseno() (texts from qrxismsg). Every operation on a database,
 *     an index or the layer sets it to 0 first; the queries of the error itself (qrxiseno, qrxismsg,
 *     qrxisprg, iprterr) and of the current database (qrxiscdb) leave it alone.
 *     A failure of the B-tree layer below is error 9; its own codes are in qrxcb.h (*qrxcbecd()).
 *  3. Field values and key values travel in their stored form: numbers as big-endian bytes (an I_INT 7 is
 *     00 00 00 07), I_FLOAT and I_DOUBLE as big-endian IEEE bytes, I_CHAR and I_BINARY as their declared
 *     number of bytes, texts as NUL-terminated strings. The qrxis_put_* and qrxis_get_* helpers below
 *     convert numbers to and from that form on any host.
 *  4. Any thread may call any operation. All operations on one database run one at a time; different
 *     databases run in parallel. The index objects a database shares (ihandle) have one cursor each for
 *     all users; iopen_index gives a caller an index object with a cursor of its own.
 *  5. Every exported operation is available under its qrx entry point (qrxisopn) and its public name
 *     (iopen_db); both are the same function.
 */
#ifndef QRXIS_H
#define QRXIS_H

#include <stdint.h>
#include <string.h>

#include "qrxcb.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct isam_db isam_db;
typedef struct isam_index isam_index;

/* Field types, from the description strings (name[,code]): S or none, C, I, U, L, F, D, B<n>, H, C<n>. */
enum {
  I_STRING = 0,   /* text, compared without regard to case; stored with its NUL */
  I_CSTRING = 1,  /* text, compared byte for byte; stored with its NUL */
  I_INT = 2,      /* signed 32-bit */
  I_UNSIGNED = 3, /* unsigned 32-bit */
  I_LONG = 4,     /* signed 32-bit on every host */
  I_FLOAT = 5,    /* IEEE single */
  I_DOUBLE = 6,   /* IEEE double */
  I_BINARY = 7,   /* raw bytes of the declared length */
  I_SHORT = 8,    /* signed 16-bit */
  I_CHAR = 9      /* text bytes of the declared length, no terminator */
};

/* Error numbers (*qrxiseno()); qrxismsg gives the texts. */
enum {
  QRXIS_OK = 0,
  QRXIS_BAD_DB = 1,          /* not an open database object */
  QRXIS_BAD_INDEX = 2,       /* not an index of that database */
  QRXIS_IN_USE = 3,          /* file lock refused; database already exists */
  QRXIS_NO_CURRENT = 4,      /* index not positioned */
  QRXIS_NO_MEMORY = 5,
  QRXIS_NOT_ALLOWED = 6,     /* operation not allowed for this index */
  QRXIS_IO = 7,              /* reading or writing the data file failed */
  QRXIS_UNKNOWN_INDEX = 8,   /* no index of that name */
  QRXIS_CBT = 9,             /* the B-tree layer failed; see *qrxcbecd() */
  QRXIS_NOT_FOUND = 10,      /* data file cannot be opened */
  QRXIS_KEY_TOO_LONG = 11,   /* a key does not fit one buffer of the pool */
  QRXIS_CORRUPT = 12,        /* index file or data-file header damaged */
  QRXIS_TOO_MANY = 13,       /* no free index number */
  QRXIS_NO_MARK = 14,
  QRXIS_RENAME = 15,
  QRXIS_NAME = 16,           /* file name too long; read/write open of a read-only database */
  QRXIS_DUP_INDEX = 17,
  QRXIS_NO_FIELD = 18,       /* empty field list; unknown key field; a needed argument is null */
  QRXIS_COPY_SELF = 19,
  QRXIS_BLOCK_SIZE = 20,     /* index block size too big for the buffer pool */
  QRXIS_INDEX_EXISTS = 21,
  QRXIS_INIT_CALLED = 22,
  QRXIS_FIELD_TOO_LONG = 23,
  QRXIS_FIELD_NUMBER = 24,
  QRXIS_KEY_NUMBER = 25
};

/* ----------------------------------------------------------------------------------------------------
 * Frame.
 * -------------------------------------------------------------------------------------------------- */

/* isaminit: the first call (and the first after the last isamexit) starts the B-tree layer with
 * cbinit(count, size), each raised by QRX_CBTBUFCNT / QRX_CBTBUFSZ from the environment when larger.
 * Later calls only count. 1, or -1 (error 9). iopen_db and icreate_db call it themselves when needed. */
QRX_API int32_t qrxisini(int32_t count, int32_t size);
/* isamexit: the matching last call closes every open database (flushing those open for writing), frees
 * the cached database objects and ends the B-tree layer. 1, or -1 with the first failure's number. It
 * also runs at process exit. */
QRX_API int32_t qrxisxit(void);
QRX_API void qrxisprt(void);                   /* iprterr: writes the text of *qrxiseno() as a trace line */
QRX_API const char *qrxismsg(int32_t code);    /* text of an error number; "Unknown isam error number" */
QRX_API void qrxisprg(void (*fn)(uint32_t n)); /* progress callback of long administration calls, or null */
QRX_API int32_t *qrxiseno(void);               /* the calling thread's error number */
QRX_API isam_db **qrxiscdb(void);              /* the database the calling thread works on */

/* ----------------------------------------------------------------------------------------------------
 * Databases and indexes.
 * -------------------------------------------------------------------------------------------------- */

/* iopen_db: mode bit value 2 = read/write, else read-only. The first open of a name opens name.DB (error
 * 10 when missing, 3 when its file lock is refused, 7 or 12 for a damaged header) and name.IDX; a missing
 * index file gives a database with only its "Physical Index"; an index file that exists but cannot be
 * read fails the open (12, or 20 for a block size above the pool's). An index file that was not closed
 * properly is verified (notice and message QRX0002 or QRX0003). A later open of an open name returns the
 * same object (its first opener's mode stays; a read/write open of a read-only database: null, error 16). */
QRX_API isam_db *qrxisopn(const char *name, int32_t mode);
/* iclose_db: flushes a database open for writing; the last close closes its files. 1, or -1 (error 1 for
 * an object that is not a database of this process). */
QRX_API int32_t qrxisclo(isam_db *db);
/* iflush_db: writes every index and syncs the data file (message QRX0101 when that fails). 1, or -1. */
QRX_API int32_t qrxisfls(isam_db *db);
/* idbhandle: the database object of that name (open or cached closed), or null (error 1). */
QRX_API isam_db *qrxisdbh(const char *name);
/* ihandle: the shared index object of that name ("BYNAME" also finds "BYNAME,U"), or null (error 8; 12
 * for a database without index file). */
QRX_API isam_index *qrxisih(isam_db *db, const char *name);
/* iopen_index: a private index object with a cursor of its own, for the first index whose name begins
 * with `name`, or null (error 8). iclose_index closes it (error 2 for a shared index object). */
QRX_API isam_index *qrxisiop(isam_db *db, const char *name);
QRX_API int32_t qrxisicl(isam_db *db, isam_index *idx);
/* icreate_db: makes name.DB with the field descriptions (a null-terminated array of "NAME[,code]"
 * strings; error 18 when empty) and name.IDX with the given block size and its "Physical Index", then
 * opens the database for reading and writing. Null, with error 3, for a name already cached in the
 * process. */
QRX_API isam_db *qrxiscrt(const char *name, int32_t blocksize, const char *const *fields);

/* ----------------------------------------------------------------------------------------------------
 * Keys.
 * -------------------------------------------------------------------------------------------------- */

/* imatchkey: 1 when the index's current entry holds the given key values (one pointer per key field in
 * key order, a null pointer after the last one given), 0 when not, -1 (error 4: not positioned). */
QRX_API int32_t qrxismk(isam_db *db, isam_index *idx, const void *const *values);
/* ipartialmatch: as imatchkey with one value per key field: texts match as prefixes (I_STRING without
 * regard to case; an empty text matches any), a null pointer matches any other value. */
QRX_API int32_t qrxispm(isam_db *db, isam_index *idx, const void *const *values);

/* ----------------------------------------------------------------------------------------------------
 * Navigation. Each index object has a cursor over its own entries in key order (the "Physical Index":
 * over the records in file order). Its state: 1 on an entry, -2 before the first (a new index object),
 * -3 after the last, -4 moved off its record by another index object's delete or modify. Results -2, -3
 * and 3 are not failures and leave error 0. The "Physical Index" allows ifindhead and ifindnext only;
 * the others on it: -1, error 6. A B-tree step that fails: -1, error 9.
 * -------------------------------------------------------------------------------------------------- */

/* ifindhead: 1 on the first entry; -3 when the index has none. */
QRX_API int32_t qrxisfhd(isam_db *db, isam_index *idx);
/* ifindtail: 1 on the last entry; -2 when the index has none. */
QRX_API int32_t qrxisftl(isam_db *db, isam_index *idx);
/* ifindnext: 1 on the next entry, -3 past the last (and again after that); from -2 the first entry. From
 * -4 the entry the other index object's change moved the cursor to, which is the one after the record it
 * left: no record living through a walk is skipped. */
QRX_API int32_t qrxisfnx(isam_db *db, isam_index *idx);
/* ifindprev: 1 on the previous entry, -2 before the first; from -3 the last entry. */
QRX_API int32_t qrxisfpv(isam_db *db, isam_index *idx);
/* ifindkey: values as for imatchkey (fewer than the key fields: a partial key, which finds the first entry
 * beginning with them). 2 on an entry with that key; 3 not found, the cursor on the next greater entry
 * (state 1, or -3 when none of the index follows). */
QRX_API int32_t qrxisfky(isam_db *db, isam_index *idx, const void *const *values);
/* ifindrec: one value per field of a whole record. 2 on the entry of a record equal in every field (the
 * first such among equal keys); 3 when there is none. */
QRX_API int32_t qrxisfrc(isam_db *db, isam_index *idx, const void *const *fields);
/* imarkrec: saves the cursor as the index object's mark (one per object, kept until the next imarkrec or
 * the close). ifindmark: back on it: 1; -2 or -3 when the entry marked was removed and the mark moved to
 * a key before or after this index's entries; -1, error 9 (B-tree error 22) without a mark. */
QRX_API int32_t qrxismrk(isam_db *db, isam_index *idx);
QRX_API int32_t qrxisfmk(isam_db *db, isam_index *idx);

/* ----------------------------------------------------------------------------------------------------
 * Records. A record is one value per field, in field order (convention 3). The reads work on the current
 * record of an index object (shared or private): when the index does not stand on a record they return
 * its state instead (-2 before its first entry, -3 after its last, -4 when another index object's delete
 * or modify moved it off its record; -4 also writes "Cursor position moved by concurrent update").
 * A stored record that runs past the end of the file or whose fields run past its own length is damaged:
 * -1, error 7. A null argument that the call needs: -1, error 18.
 * -------------------------------------------------------------------------------------------------- */

/* igetrec: the record's stored bytes into buf, and fields[0..nfields) pointed at its fields inside buf
 * (fields[nfields] = NULL). A record longer than size: the first size - 1 bytes and a NUL, fields left as
 * they were; size 0 or less reads nothing. 1, the index's state, or -1. */
QRX_API int32_t qrxisgrc(isam_db *db, isam_index *idx, void **fields, void *buf, int32_t size);
/* igetrec2: each field's value copied to dests[i]; a field wider than widths[i] (when widths is given)
 * stops the copy with -1, error 23. */
QRX_API int32_t igetrec2(isam_db *db, isam_index *idx, void *const *dests, const int32_t *widths);
/* ireadrec: the record's field data (without any slack of a reused hole) into buf, at most size bytes;
 * *len = the data length. */
QRX_API int32_t qrxisrrc(isam_db *db, isam_index *idx, void *buf, uint32_t size, uint32_t *len);
/* igetreclen: *len = the stored length (the room the record occupies, at least its data length). */
QRX_API int32_t qrxisgrl(isam_db *db, isam_index *idx, uint32_t *len);
/* Changes. A database open read-only refuses all five (iaddrec, iaddrec2, idelrec, imodrec, imodrec2)
 * with -1, error 7; idelrec, imodrec and imodrec2 refuse a null idx with -1, error 2.
 * iaddrec: adds a record (one value per field) and an entry in every index; with idx, leaves idx on the
 * new record. A unique index that already holds the key: -1, error 9 (the B-tree layer's error 17), and
 * nothing of the record remains. */
QRX_API int32_t qrxisadd(isam_db *db, isam_index *idx, const void *const *fields);
/* iaddrec2: adds a record from its stored data bytes (len of them: exactly the fixed record length, or at
 * least the shortest one, holding every field; else error 7). key (keylen bytes) is the record's key in
 * idx without the index number; a unique idx that holds it refuses before anything is written (error 9,
 * B-tree error 18). */
QRX_API int32_t qrxisad2(isam_db *db, isam_index *idx, const void *key, uint32_t keylen, const void *data,
                         uint32_t len);
/* idelrec: deletes idx's current record and its entries; idx then stands on the entry after it. Not on a
 * record: -1, error 4. Other private index objects on the record move to the entry after it, state -4. */
QRX_API int32_t qrxisdel(isam_db *db, isam_index *idx);
/* imodrec: replaces idx's current record by new values (in place when they fit, else moved) and changes
 * every entry; the state of idx when it is not on a record. Afterwards idx stands where its B-tree cursor
 * went: the change of its own entry steps it on to the entry after the old one (status 1, or -3 past its
 * last). A failed entry change puts the old record back (perhaps at another offset): -1, error 9. */
QRX_API int32_t qrxismod(isam_db *db, isam_index *idx, const void *const *fields);
/* imodrec2: as imodrec with the new record's stored data bytes (every field inside len, else error 7). */
QRX_API int32_t qrxismd2(isam_db *db, isam_index *idx, const void *data, uint32_t len);

/* Public names of the operations: the same functions as the entry points above. */
QRX_API int32_t isaminit(int32_t count, int32_t size);
QRX_API int32_t isamexit(void);
QRX_API void iprterr(void);
QRX_API isam_db *iopen_db(const char *name, int32_t mode);
QRX_API int32_t iclose_db(isam_db *db);
QRX_API int32_t iflush_db(isam_db *db);
QRX_API isam_db *idbhandle(const char *name);
QRX_API isam_index *ihandle(isam_db *db, const char *name);
QRX_API isam_index *iopen_index(isam_db *db, const char *name);
QRX_API int32_t iclose_index(isam_db *db, isam_index *idx);
QRX_API isam_db *icreate_db(const char *name, int32_t blocksize, const char *const *fields);
QRX_API int32_t imatchkey(isam_db *db, isam_index *idx, const void *const *values);
QRX_API int32_t ipartialmatch(isam_db *db, isam_index *idx, const void *const *values);
QRX_API int32_t ifindhead(isam_db *db, isam_index *idx);
QRX_API int32_t ifindtail(isam_db *db, isam_index *idx);
QRX_API int32_t ifindnext(isam_db *db, isam_index *idx);
QRX_API int32_t ifindprev(isam_db *db, isam_index *idx);
QRX_API int32_t ifindkey(isam_db *db, isam_index *idx, const void *const *values);
QRX_API int32_t ifindrec(isam_db *db, isam_index *idx, const void *const *fields);
QRX_API int32_t imarkrec(isam_db *db, isam_index *idx);
QRX_API int32_t ifindmark(isam_db *db, isam_index *idx);
QRX_API int32_t igetrec(isam_db *db, isam_index *idx, void **fields, void *buf, int32_t size);
QRX_API int32_t ireadrec(isam_db *db, isam_index *idx, void *buf, uint32_t size, uint32_t *len);
QRX_API int32_t igetreclen(isam_db *db, isam_index *idx, uint32_t *len);
QRX_API int32_t iaddrec(isam_db *db, isam_index *idx, const void *const *fields);
QRX_API int32_t iaddrec2(isam_db *db, isam_index *idx, const void *key, uint32_t keylen, const void *data,
                         uint32_t len);
QRX_API int32_t idelrec(isam_db *db, isam_index *idx);
QRX_API int32_t imodrec(isam_db *db, isam_index *idx, const void *const *fields);
QRX_API int32_t imodrec2(isam_db *db, isam_index *idx, const void *data, uint32_t len);

/* ----------------------------------------------------------------------------------------------------
 * Descriptor queries and display. None of them changes a file. Lists returned by igetdesc and
 * igetindexnames belong to the calling thread: they stay valid until the same thread makes the same call
 * again (which may reuse the memory) and are never freed by the caller. The field arrays of igetflddesc
 * and igetfldnames belong to the database and stay valid while it is open. A database object whose files
 * are closed (after its last iclose_db) fails the database queries with error 1; an index that is not an
 * index object of the database (shared or private) fails the index queries with error 2.
 * -------------------------------------------------------------------------------------------------- */

/* igetdesc: the key of idx as field specifications, one string per key field in key order and a null
 * pointer behind the last: the field's whole description string, followed for a text segment by
 * ":length" (start 0) or ":start,length" (so "NAME:3", "CITY,S:2,5", "ID,I"). The same syntax index
 * descriptions use. Null on failure (error 5 when the thread's buffer cannot grow). */
QRX_API const char *const *qrxisgde(isam_db *db, isam_index *idx);
/* igetdesc_count: the number of key fields of idx, or -1. */
QRX_API int32_t qrxisgdc(isam_db *db, isam_index *idx);
/* igetdesc_fldnbr, igetdesc_fldstart, igetdesc_fldlen: for key field k (0 <= k < key field count), its
 * field number, its segment start and its segment length (0 and 0 without a segment); -1 with error 25
 * for any other k. */
QRX_API int32_t qrxisgdn(isam_db *db, isam_index *idx, int32_t k);
QRX_API int32_t qrxisgds(isam_db *db, isam_index *idx, int32_t k);
QRX_API int32_t qrxisgdl(isam_db *db, isam_index *idx, int32_t k);
/* igetfldcount: the number of fields, or -1. */
QRX_API int32_t qrxisgfc(isam_db *db);
/* igetflddesc: the field types (I_STRING .. I_CHAR), one byte per field, or null. */
QRX_API const uint8_t *qrxisgfd(isam_db *db);
/* igetfldtype: the type of field n (0 <= n < field count), or -1 (error 24 for any other n). */
QRX_API int32_t qrxisgft(isam_db *db, int32_t n);
/* igetfldlen: the declared length of field n for I_BINARY and I_CHAR (1 when none was declared), 0 for
 * the other types, or -1 (error 24 for an n outside the fields). */
QRX_API int32_t igetfldlen(isam_db *db, int32_t n);
/* igetfldnames: the field description strings in field order, a null pointer behind the last; or null. */
QRX_API const char *const *qrxisgfn(isam_db *db);
/* igetindexnames: the names of the database's shared indexes (options included, so "BYID,U"; the
 * "Physical Index" too when the database has it), newest first, a null pointer behind the last; indexes
 * opened with iopen_index are not listed. Null on failure (error 5 when the thread's list cannot grow). */
QRX_API const char *const *qrxisgin(isam_db *db);
/* getdisk: always 0. */
QRX_API int32_t getdisk(void);

/* The display calls print to standard output, each call's text in one piece. After each item comes sep,
 * or a newline when sep is null; after the last item one more newline. */
/* showdesc: the strings of igetdesc for idx, or for the "Physical Index" when idx is null. 1, or -1 with
 * nothing printed. */
QRX_API int32_t qrxisshd(isam_db *db, isam_index *idx, const char *sep);
/* qrxisshf: the field description strings. qrxisshi: the names of the shared indexes. 1, or -1. */
QRX_API int32_t qrxisshf(isam_db *db, const char *sep);
QRX_API int32_t qrxisshi(isam_db *db, const char *sep);
/* qrxisshw: one whole key of idx (its index-number byte first, then every key field in its stored form),
 * field by field: texts as they are, I_INT, I_SHORT, I_UNSIGNED and I_LONG in decimal, I_FLOAT and
 * I_DOUBLE with two decimals, I_CHAR as its declared bytes, I_BINARY as "BINARY:" and its declared
 * length. 1, or -1 (error 18 for a null key). */
QRX_API int32_t qrxisshw(isam_db *db, isam_index *idx, const void *key, const char *sep);
/* qrxisshr: one record (field value pointers up to the first null one), printed by the field types of
 * the calling thread's current database (*qrxiscdb(); as texts when it is null): numbers in decimal,
 * I_FLOAT and I_DOUBLE as "%G", I_CHAR as its declared bytes, I_BINARY as \xNN per byte. With a
 * current database and sep "FieldNames", each value is preceded by its field's description string and a
 * colon and followed by a newline. 1, or -1 (error 18 for null fields; error 1 when the current database
 * is no longer open). */
QRX_API int32_t qrxisshr(const void *const *fields, const char *sep);
/* qrxisshk: every record in the order of idx (null: the "Physical Index", file order), each as qrxisshr
 * prints it, the calling thread's current database set to db. An index standing on an entry is put back
 * on it afterwards (through its mark). The state that ended the walk (-3), or -1. */
QRX_API int32_t qrxisshk(isam_db *db, isam_index *idx, const char *sep);

/* Public names of the queries: the same functions as the entry points above. */
QRX_API const char *const *igetdesc(isam_db *db, isam_index *idx);
QRX_API int32_t igetdesc_count(isam_db *db, isam_index *idx);
QRX_API int32_t igetdesc_fldnbr(isam_db *db, isam_index *idx, int32_t k);
QRX_API int32_t igetdesc_fldstart(isam_db *db, isam_index *idx, int32_t k);
QRX_API int32_t igetdesc_fldlen(isam_db *db, isam_index *idx, int32_t k);
QRX_API int32_t igetfldcount(isam_db *db);
QRX_API const uint8_t *igetflddesc(isam_db *db);
QRX_API int32_t igetfldtype(isam_db *db, int32_t n);
QRX_API const char *const *igetfldnames(isam_db *db);
QRX_API const char *const *igetindexnames(isam_db *db);
QRX_API int32_t showdesc(isam_db *db, isam_index *idx, const char *sep);

/* ----------------------------------------------------------------------------------------------------
 * Administration. None of these undoes earlier steps when a later one fails. The progress callback
 * (qrxisprg) is called with a running count after each record a copy copies, an imkindex fills in or
 * an irmindex takes out.
 * -------------------------------------------------------------------------------------------------- */

/* icopy_database: copies the records of src (in the order of index idxname, or file order when null) into
 * dst, made with src's fields and indexes (blocksize 0: src's index block size). With create 0 an
 * existing dst is used: its indexes of the same names are kept and records a unique index of it already
 * holds are skipped. dst fields beyond src's get the empty value of their type. 1, or -1: error 16 (names),
 * 19 (both name one data file), 24 (dst has fewer fields). qrxiscpy: the same with create 1. */
QRX_API int32_t qrxiscpd(const char *src, const char *dst, const char *idxname, int32_t blocksize,
                         int32_t create);
QRX_API int32_t qrxiscpy(const char *src, const char *dst, const char *idxname, int32_t blocksize);
/* idestroy_db: removes the data and index files. Error 3 while the process has an object of that name
 * (open or cached), or while a file is open for writing elsewhere (another process, an index file opened
 * by name) and holds its lock: nothing is removed or renamed then. 10 when a file cannot be removed.
 * qrxisren: renames both files (the data file back when the index file cannot follow): error 3, 15, or
 * 16 when a file name cannot be made. After success both leave error 1. */
QRX_API int32_t qrxisdst(const char *name);
QRX_API int32_t qrxisren(const char *from, const char *to);
/* imkindex: adds an index (name with options, e.g. "BYID,U") over key field specifications ("FIELD",
 * "FIELD:length", "FIELD:start,length"; FIELD exactly as the field's description string) and fills it
 * from the records, leaving it on its first entry. Error 17 (name taken), 18 (no such field), 11 (too
 * long), 13 (no free number), 9 (e.g. a unique index over duplicate values: the index then stays, with
 * the entries added so far). */
QRX_API int32_t qrxismki(isam_db *db, const char *name, const char *const *specs);
/* irmindex: removes an index with all its entries and its description, and closes its index objects.
 * The "Physical Index": error 6. */
QRX_API int32_t qrxisrmi(isam_db *db, const char *name);
/* inew_index_file: replaces the index file by an empty one holding only the "Physical Index" (other
 * indexes must be made again; free space recorded in the old file is not reused). An existing file
 * without overwrite 1: error 21 (the database is then left without index file). */
QRX_API int32_t qrxisnew(isam_db *db, int32_t blocksize, int32_t overwrite);
/* iverify_db: the verification of the index file (qrxcbver): 1 or -1. qrxisdmp: its formatted dump into
 * name.DMP (standard output when that cannot be opened; error 16 when the name does not fit 255 bytes). */
QRX_API int32_t qrxisver(const char *name);
QRX_API int32_t qrxisdmp(const char *name);
/* match_namelist: the entry of list (null-terminated) equal to name byte for byte, or null. */
QRX_API const char *match_namelist(const char *name, const char *const *list);

QRX_API int32_t icopy_database(const char *src, const char *dst, const char *idxname, int32_t blocksize,
                               int32_t create);
QRX_API int32_t idestroy_db(const char *name);
QRX_API int32_t imkindex(isam_db *db, const char *name, const char *const *specs);
QRX_API int32_t irmindex(isam_db *db, const char *name);
QRX_API int32_t inew_index_file(isam_db *db, int32_t blocksize, int32_t overwrite);
QRX_API int32_t iverify_db(const char *name);

/* ----------------------------------------------------------------------------------------------------
 * Numbers in their stored form (big-endian), for field and key values.
 * -------------------------------------------------------------------------------------------------- */
static inline void qrxis_put_u32(void *p, uint32_t v) {
  unsigned char *b = (unsigned char *)p;
  b[0] = (unsigned char)(v >> 24), b[1] = (unsigned char)(v >> 16), b[2] = (unsigned char)(v >> 8);
  b[3] = (unsigned char)v;
}
static inline uint32_t qrxis_get_u32(const void *p) {
  const unsigned char *b = (const unsigned char *)p;
  return ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | (uint32_t)b[3];
}
static inline void qrxis_put_i32(void *p, int32_t v) {
  qrxis_put_u32(p, (uint32_t)v);
}
static inline int32_t qrxis_get_i32(const void *p) {
  return (int32_t)qrxis_get_u32(p);
}
static inline void qrxis_put_i16(void *p, int16_t v) {
  unsigned char *b = (unsigned char *)p;
  b[0] = (unsigned char)((uint16_t)v >> 8), b[1] = (unsigned char)v;
}
static inline int16_t qrxis_get_i16(const void *p) {
  const unsigned char *b = (const unsigned char *)p;
  return (int16_t)(uint16_t)(((uint16_t)b[0] << 8) | b[1]);
}
static inline void qrxis_put_f32(void *p, float v) {
  uint32_t u;
  memcpy(&u, &v, 4);
  qrxis_put_u32(p, u);
}
static inline float qrxis_get_f32(const void *p) {
  uint32_t u = qrxis_get_u32(p);
  float v;
  memcpy(&v, &u, 4);
  return v;
}
static inline void qrxis_put_f64(void *p, double v) {
  uint64_t u;
  memcpy(&u, &v, 8);
  qrxis_put_u32(p, (uint32_t)(u >> 32)), qrxis_put_u32((unsigned char *)p + 4, (uint32_t)u);
}
static inline double qrxis_get_f64(const void *p) {
  uint64_t u = ((uint64_t)qrxis_get_u32(p) << 32) | qrxis_get_u32((const unsigned char *)p + 4);
  double v;
  memcpy(&v, &u, 8);
  return v;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QRXIS_H */
