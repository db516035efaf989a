// node_test.cc - node primitives, structural check, space accounting, cursor and mark correction, new
// blocks and header accessors.
//
// Pure node tests work on blocks in memory with a hand-made Tree and CtlRec; tests that need block
// access use real index files (cbinit, cbcreate/cbopen, tree_builder).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/codec.h"
#include "cbt/node.h"
#include "cbt/search.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::cbt {
namespace {

// ASCII letters without case, then bytes; "ABC" equals "abc".
int nocase(const void *a, uint32_t la, const void *b, uint32_t lb) {
  auto *x = static_cast<const uint8_t *>(a);
  auto *y = static_cast<const uint8_t *>(b);
  for (uint32_t i = 0; i < std::min(la, lb); ++i) {
    int cx = std::tolower(x[i]), cy = std::tolower(y[i]);
    if (cx != cy) return cx < cy ? -1 : 1;
  }
  return la == lb ? 0 : (la < lb ? -1 : 1);
}

// Bytes, with trailing spaces ignored: "ab" equals "ab " although the lengths differ. Keys equal under
// it and of the same length are byte-equal, so a model can predict every key read back.
int notrail(const void *a, uint32_t la, const void *b, uint32_t lb) {
  auto *x = static_cast<const uint8_t *>(a);
  auto *y = static_cast<const uint8_t *>(b);
  while (la > 0 && x[la - 1] == ' ') --la;
  while (lb > 0 && y[lb - 1] == ' ') --lb;
  return qrxcbkcm(x, la, y, lb);
}

// A node block in memory with the tree and control record the primitives need.
struct MemNode {
  CtlRec ctl;
  Tree tree{};
  std::vector<uint8_t> buf;

  explicit MemNode(uint32_t blksize, cbt_keycmp_fn cmp = qrxcbkcm, bool leaf = true) : buf(blksize, 0) {
    ctl.blksize = blksize;
    tree.ctl = &ctl;
    tree.keycmp = cmp;
    tree.pos_stat = CBT_POS_BOI;
    tree.curblock = tree.curindex = tree.mrk_stat = tree.mrkblock = tree.mrkindex = -1;
    if (leaf) {
      B_init_leaf(data(), 0, 0, static_cast<int32_t>(blksize));
    } else {
      B_init_node(data(), 1, 0, 0, static_cast<int32_t>(blksize));
    }
  }
  uint8_t *data() { return buf.data(); }
  NodeView view() { return NodeView(data()); }
  int32_t cnt() { return view().key_cnt(); }
  int32_t heap_end() { return view().heap_end(); }
  std::string key(int32_t i) {
    NodeView n = view();
    return std::string(reinterpret_cast<const char *>(n.key(i)), static_cast<size_t>(n.len(i)));
  }
  bool valid() { return B_node_valid(data(), ctl.blksize); }
  // Free bytes between the directory and the heap are all zero.
  bool free_zero() {
    NodeView n = view();
    const uint32_t dir_end = kHeaderSize + static_cast<uint32_t>(std::max(n.key_cnt(), 0)) * n.esize();
    for (uint32_t p = dir_end; p < static_cast<uint32_t>(n.heap_end()); ++p)
      if (buf[p] != 0) return false;
    return true;
  }
  // Searches and adds (key, item) where it belongs; the index used, or -1 when it did not fit.
  int32_t add(const std::string &k, uint32_t item, int32_t child = 0) {
    KeyInfo ki{reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), item, 1, child};
    int32_t i = 0;
    EXPECT_NE(B_key_info_loc(&tree, ki, data(), &i), 0) << "already present";
    if (B_ins_complications(&tree, ki, data(), i) != 0) return -1;
    EXPECT_EQ(B_add_key(&tree, ki, 7, data(), i), 1);
    return i;
  }
};

KeyInfo key_info(const std::string &k, uint32_t item, int32_t child = 0) {
  return KeyInfo{reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), item, 0, child};
}

// ---------------------------------------------------------------------------------------------------
// Heap packing and shared bytes.
// ---------------------------------------------------------------------------------------------------

TEST(NodeHeap, FreshLeafAndOneKeyAccounting) {
  MemNode m(512);
  EXPECT_EQ(B_calc_free_space(&m.tree, m.data()), 492u);
  EXPECT_EQ(B_calc_used_space(&m.tree, m.data()), 20u);
  ASSERT_EQ(m.add("0123456789", 1), 0);
  EXPECT_EQ(B_calc_free_space(&m.tree, m.data()), 470u);
  EXPECT_EQ(m.heap_end(), 502);
  EXPECT_EQ(m.view().offset(0), 502);
  EXPECT_EQ(m.key(0), "0123456789");
  EXPECT_TRUE(m.valid());
}

TEST(NodeHeap, SameKeyTwoItemsStoresBytesOnce) {
  MemNode m(512);
  m.add("shared", 5);
  m.add("shared", 7);
  ASSERT_EQ(m.cnt(), 2);
  NodeView n = m.view();
  EXPECT_EQ(n.offset(0), n.offset(1));
  EXPECT_EQ(n.item(0), 5u);
  EXPECT_EQ(n.item(1), 7u);
  EXPECT_EQ(m.heap_end(), 512 - 6);
  EXPECT_EQ(B_calc_used_space(&m.tree, m.data()), 20u + 2 * 12 + 6);
  EXPECT_TRUE(is_key_duplicate(m.data(), 0));
  EXPECT_TRUE(is_key_duplicate(m.data(), 1));
  // Space of the two entries counts the bytes once.
  EXPECT_EQ(B_calc_key_space(m.data(), 0, 1), 2u * 12 + 6);
  EXPECT_TRUE(m.valid());
}

TEST(NodeHeap, RemovingSharersKeepsThenFreesAndZeroesBytes) {
  MemNode m(512);
  m.add("aaa", 1);
  m.add("shared", 5);
  m.add("shared", 7);
  m.add("zzz", 9);
  const int32_t heap = m.heap_end();
  B_rmvkey_here(&m.tree, m.data(), 1);  // one of the two sharers
  EXPECT_EQ(m.heap_end(), heap);
  EXPECT_EQ(m.key(1), "shared");
  EXPECT_EQ(m.view().item(1), 7u);
  EXPECT_TRUE(m.valid());
  B_rmvkey_here(&m.tree, m.data(), 1);  // the last one
  EXPECT_EQ(m.heap_end(), heap + 6);
  EXPECT_EQ(m.cnt(), 2);
  EXPECT_EQ(m.key(0), "aaa");
  EXPECT_EQ(m.key(1), "zzz");
  EXPECT_TRUE(m.free_zero());  // the freed bytes and directory slots are zero
  EXPECT_TRUE(m.valid());
}

TEST(NodeHeap, EmptyKeyBesideOneByteKeyLeavesNoBytesBehind) {
  MemNode m(512);
  m.add("a", 1);
  m.add("", 2);
  ASSERT_EQ(m.key(0), "");
  NodeView n = m.view();
  EXPECT_EQ(n.offset(0), n.offset(1));  // the empty key sits where its right neighbour starts
  EXPECT_FALSE(is_key_duplicate(m.data(), 0));
  EXPECT_FALSE(is_key_duplicate(m.data(), 1));
  EXPECT_TRUE(m.valid());
  B_rmvkey_here(&m.tree, m.data(), 1);  // "a"
  EXPECT_EQ(m.heap_end(), 512);
  EXPECT_EQ(m.view().offset(0), 512);
  EXPECT_TRUE(m.valid());
  EXPECT_TRUE(m.free_zero());
  B_rmvkey_here(&m.tree, m.data(), 0);
  EXPECT_EQ(m.cnt(), 0);
  EXPECT_EQ(m.heap_end(), 512);
}

TEST(NodeHeap, TwoEmptyKeysThenKeyBetweenAndAround) {
  MemNode m(256);
  m.add("", 1);
  m.add("", 3);
  m.add("b", 1);
  m.add("", 2);
  m.add("c", 0);
  ASSERT_EQ(m.cnt(), 5);
  EXPECT_TRUE(m.valid());
  EXPECT_EQ(m.heap_end(), 256 - 2);
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(m.key(i), "");
  EXPECT_EQ(m.key(3), "b");
  EXPECT_EQ(m.key(4), "c");
  B_rmvkey_here(&m.tree, m.data(), 3);
  EXPECT_TRUE(m.valid());
  EXPECT_EQ(m.key(3), "c");
  EXPECT_EQ(m.view().offset(2), m.view().offset(3));
}

TEST(NodeHeap, CaseInsensitiveShareTakesNeighbourSpellingOnlyAtSameLength) {
  MemNode m(512, nocase);
  m.add("Apple", 1);
  m.add("aPPLE", 2);   // equal under the compare, same length: shares
  m.add("APPLES", 3);  // not equal
  ASSERT_EQ(m.cnt(), 3);
  EXPECT_EQ(m.key(1), "Apple");
  EXPECT_EQ(m.view().offset(0), m.view().offset(1));
  EXPECT_EQ(m.heap_end(), 512 - 5 - 6);
  EXPECT_TRUE(m.valid());
}

TEST(NodeHeap, KeyBetweenTwoSharersOfOtherLengthGetsOwnBytes) {
  // "ab" and "ab " are equal under notrail but of different length: they must not share, and a key
  // placed between two entries that share bytes separates them, each side keeping its own copy.
  MemNode m(512, notrail);
  m.add("ab", 1);
  m.add("ab", 3);
  ASSERT_EQ(m.view().offset(0), m.view().offset(1));
  const std::string ab_sp = "ab ";
  KeyInfo k = key_info(ab_sp, 2);
  int32_t i = -1;
  ASSERT_EQ(B_key_info_loc(&m.tree, k, m.data(), &i), -1);
  ASSERT_EQ(i, 1);
  const uint32_t free_before = B_calc_free_space(&m.tree, m.data());
  ASSERT_EQ(B_add_key(&m.tree, k, 7, m.data(), i), 1);
  EXPECT_TRUE(m.valid());
  EXPECT_EQ(m.key(0), "ab");
  EXPECT_EQ(m.key(1), "ab ");
  EXPECT_EQ(m.key(2), "ab");
  EXPECT_EQ(free_before - B_calc_free_space(&m.tree, m.data()), 12u + 3 + 2);
  B_rmvkey_here(&m.tree, m.data(), 1);
  EXPECT_TRUE(m.valid());
  B_rmvkey_here(&m.tree, m.data(), 0);
  B_rmvkey_here(&m.tree, m.data(), 0);
  EXPECT_EQ(m.heap_end(), 512);
  EXPECT_TRUE(m.free_zero());
}

TEST(NodeHeap, KeyBytesFromTheSameBlockAreCopiedBeforeTheHeapMoves) {
  MemNode m(256);
  m.add("az", 1);
  m.add("b", 1);
  NodeView n = m.view();
  // "z" is the second byte of entry 0, which moves down when the new key's bytes go in at the end.
  KeyInfo k{n.key(0) + 1, 1, 0, 1, 0};
  ASSERT_EQ(B_add_key(&m.tree, k, 7, m.data(), 2), 1);
  KeyInfo same{n.key(2), 1, 5, 1, 0};  // "z" again, shares
  ASSERT_EQ(B_add_key(&m.tree, same, 7, m.data(), 3), 1);
  EXPECT_TRUE(m.valid());
  EXPECT_EQ(m.key(0), "az");
  EXPECT_EQ(m.key(1), "b");
  EXPECT_EQ(m.key(2), "z");
  EXPECT_EQ(m.key(3), "z");
  EXPECT_EQ(m.heap_end(), 256 - 4);
}

// ---------------------------------------------------------------------------------------------------
// Interior nodes and low paths.
// ---------------------------------------------------------------------------------------------------

TEST(NodeInterior, LowPathOnEmptyNodeAndBack) {
  MemNode m(256, qrxcbkcm, false);
  EXPECT_EQ(m.cnt(), -1);
  EXPECT_TRUE(m.valid());
  EXPECT_EQ(B_ins_complications(&m.tree, key_info("x", 0, 5), m.data(), -1), 0);
  ASSERT_EQ(B_addkey_here(&m.tree, key_info("ignored", 0, 5), m.data(), -1), 1);
  EXPECT_EQ(m.cnt(), 0);
  EXPECT_EQ(m.view().low_path(), 5);
  EXPECT_EQ(m.heap_end(), 256);
  EXPECT_TRUE(m.valid());
  B_rmvkey_here(&m.tree, m.data(), -1);
  EXPECT_EQ(m.cnt(), -1);
  EXPECT_TRUE(m.valid());
}

TEST(NodeInterior, RemovingLowPathPromotesFirstChild) {
  MemNode m(256, qrxcbkcm, false);
  B_addkey_here(&m.tree, key_info("", 0, 5), m.data(), -1);
  m.add("bb", 1, 6);
  m.add("cc", 1, 8);
  ASSERT_EQ(m.cnt(), 2);
  EXPECT_EQ(m.view().child(0), 6);
  EXPECT_EQ(m.view().child(1), 8);
  B_rmvkey_here(&m.tree, m.data(), -1);
  EXPECT_EQ(m.view().low_path(), 6);
  ASSERT_EQ(m.cnt(), 1);
  EXPECT_EQ(m.key(0), "cc");
  EXPECT_EQ(m.view().child(0), 8);
  EXPECT_EQ(m.heap_end(), 254);
  EXPECT_TRUE(m.valid());
  EXPECT_TRUE(m.free_zero());
  B_del_key(&m.tree, 3, m.data(), 0);
  EXPECT_EQ(m.cnt(), 0);
  B_del_key(&m.tree, 3, m.data(), -1);
  EXPECT_EQ(m.cnt(), -1);
}

// ---------------------------------------------------------------------------------------------------
// Fit test.
// ---------------------------------------------------------------------------------------------------

TEST(NodeFit, ExactFitAndOneByteOver) {
  MemNode m(512);
  // Free 492: a new entry needs 12 + len.
  EXPECT_TRUE(B_key_fit(&m.tree, key_info(std::string(480, 'k'), 0), m.data(), 0, 0, -1));
  EXPECT_FALSE(B_key_fit(&m.tree, key_info(std::string(481, 'k'), 0), m.data(), 0, 0, -1));
  // Leave exactly 12 bytes: a key sharing the bytes of a neighbour still fits, any other does not.
  ASSERT_EQ(m.add(std::string(470, 'k'), 1), 0);
  ASSERT_EQ(B_calc_free_space(&m.tree, m.data()), 10u);
  MemNode m2(512);
  ASSERT_EQ(m2.add(std::string(468, 'k'), 1), 0);
  ASSERT_EQ(B_calc_free_space(&m2.tree, m2.data()), 12u);
  EXPECT_EQ(B_ins_complications(&m2.tree, key_info(std::string(468, 'k'), 2), m2.data(), 1), 0);
  EXPECT_EQ(B_ins_complications(&m2.tree, key_info(std::string(468, 'k'), 0), m2.data(), 0), 0);
  EXPECT_EQ(B_ins_complications(&m2.tree, key_info("", 0), m2.data(), 0), 0);
  EXPECT_EQ(B_ins_complications(&m2.tree, key_info("a", 0), m2.data(), 0), 1);
  EXPECT_EQ(B_ins_complications(&m2.tree, key_info(std::string(467, 'k'), 0), m2.data(), 0), 1);
}

TEST(NodeFit, RangeRestrictsWhatCountsAndWhatIsShared) {
  MemNode m(256);
  m.add("aaaa", 1);
  m.add("bbbb", 1);
  m.add("cccc", 1);
  EXPECT_EQ(B_calc_key_space(m.data(), 2, 2), 16u);
  EXPECT_EQ(B_calc_key_space(m.data(), -5, 0), 16u);
  EXPECT_EQ(B_calc_key_space(m.data(), 2, 1), 0u);
  EXPECT_EQ(B_calc_key_space(m.data(), 0, 2), 48u);
  // Holding only entry 2: room = 256 - 20 - 16 = 220 = 12 + 208.
  EXPECT_TRUE(B_key_fit(&m.tree, key_info(std::string(208, 'x'), 0), m.data(), 3, 2, 2));
  EXPECT_FALSE(B_key_fit(&m.tree, key_info(std::string(209, 'x'), 0), m.data(), 3, 2, 2));

  // Room 36 over entry 0 alone: a copy of entry 0's 60-byte key shares next to it (needs 12) but not
  // at an index outside a..b+1 (needs 72).
  MemNode s(128);
  s.add(std::string(60, 'k'), 1);
  s.add("z", 1);
  ASSERT_EQ(128 - 20 - static_cast<int>(B_calc_key_space(s.data(), 0, 0)), 36);
  const std::string k60(60, 'k');
  const KeyInfo k = key_info(k60, 2);
  EXPECT_TRUE(B_key_fit(&s.tree, k, s.data(), 1, 0, 0));
  EXPECT_FALSE(B_key_fit(&s.tree, k, s.data(), 2, 0, 0));
  EXPECT_FALSE(B_key_fit(&s.tree, key_info(std::string(59, 'k'), 2), s.data(), 1, 0, 0));
}

TEST(NodeFit, SeparatingSharersCountsTheCopy) {
  MemNode m(128, notrail);
  m.add("ab", 1);
  m.add("ab", 3);
  // Used 20 + 24 + 2 = 46; pad with a key so that exactly 17 bytes stay free.
  m.add(std::string(128 - 46 - 12 - 17, 'z'), 0);
  ASSERT_EQ(B_calc_free_space(&m.tree, m.data()), 17u);
  EXPECT_EQ(B_ins_complications(&m.tree, key_info("ab ", 2), m.data(), 1), 0);  // 12 + 3 + copy of 2
  EXPECT_EQ(B_ins_complications(&m.tree, key_info("ab  ", 2), m.data(), 1), 1);
  EXPECT_EQ(m.add("ab ", 2), 1);
  EXPECT_EQ(B_calc_free_space(&m.tree, m.data()), 0u);
  EXPECT_TRUE(m.valid());
}

// ---------------------------------------------------------------------------------------------------
// Randomised adds and removes against a model vector; every state must pass the structural check.
// ---------------------------------------------------------------------------------------------------

struct ModelEntry {
  std::string key;
  uint32_t item;
  int32_t child;
};

void random_run(bool leaf, uint32_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed) + (leaf ? " leaf" : " interior"));
  std::mt19937 rng(seed);
  MemNode m(512, notrail, leaf);
  if (!leaf) B_addkey_here(&m.tree, key_info("", 0, 1), m.data(), -1);
  int32_t low_path = 1;
  std::vector<ModelEntry> model;
  const std::vector<std::string> keys = {"", "a", "a ", "ab", "ab", "ab  ", "abc", "b", "bcdefghij", "zz"};
  int32_t next_child = 2;
  for (int step = 0; step < 4000; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 6 || model.empty()) {
      const std::string &key = keys[rng() % keys.size()];
      const auto item = static_cast<uint32_t>(rng() % 4 + (rng() % 2 ? 0x80000000u : 0u));
      ModelEntry e{key, item, next_child++};
      KeyInfo k{reinterpret_cast<const uint8_t *>(e.key.data()), static_cast<int32_t>(e.key.size()), e.item,
                1, e.child};
      int32_t i = 0;
      if (B_key_info_loc(&m.tree, k, m.data(), &i) == 0) continue;
      const int32_t fit = B_ins_complications(&m.tree, k, m.data(), i);
      ASSERT_GE(fit, 0);
      if (fit == 1) continue;
      ASSERT_EQ(B_add_key(&m.tree, k, 3, m.data(), i), 1);
      model.insert(model.begin() + i, e);
    } else if (!leaf && op == 9) {
      B_rmvkey_here(&m.tree, m.data(), -1);
      low_path = model.front().child;
      model.erase(model.begin());
    } else {
      const auto i = static_cast<int32_t>(rng() % model.size());
      B_del_key(&m.tree, 3, m.data(), i);
      model.erase(model.begin() + i);
    }
    ASSERT_TRUE(m.valid()) << "step " << step;
    ASSERT_TRUE(m.free_zero()) << "step " << step;
    ASSERT_EQ(m.cnt(), static_cast<int32_t>(model.size()));
    NodeView n = m.view();
    if (!leaf) {
      ASSERT_EQ(n.low_path(), low_path);
    }
    for (int32_t i = 0; i < m.cnt(); ++i) {
      ASSERT_EQ(m.key(i), model[i].key) << "step " << step << " entry " << i;
      ASSERT_EQ(n.item(i), model[i].item);
      if (!leaf) {
        ASSERT_EQ(n.child(i), model[i].child);
      }
      if (i > 0) {
        ASSERT_LT(
            B_key_item_cmp(&m.tree, n.key(i - 1), n.len(i - 1), n.item(i - 1), n.key(i), n.len(i), n.item(i)),
            0);
      }
    }
    ASSERT_EQ(B_calc_free_space(&m.tree, m.data()),
              static_cast<uint32_t>(n.heap_end()) - kHeaderSize - static_cast<uint32_t>(m.cnt()) * n.esize());
  }
}

TEST(NodeModel, RandomAddsAndRemovesStayValidLeaf) {
  for (uint32_t seed : {1u, 2u, 3u}) random_run(true, seed);
}

TEST(NodeModel, RandomAddsAndRemovesStayValidInterior) {
  for (uint32_t seed : {11u, 12u}) random_run(false, seed);
}

// ---------------------------------------------------------------------------------------------------
// Structural check against damage.
// ---------------------------------------------------------------------------------------------------

// Entries in order: "" (its offset that of "alpha"), "alpha", "beta" twice (shared), "gamma"; 14 heap
// bytes in a 256-byte block.
constexpr int32_t kSampleHeap = 256 - 5 - 4 - 5;

void fill_sample(MemNode &m) {
  m.add("alpha", 1);
  m.add("beta", 2);
  m.add("beta", 3);
  m.add("", 4);
  m.add("gamma", 5);
  ASSERT_EQ(m.heap_end(), kSampleHeap);
  ASSERT_EQ(m.key(0), "");
  ASSERT_EQ(m.view().offset(0), kSampleHeap);
}

void put32(MemNode &m, uint32_t off, int32_t v) {
  codec::store_i32(m.data(), off, v);
}

TEST(NodeValid, AcceptsUnusedAndEmptyForms) {
  MemNode m(256);
  EXPECT_TRUE(m.valid());
  std::vector<uint8_t> junk(256, 0xA5);
  codec::store_i32(junk.data(), kLowPathOff, 0);
  EXPECT_TRUE(B_node_valid(junk.data(), 256));  // unused: the rest is not looked at
  MemNode in(256, qrxcbkcm, false);
  EXPECT_TRUE(in.valid());  // interior, key_cnt -1
}

TEST(NodeValid, RejectsEachKindOfHeaderDamage) {
  const uint32_t base_cnt_off = kKeyCntOff;
  struct Case {
    const char *what;
    uint32_t off;
    int32_t value;
  } cases[] = {
      {"low_path below -1", kLowPathOff, -2},
      {"leaf key_cnt -1", base_cnt_off, -1},
      {"key_cnt too large", base_cnt_off, 20},
      {"key_cnt huge", base_cnt_off, 0x7fffffff},
      {"key_cnt one more", base_cnt_off, 6},
      {"key_cnt one less", base_cnt_off, 4},
      {"heap_end beyond block", kHeapEndOff, 257},
      {"heap_end inside directory", kHeapEndOff, 20 + 4 * 12},
      {"heap_end negative", kHeapEndOff, -4},
      {"heap_end one lower", kHeapEndOff, kSampleHeap - 1},
      {"heap_end one higher", kHeapEndOff, kSampleHeap + 1},
  };
  for (const auto &c : cases) {
    MemNode m(256);
    fill_sample(m);
    ASSERT_TRUE(m.valid());
    put32(m, c.off, c.value);
    EXPECT_FALSE(m.valid()) << c.what;
  }
  MemNode in(256, qrxcbkcm, false);
  put32(in, kLowPathOff, -2);
  EXPECT_FALSE(in.valid());
  put32(in, kLowPathOff, 3);
  EXPECT_TRUE(in.valid());
  put32(in, kKeyCntOff, -2);
  EXPECT_FALSE(in.valid());
  put32(in, kKeyCntOff, (256 - 20) / 16 + 1);
  EXPECT_FALSE(in.valid());
}

TEST(NodeValid, RejectsEachKindOfEntryDamage) {
  struct Case {
    const char *what;
    int32_t entry;
    uint32_t field;
    int32_t value;
  } cases[] = {
      {"offset into directory", 1, kEntryOffsetOff, 30},
      {"offset past block", 4, kEntryOffsetOff, 300},
      {"offset + len past block", 4, kEntryOffsetOff, 254},
      {"negative len", 1, kEntryLenOff, -1},
      {"huge len", 1, kEntryLenOff, 0x7ffffff0},
      {"len one short leaves a gap", 1, kEntryLenOff, 4},
      {"len one long overlaps", 1, kEntryLenOff, 6},
      {"shared bytes with another length", 3, kEntryLenOff, 3},
      {"shared empty key", 3, kEntryLenOff, 0},
      {"offset not where the previous key ends", 2, kEntryOffsetOff, kSampleHeap + 6},
      {"empty key pointing elsewhere", 0, kEntryOffsetOff, kSampleHeap + 1},
      {"empty key with bytes", 0, kEntryLenOff, 1},
      {"negative offset", 1, kEntryOffsetOff, -8},
  };
  for (const auto &c : cases) {
    MemNode m(256);
    fill_sample(m);
    ASSERT_TRUE(m.valid());
    put32(m, kHeaderSize + static_cast<uint32_t>(c.entry) * kLeafEntrySize + c.field, c.value);
    EXPECT_FALSE(m.valid()) << c.what;
  }
}

TEST(NodeValid, RandomDamageNeverLetsAnOutOfBlockEntryThrough) {
  // Whatever the damage, an accepted block has every key inside it: read them all (ASan watches the
  // exact-size buffer) and check the heap adds up.
  std::mt19937 rng(77);
  int rejected = 0;
  for (int round = 0; round < 20000; ++round) {
    const bool leaf = round % 3 != 0;
    MemNode m(256, qrxcbkcm, leaf);
    if (leaf) {
      fill_sample(m);
    } else {
      B_addkey_here(&m.tree, key_info("", 0, 9), m.data(), -1);
      m.add("kk", 1, 10);
      m.add("kk", 2, 11);
      m.add("m", 2, 12);
    }
    const int hits = 1 + static_cast<int>(rng() % 3);
    for (int h = 0; h < hits; ++h) {
      const uint32_t word = rng() % ((20 + 5 * 16) / 4);
      int32_t v;
      switch (rng() % 4) {
        case 0:
          v = static_cast<int32_t>(rng());
          break;
        case 1:
          v = static_cast<int32_t>(rng() % 600) - 100;
          break;
        case 2:
          v = codec::load_i32(m.data(), word * 4) + static_cast<int32_t>(rng() % 5) - 2;
          break;
        default:
          v = -1;
          break;
      }
      put32(m, word * 4, v);
    }
    if (!m.valid()) {
      ++rejected;
      continue;
    }
    NodeView n = m.view();
    if (n.is_unused()) continue;
    std::string all;
    for (int32_t i = 0; i < n.key_cnt(); ++i) all += m.key(i);
    EXPECT_LE(static_cast<size_t>(256 - n.heap_end()), all.size());
  }
  EXPECT_GT(rejected, 5000);
}

// ---------------------------------------------------------------------------------------------------
// Cursor and mark correction.
// ---------------------------------------------------------------------------------------------------

struct Handles {
  MemNode m{512};
  Tree h1{}, h2{};
  Handles() {
    m.ctl.handles = &m.tree;
    m.tree.file_next = &h1;
    h1.file_next = &h2;
    for (Tree *h : {&h1, &h2}) h->ctl = &m.ctl;
    for (const char *k : {"a", "b", "c", "d"}) m.add(k, 1);
    NodeView(m.data()).set_right(0);
  }
  static void at(Tree &h, int32_t stat, int32_t blk, int32_t idx) {
    h.pos_stat = stat;
    h.curblock = blk;
    h.curindex = idx;
  }
  static void mark(Tree &h, int32_t stat, int32_t blk, int32_t idx) {
    h.mrk_stat = stat;
    h.mrkblock = blk;
    h.mrkindex = idx;
  }
};

TEST(NodeCursor, AddMovesPositionsAtOrAfterIndexOnThatBlock) {
  Handles s;
  Handles::at(s.m.tree, 1, 7, 1);
  Handles::at(s.h1, 1, 7, 2);
  Handles::at(s.h2, 1, 8, 3);  // another leaf
  Handles::mark(s.h1, 1, 7, 0);
  Handles::mark(s.h2, 1, 7, 3);
  const std::string bb = "bb";
  KeyInfo k = key_info(bb, 0);
  ASSERT_EQ(B_add_key(&s.m.tree, k, 7, s.m.data(), 2), 1);
  EXPECT_EQ(s.m.tree.curindex, 1);
  EXPECT_EQ(s.h1.curindex, 3);
  EXPECT_EQ(s.h2.curindex, 3);
  EXPECT_EQ(s.h1.mrkindex, 0);
  EXPECT_EQ(s.h2.mrkindex, 4);
  EXPECT_EQ(s.m.key(s.h1.curindex), "c");
}

TEST(NodeCursor, DeleteKeepsEachPositionOnItsEntry) {
  Handles s;
  Handles::at(s.m.tree, 1, 7, 1);  // on the removed entry, not the last: stays, now on "c"
  Handles::at(s.h1, 1, 7, 3);      // after it: moves back
  Handles::at(s.h2, 1, 7, 0);      // before it: stays
  Handles::mark(s.h1, 1, 7, 2);
  B_del_key(&s.m.tree, 7, s.m.data(), 1);
  EXPECT_EQ(s.m.tree.curindex, 1);
  EXPECT_EQ(s.m.key(1), "c");
  EXPECT_EQ(s.h1.curindex, 2);
  EXPECT_EQ(s.m.key(2), "d");
  EXPECT_EQ(s.h2.curindex, 0);
  EXPECT_EQ(s.h1.mrkindex, 1);
}

TEST(NodeCursor, DeletingLastEntryMovesToRightSiblingOrEoi) {
  Handles s;
  NodeView(s.m.data()).set_right(9);
  Handles::at(s.h1, 1, 7, 3);
  Handles::mark(s.h2, 1, 7, 3);
  B_del_key(&s.m.tree, 7, s.m.data(), 3);
  EXPECT_EQ(s.h1.pos_stat, 1);
  EXPECT_EQ(s.h1.curblock, 9);
  EXPECT_EQ(s.h1.curindex, 0);
  EXPECT_EQ(s.h2.mrkblock, 9);
  EXPECT_EQ(s.h2.mrkindex, 0);

  NodeView(s.m.data()).set_right(0);
  Handles::at(s.h1, 1, 7, 2);
  Handles::mark(s.h2, 1, 7, 2);
  B_del_key(&s.m.tree, 7, s.m.data(), 2);
  EXPECT_EQ(s.h1.pos_stat, CBT_POS_EOI);
  EXPECT_EQ(s.h1.curblock, -1);
  EXPECT_EQ(s.h1.curindex, -1);
  EXPECT_EQ(s.h2.mrk_stat, CBT_POS_EOI);
  EXPECT_EQ(s.h2.mrkblock, -1);
}

TEST(NodeCursor, InteriorNodesMoveNoCursor) {
  MemNode m(256, qrxcbkcm, false);
  m.ctl.handles = &m.tree;
  B_addkey_here(&m.tree, key_info("", 0, 2), m.data(), -1);
  Handles::at(m.tree, 1, 7, 0);
  ASSERT_EQ(B_add_key(&m.tree, key_info("k", 0, 3), 7, m.data(), 0), 1);
  B_del_key(&m.tree, 7, m.data(), 0);
  EXPECT_EQ(m.tree.curindex, 0);
  EXPECT_EQ(m.tree.curblock, 7);
}

// ---------------------------------------------------------------------------------------------------
// Block access on real files.
// ---------------------------------------------------------------------------------------------------

uint32_t err() {
  return *qrxcbecd();
}
uint32_t ctx() {
  return *qrxcbccd();
}

class NodeFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(8, 1024), 1); }
  void TearDown() override {
    if (t_) {
      EXPECT_EQ(cbclose(t_), 1);
    }
    cbexit();
    TLG1_SetFlags(0);
  }
  void open(const std::string &path) {
    t_ = cbopen(path.c_str(), 2, nullptr);
    ASSERT_NE(t_, nullptr);
  }
  // Two leaves ("a","b") and ("c","d") under a root in block 3.
  std::string two_leaves() {
    const std::string path = dir_.file("two.idx");
    test::build_index(path, 512, {{{"a", 1}, {"b", 2}}, {{"c", 3}, {"d", 4}}}, 4);
    return path;
  }
  test::TempDir dir_;
  Tree *t_ = nullptr;
};

TEST_F(NodeFile, GetBlockRefusesBlockZeroMissingAndDamagedBlocks) {
  const std::string path = two_leaves();
  test::patch_i32(path, 2, kHeapEndOff, 100);  // leaf 2 now fails the structure check
  open(path);
  EXPECT_EQ(B_getblk(t_, 0, Ctx::kFindLeaf), nullptr);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 20u);
  EXPECT_EQ(B_getblk(t_, 40, Ctx::kGetRight), nullptr);
  EXPECT_EQ(err(), 6u);
  EXPECT_EQ(ctx(), 39u);
  EXPECT_EQ(B_getblk(t_, 2, Ctx::kGetLeft), nullptr);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 40u);
  uint8_t *d = B_getblk(t_, 1, Ctx::kFindLeaf);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(NodeView(d).key_cnt(), 2);
  EXPECT_EQ(B_rlseblk(t_, d, Ctx::kFindLeaf), 1);
  // Nothing stays pinned: the close (which refuses pinned blocks) succeeds in TearDown.
}

TEST_F(NodeFile, HeaderAccessorsReadAndWriteWithTraceLines) {
  const std::string path = two_leaves();
  open(path);
  test::TraceCapture cap;
  TLG1_SetFlags(TLG1_BLOCKS);
  int32_t v = 0;
  ASSERT_EQ(B_get_low_path(t_, 3, &v), 1);
  EXPECT_EQ(v, 1);
  ASSERT_EQ(B_get_right(t_, 1, &v), 1);
  EXPECT_EQ(v, 2);
  ASSERT_EQ(B_get_left(t_, 2, &v), 1);
  EXPECT_EQ(v, 1);
  ASSERT_EQ(B_get_key_cnt(t_, 3, &v), 1);
  EXPECT_EQ(v, 1);
  EXPECT_TRUE(cap.contains(QRXHOST_KIND_DETAIL, "node 3 at "));
  EXPECT_EQ(cap.count(QRXHOST_KIND_DETAIL, "low_path = -1, left = 0, right = 2, key_cnt = 2"), 1);
  EXPECT_EQ(cap.count(QRXHOST_KIND_DETAIL, "low_path = 1, left = 0, right = 0, key_cnt = 1"), 2);

  ASSERT_EQ(B_fix_right(t_, 2, 77), 1);
  ASSERT_EQ(B_fix_left(t_, 1, 66), 1);
  EXPECT_EQ(cap.count(QRXHOST_KIND_DETAIL, "new right will be 77"), 1);
  EXPECT_EQ(cap.count(QRXHOST_KIND_DETAIL, "new left will be 66"), 1);
  EXPECT_EQ(test::peek_i32(path, 2, kRightOff), 0);  // dirty, not written yet
  ASSERT_EQ(cbflush(t_), 1);
  EXPECT_EQ(test::peek_i32(path, 2, kRightOff), 77);
  EXPECT_EQ(test::peek_i32(path, 1, kLeftOff), 66);

  TLG1_SetFlags(0);
  EXPECT_EQ(B_get_low_path(t_, 9, &v), -1);
  EXPECT_EQ(err(), 6u);
  EXPECT_EQ(ctx(), 24u);
  EXPECT_EQ(B_get_key_cnt(t_, 9, &v), -1);
  EXPECT_EQ(ctx(), 41u);
  EXPECT_EQ(B_fix_right(t_, 9, 1), -1);
  EXPECT_EQ(ctx(), 32u);
  EXPECT_EQ(B_fix_left(t_, -3, 1), -1);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 33u);
}

TEST_F(NodeFile, EmptyBlockAppendsAndGrowsTheFileAtOnce) {
  const std::string path = dir_.file("new.idx");
  t_ = cbcreate(path.c_str(), nullptr, 512);
  ASSERT_NE(t_, nullptr);
  int32_t blk = 0;
  uint8_t *d = B_get_empty_block(t_, &blk);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(blk, 1);
  EXPECT_EQ(t_->ctl->highblock, 1);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 2 * 512);
  B_init_leaf(d, 0, 0, 512);
  ASSERT_EQ(B_putblk(t_, d, false, Ctx::kEmptyBlock), 1);
  d = B_get_empty_block(t_, &blk);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(blk, 2);
  ASSERT_EQ(B_rlseblk(t_, d, Ctx::kEmptyBlock), 1);
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3 * 512);
}

TEST_F(NodeFile, EmptyBlockPrefersTheUnusedChain) {
  const std::string path = two_leaves();
  const auto unused = test::add_unused_blocks(path, 2, 0x5A);  // chain: unused[1] -> unused[0]
  open(path);
  const int32_t high = t_->ctl->highblock;
  int32_t blk = 0;
  uint8_t *d = B_get_empty_block(t_, &blk);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(blk, unused[1]);
  EXPECT_EQ(t_->ctl->freechain, unused[0]);
  EXPECT_EQ(d[100], 0x5A);  // the block keeps its old content
  B_rlseblk(t_, d, Ctx::kNone);
  d = B_get_empty_block(t_, &blk);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(blk, unused[0]);
  EXPECT_EQ(t_->ctl->freechain, 0);
  B_rlseblk(t_, d, Ctx::kNone);
  EXPECT_EQ(t_->ctl->highblock, high);
}

TEST_F(NodeFile, EmptyBlockRefusesALiveBlockOnTheChain) {
  const std::string path = two_leaves();
  auto c = test::read_ctl(path);
  c.freechain = 2;  // a leaf in use
  test::write_ctl(path, c);
  open(path);
  int32_t blk = 0;
  EXPECT_EQ(B_get_empty_block(t_, &blk), nullptr);
  EXPECT_EQ(err(), 20u);
  EXPECT_EQ(ctx(), 23u);
}

TEST_F(NodeFile, NewLowPathTurnsOldLowPathIntoEntryWithItsLowestKey) {
  const std::string path = two_leaves();
  open(path);
  MemNode m(512, qrxcbkcm, false);
  Tree *t = t_;  // reads the leaves through the real file
  B_init_node(m.data(), 0, 0, 0, 512);
  ASSERT_EQ(B_addkey_here(t, key_info("", 0, 2), m.data(), -1), 1);  // low path 2 ("c", "d")
  EXPECT_EQ(B_ins_complications(t, key_info("", 0, 1), m.data(), -1), 0);
  ASSERT_EQ(B_addkey_here(t, key_info("zzz-not-used", 0, 1), m.data(), -1), 1);
  NodeView n = m.view();
  EXPECT_EQ(n.low_path(), 1);
  ASSERT_EQ(n.key_cnt(), 1);
  EXPECT_EQ(m.key(0), "c");
  EXPECT_EQ(n.item(0), 3u);
  EXPECT_EQ(n.child(0), 2);
  EXPECT_TRUE(m.valid());

  // Full node: the old low path's key no longer fits.
  MemNode full(512, qrxcbkcm, false);
  B_init_node(full.data(), 2, 0, 0, 512);
  full.view().set_key_cnt(0);
  const std::string pad_key(512 - 20 - 16 - 16, 'x');
  KeyInfo pad = key_info(pad_key, 0, 5);
  ASSERT_EQ(B_addkey_here(t, pad, full.data(), 0), 1);
  ASSERT_EQ(B_calc_free_space(t, full.data()), 16u);
  EXPECT_EQ(B_ins_complications(t, key_info("", 0, 1), full.data(), -1), 1);

  // A low path that leads nowhere fails with the codes of the step.
  MemNode bad(512, qrxcbkcm, false);
  B_init_node(bad.data(), 40, 0, 0, 512);
  bad.view().set_key_cnt(0);
  EXPECT_EQ(B_addkey_here(t, key_info("", 0, 1), bad.data(), -1), -1);
  EXPECT_EQ(err(), 6u);
  EXPECT_EQ(ctx(), 31u);
  EXPECT_EQ(bad.view().low_path(), 40);  // unchanged
  EXPECT_EQ(bad.cnt(), 0);
}

}  // namespace
}  // namespace qrx::cbt
