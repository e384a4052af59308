// The power manager: power IRPs requested and passed down through the per-device gate
// (one system and one device set/query IRP at a time per device object, released by
// PoStartNextPowerIrp), the device states drivers report, wait-wake bookkeeping, and
// system sleep and wake across the device tree.
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "internal.h"
#include "io.h"
#include "pnp.h"
#include "power.h"
#include "verifier.h"

namespace sim::kernel::power {
namespace {

struct DeviceRecord {
  DEVICE_POWER_STATE d = PowerDeviceUnspecified;
  SYSTEM_POWER_STATE s = PowerSystemWorking;
  PIRP active[2] = {nullptr, nullptr};  // [0] system, [1] device set/query IRP in the driver
  std::deque<PIRP> queued[2];
  std::unique_ptr<ULONG> idleCounter;
};

struct IrpRecord {
  std::set<PDEVICE_OBJECT> startedNext;  // devices that called PoStartNextPowerIrp for it
  PDEVICE_OBJECT device = nullptr;       // the device it was last dispatched to
  int location = 0;                      // and that device's stack location
};

void Dispatch(PDEVICE_OBJECT dev, PIRP irp);

// A request from PoRequestPowerIrp.
struct Request {
  PDEVICE_OBJECT target;
  PDEVICE_OBJECT pdo;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE callback;
  PVOID context;
  PIRP irp;
  int refs = 1;  // the completion's; a canceller holds one more while it cancels
  bool done = false;
};

struct State {
  unsigned generation = ~0u;
  std::map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::map<PIRP, IrpRecord> irps;
  std::set<Request*> waitWakes;
  SYSTEM_POWER_STATE system = PowerSystemWorking;
};

std::recursive_mutex gLock;
State* gState = nullptr;

State& S() {
  if (!gState || gState->generation != gSched.generation) {
    delete gState;
    gState = new State;
    gState->generation = gSched.generation;
  }
  return *gState;
}

bool Serialised(PIO_STACK_LOCATION s) {
  return s->MajorFunction == IRP_MJ_POWER && (s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER);
}
int ClassOf(PIO_STACK_LOCATION s) { return s->Parameters.Power.Type == DevicePowerState ? 1 : 0; }

// Releases every gate `irp` still holds (a driver completed it without starting the next)
// and dispatches what waited behind them.
void ReleaseGates(PIRP irp) {
  std::vector<std::pair<PDEVICE_OBJECT, PIRP>> next;
  {
    std::lock_guard<std::recursive_mutex> g(gLock);
    for (auto& [dev, rec] : S().devices)
      for (int c = 0; c < 2; c++)
        if (rec.active[c] == irp) {
          rec.active[c] = nullptr;
          if (!rec.queued[c].empty()) {
            rec.active[c] = rec.queued[c].front();
            rec.queued[c].pop_front();
            next.push_back({dev, rec.active[c]});
          }
        }
    S().irps.erase(irp);
  }
  for (auto [dev, held] : next)
    pnp::PostToPowerThread([dev, held] { Dispatch(dev, held); });
}

// Sends an IRP the gate held back to the device it was meant for.
void Dispatch(PDEVICE_OBJECT dev, PIRP irp) {
  {
    std::lock_guard<std::recursive_mutex> g(gLock);
    IrpRecord& r = S().irps[irp];
    r.device = dev;
    r.location = irp->CurrentLocation - 1;
  }
  IoCallDriver(dev, irp);
}

NTSTATUS RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<Request*>(context);
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, irql, (ULONG_PTR)irp, IRP_MJ_POWER, r->minor, "power IRP completed above DISPATCH_LEVEL",
             nullptr);
  ReleaseGates(irp);
  // The callback runs at PASSIVE_LEVEL or DISPATCH_LEVEL, as documented.
  KIRQL old = irql;
  bool raised = irql != PASSIVE_LEVEL && irql != DISPATCH_LEVEL;
  if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);
  if (r->callback) r->callback(r->target, r->minor, r->state, r->context, &irp->IoStatus);
  if (raised) KeLowerIrql(old);
  bool last;
  {
    std::lock_guard<std::recursive_mutex> g(gLock);
    S().waitWakes.erase(r);
    r->done = true;
    last = --r->refs == 0;
  }
  if (last) {
    IoFreeIrp(irp);
    delete r;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);

SYSTEM_POWER_STATE CurrentSystemState() {
  std::lock_guard<std::recursive_mutex> g(gLock);
  return S().system;
}

DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> g(gLock);
  auto it = S().devices.find(device);
  return it == S().devices.end() ? PowerDeviceUnspecified : it->second.d;
}

SYSTEM_POWER_STATE DeviceSystemState(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> g(gLock);
  auto it = S().devices.find(device);
  return it == S().devices.end() ? PowerSystemWorking : it->second.s;
}

int PendingWaitWakes(const DeviceNode* node) {
  std::lock_guard<std::recursive_mutex> g(gLock);
  int n = 0;
  for (Request* r : S().waitWakes)
    if (r->pdo == node->pdo) n++;
  return n;
}

void CancelWaitWakes(const DeviceNode* node) {
  std::vector<Request*> mine;
  {
    std::lock_guard<std::recursive_mutex> g(gLock);
    for (Request* r : S().waitWakes)
      if (!node || r->pdo == node->pdo) {
        r->refs++;
        mine.push_back(r);
      }
  }
  for (Request* r : mine) {
    IoCancelIrp(r->irp);
    bool last;
    {
      std::lock_guard<std::recursive_mutex> g(gLock);
      last = --r->refs == 0;
    }
    if (last) {
      IoFreeIrp(r->irp);
      delete r;
    }
  }
}

void ForgetDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> g(gLock);
  S().devices.erase(device);
}

void IrpFinished(PIRP irp) { ReleaseGates(irp); }

void Reset() {
  std::lock_guard<std::recursive_mutex> g(gLock);
  delete gState;
  gState = nullptr;
}

namespace {

// Sends a system power IRP to one stack and waits for it.
NTSTATUS SendSystemIrp(DeviceNode* n, UCHAR minor, SYSTEM_POWER_STATE s) {
  POWER_ACTION action = s == PowerSystemWorking      ? PowerActionSleep
                        : s == PowerSystemHibernate  ? PowerActionHibernate
                        : s == PowerSystemShutdown   ? PowerActionShutdown
                                                     : PowerActionSleep;
  IO_STATUS_BLOCK r = pnp::SendIrpAndWait(n->pdo, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION l) {
    l->Parameters.Power.SystemContext = 0;
    l->Parameters.Power.Type = SystemPowerState;
    l->Parameters.Power.State.SystemState = s;
    l->Parameters.Power.ShutdownType = action;
  });
  if (minor == IRP_MN_SET_POWER && !NT_SUCCESS(r.Status)) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(n->pdo);
    BugCheck(kDriverPowerStateFailure, 0x500, (ULONG_PTR)n->pdo, (ULONG_PTR)s, (ULONG_PTR)r.Status,
             "a driver failed a system IRP_MN_SET_POWER (system set-power requests must not fail)",
             top->DriverObject ? (const void*)top->DriverObject->MajorFunction[IRP_MJ_POWER] : nullptr);
  }
  return r.Status;
}

std::vector<DeviceNode*> StartedNodesChildrenFirst() {
  std::vector<DeviceNode*> pre = pnp::Nodes(), out;
  for (auto it = pre.rbegin(); it != pre.rend(); ++it)
    if ((*it)->state == NodeState::Started) out.push_back(*it);
  return out;
}

}  // namespace

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state) {
  if (state <= PowerSystemUnspecified || state >= PowerSystemMaximum) return STATUS_INVALID_PARAMETER;
  NTSTATUS result = STATUS_SUCCESS;
  pnp::RunOnPnpThread([&] {
    SYSTEM_POWER_STATE current = CurrentSystemState();
    if (state == current) return;
    if (current != PowerSystemWorking && state != PowerSystemWorking) {
      result = STATUS_INVALID_PARAMETER;  // wake first
      return;
    }
    // Reverse of the parents-first listing: children before their parents.
    std::vector<DeviceNode*> down = StartedNodesChildrenFirst();
    if (state != PowerSystemWorking) {
      std::vector<DeviceNode*> queried;
      for (DeviceNode* n : down) {
        queried.push_back(n);
        NTSTATUS st = SendSystemIrp(n, IRP_MN_QUERY_POWER, state);
        if (!NT_SUCCESS(st)) {
          for (auto it = queried.rbegin(); it != queried.rend(); ++it)
            SendSystemIrp(*it, IRP_MN_SET_POWER, PowerSystemWorking);
          result = st;
          return;
        }
      }
      for (DeviceNode* n : down) SendSystemIrp(n, IRP_MN_SET_POWER, state);
      std::lock_guard<std::recursive_mutex> g(gLock);
      S().system = state;
    } else {
      for (auto it = down.rbegin(); it != down.rend(); ++it) SendSystemIrp(*it, IRP_MN_SET_POWER, state);
      {
        std::lock_guard<std::recursive_mutex> g(gLock);
        S().system = state;
      }
      // The machine is awake: wait-wake requests that did not fire are cancelled.
      CancelWaitWakes(nullptr);
    }
  });
  return result;
}

}  // namespace sim::kernel::power

using namespace sim::kernel;
using namespace sim::kernel::power;

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const void* site = SIM_CALLER();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, KeGetCurrentIrql(), (ULONG_PTR)Irp, 0, 0, "PoCallDriver above DISPATCH_LEVEL", site);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  bool serialised = Serialised(next);
  {
    std::lock_guard<std::recursive_mutex> g(gLock);
    auto it = S().irps.find(Irp);
    if (it != S().irps.end() && it->second.device && serialised) {
      // Passed on by the driver of it->second.device. On NT 5.x it must have started the
      // next power IRP, or have set a completion routine in which it still can.
      const IrpRecord& rec = it->second;
      bool skipped = Irp->CurrentLocation > rec.location;
      bool completionRoutine = !skipped && next->CompletionRoutine;
      ULONG major = 0;
      PsGetVersion(&major, nullptr, nullptr, nullptr);
      if (major < 6 && !completionRoutine && !rec.startedNext.count(rec.device))
        BugCheck(kDriverVerifierDetectedViolation, 0x1120, (ULONG_PTR)Irp, (ULONG_PTR)rec.device, 0,
                 "power IRP passed down without PoStartNextPowerIrp", site);
    }
    if (serialised) {
      int cls = ClassOf(next);
      DeviceRecord& rec = S().devices[DeviceObject];
      if (rec.active[cls] && rec.active[cls] != Irp) {
        rec.queued[cls].push_back(Irp);
        if (Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
        return STATUS_PENDING;
      }
      rec.active[cls] = Irp;
    }
    IrpRecord& r = S().irps[Irp];
    r.device = DeviceObject;
    r.location = Irp->CurrentLocation - 1;
  }
  // A pageable power stack is always called at PASSIVE_LEVEL; a caller at DISPATCH_LEVEL
  // (a completion routine passing a power IRP on) has it delivered from the power thread.
  if ((DeviceObject->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() > PASSIVE_LEVEL) {
    if (Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
    ObReferenceObject(DeviceObject);
    pnp::PostToPowerThread([DeviceObject, Irp] {
      IoCallDriver(DeviceObject, Irp);
      ObDereferenceObject(DeviceObject);
    });
    return STATUS_PENDING;
  }
  return IoCallDriver(DeviceObject, Irp);
}

void NTAPI PoStartNextPowerIrp(PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, KeGetCurrentIrql(), (ULONG_PTR)Irp, 0, 0, "PoStartNextPowerIrp above DISPATCH_LEVEL",
             SIM_CALLER());
  PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT dev = cur->DeviceObject;
  PIRP held = nullptr;
  {
    std::lock_guard<std::recursive_mutex> g(gLock);
    S().irps[Irp].startedNext.insert(dev);
    if (!Serialised(cur)) return;
    int cls = ClassOf(cur);
    auto it = S().devices.find(dev);
    if (it == S().devices.end() || it->second.active[cls] != Irp) return;
    DeviceRecord& rec = it->second;
    rec.active[cls] = nullptr;
    if (!rec.queued[cls].empty()) {
      held = rec.queued[cls].front();
      rec.queued[cls].pop_front();
      rec.active[cls] = held;
    }
  }
  if (held) pnp::PostToPowerThread([dev, held] { Dispatch(dev, held); });
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, KeGetCurrentIrql(), 0, 0, 0, "PoRequestPowerIrp above DISPATCH_LEVEL", SIM_CALLER());
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = IoAllocateIrp((CCHAR)(top->StackSize + 1), FALSE);
  if (!irp) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
  own->MajorFunction = IRP_MJ_POWER;
  own->MinorFunction = MinorFunction;
  own->DeviceObject = nullptr;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
    next->Parameters.Power.ShutdownType = PowerActionNone;
  }
  auto* r = new Request{DeviceObject, io::BottomOf(DeviceObject), MinorFunction, PowerState, CompletionFunction,
                        Context, irp};
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    std::lock_guard<std::recursive_mutex> g(gLock);
    S().waitWakes.insert(r);
  }
  IoSetCompletionRoutine(irp, RequestDone, r, TRUE, TRUE, TRUE);
  if (Irp) *Irp = irp;
  PoCallDriver(top, irp);
  ObDereferenceObject(top);
  return STATUS_PENDING;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, KeGetCurrentIrql(), 0, 0, 0, "PoSetPowerState above DISPATCH_LEVEL", SIM_CALLER());
  std::lock_guard<std::recursive_mutex> g(gLock);
  DeviceRecord& rec = S().devices[DeviceObject];
  POWER_STATE old;
  if (Type == DevicePowerState) {
    old.DeviceState = rec.d;
    rec.d = State.DeviceState;
  } else {
    old.SystemState = rec.s;
    rec.s = State.SystemState;
  }
  return old;
}

PULONG NTAPI PoRegisterDeviceForIdleDetection(PDEVICE_OBJECT DeviceObject, ULONG ConservationIdleTime,
                                              ULONG PerformanceIdleTime, DEVICE_POWER_STATE) {
  // The counter is kept for PoSetDeviceBusy; idle timeouts are not simulated.
  std::lock_guard<std::recursive_mutex> g(gLock);
  DeviceRecord& rec = S().devices[DeviceObject];
  if (!ConservationIdleTime && !PerformanceIdleTime) {
    rec.idleCounter.reset();
    return nullptr;
  }
  if (!rec.idleCounter) rec.idleCounter = std::make_unique<ULONG>(0);
  return rec.idleCounter.get();
}

}  // extern "C"
