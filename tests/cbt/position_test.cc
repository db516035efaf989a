// Positioning over index files built byte by byte: head/tail, stepping across leaves, BOI and EOI, find
// and finditem, reading keys, marks, bad cursors and damaged files.
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
using tb::KeyItem;
using tb::Leaf;

uint32_t err() {
  return *qrxcbecd();
}
uint32_t ctx() {
  return *qrxcbccd();
}
uint32_t fcn() {
  return *qrxcbfcd();
}

constexpr uint32_t neg(int32_t v) {
  return static_cast<uint32_t>(v);
}

// Five leaves under two interior nodes under the root (fanout 3): blocks 1..5 are the leaves, 6 and 7
// the interior level, 8 the root. "k" straddles leaves 2 and 3; "m" exists only with a negative item.
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
    path_ = dir_.file("pos.idx");
    built_ = tb::build_index(path_, 512, kLeaves, 3);
    ASSERT_EQ(built_.depth, 3);
    t_ = cbopen(path_.c_str(), 1, nullptr);
    ASSERT_NE(t_, nullptr);
    ASSERT_EQ(cbdepth(t_), 3);
  }
  void TearDown() override {
    if (t_) cbclose(t_);
    cbexit();
  }
  tb::TreeModel model() const {
    tb::TreeModel m;
    for (const Leaf &l : kLeaves)
      for (const KeyItem &e : l) m.insert(e.key, e.item);
    return m;
  }
  // The key at the cursor, or "<rc>" when cbkey did not return 1.
  std::string key_at() {
    uint32_t len = 0;
    if (cbkeylen(t_, &len) != 1) return "<no key>";
    std::string k(len, '\0');
    int32_t rc = cbkey(t_, k.data(), len);
    return rc == 1 ? k : "<" + std::to_string(rc) + ">";
  }

  qrx::test::TempDir dir_;
  std::string path_;
  tb::BuiltIndex built_;
  cbt_tree *t_ = nullptr;
};

// ---------------------------------------------------------------------------------------------------
// Walking
// ---------------------------------------------------------------------------------------------------

TEST_F(PositionTest, WalksMatchTheEntriesBothWays) {
  tb::TreeModel m = model();
  EXPECT_TRUE(tb::walk_forward_matches(t_, m));
  EXPECT_TRUE(tb::walk_backward_matches(t_, m));
}

TEST_F(PositionTest, NextCrossesIntoTheRightSibling) {
  uint32_t item = 0;
  ASSERT_EQ(cbfind(t_, "date", 4, &item), 2);
  EXPECT_EQ(t_->curblock, 2);
  ASSERT_EQ(cbnext(t_, &item), 1);  // ("k", 1), last of leaf 2
  EXPECT_EQ(item, 1u);
  ASSERT_EQ(cbnext(t_, &item), 1);  // ("k", 2), first of leaf 3
  EXPECT_EQ(item, 2u);
  EXPECT_EQ(fcn(), 9u);
  EXPECT_EQ(t_->curblock, 3);
  EXPECT_EQ(t_->curindex, 0);
  EXPECT_EQ(key_at(), "k");
  ASSERT_EQ(cbprev(t_, &item), 1);  // and back again
  EXPECT_EQ(item, 1u);
  EXPECT_EQ(fcn(), 10u);
  EXPECT_EQ(t_->curblock, 2);
  EXPECT_EQ(t_->curindex, 1);
}

TEST_F(PositionTest, BeginAndEndRules) {
  uint32_t item = 1234;
  // A new handle is before the first entry.
  EXPECT_EQ(cbcurr(t_, &item), -2);
  EXPECT_EQ(fcn(), 11u);
  EXPECT_EQ(item, 1234u);
  char buf[4];
  EXPECT_EQ(cbkey(t_, buf, sizeof buf), -2);
  uint32_t len = 99;
  EXPECT_EQ(cbkeylen(t_, &len), -2);
  EXPECT_EQ(len, 99u);
  EXPECT_EQ(cbprev(t_, &item), -2);
  EXPECT_EQ(cbprev(t_, &item), -2);
  EXPECT_EQ(cbnext(t_, &item), 1);  // from BOI to the first entry
  EXPECT_EQ(item, 5u);
  EXPECT_EQ(cbprev(t_, &item), -2);
  EXPECT_EQ(t_->curblock, -1);

  ASSERT_EQ(cbtail(t_, &item), 1);
  EXPECT_EQ(item, 7u);
  EXPECT_EQ(fcn(), 8u);
  EXPECT_EQ(cbnext(t_, &item), -3);
  EXPECT_EQ(cbnext(t_, &item), -3);  // stays at the end
  EXPECT_EQ(cbcurr(t_, &item), -3);
  EXPECT_EQ(cbprev(t_, &item), 1);  // from EOI to the last entry
  EXPECT_EQ(item, 7u);
  ASSERT_EQ(cbhead(t_, &item), 1);
  EXPECT_EQ(item, 5u);
  EXPECT_EQ(fcn(), 7u);
  EXPECT_EQ(key_at(), "");
}

TEST(PositionEmpty, EmptyTreeGivesEndToForwardAndBeginToBackward) {
  ASSERT_EQ(cbinit(8, 512), 1);
  qrx::test::TempDir dir;
  cbt_tree *t = cbcreate(dir.file("empty").c_str(), nullptr, 512);
  ASSERT_NE(t, nullptr);
  uint32_t item = 77;
  EXPECT_EQ(cbhead(t, &item), -3);
  EXPECT_EQ(cbnext(t, &item), -3);
  EXPECT_EQ(cbtail(t, &item), -2);
  EXPECT_EQ(cbprev(t, &item), -2);
  EXPECT_EQ(cbnext(t, &item), -3);
  EXPECT_EQ(cbfind(t, "a", 1, &item), -3);
  EXPECT_EQ(cbfinditem(t, "a", 1, &item), -3);
  EXPECT_EQ(item, 77u);
  EXPECT_EQ(cbcurr(t, &item), -3);
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(cbexit(), 1);
}

// ---------------------------------------------------------------------------------------------------
// cbfind and cbfinditem
// ---------------------------------------------------------------------------------------------------

TEST_F(PositionTest, FindLandsOnTheFirstEntryWithItemZeroOrMore) {
  uint32_t item = 0;
  EXPECT_EQ(cbfind(t_, "k", 1, &item), 2);
  EXPECT_EQ(fcn(), 17u);
  EXPECT_EQ(item, 1u);
  EXPECT_EQ(cbnext(t_, &item), 1);
  EXPECT_EQ(item, 2u);

  // Only a negative item: passed over, the next key is found instead.
  EXPECT_EQ(cbfind(t_, "m", 1, &item), 3);
  EXPECT_EQ(item, 60u);
  EXPECT_EQ(key_at(), "p");
  // The most negative item is passed over too.
  EXPECT_EQ(cbfind(t_, "zz", 2, &item), 2);
  EXPECT_EQ(item, 7u);

  EXPECT_EQ(cbfind(t_, "c", 1, &item), 3);  // between "banana" and "cherry"
  EXPECT_EQ(item, 30u);
  EXPECT_EQ(cbfind(t_, "", 0, &item), 2);
  EXPECT_EQ(item, 5u);
  // Greater than all of leaf 3, lower than all of leaf 4: index 0 of leaf 4.
  EXPECT_EQ(cbfind(t_, "o", 1, &item), 3);
  EXPECT_EQ(item, 60u);
  EXPECT_EQ(t_->curblock, 4);
  EXPECT_EQ(t_->curindex, 0);
  // After the last key: nothing stored, the cursor at the end, from where cbprev finds the last entry.
  item = 42;
  EXPECT_EQ(cbfind(t_, "zzz", 3, &item), -3);
  EXPECT_EQ(item, 42u);
  EXPECT_EQ(cbcurr(t_, &item), -3);
  EXPECT_EQ(cbprev(t_, &item), 1);
  EXPECT_EQ(item, 7u);
}

TEST_F(PositionTest, FindItemMatchesKeyAndItem) {
  uint32_t item = 2;
  EXPECT_EQ(cbfinditem(t_, "k", 1, &item), 2);
  EXPECT_EQ(fcn(), 18u);
  EXPECT_EQ(item, 2u);
  item = 3;
  EXPECT_EQ(cbfinditem(t_, "k", 1, &item), 3);
  EXPECT_EQ(item, 5u);
  item = 6;  // beyond the items of "k": the next key's entry, with its negative item
  EXPECT_EQ(cbfinditem(t_, "k", 1, &item), 3);
  EXPECT_EQ(item, neg(-5));
  item = neg(-5);
  EXPECT_EQ(cbfinditem(t_, "m", 1, &item), 2);
  item = 0x80000000u;
  EXPECT_EQ(cbfinditem(t_, "zz", 2, &item), 2);
  EXPECT_EQ(item, 0x80000000u);
  item = 8;
  EXPECT_EQ(cbfinditem(t_, "zz", 2, &item), -3);
  EXPECT_EQ(item, 8u);
  // Same item, other key: not found.
  item = 60;
  EXPECT_EQ(cbfinditem(t_, "o", 1, &item), 3);
  EXPECT_EQ(item, 60u);
}

// ---------------------------------------------------------------------------------------------------
// cbkey and cbkeylen
// ---------------------------------------------------------------------------------------------------

TEST_F(PositionTest, KeyIsTerminatedOnlyWhenShorterThanTheBuffer) {
  uint32_t item = 0;
  ASSERT_EQ(cbfind(t_, "banana", 6, &item), 2);
  char buf[10];
  std::memset(buf, 0xAA, sizeof buf);
  ASSERT_EQ(cbkey(t_, buf, 6), 1);
  EXPECT_EQ(fcn(), 12u);
  EXPECT_EQ(std::string(buf, 6), "banana");
  EXPECT_EQ(static_cast<uint8_t>(buf[6]), 0xAA);

  std::memset(buf, 0xAA, sizeof buf);
  ASSERT_EQ(cbkey(t_, buf, 9), 1);
  EXPECT_STREQ(buf, "banana");
  EXPECT_EQ(static_cast<uint8_t>(buf[7]), 0xAA);

  std::memset(buf, 0xAA, sizeof buf);
  ASSERT_EQ(cbkey(t_, buf, 3), 1);
  EXPECT_EQ(std::string(buf, 3), "ban");
  EXPECT_EQ(static_cast<uint8_t>(buf[3]), 0xAA);

  uint32_t len = 0;
  ASSERT_EQ(cbkeylen(t_, &len), 1);
  EXPECT_EQ(fcn(), 13u);
  EXPECT_EQ(len, 6u);

  ASSERT_EQ(cbhead(t_, &item), 1);  // the empty key: a NUL only
  std::memset(buf, 0xAA, sizeof buf);
  ASSERT_EQ(cbkey(t_, buf, 2), 1);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(static_cast<uint8_t>(buf[1]), 0xAA);
  ASSERT_EQ(cbkeylen(t_, &len), 1);
  EXPECT_EQ(len, 0u);
}

TEST_F(PositionTest, CursorBeyondTheLeafIsReportedNotRepaired) {
  uint32_t item = 0;
  ASSERT_EQ(cbfind(t_, "p", 1, &item), 2);
  t_->curindex = 2;  // leaf 4 holds two entries
  EXPECT_EQ(cbcurr(t_, &item), -1);
  EXPECT_EQ(err(), 16u);
  EXPECT_EQ(ctx(), 13u);
  char buf[4];
  EXPECT_EQ(cbkey(t_, buf, sizeof buf), -1);
  EXPECT_EQ(err(), 16u);
  EXPECT_EQ(ctx(), 15u);
  uint32_t len = 0;
  EXPECT_EQ(cbkeylen(t_, &len), -1);
  EXPECT_EQ(err(), 16u);
  EXPECT_EQ(cbnext(t_, &item), -1);  // moved on to index 3, still beyond
  EXPECT_EQ(t_->curindex, 3);
  t_->curindex = -1;
  EXPECT_EQ(cbcurr(t_, &item), -1);
  EXPECT_EQ(err(), 16u);
  ASSERT_EQ(cbhead(t_, &item), 1);
  EXPECT_EQ(item, 5u);
}

// ---------------------------------------------------------------------------------------------------
// Marks
// ---------------------------------------------------------------------------------------------------

TEST_F(PositionTest, MarkRestoresTheCursor) {
  uint32_t item = 3;
  EXPECT_EQ(cbfindmark(t_, &item), -1);  // no mark yet
  EXPECT_EQ(err(), 22u);
  EXPECT_EQ(ctx(), 50u);
  EXPECT_EQ(fcn(), 20u);
  EXPECT_EQ(item, 3u);
  ASSERT_EQ(cbmark(t_), 1);  // at BOI
  EXPECT_EQ(fcn(), 19u);
  ASSERT_EQ(cbtail(t_, &item), 1);
  EXPECT_EQ(cbfindmark(t_, &item), -2);
  EXPECT_EQ(cbcurr(t_, &item), -2);

  ASSERT_EQ(cbfind(t_, "k", 1, &item), 2);
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbhead(t_, &item), 1);
  item = 0;
  ASSERT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(item, 1u);
  EXPECT_EQ(key_at(), "k");
  ASSERT_EQ(cbnext(t_, &item), 1);  // the walk goes on from the mark
  EXPECT_EQ(item, 2u);

  // Marks belong to their handle.
  cbt_tree *other = cbopen(path_.c_str(), 1, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(cbfindmark(other, &item), -1);
  EXPECT_EQ(err(), 22u);
  ASSERT_EQ(cbclose(other), 1);

  ASSERT_EQ(cbfind(t_, "zzzz", 4, &item), -3);
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbhead(t_, &item), 1);
  EXPECT_EQ(cbfindmark(t_, &item), -3);
  EXPECT_EQ(cbcurr(t_, &item), -3);
}

TEST_F(PositionTest, FailedFindMarkPutsTheCursorBack) {
  uint32_t item = 0;
  ASSERT_EQ(cbfind(t_, "q", 1, &item), 2);
  t_->curindex = 5;
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbfind(t_, "apple", 5, &item), 2);
  EXPECT_EQ(cbfindmark(t_, &item), -1);
  EXPECT_EQ(err(), 16u);
  EXPECT_EQ(item, 10u);
  EXPECT_EQ(key_at(), "apple");
}

// ---------------------------------------------------------------------------------------------------
// Damaged files
// ---------------------------------------------------------------------------------------------------

class DamagedPositionTest : public PositionTest {
 protected:
  void reopen() {
    cbclose(t_);
    t_ = cbopen(path_.c_str(), 1, nullptr);
    ASSERT_NE(t_, nullptr);
  }
};

TEST_F(DamagedPositionTest, LeafLinkedToItselfStopsTheStep) {
  tb::patch_i32(path_, 2, tb::kNodeRightOff, 2);
  reopen();
  uint32_t item = 0;
  ASSERT_EQ(cbfind(t_, "k", 1, &item), 2);
  EXPECT_EQ(cbnext(t_, &item), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 16u);

  tb::patch_i32(path_, 3, tb::kNodeLeftOff, 3);
  reopen();
  item = 2;
  ASSERT_EQ(cbfinditem(t_, "k", 1, &item), 2);
  EXPECT_EQ(cbprev(t_, &item), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 17u);
}

TEST_F(DamagedPositionTest, LinksToBlocksThatAreNotLeaves) {
  tb::patch_i32(path_, 4, tb::kNodeRightOff, built_.levels[1][1]);  // leaf 4 -> an interior node
  tb::CtlFields f = tb::read_ctl(path_);
  f.highleaf = built_.levels[1][0];
  tb::write_ctl(path_, f);
  reopen();
  uint32_t item = 0;
  EXPECT_EQ(cbtail(t_, &item), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 14u);
  ASSERT_EQ(cbfind(t_, "q", 1, &item), 2);
  EXPECT_EQ(cbnext(t_, &item), -1);  // reading through a cursor on a block that is no leaf
  EXPECT_EQ(err(), 16u);
  EXPECT_EQ(cbnext(t_, &item), -1);  // and stepping from it
  EXPECT_EQ(err(), 16u);
  EXPECT_EQ(cbhead(t_, &item), 1);  // the rest of the tree still works
}

TEST_F(DamagedPositionTest, RandomDamageFailsCleanly) {
  const std::vector<uint8_t> clean = tb::read_file_bytes(path_);
  qrx::test::TraceCapture quiet;  // the damage is reported in error lines; keep them off the output
  tb::Rng rng(20261205);
  QRX_TRACE_SEED(rng);
  const std::vector<std::string> probes = {"", "a", "banana", "k", "m", "o", "zz", "zzz"};
  int failures = 0;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> bytes = clean;
    const int32_t blk = static_cast<int32_t>(rng.range(1, 8));
    const int hits = static_cast<int>(rng.range(1, 4));
    for (int h = 0; h < hits; ++h) {
      // Header and directory, where the damage decides where the reads go.
      const size_t off = static_cast<size_t>(blk) * 512 + static_cast<size_t>(rng.below(20 + 4 * 16));
      bytes[off] = static_cast<uint8_t>(rng.next() >> 56);
    }
    tb::write_file(path_, std::string(bytes.begin(), bytes.end()));
    reopen();
    uint32_t item = 0;
    char key[16];
    int32_t rc = cbhead(t_, &item);
    for (int step = 0; step < 40 && rc == 1; ++step) {
      int32_t k = cbkey(t_, key, sizeof key);
      EXPECT_TRUE(k == 1 || k == -1) << k;
      rc = cbnext(t_, &item);
    }
    EXPECT_TRUE(rc == 1 || rc == -1 || rc == -3) << rc;
    rc = cbtail(t_, &item);
    for (int step = 0; step < 40 && rc == 1; ++step) rc = cbprev(t_, &item);
    EXPECT_TRUE(rc == 1 || rc == -1 || rc == -2) << rc;
    for (const std::string &p : probes) {
      rc = cbfind(t_, p.data(), static_cast<uint32_t>(p.size()), &item);
      EXPECT_TRUE(rc == 2 || rc == 3 || rc == -1 || rc == -3) << rc;
      if (rc == -1) {
        ++failures;
        EXPECT_TRUE(err() == 20u || err() == 16u || err() == 6u) << err();
      }
    }
  }
  EXPECT_GT(failures, 0);  // the damage was seen, not only survived
}

}  // namespace
