// delete.h - removing an entry from a tree: the leaf step, joining under-filled neighbours, returning
// emptied blocks to the unused chain, repairing the parents of unused children and lowering the root.
//
// Layers: deletion -> redistribution (B_move_left) -> node primitives and search -> buffer pool.
// Every step runs with the file's control-record mutex held (taken by the public operation); that mutex
// guards the control record's root/lowleaf/highleaf/freechain/depth and every handle's cursor and mark.
//
// Result codes of the level steps: -1 failure (error and context codes set), 1 done and the parent need
// not change, 3 a child of the parent became unused (at the root: the root has a single child left or
// was emptied), so the parent must drop its references to unused children.
#pragma once

#include <cstdint>

#include "cbt/cbt.h"

namespace qrx::cbt {

// Fill threshold T: with x = blksize - 20, T = (x + 2x) >> 2 (unsigned). A node whose used space is below
// T is offered for joining, and two nodes are joined when their combined space is below T. 512-byte
// blocks: 369; 2048-byte blocks: 1521.
uint32_t B_fill_threshold(uint32_t blksize);

// cbdelete without the lock: removes exactly the entry (key under the compare function, item). Sets
// function code 15. 1, or -1: error 19 (context 25) for an empty tree, 21 (context 27) when the pair is
// not there, 20 for corruption met on the way, 6/8/9 for block failures.
int32_t B_delete(Tree *t, const uint8_t *key, int32_t len, uint32_t item);

// Top level: deletes k below the root and removes the root level when the root reports 3. 1, or -1.
int32_t B_del_tree(Tree *t, const KeyInfo &k);

// Descent through interior block P (parent G, position g in G; the root has G 0, g 0): 1, 3, or -1. Walks
// at most 1024 levels (error 20, context 27 beyond).
int32_t del_subtree(Tree *t, const KeyInfo &k, int32_t P, int32_t G, int32_t g, int32_t level = 0);

// Deletes k from leaf N (parent P, position p): 1, 3 (N went to the unused chain), or -1 (error 21,
// context 27, when the exact pair is not in N). An under-filled N is offered for joining.
int32_t B_del_node(Tree *t, const KeyInfo &k, int32_t N, int32_t P, int32_t p);

// Tries to join the child at position c of P with its left neighbour and then the left block with the
// right neighbour. A child whose join with its left neighbour is refused is not offered to the right.
// 1 nothing joined, 3 at least one child joined (and released), -1. Context 46.
int32_t B_compress_tree(Tree *t, int32_t P, int32_t c);

// Joins R into L when both have only a low path or their combined space is below T: 3 joined, 1 not
// joined, -1. L and R must be neighbours on one level of the same kind (else error 20, context 47).
int32_t try_join(Tree *t, int32_t L, int32_t R);

// Moves every entry of R (and its low path) into its left sibling and releases R: 1, or -1. Context 47.
int32_t B_join_node(Tree *t, int32_t R);

// Lowers the tree after the root reported 3: an interior root gives way to its low path, level after
// level while the new root has only its low path too; an emptied leaf root leaves the tree empty (root,
// lowleaf, highleaf, depth 0). 1, or -1. Context 48.
int32_t B_rmv_root(Tree *t);

// Unlinks the pinned node blk from its level (fixing lowleaf/highleaf for a leaf) and puts it at the head
// of the unused chain (low_path 0, next_unused the old head). The caller writes the block back. 1, or -1
// when a sibling could not be fixed (the block is chained all the same).
int32_t B_release_node(Tree *t, int32_t blk, uint8_t *node);

// Bytes a node holding the entries of L followed by those of R would use; -1 on failure. Context 45.
int32_t B_combined_space(Tree *t, int32_t L, int32_t R);
// Space of a node's entries (directory and key bytes counted once); -1 on failure. Context 45.
int32_t calc_node_space(Tree *t, int32_t blk);
// Change of the key bytes and directory when R is appended to L (shared boundary keys, an interior R's
// low path becoming an entry). 1 with *adj set, or -1. Context 45.
int32_t calc_adjust_space(Tree *t, int32_t L, int32_t R, int32_t *adj);

// Repairs interior block P (parent G, position g) after the child at position c, or a neighbour joined
// into it, became unused: removes the entries of the unused children, releases P when nothing is left,
// reports 3 at a root left with its low path only, and offers P for joining. 1, 3, or -1. Context 46.
int32_t rmv_unused_keys(Tree *t, int32_t P, int32_t c, int32_t G, int32_t g);
// First unused child of the pinned interior node near position c (-1 = low path): 1 with *index, or -1.
int32_t loc_unused_key(Tree *t, const uint8_t *node, int32_t c, int32_t *index);
// First child still in use after the unused ones that start at index: 1 with *blk (0 when none), or -1.
int32_t loc_next_child(Tree *t, const uint8_t *node, int32_t index, int32_t *blk);

}  // namespace qrx::cbt
