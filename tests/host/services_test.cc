// Once-only misuse, memory, environment, sleep and the named-anchor registry on one thread.
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

volatile int32_t g_self_word = 0;
int32_t g_self_rc = 0;
void asks_for_itself(void *) {
  g_self_rc = OSV1_InitializeOnce(&g_self_word, &asks_for_itself, nullptr, "self", 1);
}
int g_attempts = 0;
void throws_first_time(void *) {
  if (++g_attempts == 1) throw std::runtime_error("first attempt fails");
}

TEST(Once, SelfRequestIsRefusedAndAFailedStepRunsAgain) {
  qrx::test::TraceCapture cap;
  EXPECT_EQ(OSV1_InitializeOnce(&g_self_word, &asks_for_itself, nullptr, __FILE__, __LINE__), 0);
  EXPECT_NE(g_self_rc, 0);
  EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, "self:1"));
  static volatile int32_t word = 0;
  EXPECT_NE(OSV1_InitializeOnce(&word, &throws_first_time, nullptr, __FILE__, __LINE__), 0);
  EXPECT_EQ(word, 0);
  EXPECT_EQ(OSV1_InitializeOnce(&word, &throws_first_time, nullptr, __FILE__, __LINE__), 0);
  EXPECT_EQ(OSV1_InitializeOnce(&word, &throws_first_time, nullptr, __FILE__, __LINE__), 0);
  EXPECT_EQ(g_attempts, 2);
}

TEST(Services, MemoryEnvironmentAndSleep) {
  void *p = nullptr;
  int32_t status = -7;
  ASSERT_EQ(OSV1_GetMem(300, &p, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::memcmp(p, std::string(300, '\0').data(), 300), 0);
  EXPECT_EQ(OSV1_FreeMem(p, &status), 0);
  EXPECT_NE(OSV1_GetMem(8, nullptr, &status), 0);
  EXPECT_NE(status, 0);
  unsetenv("QRX_HOST_TEST_VAR");
  EXPECT_STREQ(OSV1_GetEnv("QRX_HOST_TEST_VAR", "dflt"), "dflt");
  setenv("QRX_HOST_TEST_VAR", "", 1);  // set but empty is still set
  EXPECT_STREQ(OSV1_GetEnv("QRX_HOST_TEST_VAR", "dflt"), "");
  unsetenv("QRX_HOST_TEST_VAR");
  qrx::test::FakeSleep fake;
  OSV1_Sleep(1);
  OSV1_Sleep(3);
  EXPECT_EQ(fake.calls(), 2u);
  EXPECT_EQ(fake.seconds(), 4u);
}

TEST(Registry, CreateFindForgetAndRefuseMalformedNames) {
  RGY1_Name name{"TST1", 4, 4}, longer{"TST1x", 5, 5};
  void *made = nullptr, *found = nullptr;
  ASSERT_EQ(RGY1_LocateCreateAnchor(&name, 40, &made, nullptr), RGY1_CREATED);
  EXPECT_EQ(RGY1_LocateCreateAnchor(&name, 40, &found, nullptr), RGY1_OK);
  EXPECT_EQ(found, made);
  EXPECT_EQ(RGY1_LocateAnchorAddress(&longer, &found, nullptr), RGY1_NOT_FOUND);
  EXPECT_EQ(RGY1_ForgetAnchorAddress(&name, nullptr), RGY1_OK);
  EXPECT_EQ(RGY1_LocateAnchorAddress(&name, &found, nullptr), RGY1_NOT_FOUND);
  OSV1_FreeMem(made, nullptr);
  RGY1_Name empty{"KEY1", 0, 4}, too_long{"KEY1", 5, 4}, no_chars{nullptr, 4, 4};
  for (const RGY1_Name *n : {&empty, &too_long, &no_chars, static_cast<RGY1_Name *>(nullptr)}) {
    EXPECT_EQ(RGY1_LocateAnchorAddress(n, &found, nullptr), RGY1_BAD_NAME);
    EXPECT_EQ(RGY1_LocateCreateAnchor(n, 4, &found, nullptr), RGY1_BAD_NAME);
  }
}

}  // namespace
