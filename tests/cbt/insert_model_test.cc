// Model-based tests of cbinsert: random, ascending and descending insertions of keys of every length up
// to the limit, many equal keys, duplicate refusals, several handles whose cursors and marks must stay on
// their entries, and one large tree. After every batch the tree must match a sorted model entry for entry
// (forward and backward walks) and pass the structural checker, which reads the blocks themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

enum class Order { kRandom, kAscending, kDescending };

const char *order_name(Order o) {
  switch (o) {
    case Order::kRandom:
      return "random";
    case Order::kAscending:
      return "ascending";
    case Order::kDescending:
      return "descending";
  }
  return "?";
}

uint32_t error_code() {
  return *qrxcbecd();
}
uint32_t context_code() {
  return *qrxcbccd();
}

int32_t insert(cbt_tree *t, const std::string &key, uint32_t item, int32_t dupok) {
  return cbinsert(t, key.data(), static_cast<uint32_t>(key.size()), item, dupok);
}

// Inserts one pair and checks the answer against the model: accepted pairs go into the model, refused
// ones must be refused with exactly the error the model predicts (18 pair present, 17 equal key).
testing::AssertionResult insert_checked(cbt_tree *t, TreeModel &m, const std::string &key, uint32_t item,
                                        int32_t dupok) {
  const int want = m.insert_error(key, item, dupok);
  *qrxcbecd() = 0;
  const int32_t r = insert(t, key, item, dupok);
  if (want == 0) {
    if (r != 1)
      return testing::AssertionFailure()
             << "cbinsert of " << describe({key, item}) << " dupok " << dupok << " returned " << r
             << " with error " << error_code() << ", context " << context_code();
    m.insert(key, item);
    return testing::AssertionSuccess();
  }
  if (r != -1 || error_code() != static_cast<uint32_t>(want) || context_code() != 21)
    return testing::AssertionFailure()
           << "cbinsert of " << describe({key, item}) << " dupok " << dupok << " returned " << r
           << " with error " << error_code() << ", context " << context_code() << "; expected -1 with error "
           << want << ", context 21";
  return testing::AssertionSuccess();
}

// Key lengths from 0 to the limit, most of them short so that nodes hold several entries, some long, and
// the two ends themselves now and then.
size_t key_length(Rng &rng, size_t limit) {
  const uint64_t pick = rng.below(20);
  if (pick == 0) return 0;
  if (pick == 1) return limit;
  if (pick < 12) return rng.below(std::min<size_t>(limit, 12) + 1);
  if (pick < 17) return rng.below(limit / 4 + 1);
  return rng.below(limit + 1);
}

struct Pair {
  std::string key;
  uint32_t item;
  int32_t dupok;
};

// A workload: fresh keys of random lengths over a small alphabet (so that prefixes collide), a share of
// them repeating an earlier key with another item (dupok 1), a share asking for dupok 0 and a share
// repeating an earlier pair exactly. Ordered as asked by (key, item).
std::vector<Pair> workload(Rng &rng, size_t count, size_t limit, Order order) {
  std::vector<Pair> out;
  out.reserve(count);
  std::vector<std::string> keys;
  for (size_t n = 0; n < count; ++n) {
    Pair p;
    const uint64_t kind = keys.empty() ? 9 : rng.below(10);
    if (kind < 3) {
      p.key = keys[rng.below(keys.size())];  // an equal key, another item
      p.dupok = 1;
    } else if (kind == 3) {
      p.key = keys[rng.below(keys.size())];
      p.dupok = 0;  // refused with 17 unless the equal key is gone
    } else {
      p.key = rng.text(key_length(rng, limit), "abcd");
      p.dupok = rng.one_in(4) ? 0 : 1;
      keys.push_back(p.key);
    }
    p.item = static_cast<uint32_t>(rng.range(-3, 40));  // few items: exact pairs repeat now and then
    out.push_back(std::move(p));
  }
  if (order != Order::kRandom) {
    std::stable_sort(out.begin(), out.end(), [](const Pair &a, const Pair &b) {
      return compare_entries(nullptr, {a.key, a.item}, {b.key, b.item}) < 0;
    });
    if (order == Order::kDescending) std::reverse(out.begin(), out.end());
  }
  return out;
}

struct SweepCase {
  uint32_t blksize;
  Order order;
  size_t count;
  size_t batches;
};

std::string case_name(const testing::TestParamInfo<SweepCase> &info) {
  return "b" + std::to_string(info.param.blksize) + "_" + order_name(info.param.order);
}

class InsertSweep : public ::testing::TestWithParam<SweepCase> {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(64, GetParam().blksize), 1); }
  void TearDown() override { cbexit(); }
  TempDir dir_;
};

// Every block size with keys up to its limit, in each order; the tree matches the model after each batch.
TEST_P(InsertSweep, TreeMatchesModelAfterEveryBatch) {
  const SweepCase &c = GetParam();
  Rng rng(1000 + c.blksize * 3 + static_cast<uint64_t>(c.order));
  QRX_TRACE_SEED(rng);
  const std::string path = dir_.file("sweep.idx");
  cbt_tree *t = cbcreate(path.c_str(), nullptr, c.blksize);
  ASSERT_NE(t, nullptr);
  const size_t limit = c.blksize - 36;
  const std::vector<Pair> work = workload(rng, c.count, limit, c.order);
  TreeModel model;
  const size_t per_batch = (work.size() + c.batches - 1) / c.batches;
  for (size_t n = 0; n < work.size(); ++n) {
    ASSERT_TRUE(insert_checked(t, model, work[n].key, work[n].item, work[n].dupok)) << "insertion " << n;
    if ((n + 1) % per_batch == 0 || n + 1 == work.size()) {
      ASSERT_TRUE(tree_matches_model(t, path, model)) << "after insertion " << n;
    }
  }
  EXPECT_GT(cbdepth(t), c.blksize <= 512 ? 2 : 1);
  ASSERT_EQ(cbclose(t), 1);
  // Reopened from disk, the file still holds exactly the model.
  t = cbopen(path.c_str(), 2, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(walk_forward_matches(t, model));
  EXPECT_EQ(cbclose(t), 1);
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, InsertSweep,
    ::testing::Values(SweepCase{88, Order::kRandom, 2500, 10}, SweepCase{88, Order::kAscending, 2000, 5},
                      SweepCase{88, Order::kDescending, 2000, 5}, SweepCase{512, Order::kRandom, 3000, 8},
                      SweepCase{512, Order::kAscending, 2000, 4}, SweepCase{512, Order::kDescending, 2000, 4},
                      SweepCase{2048, Order::kRandom, 1500, 5}, SweepCase{2048, Order::kAscending, 1000, 3},
                      SweepCase{2048, Order::kDescending, 1000, 3}, SweepCase{4096, Order::kRandom, 1200, 4},
                      SweepCase{4096, Order::kAscending, 800, 2},
                      SweepCase{4096, Order::kDescending, 800, 2}),
    case_name);

class InsertModel : public ::testing::Test {
 protected:
  void TearDown() override { cbexit(); }
  TempDir dir_;
};

// Long runs of one key (dupok 1) span many leaves; a further item of that key with dupok 0 is refused
// with 17 wherever it would land, also where its equal neighbour is the first entry of the next leaf or
// the last of the previous one, and nothing changes.
TEST_F(InsertModel, EqualKeysAcrossLeavesRefusedWithoutDupok) {
  ASSERT_EQ(cbinit(32, 512), 1);
  Rng rng(77);
  QRX_TRACE_SEED(rng);
  const std::string path = dir_.file("runs.idx");
  cbt_tree *t = cbcreate(path.c_str(), nullptr, 512);
  ASSERT_NE(t, nullptr);
  TreeModel model;
  const std::vector<std::string> keys = {"alpha", "beta", std::string(60, 'g'), "kappa", "omega"};
  // Items spaced by 10 so that every gap can be tried later.
  std::vector<Pair> work;
  for (const auto &k : keys)
    for (uint32_t n = 0; n < 120; ++n) work.push_back({k, n * 10, 1});
  rng.shuffle(work);
  for (const auto &p : work) ASSERT_TRUE(insert_checked(t, model, p.key, p.item, 1));
  ASSERT_TRUE(tree_matches_model(t, path, model));
  ASSERT_GT(cbdepth(t), 1);
  for (const auto &k : keys) {
    for (int32_t item = -1; item <= 1200; item += 10) {
      *qrxcbecd() = 0;
      ASSERT_EQ(insert(t, k, static_cast<uint32_t>(item + 5), 0), -1) << k << " " << item + 5;
      ASSERT_EQ(error_code(), 17u);
    }
  }
  // Keys between the runs, of other spellings, are still accepted with dupok 0.
  for (const auto &k : keys) ASSERT_TRUE(insert_checked(t, model, k + "x", 1, 0));
  ASSERT_TRUE(tree_matches_model(t, path, model));
  EXPECT_EQ(cbclose(t), 1);
}

// A leaf boundary where the right leaf begins with key K: (K, smaller item) descends into the left leaf
// and lands after its last entry. Its equal key is only in the next leaf; dupok 0 still refuses it.
TEST_F(InsertModel, EqualKeyAtStartOfNextLeafRefused) {
  ASSERT_EQ(cbinit(32, 512), 1);
  const std::string path = dir_.file("edge.idx");
  cbt_tree *t = cbcreate(path.c_str(), nullptr, 512);
  ASSERT_NE(t, nullptr);
  TreeModel model;
  for (int n = 0; n < 400; ++n) {
    char key[16];
    std::snprintf(key, sizeof key, "key%05d", n * 2);
    ASSERT_TRUE(insert_checked(t, model, key, 1000, 0));
  }
  ASSERT_EQ(cbflush(t), 1);
  // The first entries of every leaf after the first, read from the file.
  const CtlFields ctl = read_ctl(path);
  std::vector<std::string> firsts;
  int32_t blk = ctl.lowleaf;
  for (int guard = 0; blk != 0 && guard < 10000; ++guard) {
    const auto b = read_block(path, blk);
    const int32_t off = peek_i32(path, blk, entry_pos(true, 0));
    const int32_t len = peek_i32(path, blk, entry_pos(true, 0) + 4);
    if (blk != ctl.lowleaf) firsts.emplace_back(reinterpret_cast<const char *>(b.data()) + off, len);
    blk = peek_i32(path, blk, kNodeRightOff);
  }
  ASSERT_GT(firsts.size(), 5u);
  for (const auto &k : firsts) {
    *qrxcbecd() = 0;
    EXPECT_EQ(insert(t, k, 999, 0), -1) << k;
    EXPECT_EQ(error_code(), 17u) << k;
    // The same with dupok 1 is accepted and lands before the leaf's first entry.
    ASSERT_TRUE(insert_checked(t, model, k, 999, 1)) << k;
  }
  ASSERT_TRUE(tree_matches_model(t, path, model));
  EXPECT_EQ(cbclose(t), 1);
}

// Three handles on one file, each with its cursor and mark on entries of its own: random insertions that
// split leaves, shift entries and add root levels never move them off their (key, item).
TEST_F(InsertModel, CursorsAndMarksOfSeveralHandlesStayOnTheirEntries) {
  ASSERT_EQ(cbinit(32, 512), 1);
  Rng rng(4242);
  QRX_TRACE_SEED(rng);
  const std::string path = dir_.file("cursors.idx");
  cbt_tree *w = cbcreate(path.c_str(), nullptr, 512);
  ASSERT_NE(w, nullptr);
  std::vector<cbt_tree *> readers;
  for (int h = 0; h < 3; ++h) {
    readers.push_back(cbopen(path.c_str(), 2, nullptr));
    ASSERT_NE(readers.back(), nullptr);
  }
  TreeModel model;
  auto fresh = [&] {
    std::string k = rng.text(rng.range(1, 30), "abcdefgh");
    return Pair{k, static_cast<uint32_t>(rng.range(-5, 5)), 1};
  };
  for (int n = 0; n < 20; ++n) {
    const Pair p = fresh();
    ASSERT_TRUE(insert_checked(w, model, p.key, p.item, 1));
  }
  int32_t start_depth = cbdepth(w);
  // Places the cursor and the mark of handle h on random entries, remembering them.
  std::vector<KeyItem> cur(readers.size()), mark(readers.size());
  auto place = [&](size_t h) {
    const auto all = model.to_vector();
    mark[h] = all[rng.below(all.size())];
    uint32_t item = mark[h].item;
    ASSERT_EQ(cbfinditem(readers[h], mark[h].key.data(), static_cast<uint32_t>(mark[h].key.size()), &item),
              2);
    ASSERT_EQ(cbmark(readers[h]), 1);
    cur[h] = all[rng.below(all.size())];
    item = cur[h].item;
    ASSERT_EQ(cbfinditem(readers[h], cur[h].key.data(), static_cast<uint32_t>(cur[h].key.size()), &item), 2);
  };
  for (size_t h = 0; h < readers.size(); ++h) place(h);
  for (int batch = 0; batch < 40; ++batch) {
    for (int n = 0; n < 60; ++n) {
      const Pair p = fresh();
      ASSERT_TRUE(insert_checked(w, model, p.key, p.item, 1));
    }
    for (size_t h = 0; h < readers.size(); ++h) {
      int32_t status = 0;
      const auto at = cursor_entry(readers[h], &status);
      ASSERT_TRUE(at.has_value()) << "handle " << h << " batch " << batch << " status " << status;
      ASSERT_TRUE(same_entries({*at}, {cur[h]})) << "cursor of handle " << h << " batch " << batch;
      uint32_t item = 0;
      ASSERT_EQ(cbfindmark(readers[h], &item), 1);
      const auto m = cursor_entry(readers[h]);
      ASSERT_TRUE(m.has_value());
      ASSERT_TRUE(same_entries({*m}, {mark[h]})) << "mark of handle " << h << " batch " << batch;
      EXPECT_EQ(item, mark[h].item);
      if (batch % 8 == 7)
        place(h);
      else {
        uint32_t again = cur[h].item;
        ASSERT_EQ(cbfinditem(readers[h], cur[h].key.data(), static_cast<uint32_t>(cur[h].key.size()), &again),
                  2);
      }
    }
  }
  EXPECT_GT(cbdepth(w), start_depth);  // root levels were added while the positions were held
  ASSERT_TRUE(tree_matches_model(w, path, model));
  for (auto *r : readers) EXPECT_EQ(cbclose(r), 1);
  EXPECT_EQ(cbclose(w), 1);
}

// A case-insensitive compare: equal keys of equal length share bytes, so a key read back has the spelling
// of the neighbour it joined; the checker demands that equal neighbours of equal length always share.
TEST_F(InsertModel, CaseInsensitiveNeighboursShareBytes) {
  ASSERT_EQ(cbinit(32, 512), 1);
  Rng rng(99);
  QRX_TRACE_SEED(rng);
  const std::string path = dir_.file("nocase.idx");
  cbt_tree *t = cbcreate(path.c_str(), nocase_compare, 512);
  ASSERT_NE(t, nullptr);
  TreeModel model(nocase_compare);
  const std::string first = "Apple";
  ASSERT_TRUE(insert_checked(t, model, first, 1, 1));
  ASSERT_TRUE(insert_checked(t, model, "APPLE", 2, 1));
  ASSERT_TRUE(insert_checked(t, model, "aPpLe", 0, 1));
  uint32_t item = 2;
  ASSERT_EQ(cbfinditem(t, "apple", 5, &item), 2);
  char buf[16] = {};
  ASSERT_EQ(cbkey(t, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "Apple");  // stored once, in the first spelling
  // dupok 0 refuses another spelling of the same key.
  *qrxcbecd() = 0;
  EXPECT_EQ(insert(t, "APPle", 9, 0), -1);
  EXPECT_EQ(error_code(), 17u);
  // Many spellings of a few words, enough to split, shift and grow the tree.
  const std::vector<std::string> words = {"delta", "echo", "foxtrot", "golf", std::string(50, 'h')};
  for (int n = 0; n < 1500; ++n) {
    std::string w = words[rng.below(words.size())];
    for (auto &ch : w)
      if (rng.one_in(2)) ch = static_cast<char>(ch - 'a' + 'A');
    ASSERT_TRUE(insert_checked(t, model, w, static_cast<uint32_t>(rng.range(-50, 50)), 1));
  }
  CheckOptions opt;
  opt.strict_sharing = true;
  ASSERT_TRUE(tree_matches_model(t, path, model, opt));
  // Every key of the file is one of the spellings that were stored first next to their equals: walking
  // the leaves gives, for each word, the spellings of runs, never a byte sequence that was not inserted.
  std::string err;
  const auto entries = dump_entries(path, &err);
  ASSERT_TRUE(err.empty()) << err;
  size_t respelled = 0;
  for (size_t n = 1; n < entries.size(); ++n)
    if (entries[n].key == entries[n - 1].key) ++respelled;
  EXPECT_GT(respelled, entries.size() / 2);
  EXPECT_EQ(cbclose(t), 1);
}

// One large tree: 200,000 random keys with 4-byte items, checked at the end.
TEST_F(InsertModel, LargeTree) {
  ASSERT_EQ(cbinit(256, 2048), 1);
  Rng rng(2024);
  QRX_TRACE_SEED(rng);
  const std::string path = dir_.file("large.idx");
  cbt_tree *t = cbcreate(path.c_str(), nullptr, 2048);
  ASSERT_NE(t, nullptr);
  TreeModel model;
  size_t n = 0;
  while (model.size() < 200000) {
    const std::string key = rng.bytes(rng.range(4, 24));
    const uint32_t item = rng.item();
    if (model.insert_error(key, item, 0) != 0) continue;
    ASSERT_EQ(insert(t, key, item, 0), 1) << "insertion " << n << " error " << error_code();
    model.insert(key, item);
    ++n;
  }
  ASSERT_TRUE(tree_matches_model(t, path, model));
  EXPECT_GE(cbdepth(t), 3);
  EXPECT_EQ(cbclose(t), 1);
}

}  // namespace
}  // namespace qrx::test
