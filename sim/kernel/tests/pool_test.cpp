// Pool bookkeeping: leaks reported by tag, and injected allocation failures reaching
// the caller.
#include <wdm.h>

#include "kernel_fixture.h"
#include "pool.h"

using sim::kernel::testing::BootedKernel;
namespace pool = sim::kernel::pool;

namespace {

class Pool : public BootedKernel {
 protected:
  void TearDown() override {
    pool::ClearFaults();
    BootedKernel::TearDown();
  }
};

TEST_F(Pool, LeaksAreReportedByTag) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, ' mdW');
  void* b = ExAllocatePoolWithTag(NonPagedPool, 20, ' mdW');
  void* c = ExAllocatePoolWithTag(PagedPool, 7, 'MDMS');
  ExFreePoolWithTag(c, 'MDMS');
  std::string report = pool::LeakReport();
  EXPECT_NE(report.find("'Wdm ': 2 allocations, 120 bytes"), std::string::npos) << report;
  EXPECT_EQ(report.find("SMDM"), std::string::npos) << report;
  ExFreePoolWithTag(a, ' mdW');
  ExFreePoolWithTag(b, ' mdW');
  EXPECT_EQ(pool::LeakReport(), "");
}

void* AllocateAtSiteA() { return ExAllocatePoolWithTag(NonPagedPool, 8, 'AAAA'); }
void* AllocateAtSiteB() { return ExAllocatePoolWithTag(NonPagedPool, 8, 'BBBB'); }

TEST_F(Pool, FailNthFailsExactlyThatAllocation) {
  pool::FailNth(2);
  void* first = AllocateAtSiteA();
  void* second = AllocateAtSiteA();
  void* third = AllocateAtSiteA();
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(pool::InjectedFailures(), 1u);
  ExFreePool(first);
  ExFreePool(third);
}

TEST_F(Pool, EachCallSiteFailsOnceThenSucceeds) {
  pool::FailOncePerCallSite(true);
  void* results[4] = {AllocateAtSiteA(), AllocateAtSiteB(), AllocateAtSiteA(), AllocateAtSiteB()};
  EXPECT_EQ(results[0], nullptr);
  EXPECT_EQ(results[1], nullptr);
  EXPECT_NE(results[2], nullptr);
  EXPECT_NE(results[3], nullptr);
  ExFreePool(results[2]);
  ExFreePool(results[3]);
}

TEST_F(Pool, FreshPoolIsNotZeroed) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 4, 'tseT'));
  EXPECT_NE(p[0] | p[1] | p[2] | p[3], 0);
  ExFreePoolWithTag(p, 'tseT');
}

}  // namespace
