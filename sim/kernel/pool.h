// Pool bookkeeping of the simulated kernel: every allocation with its tag, pool type,
// allocating image and call site; leak reports by tag; allocation failure injection.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nt/types.h"

namespace sim::kernel::pool {

struct Allocation {
  const void* address;
  size_t size;
  ULONG tag;
  int poolType;
  std::string image;
  const void* site;
};

// Pool calls with the caller's site given explicitly, for kernel routines that allocate
// on a driver's behalf (the Rtl string routines) so leaks and injected failures are
// charged to the driver.
void* Allocate(int poolType, size_t size, ULONG tag, const void* site);
void Free(void* p, ULONG tag, bool checkTag, const void* site);

// Tag as its four characters ("Wdm ").
std::string TagText(ULONG tag);

// Outstanding allocations, optionally only those of one image.
std::vector<Allocation> Outstanding(std::string_view image = {});
// Outstanding allocations grouped by tag: "Wdm : 3 allocations, 420 bytes" per line; empty when none.
std::string LeakReport(std::string_view image = {});
// Verifier check at driver unload: a leak of `image` stops the machine.
void VerifyImageUnload(std::string_view image);

// Failure injection. FailNth(n): the n-th allocation from now (1-based) fails; with an
// image ("Q93Kus.sys") only that image's allocations count, so a walk over n reaches each
// allocation of one driver without failing the kernel's or another driver's on the way.
// FailOncePerCallSite: every distinct call site (optionally only in `image`) fails its
// first allocation after this call and succeeds afterwards.
void FailNth(unsigned long long n, std::string_view image = {});
// Memory that runs out and stays out: the n-th allocation of `image` from now and every
// later one of it fail until ClearFaults.
void FailFrom(unsigned long long n, std::string_view image);
void FailOncePerCallSite(bool enable, std::string_view image = {});
void ClearFaults();
// Number of allocations failed on purpose so far.
unsigned long long InjectedFailures();

}  // namespace sim::kernel::pool
