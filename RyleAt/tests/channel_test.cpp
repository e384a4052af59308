// Q93Kat's open and close handshake with the bus, the context check of every entry, and
// what passes up (responses, line events) and down (line control), against the fake bus.
#include "at_fixture.h"
#include "pool.h"

namespace attest {
namespace {

const ULONG kWdmTag = 0x206D6457;  // "Wdm "

// A response as the bus hands it over: its own 2068-byte buffer, the receiver's to free.
PCHANNEL_BUFFER BusBuffer(const std::string& text) {
  auto* b = static_cast<PCHANNEL_BUFFER>(ExAllocatePoolWithTag(NonPagedPool, CHANNEL_BUFFER_ALLOCATION_SIZE, kWdmTag));
  InitializeListHead(&b->Links);
  b->Length = (ULONG)text.size();
  b->Offset = 0;
  memcpy(b->Data, text.data(), text.size());
  return b;
}

bool Outstanding(const void* p) {
  for (auto& a : sim::kernel::pool::Outstanding())
    if (a.address == p) return true;
  return false;
}

TEST_F(AtFixture, OpenBindsStartsAndLetsTheClientTransmit) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  ASSERT_EQ(Open(client), STATUS_SUCCESS);
  EXPECT_EQ(client.record.Kind, CHANNEL_KIND_AT);
  EXPECT_EQ(client.record.BusDevice, control.Child);
  EXPECT_EQ(client.record.AtContext, sim::kernel::FindDevice(kAtDevice));
  EXPECT_EQ(control.Starts, 1);
  EXPECT_EQ(control.EntriesAbovePassive, 0);
  EXPECT_EQ(client.Events(), std::vector<ULONG>{CHANNEL_EVENT_CTS_ON});
}

struct OpenRefusal {
  const char* name;
  NTSTATUS createStatus;
  LONG startResult;
  NTSTATUS expected;
  LONG busCloses;  // a bus binding made before the refusal is released again
};

class OpenRefusalTest : public AtFixture, public ::testing::WithParamInterface<OpenRefusal> {};

TEST_P(OpenRefusalTest, LeavesTheDeviceClosedAndReusable) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  control.CreateStatus = GetParam().createStatus;
  control.StartResult = GetParam().startResult;
  Client client;
  EXPECT_EQ(Open(client), GetParam().expected);
  EXPECT_EQ(control.Closes, GetParam().busCloses);
  EXPECT_TRUE(client.Events().empty());
  // Nothing of the refused open is left: the next one binds and starts.
  control.CreateStatus = STATUS_SUCCESS;
  control.StartResult = 1;
  Client again;
  EXPECT_EQ(Open(again), STATUS_SUCCESS);
  EXPECT_EQ(again.Events(), std::vector<ULONG>{CHANNEL_EVENT_CTS_ON});
}

INSTANTIATE_TEST_SUITE_P(Refusals, OpenRefusalTest,
                         ::testing::Values(OpenRefusal{"bus_refuses_the_binding", STATUS_INVALID_PARAMETER, 1,
                                                       STATUS_UNSUCCESSFUL, 0},
                                           OpenRefusal{"channel_does_not_start", STATUS_SUCCESS, 0,
                                                       STATUS_UNSUCCESSFUL, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AtFixture, SecondOpenIsRefusedAndTheFirstBindingStays) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client first, second;
  ASSERT_EQ(Open(first), STATUS_SUCCESS);
  EXPECT_EQ(Open(second), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(control.Creates, 1);
  EXPECT_EQ(Write(first, "AT\r", 3), 1);
  EXPECT_EQ(BusData(), "AT\r");
}

TEST_F(AtFixture, CloseStopsTheChannelAndLateWritesGoNowhere) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  HANDLE h;
  ASSERT_EQ(Open(client, &h), STATUS_SUCCESS);
  ASSERT_EQ(Write(client, std::string(300, 'x').data(), 300), 1);
  Close(h);
  EXPECT_EQ(control.Stops, 1);
  EXPECT_EQ(control.Closes, 1);
  EXPECT_EQ(control.EntriesAbovePassive, 0);
  // The client's record still holds the entry: a write after the close is not taken.
  EXPECT_EQ(Write(client, "AT\r", 3), 0);
  EXPECT_EQ(Chunks(), std::vector<ULONG>{128});
}

// A reopened channel starts from nothing: chunks and counts of the last client are gone.
TEST_F(AtFixture, ReopenStartsWithAnEmptyQueue) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  HANDLE h;
  ASSERT_EQ(Open(client, &h), STATUS_SUCCESS);
  ASSERT_EQ(Write(client, std::string(300, 'x').data(), 300), 1);
  Close(h);
  Client next;
  ASSERT_EQ(Open(next), STATUS_SUCCESS);
  // A confirmation of the old chunk arriving late must not hand over anything either.
  EXPECT_EQ(CommandSent(128), 1);
  EXPECT_EQ(Write(next, "AT\r", 3), 1);
  EXPECT_EQ(Chunks(), (std::vector<ULONG>{128, 3}));
  EXPECT_EQ(CommandSent(3), 1);
  EXPECT_EQ(Write(next, "ATZ\r", 4), 1);
  EXPECT_EQ(Chunks(), (std::vector<ULONG>{128, 3, 4}));
}

TEST_F(AtFixture, ResponsesReachTheClientAndTheirBuffersAreFreed) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  ASSERT_EQ(Open(client), STATUS_SUCCESS);
  PCHANNEL_BUFFER first = BusBuffer("\r\nOK\r\n");
  EXPECT_EQ(ResponseReceived(first), 1);
  EXPECT_FALSE(Outstanding(first));
  PCHANNEL_BUFFER second = BusBuffer("\r\nRING\r\n");
  EXPECT_EQ(ResponseReceived(second), 1);
  EXPECT_FALSE(Outstanding(second));
  EXPECT_EQ(client.Received(), "\r\nOK\r\n\r\nRING\r\n");
  EXPECT_EQ(ResponseReceived(nullptr), 0);
}

TEST_F(AtFixture, LineEventsPassUpAndLineControlPassesDown) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  ASSERT_EQ(Open(client), STATUS_SUCCESS);
  for (ULONG code : {CHANNEL_EVENT_DCD_ON, CHANNEL_EVENT_DSR_ON, CHANNEL_EVENT_DSR_OFF, CHANNEL_EVENT_DCD_OFF})
    EXPECT_EQ(LineEvent(code), 1);
  client.eventResult = 0;
  EXPECT_EQ(LineEvent(CHANNEL_EVENT_DCD_ON), 0);  // the client's answer comes back
  EXPECT_EQ(client.Events(), (std::vector<ULONG>{CHANNEL_EVENT_CTS_ON, 4, 8, 9, 5, 4}));
  for (ULONG code : {CHANNEL_DTR_ON, CHANNEL_RTS_ON, CHANNEL_BREAK_ON})
    EXPECT_EQ(client.record.AtClientLineControl(client.record.AtContext, code), 1);
  EXPECT_EQ(control.LineControlCount, 3u);
  EXPECT_EQ(control.LineControl[0], (ULONG)CHANNEL_DTR_ON);
  EXPECT_EQ(control.LineControl[2], (ULONG)CHANNEL_BREAK_ON);
}

// Every entry refuses a context that is not the bound device object, without reading
// through it and without changing anything.
TEST_F(AtFixture, EntriesRefuseAForeignOrNullContext) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  ASSERT_EQ(Open(client), STATUS_SUCCESS);
  ASSERT_EQ(Write(client, std::string(200, 'x').data(), 200), 1);
  ULONG stray = 0;
  PCHANNEL_BUFFER response = BusBuffer("OK");
  for (PVOID context : {(PVOID) nullptr, (PVOID)control.Child, (PVOID)&stray}) {
    const CHANNEL_BINDING& r = client.record;
    EXPECT_EQ(r.AtClientWrite(context, (PVOID) "AT", 2), 0);
    EXPECT_EQ(r.AtClientLineControl(context, CHANNEL_DTR_ON), 0);
    EXPECT_EQ(r.AtResponseReceived(context, response), 0);
    EXPECT_EQ(r.AtLineEvent(context, CHANNEL_EVENT_DCD_ON), 0);
    EXPECT_EQ(r.AtCommandSent(context, 128), 0);
    EXPECT_EQ(r.AtDeviceState(context, 0), 0);
  }
  ExFreePool(response);
  EXPECT_EQ(Chunks(), std::vector<ULONG>{128});
  EXPECT_EQ(control.LineControlCount, 0u);
  EXPECT_EQ(client.Events(), std::vector<ULONG>{CHANNEL_EVENT_CTS_ON});
  EXPECT_EQ(client.record.AtClientWrite(client.record.AtContext, nullptr, 5), 0);
  // Still running and not paused: the next chunk follows the confirmation.
  EXPECT_EQ(CommandSent(128), 1);
  EXPECT_EQ(Chunks(), (std::vector<ULONG>{128, 72}));
}

}  // namespace
}  // namespace attest
