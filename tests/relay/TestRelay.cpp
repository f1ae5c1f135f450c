#include "relay/TestRelay.h"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>

#include <future>

#include <algorithm>

#include "kit/relay/RelayJoinGrant.h"
#include "kit/relay/RelaySigner.h"
#include "platform/crypto/Digest.h"
#include "platform/crypto/SecureRandom.h"

namespace brindlet::testing {
namespace {

Bytes slice(ByteView bytes, std::size_t offset, std::size_t size) {
  return Bytes(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset + size));
}

}  // namespace

Bytes makeRelayToken(ByteView secret, ByteView hostKey, std::uint64_t expiresAt) {
  Bytes token(hostKey.begin(), hostKey.end());
  RelayWire::appendUInt64(token, expiresAt);
  Bytes mac = platform::hmacSHA256(secret, token);
  token.insert(token.end(), mac.begin(), mac.end());
  return token;
}

TestRelay::TestRelay(const Executor& executor, Bytes secret, std::uint16_t port)
    : strand_(makeStrand(executor)), secret_(std::move(secret)), socket_(strand_) {
  socket_.open(asio::ip::udp::v4());
  socket_.bind(asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), port));
  port_ = socket_.local_endpoint().port();
  // Room for bursts from several senders; reads do not block, a wake-up reads what waits.
  asio::error_code ignored;
  socket_.set_option(asio::socket_base::receive_buffer_size(4 << 20), ignored);
  socket_.set_option(asio::socket_base::send_buffer_size(4 << 20), ignored);
  socket_.non_blocking(true, ignored);
  platform::enableReceiveCoalescing(socket_);
}

TestRelay::~TestRelay() { stop(); }

void TestRelay::start() {
  asio::post(strand_, [this] { receive(); });
}

void TestRelay::stop() {
  if (stopped_.exchange(true)) return;
  std::promise<void> done;
  auto finished = done.get_future();
  asio::post(strand_, [this, &done] {
    asio::error_code ignored;
    socket_.close(ignored);
    done.set_value();
  });
  finished.wait();
}

void TestRelay::restart() {
  std::lock_guard lock(mutex_);
  sessions_.clear();
  cookies_.clear();
}

std::size_t TestRelay::framesOfType(RelayPacketType type) const {
  std::lock_guard lock(mutex_);
  auto found = counts_.find(type);
  return found == counts_.end() ? 0 : found->second;
}

std::size_t TestRelay::sessionCount() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

std::vector<Bytes> TestRelay::deniedKeys() const {
  std::lock_guard lock(mutex_);
  std::vector<Bytes> keys;
  for (const auto& [id, session] : sessions_) keys.insert(keys.end(), session.denied.begin(), session.denied.end());
  return keys;
}

void TestRelay::failNext(RelayPacketType request, RelayErrorCode code, int count) {
  std::lock_guard lock(mutex_);
  failures_[request] = {code, count};
}

void TestRelay::setMaxPeers(std::size_t count) {
  std::lock_guard lock(mutex_);
  maxPeers_ = count;
}

void TestRelay::receive() {
  socket_.async_wait(asio::ip::udp::socket::wait_read,
                     asio::bind_executor(strand_, [this](const asio::error_code& error) {
                       if (error == asio::error::operation_aborted || !socket_.is_open()) return;
                       if (!error) drain();
                       if (socket_.is_open()) receive();
                     }));
}

void TestRelay::drain() {
  for (int round = 0; round < 4 && socket_.is_open(); ++round) {
    asio::error_code error;
    const std::size_t count = receiver_.receive(socket_, error);
    for (std::size_t i = 0; i < count; ++i) {
      if (receiver_.datagram(i).truncated) continue;
      const ByteView datagram = receiver_.bytes(i);
      if (datagram.size() >= RelayWire::headerSize && datagram.size() <= RelayWire::maxFrameSize &&
          datagram[0] == static_cast<std::uint8_t>(RelayPacketType::data)) {
        // Passed on as it came: nothing of it is copied out first.
        handleData(receiver_.datagram(i).sender, datagram);
        continue;
      }
      try {
        handle(receiver_.datagram(i).sender, RelayWire::decodeFrame(datagram));
      } catch (const RelayFrameError&) {
      }
    }
    forwards_.flush(socket_);
    if (!receiver_.more() && !error) return;
  }
}

void TestRelay::sendTo(const asio::ip::udp::endpoint& to, const RelayFrame& frame) {
  forwards_.flush(socket_);  // what was passed on before this frame goes first
  asio::error_code ignored;
  socket_.send_to(asio::buffer(RelayWire::encodeFrame(frame)), to, 0, ignored);
}

void TestRelay::sendError(const asio::ip::udp::endpoint& to, std::uint32_t session, RelayErrorCode code) {
  sendTo(to, {RelayPacketType::error, session, 0, {static_cast<std::uint8_t>(code)}});
}

std::optional<RelayErrorCode> TestRelay::takeFailure(RelayPacketType type) {
  auto found = failures_.find(type);
  if (found == failures_.end()) return std::nullopt;
  RelayErrorCode code = found->second.first;
  if (--found->second.second <= 0) failures_.erase(found);
  return code;
}

bool TestRelay::checkCookie(const asio::ip::udp::endpoint& from, RelayPurpose purpose, ByteView cookie) {
  auto found = cookies_.find({from, static_cast<int>(purpose)});
  return found != cookies_.end() &&
         std::equal(found->second.begin(), found->second.end(), cookie.begin(), cookie.end());
}

void TestRelay::handleData(const asio::ip::udp::endpoint& from, ByteView datagram) {
  const std::uint32_t session = RelayWire::readUInt32(datagram, 1);
  std::lock_guard lock(mutex_);
  ++counts_[RelayPacketType::data];
  if (silent_) return;
  if (auto code = takeFailure(RelayPacketType::data)) {
    sendError(from, session, *code);
    return;
  }
  onData(from, session, RelayWire::readUInt32(datagram, 5), datagram);
}

void TestRelay::handle(const asio::ip::udp::endpoint& from, const RelayFrame& frame) {
  std::lock_guard lock(mutex_);
  ++counts_[frame.type];
  if (silent_) return;
  if (auto code = takeFailure(frame.type)) {
    sendError(from, frame.session, *code);
    return;
  }
  switch (frame.type) {
    case RelayPacketType::challengeRequest: {
      if (frame.payload.size() != RelayWire::challengeSize || frame.payload[0] < 1 || frame.payload[0] > 3) {
        sendError(from, 0, RelayErrorCode::malformed);
        return;
      }
      Bytes cookie = platform::secureRandomBytes(RelayWire::cookieSize);
      auto purpose = static_cast<RelayPurpose>(frame.payload[0]);
      cookies_[{from, static_cast<int>(purpose)}] = cookie;
      sendTo(from, {RelayPacketType::challenge, 0, 0, RelayWire::challengePayload(purpose, cookie)});
      return;
    }
    case RelayPacketType::registerRequest:
      onRegister(from, frame);
      return;
    case RelayPacketType::join:
      onJoin(from, frame);
      return;
    case RelayPacketType::rebind:
      onRebind(from, frame);
      return;
    case RelayPacketType::data:  // read in place by handleData
      return;
    case RelayPacketType::keepalive: {
      auto session = sessions_.find(frame.session);
      if (session == sessions_.end()) sendError(from, frame.session, RelayErrorCode::unknownSession);
      return;
    }
    case RelayPacketType::close:
      onClose(from, frame);
      return;
    case RelayPacketType::deny: {
      auto session = sessions_.find(frame.session);
      if (session == sessions_.end()) {
        sendError(from, frame.session, RelayErrorCode::unknownSession);
        return;
      }
      if (from != session->second.host) {
        sendError(from, frame.session, RelayErrorCode::wrongRole);
        return;
      }
      session->second.denied.insert(frame.payload);
      for (auto peer = session->second.peers.begin(); peer != session->second.peers.end();) {
        if (peer->second.key == frame.payload) {
          sendTo(peer->second.address, {RelayPacketType::close, frame.session, peer->first, {}});
          sendTo(session->second.host, {RelayPacketType::close, frame.session, peer->first, {}});
          peer = session->second.peers.erase(peer);
        } else {
          ++peer;
        }
      }
      return;
    }
    default:
      sendError(from, frame.session, RelayErrorCode::wrongRole);
      return;
  }
}

void TestRelay::onRegister(const asio::ip::udp::endpoint& from, const RelayFrame& frame) {
  const Bytes& p = frame.payload;
  if (p.size() < 65 + 16 + 2 + 64) return sendError(from, 0, RelayErrorCode::malformed);
  std::size_t length = (p[81] << 8) | p[82];
  if (p.size() != 65 + 16 + 2 + length + 64) return sendError(from, 0, RelayErrorCode::malformed);
  Bytes key = slice(p, 0, 65), cookie = slice(p, 65, 16), token = slice(p, 83, length),
        signature = slice(p, 83 + length, 64);
  if (!checkCookie(from, RelayPurpose::registration, cookie)) return sendError(from, 0, RelayErrorCode::badCookie);
  if (token.size() != 65 + 8 + 32 || !std::equal(key.begin(), key.end(), token.begin()))
    return sendError(from, 0, RelayErrorCode::badToken);
  std::uint64_t expiresAt = RelayWire::readUInt64(token, 65);
  if (makeRelayToken(secret_, key, expiresAt) != token) return sendError(from, 0, RelayErrorCode::badToken);
  if (expiresAt <= unixSeconds(now())) return sendError(from, 0, RelayErrorCode::expired);
  if (!verifyP256Signature(signature, RelayWire::registerMessage(cookie, token, key), key))
    return sendError(from, 0, RelayErrorCode::badSignature);
  cookies_.erase({from, static_cast<int>(RelayPurpose::registration)});
  // A host that registers again (a new address, a network change) keeps its session and devices.
  for (auto& [id, session] : sessions_) {
    if (session.hostKey != key) continue;
    session.host = from;
    sendTo(from, {RelayPacketType::registered, id, 0, {}});
    return;
  }
  std::uint32_t id = ++nextSession_;
  Session& session = sessions_[id];
  session.host = from;
  session.hostKey = key;
  session.hkid = platform::sha256(key);
  sendTo(from, {RelayPacketType::registered, id, 0, {}});
}

void TestRelay::onJoin(const asio::ip::udp::endpoint& from, const RelayFrame& frame) {
  const Bytes& p = frame.payload;
  if (p.size() < 16 + 64 + 1) return sendError(from, 0, RelayErrorCode::malformed);
  Bytes cookie = slice(p, 0, 16), grant = slice(p, 16, p.size() - 80), signature = slice(p, p.size() - 64, 64);
  if (!checkCookie(from, RelayPurpose::join, cookie)) return sendError(from, 0, RelayErrorCode::badCookie);
  auto parsed = RelayJoinGrant::parse(grant);
  if (!parsed) return sendError(from, 0, RelayErrorCode::malformed);
  auto session = std::find_if(sessions_.begin(), sessions_.end(),
                              [&](const auto& entry) { return entry.second.hkid == parsed->hkid; });
  if (session == sessions_.end()) return sendError(from, 0, RelayErrorCode::unknownHost);
  Session& s = session->second;
  if (!RelayJoinGrant::verify(grant, s.hostKey)) return sendError(from, 0, RelayErrorCode::badToken);
  if (parsed->expiresAt <= unixSeconds(now())) return sendError(from, 0, RelayErrorCode::expired);
  if (!verifyP256Signature(signature, RelayWire::joinMessage(cookie, grant), parsed->clientPublicKey))
    return sendError(from, 0, RelayErrorCode::badSignature);
  if (s.denied.contains(parsed->clientPublicKey)) return sendError(from, session->first, RelayErrorCode::denied);
  if (s.peers.size() >= maxPeers_) return sendError(from, session->first, RelayErrorCode::overQuota);
  cookies_.erase({from, static_cast<int>(RelayPurpose::join)});
  std::uint32_t peer = s.nextPeer++;
  s.peers[peer] = Peer{from, parsed->clientPublicKey};
  sendTo(from, {RelayPacketType::joined, session->first, peer, {}});
  sendTo(s.host, {RelayPacketType::peerJoined, session->first, peer, {}});
}

void TestRelay::onRebind(const asio::ip::udp::endpoint& from, const RelayFrame& frame) {
  if (frame.payload.size() != 80) return sendError(from, frame.session, RelayErrorCode::malformed);
  auto session = sessions_.find(frame.session);
  if (session == sessions_.end()) return sendError(from, frame.session, RelayErrorCode::unknownSession);
  auto peer = session->second.peers.find(frame.peer);
  if (peer == session->second.peers.end()) return sendError(from, frame.session, RelayErrorCode::unknownSession);
  Bytes cookie = slice(frame.payload, 0, 16), signature = slice(frame.payload, 16, 64);
  if (!checkCookie(from, RelayPurpose::rebind, cookie))
    return sendError(from, frame.session, RelayErrorCode::badCookie);
  if (!verifyP256Signature(signature, RelayWire::rebindMessage(cookie, frame.session, frame.peer), peer->second.key))
    return sendError(from, frame.session, RelayErrorCode::badSignature);
  peer->second.address = from;
  sendTo(from, {RelayPacketType::rebound, frame.session, frame.peer, {}});
}

void TestRelay::onData(const asio::ip::udp::endpoint& from, std::uint32_t sessionID, std::uint32_t peerID,
                       ByteView datagram) {
  auto session = sessions_.find(sessionID);
  if (session == sessions_.end()) return sendError(from, sessionID, RelayErrorCode::unknownSession);
  Session& s = session->second;
  auto peer = s.peers.find(peerID);
  auto forward = [&](const asio::ip::udp::endpoint& to) {
    if (forwards_.add({}, datagram, &to)) return;
    forwards_.flush(socket_);
    forwards_.add({}, datagram, &to);
  };
  if (from == s.host) {
    if (peer != s.peers.end()) forward(peer->second.address);
    return;
  }
  if (peer == s.peers.end()) return sendError(from, sessionID, RelayErrorCode::unknownSession);
  if (peer->second.address != from) return sendError(from, sessionID, RelayErrorCode::addressNotOnRecord);
  forward(s.host);
}

void TestRelay::onClose(const asio::ip::udp::endpoint& from, const RelayFrame& frame) {
  auto session = sessions_.find(frame.session);
  if (session == sessions_.end()) return;
  Session& s = session->second;
  if (from == s.host) {
    for (const auto& [id, peer] : s.peers) sendTo(peer.address, {RelayPacketType::close, frame.session, id, {}});
    sessions_.erase(session);
    return;
  }
  auto peer = s.peers.find(frame.peer);
  if (peer == s.peers.end() || peer->second.address != from) return;
  s.peers.erase(peer);
  sendTo(s.host, {RelayPacketType::close, frame.session, frame.peer, {}});
}

}  // namespace brindlet::testing
