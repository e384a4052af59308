// The package on the machine and an application's side of an AT conversation through a
// COM port: CreateFile by the port's name, WriteFile of a command line, ReadFile of the
// answer with terminal timeouts, all through the simulated PC's kernel32.
#include "at_session.h"

#include <fmt/core.h>

#include "kernel.h"
#include "machine/machine.h"
#include "registry.h"

namespace q93k {
namespace {

const char kSerialComm[] = "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

bool EndsWith(const std::string& text, const char* tail) {
  std::string t(tail);
  return text.size() >= t.size() && text.compare(text.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

bool InstallPackage(sim::machine::Machine& machine, std::string* error) {
  for (const char* inf : {"RyleUsb/Q93Kus.inf", "RylePort/Q93Kpt.inf"}) {
    std::string why;
    if (!machine.InstallInf(machine.PackageFile(inf), &why)) {
      *error = fmt::format("{}: {}", inf, why);
      return false;
    }
  }
  return true;
}

std::vector<std::string> ComPorts() {
  std::vector<std::string> ports;
  for (const std::string& device : sim::kernel::registry::ValueNames(kSerialComm))
    if (auto name = sim::kernel::registry::GetString(kSerialComm, device)) ports.push_back(*name);
  return ports;
}

std::string Win32ErrorText(DWORD error) {
  struct Name {
    DWORD code;
    const char* name;
  };
  static const Name kNames[] = {
      {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},     {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
      {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},       {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
      {ERROR_INVALID_NAME, "ERROR_INVALID_NAME"},         {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
      {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"}, {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
      {ERROR_NOT_READY, "ERROR_NOT_READY"},               {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
      {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"}, {ERROR_DEV_NOT_EXIST, "ERROR_DEV_NOT_EXIST"},
      {ERROR_TIMEOUT, "ERROR_TIMEOUT"},                   {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT"},
  };
  for (const Name& n : kNames)
    if (n.code == error) return fmt::format("{} ({})", n.name, error);
  return fmt::format("Win32 error {}", error);
}

HANDLE OpenComPort(const std::string& name, std::string* error) {
  std::string path = "\\\\.\\" + name;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    const char* why = e == ERROR_FILE_NOT_FOUND        ? "no such port on this PC"
                      : e == ERROR_ACCESS_DENIED       ? "the port is open in another application, or its device is going"
                      : e == ERROR_NO_SYSTEM_RESOURCES ? "the port's device has not started"
                      : e == ERROR_GEN_FAILURE         ? "the driver below the port refused the open"
                                                       : "the open failed";
    *error = fmt::format("{}: {}", Win32ErrorText(e), why);
    return INVALID_HANDLE_VALUE;
  }
  // A read returns as soon as bytes are there (all of them), or after 100 ms with none;
  // a write that cannot go out within 5 s gives up.
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 100, 0, 5000};
  if (!SetCommTimeouts(port, &timeouts)) {
    *error = fmt::format("SetCommTimeouts: {}", Win32ErrorText(GetLastError()));
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  return port;
}

Answer Exchange(HANDLE port, const std::string& command, ULONG limitMs) {
  Answer a;
  std::string line = command + "\r";
  DWORD written = 0;
  ULONGLONG start = sim::kernel::Now();
  if (!WriteFile(port, line.data(), (DWORD)line.size(), &written, nullptr)) {
    a.error = "WriteFile: " + Win32ErrorText(GetLastError());
    return a;
  }
  if (written != line.size()) {
    a.error = fmt::format("WriteFile: {} of {} bytes went out", written, line.size());
    return a;
  }
  a.written = true;
  ULONGLONG deadline = start + (ULONGLONG)limitMs * 10000;
  ULONGLONG last = start;
  while (!(a.complete = EndsWith(a.text, "OK\r\n") || EndsWith(a.text, "ERROR\r\n"))) {
    if (sim::kernel::Now() >= deadline) break;
    char buffer[256];
    DWORD n = 0;
    if (!ReadFile(port, buffer, sizeof buffer, &n, nullptr)) {
      a.error = "ReadFile: " + Win32ErrorText(GetLastError());
      break;
    }
    if (n) {
      a.text.append(buffer, n);
      last = sim::kernel::Now();
    }
  }
  a.seconds = (double)(last - start) / 1e7;
  return a;
}

std::vector<std::string> AnswerLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!current.empty()) lines.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

}  // namespace q93k
