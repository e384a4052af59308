// Host side of the Plug and Play manager: the device tree, how a device is reported,
// matched to an installed driver, started, stopped and removed, and what the
// Configuration Manager layer reads about each device node.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "devnode.h"

namespace sim::kernel::pnp {

// ---- Driver database -------------------------------------------------------------------
// What the INF installer writes for every hardware id it installs a driver for, and all
// the PnP manager reads to find a driver:
//
//   \Registry\Machine\System\Sim\DriverDatabase\<escaped hardware id>
//       Service       REG_SZ        function driver service (Services\<name> must exist)
//       ClassGUID     REG_SZ        "{4D36E978-E325-11CE-BFC1-08002BE10318}"
//       Class         REG_SZ        optional class name ("Ports")
//       DeviceDesc    REG_SZ        optional; the device's own text is used when missing
//       Mfg           REG_SZ        optional manufacturer
//       LowerFilters  REG_MULTI_SZ  optional, bottom first
//       UpperFilters  REG_MULTI_SZ  optional, bottom first
//       \Driver                     optional template: its values and subkeys (the INF's
//                                   AddReg for the driver key) are copied into every new
//                                   driver key Control\Class\{guid}\NNNN made from it
//       \Device                     optional template (the INF's .HW AddReg for HKR): its
//                                   values and subkeys belong in the new device's
//                                   Enum\<instance>\Device Parameters
//
// The escaped hardware id is the id with every '\' replaced by '#' (registry key names
// cannot hold a backslash). Hardware ids are tried in the order the device reports them,
// then its compatible ids; the first id with a record wins. With no record the device
// gets problem 28 (no driver installed) until ReenumerateDriverless() finds one.
inline constexpr const char* kDriverDatabase = "\\Registry\\Machine\\System\\Sim\\DriverDatabase";
std::string EscapeHardwareId(std::string_view hardwareId);

struct DriverRecord {
  std::string hardwareId;
  std::string service;
  std::string classGuid;
  std::string className;
  std::string deviceDesc;
  std::string mfg;
  std::vector<std::string> lowerFilters, upperFilters;
};
// Writes a record (tests; the INF installer writes the same keys itself).
void InstallDriverRecord(const DriverRecord& record);

// ---- Configuration Manager view ----------------------------------------------------------
// Problem codes (CM_PROB_*).
enum : ULONG {
  kProbInvalidData = 9,
  kProbFailedStart = 10,
  kProbDisabled = 22,
  kProbFailedInstall = 28,
  kProbFailedAdd = 31,
  kProbFailedDriverEntry = 37,
  kProbFailedPostStart = 43,
};
// Status bits (DN_*).
enum : ULONG {
  kDnRootEnumerated = 0x1,
  kDnDriverLoaded = 0x2,
  kDnStarted = 0x8,
  kDnHasProblem = 0x400,
  kDnDisableable = 0x2000,
  kDnRemovable = 0x4000,
};
struct Status {
  ULONG status = 0;  // DN_* bits
  ULONG problem = 0;
  NTSTATUS problemStatus = STATUS_SUCCESS;
};

DeviceNode* Root();
// Live nodes of the tree, parents before children (the root itself is not listed).
std::vector<DeviceNode*> Nodes();
DeviceNode* NodeByInstancePath(std::string_view instancePath);  // case-insensitive
Status NodeStatus(const DeviceNode* node);
// Device objects of the node's stack, bottom (the PDO) first.
std::vector<PDEVICE_OBJECT> StackOf(const DeviceNode* node);

// ---- Reporting devices --------------------------------------------------------------------
// A bus driver's or the hub's PDO: queries its ids, text and capabilities, writes its Enum
// key, finds its driver, builds and starts its stack. Runs on the PnP thread; returns the
// new node (also when it could not be started: see NodeStatus).
DeviceNode* ReportDevice(DeviceNode* parent, PDEVICE_OBJECT pdo);
// A root-enumerated device ("ROOT\<id>\NNNN") whose PDO the PnP manager owns. A non-empty
// `service` installs the device with that function driver without a database record.
DeviceNode* CreateRootDevice(std::string_view hardwareId, std::string_view service = {});
// The bus driver of a root-enumerated device completes its pending wait-wake with success
// (the root bus stands in for a bus whose hardware signalled wake). False when none pends.
bool SignalWake(DeviceNode* rootDevice);

// ---- Changing devices ------------------------------------------------------------------------
// QUERY_REMOVE to the node's subtree (children first), then REMOVE_DEVICE; a veto (an open
// handle on a stack or a driver failing the query) sends CANCEL_REMOVE and returns the
// veto's status (STATUS_DEVICE_BUSY for open handles) with nothing removed.
NTSTATUS QueryRemoveAndRemove(DeviceNode* node);
// The device was unplugged: SURPRISE_REMOVAL to its subtree now, REMOVE_DEVICE to each
// stack once its last handle is closed.
void SurpriseRemove(DeviceNode* node);
// QUERY_STOP, STOP, then START again (resource rebalance). Returns the failing status.
NTSTATUS Rebalance(DeviceNode* node);
// Query-remove, EJECT to the device's stack, then removal (IoRequestDeviceEject does the same).
NTSTATUS Eject(DeviceNode* node);
// Disable: query-remove and remove, problem 22 kept in ConfigFlags. Enable restarts it.
NTSTATUS Disable(DeviceNode* node);
NTSTATUS Enable(DeviceNode* node);
// Looks for drivers again for every node with problem 28 (after an installation).
void ReenumerateDriverless();
// Waits until the PnP thread has no queued work (after IoInvalidateDeviceRelations);
// surprise-removed stacks whose handles have closed meanwhile get their REMOVE_DEVICE.
void WaitIdle();

// The I/O manager calls this when the last handle to a device object closes, so a stack
// waiting after surprise removal gets its REMOVE_DEVICE.
void NotifyHandleClosed(PDEVICE_OBJECT device);

// Verifier: after every successful start a PnP IRP of a minor no driver handles is sent
// to the stack; it must come back with STATUS_NOT_SUPPORTED untouched. On by default.
void SetProbeUnknownMinor(bool enable);

// Removes every device (children first), stops the PnP and power threads and forgets the
// tree. Call before sim::kernel::Shutdown.
void Shutdown();

// ---- Shared with the power manager ---------------------------------------------------------
// Runs `fn` on the PnP thread and waits for it (runs inline when already there).
void RunOnPnpThread(const std::function<void()>& fn);
// Queues `fn` on the power thread (power IRPs held back by the per-device gate).
void PostToPowerThread(std::function<void()> fn);
// Sends a PnP or power IRP to the top of the stack that holds `device` at PASSIVE_LEVEL
// and waits; the stack location is filled by `setup`. Returns the final IoStatus.
IO_STATUS_BLOCK SendIrpAndWait(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                               const std::function<void(PIO_STACK_LOCATION)>& setup,
                               NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);

// ---- Between the parts of the PnP manager --------------------------------------------------
void PostToPnpThread(std::function<void()> fn);
void StopThreads();
// On the PnP thread: REMOVE_DEVICE for surprise-removed stacks whose handles are closed.
void FinishSurpriseRemovals();
// Registry side: ConfigFlags (CONFIGFLAG_*) of the Enum key, the Enum key's values, driver
// matching (fills service, class, filters and driver key; false when none is installed),
// and the class filters of the node's class key.
constexpr ULONG kConfigFlagDisabled = 0x1;
constexpr ULONG kConfigFlagFailedInstall = 0x40;
ULONG ConfigFlags(const DeviceNode* node);
void SetConfigFlags(const DeviceNode* node, ULONG flags);
void WriteDeviceKey(const DeviceNode* node, const DEVICE_CAPABILITIES& caps);
bool MatchDriver(DeviceNode* node);
std::vector<std::string> ClassFilters(const DeviceNode* node, const char* valueName);
// Root bus: creates the PDO of a root-enumerated device; deletes them all at shutdown.
PDEVICE_OBJECT CreateRootPdo(std::string_view hardwareId, ULONG instance);
void DeleteRootPdo(PDEVICE_OBJECT pdo);
bool IsRootPdo(PDEVICE_OBJECT pdo);
// Driver images by service name (one DRIVER_OBJECT per service, shared by its devices).
PDRIVER_OBJECT LoadServiceDriver(const std::string& service, NTSTATUS* status);
void UnloadServiceDriverIfUnused(PDRIVER_OBJECT driver);
void UnloadAllServiceDrivers();

}  // namespace sim::kernel::pnp
