#include "kit/relay/LoopbackUDP.h"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>

#include <cstring>

#include "platform/net/Datagram.h"

namespace brindlet {

LoopbackUDP::SocketError::SocketError(int error)
    : std::runtime_error(std::string("loopback socket failed: ") + std::strerror(error)), errorNumber(error) {}

std::shared_ptr<LoopbackUDP> LoopbackUDP::make(const Executor& executor, std::optional<std::uint16_t> remotePort) {
  return std::make_shared<LoopbackUDP>(makeStrand(executor), remotePort);
}

std::shared_ptr<LoopbackUDP> LoopbackUDP::make(const Strand& strand, std::optional<std::uint16_t> remotePort) {
  return std::make_shared<LoopbackUDP>(strand, remotePort);
}

LoopbackUDP::LoopbackUDP(Strand strand, std::optional<std::uint16_t> remotePort)
    : strand_(std::move(strand)), socket_(strand_) {
  asio::error_code error;
  socket_.open(asio::ip::udp::v4(), error);
  if (error) throw SocketError(error.value());
  socket_.non_blocking(true, error);
  socket_.bind(asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0), error);
  if (error) throw SocketError(error.value());
  port_ = socket_.local_endpoint(error).port();
  asio::error_code ignored;
  socket_.set_option(asio::socket_base::receive_buffer_size(1 << 20), ignored);
  socket_.set_option(asio::socket_base::send_buffer_size(1 << 20), ignored);
  platform::enableReceiveCoalescing(socket_);
  if (remotePort) {
    // Connected: the kernel passes only datagrams from the listener's address and port.
    remote_ = asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), *remotePort);
    learnsRemote_ = false;
    socket_.connect(*remote_, error);
    if (error) throw SocketError(error.value());
  }
}

LoopbackUDP::~LoopbackUDP() {
  asio::error_code ignored;
  socket_.close(ignored);
}

void LoopbackUDP::start(std::function<void(ByteView)> onDatagram, std::function<void()> onBatchEnd) {
  asio::post(strand_, [self = shared_from_this(), onDatagram = std::move(onDatagram),
                       onBatchEnd = std::move(onBatchEnd)]() mutable {
    if (self->closed_ || self->onDatagram_) return;
    self->onDatagram_ = std::move(onDatagram);
    self->onBatchEnd_ = std::move(onBatchEnd);
    self->armRead();
  });
}

void LoopbackUDP::armRead() {
  std::weak_ptr<LoopbackUDP> weak = weak_from_this();
  socket_.async_wait(asio::ip::udp::socket::wait_read,
                     asio::bind_executor(strand_, [weak](const asio::error_code& error) {
                       auto self = weak.lock();
                       if (!self || error || self->closed_) return;
                       self->drain();
                       if (!self->closed_) self->armRead();
                     }));
}

// A bounded number of datagrams at a time, read many a call, so that sends queued on the strand
// take turns with a busy flow.
void LoopbackUDP::drain() {
  for (int round = 0; round < 4; ++round) {
    asio::error_code error;
    const std::size_t count = receiver_.receive(socket_, error);
    for (std::size_t i = 0; i < count; ++i) {
      const auto& datagram = receiver_.datagram(i);
      if (datagram.truncated) {
        ++oversized_;
        continue;
      }
      if (learnsRemote_) remote_ = datagram.sender;
      onDatagram_(receiver_.bytes(i));
      if (closed_) break;
    }
    if (count > 0 && onBatchEnd_) onBatchEnd_();
    if (closed_ || !receiver_.more()) return;
  }
}

void LoopbackUDP::send(ByteView datagram) {
  if (closed_) return;
  if (strand_.running_in_this_thread()) {
    sendNow(datagram);
    return;
  }
  asio::post(strand_, [self = shared_from_this(), datagram = Bytes(datagram.begin(), datagram.end())] {
    self->sendNow(datagram);
  });
}

void LoopbackUDP::gather(ByteView datagram) {
  if (!strand_.running_in_this_thread()) {
    send(datagram);
    return;
  }
  if (!closed_) add(datagram);
}

void LoopbackUDP::flush() {
  if (!outgoing_.empty()) flushOutgoing();
}

void LoopbackUDP::add(ByteView datagram) {
  if (!remote_) return;
  const asio::ip::udp::endpoint* to = learnsRemote_ ? &*remote_ : nullptr;
  if (!outgoing_.add({}, datagram, to)) {
    flushOutgoing();
    outgoing_.add({}, datagram, to);  // fails only when larger than any datagram that comes in
  }
}

void LoopbackUDP::sendNow(ByteView datagram) {
  if (closed_ || !remote_) return;
  add(datagram);
  if (flushQueued_) return;
  flushQueued_ = true;
  asio::post(strand_, [self = shared_from_this()] {
    self->flushQueued_ = false;
    self->flushOutgoing();
  });
}

void LoopbackUDP::flushOutgoing() {
  if (closed_) {
    outgoing_.clear();
    return;
  }
  outgoing_.flush(socket_);
}

void LoopbackUDP::close() {
  if (closed_.exchange(true)) return;
  asio::post(strand_, [self = shared_from_this()] {
    asio::error_code ignored;
    self->socket_.close(ignored);
  });
}

}  // namespace brindlet
