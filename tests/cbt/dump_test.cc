// Dumps of a small tree with unused blocks, by levels and in block order, against texts written by hand
// from the format strings (keys with bytes outside 32..126 included); a cycle ends the dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::test {
namespace {

TEST(DumpTest, SmallTreeByLevelsAndInBlockOrderAndACycle) {
  ASSERT_EQ(cbinit(16, 4096), 1);
  TempDir dir;
  const std::string path = dir.file("small.idx"), out = dir.file("dump.txt");
  auto dump = [&](cbt_tree *t, int32_t mode) {
    FILE *f = std::fopen(out.c_str(), "w");
    qrxcbdmp(t, mode, f);
    std::fclose(f);
    return read_file(out);
  };
  // Leaf 1: "A\x00\xff" 1, "B" 2. Leaf 2: "C" 0x10 and "C" 0x11 (one shared byte), "D" 0xdeadbeef. Root 3:
  // low path 1, ("C", 0x10) -> 2. Unused blocks 4 and 5, the chain running 5 -> 4. 128-byte blocks.
  build_index(path, 128,
              {{{std::string("A\x00\xff", 3), 1}, {"B", 2}}, {{"C", 0x10}, {"C", 0x11}, {"D", 0xdeadbeef}}},
              2);
  add_unused_blocks(path, 2);
  cbt_tree *t = cbopen(path.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  char parity[8];
  std::snprintf(parity, sizeof parity, "%04x", read_ctl(path).vparity);  // as stored in block 0
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
  patch_i32(path, 4, kNodeNextUnusedOff, 5);
  t = cbopen(path.c_str(), 2, nullptr);
  const std::string d = dump(t, 0);
  EXPECT_EQ(
      d.substr(d.rfind('\n', d.size() - 2) + 1),
      "The unused block chain runs in a cycle or past the 5 blocks of the file at block 4; dump ended\n");
  EXPECT_EQ(cbclose(t), 1);
  cbexit();
}

}  // namespace
}  // namespace qrx::test
