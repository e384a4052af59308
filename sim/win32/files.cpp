// CreateFile and CloseHandle: Win32 device paths ("\\.\COM9", "COM9") become object names
// ("\??\COM9") opened through the I/O manager; each open handle remembers whether it was
// opened for overlapped I/O.
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "internal.h"
#include "io.h"
#include "registry.h"
#include "win32_internal.h"

namespace sim::win32 {
namespace {

namespace k = sim::kernel;

struct FileRecord {
  bool overlapped = false;
};

// Per boot: handle values start again with each machine.
struct FileTable {
  std::mutex lock;
  unsigned generation = 0;
  std::map<HANDLE, FileRecord> files;
  // A file handle's own completion event. Kept, per handle value, until the machine goes:
  // a request may complete after its handle was closed.
  std::map<HANDLE, std::unique_ptr<KEVENT>> events;
};

FileTable& Table() {
  static FileTable t;
  return t;
}

// Under Table().lock: forgets what belonged to an earlier boot.
void SyncLocked(FileTable& t) {
  unsigned g;
  {
    std::lock_guard<std::mutex> d(k::gDispatcher);
    g = k::gSched.generation;
  }
  if (g != t.generation) {
    t.generation = g;
    t.files.clear();
    t.events.clear();
  }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (std::toupper((unsigned char)a[i]) != std::toupper((unsigned char)b[i])) return false;
  return true;
}

// "COM9", "LPT1:", "NUL": names Windows resolves to devices wherever they appear.
bool IsDosDeviceName(std::string_view name) {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  for (const char* fixed : {"NUL", "CON", "AUX", "PRN"})
    if (EqualsNoCase(name, fixed)) return true;
  if (name.size() < 4 || !(EqualsNoCase(name.substr(0, 3), "COM") || EqualsNoCase(name.substr(0, 3), "LPT")))
    return false;
  if (name[3] == '0') return false;
  for (char c : name.substr(3))
    if (!std::isdigit((unsigned char)c)) return false;
  return true;
}

// The object name a Win32 path opens, or an empty string when it names no device (this
// PC has no file system) with *status saying why.
std::string ObjectNameOf(std::string path, NTSTATUS* status) {
  for (char& c : path)
    if (c == '/') c = '\\';
  if (path.empty()) {
    *status = STATUS_OBJECT_PATH_NOT_FOUND;
    return {};
  }
  if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0) {
    std::string rest = path.substr(4);
    if (rest.empty()) {
      *status = STATUS_OBJECT_NAME_INVALID;
      return {};
    }
    // "\\.\GLOBALROOT\Device\X" names the object itself.
    if (rest.size() > 10 && EqualsNoCase(rest.substr(0, 11), "GLOBALROOT\\")) return rest.substr(10);
    return "\\??\\" + rest;
  }
  if (IsDosDeviceName(path)) {
    if (path.back() == ':') path.pop_back();
    return "\\??\\" + path;
  }
  *status = STATUS_OBJECT_NAME_NOT_FOUND;
  return {};
}

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (share & ~(DWORD)(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) || disposition < CREATE_NEW ||
      disposition > TRUNCATE_EXISTING || (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
    detail::FailWith(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  NTSTATUS st = STATUS_SUCCESS;
  std::string name = ObjectNameOf(path, &st);
  if (name.empty()) {
    detail::Fail(st);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = nullptr;
  // Devices take any disposition as an open of what is there; the driver decides.
  st = k::OpenFile(name, access, UserMode, nullptr, 0, &h);
  if (!NT_SUCCESS(st)) {
    detail::Fail(st);
    return INVALID_HANDLE_VALUE;
  }
  detail::RememberFile(h, (flags & FILE_FLAG_OVERLAPPED) != 0);
  SetLastError(disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

}  // namespace

namespace detail {

void RememberFile(HANDLE file, bool overlapped) {
  FileTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  SyncLocked(t);
  t.files[file].overlapped = overlapped;
}

void ForgetFile(HANDLE file) {
  FileTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  SyncLocked(t);
  t.files.erase(file);
}

bool IsOverlappedFile(HANDLE file) {
  FileTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  SyncLocked(t);
  auto it = t.files.find(file);
  return it != t.files.end() && it->second.overlapped;
}

PKEVENT CompletionEvent(HANDLE file, HANDLE hEvent, NTSTATUS* status) {
  *status = STATUS_SUCCESS;
  hEvent = (HANDLE)((ULONG_PTR)hEvent & ~(ULONG_PTR)1);
  if (hEvent) {
    void* body = nullptr;
    NTSTATUS st = k::HandleReference(hEvent, &kEventType, &body);
    if (!NT_SUCCESS(st)) {
      *status = st == STATUS_OBJECT_TYPE_MISMATCH ? STATUS_INVALID_HANDLE : st;
      return nullptr;
    }
    auto* ev = static_cast<EventBody*>(body);
    // The first request keeps the reference for good (see EventBody); later ones drop theirs.
    if (ev->pinned.exchange(true)) k::ObDeref(body);
    return &ev->event;
  }
  FileTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  SyncLocked(t);
  std::unique_ptr<KEVENT>& slot = t.events[file];
  if (!slot) {
    slot = std::make_unique<KEVENT>();
    KeInitializeEvent(slot.get(), NotificationEvent, FALSE);
  }
  return slot.get();
}

}  // namespace detail
}  // namespace sim::win32

using namespace sim::win32;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (!lpFileName) {
    detail::FailWith(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return Open(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (!lpFileName) {
    detail::FailWith(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  size_t n = 0;
  while (lpFileName[n]) n++;
  return Open(sim::kernel::registry::ToUtf8(lpFileName, n), dwDesiredAccess, dwShareMode, dwCreationDisposition,
              dwFlagsAndAttributes);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  void* body = nullptr;
  if (!hObject || hObject == INVALID_HANDLE_VALUE ||
      !NT_SUCCESS(sim::kernel::HandleReference(hObject, nullptr, &body)))
    return detail::FailWith(ERROR_INVALID_HANDLE);
  bool file = sim::kernel::ObTypeOf(body) == &sim::kernel::io::kFileType;
  sim::kernel::ObDeref(body);
  NTSTATUS st;
  if (file) {
    detail::ForgetFile(hObject);
    st = sim::kernel::CloseHandle(hObject);
  } else {
    st = sim::kernel::HandleClose(hObject);
  }
  if (!NT_SUCCESS(st)) return detail::Fail(st);
  return TRUE;
}

}
