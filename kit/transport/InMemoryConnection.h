#pragma once

// An in-process pair of connections: what one end sends arrives on the other end's streams,
// through the same wire encoding as the network (every message, frame and packet is encoded
// and decoded again).
//
//   auto [host, device] = InMemoryConnection::pair();
//   device->send(msg::Ping{7});                   // arrives on host->messages()
//   host->sendVideo(frame);                       // false once 8 frames wait unread at the device
//   device->close();                              // both ends: closed, streams end
//
// Each end starts `ready`. A delivery whose bytes do not decode is reported as `failed` with
// the decoding error's text on the receiving end's `states`, and the connection stays open;
// undecodable frames or packets are dropped. A frame header over the largest frame size,
// after which a stream cannot be read, ends the connection as on QUIC: what was decoded before
// it arrives, then the receiving end fails with "protocol error: frameTooLarge(N)" and its
// peer closes. Budgets count items decoded and not yet taken
// by the receiving reader (video 8, audio 256). No TLS: no fingerprint, no exporter.
// Dropping an end closes it (and so the pair), as dropping a socket would.

#include "kit/transport/AsyncQueue.h"
#include "kit/transport/Connection.h"
#include "kit/transport/StreamKind.h"

#include <cstddef>
#include <memory>
#include <utility>

namespace brindlet {

class InMemoryConnection final : public Connection {
 public:
  // Two joined ends, first end first.
  static std::pair<std::shared_ptr<InMemoryConnection>, std::shared_ptr<InMemoryConnection>> pair();

  // An end without a peer: send() does nothing, the other sends report false.
  InMemoryConnection();
  ~InMemoryConnection() override;
  InMemoryConnection(const InMemoryConnection&) = delete;
  InMemoryConnection& operator=(const InMemoryConnection&) = delete;

  int maxInFlight() const;
  void setMaxInFlight(int frames);
  int maxAudioInFlight() const;
  void setMaxAudioInFlight(int packets);
  // Frames waiting unread in the peer's video queue (0 without a peer).
  std::size_t peerVideoBacklog() const;

  AsyncStream<ConnectionState> states() override;
  AsyncStream<Message> messages() override;
  AsyncStream<VideoFrame> videoFrames() override;
  AsyncStream<AudioPacket> audioPackets() override;
  void send(const Message& message) override;
  bool sendVideo(const VideoFrame& frame) override;
  bool sendAudio(const AudioPacket& packet) override;
  asio::awaitable<bool> sendTransfer(Message message) override;
  void close() override;
  // Takes bytes as if the peer had sent them on its stream of that kind, frames whole or in
  // pieces: how tests bring this end traffic that no writer of this codebase produces.
  void receive(StreamKind kind, ByteView bytes);
  std::optional<Bytes> peerFingerprint() const override { return std::nullopt; }
  std::optional<Bytes> exporter() const override { return std::nullopt; }

 private:
  struct End;

  template <class Item, class Deliver>
  bool sendCounted(int End::*budget, AsyncQueue<Item> End::*queue, Deliver deliver);

  // This end's receiving side and state, and the peer's. Ends refer to each other's
  // receiving sides only, never to the connection objects, so a pair is released when both
  // users let go.
  std::shared_ptr<End> end_;
  std::shared_ptr<End> peer_;
};

}  // namespace brindlet
