// OBEX server of the phone on slot 1's bulk pipes: reads OBEX packets from
// the byte stream the host sends and answers CONNECT, PUT, GET, SETPATH,
// DISCONNECT and ABORT against an in-memory folder tree.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace sim::phone {

namespace obex {
inline constexpr uint8_t kConnect = 0x80, kDisconnect = 0x81, kPut = 0x02, kPutFinal = 0x82,
                         kGet = 0x03, kGetFinal = 0x83, kSetPath = 0x85, kAbort = 0xFF;
inline constexpr uint8_t kContinue = 0x90, kSuccess = 0xA0, kBadRequest = 0xC0,
                         kNotFound = 0xC4, kNotImplemented = 0xD1;
inline constexpr uint8_t kName = 0x01, kType = 0x42, kLength = 0xC3, kTarget = 0x46,
                         kWho = 0x4A, kBody = 0x48, kEndOfBody = 0x49, kConnectionId = 0xCB;
}  // namespace obex

class ObexServer {
 public:
  explicit ObexServer(uint16_t maxPacket) : maxPacket_(maxPacket) {}

  void fromHost(std::span<const uint8_t> bytes);
  size_t toHost(std::vector<uint8_t>& out, size_t max);
  bool hasDataForHost() const { return !tx_.empty(); }
  // The channel closed: the session ends, stored objects stay.
  void resetSession();

  bool connected() const { return connected_; }
  // Objects by path, folders separated by '/', names in UTF-8.
  void store(const std::string& path, std::vector<uint8_t> data);
  std::optional<std::vector<uint8_t>> object(const std::string& path) const;
  std::vector<std::string> objectPaths() const;
  const std::string& currentFolder() const { return folder_; }

 private:
  struct Header {
    uint8_t id;
    std::vector<uint8_t> value;  // unicode headers as received (UTF-16BE with terminator)
    uint32_t number = 0;         // 1- and 4-byte headers
  };
  void packet(std::span<const uint8_t> p);
  static bool parseHeaders(std::span<const uint8_t> bytes, std::vector<Header>& headers);
  void respond(uint8_t code, std::span<const uint8_t> body = {});
  void connect(std::span<const uint8_t> p);
  void put(bool final, const std::vector<Header>& headers);
  void get(bool final, const std::vector<Header>& headers);
  void sendGetChunk();
  void setPath(std::span<const uint8_t> p);
  std::string pathOf(const std::string& name) const;
  void endOperation();

  uint16_t maxPacket_;
  uint16_t peerMaxPacket_ = 255;
  bool connected_ = false;
  std::vector<uint8_t> rx_;
  std::deque<uint8_t> tx_;

  enum class Operation { None, Put, Get } operation_ = Operation::None;
  std::optional<std::string> name_;
  std::optional<uint32_t> declaredLength_;
  std::vector<uint8_t> body_;
  bool bodySeen_ = false;
  std::vector<uint8_t> getData_;
  size_t getOffset_ = 0;
  bool getResponding_ = false;

  std::string folder_;  // "" is the root
  std::set<std::string> folders_ = {""};
  std::map<std::string, std::vector<uint8_t>> objects_;
};

}  // namespace sim::phone
