// Positioning over index files built byte by byte: stepping across leaves, BOI and EOI, find and
// finditem, reading keys, marks, and damaged files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_model.h"

namespace {

namespace tb = qrx::test;
using tb::Leaf;

constexpr uint32_t neg(int32_t v) {
  return static_cast<uint32_t>(v);
}

// Five leaves under two interior nodes under the root (fanout 3): blocks 1..5 are the leaves. "k"
// straddles leaves 2 and 3; "m" exists only with a negative item.
const std::vector<Leaf> kLeaves = {
    {{"", 5}, {"apple", 10}, {"banana", 20}, {"cherry", 30}},
    {{"date", 40}, {"k", 1}},
    {{"k", 2}, {"k", 5}, {"m", neg(-5)}},
    {{"p", 60}, {"q", 70}},
    {{"zz", 0x80000000u}, {"zz", 7}},
};

class PositionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(cbinit(16, 512), 1);
    ASSERT_EQ(tb::build_index(path_, 512, kLeaves, 3).depth, 3);
    reopen();
  }
  void TearDown() override {
    if (t_) cbclose(t_);
    cbexit();
  }
  void reopen() {
    if (t_) cbclose(t_);
    t_ = cbopen(path_.c_str(), 1, nullptr);
    ASSERT_NE(t_, nullptr);
  }
  std::string key_at() {
    std::optional<tb::KeyItem> e = tb::cursor_entry(t_);
    return e ? e->key : "<none>";
  }
  tb::TempDir dir_;
  std::string path_ = dir_.file("pos.idx");
  cbt_tree *t_ = nullptr;
};

TEST_F(PositionTest, WalksMatchTheEntriesBothWays) {
  tb::TreeModel m;
  for (const Leaf &l : kLeaves)
    for (const tb::KeyItem &e : l) m.insert(e.key, e.item);
  EXPECT_TRUE(tb::walk_forward_matches(t_, m));
  EXPECT_TRUE(tb::walk_backward_matches(t_, m));
}

TEST_F(PositionTest, BeginAndEndRules) {
  uint32_t item = 1234, len = 99;
  char buf[4];
  EXPECT_EQ(cbcurr(t_, &item), -2);  // a new handle is before the first entry
  EXPECT_EQ(cbkey(t_, buf, sizeof buf), -2);
  EXPECT_EQ(cbkeylen(t_, &len), -2);
  EXPECT_EQ(cbprev(t_, &item), -2);
  EXPECT_EQ(item, 1234u);
  EXPECT_EQ(cbnext(t_, &item), 1);  // from BOI to the first entry
  EXPECT_EQ(item, 5u);
  EXPECT_EQ(cbprev(t_, &item), -2);
  ASSERT_EQ(cbtail(t_, &item), 1);
  EXPECT_EQ(cbnext(t_, &item), -3);
  EXPECT_EQ(cbnext(t_, &item), -3);  // stays at the end
  EXPECT_EQ(cbcurr(t_, &item), -3);
  EXPECT_EQ(cbprev(t_, &item), 1);  // from EOI to the last entry
  EXPECT_EQ(item, 7u);
}

TEST_F(PositionTest, FindAndFindItem) {
  struct Case {
    const char *key;
    bool with_item;
    uint32_t item_in;
    int32_t rc;
    uint32_t item_out;
    const char *lands_on;
  } cases[] = {
      {"k", false, 0, 2, 1, "k"},
      {"m", false, 0, 3, 60, "p"},   // only a negative item: passed over
      {"zz", false, 0, 2, 7, "zz"},  // the most negative item too
      {"c", false, 0, 3, 30, "cherry"},
      {"", false, 0, 2, 5, ""},
      {"o", false, 0, 3, 60, "p"},  // after all of leaf 3: index 0 of leaf 4
      {"zzz", false, 42, -3, 42, "<none>"},
      {"k", true, 2, 2, 2, "k"},
      {"k", true, 3, 3, 5, "k"},
      {"k", true, 6, 3, neg(-5), "m"},
      {"m", true, neg(-5), 2, neg(-5), "m"},
      {"zz", true, 0x80000000u, 2, 0x80000000u, "zz"},
      {"zz", true, 8, -3, 8, "<none>"},
      {"o", true, 60, 3, 60, "p"},  // same item, other key
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.key << (c.with_item ? " finditem " : " find ") << c.item_in);
    uint32_t item = c.item_in;
    const uint32_t len = static_cast<uint32_t>(std::strlen(c.key));
    EXPECT_EQ(c.with_item ? cbfinditem(t_, c.key, len, &item) : cbfind(t_, c.key, len, &item), c.rc);
    EXPECT_EQ(item, c.item_out);
    EXPECT_EQ(key_at(), c.lands_on);
  }
  uint32_t item = 0;
  EXPECT_EQ(cbfind(t_, "zzz", 3, &item), -3);
  EXPECT_EQ(cbprev(t_, &item), 1);  // from the end of a failed find to the last entry
  EXPECT_EQ(item, 7u);
}

TEST_F(PositionTest, KeyIsTerminatedOnlyWhenShorterThanTheBuffer) {
  uint32_t item = 0, len = 0;
  ASSERT_EQ(cbfind(t_, "banana", 6, &item), 2);
  for (uint32_t size : {3u, 6u, 9u}) {
    char buf[10];
    std::memset(buf, 0xAA, sizeof buf);
    ASSERT_EQ(cbkey(t_, buf, size), 1);
    EXPECT_EQ(std::string(buf, std::min(size, 6u)), std::string("banana").substr(0, size));
    EXPECT_EQ(static_cast<uint8_t>(buf[std::min(size, 6u)]), size > 6 ? 0 : 0xAA) << size;
    EXPECT_EQ(static_cast<uint8_t>(buf[7]), 0xAA);
  }
  ASSERT_EQ(cbkeylen(t_, &len), 1);
  EXPECT_EQ(len, 6u);
}

TEST_F(PositionTest, MarksRestoreTheCursorPerHandle) {
  uint32_t item = 3;
  EXPECT_EQ(cbfindmark(t_, &item), -1);  // no mark yet
  EXPECT_EQ(*qrxcbecd(), 22u);
  ASSERT_EQ(cbmark(t_), 1);  // at BOI
  ASSERT_EQ(cbtail(t_, &item), 1);
  EXPECT_EQ(cbfindmark(t_, &item), -2);
  ASSERT_EQ(cbfind(t_, "k", 1, &item), 2);
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbhead(t_, &item), 1);
  ASSERT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(item, 1u);
  ASSERT_EQ(cbnext(t_, &item), 1);  // the walk goes on from the mark
  EXPECT_EQ(item, 2u);
  cbt_tree *other = cbopen(path_.c_str(), 1, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(cbfindmark(other, &item), -1);
  ASSERT_EQ(cbclose(other), 1);
  ASSERT_EQ(cbfind(t_, "zzzz", 4, &item), -3);
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbhead(t_, &item), 1);
  EXPECT_EQ(cbfindmark(t_, &item), -3);
}

TEST_F(PositionTest, DamagedFilesFailCleanly) {
  tb::patch_i32(path_, 2, tb::kNodeRightOff, 2);  // a leaf linked to itself stops the step
  reopen();
  uint32_t item = 0;
  ASSERT_EQ(cbfind(t_, "k", 1, &item), 2);
  EXPECT_EQ(cbnext(t_, &item), -1);
  EXPECT_EQ(*qrxcbecd(), 20u);

  tb::build_index(path_, 512, kLeaves, 3);
  const std::vector<uint8_t> clean = tb::read_file_bytes(path_);
  tb::TraceCapture quiet;  // the damage is reported in error lines; keep them off the output
  tb::Rng rng(20261205);
  QRX_TRACE_SEED(rng);
  int failures = 0;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> bytes = clean;
    const size_t blk = static_cast<size_t>(rng.range(1, 8));
    for (int h = static_cast<int>(rng.range(1, 4)); h > 0; --h)  // header and directory
      bytes[blk * 512 + rng.below(20 + 4 * 16)] = static_cast<uint8_t>(rng.next() >> 56);
    tb::write_file(path_, std::string(bytes.begin(), bytes.end()));
    reopen();
    char key[16];
    int32_t rc = cbhead(t_, &item);
    for (int step = 0; step < 40 && rc == 1; ++step) {
      const int32_t k = cbkey(t_, key, sizeof key);
      EXPECT_TRUE(k == 1 || k == -1) << k;
      rc = cbnext(t_, &item);
    }
    EXPECT_TRUE(rc == 1 || rc == -1 || rc == -3) << rc;
    rc = cbtail(t_, &item);
    for (int step = 0; step < 40 && rc == 1; ++step) rc = cbprev(t_, &item);
    EXPECT_TRUE(rc == 1 || rc == -1 || rc == -2) << rc;
    for (const char *p : {"", "banana", "k", "m", "zzz"}) {
      rc = cbfind(t_, p, static_cast<uint32_t>(std::strlen(p)), &item);
      EXPECT_TRUE(rc == 2 || rc == 3 || rc == -1 || rc == -3) << rc;
      failures += rc == -1;
    }
  }
  EXPECT_GT(failures, 0);  // the damage was seen, not only survived
}

}  // namespace
