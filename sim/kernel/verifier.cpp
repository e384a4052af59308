// Bugcheck reports: what rule was broken, by which image and function, on which thread,
// at what virtual time; then the machine stops.
#include "verifier.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "internal.h"
#include "kernel.h"

namespace sim::kernel {
namespace {

std::mutex gImageLock;
std::map<const void*, std::string> gImages;
BugCheckHook gBugCheckHook = nullptr;

const char* BugCheckName(ULONG code) {
  switch (code) {
    case 0x09: return "IRQL_NOT_GREATER_OR_EQUAL";
    case 0x0A: return "IRQL_NOT_LESS_OR_EQUAL";
    case 0x0F: return "SPIN_LOCK_ALREADY_OWNED";
    case 0x10: return "SPIN_LOCK_NOT_OWNED";
    case 0x20: return "KERNEL_APC_PENDING_DURING_EXIT";
    case 0x35: return "NO_MORE_IRP_STACK_LOCATIONS";
    case 0x44: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case 0x4A: return "IRQL_GT_ZERO_AT_SYSTEM_SERVICE";
    case 0x9F: return "DRIVER_POWER_STATE_FAILURE";
    case 0xB8: return "ATTEMPTED_SWITCH_FROM_DPC";
    case 0xC2: return "BAD_POOL_CALLER";
    case 0xCE: return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case 0xC4: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case 0xD1: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case 0xE2: return "MANUALLY_INITIATED_CRASH";
    case 0x139: return "KERNEL_SECURITY_CHECK_FAILURE";
    default: return "BUGCHECK";
  }
}

}  // namespace

void RegisterImage(const void* moduleBase, const std::string& name) {
  std::lock_guard<std::mutex> g(gImageLock);
  gImages[moduleBase] = name;
}

void UnregisterImage(const void* moduleBase) {
  std::lock_guard<std::mutex> g(gImageLock);
  gImages.erase(moduleBase);
}

std::string ImageNameOf(const void* address) {
  Dl_info info{};
  if (!address || !dladdr(address, &info) || !info.dli_fname) return "?";
  {
    std::lock_guard<std::mutex> g(gImageLock);
    auto it = gImages.find(info.dli_fbase);
    if (it != gImages.end()) return it->second;
  }
  std::string path = info.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DescribeAddress(const void* address) {
  if (!address) return "?";
  std::string image = ImageNameOf(address);
  Dl_info info{};
  char buf[64];
  if (dladdr(address, &info) && info.dli_sname) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string sym = status == 0 && demangled ? demangled : info.dli_sname;
    free(demangled);
    snprintf(buf, sizeof buf, "+0x%lx", (unsigned long)((const char*)address - (const char*)info.dli_saddr));
    return image + "!" + sym + buf;
  }
  snprintf(buf, sizeof buf, "%p", address);
  return image + "!" + buf;
}

void SetBugCheckHook(BugCheckHook hook) { gBugCheckHook = hook; }

void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const char* rule,
              const void* callSite) {
  char head[256];
  snprintf(head, sizeof head, "*** STOP 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x%lX) %s\n", code, (unsigned long)p1,
           (unsigned long)p2, (unsigned long)p3, (unsigned long)p4, BugCheckName(code));
  std::string report = head;
  report += "    rule:      " + std::string(rule ? rule : "?") + "\n";
  report += "    driver:    " + (callSite ? ImageNameOf(callSite) : std::string("?")) + "\n";
  report += "    call site: " + DescribeAddress(callSite) + "\n";
  PKTHREAD t = CurrentThread();
  char line[160];
  snprintf(line, sizeof line, "    thread:    \"%s\" at IRQL %d\n    time:      %.6f s\n", t ? t->name.c_str() : "?",
           (int)CurrentIrql(), gSched.now / 1e7);
  report += line;
  if (gBugCheckHook) gBugCheckHook(report);
  fputs(report.c_str(), stderr);
  fflush(stderr);
  abort();
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  BugCheck(BugCheckCode, P1, P2, P3, P4, "KeBugCheckEx called by a driver", SIM_CALLER());
}

void NTAPI KeBugCheck(ULONG BugCheckCode) {
  BugCheck(BugCheckCode, 0, 0, 0, 0, "KeBugCheck called by a driver", SIM_CALLER());
}

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  if (!getenv("Q93K_DEBUG")) return 0;
  va_list ap;
  va_start(ap, Format);
  vfprintf(stderr, Format, ap);
  va_end(ap);
  return 0;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  if (!getenv("Q93K_DEBUG")) return 0;
  va_list ap;
  va_start(ap, Format);
  vfprintf(stderr, Format, ap);
  va_end(ap);
  return 0;
}

void NTAPI DbgBreakPoint(void) {
  BugCheck(kManuallyInitiatedCrash, 0, 0, 0, 0, "DbgBreakPoint", SIM_CALLER());
}

}  // extern "C"
