// A root hub port: attaching and enumerating a device model, detaching it
// with its transfers in flight, port status, reset, cycle and selective
// suspend, and the identity the hub gives the device's PDO.
#include <cstdio>
#include <cstring>

#include <wdm.h>

#include "kernel.h"
#include "phone/q93k_phone.h"
#include "usb/port_state.h"

namespace sim::usb {
namespace {

std::string Hex4(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
  return b;
}
std::string Hex2(unsigned v) {
  char b[4];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

Handshake Control(UsbDeviceModel& d, SetupPacket s, std::vector<uint8_t>& in) {
  return d.control(s, {}, in, sim::kernel::Now());
}

// A string descriptor as text; characters outside ASCII become '?'.
std::string ReadString(UsbDeviceModel& d, uint8_t index, bool* printable) {
  *printable = true;
  std::vector<uint8_t> in;
  if (index == 0 || Control(d, {0x80, USB_REQUEST_GET_DESCRIPTOR, uint16_t(0x0300 | index), 0x0409, 255}, in) !=
                        Handshake::Ack)
    return {};
  if (in.size() < 2 || in[1] != USB_STRING_DESCRIPTOR_TYPE) return {};
  const size_t n = std::min<size_t>(in.size(), in[0]);
  std::string text;
  for (size_t i = 2; i + 1 < n; i += 2) {
    const unsigned c = in[i] | in[i + 1] << 8;
    // The hub refuses serial numbers it could not put into an instance path.
    if (c < 0x20 || c > 0x7F || c == ',' || c == '\\') *printable = false;
    text.push_back(c < 0x80 ? char(c) : '?');
  }
  return text;
}

}  // namespace

HubPort::HubPort(HostController& hc, int number) : hc_(hc), number_(number), state_(std::make_unique<PortState>()) {
  state_->hc = &hc;
  state_->port = this;
  state_->defaultPipe.type = UsbdPipeTypeControl;
}

HubPort::~HubPort() {
  if (auto* phone = dynamic_cast<sim::phone::Q93KPhone*>(state_->device.get())) {
    phone->onUnplugRequest = nullptr;
    phone->onRemoteWakeup = nullptr;
  }
}

bool HubPort::Plug(std::shared_ptr<UsbDeviceModel> device) {
  PortState& s = *state_;
  if (!device) return false;
  {
    std::lock_guard lock(s.mu);
    if (s.device) return false;
  }
  // The phone asks to be unplugged and signals wake-up from inside its own
  // calls; the port only notes it and acts after the frame.
  if (auto* phone = dynamic_cast<sim::phone::Q93KPhone*>(device.get())) {
    PortState* st = &s;
    HostController* hc = &hc_;
    UsbDeviceModel* raw = device.get();
    // Called while the frame thread holds the port lock: no locking here.
    phone->onUnplugRequest = [st, hc, raw] {
      if (st->attached.load() != raw) return;
      st->unplugRequested = true;
      hc->Kick();
    };
    phone->onRemoteWakeup = [st, hc] {
      st->wakeRequested = true;
      hc->Kick();
    };
  }

  // Enumeration: reset, address, device, string and configuration descriptors.
  UsbDeviceModel& d = *device;
  d.busReset(sim::kernel::Now());
  std::vector<uint8_t> in;
  Control(d, {0x00, USB_REQUEST_SET_ADDRESS, uint16_t(number_ + 1), 0, 0}, in);
  DeviceIdentity id;
  bool enumerated = Control(d, {0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18}, in) == Handshake::Ack &&
                    in.size() >= sizeof(USB_DEVICE_DESCRIPTOR) && in[1] == USB_DEVICE_DESCRIPTOR_TYPE;
  std::vector<uint8_t> config;
  if (enumerated) {
    std::memcpy(&id.device, in.data(), sizeof id.device);
    bool printable = true;
    id.serialNumber = ReadString(d, id.device.iSerialNumber, &printable);
    if (!printable) id.serialNumber.clear();
    id.product = ReadString(d, id.device.iProduct, &printable);
    if (Control(d, {0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 0xFFFF}, in) == Handshake::Ack) config = in;

    const auto& dd = id.device;
    const std::string vidpid = "USB\\VID_" + Hex4(dd.idVendor) + "&PID_" + Hex4(dd.idProduct);
    id.deviceId = vidpid;
    id.hardwareIds = {vidpid + "&REV_" + Hex4(dd.bcdDevice), vidpid};
    // Class ids come from the device descriptor, or from the first interface
    // when the device leaves its class to the interfaces.
    uint8_t cls = dd.bDeviceClass, sub = dd.bDeviceSubClass, prot = dd.bDeviceProtocol;
    if (cls == 0 && config.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
      std::vector<uint8_t> copy = config;
      c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());
      c->wTotalLength = USHORT(std::min<size_t>(c->wTotalLength, copy.size()));
      if (auto* i = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1)) {
        cls = i->bInterfaceClass;
        sub = i->bInterfaceSubClass;
        prot = i->bInterfaceProtocol;
      }
    }
    id.compatibleIds = {"USB\\Class_" + Hex2(cls) + "&SubClass_" + Hex2(sub) + "&Prot_" + Hex2(prot),
                        "USB\\Class_" + Hex2(cls) + "&SubClass_" + Hex2(sub), "USB\\Class_" + Hex2(cls)};
    id.uniqueId = !id.serialNumber.empty();
    // Without a serial number the instance is named after the port it sits in.
    id.instanceId = id.uniqueId ? id.serialNumber : "5&2F1D5A3C&0&" + std::to_string(number_ + 1);
  }
  {
    std::lock_guard lock(s.mu);
    s.device = device;
    s.attached = device.get();
    s.connected = true;
    s.enabled = enumerated;
    s.suspended = false;
    s.identity = id;
    s.maxPacket0 = enumerated && id.device.bMaxPacketSize0 ? id.device.bMaxPacketSize0 : 8;
    s.defaultPipe.maxPacket = s.maxPacket0;
    s.configDescriptor = config;
    s.configurationValue = 0;
    s.configurationHandle = 0;
    s.interfaceHandles.clear();
    s.altSettings.clear();
    s.pipes.clear();
  }
  if (enumerated && hc_.Hooks().arrived) hc_.PostHubWork([this] { hc_.Hooks().arrived(*this); });
  return true;
}

void HubPort::Unplug() {
  PortState& s = *state_;
  std::vector<Completion> done;
  bool hadPdo = false;
  {
    std::lock_guard lock(s.mu);
    if (!s.device) return;
    FlushAllLocked(s, USBD_STATUS_DEVICE_GONE, done);
    s.pipes.clear();
    s.connected = false;
    s.enabled = false;
    s.suspended = false;
    s.configurationValue = 0;
    s.configurationHandle = 0;
    s.device.reset();
    s.attached = nullptr;
    hadPdo = s.pdo != nullptr;
  }
  Deliver(done);
  if (hadPdo && hc_.Hooks().departed) hc_.PostHubWork([this] { hc_.Hooks().departed(*this); });
}

bool HubPort::Connected() const {
  std::lock_guard lock(state_->mu);
  return state_->connected;
}

std::shared_ptr<UsbDeviceModel> HubPort::Device() const {
  std::lock_guard lock(state_->mu);
  return state_->device;
}

DeviceIdentity HubPort::Identity() const {
  std::lock_guard lock(state_->mu);
  return state_->identity;
}

ULONG HubPort::PortStatus() const {
  std::lock_guard lock(state_->mu);
  return (state_->connected ? USBD_PORT_CONNECTED : 0) | (state_->enabled ? USBD_PORT_ENABLED : 0);
}

NTSTATUS HubPort::ResetPort() {
  PortState& s = *state_;
  std::vector<Completion> done;
  std::shared_ptr<UsbDeviceModel> dev;
  uint8_t config;
  std::map<uint8_t, uint8_t> alts;
  {
    std::lock_guard lock(s.mu);
    if (!s.connected) return STATUS_DEVICE_NOT_CONNECTED;
    FlushAllLocked(s, USBD_STATUS_CANCELED, done);
    for (auto& [h, p] : s.pipes) p->halted = false;
    dev = s.device;
    config = s.configurationValue;
    alts = s.altSettings;
    s.suspended = false;
  }
  Deliver(done);
  // The hub restores the address and the configuration the client selected,
  // so its pipe handles stay valid.
  std::vector<uint8_t> in;
  dev->busReset(sim::kernel::Now());
  Control(*dev, {0x00, USB_REQUEST_SET_ADDRESS, uint16_t(number_ + 1), 0, 0}, in);
  if (config) {
    Control(*dev, {0x00, USB_REQUEST_SET_CONFIGURATION, config, 0, 0}, in);
    for (auto [number, alt] : alts)
      if (alt) Control(*dev, {0x01, USB_REQUEST_SET_INTERFACE, alt, number, 0}, in);
  }
  return STATUS_SUCCESS;
}

NTSTATUS HubPort::CyclePort() {
  std::shared_ptr<UsbDeviceModel> dev = Device();
  if (!dev) return STATUS_SUCCESS;
  Unplug();
  hc_.PostHubWork([this, dev] { Plug(dev); });
  return STATUS_SUCCESS;
}

void HubPort::Suspend(bool on) {
  PortState& s = *state_;
  std::shared_ptr<UsbDeviceModel> dev;
  {
    std::lock_guard lock(s.mu);
    if (!s.device || s.suspended == on) return;
    s.suspended = on;
    dev = s.device;
  }
  dev->suspend(on, sim::kernel::Now());
  hc_.Kick();
}

bool HubPort::Suspended() const {
  std::lock_guard lock(state_->mu);
  return state_->suspended;
}

void HubPort::SetRemoteWakeHandler(std::function<void()> handler) {
  std::lock_guard lock(state_->mu);
  state_->wakeHandler = std::move(handler);
}

PortCounters HubPort::Counters() const {
  std::lock_guard lock(state_->mu);
  return state_->counters;
}

}  // namespace sim::usb
