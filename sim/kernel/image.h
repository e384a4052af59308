// Driver images of the simulated PC: loading a driver by its service name from the image
// its service key names, entering it at DriverEntry, and unloading it with the pool
// leak check, as the I/O manager loads .sys files on Windows.
#pragma once

#include <string>
#include <vector>

#include "nt/io.h"

namespace sim::kernel {

// Where images are looked for. An ImagePath of the service key such as
// "\SystemRoot\System32\drivers\Q93Kus.sys", "System32\drivers\Q93Kus.sys" or
// "\??\C:\x\Q93Kus.sys" is reduced to its file name without extension ("Q93Kus"); the
// loader then tries, in each directory in the order they were added, "lib<base>.so" and
// "<base>.so" (case as written). Without an ImagePath the service name is the base.
void SetImageDirectory(const std::string& dir);  // replaces the list with one directory
void AddImageDirectory(const std::string& dir);
std::vector<std::string> ImageDirectories();

// A driver linked into the calling executable (test drivers): LoadDriver of a service whose
// image base name (as above) or service name is `name` enters `entry` instead of loading a
// file. Such an image's pool is attributed to the executable; its leak check at unload
// covers the executable's allocations, so load one builtin image at a time where it matters.
void RegisterBuiltinImage(const std::string& name, PDRIVER_INITIALIZE entry);
void UnregisterBuiltinImage(const std::string& name);

// Loads the driver of \Registry\Machine\System\CurrentControlSet\Services\<serviceName>
// (ImagePath, Type, Start), creates \Driver\<serviceName> and calls DriverEntry at
// PASSIVE_LEVEL with the service key path. An already loaded driver is returned again.
// Fails with STATUS_OBJECT_NAME_NOT_FOUND (no service key), STATUS_INVALID_PARAMETER (Type
// is not a kernel or file system driver, or the image cannot be mapped or has no
// DriverEntry), STATUS_INVALID_DEVICE_STATE (Start is 4, disabled), STATUS_NO_SUCH_FILE (no
// image found), or DriverEntry's own status (the image is then unloaded again, without
// DriverUnload, after the pool leak check).
NTSTATUS LoadDriver(const std::string& serviceName, PDRIVER_OBJECT* out);
// Unloads a driver whose device objects are all deleted: DriverUnload, the pool leak check
// of the image, then the image goes. STATUS_DEVICE_BUSY (nothing done) while it still has
// device objects; STATUS_INVALID_DEVICE_REQUEST when it has no DriverUnload (Windows keeps
// such a driver loaded).
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);
// The loaded driver of a service, or null.
PDRIVER_OBJECT LoadedDriver(const std::string& serviceName);
std::vector<std::string> LoadedDrivers();

// Called by the I/O manager on a new boot: forgets the previous machine's images.
void ResetImages();

}  // namespace sim::kernel
