// OBEX server of the phone. Packets are opcode, 16-bit big-endian length
// (of the whole packet) and headers; responses never exceed the maximum
// packet length the client announced in CONNECT.
#include "phone/obex_server.h"

#include <algorithm>

namespace sim::phone {
namespace {

void put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x >> 8));
  v.push_back(uint8_t(x));
}

// UTF-16BE with terminator to UTF-8.
std::string utf8FromObexName(const std::vector<uint8_t>& v) {
  std::string s;
  for (size_t i = 0; i + 1 < v.size(); i += 2) {
    const unsigned c = unsigned(v[i] << 8 | v[i + 1]);
    if (c == 0) break;
    if (c < 0x80) {
      s += char(c);
    } else if (c < 0x800) {
      s += char(0xC0 | (c >> 6));
      s += char(0x80 | (c & 0x3F));
    } else {
      s += char(0xE0 | (c >> 12));
      s += char(0x80 | ((c >> 6) & 0x3F));
      s += char(0x80 | (c & 0x3F));
    }
  }
  return s;
}


}  // namespace

void ObexServer::fromHost(std::span<const uint8_t> bytes) {
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  while (rx_.size() >= 3) {
    const size_t length = size_t(rx_[1] << 8 | rx_[2]);
    if (length < 3) {
      // No way to find the next packet boundary: answer and start afresh.
      rx_.clear();
      respond(obex::kBadRequest);
      endOperation();
      return;
    }
    if (rx_.size() < length) return;
    std::vector<uint8_t> p(rx_.begin(), rx_.begin() + std::ptrdiff_t(length));
    rx_.erase(rx_.begin(), rx_.begin() + std::ptrdiff_t(length));
    if (length > maxPacket_) {
      respond(obex::kBadRequest);
      endOperation();
      continue;
    }
    packet(p);
  }
}

size_t ObexServer::toHost(std::vector<uint8_t>& out, size_t max) {
  size_t taken = 0;
  for (; taken < max && !tx_.empty(); ++taken) {
    out.push_back(tx_.front());
    tx_.pop_front();
  }
  return taken;
}

void ObexServer::resetSession() {
  connected_ = false;
  peerMaxPacket_ = 255;
  rx_.clear();
  tx_.clear();
  folder_.clear();
  endOperation();
}

void ObexServer::endOperation() {
  operation_ = Operation::None;
  name_.reset();
  declaredLength_.reset();
  body_.clear();
  bodySeen_ = false;
  getData_.clear();
  getOffset_ = 0;
  getResponding_ = false;
}

void ObexServer::respond(uint8_t code, std::span<const uint8_t> body) {
  const size_t length = 3 + body.size();
  tx_.push_back(code);
  tx_.push_back(uint8_t(length >> 8));
  tx_.push_back(uint8_t(length));
  tx_.insert(tx_.end(), body.begin(), body.end());
}

bool ObexServer::parseHeaders(std::span<const uint8_t> b, std::vector<Header>& headers) {
  size_t i = 0;
  while (i < b.size()) {
    Header h{b[i], {}, 0};
    switch (b[i] & 0xC0) {
      case 0x00:
      case 0x40: {
        if (i + 3 > b.size()) return false;
        const size_t length = size_t(b[i + 1] << 8 | b[i + 2]);
        if (length < 3 || i + length > b.size()) return false;
        h.value.assign(b.begin() + std::ptrdiff_t(i + 3), b.begin() + std::ptrdiff_t(i + length));
        i += length;
        break;
      }
      case 0x80:
        if (i + 2 > b.size()) return false;
        h.number = b[i + 1];
        i += 2;
        break;
      default:
        if (i + 5 > b.size()) return false;
        h.number = uint32_t(b[i + 1]) << 24 | uint32_t(b[i + 2]) << 16 | uint32_t(b[i + 3]) << 8 |
                   b[i + 4];
        i += 5;
        break;
    }
    headers.push_back(std::move(h));
  }
  return true;
}

void ObexServer::packet(std::span<const uint8_t> p) {
  const uint8_t opcode = p[0];
  if (opcode == obex::kConnect) return connect(p);
  if (opcode == obex::kAbort) {
    endOperation();
    return respond(obex::kSuccess);
  }
  if (opcode == obex::kDisconnect) {
    connected_ = false;
    folder_.clear();
    endOperation();
    return respond(obex::kSuccess);
  }
  const bool isPut = opcode == obex::kPut || opcode == obex::kPutFinal;
  const bool isGet = opcode == obex::kGet || opcode == obex::kGetFinal;
  if (!isPut && !isGet && opcode != obex::kSetPath) {
    endOperation();
    return respond(obex::kNotImplemented);
  }
  if (!connected_) return respond(obex::kBadRequest);
  if (opcode == obex::kSetPath) {
    endOperation();
    return setPath(p);
  }
  std::vector<Header> headers;
  if (!parseHeaders(p.subspan(3), headers)) {
    endOperation();
    return respond(obex::kBadRequest);
  }
  const Operation wanted = isPut ? Operation::Put : Operation::Get;
  if (operation_ != wanted) {
    endOperation();  // a new operation replaces an unfinished one
    operation_ = wanted;
  }
  if (isPut) put(opcode & 0x80, headers);
  else get(opcode & 0x80, headers);
}

void ObexServer::connect(std::span<const uint8_t> p) {
  std::vector<Header> headers;
  if (p.size() < 7 || !parseHeaders(p.subspan(7), headers)) return respond(obex::kBadRequest);
  const uint16_t peerMax = uint16_t(p[5] << 8 | p[6]);
  if (peerMax < 255) return respond(obex::kBadRequest);
  peerMaxPacket_ = peerMax;
  connected_ = true;
  folder_.clear();
  endOperation();
  std::vector<uint8_t> reply = {0x10, 0x00};
  put16(reply, maxPacket_);
  for (const Header& h : headers) {
    if (h.id != obex::kTarget) continue;
    // A directed connection: name the service back and give it an id.
    reply.push_back(obex::kWho);
    put16(reply, uint16_t(3 + h.value.size()));
    reply.insert(reply.end(), h.value.begin(), h.value.end());
    reply.insert(reply.end(), {obex::kConnectionId, 0, 0, 0, 1});
  }
  respond(obex::kSuccess, reply);
}

std::string ObexServer::pathOf(const std::string& name) const {
  return folder_.empty() ? name : folder_ + "/" + name;
}

void ObexServer::put(bool final, const std::vector<Header>& headers) {
  for (const Header& h : headers) {
    if (h.id == obex::kName) name_ = utf8FromObexName(h.value);
    if (h.id == obex::kLength) declaredLength_ = h.number;
    if (h.id == obex::kBody || h.id == obex::kEndOfBody) {
      body_.insert(body_.end(), h.value.begin(), h.value.end());
      bodySeen_ = true;
    }
  }
  if (!final) return respond(obex::kContinue);
  uint8_t code = obex::kSuccess;
  if (!name_ || name_->empty()) {
    code = obex::kBadRequest;
  } else if (!bodySeen_) {
    // A PUT without a body deletes the object.
    code = objects_.erase(pathOf(*name_)) ? obex::kSuccess : obex::kNotFound;
  } else if (declaredLength_ && *declaredLength_ != body_.size()) {
    code = obex::kBadRequest;  // bytes were lost or invented on the way
  } else {
    objects_[pathOf(*name_)] = body_;
  }
  endOperation();
  respond(code);
}

void ObexServer::get(bool final, const std::vector<Header>& headers) {
  if (!getResponding_) {
    for (const Header& h : headers)
      if (h.id == obex::kName) name_ = utf8FromObexName(h.value);
    if (!final) return respond(obex::kContinue);
    auto it = name_ ? objects_.find(pathOf(*name_)) : objects_.end();
    if (it == objects_.end()) {
      endOperation();
      return respond(obex::kNotFound);
    }
    getData_ = it->second;
    getOffset_ = 0;
    getResponding_ = true;
  }
  sendGetChunk();
}

void ObexServer::sendGetChunk() {
  std::vector<uint8_t> headers;
  if (getOffset_ == 0) {
    const uint32_t n = uint32_t(getData_.size());
    headers = {obex::kLength, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  }
  const size_t limit = std::min<size_t>(peerMaxPacket_, maxPacket_);
  const size_t room = limit - 3 - headers.size() - 3;
  const size_t left = getData_.size() - getOffset_;
  const bool last = left <= room;
  const size_t n = last ? left : room;
  headers.push_back(last ? obex::kEndOfBody : obex::kBody);
  put16(headers, uint16_t(3 + n));
  headers.insert(headers.end(), getData_.begin() + std::ptrdiff_t(getOffset_),
                 getData_.begin() + std::ptrdiff_t(getOffset_ + n));
  getOffset_ += n;
  if (last) endOperation();
  respond(last ? obex::kSuccess : obex::kContinue, headers);
}

void ObexServer::setPath(std::span<const uint8_t> p) {
  std::vector<Header> headers;
  if (p.size() < 5 || !parseHeaders(p.subspan(5), headers)) return respond(obex::kBadRequest);
  const bool backup = p[3] & 0x01, dontCreate = p[3] & 0x02;
  std::optional<std::string> name;
  for (const Header& h : headers)
    if (h.id == obex::kName) name = utf8FromObexName(h.value);
  std::string target = folder_;
  if (backup) {
    if (folder_.empty()) return respond(obex::kNotFound);
    const size_t slash = folder_.rfind('/');
    target = slash == std::string::npos ? "" : folder_.substr(0, slash);
  }
  if (name && name->empty() && !backup) {
    target.clear();  // an empty name goes back to the root
  } else if (name && !name->empty()) {
    target = target.empty() ? *name : target + "/" + *name;
    if (!folders_.count(target)) {
      if (dontCreate) return respond(obex::kNotFound);
      folders_.insert(target);
    }
  }
  folder_ = target;
  respond(obex::kSuccess);
}

void ObexServer::store(const std::string& path, std::vector<uint8_t> data) {
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    folders_.insert(path.substr(0, slash));
  objects_[path] = std::move(data);
}

std::optional<std::vector<uint8_t>> ObexServer::object(const std::string& path) const {
  auto it = objects_.find(path);
  if (it == objects_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> ObexServer::objectPaths() const {
  std::vector<std::string> paths;
  for (const auto& [path, data] : objects_) paths.push_back(path);
  return paths;
}

}  // namespace sim::phone
