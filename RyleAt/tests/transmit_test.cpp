// Q93Kat's transmit queue through the record, against the fake bus: chunks of at most
// 128 bytes, one at the bus at a time, held in low power, discarded on refusal or a failed
// send, and what a write short of memory still sends.
#include "at_fixture.h"
#include "pool.h"

namespace attest {
namespace {

enum Op {
  kWrite,       // ClientWrite of `arg` bytes
  kSent,        // the bus confirms `arg` bytes (0: the chunk's send failed)
  kState,       // DeviceState `arg`: 0 low power, 1 back
  kRefuse,      // the bus refuses chunks from now on
  kAccept,      // ... and takes them again
  kFailNthAlloc,  // the arg-th pool allocation from now fails
};

struct Step {
  Op op;
  ULONG arg;
  LONG result;  // of the call (kWrite, kSent, kState)
  std::vector<ULONG> chunks;  // every chunk the bus has taken so far
};

struct Flow {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const Flow& f, std::ostream* os) { *os << f.name; }

class TransmitTest : public AtFixture, public ::testing::WithParamInterface<Flow> {};

TEST_P(TransmitTest, ChunksReachTheBusOneAtATime) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  ASSERT_EQ(Open(client), STATUS_SUCCESS);
  std::string written;
  int n = 0;
  for (const Step& s : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(n++));
    LONG result = 1;
    switch (s.op) {
      case kWrite: {
        std::string data;
        for (ULONG i = 0; i < s.arg; i++) data.push_back(char('a' + (written.size() + i) % 26));
        written += data;
        result = Write(client, data.data(), s.arg);
        break;
      }
      case kSent: result = CommandSent(s.arg); break;
      case kState: result = DeviceState(s.arg); break;
      case kRefuse: control.RefuseCommands = 1; break;
      case kAccept: control.RefuseCommands = 0; break;
      case kFailNthAlloc: sim::kernel::pool::FailNth(s.arg); break;
    }
    EXPECT_EQ(result, s.result);
    EXPECT_EQ(Chunks(), s.chunks);
  }
  sim::kernel::pool::ClearFaults();
}

INSTANTIATE_TEST_SUITE_P(
    Flows, TransmitTest,
    ::testing::Values(
        Flow{"300_bytes_go_as_128_128_44_one_per_confirmation",
             {{kWrite, 300, 1, {128}},
              {kSent, 128, 1, {128, 128}},
              {kSent, 128, 1, {128, 128, 44}},
              {kSent, 44, 1, {128, 128, 44}},
              {kWrite, 5, 1, {128, 128, 44, 5}}}},
        Flow{"a_write_while_a_chunk_is_at_the_bus_only_queues",
             {{kWrite, 10, 1, {10}}, {kWrite, 20, 1, {10}}, {kSent, 10, 1, {10, 20}}, {kSent, 20, 1, {10, 20}}}},
        Flow{"a_write_in_low_power_waits_for_resume",
             {{kState, 0, 1, {}}, {kWrite, 50, 1, {}}, {kState, 1, 1, {50}}, {kSent, 50, 1, {50}}}},
        Flow{"a_confirmation_in_low_power_holds_the_next_chunk",
             {{kWrite, 200, 1, {128}}, {kState, 0, 1, {128}}, {kSent, 128, 1, {128}}, {kState, 1, 1, {128, 72}}}},
        Flow{"a_refused_chunk_discards_the_queue_and_the_write_returns_0",
             {{kRefuse, 0, 1, {}}, {kWrite, 300, 0, {}}, {kAccept, 0, 1, {}}, {kWrite, 3, 1, {3}}}},
        Flow{"a_refusal_at_confirmation_empties_the_queue",
             {{kWrite, 300, 1, {128}}, {kRefuse, 0, 1, {128}}, {kSent, 128, 1, {128}}, {kAccept, 0, 1, {128}},
              {kWrite, 4, 1, {128, 4}}}},
        Flow{"a_refusal_at_resume_empties_the_queue",
             {{kState, 0, 1, {}}, {kWrite, 300, 1, {}}, {kRefuse, 0, 1, {}}, {kState, 1, 1, {}}, {kAccept, 0, 1, {}},
              {kWrite, 2, 1, {2}}}},
        Flow{"a_failed_send_reported_as_0_bytes_does_not_stall_the_channel",
             {{kWrite, 300, 1, {128}}, {kSent, 0, 1, {128}}, {kSent, 0, 1, {128}}, {kWrite, 6, 1, {128, 6}}}},
        Flow{"an_empty_write_is_taken_and_queues_nothing",
             {{kWrite, 0, 1, {}}, {kWrite, 2, 1, {2}}}},
        Flow{"no_memory_for_the_second_chunk_sends_the_first_and_drops_the_rest",
             {{kFailNthAlloc, 2, 1, {}}, {kWrite, 300, 1, {128}}, {kSent, 128, 1, {128}}, {kWrite, 1, 1, {128, 1}}}},
        Flow{"device_state_other_than_0_or_1_is_refused_and_changes_nothing",
             {{kWrite, 200, 1, {128}}, {kState, 2, 0, {128}}, {kSent, 128, 1, {128, 72}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AtFixture, WrittenBytesReachTheBusInOrder) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  ASSERT_EQ(Open(client), STATUS_SUCCESS);
  std::string data;
  for (int i = 0; i < 300; i++) data.push_back(char(i * 7));
  ASSERT_EQ(Write(client, data.data(), 300), 1);
  EXPECT_EQ(CommandSent(128), 1);
  EXPECT_EQ(CommandSent(128), 1);
  EXPECT_EQ(BusData(), data);
}

// Any IRQL up to DISPATCH_LEVEL: the client's transmit path may run from a DPC.
TEST_F(AtFixture, WriteAndConfirmationAtDispatchLevel) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  ASSERT_EQ(Open(client), STATUS_SUCCESS);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LONG written = Write(client, "AT\r", 3);
  LONG sent = CommandSent(3);
  KeLowerIrql(old);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(sent, 1);
  EXPECT_EQ(BusData(), "AT\r");
}

}  // namespace
}  // namespace attest
