// What the hub's driver keeps behind its device objects: the root hub's own
// state (its FDO and the PDOs of its ports) and the record of each PDO, shared
// by the hub FDO, the PDO dispatch routines and the host-side RootHub.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <wdm.h>

#include "usb/host_controller.h"

namespace sim::usb {

struct PdoRecord;

struct HubState {
  HostController* hc = nullptr;
  std::mutex mu;
  bool closed = false;            // RootHub gone: port events are ignored
  bool removed = false;           // the hub's FDO got REMOVE_DEVICE
  std::function<void()> onRemoved;  // the PnP manager removed the hub on its own
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT fdo = nullptr;   // the root hub's FDO, attached to its root PDO
  PDEVICE_OBJECT lower = nullptr;
  // Every PDO the hub created and has not deleted, present on a port or not.
  std::vector<std::shared_ptr<PdoRecord>> pdos;
};

struct PdoRecord {
  std::mutex mu;
  std::weak_ptr<HubState> hub;
  HubPort* port = nullptr;  // not touched once `detached`
  int portNumber = 0;
  PDEVICE_OBJECT self = nullptr;
  DeviceIdentity identity;
  bool remoteWakeCapable = false;
  bool present = true;   // still on its port and reported in the hub's relations
  bool deleted = false;  // IoDeleteDevice done: the record outlives the device object
  bool reported = false; // named in a bus relations answer (guarded by HubState::mu)
  bool detached = false; // the RootHub went while the PDO was still held: no port any more
  DEVICE_POWER_STATE power = PowerDeviceD0;
  PIRP waitWake = nullptr;
};

// Device extensions: a pointer to the shared record, owned by the extension.
struct PdoExtension {
  ULONG signature;
  std::shared_ptr<PdoRecord>* record;
};
struct FdoExtension {
  ULONG signature;
  std::shared_ptr<HubState>* state;
};
inline constexpr ULONG kPdoSignature = 0x4F445055;  // "UPDO"
inline constexpr ULONG kFdoSignature = 0x4F444655;  // "UFDO"

// The PDO side (hub_pdo.cpp).
NTSTATUS PdoPnp(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS PdoPower(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS PdoInternalControl(PDEVICE_OBJECT pdo, PIRP irp);
// Creates the PDO of the device now enumerated on `port` and records it in the hub.
std::shared_ptr<PdoRecord> CreatePdo(const std::shared_ptr<HubState>& hub, HubPort& port);
// The device left its port (the hub already marked the record not present):
// the pending wait-wake ends. Call without the hub's lock.
void PdoDeparted(const std::shared_ptr<PdoRecord>& rec);
// Deletes a PDO whose device is gone (or whose hub is being removed).
void DeletePdo(const std::shared_ptr<PdoRecord>& rec);
// Cuts a PDO that outlives its RootHub off its port, which may go before the
// PnP manager removes the PDO.
void DetachPdo(const std::shared_ptr<PdoRecord>& rec);
PdoRecord* RecordOf(PDEVICE_OBJECT pdo);

}  // namespace sim::usb
