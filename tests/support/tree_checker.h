// tree_checker.h - the structural judge of B-tree index files: reads a file's blocks directly (through
// cbt/codec.h, never through the library) and confirms every invariant of the layout and of the tree.
//
// Call it on a file nobody is writing, after the writer's cbflush. Each call reads the whole file into
// memory and walks it once; every walk is bounded by the file's blocks (a cycle is reported, never
// followed). Thread-safe for different files. The layout tables are in tree_builder.h.
//
// What check_index confirms:
//  - block 0: parity, blksize in range, the bytes after the record zero, a file of highblock + 1 blocks;
//  - every node: header ranges (low_path of its level's kind, key_cnt, heap_end), the directory below
//    heap_end, entries inside the heap, the heap packed from heap_end to the block end in entry order
//    without gaps, bytes shared only between neighbours of equal length (and, with strict_sharing, always
//    between neighbours of equal length whose keys compare equal), no empty leaf, no interior node
//    without a low path, no root with only its low path;
//  - (key, item) in strictly increasing order within every node and along every level (compare function,
//    then the item as a signed number);
//  - every interior entry carries exactly the lowest key and item of its child's subtree (relaxed: is at
//    most that entry and above every entry left of the child's subtree);
//  - the children of each level (low paths and entry children, left to right) are exactly the blocks of
//    the level below along right; left and right are mutual; the ends of a level have no siblings;
//  - root, depth, lowleaf, highleaf agree with the tree; the unused chain holds blocks with low_path 0;
//    every block 1..highblock is in the tree or on the chain exactly once.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qrxcb.h"
#include "support/tree_builder.h"

namespace qrx::test {

struct CheckOptions {
  cbt_keycmp_fn cmp = nullptr;  // the tree's compare function; null = the default byte order
  bool relaxed = false;         // interior entries need only separate (files after deletions)
  // Equal neighbours of equal length must share one copy of their bytes. Turn off for a compare function
  // under which keys of different lengths can be equal: removing such a key from between two equal keys
  // of the same length leaves them as neighbours with copies of their own, which is allowed.
  bool strict_sharing = true;
  size_t max_problems = 40;  // problems listed in full; the others are only counted
};

struct CheckStats {
  uint32_t blksize = 0;
  int32_t highblock = 0;
  int32_t depth = 0;    // levels found by the walk
  int64_t entries = 0;  // leaf entries
  int32_t leaves = 0;
  int32_t interior = 0;        // interior nodes
  int32_t unused = 0;          // blocks on the unused chain
  int64_t leaf_key_bytes = 0;  // heap bytes of all leaves (shared bytes once)
};

struct CheckResult {
  bool ok = false;                    // no problem found
  std::vector<std::string> problems;  // the first max_problems problems, each naming its block (and entry)
  size_t problem_count = 0;           // all problems found
  CheckStats stats;

  // True when some listed problem contains `part`.
  bool mentions(const std::string &part) const;
  // Problems one a line, then a line of statistics.
  std::string text() const;
};

CheckResult check_index(const std::string &path, const CheckOptions &opt = {});

// For EXPECT_TRUE / ASSERT_TRUE: success when check_index finds nothing, else its text.
testing::AssertionResult index_ok(const std::string &path, const CheckOptions &opt = {});

// The leaf entries from lowleaf along right, in file order. On a damaged file (a block out of range or not
// a leaf, a directory outside its block, a cycle) the walk stops, *error (when given) says why and the
// entries read so far are returned. Keys are read as stored: an entry sharing a neighbour's bytes gives
// the neighbour's spelling.
std::vector<KeyItem> dump_entries(const std::string &path, std::string *error = nullptr);

// Success when got holds exactly the entries of want, in order: items equal and keys of equal length that
// are byte-equal (cmp null) or equal under cmp (a custom compare, whose equal keys may be spelled
// differently). Else the first difference, with its position.
testing::AssertionResult same_entries(const std::vector<KeyItem> &got, const std::vector<KeyItem> &want,
                                      cbt_keycmp_fn cmp = nullptr);

}  // namespace qrx::test
