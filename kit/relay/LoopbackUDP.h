#pragma once

// One UDP socket on the loopback interface that joins a relayed flow to a local QUIC endpoint.
// On the host each relayed device gets one, connected to the local QUIC listener's port, so
// that only the listener's answers come back through it; on a device one socket learns its
// QUIC connection's address from what it receives.
//
//   auto flow = LoopbackUDP::make(executor, listenerPort);     // throws LoopbackUDP::SocketError
//   flow->start([](ByteView datagram) { ... });                // on the flow's strand
//   flow->send(datagram);                                      // any thread
//   flow->gather(datagram); ... flow->flush();                 // on the flow's strand
//   flow->close();                                             // any thread, any number of times
//
// Datagrams larger than the 2,048-byte buffer are dropped whole, never handed on cut.
//
// A flow made on a strand that another object shares (the relay tunnel it feeds) hands
// datagrams to that object and takes them from it without a hop through the strand's queue:
// that object gathers what it reads in one batch and flushes at the batch's end, and the flow
// tells it where each of its own read batches ends.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include <asio/ip/udp.hpp>

#include "base/Bytes.h"
#include "base/Executor.h"
#include "platform/net/DatagramBatch.h"

namespace brindlet {

class LoopbackUDP final : public std::enable_shared_from_this<LoopbackUDP> {
 public:
  static constexpr std::size_t bufferSize = 2048;

  struct SocketError : std::runtime_error {
    explicit SocketError(int error);
    int errorNumber;
  };

  // With a remote port: connected to 127.0.0.1 at that port. Without: sends go to the latest
  // sender. Throws SocketError.
  static std::shared_ptr<LoopbackUDP> make(const Executor& executor, std::optional<std::uint16_t> remotePort);
  // The same on the given strand rather than a new one.
  static std::shared_ptr<LoopbackUDP> make(const Strand& strand, std::optional<std::uint16_t> remotePort);
  ~LoopbackUDP();

  std::uint16_t port() const { return port_; }
  // Every datagram that arrives (possibly empty) goes to `onDatagram`, on the flow's strand;
  // the bytes are valid during the call only. `onBatchEnd` (if any) follows the datagrams of
  // each read, on the strand, so that what they caused can go out together.
  void start(std::function<void(ByteView)> onDatagram, std::function<void()> onBatchEnd = {});
  // One datagram to the remote end; dropped when there is none yet or the flow is closed.
  // Datagrams sent on the flow's strand are gathered and go out together once the strand's
  // current work is done; from elsewhere each is queued on the strand.
  void send(ByteView datagram);
  // On the flow's strand: the datagram is gathered and goes out at the next flush(), which
  // the caller owes (elsewhere it is sent as by send()).
  void gather(ByteView datagram);
  // On the flow's strand: what was gathered goes out now.
  void flush();
  void close();
  // How many datagrams were dropped for being larger than the buffer.
  std::uint64_t oversizedDropped() const { return oversized_.load(); }

  LoopbackUDP(Strand strand, std::optional<std::uint16_t> remotePort);

 private:
  void armRead();
  void drain();
  void add(ByteView datagram);
  void sendNow(ByteView datagram);
  void flushOutgoing();

  Strand strand_;
  asio::ip::udp::socket socket_;
  std::uint16_t port_ = 0;
  bool learnsRemote_ = true;
  std::optional<asio::ip::udp::endpoint> remote_;  // on the strand
  std::function<void(ByteView)> onDatagram_;       // on the strand
  std::function<void()> onBatchEnd_;               // on the strand
  std::atomic<bool> closed_{false};
  std::atomic<std::uint64_t> oversized_{0};
  platform::DatagramReceiver receiver_{8, bufferSize, true};  // on the strand
  // Room for most of a read's datagrams, so that a batch seldom ends inside a run of them.
  platform::DatagramSender outgoing_{256, bufferSize};  // on the strand
  bool flushQueued_ = false;                            // on the strand
};

}  // namespace brindlet
