// ctl.h - the layer frame (anchor, per-thread codes, texts, pool sizing), the index file's control record
// in block 0, the registry of in-memory control records, tree handles, and the operations behind the
// exported entry points of the frame and the file handles (api.cc).
//
// Owns: the anchor cbt_anchor (frame.cc), the registry qrxcbctl with every CtlRec and every tree handle
// (ctl.cc). Calls the buffer pool and the block files, and the host services; never upward.
// Locks, outermost first: anchor mutex (handle lists, cbinit/cbexit/cbopen/cbcreate/cbclose), a control
// record's mutex (every operation on that file; the record's handle list), the registry mutex (registry
// links, nopen, access, and every load, save, make and release of a record), then the pool's mutexes.
//
// Control record, the first 36 bytes of block 0, all fields big-endian; the rest of block 0 is zero:
//
//   offset  width  field      meaning
//   0       4      blksize    u32 block size of the file (the pool reads these 4 bytes alone at open)
//   4       4      root       i32 root block, 0 when the tree is empty
//   8       4      highblock  i32 highest block in use; the file holds blocks 0..highblock
//   12      4      lowleaf    i32 leftmost leaf, 0 when empty
//   16      4      highleaf   i32 rightmost leaf, 0 when empty
//   20      4      freechain  i32 first block of the unused chain, 0 when none
//   24      4      depth      i32 levels: 0 empty, 1 when the root is a leaf
//   28      4      vparity    u32 XOR of the fourteen big-endian halfwords at 0..27, zero-extended
//   32      4      openflag   i32 -1 while open for reading and writing somewhere, 0 after a proper close
#pragma once

#include <cstdint>

#include "cbt/cbt.h"

namespace qrx::cbt {

inline constexpr uint32_t kCtlBlksizeOff = 0;
inline constexpr uint32_t kCtlRootOff = 4;
inline constexpr uint32_t kCtlHighblockOff = 8;
inline constexpr uint32_t kCtlLowleafOff = 12;
inline constexpr uint32_t kCtlHighleafOff = 16;
inline constexpr uint32_t kCtlFreechainOff = 20;
inline constexpr uint32_t kCtlDepthOff = 24;
inline constexpr uint32_t kCtlParityOff = 28;
inline constexpr uint32_t kCtlOpenflagOff = 32;
inline constexpr uint32_t kCtlParityBytes = 7 * 4;  // blksize .. depth
inline constexpr uint32_t kCtlSize = 9 * 4;         // the nine words
static_assert(kCtlParityBytes == 28 && kCtlSize == 36);

// Block sizes: cbcreate makes 512-byte blocks when asked for 0 and never smaller than 88 bytes; an index
// file whose recorded block size is below 88 was not made by this layer and is refused at open.
inline constexpr uint32_t kDefaultBlockSize = 512;
inline constexpr uint32_t kMinBlockSize = 88;
// Permission bits of a new index file (0660).
inline constexpr uint32_t kCreateMode = 0660;

// The anchor if it has been made, else null (never makes it).
Anchor *cbt_anchor_peek();

// ---------------------------------------------------------------------------------------------------
// Frame operations (Part of the exported interface; entry points in api.cc).
// ---------------------------------------------------------------------------------------------------

// cbinit: first call makes the pool (count 0 -> 5, below 4 -> 4; size 0 or below 36 -> 512). 1, or -1
// (error 4 context 4 when a pool already exists, error 5 context 4 when it cannot be made). Later calls
// only count.
int32_t cbt_init(uint32_t bufcnt, uint32_t bufsize);
// cbexit: the last call closes every open handle and frees the pool. 1, or -1 (error 3 context 3
// without a pool, error 4 context 5 when freeing failed; a failed close shows only in the result).
int32_t cbt_exit();
uint32_t cbt_bufsize();  // buffer size of the pool, 0 without one; sets function code 22
uint32_t cbt_bufcnt();   // buffer count as callers see it; sets function code 21
// cbaddbufs / cbrmbufs: number added / removed (0 and error 3 context 4 without a pool). Removal never
// takes the count below 4.
uint32_t cbt_addbufs(uint32_t n);
uint32_t cbt_rmbufs(uint32_t n);
// Texts of the codes; constant strings, "Unknown cbt ... number" outside the tables.
const char *cbt_error_text(int32_t code);
const char *cbt_function_text(int32_t code);
const char *cbt_context_text(int32_t code);
// Writes "context: <text>, function: <text>\n<error text>\n" to standard output.
void cbt_print_codes();
// The pool's buffer size without touching the function code (0 without a pool or anchor).
uint32_t pool_bufsize();

// ---------------------------------------------------------------------------------------------------
// Control record on disk and the registry.
// ---------------------------------------------------------------------------------------------------

// XOR of the fourteen big-endian halfwords of rec[0..27].
uint32_t B_calc_parity(const uint8_t *rec);
// Makes the empty registry; run once by the anchor's once-only step. False without memory.
bool B_ctlinit();
// The record of that name, made (nopen 0, the given access) and put at the front of the registry when
// there is none. Null with error 5 context 6 when it cannot be made.
CtlRec *B_ctlrec(const char *name, uint32_t access);
// The record of that name, or null with error 14 context 6.
CtlRec *B_ctlfind(const char *name);
// First open of the record: opens the file through the pool, checks block 0 and marks the file open.
// Later opens: upgrade a read-only file to read/write when access 2 is asked for. Counts the open on
// success and when the file was not closed properly (-1 with error 20, file open). Other failures leave
// the file closed (the upgrade failure leaves the count raised: the caller's B_ctlfree undoes it).
int32_t B_ctlload(CtlRec *ctl, uint32_t access);
// Writes a new file's block 0 through the pool (opened read/write) and counts the open. 1, or -1.
int32_t B_ctlmake(CtlRec *ctl, uint32_t blksize);
// Writes block 0 from the record at once: 1, or -1 (error 6 or 8, context 8).
int32_t WriteCtl(CtlRec *ctl);
// WriteCtl under the registry mutex for a registered record.
int32_t B_ctlsave(CtlRec *ctl);
// Releases one open: the last one marks the file closed (or, after a change failed half-way, leaves it
// marked open), writes block 0, closes the file and frees the record. Gives the record's mutex back when
// `locked` is set (and clears it). 1, or -1.
int32_t B_ctlfree(CtlRec *ctl);

// ---------------------------------------------------------------------------------------------------
// Tree handles. The caller holds the anchor mutex.
// ---------------------------------------------------------------------------------------------------

// A new handle at BOI on ctl, at the front of the anchor's list and on the record's handle list (the
// record's mutex is taken for that unless ctl->locked says the caller holds it). Null with error 5
// context 11.
Tree *B_treealloc(CtlRec *ctl, cbt_keycmp_fn cmp);
// Unlinks the handle from both lists and frees it (same rule for the record's mutex).
void B_treefree(Tree *t);
// Writes back the file's dirty blocks and block 0; the caller holds the record's mutex. 1, or -1.
int32_t B_flush(Tree *t);
// Flushes, frees the handle and releases the record. The caller holds the anchor mutex and the
// record's mutex with ctl->locked set; the record's mutex is given back on every path. 1 with codes 0;
// -1 with the flush's codes when the flush failed (the handle stays open), with the release's codes
// when the release failed, or with error 3 context 10 when the file's pool is gone (the handle is
// dropped without touching a block).
int32_t B_close(Tree *t);

// ---------------------------------------------------------------------------------------------------
// File and handle operations (entry points in api.cc).
// ---------------------------------------------------------------------------------------------------

// cbcreate: a new, empty file open for reading and writing, or null. Refuses a name whose record is
// open in this process (error 1 context 1).
Tree *cbt_create(const char *name, cbt_keycmp_fn cmp, uint32_t blksize);
// cbopen: mode bit value 2 asks for read/write. A file not closed properly still gives a handle, with
// error 20 left in the error code.
Tree *cbt_open(const char *name, int32_t mode, cbt_keycmp_fn cmp);
int32_t cbt_close(Tree *t);  // 1, or -1
int32_t cbt_flush(Tree *t);  // 1, or -1
int32_t cbt_depth(Tree *t);  // depth, or -1
// Block size of the file: from its open record, else read from disk (error 2/6/12 context 7, -1).
int32_t cbt_blksize(const char *name);

}  // namespace qrx::cbt
