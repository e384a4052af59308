// Fixture of the PnP and power tests of the driver class library: a booted kernel with the
// test driver image installed, one root-enumerated device on it, and helpers that open
// it, read and write through the I/O manager and send the PnP manager's requests.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "image.h"
#include "io.h"
#include "kernel_fixture.h"
#include "pnp.h"
#include "pnp_test_control.h"
#include "power.h"
#include "registry.h"

namespace pnpdev {

inline const char kService[] = "WdmPnpTest";
inline const char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WdmPnpTest";
inline const char kDeviceName[] = "\\Device\\WdmPnpTest0";

// A read or write in flight through the I/O manager.
struct Request {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  char buffer[16] = {};
  NTSTATUS issued = STATUS_PENDING;
  bool Finished() { return KeReadStateEvent(&done) != 0; }
  NTSTATUS Wait() {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
  }
};

class PnpDeviceFixture : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    ClearLog();
    control.Log = &PnpDeviceFixture::Append;
    control.ReadDelayMs = 0;
    control.PowerPolicy = control.QueryPowerPolicy = control.PowerHoldPolicy = control.GatePolicy =
        control.RemovalPolicy = kPnpTestKeep;
    control.ReadsServed = 0;
    sim::kernel::SetImageDirectory(Q93K_DRIVER_DIR);
    namespace reg = sim::kernel::registry;
    reg::SetString(kServiceKey, "ImagePath", "\\SystemRoot\\System32\\drivers\\WdmPnpTest.sys", REG_EXPAND_SZ);
    reg::SetDword(kServiceKey, "Type", 1);
    reg::SetDword(kServiceKey, "Start", 3);
    reg::SetQword(kServiceKey, "Control", (ULONGLONG)(ULONG_PTR)&control);
    sim::kernel::pnp::InstallDriverRecord(
        {"WDMPNPTEST", kService, "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "System", "Library test", "Test", {}, {}});
  }
  void TearDown() override {
    for (HANDLE h : handles) sim::kernel::CloseHandle(h);
    sim::kernel::pnp::Shutdown();
    BootedKernel::TearDown();
  }

  // Adds the device with the control's policies and waits until it started.
  void AddDevice() {
    node = sim::kernel::pnp::CreateRootDevice("WDMPNPTEST");
    sim::kernel::pnp::WaitIdle();
    ASSERT_EQ(node->state, sim::kernel::NodeState::Started);
    fdo = sim::kernel::FindDevice(kDeviceName);
    ASSERT_NE(fdo, nullptr);
  }

  HANDLE Open() {
    HANDLE h = nullptr;
    EXPECT_EQ(sim::kernel::OpenFile(kDeviceName, GENERIC_READ | GENERIC_WRITE, UserMode, nullptr, 0, &h),
              STATUS_SUCCESS);
    if (h) handles.push_back(h);
    return h;
  }
  void Close(HANDLE h) {
    std::erase(handles, h);
    sim::kernel::CloseHandle(h);
  }

  std::unique_ptr<Request> StartRead(HANDLE h) { return Start(h, false); }
  std::unique_ptr<Request> StartWrite(HANDLE h) { return Start(h, true); }
  std::unique_ptr<Request> Start(HANDLE h, bool write) {
    auto r = std::make_unique<Request>();
    KeInitializeEvent(&r->done, NotificationEvent, FALSE);
    ULONG_PTR n = 0;
    sim::kernel::AsyncIo async{&r->done, &r->iosb};
    r->issued = write ? sim::kernel::Write(h, r->buffer, sizeof r->buffer, nullptr, &n, async)
                      : sim::kernel::Read(h, r->buffer, sizeof r->buffer, nullptr, &n, async);
    return r;
  }

  // A PnP or power request to the device's stack as the PnP manager sends it.
  NTSTATUS Send(UCHAR major, UCHAR minor, SYSTEM_POWER_STATE s = PowerSystemUnspecified) {
    NTSTATUS status = STATUS_PENDING;
    sim::kernel::pnp::RunOnPnpThread([&] {
      status = sim::kernel::pnp::SendIrpAndWait(fdo, major, minor, [&](PIO_STACK_LOCATION l) {
                 if (major == IRP_MJ_POWER) {
                   l->Parameters.Power.Type = SystemPowerState;
                   l->Parameters.Power.State.SystemState = s;
                   l->Parameters.Power.ShutdownType = PowerActionSleep;
                 }
               }).Status;
    });
    return status;
  }
  NTSTATUS SendPnp(UCHAR minor) { return Send(IRP_MJ_PNP, minor); }

  DEVICE_POWER_STATE DeviceState() { return sim::kernel::power::DeviceState(fdo); }

  static void Append(PnpTestControl*, const char* event) {
    std::lock_guard<std::mutex> g(LogLock());
    Events().push_back(event);
  }
  static std::mutex& LogLock() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& Events() {
    static std::vector<std::string> v;
    return v;
  }
  static std::vector<std::string> Log() {
    std::lock_guard<std::mutex> g(LogLock());
    return Events();
  }
  static void ClearLog() {
    std::lock_guard<std::mutex> g(LogLock());
    Events().clear();
  }
  static int Count(const std::string& event) {
    int n = 0;
    for (auto& e : Log()) n += e == event;
    return n;
  }

  PnpTestControl control{};
  sim::kernel::DeviceNode* node = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  std::vector<HANDLE> handles;
};

}  // namespace pnpdev
