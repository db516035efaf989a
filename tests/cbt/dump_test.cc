// Dumps: a small tree dumped by levels and in block order, compared with texts written out by hand from
// the format strings; keys with bytes outside 32..126; the header's cursor, mark and stored parity; and
// damaged files, whose dumps end with a line instead of running on or reading outside a block.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::test {
namespace {

std::string dump_text(cbt_tree *t, int32_t mode) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  qrxcbdmp(t, mode, f);
  std::fclose(f);
  std::string s(buf, size);
  std::free(buf);
  return s;
}

// A pointer as the dump prints it.
std::string hex(const void *p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

size_t count_of(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(16, 4096), 1); }
  void TearDown() override {
    if (t_) cbclose(t_);
    cbexit();
  }

  // Leaf 1: "A\x00\xff" 1, "B" 2. Leaf 2: "C" 0x10 and "C" 0x11 (sharing one byte), "D" 0xdeadbeef.
  // Root 3: low path 1, entry ("C", 0x10) -> 2. 128-byte blocks.
  void build_small() {
    build_index(path_, 128,
                {{{std::string("A\x00\xff", 3), 1}, {"B", 2}}, {{"C", 0x10}, {"C", 0x11}, {"D", 0xdeadbeef}}},
                2);
  }
  cbt_tree *open(int32_t mode = 2) {
    t_ = cbopen(path_.c_str(), mode, nullptr);
    EXPECT_NE(t_, nullptr);
    return t_;
  }

  // The header for the open handle, built from the format strings.
  std::string header(const std::string &pos, const std::string &mark, int32_t root, int32_t highblock,
                     int32_t lowleaf, int32_t highleaf, int32_t freechain) {
    const cbt::CtlRec *c = t_->ctl;
    const Bfile *bf = c->bfile;
    char parity[16];
    std::snprintf(parity, sizeof parity, "%04x", read_ctl(path_).vparity);
    return "Dumping tree at " + hex(t_) + "\n" +                                                    //
           "\tnext = " + hex(t_->next) + ", ctl = " + hex(c) + ", keycmp = " +                      //
           hex(reinterpret_cast<const void *>(t_->keycmp)) + "\n" +                                 //
           "\tpos_stat = " + pos + "\n" +                                                           //
           "\tmrk_stat = " + mark + "\n\n" +                                                        //
           "Dumping control record at " + hex(c) + "\n" +                                           //
           "disk\troot = " + std::to_string(root) + ", highblock = " + std::to_string(highblock) +  //
           ", lowleaf = " + std::to_string(lowleaf) + ", highleaf = " + std::to_string(highleaf) + "\n" +
           "\tfreechain = " + std::to_string(freechain) + ", blksize = 128, vparity = " + parity + "\n" +
           "memory\tnext = " + hex(c->next) + ", nopen = 1, bfile = " + hex(bf) + ", fname = " + path_ +
           "\n" + "bfile\tnext = " + hex(bf->next) + ", fd = " + std::to_string(bf->fd) +
           ", pool = " + hex(bf->pool) + ", blksize = 128\n\n";
  }

  TempDir dir_;
  std::string path_ = dir_.file("small.idx");
  cbt_tree *t_ = nullptr;
};

// The three nodes of the small tree as the dump shows them.
const char kRoot3[] =
    "\nDumping interior node 3\n"
    "left = 0, right = 0, key_cnt = 1, heap_end = 127, free space = 91\n"
    "low_path = 1\n"
    "00, offset = 0127, len = 001, item = 00000010, child =    2, key = C\n";
const char kLeaf1[] =
    "\nDumping leaf node 1\n"
    "left = 0, right = 2, key_cnt = 2, heap_end = 124, free space = 80\n"
    "00, offset = 0124, len = 003, item = 00000001, key = A\\x00\\xff\n"
    "01, offset = 0127, len = 001, item = 00000002, key = B\n";
const char kLeaf2[] =
    "\nDumping leaf node 2\n"
    "left = 1, right = 0, key_cnt = 3, heap_end = 126, free space = 70\n"
    "00, offset = 0126, len = 001, item = 00000010, key = C\n"
    "01, offset = 0126, len = 001, item = 00000011, key = C\n"
    "02, offset = 0127, len = 001, item = deadbeef, key = D\n";

// ---------------------------------------------------------------------------------------------------
// The small tree
// ---------------------------------------------------------------------------------------------------

TEST_F(DumpTest, ByLevelsMatchesTheHandWrittenText) {
  build_small();
  open();
  const std::string want =
      header("BOI, curblock = -1, curindex = -1", "ERROR, mrkblock = -1, mrkindex = -1", 3, 3, 1, 2, 0) +
      "\nDumping blocks at level 1\n" + kRoot3 + "\nDumping blocks at level 2\n" + kLeaf1 + kLeaf2;
  EXPECT_EQ(dump_text(t_, 0), want);
  // Any mode but 1 dumps by levels.
  EXPECT_EQ(dump_text(t_, 7), want);
}

TEST_F(DumpTest, BlockOrderMatchesTheHandWrittenText) {
  build_small();
  open();
  const std::string want =
      header("BOI, curblock = -1, curindex = -1", "ERROR, mrkblock = -1, mrkindex = -1", 3, 3, 1, 2, 0) +
      kLeaf1 + kLeaf2 + kRoot3;
  EXPECT_EQ(dump_text(t_, 1), want);
}

TEST_F(DumpTest, TheHeaderShowsCursorMarkAndTheParityStoredInBlockZero) {
  build_small();
  open();
  uint32_t item;
  ASSERT_EQ(cbhead(t_, &item), 1);
  ASSERT_EQ(cbnext(t_, &item), 1);  // leaf 1, entry 1
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbtail(t_, &item), 1);  // leaf 2, entry 2
  const std::string d = dump_text(t_, 0);
  EXPECT_EQ(d.substr(0, d.find("\nDumping blocks")),
            header("OK, curblock = 2, curindex = 2", "OK, mrkblock = 1, mrkindex = 1", 3, 3, 1, 2, 0));
  // The header above carries the parity stored in block 0; the record in memory does not hold it for a file
  // it only opened, so printing that one would show 0000.
  EXPECT_NE(read_ctl(path_).vparity, 0u);
  EXPECT_EQ(t_->ctl->vparity, 0u);
  ASSERT_EQ(cbnext(t_, &item), -3);
  EXPECT_NE(dump_text(t_, 0).find("\tpos_stat = EOI, curblock = -1, curindex = -1\n"), std::string::npos);
}

TEST_F(DumpTest, UnusedBlocksFollowTheLevelsAndStandInBlockOrder) {
  build_small();
  add_unused_blocks(path_, 2);  // blocks 4 and 5; the chain runs 5 -> 4
  open();
  const std::string head =
      header("BOI, curblock = -1, curindex = -1", "ERROR, mrkblock = -1, mrkindex = -1", 3, 5, 1, 2, 5);
  const std::string chain =
      "Dumping unused block chain\n"
      "\nDumping unused node 5\nnext unused node = 4\n"
      "\nDumping unused node 4\nnext unused node = 0\n";
  EXPECT_EQ(dump_text(t_, 0), head + "\nDumping blocks at level 1\n" + kRoot3 +
                                  "\nDumping blocks at level 2\n" + kLeaf1 + kLeaf2 + chain);
  EXPECT_EQ(dump_text(t_, 1), head + kLeaf1 + kLeaf2 + kRoot3 +
                                  "\nDumping unused node 4\nnext unused node = 0\n" +
                                  "\nDumping unused node 5\nnext unused node = 4\n");
}

TEST_F(DumpTest, AnEmptyTreeDumpsItsHeaderOnly) {
  build_index(path_, 128, {}, 2);
  open();
  const std::string want =
      header("BOI, curblock = -1, curindex = -1", "ERROR, mrkblock = -1, mrkindex = -1", 0, 0, 0, 0, 0);
  EXPECT_EQ(dump_text(t_, 0), want);
  EXPECT_EQ(dump_text(t_, 1), want);
}

TEST_F(DumpTest, DumpingLeavesTheStatusCodesAlone) {
  build_small();
  patch_i32(path_, 2, kNodeRightOff, 99);
  open();
  *qrxcbecd() = 0;
  *qrxcbccd() = 0;
  dump_text(t_, 0);  // reaches the unreadable block 99
  EXPECT_EQ(*qrxcbecd(), 0u);
  EXPECT_EQ(*qrxcbccd(), 0u);
}

TEST_F(DumpTest, AnInvalidHandleOrStreamWritesNothing) {
  EXPECT_EQ(dump_text(nullptr, 0), "");
  build_small();
  open();
  qrxcbdmp(t_, 0, nullptr);  // no stream: nothing happens
}

// ---------------------------------------------------------------------------------------------------
// Damaged files
// ---------------------------------------------------------------------------------------------------

TEST_F(DumpTest, AnUnreadableBlockEndsTheDump) {
  build_small();
  add_unused_blocks(path_, 1);
  patch_i32(path_, 2, kNodeRightOff, 99);  // past the end of the file
  open();
  const std::string d = dump_text(t_, 0);
  EXPECT_EQ(d.substr(d.find("\nDumping blocks at level 2\n")),
            std::string("\nDumping blocks at level 2\n") + kLeaf1 +
                "\nDumping leaf node 2\n"
                "left = 1, right = 99, key_cnt = 3, heap_end = 126, free space = 70\n"
                "00, offset = 0126, len = 001, item = 00000010, key = C\n"
                "01, offset = 0126, len = 001, item = 00000011, key = C\n"
                "02, offset = 0127, len = 001, item = deadbeef, key = D\n"
                "Unable to dump block 99\n");
}

TEST_F(DumpTest, ABlockFailingItsCheckEndsTheLevelDump) {
  build_small();
  patch_i32(path_, 1, entry_pos(true, 0) + kEntryOffsetOff, 5000);
  open();
  const std::string d = dump_text(t_, 0);
  EXPECT_EQ(d.substr(d.find("\nDumping blocks at level 2\n")),
            "\nDumping blocks at level 2\nUnable to dump block 1\n");
}

TEST_F(DumpTest, TheRawDumpShowsADamagedBlockAsFarAsItIsSafe) {
  build_small();
  patch_i32(path_, 1, entry_pos(true, 0) + kEntryOffsetOff, 5000);  // a key outside the block
  patch_i32(path_, 2, kNodeKeyCntOff, 1000000);                     // a directory far beyond the block
  patch_i32(path_, 3, kNodeLowPathOff, -7);                         // no kind at all
  open();
  const std::string d = dump_text(t_, 1);
  const std::string note = "block fails the structure check: entries shown as far as they lie inside it\n";
  EXPECT_NE(d.find("\nDumping leaf node 1\n"
                   "left = 0, right = 2, key_cnt = 2, heap_end = 124, free space = 80\n" +
                   note +
                   "00, offset = 5000, len = 003, item = 00000001, key = (outside the block)\n"
                   "01, offset = 0127, len = 001, item = 00000002, key = B\n"),
            std::string::npos)
      << d;
  // Leaf 2: (128 - 20) / 12 = 9 directory slots lie inside the block.
  const std::string leaf2 = d.substr(d.find("\nDumping leaf node 2\n"));
  EXPECT_EQ(count_of(leaf2.substr(0, leaf2.find("\nDumping damaged block 3\n")), ", offset = "), 9u) << d;
  EXPECT_NE(d.find("\nDumping damaged block 3\n"
                   "low_path = -7, left = 0, right = 0, key_cnt = 1, heap_end = 127\n"),
            std::string::npos)
      << d;
}

TEST_F(DumpTest, ACycleOnALevelEndsTheDumpWithALine) {
  build_small();
  patch_i32(path_, 2, kNodeRightOff, 1);
  open();
  const std::string d = dump_text(t_, 0);
  EXPECT_NE(d.find("Level 2 runs in a cycle or past the 3 blocks of the file at block 1; dump ended\n"),
            std::string::npos)
      << d;
  EXPECT_EQ(count_of(d, "\nDumping leaf node 1\n"), 1u);
}

TEST_F(DumpTest, ACycleOfTheUnusedChainEndsTheDumpWithALine) {
  build_small();
  add_unused_blocks(path_, 2);                 // chain 5 -> 4
  patch_i32(path_, 4, kNodeNextUnusedOff, 5);  // 5 -> 4 -> 5 -> ...
  open();
  const std::string d = dump_text(t_, 0);
  EXPECT_NE(d.find("The unused block chain runs in a cycle or past the 5 blocks of the file at block 4; dump "
                   "ended\n"),
            std::string::npos)
      << d;
}

TEST_F(DumpTest, AChainReachingABlockInUseStops) {
  build_small();
  add_unused_blocks(path_, 1);                 // block 4
  patch_i32(path_, 4, kNodeNextUnusedOff, 2);  // leads into leaf 2
  open();
  const std::string d = dump_text(t_, 0);
  const std::string tail = "\nDumping unused node 4\nnext unused node = 2\n2 is not an unused block\n";
  ASSERT_GE(d.size(), tail.size());
  EXPECT_EQ(d.substr(d.size() - tail.size()), tail);
}

}  // namespace
}  // namespace qrx::test
