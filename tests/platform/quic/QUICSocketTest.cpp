#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "platform/quic/QUICSocket.h"

namespace brindlet::platform {
namespace {

// An owner may close its socket from inside the socket's own datagram handler (a connection
// that fails on a datagram ends there): what the handler holds stays alive until it returns.
TEST(QUICSocket, AHandlerMayCloseItsOwnSocket) {
  asio::io_context io;
  std::error_code error;
  auto socket = QUICSocket::open(asio::make_strand(io), {asio::ip::make_address("127.0.0.1"), 0}, nullptr, error);
  ASSERT_TRUE(socket) << error.message();
  struct Held {
    bool* gone = nullptr;
    ~Held() { *gone = true; }
  };
  bool gone = false, goneWhileRunning = true, received = false;
  auto held = std::make_shared<Held>();
  held->gone = &gone;
  socket->startReceiving(
      [held, &socket, &gone, &goneWhileRunning, &received](const std::uint8_t*, std::size_t,
                                                           const asio::ip::udp::endpoint&) {
        received = true;
        socket->close();
        goneWhileRunning = gone;
      },
      [] {}, [](std::error_code) {});
  held.reset();

  asio::ip::udp::socket sender(io, {asio::ip::make_address("127.0.0.1"), 0});
  const char byte = 'x';
  sender.send_to(asio::buffer(&byte, 1), socket->localEndpoint());
  io.run_for(std::chrono::seconds(5));
  EXPECT_TRUE(received);
  EXPECT_FALSE(goneWhileRunning) << "the running handler was destroyed by the close";
  EXPECT_TRUE(gone) << "the handler is let go of once it has returned";
}

}  // namespace
}  // namespace brindlet::platform
