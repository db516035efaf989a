// Four threads on every storage layer at once, on one file and on a file each, with small counts so that
// the sanitizers (ThreadSanitizer among them) watch every path the release stress run takes.
#include <gtest/gtest.h>

#include "bench/stress.h"
#include "support/test_util.h"

namespace {

using qrx::stress::Layer, qrx::stress::Shape;

struct StressThreads : testing::TestWithParam<std::tuple<Layer, Shape>> {
  qrx::test::TempDir dir;
  void SetUp() override { ASSERT_EQ(isaminit(200, 1024), 1); }
  void TearDown() override {
    Terminate();
    isamexit();
  }
};

TEST_P(StressThreads, EveryModelHolds) {
  const auto [layer, shape] = GetParam();
  const qrx::stress::Result r = qrx::stress::run(layer, shape, 4, 2500, dir.path());
  EXPECT_EQ(r.failures, 0u) << r.first_failure;
  EXPECT_EQ(r.operations, 10000u);
}

INSTANTIATE_TEST_SUITE_P(Layers, StressThreads,
                         testing::Combine(testing::Values(Layer::kBtree, Layer::kIsam, Layer::kKeyed,
                                                          Layer::kUser),
                                          testing::Values(Shape::kOneFile, Shape::kFileEach)));

}  // namespace
