// adapter.h - the adapter that carries keyed-file requests to the ISAM layer, as the service calls it.
//
// These are the bodies of the exported qrxky1 operations (include/qrxky.h gives their contracts): the
// service calls them here, never through the exported names, so a host's own function of such a name
// cannot take their place. The adapter's file and request objects are its own; the service holds only
// their handles (Kind::kRequest slots).
#pragma once

#include <cstdint>

#include "qrxky.h"

namespace qrx::keyed {

int32_t ky1_of(const char *name, int32_t name_len, int32_t usage, uint32_t *rec_len, uint32_t *key_offset,
               uint32_t *key_len, KeyHandle *adapter, uint32_t *reason);
int32_t ky1_cf(KeyHandle adapter, uint32_t *reason);
int32_t ky1_ff(KeyHandle adapter, uint32_t *reason);
int32_t ky1_cc(KeyHandle adapter, const void *key, int32_t key_len, int32_t sync, KeyHandle *cursor,
               uint32_t *reason);
int32_t ky1_dc(KeyHandle cursor, int32_t sync, uint32_t *reason);
int32_t ky1_sp(KeyHandle adapter, const void *key, int32_t key_len, int32_t sync, uint32_t *reason);
int32_t ky1_rs(KeyHandle adapter, int32_t forward, void *buf, int32_t buf_len, int32_t sync, int32_t *rec_len,
               uint32_t *reason);
int32_t ky1_ru(KeyHandle adapter, int32_t forward, void *buf, int32_t buf_len, int32_t sync, int32_t *rec_len,
               uint32_t *reason);
int32_t ky1_gr(KeyHandle adapter, const void *key, int32_t key_len, void *buf, int32_t buf_len,
               int32_t *rec_len, int32_t sync, uint32_t *reason);
int32_t ky1_gu(KeyHandle adapter, const void *key, int32_t key_len, void *buf, int32_t buf_len,
               int32_t *rec_len, int32_t sync, uint32_t *reason);
int32_t ky1_ar(KeyHandle adapter, const void *key, int32_t key_len, const void *rec, int32_t rec_len,
               int32_t sync, uint32_t *reason);
int32_t ky1_re(KeyHandle adapter, const void *rec, int32_t rec_len, int32_t sync, uint32_t *reason);
int32_t ky1_dr(KeyHandle adapter, int32_t sync, uint32_t *reason);
int32_t ky1_rr(KeyHandle adapter, int32_t sync, uint32_t *reason);
int32_t ky1_ca(KeyHandle adapter, uint32_t *reason);

// Maps the calling thread's isam_errno (and, for error 9, the B-tree error code) onto a status, writing
// the reason through `reason` (may be null). Unknown numbers write the error line naming `context`. Row
// 0 maps to status 0: callers that met a failure turn that into 8, reason 26 (see failure_status).
int32_t DiagnoseError(const char *context, uint32_t *reason);

// DiagnoseError for a call that failed: never 0 (a failure with isam_errno 0 gives 8, reason 26).
int32_t failure_status(const char *context, uint32_t *reason);

}  // namespace qrx::keyed
