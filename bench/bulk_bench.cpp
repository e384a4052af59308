// The bulk path of the simulated USB host: a dialed modem call pulling a
// mebibyte through the bulk IN pipe with two reads in flight. Reports bytes
// per second of virtual time (the full-speed model) and the CPU per MiB.
#include <benchmark/benchmark.h>

#include "kernel.h"
#include "phone/q93k_phone.h"
#include "usb/host_controller.h"
#include "usb/testing/urb_client.h"

namespace {

using namespace sim;
using sim::usb::testing::Bytes;
using sim::usb::testing::PendingUrb;

void BulkIn(benchmark::State& state) {
  constexpr size_t kMiB = 1 << 20;
  kernel::Boot();
  double virtualSeconds = 0;
  size_t moved = 0;
  {
    usb::HostController hc;
    auto phone = std::make_shared<phone::Q93KPhone>();
    hc.Port().Plug(phone);
    usb::testing::UrbClient client(hc.Port());
    Bytes config;
    client.ReadConfiguration(config);
    client.SelectConfiguration(config, 4096);
    client.VendorOut(phone::kActivateRequest, phone::function_code::kModem, phone::layout::kModemControl);
    client.Notification(phone::layout::kModemNotify, phone::kNotifyVendorReply);
    const Bytes dial = {'A', 'T', 'D', '1', '\r'};
    client.Write(phone::layout::kModemBulkOut, dial);
    client.ReadUntil(phone::layout::kModemBulkIn, "CONNECT 115200\r\n");

    for (auto _ : state) {
      phone->withPeer(phone::PeerId::Modem, [](phone::RemotePeer& p) { p.setPattern(kMiB); });
      const ULONGLONG t0 = kernel::Now();
      PendingUrb reads[2];
      auto start = [&](PendingUrb& r) {
        r.buffer.assign(4096, 0);
        UsbBuildInterruptOrBulkTransferRequest(&r.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               client.Pipe(phone::layout::kModemBulkIn), r.buffer.data(), nullptr,
                                               4096, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        client.Start(r);
      };
      start(reads[0]);
      start(reads[1]);
      size_t got = 0;
      for (int i = 0; got < kMiB; i ^= 1) {
        if (client.Wait(reads[i], 5000) != STATUS_SUCCESS) break;
        got += reads[i].urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (got < kMiB) start(reads[i]);
      }
      for (auto& r : reads)
        if (r.completions == 0) client.Wait(r);
      virtualSeconds += double(kernel::Now() - t0) / 1e7;
      moved += got;
    }
  }
  kernel::Shutdown();
  state.SetBytesProcessed(int64_t(moved));
  state.counters["virtual_B_per_s"] = virtualSeconds > 0 ? double(moved) / virtualSeconds : 0;
  state.counters["MiB"] = benchmark::Counter(double(moved) / (1 << 20));
}
BENCHMARK(BulkIn)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
