// Storage spaces (HPM1_): element states after free and destroy, stale handles, sizes, heaps and the
// diagnosis of failed allocations.
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "host/qrxhost.h"

namespace {

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(HPM1_GetStorageHandle(&storage_, nullptr), HPM1_OK);
    ASSERT_EQ(HPM1_CreateArea(&storage_, "TESTAREA", 0, kElement, kElement, &area_), HPM1_OK);
  }
  void TearDown() override { HPM1_DestroySpace(&area_); }

  void *take(const HPM1_Handle &space, uint32_t size) {
    void *p = nullptr;
    EXPECT_EQ(HPM1_AllocateStorage(&space, size, &p), HPM1_OK);
    return p;
  }

  static constexpr uint32_t kElement = 48;
  HPM1_Handle storage_{};
  HPM1_Handle area_{};
};

TEST_F(StorageTest, OnlyTheStorageHandleMakesSpacesAndItIsNeverDestroyed) {
  HPM1_Handle again{}, a{};
  ASSERT_EQ(HPM1_GetStorageHandle(&again, nullptr), HPM1_OK);
  EXPECT_EQ(again.word, storage_.word);
  EXPECT_EQ(HPM1_CreateArea(&area_, "NESTED", 0, 8, 8, &a), HPM1_BAD_HANDLE);
  EXPECT_EQ(HPM1_CreateArea(&storage_, "ZERO", 0, 0, 0, &a), HPM1_BAD_SIZE);
  EXPECT_EQ(HPM1_CreateArea(&storage_, "INVERTED", 0, 16, 8, &a), HPM1_BAD_SIZE);
  void *p = nullptr;
  EXPECT_EQ(HPM1_AllocateStorage(&storage_, 8, &p), HPM1_BAD_HANDLE);
  EXPECT_EQ(HPM1_DestroySpace(&storage_), HPM1_BAD_HANDLE);
}

TEST_F(StorageTest, FreedElementStaysReadableIsKnownAsFreeAndIsReused) {
  std::set<void *> live;
  for (int i = 0; i < 10; ++i) {
    auto *b = static_cast<unsigned char *>(take(area_, kElement));
    ASSERT_TRUE(live.insert(b).second);
    EXPECT_EQ(std::memcmp(b, std::string(kElement, '\0').data(), kElement), 0);
    std::memset(b, 0xAB, kElement);
    EXPECT_EQ(HPM1_ElementState(&area_, b), HPM1_ELEMENT_LIVE);
    EXPECT_EQ(HPM1_ElementState(&area_, b + 1), HPM1_ELEMENT_NONE);  // not the start of an element
  }
  void *p = *live.begin();
  std::memcpy(p, "KEYF", 4);
  ASSERT_EQ(HPM1_FreeStorage(&area_, p), HPM1_OK);
  EXPECT_EQ(HPM1_ElementState(&area_, p), HPM1_ELEMENT_FREE);
  // A stale user may still look at a freed element (the sanitizer would stop a read of freed memory).
  EXPECT_EQ(std::memcmp(p, "KEYF", 4), 0);
  EXPECT_EQ(HPM1_FreeStorage(&area_, p), HPM1_NOT_ELEMENT);

  void *q = take(area_, kElement);
  EXPECT_EQ(q, p);
  EXPECT_EQ(HPM1_ElementState(&area_, q), HPM1_ELEMENT_LIVE);
  EXPECT_NE(std::memcmp(q, "KEYF", 4), 0);  // handed out again zero-filled
}

TEST_F(StorageTest, WrongSizesAreDiagnosedAndForeignAddressesRefused) {
  void *p = reinterpret_cast<void *>(1);
  int32_t reason = -1;
  EXPECT_EQ(HPM1_DiagnoseSpace(&area_, &reason), HPM1_OK);
  EXPECT_EQ(reason, HPM1_OK);
  EXPECT_EQ(HPM1_AllocateStorage(&area_, kElement + 1, &p), HPM1_BAD_SIZE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(HPM1_DiagnoseSpace(&area_, &reason), HPM1_BAD_SIZE);
  EXPECT_EQ(reason, HPM1_BAD_SIZE);

  HPM1_Handle other{};
  ASSERT_EQ(HPM1_CreateArea(&storage_, "OTHER", 0, 8, 32, &other), HPM1_OK);
  void *small = take(other, 8);  // anything from the minimum to the maximum
  EXPECT_EQ(HPM1_ElementState(&area_, small), HPM1_ELEMENT_NONE);
  EXPECT_EQ(HPM1_FreeStorage(&area_, small), HPM1_NOT_ELEMENT);
  int on_stack = 0;
  EXPECT_EQ(HPM1_FreeStorage(&other, &on_stack), HPM1_NOT_ELEMENT);
  EXPECT_EQ(HPM1_DestroySpace(&other), HPM1_OK);
}

TEST_F(StorageTest, DestroyedAreaHandleIsStaleEverywhere) {
  HPM1_Handle doomed{}, next{};
  ASSERT_EQ(HPM1_CreateArea(&storage_, "DOOMED", 0, 16, 16, &doomed), HPM1_OK);
  void *live = take(doomed, 16);
  void *freed = take(doomed, 16);
  ASSERT_EQ(HPM1_FreeStorage(&doomed, freed), HPM1_OK);
  ASSERT_EQ(HPM1_DestroySpace(&doomed), HPM1_OK);
  // A new space never takes over the id of a destroyed one.
  ASSERT_EQ(HPM1_CreateArea(&storage_, "NEXT", 0, 16, 16, &next), HPM1_OK);
  EXPECT_NE(next.word, doomed.word);

  EXPECT_EQ(HPM1_ElementState(&doomed, live), HPM1_ELEMENT_NONE);
  EXPECT_EQ(HPM1_ElementState(&doomed, freed), HPM1_ELEMENT_NONE);
  void *p = nullptr;
  EXPECT_EQ(HPM1_AllocateStorage(&doomed, 16, &p), HPM1_BAD_HANDLE);
  EXPECT_EQ(HPM1_FreeStorage(&doomed, live), HPM1_BAD_HANDLE);
  EXPECT_EQ(HPM1_DestroySpace(&doomed), HPM1_BAD_HANDLE);
  int32_t reason = 0;
  EXPECT_EQ(HPM1_DiagnoseSpace(&doomed, &reason), HPM1_BAD_HANDLE);
  EXPECT_EQ(reason, HPM1_BAD_HANDLE);
  HPM1_DestroySpace(&next);
}

TEST_F(StorageTest, HeapsHandOutAnySizeAndDropEverythingOnDestroy) {
  HPM1_Handle heap{};
  ASSERT_EQ(HPM1_CreateHeap(&storage_, "BUFFERHEAP", 0, 5000, &heap), HPM1_OK);
  void *first = take(heap, 1);
  for (uint32_t size : {7u, 5000u, 70000u}) std::memset(take(heap, size), 0x5A, size);
  void *p = nullptr;
  EXPECT_EQ(HPM1_AllocateStorage(&heap, 0, &p), HPM1_BAD_SIZE);
  EXPECT_EQ(HPM1_ElementState(&heap, first), HPM1_ELEMENT_LIVE);
  ASSERT_EQ(HPM1_FreeStorage(&heap, first), HPM1_OK);
  EXPECT_EQ(HPM1_ElementState(&heap, first), HPM1_ELEMENT_NONE);
  EXPECT_EQ(HPM1_FreeStorage(&heap, first), HPM1_NOT_ELEMENT);
  // The remaining pieces go with the heap (the leak checker would report them otherwise).
  EXPECT_EQ(HPM1_DestroySpace(&heap), HPM1_OK);
}

}  // namespace
