// Verification: consistent trees give 1 and no dump file; each kind of damage gives its line, -1 and the
// formatted dump in name.dmp beside the index, walks that run in a cycle end, and the index is not changed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::test {
namespace {

std::string dump_text(cbt_tree *t) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  qrxcbdmp(t, 0, f);
  std::fclose(f);
  std::string s(buf, size);
  std::free(buf);
  return s;
}

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
  // Opens read-only, verifies and closes; the error lines are left in trace_.
  int32_t verify(cbt_keycmp_fn cmp = nullptr, std::string *dump = nullptr) {
    cbt_tree *t = cbopen(path_.c_str(), 1, cmp);
    EXPECT_NE(t, nullptr);
    trace_.clear();
    const int32_t r = qrxcbver(t);
    if (dump) *dump = dump_text(t);
    cbclose(t);
    return r;
  }
  std::string errors() const {
    std::string s;
    for (const TraceLine &l : trace_.lines())
      if (l.kind == QRXHOST_KIND_ERROR) s += l.text + "\n";
    return s;
  }

  TempDir dir_;
  std::string path_ = dir_.file("cust.IDX");
  std::string dmp_ = dir_.file("cust.dmp");
  TraceCapture trace_;
};

TEST_F(VerifyTest, ConsistentTreesVerifyWithoutADumpFile) {
  build_index(path_, 512, {}, 2);
  EXPECT_EQ(verify(), 1);
  build_index(path_, 512, {{{"k", 0xffffffffu}, {"k", 5}}}, 2);  // items are signed: -1 before 5
  EXPECT_EQ(verify(), 1) << errors();
  build_three_levels();
  EXPECT_EQ(verify(), 1) << errors();
  build_index(path_, 512, {{{"apple", 1}, {"Banana", 2}, {"cherry", 3}}}, 2, {.cmp = nocase_compare});
  EXPECT_EQ(verify(nocase_compare), 1) << errors();
  EXPECT_EQ(errors(), "");
  EXPECT_FALSE(std::filesystem::exists(dmp_));
  EXPECT_EQ(verify(), -1);  // the same bytes out of order under the default compare
  EXPECT_EQ(qrxcbver(nullptr), -1);
  EXPECT_EQ(*qrxcbecd(), 15u);
}

TEST_F(VerifyTest, EachDamageGivesItsLineAndADumpBesideTheIndex) {
  struct Case {
    std::vector<Leaf> leaves;  // empty: the three-level tree
    std::function<void()> damage;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{{{"b", 2}, {"a", 1}, {"c", 3}}}, [] {}, "Invalid leaf node 1. Offset 510"},  // "a" at 510
      {{{{"a", 1}, {"m", 2}}, {{"k", 3}, {"z", 4}}}, [] {}, "Invalid leaf node 2. Offset 510"},
      {{{{"k", 5}, {"k", 0xffffffffu}}}, [] {}, "Invalid leaf node 1. Offset 511"},
      {{},
       [&] { patch_i32(path_, 5, entry_pos(false, 0) + kEntryChildOff, 3); },
       "Invalid leaf node 2. No parent"},
      {{},
       [&] { patch_i32(path_, 7, entry_pos(false, 0) + kEntryChildOff, 5); },
       "Invalid internal node 6. No parent"},
      {{}, [&] { patch_i32(path_, 6, kNodeLowPathOff, 4); }, "Invalid leaf node 3. No parent"},
      {{},
       [&] { patch_i32(path_, 3, kNodeRightOff, 0); },
       "Invalid internal node 6. Names a child missing from level 3"},
      {{}, [&] { patch_i32(path_, 2, kNodeRightOff, 40); }, "Unable to acceess block 40"},
      {{}, [&] { patch_i32(path_, 3, kNodeHeapEndOff, 5000); }, "Unable to acceess block 3"},
      {{{{"a", 1}}},
       [&] {
         CtlFields c = read_ctl(path_);
         c.root = 9;
         write_ctl(path_, c);
       },
       "Unable to access block 9"},
      // Seven blocks: the eighth visit along the leaf level (leaf 1 again) is one too many.
      {{},
       [&] { patch_i32(path_, 4, kNodeRightOff, 1); },
       "Level 3 runs in a cycle or past the 7 blocks of the file at block 1"},
      // Unused blocks on a level are passed over, so two pointing at each other keep the order forever.
      {{{{"a", 1}}},
       [&] {
         const std::vector<int32_t> u = add_unused_blocks(path_, 2);
         patch_i32(path_, 1, kNodeRightOff, u[0]);
         patch_i32(path_, u[0], kNodeRightOff, u[1]);
         patch_i32(path_, u[1], kNodeRightOff, u[0]);
       },
       "Level 1 runs in a cycle or past the 3 blocks of the file at block 2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    std::filesystem::remove(dmp_);
    if (c.leaves.empty()) {
      build_three_levels();
    } else {
      build_index(path_, 512, c.leaves, 2);
    }
    c.damage();
    const std::vector<uint8_t> before = read_file_bytes(path_);
    std::string dump;
    EXPECT_EQ(verify(nullptr, &dump), -1);
    EXPECT_EQ(trace_.count(QRXHOST_KIND_ERROR, c.line), 1) << errors();
    EXPECT_EQ(read_file(dmp_), dump);
    EXPECT_NE(dump, "");
    EXPECT_EQ(read_file_bytes(path_), before);
  }
}

}  // namespace
}  // namespace qrx::test
