// The structural checker judged on its own: a good tree passes, each kind of damage makes it complain.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cbt/codec.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"

namespace {

using namespace qrx::test;

TEST(KitTest, CheckerComplainsAboutEachKindOfDamage) {
  // 12 leaves of "key-100".."key-147" (4 each) in blocks 1..12; interior 13..16, 17..18, root 19; unused
  // chain 22 -> 21 -> 20. Leaf 5 holds key-116..key-119 at heap offsets 484, 491, 498, 505.
  std::vector<KeyItem> v;
  for (int i = 0; i < 48; ++i) v.push_back({"key-" + std::to_string(100 + i), uint32_t(i)});
  struct Patch {
    int32_t blk;  // 0: control record with the parity fixed, -1: control record as is
    uint32_t off;
    int32_t val;
  };
  auto k4 = [](const char *s) { return qrx::codec::load_i32(reinterpret_cast<const uint8_t *>(s), 0); };
  const uint32_t e0 = entry_pos(true, 0), e1 = entry_pos(true, 1), i0 = entry_pos(false, 0);
  const std::pair<std::vector<Patch>, std::string> cases[] = {
      {{}, ""},
      {{{-1, kCtlRootOff, 18}}, "parity"},
      {{{0, kCtlDepthOff, 3}}, "depth 3"},
      {{{0, kCtlHighleafOff, 11}}, "highleaf 11"},
      {{{5, e0, 491}, {5, e1, 484}}, "heap not packed"},
      {{{5, 494, k4("-116")}}, "keeps a copy of its own bytes"},  // equal neighbours must share
      {{{5, 494, k4("-115")}}, "is not after"},
      {{{17, i0 + kEntryItemOff, 11}}, "but the lowest entry"},
      {{{13, i0 + kEntryChildOff, 3}, {13, i0 + kInteriorEntrySize + kEntryChildOff, 2}}, "not the children"},
      {{{7, kNodeLeftOff, 5}}, "left is 5"},
      {{{12, kNodeRightOff, 1}}, "reached a second time"},
      {{{20, kNodeNextUnusedOff, 22}}, "(a cycle)"},
      {{{0, kCtlFreechainOff, 21}}, "neither in the tree nor on the unused chain"},
  };
  TempDir dir;
  const std::string path = dir.file("t.idx");
  for (const auto &[patches, problem] : cases) {
    build_index(path, 512, split_leaves(v, 4), 3);
    add_unused_blocks(path, 3);
    for (const Patch &p : patches) patch_i32(path, p.blk < 0 ? 0 : p.blk, p.off, p.val);
    if (!patches.empty() && patches[0].blk == 0) write_ctl(path, read_ctl(path));
    const CheckResult r = check_index(path);
    EXPECT_TRUE(problem.empty() ? r.ok : !r.ok && r.mentions(problem)) << problem << "\n" << r.text();
  }
}

}  // namespace
