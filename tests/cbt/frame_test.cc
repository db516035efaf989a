// Layer frame: cbinit/cbexit counting and argument fixing, cbaddbufs/cbrmbufs, and the text tables.
#include <gtest/gtest.h>

#include "cbt/cbt.h"
#include "cbt/ctl.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"

namespace {

using qrx::cbt::cbt_anchor_peek;

// Buffers really in the pool, not the count callers see.
uint32_t pool_buffers() {
  BufPool *p = cbt_anchor_peek()->pool;
  return p ? pool_buffer_count(p) : 0;
}

class FrameTest : public ::testing::Test {
 protected:
  void TearDown() override {
    while (cbt_anchor_peek() && cbt_anchor_peek()->initcnt > 0) cbexit();
  }
};

TEST_F(FrameTest, InitFixesItsArgumentsAndCountsUntilTheLastExit) {
  struct Case {
    uint32_t cnt, size, want_cnt, want_size;
  } cases[] = {{0, 0, 5, 512}, {2, 20, 4, 512}, {10, 36, 10, 36}, {3, 35, 4, 512}, {4, 37, 4, 37}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.cnt << " x " << c.size);
    ASSERT_EQ(cbinit(c.cnt, c.size), 1);
    EXPECT_EQ(cbbufcnt(), c.want_cnt);
    EXPECT_EQ(cbbufsize(), c.want_size);
    EXPECT_EQ(pool_buffers(), c.want_cnt);
    ASSERT_EQ(cbexit(), 1);
  }
  ASSERT_EQ(cbinit(6, 1024), 1);
  ASSERT_EQ(cbinit(20, 8192), 1);  // counted, arguments ignored
  EXPECT_EQ(cbbufsize(), 1024u);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(pool_buffers(), 6u);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(cbt_anchor_peek()->pool, nullptr);
  EXPECT_EQ(cbexit(), -1);  // one too many: the count stays at zero
  EXPECT_EQ(*qrxcbecd(), 3u);
  EXPECT_EQ(cbt_anchor_peek()->initcnt, 0u);
}

TEST_F(FrameTest, AddingAndRemovingBuffers) {
  ASSERT_EQ(cbinit(10, 512), 1);
  EXPECT_EQ(cbrmbufs(100), 6u);  // never below four
  EXPECT_EQ(pool_buffers(), 4u);
  EXPECT_EQ(cbaddbufs(3), 3u);
  EXPECT_EQ(cbbufcnt(), 7u);
  // Buffers the pool adds by itself when it runs dry are not the callers' to remove.
  ASSERT_EQ(expand_pool(cbt_anchor_peek()->pool, 2), 2u);
  EXPECT_EQ(cbrmbufs(10), 3u);
  EXPECT_EQ(pool_buffers(), 6u);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(cbaddbufs(5), 0u);
  EXPECT_EQ(*qrxcbecd(), 3u);
}

TEST(FrameTexts, TablesAndTheirEnds) {
  EXPECT_STREQ(qrxcberr(22), "no mark in index");
  EXPECT_STREQ(qrxcberr(23), "Unknown cbt error number");
  EXPECT_STREQ(qrxcberr(-1), "Unknown cbt error number");
  EXPECT_STREQ(qrxcbfcn(26), "cbblksize");
  EXPECT_STREQ(qrxcbfcn(27), "Unknown cbt function number");
  EXPECT_STREQ(qrxcbcon(50), "positioning to mark in index");
  EXPECT_STREQ(qrxcbcon(51), "Unknown cbt context number");
  EXPECT_STREQ(qrxcbcon(INT32_MIN), "Unknown cbt context number");
}

}  // namespace
