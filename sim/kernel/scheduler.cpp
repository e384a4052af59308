// The scheduler of the simulated PC: counts the simulated threads that can run, and when
// none can, moves the virtual clock to the next due timer or timed wait, or reports a
// deadlock with every thread's wait.
#include <cstdio>
#include <cstdlib>
#include <map>

#include "internal.h"
#include "kernel.h"
#include "verifier.h"

namespace sim::kernel {

std::mutex gDispatcher;
Scheduler gSched;

namespace {

DeadlockHook gDeadlockHook = nullptr;
std::map<const void*, std::string> gObjectNames;

const char* ObjectKind(const void* object) {
  auto* h = static_cast<const DISPATCHER_HEADER*>(object);
  switch (h->Type) {
    case EventNotificationObject: return "notification event";
    case EventSynchronizationObject: return "synchronization event";
    case MutantObject: return "mutex";
    case SemaphoreObject: return "semaphore";
    case ThreadObject: return "thread";
    case TimerNotificationObject:
    case TimerSynchronizationObject: return "timer";
    default: return "object";
  }
}

std::string DescribeWaitLocked(PKTHREAD t) {
  if (!t->blocked) return "running";
  WaitState* w = t->wait;
  if (!w) return "blocked (host operation)";
  std::string s;
  if (w->what) {
    s = w->what;
  } else {
    s = w->count > 1 ? (w->type == WaitAll ? "waits for all of " : "waits for any of ") : "waits for ";
    for (ULONG i = 0; i < w->count; i++) {
      if (i) s += ", ";
      char buf[96];
      auto it = gObjectNames.find(w->objects[i]);
      if (it != gObjectNames.end())
        snprintf(buf, sizeof buf, "%s \"%s\"", ObjectKind(w->objects[i]), it->second.c_str());
      else
        snprintf(buf, sizeof buf, "%s %p", ObjectKind(w->objects[i]), w->objects[i]);
      s += buf;
      if (static_cast<DISPATCHER_HEADER*>(w->objects[i])->Type == ThreadObject)
        s += " (\"" + static_cast<PKTHREAD>(w->objects[i])->name + "\")";
    }
  }
  if (w->hasDeadline) {
    char buf[64];
    snprintf(buf, sizeof buf, " until %.6f s", w->deadline / 1e7);
    s += buf;
  } else {
    s += ", no time limit";
  }
  if (w->site) s += " at " + DescribeAddress(w->site);
  return s;
}

std::string DeadlockReportLocked() {
  std::string r = "*** DEADLOCK: every simulated thread is blocked and nothing is due\n";
  char buf[64];
  snprintf(buf, sizeof buf, "    time: %.6f s\n", gSched.now / 1e7);
  r += buf;
  for (PKTHREAD t : gSched.threads) {
    if (!t->registered) continue;
    r += "    thread \"" + t->name + "\": " + DescribeWaitLocked(t) + "\n";
  }
  return r;
}

// Moves the clock to the earliest due item until some thread can run.
void AdvanceLocked() {
  while (gSched.registered > 0 && gSched.blocked >= gSched.registered) {
    ULONGLONG due = ~0ull;
    if (!gSched.timers.empty()) due = gSched.timers.begin()->first;
    if (!gSched.deadlines.empty()) due = std::min(due, gSched.deadlines.begin()->first);
    if (due == ~0ull) {
      // A thread in a host operation may be released from outside the machine.
      if (gSched.hostBlocked > 0) return;
      std::string report = DeadlockReportLocked();
      if (gDeadlockHook) gDeadlockHook(report);
      fputs(report.c_str(), stderr);
      fflush(stderr);
      abort();
    }
    if (gSched.wallClock) return;  // the wall-clock thread moves time in this mode
    if (due > gSched.now) gSched.now = due;
    ExpireDueLocked();
  }
}

}  // namespace

void RegisterThreadLocked(PKTHREAD t) {
  if (t->registered) return;
  t->registered = true;
  t->generation = gSched.generation;
  gSched.threads.insert(t);
  gSched.registered++;
  if (t->blocked) gSched.blocked++;
}

void UnregisterThreadLocked(PKTHREAD t) {
  if (!t->registered) return;
  t->registered = false;
  gSched.threads.erase(t);
  gSched.registered--;
  if (t->blocked) gSched.blocked--;
  if (gSched.booted) AdvanceLocked();
}

void MarkBlockedLocked(PKTHREAD t) {
  if (t->blocked) return;
  t->blocked = true;
  if (t->registered) {
    gSched.blocked++;
    AdvanceLocked();
  }
}

void MarkRunnableLocked(PKTHREAD t) {
  if (t->blocked) {
    t->blocked = false;
    if (t->registered) gSched.blocked--;
  }
  if (t->wait && t->wait->hasDeadline) gSched.deadlines.erase({t->wait->deadline, t});
  t->cv.notify_one();
}

void BlockLocked(std::unique_lock<std::mutex>& lock, PKTHREAD t) {
  if (t->wait->hasDeadline) gSched.deadlines.insert({t->wait->deadline, t});
  MarkBlockedLocked(t);
  while (t->wait->result == STATUS_PENDING) t->cv.wait(lock);
  // A result set by a signaller already made the thread runnable.
  if (t->blocked) MarkRunnableLocked(t);
}

void SetDeadlockHook(DeadlockHook hook) { gDeadlockHook = hook; }

void NameObject(const void* object, const char* name) {
  std::lock_guard<std::mutex> g(gDispatcher);
  gObjectNames[object] = name;
}

ULONGLONG Now() {
  std::lock_guard<std::mutex> g(gDispatcher);
  return gSched.now;
}

double NowSeconds() { return Now() / 1e7; }

ULONGLONG SystemTimeAtBoot() { return gSched.systemTimeBase; }

std::vector<ThreadInfo> Threads() {
  std::lock_guard<std::mutex> g(gDispatcher);
  std::vector<ThreadInfo> out;
  for (PKTHREAD t : gSched.threads)
    out.push_back({t->name, t->priority, t->systemThread, t->blocked, DescribeWaitLocked(t)});
  return out;
}

std::string DescribeThreads() {
  std::string s;
  for (const ThreadInfo& t : Threads()) {
    char buf[64];
    snprintf(buf, sizeof buf, " (priority %d%s): ", (int)t.priority, t.systemThread ? ", system" : "");
    s += "thread \"" + t.name + "\"" + buf + t.wait + "\n";
  }
  return s;
}

void HostBlocking(const std::function<void()>& fn) {
  PKTHREAD t = CurrentThread();
  {
    std::unique_lock<std::mutex> lock(gDispatcher);
    gSched.hostBlocked++;
    MarkBlockedLocked(t);
  }
  fn();
  std::unique_lock<std::mutex> lock(gDispatcher);
  gSched.hostBlocked--;
  if (t->blocked) MarkRunnableLocked(t);
}

void ClearObjectNames() {
  std::lock_guard<std::mutex> g(gDispatcher);
  gObjectNames.clear();
}

}  // namespace sim::kernel
