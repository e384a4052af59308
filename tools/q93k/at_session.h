// What `q93k term` and the demo's AT stage share: the package installed and the phone
// plugged into a booted machine, and an application's conversation with a COM port
// (open by name, one command out, the phone's answer back).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace sim::machine {
class Machine;
}

namespace q93k {

// Installs Q93Kus.inf and Q93Kpt.inf; false with *error naming the INF that failed.
bool InstallPackage(sim::machine::Machine& machine, std::string* error);

// The COM ports the machine presents (the values of HARDWARE\DEVICEMAP\SERIALCOMM).
std::vector<std::string> ComPorts();

// Opens "\\.\<name>" as an application does and sets the timeouts of a terminal: a read
// returns as soon as bytes are there. INVALID_HANDLE_VALUE with *error saying why.
HANDLE OpenComPort(const std::string& name, std::string* error);

struct Answer {
  std::string text;        // every byte read
  bool written = false;    // the command went out whole
  bool complete = false;   // ends with a final result code
  double seconds = 0;      // virtual time from the write to the last byte
  std::string error;       // why the write or a read failed
};

// Writes `command` followed by a carriage return, then reads until the answer ends with
// "OK\r\n" or "ERROR\r\n", or until `limitMs` of virtual time passed.
Answer Exchange(HANDLE port, const std::string& command, ULONG limitMs = 5000);

// The lines of an answer without their line ends, empty lines left out.
std::vector<std::string> AnswerLines(const std::string& text);

// A Win32 error as "ERROR_X (n)" for the errors an open or a transfer may meet.
std::string Win32ErrorText(DWORD error);

}  // namespace q93k
