// Tests of WdmPointerArray: growth by whole steps as a table, entries kept across
// growth, and an allocation failure that stores nothing and changes nothing.
#include "kernel_fixture.h"
#include "pool.h"
#include "wdm_pointer_array.h"

namespace {

namespace pool = sim::kernel::pool;

class WdmPointerArrayTest : public sim::kernel::testing::BootedKernel {
 protected:
  void TearDown() override {
    pool::ClearFaults();
    EXPECT_EQ(pool::LeakReport(), "");
    BootedKernel::TearDown();
  }
};

PVOID P(ULONG_PTR n) { return (PVOID)n; }

struct GrowthCase {
  ULONG capacity;
  ULONG step;
  ULONG index;
  ULONG grown;  // capacity afterwards
};

TEST_F(WdmPointerArrayTest, GrowsByWholeStepsToCoverTheIndex) {
  // new = old + step * ceil((index - old + 1) / step)
  const GrowthCase cases[] = {
      {0, 3, 0, 3}, {0, 3, 2, 3}, {0, 3, 3, 6}, {2, 3, 2, 5}, {2, 3, 4, 5},
      {2, 3, 5, 8}, {4, 1, 9, 10}, {5, 5, 4, 5}, {5, 5, 5, 10}, {1, 10, 30, 31},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.capacity << "/" << c.step << "/" << c.index);
    WdmPointerArray array;
    ASSERT_EQ(array.Initialize(c.capacity, c.step), STATUS_SUCCESS);
    EXPECT_EQ(array.SetAt(c.index, P(0x99)), STATUS_SUCCESS);
    EXPECT_EQ(array.Capacity, c.grown);
    EXPECT_EQ(array.GetAt(c.index), P(0x99));
    EXPECT_EQ(array.HighestIndex, (LONG)c.index);
    // The whole new capacity is there and empty (the sanitizer sees an overrun).
    for (ULONG i = 0; i < array.Capacity; ++i) {
      if (i != c.index) EXPECT_EQ(array.Data[i], nullptr);
    }
  }
}

TEST_F(WdmPointerArrayTest, AppendToAnEmptyArrayOfStepThree) {
  WdmPointerArray array;
  ASSERT_EQ(array.Initialize(0, 3), STATUS_SUCCESS);
  EXPECT_EQ(array.HighestIndex, -1);
  EXPECT_EQ(array.Append(P(1)), 0);
  EXPECT_EQ(array.Capacity, 3u);
  EXPECT_EQ(array.Append(P(2)), 1);
  EXPECT_EQ(array.Append(P(3)), 2);
  EXPECT_EQ(array.Append(P(4)), 3);
  EXPECT_EQ(array.Capacity, 6u);
  for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(array.GetAt(i), P(i + 1));
  EXPECT_EQ(array.GetAt(6), nullptr);
}

TEST_F(WdmPointerArrayTest, AppendFollowsTheHighestIndexWritten) {
  WdmPointerArray array;
  ASSERT_EQ(array.Initialize(2, 2, PagedPool), STATUS_SUCCESS);
  ASSERT_EQ(array.SetAt(4, P(5)), STATUS_SUCCESS);
  EXPECT_EQ(array.Append(P(6)), 5);
  EXPECT_EQ(pool::Outstanding()[0].poolType, PagedPool);
}

TEST_F(WdmPointerArrayTest, FailedGrowthStoresNothing) {
  WdmPointerArray array;
  ASSERT_EQ(array.Initialize(2, 3), STATUS_SUCCESS);
  ASSERT_EQ(array.Append(P(1)), 0);
  ASSERT_EQ(array.Append(P(2)), 1);
  PVOID* before = array.Data;
  pool::FailNth(1);
  EXPECT_EQ(array.Append(P(3)), -1);
  EXPECT_EQ(array.Status, STATUS_INSUFFICIENT_RESOURCES);
  pool::FailNth(1);
  EXPECT_EQ(array.SetAt(7, P(8)), STATUS_INSUFFICIENT_RESOURCES);
  pool::ClearFaults();
  EXPECT_EQ(array.Capacity, 2u);
  EXPECT_EQ(array.Data, before);
  EXPECT_EQ(array.HighestIndex, 1);
  EXPECT_EQ(array.GetAt(0), P(1));
  EXPECT_EQ(array.GetAt(1), P(2));
  // Once memory is back the same append works.
  EXPECT_EQ(array.Append(P(3)), 2);
  EXPECT_EQ(array.Status, STATUS_SUCCESS);
}

TEST_F(WdmPointerArrayTest, FailedInitializeLeavesAnEmptyArray) {
  WdmPointerArray array;
  pool::FailNth(1);
  EXPECT_EQ(array.Initialize(4, 3), STATUS_INSUFFICIENT_RESOURCES);
  pool::ClearFaults();
  EXPECT_EQ(array.Capacity, 0u);
  EXPECT_EQ(array.GetAt(0), nullptr);
  EXPECT_EQ(array.Append(P(1)), 0);
}

TEST_F(WdmPointerArrayTest, WithoutAGrowthStepItCannotGrow) {
  WdmPointerArray array;
  ASSERT_EQ(array.Initialize(1, 0), STATUS_SUCCESS);
  EXPECT_EQ(array.Append(P(1)), 0);
  EXPECT_EQ(array.Append(P(2)), -1);
  EXPECT_EQ(array.Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(array.Capacity, 1u);
}

TEST_F(WdmPointerArrayTest, IndexesBeyondTheSignedRangeAreRefused) {
  WdmPointerArray array;
  ASSERT_EQ(array.Initialize(0, 3), STATUS_SUCCESS);
  EXPECT_EQ(array.SetAt(0x80000000u, P(1)), STATUS_INVALID_PARAMETER);
  // Large enough to overflow the byte count: refused before any allocation.
  EXPECT_EQ(array.SetAt(0x7FFFFFFFu, P(1)), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(array.HighestIndex, -1);
}

}  // namespace
