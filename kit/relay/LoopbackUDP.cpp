#include "kit/relay/LoopbackUDP.h"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>

#include <cstring>

#include "platform/net/Datagram.h"

namespace brindlet {

LoopbackUDP::SocketError::SocketError(int error)
    : std::runtime_error(std::string("loopback socket failed: ") + std::strerror(error)), errorNumber(error) {}

std::shared_ptr<LoopbackUDP> LoopbackUDP::make(const Executor& executor, std::optional<std::uint16_t> remotePort) {
  return std::make_shared<LoopbackUDP>(executor, remotePort);
}

LoopbackUDP::LoopbackUDP(const Executor& executor, std::optional<std::uint16_t> remotePort)
    : strand_(makeStrand(executor)), socket_(strand_) {
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

void LoopbackUDP::start(std::function<void(Bytes)> onDatagram) {
  asio::post(strand_, [self = shared_from_this(), onDatagram = std::move(onDatagram)]() mutable {
    if (self->closed_ || self->onDatagram_) return;
    self->onDatagram_ = std::move(onDatagram);
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

void LoopbackUDP::drain() {
  asio::error_code error;
  while (auto datagram = platform::receiveDatagram(socket_, buffer_, error)) {
    if (datagram->truncated) {
      ++oversized_;
      continue;
    }
    if (learnsRemote_) remote_ = datagram->sender;
    onDatagram_(Bytes(buffer_.begin(), buffer_.begin() + static_cast<long>(datagram->size)));
    if (closed_) return;
  }
}

void LoopbackUDP::send(Bytes datagram) {
  if (closed_) return;
  asio::post(strand_, [self = shared_from_this(), datagram = std::move(datagram)] {
    if (self->closed_ || !self->remote_) return;
    asio::error_code ignored;
    if (self->learnsRemote_) {
      self->socket_.send_to(asio::buffer(datagram), *self->remote_, 0, ignored);
    } else {
      self->socket_.send(asio::buffer(datagram), 0, ignored);
    }
  });
}

void LoopbackUDP::close() {
  if (closed_.exchange(true)) return;
  asio::post(strand_, [self = shared_from_this()] {
    asio::error_code ignored;
    self->socket_.close(ignored);
  });
}

}  // namespace brindlet
