/* qrxhost.h - the host-family services the storage library relies on.
 *
 * This library stands in for the product family's trace, once-only, per-thread, lock, memory,
 * environment, named-anchor, storage-area, exception-frame and catalog-message services. It is small
 * and replaceable: the storage library (libqrx01p2) uses nothing of it beyond what is declared here.
 *
 * Conventions:
 *  1. Every call may be made from any thread; each service guards its own state.
 *  2. Functions that return int32_t status words return 0 on success unless stated otherwise.
 *  3. Nothing here throws into C code: XFR1__Raise is for C++ callers inside a guard frame only.
 *  4. Names passed in are copied; results handed out stay owned by the service unless stated.
 */
#ifndef QRXHOST_H
#define QRXHOST_H

#include <stddef.h>
#include <stdint.h>

/* Exported names keep default visibility both when built and when imported. */
#define QRXHOST_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------------------
 * Trace (TLG1_). Every source file owns one static trace unit. A unit caches the flag word of the
 * service together with the generation it was read at; TLG1_Sync is called only when the service's
 * generation moved on (see TLG1_Flags below), so the common case costs one load and one compare.
 *
 * Flag bits: 64 entry and exit events, 16 detail lines, 1 block and node lines (B-tree layer).
 * Error lines (qrxtrerr) and notices (qrxtrnot) are written whatever the flags say.
 *
 * Controls: QRX_TRACE_FLAGS (decimal or 0x hex) sets the flag word of every unit; QRX_TRACE_FILE names a
 * file that lines are appended to (default: standard error). Each line reads
 *   "qrx <file>:<line> <KIND> <text>"
 * with KIND one of ERROR, NOTICE(<severity>), DETAIL, ENTRY, EXIT, MESSAGE.
 * ------------------------------------------------------------------------------------------------- */
enum { TLG1_ENTRY_EXIT = 64, TLG1_DETAIL = 16, TLG1_BLOCKS = 1 };
enum { TLG1_EVENT_ENTRY = 0, TLG1_EVENT_EXIT_VALUE = 1, TLG1_EVENT_EXIT = 2 };

typedef struct TLG1_Unit {
  const char *file;    /* source file the unit belongs to */
  uint32_t flags;      /* cached flag word; read and written atomically by the service */
  uint32_t generation; /* service generation the cached word belongs to; 0 = never synced */
} TLG1_Unit;

/* Defines the static trace unit of a source file. */
#define TLG1_DEFINE_UNIT(name) static TLG1_Unit name = {__FILE__, 0u, 0u}

/* Current generation of the service; starts at 1 and grows each time the flags change. */
QRXHOST_API uint32_t TLG1_Generation(void);
/* Address of the generation word, for callers that check a unit inline (load it atomically, acquire). */
QRXHOST_API const uint32_t *TLG1_GenerationWord(void);
/* Re-reads the service's flag word into the unit and returns it. */
QRXHOST_API uint32_t TLG1_Sync(TLG1_Unit *unit);
/* Flag word of the unit, syncing first when it is stale. */
QRXHOST_API uint32_t TLG1_Flags(TLG1_Unit *unit);
/* Sets the flag word of every unit (tests and tools; the environment sets it at start). */
QRXHOST_API void TLG1_SetFlags(uint32_t flags);
QRXHOST_API void TLG1_Event(TLG1_Unit *unit, int line, int kind, long value);
QRXHOST_API void TLG1_Printf(TLG1_Unit *unit, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
QRXHOST_API void qrxtrerr(TLG1_Unit *unit, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
QRXHOST_API void qrxtrnot(TLG1_Unit *unit, int line, int severity, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* ---------------------------------------------------------------------------------------------------
 * Once-only, per-thread data, locks, memory, environment, sleep (OSV1_).
 * ------------------------------------------------------------------------------------------------- */

/* Runs fn(arg) exactly once per once word. The word is 0 before, negative after the run; callers may
 * skip the call when it is already negative. Nested once-only calls from inside fn are allowed. Returns 0.
 * Concurrent callers wait until the run has finished. Nonzero only on misuse: a null word or function, a
 * step that asks for its own word again (nothing is run), or fn ending by an exception (the word goes
 * back to 0 so that a later call runs it again); and ENOMEM, nothing run, when the service's own
 * bookkeeping could not be allocated. */
QRXHOST_API int32_t OSV1_InitializeOnce(volatile int32_t *once, void (*fn)(void *), void *arg,
                                        const char *file, int line);

/* A thread-key record: each thread gets its own zero-filled block of `size` bytes on its first
 * OSV1_ResolveThread, handed to init; when the thread ends the block is handed to end and freed. */
typedef struct OSV1_ThreadKey {
  uint32_t size;         /* size of the per-thread block in bytes */
  void (*init)(void *);  /* called with a new block, may be null */
  void (*end)(void *);   /* called with the block when the thread ends, may be null */
  volatile int32_t once; /* service-private: once word of the key */
  uint32_t key;          /* service-private: the key itself */
} OSV1_ThreadKey;

/* The calling thread's block for the key, or null when it cannot be made. */
QRXHOST_API void *OSV1_ResolveThread(OSV1_ThreadKey *key, const char *file, int line);

/* A mutual-exclusion lock living inside the caller's own record. */
typedef struct OSV1_Lock {
  uint64_t opaque[8]; /* room for the platform mutex */
} OSV1_Lock;
QRXHOST_API int32_t OSV1_InitializeLock(OSV1_Lock *lock);
QRXHOST_API int32_t OSV1_GetLock(OSV1_Lock *lock);
QRXHOST_API int32_t OSV1_ReleaseLock(OSV1_Lock *lock);
QRXHOST_API int32_t OSV1_DestroyLock(OSV1_Lock *lock);

/* Memory: GetMem returns 0 with *out set to a zero-filled block, or nonzero with *out null; the status
 * word (may be null) gets the same value. FreeMem releases what GetMem gave (null is ignored). */
QRXHOST_API int32_t OSV1_GetMem(size_t size, void **out, int32_t *status);
QRXHOST_API int32_t OSV1_FreeMem(void *p, int32_t *status);

/* Value of an environment variable, or dflt when it is not set. */
QRXHOST_API const char *OSV1_GetEnv(const char *name, const char *dflt);
/* Value of an environment variable, or null. */
QRXHOST_API const char *OSV1_LocateEnv(const char *name);
/* The calling thread waits that many seconds (or whatever the test hook does instead). */
QRXHOST_API void OSV1_Sleep(uint32_t seconds);

/* ---------------------------------------------------------------------------------------------------
 * Named anchors (RGY1_): process-wide records found by a short counted name.
 * ------------------------------------------------------------------------------------------------- */
typedef struct RGY1_Name {
  const char *chars; /* the name's characters (not necessarily NUL-terminated) */
  uint16_t length;   /* characters in use */
  uint16_t capacity; /* size of the character area */
} RGY1_Name;

enum {
  RGY1_OK = 0,        /* found (or forgotten) */
  RGY1_NOT_FOUND = 5, /* no anchor of that name */
  RGY1_BAD_NAME = 6,  /* empty or malformed descriptor */
  RGY1_CREATED = 10,  /* LocateCreateAnchor made the record now; the caller fills it */
  RGY1_NO_MEMORY = 12
};
/* 0 with *out set when the anchor exists; RGY1_NOT_FOUND or RGY1_BAD_NAME otherwise (*ctx gets the same). */
QRXHOST_API int32_t RGY1_LocateAnchorAddress(const RGY1_Name *name, void **out, int32_t *ctx);
/* Finds the anchor or makes a zero-filled record of `size` bytes for it: RGY1_CREATED when made now,
 * RGY1_OK when it existed, other values when nothing was made. When two threads ask at once, exactly one
 * of them gets RGY1_CREATED. The record comes from OSV1_GetMem; storage_ctx is not used. A descriptor is
 * malformed when it has no characters or its length exceeds its capacity. */
QRXHOST_API int32_t RGY1_LocateCreateAnchor(const RGY1_Name *name, uint32_t size, void **out,
                                            void *storage_ctx);
/* The name no longer finds the record (the record itself is the caller's to free, with OSV1_FreeMem, once
 * nobody uses it; a record never freed stays reachable from the service, so it is not reported as leaked). */
QRXHOST_API int32_t RGY1_ForgetAnchorAddress(const RGY1_Name *name, int32_t *ctx);

/* ---------------------------------------------------------------------------------------------------
 * Storage areas and heaps (HPM1_). Handles are eight opaque bytes. An area hands out elements of one
 * size; freed elements go back to the area and their memory stays mapped until the area is destroyed,
 * so HPM1_ElementState can tell a live element from a stale address without touching freed memory.
 * ------------------------------------------------------------------------------------------------- */
typedef struct HPM1_Handle {
  uint64_t word; /* 0 = no space */
} HPM1_Handle;

enum {
  HPM1_OK = 0,
  HPM1_BAD_HANDLE = 1, /* the handle names no live space */
  HPM1_NO_MEMORY = 2,  /* allocation failed */
  HPM1_BAD_SIZE = 3,   /* size outside the area's element size, or zero */
  HPM1_NOT_ELEMENT = 4 /* FreeStorage of an address that is not a live element */
};
enum { HPM1_ELEMENT_NONE = 0, HPM1_ELEMENT_LIVE = 1, HPM1_ELEMENT_FREE = 2 };

QRXHOST_API int32_t HPM1_GetStorageHandle(HPM1_Handle *out, int32_t *ctx);
QRXHOST_API int32_t HPM1_CreateArea(const HPM1_Handle *storage, const char *name, int32_t flags,
                                    uint32_t min_size, uint32_t max_size, HPM1_Handle *area);
QRXHOST_API int32_t HPM1_CreateHeap(const HPM1_Handle *storage, const char *name, int32_t flags,
                                    uint32_t size, HPM1_Handle *heap);
/* A zero-filled piece: from an area, one element (size between the area's min_size and max_size, the
 * element being max_size bytes); from a heap, size bytes. The storage handle itself hands out nothing and
 * cannot be destroyed. */
QRXHOST_API int32_t HPM1_AllocateStorage(const HPM1_Handle *space, uint32_t size, void **out);
QRXHOST_API int32_t HPM1_FreeStorage(const HPM1_Handle *space, void *p);
QRXHOST_API int32_t HPM1_DestroySpace(const HPM1_Handle *space);
/* Stores the reason code of the space's last failed allocation (0 when none) and returns it. */
QRXHOST_API int32_t HPM1_DiagnoseSpace(const HPM1_Handle *space, int32_t *reason);
/* HPM1_ELEMENT_LIVE when p is the start of an allocated element of the area, HPM1_ELEMENT_FREE when it is
 * the start of an element given back, HPM1_ELEMENT_NONE otherwise (also for a stale area handle). */
QRXHOST_API int32_t HPM1_ElementState(const HPM1_Handle *area, const void *p);

/* ---------------------------------------------------------------------------------------------------
 * Exception frames (XFR1_). Conditions are carried by a C++ exception (XFR1_Condition) thrown by
 * XFR1__Raise and caught by the guard frame of the nearest enclosing service call; see XFR1_Guard in
 * the C++ section below. A raise with no frame on the chain writes an error line and aborts.
 * ------------------------------------------------------------------------------------------------- */
typedef struct XFR1_Frame {
  struct XFR1_Frame *prev; /* next frame out */
  const char *file;        /* where the frame was pushed */
  int line;
} XFR1_Frame;

typedef struct XFR1_ErrorRecord {
  int32_t code; /* code last raised on the thread */
} XFR1_ErrorRecord;

typedef struct XFR1_Chain {
  XFR1_Frame *top;        /* current frame, or null */
  XFR1_ErrorRecord error; /* the thread's error record */
} XFR1_Chain;

/* The calling thread's frame chain. */
QRXHOST_API XFR1_Chain *XFR1_Thread(void);
QRXHOST_API void XFR1__PushFrame(XFR1_Chain *chain, XFR1_Frame *frame, const char *file, int line);
/* Unlinks a frame wherever it stands on the chain. */
QRXHOST_API void XFR1__DropFrame(XFR1_Chain *chain, XFR1_Frame *frame, const char *file, int line);
/* Records the code in the thread's error record and resumes at the nearest guard frame. C++ only. */
QRXHOST_API void XFR1__Raise(XFR1_Chain *chain, int32_t code);
/* The thread's current error record; its first word is the code last raised. */
QRXHOST_API XFR1_ErrorRecord *qrxerec(XFR1_Chain *chain);

/* ---------------------------------------------------------------------------------------------------
 * Catalog messages. qrxmsom opens a catalog by name ("QRXMSENU"): the file of that name in the directory
 * named by QRX_MSGDIR when that is set and the file exists there, else the copy built into this library.
 * Messages are written to the trace sink as MESSAGE lines: "<id> <text with inserts>"; the text's
 * %1..%9 are replaced by the inserts.
 * ------------------------------------------------------------------------------------------------- */
typedef struct QRXMS_Catalog QRXMS_Catalog;
enum {
  QRXMS_OK = 0,
  QRXMS_BAD_ARGUMENT = 1, /* null or malformed argument, or a handle that is not open */
  QRXMS_NOT_FOUND = 2,    /* no catalog of that name */
  QRXMS_UNREADABLE = 3,   /* the catalog file exists but cannot be read */
  QRXMS_UNKNOWN_ID = 4,   /* the message id is not in the catalog (nothing is written) */
  QRXMS_NO_MEMORY = 5
};
/* 0 with *handle set on success; nonzero when the catalog cannot be found or read. */
QRXHOST_API int32_t qrxmsom(const char *name, uint32_t name_len, QRXMS_Catalog **handle);
/* Writes the message with its inserts; 0 when the id was found in the catalog. An insert mark %n with
 * n > count stays as written; a null insert is written as nothing. */
QRXHOST_API int32_t qrxmswm(QRXMS_Catalog *handle, const char *id, int32_t count, const char *const *inserts);
/* Closes the catalog; the handle is invalid afterwards. */
QRXHOST_API int32_t qrxmscm(QRXMS_Catalog *handle);

/* ---------------------------------------------------------------------------------------------------
 * Test hooks. They let tests observe trace lines, replace the sleep, count storage spaces and make storage
 * calls and allocations fail; programs never need them.
 * ------------------------------------------------------------------------------------------------- */
enum {
  QRXHOST_KIND_ERROR = 0,
  QRXHOST_KIND_NOTICE,
  QRXHOST_KIND_DETAIL,
  QRXHOST_KIND_ENTRY,
  QRXHOST_KIND_EXIT,
  QRXHOST_KIND_MESSAGE
};
/* Called for every line written, in place of the file or standard error while set; text has no newline.
 * Pass null to go back to the normal sink. Calls are serialised with every other line, so the sink must
 * not write trace lines itself; once the call that replaces a sink returns, the old one is not called. */
typedef void (*qrxhost_sink_fn)(void *ctx, const char *file, int line, int kind, int severity,
                                const char *text);
QRXHOST_API void qrxhost_set_trace_sink(qrxhost_sink_fn fn, void *ctx);
/* Replaces OSV1_Sleep's wait (null restores the real sleep). */
QRXHOST_API void qrxhost_set_sleep_hook(void (*fn)(uint32_t seconds));
/* Live areas and heaps (the process's storage handle is not counted). */
QRXHOST_API uint32_t qrxhost_storage_space_count(void);
/* Makes the nth call from now (1: the next; 0 disarms) of HPM1_CreateArea, HPM1_CreateHeap,
 * HPM1_AllocateStorage or HPM1_FreeStorage fail once before it does anything: with how 0 it returns
 * HPM1_NO_MEMORY; with how 1 it raises a condition (XFR1__Raise, code 99), which needs a guard frame on the
 * calling thread. Calls on every thread count. */
QRXHOST_API void qrxhost_storage_fault(uint32_t nth, int32_t how);
/* Counted allocation failures. While armed, every allocation of the family is counted (on every thread):
 * OSV1_GetMem, the per-thread blocks of OSV1_ResolveThread, HPM1_GetStorageHandle, HPM1_CreateArea,
 * HPM1_CreateHeap, HPM1_AllocateStorage, and the library's own C-style allocations, which ask
 * qrxhost_alloc_fails first. The nth one from arming (1: the next) fails as out of memory without
 * allocating, and with sticky every one after it fails too; nth 0 disarms. A test that also replaces the
 * global operator new may ask qrxhost_alloc_fails there, so that C++ allocations share the count. */
QRXHOST_API void qrxhost_alloc_fault(uint64_t nth, int32_t sticky);
/* Allocations counted since the last arming (failed ones included); disarming keeps the count. */
QRXHOST_API uint64_t qrxhost_alloc_count(void);
/* Nonzero when the allocation about to be made is to fail; counts it while armed. Never allocates. */
QRXHOST_API int32_t qrxhost_alloc_fails(void);

#ifdef __cplusplus
} /* extern "C" */

/* The condition type carries no exported typeinfo: the C++ runtime matches it across shared objects by
 * its name, so the libraries export C names only. */
/* C++ guard frame: runs body; a condition raised inside (XFR1__Raise) ends it and its code is returned,
 * 0 when the body finished normally. The frame is pushed on the thread's chain for the body's duration. */
struct XFR1_Condition {
  int32_t code;
};

template <class Body>
int32_t XFR1_Guard(const char *file, int line, Body &&body) noexcept {
  XFR1_Chain *chain = XFR1_Thread();
  XFR1_Frame frame;
  XFR1__PushFrame(chain, &frame, file, line);
  int32_t code = 0;
  try {
    body();
  } catch (const XFR1_Condition &c) {
    code = c.code;
  } catch (...) {
    code = -1;
  }
  XFR1__DropFrame(chain, &frame, file, line);
  return code;
}
#endif

#endif /* QRXHOST_H */
