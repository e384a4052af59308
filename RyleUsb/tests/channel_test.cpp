// The bus channels at work with the phone model: AT commands through the worker and their
// answers, modem data and line requests, reception holds, the bulk-IN retry limit, failed
// transfers reported so a function driver never waits for ever, unplug and sleep.
#include <fstream>
#include <mutex>
#include <sstream>

#include "bus_fixture.h"
#include "kernel.h"
#include "power.h"
#include "usb/host_controller.h"

namespace {

using namespace bus_test;
using sim::phone::PeerId;
using sim::phone::RemotePeer;

// The test's function driver: one record and everything the bus tells it.
struct Client {
  CHANNEL_BINDING record{};
  HANDLE handle = nullptr;
  std::mutex mu;
  std::string received;
  std::vector<ULONG> written;  // WriteComplete / CommandSent lengths
  std::vector<ULONG> events;
  std::vector<ULONG> states;

  static Client* Of(PVOID context) { return static_cast<Client*>(context); }
  static LONG NTAPI Data(PVOID context, PCHANNEL_BUFFER buffer) {
    Client* c = Of(context);
    {
      std::lock_guard lock(c->mu);
      c->received.append(reinterpret_cast<const char*>(buffer->Data), buffer->Length);
    }
    ExFreePool(buffer);
    return 1;
  }
  static LONG NTAPI Written(PVOID context, ULONG length) {
    std::lock_guard lock(Of(context)->mu);
    Of(context)->written.push_back(length);
    return 1;
  }
  static LONG NTAPI Event(PVOID context, ULONG code) {
    std::lock_guard lock(Of(context)->mu);
    Of(context)->events.push_back(code);
    return 1;
  }
  static LONG NTAPI State(PVOID context, ULONG on) {
    std::lock_guard lock(Of(context)->mu);
    Of(context)->states.push_back(on);
    return 1;
  }

  explicit Client(UCHAR kind) {
    record.Kind = kind;
    switch (kind) {
      case CHANNEL_KIND_MODEM:
        record.ModemContext = this;
        record.ModemDataReceived = Data;
        record.ModemLineEvent = Event;
        record.ModemWriteComplete = Written;
        record.ModemDeviceState = State;
        break;
      case CHANNEL_KIND_AT:
        record.AtContext = this;
        record.AtResponseReceived = Data;
        record.AtLineEvent = Event;
        record.AtCommandSent = Written;
        record.AtDeviceState = State;
        break;
      case CHANNEL_KIND_OBEX:
        record.ObexContext = this;
        record.ObexDataReceived = Data;
        record.ObexWriteComplete = Written;
        record.ObexDeviceState = State;
        break;
      default:
        record.ExtraContext = this;
        record.ExtraDataReceived = Data;
        record.ExtraWriteComplete = Written;
        record.ExtraDeviceState = State;
        break;
    }
  }

  PDEVICE_OBJECT bus() const { return record.BusDevice; }
  LONG Start() { return record.ChannelStart(bus(), 0); }
  LONG Stop() { return record.ChannelStop(bus(), 0); }
  std::string Received() {
    std::lock_guard lock(mu);
    return received;
  }
  std::vector<ULONG> Written() {
    std::lock_guard lock(mu);
    return written;
  }
  std::vector<ULONG> Events() {
    std::lock_guard lock(mu);
    return events;
  }
  std::vector<ULONG> States() {
    std::lock_guard lock(mu);
    return states;
  }
};

// A buffer the bus may take: non-paged pool, header then data.
PCHANNEL_BUFFER NewBuffer(const std::string& data) {
  auto* b = static_cast<PCHANNEL_BUFFER>(
      ExAllocatePoolWithTag(NonPagedPool, CHANNEL_BUFFER_HEADER_SIZE + data.size() + 1, 0x74736554 /* "Test" */));
  InitializeListHead(&b->Links);
  b->Length = ULONG(data.size());
  b->Offset = 0;
  memcpy(b->Data, data.data(), data.size());
  return b;
}

// Lets virtual time run until `done` holds, at most `ms` virtual milliseconds.
template <class F>
bool WaitFor(F done, int ms = 3000) {
  for (int i = 0; i < ms; i++) {
    if (done()) return true;
    sim::kernel::Sleep(1);
  }
  return done();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class BusChannel : public BusDriver {
 protected:
  void SetUp() override {
    BusDriver::SetUp();
    client::Install();
  }

  void Plug(ULONG mode = 1) {
    phone_ = std::make_shared<Q93KPhone>();
    ASSERT_TRUE(machine().Plug(phone_));
    if (mode != 1) Restart(mode);
  }

  void BindChild(const char* id, Client& c) {
    DeviceNode* node = Child(id);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(Bind(NameOf(node), &c.record, &c.handle), STATUS_SUCCESS);
  }

  // Bound and started, as a control driver's open does it.
  void StartOn(const char* id, Client& c) {
    BindChild(id, c);
    ASSERT_EQ(c.Start(), 1);
  }

  // Stopped (the phone confirms) and closed.
  void StopAndClose(Client& c) {
    EXPECT_EQ(c.Stop(), 1);
    Close(c);
  }

  void BindBus(Client& c) { ASSERT_EQ(Bind("\\Device\\Q93KUsbDevice0", &c.record, &c.handle), STATUS_SUCCESS); }

  void Close(Client& c) {
    if (c.handle) {
      EXPECT_EQ(sim::kernel::CloseHandle(c.handle), STATUS_SUCCESS);
    }
    c.handle = nullptr;
  }

  // Class requests of one code the phone saw since the wire log was cleared.
  std::vector<uint16_t> ClassValues(uint8_t request) {
    std::vector<uint16_t> values;
    for (const auto& e : phone_->wireLog()) {
      if (e.kind == sim::phone::WireEvent::Kind::Setup && (e.setup.bmRequestType & 0x60) == 0x20 &&
          e.setup.bRequest == request) {
        values.push_back(e.setup.wValue);
      }
    }
    return values;
  }

  std::shared_ptr<Q93KPhone> phone_;
};

TEST_F(BusChannel, AtCommandsGoThroughTheWorkerAndTheAnswersComeBack) {
  Plug();
  Client at(CHANNEL_KIND_AT);
  BindChild(kAtId, at);

  // Bound but not started: everything but the limits refuses, and a refused buffer stays
  // the caller's.
  PCHANNEL_BUFFER early = NewBuffer("AT\r");
  EXPECT_EQ(at.record.SendCommand(at.bus(), early), 0);
  ExFreePool(early);
  EXPECT_EQ(at.Stop(), 0);

  ASSERT_EQ(at.Start(), 1);
  EXPECT_EQ(phone_->activeFunction(2), CHANNEL_KIND_AT);
  EXPECT_EQ(at.Start(), 0) << "already started";

  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT\r")), 1);
  ASSERT_TRUE(WaitFor([&] { return Contains(at.Received(), "OK"); })) << at.Received();
  EXPECT_EQ(at.Written(), std::vector<ULONG>{3});
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("ATI\r")), 1);
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT+CGMI\r")), 1);
  ASSERT_TRUE(WaitFor([&] { return at.Written().size() == 3 && at.Received().size() > 20; }));
  EXPECT_EQ(at.Written(), (std::vector<ULONG>{3, 4, 8})) << "in posting order";

  PCHANNEL_BUFFER empty = NewBuffer("");
  EXPECT_EQ(at.record.SendCommand(at.bus(), nullptr), 0);
  EXPECT_EQ(at.record.SendCommand(at.bus(), empty), 0);
  ExFreePool(empty);
  // The AT slot has no line: only the word changes, and nothing reaches the phone.
  phone_->clearWireLog();
  EXPECT_EQ(at.record.SetLineControl(at.bus(), CHANNEL_DTR_ON), 1);
  sim::kernel::Sleep(50);
  EXPECT_TRUE(ClassValues(0x22).empty());

  EXPECT_EQ(at.Stop(), 1) << "the phone confirmed the deactivation";
  EXPECT_EQ(phone_->activeFunction(2), 0);
  CHANNEL_LIMITS limits;
  EXPECT_EQ(at.record.GetLimits(at.bus(), &limits), 0) << "the binding is gone";
  PCHANNEL_BUFFER late = NewBuffer("AT\r");
  EXPECT_EQ(at.record.SendCommand(at.bus(), late), 0);
  ExFreePool(late);
  Close(at);
  machine().Unplug();
}

// A chunk the phone refuses is confirmed with length 0, so the AT function driver (which
// keeps one chunk at the bus) goes on; the next chunk is sent as usual.
TEST_F(BusChannel, AFailedAtChunkIsReportedWithLengthZero) {
  Plug();
  Client at(CHANNEL_KIND_AT);
  StartOn(kAtId, at);
  phone_->stallClassRequest(0x00, 1);
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT\r")), 1);
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT\r")), 1);
  ASSERT_TRUE(WaitFor([&] { return at.Written().size() == 2 && Contains(at.Received(), "OK"); }));
  EXPECT_EQ(at.Written(), (std::vector<ULONG>{0, 3}));
  StopAndClose(at);
  machine().Unplug();
}

// The phone's RESPONSE_AVAILABLE for a command is lost: its answer arrives with the next
// command's, instead of every answer from then on being one behind.
TEST_F(BusChannel, AnAnswerWhoseNoticeWasLostComesWithTheNext) {
  Plug();
  Client at(CHANNEL_KIND_AT);
  StartOn(kAtId, at);
  sim::phone::NotificationFault drop;
  drop.drop = true;
  drop.count = 1;
  phone_->setNotificationFault(sim::phone::kNotifyResponseAvailable, drop);
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT\r")), 1);
  ASSERT_TRUE(WaitFor([&] { return at.Written().size() == 1; }));
  sim::kernel::Sleep(200);
  EXPECT_EQ(at.Received(), "");
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT+CGMI\r")), 1);
  ASSERT_TRUE(WaitFor([&] { return Contains(at.Received(), "+CGMI") || at.Received().size() > 12; }));
  sim::kernel::Sleep(200);
  const std::string both = at.Received();
  const size_t ok = both.find("OK");
  ASSERT_NE(ok, std::string::npos) << both;
  EXPECT_NE(both.find("OK", ok + 2), std::string::npos) << "both answers: " << both;
  StopAndClose(at);
  machine().Unplug();
}

TEST_F(BusChannel, ModemDataAndLineRequestsReachThePhone) {
  Plug();
  Client modem(CHANNEL_KIND_MODEM);
  StartOn(kModemId, modem);
  EXPECT_EQ(phone_->activeFunction(0), CHANNEL_KIND_MODEM);

  ASSERT_EQ(modem.record.WriteModem(modem.bus(), NewBuffer("AT\r")), 1);
  PCHANNEL_BUFFER second = NewBuffer("AT\r");
  EXPECT_EQ(modem.record.WriteModem(modem.bus(), second), 0) << "one write at a time";
  ExFreePool(second);
  ASSERT_TRUE(WaitFor([&] { return Contains(modem.Received(), "OK"); })) << modem.Received();
  EXPECT_EQ(modem.Written(), std::vector<ULONG>{3});

  CHANNEL_LINE_CODING coding{9600, 0, 0, 8};
  EXPECT_EQ(modem.record.SetLineCoding(modem.bus(), &coding), 1);
  ASSERT_TRUE(WaitFor([&] { return phone_->lineCoding(0)[0] == 0x80; }));
  EXPECT_EQ(phone_->lineCoding(0), (std::array<uint8_t, 7>{0x80, 0x25, 0, 0, 0, 0, 8}));

  struct LineCase {
    ULONG code;
    LONG result;
    uint16_t lines;
    bool breakOn;
  };
  const LineCase kLines[] = {
      {CHANNEL_DTR_ON, 1, 0x1, false},  {CHANNEL_RTS_ON, 1, 0x3, false},  {CHANNEL_DTR_ON, 1, 0x3, false},
      {CHANNEL_BREAK_ON, 1, 0x3, true}, {CHANNEL_BREAK_OFF, 1, 0x3, false}, {CHANNEL_RTS_OFF, 1, 0x1, false},
      {7, 0, 0x1, false},
  };
  for (const LineCase& c : kLines) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(modem.record.SetLineControl(modem.bus(), c.code), c.result);
    sim::kernel::Sleep(20);
    EXPECT_EQ(phone_->controlLines(0), c.lines);
    EXPECT_EQ(phone_->breakOn(0), c.breakOn);
  }

  // Two changes while the worker is busy: both requests carry the word as it is when sent.
  phone_->clearWireLog();
  phone_->delayClassRequest(0x20, 50);
  EXPECT_EQ(modem.record.SetLineCoding(modem.bus(), &coding), 1);
  EXPECT_EQ(modem.record.SetLineControl(modem.bus(), CHANNEL_RTS_ON), 1);
  EXPECT_EQ(modem.record.SetLineControl(modem.bus(), CHANNEL_DTR_OFF), 1);
  ASSERT_TRUE(WaitFor([&] { return ClassValues(0x22).size() == 2; }));
  EXPECT_EQ(ClassValues(0x22), (std::vector<uint16_t>{0x2, 0x2}));

  EXPECT_EQ(modem.Stop(), 1);
  EXPECT_EQ(phone_->activeFunction(0), 0);
  PCHANNEL_BUFFER late = NewBuffer("AT\r");
  EXPECT_EQ(modem.record.WriteModem(modem.bus(), late), 0) << "after ChannelStop";
  ExFreePool(late);
  Close(modem);
  machine().Unplug();
}

TEST_F(BusChannel, SerialStateBecomesLineEventsOfTheModem) {
  Plug();
  Client modem(CHANNEL_KIND_MODEM);
  Client at(CHANNEL_KIND_AT);
  StartOn(kModemId, modem);
  StartOn(kAtId, at);
  ASSERT_EQ(modem.record.SetLineControl(modem.bus(), CHANNEL_DTR_ON), 1);
  ASSERT_TRUE(phone_->incomingCall(2));
  auto hasRing = [](const std::vector<ULONG>& e) {
    return std::find(e.begin(), e.end(), CHANNEL_EVENT_RING_ON) != e.end() &&
           std::find(e.begin(), e.end(), CHANNEL_EVENT_RING_OFF) != e.end();
  };
  ASSERT_TRUE(WaitFor([&] { return hasRing(modem.Events()); }, 20000));
  for (ULONG e : at.Events()) EXPECT_NE(e, ULONG(CHANNEL_EVENT_RING_ON)) << "rings go to the modem only";
  StopAndClose(modem);
  StopAndClose(at);
  machine().Unplug();
}

// Mode 2: the extra function on slot 1 of the bus FDO, with the phone's echo peer.
TEST_F(BusChannel, AHeldReceptionDeliversTheReadInFlightAndResumesOnRelease) {
  Plug(2);
  Client extra(CHANNEL_KIND_EXTRA);
  BindBus(extra);
  ASSERT_EQ(extra.Start(), 1);
  EXPECT_EQ(phone_->activeFunction(1), CHANNEL_KIND_EXTRA);

  ASSERT_EQ(extra.record.WriteExtra(extra.bus(), NewBuffer("ping")), 1);
  ASSERT_TRUE(WaitFor([&] { return extra.Received() == "ping"; })) << extra.Received();
  EXPECT_EQ(extra.Written(), std::vector<ULONG>{4});

  struct HoldCase {
    ULONG code;
    LONG result;
  };
  for (const HoldCase& c : {HoldCase{CHANNEL_OBEX_HOLD, 0}, HoldCase{CHANNEL_OBEX_RELEASE, 0}, HoldCase{9, 0},
                            HoldCase{CHANNEL_EXTRA_HOLD, 1}}) {
    EXPECT_EQ(extra.record.ExtraReceiveHold(extra.bus(), c.code), c.result) << c.code;
  }
  // The read in flight still delivers; none follows it while held.
  phone_->withPeer(PeerId::Extra, [](RemotePeer& p) {
    const uint8_t bytes[] = {'a', 'b'};
    p.send(bytes);
  });
  ASSERT_TRUE(WaitFor([&] { return extra.Received() == "pingab"; })) << extra.Received();
  phone_->withPeer(PeerId::Extra, [](RemotePeer& p) {
    const uint8_t bytes[] = {'c', 'd'};
    p.send(bytes);
  });
  sim::kernel::Sleep(500);
  EXPECT_EQ(extra.Received(), "pingab");
  EXPECT_EQ(extra.record.ExtraReceiveHold(extra.bus(), CHANNEL_EXTRA_RELEASE), 1);
  ASSERT_TRUE(WaitFor([&] { return extra.Received() == "pingabcd"; })) << extra.Received();

  StopAndClose(extra);
  machine().Unplug();
}

// Mode 1: the OBEX child's channel on slot 1 carries the phone's OBEX server; its hold
// takes codes 1 and 0.
TEST_F(BusChannel, TheObexChannelCarriesTheServersAnswers) {
  Plug();
  Client obex(CHANNEL_KIND_OBEX);
  StartOn(kObexId, obex);
  EXPECT_EQ(phone_->activeFunction(1), CHANNEL_KIND_OBEX);
  for (ULONG code : {ULONG(CHANNEL_EXTRA_HOLD), ULONG(CHANNEL_EXTRA_RELEASE)}) {
    EXPECT_EQ(obex.record.ObexReceiveHold(obex.bus(), code), 0) << code;
  }
  EXPECT_EQ(obex.record.ObexReceiveHold(obex.bus(), CHANNEL_OBEX_HOLD), 1);
  EXPECT_EQ(obex.record.ObexReceiveHold(obex.bus(), CHANNEL_OBEX_RELEASE), 1) << "nothing parked yet";
  // CONNECT, OBEX 1.0, no flags, packets up to 0x2000 bytes.
  const std::string connect("\x80\x00\x07\x10\x00\x20\x00", 7);
  ASSERT_EQ(obex.record.WriteObex(obex.bus(), NewBuffer(connect)), 1);
  ASSERT_TRUE(WaitFor([&] { return obex.Received().size() >= 7; }));
  EXPECT_EQ(uint8_t(obex.Received()[0]), sim::phone::obex::kSuccess);
  EXPECT_EQ(obex.Written(), std::vector<ULONG>{7});
  EXPECT_TRUE(phone_->obexConnected());
  StopAndClose(obex);
  machine().Unplug();
}

// Failed reads are retried BulkINRetryLimit times; a halted pipe fails each one at once,
// inside its own submission, so this also shows the retries do not recurse.
struct RetryCase {
  const char* name;
  int limit;  // -1: the INF's value (none)
  uint64_t retries;
};

class RetryLimit : public BusChannel, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryLimit, FailedReadsAreRetriedUpToTheLimit) {
  const RetryCase& c = GetParam();
  Plug();
  if (c.limit >= 0) {
    reg::SetDword(ParametersKey(), "BulkINRetryLimit", ULONG(c.limit));
    Restart(1);
  }
  Client modem(CHANNEL_KIND_MODEM);
  StartOn(kModemId, modem);
  sim::kernel::Sleep(10);
  auto& port = machine().Usb().Port(0);
  uint64_t before = port.Counters().submitted;
  phone_->stallEndpoint(sim::phone::layout::kModemBulkIn);
  sim::kernel::Sleep(200);
  uint64_t after = port.Counters().submitted;
  sim::kernel::Sleep(1000);
  EXPECT_EQ(after - before, c.retries) << "the read in flight fails, then each retry";
  EXPECT_EQ(port.Counters().submitted, after) << "reading stopped";
  StopAndClose(modem);
  machine().Unplug();
}

const RetryCase kRetryCases[] = {
    {"Default", -1, 10}, {"None", 0, 0}, {"Most", 255, 255}, {"TooHighKeepsTheDefault", 256, 10},
    {"FarTooHigh", 1000, 10},
};
INSTANTIATE_TEST_SUITE_P(Registry, RetryLimit, ::testing::ValuesIn(kRetryCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A write the phone never takes is reported with length 0 rather than not at all.
TEST_F(BusChannel, AFailedWriteIsReportedWithLengthZero) {
  Plug(2);
  Client extra(CHANNEL_KIND_EXTRA);
  BindBus(extra);
  ASSERT_EQ(extra.Start(), 1);
  phone_->stallEndpoint(sim::phone::layout::kObexBulkOut);
  ASSERT_EQ(extra.record.WriteExtra(extra.bus(), NewBuffer("lost")), 1);
  ASSERT_TRUE(WaitFor([&] { return !extra.Written().empty(); }));
  EXPECT_EQ(extra.Written(), std::vector<ULONG>{0});
  StopAndClose(extra);
  machine().Unplug();
}

// The phone goes while every channel is busy: a write in flight, AT commands queued, reads
// pending. Everything ends, the client is told of the lost write, nothing leaks.
TEST_F(BusChannel, UnplugWithEveryChannelBusy) {
  Plug();
  Client modem(CHANNEL_KIND_MODEM);
  Client at(CHANNEL_KIND_AT);
  StartOn(kModemId, modem);
  StartOn(kAtId, at);
  phone_->nakEndpoint(sim::phone::layout::kModemBulkOut, 100000);
  ASSERT_EQ(modem.record.WriteModem(modem.bus(), NewBuffer(std::string(1000, 'x'))), 1);
  for (int i = 0; i < 5; i++) ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("ATI\r")), 1);
  machine().Unplug();
  EXPECT_EQ(modem.Written(), std::vector<ULONG>{0});
  // The client stops and closes as its own removal tells it to.
  EXPECT_EQ(modem.Stop(), 0) << "the phone is gone: nothing confirmed";
  EXPECT_EQ(at.Stop(), 0);
  Close(modem);
  Close(at);
  EXPECT_TRUE(WaitFor([&] { return Bus() == nullptr; }));
}

// A PnP stop releases the functions; after the restart the channel counts as started but
// reads nothing until its function driver stops it and binds and starts it again.
TEST_F(BusChannel, AfterStopAndRestartTheChannelIsRestartedByItsDriver) {
  Plug();
  Client modem(CHANNEL_KIND_MODEM);
  StartOn(kModemId, modem);
  ASSERT_EQ(sim::kernel::pnp::Rebalance(Bus()), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->state, NodeState::Started);
  EXPECT_EQ(phone_->activeFunction(0), 0) << "deactivated at the stop";
  EXPECT_EQ(modem.Start(), 0) << "still started";
  EXPECT_EQ(modem.Stop(), 1);
  // A stop ends the binding: the driver opens again, as its client's next open does.
  Close(modem);
  StartOn(kModemId, modem);
  ASSERT_EQ(modem.record.WriteModem(modem.bus(), NewBuffer("AT\r")), 1);
  EXPECT_TRUE(WaitFor([&] { return Contains(modem.Received(), "OK"); })) << modem.Received();
  StopAndClose(modem);
  machine().Unplug();
}

// Sleep and wake with the modem and AT channels started: the function drivers are paused
// and resumed, the functions activated again, and data flows as before.
TEST_F(BusChannel, SleepPausesAndWakeResumesTheChannels) {
  Plug();
  Client modem(CHANNEL_KIND_MODEM);
  Client at(CHANNEL_KIND_AT);
  StartOn(kModemId, modem);
  StartOn(kAtId, at);
  ASSERT_EQ(modem.record.SetLineControl(modem.bus(), CHANNEL_DTR_ON), 1);
  ASSERT_EQ(modem.record.SetLineControl(modem.bus(), CHANNEL_RTS_ON), 1);
  ASSERT_TRUE(WaitFor([&] { return phone_->controlLines(0) == 3; }));

  ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(modem.States(), std::vector<ULONG>{0});
  EXPECT_EQ(at.States(), std::vector<ULONG>{0});
  // A command posted while the phone sleeps: whatever becomes of it, its function driver
  // hears of it.
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT\r")), 1);
  ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return modem.States().size() == 2 && at.States().size() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return at.Written().size() == 1; }));
  // Refused while the phone sleeps, purged at the resume (0), or sent once it is awake (3).
  const ULONG asleep = at.Written()[0];
  EXPECT_TRUE(asleep == 0 || asleep == 3) << asleep;
  EXPECT_EQ(modem.States(), (std::vector<ULONG>{0, 1}));
  EXPECT_EQ(at.States(), (std::vector<ULONG>{0, 1}));
  EXPECT_EQ(phone_->activeFunction(0), CHANNEL_KIND_MODEM);
  EXPECT_EQ(phone_->activeFunction(2), CHANNEL_KIND_AT);
  ASSERT_TRUE(WaitFor([&] { return phone_->controlLines(0) == 3; })) << "DTR and RTS restored";

  ASSERT_EQ(modem.record.WriteModem(modem.bus(), NewBuffer("AT\r")), 1);
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT\r")), 1);
  EXPECT_TRUE(WaitFor([&] {
    return Contains(modem.Received(), "OK") && Contains(at.Received(), "OK") && at.Written().size() == 2;
  }));
  EXPECT_EQ(at.Written(), (std::vector<ULONG>{asleep, 3}));
  StopAndClose(modem);
  StopAndClose(at);
  machine().Unplug();
}

}  // namespace

// On the 98 platform vendor and class requests go out with a shared context and a short
// wait, without cancel: the channels work the same.
class BusChannel98 : public BusChannel {
 protected:
  // The package's INF is for NT; the bus driver's own test gives the 98 platform the same
  // sections undecorated, with the marker of an installation made for it.
  void InstallBusInf() override {
    std::ifstream in(machine().PackageFile("RyleUsb/Q93Kus.inf"));
    std::stringstream text;
    text << in.rdbuf();
    std::string inf = text.str();
    auto replace = [&](const std::string& from, const std::string& to) {
      size_t at = inf.find(from);
      ASSERT_NE(at, std::string::npos) << from;
      inf.replace(at, from.size(), to);
    };
    replace("$WINDOWS NT$", "$CHICAGO$");
    replace("[Q93Kus_Install.NT]", "[Q93Kus_Install]");
    replace("[Q93Kus_Install.NT.Services]", "[Q93Kus_Install.Services]");
    replace("HKR, Parameters, UsbMode, 0x00010001, 1", "HKR, Parameters, UsbMode, 0x00010001, 1\nHKR, Parameters, Inst98, 0x00010001, 1");
    const std::string path = ::testing::TempDir() + "Q93Kus98.inf";
    std::ofstream(path) << inf;
    std::string error;
    ASSERT_TRUE(machine().InstallInf(path, &error)) << error;
  }
  sim::machine::MachineOptions MakeOptions() override {
    sim::machine::MachineOptions options;
    options.win98 = win98_ = true;
    return options;
  }
};

TEST_F(BusChannel98, AtAndModemChannelsWork) {
  phone_ = std::make_shared<Q93KPhone>();
  ASSERT_TRUE(machine().Plug(phone_));
  ASSERT_EQ(Bus()->state, NodeState::Started);
  Client at(CHANNEL_KIND_AT);
  Client modem(CHANNEL_KIND_MODEM);
  StartOn(kAtId, at);
  StartOn(kModemId, modem);
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT\r")), 1);
  ASSERT_TRUE(WaitFor([&] { return Contains(at.Received(), "OK"); })) << at.Received();
  EXPECT_EQ(at.Written(), std::vector<ULONG>{3});
  CHANNEL_LINE_CODING coding{9600, 0, 0, 8};
  EXPECT_EQ(modem.record.SetLineCoding(modem.bus(), &coding), 1);
  ASSERT_TRUE(WaitFor([&] { return phone_->lineCoding(0)[0] == 0x80; }));
  // A refused chunk is reported as not sent here too.
  phone_->stallClassRequest(0x00, 1);
  ASSERT_EQ(at.record.SendCommand(at.bus(), NewBuffer("AT\r")), 1);
  ASSERT_TRUE(WaitFor([&] { return at.Written().size() == 2; }));
  EXPECT_EQ(at.Written(), (std::vector<ULONG>{3, 0}));
  StopAndClose(at);
  StopAndClose(modem);
  machine().Unplug();
}
