// Exception frames (XFR1_): guard frames catch raised conditions, nested guards pass them outward, frames
// are dropped from wherever they stand, and a raise with no frame ends the process.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

using qrx::test::TraceCapture;

TEST(Frames, GuardReturnsZeroAndLeavesTheChainAsItFoundIt) {
  XFR1_Chain *chain = XFR1_Thread();
  ASSERT_EQ(chain, XFR1_Thread());
  XFR1_Frame *before = chain->top;
  XFR1_Frame *inside = nullptr;
  XFR1_Frame *inside_prev = nullptr;
  std::string inside_file;
  int32_t rc = XFR1_Guard(__FILE__, __LINE__, [&] {
    inside = chain->top;
    inside_prev = inside ? inside->prev : nullptr;
    inside_file = inside && inside->file ? inside->file : "";
  });
  EXPECT_EQ(rc, 0);
  ASSERT_NE(inside, nullptr);
  EXPECT_EQ(inside_prev, before);
  EXPECT_EQ(inside_file, __FILE__);
  EXPECT_EQ(chain->top, before);
}

TEST(Frames, RaiseEndsTheBodyAndRecordsTheCode) {
  XFR1_Chain *chain = XFR1_Thread();
  bool after_raise = false;
  int32_t rc = XFR1_Guard(__FILE__, __LINE__, [&] {
    XFR1__Raise(chain, 0x0C0D);
    after_raise = true;
  });
  EXPECT_EQ(rc, 0x0C0D);
  EXPECT_FALSE(after_raise);
  EXPECT_EQ(qrxerec(chain)->code, 0x0C0D);
  EXPECT_EQ(chain->top, nullptr);
  // Any other exception is stopped by the guard too.
  EXPECT_EQ(XFR1_Guard(__FILE__, __LINE__, [] { throw std::runtime_error("not a condition"); }), -1);
  EXPECT_EQ(chain->top, nullptr);
}

TEST(Frames, InnerGuardCatchesFirstAndCanPassTheConditionOutward) {
  XFR1_Chain *chain = XFR1_Thread();
  int32_t inner_rc = -100;
  bool outer_went_on = false;
  bool outer_finished = false;
  int32_t outer_rc = XFR1_Guard(__FILE__, __LINE__, [&] {
    inner_rc = XFR1_Guard(__FILE__, __LINE__, [&] { XFR1__Raise(chain, 8); });
    outer_went_on = true;
    // A handler that cleans up and then hands the condition to the next frame out.
    if (XFR1_Guard(__FILE__, __LINE__, [&] { XFR1__Raise(chain, 45); }) != 0)
      XFR1__Raise(chain, qrxerec(chain)->code);
    outer_finished = true;
  });
  EXPECT_EQ(inner_rc, 8);
  EXPECT_TRUE(outer_went_on);
  EXPECT_FALSE(outer_finished);
  EXPECT_EQ(outer_rc, 45);
  EXPECT_EQ(chain->top, nullptr);
}

TEST(Frames, DropUnlinksAFrameWhereverItStands) {
  XFR1_Chain *chain = XFR1_Thread();
  XFR1_Frame a, b, c;
  XFR1__PushFrame(chain, &a, "a", 1);
  XFR1__PushFrame(chain, &b, "b", 2);
  XFR1__PushFrame(chain, &c, "c", 3);
  XFR1__DropFrame(chain, &b, "drop", 4);  // from the middle
  EXPECT_EQ(chain->top, &c);
  EXPECT_EQ(c.prev, &a);
  XFR1__DropFrame(chain, &c, "drop", 5);  // from the top
  EXPECT_EQ(chain->top, &a);

  TraceCapture cap;
  XFR1__DropFrame(chain, &b, "dropfile", 6);  // no longer on the chain: reported, chain untouched
  EXPECT_EQ(chain->top, &a);
  EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, "dropfile:6"));
  XFR1__DropFrame(chain, &a, "drop", 7);
  EXPECT_EQ(chain->top, nullptr);
}

TEST(FramesDeathTest, RaiseWithNoFrameWritesAnErrorLineAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_EQ(XFR1_Thread()->top, nullptr);
  EXPECT_DEATH(XFR1__Raise(XFR1_Thread(), 77), "ERROR condition 77 raised with no guard frame");
}

}  // namespace
