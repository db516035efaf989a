/* qrxky.h - the keyed-file service: fixed-length records of an ISAM database read and written by key and in
 * key order through files, cursors and held-for-update records.
 *
 * Conventions of this interface:
 *  1. A keyed file is an ISAM database (see qrxis.h) opened on one of its indexes. Its records are the
 *     fields' stored forms end to end (numbers big-endian on every host; I_CHAR and I_BINARY their declared
 *     bytes); text fields (I_STRING, I_CSTRING) are not supported. The key is the run of record bytes the
 *     index's fields occupy: the open refuses an index whose key fields do not follow each other in the
 *     record. A key shorter than the key length is a partial key.
 *  2. Files, cursors and update blocks are reached through KeyHandle values, eight bytes passed by value:
 *     a sequence number, a zero word and a slot number in a process-wide table of live blocks. A slot is
 *     never issued twice in a process, so a handle of a closed block, a forged handle or a handle of the
 *     wrong kind gives status 2 from every operation and is never followed.
 *  3. Every operation returns a status: 0 success, 1 invalid argument, 2 invalid handle or operation not
 *     allowed in the block's state, 3 database in use, 4 duplicate key, 5 not found or end of file, 6 not
 *     allowed, 7 storage not obtained, 8 abnormal condition, 10 no key / position lost. The block keeps a
 *     reason code (GetReason). No operation raises, longjmps or throws into the caller.
 *  4. Each block holds its current function set: tables of the operations allowed in its state. Callers
 *     may call the operations by name or through qrxkygfs(handle); both check the block's state the same
 *     way. Public names (ReadByKey) and qrx names (qrxkyrbk) are the same functions.
 *  5. Any thread may call any operation; operations on one file (or on one cursor) run one at a time,
 *     different files and different cursors in parallel. A close waits for the operations already working
 *     on the block, and its memory goes back only after the last of them returned. Terminate must not run
 *     while other threads use the service.
 *  6. Handles stay the caller's until it closes them; the service owns the blocks behind them. Buffers
 *     and records passed in are only read (or written) during the call.
 */
#ifndef QRXKY_H
#define QRXKY_H

#include <stddef.h>
#include <stdint.h>

#include "qrxcb.h"

#ifdef __cplusplus
extern "C" {
#define QRXKY_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QRXKY_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

typedef struct KeyHandle {
  int16_t seq;   /* sequence number of the block when the handle was issued */
  int16_t aux;   /* always 0 */
  uint32_t slot; /* the block's slot in the process's table of live blocks; 0 names nothing */
} KeyHandle;
QRXKY_STATIC_ASSERT(sizeof(KeyHandle) == 8, "KeyHandle is eight bytes");

/* Statuses. */
enum {
  QRXKY_OK = 0,
  QRXKY_INVALID = 1,
  QRXKY_BAD_HANDLE = 2,
  QRXKY_IN_USE = 3,
  QRXKY_DUPLICATE = 4,
  QRXKY_NOT_FOUND = 5,
  QRXKY_NOT_ALLOWED = 6,
  QRXKY_NO_STORAGE = 7,
  QRXKY_ABNORMAL = 8,
  QRXKY_NO_KEY = 10
};

/* Reasons. */
enum {
  QRXKY_R_NO_OBJECT = 1,  /* adapter object could not be allocated */
  QRXKY_R_BAD_LENGTH = 2, /* invalid access mode or file-name length */
  QRXKY_R_BAD_USAGE = 3,  /* invalid usage mode */
  QRXKY_R_EOF = 14,       /* end of file, or no entry at or after the key */
  QRXKY_R_CONDITION = 20, /* an abnormal condition was caught */
  QRXKY_R_SYNC_MODE = 25, /* asynchronous check on a block in synchronous mode */
  QRXKY_R_NEUTRAL = 26,   /* nothing more specific applies */
  QRXKY_R_NO_COPY = 41,   /* storage for a record copy could not be obtained */
  QRXKY_R_OPEN_CONDITION = 45,
  QRXKY_R_NO_ANCHOR = 52 /* the service anchor could not be found or made */
};

/* Usage modes of OpenKeyedFile (bits): read/write, and deferred flush. */
enum { QRXKY_USAGE_WRITE = 1, QRXKY_USAGE_DEFER_FLUSH = 2 };
/* Access modes. */
enum { QRXKY_SYNCHRONOUS = 0, QRXKY_ASYNCHRONOUS = 1 };

/* Key addresses of OpenCursor and RepositionCursor that mean "no key" (with key length 0): the first entry
 * (QRXKY_KEY_HEAD) or the last one (QRXKY_KEY_TAIL). */
#define QRXKY_KEY_HEAD ((const void *)0)
#define QRXKY_KEY_TAIL ((const void *)-1)

/* ---------------------------------------------------------------------------------------------------
 * Tables of operations. Each slot has its operation's own type; a slot the block's state does not allow
 * holds a refusal of the same type that returns 2 and touches nothing.
 * ------------------------------------------------------------------------------------------------- */
typedef int32_t (*qrxky_open_file_fn)(const char *name, int32_t name_len, int32_t usage, KeyHandle *file,
                                      uint32_t *reason);
typedef int32_t (*qrxky_open_cursor_fn)(KeyHandle file, const void *key, int32_t key_len, KeyHandle *cursor);
typedef int32_t (*qrxky_read_next_fn)(KeyHandle cursor, int32_t direction, void *buf, int32_t buf_len,
                                      int32_t *rec_len);
typedef int32_t (*qrxky_close_fn)(KeyHandle handle, uint32_t *reason);
typedef int32_t (*qrxky_read_key_fn)(KeyHandle file, const void *key, int32_t key_len, void *buf,
                                     int32_t buf_len, int32_t *rec_len);
typedef int32_t (*qrxky_write_key_fn)(KeyHandle file, const void *key, int32_t key_len, const void *rec,
                                      int32_t rec_len);
typedef int32_t (*qrxky_position_fn)(KeyHandle cursor, const void *key, int32_t key_len);
typedef int32_t (*qrxky_reason_fn)(KeyHandle handle, uint32_t *reason);
typedef int32_t (*qrxky_query_key_fn)(KeyHandle handle, uint32_t *key_offset, uint32_t *key_len);
typedef int32_t (*qrxky_query_len_fn)(KeyHandle handle, uint32_t *rec_len);
typedef int32_t (*qrxky_handle_fn)(KeyHandle handle);
typedef int32_t (*qrxky_delete_key_fn)(KeyHandle file, const void *key, int32_t key_len);
typedef int32_t (*qrxky_read_key_update_fn)(KeyHandle file, const void *key, int32_t key_len, void *buf,
                                            int32_t buf_len, int32_t *rec_len, KeyHandle *update);
typedef int32_t (*qrxky_update_held_fn)(KeyHandle update, const void *rec, int32_t rec_len);
typedef int32_t (*qrxky_read_next_update_fn)(KeyHandle cursor, int32_t direction, void *buf, int32_t buf_len,
                                             int32_t *rec_len, KeyHandle *update);
typedef int32_t (*qrxky_set_mode_fn)(KeyHandle handle, int32_t mode);

typedef struct qrxky_base_table {
  qrxky_open_file_fn OpenKeyedFile;   /* 0 */
  qrxky_open_cursor_fn OpenCursor;    /* 1 */
  qrxky_read_next_fn ReadNext;        /* 2 */
  qrxky_close_fn CloseCursor;         /* 3 */
  qrxky_read_key_fn ReadByKey;        /* 4 */
  qrxky_write_key_fn AddRecord;       /* 5 */
  qrxky_close_fn CloseFile;           /* 6 */
  qrxky_position_fn RepositionCursor; /* 7 */
  qrxky_reason_fn GetReason;          /* 8 */
  qrxky_query_key_fn QueryKey;        /* 9 */
  qrxky_query_len_fn QueryRecLen;     /* 10 */
  qrxky_handle_fn FlushFile;          /* 11 */
} qrxky_base_table;

typedef struct qrxky_update_table {
  qrxky_write_key_fn UpdateByKey;              /* 0 */
  qrxky_delete_key_fn DeleteByKey;             /* 1 */
  qrxky_read_key_update_fn ReadByKeyForUpdate; /* 2 */
  qrxky_update_held_fn UpdateHeldRecord;       /* 3 */
  qrxky_handle_fn DeleteHeldRecord;            /* 4 */
  qrxky_handle_fn ReleaseHeldRecord;           /* 5 */
  qrxky_open_cursor_fn OpenUpdateCursor;       /* 6 */
  qrxky_read_next_update_fn ReadNextForUpdate; /* 7 */
} qrxky_update_table;

typedef struct qrxky_asynch_vector {
  qrxky_set_mode_fn SetAccessMode; /* 0 */
  qrxky_handle_fn CheckAsynch;     /* 1 */
} qrxky_asynch_vector;

typedef struct qrxky_func_set {
  const qrxky_base_table *base;
  const void *reserved; /* always null */
  const qrxky_update_table *update;
  const qrxky_asynch_vector *asynch;
} qrxky_func_set;

QRXKY_STATIC_ASSERT(sizeof(qrxky_base_table) == 12 * sizeof(void (*)(void)), "twelve base slots");
QRXKY_STATIC_ASSERT(offsetof(qrxky_base_table, FlushFile) == 11 * sizeof(void (*)(void)), "base slot order");
QRXKY_STATIC_ASSERT(sizeof(qrxky_update_table) == 8 * sizeof(void (*)(void)), "eight update slots");
QRXKY_STATIC_ASSERT(offsetof(qrxky_update_table, ReadNextForUpdate) == 7 * sizeof(void (*)(void)),
                    "update slot order");
QRXKY_STATIC_ASSERT(sizeof(qrxky_asynch_vector) == 2 * sizeof(void (*)(void)), "two asynch slots");
QRXKY_STATIC_ASSERT(sizeof(qrxky_func_set) == 4 * sizeof(void *), "four words per function set");
QRXKY_STATIC_ASSERT(offsetof(qrxky_func_set, update) == 2 * sizeof(void *), "function set order");

/* The block's current function set. For a handle that names no live block: a set of refusals only. Never
 * null. */
QRX_API const qrxky_func_set *qrxkygfs(KeyHandle handle);

/* ---------------------------------------------------------------------------------------------------
 * Service.
 * ------------------------------------------------------------------------------------------------- */

/* Initialize: finds or makes the service anchor (OpenKeyedFile makes it too, so this is optional). 0, or
 * the failing storage or anchor service's status (7 when no storage handle is had), 8 on a condition. */
QRX_API int32_t qrxkyini(void);
QRX_API int32_t Initialize(void);
/* Terminate: closes every cursor and file still open, drops the service's storage and forgets the anchor.
 * 0; when there is no anchor, the anchor lookup's status (5); 8 on a condition. Handles issued before it
 * stay invalid for ever; a later open makes a new anchor. */
QRX_API int32_t qrxkytrm(void);
QRX_API int32_t Terminate(void);
/* Always 1. */
QRX_API int32_t qrxkyqfs(int32_t unused);

/* ---------------------------------------------------------------------------------------------------
 * Files and cursors. Out-pointers, and keys, buffers and records with a length above 0, must not be
 * null: a null one, or a negative length, gives 1 and changes nothing. Records read are copied to the
 * caller's buffer cut to its length; *rec_len is the record's whole length.
 * ------------------------------------------------------------------------------------------------- */

/* OpenKeyedFile: name[0..name_len) is "database[:index]" (cut to 255 bytes; a blank ends it). usage: bit 1
 * opens for reading and writing (else read-only), bit 2 defers flushing (else every add, replace and delete
 * is flushed until the first FlushFile); any other bit: 1, reason 3. A negative name_len: 1, reason 2.
 * Makes the service anchor when there is none (8, reason 52 when it cannot). 0 with *file set and *reason
 * 0; else the failing step's status with *reason, and nothing left open. A database with a text field, or
 * an index whose key fields do not follow each other in the record, is refused with 1. */
QRX_API int32_t qrxkyof(const char *name, int32_t name_len, int32_t usage, KeyHandle *file, uint32_t *reason);
/* OpenCursor: a cursor of the file with its own position: at the first entry at or after the key (key
 * address QRXKY_KEY_HEAD or QRXKY_KEY_TAIL with key_len 0: the first entry). A no-key address with a
 * length: 1 ("Key address %d is invalid"); a key length below 1 or above the file's: 1. 5 when the
 * cursor cannot be positioned (nothing is left behind). The cursor starts with reason 26 and the file's
 * access mode. */
QRX_API int32_t qrxkyoc(KeyHandle file, const void *key, int32_t key_len, KeyHandle *cursor);
/* ReadNext: direction 0 forward, any other backward. The first read after a positioning returns the
 * record positioned on; each later read moves first. 5 at the end (cursor reason 14); 2 for an update
 * cursor that lost its position (see UpdateHeldRecord) until RepositionCursor. Releases a record the
 * cursor's update block holds. The cursor's reason: 0 after a read. */
QRX_API int32_t qrxkyrn(KeyHandle cursor, int32_t direction, void *buf, int32_t buf_len, int32_t *rec_len);
/* RepositionCursor: as OpenCursor's positioning, except that QRXKY_KEY_TAIL with length 0 is the last
 * entry; 5 when there is no entry at or after the key. Gives a cursor that lost its position its reads
 * back. */
QRX_API int32_t qrxkyrc(KeyHandle cursor, const void *key, int32_t key_len);
/* CloseCursor: closes the cursor (and its update block); *reason is the adapter's. A cursor is closed
 * once: a second close, or a close after its file's CloseFile, gives 2. */
QRX_API int32_t qrxkycc(KeyHandle cursor, uint32_t *reason);
/* ReadByKey: the record with that key; a partial key finds the first record whose key begins with it.
 * 5 when there is none; *rec_len is written only on success. Moves the file's position (see
 * UpdateHeldRecord). */
QRX_API int32_t qrxkyrbk(KeyHandle file, const void *key, int32_t key_len, void *buf, int32_t buf_len,
                         int32_t *rec_len);
/* AddRecord: adds a record of at most the record length (a shorter one is padded with blanks). A key
 * given (key_len above 0) must equal the record's key bytes, else 1 and nothing is stored. 4 when a
 * unique index already holds the key; 8 (reason 20) on a database opened read-only. */
QRX_API int32_t qrxkyar(KeyHandle file, const void *key, int32_t key_len, const void *rec, int32_t rec_len);
/* CloseFile: closes every cursor of the file, then the file; every handle of them gives 2 afterwards.
 * *reason is the adapter's. */
QRX_API int32_t qrxkycf(KeyHandle file, uint32_t *reason);

QRX_API int32_t OpenKeyedFile(const char *name, int32_t name_len, int32_t usage, KeyHandle *file,
                              uint32_t *reason);
QRX_API int32_t OpenCursor(KeyHandle file, const void *key, int32_t key_len, KeyHandle *cursor);
QRX_API int32_t ReadNext(KeyHandle cursor, int32_t direction, void *buf, int32_t buf_len, int32_t *rec_len);
QRX_API int32_t RepositionCursor(KeyHandle cursor, const void *key, int32_t key_len);
QRX_API int32_t CloseCursor(KeyHandle cursor, uint32_t *reason);
QRX_API int32_t ReadByKey(KeyHandle file, const void *key, int32_t key_len, void *buf, int32_t buf_len,
                          int32_t *rec_len);
QRX_API int32_t AddRecord(KeyHandle file, const void *key, int32_t key_len, const void *rec, int32_t rec_len);
/* FlushFile: writes the database out; from now on the file defers its flushes. */
QRX_API int32_t FlushFile(KeyHandle file);
QRX_API int32_t CloseFile(KeyHandle file, uint32_t *reason);

/* ---------------------------------------------------------------------------------------------------
 * Held-record updates. A read for update holds the record it read in the update block of the file (read
 * by key) or of an update cursor (read in sequence) and gives that block's handle; the update, delete or
 * release then goes through it. Holding is the service's own bookkeeping: no lock is taken in the
 * database, and the record changed is the one the owner's position stands on when the change is made
 * (a ReadByKey between a read for update and the update moves it). An update block refuses updates (2)
 * until a read for update; after UpdateHeldRecord it refuses them again until the next one. Reasons of
 * the reads go to the owner's reason word, those of the changes to the update block's.
 * ------------------------------------------------------------------------------------------------- */

/* OpenUpdateCursor: as OpenCursor, for a cursor that may read for update. */
QRX_API int32_t qrxkyssu(KeyHandle file, const void *key, int32_t key_len, KeyHandle *cursor);
/* ReadNextForUpdate: as ReadNext on an update cursor (2 on a plain one), holding the record read. */
QRX_API int32_t qrxkyrnu(KeyHandle cursor, int32_t direction, void *buf, int32_t buf_len, int32_t *rec_len,
                         KeyHandle *update);
/* ReadByKeyForUpdate: as ReadByKey, holding the record read. */
QRX_API int32_t qrxkyrfu(KeyHandle file, const void *key, int32_t key_len, void *buf, int32_t buf_len,
                         int32_t *rec_len, KeyHandle *update);
/* UpdateHeldRecord: replaces the record the owner stands on (padded with blanks to the record length);
 * the key may change. 10 when the owner no longer stands on a record (another handle deleted or changed
 * it): an update cursor then refuses reads (2) until RepositionCursor. The held record is let go either
 * way. */
QRX_API int32_t qrxkyuhr(KeyHandle update, const void *rec, int32_t rec_len);
/* DeleteHeldRecord: deletes the record the owner stands on; the owner then stands on the next one, which
 * the same handle may update. */
QRX_API int32_t qrxkydhr(KeyHandle update);
/* ReleaseHeldRecord: 0; the handle stays usable. */
QRX_API int32_t qrxkyrhr(KeyHandle update);
/* UpdateByKey, DeleteByKey: read by key for update and update or delete, as one operation on the file
 * (no other operation on the file runs between). 5 when the key is not there (nothing changed). */
QRX_API int32_t qrxkyubk(KeyHandle file, const void *key, int32_t key_len, const void *rec, int32_t rec_len);
QRX_API int32_t qrxkydbk(KeyHandle file, const void *key, int32_t key_len);

QRX_API int32_t OpenUpdateCursor(KeyHandle file, const void *key, int32_t key_len, KeyHandle *cursor);
QRX_API int32_t ReadNextForUpdate(KeyHandle cursor, int32_t direction, void *buf, int32_t buf_len,
                                  int32_t *rec_len, KeyHandle *update);
QRX_API int32_t ReadByKeyForUpdate(KeyHandle file, const void *key, int32_t key_len, void *buf,
                                   int32_t buf_len, int32_t *rec_len, KeyHandle *update);
QRX_API int32_t UpdateHeldRecord(KeyHandle update, const void *rec, int32_t rec_len);
QRX_API int32_t DeleteHeldRecord(KeyHandle update);
QRX_API int32_t ReleaseHeldRecord(KeyHandle update);
QRX_API int32_t UpdateByKey(KeyHandle file, const void *key, int32_t key_len, const void *rec,
                            int32_t rec_len);
QRX_API int32_t DeleteByKey(KeyHandle file, const void *key, int32_t key_len);

/* ---------------------------------------------------------------------------------------------------
 * Access modes, asynchronous checks and queries, per kind of block (f: file, c: cursor, u: update block).
 * The public names without a kind (SetAccessMode, CheckAsynch, GetReason, QueryKey, QueryRecLen) serve
 * every kind. Every operation completes before it returns in either mode; the asynchronous mode only
 * makes CheckAsynch answer.
 * ------------------------------------------------------------------------------------------------- */

/* SetAccessMode: 0 synchronous, 1 asynchronous; any other: 1, reason 2, mode unchanged. A cursor takes its
 * file's mode when made; an update block its owner's at each read for update. */
QRX_API int32_t qrxkysaf(KeyHandle file, int32_t mode);
QRX_API int32_t qrxkysac(KeyHandle cursor, int32_t mode);
QRX_API int32_t qrxkysau(KeyHandle update, int32_t mode);
/* CheckAsynch: in mode 1, the status of the last positioning, read, add, replace or delete through the
 * block's request (0 before any); in mode 0: 6, reason 25. */
QRX_API int32_t qrxkycaf(KeyHandle file);
QRX_API int32_t qrxkycac(KeyHandle cursor);
QRX_API int32_t qrxkycau(KeyHandle update);
/* GetReason: the block's reason word. QueryKey: the key offset and length in a record (10 when the key
 * length is 0). QueryRecLen: the record length. They take no lock; 2 for a dead handle. */
QRX_API int32_t qrxkygrf(KeyHandle file, uint32_t *reason);
QRX_API int32_t qrxkygrc(KeyHandle cursor, uint32_t *reason);
QRX_API int32_t qrxkygru(KeyHandle update, uint32_t *reason);
QRX_API int32_t qrxkyqkf(KeyHandle file, uint32_t *key_offset, uint32_t *key_len);
QRX_API int32_t qrxkyqkc(KeyHandle cursor, uint32_t *key_offset, uint32_t *key_len);
QRX_API int32_t qrxkyqku(KeyHandle update, uint32_t *key_offset, uint32_t *key_len);
QRX_API int32_t qrxkyqmf(KeyHandle file, uint32_t *rec_len);
QRX_API int32_t qrxkyqmc(KeyHandle cursor, uint32_t *rec_len);
QRX_API int32_t qrxkyqmu(KeyHandle update, uint32_t *rec_len);

QRX_API int32_t SetAccessMode(KeyHandle handle, int32_t mode);
QRX_API int32_t CheckAsynch(KeyHandle handle);
QRX_API int32_t CheckAsynchFile(KeyHandle file);
QRX_API int32_t CheckAsynchCursor(KeyHandle cursor);
QRX_API int32_t CheckAsynchUpdate(KeyHandle update);
QRX_API int32_t GetReason(KeyHandle handle, uint32_t *reason);
QRX_API int32_t QueryKey(KeyHandle handle, uint32_t *key_offset, uint32_t *key_len);
QRX_API int32_t QueryRecLen(KeyHandle handle, uint32_t *rec_len);

/* ---------------------------------------------------------------------------------------------------
 * The ISAM adapter. Its handles have the KeyHandle shape with seq 0; each names a request object (a
 * file's primary request, or a cursor's own). Every operation takes the handle first and a reason word
 * last and returns a status; the sync flag is accepted and changes nothing.
 * ------------------------------------------------------------------------------------------------- */

/* Opens "database[:index]" (blank ends the name; index "PrimaryIndex" when none): usage bit 1 opens for
 * read/write, bit 2 defers flushing. Gives the record length, the key offset and length, and the handle of
 * the primary request. */
QRX_API int32_t qrxky1of(const char *name, int32_t name_len, int32_t usage, uint32_t *rec_len,
                         uint32_t *key_offset, uint32_t *key_len, KeyHandle *adapter, uint32_t *reason);
/* Closes the file of a primary request (its cursors' requests must be deleted first). */
QRX_API int32_t qrxky1cf(KeyHandle adapter, uint32_t *reason);
/* Defers flushing from now on and flushes the database. */
QRX_API int32_t qrxky1ff(KeyHandle adapter, uint32_t *reason);
/* Makes a cursor's request on the file of a primary request, positioned at the key (0 or -1 as for
 * qrxky1sp; a key address or length of 0 positions at an all-zero key). */
QRX_API int32_t qrxky1cc(KeyHandle adapter, const void *key, int32_t key_len, int32_t sync, KeyHandle *cursor,
                         uint32_t *reason);
QRX_API int32_t qrxky1dc(KeyHandle cursor, int32_t sync, uint32_t *reason);
/* Positions: key address 0 the first entry, -1 the last, else the first entry at or after the key. */
QRX_API int32_t qrxky1sp(KeyHandle adapter, const void *key, int32_t key_len, int32_t sync, uint32_t *reason);
/* Reads in sequence: the first read after a positioning reads the entry positioned on, later ones move. */
QRX_API int32_t qrxky1rs(KeyHandle adapter, int32_t forward, void *buf, int32_t buf_len, int32_t sync,
                         int32_t *rec_len, uint32_t *reason);
QRX_API int32_t qrxky1ru(KeyHandle adapter, int32_t forward, void *buf, int32_t buf_len, int32_t sync,
                         int32_t *rec_len, uint32_t *reason);
/* Reads by key (a partial key finds the first record beginning with it). */
QRX_API int32_t qrxky1gr(KeyHandle adapter, const void *key, int32_t key_len, void *buf, int32_t buf_len,
                         int32_t *rec_len, int32_t sync, uint32_t *reason);
QRX_API int32_t qrxky1gu(KeyHandle adapter, const void *key, int32_t key_len, void *buf, int32_t buf_len,
                         int32_t *rec_len, int32_t sync, uint32_t *reason);
/* Adds a record (blank-padded to the record length); a given key must equal the record's key bytes. */
QRX_API int32_t qrxky1ar(KeyHandle adapter, const void *key, int32_t key_len, const void *rec,
                         int32_t rec_len, int32_t sync, uint32_t *reason);
/* Replaces the record the request stands on, then steps back one entry. */
QRX_API int32_t qrxky1re(KeyHandle adapter, const void *rec, int32_t rec_len, int32_t sync, uint32_t *reason);
/* Deletes the record the request stands on. */
QRX_API int32_t qrxky1dr(KeyHandle adapter, int32_t sync, uint32_t *reason);
/* Releases a held record: nothing to do, 0. */
QRX_API int32_t qrxky1rr(KeyHandle adapter, int32_t sync, uint32_t *reason);
/* The request's last status (of its last positioning, read, add, replace or delete; 0 before any). */
QRX_API int32_t qrxky1ca(KeyHandle adapter, uint32_t *reason);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QRXKY_H */
