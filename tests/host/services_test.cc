// Once-only misuse, memory, environment and sleep (OSV1_), and the named-anchor registry (RGY1_) on
// one thread; once-only steps, per-thread blocks and locks under several threads are in
// host_thread_test.cc.
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

using qrx::test::TraceCapture;

volatile int32_t g_self_word = 0;
int32_t g_self_rc = 0;
void asks_for_itself(void *) {
  g_self_rc = OSV1_InitializeOnce(&g_self_word, &asks_for_itself, nullptr, "self", 1);
}

TEST(Once, AStepAskingForItsOwnWordIsRefusedInsteadOfHanging) {
  TraceCapture cap;
  EXPECT_EQ(OSV1_InitializeOnce(&g_self_word, &asks_for_itself, nullptr, __FILE__, __LINE__), 0);
  EXPECT_NE(g_self_rc, 0);
  EXPECT_LT(g_self_word, 0);
  EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, "self:1"));
}

int g_attempts = 0;
void throws_first_time(void *) {
  if (++g_attempts == 1) throw std::runtime_error("first attempt fails");
}

TEST(Once, AStepEndedByAnExceptionRunsAgainOnTheNextCall) {
  TraceCapture cap;
  static volatile int32_t word = 0;
  EXPECT_NE(OSV1_InitializeOnce(&word, &throws_first_time, nullptr, __FILE__, __LINE__), 0);
  EXPECT_EQ(word, 0);
  EXPECT_EQ(OSV1_InitializeOnce(&word, &throws_first_time, nullptr, __FILE__, __LINE__), 0);
  EXPECT_EQ(OSV1_InitializeOnce(&word, &throws_first_time, nullptr, __FILE__, __LINE__), 0);
  EXPECT_LT(word, 0);
  EXPECT_EQ(g_attempts, 2);
}

TEST(Memory, BlocksAreZeroFilledAndTheStatusWordMirrorsTheResult) {
  void *p = nullptr;
  int32_t status = -7;
  ASSERT_EQ(OSV1_GetMem(300, &p, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::memcmp(p, std::string(300, '\0').data(), 300), 0);
  EXPECT_EQ(OSV1_FreeMem(p, &status), 0);
  status = 0;
  EXPECT_NE(OSV1_GetMem(8, nullptr, &status), 0);
  EXPECT_NE(status, 0);
}

TEST(Environment, ValuesDefaultsAndSleepHook) {
  unsetenv("QRX_HOST_TEST_VAR");
  EXPECT_STREQ(OSV1_GetEnv("QRX_HOST_TEST_VAR", "dflt"), "dflt");
  EXPECT_EQ(OSV1_LocateEnv("QRX_HOST_TEST_VAR"), nullptr);
  setenv("QRX_HOST_TEST_VAR", "", 1);  // set but empty is still set
  EXPECT_STREQ(OSV1_GetEnv("QRX_HOST_TEST_VAR", "dflt"), "");
  EXPECT_STREQ(OSV1_LocateEnv("QRX_HOST_TEST_VAR"), "");
  unsetenv("QRX_HOST_TEST_VAR");

  qrx::test::FakeSleep fake;
  OSV1_Sleep(1);
  OSV1_Sleep(3);
  EXPECT_EQ(fake.calls(), 2u);
  EXPECT_EQ(fake.seconds(), 4u);
}

TEST(Registry, CreateFindForgetAndCreateAgain) {
  RGY1_Name name{"TST1", 4, 4};
  void *found = nullptr;
  int32_t ctx = -1;
  EXPECT_EQ(RGY1_LocateAnchorAddress(&name, &found, &ctx), RGY1_NOT_FOUND);
  EXPECT_EQ(ctx, RGY1_NOT_FOUND);

  void *made = nullptr;
  ASSERT_EQ(RGY1_LocateCreateAnchor(&name, 40, &made, nullptr), RGY1_CREATED);
  EXPECT_EQ(std::memcmp(made, std::string(40, '\0').data(), 40), 0);
  std::memcpy(made, "filled", 6);
  void *again = nullptr;
  EXPECT_EQ(RGY1_LocateCreateAnchor(&name, 40, &again, nullptr), RGY1_OK);
  EXPECT_EQ(again, made);
  RGY1_Name copy{"TST1xyz", 4, 7};  // other storage, same counted bytes
  EXPECT_EQ(RGY1_LocateAnchorAddress(&copy, &found, &ctx), RGY1_OK);
  EXPECT_EQ(ctx, RGY1_OK);
  EXPECT_EQ(found, made);
  RGY1_Name longer{"TST1x", 5, 5};
  RGY1_Name shorter{"TST", 3, 3};
  EXPECT_EQ(RGY1_LocateAnchorAddress(&longer, &found, nullptr), RGY1_NOT_FOUND);
  EXPECT_EQ(RGY1_LocateAnchorAddress(&shorter, &found, nullptr), RGY1_NOT_FOUND);

  EXPECT_EQ(RGY1_ForgetAnchorAddress(&name, &ctx), RGY1_OK);
  EXPECT_EQ(RGY1_LocateAnchorAddress(&name, &found, &ctx), RGY1_NOT_FOUND);
  EXPECT_EQ(RGY1_ForgetAnchorAddress(&name, &ctx), RGY1_NOT_FOUND);
  EXPECT_EQ(std::memcmp(made, "filled", 6), 0);  // forgetting does not free the record

  void *fresh = nullptr;
  ASSERT_EQ(RGY1_LocateCreateAnchor(&name, 40, &fresh, nullptr), RGY1_CREATED);
  EXPECT_NE(std::memcmp(fresh, "filled", 6), 0);
  RGY1_ForgetAnchorAddress(&name, nullptr);
  OSV1_FreeMem(made, nullptr);
  OSV1_FreeMem(fresh, nullptr);
}

TEST(Registry, MalformedDescriptorsAreRefused) {
  void *p = nullptr;
  int32_t ctx = 0;
  RGY1_Name empty{"KEY1", 0, 4}, too_long{"KEY1", 5, 4}, no_chars{nullptr, 4, 4};
  const RGY1_Name *names[] = {&empty, &too_long, &no_chars, nullptr};
  for (const RGY1_Name *n : names) {
    EXPECT_EQ(RGY1_LocateAnchorAddress(n, &p, &ctx), RGY1_BAD_NAME);
    EXPECT_EQ(ctx, RGY1_BAD_NAME);
    EXPECT_EQ(RGY1_LocateCreateAnchor(n, 4, &p, nullptr), RGY1_BAD_NAME);
    EXPECT_EQ(RGY1_ForgetAnchorAddress(n, &ctx), RGY1_BAD_NAME);
  }
}

}  // namespace
