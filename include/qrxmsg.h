/* qrxmsg.h - the message catalog: host programs open named message components over their own tables of
 * message texts and write messages by number, plainly or with inserts, through an output routine chosen
 * at open time.
 *
 * Conventions of this interface:
 *  1. One process-wide catalog anchor, made by qrxm1in with a three-character prefix and dropped by
 *     qrxm1te. A component is known by an 8-byte name (all 8 bytes are read and compared; pad short names,
 *     with blanks for instance). Opening a component over a message table gives an open record, reached
 *     through a qrxm_handle: a sequence number, a zero word and a slot number in a process-wide table of
 *     live records. A slot is never issued twice in a process, so a handle of a closed open, a forged
 *     handle or one kept after qrxm1te gives status 2 from every operation and is never followed.
 *  2. The message table and the texts it points to are the caller's and must stay valid while an open
 *     of them lasts. Opening the same component over the same table again (the table's address is the
 *     key) gives the same handle and counts the open; it takes as many qrxm1cm as opens to end it.
 *  3. Every operation returns a status: 0 success, 1 bad output mode at open (the open is undone) or a null
 *     argument where one is needed, 2 handle without a live open record, 4 anchor already made, 5 no such
 *     component, no current message or a message number outside the table, 6 no anchor, 8 an open failed
 *     without a code of its own; otherwise the code of the host memory or anchor service that failed.
 *     No operation raises, longjmps or throws into the caller.
 *  4. Messages are built as the open's prefix (the anchor's prefix followed by the open's suffix) and the
 *     table entry's text, at most 255 characters in all, and written as that many characters and a
 *     newline on standard output by the output routines. Descriptors are text and length, never
 *     NUL-terminated by the catalog.
 *  5. Any thread may call any operation: the family runs one operation at a time in the process.
 */
#ifndef QRXMSG_H
#define QRXMSG_H

#include <stddef.h>
#include <stdint.h>

#include "qrxcb.h"

#ifdef __cplusplus
extern "C" {
#define QRXMSG_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QRXMSG_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

typedef struct qrxm_handle {
  uint16_t seq;  /* sequence number of the open record */
  uint16_t aux;  /* always 0 */
  uint32_t slot; /* the record's slot in the process's table of live records; 0 names nothing */
} qrxm_handle;

/* One message of a caller's table, indexed by message number; a table ends with an entry whose text is
 * null. length is the declared length of text (a negative one counts as 0). */
typedef struct qrxm_entry {
  const char *text;
  int16_t length;
  uint16_t attribute;
} qrxm_entry;

/* Text passed in or out: max characters of room at text, length of them in use. */
typedef struct qrxm_desc {
  char *text;
  uint16_t max;
  uint16_t length;
} qrxm_desc;

/* A pointer-aligned record of a pointer and two 16-bit words: its size rounded up to a pointer's. */
#define QRXMSG_PTR_PAIR_SIZE ((sizeof(void *) + 4 + sizeof(void *) - 1) / sizeof(void *) * sizeof(void *))
QRXMSG_STATIC_ASSERT(sizeof(qrxm_handle) == 8, "handle is eight bytes");
QRXMSG_STATIC_ASSERT(offsetof(qrxm_handle, slot) == 4, "handle slot in the second word");
QRXMSG_STATIC_ASSERT(offsetof(qrxm_entry, length) == sizeof(const char *), "entry length after text");
QRXMSG_STATIC_ASSERT(offsetof(qrxm_entry, attribute) == sizeof(const char *) + 2, "entry attribute");
QRXMSG_STATIC_ASSERT(sizeof(qrxm_entry) == QRXMSG_PTR_PAIR_SIZE, "entry size");
QRXMSG_STATIC_ASSERT(offsetof(qrxm_desc, max) == sizeof(char *), "descriptor max after text");
QRXMSG_STATIC_ASSERT(offsetof(qrxm_desc, length) == sizeof(char *) + 2, "descriptor length after max");
QRXMSG_STATIC_ASSERT(sizeof(qrxm_desc) == QRXMSG_PTR_PAIR_SIZE, "descriptor size");

/* Statuses. */
enum {
  QRXM_OK = 0,
  QRXM_INVALID = 1,     /* bad output mode; a null argument */
  QRXM_BAD_HANDLE = 2,  /* the handle names no live open record */
  QRXM_INITIALISED = 4, /* qrxm1in: the anchor already existed */
  QRXM_NOT_FOUND = 5,   /* no component, no current message, or a number outside the table */
  QRXM_NO_ANCHOR = 6,   /* qrxm1in has not been called (or qrxm1te has) */
  QRXM_ABNORMAL = 8     /* an open failed without a code of its own */
};

/* Output modes: which output routine an open writes through. */
enum { QRXM_OUTPUT_RPO = 0, QRXM_OUTPUT_RPL = 1, QRXM_OUTPUT_RPU = 2 };

enum {
  QRXM_MAX_TEXT = 255,  /* characters of a built or formatted message */
  QRXM_MAX_ENTRY = 249, /* characters of a table entry's text taken into a message */
  QRXM_INSERTS = 10,    /* insert words of qrxm1wf */
  QRXM_WRITTEN = 26     /* status word stored by the output routines */
};

/* An output routine: writes desc->length characters of desc->text and a newline to standard output,
 * stores QRXM_WRITTEN in *status (when not null) and returns 0; 1 when desc is null, or its text is null
 * with a length above 0 (nothing written). The handle is passed on for the routine's information only. */
typedef int32_t (*qrxm_output_fn)(qrxm_handle handle, const qrxm_desc *desc, uint16_t attribute,
                                  int32_t *status);
QRX_API int32_t qrxmrpo(qrxm_handle handle, const qrxm_desc *desc, uint16_t attribute, int32_t *status);
QRX_API int32_t qrxmrpl(qrxm_handle handle, const qrxm_desc *desc, uint16_t attribute, int32_t *status);
QRX_API int32_t qrxmrpu(qrxm_handle handle, const qrxm_desc *desc, uint16_t attribute, int32_t *status);

/* Makes the anchor with the prefix (its first 3 characters, up to a NUL; null is an empty prefix): 0;
 * 4 when it already existed (its prefix unchanged); otherwise the anchor service's code. */
QRX_API int32_t qrxm1in(const char *prefix);

/* Opens component name[0..8) over the table whose address *table_ref holds, writing through output mode
 * `mode`, with the open's prefix the anchor's followed by the suffix (its first 3 characters, up to a
 * NUL; null is none). The component is made when it is new. A second open of the same component over the
 * same table adds 1 to the record's open count and gives its handle again (mode and suffix are not
 * looked at). 0 with *handle set; 6 without an anchor; 1 for a null argument (nothing done) or a mode
 * other than 0, 1, 2 (the open is undone: a component made by it is dropped again); the memory service's
 * code when a record cannot be had. */
QRX_API int32_t qrxm1om(const char *name, const qrxm_entry *const *table_ref, int32_t mode,
                        const char *suffix, qrxm_handle *handle);

/* Closes one open: the record's open count goes down by 1; at 0 the record goes (its handle gives 2 from
 * then on) and so does its component when it has no other open. 0, or 2 for a dead handle. */
QRX_API int32_t qrxm1cm(qrxm_handle handle);

/* Closes every open of every component (as many times as each was opened) and drops the anchor: 0; 5
 * when there is no anchor. Every handle gives 2 afterwards; qrxm1in may make a new anchor. */
QRX_API int32_t qrxm1te(void);

/* Chooses the open's output routine: 0 qrxmrpo, 1 qrxmrpl, 2 qrxmrpu. 1 for any other mode (the routine
 * is unchanged), 2 for a dead handle. */
QRX_API int32_t qrxm1sd(qrxm_handle handle, int32_t mode);

/* Builds message `number` (decimal text, leading blanks and a sign allowed; digits up to the first other
 * character) of the open's table into desc: the open's prefix, then the entry's text up to its declared
 * length, a NUL or 249 characters, whichever comes first; at most desc->max characters are written in
 * all. desc->length is the number written; *attribute (when not null) the entry's attribute. 5 when the
 * number is negative or at or past the table's end (desc untouched); 1 for a null number or descriptor,
 * or a null descriptor text with a max above 0; 2 for a dead handle. */
QRX_API int32_t qrxm1bm(qrxm_handle handle, const char *number, qrxm_desc *desc, uint16_t *attribute);

/* Builds message `number` into a 255-character descriptor and writes it through the open's output
 * routine; returns the routine's result, or the build's status when it failed (nothing written). */
QRX_API int32_t qrxm1wm(qrxm_handle handle, const char *number);

/* As qrxm1wm, but the built text is a format over the inserts (null: ten words of 0). Conversions
 * %d %i %u %x %X %o %c %s %p, with the flags - + space # 0, a width and a precision written as digits,
 * each take the next insert word: 32 bits of it for d i u x X o without a length, the whole word with l,
 * ll or z; %s a pointer word to a NUL-terminated text (null prints "(null)"), %p a pointer word. %% writes
 * one %. %n, conversions past the tenth, and every other directive are written as they stand. The
 * formatted message is cut at 255 characters. */
QRX_API int32_t qrxm1wf(qrxm_handle handle, const char *number, const uintptr_t inserts[QRXM_INSERTS]);

/* Parks a current message code (its first 6 characters, up to a NUL) on the open, replacing any: 0, 1 for
 * a null code, 2 for a dead handle. */
QRX_API int32_t qrxm2sc(qrxm_handle handle, const char *code);
/* Empties the open's current code: 0, or 2 for a dead handle. */
QRX_API int32_t qrxm2cc(qrxm_handle handle);

/* Take the first open of component name[0..8) (most recent open first) that has a current code, build its
 * message with the code as the message number, and empty the code. qrxm2gc copies min(desc->max, message
 * length) characters to desc->text and sets desc->length; qrxm2wm writes the message through the open's
 * output routine and returns the routine's result. 6 without an anchor; 5 when the component does not
 * exist, none of its opens has a code, or the code is no number of the table (the code is emptied, nothing
 * copied or written); 1 for a null argument (nothing done). */
QRX_API int32_t qrxm2gc(const char *name, qrxm_desc *desc);
QRX_API int32_t qrxm2wm(const char *name);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QRXMSG_H */
