// The comm API over the serial requests a COM port serves: each call sends the
// IOCTL_SERIAL_* sequence kernel32 sends, and SetCommState translates a DCB to and from
// baud rate, line control, special characters and handflow.
#include <ntddser.h>

#include <cstddef>

#include "win32_internal.h"

namespace sim::win32 {
namespace {

// A control request that completes before the call returns, even on an overlapped handle
// (kernel32 waits on a private event there; the I/O manager's synchronous form does that).
BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inLength, void* out = nullptr, DWORD outLength = 0,
             DWORD* returned = nullptr) {
  DWORD n = 0;
  BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, &n, nullptr);
  if (returned) *returned = n;
  return ok;
}

struct CommSettings {
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW flow{};
};

BOOL ReadSettings(HANDLE h, CommSettings* s) {
  return Control(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s->baud, sizeof s->baud) &&
         Control(h, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s->line, sizeof s->line) &&
         Control(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s->chars, sizeof s->chars) &&
         Control(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s->flow, sizeof s->flow);
}

// Sends the settings in kernel32's order. DTR and RTS are switched by request only when
// the DCB puts them under the application's control.
BOOL WriteSettings(HANDLE h, const CommSettings& s, int dtrControl, int rtsControl) {
  if (!Control(h, IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, sizeof s.baud)) return FALSE;
  if (rtsControl == RTS_CONTROL_ENABLE && !Control(h, IOCTL_SERIAL_SET_RTS, nullptr, 0)) return FALSE;
  if (rtsControl == RTS_CONTROL_DISABLE && !Control(h, IOCTL_SERIAL_CLR_RTS, nullptr, 0)) return FALSE;
  if (dtrControl == DTR_CONTROL_ENABLE && !Control(h, IOCTL_SERIAL_SET_DTR, nullptr, 0)) return FALSE;
  if (dtrControl == DTR_CONTROL_DISABLE && !Control(h, IOCTL_SERIAL_CLR_DTR, nullptr, 0)) return FALSE;
  return Control(h, IOCTL_SERIAL_SET_LINE_CONTROL, &s.line, sizeof s.line) &&
         Control(h, IOCTL_SERIAL_SET_CHARS, &s.chars, sizeof s.chars) &&
         Control(h, IOCTL_SERIAL_SET_HANDFLOW, &s.flow, sizeof s.flow);
}

CommSettings FromDcb(const DCB& d, const SERIAL_CHARS& current) {
  CommSettings s;
  s.baud.BaudRate = d.BaudRate;
  s.line.WordLength = d.ByteSize;
  s.line.Parity = d.Parity;
  s.line.StopBits = d.StopBits;
  s.chars = current;  // the break character has no place in a DCB
  s.chars.XonChar = (UCHAR)d.XonChar;
  s.chars.XoffChar = (UCHAR)d.XoffChar;
  s.chars.ErrorChar = (UCHAR)d.ErrorChar;
  s.chars.EofChar = (UCHAR)d.EofChar;
  s.chars.EventChar = (UCHAR)d.EvtChar;
  ULONG shake = 0, replace = 0;
  if (d.fDtrControl == DTR_CONTROL_ENABLE) shake |= SERIAL_DTR_CONTROL;
  if (d.fDtrControl == DTR_CONTROL_HANDSHAKE) shake |= SERIAL_DTR_HANDSHAKE;
  if (d.fOutxCtsFlow) shake |= SERIAL_CTS_HANDSHAKE;
  if (d.fOutxDsrFlow) shake |= SERIAL_DSR_HANDSHAKE;
  if (d.fDsrSensitivity) shake |= SERIAL_DSR_SENSITIVITY;
  if (d.fAbortOnError) shake |= SERIAL_ERROR_ABORT;
  if (d.fOutX) replace |= SERIAL_AUTO_TRANSMIT;
  if (d.fInX) replace |= SERIAL_AUTO_RECEIVE;
  if (d.fErrorChar) replace |= SERIAL_ERROR_CHAR;
  if (d.fNull) replace |= SERIAL_NULL_STRIPPING;
  if (d.fTXContinueOnXoff) replace |= SERIAL_XOFF_CONTINUE;
  switch (d.fRtsControl) {
    case RTS_CONTROL_ENABLE: replace |= SERIAL_RTS_CONTROL; break;
    case RTS_CONTROL_HANDSHAKE: replace |= SERIAL_RTS_HANDSHAKE; break;
    case RTS_CONTROL_TOGGLE: replace |= SERIAL_TRANSMIT_TOGGLE; break;
  }
  s.flow.ControlHandShake = shake;
  s.flow.FlowReplace = replace;
  s.flow.XonLimit = d.XonLim;
  s.flow.XoffLimit = d.XoffLim;
  return s;
}

void ToDcb(const CommSettings& s, DCB* d) {
  *d = DCB{};
  d->DCBlength = sizeof(DCB);
  d->BaudRate = s.baud.BaudRate;
  d->ByteSize = s.line.WordLength;
  d->Parity = s.line.Parity;
  d->StopBits = s.line.StopBits;
  d->XonChar = (char)s.chars.XonChar;
  d->XoffChar = (char)s.chars.XoffChar;
  d->ErrorChar = (char)s.chars.ErrorChar;
  d->EofChar = (char)s.chars.EofChar;
  d->EvtChar = (char)s.chars.EventChar;
  // Serial devices are binary only; no request carries parity checking, which the port
  // always does.
  d->fBinary = 1;
  d->fParity = 1;
  ULONG shake = s.flow.ControlHandShake, replace = s.flow.FlowReplace;
  d->fDtrControl = (shake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL     ? DTR_CONTROL_ENABLE
                   : (shake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? DTR_CONTROL_HANDSHAKE
                                                                       : DTR_CONTROL_DISABLE;
  d->fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
  d->fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
  d->fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
  d->fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
  d->fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
  d->fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
  d->fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
  d->fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
  d->fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
  switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: d->fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: d->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: d->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: d->fRtsControl = RTS_CONTROL_DISABLE;
  }
  d->XonLim = (WORD)s.flow.XonLimit;
  d->XoffLim = (WORD)s.flow.XoffLimit;
}

int DtrControlOf(const SERIAL_HANDFLOW& f) {
  ULONG m = f.ControlHandShake & SERIAL_DTR_MASK;
  return m == SERIAL_DTR_CONTROL ? DTR_CONTROL_ENABLE : m == SERIAL_DTR_HANDSHAKE ? DTR_CONTROL_HANDSHAKE
                                                                                  : DTR_CONTROL_DISABLE;
}

int RtsControlOf(const SERIAL_HANDFLOW& f) {
  switch (f.FlowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: return RTS_CONTROL_ENABLE;
    case SERIAL_RTS_HANDSHAKE: return RTS_CONTROL_HANDSHAKE;
    case SERIAL_TRANSMIT_TOGGLE: return RTS_CONTROL_TOGGLE;
  }
  return RTS_CONTROL_DISABLE;
}

}  // namespace
}  // namespace sim::win32

using namespace sim::win32;

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (!lpDCB) return detail::FailWith(ERROR_INVALID_PARAMETER);
  CommSettings s;
  if (!ReadSettings(hFile, &s)) return FALSE;
  ToDcb(s, lpDCB);
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (!lpDCB) return detail::FailWith(ERROR_INVALID_PARAMETER);
  // Equal XON and XOFF characters would make flow control meaningless.
  if (lpDCB->XonChar == lpDCB->XoffChar) return detail::FailWith(ERROR_INVALID_PARAMETER);
  CommSettings old;
  if (!ReadSettings(hFile, &old)) return FALSE;
  if (WriteSettings(hFile, FromDcb(*lpDCB, old.chars), lpDCB->fDtrControl, lpDCB->fRtsControl)) return TRUE;
  // A refused setting leaves the port as it was, and the caller the first failure's error.
  DWORD error = GetLastError();
  WriteSettings(hFile, old, DtrControlOf(old.flow), RtsControlOf(old.flow));
  return detail::FailWith(error);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (!lpCommTimeouts) return detail::FailWith(ERROR_INVALID_PARAMETER);
  SERIAL_TIMEOUTS t{};
  if (!Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t)) return FALSE;
  lpCommTimeouts->ReadIntervalTimeout = t.ReadIntervalTimeout;
  lpCommTimeouts->ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  lpCommTimeouts->ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  lpCommTimeouts->WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  lpCommTimeouts->WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (!lpCommTimeouts) return detail::FailWith(ERROR_INVALID_PARAMETER);
  SERIAL_TIMEOUTS t{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                    lpCommTimeouts->ReadTotalTimeoutConstant, lpCommTimeouts->WriteTotalTimeoutMultiplier,
                    lpCommTimeouts->WriteTotalTimeoutConstant};
  return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  ULONG mask = dwFlags;
  return Control(hFile, IOCTL_SERIAL_PURGE, &mask, sizeof mask);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  ULONG mask = dwEvtMask;
  return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  if (!lpEvtMask) return detail::FailWith(ERROR_INVALID_PARAMETER);
  ULONG mask = 0;
  if (!Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask)) return FALSE;
  *lpEvtMask = mask;
  return TRUE;
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  if (!lpEvtMask) return detail::FailWith(ERROR_INVALID_PARAMETER);
  // The port writes the events into lpEvtMask when the wait ends, which for an overlapped
  // wait is after this call has returned.
  DWORD n = 0;
  return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &n, lpOverlapped);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  SERIAL_STATUS s{};
  if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s)) return FALSE;
  if (lpErrors) {
    DWORD e = 0;
    if (s.Errors & SERIAL_ERROR_QUEUEOVERRUN) e |= CE_RXOVER;
    if (s.Errors & SERIAL_ERROR_OVERRUN) e |= CE_OVERRUN;
    if (s.Errors & SERIAL_ERROR_PARITY) e |= CE_RXPARITY;
    if (s.Errors & SERIAL_ERROR_FRAMING) e |= CE_FRAME;
    if (s.Errors & SERIAL_ERROR_BREAK) e |= CE_BREAK;
    *lpErrors = e;
  }
  if (lpStat) {
    *lpStat = COMSTAT{};
    lpStat->fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    lpStat->fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    lpStat->fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    lpStat->fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    lpStat->fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    lpStat->fEof = s.EofReceived != 0;
    lpStat->fTxim = s.WaitForImmediate != 0;
    lpStat->cbInQue = s.AmountInInQueue;
    lpStat->cbOutQue = s.AmountInOutQueue;
  }
  return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  static const DWORD kCodes[] = {0,
                                 IOCTL_SERIAL_SET_XOFF,
                                 IOCTL_SERIAL_SET_XON,
                                 IOCTL_SERIAL_SET_RTS,
                                 IOCTL_SERIAL_CLR_RTS,
                                 IOCTL_SERIAL_SET_DTR,
                                 IOCTL_SERIAL_CLR_DTR,
                                 IOCTL_SERIAL_RESET_DEVICE,
                                 IOCTL_SERIAL_SET_BREAK_ON,
                                 IOCTL_SERIAL_SET_BREAK_OFF};
  if (dwFunc < SETXOFF || dwFunc > CLRBREAK) return detail::FailWith(ERROR_INVALID_PARAMETER);
  return Control(hFile, kCodes[dwFunc], nullptr, 0);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) { return Control(hFile, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0); }

BOOL WINAPI ClearCommBreak(HANDLE hFile) { return Control(hFile, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0); }

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  if (!lpModemStat) return detail::FailWith(ERROR_INVALID_PARAMETER);
  ULONG status = 0;
  if (!Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
  *lpModemStat = status;  // MS_*_ON share the SERIAL_*_STATE bits
  return TRUE;
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  if (!lpCommProp) return detail::FailWith(ERROR_INVALID_PARAMETER);
  static_assert(offsetof(COMMPROP, wcProvChar) == offsetof(SERIAL_COMMPROP, ProvChar), "COMMPROP is SERIAL_COMMPROP");
  return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  SERIAL_QUEUE_SIZE q{dwInQueue, dwOutQueue};
  return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &q, sizeof q);
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  UCHAR c = (UCHAR)cChar;
  return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c);
}

}
