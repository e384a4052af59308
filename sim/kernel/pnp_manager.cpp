// The Plug and Play manager: the device tree, enumeration of reported PDOs (ids, text,
// capabilities, the Enum key), driver matching from the driver database, building and
// starting stacks, bus relations, and the removal, stop and eject sequences.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "internal.h"
#include "io.h"
#include "pnp.h"
#include "power.h"
#include "registry.h"
#include "verifier.h"

namespace sim::kernel::pnp {
namespace {

constexpr const char* kEnumRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr UCHAR kUnknownMinor = 0xFF;

// What the manager keeps beside the shared DeviceNode record.
struct NodeExtra {
  std::vector<PDRIVER_OBJECT> drivers;  // of the stack above the PDO, bottom first
  bool hasStack = false;
  bool removeOnClose = false;  // surprise-removed: REMOVE_DEVICE once its handles close
  bool vanished = false;       // unlinked from the tree, kept until shutdown
  DEVICE_CAPABILITIES caps{};
  NodeState stateBeforeQuery = NodeState::Initialized;
};

struct Tree {
  unsigned generation = ~0u;
  DeviceNode root;
  std::vector<std::unique_ptr<DeviceNode>> nodes;  // every node ever made, until shutdown
  std::map<const DeviceNode*, NodeExtra> extra;
  bool probeUnknownMinor = true;
};

std::recursive_mutex gTreeLock;
Tree* gTree = nullptr;

Tree& T() {
  std::lock_guard<std::recursive_mutex> g(gTreeLock);
  if (!gTree || gTree->generation != gSched.generation) {
    // A new boot: the previous machine's objects are gone, forget them without IRPs.
    delete gTree;
    gTree = new Tree;
    gTree->generation = gSched.generation;
    gTree->root.instancePath = "HTREE\\ROOT\\0";
    gTree->root.enumerator = "HTREE";
    gTree->root.state = NodeState::Started;
  }
  return *gTree;
}

NodeExtra& X(const DeviceNode* n) {
  std::lock_guard<std::recursive_mutex> g(gTreeLock);
  return T().extra[n];
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = (char)toupper((unsigned char)c);
  return out;
}


// ---- Tree walking ------------------------------------------------------------------------

void PostOrder(DeviceNode* n, std::vector<DeviceNode*>& out) {
  std::vector<DeviceNode*> kids;
  {
    std::lock_guard<std::recursive_mutex> g(gTreeLock);
    kids = n->children;
  }
  for (DeviceNode* c : kids) PostOrder(c, out);
  out.push_back(n);
}

void PreOrder(DeviceNode* n, std::vector<DeviceNode*>& out) {
  out.push_back(n);
  std::vector<DeviceNode*> kids;
  {
    std::lock_guard<std::recursive_mutex> g(gTreeLock);
    kids = n->children;
  }
  for (DeviceNode* c : kids) PreOrder(c, out);
}

void Unlink(DeviceNode* n) {
  std::lock_guard<std::recursive_mutex> g(gTreeLock);
  if (n->parent) {
    auto& v = n->parent->children;
    v.erase(std::remove(v.begin(), v.end(), n), v.end());
  }
  X(n).vanished = true;
}

LONG OpenHandles(const DeviceNode* n) {
  LONG count = 0;
  for (PDEVICE_OBJECT d : StackOf(n))
    if (DeviceObjectInfo* info = InfoOf(d)) count += info->openHandles;
  return count;
}

// ---- Queries -------------------------------------------------------------------------------

std::vector<std::string> ParseMulti(const WCHAR* p) {
  std::vector<std::string> out;
  while (p && *p) {
    size_t n = 0;
    while (p[n]) n++;
    out.push_back(registry::ToUtf8(p, n));
    p += n + 1;
  }
  return out;
}

bool QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::vector<std::string>* out) {
  IO_STATUS_BLOCK r = SendIrpAndWait(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID,
                                     [&](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
  out->clear();
  if (!NT_SUCCESS(r.Status) || !r.Information) return false;
  auto* text = reinterpret_cast<WCHAR*>(r.Information);
  if (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs) {
    *out = ParseMulti(text);
  } else {
    size_t n = 0;
    while (text[n]) n++;
    out->push_back(registry::ToUtf8(text, n));
  }
  ExFreePool(text);
  return true;
}

std::string QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type) {
  IO_STATUS_BLOCK r = SendIrpAndWait(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT,
                                     [&](PIO_STACK_LOCATION s) {
                                       s->Parameters.QueryDeviceText.DeviceTextType = type;
                                       s->Parameters.QueryDeviceText.LocaleId = 0x409;
                                     });
  if (!NT_SUCCESS(r.Status) || !r.Information) return {};
  auto* text = reinterpret_cast<WCHAR*>(r.Information);
  size_t n = 0;
  while (text[n]) n++;
  std::string s = registry::ToUtf8(text, n);
  ExFreePool(text);
  return s;
}

NTSTATUS QueryCapabilities(DeviceNode* n) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  IO_STATUS_BLOCK r = SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                                     [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
  if (!NT_SUCCESS(r.Status)) return r.Status;
  X(n).caps = caps;
  n->uniqueId = caps.UniqueID != 0;
  n->address = caps.Address;
  n->uiNumber = caps.UINumber;
  return STATUS_SUCCESS;
}

void SetProblem(DeviceNode* n, NodeState state, ULONG problem, NTSTATUS status = STATUS_SUCCESS) {
  n->state = state;
  n->problem = problem;
  n->problemStatus = status;
}

// ---- Stacks ------------------------------------------------------------------------------------

void EnumerateBus(DeviceNode* n);
void RemoveStack(DeviceNode* n);

// After REMOVE_DEVICE every device object of the drivers above the PDO must be detached.
void CheckDetached(DeviceNode* n, const std::vector<PDEVICE_OBJECT>& former) {
  std::set<PDEVICE_OBJECT> still;
  for (PDEVICE_OBJECT d = n->pdo->AttachedDevice; d; d = d->AttachedDevice) still.insert(d);
  for (PDEVICE_OBJECT d : former)
    if (still.count(d))
      BugCheck(kDriverVerifierDetectedViolation, 0x1110, (ULONG_PTR)d, (ULONG_PTR)n->pdo, 0,
               "device object still attached to the stack after REMOVE_DEVICE (IoDetachDevice and IoDeleteDevice "
               "it in the remove handler)",
               d->DriverObject ? (const void*)d->DriverObject->MajorFunction[IRP_MJ_PNP] : nullptr);
}

void UnloadUnused(const std::vector<PDRIVER_OBJECT>& drivers) {
  std::vector<PDRIVER_OBJECT> seen;
  for (PDRIVER_OBJECT d : drivers) {
    if (std::find(seen.begin(), seen.end(), d) != seen.end()) continue;
    seen.push_back(d);
    UnloadServiceDriverIfUnused(d);
  }
}

// Sends REMOVE_DEVICE to the node's stack and checks how the drivers left it.
void RemoveStack(DeviceNode* n) {
  NodeExtra& x = X(n);
  std::vector<PDEVICE_OBJECT> former;
  for (PDEVICE_OBJECT d = n->pdo->AttachedDevice; d; d = d->AttachedDevice) {
    ObReferenceObject(d);
    former.push_back(d);
  }
  power::CancelWaitWakes(n);
  SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
  CheckDetached(n, former);
  for (PDEVICE_OBJECT d : former) {
    power::ForgetDevice(d);
    ObDereferenceObject(d);
  }
  power::ForgetDevice(n->pdo);
  std::vector<PDRIVER_OBJECT> drivers = x.drivers;
  x.drivers.clear();
  x.hasStack = false;
  UnloadUnused(drivers);
}

bool BuildStack(DeviceNode* n) {
  NodeExtra& x = X(n);
  std::vector<std::string> services;
  auto classFilters = [&](const char* name) { return ClassFilters(n, name); };
  for (auto& s : n->lowerFilters) services.push_back(s);
  for (auto& s : classFilters("LowerFilters")) services.push_back(s);
  services.push_back(n->service);
  for (auto& s : n->upperFilters) services.push_back(s);
  for (auto& s : classFilters("UpperFilters")) services.push_back(s);

  std::vector<PDRIVER_OBJECT> drivers;
  for (const std::string& s : services) {
    NTSTATUS st = STATUS_SUCCESS;
    PDRIVER_OBJECT d = LoadServiceDriver(s, &st);
    if (!d) {
      SetProblem(n, NodeState::StartFailed, kProbFailedDriverEntry, st);
      UnloadUnused(drivers);
      return false;
    }
    drivers.push_back(d);
  }
  x.drivers = drivers;
  for (PDRIVER_OBJECT d : drivers) {
    PDEVICE_OBJECT before = IoGetAttachedDevice(n->pdo);
    PDRIVER_ADD_DEVICE add = d->DriverExtension ? d->DriverExtension->AddDevice : nullptr;
    NTSTATUS st = add ? add(d, n->pdo) : STATUS_INVALID_DEVICE_REQUEST;
    if (!NT_SUCCESS(st)) {
      SetProblem(n, NodeState::StartFailed, kProbFailedAdd, st);
      if (IoGetAttachedDevice(n->pdo) != n->pdo) {
        x.hasStack = true;
        RemoveStack(n);
      } else {
        x.drivers.clear();
        UnloadUnused(drivers);
      }
      return false;
    }
    for (PDEVICE_OBJECT dev = before->AttachedDevice; dev; dev = dev->AttachedDevice)
      if (dev->Flags & DO_DEVICE_INITIALIZING)
        BugCheck(kDriverVerifierDetectedViolation, 0x1111, (ULONG_PTR)dev, (ULONG_PTR)n->pdo, 0,
                 "AddDevice returned with DO_DEVICE_INITIALIZING still set on its device object", (const void*)add);
  }
  x.hasStack = true;
  n->state = NodeState::DriversAdded;
  return true;
}

void AfterStart(DeviceNode* n) {
  QueryCapabilities(n);
  IO_STATUS_BLOCK st = SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr);
  if (NT_SUCCESS(st.Status) && (st.Information & PNP_DEVICE_FAILED)) {
    RemoveStack(n);
    SetProblem(n, NodeState::StartFailed, kProbFailedPostStart);
    return;
  }
  if (T().probeUnknownMinor) {
    // A driver that does not handle a minor must pass it on with its status untouched.
    PDEVICE_OBJECT top = IoGetAttachedDevice(n->pdo);
    const void* site = top->DriverObject ? (const void*)top->DriverObject->MajorFunction[IRP_MJ_PNP] : nullptr;
    IO_STATUS_BLOCK r = SendIrpAndWait(n->pdo, IRP_MJ_PNP, kUnknownMinor, nullptr);
    if (r.Status != STATUS_NOT_SUPPORTED)
      BugCheck(kDriverVerifierDetectedViolation, 0x1112, (ULONG_PTR)n->pdo, kUnknownMinor, (ULONG_PTR)r.Status,
               "a driver changed the status of a PnP IRP it does not handle (it must pass it down untouched)", site);
  }
  EnumerateBus(n);
}

void StartNode(DeviceNode* n) {
  IO_STATUS_BLOCK r = SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION s) {
    s->Parameters.StartDevice.AllocatedResources = nullptr;
    s->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
  });
  if (!NT_SUCCESS(r.Status)) {
    // Windows tears a stack that failed to start down again and keeps the problem.
    RemoveStack(n);
    SetProblem(n, NodeState::StartFailed, kProbFailedStart, r.Status);
    return;
  }
  SetProblem(n, NodeState::Started, 0);
  AfterStart(n);
}

void InstallAndStart(DeviceNode* n) {
  if (ConfigFlags(n) & kConfigFlagDisabled) {
    SetProblem(n, NodeState::Disabled, kProbDisabled);
    return;
  }
  if (!MatchDriver(n)) {
    SetConfigFlags(n, ConfigFlags(n) | kConfigFlagFailedInstall);
    SetProblem(n, NodeState::NoDriver, kProbFailedInstall);
    return;
  }
  SetConfigFlags(n, ConfigFlags(n) & ~kConfigFlagFailedInstall);
  if (!BuildStack(n)) return;
  StartNode(n);
}

std::string ParentPrefix(const DeviceNode* parent) {
  unsigned depth = 0;
  for (const DeviceNode* p = parent; p; p = p->parent) depth++;
  unsigned hash = 2166136261u;
  for (char c : Upper(parent->instancePath)) hash = (hash ^ (unsigned char)c) * 16777619u;
  char buf[32];
  snprintf(buf, sizeof buf, "%x&%x&0&", depth, hash);
  return buf;
}

DeviceNode* NewNode(DeviceNode* parent, PDEVICE_OBJECT pdo) {
  std::lock_guard<std::recursive_mutex> g(gTreeLock);
  auto node = std::make_unique<DeviceNode>();
  DeviceNode* n = node.get();
  n->pdo = pdo;
  n->parent = parent;
  T().nodes.push_back(std::move(node));
  T().extra[n];
  if (DeviceObjectInfo* info = InfoOf(pdo)) info->node = n;
  return n;
}

// Enumerates a PDO whose reference the caller hands over to the new node.
DeviceNode* Enumerate(DeviceNode* parent, PDEVICE_OBJECT pdo) {
  DeviceNode* n = NewNode(parent, pdo);
  std::vector<std::string> ids;
  if (!QueryId(pdo, BusQueryDeviceID, &ids) || ids.empty() || ids[0].find('\\') == std::string::npos) {
    SetProblem(n, NodeState::Initialized, kProbInvalidData);
    std::lock_guard<std::recursive_mutex> g(gTreeLock);
    parent->children.push_back(n);
    return n;
  }
  std::string deviceId = ids[0];
  QueryId(pdo, BusQueryHardwareIDs, &n->hardwareIds);
  QueryId(pdo, BusQueryCompatibleIDs, &n->compatibleIds);
  std::string instance = "0";
  if (QueryId(pdo, BusQueryInstanceID, &ids) && !ids.empty() && !ids[0].empty()) instance = ids[0];
  QueryCapabilities(n);
  n->description = QueryText(pdo, DeviceTextDescription);
  n->location = QueryText(pdo, DeviceTextLocationInformation);
  n->enumerator = deviceId.substr(0, deviceId.find('\\'));
  // An instance id the bus does not promise to be unique is made unique by the parent.
  bool global = n->uniqueId || parent == &T().root;
  n->instancePath = deviceId + "\\" + (global ? instance : ParentPrefix(parent) + instance);
  if (n->hardwareIds.empty()) n->hardwareIds.push_back(deviceId);
  if (DeviceNode* other = NodeByInstancePath(n->instancePath))
    BugCheck(0xCA, 0x1, (ULONG_PTR)pdo, (ULONG_PTR)other->pdo, 0,
             "two devices reported with the same instance path (duplicate PDO)",
             pdo->DriverObject ? (const void*)pdo->DriverObject->MajorFunction[IRP_MJ_PNP] : nullptr);
  {
    std::lock_guard<std::recursive_mutex> g(gTreeLock);
    parent->children.push_back(n);
  }
  WriteDeviceKey(n, X(n).caps);
  InstallAndStart(n);
  return n;
}

void EnumerateBus(DeviceNode* n) {
  if (n->state != NodeState::Started) return;
  IO_STATUS_BLOCK r = SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                                     [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
  if (!NT_SUCCESS(r.Status)) return;  // no bus driver in this stack
  std::vector<PDEVICE_OBJECT> reported;
  if (auto* rel = reinterpret_cast<PDEVICE_RELATIONS>(r.Information)) {
    for (ULONG i = 0; i < rel->Count; i++) reported.push_back(rel->Objects[i]);
    ExFreePool(rel);
  }
  std::vector<DeviceNode*> known;
  {
    std::lock_guard<std::recursive_mutex> g(gTreeLock);
    known = n->children;
  }
  std::vector<PDEVICE_OBJECT> fresh;
  for (PDEVICE_OBJECT pdo : reported) {
    auto it = std::find_if(known.begin(), known.end(), [&](DeviceNode* c) { return c->pdo == pdo; });
    if (it != known.end())
      ObDereferenceObject(pdo);  // the node already holds its own reference
    else
      fresh.push_back(pdo);
  }
  for (DeviceNode* c : known)
    if (std::find(reported.begin(), reported.end(), c->pdo) == reported.end()) {
      // A child the bus no longer reports is gone: surprise removal, then removal.
      SurpriseRemove(c);
    }
  // The list's reference of a new PDO becomes the node's.
  for (PDEVICE_OBJECT pdo : fresh) Enumerate(n, pdo);
}

// REMOVE_DEVICE for surprise-removed stacks whose handles are all closed, children first.
void FinishPendingRemovals() {
  std::vector<DeviceNode*> order;
  PostOrder(&T().root, order);
  for (DeviceNode* n : order) {
    if (n == &T().root || !X(n).removeOnClose) continue;
    bool childrenLeft;
    {
      std::lock_guard<std::recursive_mutex> g(gTreeLock);
      childrenLeft = !n->children.empty();
    }
    if (childrenLeft || OpenHandles(n) > 0) continue;
    X(n).removeOnClose = false;
    if (n->state != NodeState::Removed) {
      if (X(n).hasStack)
        RemoveStack(n);
      else
        SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
      n->state = NodeState::Removed;
    }
    Unlink(n);
    PDEVICE_OBJECT pdo = n->pdo;
    if (IsRootPdo(pdo)) DeleteRootPdo(pdo);
    ObDereferenceObject(pdo);
  }
}

bool Queryable(const DeviceNode* n) {
  return n->state != NodeState::Removed && n->state != NodeState::SurpriseRemoved && !X(n).vanished;
}

// QUERY_REMOVE to the subtree, children first; on a veto CANCEL_REMOVE to those queried.
NTSTATUS QueryRemoveSubtree(DeviceNode* node, std::vector<DeviceNode*>* order) {
  PostOrder(node, *order);
  std::vector<DeviceNode*> queried;
  NTSTATUS veto = STATUS_SUCCESS;
  for (DeviceNode* n : *order) {
    if (!Queryable(n)) continue;
    if (OpenHandles(n) > 0) {
      veto = STATUS_DEVICE_BUSY;
      break;
    }
    X(n).stateBeforeQuery = n->state;
    queried.push_back(n);
    IO_STATUS_BLOCK r = SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
    if (!NT_SUCCESS(r.Status)) {
      veto = r.Status;
      break;
    }
    n->state = NodeState::RemovePending;
  }
  if (NT_SUCCESS(veto)) return veto;
  for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
    SendIrpAndWait((*it)->pdo, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
    (*it)->state = X(*it).stateBeforeQuery;
  }
  return veto;
}

// REMOVE_DEVICE to a queried subtree; the node itself stays in the tree as removed, its
// descendants go with the bus driver that deleted their PDOs.
void RemoveSubtree(DeviceNode* node, const std::vector<DeviceNode*>& order, bool includeNode = true) {
  for (DeviceNode* n : order) {
    if (n == node && !includeNode) continue;
    if (!X(n).vanished && n->state != NodeState::Removed) {
      if (X(n).hasStack)
        RemoveStack(n);
      else
        SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
      X(n).removeOnClose = false;
      n->state = NodeState::Removed;
    }
    if (n != node) {
      Unlink(n);
      ObDereferenceObject(n->pdo);
    }
  }
}

void SurpriseRemoveOnThread(DeviceNode* node) {
  std::vector<DeviceNode*> order;
  PostOrder(node, order);
  for (DeviceNode* n : order) {
    if (X(n).vanished || X(n).removeOnClose) continue;
    X(n).removeOnClose = true;
    // Removed already (ejected, disabled): only its node is left to drop.
    if (n->state == NodeState::Removed) continue;
    power::CancelWaitWakes(n);
    if (X(n).hasStack) SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, nullptr);
    n->state = NodeState::SurpriseRemoved;
  }
  FinishPendingRemovals();
}

NTSTATUS EjectOnThread(DeviceNode* node) {
  std::vector<DeviceNode*> order;
  NTSTATUS st = QueryRemoveSubtree(node, &order);
  if (!NT_SUCCESS(st)) return st;
  RemoveSubtree(node, order, false);
  SendIrpAndWait(node->pdo, IRP_MJ_PNP, IRP_MN_EJECT, nullptr);
  if (X(node).hasStack)
    RemoveStack(node);
  else
    SendIrpAndWait(node->pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
  node->state = NodeState::Removed;
  // The bus learns the device left; its next answer drops it from the tree.
  if (node->parent && node->parent != &T().root) EnumerateBus(node->parent);
  return STATUS_SUCCESS;
}

}  // namespace

// ---- Public host API -----------------------------------------------------------------------

DeviceNode* Root() { return &T().root; }

std::vector<DeviceNode*> Nodes() {
  std::lock_guard<std::recursive_mutex> g(gTreeLock);
  std::vector<DeviceNode*> out;
  PreOrder(&T().root, out);
  out.erase(out.begin());
  return out;
}

DeviceNode* NodeByInstancePath(std::string_view instancePath) {
  std::string want = Upper(instancePath);
  for (DeviceNode* n : Nodes())
    if (Upper(n->instancePath) == want) return n;
  return nullptr;
}

Status NodeStatus(const DeviceNode* n) {
  Status s;
  if (!n) return s;
  if (n->parent == &T().root) s.status |= kDnRootEnumerated;
  switch (n->state) {
    case NodeState::Started:
    case NodeState::StopPending:
    case NodeState::RemovePending:
      s.status |= kDnStarted | kDnDriverLoaded;
      break;
    case NodeState::DriversAdded:
    case NodeState::Stopped:
      s.status |= kDnDriverLoaded;
      break;
    default:
      break;
  }
  if (n->problem) s.status |= kDnHasProblem;
  if (n->state != NodeState::Removed) s.status |= kDnDisableable;
  std::lock_guard<std::recursive_mutex> g(gTreeLock);
  auto it = T().extra.find(n);
  if (it != T().extra.end() && it->second.caps.Removable) s.status |= kDnRemovable;
  s.problem = n->problem;
  s.problemStatus = n->problemStatus;
  return s;
}

std::vector<PDEVICE_OBJECT> StackOf(const DeviceNode* n) {
  std::vector<PDEVICE_OBJECT> out;
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  for (PDEVICE_OBJECT d = n ? n->pdo : nullptr; d; d = d->AttachedDevice) out.push_back(d);
  return out;
}

DeviceNode* ReportDevice(DeviceNode* parent, PDEVICE_OBJECT pdo) {
  DeviceNode* n = nullptr;
  ObReferenceObject(pdo);
  RunOnPnpThread([&] { n = Enumerate(parent ? parent : &T().root, pdo); });
  return n;
}

DeviceNode* CreateRootDevice(std::string_view hardwareId, std::string_view service) {
  DeviceNode* n = nullptr;
  RunOnPnpThread([&] {
    // The next free instance number of this id under ROOT.
    std::string base = std::string(kEnumRoot) + "ROOT\\" + std::string(hardwareId);
    ULONG instance = 0;
    for (;; instance++) {
      char buf[16];
      snprintf(buf, sizeof buf, "%04lu", (unsigned long)instance);
      std::string path = "ROOT\\" + std::string(hardwareId) + "\\" + buf;
      if (!NodeByInstancePath(path)) break;
    }
    char buf[16];
    snprintf(buf, sizeof buf, "%04lu", (unsigned long)instance);
    if (!service.empty()) registry::SetString(base + "\\" + buf, "Service", service);
    PDEVICE_OBJECT pdo = CreateRootPdo(hardwareId, instance);
    if (!pdo) return;
    ObReferenceObject(pdo);  // the node's; IoDeleteDevice drops the creation reference
    n = Enumerate(&T().root, pdo);
  });
  return n;
}

NTSTATUS QueryRemoveAndRemove(DeviceNode* node) {
  NTSTATUS st = STATUS_SUCCESS;
  RunOnPnpThread([&] {
    FinishPendingRemovals();
    std::vector<DeviceNode*> order;
    st = QueryRemoveSubtree(node, &order);
    if (NT_SUCCESS(st)) RemoveSubtree(node, order);
  });
  return st;
}

void SurpriseRemove(DeviceNode* node) {
  RunOnPnpThread([&] { SurpriseRemoveOnThread(node); });
}

NTSTATUS Rebalance(DeviceNode* n) {
  NTSTATUS st = STATUS_SUCCESS;
  RunOnPnpThread([&] {
    if (n->state != NodeState::Started) {
      st = STATUS_INVALID_DEVICE_STATE;
      return;
    }
    IO_STATUS_BLOCK r = SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, nullptr);
    if (!NT_SUCCESS(r.Status)) {
      SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
      st = r.Status;
      return;
    }
    n->state = NodeState::StopPending;
    SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, nullptr);
    n->state = NodeState::Stopped;
    StartNode(n);
    st = n->state == NodeState::Started ? STATUS_SUCCESS : n->problemStatus;
  });
  return st;
}

NTSTATUS Eject(DeviceNode* node) {
  NTSTATUS st = STATUS_SUCCESS;
  RunOnPnpThread([&] { st = EjectOnThread(node); });
  return st;
}

NTSTATUS Disable(DeviceNode* node) {
  NTSTATUS st = STATUS_SUCCESS;
  RunOnPnpThread([&] {
    std::vector<DeviceNode*> order;
    st = QueryRemoveSubtree(node, &order);
    if (!NT_SUCCESS(st)) return;
    RemoveSubtree(node, order);
    SetConfigFlags(node, ConfigFlags(node) | kConfigFlagDisabled);
    SetProblem(node, NodeState::Disabled, kProbDisabled);
  });
  return st;
}

NTSTATUS Enable(DeviceNode* node) {
  NTSTATUS st = STATUS_SUCCESS;
  RunOnPnpThread([&] {
    SetConfigFlags(node, ConfigFlags(node) & ~kConfigFlagDisabled);
    SetProblem(node, NodeState::Initialized, 0);
    InstallAndStart(node);
    st = node->state == NodeState::Started ? STATUS_SUCCESS
                                          : (node->problemStatus ? node->problemStatus : STATUS_UNSUCCESSFUL);
  });
  return st;
}

void ReenumerateDriverless() {
  RunOnPnpThread([] {
    for (DeviceNode* n : Nodes())
      if (n->state == NodeState::NoDriver) InstallAndStart(n);
  });
}

void NotifyHandleClosed(PDEVICE_OBJECT device) {
  // Only a surprise-removed stack waits for its handles; other closes need no PnP work.
  DeviceNode* node = NodeOfStack(device);
  if (!node || node->state != NodeState::SurpriseRemoved) return;
  PostToPnpThread([] { FinishPendingRemovals(); });
}

void FinishSurpriseRemovals() { FinishPendingRemovals(); }

void SetProbeUnknownMinor(bool enable) { T().probeUnknownMinor = enable; }

void Shutdown() {
  if (!gTree || gTree->generation != gSched.generation) return;
  // Closes still on their way (a handle closed while its last request completed) reach
  // their stacks before the stacks are taken down.
  io::WaitWorkerIdle();
  RunOnPnpThread([] {
    std::vector<DeviceNode*> tops;
    {
      std::lock_guard<std::recursive_mutex> g(gTreeLock);
      tops = T().root.children;
    }
    for (DeviceNode* top : tops) {
      std::vector<DeviceNode*> order;
      PostOrder(top, order);
      RemoveSubtree(top, order);
      Unlink(top);
      if (IsRootPdo(top->pdo)) DeleteRootPdo(top->pdo);
      ObDereferenceObject(top->pdo);
    }
    UnloadAllServiceDrivers();
  });
  StopThreads();
  power::Reset();
  std::lock_guard<std::recursive_mutex> g(gTreeLock);
  delete gTree;
  gTree = nullptr;
}

// Called from the I/O and power entry points below and from EnumerateBus.
void PostEnumerate(DeviceNode* n) {
  PostToPnpThread([n] {
    if (!X(n).vanished) EnumerateBus(n);
  });
}

void PostDeviceStateCheck(DeviceNode* n) {
  PostToPnpThread([n] {
    if (X(n).vanished || n->state != NodeState::Started) return;
    IO_STATUS_BLOCK st = SendIrpAndWait(n->pdo, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr);
    if (NT_SUCCESS(st.Status) && (st.Information & PNP_DEVICE_FAILED)) {
      std::vector<DeviceNode*> order;
      PostOrder(n, order);
      RemoveSubtree(n, order);
      SetProblem(n, NodeState::StartFailed, kProbFailedPostStart);
    }
  });
}

void PostEject(DeviceNode* n) {
  PostToPnpThread([n] {
    if (!X(n).vanished) EjectOnThread(n);
  });
}

}  // namespace sim::kernel::pnp

using namespace sim::kernel;

extern "C" {

void NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, KeGetCurrentIrql(), 0, 0, 0, "IoInvalidateDeviceRelations above DISPATCH_LEVEL",
             SIM_CALLER());
  if (Type != BusRelations) return;
  if (DeviceNode* n = NodeOfStack(DeviceObject)) pnp::PostEnumerate(n);
}

void NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, KeGetCurrentIrql(), 0, 0, 0, "IoInvalidateDeviceState above DISPATCH_LEVEL",
             SIM_CALLER());
  if (DeviceNode* n = NodeOfStack(PhysicalDeviceObject)) pnp::PostDeviceStateCheck(n);
}

void NTAPI IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, KeGetCurrentIrql(), 0, 0, 0, "IoRequestDeviceEject above DISPATCH_LEVEL",
             SIM_CALLER());
  if (DeviceNode* n = NodeOfStack(PhysicalDeviceObject)) pnp::PostEject(n);
}

}  // extern "C"
