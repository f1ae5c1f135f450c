#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "platform/net/DatagramBatch.h"
#include "platform/quic/QUICSocket.h"
#include "support/LoopbackNamespace.h"

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

// On a route whose MTU is smaller than a packet with its headers the kernel refuses to segment a
// run of packets: the run goes out one packet at a time (fragmented by the kernel), every packet
// arriving whole, rather than being reported as a failed send.
TEST(QUICSocket, ARunTheKernelWillNotSegmentGoesOutOnePacketAtATime) {
  std::string skipped;
  std::thread([&] {
    skipped = brindlet::testing::enterLoopbackNamespace(1380);
    if (!skipped.empty()) return;
    asio::io_context io;
    asio::ip::udp::socket receiver(io, {asio::ip::make_address("127.0.0.1"), 0});
    receiver.non_blocking(true);
    const auto to = receiver.local_endpoint();
    std::error_code error;
    auto socket = QUICSocket::open(asio::make_strand(io), {asio::ip::make_address("127.0.0.1"), 0}, &to, error);
    ASSERT_TRUE(socket) << error.message();
    constexpr std::size_t packet = 1400, packets = 20, last = 500;
    std::vector<std::uint8_t> run(packet * (packets - 1) + last);
    for (std::size_t i = 0; i < run.size(); ++i) run[i] = static_cast<std::uint8_t>(i / packet + 1);
    for (int round = 0; round < 2; ++round) {
      QUICSocket::SendResult result = socket->send(run.data(), run.size(), packet, nullptr);
      EXPECT_FALSE(result.error) << result.error.message();
      EXPECT_EQ(result.sent, run.size());
    }
    DatagramReceiver reader(16, 2048);
    std::vector<std::size_t> sizes;
    bool whole = true;
    asio::error_code readError;
    while (std::size_t count = reader.receive(receiver, readError)) {
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t index = sizes.size() % packets;
        sizes.push_back(reader.bytes(i).size());
        for (std::uint8_t byte : reader.bytes(i)) whole = whole && byte == static_cast<std::uint8_t>(index + 1);
      }
    }
    EXPECT_EQ(sizes.size(), 2 * packets);
    EXPECT_TRUE(whole) << "a packet arrived changed or out of order";
    if (sizes.size() == 2 * packets) {
      EXPECT_EQ(sizes[packets - 1], last);
      EXPECT_EQ(sizes[0], packet);
    }
    socket->close();
  }).join();
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
}  // namespace brindlet::platform
