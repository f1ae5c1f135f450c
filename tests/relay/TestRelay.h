#pragma once

// A UDP relay for tests, bound to 127.0.0.1: the relay side of remote access (challenges,
// register with a coordinator token, join with a host's grant, rebind, keepalive, deny, close,
// data forwarding and every error code). Tokens are the test coordinator's:
// host key (65) || expiry in seconds since 1970 (8, big-endian) || HMAC-SHA256 of the two under
// the shared secret.
//
//   TestRelay relay(io.get_executor(), secret);                // port chosen by the system
//   relay.start();
//   ... relay.port() ...
//   relay.restart();                                           // forgets every session
//   relay.stop();

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include <asio/ip/udp.hpp>

#include "base/Bytes.h"
#include "base/Executor.h"
#include "kit/relay/RelayWire.h"
#include "platform/net/DatagramBatch.h"

namespace brindlet::testing {

// The coordinator's token for a host key, valid until `expiresAt` (seconds since 1970).
Bytes makeRelayToken(ByteView secret, ByteView hostKey, std::uint64_t expiresAt);

class TestRelay {
 public:
  TestRelay(const Executor& executor, Bytes secret, std::uint16_t port = 0);
  ~TestRelay();

  void start();
  void stop();  // once; later calls do nothing
  // Forgets every session, peer and cookie, as a relay that restarted on the same port.
  void restart();

  std::uint16_t port() const { return port_; }

  // What the tests look at and steer; all thread-safe.
  std::size_t framesOfType(RelayPacketType type) const;
  std::size_t sessionCount() const;
  std::vector<Bytes> deniedKeys() const;
  // Count but otherwise ignore every frame while set (a relay that does not answer).
  void setSilent(bool silent) { silent_ = silent; }
  // The next `count` frames of this type are answered with this error instead.
  void failNext(RelayPacketType request, RelayErrorCode code, int count = 1);
  // The largest number of devices per host session (overQuota beyond).
  void setMaxPeers(std::size_t count);
  std::chrono::system_clock::time_point now() const { return std::chrono::system_clock::now(); }

 private:
  struct Peer {
    asio::ip::udp::endpoint address;
    Bytes key;
  };
  struct Session {
    asio::ip::udp::endpoint host;
    Bytes hostKey;
    Bytes hkid;
    std::map<std::uint32_t, Peer> peers;
    std::set<Bytes> denied;
    std::uint32_t nextPeer = 1;
  };

  void receive();
  void drain();
  void handle(const asio::ip::udp::endpoint& from, const RelayFrame& frame);
  // A data frame, read in place: `datagram` is the frame as it came, which it is passed on as.
  void handleData(const asio::ip::udp::endpoint& from, ByteView datagram);
  void sendTo(const asio::ip::udp::endpoint& to, const RelayFrame& frame);
  void sendError(const asio::ip::udp::endpoint& to, std::uint32_t session, RelayErrorCode code);
  bool checkCookie(const asio::ip::udp::endpoint& from, RelayPurpose purpose, ByteView cookie);
  std::optional<RelayErrorCode> takeFailure(RelayPacketType type);
  void onRegister(const asio::ip::udp::endpoint& from, const RelayFrame& frame);
  void onJoin(const asio::ip::udp::endpoint& from, const RelayFrame& frame);
  void onRebind(const asio::ip::udp::endpoint& from, const RelayFrame& frame);
  void onData(const asio::ip::udp::endpoint& from, std::uint32_t session, std::uint32_t peer, ByteView datagram);
  void onClose(const asio::ip::udp::endpoint& from, const RelayFrame& frame);

  Strand strand_;
  Bytes secret_;
  asio::ip::udp::socket socket_;
  std::uint16_t port_ = 0;
  platform::DatagramReceiver receiver_{8, 2048, true};
  platform::DatagramSender forwards_{256, 2048};  // data frames passed on, sent after each read
  std::atomic<bool> silent_{false};
  std::atomic<bool> stopped_{false};

  mutable std::mutex mutex_;
  std::map<RelayPacketType, std::size_t> counts_;
  std::map<std::pair<asio::ip::udp::endpoint, int>, Bytes> cookies_;
  std::map<std::uint32_t, Session> sessions_;
  std::map<RelayPacketType, std::pair<RelayErrorCode, int>> failures_;
  std::size_t maxPeers_ = 16;
  std::uint32_t nextSession_ = 0x100;
};

}  // namespace brindlet::testing
