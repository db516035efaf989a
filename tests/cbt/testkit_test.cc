// The test kit judged on its own: files built byte by byte pass the structural check and read back as
// built, and each kind of check fires on a file damaged in its way (and stays bounded on cycles).
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace {

using namespace qrx::test;

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

// 12 leaves of 4 entries in blocks 1..12; level 2: 13..16 (three children each); level 3: 17 (children
// 13..15) and 18 (only its low path 16); root 19. 512-byte blocks. Leaf 5 holds key-016..key-019 at
// heap offsets 484, 491, 498, 505.
void standard(const std::string &path) {
  build_index(path, 512, split_leaves(numbered(48), 4), 3);
}

void set_ctl(const std::string &path, const std::function<void(CtlFields &)> &change, bool fix = true) {
  CtlFields c = read_ctl(path);
  change(c);
  write_ctl(path, c, fix);
}

TEST(KitTest, BuiltFilesPassAndReadBackAsBuilt) {
  TempDir dir;
  const std::string path = dir.file("t.idx");
  standard(path);
  const CheckResult r = check_index(path);
  ASSERT_TRUE(r.ok) << r.text();
  EXPECT_EQ(r.stats.depth, 4);
  EXPECT_EQ(r.stats.interior, 7);
  EXPECT_TRUE(same_entries(dump_entries(path), numbered(48)));
  EXPECT_FALSE(same_entries(dump_entries(path), numbered(47)));
  add_unused_blocks(path, 3);
  EXPECT_TRUE(index_ok(path));
  // Neighbours equal under the compare function share the first spelling.
  build_index(path, 512, {{{"Ab", 1}, {"aB", 2}, {"c", 3}}}, 2, {.cmp = nocase_compare});
  EXPECT_TRUE(index_ok(path, {.cmp = nocase_compare}));
  EXPECT_EQ(dump_entries(path)[1].key, "Ab");
}

TEST(KitTest, EachCheckFiresOnItsDamage) {
  struct Case {
    std::function<void(const std::string &)> damage;
    std::string problem;
    bool relaxed = false;
  };
  const Case cases[] = {
      {[](auto &p) { patch_bytes(p, 0, 5, {0x12}); }, "block 0: parity stored"},
      {[](auto &p) { patch_bytes(p, 0, 100, {1}); },
       "block 0: byte 100 after the control record is not zero"},
      {[](auto &p) { set_ctl(p, [](CtlFields &c) { c.blksize = 20; }); }, "blksize 20 is out of range"},
      {[](auto &p) { truncate_file(p, 512 * 20 + 10); }, "is not a whole number of 512-byte blocks"},
      {[](auto &p) { set_ctl(p, [](CtlFields &c) { c.depth = 3; }); },
       "block 0: depth 3, but the tree has 4 levels"},
      {[](auto &p) { set_ctl(p, [](CtlFields &c) { c.highleaf = 11; }); },
       "block 0: highleaf 11, but the last leaf is block 12"},
      {[](auto &p) { set_ctl(p, [](CtlFields &c) { c.root = 25; }); }, "root 25 is outside 1..highblock"},
      {[](auto &p) { patch_i32(p, 5, kNodeKeyCntOff, 1000); }, "block 5: key_cnt 1000 is out of range"},
      {[](auto &p) { patch_i32(p, 5, kNodeHeapEndOff, 60); }, "block 5: heap_end 60 is outside 68..512"},
      {[](auto &p) { patch_i32(p, 5, kNodeKeyCntOff, 0); }, "block 5: empty leaf (key_cnt 0)"},
      {[](auto &p) { patch_i32(p, 5, kNodeLowPathOff, 7); }, "block 5: low_path 7 on the leaf level"},
      {[](auto &p) { patch_i32(p, 5, leaf_at(3, kEntryLenOff), 6); },
       "block 5: key heap ends at 511, not at the block end 512"},
      {[](auto &p) {
         patch_i32(p, 5, leaf_at(0, kEntryOffsetOff), 491);
         patch_i32(p, 5, leaf_at(1, kEntryOffsetOff), 484);
       },
       "block 5 entry 0: key bytes at offset 491, expected 484 (heap not packed in entry order)"},
      {[](auto &p) {
         build_index(p, 512, {{{"dup", 1}, {"dup", 2}}}, 2, {.share_equal = false});
       },
       "block 1 entry 1: equal to entry 0 ('dup', 1) but keeps a copy of its own bytes"},
      {[](auto &p) {
         build_index(p, 512, {{{"k", 0}, {"k", 0xFFFFFFFFu}}}, 2);
       },
       "block 1 entry 1: ('k', -1) is not after block 1 entry 0 ('k', 0)"},
      {[](auto &p) {
         build_index(p, 512, {{{"a", 1}, {"c", 2}}, {{"b", 3}, {"d", 4}}}, 2);
       },
       "block 2 entry 0: ('b', 3) is not after block 1 entry 1 ('c', 2)"},
      {[](auto &p) { patch_i32(p, 17, node_at(0, kEntryItemOff), 11); },
       "block 17 entry 0: carries ('key-012', 11), but the lowest entry under child 14 is ('key-012', 12)"},
      {[](auto &p) { patch_i32(p, 17, node_at(0, kEntryItemOff), 13); },
       "block 17 entry 0: ('key-012', 13) is above the lowest entry under child 14", true},
      {[](auto &p) {
         patch_i32(p, 13, node_at(0, kEntryChildOff), 3);
         patch_i32(p, 13, node_at(1, kEntryChildOff), 2);
       },
       "level 4: block 2 stands at place 1 along right, but block 13 entry 0 names block 3"},
      {[](auto &p) { patch_i32(p, 7, kNodeLeftOff, 5); },
       "block 7: left is 5, but the block before it on the level is 6"},
      {[](auto &p) { patch_i32(p, 12, kNodeRightOff, 1); },
       "level 4: block 1 (right of block 12) is reached a second time"},
      {[](auto &p) { patch_i32(p, 17, kNodeLowPathOff, 19); }, "level 3: block 19 is reached a second time"},
      {[](auto &p) {
         add_unused_blocks(p, 3);  // chain 22 -> 21 -> 20
         patch_i32(p, 20, kNodeNextUnusedOff, 22);
       },
       "unused chain: block 22 (after block 20) is reached a second time (a cycle)"},
      {[](auto &p) {
         add_unused_blocks(p, 3);
         patch_i32(p, 20, kNodeNextUnusedOff, 3);
       },
       "unused chain: block 3 (after block 20) is also in the tree"},
      {[](auto &p) {
         add_unused_blocks(p, 3);
         set_ctl(p, [](CtlFields &c) { c.freechain = 21; });
       },
       "block 22: neither in the tree nor on the unused chain"},
  };
  TempDir dir;
  const std::string path = dir.file("t.idx");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.problem);
    standard(path);
    c.damage(path);
    const CheckResult r = check_index(path, {.relaxed = c.relaxed});
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.mentions(c.problem)) << r.text();
  }
  standard(path);  // a walk over a cycle stops
  patch_i32(path, 12, kNodeRightOff, 1);
  std::string error;
  EXPECT_EQ(dump_entries(path, &error).size(), 48u);
  EXPECT_EQ(error, "block 1 is reached a second time (a cycle)");
}

}  // namespace
