// node_test.cc - node primitives (heap packing, shared bytes, fit, low paths), the structural check,
// cursor and mark correction and new blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/codec.h"
#include "cbt/node.h"
#include "cbt/search.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::cbt {
namespace {

// Trailing spaces ignored: "ab" equals "ab " although the lengths differ, so the two must not share.
int notrail(const void *a, uint32_t la, const void *b, uint32_t lb) {
  auto *x = static_cast<const uint8_t *>(a), *y = static_cast<const uint8_t *>(b);
  while (la > 0 && x[la - 1] == ' ') --la;
  while (lb > 0 && y[lb - 1] == ' ') --lb;
  return qrxcbkcm(x, la, y, lb);
}

KeyInfo ki(const std::string &k, uint32_t item, int32_t child = 0) {
  return KeyInfo{reinterpret_cast<const uint8_t *>(k.data()), static_cast<int32_t>(k.size()), item, 1, child};
}

// A node block in memory with the tree and control record the primitives need.
struct MemNode {
  CtlRec ctl;
  Tree tree{};
  std::vector<uint8_t> buf;
  explicit MemNode(uint32_t size, cbt_keycmp_fn cmp = qrxcbkcm, bool leaf = true) : buf(size, 0) {
    ctl.blksize = size;
    tree.ctl = &ctl;
    tree.keycmp = cmp;
    tree.curblock = tree.curindex = tree.mrkblock = tree.mrkindex = -1;
    if (leaf) B_init_leaf(d(), 0, 0, static_cast<int32_t>(size));
    if (!leaf) B_init_node(d(), 1, 0, 0, static_cast<int32_t>(size));
  }
  uint8_t *d() { return buf.data(); }
  NodeView v() { return NodeView(d()); }
  std::string key(int32_t i) { return std::string(reinterpret_cast<const char *>(v().key(i)), v().len(i)); }
  uint32_t free() { return B_calc_free_space(&tree, d()); }
  // Structurally valid, and the free bytes between the directory and the heap are all zero.
  bool ok() {
    uint8_t *dir_end = d() + kHeaderSize + std::max(v().key_cnt(), 0) * v().esize();
    return B_node_valid(d(), ctl.blksize) &&
           std::all_of(dir_end, d() + v().heap_end(), [](uint8_t b) { return !b; });
  }
  // "heap_end: key@offset ..." (interior entries add ">child"): the whole layout in one string.
  std::string show() {
    std::string s = std::to_string(v().heap_end()) + ":";
    for (int32_t i = 0; i < v().key_cnt(); ++i)
      s += " " + key(i) + "@" + std::to_string(v().offset(i)) +
           (v().is_leaf() ? "" : ">" + std::to_string(v().child(i)));
    return s;
  }
  // Adds (key, item) where it belongs; the index used, or -1 when it did not fit.
  int32_t add(const std::string &k, uint32_t item, int32_t child = 0) {
    int32_t i = 0;
    EXPECT_NE(B_key_info_loc(&tree, ki(k, item, child), d(), &i), 0) << "already present";
    if (B_ins_complications(&tree, ki(k, item, child), d(), i) != 0) return -1;
    EXPECT_EQ(B_add_key(&tree, ki(k, item, child), 7, d(), i), 1);
    return i;
  }
  void add_all(std::initializer_list<std::pair<const char *, uint32_t>> entries) {
    for (auto [k, item] : entries) add(k, item);
  }
  void rmv(std::initializer_list<int32_t> at) {
    for (int32_t i : at) B_rmvkey_here(&tree, d(), i);
  }
};

TEST(NodeHeap, PackedWithSharedBytesStoredOnce) {
  MemNode m(512);
  m.add_all({{"aaa", 1}, {"shared", 5}, {"shared", 7}, {"zzz", 9}});
  EXPECT_EQ(m.show(), "500: aaa@500 shared@503 shared@503 zzz@509");
  EXPECT_EQ(B_calc_key_space(m.d(), 1, 2), 2u * 12 + 6);
  EXPECT_EQ(m.free(), 512u - 20 - 4 * 12 - 12);
  EXPECT_TRUE(is_key_duplicate(m.d(), 2) && !is_key_duplicate(m.d(), 0) && m.ok());
  m.rmv({1});  // one sharer: the bytes stay
  EXPECT_EQ(m.show(), "500: aaa@500 shared@503 zzz@509");
  EXPECT_EQ(m.v().item(1), 7u);
  m.rmv({1});  // the last one: bytes freed and zeroed
  EXPECT_EQ(m.show(), "506: aaa@506 zzz@509");
  EXPECT_TRUE(m.ok());

  MemNode e(256);  // empty keys sit where the next key's bytes start
  e.add_all({{"", 1}, {"", 3}, {"b", 1}, {"", 2}, {"c", 0}});
  EXPECT_EQ(e.show(), "254: @254 @254 @254 b@254 c@255");
  e.rmv({3});
  EXPECT_EQ(e.show(), "255: @255 @255 @255 c@255");
  e.rmv({3});
  EXPECT_EQ(e.show(), "256: @256 @256 @256");
  EXPECT_TRUE(e.ok());
}

TEST(NodeHeap, SharingNeedsEqualKeysOfEqualLength) {
  MemNode c(512, test::nocase_compare);  // the sharer reads back its neighbour's spelling
  c.add_all({{"Apple", 1}, {"aPPLE", 2}, {"APPLES", 3}});
  EXPECT_EQ(c.show(), "501: Apple@501 Apple@501 APPLES@506");
  MemNode m(512, notrail);  // a key between sharers of another length gives each its own copy
  m.add_all({{"ab", 1}, {"ab", 3}});
  const uint32_t before = m.free();
  ASSERT_EQ(m.add("ab ", 2), 1);
  EXPECT_EQ(m.show(), "505: ab@505 ab @507 ab@510");
  EXPECT_EQ(before - m.free(), 12u + 3 + 2);
  m.rmv({1, 0, 0});
  EXPECT_EQ(m.show(), "512:");
  EXPECT_TRUE(c.ok() && m.ok());
}

TEST(NodeHeap, KeyBytesFromTheSameBlockAreCopiedBeforeTheHeapMoves) {
  MemNode m(256);
  m.add_all({{"az", 1}, {"b", 1}});
  ASSERT_EQ(B_add_key(&m.tree, KeyInfo{m.v().key(0) + 1, 1, 0, 1, 0}, 7, m.d(), 2), 1);  // "z" of "az"
  ASSERT_EQ(B_add_key(&m.tree, KeyInfo{m.v().key(2), 1, 5, 1, 0}, 7, m.d(), 3), 1);
  EXPECT_EQ(m.show(), "252: az@252 b@254 z@255 z@255");
  EXPECT_TRUE(m.ok());
}

TEST(NodeFit, ExactFitSharingAndRanges) {
  const std::string k468(468, 'k');
  MemNode m(512);  // free 492: a new entry needs 12 + len
  EXPECT_TRUE(B_key_fit(&m.tree, ki(std::string(480, 'k'), 0), m.d(), 0, 0, -1));
  EXPECT_FALSE(B_key_fit(&m.tree, ki(std::string(481, 'k'), 0), m.d(), 0, 0, -1));
  ASSERT_EQ(m.add(k468, 1), 0);  // 12 bytes left: only a key that shares (or is empty) fits
  for (auto [key, at, want] : {std::tuple{k468, 1, 0},
                               {std::string(), 0, 0},
                               {std::string("a"), 0, 1},
                               {std::string(467, 'k'), 0, 1}})
    EXPECT_EQ(B_ins_complications(&m.tree, ki(key, 2), m.d(), at), want) << key.size();
  MemNode t(128, notrail);  // separating two sharers costs a second copy of their bytes
  t.add_all({{"ab", 1}, {"ab", 3}, {std::string(128 - 46 - 12 - 17, 'z').c_str(), 0}});
  ASSERT_EQ(t.free(), 17u);
  EXPECT_EQ(B_ins_complications(&t.tree, ki("ab  ", 2), t.d(), 1), 1);
  EXPECT_EQ(t.add("ab ", 2), 1);
  EXPECT_EQ(t.free(), 0u);
  EXPECT_TRUE(t.ok());
}

// Random adds and removes against a sorted model; every state must be valid and equal the model.
TEST(NodeModel, RandomAddsAndRemoves) {
  struct Entry {
    std::string key;
    uint32_t item;
    int32_t child;
  };
  auto less = [](const Entry &a, const Entry &b) {
    const int c = notrail(a.key.data(), a.key.size(), b.key.data(), b.key.size());
    return c != 0 ? c < 0 : static_cast<int32_t>(a.item) < static_cast<int32_t>(b.item);
  };
  const std::vector<std::string> keys = {"", "a", "a ", "ab", "ab", "ab  ", "abc", "b", "bcdefghij", "zz"};
  for (uint32_t seed : {1u, 2u, 3u, 11u, 12u}) {
    const bool leaf = seed < 10;
    std::mt19937 rng(seed);
    MemNode m(512, notrail, leaf);
    if (!leaf) B_addkey_here(&m.tree, ki("", 0, 1), m.d(), -1);
    int32_t low_path = 1, next_child = 2;
    std::vector<Entry> model;
    for (int step = 0; step < 4000; ++step) {
      const uint32_t op = rng() % 10;
      if (op < 6 || model.empty()) {
        Entry e{keys[rng() % keys.size()], static_cast<uint32_t>(rng() % 4 + (rng() % 2 ? 0x80000000u : 0u)),
                next_child++};
        const auto at = std::lower_bound(model.begin(), model.end(), e, less);
        if (at != model.end() && !less(e, *at)) continue;  // present
        const int32_t i = static_cast<int32_t>(at - model.begin());
        const int32_t fit = B_ins_complications(&m.tree, ki(e.key, e.item, e.child), m.d(), i);
        ASSERT_GE(fit, 0);
        if (fit == 1) continue;
        ASSERT_EQ(B_add_key(&m.tree, ki(e.key, e.item, e.child), 3, m.d(), i), 1);
        model.insert(at, e);
      } else if (!leaf && op == 9) {
        m.rmv({-1});
        low_path = model.front().child;
        model.erase(model.begin());
      } else {
        const auto i = static_cast<int32_t>(rng() % model.size());
        B_del_key(&m.tree, 3, m.d(), i);
        model.erase(model.begin() + i);
      }
      ASSERT_TRUE(m.ok()) << "seed " << seed << " step " << step;
      NodeView n = m.v();
      ASSERT_EQ(n.key_cnt(), static_cast<int32_t>(model.size()));
      ASSERT_EQ(n.low_path(), leaf ? -1 : low_path);
      for (int32_t i = 0; i < n.key_cnt(); ++i)
        ASSERT_TRUE(m.key(i) == model[i].key && n.item(i) == model[i].item &&
                    (leaf || n.child(i) == model[i].child))
            << "seed " << seed << " step " << step << " entry " << i;
      ASSERT_EQ(m.free(), n.heap_end() - kHeaderSize - model.size() * n.esize());
    }
  }
}

TEST(NodeValid, RejectsEachKindOfDamage) {
  std::vector<uint8_t> unused(256, 0xA5);
  codec::store_i32(unused.data(), kLowPathOff, 0);
  EXPECT_TRUE(B_node_valid(unused.data(), 256));  // unused: the rest is not looked at
  // (offset, value): header fields (0 low_path, 12 key_cnt, 16 heap_end) out of range or off by one;
  // entry e's offset (20 + 12e) or length (24 + 12e) leaving gaps, overlapping, leaving the block,
  // sharing bytes at another length or giving the empty key bytes.
  const int32_t cases[] = {0,  -2,  12, -1,  12, 0x7fffffff, 12, 6,   12, 4,  16, 257,
                           16, 68,  16, -4,  16, 241,        16, 243, 32, 30, 68, 300,
                           68, 254, 36, -1,  36, 0x7ffffff0, 36, 4,   36, 6,  56, 3,
                           56, 0,   44, 248, 20, 243,        24, 1,   32, -8};
  for (size_t c = 0; c < std::size(cases); c += 2) {
    MemNode m(256);
    m.add_all({{"alpha", 1}, {"beta", 2}, {"beta", 3}, {"", 4}, {"gamma", 5}});
    ASSERT_EQ(m.show(), "242: @242 alpha@242 beta@247 beta@247 gamma@251");
    codec::store_i32(m.d(), cases[c], cases[c + 1]);
    EXPECT_FALSE(B_node_valid(m.d(), 256)) << cases[c] << " = " << cases[c + 1];
  }
  MemNode in(256, qrxcbkcm, false);  // interior: low_path 3 is fine, key_cnt -2 or too many entries not
  const int32_t icases[] = {kLowPathOff, -2, 0, kLowPathOff, 3, 1, kKeyCntOff, -2, 0, kKeyCntOff, 15, 0};
  for (size_t c = 0; c < std::size(icases); c += 3) {
    codec::store_i32(in.d(), icases[c], icases[c + 1]);
    EXPECT_EQ(B_node_valid(in.d(), 256), icases[c + 2] == 1) << icases[c] << " = " << icases[c + 1];
  }
}
TEST(NodeValid, RandomDamageNeverLetsAnOutOfBlockEntryThrough) {
  std::mt19937 rng(77);
  int rejected = 0;
  for (int round = 0; round < 20000; ++round) {
    MemNode m(256, qrxcbkcm, round % 3 != 0);
    if (round % 3 == 0) B_addkey_here(&m.tree, ki("", 0, 9), m.d(), -1);
    m.add_all({{"alpha", 1}, {"beta", 2}, {"beta", 3}, {"", 4}, {"gamma", 5}});
    for (uint32_t h = 0, hits = 1 + rng() % 3; h < hits; ++h) {
      const uint32_t at = rng() % 25 * 4;
      const int32_t vals[] = {static_cast<int32_t>(rng()), static_cast<int32_t>(rng() % 600) - 100,
                              codec::load_i32(m.d(), at) + static_cast<int32_t>(rng() % 5) - 2, -1};
      codec::store_i32(m.d(), at, vals[rng() % 4]);
    }
    if (!B_node_valid(m.d(), 256)) {
      ++rejected;
    } else if (!m.v().is_unused()) {  // read every key: ASan watches the exact-size buffer
      size_t total = 0;
      for (int32_t i = 0; i < m.v().key_cnt(); ++i) total += m.key(i).size();
      EXPECT_LE(static_cast<size_t>(256 - m.v().heap_end()), total);
    }
  }
  EXPECT_GT(rejected, 5000);
}

TEST(NodeCursor, AddAndDeleteKeepEveryHandleOnItsEntry) {
  MemNode m(512);  // leaf "a".."d" as block 7, three handles on the file
  Tree h1{}, h2{};
  m.ctl.handles = &m.tree, m.tree.file_next = &h1, h1.file_next = &h2, h1.ctl = h2.ctl = &m.ctl;
  m.add_all({{"a", 1}, {"b", 1}, {"c", 1}, {"d", 1}});
  auto at = [](Tree &h, int32_t b, int32_t i) { h.pos_stat = 1, h.curblock = b, h.curindex = i; };
  auto mark = [](Tree &h, int32_t b, int32_t i) { h.mrk_stat = 1, h.mrkblock = b, h.mrkindex = i; };
  auto state = [&] {  // cursor/mark of each handle as "block.index"
    std::string s;
    for (Tree *h : {&m.tree, &h1, &h2})
      s += std::to_string(h->curblock) + "." + std::to_string(h->curindex) + "/" +
           std::to_string(h->mrkblock) + "." + std::to_string(h->mrkindex) + " ";
    return s;
  };
  at(m.tree, 7, 1), at(h1, 7, 2), at(h2, 8, 3), mark(h1, 7, 0), mark(h2, 7, 3);  // h2's cursor elsewhere
  ASSERT_EQ(B_add_key(&m.tree, ki("bb", 0), 7, m.d(), 2), 1);
  EXPECT_EQ(state(), "7.1/-1.-1 7.3/7.0 8.3/7.4 ");
  at(h2, 7, 0);
  B_del_key(&m.tree, 7, m.d(), 1);  // "b": the cursor on it stays, now on "bb"
  EXPECT_EQ(state(), "7.1/-1.-1 7.2/7.0 7.0/7.3 ");
  m.v().set_right(9);  // the last entry goes: to the right sibling, or EOI without one
  at(h1, 7, 3), mark(h2, 7, 3);
  B_del_key(&m.tree, 7, m.d(), 3);
  EXPECT_EQ(state(), "7.1/-1.-1 9.0/7.0 7.0/9.0 ");
  m.v().set_right(0);
  at(h1, 7, 2), mark(h2, 7, 2), mark(h1, 7, 0);
  B_del_key(&m.tree, 7, m.d(), 2);
  EXPECT_EQ(state(), "7.1/-1.-1 -1.-1/7.0 7.0/-1.-1 ");
  EXPECT_EQ(h1.pos_stat * 10 + h2.mrk_stat, CBT_POS_EOI * 11);
}

class NodeFile : public ::testing::Test {
 protected:
  // Two leaves ("a","b") and ("c","d") under a root in block 3.
  void SetUp() override {
    ASSERT_EQ(cbinit(8, 1024), 1);
    test::build_index(path_, 512, {{{"a", 1}, {"b", 2}}, {{"c", 3}, {"d", 4}}}, 4);
  }
  void TearDown() override {
    EXPECT_EQ(cbclose(t_), 1);  // refuses pinned blocks: nothing may stay pinned
    cbexit();
  }
  void open() { ASSERT_NE(t_ = cbopen(path_.c_str(), 2, nullptr), nullptr); }
  static uint32_t codes() { return *qrxcbecd() * 100 + *qrxcbccd(); }
  test::TempDir dir_;
  std::string path_ = dir_.file("t.idx");
  Tree *t_ = nullptr;
};

TEST_F(NodeFile, GetBlockRefusesBlockZeroMissingAndDamagedBlocks) {
  test::patch_i32(path_, 2, kHeapEndOff, 100);
  open();
  for (auto [blk, want] : {std::pair{0, 2020u}, {40, 620u}, {2, 2020u}}) {
    EXPECT_EQ(B_getblk(t_, blk, Ctx::kFindLeaf), nullptr);
    EXPECT_EQ(codes(), want) << blk;
  }
  uint8_t *d = B_getblk(t_, 1, Ctx::kFindLeaf);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(B_rlseblk(t_, d, Ctx::kFindLeaf), 1);
}

TEST_F(NodeFile, NewLowPathTurnsTheOldOneIntoAnEntryWithItsLowestKey) {
  open();
  MemNode m(512, qrxcbkcm, false);
  B_init_node(m.d(), 0, 0, 0, 512);
  ASSERT_EQ(B_addkey_here(t_, ki("", 0, 2), m.d(), -1), 1);  // low path 2 ("c", "d")
  EXPECT_EQ(B_ins_complications(t_, ki("", 0, 1), m.d(), -1), 0);
  ASSERT_EQ(B_addkey_here(t_, ki("not-used", 0, 1), m.d(), -1), 1);
  EXPECT_EQ(m.v().low_path(), 1);
  EXPECT_EQ(m.show(), "511: c@511>2");
  EXPECT_EQ(m.v().item(0), 3u);
  EXPECT_TRUE(m.ok());
  m.v().set_key_cnt(0);  // full node: the old low path's key no longer fits
  ASSERT_EQ(B_addkey_here(t_, ki(std::string(512 - 20 - 16 - 16, 'x'), 0, 5), m.d(), 0), 1);
  EXPECT_EQ(B_ins_complications(t_, ki("", 0, 1), m.d(), -1), 1);
  B_init_node(m.d(), 40, 0, 0, 512);  // a low path that leads nowhere fails and leaves the node alone
  m.v().set_key_cnt(0);
  EXPECT_EQ(B_addkey_here(t_, ki("", 0, 1), m.d(), -1), -1);
  EXPECT_EQ(codes(), 631u);
  EXPECT_EQ(m.v().low_path() * 10 + m.v().key_cnt(), 400);
}

}  // namespace
}  // namespace qrx::cbt
