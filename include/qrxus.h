/* qrxus.h - user storage: a process-wide store of named user spaces holding named attributes whose values
 * are byte strings. A space may have sub-spaces; a lookup through a sub-space climbs to its ancestors.
 *
 * Conventions of this interface:
 *  1. Spaces are reached through UsrHandle values, eight bytes passed by value: the space's identifier, a
 *     zero half-word and a slot number in a process-wide table of live blocks. A handle is valid while its
 *     slot names a live space with that identifier and its zero half-word is 0. A slot is never issued
 *     twice in a process, so the handle of a destroyed space (or of a space under one destroyed), a copy
 *     altered in any byte, a handle from before the store was remade and the zero handle all give 2 from
 *     every operation, which then does nothing. A handle is never followed as an address.
 *  2. Names and values are passed as UsrDescriptor: the address of the bytes and two counts. `length` is
 *     the count the operations use; `size` is not read. Descriptors the store gives out set both to the
 *     value's length. A name is 4 to 52 bytes; two names match when they have the same length and the same
 *     bytes. A value is 0 to 65535 bytes.
 *  3. Every operation returns a code (QRXUS_OK ...) and leaves a reason code (QRXUS_R_...) in the space it
 *     worked on, which qrxusgr reads; qrxuscu and qrxusdu write theirs to the caller's status word instead.
 *  4. The store (the anchor "USR1" with the areas "UCSAREA" and "ATTRAREA" and the heap "BUFFERHEAP") is
 *     made by the first creation of a top-level space and goes, with everything in it, when the last
 *     top-level space is destroyed, or when a creation that made it fails. The next creation makes it anew,
 *     and identifiers start again at 1.
 *  5. Any thread may call any operation: one lock serialises every operation of the family, the making and
 *     dropping of the store included. No operation raises, longjmps or throws into the caller: a condition
 *     raised inside (by a host service) gives QRXUS_ABNORMAL with reason 45 after the operation's clean-up.
 *  6. Descriptors and out-pointers must not be null, nor a descriptor's bytes when its length is above 0;
 *     such a call (on a valid handle) gives QRXUS_SHORT_NAME and changes nothing, not even a reason.
 */
#ifndef QRXUS_H
#define QRXUS_H

#include <stddef.h>
#include <stdint.h>

#include "qrxcb.h"

#ifdef __cplusplus
extern "C" {
#define QRXUS_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QRXUS_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

typedef struct UsrHandle {
  uint16_t id;   /* identifier of the space, from 1; 0 in the zero handle */
  uint16_t zero; /* always 0 */
  uint32_t slot; /* the space's slot in the process's table of live blocks; 0 names nothing */
} UsrHandle;
QRXUS_STATIC_ASSERT(sizeof(UsrHandle) == 8, "UsrHandle is eight bytes");
QRXUS_STATIC_ASSERT(offsetof(UsrHandle, slot) == 4, "UsrHandle slot follows the two half-words");

typedef struct UsrDescriptor {
  const void *bytes; /* the first byte; may be null when length is 0 */
  uint16_t size;     /* not read by the operations */
  uint16_t length;   /* number of bytes */
} UsrDescriptor;
QRXUS_STATIC_ASSERT(sizeof(UsrDescriptor) == 2 * sizeof(void *), "UsrDescriptor is two words");
QRXUS_STATIC_ASSERT(offsetof(UsrDescriptor, length) == sizeof(void *) + 2,
                    "UsrDescriptor counts follow bytes");

/* Shortest and longest names. */
enum { QRXUS_NAME_MIN = 4, QRXUS_NAME_MAX = 52 };

/* Return codes. */
enum {
  QRXUS_OK = 0,
  QRXUS_SHORT_NAME = 1, /* a name shorter than 4 or longer than 52 bytes; a null argument */
  QRXUS_BAD_HANDLE = 2,
  QRXUS_DUPLICATE = 4, /* the name is already present */
  QRXUS_NOT_FOUND = 5,
  QRXUS_NO_STORAGE = 7, /* storage could not be allocated */
  QRXUS_ABNORMAL = 8    /* a storage call failed, or a condition was raised inside the operation */
};

/* Reason codes. */
enum {
  QRXUS_R_OK = 0,
  QRXUS_R_SHORT_SPACE_NAME = 1, /* qrxuscu: name too short or too long */
  QRXUS_R_SHORT_ATTR_NAME = 2,  /* attribute operations: name too short or too long */
  QRXUS_R_CREATED = 26,         /* the space was just created */
  QRXUS_R_NOT_FOUND = 28,       /* no attribute of that name */
  QRXUS_R_DUPLICATE = 34,       /* the name is already present */
  QRXUS_R_STORAGE = 41,         /* a storage call failed */
  QRXUS_R_CONDITION = 45        /* a condition was raised inside the operation */
};

/* qrxuscu: creates a top-level space named by `name` and sets *space to its handle. *status starts at 26
 * and stays so on success. A bad name: 1, status 1. A top-level space of that name exists: 4, status 34.
 * 7 (status 41) when its record cannot be had; 8 (status 41) when the store's areas or heap cannot be
 * made; 8 (status 45) on a condition, or when the anchor can be neither found nor made. On any failure
 * nothing is left: not the space, and not a store made by this call. */
QRX_API int32_t qrxuscu(const UsrDescriptor *name, UsrHandle *space, int32_t *status);

/* qrxuscs: creates a sub-space of `parent`, carrying the parent's name, first on the parent's list of
 * children; *space gets its handle and its reason is 26. 7 (parent's reason 41) when its record cannot be
 * had; 8 (parent's reason 45) on a condition, with nothing made. */
QRX_API int32_t qrxuscs(UsrHandle parent, UsrHandle *space);

/* qrxusdu: destroys the space with all its sub-spaces and every attribute in them; every handle of them
 * gives 2 afterwards. *status 0 on success. A storage call that fails stops the destruction part-way: 8,
 * status 41 (what was destroyed stays destroyed, the rest stays usable); 8, status 45 on a condition. Any
 * depth of sub-spaces is destroyed without recursion. Destroying the last top-level space drops the store
 * and every value descriptor it gave out. */
QRX_API int32_t qrxusdu(UsrHandle space, int32_t *status);

/* qrxussa: adds the attribute `name` with a copy of `value` to the space; reason 0. A bad name: 1, reason
 * 2. The space has its own attribute of that name: 4, reason 34, and the stored value stays. 7, reason 41
 * when storage cannot be had; 8, reason 45 on a condition; in both cases nothing is added. */
QRX_API int32_t qrxussa(UsrHandle space, const UsrDescriptor *name, const UsrDescriptor *value);

/* qrxusga: finds the attribute `name` in the space or, when the space is a sub-space, in its ancestors
 * below the top level, nearest first: a top-level space's own attributes are found only through itself.
 * Found: 0, the space's reason 0, *value names the stored bytes (not a copy), valid until the attribute is
 * removed or its space destroyed; a value of length 0 has null bytes. Not found: 5, reason 28. A bad name:
 * 1, reason 2. */
QRX_API int32_t qrxusga(UsrHandle space, const UsrDescriptor *name, UsrDescriptor *value);

/* qrxusgs: as qrxusga, looking at the space's own attributes only; a find leaves the reason as it was. */
QRX_API int32_t qrxusgs(UsrHandle space, const UsrDescriptor *name, UsrDescriptor *value);

/* qrxusfa: removes the space's own attribute `name`; reason 0. A bad name: 1, reason 2. Not found: 5,
 * reason 28. When its storage cannot be given back: 8, reason 41 (or 45 on a condition); the attribute is
 * gone from the space all the same. */
QRX_API int32_t qrxusfa(UsrHandle space, const UsrDescriptor *name);

/* qrxusgp: *parent gets the parent's handle and the space's reason becomes 0; for a top-level space
 * *parent gets the zero handle (which names nothing) and the reason stays. 0. */
QRX_API int32_t qrxusgp(UsrHandle space, UsrHandle *parent);

/* qrxusgr: *reason gets the space's reason code. 0. */
QRX_API int32_t qrxusgr(UsrHandle space, int32_t *reason);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QRXUS_H */
