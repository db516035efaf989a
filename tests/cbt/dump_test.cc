// Dumps of a small tree with unused blocks, by levels and in block order, compared with texts written by
// hand from the format strings (keys with bytes outside 32..126 included); a cycle ends the dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

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
std::string hex(const void *p) {  // a pointer as the dump prints it
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(16, 4096), 1); }
  void TearDown() override { cbexit(); }
  // Leaf 1: "A\x00\xff" 1, "B" 2. Leaf 2: "C" 0x10 and "C" 0x11 (one shared byte), "D" 0xdeadbeef. Root 3:
  // low path 1, ("C", 0x10) -> 2. Unused blocks 4 and 5, the chain running 5 -> 4. 128-byte blocks.
  cbt_tree *build_small() {
    build_index(path_, 128,
                {{{std::string("A\x00\xff", 3), 1}, {"B", 2}}, {{"C", 0x10}, {"C", 0x11}, {"D", 0xdeadbeef}}},
                2);
    add_unused_blocks(path_, 2);
    cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
    EXPECT_NE(t, nullptr);
    return t;
  }

  TempDir dir_;
  std::string path_ = dir_.file("small.idx");
};

TEST_F(DumpTest, SmallTreeByLevelsAndInBlockOrder) {
  cbt_tree *t = build_small();
  const cbt::CtlRec *c = t->ctl;
  const Bfile *bf = c->bfile;
  char parity[16];
  std::snprintf(parity, sizeof parity, "%04x", read_ctl(path_).vparity);  // as stored in block 0
  const std::string head =
      "Dumping tree at " + hex(t) + "\n\tnext = " + hex(t->next) + ", ctl = " + hex(c) +
      ", keycmp = " + hex(reinterpret_cast<const void *>(t->keycmp)) +
      "\n\tpos_stat = BOI, curblock = -1, curindex = -1\n\tmrk_stat = ERROR, mrkblock = -1, mrkindex = -1\n\n"
      "Dumping control record at " +
      hex(c) +
      "\ndisk\troot = 3, highblock = 5, lowleaf = 1, highleaf = 2\n\tfreechain = 5, blksize = 128, vparity "
      "= " +
      parity + "\nmemory\tnext = " + hex(c->next) + ", nopen = 1, bfile = " + hex(bf) + ", fname = " + path_ +
      "\nbfile\tnext = " + hex(bf->next) + ", fd = " + std::to_string(bf->fd) + ", pool = " + hex(bf->pool) +
      ", blksize = 128\n\n";
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
  const std::string by_levels = head + "\nDumping blocks at level 1\n" + root +
                                "\nDumping blocks at level 2\n" + leaves + "Dumping unused block chain\n" +
                                u5 + u4;
  EXPECT_EQ(dump_text(t, 0), by_levels);
  EXPECT_EQ(dump_text(t, 7), by_levels);  // any mode but 1
  EXPECT_EQ(dump_text(t, 1), head + leaves + root + u4 + u5);
  EXPECT_EQ(dump_text(nullptr, 0), "");
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(DumpTest, CyclesEndTheDumpWithALine) {
  for (auto [blk, off, v, line] :
       {std::tuple{2, kNodeRightOff, 1,
                   "Level 2 runs in a cycle or past the 5 blocks of the file at block 1"},
        std::tuple{4, kNodeNextUnusedOff, 5,
                   "The unused block chain runs in a cycle or past the 5 blocks of the file at block 4"}}) {
    ASSERT_EQ(cbclose(build_small()), 1);
    patch_i32(path_, blk, off, v);
    cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
    const std::string d = dump_text(t, 0);
    EXPECT_EQ(d.substr(d.rfind('\n', d.size() - 2) + 1), std::string(line) + "; dump ended\n") << d;
    EXPECT_EQ(cbclose(t), 1);
  }
}

}  // namespace
}  // namespace qrx::test
