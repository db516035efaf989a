// Layer frame: cbinit/cbexit counting and argument fixing, cbaddbufs/cbrmbufs, and the text tables.
#include <gtest/gtest.h>

#include <array>

#include "cbt/cbt.h"
#include "cbt/ctl.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"

namespace {

using qrx::cbt::cbt_anchor_peek;

// Buffers really in the pool, not the count callers see.
const auto pool_buffers = [] {
  return cbt_anchor_peek()->pool ? pool_buffer_count(cbt_anchor_peek()->pool) : 0u;
};

TEST(Frame, InitFixesItsArgumentsAndCountsUntilTheLastExit) {
  const std::array<uint32_t, 4> cases[] = {
      {0, 0, 5, 512}, {2, 20, 4, 512}, {10, 36, 10, 36}, {3, 35, 4, 512}, {4, 37, 4, 37}};
  for (auto [cnt, size, want_cnt, want_size] : cases) {
    ASSERT_EQ(cbinit(cnt, size), 1);
    EXPECT_TRUE(cbbufcnt() == want_cnt && cbbufsize() == want_size && pool_buffers() == want_cnt)
        << cnt << "x" << size;
    ASSERT_EQ(cbexit(), 1);
  }
  ASSERT_TRUE(cbinit(6, 1024) == 1 && cbinit(20, 8192) == 1);  // the second is counted, its arguments ignored
  EXPECT_TRUE(cbbufsize() == 1024 && cbexit() == 1 && pool_buffers() == 6);
  EXPECT_TRUE(cbexit() == 1 && cbt_anchor_peek()->pool == nullptr);
  EXPECT_TRUE(cbexit() == -1 && *qrxcbecd() == 3 && cbt_anchor_peek()->initcnt == 0);  // one too many
}

TEST(Frame, AddingAndRemovingBuffers) {
  ASSERT_EQ(cbinit(10, 512), 1);
  EXPECT_TRUE(cbrmbufs(100) == 6 && pool_buffers() == 4);  // never below four
  EXPECT_TRUE(cbaddbufs(3) == 3 && cbbufcnt() == 7);
  // Buffers the pool adds by itself when it runs dry are not the callers' to remove.
  ASSERT_EQ(expand_pool(cbt_anchor_peek()->pool, 2), 2u);
  EXPECT_TRUE(cbrmbufs(10) == 3 && pool_buffers() == 6);
  ASSERT_EQ(cbexit(), 1);
  EXPECT_TRUE(cbaddbufs(5) == 0 && *qrxcbecd() == 3);
}

TEST(Frame, TextTablesAndTheirEnds) {
  for (auto [got, want] : {std::pair{qrxcberr(22), "no mark in index"},
                           {qrxcberr(23), "Unknown cbt error number"},
                           {qrxcberr(-1), "Unknown cbt error number"},
                           {qrxcbfcn(26), "cbblksize"},
                           {qrxcbfcn(27), "Unknown cbt function number"},
                           {qrxcbcon(50), "positioning to mark in index"},
                           {qrxcbcon(51), "Unknown cbt context number"},
                           {qrxcbcon(INT32_MIN), "Unknown cbt context number"}})
    EXPECT_STREQ(got, want);
}

}  // namespace
