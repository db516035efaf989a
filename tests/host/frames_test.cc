// Exception frames: guards catch and nest, frames drop from anywhere, a raise with no frame aborts.
#include <stdexcept>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

TEST(Frames, GuardsNestAndFramesDropFromAnywhere) {
  XFR1_Chain *chain = XFR1_Thread();
  bool after = false, outer_finished = false;
  EXPECT_EQ(XFR1_Guard("f", 1, [&] { XFR1__Raise(chain, 0x0C0D), after = true; }), 0x0C0D);
  EXPECT_TRUE(!after && qrxerec(chain)->code == 0x0C0D);
  EXPECT_EQ(XFR1_Guard("f", 2, [] { throw std::runtime_error("x"); }), -1);
  int32_t inner = -100, outer = XFR1_Guard("f", 3, [&] {
                          inner = XFR1_Guard("f", 4, [&] { XFR1__Raise(chain, 8); });
                          if (XFR1_Guard("f", 5, [&] { XFR1__Raise(chain, 45); }) != 0)
                            XFR1__Raise(chain, qrxerec(chain)->code);
                          outer_finished = true;
                        });
  EXPECT_TRUE(inner == 8 && outer == 45 && !outer_finished && chain->top == nullptr);
  XFR1_Frame a, b, c;
  XFR1__PushFrame(chain, &a, "a", 1), XFR1__PushFrame(chain, &b, "b", 2), XFR1__PushFrame(chain, &c, "c", 3);
  XFR1__DropFrame(chain, &b, "drop", 4);
  EXPECT_EQ(c.prev, &a);
  XFR1__DropFrame(chain, &c, "drop", 5);
  qrx::test::TraceCapture cap;
  XFR1__DropFrame(chain, &b, "dropfile", 6);  // not on the chain: reported, chain untouched
  EXPECT_TRUE(chain->top == &a && cap.contains(QRXHOST_KIND_ERROR, "dropfile:6"));
  XFR1__DropFrame(chain, &a, "drop", 7);
  EXPECT_EQ(chain->top, nullptr);
}

TEST(FramesDeathTest, RaiseWithNoFrameAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(XFR1__Raise(XFR1_Thread(), 77), "ERROR condition 77 raised with no guard frame");
}

}  // namespace
