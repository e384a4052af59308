// The bus driver's data path with the phone: a mebibyte through the extra function of
// Q93Kus (mode 2, slot 1) in each direction, received with the bus's one 2048-byte read
// in flight and sent one 2048-byte write at a time. Reports bytes per second of virtual
// time and the CPU per MiB.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>

#include "channel.h"
#include "io.h"
#include "kernel.h"
#include "machine/machine.h"
#include "phone/q93k_phone.h"
#include "pnp.h"
#include "registry.h"
#include "usb/hub_pdo.h"

namespace {

constexpr size_t kMiB = 1 << 20;
constexpr ULONG kChunk = 2048;

// The bench thread waits on `done` (a synchronization event) in virtual time: set by each
// write's completion, and by the reception once `target` bytes arrived.
struct Counts {
  std::atomic<size_t> received{0};
  std::atomic<size_t> target{0};
  std::atomic<size_t> written{0};
  KEVENT done;
};

LONG NTAPI Received(PVOID context, PCHANNEL_BUFFER buffer) {
  auto* c = static_cast<Counts*>(context);
  if ((c->received += buffer->Length) >= c->target) KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
  ExFreePool(buffer);
  return 1;
}

LONG NTAPI Written(PVOID context, ULONG length) {
  auto* c = static_cast<Counts*>(context);
  c->written += length;
  KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
  return 1;
}

void Wait(Counts& c) { KeWaitForSingleObject(&c.done, Executive, KernelMode, FALSE, nullptr); }

LONG NTAPI Ignore(PVOID, ULONG) { return 1; }

// A booted PC with the bus driver in mode 2 and the extra function bound and started.
struct Bench {
  sim::machine::Machine machine;
  std::shared_ptr<sim::phone::Q93KPhone> phone = std::make_shared<sim::phone::Q93KPhone>();
  Counts counts;
  CHANNEL_BINDING record{};
  HANDLE handle = nullptr;
  bool ready = false;

  Bench() {
    machine.Boot();
    KeInitializeEvent(&counts.done, SynchronizationEvent, FALSE);
    std::string error;
    if (!machine.InstallInf(machine.PackageFile("RyleUsb/Q93Kus.inf"), &error) || !machine.Plug(phone)) return;
    sim::kernel::DeviceNode* bus = machine.Hub().DeviceNodeOf(0);
    sim::kernel::registry::SetDword(
        "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + bus->driverKey + "\\Parameters",
        "UsbMode", 2);
    if (sim::kernel::pnp::Disable(bus) != STATUS_SUCCESS || sim::kernel::pnp::Enable(bus) != STATUS_SUCCESS) return;
    record.Kind = CHANNEL_KIND_EXTRA;
    record.ExtraContext = &counts;
    record.ExtraDataReceived = Received;
    record.ExtraWriteComplete = Written;
    record.ExtraDeviceState = Ignore;
    if (sim::kernel::OpenFile("\\Device\\Q93KUsbDevice0", GENERIC_READ | GENERIC_WRITE, KernelMode, &record,
                              sizeof(record), &handle) != STATUS_SUCCESS) {
      return;
    }
    ready = record.ChannelStart(record.BusDevice, 0) == 1;
  }
  ~Bench() {
    if (ready) record.ChannelStop(record.BusDevice, 0);
    if (handle) sim::kernel::CloseHandle(handle);
    machine.Unplug();
    machine.Shutdown();
  }
};

void Report(benchmark::State& state, size_t moved, double virtualSeconds) {
  state.SetBytesProcessed(int64_t(moved));
  state.counters["virtual_B_per_s"] = virtualSeconds > 0 ? double(moved) / virtualSeconds : 0;
  state.counters["MiB"] = benchmark::Counter(double(moved) / kMiB);
}

void ChannelReceive(benchmark::State& state) {
  Bench b;
  if (!b.ready) {
    state.SkipWithError("the extra function could not be started");
    return;
  }
  size_t moved = 0;
  double virtualSeconds = 0;
  for (auto _ : state) {
    b.counts.received = 0;
    b.counts.target = kMiB;
    const ULONGLONG t0 = sim::kernel::Now();
    b.phone->withPeer(sim::phone::PeerId::Extra, [](sim::phone::RemotePeer& p) { p.setPattern(kMiB); });
    Wait(b.counts);
    virtualSeconds += double(sim::kernel::Now() - t0) / 1e7;
    moved += b.counts.received;
  }
  Report(state, moved, virtualSeconds);
}
BENCHMARK(ChannelReceive)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void ChannelSend(benchmark::State& state) {
  Bench b;
  if (!b.ready) {
    state.SkipWithError("the extra function could not be started");
    return;
  }
  b.phone->withPeer(sim::phone::PeerId::Extra, [](sim::phone::RemotePeer& p) { p.setSilent(); });
  size_t moved = 0;
  double virtualSeconds = 0;
  for (auto _ : state) {
    b.counts.written = 0;
    const ULONGLONG t0 = sim::kernel::Now();
    for (int i = 0; size_t(i) * kChunk < kMiB; i++) {
      auto* buffer = static_cast<PCHANNEL_BUFFER>(
          ExAllocatePoolWithTag(NonPagedPool, CHANNEL_BUFFER_HEADER_SIZE + kChunk, 0x68636E42 /* "Bnch" */));
      InitializeListHead(&buffer->Links);
      buffer->Length = kChunk;
      buffer->Offset = 0;
      memset(buffer->Data, i, kChunk);
      if (b.record.WriteExtra(b.record.BusDevice, buffer) != 1) {
        ExFreePool(buffer);
        state.SkipWithError("a write was refused");
        return;
      }
      Wait(b.counts);
    }
    virtualSeconds += double(sim::kernel::Now() - t0) / 1e7;
    moved += b.counts.written;
  }
  Report(state, moved, virtualSeconds);
}
BENCHMARK(ChannelSend)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
