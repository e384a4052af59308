// The Plug and Play device base of the class library: device state, counting of IRPs in
// progress, the gate in front of every IRP, the PnP minor dispatcher with its policy
// bits, held IRPs, device interfaces, and the power management that goes with them.
#pragma once

#include "wdm_device.h"
#include "wdm_list.h"
#include "wdm_lower_device.h"
#include "wdm_sync.h"

class WdmPnpDevice : public WdmDevice {
 public:
  // State bits.
  static const ULONG kStopPending = 0x1;
  static const ULONG kRemovePending = 0x2;
  static const ULONG kRemoved = 0x4;
  static const ULONG kStarted = 0x8;
  static const ULONG kRemoving = 0x10;
  static const ULONG kSurpriseRemoved = 0x20;

  // RemovalPolicy bits.
  static const ULONG kRefuseAfterRemoval = 0x1;
  static const ULONG kRefuseBeforeStart = 0x2;
  static const ULONG kDestroyAtRemoval = 0x4;
  static const ULONG kWaitAtRemoval = 0x8;
  static const ULONG kDetachAtRemoval = 0x10;
  static const ULONG kReuseAfterRemoval = 0x20;
  static const ULONG kInterfacesFollowStart = 0x40;
  static const ULONG kNoReuse = 0x80;

  // QueryStopPolicy, QueryRemovePolicy, QueryPowerPolicy and SleepPolicy bits.
  static const ULONG kBusyWhileOpen = 0x1;
  static const ULONG kBusyWhileIo = 0x2;
  static const ULONG kFlushStartIo = 0x4;
  static const ULONG kCancelCurrentIrp = 0x8;
  static const ULONG kWaitForIdle = 0x10;
  static const ULONG kCancelOnTimeout = 0x40;

  // GatePolicy bits.
  static const ULONG kHoldWhileRemovePending = 0x1;
  static const ULONG kHoldWhileStopPending = 0x2;
  static const ULONG kHoldWhileNotStarted = 0x4;
  static const ULONG kCancelHeldAtCleanup = 0x8;
  static const ULONG kFailHeldAtRemoval = 0x10;
  static const ULONG kCancelHeldAtStop = 0x20;
  static const ULONG kRedispatchAtCancelStop = 0x40;
  static const ULONG kRedispatchAtCancelRemove = 0x80;

  // PowerPolicy bits.
  static const ULONG kManagePower = 0x1;
  static const ULONG kUsePowerSequence = 0x2;
  static const ULONG kWakeEnabled = 0x4;
  static const ULONG kPowerUpOnDemand = 0x8;
  static const ULONG kFollowSystemWake = 0x10;
  static const ULONG kPowerUpAtCreate = 0x20;
  static const ULONG kIdleAtLastClose = 0x40;
  static const ULONG kQueryCapabilities = 0x80;

  // PowerHoldPolicy bits.
  static const ULONG kHoldGoingToD3 = 0x1;
  static const ULONG kHoldGoingToD1D2 = 0x2;
  static const ULONG kNoOnDemandWorking = 0x4;
  static const ULONG kNoOnDemand = 0x8;
  static const ULONG kCancelHeldAtD3 = 0x10;
  static const ULONG kRedispatchAtD0 = 0x20;

  // PowerMinorSet bits.
  static const ULONG kLibrarySetPower = 0x1;
  static const ULONG kLibraryQueryPower = 0x2;
  static const ULONG kLibraryWaitWake = 0x4;
  static const ULONG kLibraryPowerSequence = 0x8;

  // WakePolicy bits.
  static const ULONG kArmAtDeviceSleep = 0x1;
  static const ULONG kArmAtSystemSleep = 0x2;
  static const ULONG kArmAtStart = 0x4;
  static const ULONG kCancelAtStop = 0x8;
  static const ULONG kCancelAtRemove = 0x10;
  static const ULONG kCancelBelowDeviceWake = 0x20;

  // PowerFlags bits.
  static const ULONG kWaitWakeFromAbove = 0x1;
  static const ULONG kGoingToD3 = 0x2;
  static const ULONG kGoingToD1D2 = 0x4;
  static const ULONG kIdleDetection = 0x8;
  static const ULONG kSequenceValid = 0x10;
  static const ULONG kContextPreserved = 0x20;

  // PhysicalDevice is the PDO below (for a PDO: null, meaning its own device object).
  WdmPnpDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT PhysicalDevice);
  ~WdmPnpDevice() override;

  NTSTATUS Dispatch(PIRP Irp) override;
  NTSTATUS Pnp(PIRP Irp) override;
  NTSTATUS Power(PIRP Irp) override;

  // Every major member completes through CompleteIrp below, so that an IRP the gate
  // let in gives its I/O reference back.
  NTSTATUS Create(PIRP Irp) override;
  NTSTATUS CreateClose(PIRP Irp) override;
  NTSTATUS CreateNamedPipe(PIRP Irp) override;
  NTSTATUS Close(PIRP Irp) override;
  NTSTATUS Read(PIRP Irp) override;
  NTSTATUS ReadWrite(PIRP Irp) override;
  NTSTATUS Write(PIRP Irp) override;
  NTSTATUS QueryInformation(PIRP Irp) override;
  NTSTATUS SetInformation(PIRP Irp) override;
  NTSTATUS QueryEa(PIRP Irp) override;
  NTSTATUS SetEa(PIRP Irp) override;
  NTSTATUS FlushBuffers(PIRP Irp) override;
  NTSTATUS QueryVolumeInformation(PIRP Irp) override;
  NTSTATUS SetVolumeInformation(PIRP Irp) override;
  NTSTATUS DirectoryControl(PIRP Irp) override;
  NTSTATUS FileSystemControl(PIRP Irp) override;
  NTSTATUS DeviceControl(PIRP Irp) override;
  NTSTATUS InternalDeviceControl(PIRP Irp) override;
  NTSTATUS Shutdown(PIRP Irp) override;
  NTSTATUS LockControl(PIRP Irp) override;
  NTSTATUS Cleanup(PIRP Irp) override;
  NTSTATUS CreateMailslot(PIRP Irp) override;
  NTSTATUS QuerySecurity(PIRP Irp) override;
  NTSTATUS SetSecurity(PIRP Irp) override;
  NTSTATUS SystemControl(PIRP Irp) override;
  NTSTATUS DeviceChange(PIRP Irp) override;
  NTSTATUS QueryQuota(PIRP Irp) override;
  NTSTATUS SetQuota(PIRP Irp) override;

  // PnP minors.
  virtual NTSTATUS OnStartDevice(PIRP Irp);
  virtual NTSTATUS OnStopDevice(PIRP Irp);
  virtual NTSTATUS OnQueryRemoveDevice(PIRP Irp);
  virtual NTSTATUS OnRemoveDevice(PIRP Irp);
  virtual NTSTATUS OnCancelRemoveDevice(PIRP Irp);
  virtual NTSTATUS OnQueryStopDevice(PIRP Irp);
  virtual NTSTATUS OnCancelStopDevice(PIRP Irp);
  virtual NTSTATUS OnQueryDeviceRelations(PIRP Irp);
  virtual NTSTATUS OnQueryInterface(PIRP Irp);
  virtual NTSTATUS OnQueryCapabilities(PIRP Irp);
  virtual NTSTATUS OnQueryResources(PIRP Irp);
  virtual NTSTATUS OnQueryResourceRequirements(PIRP Irp);
  virtual NTSTATUS OnReadConfig(PIRP Irp);
  virtual NTSTATUS OnWriteConfig(PIRP Irp);
  virtual NTSTATUS OnEject(PIRP Irp);
  virtual NTSTATUS OnSetLock(PIRP Irp);
  virtual NTSTATUS OnQueryId(PIRP Irp);
  virtual NTSTATUS OnQueryPnpDeviceState(PIRP Irp);
  virtual NTSTATUS OnQueryBusInformation(PIRP Irp);
  // Power minors.
  virtual NTSTATUS OnWaitWake(PIRP Irp);
  virtual NTSTATUS OnPowerSequence(PIRP Irp);
  virtual NTSTATUS OnSetPower(PIRP Irp);
  virtual NTSTATUS OnQueryPower(PIRP Irp);
  virtual NTSTATUS OnQueryDeviceText(PIRP Irp);
  virtual NTSTATUS OnFilterResourceRequirements(PIRP Irp);
  virtual NTSTATUS OnDeviceUsageNotification(PIRP Irp);
  virtual NTSTATUS OnSurpriseRemoval(PIRP Irp);
  virtual NTSTATUS OnPnpMinor87(PIRP Irp);

  virtual void SetDefaultPnpPolicies();
  // What the base does with an IRP nobody handles: passed down untouched when there is a
  // device below, else completed with its status untouched.
  virtual NTSTATUS DefaultPnp(PIRP Irp);
  virtual NTSTATUS DefaultPower(PIRP Irp);
  // Holds the IRP (the caller has released its I/O reference): STATUS_PENDING, or
  // STATUS_CANCELLED when it was cancelled already (then it is completed).
  virtual NTSTATUS HoldIrp(PIRP Irp);
  // Fails every held IRP with STATUS_DELETE_PENDING, or dispatches each again in order.
  virtual void ReleaseHeldIrps(BOOLEAN Fail);
  // Timeouts in 100 ns units, 0 without limit. STATUS_UNSUCCESSFUL above APC_LEVEL.
  virtual NTSTATUS WaitIdle(LONGLONG Timeout);
  virtual NTSTATUS WaitRemoved(LONGLONG Timeout);

  // Power hooks.
  virtual NTSTATUS OnDevicePowerUp();
  virtual NTSTATUS OnDeviceSleep();
  virtual NTSTATUS OnSystemPowerUp();
  virtual NTSTATUS OnSystemPowerDown();
  virtual DEVICE_POWER_STATE MapSystemToDevice(SYSTEM_POWER_STATE State);
  virtual void SetDefaultPowerPolicies(BOOLEAN Wake);

  // I/O counting. Completing or passing down through the library releases once.
  void AcquireIo();
  void ReleaseIo();
  // Releases the IRP's I/O reference and completes it with no boost.
  NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0);
  // The same for a power IRP: PoStartNextPowerIrp first.
  NTSTATUS CompletePowerIrp(PIRP Irp, NTSTATUS Status);
  // Cancels held IRPs of a file object, or all of them when FileObject is null.
  void CancelHeldIrps(PFILE_OBJECT FileObject);

  // Attaches Lower above PhysicalDevice and forwards to it from now on.
  NTSTATUS AttachLowerDevice(WdmLowerDevice* Lower);

  // Device interfaces: recorded here, switched on and off together.
  NTSTATUS RegisterInterface(const GUID* InterfaceClass, PCUNICODE_STRING ReferenceString);
  void SetInterfacesState(BOOLEAN Enable);

  // Power requests for this device's own stack.
  typedef void (*PowerCallback)(WdmPnpDevice* Device, NTSTATUS Status, PVOID Context);
  NTSTATUS RequestDevicePower(DEVICE_POWER_STATE State, BOOLEAN Wait, PowerCallback Callback = nullptr,
                              PVOID Context = nullptr);
  NTSTATUS RequestWaitWake();
  void CancelWaitWake();

  BOOLEAN IsStarted() const { return (State & kStarted) != 0; }
  BOOLEAN IsGone() const { return (State & (kRemoved | kSurpriseRemoved)) != 0; }

  WdmLowerDevice* LowerDevice;
  PDEVICE_OBJECT PhysicalDevice;
  volatile LONG IoCount;
  volatile LONG OpenCount;
  WdmMutex PnpLock;
  WdmEvent IdleEvent;
  WdmEvent RemoveEvent;
  WdmEvent StopEvent;
  WdmLockedList HeldIrps;
  WdmLockedList Interfaces;
  volatile ULONG State;

  ULONG RemovalPolicy;
  ULONG QueryStopPolicy;
  ULONG QueryRemovePolicy;
  ULONG GatePolicy;
  ULONG ForwardSet;
  ULONG FinishSet;
  LONGLONG QueryStopTimeout;
  LONGLONG QueryRemoveTimeout;
  LONGLONG RemoveTimeout;

  // Power.
  DEVICE_POWER_STATE DevicePowerState;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE IdleDeviceState;
  PIRP volatile PendingWaitWake;
  volatile ULONG PowerFlags;
  DEVICE_CAPABILITIES SavedCapabilities;
  ULONG PowerSequence[3];
  ULONG PowerPolicy;
  ULONG PowerHoldPolicy;
  ULONG PowerMinorSet;
  ULONG QueryPowerPolicy;
  ULONG SleepPolicy;
  ULONG WakePolicy;
  LONGLONG QueryPowerTimeout;
  LONGLONG SleepTimeout;
  // Power IRPs this device keeps pending itself (StopEvent counts them as idle).
  volatile LONG OwnPowerIrps;
  ULONG IdleCounter;
  // A CancelWaitWake in progress and its thread: the wait-wake IRP is not freed under it.
  volatile LONG WaitWakeCancelling;
  PVOID volatile WaitWakeCanceller;

  // Not for drivers: the parts of the library's own files.
  struct InterfaceRecord {
    LIST_ENTRY Link;
    const GUID* InterfaceClass;
    UNICODE_STRING SymbolicLink;
  };
  NTSTATUS SetPower(PIRP Irp);
  NTSTATUS QueryPower(PIRP Irp);
  NTSTATUS WaitWake(PIRP Irp);
  NTSTATUS PassPower(PIRP Irp);
  void FinishPowerUp(PIRP Irp, BOOLEAN Passive);
  NTSTATUS PowerDownAtPassive(PIRP Irp);
  void SetTransitionFlag(DEVICE_POWER_STATE Target);
  DEVICE_POWER_STATE CurrentDeviceState() const;
  BOOLEAN InD0() const;
  BOOLEAN PowerHoldApplies() const;
  BOOLEAN OnDemandForbidden() const;
  NTSTATUS ApplyWaitPolicy(ULONG Policy, LONGLONG Timeout, BOOLEAN Refuse);
  void StartIoCleanup(ULONG Policy);
  void RedispatchHeld();
  NTSTATUS GateOther(PIRP Irp, UCHAR Major);
  NTSTATUS DispatchCreate(PIRP Irp);
  NTSTATUS DispatchClose(PIRP Irp);
  NTSTATUS RemoveDevice(PIRP Irp);
  NTSTATUS QueryStopOrRemove(PIRP Irp, BOOLEAN Remove);
  NTSTATUS CancelStopOrRemove(PIRP Irp, BOOLEAN Remove);
  void UpdateStopEvent(LONG Count);
};
