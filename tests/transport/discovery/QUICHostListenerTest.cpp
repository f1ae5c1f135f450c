// The QUIC host listener on loopback, without advertisement: ports, readiness, failure,
// stop, and which connections come out of it.
#include <asio/ip/udp.hpp>

#include <array>
#include <future>
#include <mutex>

#include "kit/support/SystemClock.h"
#include "kit/transport/QUICHostBrowser.h"
#include "kit/transport/QUICHostListener.h"
#include "platform/log/Log.h"
#include "transport/discovery/ListenerFixture.h"

namespace brindlet {
namespace {

using testing::ListenerFixture;
using testing::ListenerLog;

class QUICHostListenerTest : public ListenerFixture {
 protected:
  std::shared_ptr<QUICHostListener> makeListener(std::optional<uint16_t> port) {
    return QUICHostListener::create(io, "Test Mac", UUID::random(), makeIdentity("Test Mac"), port, false,
                                    QUICConfiguration(), SystemClock::shared());
  }

  asio::awaitable<std::optional<std::shared_ptr<Connection>>> nextConnection(
      std::shared_ptr<QUICHostListener> listener) {
    auto stream = listener->connections();
    co_return co_await stream.next();
  }
};

asio::awaitable<std::uint16_t> ready(std::shared_ptr<QUICHostListener> listener) {
  co_return co_await listener->waitUntilReady();
}

// What waitUntilReady() threw, as text ("" when it returned).
asio::awaitable<std::string> readyError(std::shared_ptr<QUICHostListener> listener) {
  try {
    co_await listener->waitUntilReady();
  } catch (const std::exception& error) {
    co_return std::string(error.what());
  }
  co_return std::string();
}

TEST_F(QUICHostListenerTest, BindsAnyPortOrTheOneGivenAndReportsIt) {
  ListenerLog log;
  auto any = makeListener(std::nullopt);
  any->start();
  const uint16_t chosen = await(ready(any));
  EXPECT_NE(chosen, 0);
  EXPECT_EQ(await(ready(any)), chosen) << "a second wait returns the port at once";

  // A free port, given explicitly.
  uint16_t free;
  {
    asio::ip::udp::socket probe(io, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
    free = probe.local_endpoint().port();
  }
  auto given = makeListener(free);
  given->start();
  EXPECT_EQ(await(ready(given)), free);

  const auto lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "listener ready port=" + std::to_string(chosen) + " advertise=false"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "listener ready port=" + std::to_string(free) + " advertise=false"),
            lines.end());

  // A port once bound is still returned after stop.
  any->stop();
  any->stop();
  EXPECT_EQ(await(ready(any)), chosen);
  given->stop();
}

TEST_F(QUICHostListenerTest, APortInUseFailsTheListenerWhichStopsItself) {
  ListenerLog log;
  asio::ip::udp::socket occupant(io, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
  auto listener = makeListener(occupant.local_endpoint().port());
  listener->start();
  const std::string error = await(readyError(listener));
  EXPECT_FALSE(error.empty()) << "the wait fails with the platform's error";
  EXPECT_EQ(await(readyError(listener)), error) << "and fails again at once with the same error";
  EXPECT_EQ(await(nextConnection(listener)), std::nullopt) << "connections ended";
  const auto lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "listener failed: " + error), lines.end());
}

TEST_F(QUICHostListenerTest, StoppingBeforeReadinessFailsEveryWaitWithStopped) {
  auto listener = makeListener(std::nullopt);  // never started: it never becomes ready
  auto pending = asio::co_spawn(io, readyError(listener), asio::use_future);
  // Let the wait park before stopping.
  for (int i = 0; i < 100 && pending.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready; ++i) {
  }
  listener->stop();
  ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(pending.get(), "stopped");
  // A wait that begins after stop() has nothing to wait for: it fails the same way at once.
  EXPECT_EQ(await(readyError(listener)), "stopped");
}

TEST_F(QUICHostListenerTest, HandsOutOnlyConnectionsThatBecameReady) {
  auto listener = makeListener(std::nullopt);
  listener->start();
  const uint16_t port = await(ready(listener));

  // A device that pins another certificate gives up during the handshake: never handed out.
  Bytes wrongPin(32, 0x5A);
  auto refused = [](asio::io_context& io, uint16_t port, Bytes pin) -> asio::awaitable<std::string> {
    try {
      co_await connectQUIC(io, "127.0.0.1", port, ServerTrust::pinned(pin), QUICConfiguration(), SystemClock::shared());
    } catch (const QUICError& error) {
      co_return error == QUICError::pinMismatch() ? "pin mismatch" : error.text();
    }
    co_return "connected";
  };
  EXPECT_EQ(await(refused(io, port, wrongPin)), "pin mismatch");

  // A device that pins the listener's certificate comes through, ready.
  auto connected = await(connectQUIC(io, "127.0.0.1", port, ServerTrust::pinned(listener->certificateFingerprint()),
                                     QUICConfiguration(), SystemClock::shared()));
  EXPECT_EQ(connected->peerFingerprint(), listener->certificateFingerprint());
  auto incoming = await(nextConnection(listener));
  ASSERT_TRUE(incoming && *incoming) << "the ready connection is handed out";
  EXPECT_EQ((*incoming)->exporter(), connected->exporter()) << "both ends of one session";
  EXPECT_TRUE((*incoming)->exporter().has_value());

  // Stopping ends the sequence; the connection already handed out stays open.
  listener->stop();
  EXPECT_EQ(await(nextConnection(listener)), std::nullopt);
  connected->close();
  (*incoming)->close();
}

TEST_F(QUICHostListenerTest, MakesAThrowAwayIdentityWhenGivenNone) {
  auto listener = QUICHostListener::create(io, "Spare Mac", std::nullopt, nullptr, std::nullopt, false,
                                           QUICConfiguration(), SystemClock::shared());
  EXPECT_EQ(listener->certificateFingerprint().size(), 32u);
  listener->start();
  const uint16_t port = await(ready(listener));
  auto connected =
      await(connectQUIC(io, "127.0.0.1", port, ServerTrust::unpinned(), QUICConfiguration(), SystemClock::shared()));
  EXPECT_EQ(connected->peerFingerprint(), listener->certificateFingerprint());
  connected->close();
  listener->stop();
}

TEST_F(QUICHostListenerTest, ConnectRefusesPortZero) {
  auto attempt = [](asio::io_context& io) -> asio::awaitable<std::string> {
    try {
      co_await connectQUIC(io, "127.0.0.1", 0, ServerTrust::unpinned(), QUICConfiguration(), SystemClock::shared());
    } catch (const QUICError& error) {
      co_return error.text();
    }
    co_return "connected";
  };
  EXPECT_EQ(await(attempt(io)), "bad port");
}

TEST_F(QUICHostListenerTest, CancellingAConnectClosesTheConnectionAndFailsTheCall) {
  // Nothing answers QUIC on this port: the handshake would wait for its time-out.
  asio::ip::udp::socket silent(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const uint16_t port = silent.local_endpoint().port();
  auto outcome = std::make_shared<std::promise<std::string>>();
  auto attempt = [](asio::io_context& io, uint16_t port,
                    std::shared_ptr<std::promise<std::string>> outcome) -> asio::awaitable<void> {
    try {
      co_await connectQUIC(io, "127.0.0.1", port, ServerTrust::unpinned(), QUICConfiguration(), SystemClock::shared());
      outcome->set_value("connected");
    } catch (const QUICError& error) {
      outcome->set_value(error.text());
    } catch (const std::exception& error) {
      outcome->set_value(std::string("other: ") + error.what());
    }
  };
  auto result = outcome->get_future();
  Task task = Task::spawn(makeStrand(io.get_executor()), attempt(io, port, outcome));
  // The handshake is under way once the first packet has reached the silent socket.
  std::array<char, 2048> packet;
  asio::ip::udp::endpoint from;
  silent.receive_from(asio::buffer(packet), from);
  task.cancel();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the cancelled call still waits";
  EXPECT_EQ(result.get(), "closed");
}

}  // namespace
}  // namespace brindlet
