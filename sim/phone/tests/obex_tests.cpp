// The OBEX server on slot 1's bulk pipes, driven packet by packet as an OBEX
// client on the OBEX COM port would drive it.
#include <gtest/gtest.h>

#include "test_host.h"

namespace sim::phone::testing {
namespace {

Bytes packet(uint8_t opcode, Bytes body) {
  const size_t n = body.size() + 3;
  body.insert(body.begin(), {opcode, uint8_t(n >> 8), uint8_t(n)});
  return body;
}
void header(Bytes& b, uint8_t id, const Bytes& value) {
  const size_t n = value.size() + 3;
  b.insert(b.end(), {id, uint8_t(n >> 8), uint8_t(n)});
  b.insert(b.end(), value.begin(), value.end());
}
void nameHeader(Bytes& b, std::string_view name) {
  Bytes v;
  for (char c : name) v.insert(v.end(), {0, uint8_t(c)});
  v.insert(v.end(), {0, 0});
  header(b, obex::kName, v);
}

class ObexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.configure();
    host.activate(1, function_code::kObex);
  }
  // Sends one request and reads the whole response packet.
  Bytes exchange(const Bytes& request) {
    host.bulkWrite(layout::kObexBulkOut, request);
    Bytes got = host.bulkRead(layout::kObexBulkIn, 3);
    if (got.size() < 3) return got;
    const size_t n = size_t(got[1] << 8 | got[2]);
    const Bytes rest = host.bulkRead(layout::kObexBulkIn, n - got.size());
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got.size(), n) << "length field must match the packet";
    return got;
  }
  Bytes connect(uint16_t maxPacket) {
    return exchange(packet(obex::kConnect, {0x10, 0x00, uint8_t(maxPacket >> 8), uint8_t(maxPacket)}));
  }
  Q93KPhone phone;
  TestHost host{phone};
};

TEST_F(ObexTest, ConnectPutGetDisconnectRoundTrip) {
  const Bytes reply = connect(0x0400);
  ASSERT_EQ(reply.size(), 7u);
  EXPECT_EQ(reply[0], obex::kSuccess);
  EXPECT_EQ(reply[3], 0x10);
  EXPECT_EQ(reply[5] << 8 | reply[6], 0x1000);
  EXPECT_TRUE(phone.obexConnected());

  Bytes object(3000);
  for (size_t i = 0; i < object.size(); ++i) object[i] = patternByte(i);
  // PUT in chunks: Name and Length first, then Body packets, End-of-Body last.
  for (size_t at = 0; at < object.size(); at += 900) {
    const bool last = at + 900 >= object.size();
    Bytes b;
    if (at == 0) {
      nameHeader(b, "card.vcf");
      b.insert(b.end(), {obex::kLength, 0, 0, uint8_t(object.size() >> 8), uint8_t(object.size())});
    }
    header(b, last ? obex::kEndOfBody : obex::kBody,
           Bytes(object.begin() + long(at), object.begin() + long(std::min(at + 900, object.size()))));
    EXPECT_EQ(exchange(packet(last ? obex::kPutFinal : obex::kPut, b))[0],
              last ? obex::kSuccess : obex::kContinue);
  }
  EXPECT_EQ(phone.obexObject("card.vcf"), object);

  // GET it back; the responses must fit the 0x400 bytes the client allowed.
  Bytes request;
  nameHeader(request, "card.vcf");
  Bytes response = exchange(packet(obex::kGetFinal, request)), body;
  for (int rounds = 0; rounds < 10; ++rounds) {
    ASSERT_LE(response.size(), 0x400u);
    for (size_t at = 3; at < response.size();) {
      const uint8_t id = response[at];
      if (id == obex::kLength) {
        EXPECT_EQ((response[at + 3] << 8 | response[at + 4]), 3000);
        at += 5;
        continue;
      }
      const size_t n = size_t(response[at + 1] << 8 | response[at + 2]);
      if (id == obex::kBody || id == obex::kEndOfBody)
        body.insert(body.end(), response.begin() + long(at + 3), response.begin() + long(at + n));
      at += n;
    }
    if (response[0] != obex::kContinue) break;
    response = exchange(packet(obex::kGetFinal, {}));
  }
  EXPECT_EQ(response[0], obex::kSuccess);
  EXPECT_EQ(body, object);

  EXPECT_EQ(exchange(packet(obex::kDisconnect, {})), (Bytes{obex::kSuccess, 0, 3}));
  EXPECT_FALSE(phone.obexConnected());
}

TEST_F(ObexTest, ResponseCodes) {
  auto named = [](uint8_t op, std::string_view name, Bytes extra = {}) {
    Bytes b;
    nameHeader(b, name);
    b.insert(b.end(), extra.begin(), extra.end());
    return packet(op, b);
  };
  Bytes shortBody;
  header(shortBody, obex::kEndOfBody, {1, 2});
  Bytes lying = {obex::kLength, 0, 0, 0, 5};
  lying.insert(lying.end(), shortBody.begin(), shortBody.end());
  const struct {
    const char* what;
    Bytes request;
    uint8_t code;
  } cases[] = {
      {"get before connect", named(obex::kGetFinal, "x"), obex::kBadRequest},
      {"connect with tiny max", packet(obex::kConnect, {0x10, 0, 0x00, 0x10}), obex::kBadRequest},
      {"connect", packet(obex::kConnect, {0x10, 0, 0x04, 0x00}), obex::kSuccess},
      {"get missing", named(obex::kGetFinal, "nothing"), obex::kNotFound},
      {"put without name", packet(obex::kPutFinal, shortBody), obex::kBadRequest},
      {"put with wrong length", named(obex::kPutFinal, "a", lying), obex::kBadRequest},
      {"header overruns packet", packet(obex::kPutFinal, {obex::kName, 0x00, 0x40}), obex::kBadRequest},
      {"delete missing", named(obex::kPutFinal, "ghost"), obex::kNotFound},
      {"setpath into new folder", packet(obex::kSetPath, {0x00, 0x00, obex::kName, 0, 9, 0, 'd', 0, 'i', 0, 0}), obex::kSuccess},
      {"setpath up", packet(obex::kSetPath, {0x01, 0x00}), obex::kSuccess},
      {"setpath up from root", packet(obex::kSetPath, {0x01, 0x00}), obex::kNotFound},
      {"setpath no create", packet(obex::kSetPath, {0x02, 0x00, obex::kName, 0, 7, 0, 'z', 0, 0}), obex::kNotFound},
      {"unknown opcode", packet(0x86, {}), obex::kNotImplemented},
      {"abort", packet(obex::kAbort, {}), obex::kSuccess},
  };
  for (const auto& c : cases) {
    const Bytes reply = exchange(c.request);
    ASSERT_GE(reply.size(), 3u) << c.what;
    EXPECT_EQ(reply[0], c.code) << c.what;
  }
}

TEST_F(ObexTest, ObjectsLiveInFoldersAndPacketsMaySplitAnywhere) {
  connect(0x0400);
  Bytes b = {0x00, 0x00};
  nameHeader(b, "pics");
  ASSERT_EQ(exchange(packet(obex::kSetPath, b))[0], obex::kSuccess);
  Bytes put;
  nameHeader(put, "a.jpg");
  header(put, obex::kEndOfBody, {9, 8, 7});
  const Bytes request = packet(obex::kPutFinal, put);
  for (uint8_t byte : request) host.bulkWrite(layout::kObexBulkOut, {byte});
  EXPECT_EQ(host.bulkRead(layout::kObexBulkIn, 3), (Bytes{obex::kSuccess, 0, 3}));
  EXPECT_EQ(phone.obexObject("pics/a.jpg"), (Bytes{9, 8, 7}));
  EXPECT_FALSE(phone.obexObject("a.jpg"));
}

TEST_F(ObexTest, DirectedConnectGetsWhoAndConnectionId) {
  Bytes b = {0x10, 0x00, 0x04, 0x00};
  const Bytes target = {0xF9, 0xEC, 0x7B, 0xC4};
  header(b, obex::kTarget, target);
  const Bytes reply = exchange(packet(obex::kConnect, b));
  ASSERT_EQ(reply.size(), 7u + 3 + target.size() + 5);
  EXPECT_EQ(reply[7], obex::kWho);
  EXPECT_EQ(Bytes(reply.begin() + 10, reply.begin() + 14), target);
  EXPECT_EQ(reply[14], obex::kConnectionId);
}

}  // namespace
}  // namespace sim::phone::testing
