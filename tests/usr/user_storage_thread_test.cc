// User storage under four threads on small stacks, each building, checking and destroying a top-level space
// with a deep chain of sub-spaces, round after round: creations race with each other and with destructions
// that drop the store, and a destruction taking a stack frame per level would overflow.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>

#include "host/qrxhost.h"
#include "qrxus.h"

static std::atomic<int> failures{0};

static void *build_check_destroy(void *arg) {
  const std::string name = "space" + std::to_string(reinterpret_cast<intptr_t>(arg));
  const UsrDescriptor dn{name.data(), 0, 6}, attr{"attr", 0, 4};
  for (int round = 0; round < 10; ++round) {
    UsrHandle top, h;
    UsrDescriptor got{};
    int32_t st = -1;
    failures += qrxuscu(&dn, &top, &st) + qrxuscs(top, &h) + qrxussa(h, &attr, &dn);  // the value: the name
    for (int depth = 0; depth < 4000; ++depth) failures += qrxuscs(h, &h);
    failures += qrxusga(h, &attr, &got) != 0 || got.length != 6 || std::memcmp(got.bytes, name.data(), 6);
    failures += qrxusdu(top, &st);
  }
  return nullptr;
}

TEST(UserStorageThreads, FourThreadsOnSmallStacksBuildCheckAndDestroyDeepTrees) {
  const uint32_t spaces = qrxhost_storage_space_count();
  pthread_attr_t attr;
  pthread_t threads[4];
  ASSERT_TRUE(pthread_attr_init(&attr) == 0 && pthread_attr_setstacksize(&attr, 1 << 16) == 0);
  for (intptr_t t = 0; t < 4; ++t)
    ASSERT_EQ(pthread_create(&threads[t], &attr, build_check_destroy, reinterpret_cast<void *>(t)), 0);
  for (pthread_t t : threads) pthread_join(t, nullptr);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(qrxhost_storage_space_count(), spaces);
}
