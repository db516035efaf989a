/* qrxcb.h - B-tree index files: block files, the shared buffer pool and the tree operations.
 *
 * Conventions of this interface:
 *  1. Handles (cbt_tree, Bfile, BufPool) are opaque; the library makes and frees them.
 *  2. Tree operations return 1 (or a count, a pointer, a found/not-found code) on success and -1 (or
 *     null) on failure; the reason is left in the calling thread's error, context and function codes
 *     (qrxcbecd, qrxcbccd, qrxcbfcd), whose texts come from qrxcberr, qrxcbcon and qrxcbfcn.
 *     errno is never the error channel.
 *  3. Every tree operation is exported under its qrx entry point (qrxcbopn) and under its public name
 *     (cbopen); both are the same function.
 *  4. Any thread may call any operation. Operations on one index file run one at a time; operations on
 *     different files run in parallel. All on-disk integers are big-endian.
 *  5. Null, stale or foreign handles are refused with error 15 (tree) or 14 (control record), never a crash.
 */
#ifndef QRXCB_H
#define QRXCB_H

#include <stdint.h>
#include <stdio.h>

#define QRX_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------------------
 * Block files and paths. Thin wrappers over the POSIX file calls used for every file of the library.
 * ------------------------------------------------------------------------------------------------- */

/* creat(path, mode): a descriptor or -1; -1 (errno EAGAIN or EACCES) without touching the file when
 * another process has it open for writing. The descriptor holds the file lock until it is closed. */
QRX_API int32_t qrxcb_creat(const char *path, uint32_t mode);
/* open(path, flags, mode): descriptor or -1 (errno from the open). A failure that waiting can cure
 * (EMFILE, ENFILE, EINTR, EAGAIN, ENOMEM, EBUSY, ETXTBSY) is tried up to 10 times with a 1-second pause
 * between attempts; any other fails at once. The first call raises the process's soft descriptor limit
 * to 128 when it is lower. */
QRX_API int32_t qrxcb_open(const char *path, int32_t flags, uint32_t mode);
QRX_API int32_t qrxcb_close(int32_t fd);
QRX_API int32_t qrxcb_unlink(const char *path);
/* fsync: 1 on success, -1 otherwise. */
QRX_API int32_t qrxcb_flush(int32_t fd);
/* Whole-block transfer at blkno * blksize: 1 when exactly blksize bytes moved, -1 otherwise (a read past
 * the end of the file is -1). */
QRX_API int32_t readblk(int32_t fd, int32_t blkno, uint32_t blksize, void *buf);
QRX_API int32_t writeblk(int32_t fd, int32_t blkno, uint32_t blksize, const void *buf);
/* File locks. qrxcb_LockFile takes an exclusive lock on the whole file for the open file description
 * (fcntl F_OFD_SETLK), never waiting for a holder: 0, or -1 when another process or another open of the
 * file holds it. A refusal is tried again for under a tenth of a second first, since the lock of a
 * description this process has just closed can outlive the close for a moment (while another process
 * reads its descriptors in /proc). The lock goes with the last close of the description or the death of
 * the process. The layers take it for every file they open for writing, so one file has one writer.
 * qrxcb_UnlockFile does nothing (0): the close that follows it releases the lock. */
QRX_API int32_t qrxcb_LockFile(int32_t fd);
QRX_API int32_t qrxcb_UnlockFile(void);

/* Splits a path into drive (always empty), directory (up to and including the last '\\', or else the last
 * '/'), file name and extension (from the last '.' of the base name, '.' included). Each output may be
 * null; dir needs 256 bytes, fname and ext 15. An over-long part is reported and comes back empty. */
QRX_API void SplitPath(const char *path, char *drive, char *dir, char *fname, char *ext);
/* Builds a path in out, which holds an empty string or a prefix on entry: a non-empty drive writes its
 * first character and ':' at the start of out; then the directory (components joined with '/', with a
 * trailing '/'; text beginning with a separator is appended unchanged plus '/'), the file name and the
 * extension (with a '.' put in front when missing) are appended. Any part may be null or empty. */
QRX_API void MakePath(char *out, const char *drive, const char *dir, const char *fname, const char *ext);

/* ---------------------------------------------------------------------------------------------------
 * Buffer pool. One pool of equal-sized buffers caches blocks by (file, block number). A block
 * returned by get_blk or empty_blk is pinned until exactly one put_blk or rlse_blk of the same address.
 * Unpinned buffers are reused by a clock: a buffer given back survives as many sweeps of the clock's
 * hand as its weight (1; 32 for an interior node of a B-tree); QRX_POOL_RULE=lru in the environment when a
 * pool is made gives it exact least-recently-used order instead. Threads working on different files
 * take no common lock on a hit.
 * ------------------------------------------------------------------------------------------------- */
typedef struct BufPool BufPool;
typedef struct Bfile Bfile;

/* Pool status values, left per thread in *qrxcbbpe(). */
enum {
  QRXCB_POOL_OK = 0,
  QRXCB_POOL_NOT_REGISTERED = 1, /* the pool is not registered, so it cannot be locked */
  QRXCB_POOL_NO_MEMORY = 2,
  QRXCB_POOL_NO_BUFFER = 3,
  QRXCB_POOL_IO = 4,      /* opening, reading, writing or syncing failed, or the lock was refused */
  QRXCB_POOL_PINNED = 6,  /* a block of the file being closed is still pinned */
  QRXCB_POOL_BLKSIZE = 7, /* the file's block size is larger than the pool's buffers */
  QRXCB_POOL_NO_BFILE = 8 /* the Bfile is not registered */
};

/* The calling thread's pool status word. */
QRX_API uint32_t *qrxcbbpe(void);

/* A pool of bufcnt buffers of bufsize bytes, or null with *status = 2. */
/* Buffers are allocated as blocks first need them, so mk_pool never fails for lack of buffer memory. */
QRX_API BufPool *mk_pool(uint32_t bufsize, uint32_t bufcnt, uint32_t *status);
/* Writes back dirty buffers and frees the pool and every buffer, pinned or not: 1, or -1. */
QRX_API int32_t free_pool(BufPool *pool);
/* Adds n buffers; returns the number added. */
QRX_API uint32_t expand_pool(BufPool *pool, uint32_t n);
/* Removes up to n unpinned buffers (written back first when dirty); returns the number removed. */
QRX_API uint32_t shrink_pool(BufPool *pool, uint32_t n);
/* Opens a block file whose first 4 bytes hold its block size. mode bit value 2 = read and write,
 * otherwise read-only. Null on failure (status 4 I/O, 7 block size above the pool's buffer size). */
QRX_API Bfile *open_blks(const char *path, int32_t mode, BufPool *pool);
/* Reopens the file for reading and writing; cached blocks follow the new descriptor. 1, or -1. */
QRX_API int32_t reopen_blks(const char *path, Bfile *bf);
/* Writes back the file's dirty blocks, drops its buffers and closes it: 1, or -1 (status 6 when a block
 * is still pinned; the descriptor is closed all the same). */
QRX_API int32_t close_blks(Bfile *bf);
/* The pinned data area of the block, read from the file on a miss; null on failure. */
QRX_API void *get_blk(Bfile *bf, int32_t blkno);
/* A pinned, zero-filled buffer assigned to a block not yet in the file; null on failure. */
QRX_API void *empty_blk(Bfile *bf, int32_t blkno);
/* Unpins; writes the block now when writenow is set (never block 0 of a read-only file), else marks it
 * dirty. 1, or -1. put_blk and rlse_blk refuse (-1, status 8) an address that is not the data area of a
 * block of bf it still holds pinned; such an address is never written through or read. */
QRX_API int32_t put_blk(Bfile *bf, void *data, int32_t writenow);
/* Unpins; the block stays clean or dirty as it was. 1, or -1. */
QRX_API int32_t rlse_blk(Bfile *bf, void *data);
/* Writes every dirty block of the file and syncs it: 1, or -1. */
QRX_API int32_t flush_blks(Bfile *bf);

/* ---------------------------------------------------------------------------------------------------
 * B-tree index files.
 * ------------------------------------------------------------------------------------------------- */
typedef struct cbt_tree cbt_tree;

/* Compare function of a tree: returns -1, 0 or 1 as key1 is less than, equal to or greater than key2. */
typedef int (*cbt_keycmp_fn)(const void *key1, uint32_t len1, const void *key2, uint32_t len2);

/* Cursor and mark states. */
enum { CBT_POS_OK = 1, CBT_POS_BOI = -2, CBT_POS_EOI = -3, CBT_NO_MARK = -1 };
/* Results of cbfind and cbfinditem. */
enum { CBT_FOUND = 2, CBT_NOT_FOUND = 3 };

/* Layer frame. */
QRX_API int32_t qrxcbini(uint32_t bufcnt, uint32_t bufsize); /* cbinit: 1, or -1 */
QRX_API int32_t qrxcbxit(void);                              /* cbexit: 1, or -1 */
QRX_API uint32_t qrxcbbus(void);                             /* cbbufsize */
QRX_API uint32_t qrxcbbcn(void);                             /* cbbufcnt */
QRX_API uint32_t qrxcbadb(uint32_t n);                       /* cbaddbufs: number added */
QRX_API uint32_t qrxcbrmb(uint32_t n);                       /* cbrmbufs: number removed */
QRX_API const char *qrxcberr(int32_t code);                  /* text of an error number */
QRX_API const char *qrxcbfcn(int32_t code);                  /* text of a function number */
QRX_API const char *qrxcbcon(int32_t code);                  /* text of a context number */
QRX_API uint32_t *qrxcbccd(void);                            /* calling thread's context code */
QRX_API uint32_t *qrxcbfcd(void);                            /* calling thread's function code */
QRX_API uint32_t *qrxcbecd(void);                            /* calling thread's error code */
QRX_API void qrxcbprt(void);                                 /* prints the three codes to stdout */

/* Files and handles. A file open for reading and writing carries the open flag on disk from its first
 * write (cbcreate, the first read/write cbopen, or the read/write cbopen that upgrades a read-only file)
 * until its last close; a later cbopen that finds it set (the process ended, or a change failed half-way,
 * see below) returns a handle with error 20 left in the error code: run cbcheck. cbclose returns -1 with
 * the flush's codes (error 10, context 49) when the file's blocks cannot be written, and the handle stays
 * open; a handle that a failed cbexit left behind (its pool is gone) is refused by every operation with
 * error 3, context 10, and cbclose lets go of it (-1, error 3). */
QRX_API cbt_tree *qrxcbcrt(const char *name, cbt_keycmp_fn cmp, uint32_t blksize); /* cbcreate */
QRX_API cbt_tree *qrxcbopn(const char *name, int32_t mode, cbt_keycmp_fn cmp);     /* cbopen */
QRX_API int32_t qrxcbclo(cbt_tree *tree);                                          /* cbclose */
QRX_API int32_t qrxcbfls(cbt_tree *tree);                                          /* cbflush */
QRX_API int32_t qrxcbdep(cbt_tree *tree);                                          /* cbdepth */
QRX_API int32_t qrxcbbls(const char *name);                                        /* cbblksize */

/* Default compare: bytes as unsigned over the shorter length, then the shorter key first. */
QRX_API int qrxcbkcm(const void *key1, uint32_t len1, const void *key2, uint32_t len2);

/* Positioning. */
QRX_API int32_t qrxcbhd(cbt_tree *tree, uint32_t *item);                                 /* cbhead */
QRX_API int32_t qrxcbtai(cbt_tree *tree, uint32_t *item);                                /* cbtail */
QRX_API int32_t qrxcbnxt(cbt_tree *tree, uint32_t *item);                                /* cbnext */
QRX_API int32_t qrxcbprv(cbt_tree *tree, uint32_t *item);                                /* cbprev */
QRX_API int32_t qrxcbcur(cbt_tree *tree, uint32_t *item);                                /* cbcurr */
QRX_API int32_t qrxcbkey(cbt_tree *tree, void *buf, uint32_t size);                      /* cbkey */
QRX_API int32_t qrxcbkln(cbt_tree *tree, uint32_t *len);                                 /* cbkeylen */
QRX_API int32_t qrxcbfnd(cbt_tree *tree, const void *key, uint32_t len, uint32_t *item); /* cbfind */
QRX_API int32_t qrxcbfit(cbt_tree *tree, const void *key, uint32_t len, uint32_t *item); /* cbfinditem */
QRX_API int32_t qrxcbmrk(cbt_tree *tree);                                                /* cbmark */
QRX_API int32_t qrxcbfmk(cbt_tree *tree, uint32_t *item);                                /* cbfindmark */

/* Changes. Refused before anything is read: a null key with a non-zero length (-1, error 21, context 10)
 * and a file open read-only (-1, error 2, context 2). A change that fails after it has altered blocks
 * (a read or write failed half-way) leaves the file marked open on disk at the last close, so that the
 * next cbopen reports error 20. cbmodify keeps the codes of a lookup that failed (a read error is not a
 * duplicate). */
QRX_API int32_t qrxcbins(cbt_tree *tree, const void *key, uint32_t len, uint32_t item,
                         int32_t dupok);                                                /* cbinsert */
QRX_API int32_t qrxcbdel(cbt_tree *tree, const void *key, uint32_t len, uint32_t item); /* cbdelete */
QRX_API int32_t qrxcbmod(cbt_tree *tree, const void *okey, uint32_t olen, uint32_t oitem, const void *nkey,
                         uint32_t nlen, uint32_t nitem, int32_t ndupok); /* cbmodify */

/* Verification and dumps. */
QRX_API int32_t qrxcbver(cbt_tree *tree);                       /* 1 consistent, -1 not (dump file written) */
QRX_API void qrxcbdmp(cbt_tree *tree, int32_t mode, FILE *out); /* mode 1 block order, else by levels */
/* cbcheck: what qrxcbver checks, then everything a search, a walk and the next change rely on: highblock
 * within the file, one node kind per level and depth levels, left links, lowleaf and highleaf, no empty
 * leaf, interior entries that separate their children (every entry can be found), and every block either
 * in the tree or on the unused chain exactly once. Takes the public-operation lock. 1 consistent; -1 with
 * one error line per finding (up to 20) and the dump file written as qrxcbver writes it, or for an
 * invalid handle (error 15, 14 or 3). Run it after cbopen reported error 20 (file not closed properly). */
QRX_API int32_t qrxcbchk(cbt_tree *tree);

/* Public names of the operations: the same functions as the entry points above. */
QRX_API int32_t cbinit(uint32_t bufcnt, uint32_t bufsize);
QRX_API int32_t cbexit(void);
QRX_API uint32_t cbbufsize(void);
QRX_API uint32_t cbbufcnt(void);
QRX_API uint32_t cbaddbufs(uint32_t n);
QRX_API uint32_t cbrmbufs(uint32_t n);
QRX_API cbt_tree *cbcreate(const char *name, cbt_keycmp_fn cmp, uint32_t blksize);
QRX_API cbt_tree *cbopen(const char *name, int32_t mode, cbt_keycmp_fn cmp);
QRX_API int32_t cbclose(cbt_tree *tree);
QRX_API int32_t cbflush(cbt_tree *tree);
QRX_API int32_t cbdepth(cbt_tree *tree);
QRX_API int32_t cbblksize(const char *name);
QRX_API int32_t cbhead(cbt_tree *tree, uint32_t *item);
QRX_API int32_t cbtail(cbt_tree *tree, uint32_t *item);
QRX_API int32_t cbnext(cbt_tree *tree, uint32_t *item);
QRX_API int32_t cbprev(cbt_tree *tree, uint32_t *item);
QRX_API int32_t cbcurr(cbt_tree *tree, uint32_t *item);
QRX_API int32_t cbkey(cbt_tree *tree, void *buf, uint32_t size);
QRX_API int32_t cbkeylen(cbt_tree *tree, uint32_t *len);
QRX_API int32_t cbfind(cbt_tree *tree, const void *key, uint32_t len, uint32_t *item);
QRX_API int32_t cbfinditem(cbt_tree *tree, const void *key, uint32_t len, uint32_t *item);
QRX_API int32_t cbmark(cbt_tree *tree);
QRX_API int32_t cbfindmark(cbt_tree *tree, uint32_t *item);
QRX_API int32_t cbinsert(cbt_tree *tree, const void *key, uint32_t len, uint32_t item, int32_t dupok);
QRX_API int32_t cbdelete(cbt_tree *tree, const void *key, uint32_t len, uint32_t item);
QRX_API int32_t cbmodify(cbt_tree *tree, const void *okey, uint32_t olen, uint32_t oitem, const void *nkey,
                         uint32_t nlen, uint32_t nitem, int32_t ndupok);
QRX_API int32_t cbcheck(cbt_tree *tree);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QRXCB_H */
