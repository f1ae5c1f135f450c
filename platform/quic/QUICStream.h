#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "base/Bytes.h"
#include "platform/quic/QUICTypes.h"

namespace brindlet::platform {

class QUICGroupImpl;

// One bidirectional stream of a group. Every method may be called from any thread; handlers
// and completions run on the group's strand, never inside the QUIC stack's own calls.
class QUICStream : public std::enable_shared_from_this<QUICStream> {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;
  using StateHandler = std::function<void(QUICStreamState, std::optional<QUICTransportError>)>;
  // Called once the stack has taken every byte into packets (acknowledgement not awaited).
  using SendCompletion = std::function<void(std::optional<QUICTransportError>)>;
  // Content (possibly empty), whether the peer ended the stream after it, and an error.
  using ReceiveCompletion = std::function<void(Bytes, bool, std::optional<QUICTransportError>)>;

  QUICStream(std::weak_ptr<QUICGroupImpl> group, Strand strand, std::int64_t id);

  void setStateHandler(StateHandler handler);
  // Reports `ready` (or the group's end) to the state handler.
  void start();
  // Queues bytes; `isComplete` ends the stream after them.
  void send(Bytes data, bool isComplete, SendCompletion completion);
  // Completes once at least `minimum` bytes (or the end, or an error) are there, with at most
  // `maximum` bytes. One receive at a time. Credit goes back to the peer as data is taken.
  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion);
  // Resets both directions.
  void cancel();

  std::int64_t id() const { return id_; }
  // Bytes received and not yet taken by a receive.
  std::size_t bufferedIncomingBytes() const { return buffered_.load(); }

 private:
  friend class QUICGroupImpl;

  struct Chunk {
    Bytes data;
    std::uint64_t offset = 0;
    bool fin = false;
    bool completed = false;
    SendCompletion completion;
  };
  struct PendingReceive {
    std::size_t minimum = 1;
    std::size_t maximum = 0;
    ReceiveCompletion completion;
  };

  std::uint64_t unsentBytes() const { return queuedOffset_ - sentOffset_; }
  bool hasSomethingToSend() const { return unsentBytes() > 0 || (finQueued_ && !finSent_); }

  std::weak_ptr<QUICGroupImpl> group_;
  Strand strand_;
  std::int64_t id_;

  // Everything below is touched on the strand only.
  StateHandler stateHandler_;
  bool ended_ = false;  // a terminal state was reported

  std::deque<Chunk> tx_;
  std::uint64_t queuedOffset_ = 0;
  std::uint64_t sentOffset_ = 0;
  std::uint64_t ackedOffset_ = 0;
  bool finQueued_ = false;
  bool finSent_ = false;
  bool inSendQueue_ = false;
  bool blocked_ = false;
  std::optional<std::string> txError_;

  Bytes rx_;
  std::size_t rxHead_ = 0;
  bool rxFin_ = false;
  bool rxEndDelivered_ = false;
  std::optional<std::string> rxError_;
  std::optional<PendingReceive> pendingReceive_;
  bool inReceivedList_ = false;  // listed for delivery after the current burst
  bool closedByStack_ = false;
  std::atomic<std::size_t> buffered_{0};
};

}  // namespace brindlet::platform
