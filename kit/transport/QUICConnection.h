#pragma once

// The production Connection: one QUIC connection between a device and the host, one
// bidirectional stream per StreamKind, each opened by its one-byte kind.
//
//   // device side
//   auto connection = QUICConnection::makeClient(io, endpoint, ServerTrust::pinned(fp), {});
//   connection->start();
//   co_await connection->waitUntilReady();         // throws QUICError
//   // host side, for each group the listener accepts
//   auto connection = QUICConnection::makeHost(group, configuration);
//   connection->start();
//   co_await connection->waitUntilReady();
//
// Transport callbacks, stream handlers, completions and timers run on the group's strand
// (the connection's queue); the public operations may be called from any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "kit/protocol/WireDecoder.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/support/Task.h"
#include "kit/support/detail/Parked.h"
#include "kit/transport/AsyncQueue.h"
#include "kit/transport/Connection.h"
#include "kit/transport/QUICConfiguration.h"
#include "kit/transport/QUICError.h"
#include "kit/transport/StreamKind.h"
#include "platform/quic/QUICGroup.h"
#include "platform/quic/QUICStream.h"

namespace brindlet {

class QUICConnection final : public Connection, public std::enable_shared_from_this<QUICConnection> {
 public:
  enum class Role { host, client };

  // Device side: a connection towards the host at `endpoint`.
  static std::shared_ptr<QUICConnection> makeClient(asio::io_context& context, const asio::ip::udp::endpoint& endpoint,
                                                    const ServerTrust& trust, QUICConfiguration configuration,
                                                    std::shared_ptr<Clock> clock);
  // Host side: a group the listener accepted.
  static std::shared_ptr<QUICConnection> makeHost(std::shared_ptr<platform::QUICGroup> group,
                                                  QUICConfiguration configuration, std::shared_ptr<Clock> clock);
  ~QUICConnection() override;

  // Installs the handlers, starts the transport and arms the handshake timer. Once.
  void start();
  // Returns once the connection is ready; throws QUICError when it ended or ends first.
  asio::awaitable<void> waitUntilReady();

  AsyncStream<ConnectionState> states() override { return states_; }
  AsyncStream<Message> messages() override { return messages_; }
  AsyncStream<VideoFrame> videoFrames() override { return videoQueue_; }
  AsyncStream<AudioPacket> audioPackets() override { return audioQueue_; }
  void send(const Message& message) override;
  bool sendVideo(const VideoFrame& frame) override;
  bool sendAudio(const AudioPacket& packet) override;
  asio::awaitable<bool> sendTransfer(Message message) override;
  void close() override;
  std::optional<Bytes> peerFingerprint() const override;
  std::optional<Bytes> exporter() const override;

  Role role() const { return role_; }
  const QUICConfiguration& configuration() const { return configuration_; }
  std::int64_t videoFramesInFlight() const;
  std::int64_t transferBytesInFlight() const;

  QUICConnection(Role role, std::shared_ptr<platform::QUICGroup> group, std::shared_ptr<FingerprintBox> box,
                 QUICConfiguration configuration, std::shared_ptr<Clock> clock);

 private:
  using Stream = std::shared_ptr<platform::QUICStream>;
  using ReadyWaiter = detail::Parked<std::optional<QUICError>>;
  using TransferWaiter = detail::Parked<bool>;
  enum class Reader { control, messages, video, audio, discard };

  void onGroupState(platform::QUICGroupState state, const std::optional<platform::QUICTransportError>& error);
  void openStreams();
  void onStreamState(StreamKind kind, const Stream& stream, platform::QUICStreamState state,
                     const std::optional<platform::QUICTransportError>& error,
                     const std::shared_ptr<std::int64_t>& counter);
  void adopt(const Stream& stream);
  void attach(StreamKind kind, const Stream& stream);
  void startReader(Reader reader, const Stream& stream);
  void read(Reader reader, Stream stream, std::shared_ptr<WireDecoder> decoder);
  bool decode(Reader reader, WireDecoder& decoder);
  void markReady();
  void finish(ConnectionState state);
  bool isFinished() const;
  // Runs `action` on the queue `delay` from now (through the clock), unless the connection is gone.
  void after(Clock::Duration delay, Task& slot, std::function<void(QUICConnection&)> action);
  static asio::awaitable<void> sleepThenPost(std::shared_ptr<Clock> clock, Clock::Duration delay,
                                             std::weak_ptr<QUICConnection> connection,
                                             std::function<void(QUICConnection&)> action);
  // Closes `group` kTeardownDelay after the connection finished. The teardown is deliberately
  // owned by nobody: it must outlive the connection (whose owner usually lets go of it as soon
  // as it is finished) so that the peer can still read the end of the control stream. It
  // holds the group and the clock only, and ends itself when its sleep is over (or with the
  // context that runs it).
  static void startTeardown(const Strand& strand, std::shared_ptr<Clock> clock,
                            std::shared_ptr<platform::QUICGroup> group);
  static asio::awaitable<void> tearDown(std::shared_ptr<Clock> clock, std::shared_ptr<platform::QUICGroup> group);
  void scheduleTeardown();
  asio::awaitable<void> waitForTransferRoom(std::int64_t size);
  // Hands `bytes` to the stream of `kind`; false when not ready, finished or without it.
  bool handOver(StreamKind kind, Bytes bytes, platform::QUICStream::SendCompletion completion);
  // Video and audio: dropped at once when the item count or byte budget is full.
  bool sendMedia(StreamKind kind, Bytes bytes, std::int64_t QUICConnection::*count,
                 std::int64_t QUICConnection::*byteCount, std::int64_t maxCount, std::int64_t maxBytes,
                 const char* failurePrefix);

  const Role role_;
  const QUICConfiguration configuration_;
  const std::shared_ptr<Clock> clock_;
  const std::shared_ptr<platform::QUICGroup> group_;
  const std::shared_ptr<FingerprintBox> box_;
  Strand timerStrand_;

  AsyncStream<ConnectionState> states_;
  AsyncStream<Message> messages_;
  AsyncQueue<VideoFrame> videoQueue_;
  AsyncQueue<AudioPacket> audioQueue_;

  mutable std::mutex lock_;
  std::map<StreamKind, Stream> streams_;
  bool started_ = false;
  bool streamsOpened_ = false;
  bool isReady_ = false;
  bool isFinished_ = false;
  bool tornDown_ = false;
  std::int64_t videoFramesInFlight_ = 0;
  std::int64_t videoBytesInFlight_ = 0;
  std::int64_t audioPacketsInFlight_ = 0;
  std::int64_t audioBytesInFlight_ = 0;
  std::int64_t transferBytesInFlight_ = 0;
  std::vector<TransferWaiter> transferWaiters_;
  std::vector<ReadyWaiter> readyWaiters_;
  std::optional<std::string> failure_;
  std::optional<QUICError> failureError_;
  std::optional<Bytes> exporter_;
  std::set<StreamKind> pendingKinds_;
  std::int64_t waitingGeneration_ = 0;
  Task handshakeTimer_;
  Task waitingTimer_;
  Task videoPoll_;
};

// The kind's name in failure reasons: control, input, video, audio, transfer.
const char* streamKindName(StreamKind kind);

}  // namespace brindlet
