// modify.h - cbmodify internals: replacing one (key, item) entry by another, in place when the new pair
// belongs in the same leaf and fits there, otherwise by a full deletion and a full insertion.
//
// Layers: modification -> deletion, insertion, positioning, node primitives and search -> buffer pool.
// Everything runs under the file's control-record mutex (taken by the public operation), so other handles
// see the deletion and the insertion as one change; their cursors and marks are moved by the steps.
#pragma once

#include <cstdint>

#include "cbt/cbt.h"

namespace qrx::cbt {

// Finds the leaf that holds (key, item) or would hold it, descending by (key, item) as insertion does:
// 2 found (*blk, *index the entry), 3 not found (*index where the pair would be inserted; error 21,
// context 20 is left set), -1 (error 19 for an empty tree, 6/9 for block failures, 20 for corruption met
// on the way; context 20). At most 1024 levels are descended.
int32_t locate_key(Tree *t, const uint8_t *key, int32_t len, uint32_t item, int32_t *blk, int32_t *index);

// cbmodify without the lock: replaces (okey, olen, oitem) by (nkey, nlen, nitem); ndupok as cbinsert's
// dupok. 1, or -1:
//   - new key longer than the limit (pool buffer size - 36, or the file's block size - 36): no code set;
//   - new pair already present, or the search for its place failed: error 18, context 21;
//   - new key equal to another entry's key while ndupok is 0 (only when the key changes): 17, context 21;
//   - old pair not present: 21, context 20;
//   - failures inside the fallback deletion or insertion: as set there (the old pair may then be gone).
// The same pair given twice stores nothing; a cursor on that entry moves to the next one.
int32_t B_modify(Tree *t, const uint8_t *okey, uint32_t olen, uint32_t oitem, const uint8_t *nkey,
                 uint32_t nlen, uint32_t nitem, int32_t ndupok);

}  // namespace qrx::cbt
