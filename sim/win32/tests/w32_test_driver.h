// A serial-like test driver for the kernel32 tests, linked in as a builtin image:
// "\Device\W32Test0", exclusive, reached as COM9. It records every request, serves reads
// from a script or pends them, completes writes, and answers control requests from a
// table, so each test states what the port does and checks what the application sent.
#pragma once

#include <ntddk.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace w32test {

struct Request {
  UCHAR major = 0;
  ULONG code = 0;  // control code, 0 for reads and writes
  std::vector<UCHAR> in;
  ULONG outLength = 0;
};

struct Script {
  std::mutex lock;
  std::vector<Request> log;
  // The next read takes up to its length from `readData` and completes with `readStatus`;
  // with no data it completes at once when `readStatus` is not success, else it pends.
  std::string readData;
  NTSTATUS readStatus = STATUS_SUCCESS;
  // Control requests: the output of a code, or the status it fails with. Codes listed in
  // `pendCodes` pend like reads.
  std::map<ULONG, std::vector<UCHAR>> answers;
  std::map<ULONG, NTSTATUS> fail;
  std::vector<ULONG> pendCodes;
  int creates = 0, cleanups = 0, closes = 0;
};

Script& S();
std::vector<Request> Log();
std::vector<ULONG> Codes();  // control codes in the order they arrived
void ClearLog();

// Loads the driver (a fresh script) and creates its device and link; Remove deletes them.
NTSTATUS Install();
void Remove();

// Requests pended by the driver, oldest first.
size_t PendingCount();
// Completes the oldest pended request with `data` (copied to its buffer) and `status`.
// False when nothing is pending or the oldest is being cancelled.
bool CompletePending(const std::string& data, NTSTATUS status);

}  // namespace w32test
