// The controller's two simulated threads: the frame thread, which sleeps in
// virtual time until a port has work due and then runs that frame, and the hub
// worker, which tells the PnP manager about arrivals and departures so the
// frame thread never waits on a driver.
#include <wdm.h>

#include <deque>
#include <mutex>
#include <thread>

#include "internal.h"
#include "kernel.h"
#include "usb/port_state.h"

namespace sim::usb {

struct HostController::Impl {
  HostController& hc;
  KEVENT wake;
  KEVENT hubEvent;
  std::atomic<bool> stopping{false};
  std::thread frameThread, hubThread;
  std::mutex hubMu;
  std::deque<std::function<void()>> hubQueue;
  uint64_t lastFrame = UINT64_MAX;

  explicit Impl(HostController& h) : hc(h) {
    KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&hubEvent, SynchronizationEvent, FALSE);
    sim::kernel::NameObject(&wake, "usb frame wake");
    sim::kernel::NameObject(&hubEvent, "usb hub work");
  }

  uint64_t NextDue() {
    uint64_t due = UINT64_MAX;
    for (int i = 0; i < hc.PortCount(); ++i) {
      PortState& s = hc.Port(i).State();
      std::lock_guard lock(s.mu);
      due = std::min(due, NextDueFrameLocked(s));
    }
    return due;
  }

  void FrameLoop() {
    while (!stopping) {
      uint64_t due = NextDue();
      if (due == UINT64_MAX) {
        KeWaitForSingleObject(&wake, Executive, KernelMode, FALSE, nullptr);
        AfterFrame();
        continue;
      }
      if (lastFrame != UINT64_MAX && due <= lastFrame) due = lastFrame + 1;
      const uint64_t now = sim::kernel::Now();
      if (due * kFrameTime > now) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -LONGLONG(due * kFrameTime - now);
        KeWaitForSingleObject(&wake, Executive, KernelMode, FALSE, &timeout);
        AfterFrame();
        continue;
      }
      const uint64_t frame = now / kFrameTime;
      lastFrame = frame;
      for (int i = 0; i < hc.PortCount(); ++i) {
        PortState& s = hc.Port(i).State();
        std::vector<Completion> done;
        {
          std::lock_guard lock(s.mu);
          RunFrameLocked(s, frame, now, done);
        }
        Deliver(done);
      }
      AfterFrame();
    }
  }

  // Requests the device models made from inside a transaction, acted on once
  // no port lock is held.
  void AfterFrame() {
    for (int i = 0; i < hc.PortCount(); ++i) {
      HubPort& port = hc.Port(i);
      PortState& s = port.State();
      if (s.unplugRequested.exchange(false)) port.Unplug();
      if (s.wakeRequested.exchange(false)) {
        hc.PostHubWork([&port] {
          if (!port.Suspended()) return;
          port.Suspend(false);
          std::function<void()> handler;
          {
            std::lock_guard lock(port.State().mu);
            handler = port.State().wakeHandler;
          }
          if (handler) handler();
        });
      }
    }
  }

  void HubLoop() {
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard lock(hubMu);
        if (!hubQueue.empty()) {
          work = std::move(hubQueue.front());
          hubQueue.pop_front();
        } else if (stopping) {
          return;
        }
      }
      if (work) {
        work();
        continue;
      }
      KeWaitForSingleObject(&hubEvent, Executive, KernelMode, FALSE, nullptr);
    }
  }
};

HostController::HostController(int ports) : impl_(std::make_unique<Impl>(*this)) {
  for (int i = 0; i < ports; ++i) ports_.push_back(std::make_unique<HubPort>(*this, i));
  impl_->frameThread = sim::kernel::StartSimThread("usb frames", [this] { impl_->FrameLoop(); });
  impl_->hubThread = sim::kernel::StartSimThread("usb hub", [this] { impl_->HubLoop(); });
}

HostController::~HostController() {
  // Devices still attached leave first, so every URB in flight completes once.
  for (auto& p : ports_) p->Unplug();
  impl_->stopping = true;
  KeSetEvent(&impl_->wake, 0, FALSE);
  KeSetEvent(&impl_->hubEvent, 0, FALSE);
  sim::kernel::HostBlocking([this] {
    impl_->frameThread.join();
    impl_->hubThread.join();
  });
  ports_.clear();
}

ULONG HostController::FrameNumber() const { return ULONG(sim::kernel::Now() / kFrameTime); }

void HostController::SetPdoHooks(PdoHooks hooks) { hooks_ = std::move(hooks); }

void HostController::Kick() { KeSetEvent(&impl_->wake, 0, FALSE); }

void HostController::PostHubWork(std::function<void()> fn) {
  {
    std::lock_guard lock(impl_->hubMu);
    impl_->hubQueue.push_back(std::move(fn));
  }
  KeSetEvent(&impl_->hubEvent, 0, FALSE);
}

}  // namespace sim::usb
