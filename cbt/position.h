// position.h - cursor steps used by the public positioning operations and by cbmodify. All run with the
// file's control-record mutex held.
#pragma once

#include <cstdint>

#include "cbt/cbt.h"

namespace qrx::cbt {

// Stores the item at the cursor: 1; pos_stat when not on an entry; -1 (error 6/16/9, context 13).
int32_t B_get_curitem(Tree *t, uint32_t *item);
int32_t B_pos_firstkey(Tree *t);  // 1, or -3 for an empty tree
int32_t B_pos_lastkey(Tree *t);   // 1, -2 for an empty tree, -1
int32_t B_pos_nextkey(Tree *t);   // 1, -3 at the end, -1
int32_t B_pos_prevkey(Tree *t);   // 1, -2 at the start, -1

}  // namespace qrx::cbt

namespace qrx::cbt {

// Public positioning operations (entry points in api.cc). Each sets its function code and takes the
// public-operation lock; an invalid handle gives -1 with error 15 or 14. Item and length pointers may be
// null (nothing is stored then).
int32_t cbt_head(Tree *t, uint32_t *item);  // 1, -3 empty tree, -1
int32_t cbt_tail(Tree *t, uint32_t *item);  // 1, -2 empty tree, -1
int32_t cbt_next(Tree *t, uint32_t *item);  // 1, -3 at the end, -1
int32_t cbt_prev(Tree *t, uint32_t *item);  // 1, -2 at the start, -1
int32_t cbt_curr(Tree *t, uint32_t *item);  // 1, or pos_stat, or -1
// Copies min(key length, size) bytes and a NUL when the key is shorter than the buffer. 1, pos_stat, -1.
int32_t cbt_key(Tree *t, void *buf, uint32_t size);
int32_t cbt_keylen(Tree *t, uint32_t *len);  // 1, pos_stat, -1
// 2 found, 3 positioned on the next greater entry, -3 nothing greater (EOI), -1.
int32_t cbt_find(Tree *t, const void *key, uint32_t len, uint32_t *item);
// As cbt_find with (key, *item); 2 only when both the key and the item match. *item gets the cursor's item.
int32_t cbt_finditem(Tree *t, const void *key, uint32_t len, uint32_t *item);
int32_t cbt_mark(Tree *t);                      // 1, or -1
int32_t cbt_findmark(Tree *t, uint32_t *item);  // 1, -2/-3 for a mark at BOI/EOI, -1 (error 22: no mark)

}  // namespace qrx::cbt
