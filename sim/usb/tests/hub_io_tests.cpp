// Talking to the phone through the I/O manager: URBs as internal device
// control IRPs down a stack with a function driver on the hub's PDO, the
// phone's functions (activation, AT, OBEX), cancel, unplug with IRPs pending,
// port requests and cycle port.
#include "kernel.h"
#include "phone/obex_server.h"
#include "usb/tests/hub_fixture.h"

namespace sim::usb::testing {
namespace {

using namespace phone;
namespace pnp = sim::kernel::pnp;

class HubIo : public HubTest {
 protected:
  void SetUp() override {
    HubTest::SetUp();
    InstallPassThroughDriver();
  }
  void StartRead(PendingUrb& r, uint8_t endpoint, ULONG length = 64) {
    r.buffer.assign(length, 0);
    UsbBuildInterruptOrBulkTransferRequest(&r.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           client->Pipe(endpoint), r.buffer.data(), nullptr, length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    ASSERT_EQ(client->Start(r), STATUS_PENDING);
  }
  // One OBEX request out, its whole response packet back.
  Bytes Exchange(const Bytes& request) {
    EXPECT_EQ(client->Write(layout::kObexBulkOut, request), STATUS_SUCCESS);
    Bytes got;
    for (int i = 0; i < 50; ++i) {
      Bytes chunk;
      if (client->Read(layout::kObexBulkIn, 4096, chunk, true, 1000) != STATUS_SUCCESS) break;
      got.insert(got.end(), chunk.begin(), chunk.end());
      if (got.size() >= 3 && got.size() >= size_t(got[1] << 8 | got[2])) break;
    }
    if (got.size() >= 3) EXPECT_EQ(got.size(), size_t(got[1] << 8 | got[2])) << "packet length";
    return got;
  }
};

Bytes ObexPacket(uint8_t opcode, Bytes body) {
  const size_t n = body.size() + 3;
  body.insert(body.begin(), {opcode, uint8_t(n >> 8), uint8_t(n)});
  return body;
}
void ObexHeader(Bytes& b, uint8_t id, const Bytes& value) {
  const size_t n = value.size() + 3;
  b.insert(b.end(), {id, uint8_t(n >> 8), uint8_t(n)});
  b.insert(b.end(), value.begin(), value.end());
}
void ObexName(Bytes& b, std::string_view name) {
  Bytes v;
  for (char c : name) v.insert(v.end(), {0, uint8_t(c)});
  v.insert(v.end(), {0, 0});
  ObexHeader(b, obex::kName, v);
}

TEST_F(HubIo, DescriptorsActivationAndAtThroughIrps) {
  Configure();
  ASSERT_EQ(PhoneNode()->state, sim::kernel::NodeState::Started);
  ASSERT_NE(IoGetAttachedDevice(hub->Pdo(0)), hub->Pdo(0)) << "the function driver sits on the PDO";
  Bytes d;
  ASSERT_EQ(client->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, d), STATUS_SUCCESS);
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[8] | d[9] << 8, 0x0FA7);
  EXPECT_EQ(d[10] | d[11] << 8, 0x5E19);

  const struct {
    int slot;
    uint8_t function;
  } slots[] = {{0, function_code::kModem}, {1, function_code::kObex}, {2, function_code::kAt}};
  for (const auto& k : slots) {
    SCOPED_TRACE(k.slot);
    EXPECT_EQ(Activate(k.slot, k.function), 0x0001);
    EXPECT_EQ(phone->activeFunction(k.slot), k.function);
  }

  ASSERT_EQ(client->ClassOut(0x00, 0, layout::kAtControl, BytesOf("AT\r")), STATUS_SUCCESS);
  ASSERT_TRUE(client->Notification(layout::kAtNotify, kNotifyResponseAvailable).has_value());
  Bytes response;
  ASSERT_EQ(client->ClassIn(0x01, 0, layout::kAtControl, 2048, response), STATUS_SUCCESS);
  EXPECT_EQ(TextOf(response), "\r\nOK\r\n");

  // A bad pipe handle is refused with the IRP status the port gives.
  URB bad = {};
  Bytes buffer(64);
  UsbBuildInterruptOrBulkTransferRequest(&bad, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), buffer.data(), nullptr, 64,
                                         USBD_TRANSFER_DIRECTION_IN, nullptr);
  EXPECT_EQ(client->Call(&bad), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bad.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  const PortCounters c = Port().Counters();
  EXPECT_EQ(c.submitted, c.completed);
}

TEST_F(HubIo, ObexPutThenGetOverTheBulkPipes) {
  Configure();
  ASSERT_EQ(Activate(1, function_code::kObex), 0x0001);
  const Bytes connect = Exchange(ObexPacket(obex::kConnect, {0x10, 0x00, 0x04, 0x00}));
  ASSERT_EQ(connect.size(), 7u);
  EXPECT_EQ(connect[0], obex::kSuccess);

  Bytes object(5000);
  for (size_t i = 0; i < object.size(); ++i) object[i] = patternByte(i);
  constexpr size_t kChunk = 900;  // each PUT fits the 0x400 bytes agreed at CONNECT
  for (size_t at = 0; at < object.size(); at += kChunk) {
    const bool last = at + kChunk >= object.size();
    Bytes b;
    if (at == 0) {
      ObexName(b, "note.txt");
      b.insert(b.end(), {obex::kLength, 0, 0, uint8_t(object.size() >> 8), uint8_t(object.size())});
    }
    ObexHeader(b, last ? obex::kEndOfBody : obex::kBody,
               Bytes(object.begin() + long(at), object.begin() + long(std::min(at + kChunk, object.size()))));
    const Bytes reply = Exchange(ObexPacket(last ? obex::kPutFinal : obex::kPut, b));
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[0], last ? obex::kSuccess : obex::kContinue);
  }
  EXPECT_EQ(phone->obexObject("note.txt"), object);

  Bytes request;
  ObexName(request, "note.txt");
  Bytes response = Exchange(ObexPacket(obex::kGetFinal, request)), body;
  for (int rounds = 0; rounds < 20 && !response.empty(); ++rounds) {
    ASSERT_LE(response.size(), 0x400u);
    for (size_t at = 3; at + 3 <= response.size();) {
      const uint8_t id = response[at];
      if (id == obex::kLength) {
        at += 5;
        continue;
      }
      const size_t n = size_t(response[at + 1] << 8 | response[at + 2]);
      ASSERT_GE(n, 3u);
      if (id == obex::kBody || id == obex::kEndOfBody)
        body.insert(body.end(), response.begin() + long(at + 3), response.begin() + long(at + n));
      at += n;
    }
    if (response[0] != obex::kContinue) break;
    response = Exchange(ObexPacket(obex::kGetFinal, {}));
  }
  ASSERT_FALSE(response.empty());
  EXPECT_EQ(response[0], obex::kSuccess);
  EXPECT_EQ(body, object);
  EXPECT_EQ(Exchange(ObexPacket(obex::kDisconnect, {})), (Bytes{obex::kSuccess, 0, 3}));
}

TEST_F(HubIo, CancelledIrpCancelsItsUrb) {
  Configure();
  PendingUrb r;
  StartRead(r, layout::kModemBulkIn);
  // The time limit cancels the IRP; the URB comes back cancelled, once.
  EXPECT_EQ(client->Wait(r, 20), STATUS_TIMEOUT);
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(r.completions, 1);
  const PortCounters c = Port().Counters();
  EXPECT_EQ(c.pending, 0u);
  EXPECT_EQ(c.submitted, c.completed);
}

TEST_F(HubIo, UnplugCompletesPendingUrbIrpsOnceAndTheNodeGoes) {
  Configure();
  const std::string path = PhoneNode()->instancePath;
  PendingUrb reads[4];
  const uint8_t endpoints[] = {layout::kModemBulkIn, layout::kObexBulkIn, layout::kModemNotify, layout::kAtNotify};
  for (int i = 0; i < 4; ++i) StartRead(reads[i], endpoints[i]);
  sim::kernel::Sleep(5);
  Port().Unplug();
  for (auto& r : reads) {
    EXPECT_EQ(client->Wait(r), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(r.completions, 1);
  }
  hub->Settle();
  EXPECT_EQ(PassThroughLog(), (std::vector<std::string>{"START", "SURPRISE_REMOVAL", "REMOVE"}));
  EXPECT_EQ(pnp::NodeByInstancePath(path), nullptr);
  EXPECT_EQ(hub->Pdo(0), nullptr);
  EXPECT_EQ(pnp::NodeStatus(hub->Node()).problem, 0u);
  const PortCounters c = Port().Counters();
  EXPECT_EQ(c.submitted, c.completed);
  client.reset();
  // Plugged again: a new PDO and a new start under the same instance path.
  ClearPassThroughLog();
  Plug();
  ASSERT_NE(PhoneNode(), nullptr);
  EXPECT_EQ(PhoneNode()->instancePath, path);
  EXPECT_EQ(PhoneNode()->state, sim::kernel::NodeState::Started);
}

TEST_F(HubIo, PhoneUnplugRequestMidTransfer) {
  Configure();
  ASSERT_EQ(Activate(0, function_code::kModem), 0x0001);
  phone->setUnplugTrigger(UnplugTrigger{.kind = UnplugTrigger::Kind::AfterBulkOutBytes, .bytes = 200});
  PendingUrb notify;
  StartRead(notify, layout::kModemNotify, 16);
  EXPECT_EQ(client->Write(layout::kModemBulkOut, Bytes(4096, 'x')), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(client->Wait(notify), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(notify.completions, 1);
  hub->Settle();
  EXPECT_EQ(hub->Pdo(0), nullptr);
  EXPECT_EQ(PhoneNode(), nullptr);
}

TEST_F(HubIo, PortStatusResetAndCycleThroughIrps) {
  Configure();
  ULONG status = 0;
  ASSERT_EQ(client->GetPortStatus(&status), STATUS_SUCCESS);
  EXPECT_EQ(status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
  ASSERT_EQ(client->ResetPort(), STATUS_SUCCESS);
  // The hub restores the configuration: the pipes still work after a reset.
  ASSERT_EQ(Activate(2, function_code::kAt), 0x0001);

  PDEVICE_OBJECT before = hub->Pdo(0);
  const std::string path = PhoneNode()->instancePath;
  ClearPassThroughLog();
  ASSERT_EQ(client->CyclePort(), STATUS_SUCCESS);
  client.reset();
  hub->Settle();
  EXPECT_EQ(PassThroughLog(), (std::vector<std::string>{"SURPRISE_REMOVAL", "REMOVE", "START"}));
  PDEVICE_OBJECT after = hub->Pdo(0);
  ASSERT_NE(after, nullptr);
  EXPECT_NE(after, before);
  ASSERT_NE(PhoneNode(), nullptr);
  EXPECT_EQ(PhoneNode()->instancePath, path);
  EXPECT_EQ(PhoneNode()->state, sim::kernel::NodeState::Started);
  client = std::make_unique<UrbClient>(Port(), after);
  Bytes d;
  EXPECT_EQ(client->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, d), STATUS_SUCCESS);
}

}  // namespace
}  // namespace sim::usb::testing
