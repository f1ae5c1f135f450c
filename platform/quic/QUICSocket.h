#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/strand.hpp>

namespace brindlet::platform {

// One UDP socket of a QUIC endpoint: drains datagrams in bursts and sends runs of
// equally sized packets in one call (UDP segmentation offload where the kernel allows it).
// Every operation runs on the endpoint's strand.
class QUICSocket : public std::enable_shared_from_this<QUICSocket> {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;
  using DatagramHandler = std::function<void(const std::uint8_t*, std::size_t, const asio::ip::udp::endpoint&)>;
  using BurstEndHandler = std::function<void()>;
  using ErrorHandler = std::function<void(std::error_code)>;

  struct SendResult {
    std::size_t sent = 0;   // bytes that left
    std::error_code error;  // would_block: the rest must wait for whenWritable
  };

  // Opens a socket bound to `local`; with `remote`, the socket is connected to it.
  static std::shared_ptr<QUICSocket> open(Strand strand, const asio::ip::udp::endpoint& local,
                                          const asio::ip::udp::endpoint* remote, std::error_code& error);

  QUICSocket(Strand strand, asio::ip::udp::socket socket);
  ~QUICSocket();

  void startReceiving(DatagramHandler onDatagram, BurstEndHandler onBurstEnd, ErrorHandler onError);
  // Sends `size` bytes made of packets of `segment` bytes (the last may be shorter).
  SendResult send(const std::uint8_t* data, std::size_t size, std::size_t segment, const asio::ip::udp::endpoint* to);
  void whenWritable(std::function<void()> then);
  void close();

  asio::ip::udp::endpoint localEndpoint() const { return local_; }
  const Strand& strand() const { return strand_; }

 private:
  void waitReadable();
  void drain();
  SendResult sendOne(const std::uint8_t* data, std::size_t size, std::size_t segment, const asio::ip::udp::endpoint* to,
                     bool segmented);

  Strand strand_;
  asio::ip::udp::socket socket_;
  asio::ip::udp::endpoint local_;
  DatagramHandler onDatagram_;
  BurstEndHandler onBurstEnd_;
  ErrorHandler onError_;
  std::vector<std::uint8_t> receiveBuffer_;
  bool segmentation_ = true;
  bool closed_ = false;
};

}  // namespace brindlet::platform
