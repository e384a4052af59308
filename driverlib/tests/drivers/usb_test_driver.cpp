// A function driver for the phone's USB device built on the PnP device base and the USB
// lower device, for the library's USB tests: "\Device\WdmUsbTest<unit>" runs one lower-
// device operation per IOCTL_USB_TEST and reports asynchronous reads in the control block.
#include "usb_test_control.h"
#include "wdm_driver.h"
#include "wdm_pnp_device.h"
#include "wdm_usb_interface.h"

namespace {

UsbTestControl* gControl = nullptr;

const ULONG kInterfaces = 8;
const ULONG kPipes = 24;

// An asynchronous read: everything it owns, released in its callback only.
struct AsyncRead {
  URB Urb;
  UCHAR Buffer[64];
};

void NTAPI AsyncReadDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* read = static_cast<AsyncRead*>(Context);
  if (gControl) {
    gControl->AsyncStatus = Irp->IoStatus.Status;
    ULONG length = read->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (length > sizeof(gControl->AsyncData)) length = sizeof(gControl->AsyncData);
    if (!NT_SUCCESS(Irp->IoStatus.Status)) length = 0;
    RtlCopyMemory(gControl->AsyncData, read->Buffer, length);
    gControl->AsyncLength = length;
    InterlockedIncrement(&gControl->AsyncCallbacks);
  }
  WdmFree(read);
  if (gControl) KeSetEvent(&gControl->AsyncDone, IO_NO_INCREMENT, FALSE);
}

class TestUsbDevice : public WdmPnpDevice {
 public:
  TestUsbDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT Pdo) : WdmPnpDevice(creation, Pdo) {
    SetDefaultPnpPolicies();
    SetDefaultPowerPolicies(FALSE);
    NTSTATUS status = AttachLowerDevice(&Usb);
    if (!NT_SUCCESS(status)) ConstructionStatus = status;
  }

  NTSTATUS Create(PIRP Irp) override { return CompleteIrp(Irp, STATUS_SUCCESS); }
  NTSTATUS Close(PIRP Irp) override { return CompleteIrp(Irp, STATUS_SUCCESS); }
  NTSTATUS Cleanup(PIRP Irp) override { return CompleteIrp(Irp, STATUS_SUCCESS); }

  NTSTATUS OnRemoveDevice(PIRP Irp) override {
    Usb.ReleaseConfiguration();
    return WdmPnpDevice::OnRemoveDevice(Irp);
  }

  NTSTATUS DeviceControl(PIRP Irp) override {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_USB_TEST ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(UsbTestRequest) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(UsbTestReply)) {
      return CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
    }
    // One system buffer holds the request, then the reply: copy the request out first.
    auto* request = static_cast<UsbTestRequest*>(WdmAllocate(sizeof(UsbTestRequest)));
    if (!request) return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(request, Irp->AssociatedIrp.SystemBuffer, sizeof(UsbTestRequest));
    auto* reply = static_cast<UsbTestReply*>(Irp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(reply, sizeof(*reply));
    Run(*request, *reply);
    WdmFree(request);
    return CompleteIrp(Irp, STATUS_SUCCESS, sizeof(UsbTestReply));
  }

  WdmUsbPipe* PipeAt(ULONG index) { return index < PipeCount ? &Pipes[index] : nullptr; }

  void Run(const UsbTestRequest& r, UsbTestReply& out) {
    switch (r.Op) {
      case kOpDeviceDescriptor:
        out.Status = Usb.GetDeviceDescriptor(reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(out.Data));
        out.Length = NT_SUCCESS(out.Status) ? sizeof(USB_DEVICE_DESCRIPTOR) : 0;
        break;
      case kOpConfiguration:
        out.Status = Usb.GetConfigurationDescriptor((UCHAR)r.Arg[0], r.Arg[1]);
        if (NT_SUCCESS(out.Status)) {
          out.Value = Usb.ConfigurationLength;
          out.Length = out.Value < sizeof(out.Data) ? out.Value : sizeof(out.Data);
          RtlCopyMemory(out.Data, Usb.ConfigurationDescriptor, out.Length);
        }
        break;
      case kOpString: {
        ULONG length = r.Arg[2] < sizeof(out.Data) ? r.Arg[2] : sizeof(out.Data);
        out.Status = Usb.GetStringDescriptor((UCHAR)r.Arg[0], reinterpret_cast<PWCHAR>(out.Data), length,
                                             (USHORT)r.Arg[1]);
        out.Length = length;
        break;
      }
      case kOpAddInterface:
        out.Status = InterfaceCount < kInterfaces
                         ? Interfaces[InterfaceCount].Initialize(&Usb, (UCHAR)r.Arg[0], (UCHAR)r.Arg[1], (UCHAR)r.Arg[2])
                         : STATUS_INSUFFICIENT_RESOURCES;
        if (NT_SUCCESS(out.Status)) out.Value = InterfaceCount++;
        break;
      case kOpAddPipe:
        out.Status = PipeCount < kPipes ? Pipes[PipeCount].Initialize(&Usb, (UCHAR)r.Arg[0], r.Arg[1])
                                        : STATUS_INSUFFICIENT_RESOURCES;
        if (NT_SUCCESS(out.Status)) out.Value = PipeCount++;
        break;
      case kOpActivate:
        out.Value = Usb.ActivateConfiguration((UCHAR)r.Arg[0], r.Arg[1]);
        for (ULONG i = 0; i < PipeCount; i++) out.Data[i] = Pipes[i].IsBound();
        out.Length = PipeCount;
        break;
      case kOpTransfer: {
        WdmUsbPipe* pipe = PipeAt(r.Arg[0]);
        ULONG length = r.Arg[2] < sizeof(out.Data) ? r.Arg[2] : sizeof(out.Data);
        if (!pipe) {
          out.Status = STATUS_INVALID_PARAMETER;
          break;
        }
        BOOLEAN in = r.Arg[1] != 0;
        if (!in) RtlCopyMemory(out.Data, r.Data, length < r.Length ? length : r.Length);
        URB urb;
        pipe->BuildTransfer(&urb, out.Data, in ? length : (length < r.Length ? length : r.Length), in, TRUE);
        out.Status = Usb.SubmitUrb(&urb, nullptr, nullptr, r.Arg[3]);
        out.Length = NT_SUCCESS(out.Status) && in ? urb.UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
        break;
      }
      case kOpAsyncRead: {
        WdmUsbPipe* pipe = PipeAt(r.Arg[0]);
        auto* read = static_cast<AsyncRead*>(WdmAllocate(sizeof(AsyncRead)));
        if (!pipe || !read) {
          WdmFree(read);
          out.Status = STATUS_INVALID_PARAMETER;
          break;
        }
        ULONG length = r.Arg[1] < sizeof(read->Buffer) ? r.Arg[1] : sizeof(read->Buffer);
        pipe->BuildTransfer(&read->Urb, read->Buffer, length, TRUE, TRUE);
        // Whatever this returns, the callback has run or will run and frees the read. Arg[2]
        // sends no URB at all, which the hub refuses at once.
        out.Status = Usb.SubmitUrb(r.Arg[2] ? nullptr : &read->Urb, AsyncReadDone, read);
        if (gControl) gControl->AsyncSubmitStatus = out.Status;
        break;
      }
      case kOpReset:
      case kOpAbort: {
        WdmUsbPipe* pipe = PipeAt(r.Arg[0]);
        out.Status = !pipe ? STATUS_INVALID_PARAMETER : r.Op == kOpReset ? pipe->ResetPipe() : pipe->AbortPipe();
        break;
      }
      case kOpVendor: {
        if (r.Arg[0] >= InterfaceCount) {
          out.Status = STATUS_INVALID_PARAMETER;
          break;
        }
        PURB urb = Interfaces[r.Arg[0]].BuildVendorRequest(nullptr, FALSE, FALSE, nullptr, 0, 1, (UCHAR)r.Arg[1],
                                                           (USHORT)r.Arg[2]);
        if (!urb) {
          out.Status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        out.Status = Usb.SubmitUrb(urb, nullptr, nullptr, 500);
        WdmFree(urb);
        break;
      }
      case kOpPortStatus: {
        ULONG bits = 0;
        out.Status = Usb.GetPortStatus(&bits);
        out.Value = bits;
        break;
      }
      case kOpCyclePort:
        out.Status = Usb.CyclePort();
        break;
      case kOpDeconfigure:
        out.Status = Usb.Deconfigure();
        break;
      case kOpRelease:
        Usb.ReleaseConfiguration();
        InterfaceCount = PipeCount = 0;
        out.Status = STATUS_SUCCESS;
        break;
      default:
        out.Status = STATUS_INVALID_PARAMETER;
    }
  }

  WdmUsbLowerDevice Usb;
  WdmUsbInterface Interfaces[kInterfaces];
  WdmUsbPipe Pipes[kPipes];
  ULONG InterfaceCount = 0;
  ULONG PipeCount = 0;
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
        gControl = reinterpret_cast<UsbTestControl*>((ULONG_PTR)address);
      }
      ZwClose(key);
    }
    return STATUS_SUCCESS;
  }

  void Unload() override {
    if (gControl) InterlockedExchange(&gControl->Unloaded, 1);
    gControl = nullptr;
  }

  NTSTATUS AddDevice(PDEVICE_OBJECT Pdo) override {
    UNICODE_STRING name;
    NTSTATUS status = WdmUnitName(L"WdmUsbTest", NextUnit, 10, &name);
    if (!NT_SUCCESS(status)) return status;
    TestUsbDevice* device = WdmNewDevice<TestUsbDevice>(&name, FILE_DEVICE_UNKNOWN, nullptr, 0,
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
    IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_PNP, IRP_MJ_SYSTEM_CONTROL,
};
const ULONG WdmDriverMajorFunctionCount = sizeof(WdmDriverMajorFunctions) / sizeof(WdmDriverMajorFunctions[0]);

WdmDriver* WdmCreateDriver() { return new TestDriver; }
