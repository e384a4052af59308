// A small function driver on the PnP device base for the library's tests: root-enumerated
// devices named "\Device\WdmPnpTest<unit>" that serve reads after a delay and writes at
// once, and log the PnP and power events the library passes to them.
#include "pnp_test_control.h"
#include "wdm_driver.h"
#include "wdm_pnp_device.h"

namespace {

PnpTestControl* gControl = nullptr;

void Log(const char* event) {
  if (gControl && gControl->Log) gControl->Log(gControl, event);
}

void Apply(ULONG value, ULONG* policy) {
  if (value != kPnpTestKeep) *policy = value;
}

class TestPnpDevice;

struct PendingRead {
  KTIMER Timer;
  KDPC Dpc;
  PIRP Irp;
  TestPnpDevice* Device;
};

class TestPnpDevice : public WdmPnpDevice {
 public:
  TestPnpDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT Pdo) : WdmPnpDevice(creation, Pdo) {
    SetDefaultPnpPolicies();
    SetDefaultPowerPolicies(FALSE);
    if (gControl) {
      Apply(gControl->PowerPolicy, &PowerPolicy);
      Apply(gControl->QueryPowerPolicy, &QueryPowerPolicy);
      Apply(gControl->PowerHoldPolicy, &PowerHoldPolicy);
      Apply(gControl->GatePolicy, &GatePolicy);
      Apply(gControl->RemovalPolicy, &RemovalPolicy);
    }
    NTSTATUS status = AttachLowerDevice(&Lower);
    if (!NT_SUCCESS(status)) ConstructionStatus = status;
  }

  NTSTATUS Create(PIRP Irp) override { return CompleteIrp(Irp, STATUS_SUCCESS); }
  NTSTATUS Close(PIRP Irp) override { return CompleteIrp(Irp, STATUS_SUCCESS); }
  NTSTATUS Cleanup(PIRP Irp) override { return CompleteIrp(Irp, STATUS_SUCCESS); }
  NTSTATUS Write(PIRP Irp) override {
    return CompleteIrp(Irp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length);
  }
  NTSTATUS Read(PIRP Irp) override {
    Log("Read");
    ULONG delay = gControl ? gControl->ReadDelayMs : 0;
    if (!delay) return ServeRead(Irp);
    auto* pending = static_cast<PendingRead*>(WdmAllocate(sizeof(PendingRead)));
    if (!pending) return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
    pending->Irp = Irp;
    pending->Device = this;
    KeInitializeTimer(&pending->Timer);
    KeInitializeDpc(&pending->Dpc, ReadDue, pending);
    IoMarkIrpPending(Irp);
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)delay * 10000;
    KeSetTimer(&pending->Timer, due, &pending->Dpc);
    return STATUS_PENDING;
  }

  NTSTATUS ServeRead(PIRP Irp) {
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (Irp->AssociatedIrp.SystemBuffer) RtlFillMemory(Irp->AssociatedIrp.SystemBuffer, length, 'r');
    if (gControl) InterlockedIncrement(&gControl->ReadsServed);
    return CompleteIrp(Irp, STATUS_SUCCESS, length);
  }

  static void NTAPI ReadDue(PKDPC, PVOID Context, PVOID, PVOID) {
    auto* pending = static_cast<PendingRead*>(Context);
    TestPnpDevice* device = pending->Device;
    PIRP irp = pending->Irp;
    WdmFree(pending);
    device->ServeRead(irp);
  }

  NTSTATUS Power(PIRP Irp) override {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
      char event[] = "power S set 0";
      event[6] = stack->Parameters.Power.Type == ::SystemPowerState ? 'S' : 'D';
      if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        event[8] = 'q';
        event[9] = 'r';
        event[10] = 'y';
      }
      event[12] = (char)('0' + (int)stack->Parameters.Power.State.SystemState);
      Log(event);
    }
    return WdmPnpDevice::Power(Irp);
  }

  NTSTATUS OnStartDevice(PIRP Irp) override {
    Log("Start");
    return WdmPnpDevice::OnStartDevice(Irp);
  }
  NTSTATUS OnStopDevice(PIRP Irp) override {
    Log("Stop");
    return WdmPnpDevice::OnStopDevice(Irp);
  }
  NTSTATUS OnRemoveDevice(PIRP Irp) override {
    Log("Remove");
    return WdmPnpDevice::OnRemoveDevice(Irp);
  }
  NTSTATUS OnSurpriseRemoval(PIRP Irp) override {
    Log("SurpriseRemoval");
    return WdmPnpDevice::OnSurpriseRemoval(Irp);
  }
  NTSTATUS OnDevicePowerUp() override {
    Log(KeGetCurrentIrql() == PASSIVE_LEVEL ? "OnDevicePowerUp" : "OnDevicePowerUp above PASSIVE_LEVEL");
    return STATUS_SUCCESS;
  }
  NTSTATUS OnDeviceSleep() override {
    Log("OnDeviceSleep");
    return STATUS_SUCCESS;
  }
  NTSTATUS OnSystemPowerUp() override {
    Log("OnSystemPowerUp");
    return STATUS_SUCCESS;
  }
  NTSTATUS OnSystemPowerDown() override {
    Log("OnSystemPowerDown");
    return STATUS_SUCCESS;
  }

  WdmLowerDevice Lower;
};

class TestDriver : public WdmDriver {
 public:
  NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath) override {
    // The test leaves the address of its control block in the service key.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, RegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
      UNICODE_STRING name;
      RtlInitUnicodeString(&name, L"Control");
      UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONGLONG)];
      ULONG length = 0;
      if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length))) {
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        ULONGLONG address = 0;
        RtlCopyMemory(&address, info->Data, info->DataLength < sizeof(address) ? info->DataLength : sizeof(address));
        gControl = reinterpret_cast<PnpTestControl*>((ULONG_PTR)address);
      }
      ZwClose(key);
    }
    return STATUS_SUCCESS;
  }

  void Unload() override {
    Log("Unload");
    gControl = nullptr;
  }

  NTSTATUS AddDevice(PDEVICE_OBJECT Pdo) override {
    UNICODE_STRING name;
    NTSTATUS status = WdmUnitName(L"WdmPnpTest", NextUnit, 10, &name);
    if (!NT_SUCCESS(status)) return status;
    TestPnpDevice* device = WdmNewDevice<TestPnpDevice>(&name, FILE_DEVICE_UNKNOWN, nullptr, 0,
                                                        DO_BUFFERED_IO | DO_POWER_PAGABLE, &status, Pdo);
    WdmFreeUnitName(&name);
    if (!device) return status;
    status = device->ConstructionStatus;
    if (!NT_SUCCESS(status)) {
      device->Destroy();
      return status;
    }
    NextUnit++;
    return STATUS_SUCCESS;
  }

  ULONG NextUnit = 0;
};

}  // namespace

const UCHAR WdmDriverMajorFunctions[] = {
    IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ,  IRP_MJ_WRITE,         IRP_MJ_DEVICE_CONTROL,
    IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_PNP,  IRP_MJ_SYSTEM_CONTROL,
};
const ULONG WdmDriverMajorFunctionCount = sizeof(WdmDriverMajorFunctions) / sizeof(WdmDriverMajorFunctions[0]);

WdmDriver* WdmCreateDriver() { return new TestDriver; }
