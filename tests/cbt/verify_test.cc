// Verification: consistent trees pass (built by hand and by the library's own insertions and deletions),
// each kind of damage gives its line, -1 and a formatted dump in name.dmp beside the index, walks that
// run in a cycle end, and the index file itself never changes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

std::vector<KeyItem> numbered(int n, const char *prefix = "key-") {
  std::vector<KeyItem> v;
  for (int i = 0; i < n; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%04d", prefix, i);
    v.push_back({buf, static_cast<uint32_t>(i)});
  }
  return v;
}

// Everything qrxcbdmp writes in the given mode.
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

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override {
    if (t_) cbclose(t_);
    cbexit();
  }

  // Opens the index read-only (so that the file's bytes stay as they are) with the given compare.
  cbt_tree *open(cbt_keycmp_fn cmp = nullptr) {
    t_ = cbopen(path_.c_str(), 1, cmp);
    EXPECT_NE(t_, nullptr);
    return t_;
  }
  // Verifies and returns the result, keeping the error lines in trace_.
  int32_t verify() {
    trace_.clear();
    return qrxcbver(t_);
  }
  bool error_line(const std::string &text) const { return trace_.count(QRXHOST_KIND_ERROR, text) == 1; }
  std::string errors() const {
    std::string s;
    for (const TraceLine &l : trace_.lines())
      if (l.kind == QRXHOST_KIND_ERROR) s += l.text + "\n";
    return s;
  }

  // Four leaves of three entries (blocks 1..4), two interior nodes (5: children 1, 2; 6: children 3, 4)
  // and the root 7 (children 5, 6); 512-byte blocks.
  void build_three_levels() { build_index(path_, 512, split_leaves(numbered(12), 3), 2); }

  TempDir dir_;
  std::string path_ = dir_.file("cust.IDX");
  std::string dmp_ = dir_.file("cust.dmp");
  cbt_tree *t_ = nullptr;
  TraceCapture trace_;
};

// ---------------------------------------------------------------------------------------------------
// Consistent trees
// ---------------------------------------------------------------------------------------------------

TEST_F(VerifyTest, OneLeafInOrderVerifiesAndWritesNoFile) {
  build_index(path_, 512, {{{"alpha", 1}, {"beta", 2}, {"gamma", 3}}}, 2);
  open();
  EXPECT_EQ(verify(), 1) << errors();
  EXPECT_EQ(errors(), "");
  EXPECT_FALSE(std::filesystem::exists(dmp_));
}

TEST_F(VerifyTest, EmptyTreeIsConsistent) {
  build_index(path_, 512, {}, 2);
  open();
  EXPECT_EQ(verify(), 1);
  EXPECT_FALSE(std::filesystem::exists(dmp_));
}

TEST_F(VerifyTest, ThreeLevelsBuiltByHandVerify) {
  build_three_levels();
  open();
  EXPECT_EQ(verify(), 1) << errors();
}

TEST_F(VerifyTest, EqualKeysAreOrderedByTheirItemsAsSignedNumbers) {
  // Item 0xffffffff is -1 and comes before 5.
  build_index(path_, 512, {{{"k", 0xffffffffu}, {"k", 5}}}, 2);
  open();
  EXPECT_EQ(verify(), 1) << errors();
  cbclose(t_);
  build_index(path_, 512, {{{"k", 5}, {"k", 0xffffffffu}}}, 2);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid leaf node 1. Offset 511")) << errors();
}

TEST_F(VerifyTest, OrderIsJudgedByTheTreesCompareFunction) {
  BuildOptions opt;
  opt.cmp = nocase_compare;
  build_index(path_, 512, {{{"apple", 1}, {"Banana", 2}, {"cherry", 3}}}, 2, opt);
  open(nocase_compare);
  EXPECT_EQ(verify(), 1) << errors();
  cbclose(t_);
  // The same bytes under the default order: "Banana" sorts before "apple".
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid leaf node 1. Offset 500")) << errors();
}

TEST_F(VerifyTest, TreesGrownAndShrunkByTheLibraryVerifyAfterEveryBatch) {
  for (uint32_t blksize : {88u, 512u}) {
    SCOPED_TRACE(blksize);
    std::filesystem::remove(path_);
    cbt_tree *t = cbcreate(path_.c_str(), nullptr, blksize);
    ASSERT_NE(t, nullptr);
    Rng rng(7 + blksize);
    QRX_TRACE_SEED(rng);
    std::vector<KeyItem> in;
    for (int batch = 0; batch < 6; ++batch) {
      for (int i = 0; i < 150; ++i) {
        KeyItem e{rng.text(static_cast<size_t>(rng.range(1, 24))), rng.item()};
        if (cbinsert(t, e.key.data(), static_cast<uint32_t>(e.key.size()), e.item, 1) == 1) in.push_back(e);
      }
      ASSERT_EQ(qrxcbver(t), 1) << "after inserting, batch " << batch;
      rng.shuffle(in);
      for (size_t i = 0; i < 60 && !in.empty(); ++i) {
        ASSERT_EQ(
            cbdelete(t, in.back().key.data(), static_cast<uint32_t>(in.back().key.size()), in.back().item),
            1);
        in.pop_back();
      }
      ASSERT_EQ(qrxcbver(t), 1) << "after deleting, batch " << batch;
    }
    EXPECT_GE(cbdepth(t), 3);
    while (!in.empty()) {
      ASSERT_EQ(
          cbdelete(t, in.back().key.data(), static_cast<uint32_t>(in.back().key.size()), in.back().item), 1);
      in.pop_back();
    }
    EXPECT_EQ(qrxcbver(t), 1);
    EXPECT_EQ(cbclose(t), 1);
  }
  EXPECT_FALSE(std::filesystem::exists(dmp_));
}

TEST_F(VerifyTest, AnInvalidHandleIsRefused) {
  EXPECT_EQ(qrxcbver(nullptr), -1);
  int dummy = 0;
  EXPECT_EQ(qrxcbver(reinterpret_cast<cbt_tree *>(&dummy)), -1);
  EXPECT_EQ(*qrxcbecd(), 15u);
}

// ---------------------------------------------------------------------------------------------------
// Order failures and the dump file
// ---------------------------------------------------------------------------------------------------

TEST_F(VerifyTest, SwappedKeysInALeafGiveTheOffsetLineAndADumpBesideTheIndex) {
  // Keys are packed in entry order: "b" at 509, "a" at 510, "c" at 511.
  build_index(path_, 512, {{{"b", 2}, {"a", 1}, {"c", 3}}}, 2);
  const std::vector<uint8_t> before = read_file_bytes(path_);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid leaf node 1. Offset 510")) << errors();
  ASSERT_TRUE(std::filesystem::exists(dmp_));
  // The dump file holds the formatted dump of the handle, as qrxcbdmp writes it.
  const std::string want = dump_text(t_, 0);
  EXPECT_EQ(read_file(dmp_), want);
  EXPECT_NE(want.find("\nDumping leaf node 1\n"), std::string::npos);
  EXPECT_NE(want.find("01, offset = 0510, len = 001, item = 00000001, key = a\n"), std::string::npos);
  // The index file itself is untouched (read-only handle, nothing written).
  EXPECT_EQ(read_file_bytes(path_), before);
}

TEST_F(VerifyTest, OrderIsCheckedAcrossLeavesOfALevel) {
  // The first key of leaf 2 is below the last key of leaf 1.
  build_index(path_, 512, {{{"a", 1}, {"m", 2}}, {{"k", 3}, {"z", 4}}}, 2);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid leaf node 2. Offset 510")) << errors();
  EXPECT_TRUE(std::filesystem::exists(dmp_));
}

TEST_F(VerifyTest, ADuplicatedPairIsNotStrictlyIncreasing) {
  BuildOptions opt;
  opt.share_equal = false;
  build_index(path_, 512, {{{"a", 1}, {"a", 1}}}, 2, opt);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid leaf node 1. Offset 511")) << errors();
}

TEST_F(VerifyTest, InteriorEntriesOutOfOrderGiveTheInternalLine) {
  build_three_levels();
  // Node 5 has one entry, the lowest key of leaf 2 ("key-0003"); make it sort after node 6's entry.
  const uint32_t off = static_cast<uint32_t>(peek_i32(path_, 5, entry_pos(false, 0) + kEntryOffsetOff));
  patch_bytes(path_, 5, off, {'z'});
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid internal node 6. Offset " +
                         std::to_string(peek_i32(path_, 6, entry_pos(false, 0) + kEntryOffsetOff))))
      << errors();
}

TEST_F(VerifyTest, ADumpFileThatCannotBeOpenedIsSkipped) {
  build_index(path_, 512, {{{"b", 2}, {"a", 1}}}, 2);
  std::filesystem::create_directory(dmp_);  // a directory where the dump file would go
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(std::filesystem::is_directory(dmp_));
}

// ---------------------------------------------------------------------------------------------------
// Parent and child
// ---------------------------------------------------------------------------------------------------

TEST_F(VerifyTest, AnInteriorEntryNamingTheWrongChildGivesTheNoParentLine) {
  build_three_levels();
  // Node 5's entry 0 should name leaf 2; it names leaf 3.
  patch_i32(path_, 5, entry_pos(false, 0) + kEntryChildOff, 3);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid leaf node 2. No parent")) << errors();
  EXPECT_TRUE(std::filesystem::exists(dmp_));
}

TEST_F(VerifyTest, ARootEntryNamingTheWrongChildGivesTheInternalNoParentLine) {
  build_three_levels();
  patch_i32(path_, 7, entry_pos(false, 0) + kEntryChildOff, 5);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid internal node 6. No parent")) << errors();
}

TEST_F(VerifyTest, AWrongLowPathGivesTheNoParentLine) {
  build_three_levels();
  patch_i32(path_, 6, kNodeLowPathOff, 4);  // should be 3
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid leaf node 3. No parent")) << errors();
}

TEST_F(VerifyTest, ALevelLongerThanItsParentsChildrenHasNoParent) {
  build_three_levels();
  // Node 6 loses its entry (key_cnt 0): leaf 4 is then named by nobody.
  patch_i32(path_, 6, kNodeKeyCntOff, 0);
  patch_i32(path_, 6, kNodeHeapEndOff, 512);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid leaf node 4. No parent")) << errors();
}

TEST_F(VerifyTest, ALevelShorterThanItsParentsChildrenFails) {
  build_three_levels();
  patch_i32(path_, 3, kNodeRightOff, 0);  // the leaf level ends at leaf 3; node 6 still names leaf 4
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Invalid internal node 6. Names a child missing from level 3")) << errors();
}

// ---------------------------------------------------------------------------------------------------
// Unreadable blocks and walks that do not end
// ---------------------------------------------------------------------------------------------------

TEST_F(VerifyTest, AnUnreadableRootGivesTheAccessLine) {
  build_index(path_, 512, {{{"a", 1}}}, 2);
  CtlFields c = read_ctl(path_);
  c.root = 9;  // past the end of the file
  write_ctl(path_, c);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Unable to access block 9")) << errors();
  EXPECT_TRUE(std::filesystem::exists(dmp_));
  EXPECT_NE(read_file(dmp_).find("Unable to dump block 9\n"), std::string::npos);
}

TEST_F(VerifyTest, AnUnreadableBlockOnALevelGivesTheAcceessLine) {
  build_three_levels();
  patch_i32(path_, 2, kNodeRightOff, 40);  // past the end of the file
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Unable to acceess block 40")) << errors();
}

TEST_F(VerifyTest, ABlockFailingItsStructureCheckCannotBeAccessed) {
  build_three_levels();
  patch_i32(path_, 3, kNodeHeapEndOff, 5000);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Unable to acceess block 3")) << errors();
}

TEST_F(VerifyTest, ACycleOfRightLinksIsReportedAndEnds) {
  build_three_levels();
  patch_i32(path_, 4, kNodeRightOff, 1);  // the leaf level runs 1, 2, 3, 4, 1, ...
  open();
  EXPECT_EQ(verify(), -1);
  // Seven blocks in the file: the eighth visit (leaf 1 again) is one too many.
  EXPECT_TRUE(error_line("Level 3 runs in a cycle or past the 7 blocks of the file at block 1")) << errors();
  // The dump file was written and ends, saying where the walk went round.
  const std::string d = read_file(dmp_);
  EXPECT_NE(d.find("Level 3 runs in a cycle or past the 7 blocks of the file at block 1; dump ended\n"),
            std::string::npos)
      << d;
}

TEST_F(VerifyTest, ACycleThatKeepsItsOrderIsCaughtByTheBlockCount) {
  // Unused blocks met on a level are accepted and their right words may point anywhere: two of them
  // pointing at each other make a level without end whose order never fails.
  build_index(path_, 512, {{{"a", 1}}}, 2);
  const std::vector<int32_t> unused = add_unused_blocks(path_, 2);  // blocks 2 and 3
  patch_i32(path_, 1, kNodeRightOff, unused[0]);
  patch_i32(path_, unused[0], kNodeRightOff, unused[1]);
  patch_i32(path_, unused[1], kNodeRightOff, unused[0]);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_TRUE(error_line("Level 1 runs in a cycle or past the 3 blocks of the file at block 2")) << errors();
}

TEST_F(VerifyTest, ALowPathPointingBackUpEnds) {
  build_index(path_, 512, split_leaves(numbered(4), 2), 2);  // leaves 1, 2; root 3
  patch_i32(path_, 3, kNodeLowPathOff, 3);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_NE(errors(), "");
}

TEST_F(VerifyTest, VerificationOfADamagedFileChangesNothingInIt) {
  build_three_levels();
  patch_i32(path_, 5, entry_pos(false, 0) + kEntryChildOff, 3);
  const std::vector<uint8_t> before = read_file_bytes(path_);
  open();
  EXPECT_EQ(verify(), -1);
  EXPECT_EQ(verify(), -1);  // and again: same answer
  cbclose(t_);
  t_ = nullptr;
  EXPECT_EQ(read_file_bytes(path_), before);
}

}  // namespace
}  // namespace qrx::test
