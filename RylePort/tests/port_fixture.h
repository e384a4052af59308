// Fixture of the port's tests: a booted kernel with Q93Ksw installed as the upper filter
// of a root-enumerated device whose function driver is the fake control driver, and
// helpers that open the port by its COM name and move data as an application does.
#pragma once

#include <ntddser.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_control.h"
#include "image.h"
#include "io.h"
#include "kernel_fixture.h"
#include "pnp.h"
#include "registry.h"

namespace porttest {

inline const char kServices[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
inline const char kHardwareId[] = "Q93KSWFAKE";
inline const char kComPortGuid[] = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
inline const char kSerialComm[] = "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

// A read or write in flight from an application thread.
struct Request {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  std::vector<UCHAR> buffer;
  NTSTATUS issued = STATUS_PENDING;
  bool Finished() { return KeReadStateEvent(&done) != 0; }
  NTSTATUS Wait() {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
  }
  std::string Text() { return std::string(buffer.begin(), buffer.begin() + iosb.Information); }
};

class PortFixture : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    sim::kernel::SetImageDirectory(Q93K_DRIVER_DIR);
    control.RaiseCtsOnOpen = TRUE;
    control.Echo = TRUE;
    namespace reg = sim::kernel::registry;
    std::string port = std::string(kServices) + "Q93Ksw";
    reg::SetString(port, "ImagePath", "\\SystemRoot\\System32\\drivers\\Q93Ksw.sys", REG_EXPAND_SZ);
    reg::SetDword(port, "Type", 1);
    reg::SetDword(port, "Start", 3);
    std::string fake = std::string(kServices) + "Q93KswFake";
    reg::SetString(fake, "ImagePath", "\\SystemRoot\\System32\\drivers\\Q93KswFake.sys", REG_EXPAND_SZ);
    reg::SetDword(fake, "Type", 1);
    reg::SetDword(fake, "Start", 3);
    reg::SetQword(fake, "Control", (ULONGLONG)(ULONG_PTR)&control);
    sim::kernel::pnp::InstallDriverRecord({kHardwareId, "Q93KswFake", "{4D36E978-E325-11CE-BFC1-08002BE10318}",
                                           "Ports", "Fake phone port", "Test", {}, {"Q93Ksw"}});
    SetPortName("COM7");
  }
  void TearDown() override {
    // Requests completed at DISPATCH_LEVEL drop their file reference on the I/O worker a
    // moment later; the close must reach the port before the machine goes.
    sim::kernel::Sleep(5);
    for (HANDLE h : handles) sim::kernel::CloseHandle(h);
    sim::kernel::Sleep(5);
    sim::kernel::pnp::Shutdown();
    BootedKernel::TearDown();
  }

  // The name the next plugged device gets in its Device Parameters.
  static void SetPortName(const std::string& name) {
    sim::kernel::registry::SetString(std::string(sim::kernel::pnp::kDriverDatabase) + "\\" + kHardwareId + "\\Device",
                                     "PortName", name);
  }

  sim::kernel::DeviceNode* Plug() {
    auto* node = sim::kernel::pnp::CreateRootDevice(kHardwareId);
    sim::kernel::pnp::WaitIdle();
    EXPECT_EQ(node->state, sim::kernel::NodeState::Started);
    return node;
  }

  NTSTATUS TryOpen(HANDLE* h, const std::string& name = "\\??\\COM7") {
    *h = nullptr;
    NTSTATUS status = sim::kernel::OpenFile(name, GENERIC_READ | GENERIC_WRITE, UserMode, nullptr, 0, h);
    if (*h) handles.push_back(*h);
    return status;
  }
  HANDLE Open(const std::string& name = "\\??\\COM7") {
    HANDLE h;
    EXPECT_EQ(TryOpen(&h, name), STATUS_SUCCESS);
    return h;
  }
  void Close(HANDLE h) {
    std::erase(handles, h);
    sim::kernel::Sleep(5);
    sim::kernel::CloseHandle(h);
    sim::kernel::Sleep(5);
  }

  NTSTATUS Control(HANDLE h, ULONG code, const void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0,
                   ULONG_PTR* info = nullptr) {
    ULONG_PTR n = 0;
    NTSTATUS status = sim::kernel::DeviceIoControl(h, code, in, inLength, out, outLength, &n);
    if (info) *info = n;
    return status;
  }
  NTSTATUS SetTimeouts(HANDLE h, ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier = 0,
                       ULONG writeConstant = 0) {
    SERIAL_TIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
    return Control(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
  }
  NTSTATUS Purge(HANDLE h, ULONG mask) { return Control(h, IOCTL_SERIAL_PURGE, &mask, sizeof mask); }

  std::unique_ptr<Request> StartRead(HANDLE h, ULONG length) {
    auto r = std::make_unique<Request>();
    r->buffer.resize(length);
    KeInitializeEvent(&r->done, NotificationEvent, FALSE);
    ULONG_PTR n = 0;
    r->issued = sim::kernel::Read(h, r->buffer.data(), length, nullptr, &n, {&r->done, &r->iosb});
    return r;
  }
  std::unique_ptr<Request> StartWrite(HANDLE h, const std::vector<UCHAR>& data) {
    auto r = std::make_unique<Request>();
    r->buffer = data;
    KeInitializeEvent(&r->done, NotificationEvent, FALSE);
    ULONG_PTR n = 0;
    r->issued = sim::kernel::Write(h, r->buffer.data(), (ULONG)data.size(), nullptr, &n, {&r->done, &r->iosb});
    return r;
  }
  std::unique_ptr<Request> StartWrite(HANDLE h, const std::string& text) {
    return StartWrite(h, std::vector<UCHAR>(text.begin(), text.end()));
  }

  // Bytes from the phone's side, as the control driver hands them up. Returns the count taken.
  ULONG Receive(const std::string& bytes) {
    std::vector<UCHAR> raw(CHANNEL_BUFFER_HEADER_SIZE + bytes.size());
    auto* buffer = reinterpret_cast<PCHANNEL_BUFFER>(raw.data());
    buffer->Length = (ULONG)bytes.size();
    buffer->Offset = 0;
    memcpy(buffer->Data, bytes.data(), bytes.size());
    ULONG taken = 0;
    PCHANNEL_BINDING b = control.Binding;
    EXPECT_NE(b, nullptr);
    if (b) b->ClientReceive(b->ClientContext, buffer, &taken);
    return taken;
  }
  void Event(ULONG code) {
    PCHANNEL_BINDING b = control.Binding;
    if (b) b->ClientEvent(b->ClientContext, code);
  }

  FakeControl control{};
  std::vector<HANDLE> handles;
};

}  // namespace porttest
