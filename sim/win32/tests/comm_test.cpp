// The comm API: each call sends the serial requests kernel32 sends, with the buffers the
// port expects, and turns the port's answers into DCB, COMSTAT and modem status.
#include <ntddser.h>

#include <cstring>
#include <functional>

#include "win32_fixture.h"

using namespace w32test;

namespace {

template <typename T>
std::vector<UCHAR> Bytes(const T& value) {
  const auto* p = reinterpret_cast<const UCHAR*>(&value);
  return std::vector<UCHAR>(p, p + sizeof value);
}

DCB ModemDcb() {
  DCB d{};
  d.DCBlength = sizeof d;
  d.BaudRate = CBR_57600;
  d.ByteSize = 7;
  d.Parity = EVENPARITY;
  d.StopBits = TWOSTOPBITS;
  d.fBinary = 1;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_HANDSHAKE;
  d.fOutxCtsFlow = 1;
  d.fOutX = 1;
  d.fAbortOnError = 1;
  d.XonLim = 100;
  d.XoffLim = 200;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  d.EofChar = 0x1A;
  d.EvtChar = '\n';
  return d;
}

struct Sent {
  ULONG code;
  std::vector<UCHAR> in;
};

struct CommCase {
  const char* name;
  std::function<BOOL(HANDLE)> call;
  std::vector<Sent> sent;  // control requests in order; `in` empty means none checked
};

class CommRequests : public Win32Fixture, public ::testing::WithParamInterface<CommCase> {};

TEST_P(CommRequests, SendTheSerialRequestsInOrder) {
  const CommCase& c = GetParam();
  // The port's current settings, which SetCommState reads before it writes.
  S().answers[IOCTL_SERIAL_GET_BAUD_RATE] = Bytes(SERIAL_BAUD_RATE{115200});
  S().answers[IOCTL_SERIAL_GET_LINE_CONTROL] = Bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8});
  S().answers[IOCTL_SERIAL_GET_CHARS] = Bytes(SERIAL_CHARS{0, 0, 0x7F, 0, 0x11, 0x13});
  S().answers[IOCTL_SERIAL_GET_HANDFLOW] = Bytes(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 8192, 5461});
  HANDLE h = CreateFileA("\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(c.call(h)) << GetLastError();
  std::vector<Request> log = Log();
  ASSERT_EQ(log.size(), c.sent.size());
  for (size_t i = 0; i < log.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(log[i].code, c.sent[i].code);
    if (!c.sent[i].in.empty()) {
      EXPECT_EQ(log[i].in, c.sent[i].in);
    }
  }
  CloseHandle(h);
}

const std::vector<UCHAR> kNone;

INSTANTIATE_TEST_SUITE_P(
    Table, CommRequests,
    ::testing::Values(
        CommCase{"SetCommTimeouts",
                 [](HANDLE h) {
                   COMMTIMEOUTS t{MAXDWORD, 0, 0, 10, 2000};
                   return SetCommTimeouts(h, &t);
                 },
                 {{IOCTL_SERIAL_SET_TIMEOUTS, Bytes(SERIAL_TIMEOUTS{MAXULONG, 0, 0, 10, 2000})}}},
        CommCase{"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR); },
                 {{IOCTL_SERIAL_PURGE, Bytes(ULONG{SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR})}}},
        CommCase{"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR | EV_CTS | EV_RLSD); },
                 {{IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_CTS | SERIAL_EV_RLSD})}}},
        CommCase{"SetupComm", [](HANDLE h) { return SetupComm(h, 4096, 2048); },
                 {{IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(SERIAL_QUEUE_SIZE{4096, 2048})}}},
        CommCase{"TransmitCommChar", [](HANDLE h) { return TransmitCommChar(h, 'Z'); },
                 {{IOCTL_SERIAL_IMMEDIATE_CHAR, {'Z'}}}},
        CommCase{"EscapeSetDtr", [](HANDLE h) { return EscapeCommFunction(h, SETDTR); }, {{IOCTL_SERIAL_SET_DTR, kNone}}},
        CommCase{"EscapeClrDtr", [](HANDLE h) { return EscapeCommFunction(h, CLRDTR); }, {{IOCTL_SERIAL_CLR_DTR, kNone}}},
        CommCase{"EscapeSetRts", [](HANDLE h) { return EscapeCommFunction(h, SETRTS); }, {{IOCTL_SERIAL_SET_RTS, kNone}}},
        CommCase{"EscapeClrRts", [](HANDLE h) { return EscapeCommFunction(h, CLRRTS); }, {{IOCTL_SERIAL_CLR_RTS, kNone}}},
        CommCase{"EscapeSetBreak", [](HANDLE h) { return EscapeCommFunction(h, SETBREAK); },
                 {{IOCTL_SERIAL_SET_BREAK_ON, kNone}}},
        CommCase{"EscapeClrBreak", [](HANDLE h) { return EscapeCommFunction(h, CLRBREAK); },
                 {{IOCTL_SERIAL_SET_BREAK_OFF, kNone}}},
        CommCase{"EscapeSetXoff", [](HANDLE h) { return EscapeCommFunction(h, SETXOFF); },
                 {{IOCTL_SERIAL_SET_XOFF, kNone}}},
        CommCase{"EscapeSetXon", [](HANDLE h) { return EscapeCommFunction(h, SETXON); }, {{IOCTL_SERIAL_SET_XON, kNone}}},
        CommCase{"EscapeResetDev", [](HANDLE h) { return EscapeCommFunction(h, RESETDEV); },
                 {{IOCTL_SERIAL_RESET_DEVICE, kNone}}},
        CommCase{"SetCommBreak", [](HANDLE h) { return SetCommBreak(h) && ClearCommBreak(h); },
                 {{IOCTL_SERIAL_SET_BREAK_ON, kNone}, {IOCTL_SERIAL_SET_BREAK_OFF, kNone}}},
        CommCase{"GetCommState",
                 [](HANDLE h) {
                   DCB d;
                   return GetCommState(h, &d);
                 },
                 {{IOCTL_SERIAL_GET_BAUD_RATE, kNone},
                  {IOCTL_SERIAL_GET_LINE_CONTROL, kNone},
                  {IOCTL_SERIAL_GET_CHARS, kNone},
                  {IOCTL_SERIAL_GET_HANDFLOW, kNone}}},
        CommCase{"SetCommState",
                 [](HANDLE h) {
                   DCB d = ModemDcb();
                   return SetCommState(h, &d);
                 },
                 {{IOCTL_SERIAL_GET_BAUD_RATE, kNone},
                  {IOCTL_SERIAL_GET_LINE_CONTROL, kNone},
                  {IOCTL_SERIAL_GET_CHARS, kNone},
                  {IOCTL_SERIAL_GET_HANDFLOW, kNone},
                  {IOCTL_SERIAL_SET_BAUD_RATE, Bytes(SERIAL_BAUD_RATE{57600})},
                  // RTS is under handshake: no RTS request. DTR is the application's.
                  {IOCTL_SERIAL_SET_DTR, kNone},
                  {IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7})},
                  // The break character is kept from the port; the rest comes from the DCB.
                  {IOCTL_SERIAL_SET_CHARS, Bytes(SERIAL_CHARS{0x1A, 0, 0x7F, '\n', 0x11, 0x13})},
                  {IOCTL_SERIAL_SET_HANDFLOW,
                   Bytes(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_ERROR_ABORT,
                                         SERIAL_AUTO_TRANSMIT | SERIAL_RTS_HANDSHAKE, 100, 200})}}}),
    [](const ::testing::TestParamInfo<CommCase>& i) { return std::string(i.param.name); });

using CommTest = Win32Fixture;

TEST_F(CommTest, AnswersBecomeDcbComstatAndModemStatus) {
  S().answers[IOCTL_SERIAL_GET_BAUD_RATE] = Bytes(SERIAL_BAUD_RATE{230400});
  S().answers[IOCTL_SERIAL_GET_LINE_CONTROL] = Bytes(SERIAL_LINE_CONTROL{STOP_BITS_1_5, MARK_PARITY, 5});
  S().answers[IOCTL_SERIAL_GET_CHARS] = Bytes(SERIAL_CHARS{0x1A, '?', 0, '~', 0x11, 0x13});
  S().answers[IOCTL_SERIAL_GET_HANDFLOW] = Bytes(SERIAL_HANDFLOW{
      SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY,
      SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_TRANSMIT_TOGGLE | SERIAL_XOFF_CONTINUE,
      8192, 5461});
  S().answers[IOCTL_SERIAL_GET_MODEMSTATUS] = Bytes(ULONG{SERIAL_CTS_STATE | SERIAL_DSR_STATE});
  SERIAL_STATUS status{};
  status.Errors = SERIAL_ERROR_OVERRUN | SERIAL_ERROR_BREAK;
  status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_XOFF_SENT;
  status.AmountInInQueue = 5;
  status.AmountInOutQueue = 7;
  status.WaitForImmediate = TRUE;
  S().answers[IOCTL_SERIAL_GET_COMMSTATUS] = Bytes(status);
  S().answers[IOCTL_SERIAL_GET_TIMEOUTS] = Bytes(SERIAL_TIMEOUTS{1, 2, 3, 4, 5});
  S().answers[IOCTL_SERIAL_GET_WAIT_MASK] = Bytes(ULONG{SERIAL_EV_RXFLAG});
  HANDLE h = OpenPort();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  DCB d;
  memset(&d, 0xCC, sizeof d);
  ASSERT_TRUE(GetCommState(h, &d));
  EXPECT_EQ(d.DCBlength, sizeof(DCB));
  EXPECT_EQ(d.BaudRate, 230400u);
  EXPECT_EQ(d.ByteSize, 5);
  EXPECT_EQ(d.Parity, MARKPARITY);
  EXPECT_EQ(d.StopBits, ONE5STOPBITS);
  EXPECT_EQ(d.fBinary, 1u);
  EXPECT_EQ(d.fDtrControl, (DWORD)DTR_CONTROL_HANDSHAKE);
  EXPECT_EQ(d.fRtsControl, (DWORD)RTS_CONTROL_TOGGLE);
  EXPECT_EQ(d.fOutxCtsFlow, 0u);
  EXPECT_EQ(d.fOutxDsrFlow, 1u);
  EXPECT_EQ(d.fDsrSensitivity, 1u);
  EXPECT_EQ(d.fOutX, 0u);
  EXPECT_EQ(d.fInX, 1u);
  EXPECT_EQ(d.fErrorChar, 1u);
  EXPECT_EQ(d.fNull, 1u);
  EXPECT_EQ(d.fTXContinueOnXoff, 1u);
  EXPECT_EQ(d.fAbortOnError, 0u);
  EXPECT_EQ(d.XonLim, 8192);
  EXPECT_EQ(d.XoffLim, 5461);
  EXPECT_EQ(d.EofChar, 0x1A);
  EXPECT_EQ(d.ErrorChar, '?');
  EXPECT_EQ(d.EvtChar, '~');
  EXPECT_EQ(d.fDummy2, 0u);

  DWORD errors = 0;
  COMSTAT st;
  memset(&st, 0xCC, sizeof st);
  ASSERT_TRUE(ClearCommError(h, &errors, &st));
  EXPECT_EQ(errors, (DWORD)(CE_OVERRUN | CE_BREAK));
  EXPECT_EQ(st.fCtsHold, 1u);
  EXPECT_EQ(st.fDsrHold, 0u);
  EXPECT_EQ(st.fXoffHold, 0u);
  EXPECT_EQ(st.fXoffSent, 1u);
  EXPECT_EQ(st.fTxim, 1u);
  EXPECT_EQ(st.fEof, 0u);
  EXPECT_EQ(st.cbInQue, 5u);
  EXPECT_EQ(st.cbOutQue, 7u);

  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(h, &modem));
  EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON);
  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(h, &t));
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 3u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 5u);
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(h, &mask));
  EXPECT_EQ(mask, (DWORD)EV_RXFLAG);
  // Each query asked for the port's whole record.
  for (const Request& r : Log()) {
    if (r.code == IOCTL_SERIAL_GET_COMMSTATUS) {
      EXPECT_EQ(r.outLength, sizeof(SERIAL_STATUS));
    }
    if (r.code == IOCTL_SERIAL_GET_TIMEOUTS) {
      EXPECT_EQ(r.outLength, sizeof(SERIAL_TIMEOUTS));
    }
  }
  CloseHandle(h);
}

TEST_F(CommTest, RefusedCallsSendNothingOrPutThePortBack) {
  S().answers[IOCTL_SERIAL_GET_BAUD_RATE] = Bytes(SERIAL_BAUD_RATE{115200});
  S().answers[IOCTL_SERIAL_GET_LINE_CONTROL] = Bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8});
  S().answers[IOCTL_SERIAL_GET_CHARS] = Bytes(SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13});
  S().answers[IOCTL_SERIAL_GET_HANDFLOW] = Bytes(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 8192, 5461});
  HANDLE h = OpenPort();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  EXPECT_FALSE(EscapeCommFunction(h, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(EscapeCommFunction(h, CLRBREAK + 1));
  DCB same = ModemDcb();
  same.XoffChar = same.XonChar;
  EXPECT_FALSE(SetCommState(h, &same));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Log().empty());

  // The port refuses the line control: the baud rate already sent is put back.
  S().fail[IOCTL_SERIAL_SET_LINE_CONTROL] = STATUS_INVALID_PARAMETER;
  DCB d = ModemDcb();
  EXPECT_FALSE(SetCommState(h, &d));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  std::vector<ULONG> bauds;
  for (const Request& r : Log())
    if (r.code == IOCTL_SERIAL_SET_BAUD_RATE) bauds.push_back(*reinterpret_cast<const ULONG*>(r.in.data()));
  EXPECT_EQ(bauds, std::vector<ULONG>({57600, 115200}));

  // A port that is not open for business fails each call with the mapped error.
  S().fail[IOCTL_SERIAL_SET_TIMEOUTS] = STATUS_INVALID_DEVICE_REQUEST;
  COMMTIMEOUTS t{};
  EXPECT_FALSE(SetCommTimeouts(h, &t));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
  CloseHandle(h);
}

TEST_F(CommTest, OverlappedWaitCommEventDeliversTheMaskAtCompletion) {
  S().pendCodes.push_back(IOCTL_SERIAL_WAIT_ON_MASK);
  HANDLE h = OpenPort(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_RING));
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0xDEAD;
  EXPECT_FALSE(WaitCommEvent(h, &events, &ov));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  ULONG ring = SERIAL_EV_RING;
  ASSERT_TRUE(CompletePending(std::string(reinterpret_cast<const char*>(&ring), sizeof ring), STATUS_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  DWORD n = 0;
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(n, sizeof(DWORD));
  EXPECT_EQ(events, (DWORD)EV_RING);
  ASSERT_EQ(Codes().back(), IOCTL_SERIAL_WAIT_ON_MASK);
  EXPECT_EQ(Log().back().outLength, sizeof(DWORD));
  CloseHandle(ov.hEvent);
  CloseHandle(h);
}

}  // namespace
