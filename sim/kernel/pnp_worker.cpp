// The PnP manager's system thread, which serialises all Plug and Play work as on Windows,
// and the power manager's thread, which dispatches power IRPs the per-device gate held back.
#include <deque>
#include <mutex>

#include "internal.h"
#include "kernel.h"
#include "io.h"
#include "pnp.h"
#include "nt/io.h"

namespace sim::kernel::pnp {
namespace {

class WorkQueue {
 public:
  explicit WorkQueue(const char* name) : name_(name) {}

  void Post(std::function<void()> fn) {
    EnsureRunning();
    {
      std::lock_guard<std::mutex> g(lock_);
      items_.push_back(std::move(fn));
    }
    KeReleaseSemaphore(&ready_, 0, 1, FALSE);
  }

  bool OnThread() { return running_ && thread_ == KeGetCurrentThread(); }
  bool Running() { return running_ && generation_ == gSched.generation; }

  void WaitIdle() {
    if (OnThread() || !running_) return;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Post([&] { KeSetEvent(&done, 0, FALSE); });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }

  void Stop() {
    if (!running_) return;
    if (generation_ == gSched.generation) {
      {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
      }
      KeReleaseSemaphore(&ready_, 0, 1, FALSE);
      KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
      ObDereferenceObject(thread_);
    }
    running_ = false;
    thread_ = nullptr;
    items_.clear();
  }

 private:
  void EnsureRunning() {
    if (running_ && generation_ == gSched.generation) return;
    // A machine booted again forgets the thread of the previous one.
    running_ = false;
    items_.clear();
    stop_ = false;
    generation_ = gSched.generation;
    KeInitializeSemaphore(&ready_, 0, 0x7fffffff);
    HANDLE h;
    PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &WorkQueue::Run, this);
    PVOID t = nullptr;
    ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &t, nullptr);
    ZwClose(h);
    thread_ = static_cast<PKTHREAD>(t);
    running_ = true;
  }

  static void Run(PVOID context) {
    auto* self = static_cast<WorkQueue*>(context);
    SetThreadName(self->name_);
    for (;;) {
      KeWaitForSingleObject(&self->ready_, Executive, KernelMode, FALSE, nullptr);
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> g(self->lock_);
        if (self->stop_ && self->items_.empty()) return;
        if (self->items_.empty()) continue;
        fn = std::move(self->items_.front());
        self->items_.pop_front();
      }
      fn();
    }
  }

  const char* name_;
  std::mutex lock_;
  std::deque<std::function<void()>> items_;
  KSEMAPHORE ready_;
  PKTHREAD thread_ = nullptr;
  bool running_ = false;
  bool stop_ = false;
  unsigned generation_ = 0;
};

WorkQueue gPnpQueue("PnP manager");
WorkQueue gPowerQueue("power manager");

}  // namespace

void RunOnPnpThread(const std::function<void()>& fn) {
  if (gPnpQueue.OnThread()) {
    fn();
    return;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  gPnpQueue.Post([&] {
    fn();
    KeSetEvent(&done, 0, FALSE);
  });
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void PostToPnpThread(std::function<void()> fn) { gPnpQueue.Post(std::move(fn)); }
void PostToPowerThread(std::function<void()> fn) { gPowerQueue.Post(std::move(fn)); }

void WaitIdle() {
  // Stacks waiting for their last handle get their chance too, so a caller that closed
  // handles and waits sees the removal even where no close notice arrived.
  if (gPnpQueue.Running()) gPnpQueue.Post([] { FinishSurpriseRemovals(); });
  // Work on one queue can post to the other; settle both twice over.
  // Work on one queue can post to the others; settle them all twice over (the I/O worker
  // finishes closes and the unload of drivers whose last device went).
  for (int i = 0; i < 2; i++) {
    gPnpQueue.WaitIdle();
    gPowerQueue.WaitIdle();
    io::WaitWorkerIdle();
  }
}

void StopThreads() {
  gPowerQueue.Stop();
  gPnpQueue.Stop();
}

}  // namespace sim::kernel::pnp
