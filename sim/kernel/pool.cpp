// Executive pool: tagged allocations tracked with their image and call site, the pool
// rules of the verifier (IRQL, tag, double free), leak reports and failure injection.
#include "pool.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "internal.h"
#include "kernel.h"
#include "verifier.h"

namespace sim::kernel::pool {
namespace {

struct Record {
  size_t size;
  ULONG tag;
  int type;
  const void* site;
};

std::mutex gPoolLock;
std::unordered_map<const void*, Record> gLive;
unsigned long long gCount = 0;
unsigned long long gFailAt = 0;
// FailNth restricted to one image (and FailFrom): its allocations still to go before the
// failing one, and whether every one after it fails too.
std::string gFailNthImage;
unsigned long long gFailNthLeft = 0;
bool gFailNthLasting = false;
bool gFailPerSite = false;
std::string gFailImage;
std::set<const void*> gFailedSites;
unsigned long long gInjected = 0;

bool IsPaged(int type) { return (type & 1) != 0 && type != NonPagedPoolNx; }

bool ShouldFail(const void* site) {
  gCount++;
  if (gFailAt && gCount == gFailAt) {
    gFailAt = 0;
    return true;
  }
  if (gFailNthLeft && ImageNameOf(site) == gFailNthImage) {
    if (gFailNthLeft == 1 && gFailNthLasting) return true;
    if (--gFailNthLeft == 0) return true;
  }
  if (gFailPerSite && !gFailedSites.count(site)) {
    if (!gFailImage.empty() && ImageNameOf(site) != gFailImage) return false;
    gFailedSites.insert(site);
    return true;
  }
  return false;
}

}  // namespace

std::string TagText(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; i++) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return s;
}

void* Allocate(int type, size_t size, ULONG tag, const void* site) {
  KIRQL irql = CurrentIrql();
  if (IsPaged(type) && irql > APC_LEVEL)
    BugCheck(kBadPoolCaller, 0x08, irql, (ULONG_PTR)type, size, "paged pool allocated above APC_LEVEL", site);
  if (irql > DISPATCH_LEVEL)
    BugCheck(kBadPoolCaller, 0x09, irql, (ULONG_PTR)type, size, "pool allocated above DISPATCH_LEVEL", site);
  if (tag == 0)
    BugCheck(kBadPoolCaller, 0x9B, (ULONG_PTR)type, size, 0, "pool allocated with a zero tag", site);
  std::lock_guard<std::mutex> g(gPoolLock);
  if (ShouldFail(site)) {
    gInjected++;
    return nullptr;
  }
  void* p = malloc(size ? size : 1);
  if (!p) return nullptr;
  // Fresh pool is not zeroed on Windows; fill it so code that forgets to initialise shows it.
  memset(p, 0xCD, size);
  gLive[p] = Record{size, tag, type, site};
  return p;
}

void Free(void* p, ULONG tag, bool checkTag, const void* site) {
  if (!p) BugCheck(kBadPoolCaller, 0x46, 0, 0, 0, "free of a null pool pointer", site);
  KIRQL irql = CurrentIrql();
  Record r;
  {
    std::lock_guard<std::mutex> g(gPoolLock);
    auto it = gLive.find(p);
    if (it == gLive.end())
      BugCheck(kBadPoolCaller, 0x07, 0, (ULONG_PTR)p, 0, "pool freed twice or never allocated", site);
    r = it->second;
    if (checkTag && r.tag != tag)
      BugCheck(kBadPoolCaller, 0x0A, (ULONG_PTR)p, r.tag, tag, "pool freed with a wrong tag", site);
    if (irql > DISPATCH_LEVEL || (IsPaged(r.type) && irql > APC_LEVEL))
      BugCheck(kBadPoolCaller, 0x0B, irql, (ULONG_PTR)p, 0, "pool freed at too high an IRQL", site);
    gLive.erase(it);
  }
  memset(p, 0xDD, r.size);
  free(p);
}

std::vector<Allocation> Outstanding(std::string_view image) {
  std::vector<std::pair<const void*, Record>> copy;
  {
    std::lock_guard<std::mutex> g(gPoolLock);
    copy.assign(gLive.begin(), gLive.end());
  }
  std::vector<Allocation> out;
  for (auto& [p, r] : copy) {
    std::string img = ImageNameOf(r.site);
    if (!image.empty() && img != image) continue;
    out.push_back(Allocation{p, r.size, r.tag, r.type, img, r.site});
  }
  return out;
}

std::string LeakReport(std::string_view image) {
  std::map<std::string, std::pair<size_t, size_t>> byTag;
  std::map<std::string, std::string> firstSite;
  for (const Allocation& a : Outstanding(image)) {
    auto& e = byTag[TagText(a.tag)];
    e.first++;
    e.second += a.size;
    if (!firstSite.count(TagText(a.tag))) firstSite[TagText(a.tag)] = DescribeAddress(a.site);
  }
  std::string s;
  for (auto& [tag, e] : byTag) {
    char buf[128];
    snprintf(buf, sizeof buf, "'%s': %zu allocation%s, %zu bytes, e.g. from ", tag.c_str(), e.first,
             e.first == 1 ? "" : "s", e.second);
    s += buf + firstSite[tag] + "\n";
  }
  return s;
}

void VerifyImageUnload(std::string_view image) {
  auto leaks = Outstanding(image);
  if (leaks.empty()) return;
  std::string rule = "pool leaked by " + std::string(image) + " at unload:\n" + LeakReport(image);
  BugCheck(kDriverVerifierDetectedViolation, 0x62, (ULONG_PTR)leaks.size(), leaks[0].tag, (ULONG_PTR)leaks[0].address,
           rule.c_str(), leaks[0].site);
}

void FailNth(unsigned long long n, std::string_view image) {
  std::lock_guard<std::mutex> g(gPoolLock);
  gFailAt = 0;
  gFailNthLeft = 0;
  gFailNthLasting = false;
  gFailNthImage = std::string(image);
  if (image.empty()) gFailAt = n ? gCount + n : 0;
  else gFailNthLeft = n;
}

void FailFrom(unsigned long long n, std::string_view image) {
  std::lock_guard<std::mutex> g(gPoolLock);
  gFailAt = 0;
  gFailNthImage = std::string(image);
  gFailNthLeft = image.empty() ? 0 : n;
  gFailNthLasting = true;
}

void FailOncePerCallSite(bool enable, std::string_view image) {
  std::lock_guard<std::mutex> g(gPoolLock);
  gFailPerSite = enable;
  gFailImage = std::string(image);
  gFailedSites.clear();
}

void ClearFaults() {
  std::lock_guard<std::mutex> g(gPoolLock);
  gFailAt = 0;
  gFailNthLeft = 0;
  gFailNthLasting = false;
  gFailNthImage.clear();
  gFailPerSite = false;
  gFailImage.clear();
  gFailedSites.clear();
}

unsigned long long InjectedFailures() {
  std::lock_guard<std::mutex> g(gPoolLock);
  return gInjected;
}

}  // namespace sim::kernel::pool

namespace sim::kernel {

void ResetPool() {
  std::lock_guard<std::mutex> g(pool::gPoolLock);
  for (auto& [p, r] : pool::gLive) free(const_cast<void*>(p));
  pool::gLive.clear();
  pool::gCount = 0;
  pool::gFailAt = 0;
  pool::gFailNthLeft = 0;
  pool::gFailNthLasting = false;
  pool::gFailNthImage.clear();
  pool::gFailPerSite = false;
  pool::gFailedSites.clear();
  pool::gInjected = 0;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return pool::Allocate(PoolType, NumberOfBytes, Tag, SIM_CALLER());
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return pool::Allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, SIM_CALLER());
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { pool::Free(P, Tag, true, SIM_CALLER()); }

void NTAPI ExFreePool(PVOID P) { pool::Free(P, 0, false, SIM_CALLER()); }

}  // extern "C"
