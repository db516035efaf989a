// tree_builder.h - builds B-tree index files byte by byte from a description, and reads, patches and
// rewrites their blocks, for tests that need a given tree shape or a given kind of damage.
//
// Everything here works on the file directly through cbt/codec.h, independent of the library's tree code,
// so that a file built here judges the library and not the other way round. Not thread-safe: one test
// thread per file. Failures (unreadable file, a description that does not fit a block) throw
// std::runtime_error or std::invalid_argument; GoogleTest reports them as test failures.
//
// Block 0, the control record (first 36 bytes, the rest of the block zero):
//
//   offset  width  field      meaning
//   0       4      blksize    u32, bytes per block
//   4       4      root       i32, root block, 0 when the tree is empty
//   8       4      highblock  i32, highest block of the file
//   12      4      lowleaf    i32, first leaf
//   16      4      highleaf   i32, last leaf
//   20      4      freechain  i32, first block of the unused chain, 0 when none
//   24      4      depth      i32, levels: 0 empty, 1 the root is a leaf
//   28      4      vparity    u32, XOR of the fourteen big-endian halfwords of bytes 0..27
//   32      4      openflag   i32, -1 while open for writing somewhere, 0 after a proper close
//
// Node blocks (leaf, interior, unused):
//
//   offset  width  field      meaning
//   0       4      low_path   -1 leaf, 0 unused, else the interior node's child below its entry 0
//   4       4      left       left sibling on the level, 0 none (unused block: next_unused)
//   8       4      right      right sibling on the level, 0 none
//   12      4      key_cnt    entries (interior: 0 = low path only, -1 = not even a low path)
//   16      4      heap_end   first byte of the key heap, blksize when the heap is empty
//   20      ...    entries    leaf: offset, len, item (12 bytes); interior: offset, len, item, child (16)
//
// Key heap: from heap_end to the block end, in entry order without gaps; neighbours whose keys compare
// equal and have the same length share one copy (same offset); an empty key's offset is where the next
// key's bytes start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qrxcb.h"

namespace qrx::test {

// Layout constants of the index file.
inline constexpr uint32_t kCtlSize = 4 * 9;
inline constexpr uint32_t kCtlParityBytes = 28;  // parity covers blksize .. depth
inline constexpr uint32_t kCtlBlksizeOff = 0;
inline constexpr uint32_t kCtlRootOff = 4;
inline constexpr uint32_t kCtlHighblockOff = 8;
inline constexpr uint32_t kCtlLowleafOff = 12;
inline constexpr uint32_t kCtlHighleafOff = 16;
inline constexpr uint32_t kCtlFreechainOff = 20;
inline constexpr uint32_t kCtlDepthOff = 24;
inline constexpr uint32_t kCtlParityOff = 28;
inline constexpr uint32_t kCtlOpenflagOff = 32;

inline constexpr uint32_t kNodeLowPathOff = 0;
inline constexpr uint32_t kNodeLeftOff = 4;
inline constexpr uint32_t kNodeNextUnusedOff = 4;
inline constexpr uint32_t kNodeRightOff = 8;
inline constexpr uint32_t kNodeKeyCntOff = 12;
inline constexpr uint32_t kNodeHeapEndOff = 16;
inline constexpr uint32_t kNodeHeaderSize = 4 + 4 + 4 + 4 + 4;
inline constexpr uint32_t kLeafEntrySize = 4 + 4 + 4;          // offset, len, item
inline constexpr uint32_t kInteriorEntrySize = 4 + 4 + 4 + 4;  // offset, len, item, child
inline constexpr uint32_t kEntryOffsetOff = 0;
inline constexpr uint32_t kEntryLenOff = 4;
inline constexpr uint32_t kEntryItemOff = 8;
inline constexpr uint32_t kEntryChildOff = 12;

// Byte offset, within its block, of entry i of a leaf (leaf true) or an interior node.
inline uint32_t entry_pos(bool leaf, int32_t i) {
  return kNodeHeaderSize + static_cast<uint32_t>(i) * (leaf ? kLeafEntrySize : kInteriorEntrySize);
}

// One entry: key bytes (any bytes, NULs included) and the 32-bit item, ordered as a signed number.
struct KeyItem {
  std::string key;
  uint32_t item = 0;
  bool operator==(const KeyItem &) const = default;
};
using Leaf = std::vector<KeyItem>;

// The default order of the layer, written here on its own: bytes as unsigned over the shorter length,
// then the shorter key first; the empty key is the lowest.
int byte_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2);
// ASCII letters compare without case, then as byte_compare. "Ab" and "aB" are equal.
int nocase_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2);

// cmp (byte_compare when null) on two keys, any negative result as -1 and any positive one as 1.
int compare_keys(cbt_keycmp_fn cmp, const void *k1, uint32_t l1, const void *k2, uint32_t l2);
int compare_keys(cbt_keycmp_fn cmp, const std::string &a, const std::string &b);
// Entry order: the keys, then the items as signed 32-bit numbers. -1, 0 or 1.
int compare_entries(cbt_keycmp_fn cmp, const KeyItem &a, const KeyItem &b);

// A key for messages: printable ASCII as is, other bytes as \xNN, cut after max bytes with "...".
std::string printable(const void *key, size_t len, size_t max = 40);
std::string printable(const std::string &key, size_t max = 40);
// "('key', item)" with the item as a signed number.
std::string describe(const KeyItem &e);

// The nine fields of the control record.
struct CtlFields {
  uint32_t blksize = 0;
  int32_t root = 0;
  int32_t highblock = 0;
  int32_t lowleaf = 0;
  int32_t highleaf = 0;
  int32_t freechain = 0;
  int32_t depth = 0;
  uint32_t vparity = 0;
  int32_t openflag = 0;
};

// Parity of a control record: XOR of the fourteen big-endian halfwords of bytes 0..27.
uint16_t ctl_parity(const uint8_t *block0);

struct BuildOptions {
  // Decides which neighbours share key bytes: those that compare equal (byte_compare when null) and have
  // the same length. The bytes stored are those of the first entry of such a run.
  cbt_keycmp_fn cmp = nullptr;
  // false: every key gets a copy of its own, even next to an equal one (a damaged layout, for checker
  // tests).
  bool share_equal = true;
  // Byte written to the free space between the directory and the heap (0 in a fresh file).
  uint8_t free_fill = 0;
};

// Where build_index put things.
struct BuiltIndex {
  uint32_t blksize = 0;
  int32_t root = 0;  // 0 for an empty tree
  int32_t depth = 0;
  int32_t highblock = 0;
  // Block numbers per level, left to right: levels[0] the leaves, levels.back() the root alone.
  std::vector<std::vector<int32_t>> levels;
};

// Writes a complete index file (replacing path): the leaves in blocks 1..n in the given order, linked by
// left and right; above them interior levels, each node taking `fanout` consecutive children (the last
// node of a level may take fewer): the first as its low path, every other one as an entry carrying the
// lowest key and item of that child's subtree and the child's block; levels are numbered on from n+1
// upward, the root last. Block 0: root, highblock, lowleaf 1, highleaf n, depth, freechain 0, openflag
// 0, parity. No leaves gives the file of a newly created, empty tree. The order of the entries is taken
// as given (not checked), so that damaged orders can be built; an empty leaf is refused, as is a node
// that does not fit its block or a fanout below 2.
BuiltIndex build_index(const std::string &path, uint32_t blksize, const std::vector<Leaf> &leaves, int fanout,
                       const BuildOptions &opt = {});

// Cuts sorted entries into leaves of per_leaf entries (the last may hold fewer).
std::vector<Leaf> split_leaves(const std::vector<KeyItem> &entries, size_t per_leaf);

// Appends count unused blocks after highblock and puts each at the head of the unused chain (the last
// appended ends up first): low_path 0, next_unused the previous head, the rest of the block `fill`.
// Updates highblock, freechain and the parity. Returns the block numbers in the order appended.
std::vector<int32_t> add_unused_blocks(const std::string &path, int count, uint8_t fill = 0);

// Raw access. The block size is read from the first four bytes of the file.
uint32_t file_blksize(const std::string &path);
std::vector<uint8_t> read_file_bytes(const std::string &path);
std::vector<uint8_t> read_block(const std::string &path, int32_t blkno);
void write_block(const std::string &path, int32_t blkno, const std::vector<uint8_t> &bytes);
// Overwrites bytes at an offset inside a block (no parity fix-up, even in block 0).
void patch_bytes(const std::string &path, int32_t blkno, uint32_t offset, const std::vector<uint8_t> &bytes);
void patch_i32(const std::string &path, int32_t blkno, uint32_t offset, int32_t value);
int32_t peek_i32(const std::string &path, int32_t blkno, uint32_t offset);
// Cuts the file to a length in bytes.
void truncate_file(const std::string &path, uint64_t length);

CtlFields read_ctl(const std::string &path);
// Writes the nine fields into block 0; with fix_parity the parity is computed (the given vparity is
// ignored), otherwise vparity is written as given.
void write_ctl(const std::string &path, const CtlFields &ctl, bool fix_parity = true);

}  // namespace qrx::test
