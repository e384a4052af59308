// Fixture of the AT driver's tests: a booted PC with RylePort/Q93Kpt.inf installed (by
// default without its COM-port filter), the fake bus presenting the AT child, and a client
// that opens "\Device\Q93KAtDevice0" in kernel mode with its own record and records the
// events and responses Q93Kat hands up.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "fake_bus_control.h"
#include "io.h"
#include "machine_fixture.h"
#include "pnp.h"
#include "registry.h"

namespace attest {

namespace reg = sim::kernel::registry;
namespace pnp = sim::kernel::pnp;

inline const char kAtDevice[] = "\\Device\\Q93KAtDevice0";
inline const std::string kFakeBusKey =
    std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + FAKE_BUS_SERVICE;
inline const std::string kAtRecord = std::string(pnp::kDriverDatabase) + "\\" + pnp::EscapeHardwareId(FAKE_BUS_CHILD_ID);
inline const char kPortsKey[] = "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

// The client's side of the record: what arrives from Q93Kat.
struct Client {
  CHANNEL_BINDING record{};
  std::mutex lock;
  std::vector<ULONG> events;
  std::string received;
  LONG eventResult = 1;

  static LONG NTAPI OnEvent(PVOID context, ULONG code) {
    auto* c = static_cast<Client*>(context);
    std::lock_guard<std::mutex> g(c->lock);
    c->events.push_back(code);
    return c->eventResult;
  }
  static LONG NTAPI OnReceive(PVOID context, PCHANNEL_BUFFER buffer, PULONG taken) {
    auto* c = static_cast<Client*>(context);
    std::lock_guard<std::mutex> g(c->lock);
    c->received.append(reinterpret_cast<const char*>(buffer->Data + buffer->Offset), buffer->Length);
    *taken = buffer->Length;
    return 1;
  }
  // A fresh record for an open, as the COM port fills it.
  void Prepare() {
    RtlZeroMemory(&record, sizeof(record));
    record.ClientContext = this;
    record.ClientEvent = OnEvent;
    record.ClientReceive = OnReceive;
  }
  std::vector<ULONG> Events() {
    std::lock_guard<std::mutex> g(lock);
    return events;
  }
  std::string Received() {
    std::lock_guard<std::mutex> g(lock);
    return received;
  }
};

class AtFixture : public sim::machine::testing::MachineFixture {
 protected:
  void SetUp() override {
    MachineFixture::SetUp();
    control.CreateStatus = STATUS_SUCCESS;
    control.StartResult = 1;
    KeInitializeSpinLock(&control.Lock);
    ASSERT_NO_FATAL_FAILURE(InstallAtDriver());
    reg::SetString(kFakeBusKey, "ImagePath", std::string("\\SystemRoot\\System32\\drivers\\") + FAKE_BUS_SERVICE + ".sys",
                   REG_EXPAND_SZ);
    reg::SetDword(kFakeBusKey, "Type", 1);
    reg::SetDword(kFakeBusKey, "Start", 3);
    reg::SetQword(kFakeBusKey, "Control", (ULONGLONG)(ULONG_PTR)&control);
  }
  void TearDown() override {
    for (HANDLE h : handles) sim::kernel::CloseHandle(h);
    handles.clear();
    MachineFixture::TearDown();
  }

  // The package's INF puts the COM port above Q93Kat; most tests open Q93Kat's device
  // with a record of their own, which would then reach the port first, so they drop the
  // filter from the installed record and have Q93Kat alone on the AT child.
  virtual bool WithComPort() { return false; }
  virtual void InstallAtDriver() {
    std::string error;
    ASSERT_TRUE(machine().InstallInf(machine().PackageFile("RylePort/Q93Kpt.inf"), &error)) << error;
    if (!WithComPort()) reg::DeleteValue(kAtRecord, "UpperFilters");
  }

  // The fake bus arrives and presents its AT child; Q93Kat starts on it.
  void Arrive() {
    busNode = pnp::CreateRootDevice(FAKE_BUS_ROOT_ID, FAKE_BUS_SERVICE);
    pnp::WaitIdle();
    ASSERT_NE(control.Child, nullptr);
    for (auto* n : pnp::Nodes())
      if (!pnp::StackOf(n).empty() && pnp::StackOf(n)[0] == control.Child) childNode = n;
    ASSERT_NE(childNode, nullptr);
    ASSERT_EQ(childNode->state, sim::kernel::NodeState::Started);
    ASSERT_NE(sim::kernel::FindDevice(kAtDevice), nullptr);
  }

  // Opens the AT device in kernel mode with the client's fresh record.
  NTSTATUS Open(Client& c, HANDLE* out = nullptr) {
    c.Prepare();
    HANDLE h = nullptr;
    NTSTATUS status = sim::kernel::OpenFile(kAtDevice, GENERIC_READ | GENERIC_WRITE, KernelMode, &c.record,
                                            sizeof(c.record), &h);
    if (h) handles.push_back(h);
    if (out) *out = h;
    return status;
  }
  void Close(HANDLE h) {
    std::erase(handles, h);
    sim::kernel::CloseHandle(h);
  }

  std::vector<ULONG> Chunks() {
    KIRQL irql;
    KeAcquireSpinLock(&control.Lock, &irql);
    std::vector<ULONG> v(control.ChunkLength, control.ChunkLength + control.ChunkCount);
    KeReleaseSpinLock(&control.Lock, irql);
    return v;
  }
  std::string BusData() {
    KIRQL irql;
    KeAcquireSpinLock(&control.Lock, &irql);
    std::string s(reinterpret_cast<const char*>(control.Data), control.DataLength);
    KeReleaseSpinLock(&control.Lock, irql);
    return s;
  }

  // The bus's callbacks into Q93Kat, with the context it recorded at binding.
  LONG CommandSent(ULONG length) { return control.AtCommandSent(control.AtContext, length); }
  LONG DeviceState(ULONG on) { return control.AtDeviceState(control.AtContext, on); }
  LONG LineEvent(ULONG code) { return control.AtLineEvent(control.AtContext, code); }
  LONG ResponseReceived(PCHANNEL_BUFFER b) { return control.AtResponseReceived(control.AtContext, b); }
  // The client's entries, through the record Q93Kat filled.
  static LONG Write(Client& c, const void* data, ULONG length) {
    return c.record.AtClientWrite(c.record.AtContext, const_cast<void*>(data), length);
  }

  FakeBusControl control{};
  sim::kernel::DeviceNode* busNode = nullptr;
  sim::kernel::DeviceNode* childNode = nullptr;
  std::vector<HANDLE> handles;
};

}  // namespace attest
