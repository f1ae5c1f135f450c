// Remote access on loopback, the relayed path beside the direct one in the same run:
//  - BM_Video/<relayed>: one-way throughput of 100 kB video frames from the host's
//    QUICConnection to a device, 32 MiB an iteration, the sender offering a frame whenever the
//    in-flight budget has room (nothing is lost, every byte counted). relayed=0: the device
//    connects straight to the listener; relayed=1: through the test relay, the host's relay
//    service and its loopback flow, and the device's relay link, with the relayed QUIC limits.
//  - BM_RoundTrip/<relayed>: a ping answered by a pong, 100 an iteration.
// Counters: bytes_per_second, round_trip (seconds per round trip).
#include <benchmark/benchmark.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "kit/pairing/AuthCrypto.h"
#include "kit/protocol/WireCodec.h"
#include "kit/relay/RelayClientLink.h"
#include "kit/relay/RelayHostService.h"
#include "kit/relay/RelayJoinGrant.h"
#include "kit/relay/RelaySigner.h"
#include "kit/support/SystemClock.h"
#include "kit/transport/QUICConnection.h"
#include "platform/crypto/SecureRandom.h"
#include "platform/http/HTTPSession.h"
#include "platform/quic/QUICListener.h"
#include "tests/platform/quic/TestCertificate.h"
#include "tests/relay/TestRelay.h"

using namespace brindlet;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kBytesPerIteration = 32 * 1024 * 1024;
constexpr std::size_t kFrameBytes = 100'000;

// A coordinator that always hands out a token for the test relay.
class TokenDesk final : public platform::HTTPSession {
 public:
  TokenDesk(Bytes secret, Bytes hostKey, std::uint16_t relayPort)
      : secret_(std::move(secret)), hostKey_(std::move(hostKey)), relayPort_(relayPort) {}
  asio::awaitable<platform::HTTPResponse> send(platform::HTTPRequest) override {
    std::uint64_t expires = unixSeconds(std::chrono::system_clock::now()) + 3600;
    std::string body = R"({"token":")" +
                       AuthCrypto::base64URLEncode(testing::makeRelayToken(secret_, hostKey_, expires)) +
                       R"(","relays":[{"region":"sin","host":"127.0.0.1","port":)" + std::to_string(relayPort_) +
                       R"(}],"expires_at":)" + std::to_string(expires) + "}";
    platform::HTTPResponse response;
    response.status = 200;
    response.body.assign(body.begin(), body.end());
    co_return response;
  }

 private:
  Bytes secret_, hostKey_;
  std::uint16_t relayPort_;
};

struct Path {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::thread> threads;
  Strand strand = makeStrand(io.get_executor());
  std::shared_ptr<platform::QUICListener> listener;
  std::shared_ptr<QUICConnection> host;
  std::shared_ptr<Connection> device;
  std::unique_ptr<testing::TestRelay> relay;
  std::shared_ptr<RelayHostService> service;

  explicit Path(bool relayed) {
    for (int i = 0; i < 3; ++i) threads.emplace_back([this] { io.run(); });
    auto identity = testing::makeTestIdentity();
    QUICConfiguration configuration = relayed ? relayedQUICConfiguration() : QUICConfiguration{};
    listener =
        platform::QUICListener::make(io, makeQUICParameters(identity, nullptr, configuration, io.get_executor()));
    if (listener->listen({asio::ip::make_address("127.0.0.1"), 0})) throw std::runtime_error("cannot listen");
    std::promise<std::shared_ptr<QUICConnection>> accepted;
    listener->setNewGroupHandler([&accepted, configuration](std::shared_ptr<platform::QUICGroup> group) {
      auto connection = QUICConnection::makeHost(group, configuration, SystemClock::shared());
      connection->start();
      accepted.set_value(connection);
    });
    ServerTrust trust = ServerTrust::pinned(certificateFingerprint(identity.certificateDER));
    if (!relayed) {
      auto quic = QUICConnection::makeClient(io, {asio::ip::make_address("127.0.0.1"), listener->port()}, trust,
                                             configuration, SystemClock::shared());
      quic->start();
      asio::co_spawn(strand, quic->waitUntilReady(), asio::use_future).get();
      device = quic;
    } else {
      Bytes secret = platform::secureRandomBytes(32);
      relay = std::make_unique<testing::TestRelay>(io.get_executor(), secret);
      relay->start();
      auto hostSigner = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
      auto desk = std::make_shared<TokenDesk>(secret, hostSigner->publicKey(), relay->port());
      auto clock = SystemClock::shared();
      auto coordinator =
          CoordinatorClient::make(io.get_executor(), "https://coordinator.test", hostSigner, desk, clock);
      service = RelayHostService::make(io.get_executor(), clock, coordinator, hostSigner, listener->port(), {}, {});
      service->start();
      while (service->current().kind != RelayHostService::Status::Kind::registered) std::this_thread::sleep_for(1ms);
      auto deviceSigner = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
      Bytes grant = issueRelayJoinGrant(deviceSigner->publicKey(), *hostSigner, std::chrono::system_clock::now(),
                                        relayGrantValidity);
      std::vector<RelayEndpoint> relays{{"127.0.0.1", relay->port()}};
      device =
          asio::co_spawn(strand, connectThroughRelay(io, clock, relays, grant, deviceSigner, trust), asio::use_future)
              .get();
    }
    host = accepted.get_future().get();
    asio::co_spawn(strand, host->waitUntilReady(), asio::use_future).get();
  }
  ~Path() {
    device->close();
    if (service) service->stop();
    listener->cancel();
    host.reset();
    device.reset();
    std::this_thread::sleep_for(50ms);
    relay.reset();
    work.reset();
    io.stop();
    for (auto& thread : threads) thread.join();
  }
};

struct FrameCounter {
  std::mutex mutex;
  std::condition_variable arrived;
  std::size_t count = 0;

  static asio::awaitable<void> consume(AsyncStream<VideoFrame> frames, FrameCounter* counter) {
    while (auto frame = co_await frames.next()) {
      std::lock_guard lock(counter->mutex);
      ++counter->count;
      counter->arrived.notify_all();
    }
  }
  void waitFor(std::size_t total) {
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return count >= total; });
  }
};

void BM_Video(benchmark::State& state) {
  Path path(state.range(0) != 0);
  FrameCounter counter;
  asio::co_spawn(path.strand, FrameCounter::consume(path.device->videoFrames(), &counter), asio::detached);
  VideoFrame frame;
  frame.width = 1920;
  frame.height = 1080;
  frame.parameterSets = {Bytes(24, 1), Bytes(40, 2), Bytes(8, 3)};
  frame.payload = Bytes(kFrameBytes, 0x5a);
  const std::size_t frames = kBytesPerIteration / kFrameBytes;
  const std::size_t encoded = WireCodec::encodeVideoFrame(frame).size();
  const std::int64_t budget = path.host->configuration().maxVideoFramesInFlight;
  std::size_t expected = 0;
  for (auto _ : state) {
    expected += frames;
    for (std::size_t sent = 0; sent < frames;) {
      while (path.host->videoFramesInFlight() >= budget) std::this_thread::yield();
      if (path.host->sendVideo(frame)) ++sent;
    }
    counter.waitFor(expected);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames * encoded));
}
BENCHMARK(BM_Video)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

asio::awaitable<void> echoPings(std::shared_ptr<QUICConnection> host) {
  auto messages = host->messages();
  while (auto message = co_await messages.next()) {
    if (const auto* ping = message->as<msg::Ping>()) {
      Message pong = msg::Pong{ping->value};
      host->send(pong);
    }
  }
}

constexpr int kRoundTrips = 100;

asio::awaitable<bool> pingPong(std::shared_ptr<Connection> device, AsyncStream<Message> replies, std::uint64_t first) {
  for (int i = 0; i < kRoundTrips; ++i) {
    Message ping = msg::Ping{first + static_cast<std::uint64_t>(i)};
    device->send(ping);
    auto reply = co_await replies.next();
    if (!reply || !reply->is<msg::Pong>()) co_return false;
  }
  co_return true;
}

void BM_RoundTrip(benchmark::State& state) {
  Path path(state.range(0) != 0);
  asio::co_spawn(path.strand, echoPings(path.host), asio::detached);
  auto replies = path.device->messages();
  std::uint64_t value = 0;
  for (auto _ : state) {
    bool answered = asio::co_spawn(path.strand, pingPong(path.device, replies, value), asio::use_future).get();
    value += kRoundTrips;
    if (!answered) {
      state.SkipWithError("no pong");
      break;
    }
  }
  state.counters["round_trip"] = benchmark::Counter(static_cast<double>(state.iterations() * kRoundTrips),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RoundTrip)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
