// The PDO of a device on a hub port: its PnP answers (ids, text, capabilities,
// relations, bus information, removal that keeps the PDO while the device is
// still attached), device power as port suspend and resume with wait-wake, and
// the internal USB requests (URBs as pending IRPs, port status, reset, cycle).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include <wdm.h>

#include "registry.h"
#include "usb/hub_internal.h"
#include "usb/port_state.h"

#ifndef STATUS_DEVICE_POWERED_OFF
#define STATUS_DEVICE_POWERED_OFF ((NTSTATUS)0x8000000FL)
#endif
#ifndef STATUS_POWER_STATE_INVALID
#define STATUS_POWER_STATE_INVALID ((NTSTATUS)0xC00002D3L)
#endif

namespace sim::usb {
namespace {

constexpr ULONG kTag = 'U' | ('h' << 8) | ('u' << 16) | (ULONG('b') << 24);
constexpr ULONG kPnpBusType = 15;  // PNPBus
// GUID_BUS_TYPE_USB
constexpr GUID kBusTypeUsb = {0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};
constexpr USHORT kFeatureRemoteWakeup = 1;  // DEVICE_REMOTE_WAKEUP

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A pool string for the PnP manager, which frees it: one string, or a
// REG_MULTI_SZ list with its final empty string.
PWCHAR PoolStrings(const std::vector<std::string>& texts, bool multi) {
  std::vector<WCHAR> all;
  for (const std::string& t : texts) {
    std::vector<WCHAR> w = sim::kernel::registry::FromUtf8(t);
    all.insert(all.end(), w.begin(), w.end());
    all.push_back(0);
    if (!multi) break;
  }
  if (all.empty()) all.push_back(0);
  if (multi) all.push_back(0);
  auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, all.size() * sizeof(WCHAR), kTag));
  if (out) std::memcpy(out, all.data(), all.size() * sizeof(WCHAR));
  return out;
}

NTSTATUS CompleteWithText(PIRP irp, const std::vector<std::string>& texts, bool multi) {
  PWCHAR p = PoolStrings(texts, multi);
  if (!p) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  irp->IoStatus.Information = ULONG_PTR(p);
  return Complete(irp, STATUS_SUCCESS);
}

std::string PortText(const PdoRecord& r) {
  char b[48];
  std::snprintf(b, sizeof b, "Port_#%04d.Hub_#0001", r.portNumber + 1);
  return b;
}

// ---- Wait-wake -----------------------------------------------------------------------------

// Takes the pending wait-wake away from its cancel routine; null when none.
// Under the cancel lock a wait-wake still recorded has not met its cancel
// routine, which forgets it before it lets the lock go.
PIRP TakeWaitWake(PdoRecord& r) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp;
  {
    std::lock_guard lock(r.mu);
    irp = r.waitWake;
    r.waitWake = nullptr;
  }
  if (irp) IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  return irp;
}

void FinishWaitWake(PdoRecord& r, NTSTATUS status) {
  if (PIRP irp = TakeWaitWake(r)) {
    irp->IoStatus.Information = 0;
    Complete(irp, status);
  }
}

void CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
  if (PdoRecord* r = RecordOf(pdo)) {
    std::lock_guard lock(r->mu);
    if (r->waitWake == irp) r->waitWake = nullptr;
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Information = 0;
  Complete(irp, STATUS_CANCELLED);
}

// SET_FEATURE or CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP), waited for: the hub arms
// the device before suspending it and disarms it after resume.
void SetRemoteWakeup(HubPort& port, bool on) {
  struct Wait {
    KEVENT done;
  } w;
  KeInitializeEvent(&w.done, NotificationEvent, FALSE);
  URB urb = {};
  urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
  urb.UrbHeader.Function = on ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE;
  urb.UrbControlFeatureRequest.FeatureSelector = kFeatureRemoteWakeup;
  if (port.SubmitUrb(&urb, [&w](PURB, NTSTATUS) { KeSetEvent(&w.done, 0, FALSE); }) == STATUS_PENDING)
    KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, nullptr);
}

// ---- URBs as IRPs ----------------------------------------------------------------------------

// One SUBMIT_URB IRP in flight. Two owners, the submitting dispatch routine and
// the port's completion, so the IRP is completed once both are done with it.
struct UrbIrp {
  PIRP irp;
  HubPort* port;
  uint64_t ticket = 0;
  NTSTATUS status = STATUS_PENDING;
  std::atomic<int> owners{2};
};

void FinishUrbIrp(UrbIrp* u) {
  KIRQL irql;
  // Taking the cancel lock waits out a cancel routine that already read the ticket.
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(u->irp, nullptr);
  u->irp->Tail.Overlay.DriverContext[0] = nullptr;
  IoReleaseCancelSpinLock(irql);
  PIRP irp = u->irp;
  const NTSTATUS status = u->status;
  delete u;
  irp->IoStatus.Information = 0;
  Complete(irp, status);
}

void ReleaseUrbIrp(UrbIrp* u) {
  if (--u->owners == 0) FinishUrbIrp(u);
}

// Cancelling the IRP cancels its URB; the port's completion then completes the IRP.
void CancelUrbIrp(PDEVICE_OBJECT, PIRP irp) {
  auto* u = static_cast<UrbIrp*>(irp->Tail.Overlay.DriverContext[0]);
  HubPort* port = u ? u->port : nullptr;
  const uint64_t ticket = u ? u->ticket : 0;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (port && ticket) port->CancelUrb(ticket);
}

NTSTATUS SubmitUrb(PdoRecord& r, PIRP irp, PURB urb) {
  if (urb == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
  bool present, poweredOff;
  {
    std::lock_guard lock(r.mu);
    present = r.present && !r.deleted;
    poweredOff = r.power != PowerDeviceD0;
  }
  if (!present) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  if (poweredOff) {
    // A suspended device takes no transfers until its driver powers it up.
    urb->UrbHeader.Status = USBD_STATUS_REQUEST_FAILED;
    return Complete(irp, STATUS_DEVICE_POWERED_OFF);
  }
  IoMarkIrpPending(irp);
  auto* u = new UrbIrp{irp, r.port};
  irp->Tail.Overlay.DriverContext[0] = u;
  const NTSTATUS s = r.port->SubmitUrb(
      urb,
      [u](PURB, NTSTATUS status) {
        u->status = status;
        ReleaseUrbIrp(u);
      },
      &u->ticket);
  if (s != STATUS_PENDING) {
    // Answered at once: the port will not call back.
    u->status = s;
    u->owners = 1;
    ReleaseUrbIrp(u);
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, CancelUrbIrp);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) r.port->CancelUrb(u->ticket);
  ReleaseUrbIrp(u);
  return STATUS_PENDING;
}

// The record behind a PDO, kept alive for the dispatch routine; null once the
// PDO was deleted.
std::shared_ptr<PdoRecord> Keep(PDEVICE_OBJECT pdo) {
  auto* x = static_cast<PdoExtension*>(pdo->DeviceExtension);
  return x && x->record ? *x->record : nullptr;
}

}  // namespace

PdoRecord* RecordOf(PDEVICE_OBJECT pdo) {
  auto* x = static_cast<PdoExtension*>(pdo->DeviceExtension);
  return x && x->signature == kPdoSignature && x->record ? x->record->get() : nullptr;
}

// ---- PnP ---------------------------------------------------------------------------------------

NTSTATUS PdoPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  std::shared_ptr<PdoRecord> keep = Keep(pdo);
  if (!keep) return Complete(irp, STATUS_NO_SUCH_DEVICE);
  PdoRecord& r = *keep;
  switch (s->MinorFunction) {
    case IRP_MN_QUERY_ID:
      switch (s->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          return CompleteWithText(irp, {r.identity.deviceId}, false);
        case BusQueryHardwareIDs:
          return CompleteWithText(irp, r.identity.hardwareIds, true);
        case BusQueryCompatibleIDs:
          return CompleteWithText(irp, r.identity.compatibleIds, true);
        case BusQueryInstanceID:
          // Without a serial number the port number is all the hub can offer;
          // the PnP manager makes it unique under this hub.
          return CompleteWithText(
              irp, {r.identity.uniqueId ? r.identity.serialNumber : std::to_string(r.portNumber + 1)}, false);
        case BusQueryDeviceSerialNumber:
          if (!r.identity.uniqueId) break;
          return CompleteWithText(irp, {r.identity.serialNumber}, false);
        default:
          break;
      }
      return Complete(irp, irp->IoStatus.Status);

    case IRP_MN_QUERY_DEVICE_TEXT:
      if (s->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        if (r.identity.product.empty()) return Complete(irp, irp->IoStatus.Status);
        return CompleteWithText(irp, {r.identity.product}, false);
      }
      if (s->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation)
        return CompleteWithText(irp, {PortText(r)}, false);
      return Complete(irp, irp->IoStatus.Status);

    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities;
      if (c == nullptr || c->Version < 1 || c->Size < sizeof(DEVICE_CAPABILITIES))
        return Complete(irp, STATUS_UNSUCCESSFUL);
      c->Removable = 1;
      c->SurpriseRemovalOK = 1;
      c->UniqueID = r.identity.uniqueId;
      c->EjectSupported = 0;
      c->LockSupported = 0;
      c->DeviceD1 = 0;
      c->DeviceD2 = 1;  // USB suspend
      c->WakeFromD0 = 0;
      c->WakeFromD1 = 0;
      c->WakeFromD2 = r.remoteWakeCapable;
      c->WakeFromD3 = 0;
      c->Address = ULONG(r.portNumber + 1);
      c->UINumber = ULONG(r.portNumber + 1);
      // The root hub's own mapping: sleeping states suspend the port (D2),
      // hibernate and off cut the device's power (D3).
      c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      c->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
      c->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
      c->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
      c->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
      c->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
      c->SystemWake = r.remoteWakeCapable ? PowerSystemSleeping3 : PowerSystemUnspecified;
      c->DeviceWake = r.remoteWakeCapable ? PowerDeviceD2 : PowerDeviceUnspecified;
      return Complete(irp, STATUS_SUCCESS);
    }

    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (s->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return Complete(irp, irp->IoStatus.Status);
      auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
      if (!rel) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      rel->Count = 1;
      rel->Objects[0] = pdo;
      ObReferenceObject(pdo);
      irp->IoStatus.Information = ULONG_PTR(rel);
      return Complete(irp, STATUS_SUCCESS);
    }

    case IRP_MN_QUERY_BUS_INFORMATION: {
      auto* info =
          static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kTag));
      if (!info) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      info->BusTypeGuid = kBusTypeUsb;
      info->LegacyBusType = kPnpBusType;
      info->BusNumber = 0;
      irp->IoStatus.Information = ULONG_PTR(info);
      return Complete(irp, STATUS_SUCCESS);
    }

    case IRP_MN_START_DEVICE: {
      bool present;
      {
        std::lock_guard lock(r.mu);
        r.power = PowerDeviceD0;
        present = r.present;
      }
      // A stack started again on a PDO it left suspended finds the device awake.
      if (present) r.port->Suspend(false);
      POWER_STATE d0;
      d0.DeviceState = PowerDeviceD0;
      PoSetPowerState(pdo, DevicePowerState, d0);
      return Complete(irp, STATUS_SUCCESS);
    }

    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(irp, STATUS_SUCCESS);

    case IRP_MN_SURPRISE_REMOVAL:
      FinishWaitWake(r, STATUS_NO_SUCH_DEVICE);
      return Complete(irp, STATUS_SUCCESS);

    case IRP_MN_REMOVE_DEVICE: {
      FinishWaitWake(r, STATUS_NO_SUCH_DEVICE);
      bool gone;
      {
        std::lock_guard lock(r.mu);
        gone = !r.present;
      }
      Complete(irp, STATUS_SUCCESS);
      // A device still on its port keeps its PDO for the next enumeration.
      if (gone) DeletePdo(keep);
      return STATUS_SUCCESS;
    }

    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

// ---- Power ------------------------------------------------------------------------------------

NTSTATUS PdoPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  std::shared_ptr<PdoRecord> keep = Keep(pdo);
  if (!keep) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_NO_SUCH_DEVICE);
  }
  PdoRecord& r = *keep;
  switch (s->MinorFunction) {
    case IRP_MN_SET_POWER: {
      if (s->Parameters.Power.Type == DevicePowerState) {
        const DEVICE_POWER_STATE to = s->Parameters.Power.State.DeviceState;
        bool present, armed;
        DEVICE_POWER_STATE from;
        {
          std::lock_guard lock(r.mu);
          present = r.present;
          armed = r.waitWake != nullptr;
          from = r.power;
          r.power = to;
        }
        if (to == PowerDeviceD0) {
          if (present && from != PowerDeviceD0) {
            r.port->Suspend(false);
            if (r.remoteWakeCapable) SetRemoteWakeup(*r.port, false);
          }
        } else {
          if (to == PowerDeviceD3) FinishWaitWake(r, STATUS_POWER_STATE_INVALID);
          if (present && from == PowerDeviceD0) {
            if (to != PowerDeviceD3 && armed && r.remoteWakeCapable) SetRemoteWakeup(*r.port, true);
            r.port->Suspend(true);
          }
        }
        PoSetPowerState(pdo, DevicePowerState, s->Parameters.Power.State);
      }
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_POWER:
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE: {
      PoStartNextPowerIrp(irp);
      // Pending first: a wake-up may complete it as soon as it is recorded.
      IoMarkIrpPending(irp);
      NTSTATUS refuse = STATUS_SUCCESS;
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      {
        std::lock_guard lock(r.mu);
        if (!r.remoteWakeCapable)
          refuse = STATUS_NOT_SUPPORTED;
        else if (!r.present)
          refuse = STATUS_NO_SUCH_DEVICE;
        else if (s->Parameters.WaitWake.PowerState > PowerSystemSleeping3)
          refuse = STATUS_INVALID_DEVICE_STATE;
        else if (r.waitWake)
          refuse = STATUS_DEVICE_BUSY;
        else if (irp->Cancel)
          refuse = STATUS_CANCELLED;
        else
          r.waitWake = irp;
      }
      if (refuse == STATUS_SUCCESS) IoSetCancelRoutine(irp, CancelWaitWake);
      IoReleaseCancelSpinLock(irql);
      if (refuse != STATUS_SUCCESS) Complete(irp, refuse);
      return STATUS_PENDING;
    }
    default:
      PoStartNextPowerIrp(irp);
      return Complete(irp, irp->IoStatus.Status);
  }
}

// ---- Internal USB requests ---------------------------------------------------------------------

NTSTATUS PdoInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  std::shared_ptr<PdoRecord> keep = Keep(pdo);
  if (!keep) return Complete(irp, STATUS_NO_SUCH_DEVICE);
  PdoRecord& r = *keep;
  bool present;
  {
    std::lock_guard lock(r.mu);
    present = r.present && !r.deleted;
  }
  switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(r, irp, static_cast<PURB>(s->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* out = static_cast<PULONG>(s->Parameters.Others.Argument1);
      if (out == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
      *out = present ? r.port->PortStatus() : 0;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
      if (KeGetCurrentIrql() != PASSIVE_LEVEL) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
      if (!present) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
      return Complete(irp, r.port->ResetPort());
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      if (!present) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
      // The request is done before the port detaches: the departure may remove
      // this PDO at once. Its transfers end device-gone, and the hub's worker
      // re-attaches the device and reports the departure and the new arrival.
      Complete(irp, STATUS_SUCCESS);
      r.port->CyclePort();
      return STATUS_SUCCESS;
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// ---- Life of a PDO -------------------------------------------------------------------------------

std::shared_ptr<PdoRecord> CreatePdo(const std::shared_ptr<HubState>& hub, HubPort& port) {
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(hub->driver, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
    return nullptr;
  auto rec = std::make_shared<PdoRecord>();
  rec->hub = hub;
  rec->port = &port;
  rec->portNumber = port.Number();
  rec->self = pdo;
  rec->identity = port.Identity();
  {
    PortState& ps = port.State();
    std::lock_guard lock(ps.mu);
    if (ps.configDescriptor.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR))
      rec->remoteWakeCapable =
          (reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ps.configDescriptor.data())->bmAttributes &
           USB_CONFIG_REMOTE_WAKEUP) != 0;
    ps.pdo = pdo;
  }
  auto* x = static_cast<PdoExtension*>(pdo->DeviceExtension);
  x->signature = kPdoSignature;
  x->record = new std::shared_ptr<PdoRecord>(rec);
  std::weak_ptr<PdoRecord> weak = rec;
  port.SetRemoteWakeHandler([weak] {
    if (auto r = weak.lock()) FinishWaitWake(*r, STATUS_SUCCESS);
  });
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  {
    std::lock_guard lock(hub->mu);
    // Two devices with one serial number would get one instance path, which
    // the PnP manager cannot have: the later one is named after its port.
    for (auto& other : hub->pdos) {
      std::lock_guard ol(other->mu);
      if (other->present && other->identity.uniqueId && rec->identity.uniqueId &&
          other->identity.deviceId == rec->identity.deviceId &&
          other->identity.serialNumber == rec->identity.serialNumber)
        rec->identity.uniqueId = false;
    }
    hub->pdos.push_back(rec);
  }
  return rec;
}

void PdoDeparted(const std::shared_ptr<PdoRecord>& rec) {
  // The port already ended its transfers with the device-gone status.
  FinishWaitWake(*rec, STATUS_NO_SUCH_DEVICE);
}

void DetachPdo(const std::shared_ptr<PdoRecord>& rec) {
  HubPort* port;
  {
    std::lock_guard lock(rec->mu);
    if (rec->detached) return;
    rec->detached = true;
    rec->present = false;
    port = rec->port;
  }
  PortState& ps = port->State();
  std::lock_guard lock(ps.mu);
  if (ps.pdo == rec->self) {
    ps.pdo = nullptr;
    ps.wakeHandler = nullptr;
  }
}

void DeletePdo(const std::shared_ptr<PdoRecord>& rec) {
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard lock(rec->mu);
    if (rec->deleted) return;
    rec->deleted = true;
    rec->present = false;
    pdo = rec->self;
  }
  if (auto hub = rec->hub.lock()) {
    std::lock_guard lock(hub->mu);
    auto& v = hub->pdos;
    v.erase(std::remove(v.begin(), v.end(), rec), v.end());
  }
  DetachPdo(rec);
  auto* x = static_cast<PdoExtension*>(pdo->DeviceExtension);
  delete x->record;
  x->record = nullptr;
  IoDeleteDevice(pdo);
}

}  // namespace sim::usb
