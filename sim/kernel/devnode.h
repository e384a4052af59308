// What the I/O manager and the PnP manager share about a device: the device node of a
// PDO and the hidden per-device-object record kept in DeviceObjectExtension.
#pragma once

#include <string>
#include <vector>

#include "nt/io.h"

namespace sim::kernel {

// Configuration Manager status of a device node.
enum class NodeState {
  Initialized,    // reported, no driver loaded yet
  DriversAdded,   // stack built (AddDevice done)
  Started,        // START_DEVICE succeeded
  StartFailed,    // START_DEVICE failed: problem CM_PROB_FAILED_START (10)
  StopPending,    // QUERY_STOP succeeded
  Stopped,        // STOP_DEVICE done (rebalance)
  RemovePending,  // QUERY_REMOVE succeeded
  SurpriseRemoved,
  Removed,
  Disabled,       // problem CM_PROB_DISABLED (22)
  NoDriver,       // no matching installed driver: problem CM_PROB_FAILED_INSTALL (28)
};

struct DeviceNode {
  std::string instancePath;           // "USB\VID_0FA7&PID_5E19\0123456789"
  std::string enumerator;             // "USB", "ROOT", "KOVARA_RYLE"
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string description;            // device text (description)
  std::string location;               // device text (location information)
  std::string service;                // function driver service name
  std::vector<std::string> lowerFilters, upperFilters;
  std::string classGuid;              // "{4D36E978-E325-11CE-BFC1-08002BE10318}"
  std::string driverKey;              // "{class guid}\0003" under Control\Class
  std::string pdoName;                // "\Device\00000042"
  ULONG address = 0;
  ULONG uiNumber = 0xFFFFFFFF;
  bool uniqueId = false;
  NodeState state = NodeState::Initialized;
  ULONG problem = 0;                  // CM_PROB_* when not started
  NTSTATUS problemStatus = STATUS_SUCCESS;
  PDEVICE_OBJECT pdo = nullptr;
  DeviceNode* parent = nullptr;
  std::vector<DeviceNode*> children;
};

// Hidden record of every device object (DEVICE_OBJECT::DeviceObjectExtension).
struct DeviceObjectInfo {
  PDEVICE_OBJECT device = nullptr;
  DeviceNode* node = nullptr;         // set on the PDO of a device node
  PDEVICE_OBJECT attachedTo = nullptr;  // the device this one was attached on top of
  std::string name;                   // "\Device\Q93KUsbDevice0", empty when unnamed
  bool exclusive = false;
  bool deletePending = false;         // IoDeleteDevice called, waiting for references
  LONG openHandles = 0;               // file objects open on this device
  LONG outstandingIrps = 0;           // IRPs sent to this device and not yet completed
};

inline DeviceObjectInfo* InfoOf(PDEVICE_OBJECT d) {
  return d ? static_cast<DeviceObjectInfo*>(d->DeviceObjectExtension) : nullptr;
}

// The device node whose stack holds `d` (walks down to the PDO), or null.
DeviceNode* NodeOfStack(PDEVICE_OBJECT d);

}  // namespace sim::kernel
