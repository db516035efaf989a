// Storage spaces: element states after free and destroy, stale handles, sizes and heaps.
#include <cstring>

#include <gtest/gtest.h>

#include "host/qrxhost.h"

namespace {

TEST(Storage, AreasHeapsElementStatesAndStaleHandles) {
  HPM1_Handle storage{}, area{}, next{}, heap{};
  ASSERT_EQ(HPM1_GetStorageHandle(&storage, nullptr), HPM1_OK);
  EXPECT_EQ(HPM1_CreateArea(&storage, "INVERTED", 0, 16, 8, &area), HPM1_BAD_SIZE);
  EXPECT_EQ(HPM1_DestroySpace(&storage), HPM1_BAD_HANDLE);
  ASSERT_EQ(HPM1_CreateArea(&storage, "AREA", 0, 16, 16, &area), HPM1_OK);
  void *p = nullptr, *v = nullptr;
  ASSERT_EQ(HPM1_AllocateStorage(&area, 16, &p), HPM1_OK);
  EXPECT_EQ(HPM1_ElementState(&area, static_cast<char *>(p) + 1), HPM1_ELEMENT_NONE);
  std::memcpy(p, "KEYF", 4);
  ASSERT_EQ(HPM1_FreeStorage(&area, p), HPM1_OK);
  EXPECT_TRUE(HPM1_ElementState(&area, p) == HPM1_ELEMENT_FREE && !std::memcmp(p, "KEYF", 4));  // stale reads
  EXPECT_EQ(HPM1_FreeStorage(&area, p), HPM1_NOT_ELEMENT);
  EXPECT_TRUE(HPM1_AllocateStorage(&area, 16, &v) == HPM1_OK && v == p &&
              std::memcmp(p, "KEYF", 4));  // zeroed
  int32_t reason = -1;
  EXPECT_TRUE(HPM1_AllocateStorage(&area, 17, &v) == HPM1_BAD_SIZE && v == nullptr);
  EXPECT_TRUE(HPM1_DiagnoseSpace(&area, &reason) == HPM1_BAD_SIZE && HPM1_DestroySpace(&area) == HPM1_OK);
  ASSERT_EQ(HPM1_CreateArea(&storage, "NEXT", 0, 16, 16, &next), HPM1_OK);
  EXPECT_NE(next.word, area.word);  // ids of destroyed spaces are never reused
  EXPECT_TRUE(HPM1_ElementState(&area, p) == HPM1_ELEMENT_NONE &&
              HPM1_DestroySpace(&area) == HPM1_BAD_HANDLE);
  EXPECT_TRUE(HPM1_AllocateStorage(&area, 16, &v) == HPM1_BAD_HANDLE && HPM1_DestroySpace(&next) == HPM1_OK);
  ASSERT_EQ(HPM1_CreateHeap(&storage, "HEAP", 0, 5000, &heap), HPM1_OK);
  for (uint32_t size : {7u, 70000u, 1u})
    EXPECT_TRUE(HPM1_AllocateStorage(&heap, size, &v) == HPM1_OK && std::memset(v, 0x5A, size));
  EXPECT_TRUE(HPM1_FreeStorage(&heap, v) == HPM1_OK && HPM1_FreeStorage(&heap, v) == HPM1_NOT_ELEMENT);
  EXPECT_EQ(HPM1_DestroySpace(&heap), HPM1_OK);  // the leak checker would report what is left
}

}  // namespace
