// verify.h - checks of an open tree: the level check behind qrxcbver, the deep check behind qrxcbchk, and
// the dump file a failed check leaves beside the index file (name.dmp).
//
// Both read blocks through the buffer pool only; neither changes the file. The caller makes sure nothing
// changes the tree meanwhile (qrxcbchk holds the public-operation lock; qrxcbver leaves that to its
// caller).
#pragma once

#include <cstdint>

#include "cbt/cbt.h"

namespace qrx::cbt {

// qrxcbver's checks: the order of every level and the parent levels' children. 1, or -1 after one
// error line naming the first problem.
int32_t verify_tree(Tree *t);

// verify_tree, then what a search and a walk rely on beyond it:
//  - highblock names a block the file holds;
//  - every level holds nodes of one kind (leaves at the bottom, interior nodes above), as many levels as
//    depth says, lowleaf and highleaf are the ends of the leaf level, and each node's left link names
//    the node before it on its level;
//  - no leaf is empty, and an interior root has at least one entry besides its low path;
//  - every interior entry separates: it is at most the lowest entry under its child and above the
//    last entry before that child's leftmost leaf, so that every entry can be found by a descent;
//  - the unused chain holds unused blocks of the file, none twice, none in the tree, and every block
//    1..highblock is either in the tree or on the chain.
// 1, or -1 after one error line per finding (at most kMaxFindings lines).
int32_t deep_check(Tree *t);
inline constexpr int32_t kMaxFindings = 20;

// Writes the formatted dump beside the index file; skipped silently when it cannot be opened.
void write_dump_file(Tree *t);

}  // namespace qrx::cbt
