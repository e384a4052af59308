// Inside a hub port: the attached device's pipes and their queues of
// transfers, shared by the URB intake, the frame engine and the PDO layer.
// Everything here is guarded by PortState::mu.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/host_controller.h"

namespace sim::usb {

struct Transfer;

struct Pipe {
  uintptr_t handle = 0;
  uint8_t address = 0;
  uint8_t interfaceNumber = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeControl;
  uint16_t maxPacket = 0;
  uint8_t interval = 1;
  ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  bool halted = false;
  uint64_t nextPoll = 0;  // first frame of the next interrupt poll
  std::deque<Transfer*> queue;
};

struct Transfer {
  uint64_t ticket = 0;
  PURB urb = nullptr;
  UrbDone done;
  Pipe* pipe = nullptr;  // the pipe it is queued on (the default pipe for control)
  bool control = false;
  bool in = false;
  bool shortOk = false;
  uint8_t* buffer = nullptr;
  ULONG length = 0;
  ULONG actual = 0;
  ULONG* lengthField = nullptr;  // where the URB reports the bytes moved
  uint64_t notBefore = 0;        // first frame it may use
  // Control transfers.
  SetupPacket setup = {};
  int stage = 0;  // 0 setup, 1 data, 2 status
  std::vector<uint8_t> answer;
  // Runs under the port lock once the status stage succeeded (applies a new
  // configuration or interface setting); its result becomes the URB status.
  std::function<USBD_STATUS(PortState&, std::vector<struct Completion>&)> onSuccess;
};

struct Completion {
  Transfer* transfer;
  USBD_STATUS usbd;
};

struct PortState {
  std::mutex mu;
  HostController* hc = nullptr;
  HubPort* port = nullptr;

  std::shared_ptr<UsbDeviceModel> device;
  bool connected = false;
  bool enabled = false;
  bool suspended = false;
  DeviceIdentity identity;
  uint8_t maxPacket0 = 64;
  std::vector<uint8_t> configDescriptor;  // as read at enumeration
  uint8_t configurationValue = 0;
  uintptr_t configurationHandle = 0;
  std::map<uint8_t, uintptr_t> interfaceHandles;  // by interface number
  std::map<uint8_t, uint8_t> altSettings;

  Pipe defaultPipe;
  std::map<uintptr_t, std::unique_ptr<Pipe>> pipes;  // by handle
  std::map<uint64_t, Transfer*> byTicket;
  uint64_t nextTicket = 1;
  uintptr_t nextHandle = 0;
  size_t bulkCursor = 0;  // round robin over bulk pipes

  PortCounters counters;
  std::atomic<const void*> attached{nullptr};  // the model, readable without mu
  std::atomic<bool> unplugRequested{false};
  std::atomic<bool> wakeRequested{false};
  std::function<void()> wakeHandler;
  void* pdo = nullptr;  // the PDO layer's record of this port's device

  uintptr_t NewHandle() { return nextHandle += 0x40; }
};

// The IRP status Windows reports beside a USBD status.
NTSTATUS NtStatusOf(USBD_STATUS status);

// Under mu: removes a queued transfer and records its completion.
void FinishLocked(PortState& s, Transfer* t, USBD_STATUS status, std::vector<Completion>& out);
// Under mu: every transfer of a pipe, or of the whole device, ends with `status`.
void FlushPipeLocked(PortState& s, Pipe& pipe, USBD_STATUS status, std::vector<Completion>& out);
void FlushAllLocked(PortState& s, USBD_STATUS status, std::vector<Completion>& out);
// Without mu: writes results into the URBs and calls their owners at DISPATCH_LEVEL.
void Deliver(std::vector<Completion>& done);
// Under mu: the next frame in which this port has work, or UINT64_MAX.
uint64_t NextDueFrameLocked(PortState& s);
// Under mu: runs one frame of the port's transfers.
void RunFrameLocked(PortState& s, uint64_t frame, uint64_t now, std::vector<Completion>& out);

}  // namespace sim::usb
