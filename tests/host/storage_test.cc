// Storage spaces: element states after free and destroy, stale handles, sizes and heaps.
#include <cstring>

#include <gtest/gtest.h>

#include "host/qrxhost.h"

namespace {

void *take(const HPM1_Handle &space, uint32_t size) {
  void *p = nullptr;
  EXPECT_EQ(HPM1_AllocateStorage(&space, size, &p), HPM1_OK);
  return p;
}

TEST(Storage, AreaElementsFreeReuseAndStaleHandles) {
  HPM1_Handle storage{}, area{}, next{};
  ASSERT_EQ(HPM1_GetStorageHandle(&storage, nullptr), HPM1_OK);
  EXPECT_EQ(HPM1_CreateArea(&storage, "INVERTED", 0, 16, 8, &area), HPM1_BAD_SIZE);
  EXPECT_EQ(HPM1_DestroySpace(&storage), HPM1_BAD_HANDLE);
  ASSERT_EQ(HPM1_CreateArea(&storage, "AREA", 0, 16, 16, &area), HPM1_OK);
  auto *p = static_cast<char *>(take(area, 16));
  EXPECT_EQ(HPM1_ElementState(&area, p + 1), HPM1_ELEMENT_NONE);
  std::memcpy(p, "KEYF", 4);
  ASSERT_EQ(HPM1_FreeStorage(&area, p), HPM1_OK);
  EXPECT_EQ(HPM1_ElementState(&area, p), HPM1_ELEMENT_FREE);
  EXPECT_EQ(std::memcmp(p, "KEYF", 4), 0);  // a stale user may still read a freed element
  EXPECT_EQ(HPM1_FreeStorage(&area, p), HPM1_NOT_ELEMENT);
  EXPECT_EQ(take(area, 16), p);
  EXPECT_NE(std::memcmp(p, "KEYF", 4), 0);  // reused zero-filled
  void *q = reinterpret_cast<void *>(1);
  int32_t reason = -1;
  EXPECT_EQ(HPM1_AllocateStorage(&area, 17, &q), HPM1_BAD_SIZE);
  EXPECT_EQ(q, nullptr);
  EXPECT_EQ(HPM1_DiagnoseSpace(&area, &reason), HPM1_BAD_SIZE);
  ASSERT_EQ(HPM1_DestroySpace(&area), HPM1_OK);
  ASSERT_EQ(HPM1_CreateArea(&storage, "NEXT", 0, 16, 16, &next), HPM1_OK);
  EXPECT_NE(next.word, area.word);  // ids of destroyed spaces are never reused
  EXPECT_EQ(HPM1_ElementState(&area, p), HPM1_ELEMENT_NONE);
  EXPECT_EQ(HPM1_AllocateStorage(&area, 16, &q), HPM1_BAD_HANDLE);
  EXPECT_EQ(HPM1_DestroySpace(&area), HPM1_BAD_HANDLE);
  HPM1_DestroySpace(&next);
}

TEST(Storage, HeapsHandOutAnySizeAndDropEverythingOnDestroy) {
  HPM1_Handle storage{}, heap{};
  ASSERT_EQ(HPM1_GetStorageHandle(&storage, nullptr), HPM1_OK);
  ASSERT_EQ(HPM1_CreateHeap(&storage, "HEAP", 0, 5000, &heap), HPM1_OK);
  void *first = take(heap, 1);
  for (uint32_t size : {7u, 70000u}) std::memset(take(heap, size), 0x5A, size);
  ASSERT_EQ(HPM1_FreeStorage(&heap, first), HPM1_OK);
  EXPECT_EQ(HPM1_FreeStorage(&heap, first), HPM1_NOT_ELEMENT);
  EXPECT_EQ(HPM1_DestroySpace(&heap), HPM1_OK);  // the leak checker would report what is left
}

}  // namespace
