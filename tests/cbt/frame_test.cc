// Layer frame: cbinit/cbexit counting and argument fixing, cbaddbufs/cbrmbufs, texts and qrxcbprt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cbt/cbt.h"
#include "cbt/ctl.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"
#include "support/test_util.h"

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

TEST_F(FrameTest, InitFixesItsArguments) {
  struct Case {
    uint32_t cnt, size, want_cnt, want_size;
  } cases[] = {{0, 0, 5, 512}, {2, 20, 4, 512}, {10, 36, 10, 36}, {3, 35, 4, 512}, {4, 37, 4, 37}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.cnt << " x " << c.size);
    ASSERT_EQ(cbinit(c.cnt, c.size), 1);
    EXPECT_EQ(*qrxcbfcd(), 1u);
    EXPECT_EQ(cbbufcnt(), c.want_cnt);
    EXPECT_EQ(cbbufsize(), c.want_size);
    EXPECT_EQ(pool_buffers(), c.want_cnt);
    EXPECT_EQ(cbt_anchor_peek()->pool->bufsize, c.want_size);
    ASSERT_EQ(cbexit(), 1);
  }
}

TEST_F(FrameTest, ThePoolLivesFromTheFirstInitToTheLastExit) {
  ASSERT_EQ(cbinit(6, 1024), 1);
  BufPool *pool = cbt_anchor_peek()->pool;
  ASSERT_EQ(cbinit(20, 8192), 1);  // counted, arguments ignored
  EXPECT_EQ(cbbufsize(), 1024u);
  EXPECT_EQ(cbbufcnt(), 6u);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(cbt_anchor_peek()->pool, pool);
  EXPECT_EQ(cbbufsize(), 1024u);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(cbt_anchor_peek()->pool, nullptr);
  EXPECT_EQ(cbbufsize(), 0u);
  EXPECT_EQ(cbbufcnt(), 0u);

  // An exit too many: no pool, and the count stays at zero.
  EXPECT_EQ(cbexit(), -1);
  EXPECT_EQ(*qrxcbecd(), 3u);
  EXPECT_EQ(*qrxcbccd(), 3u);
  EXPECT_EQ(*qrxcbfcd(), 2u);
  EXPECT_EQ(cbt_anchor_peek()->initcnt, 0u);

  ASSERT_EQ(cbinit(9, 2048), 1);  // a fresh pool
  EXPECT_EQ(cbbufsize(), 2048u);
  EXPECT_EQ(pool_buffers(), 9u);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(cbt_anchor_peek()->pool, nullptr);
}

TEST_F(FrameTest, AddingAndRemovingBuffers) {
  ASSERT_EQ(cbinit(10, 512), 1);
  EXPECT_EQ(cbrmbufs(100), 6u);
  EXPECT_EQ(*qrxcbfcd(), 24u);
  EXPECT_EQ(cbbufcnt(), 4u);
  EXPECT_EQ(pool_buffers(), 4u);
  EXPECT_EQ(cbrmbufs(1), 0u);
  EXPECT_EQ(cbaddbufs(3), 3u);
  EXPECT_EQ(*qrxcbfcd(), 23u);
  EXPECT_EQ(cbbufcnt(), 7u);
  EXPECT_EQ(cbrmbufs(2), 2u);
  EXPECT_EQ(pool_buffers(), 5u);
  // Buffers the pool adds by itself when it runs dry are not the callers' to remove.
  ASSERT_EQ(expand_pool(cbt_anchor_peek()->pool, 2), 2u);
  EXPECT_EQ(cbrmbufs(10), 1u);
  EXPECT_EQ(pool_buffers(), 6u);

  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(cbaddbufs(5), 0u);
  EXPECT_EQ(*qrxcbecd(), 3u);
  EXPECT_EQ(*qrxcbccd(), 4u);
  *qrxcbecd() = 0;
  EXPECT_EQ(cbrmbufs(5), 0u);
  EXPECT_EQ(*qrxcbecd(), 3u);
}

TEST(FrameTexts, TablesAndTheirEnds) {
  EXPECT_STREQ(qrxcberr(0), "no error");
  EXPECT_STREQ(qrxcberr(18), "duplicate key/item pair");
  EXPECT_STREQ(qrxcberr(22), "no mark in index");
  EXPECT_STREQ(qrxcberr(23), "Unknown cbt error number");
  EXPECT_STREQ(qrxcberr(-1), "Unknown cbt error number");
  EXPECT_STREQ(qrxcbfcn(18), "cbfinditem");
  EXPECT_STREQ(qrxcbfcn(26), "cbblksize");
  EXPECT_STREQ(qrxcbfcn(-1), "Unknown cbt function number");
  EXPECT_STREQ(qrxcbfcn(27), "Unknown cbt function number");
  EXPECT_STREQ(qrxcbcon(42), "re-syncronizing parent and child nodes");
  EXPECT_STREQ(qrxcbcon(50), "positioning to mark in index");
  EXPECT_STREQ(qrxcbcon(51), "Unknown cbt context number");
  EXPECT_STREQ(qrxcbcon(INT32_MIN), "Unknown cbt context number");
}

TEST(FrameTexts, PrintWritesTheThreeCodes) {
  auto printed = [] {
    std::fflush(stdout);
    char name[] = "/tmp/qrxprt.XXXXXX";
    int fd = mkstemp(name), saved = dup(1);
    dup2(fd, 1);
    qrxcbprt();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::string out = qrx::test::read_file(name);
    unlink(name);
    return out;
  };
  *qrxcbccd() = 20, *qrxcbfcd() = 17, *qrxcbecd() = 6;
  EXPECT_EQ(printed(), "context: finding leaf containing key, function: cbfind\nerror getting disk block\n");
  *qrxcbccd() = 99, *qrxcbfcd() = 0, *qrxcbecd() = 0;
  EXPECT_EQ(printed(), "context: Unknown cbt context number, function: no function set\nno error\n");
}

}  // namespace
