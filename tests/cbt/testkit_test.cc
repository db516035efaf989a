// The test kit judged on its own: files built byte by byte have exactly the described layout and pass the
// structural check; each check fires on a file damaged in its way (and stays bounded on cycles); the walk
// helpers name the first difference between a tree and its model; the model orders entries as the tree
// must and the generator is reproducible.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cbt/codec.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace {

using namespace qrx::test;
namespace codec = qrx::codec;

// Entries "key-000".."key-(n-1)" with items 0..n-1.
std::vector<KeyItem> numbered(int n) {
  std::vector<KeyItem> v;
  for (int i = 0; i < n; ++i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "key-%03d", i);
    v.push_back({buf, static_cast<uint32_t>(i)});
  }
  return v;
}

uint32_t leaf_at(int32_t i, uint32_t field) {
  return entry_pos(true, i) + field;
}
uint32_t node_at(int32_t i, uint32_t field) {
  return entry_pos(false, i) + field;
}

class KitTest : public ::testing::Test {
 protected:
  // 12 leaves of 4 entries in blocks 1..12; level 2: 13..16 (three children each); level 3: 17 (children
  // 13..15) and 18 (only its low path 16); root 19. 512-byte blocks.
  BuiltIndex standard() { return build_index(path, 512, split_leaves(numbered(48), 4), 3); }

  // The check must fail and name `part` among its problems.
  void expect_problem(const std::string &part, const CheckOptions &opt = {}) {
    const CheckResult r = check_index(path, opt);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.mentions(part)) << "looked for \"" << part << "\" in:\n" << r.text();
  }

  TempDir dir;
  std::string path = dir.file("t.idx");
};

// ---------------------------------------------------------------------------------------------------
// The builder's files.
// ---------------------------------------------------------------------------------------------------

TEST_F(KitTest, EmptyTreeIsAFreshlyCreatedFile) {
  const BuiltIndex b = build_index(path, 512, {}, 4);
  EXPECT_EQ(b.root, 0);
  const std::vector<uint8_t> bytes = read_file_bytes(path);
  ASSERT_EQ(bytes.size(), 512u);
  EXPECT_EQ(codec::load_u32(bytes.data(), 0), 512u);
  EXPECT_EQ(codec::load_u32(bytes.data(), kCtlParityOff), 0x0200u);  // halfwords 0x0000 ^ 0x0200
  for (size_t i = 4; i < 512; ++i) {
    const bool parity = i >= kCtlParityOff && i < kCtlParityOff + 4;
    ASSERT_EQ(bytes[i], parity ? bytes[i] : 0) << "byte " << i;
  }
  const CheckResult r = check_index(path);
  EXPECT_TRUE(r.ok) << r.text();
  EXPECT_EQ(r.stats.depth, 0);
  EXPECT_TRUE(dump_entries(path).empty());
}

TEST_F(KitTest, LeafLayoutPacksKeysAndSharesEqualOnes) {
  // One 10-byte key in a 512-byte leaf: 470 bytes stay free.
  build_index(path, 512, {{{"0123456789", 1}}}, 2);
  std::vector<uint8_t> blk = read_block(path, 1);
  EXPECT_EQ(codec::load_i32(blk.data(), kNodeHeapEndOff), 502);
  EXPECT_EQ(codec::load_i32(blk.data(), kNodeHeapEndOff) - 20 - 12, 470);

  // "apple" with items 5 and 7 is stored once; "pear" follows it; the empty key is where "apple" starts.
  build_index(path, 512, {{{"", 9}, {"apple", 5}, {"apple", 7}, {"pear", 0xFFFFFFFEu}}}, 2);
  blk = read_block(path, 1);
  const uint8_t *d = blk.data();
  EXPECT_EQ(codec::load_i32(d, kNodeLowPathOff), -1);
  EXPECT_EQ(codec::load_i32(d, kNodeLeftOff), 0);
  EXPECT_EQ(codec::load_i32(d, kNodeRightOff), 0);
  EXPECT_EQ(codec::load_i32(d, kNodeKeyCntOff), 4);
  EXPECT_EQ(codec::load_i32(d, kNodeHeapEndOff), 512 - 9);
  const int32_t offs[] = {503, 503, 503, 508};
  const int32_t lens[] = {0, 5, 5, 4};
  const uint32_t items[] = {9, 5, 7, 0xFFFFFFFEu};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(codec::load_i32(d, leaf_at(i, kEntryOffsetOff)), offs[i]) << i;
    EXPECT_EQ(codec::load_i32(d, leaf_at(i, kEntryLenOff)), lens[i]) << i;
    EXPECT_EQ(codec::load_u32(d, leaf_at(i, kEntryItemOff)), items[i]) << i;
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(d) + 503, 9), "applepear");
  const CtlFields c = read_ctl(path);
  EXPECT_EQ(c.root, 1);
  EXPECT_EQ(c.lowleaf, 1);
  EXPECT_EQ(c.highleaf, 1);
  EXPECT_EQ(c.highblock, 1);
  EXPECT_EQ(c.depth, 1);
  EXPECT_EQ(c.freechain, 0);
  EXPECT_EQ(c.openflag, 0);
  EXPECT_TRUE(index_ok(path));
}

TEST_F(KitTest, InteriorLevelsCarryLowestKeysOfTheirChildren) {
  const BuiltIndex b = standard();
  ASSERT_EQ(b.levels.size(), 4u);
  EXPECT_EQ(b.levels[1], (std::vector<int32_t>{13, 14, 15, 16}));
  EXPECT_EQ(b.levels[2], (std::vector<int32_t>{17, 18}));
  EXPECT_EQ(b.root, 19);
  EXPECT_EQ(b.highblock, 19);
  const std::vector<uint8_t> n13 = read_block(path, 13);
  EXPECT_EQ(codec::load_i32(n13.data(), kNodeLowPathOff), 1);
  EXPECT_EQ(codec::load_i32(n13.data(), kNodeKeyCntOff), 2);
  EXPECT_EQ(codec::load_i32(n13.data(), kNodeRightOff), 14);
  EXPECT_EQ(codec::load_i32(n13.data(), node_at(1, kEntryChildOff)), 3);
  EXPECT_EQ(codec::load_u32(n13.data(), node_at(1, kEntryItemOff)), 8u);  // leaf 3 starts with key-008
  const std::vector<uint8_t> root = read_block(path, 19);
  EXPECT_EQ(codec::load_u32(root.data(), node_at(0, kEntryItemOff)), 36u);  // 18 -> 16 -> leaf 10
  EXPECT_EQ(codec::load_i32(read_block(path, 18).data(), kNodeKeyCntOff), 0);
  const CheckResult r = check_index(path);
  ASSERT_TRUE(r.ok) << r.text();
  EXPECT_EQ(r.stats.depth, 4);
  EXPECT_EQ(r.stats.leaves, 12);
  EXPECT_EQ(r.stats.interior, 7);
  EXPECT_EQ(r.stats.entries, 48);
  EXPECT_TRUE(same_entries(dump_entries(path), numbered(48)));
}

TEST_F(KitTest, CaseInsensitiveNeighboursShareTheFirstSpelling) {
  const Leaf leaf = {{"Ab", 1}, {"aB", 2}, {"c", 3}};
  BuildOptions bo;
  bo.cmp = nocase_compare;
  build_index(path, 512, {leaf}, 2, bo);
  const std::vector<uint8_t> blk = read_block(path, 1);
  EXPECT_EQ(codec::load_i32(blk.data(), leaf_at(0, kEntryOffsetOff)),
            codec::load_i32(blk.data(), leaf_at(1, kEntryOffsetOff)));
  CheckOptions opt;
  opt.cmp = nocase_compare;
  EXPECT_TRUE(index_ok(path, opt));
  const std::vector<KeyItem> got = dump_entries(path);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].key, "Ab");  // read back with the neighbour's spelling
  EXPECT_TRUE(same_entries(got, leaf, nocase_compare));
  EXPECT_FALSE(same_entries(got, leaf));  // byte for byte it differs
}

TEST_F(KitTest, UnusedBlocksJoinTheChainAtItsHead) {
  standard();
  const std::vector<int32_t> added = add_unused_blocks(path, 3, 0xA5);
  EXPECT_EQ(added, (std::vector<int32_t>{20, 21, 22}));
  const CtlFields c = read_ctl(path);
  EXPECT_EQ(c.highblock, 22);
  EXPECT_EQ(c.freechain, 22);
  EXPECT_EQ(peek_i32(path, 22, kNodeNextUnusedOff), 21);
  EXPECT_EQ(peek_i32(path, 20, kNodeNextUnusedOff), 0);
  EXPECT_EQ(peek_i32(path, 21, kNodeLowPathOff), 0);
  EXPECT_EQ(read_block(path, 21)[100], 0xA5);
  const CheckResult r = check_index(path);
  EXPECT_TRUE(r.ok) << r.text();
  EXPECT_EQ(r.stats.unused, 3);
}

TEST_F(KitTest, BuilderRefusesWhatCannotBeLaidOut) {
  EXPECT_THROW(build_index(path, 88, {{{std::string(57, 'x'), 1}}}, 2), std::invalid_argument);
  EXPECT_NO_THROW(build_index(path, 88, {{{std::string(56, 'x'), 1}}}, 2));  // 20 + 12 + 56 = 88
  EXPECT_THROW(build_index(path, 512, {{{"a", 1}}, {}}, 2), std::invalid_argument);
  EXPECT_THROW(build_index(path, 512, {{{"a", 1}}}, 1), std::invalid_argument);
}

TEST_F(KitTest, WriteCtlComputesParityUnlessAskedNotTo) {
  standard();
  CtlFields c = read_ctl(path);
  c.openflag = -1;
  write_ctl(path, c);
  EXPECT_TRUE(index_ok(path));  // openflag is outside the parity
  c.root = 18;
  write_ctl(path, c, false);
  expect_problem("parity");
  const std::vector<uint8_t> b0 = read_block(path, 0);
  EXPECT_NE(read_ctl(path).vparity, uint32_t{ctl_parity(b0.data())});
}

// Random trees of every block size the layer is tested with, keys 0 up to the block size minus 36 long,
// equal keys in runs: the builder's files always pass and read back as built.
TEST_F(KitTest, RandomTreesOfEveryBlockSizePass) {
  Rng rng(20240601);
  QRX_TRACE_SEED(rng);
  for (const uint32_t bs : {88u, 512u, 2048u, 4096u}) {
    SCOPED_TRACE("blksize " + std::to_string(bs));
    const size_t maxlen = bs - 36;
    TreeModel m;
    while (m.size() < 600) {
      const std::string key = rng.one_in(4) ? std::string() + static_cast<char>('a' + rng.below(3))
                                            : rng.bytes(rng.below(maxlen + 1));
      const int copies = rng.one_in(5) ? static_cast<int>(rng.range(2, 6)) : 1;
      for (int c = 0; c < copies; ++c) m.insert(key, rng.item());
    }
    // leaves filled to a random share of their room (key bytes counted without sharing)
    std::vector<Leaf> leaves(1);
    uint64_t used = 20;
    const uint64_t room_min = 20 + 12 + maxlen;
    uint64_t room = bs;
    for (const KeyItem &e : m.entries()) {
      const uint64_t need = 12 + e.key.size();
      if (!leaves.back().empty() && used + need > room) {
        leaves.emplace_back();
        used = 20;
        room = room_min + rng.below(bs - room_min + 1);
      }
      leaves.back().push_back(e);
      used += need;
    }
    const int fanout = std::max<int>(2, static_cast<int>((bs - 20) / (16 + maxlen)) + 1);
    build_index(path, bs, leaves, fanout);
    const CheckResult r = check_index(path);
    ASSERT_TRUE(r.ok) << r.text();
    EXPECT_EQ(r.stats.entries, static_cast<int64_t>(m.size()));
    EXPECT_EQ(r.stats.leaves, static_cast<int32_t>(leaves.size()));
    EXPECT_TRUE(same_entries(dump_entries(path), m.to_vector()));
  }
}

// The size the model tests reach: 200,000 entries. The check reads and walks it in one pass.
TEST_F(KitTest, LargeTreeChecksQuickly) {
  Rng rng(7);
  std::vector<KeyItem> v;  // 16-byte keys, ascending by their first four bytes
  for (uint32_t i = 0; i < 200000; ++i) {
    std::string key(4, '\0');
    codec::store_u32(reinterpret_cast<uint8_t *>(key.data()), 0, i);
    v.push_back({key + rng.bytes(12), i});
  }
  build_index(path, 4096, split_leaves(v, 120), 100);
  const auto t0 = std::chrono::steady_clock::now();
  const CheckResult r = check_index(path);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(r.ok) << r.text();
  EXPECT_EQ(r.stats.entries, 200000);
  EXPECT_EQ(r.stats.depth, 3);
  EXPECT_TRUE(same_entries(dump_entries(path), v));
  RecordProperty("check_ms", static_cast<int>(ms));
  std::printf("check_index of 200,000 entries: %lld ms\n", static_cast<long long>(ms));
}

// ---------------------------------------------------------------------------------------------------
// Each check fires on a file damaged in its way.
// ---------------------------------------------------------------------------------------------------

TEST_F(KitTest, ControlRecordDamage) {
  expect_problem("file: cannot open " + path);  // nothing built yet

  write_file(path, std::string(35, '\0'));
  expect_problem("file: 35 bytes, shorter than the control record");
  EXPECT_TRUE(dump_entries(path).empty());

  standard();
  patch_bytes(path, 0, 5, {0x12});  // root changed without the parity
  expect_problem("block 0: parity stored");

  standard();
  patch_bytes(path, 0, 100, {1});
  expect_problem("block 0: byte 100 after the control record is not zero");

  standard();
  CtlFields c = read_ctl(path);
  c.blksize = 20;
  write_ctl(path, c);
  expect_problem("blksize 20 is out of range");

  standard();
  truncate_file(path, 512 * 19);  // block 19 (the root) is gone
  expect_problem("file: holds 19 whole blocks, but highblock 19 says 20");
  expect_problem("level 1: block 19 is missing from the file");

  standard();
  truncate_file(path, 512 * 20 + 10);
  expect_problem("is not a whole number of 512-byte blocks");

  standard();
  c = read_ctl(path);
  c.highblock = -3;
  write_ctl(path, c);
  expect_problem("highblock -3 is negative");

  build_index(path, 64, {{{"a", 1}}}, 2);  // lays out, but no file is made with blocks this small
  expect_problem("block 0: blksize 64 is below 88");

  standard();
  c = read_ctl(path);
  c.highblock = 0x7FFFFFFF;  // nothing is sized by it
  write_ctl(path, c);
  expect_problem("file: holds 20 whole blocks, but highblock 2147483647 says 2147483648");
}

TEST_F(KitTest, ControlRecordDisagreesWithTheTree) {
  standard();
  CtlFields good = read_ctl(path);
  CtlFields c = good;
  c.depth = 3;
  write_ctl(path, c);
  expect_problem("block 0: depth 3, but the tree has 4 levels");

  c = good;
  c.lowleaf = 2;
  write_ctl(path, c);
  expect_problem("block 0: lowleaf 2, but the first leaf is block 1");

  c = good;
  c.highleaf = 11;
  write_ctl(path, c);
  expect_problem("block 0: highleaf 11, but the last leaf is block 12");

  c = good;
  c.root = 17;  // a node of level 3: it has a right sibling and the real root is left over
  write_ctl(path, c);
  expect_problem("block 17: the root has a right sibling, block 18");
  expect_problem("block 19: neither in the tree nor on the unused chain");

  c = good;
  c.root = 25;
  write_ctl(path, c);
  expect_problem("root 25 is outside 1..highblock");

  build_index(path, 512, {}, 2);
  c = read_ctl(path);
  c.depth = 1;
  write_ctl(path, c);
  expect_problem("empty tree (root 0) but depth 1");
}

TEST_F(KitTest, NodeHeaderDamage) {
  standard();
  patch_i32(path, 5, kNodeKeyCntOff, 1000);
  expect_problem("block 5: key_cnt 1000 is out of range");

  standard();
  patch_i32(path, 5, kNodeKeyCntOff, -1);
  expect_problem("block 5: key_cnt -1 is out of range");

  standard();
  patch_i32(path, 5, kNodeHeapEndOff, 60);  // the directory of 4 leaf entries ends at 68
  expect_problem("block 5: heap_end 60 is outside 68..512");

  standard();
  patch_i32(path, 5, kNodeHeapEndOff, 513);
  expect_problem("block 5: heap_end 513 is outside 68..512");

  standard();
  patch_i32(path, 5, kNodeKeyCntOff, 0);
  expect_problem("block 5: empty leaf (key_cnt 0)");

  standard();
  patch_i32(path, 14, kNodeKeyCntOff, -1);
  expect_problem("block 14: interior node without a low path (key_cnt -1)");

  build_index(path, 512, split_leaves(numbered(8), 4), 2);  // root 3 over leaves 1 and 2
  patch_i32(path, 3, kNodeKeyCntOff, 0);
  expect_problem("block 3: root has only its low path (key_cnt 0)");

  standard();
  patch_i32(path, 13, node_at(1, kEntryChildOff), 0);
  expect_problem("block 13 entry 1: child 0 is outside 1..highblock");

  standard();
  patch_i32(path, 16, kNodeLowPathOff, 500);
  expect_problem("block 16: low_path 500 is outside 1..highblock");
}

TEST_F(KitTest, NodeOfTheWrongKindOnALevel) {
  standard();
  patch_i32(path, 5, kNodeLowPathOff, 7);
  expect_problem("block 5: low_path 7 on the leaf level");

  standard();
  patch_i32(path, 5, kNodeLowPathOff, 0);
  expect_problem("block 5: unused block (low_path 0) in the tree");

  standard();
  patch_i32(path, 14, kNodeLowPathOff, -1);
  expect_problem("block 14: low_path -1 on an interior level");
}

TEST_F(KitTest, KeyHeapDamage) {
  standard();  // leaf 5 holds key-016..key-019 at 484, 491, 498, 505
  patch_i32(path, 5, leaf_at(3, kEntryLenOff), 6);
  expect_problem("block 5: key heap ends at 511, not at the block end 512");

  standard();
  patch_i32(path, 5, leaf_at(0, kEntryOffsetOff), 491);
  patch_i32(path, 5, leaf_at(1, kEntryOffsetOff), 484);
  expect_problem("block 5 entry 0: key bytes at offset 491, expected 484 (heap not packed in entry order)");

  standard();
  patch_i32(path, 5, leaf_at(1, kEntryOffsetOff), 484);
  patch_i32(path, 5, leaf_at(1, kEntryLenOff), 3);
  expect_problem("block 5 entry 1: shares offset 484 with entry 0 but its length is 3, not 7");

  standard();
  patch_i32(path, 5, leaf_at(0, kEntryOffsetOff), 483);
  expect_problem("block 5 entry 0: key at offset 483, length 7, is outside the heap 484..512");

  standard();
  patch_i32(path, 5, leaf_at(3, kEntryLenOff), 8);
  expect_problem("block 5 entry 3: key at offset 505, length 8, is outside the heap 484..512");

  // An empty key must stand where the next key's bytes start.
  build_index(path, 512, {{{"", 1}, {"a", 2}}}, 2);
  EXPECT_TRUE(index_ok(path));
  patch_i32(path, 1, leaf_at(0, kEntryOffsetOff), 512);
  expect_problem("block 1 entry 0: key bytes at offset 512, expected 511");
}

TEST_F(KitTest, EqualNeighboursMustShareTheirBytes) {
  BuildOptions bo;
  bo.share_equal = false;
  build_index(path, 512, {{{"dup", 1}, {"dup", 2}, {"e", 3}}}, 2, bo);
  expect_problem("block 1 entry 1: equal to entry 0 ('dup', 1) but keeps a copy of its own bytes");
  CheckOptions loose;
  loose.strict_sharing = false;
  EXPECT_TRUE(index_ok(path, loose));
  // Keys equal under the compare function but of different length never share.
  bo.share_equal = true;
  bo.cmp = nocase_compare;
  build_index(path, 512, {{{"ab", 1}, {"AB", 2}, {"abc", 3}}}, 2, bo);
  CheckOptions ci;
  ci.cmp = nocase_compare;
  EXPECT_TRUE(index_ok(path, ci));
}

TEST_F(KitTest, EntryOrderWithinNodesAndAlongLevels) {
  build_index(path, 512, {{{"b", 1}, {"a", 2}}}, 2);
  expect_problem("block 1 entry 1: ('a', 2) is not after block 1 entry 0 ('b', 1)");

  build_index(path, 512, {{{"a", 1}, {"c", 2}}, {{"b", 3}, {"d", 4}}}, 2);
  expect_problem("block 2 entry 0: ('b', 3) is not after block 1 entry 1 ('c', 2)");

  build_index(path, 512, {{{"a", 1}, {"a", 1}}}, 2);  // the same pair twice
  expect_problem("block 1 entry 1: ('a', 1) is not after block 1 entry 0 ('a', 1)");

  // Items are ordered as signed numbers.
  build_index(path, 512, {{{"k", 0x80000000u}, {"k", 0xFFFFFFFFu}, {"k", 0}, {"k", 0x7FFFFFFFu}}}, 2);
  EXPECT_TRUE(index_ok(path));
  build_index(path, 512, {{{"k", 0}, {"k", 0xFFFFFFFFu}}}, 2);
  expect_problem("block 1 entry 1: ('k', -1) is not after block 1 entry 0 ('k', 0)");

  // Keys are ordered by the given compare function.
  build_index(path, 512, {{{"a", 1}, {"B", 2}, {"c", 3}}}, 2);
  CheckOptions ci;
  ci.cmp = nocase_compare;
  EXPECT_TRUE(index_ok(path, ci));
  expect_problem("block 1 entry 1: ('B', 2) is not after block 1 entry 0 ('a', 1)");
}

TEST_F(KitTest, InteriorEntriesAgainstTheirChildren) {
  // Root 3 over leaves 1 (key-000..key-003) and 2 (key-004..key-007); its entry 0 is ('key-004', 4).
  build_index(path, 512, split_leaves(numbered(8), 4), 2);
  CheckOptions relaxed;
  relaxed.relaxed = true;
  EXPECT_TRUE(index_ok(path, relaxed));

  // Lower than the child's lowest entry but above everything left of it: only a separator.
  patch_i32(path, 3, node_at(0, kEntryItemOff), 3);
  expect_problem(
      "block 3 entry 0: carries ('key-004', 3), but the lowest entry under child 2 is ('key-004', 4)");
  EXPECT_TRUE(index_ok(path, relaxed));

  patch_i32(path, 3, node_at(0, kEntryItemOff), 5);
  expect_problem("block 3 entry 0: ('key-004', 5) is above the lowest entry under child 2", relaxed);

  // ('key-003', 3) is the last entry of leaf 1: it does not separate.
  patch_i32(path, 3, node_at(0, kEntryItemOff), 3);
  const int32_t off = peek_i32(path, 3, node_at(0, kEntryOffsetOff));
  patch_bytes(path, 3, static_cast<uint32_t>(off), {'k', 'e', 'y', '-', '0', '0', '3'});
  expect_problem("block 3 entry 0: ('key-003', 3) does not exceed ('key-003', 3) (block 1 entry 3)", relaxed);

  // Deeper: the entry of level 3 for block 14 must carry the lowest entry of leaf 4, two levels down.
  standard();
  patch_i32(path, 17, node_at(0, kEntryItemOff), 13);
  expect_problem(
      "block 17 entry 0: carries ('key-012', 13), but the lowest entry under child 14 is ('key-012', 12)");
}

TEST_F(KitTest, ChildrenMustBeTheNextLevelInOrder) {
  standard();  // block 13: low path 1, entries for 2 and 3
  patch_i32(path, 13, node_at(0, kEntryChildOff), 3);
  patch_i32(path, 13, node_at(1, kEntryChildOff), 2);
  expect_problem("level 4: block 2 stands at place 1 along right, but block 13 entry 0 names block 3");

  // The level ends early: leaf 2 loses its right link.
  build_index(path, 512, split_leaves(numbered(12), 4), 4);  // leaves 1..3 under root 4
  patch_i32(path, 2, kNodeRightOff, 0);
  expect_problem(
      "level 2: the level ends after block 2, but block 4 entry 1 names block 3 as the next child");
  expect_problem("block 3: neither in the tree nor on the unused chain");

  // A leaf that no parent names, hung to the right of the last one.
  build_index(path, 512, split_leaves(numbered(12), 4), 4);
  const int32_t extra = add_unused_blocks(path, 1).front();  // block 5
  std::vector<uint8_t> leaf3 = read_block(path, 3);
  codec::store_i32(leaf3.data(), kNodeLeftOff, 3);
  codec::store_i32(leaf3.data(), kNodeRightOff, 0);
  for (int i = 0; i < 4; ++i) codec::store_u32(leaf3.data(), leaf_at(i, kEntryItemOff), 100 + i);
  write_block(path, extra, leaf3);
  patch_i32(path, 3, kNodeRightOff, extra);
  CtlFields c = read_ctl(path);
  c.freechain = 0;
  c.highleaf = extra;
  write_ctl(path, c);
  expect_problem("level 2: block 5 (right of block 3) is named by no entry of the level above");
}

TEST_F(KitTest, SiblingLinksMustBeMutual) {
  standard();
  patch_i32(path, 7, kNodeLeftOff, 5);
  expect_problem("block 7: left is 5, but the block before it on the level is 6");

  standard();
  patch_i32(path, 1, kNodeLeftOff, 12);
  expect_problem("block 1: left is 12, but it is the first block of level 4 (expected 0)");

  standard();
  patch_i32(path, 19, kNodeLeftOff, 18);
  expect_problem("block 19: left is 18, but it is the first block of level 1 (expected 0)");
}

TEST_F(KitTest, CyclesAreReportedNotFollowed) {
  standard();
  patch_i32(path, 12, kNodeRightOff, 1);  // the leaf level runs in a circle
  expect_problem("level 4: block 1 (right of block 12) is reached a second time");
  std::string error;
  const std::vector<KeyItem> got = dump_entries(path, &error);
  EXPECT_EQ(error, "block 1 is reached a second time (a cycle)");
  EXPECT_EQ(got.size(), 48u);

  standard();
  patch_i32(path, 17, kNodeLowPathOff, 19);  // level 3 points back up at the root
  expect_problem("level 3: block 19 is reached a second time");
  expect_problem("reaches no leaf level");

  standard();
  patch_i32(path, 12, kNodeRightOff, 99);
  expect_problem("level 4: block 99 (right of block 12) is outside 1..highblock");

  standard();
  CtlFields c = read_ctl(path);
  c.lowleaf = 13;
  write_ctl(path, c);
  dump_entries(path, &error);
  EXPECT_EQ(error, "block 13 is not a leaf");

  standard();
  patch_i32(path, 6, kNodeRightOff, 6);  // a leaf that is its own right sibling
  expect_problem("level 4: block 6 (right of block 6) is reached a second time");
}

TEST_F(KitTest, UnusedChainDamage) {
  standard();
  add_unused_blocks(path, 3);  // chain 22 -> 21 -> 20
  EXPECT_TRUE(index_ok(path));
  patch_i32(path, 20, kNodeNextUnusedOff, 22);
  expect_problem("unused chain: block 22 (after block 20) is reached a second time (a cycle)");

  standard();
  add_unused_blocks(path, 3);
  patch_i32(path, 21, kNodeLowPathOff, 5);
  expect_problem("unused chain: block 21 has low_path 5, not 0");

  standard();
  add_unused_blocks(path, 3);
  patch_i32(path, 20, kNodeNextUnusedOff, 3);
  expect_problem("unused chain: block 3 (after block 20) is also in the tree");

  standard();
  add_unused_blocks(path, 3);
  patch_i32(path, 21, kNodeNextUnusedOff, 99);
  expect_problem("unused chain: block 99 (after block 21) is outside 1..highblock");

  standard();
  add_unused_blocks(path, 3);
  truncate_file(path, 512 * 22);
  expect_problem("unused chain: block 22 (head of the chain) is missing from the file");

  standard();
  add_unused_blocks(path, 3);
  CtlFields c = read_ctl(path);
  c.freechain = 21;  // block 22 is lost
  write_ctl(path, c);
  expect_problem("block 22: neither in the tree nor on the unused chain");
}

TEST_F(KitTest, ProblemsAreCountedBeyondTheListedOnes) {
  standard();
  add_unused_blocks(path, 60);
  CtlFields c = read_ctl(path);
  c.freechain = 0;
  write_ctl(path, c);
  CheckOptions opt;
  opt.max_problems = 10;
  const CheckResult r = check_index(path, opt);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.problem_count, 60u);
  EXPECT_EQ(r.problems.size(), 10u);
  EXPECT_NE(r.text().find("... and 50 more"), std::string::npos);
  const testing::AssertionResult a = index_ok(path, opt);
  EXPECT_FALSE(a);
  EXPECT_NE(std::string(a.message()).find("block 20: neither in the tree"), std::string::npos);
}

TEST_F(KitTest, SameEntriesNamesTheFirstDifference) {
  const std::vector<KeyItem> want = {{"a", 1}, {"b", 2}, {"c", 3}};
  EXPECT_TRUE(same_entries(want, want));
  testing::AssertionResult r = same_entries({{"a", 1}, {"b", 5}, {"c", 3}}, want);
  ASSERT_FALSE(r);
  EXPECT_STREQ(r.message(), "entry 1 is ('b', 5), expected ('b', 2)");
  r = same_entries({{"a", 1}, {"b", 2}}, want);
  ASSERT_FALSE(r);
  EXPECT_STREQ(r.message(), "2 entries, expected 3; missing from entry 2: ('c', 3)");
  r = same_entries({{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}}, want);
  ASSERT_FALSE(r);
  EXPECT_STREQ(r.message(), "4 entries, expected 3; entry 3 is ('d', 4) too many");
  EXPECT_FALSE(same_entries({{"ab", 1}}, {{"a", 1}}, nocase_compare));  // lengths differ
  EXPECT_TRUE(same_entries({{"AB", 1}}, {{"ab", 1}}, nocase_compare));
}

// The walk helpers through the public operations, on a built file: they accept the tree that matches and
// name the first difference otherwise.
TEST_F(KitTest, WalksThroughTheLibraryNameTheFirstDifference) {
  ASSERT_EQ(cbinit(8, 512), 1);
  const std::vector<KeyItem> v = numbered(40);
  build_index(path, 512, split_leaves(v, 4), 3);
  cbt_tree *t = cbopen(path.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr) << "error " << *qrxcbecd();
  TreeModel m;
  for (const KeyItem &e : v) m.insert(e.key, e.item);
  EXPECT_TRUE(tree_matches_model(t, path, m));

  TreeModel fewer = m;
  fewer.erase("key-005", 5);
  testing::AssertionResult r = walk_forward_matches(t, fewer);
  EXPECT_FALSE(r);
  EXPECT_STREQ(r.message(), "cbhead/cbnext: position 5 gives ('key-005', 5), the model has ('key-006', 6)");
  r = walk_backward_matches(t, fewer);
  EXPECT_FALSE(r);
  EXPECT_STREQ(r.message(), "cbtail/cbprev: position 34 gives ('key-005', 5), the model has ('key-004', 4)");

  TreeModel more = m;
  more.insert("zz", 1);
  r = walk_forward_matches(t, more);
  EXPECT_FALSE(r);
  EXPECT_STREQ(r.message(),
               "cbhead/cbnext: the walk ends after 40 entries, the model has 41; next expected ('zz', 1)");
  EXPECT_FALSE(tree_matches_model(t, path, more));

  uint32_t item = 0;
  EXPECT_EQ(cbfind(t, "key-017", 7, &item), CBT_FOUND);
  int32_t status = 0;
  EXPECT_EQ(cursor_entry(t, &status), (KeyItem{"key-017", 17}));
  EXPECT_EQ(cbtail(t, &item), 1);
  EXPECT_EQ(cbnext(t, &item), CBT_POS_EOI);
  EXPECT_FALSE(cursor_entry(t, &status).has_value());
  EXPECT_EQ(status, CBT_POS_EOI);
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(cbexit(), 1);
  EXPECT_TRUE(index_ok(path));  // closed: openflag back to 0, nothing else changed
  EXPECT_TRUE(same_entries(dump_entries(path), v));
}

// ---------------------------------------------------------------------------------------------------
// The model and the generator.
// ---------------------------------------------------------------------------------------------------

TEST(TreeModelTest, OrdersByKeyThenSignedItem) {
  TreeModel m;
  m.insert("abd", 1);
  m.insert("ab", 1);
  m.insert("abc", 1);
  m.insert("", 1);
  m.insert("k", 0);
  m.insert("k", 0xFFFFFFFFu);
  m.insert("k", 0x80000000u);
  m.insert("k", 5);
  const std::vector<KeyItem> want = {
      {"", 1}, {"ab", 1}, {"abc", 1}, {"abd", 1}, {"k", 0x80000000u}, {"k", 0xFFFFFFFFu}, {"k", 0}, {"k", 5}};
  EXPECT_EQ(m.to_vector(), want);
  EXPECT_FALSE(m.insert("k", 5));
  EXPECT_TRUE(m.erase("k", 5));
  EXPECT_FALSE(m.erase("k", 5));
  EXPECT_EQ(m.size(), 7u);
}

TEST(TreeModelTest, InsertErrorsFollowTheDuplicateRules) {
  TreeModel m;
  m.insert("K", 3);
  EXPECT_EQ(m.insert_error("K", 3, 1), 18);
  EXPECT_EQ(m.insert_error("K", 5, 0), 17);  // equal key before it
  EXPECT_EQ(m.insert_error("K", 1, 0), 17);  // equal key after it
  EXPECT_EQ(m.insert_error("K", 0xFFFFFFFFu, 0), 17);
  EXPECT_EQ(m.insert_error("K", 5, 1), 0);
  EXPECT_EQ(m.insert_error("KK", 3, 0), 0);
  EXPECT_EQ(m.insert_error("", 3, 0), 0);
  TreeModel ci(nocase_compare);
  ci.insert("Ab", 1);
  EXPECT_TRUE(ci.has_key("aB"));
  EXPECT_EQ(ci.insert_error("aB", 2, 0), 17);
}

TEST(TreeModelTest, LowerBoundIsWhereAFindLands) {
  TreeModel m;
  m.insert("K", 1);
  m.insert("K", 2);
  m.insert("M", 0xFFFFFFFBu);  // -5
  m.insert("P", 0);
  EXPECT_EQ(m.lower_bound("K", 0), (KeyItem{"K", 1}));
  EXPECT_EQ(m.lower_bound("K", 2), (KeyItem{"K", 2}));
  EXPECT_EQ(m.lower_bound("K", 3), (KeyItem{"M", 0xFFFFFFFBu}));
  EXPECT_EQ(m.lower_bound("M", 0), (KeyItem{"P", 0}));  // the negative item is passed over
  EXPECT_EQ(m.lower_bound("L", 0), (KeyItem{"M", 0xFFFFFFFBu}));
  EXPECT_FALSE(m.lower_bound("Q", 0).has_value());
}

TEST(RngTest, SameSeedSameSequence) {
  unsetenv("QRX_TEST_SEED");
  Rng a(42), b(42), c(43);
  bool differs = false;
  for (int i = 0; i < 100; ++i) {
    const uint64_t x = a.next();
    EXPECT_EQ(x, b.next());
    differs |= x != c.next();
  }
  EXPECT_TRUE(differs);
  EXPECT_EQ(a.seed(), 42u);
}

TEST(RngTest, RangesAreInclusiveAndCovered) {
  Rng r(1);
  bool seen[7] = {};
  for (int i = 0; i < 1000; ++i) {
    const int64_t x = r.range(-3, 3);
    ASSERT_GE(x, -3);
    ASSERT_LE(x, 3);
    seen[x + 3] = true;
    ASSERT_LT(r.below(10), 10u);
  }
  for (bool s : seen) EXPECT_TRUE(s);
  EXPECT_EQ(r.below(0), 0u);
  std::vector<int> v = {1, 2, 3, 4, 5, 6, 7, 8};
  r.shuffle(v);
  std::vector<int> sorted = v;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(r.text(5, "x").size(), 5u);
  EXPECT_EQ(r.text(5, "x"), "xxxxx");
}

TEST(RngTest, EnvironmentSeedOverridesAndIsShown) {
  setenv("QRX_TEST_SEED", "977", 1);
  Rng r(5);
  unsetenv("QRX_TEST_SEED");
  EXPECT_EQ(r.seed(), 977u);
  EXPECT_EQ(seed_text(r), "seed 977 (rerun with QRX_TEST_SEED=977)");
  Rng plain(977);
  EXPECT_EQ(r.next(), plain.next());
}

}  // namespace
