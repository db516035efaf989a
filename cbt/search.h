// search.h - entry order, key comparison, the binary search inside a node, the descent from the root to
// a leaf, the duplicate and sharing tests, and the list helpers used by the database layer.
//
// Entry order: by key under the tree's compare function, then by item as a signed 32-bit number. A
// compare function's negative results count as -1 and positive ones as 1.
// Equality for the duplicate rules is the compare function's 0. Sharing of key bytes (node.h) needs
// equality AND equal lengths: the *_share tests below.
#pragma once

#include <cstdint>

#include "cbt/cbt.h"

namespace qrx::cbt {

// The tree's compare function, normalised to -1, 0 or 1.
int32_t B_keycmp(Tree *t, const uint8_t *k1, int32_t l1, const uint8_t *k2, int32_t l2);
// Key, then signed item.
int32_t B_key_item_cmp(Tree *t, const uint8_t *key, int32_t len, uint32_t item, const uint8_t *key2,
                       int32_t len2, uint32_t item2);
// True when k's key equals the key of entry i (false for i < 0 or i >= key_cnt).
bool B_node_keycmp(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i);
// As B_node_keycmp, and the lengths are equal too: k may share entry i's bytes.
bool B_node_keyshare(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i);
// True when the keys of the two entries are equal.
bool B_key_match(Tree *t, const uint8_t *n1, int32_t i1, const uint8_t *n2, int32_t i2);
// As B_key_match, and the lengths are equal too.
bool B_key_share(Tree *t, const uint8_t *n1, int32_t i1, const uint8_t *n2, int32_t i2);
// 1 when the key at the handle's cursor equals the key, 0 when not, -1 for a bad cursor.
int32_t B_cur_key_match(Tree *t, const uint8_t *key, int32_t len);

// Binary search of a node: 0 found (index of the entry), -1 not found (index of the first greater
// entry), 1 greater than every entry (index key_cnt). key_cnt <= 0: 1 with index 0.
int32_t B_loc_key(Tree *t, const uint8_t *key, int32_t len, uint32_t item, const uint8_t *node,
                  int32_t *index);
int32_t B_key_info_loc(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t *index);
// True when a node reached `level` steps below the root (0 = the root) has the kind a tree of the control
// record's depth has there: a leaf on the last level, an interior node with its low path above it. An
// unused block or a node of another level is never searched.
bool B_level_ok(Tree *t, const uint8_t *node, int32_t level);
// The same test from a block's low_path word alone (the caller reads no entries of the block).
bool B_kind_at(Tree *t, int32_t low_path, int32_t level);
// Descends from the root and sets the handle's cursor on the first entry >= (key, item): 1, -3 (nothing
// greater: cursor at EOI), -1 (error; at most 1024 levels are descended).
int32_t B_loc_leaf_blk(Tree *t, const uint8_t *key, int32_t len, uint32_t item);
// The child of interior block blk to descend to for k, with its position (-1 = low path); -1 on failure.
int32_t B_loc_subtree(Tree *t, const KeyInfo &k, int32_t blk, int32_t *index);
// Leftmost leaf under blk: 1 with *leaf set, or -1 (errors 6/9 or 20, context 31).
int32_t B_loc_low_blk(Tree *t, int32_t blk, int32_t *leaf);
// Compares k (key and item) with entry 0 of the leftmost leaf under the node's low path; -1 when the
// node has no low path. 1 with *result set, or -1.
int32_t B_cmp_low_path(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t *result);
// 1 when k may share the bytes of entry i (tried first) or i-1, with their offset in *offset.
int32_t B_is_k_info_dup(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i, int32_t *offset);
// 1 when k.dupok is 0 and k's key equals the key of entry i or i-1 of this leaf.
int32_t B_is_dup_error(Tree *t, const KeyInfo &k, const uint8_t *leaf, int32_t i);
// Length limit of keys: at most the pool's buffer size minus 36.
bool B_is_key_valid(uint32_t len);

// Lists whose members begin with their next pointer; head is one pointer.
int32_t add_member(void **head, void *member);
int32_t is_member(void **head, void *member);
int32_t del_member(void **head, void *member);

}  // namespace qrx::cbt
