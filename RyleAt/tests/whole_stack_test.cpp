// Q93Kat in the whole package with the phone: Q93Kus.inf and Q93Kpt.inf installed, an
// application talking to the AT port through Q93Ksw, Q93Kat, the bus's worker and the
// phone's AT interpreter, and the phone pulled with a write still on its way.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "io.h"
#include "kernel.h"
#include "machine/machine.h"
#include "machine_fixture.h"
#include "phone/q93k_phone.h"
#include "pnp.h"
#include "usb/hub_pdo.h"

namespace {

class WholeStack : public sim::machine::testing::MachineFixture {
 protected:
  void SetUp() override {
    MachineFixture::SetUp();
    for (const char* inf : {"RyleUsb/Q93Kus.inf", "RylePort/Q93Kpt.inf"}) {
      std::string error;
      ASSERT_TRUE(machine().InstallInf(machine().PackageFile(inf), &error)) << error;
    }
    phone_ = std::make_shared<sim::phone::Q93KPhone>();
    ASSERT_TRUE(machine().Plug(phone_));
    port_ = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  }

  // A synchronous transfer on the overlapped handle.
  DWORD Transfer(bool write, void* data, DWORD length) {
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    BOOL ok = write ? WriteFile(port_, data, length, &done, &o) : ReadFile(port_, data, length, &done, &o);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port_, &o, &done, TRUE);
    CloseHandle(o.hEvent);
    return ok ? done : 0;
  }

  std::string ReadAnswer() {
    std::string text;
    for (int i = 0; i < 50 && text.find("OK\r\n") == std::string::npos; i++) {
      char buffer[256];
      DWORD n = Transfer(false, buffer, sizeof buffer);
      text.append(buffer, n);
    }
    return text;
  }

  std::shared_ptr<sim::phone::Q93KPhone> phone_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(WholeStack, AnAtCommandIsAnsweredThroughTheBus) {
  char at[] = "AT\r";
  ASSERT_EQ(Transfer(true, at, 3), 3u);
  const std::string answer = ReadAnswer();
  ASSERT_GE(answer.size(), 6u) << answer;
  EXPECT_EQ(answer.substr(answer.size() - 6), "\r\nOK\r\n");
  // Longer than one chunk of the AT driver: 200 bytes of one command line go out in two
  // pieces and the phone answers the line as a whole.
  std::string line = "AT" + std::string(197, ' ') + "\r";
  ASSERT_EQ(Transfer(true, line.data(), DWORD(line.size())), line.size());
  const std::string long_answer = ReadAnswer();
  EXPECT_NE(long_answer.find("OK"), std::string::npos) << long_answer;
  EXPECT_TRUE(CloseHandle(port_));
  machine().Unplug();
}

// 64 KiB written by the application reach the phone whole and in order, one chunk of the
// AT driver per SEND_ENCAPSULATED_COMMAND.
TEST_F(WholeStack, A64KiBWriteReachesThePhoneInOrder) {
  std::string data(64 * 1024, 0);
  for (size_t i = 0; i < data.size(); i++) data[i] = char('a' + i % 26);  // no line end
  phone_->clearWireLog();
  ASSERT_EQ(Transfer(true, data.data(), DWORD(data.size())), data.size());
  // The port completes the write once the AT driver took it; the chunks follow.
  std::string sent;
  size_t commands = 0;
  for (int waited = 0; waited < 5000 && sent.size() < data.size(); waited += 10) {
    sim::kernel::Sleep(10);
    sent.clear();
    commands = 0;
    for (const auto& e : phone_->wireLog()) {
      if (e.kind == sim::phone::WireEvent::Kind::Setup && (e.setup.bmRequestType & 0x60) == 0x20 &&
          e.setup.bRequest == 0x00) {
        sent.append(e.data.begin(), e.data.end());
        EXPECT_LE(e.data.size(), 128u);
        commands++;
      }
    }
  }
  EXPECT_EQ(commands, 512u);
  EXPECT_TRUE(sent == data) << "received " << sent.size() << " bytes";
  EXPECT_TRUE(CloseHandle(port_));
  machine().Unplug();
}

TEST_F(WholeStack, UnplugWithAWriteOnItsWayAndThePortOpen) {
  // The phone takes its time over the command, so the write is still at the bus (and the
  // rest of it queued in the AT driver) when the cable goes.
  phone_->delayClassRequest(0x00, 150);
  std::string line = "ATI" + std::string(296, ' ') + "\r";
  OVERLAPPED o{};
  o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD done = 0;
  BOOL ok = WriteFile(port_, line.data(), DWORD(line.size()), &done, &o);
  ASSERT_TRUE(ok || GetLastError() == ERROR_IO_PENDING);
  machine().Unplug();
  // The write ends, whatever became of its bytes, and the port refuses further work.
  GetOverlappedResult(port_, &o, &done, TRUE);
  EXPECT_LE(done, line.size());
  CloseHandle(o.hEvent);
  char at[] = "AT\r";
  EXPECT_EQ(Transfer(true, at, 3), 0u);
  // The devices go once the application lets go of the port.
  EXPECT_TRUE(CloseHandle(port_));
  sim::kernel::pnp::WaitIdle();
  EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93KAtDevice0"), nullptr);
  EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93KUsbDevice0"), nullptr);
  EXPECT_EQ(CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
}

}  // namespace
