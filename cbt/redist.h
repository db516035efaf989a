// redist.h - moving entries between neighbouring nodes of one level: the offloads that insertion tries
// before it splits (one entry at a time into a sibling under the same parent), and the bulk moves that
// fill the new right node of a split and empty a node into its left neighbour when two nodes are joined.
//
// Layers: redistribution -> node primitives and search -> buffer pool. Every step runs with the file's
// control-record mutex held (taken by the public operation); that mutex guards every handle's cursor and
// mark, which the leaf moves carry along with the entries they move.
//
// In an interior node the low path has no key of its own: whenever a low path becomes an ordinary entry
// its key is read from entry 0 of the leftmost leaf under it, and whenever an entry becomes a low path its
// key is dropped. So every interior entry keeps carrying the lowest key and item of its child's subtree.
//
// Results of the offloads and shifts: -1 failure (error and context codes set), 1 nothing moved, 4
// entries moved into the sibling and the parent entry of the node whose lowest key changed was removed
// (the caller still has to insert the key), 5 as 4 and the key went in during the shift.
#pragma once

#include <cstdint>

#include "cbt/cbt.h"

namespace qrx::cbt {

// Shifts entries of node N (block blk, pinned by the caller; position p in parent P) from its end into
// its right sibling until k fits at index i of N, or places k itself at the front of the sibling once
// every entry from i on has moved. Only a sibling under the same parent is used, so a root (P 0) never
// offloads. When entries moved, P's entry for the sibling is removed; the parent level re-adds it with
// the new lowest key. 1, 4, 5, or -1 (errors 6/8/9/20, context 28).
int32_t B_right_offload(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P,
                        int32_t p);

// The mirror: entries before index i move from the front of N to the end of its left sibling; P's entry
// for N itself is removed when they did. 1, 4, 5, or -1 (context 29).
int32_t B_left_offload(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t P,
                       int32_t p);

// 1 when node N (normally at position p of P) has its right neighbour R under P, 0 when not (P 0, N is
// P's last child, or P names neither N nor R by an entry), -1 when P cannot be read (context 28). The
// entries naming N and R are looked up: p is out of date once an earlier shift of the same
// re-synchronisation removed an entry of P.
int32_t right_sibling(Tree *t, int32_t P, int32_t p, int32_t N, int32_t R);
// True when the node at position p of P has a left sibling under P (P not 0 and p not the low path).
bool left_sibling(int32_t P, int32_t p);

// The shift steps of the offloads, on the pinned node N (block blk) and its pinned sibling (block sblk);
// a leaf shift moves cursors and marks with its entries, an interior shift has none to move.
int32_t shift_right(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t sblk,
                    uint8_t *sib);
int32_t shift_left(Tree *t, const KeyInfo &k, int32_t blk, uint8_t *node, int32_t i, int32_t sblk,
                   uint8_t *sib);

// Remove P's entry for the sibling R whose lowest key a right shift changed (normally entry p + 1), or
// P's entry for N after a left shift (normally entry p). Only the entry that names that block goes;
// when P has none, nothing is removed. 1, or -1 (error 6/8, context 28 or 29).
int32_t adj_r_parent(Tree *t, int32_t P, int32_t p, int32_t R);
int32_t adj_l_parent(Tree *t, int32_t P, int32_t p, int32_t N);

// Moves block B's last n entries, keys and all, to the front of B's right sibling R (in an interior B the
// first of them becomes R's low path and its key is dropped; a non-empty interior R's old low path
// becomes an entry). Cursors and marks on the moved leaf entries go with them. Insertion only uses it to
// fill the node a split has just put right of B. 1, or -1 (error 6/8, or 20 when the entries would not
// fit or B and R differ in kind; context 34, 36 for the low path's key).
int32_t B_move_right(Tree *t, int32_t B, int32_t n);

// Moves block B's first n entries to the end of B's left sibling L. In an interior B, n counts the low
// path: it goes first, as an entry with the lowest key under it (sharing L's last key's bytes when
// equal), followed by B's first n - 1 entries; when entries stay behind, the next one's child becomes B's
// low path. Joins use n = key_cnt (leaf) or key_cnt + 1 (interior), which leaves B empty. Cursors and
// marks go with the leaf entries. 1, or -1 (error 6/8, or 20 when the entries would not fit; context 35,
// 37 for the low path's key).
int32_t B_move_left(Tree *t, int32_t B, int32_t n);

}  // namespace qrx::cbt
