// The "usbhub" driver: a builtin image whose FDO sits on the root hub's
// root-enumerated PDO and reports the PDOs of the devices on the controller's
// ports as its bus relations, and the host-side RootHub that installs it and
// turns port arrivals and departures into relation changes.
#include <algorithm>
#include <mutex>

#include <wdm.h>

#include "image.h"
#include "kernel.h"
#include "pnp.h"
#include "registry.h"
#include "usb/hub_internal.h"
#include "usb/hub_pdo.h"

namespace sim::usb {
namespace {

constexpr ULONG kTag = 'U' | ('h' << 8) | ('u' << 16) | (ULONG('b') << 24);

// Hubs of live RootHubs: AddDevice gives the root hub's stack the one that has
// no FDO (the node being started, or started again after a removal).
std::mutex gHubsMu;
std::vector<std::weak_ptr<HubState>> gHubs;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::shared_ptr<HubState>* FdoState(PDEVICE_OBJECT d) {
  auto* x = static_cast<FdoExtension*>(d->DeviceExtension);
  return x && x->signature == kFdoSignature ? x->state : nullptr;
}

bool IsPdo(PDEVICE_OBJECT d) {
  auto* x = static_cast<PdoExtension*>(d->DeviceExtension);
  return x && x->signature == kPdoSignature;
}

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver((*FdoState(fdo))->lower, irp);
}

// The root hub's relations: every PDO whose device is still on its port.
NTSTATUS AnswerBusRelations(HubState& hub, PIRP irp) {
  std::lock_guard lock(hub.mu);
  std::vector<PDEVICE_OBJECT> present;
  for (auto& rec : hub.pdos) {
    std::lock_guard rl(rec->mu);
    if (!rec->present || rec->deleted) continue;
    rec->reported = true;
    present.push_back(rec->self);
  }
  const size_t size = sizeof(DEVICE_RELATIONS) + (present.empty() ? 0 : present.size() - 1) * sizeof(PDEVICE_OBJECT);
  auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kTag));
  if (!rel) return STATUS_INSUFFICIENT_RESOURCES;
  rel->Count = ULONG(present.size());
  for (size_t i = 0; i < present.size(); ++i) {
    ObReferenceObject(present[i]);
    rel->Objects[i] = present[i];
  }
  irp->IoStatus.Information = ULONG_PTR(rel);
  return STATUS_SUCCESS;
}

NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  std::shared_ptr<HubState> hub = *FdoState(fdo);
  switch (s->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (s->Parameters.QueryDeviceRelations.Type == BusRelations) {
        const NTSTATUS st = AnswerBusRelations(*hub, irp);
        if (!NT_SUCCESS(st)) return Complete(irp, st);
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      return PassDown(fdo, irp);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fdo, irp);
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = hub->lower;
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS st = IoCallDriver(lower, irp);
      // The children's stacks are gone already; their PDOs go with the hub.
      std::vector<std::shared_ptr<PdoRecord>> left;
      std::function<void()> removed;
      {
        std::lock_guard lock(hub->mu);
        left = hub->pdos;
        hub->fdo = nullptr;
        hub->lower = nullptr;
        hub->removed = true;
        if (!hub->closed) removed = std::move(hub->onRemoved);
      }
      for (auto& rec : left) DeletePdo(rec);
      IoDetachDevice(lower);
      auto* x = static_cast<FdoExtension*>(fdo->DeviceExtension);
      delete x->state;
      x->state = nullptr;
      IoDeleteDevice(fdo);
      if (removed) removed();
      return st;
    }
    default:
      return PassDown(fdo, irp);
  }
}

NTSTATUS HubPnp(PDEVICE_OBJECT d, PIRP irp) {
  if (IsPdo(d)) return PdoPnp(d, irp);
  if (!FdoState(d)) return Complete(irp, STATUS_NO_SUCH_DEVICE);
  return FdoPnp(d, irp);
}

NTSTATUS HubPower(PDEVICE_OBJECT d, PIRP irp) {
  if (IsPdo(d)) return PdoPower(d, irp);
  PoStartNextPowerIrp(irp);
  if (!FdoState(d)) return Complete(irp, STATUS_NO_SUCH_DEVICE);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver((*FdoState(d))->lower, irp);
}

NTSTATUS HubInternalControl(PDEVICE_OBJECT d, PIRP irp) {
  if (IsPdo(d)) return PdoInternalControl(d, irp);
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

// WMI and anything else: a PDO completes it untouched, the FDO passes it down.
NTSTATUS HubOther(PDEVICE_OBJECT d, PIRP irp) {
  if (IsPdo(d) || !FdoState(d)) return Complete(irp, irp->IoStatus.Status);
  return PassDown(d, irp);
}

NTSTATUS HubAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT rootPdo) {
  std::shared_ptr<HubState> hub;
  {
    std::lock_guard lock(gHubsMu);
    for (auto& w : gHubs)
      if (auto h = w.lock()) {
        std::lock_guard hl(h->mu);
        if (!h->closed && !h->fdo) {
          hub = h;
          break;
        }
      }
  }
  if (!hub) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS st = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(st)) return st;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, rootPdo);
  if (!lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  auto* x = static_cast<FdoExtension*>(fdo->DeviceExtension);
  x->signature = kFdoSignature;
  x->state = new std::shared_ptr<HubState>(hub);
  {
    std::lock_guard lock(hub->mu);
    hub->driver = driver;
    hub->fdo = fdo;
    hub->lower = lower;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void HubUnload(PDRIVER_OBJECT) {}

NTSTATUS HubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = HubPnp;
  driver->MajorFunction[IRP_MJ_POWER] = HubPower;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubInternalControl;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = HubOther;
  driver->DriverExtension->AddDevice = HubAddDevice;
  driver->DriverUnload = HubUnload;
  return STATUS_SUCCESS;
}

void InstallHubService() {
  const std::string key = std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + kHubService;
  sim::kernel::registry::SetDword(key, "Type", 1);   // kernel driver
  sim::kernel::registry::SetDword(key, "Start", 3);  // on demand
  sim::kernel::registry::SetDword(key, "ErrorControl", 1);
  sim::kernel::registry::SetString(key, "ImagePath", std::string("System32\\drivers\\") + kHubService + ".sys");
  sim::kernel::RegisterBuiltinImage(kHubService, HubDriverEntry);
}

// ---- Port events, on the controller's hub worker --------------------------------------------

void Invalidate(HubState& hub) {
  PDEVICE_OBJECT lower;
  {
    std::lock_guard lock(hub.mu);
    lower = hub.lower;
  }
  if (lower) IoInvalidateDeviceRelations(lower, BusRelations);
}

// Marks the port's present PDOs gone. Those the PnP manager never heard of are
// deleted at once; the others wait for their REMOVE_DEVICE.
void Depart(const std::shared_ptr<HubState>& hub, HubPort& port) {
  std::vector<std::shared_ptr<PdoRecord>> gone, unreported;
  {
    std::lock_guard lock(hub->mu);
    for (auto& rec : hub->pdos) {
      std::lock_guard rl(rec->mu);
      if (rec->port != &port || !rec->present) continue;
      rec->present = false;
      gone.push_back(rec);
      if (!rec->reported) unreported.push_back(rec);
    }
  }
  for (auto& rec : gone) PdoDeparted(rec);
  for (auto& rec : unreported) DeletePdo(rec);
}

void Arrive(const std::shared_ptr<HubState>& hub, HubPort& port) {
  {
    std::lock_guard lock(hub->mu);
    if (hub->closed || !hub->fdo) return;
  }
  if (!port.Connected() || port.Identity().deviceId.empty()) return;
  // A departure the port has not reported yet (unplugged and plugged again at once).
  Depart(hub, port);
  if (CreatePdo(hub, port)) Invalidate(*hub);
}

}  // namespace

RootHub::RootHub(HostController& hc) : hc_(hc), state_(std::make_shared<HubState>()) {
  state_->hc = &hc;
  InstallHubService();
  {
    std::lock_guard lock(gHubsMu);
    std::erase_if(gHubs, [](const std::weak_ptr<HubState>& w) { return w.expired(); });
    gHubs.push_back(state_);
  }
  node_ = sim::kernel::pnp::CreateRootDevice(kRootHubId, kHubService);
  std::shared_ptr<HubState> hub = state_;
  hc.SetPdoHooks({
      .arrived = [hub](HubPort& port) { Arrive(hub, port); },
      .departed =
          [hub](HubPort& port) {
            {
              std::lock_guard lock(hub->mu);
              if (hub->closed) return;
            }
            Depart(hub, port);
            Invalidate(*hub);
          },
  });
  // Devices attached before the hub came up are presented now, in order with
  // the port events already queued.
  for (int i = 0; i < hc.PortCount(); ++i) {
    HubPort* port = &hc.Port(i);
    hc.PostHubWork([hub, port] { Arrive(hub, *port); });
  }
  Settle();
}

void RootHub::Settle() {
  // Port work may queue more port work (a cycle re-plugs from the worker), and
  // each step may queue PnP work: a few rounds of both reach quiet. A moment of
  // virtual time first: it passes only once every thread is idle, so the frame
  // thread has queued what its last frame started (a phone's unplug request).
  for (int round = 0; round < 3; ++round) {
    sim::kernel::Sleep(1);
    KEVENT fence;
    KeInitializeEvent(&fence, NotificationEvent, FALSE);
    hc_.PostHubWork([&fence] { KeSetEvent(&fence, 0, FALSE); });
    KeWaitForSingleObject(&fence, Executive, KernelMode, FALSE, nullptr);
    sim::kernel::pnp::WaitIdle();
  }
}

RootHub::~RootHub() {
  bool removed;
  {
    std::lock_guard lock(state_->mu);
    state_->closed = true;
    state_->onRemoved = nullptr;
    removed = state_->removed;
  }
  // As when the controller vanishes: the hub node and its children leave.
  // Unless the PnP manager took the hub away already (it is shutting down).
  if (node_ && !removed) {
    sim::kernel::pnp::SurpriseRemove(node_);
    sim::kernel::pnp::WaitIdle();
  }
  // PDOs still held (a handle kept their stack) must not reach the ports,
  // which may go before the PnP manager finally removes them.
  std::vector<std::shared_ptr<PdoRecord>> left;
  {
    std::lock_guard lock(state_->mu);
    left = state_->pdos;
  }
  for (auto& rec : left) {
    DetachPdo(rec);
    PdoDeparted(rec);
  }
  std::lock_guard lock(gHubsMu);
  std::erase_if(gHubs, [this](const std::weak_ptr<HubState>& w) { return w.lock() == state_; });
}

void RootHub::SetRemovedHandler(std::function<void()> handler) {
  std::lock_guard lock(state_->mu);
  state_->onRemoved = std::move(handler);
}

sim::kernel::DeviceNode* RootHub::Node() const { return node_; }

PDEVICE_OBJECT RootHub::Pdo(int port) const {
  std::lock_guard lock(state_->mu);
  for (auto& rec : state_->pdos) {
    std::lock_guard rl(rec->mu);
    if (rec->present && !rec->deleted && rec->portNumber == port) return rec->self;
  }
  return nullptr;
}

sim::kernel::DeviceNode* RootHub::DeviceNodeOf(int port) const {
  PDEVICE_OBJECT pdo = Pdo(port);
  if (!pdo) return nullptr;
  sim::kernel::DeviceObjectInfo* info = sim::kernel::InfoOf(pdo);
  sim::kernel::DeviceNode* node = info ? info->node : nullptr;
  for (sim::kernel::DeviceNode* n : sim::kernel::pnp::Nodes())
    if (n == node) return n;
  return nullptr;
}

}  // namespace sim::usb
