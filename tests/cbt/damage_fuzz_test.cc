// The damaged-file exercise of fuzz/damage_exercise.h with seeded random damage, a fixed number of runs:
// no crash, sanitizer report or hang (an alarm ends the run), and every failure carries a code that says
// why. QRX_TEST_SEED fixes the seed.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/damage_exercise.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

void on_alarm(int) {
  const char msg[] = "damage_fuzz_test: a run hung\n";
  (void)!write(2, msg, sizeof msg - 1);
  _exit(3);
}

TEST(DamageFuzzTest, OperationsOnDamagedFilesEndWithoutCrashOrHang) {
  ASSERT_EQ(cbinit(64, 4096), 1);
  signal(SIGALRM, on_alarm);
  TempDir dir;
  Rng rng(20240611);
  QRX_TRACE_SEED(rng);
  const std::vector<uint8_t> base = damage::build_base(dir.file("base.idx"));
  ASSERT_FALSE(base.empty());
  int opened = 0, failed_verify = 0;
  for (int it = 0; it < 200; ++it) {
    SCOPED_TRACE("run " + std::to_string(it));
    std::vector<uint8_t> input(it % 10 == 0 ? 0 : 6 * rng.range(1, 6));  // every tenth run undamaged
    for (uint8_t &b : input) b = static_cast<uint8_t>(rng.next());
    // A small word into the control record (a huge highblock makes the raw dump read that many blocks).
    if (it % 3 == 1 && !input.empty()) input[0] = input[1] = input[2] = 0, input[3] %= 28, input[4] = 1;
    TraceCapture quiet;
    alarm(60);
    const int32_t v = damage::exercise(dir.file("d" + std::to_string(it) + ".idx"), base, input.data(),
                                       input.size(), [](const char *op, int32_t r) {
                                         const uint32_t e = *qrxcbecd();  // block I/O 6..9, keys 16..21
                                         if (r == -1) {
                                           EXPECT_TRUE((e >= 6 && e <= 9) || (e >= 16 && e <= 21))
                                               << op << " error " << e;
                                         }
                                       });
    alarm(0);
    if (input.empty()) {
      EXPECT_EQ(v, 1);  // a sound file verifies
    }
    opened += v != -2;
    failed_verify += v == -1;
  }
  EXPECT_GT(opened, 100);
  EXPECT_GT(failed_verify, 0);  // the damage mattered
  cbexit();
}

}  // namespace
}  // namespace qrx::test
