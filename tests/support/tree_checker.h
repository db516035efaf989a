// tree_checker.h - the structural judge of index files: reads the blocks of a file nobody is writing
// (cbt/codec.h, never the library); every walk is bounded. Checks block 0 (parity, blksize, zero tail, size);
// each node's header and heap (packed from heap_end to the block end in entry order, bytes shared only by
// equal neighbours of one length, and always by them); (key, item) increasing along each level; interior
// entries equal to the lowest entry under their child (relaxed: only separating); children of a level are
// the level below along right, left/right mutual; root, depth, lowleaf, highleaf; every block in the tree
// or on the unused chain exactly once.
#pragma once

#include <gtest/gtest.h>

#include "support/tree_builder.h"

namespace qrx::test {

struct CheckOptions {
  cbt_keycmp_fn cmp = nullptr;  // null: the default byte order
  bool relaxed = false;         // interior entries need only separate (files after deletions)
};

struct CheckStats {
  int32_t leaves = 0, unused = 0;  // unused: blocks on the unused chain
};

struct CheckResult {
  bool ok = false;
  std::vector<std::string> problems;  // each names its block (and entry)
  CheckStats stats;
  bool mentions(const std::string &part) const;  // some problem contains part
  std::string text() const;                      // the problems, one a line
};

// leaf_entries (when given) receives the entries of the readable leaves in order.
CheckResult check_index(const std::string &path, const CheckOptions &opt = {},
                        std::vector<KeyItem> *leaf_entries = nullptr);
testing::AssertionResult index_ok(const std::string &path, const CheckOptions &opt = {});

// The leaf entries in order, keys as stored (a shared key gives the neighbour's spelling).
std::vector<KeyItem> dump_entries(const std::string &path);

// got equals want in order: items equal, keys of equal length and byte-equal (cmp null) or equal under cmp.
testing::AssertionResult same_entries(const std::vector<KeyItem> &got, const std::vector<KeyItem> &want,
                                      cbt_keycmp_fn cmp = nullptr);

}  // namespace qrx::test
