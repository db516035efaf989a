// Verification: consistent trees give 1 and no dump file; each kind of damage gives its line, -1 and the
// formatted dump in name.dmp beside the index, walks that run in a cycle end, and the index is unchanged.
// The dump itself, against texts written by hand; and the tests' own structural checker, which must
// complain about each kind of damage.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "cbt/codec.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_checker.h"

namespace qrx::test {
namespace {

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override { cbexit(); }
  // Four leaves of three entries (blocks 1..4), nodes 5 (children 1, 2) and 6 (3, 4), root 7.
  void build_three_levels() {
    std::vector<KeyItem> v;
    for (uint32_t i = 0; i < 12; ++i) v.push_back({"key-" + std::to_string(1000 + i), i});
    build_index(path_, 512, split_leaves(v, 3), 2);
  }
  std::string dump(cbt_tree *t, int32_t mode) {  // what qrxcbdmp writes
    FILE *f = std::fopen(dump_.c_str(), "w");
    qrxcbdmp(t, mode, f);
    std::fclose(f);
    return read_file(dump_);
  }
  // Opens read-only, verifies, keeps the dump in dumped_ and closes.
  int32_t verify() {
    cbt_tree *t = cbopen(path_.c_str(), 1, nullptr);
    EXPECT_NE(t, nullptr);
    trace_.clear();
    const int32_t r = qrxcbver(t);
    dumped_ = dump(t, 0);
    cbclose(t);
    return r;
  }

  TempDir dir_;
  std::string path_ = dir_.file("cust.IDX"), dmp_ = dir_.file("cust.dmp"), dump_ = dir_.file("dump.txt");
  std::string dumped_;
  TraceCapture trace_;
};

TEST_F(VerifyTest, EachDamageGivesItsLineAndADumpBesideTheIndex) {
  // Leaves given: built as they are, with unused blocks added; none: the three-level tree. Then patches.
  const int32_t kChild = entry_pos(false, 0) + kEntryChildOff, kRight = kNodeRightOff;
  using Case = std::tuple<std::vector<Leaf>, int, std::vector<std::array<int32_t, 3>>, std::string>;
  for (const auto &[leaves, unused, patches, line] : std::vector<Case>{
           {{{{"b", 2}, {"a", 1}, {"c", 3}}}, 0, {}, "Invalid leaf node 1. Offset 510"},  // "a" at 510
           {{{{"a", 1}, {"m", 2}}, {{"k", 3}, {"z", 4}}}, 0, {}, "Invalid leaf node 2. Offset 510"},
           {{{{"k", 5}, {"k", 0xffffffffu}}}, 0, {}, "Invalid leaf node 1. Offset 511"},
           {{}, 0, {{5, kChild, 3}}, "Invalid leaf node 2. No parent"},
           {{}, 0, {{7, kChild, 5}}, "Invalid internal node 6. No parent"},
           {{}, 0, {{3, kRight, 0}}, "Invalid internal node 6. Names a child missing from level 3"},
           {{}, 0, {{2, kRight, 40}}, "Unable to acceess block 40"},
           // Seven blocks: the eighth visit along the leaf level (leaf 1 again) is one too many.
           {{}, 0, {{4, kRight, 1}}, "Level 3 runs in a cycle or past the 7 blocks of the file at block 1"},
           // Unused blocks on a level are passed over, so two pointing at each other keep the order forever.
           {{{{"a", 1}}},
            2,
            {{1, kRight, 2}, {2, kRight, 3}, {3, kRight, 2}},
            "Level 1 runs in a cycle or past the 3 blocks of the file at block 2"}}) {
    std::filesystem::remove(dmp_);
    leaves.empty() ? build_three_levels() : void(build_index(path_, 512, leaves, 2));
    add_unused_blocks(path_, unused);
    for (const auto &[blk, off, v] : patches) patch_i32(path_, blk, uint32_t(off), v);
    const std::string before = read_file(path_);
    EXPECT_EQ(verify(), -1) << line;
    EXPECT_EQ(trace_.count(QRXHOST_KIND_ERROR, line), 1) << line;
    EXPECT_TRUE(read_file(dmp_) == dumped_ && !dumped_.empty()) << line;
    EXPECT_EQ(read_file(path_), before);
  }
}

// Damage the level check passes but that hides entries from a search, breaks a backward walk, or loses
// blocks: the deep check names each, and finds nothing in a sound file. (Sound trees under a compare of
// their own verify throughout delete_model_test.)
TEST_F(VerifyTest, DeepCheckFindsWhatTheLevelCheckPasses) {
  const int32_t kItem0 = entry_pos(false, 0) + kEntryItemOff;
  using Ctl = CtlFields;
  const std::string p = path_;
  // clang-format off
  const std::tuple<std::array<int32_t, 3>, void (*)(Ctl &), std::string> cases[] = {
      {{0, 0, 0}, nullptr, ""},
      {{5, kItem0, 10}, nullptr, "Entry 0 of block 5 of " + p + " is above the lowest entry under its child 2"},
      {{3, kNodeLeftOff, 1}, nullptr, "Block 3 of " + p + " links left to 1, not to 2"},
      {{}, [](Ctl &c) { c.highblock = 20; }, "highblock 20 of " + p + " is past the last block 8 of the file"},
      {{}, [](Ctl &c) { c.depth = 2; }, p + " has 3 levels but depth 2"},
      {{}, [](Ctl &c) { c.lowleaf = 2; }, p + ": lowleaf 2 and highleaf 4, but the leaf level runs from 1 to 4"},
      {{}, [](Ctl &c) { c.freechain = 2; }, "The unused chain of " + p + " reaches block 2 a second time or in the tree"},
      {{}, [](Ctl &c) { c.highblock = 8, c.freechain = 0; }, "Block 8 of " + p + " is neither in the tree nor on the unused chain"},
  };
  // clang-format on
  for (const auto &[patch, ctl, line] : cases) {
    std::filesystem::remove(dmp_);
    build_three_levels();
    add_unused_blocks(path_, 1);  // block 8, the head of the unused chain
    if (patch[0]) patch_i32(path_, patch[0], uint32_t(patch[1]), patch[2]);
    if (ctl) {
      Ctl c = read_ctl(path_);
      ctl(c);
      write_ctl(path_, c);
    }
    EXPECT_EQ(verify(), 1) << line;  // a tree that passes leaves no dump file
    EXPECT_FALSE(std::filesystem::exists(dmp_)) << line;
    cbt_tree *t = cbopen(path_.c_str(), 1, nullptr);
    trace_.clear();
    EXPECT_EQ(qrxcbchk(t), line.empty() ? 1 : -1) << line;
    EXPECT_EQ(trace_.count(QRXHOST_KIND_ERROR, line), line.empty() ? 0 : 1) << line;
    EXPECT_EQ(cbclose(t), 1);
  }
}

// Dumps of a small tree with unused blocks, by levels and in block order, against texts written by hand
// from the format strings (keys with bytes outside 32..126 included); a cycle ends the dump.
TEST_F(VerifyTest, DumpsByLevelsAndInBlockOrderAndACycle) {
  // Leaf 1: "A\x00\xff" 1, "B" 2. Leaf 2: "C" 0x10 and "C" 0x11 (one shared byte), "D" 0xdeadbeef. Root 3:
  // low path 1, ("C", 0x10) -> 2. Unused blocks 4 and 5, the chain running 5 -> 4. 128-byte blocks.
  build_index(path_, 128,
              {{{std::string("A\x00\xff", 3), 1}, {"B", 2}}, {{"C", 0x10}, {"C", 0x11}, {"D", 0xdeadbeef}}},
              2);
  add_unused_blocks(path_, 2);
  cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  char parity[8];
  std::snprintf(parity, sizeof parity, "%04x", read_ctl(path_).vparity);  // as stored in block 0
  const std::string ctl =
      "\ndisk\troot = 3, highblock = 5, lowleaf = 1, highleaf = 2\n\tfreechain = 5, "
      "blksize = 128, vparity = " +
      std::string(parity) + "\nmemory\tnext = ";
  const std::string root =
      "\nDumping interior node 3\nleft = 0, right = 0, key_cnt = 1, heap_end = 127, free space = 91\n"
      "low_path = 1\n00, offset = 0127, len = 001, item = 00000010, child =    2, key = C\n";
  const std::string leaves =
      "\nDumping leaf node 1\nleft = 0, right = 2, key_cnt = 2, heap_end = 124, free space = 80\n"
      "00, offset = 0124, len = 003, item = 00000001, key = A\\x00\\xff\n"
      "01, offset = 0127, len = 001, item = 00000002, key = B\n"
      "\nDumping leaf node 2\nleft = 1, right = 0, key_cnt = 3, heap_end = 126, free space = 70\n"
      "00, offset = 0126, len = 001, item = 00000010, key = C\n"
      "01, offset = 0126, len = 001, item = 00000011, key = C\n"
      "02, offset = 0127, len = 001, item = deadbeef, key = D\n";
  const std::string u4 = "\nDumping unused node 4\nnext unused node = 0\n";
  const std::string u5 = "\nDumping unused node 5\nnext unused node = 4\n";
  for (int32_t mode : {0, 7, 1}) {  // any mode but 1 dumps by levels
    const std::string d = dump(t, mode), body = mode == 1
                                                    ? "blksize = 128\n\n" + leaves + root + u4 + u5
                                                    : "blksize = 128\n\n\nDumping blocks at level 1\n" +
                                                          root + "\nDumping blocks at level 2\n" + leaves +
                                                          "Dumping unused block chain\n" + u5 + u4;
    EXPECT_EQ(d.rfind("Dumping tree at ", 0), 0u) << d;
    EXPECT_NE(d.find(ctl), std::string::npos) << d;
    EXPECT_EQ(d.substr(d.size() - std::min(d.size(), body.size())), body) << mode;
  }
  ASSERT_EQ(cbclose(t), 1);
  patch_i32(path_, 4, kNodeNextUnusedOff, 5);
  t = cbopen(path_.c_str(), 2, nullptr);
  const std::string d = dump(t, 0);
  EXPECT_EQ(
      d.substr(d.rfind('\n', d.size() - 2) + 1),
      "The unused block chain runs in a cycle or past the 5 blocks of the file at block 4; dump ended\n");
  EXPECT_EQ(cbclose(t), 1);
}

// A process that ended while a flush wrote a split back leaves the new blocks behind a control record that
// does not count them yet: the entries moved to the new leaf are on disk only there. The block-order dump
// shows every whole block of the file, so those entries can still be recovered from it.
TEST_F(VerifyTest, TheBlockOrderDumpShowsBlocksPastAStaleControlRecord) {
  // Leaves 1 ("A" 1, "B" 2) and 2 ("C" 3, "D" 4), root 3; then the control record of the file as it was
  // before the split: one leaf, highblock 1, and the open flag of a file that was not closed.
  build_index(path_, 128, {{{"A", 1}, {"B", 2}}, {{"C", 3}, {"D", 4}}}, 2);
  CtlFields c = read_ctl(path_);
  c.root = c.highblock = c.lowleaf = c.highleaf = c.depth = 1;
  c.openflag = -1;
  write_ctl(path_, c);
  cbt_tree *t = cbopen(path_.c_str(), 1, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(*qrxcbecd(), 20u);
  const std::string d = dump(t, 1);
  EXPECT_NE(d.find("\nDumping leaf node 1\n"), std::string::npos) << d;
  EXPECT_NE(
      d.find("\nDumping leaf node 2\nleft = 1, right = 0, key_cnt = 2, heap_end = 126, free space = 82\n"
             "00, offset = 0126, len = 001, item = 00000003, key = C\n"
             "01, offset = 0127, len = 001, item = 00000004, key = D\n"),
      std::string::npos)
      << d;
  EXPECT_NE(d.find("\nDumping interior node 3\n"), std::string::npos) << d;
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(VerifyTest, TheTestsOwnCheckerComplainsAboutEachKindOfDamage) {
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
  const std::string &path = path_;
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
}  // namespace qrx::test
