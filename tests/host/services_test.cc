// Once-only misuse, memory, environment, sleep and the named-anchor registry on one thread.
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

volatile int32_t g_self_word = 0, g_word = 0;
int32_t g_self_rc = 0, g_attempts = 0;
void asks_for_itself(void *) {
  g_self_rc = OSV1_InitializeOnce(&g_self_word, &asks_for_itself, nullptr, "self", 1);
}
void (*const kThrowsOnce)(void *) = [](void *) {
  if (++g_attempts == 1) throw std::runtime_error("first attempt fails");
};

TEST(Services, OnceMemoryEnvironmentSleepAndRegistry) {
  qrx::test::TraceCapture cap;
  EXPECT_EQ(OSV1_InitializeOnce(&g_self_word, &asks_for_itself, nullptr, "", 0), 0);
  for (int i = 0; i < 3; ++i)  // a failed step runs again
    EXPECT_EQ(OSV1_InitializeOnce(&g_word, kThrowsOnce, nullptr, "", 0) == 0, i > 0);
  EXPECT_TRUE(g_attempts == 2 && g_self_rc != 0 && cap.contains(QRXHOST_KIND_ERROR, "self:1"));
  void *p = nullptr, *made = nullptr, *found = nullptr;
  int32_t status = -7;
  ASSERT_EQ(OSV1_GetMem(300, &p, &status), 0);
  EXPECT_EQ(std::memcmp(p, std::string(300, '\0').data(), 300) + status, 0);
  EXPECT_TRUE(OSV1_FreeMem(p, &status) == 0 && OSV1_GetMem(8, nullptr, &status) != 0 && status != 0);
  setenv("QRX_HOST_TEST_VAR", "", 1);  // set but empty is still set
  EXPECT_STREQ(OSV1_GetEnv("QRX_HOST_TEST_VAR", "dflt"), "");
  EXPECT_STREQ(OSV1_GetEnv("QRX_HOST_TEST_UNSET", "dflt"), "dflt");
  qrx::test::FakeSleep fake;
  OSV1_Sleep(1), OSV1_Sleep(3);
  EXPECT_TRUE(fake.calls() == 2 && fake.seconds() == 4);
  RGY1_Name name{"TST1", 4, 4}, longer{"TST1x", 5, 5}, empty{"K", 0, 4}, over{"KEY1", 5, 4}, nul{0, 4, 4};
  ASSERT_EQ(RGY1_LocateCreateAnchor(&name, 40, &made, nullptr), RGY1_CREATED);
  EXPECT_TRUE(RGY1_LocateCreateAnchor(&name, 40, &found, nullptr) == RGY1_OK && found == made);
  EXPECT_EQ(RGY1_LocateAnchorAddress(&longer, &found, nullptr), RGY1_NOT_FOUND);
  EXPECT_TRUE(RGY1_ForgetAnchorAddress(&name, 0) == RGY1_OK &&
              RGY1_LocateAnchorAddress(&name, &found, 0) == RGY1_NOT_FOUND);
  OSV1_FreeMem(made, nullptr);
  for (const RGY1_Name *n : {&empty, &over, &nul, static_cast<RGY1_Name *>(nullptr)})
    EXPECT_TRUE(RGY1_LocateAnchorAddress(n, &found, 0) == RGY1_BAD_NAME &&
                RGY1_LocateCreateAnchor(n, 4, &found, 0) == RGY1_BAD_NAME);
}

}  // namespace
