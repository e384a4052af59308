// The root bus: the PnP manager's own driver, which owns the PDOs of root-enumerated
// devices and answers their PnP and power IRPs as a bus driver does.
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "io.h"
#include "pnp.h"
#include "registry.h"
#include "nt/po.h"

namespace sim::kernel::pnp {
namespace {

struct RootPdoExtension {
  char hardwareId[200];
  ULONG instance;
  PIRP volatile waitWake;
};

constexpr ULONG kTag = 'P' | ('n' << 8) | ('p' << 16) | ((ULONG)'R' << 24);
PDRIVER_OBJECT gRootDriver = nullptr;
unsigned gRootGeneration = ~0u;

RootPdoExtension* Ext(PDEVICE_OBJECT d) { return static_cast<RootPdoExtension*>(d->DeviceExtension); }

PWCHAR PoolString(const std::string& text, bool multi) {
  std::vector<WCHAR> w = registry::FromUtf8(text);
  size_t n = w.size();
  auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (n + 2) * sizeof(WCHAR), kTag));
  if (!out) return nullptr;
  memcpy(out, w.data(), n * sizeof(WCHAR));
  out[n] = 0;
  out[n + 1] = 0;
  (void)multi;
  return out;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootPnp(PDEVICE_OBJECT d, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  RootPdoExtension* x = Ext(d);
  switch (s->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      std::string text;
      char inst[16];
      snprintf(inst, sizeof inst, "%04lu", (unsigned long)x->instance);
      switch (s->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: text = std::string("ROOT\\") + x->hardwareId; break;
        case BusQueryHardwareIDs: text = x->hardwareId; break;
        case BusQueryInstanceID: text = inst; break;
        default: return Complete(irp, irp->IoStatus.Status);
      }
      PWCHAR p = PoolString(text, true);
      if (!p) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      irp->IoStatus.Information = (ULONG_PTR)p;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      if (s->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
        return Complete(irp, irp->IoStatus.Status);
      PWCHAR p = PoolString(x->hardwareId, false);
      if (!p) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      irp->IoStatus.Information = (ULONG_PTR)p;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities;
      c->SilentInstall = 1;
      c->UniqueID = 0;
      c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int i = PowerSystemSleeping1; i < POWER_SYSTEM_MAXIMUM; i++) c->DeviceState[i] = PowerDeviceD3;
      c->SystemWake = PowerSystemSleeping3;
      c->DeviceWake = PowerDeviceD3;
      c->WakeFromD3 = 1;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (s->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return Complete(irp, irp->IoStatus.Status);
      auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
      if (!rel) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      rel->Count = 1;
      rel->Objects[0] = d;
      ObReferenceObject(d);
      irp->IoStatus.Information = (ULONG_PTR)rel;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_EJECT:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

void CancelWaitWake(PDEVICE_OBJECT d, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  InterlockedCompareExchangePointer((PVOID volatile*)&Ext(d)->waitWake, nullptr, irp);
  irp->IoStatus.Information = 0;
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS RootPower(PDEVICE_OBJECT d, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (s->Parameters.Power.Type == DevicePowerState) PoSetPowerState(d, DevicePowerState, s->Parameters.Power.State);
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE: {
      PoStartNextPowerIrp(irp);
      if (InterlockedCompareExchangePointer((PVOID volatile*)&Ext(d)->waitWake, irp, nullptr) != nullptr)
        return Complete(irp, STATUS_DEVICE_BUSY);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelWaitWake);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        InterlockedCompareExchangePointer((PVOID volatile*)&Ext(d)->waitWake, nullptr, irp);
        Complete(irp, STATUS_CANCELLED);
      }
      return STATUS_PENDING;
    }
    default:
      PoStartNextPowerIrp(irp);
      return Complete(irp, irp->IoStatus.Status);
  }
}

NTSTATUS RootOther(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, irp->IoStatus.Status); }

PDRIVER_OBJECT RootDriver() {
  if (!gRootDriver || gRootGeneration != gSched.generation) {
    gRootDriver = io::NewDriverObject("PnpManager", nullptr);
    gRootDriver->MajorFunction[IRP_MJ_PNP] = RootPnp;
    gRootDriver->MajorFunction[IRP_MJ_POWER] = RootPower;
    gRootDriver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = RootOther;
    gRootGeneration = gSched.generation;
  }
  return gRootDriver;
}

}  // namespace

PDEVICE_OBJECT CreateRootPdo(std::string_view hardwareId, ULONG instance) {
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(RootDriver(), sizeof(RootPdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
    return nullptr;
  RootPdoExtension* x = Ext(pdo);
  snprintf(x->hardwareId, sizeof x->hardwareId, "%.*s", (int)hardwareId.size(), hardwareId.data());
  x->instance = instance;
  x->waitWake = nullptr;
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return pdo;
}

void DeleteRootPdo(PDEVICE_OBJECT pdo) { IoDeleteDevice(pdo); }

bool IsRootPdo(PDEVICE_OBJECT pdo) { return pdo && gRootDriver && pdo->DriverObject == gRootDriver; }

bool SignalWake(DeviceNode* node) {
  if (!node || !IsRootPdo(node->pdo)) return false;
  PIRP irp = (PIRP)InterlockedExchangePointer((PVOID volatile*)&Ext(node->pdo)->waitWake, nullptr);
  if (!irp) return false;
  // A cancel routine already running owns the IRP.
  if (!IoSetCancelRoutine(irp, nullptr)) return false;
  irp->IoStatus.Information = 0;
  Complete(irp, STATUS_SUCCESS);
  return true;
}

}  // namespace sim::kernel::pnp
