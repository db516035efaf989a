// insert.h - cbinsert internals: the first leaf, the descent to the leaf that takes a key, insertion into
// a node with the fixed order right offload, left offload, split; the byte-balanced split; the parent
// re-synchronisation; new root levels.
//
// Layers: insertion -> redistribution -> node primitives and search -> buffer pool. Everything runs with
// the file's control-record mutex held (taken by the public operation), which guards the control record's
// root/lowleaf/highleaf/highblock/freechain/depth and every handle's cursor and mark.
//
// A level never hands a separator key to its parent. Every interior entry is a copy of the lowest key and
// item of its child's subtree; after a child level split or shifted, the parent walks the child level
// along right and inserts, through the ordinary insertion path, the lowest key of every child it does not
// reference. Result codes of the level steps: -1 failure (codes set), 1 inserted and the parent need not
// change, 2 the node was split, 4 entries were shifted into a sibling and the key inserted afterwards, 5
// entries were shifted and the key went in during the shift. On 2, 4 and 5 the parent re-synchronises; at
// the top they make a new root level.
#pragma once

#include <cstdint>

#include "cbt/cbt.h"

namespace qrx::cbt {

// cbinsert without the lock. Sets function code 14. 1, or -1:
//   - key longer than the pool's buffer size - 36 or the file's block size - 36: no code set;
//   - the exact key and item present: error 18, context 21;
//   - an equal key present (in the leaf or at the end of a neighbouring leaf) while dupok is 0: 17, 21;
//   - a block that cannot be read, put or released: 6, 8 or 9; corruption met on the way: 20.
// A failure in the middle of a split or shift leaves the blocks already changed as they are.
int32_t B_insert(Tree *t, const uint8_t *key, uint32_t len, uint32_t item, int32_t dupok);

// The first leaf of an empty tree, holding k: root, lowleaf and highleaf, depth 1. 1, or -1 (context 22).
int32_t B_ins_new_tree(Tree *t, const KeyInfo &k);
// Insertion below the root of a non-empty tree, with a new root level when the top level split or
// shifted. 1, or -1.
int32_t B_ins_tree(Tree *t, const KeyInfo &k);
// Descent through interior block P (parent G, position g in G; the root has G 0, g 0). Re-synchronises P
// when the child level reports 2, 4 or 5. Result code as above. At most 1024 levels (error 20, context 21).
int32_t ins_subtree(Tree *t, const KeyInfo &k, int32_t P, int32_t G, int32_t g, int32_t level = 0);

// Inserts into P the lowest key of every child on P's child level, from the child at position c on,
// that P does not reference yet, up to the next child that it does; continues in P's right sibling when
// a key went there. 1 when P's shape did not change, else the last 2, 4 or 5; -1 (context 42).
int32_t add_children(Tree *t, int32_t P, int32_t c, int32_t G, int32_t g);
// The first child to look at (*x) and the index of the first entry of P after it (*s), starting from the
// left neighbour of the child at position c. 1, or -1 (errors 6/9/20, context 42).
int32_t loc_start(Tree *t, const uint8_t *pnode, int32_t c, int32_t *x, int32_t *s);
// The child at which the walk stops: the child of entry s, else the first child of P's right sibling,
// else 0. 1, or -1 (context 42).
int32_t loc_stop(Tree *t, const uint8_t *pnode, int32_t s, int32_t *stop);
// Inserts the lowest key of child X (from the leftmost leaf under it, dupok 1) into interior block P,
// pinned by the caller as pnode (parent G, position g). *index is where that key stands in pnode after
// the insertion (key_cnt when it went into P's right sibling). Result code of the insertion, or -1.
int32_t B_add_low_key(Tree *t, int32_t P, uint8_t *pnode, int32_t X, int32_t G, int32_t g, int32_t *index);

// A new interior root above the current root, holding it as its low path; depth + 1. 1, or -1 (context 38).
int32_t make_empty_root(Tree *t);
// After the top level was split or shifted: puts a new root above it holding every block of that level,
// repeating while the new level itself ends up with more than one block. 1, or -1 (context 38).
int32_t B_make_root(Tree *t);

// Inserts k into block N (parent P, position p). Result code, or -1 (context 21).
int32_t B_ins_node(Tree *t, const KeyInfo &k, int32_t N, int32_t P, int32_t p);
// k does not fit at index i of the pinned node N (block blk): right offload, left offload, then split.
int32_t B_make_key_fit(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P,
                       int32_t p);

// Splits the pinned node N (block blk), choosing the side for k by byte counts, moves the entries after
// the split index into a new right sibling and inserts k into its half. 2, or -1.
int32_t split_node(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P, int32_t p);
// k goes into the new right node; the split index starts at i and moves left while that balances.
int32_t split_right(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P, int32_t p);
// k stays in N; the split index starts at i and moves right while that balances.
int32_t split_left(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P, int32_t p);
// Takes a block for a new node of N's kind and links it in right of N (block blk). 1, or -1.
int32_t splice_in_node(Tree *t, int32_t blk, uint8_t *node);

// Estimates used by the split: bytes the right half gains when entry s-1 joins it, and bytes the left
// half gains when entry s joins it, for k about to be inserted at index i. Only steer the split point.
uint32_t rh_shift_key(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i, int32_t s);
uint32_t lh_shift_key(Tree *t, const KeyInfo &k, const uint8_t *node, int32_t i, int32_t s);

}  // namespace qrx::cbt
