// Test drivers for the PnP and power tests: tbus (a root-enumerated bus reporting two
// children), tfunc (function driver of the children) and tfilt (their upper filter).
#include "pnp_test_drivers.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "image.h"
#include "pnp.h"
#include "registry.h"

namespace pnptest {

Fault gFault = Fault::None;

namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"

std::mutex gLogLock;
std::vector<std::string> gLog;
std::vector<std::pair<PDEVICE_OBJECT, PIRP>> gHeld;  // device power IRPs tfunc keeps

void Record(const std::string& s) {
  std::lock_guard<std::mutex> g(gLogLock);
  gLog.push_back(s);
}

const char* MinorName(UCHAR m) {
  switch (m) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    case IRP_MN_EJECT: return "EJECT";
    default: return nullptr;
  }
}

std::string PowerText(PIO_STACK_LOCATION s) {
  const char* m = s->MinorFunction == IRP_MN_SET_POWER ? "SET" : s->MinorFunction == IRP_MN_QUERY_POWER ? "QUERY" : "WAKE";
  char buf[32];
  if (s->MinorFunction == IRP_MN_WAIT_WAKE) return "WAIT_WAKE";
  if (s->Parameters.Power.Type == SystemPowerState)
    snprintf(buf, sizeof buf, "%s S%d", m, (int)s->Parameters.Power.State.SystemState - 1);
  else
    snprintf(buf, sizeof buf, "%s D%d", m, (int)s->Parameters.Power.State.DeviceState - 1);
  return buf;
}

NTSTATUS Complete(PIRP irp, NTSTATUS st) {
  irp->IoStatus.Status = st;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return st;
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID ctx) {
  KeSetEvent(static_cast<PKEVENT>(ctx), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &e, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

PWCHAR PoolMulti(const std::vector<std::string>& items) {
  std::vector<WCHAR> all;
  for (auto& s : items) {
    auto w = sim::kernel::registry::FromUtf8(s);
    all.insert(all.end(), w.begin(), w.end());
    all.push_back(0);
  }
  all.push_back(0);
  auto* p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, all.size() * sizeof(WCHAR), kTag));
  memcpy(p, all.data(), all.size() * sizeof(WCHAR));
  return p;
}

// ---- tbus -------------------------------------------------------------------------------

struct BusExt {
  bool fdo;
  PDEVICE_OBJECT lower;    // FDO
  PDEVICE_OBJECT children[2];
  bool present[2];
  int index;               // PDO
  PDEVICE_OBJECT parent;   // PDO: the bus FDO
  bool removed;            // PDO: removed after it left the bus
};

PDEVICE_OBJECT gBusFdo = nullptr;

BusExt* B(PDEVICE_OBJECT d) { return static_cast<BusExt*>(d->DeviceExtension); }

void DeleteRemovedChildren(BusExt* bus) {
  for (int i = 0; i < 2; i++)
    if (bus->children[i] && B(bus->children[i])->removed) {
      IoDeleteDevice(bus->children[i]);
      bus->children[i] = nullptr;
    }
}
std::string ChildName(int i) { return i == 0 ? "childA" : "childB"; }

NTSTATUS BusAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS st = IoCreateDevice(driver, sizeof(BusExt), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(st)) return st;
  memset(B(fdo), 0, sizeof(BusExt));
  B(fdo)->fdo = true;
  B(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  gBusFdo = fdo;
  Record("tbus AddDevice");
  return STATUS_SUCCESS;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT d, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  BusExt* x = B(d);
  std::string me = ChildName(x->index);
  if (const char* m = MinorName(s->MinorFunction)) Record(me + " " + m);
  switch (s->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      bool b = x->index && gFault != Fault::DuplicateIds;
      std::string id = std::string("SIMBUS\\CHILD_") + (b ? "B" : "A");
      switch (s->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: irp->IoStatus.Information = (ULONG_PTR)PoolMulti({id}); break;
        case BusQueryHardwareIDs: irp->IoStatus.Information = (ULONG_PTR)PoolMulti({id, id.substr(7)}); break;
        case BusQueryCompatibleIDs: irp->IoStatus.Information = (ULONG_PTR)PoolMulti({"SIMBUS\\CHILD"}); break;
        case BusQueryInstanceID: irp->IoStatus.Information = (ULONG_PTR)PoolMulti({b ? "2" : "1"}); break;
        default: return Complete(irp, irp->IoStatus.Status);
      }
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (s->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
        return Complete(irp, irp->IoStatus.Status);
      irp->IoStatus.Information = (ULONG_PTR)PoolMulti({x->index ? "Child B" : "Child A"});
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities;
      c->UniqueID = 0;
      c->Removable = 1;
      c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int i = PowerSystemSleeping1; i < POWER_SYSTEM_MAXIMUM; i++) c->DeviceState[i] = PowerDeviceD3;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_EJECT:
      B(x->parent)->present[x->index] = false;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      // A child that is gone is deleted by the bus's next relations answer or its own
      // removal, once the drivers above have left the PDO.
      if (!B(x->parent)->present[x->index]) x->removed = true;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

NTSTATUS BusPnp(PDEVICE_OBJECT d, PIRP irp) {
  if (!B(d)->fdo) return ChildPnp(d, irp);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  BusExt* x = B(d);
  if (const char* m = MinorName(s->MinorFunction)) Record(std::string("tbus ") + m);
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS st = ForwardAndWait(x->lower, irp);
      if (NT_SUCCESS(st) && !x->children[0] && !x->children[1])
        for (int i = 0; i < 2; i++) {
          PDEVICE_OBJECT pdo;
          if (!NT_SUCCESS(IoCreateDevice(d->DriverObject, sizeof(BusExt), nullptr, FILE_DEVICE_UNKNOWN,
                                         FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
            continue;
          memset(B(pdo), 0, sizeof(BusExt));
          B(pdo)->index = i;
          B(pdo)->parent = d;
          pdo->Flags |= DO_POWER_PAGABLE;
          pdo->Flags &= ~DO_DEVICE_INITIALIZING;
          x->children[i] = pdo;
          x->present[i] = true;
        }
      return Complete(irp, st);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (s->Parameters.QueryDeviceRelations.Type != BusRelations) return PassDown(x->lower, irp);
      DeleteRemovedChildren(x);
      auto* rel = static_cast<PDEVICE_RELATIONS>(
          ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + 2 * sizeof(PDEVICE_OBJECT), kTag));
      rel->Count = 0;
      for (int i = 0; i < 2; i++)
        if (x->children[i] && x->present[i]) {
          ObReferenceObject(x->children[i]);
          rel->Objects[rel->Count++] = x->children[i];
        }
      irp->IoStatus.Information = (ULONG_PTR)rel;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(x->lower, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = x->lower;
      NTSTATUS st = PassDown(lower, irp);
      for (int i = 0; i < 2; i++)
        if (x->children[i]) IoDeleteDevice(x->children[i]);
      IoDetachDevice(lower);
      IoDeleteDevice(d);
      gBusFdo = nullptr;
      return st;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(x->lower, irp);
    default:
      return PassDown(x->lower, irp);
  }
}

NTSTATUS BusPower(PDEVICE_OBJECT d, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  BusExt* x = B(d);
  if (!x->fdo) {
    Record(ChildName(x->index) + " " + PowerText(s));
    if (s->MinorFunction == IRP_MN_SET_POWER && s->Parameters.Power.Type == DevicePowerState)
      PoSetPowerState(d, DevicePowerState, s->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    bool handled = s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER;
    return Complete(irp, handled ? STATUS_SUCCESS : irp->IoStatus.Status);
  }
  Record("tbus " + PowerText(s));
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(x->lower, irp);
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = BusAdd;
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  driver->DriverUnload = [](PDRIVER_OBJECT) { Record("tbus Unload"); };
  return STATUS_SUCCESS;
}

// ---- tfunc and tfilt --------------------------------------------------------------------------

struct FuncExt {
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT self;
  const char* name;
};
FuncExt* F(PDEVICE_OBJECT d) { return static_cast<FuncExt*>(d->DeviceExtension); }

NTSTATUS AddCommon(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, const char* name, bool leaveInit) {
  PDEVICE_OBJECT fdo;
  NTSTATUS st = IoCreateDevice(driver, sizeof(FuncExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(st)) return st;
  F(fdo)->self = fdo;
  F(fdo)->name = name;
  F(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags |= DO_POWER_PAGABLE;
  if (!leaveInit) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  Record(std::string(name) + " AddDevice");
  return STATUS_SUCCESS;
}

NTSTATUS FuncAdd(PDRIVER_OBJECT d, PDEVICE_OBJECT pdo) {
  if (gFault == Fault::FailAdd) return STATUS_INSUFFICIENT_RESOURCES;
  return AddCommon(d, pdo, "tfunc", gFault == Fault::LeaveInitializing);
}
NTSTATUS FiltAdd(PDRIVER_OBJECT d, PDEVICE_OBJECT pdo) { return AddCommon(d, pdo, "tfilt", false); }

NTSTATUS CommonPnp(PDEVICE_OBJECT d, PIRP irp, bool function) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  FuncExt* x = F(d);
  if (const char* m = MinorName(s->MinorFunction)) Record(std::string(x->name) + " " + m);
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS st = ForwardAndWait(x->lower, irp);
      if (function && gFault == Fault::FailStart) st = STATUS_DEVICE_NOT_READY;
      return Complete(irp, st);
    }
    case IRP_MN_REMOVE_DEVICE: {
      if (function && gFault == Fault::FailRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = x->lower;
      if (!function) {
        // The filter leaves the stack before the drivers below delete their devices.
        IoDetachDevice(lower);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS st = IoCallDriver(lower, irp);
        IoDeleteDevice(d);
        return st;
      }
      NTSTATUS st = PassDown(lower, irp);
      if (function && gFault == Fault::NoDetach) return st;
      IoDetachDevice(lower);
      IoDeleteDevice(d);
      return st;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (function && gFault == Fault::VetoQueryRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(x->lower, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(x->lower, irp);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      if (function && gFault == Fault::ReportFailed) {
        irp->IoStatus.Information |= PNP_DEVICE_FAILED;
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      return PassDown(x->lower, irp);
    default:
      if (function && gFault == Fault::TouchUnknownMinor && s->MinorFunction == 0xFF)
        return Complete(irp, STATUS_SUCCESS);
      return PassDown(x->lower, irp);
  }
}

NTSTATUS FuncPnp(PDEVICE_OBJECT d, PIRP irp) { return CommonPnp(d, irp, true); }
NTSTATUS FiltPnp(PDEVICE_OBJECT d, PIRP irp) { return CommonPnp(d, irp, false); }

void DeviceIrpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID ctx, PIO_STATUS_BLOCK io) {
  auto* sIrp = static_cast<PIRP>(ctx);
  PoStartNextPowerIrp(sIrp);
  sIrp->IoStatus.Status = io->Status;
  IoCompleteRequest(sIrp, IO_NO_INCREMENT);
}

// The system IRP came back up from the bus: ask for the matching device state, finish
// the system IRP when that device IRP is done (the documented policy-owner pattern).
NTSTATUS SystemIrpDone(PDEVICE_OBJECT d, PIRP irp, PVOID) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
  }
  POWER_STATE ds;
  ds.DeviceState = s->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
  PoRequestPowerIrp(d, IRP_MN_SET_POWER, ds, DeviceIrpDone, irp, nullptr);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FuncPower(PDEVICE_OBJECT d, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  FuncExt* x = F(d);
  Record(std::string(x->name) + " " + PowerText(s));
  if (s->MinorFunction == IRP_MN_SET_POWER && s->Parameters.Power.Type == SystemPowerState) {
    if (gFault == Fault::FailSystemSetPower && s->Parameters.Power.State.SystemState != PowerSystemWorking) {
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemIrpDone, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(x->lower, irp);
    return STATUS_PENDING;
  }
  if (s->MinorFunction == IRP_MN_QUERY_POWER && gFault == Fault::VetoQueryPower) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_UNSUCCESSFUL);
  }
  if (s->MinorFunction == IRP_MN_SET_POWER && s->Parameters.Power.Type == DevicePowerState &&
      gFault == Fault::HoldDevicePower) {
    std::lock_guard<std::mutex> g(gLogLock);
    IoMarkIrpPending(irp);
    gHeld.push_back({d, irp});
    return STATUS_PENDING;
  }
  if (s->MinorFunction == IRP_MN_SET_POWER && s->Parameters.Power.Type == DevicePowerState) {
    PoSetPowerState(d, DevicePowerState, s->Parameters.Power.State);
    if (gFault != Fault::ForwardWithoutStartNext) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->lower, irp);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(x->lower, irp);
}

NTSTATUS FiltPower(PDEVICE_OBJECT d, PIRP irp) {
  Record(std::string("tfilt ") + PowerText(IoGetCurrentIrpStackLocation(irp)));
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(F(d)->lower, irp);
}

NTSTATUS OpenClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS FuncEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = FuncAdd;
  driver->MajorFunction[IRP_MJ_PNP] = FuncPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FuncPower;
  driver->MajorFunction[IRP_MJ_CREATE] = OpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = OpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = OpenClose;
  driver->DriverUnload = [](PDRIVER_OBJECT) { Record("tfunc Unload"); };
  return STATUS_SUCCESS;
}

NTSTATUS FiltPassCreate(PDEVICE_OBJECT d, PIRP irp) { return PassDown(F(d)->lower, irp); }

NTSTATUS FiltEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = FiltAdd;
  driver->MajorFunction[IRP_MJ_PNP] = FiltPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FiltPower;
  driver->MajorFunction[IRP_MJ_CREATE] = FiltPassCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = FiltPassCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = FiltPassCreate;
  driver->DriverUnload = [](PDRIVER_OBJECT) { Record("tfilt Unload"); };
  return STATUS_SUCCESS;
}

void AddService(const char* name) {
  std::string key = std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + name;
  sim::kernel::registry::SetDword(key, "Type", 1);
  sim::kernel::registry::SetDword(key, "Start", 3);
  sim::kernel::registry::SetString(key, "ImagePath", std::string("System32\\drivers\\") + name + ".sys",
                                   REG_EXPAND_SZ);
}

}  // namespace

void Install() {
  sim::kernel::RegisterBuiltinImage("tbus", BusEntry);
  sim::kernel::RegisterBuiltinImage("tfunc", FuncEntry);
  sim::kernel::RegisterBuiltinImage("tfilt", FiltEntry);
  for (const char* s : {"tbus", "tfunc", "tfilt"}) AddService(s);
  using sim::kernel::pnp::DriverRecord;
  sim::kernel::pnp::InstallDriverRecord(
      DriverRecord{"SIMBUS", "tbus", "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "System", "Test bus", "Test", {}, {}});
  // Child B is matched through its compatible id only.
  sim::kernel::pnp::InstallDriverRecord(DriverRecord{"SIMBUS\\CHILD", "tfunc", "{4D36E978-E325-11CE-BFC1-08002BE10318}",
                                                     "Ports", "", "Test", {}, {"tfilt"}});
  sim::kernel::pnp::InstallDriverRecord(DriverRecord{"SIMBUS\\CHILD_A", "tfunc",
                                                     "{4D36E978-E325-11CE-BFC1-08002BE10318}", "Ports", "Port A",
                                                     "Test", {}, {"tfilt"}});
  gFault = Fault::None;
  ClearLog();
  std::lock_guard<std::mutex> g(gLogLock);
  gHeld.clear();
}

std::vector<std::string> Log() {
  std::lock_guard<std::mutex> g(gLogLock);
  return gLog;
}

void ClearLog() {
  std::lock_guard<std::mutex> g(gLogLock);
  gLog.clear();
}

bool ReleaseHeldPower() {
  std::pair<PDEVICE_OBJECT, PIRP> h;
  {
    std::lock_guard<std::mutex> g(gLogLock);
    if (gHeld.empty()) return false;
    h = gHeld.front();
    gHeld.erase(gHeld.begin());
  }
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(h.second);
  PoSetPowerState(h.first, DevicePowerState, s->Parameters.Power.State);
  PoStartNextPowerIrp(h.second);
  IoSkipCurrentIrpStackLocation(h.second);
  PoCallDriver(F(h.first)->lower, h.second);
  return true;
}

void UnplugChild(int index) {
  if (!gBusFdo) return;
  B(gBusFdo)->present[index] = false;
  IoInvalidateDeviceRelations(gBusFdo, BusRelations);
}

}  // namespace pnptest
