// Modification on hand-built trees: in place, the key limit, lookup errors and the same pair (random mixes,
// the duplicate rules across leaves and the path through deletion and insertion: delete_model_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cbt/cbt.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

class ModifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override { close(), cbexit(); }
  void close() {
    for (cbt_tree *h : {t_, other_, walker_}) EXPECT_TRUE(!h || cbclose(h) == 1);
  }
  void build(const std::vector<Leaf> &leaves) {  // walker_ is for the checks, which move its cursor
    close();
    build_index(path_, 512, leaves, 3);
    for (cbt_tree **h : {&t_, &other_, &walker_}) ASSERT_NE(*h = cbopen(path_.c_str(), 2, nullptr), nullptr);
  }
  // Modifies through t_ with the expected error (0: success, -1: failure without a code); on success the
  // new pair is found and the tree verifies.
  void expect(const KeyItem &from, const KeyItem &to, int32_t dupok, int err) {
    *qrxcbecd() = 0;
    ASSERT_EQ(cbmodify(t_, from.key.data(), uint32_t(from.key.size()), from.item, to.key.data(),
                       uint32_t(to.key.size()), to.item, dupok),
              err ? -1 : 1)
        << describe(from) << " -> " << describe(to) << " " << *qrxcbecd();
    fcd_ = *qrxcbfcd();
    EXPECT_TRUE(!err || *qrxcbecd() == uint32_t(std::max(err, 0))) << *qrxcbecd();
    EXPECT_TRUE(err || find(walker_, to)) << describe(to);
    EXPECT_EQ(qrxcbver(walker_), 1);
  }
  bool find(cbt_tree *t, KeyItem e) {
    return cbfinditem(t, e.key.data(), uint32_t(e.key.size()), &e.item) == 2;
  }

  TempDir dir_;
  std::string path_ = dir_.file("mod.idx");
  cbt_tree *t_ = nullptr, *other_ = nullptr, *walker_ = nullptr;
  uint32_t fcd_ = 0;  // the function code the modification left
};

TEST_F(ModifyTest, InPlaceKeyLimitAndLookupErrors) {
  build({{{"a", 1}, {"k", 1}, {"k", 5}, {"m", 1}}});
  ASSERT_TRUE(find(other_, {"k", 5}));
  expect({"k", 1}, {"k", 7}, 0, 0);
  EXPECT_EQ(fcd_, 16u);  // in place: no insertion step, so dupok 0 does not matter
  EXPECT_EQ(cursor_entry(other_), (KeyItem{"k", 5}));
  expect({"a", 1}, {std::string(477, 'x'), 1}, 0, -1);  // over 512 - 36: no code
  expect({"a", 2}, {"c", 1}, 0, 21);
  build({});
  expect({"a", 1}, {"b", 1}, 0, 19);  // the lookup's own code, not a duplicate
}

// The same pair moves only the caller's cursor on, and is looked up only when the cursor is on an entry.
TEST_F(ModifyTest, SamePairMovesOnlyTheCallersCursor) {
  build({{{"a", 1}, {"b", 1}, {"c", 1}}});
  ASSERT_TRUE(find(other_, {"b", 1}) && find(t_, {"b", 1}));
  expect({"b", 1}, {"b", 1}, 0, 0);
  EXPECT_EQ(cursor_entry(t_), (KeyItem{"c", 1}));
  EXPECT_EQ(cursor_entry(other_), (KeyItem{"b", 1}));
  expect({"c", 1}, {"c", 1}, 0, 0);
  int32_t status = 0;
  EXPECT_EQ(cursor_entry(t_, &status), std::nullopt);
  EXPECT_EQ(status, -3);
  EXPECT_EQ(cbmodify(t_, "zz", 2, 4, "zz", 2, 4, 0), 1);  // at EOI nothing is looked up
  ASSERT_TRUE(find(t_, {"a", 1}));
  expect({"zz", 4}, {"zz", 4}, 0, 21);
  EXPECT_EQ(cursor_entry(t_), (KeyItem{"a", 1}));
}

}  // namespace
}  // namespace qrx::test
