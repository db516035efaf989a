// tree_builder.h - builds index files byte by byte and reads and patches their blocks (cbt/codec.h, not the
// library's tree code, so a file built here judges the library). Failures throw.
// Block 0 (36 bytes, the rest zero): blksize, root, highblock, lowleaf, highleaf, freechain, depth, vparity
// (XOR of the big-endian halfwords of bytes 0..27), openflag. Node: low_path (-1 leaf, 0 unused, else the
// child below entry 0), left (unused: next_unused), right, key_cnt, heap_end, then entries of offset, len,
// item (+ child when interior); the key heap runs from heap_end to the block end in entry order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qrxcb.h"

namespace qrx::test {

inline constexpr uint32_t kCtlSize = 36, kCtlRootOff = 4, kCtlHighblockOff = 8, kCtlLowleafOff = 12,
                          kCtlHighleafOff = 16, kCtlFreechainOff = 20, kCtlDepthOff = 24, kCtlParityOff = 28,
                          kCtlOpenflagOff = 32;
inline constexpr uint32_t kNodeLowPathOff = 0, kNodeLeftOff = 4, kNodeNextUnusedOff = 4, kNodeRightOff = 8,
                          kNodeKeyCntOff = 12, kNodeHeapEndOff = 16, kNodeHeaderSize = 20;
inline constexpr uint32_t kLeafEntrySize = 12, kInteriorEntrySize = 16, kEntryOffsetOff = 0, kEntryLenOff = 4,
                          kEntryItemOff = 8, kEntryChildOff = 12;

// Byte offset of entry i in a leaf (leaf true) or an interior node.
inline uint32_t entry_pos(bool leaf, int32_t i) {
  return kNodeHeaderSize + static_cast<uint32_t>(i) * (leaf ? kLeafEntrySize : kInteriorEntrySize);
}

// One entry: key bytes (NULs included) and the item, ordered as a signed number.
struct KeyItem {
  std::string key;
  uint32_t item = 0;
  bool operator==(const KeyItem &) const = default;
};
using Leaf = std::vector<KeyItem>;

// ASCII letters compare without case, then shorter first: "Ab" equals "aB".
int nocase_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2);
// cmp (null: bytes as unsigned, then shorter first) as -1, 0 or 1; entries then by signed item.
int compare_keys(cbt_keycmp_fn cmp, const void *k1, uint32_t l1, const void *k2, uint32_t l2);
int compare_keys(cbt_keycmp_fn cmp, const std::string &a, const std::string &b);
int compare_entries(cbt_keycmp_fn cmp, const KeyItem &a, const KeyItem &b);
// "('key', item)": printable ASCII as is, other bytes as \xNN, long keys cut.
std::string describe(const KeyItem &e);

struct CtlFields {
  uint32_t blksize = 0;
  int32_t root = 0, highblock = 0, lowleaf = 0, highleaf = 0, freechain = 0, depth = 0;
  uint32_t vparity = 0;
  int32_t openflag = 0;
};
uint16_t ctl_parity(const uint8_t *block0);
CtlFields load_ctl(const uint8_t *block0);

// Writes an index file: the leaves (in the order given, not checked; none empty) in blocks 1..n linked
// by left/right; above them interior levels numbered on from n+1, each node taking `fanout` consecutive
// children (low path, then entries carrying the lowest entry of their child's subtree), the root last.
// Neighbours equal under cmp (and of one length) share their bytes. No leaves: the file of a new empty
// tree. Returns the root.
int32_t build_index(const std::string &path, uint32_t blksize, const std::vector<Leaf> &leaves, int fanout,
                    cbt_keycmp_fn cmp = nullptr);
// Sorted entries cut into leaves of per_leaf entries.
std::vector<Leaf> split_leaves(const std::vector<KeyItem> &entries, size_t per_leaf);
// Appends count unused blocks (low_path 0, rest 0), each pushed on the head of the unused chain; fixes
// highblock, freechain and parity. Returns them in the order appended.
std::vector<int32_t> add_unused_blocks(const std::string &path, int count);

// A key of len bytes that sorts by c, then by n (0..99).
std::string sized_key(char c, int n, size_t len = 40);
// count entries sized_key(c, 0), sized_key(c, 1), ... with items first_item, first_item + 1, ...
Leaf key_run(char c, int count, uint32_t first_item = 0);

// A node as stored: its header, its entries (keys as stored, at heap offsets offsets[i]) and, in an
// interior node, the children of its entries (the low path not included). parse_node reads one from a
// block's bytes, the entries only when key_cnt, heap_end and every key lie where the format allows; else
// *problem says what does not.
struct NodeImage {
  int32_t low_path = 0, left = 0, right = 0, key_cnt = 0, heap_end = 0;
  std::vector<KeyItem> entries;
  std::vector<int32_t> offsets, children;
};
NodeImage parse_node(const uint8_t *block, uint32_t blksize, std::string *problem = nullptr);
NodeImage read_node(const std::string &path, int32_t blkno);
void patch_i32(const std::string &path, int32_t blkno, uint32_t offset, int32_t value);  // no parity fix
CtlFields read_ctl(const std::string &path);
void write_ctl(const std::string &path, const CtlFields &ctl);  // vparity computed

}  // namespace qrx::test
