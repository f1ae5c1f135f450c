#pragma once

// The one interface through which everything above the transport talks to a peer.
//
//   std::shared_ptr<Connection> connection = ...;          // QUIC, in-memory or relayed
//   connection->send(msg::Ping{1});                        // fire and forget, any thread
//   bool sent = connection->sendVideo(frame);              // false: dropped (budget, not ready)
//   Message chunk = msg::FileChunk{...};                   // name it: see the note below
//   bool handed = co_await connection->sendTransfer(std::move(chunk));   // waits for budget
//   auto messages = connection->messages();
//   while (auto message = co_await messages.next()) dispatch(*message);
//   // the end of messages() is the end of the connection
//   connection->close();                                   // idempotent, any thread
//
// Streams are buffered without bound and have one consumer each; `states` ends after the
// terminal state (failed or closed). Every member may be used from any thread at once.
// Note for g++ 12: an aggregate temporary (a msg:: struct, a lambda) inside an expression
// that contains co_await is destroyed twice; build the message in a statement of its own.

#include "kit/protocol/MediaRecords.h"
#include "kit/protocol/Message.h"
#include "kit/support/AsyncStream.h"
#include "base/Bytes.h"
#include "kit/transport/ConnectionState.h"

#include <asio/awaitable.hpp>

#include <optional>

namespace brindlet {

class Connection {
 public:
  virtual ~Connection() = default;

  // Every state change; ends after the terminal state.
  virtual AsyncStream<ConnectionState> states() = 0;
  // Messages decoded from the peer's control, input and transfer traffic (order kept per
  // stream, not across streams); ends when the connection ends.
  virtual AsyncStream<Message> messages() = 0;
  // Frames and packets from the peer, taken one at a time from the connection's queues.
  virtual AsyncStream<VideoFrame> videoFrames() = 0;
  // Default: a stream that has already ended.
  virtual AsyncStream<AudioPacket> audioPackets();

  // Queues the message on the stream of its channel; dropped without notice when the
  // connection is not ready or has ended. File chunks and ends given here go on the
  // transfer stream without waiting and without counting against the transfer budget.
  virtual void send(const Message& message) = 0;
  // True when handed to the transport; false when dropped (not ready, ended, no peer, or
  // in-flight budget full). A false is a drop, not an error: the connection goes on.
  virtual bool sendVideo(const VideoFrame& frame) = 0;
  virtual bool sendAudio(const AudioPacket& packet) = 0;
  // Waits while the transfer byte budget is full, then hands the message to the transfer
  // stream: true. False, without sending, when the connection is not ready, has ended or
  // ends while waiting. Default: send() and true.
  virtual asio::awaitable<bool> sendTransfer(Message message);

  // Ends the connection with `closed`; any number of times, any thread; the first close or
  // failure wins.
  virtual void close() = 0;

  // SHA-256 of the peer's TLS leaf certificate, when this side verified one.
  virtual std::optional<Bytes> peerFingerprint() const = 0;
  // The 32-byte TLS exporter value, from readiness on, when the session offers one.
  virtual std::optional<Bytes> exporter() const = 0;
};

}  // namespace brindlet
