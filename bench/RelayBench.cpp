// Remote access on loopback, the relayed path beside the direct one in the same run:
//  - BM_Video/<relayed>: one-way throughput of 100 kB video frames from the host's
//    QUICConnection to a device, 32 MiB an iteration, the sender offering a frame whenever the
//    in-flight budget has room (nothing is lost, every byte counted). relayed=0: the device
//    connects straight to the listener; relayed=1: through the test relay, the host's relay
//    service and its loopback flow, and the device's relay link, with the relayed QUIC limits.
//    The host, the device and the relay each run on a context and threads of their own, as
//    the separate machines they are.
//  - BM_RoundTrip/<relayed>: a ping answered by a pong, 100 an iteration.
// Counters: bytes_per_second, round_trip (seconds per round trip).
#include <benchmark/benchmark.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <stdexcept>
#include <thread>
#include <vector>

#include "TransportBench.h"
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

// One side of the path (the host, the device, the relay), as the process of its own it is:
// a context run by its own threads.
struct Side {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  Strand strand = makeStrand(io.get_executor());
  std::vector<std::thread> threads;

  explicit Side(int threadCount) {
    for (int i = 0; i < threadCount; ++i) threads.emplace_back([this] { io.run(); });
  }
  ~Side() {
    work.reset();
    io.stop();
    for (auto& thread : threads) thread.join();
  }
};

// The host (three threads, as the host program runs its context), the device (two) and, when
// relayed, the relay (one).
struct Path {
  Side hostSide{3};
  Side deviceSide{2};
  std::unique_ptr<Side> relaySide;
  platform::QUICIdentity identity = testing::makeTestIdentity();
  std::unique_ptr<bench::BenchListener> listener;
  std::shared_ptr<QUICConnection> host;
  std::shared_ptr<Connection> device;
  std::unique_ptr<testing::TestRelay> relay;
  std::shared_ptr<RelayHostService> service;

  explicit Path(bool relayed) {
    QUICConfiguration configuration = relayed ? relayedQUICConfiguration() : QUICConfiguration{};
    listener = std::make_unique<bench::BenchListener>(hostSide.io, identity, configuration);
    ServerTrust trust = ServerTrust::pinned(certificateFingerprint(identity.certificateDER));
    if (!relayed) {
      auto quic = QUICConnection::makeClient(deviceSide.io, {asio::ip::make_address("127.0.0.1"), listener->port()},
                                             trust, configuration, SystemClock::shared());
      quic->start();
      asio::co_spawn(deviceSide.strand, quic->waitUntilReady(), asio::use_future).get();
      device = quic;
    } else {
      relaySide = std::make_unique<Side>(1);
      Bytes secret = platform::secureRandomBytes(32);
      relay = std::make_unique<testing::TestRelay>(relaySide->io.get_executor(), secret);
      relay->start();
      auto hostSigner = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
      auto desk = std::make_shared<TokenDesk>(secret, hostSigner->publicKey(), relay->port());
      auto clock = SystemClock::shared();
      auto coordinator =
          CoordinatorClient::make(hostSide.io.get_executor(), "https://coordinator.test", hostSigner, desk, clock);
      service =
          RelayHostService::make(hostSide.io.get_executor(), clock, coordinator, hostSigner, listener->port(), {}, {});
      service->start();
      for (auto limit = std::chrono::steady_clock::now() + 10s;
           service->current().kind != RelayHostService::Status::Kind::registered;) {
        if (std::chrono::steady_clock::now() > limit)
          throw std::runtime_error("the host never registered with the relay");
        std::this_thread::sleep_for(1ms);
      }
      auto deviceSigner = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
      Bytes grant = issueRelayJoinGrant(deviceSigner->publicKey(), *hostSigner, std::chrono::system_clock::now(),
                                        relayGrantValidity);
      std::vector<RelayEndpoint> relays{{"127.0.0.1", relay->port()}};
      device = asio::co_spawn(deviceSide.strand,
                              connectThroughRelay(deviceSide.io, clock, relays, grant, deviceSigner, trust),
                              asio::use_future)
                   .get();
    }
    host = listener->host(hostSide.strand);
  }
  ~Path() {
    device->close();
    if (service) service->stop();
    listener.reset();
    host.reset();
    device.reset();
    std::this_thread::sleep_for(50ms);
    relay.reset();
  }
};

void BM_Video(benchmark::State& state) {
  Path path(state.range(0) != 0);
  bench::FrameCounter counter;
  asio::co_spawn(path.deviceSide.strand, bench::FrameCounter::consume(path.device->videoFrames(), &counter),
                 asio::detached);
  const VideoFrame frame = bench::benchVideoFrame(kFrameBytes);
  const std::size_t frames = kBytesPerIteration / kFrameBytes;
  const std::size_t encoded = WireCodec::encodeVideoFrame(frame).size();
  std::size_t expected = 0;
  for (auto _ : state) {
    expected += frames;
    bench::sendVideoFrames(*path.host, frame, frames, counter);
    counter.waitFor(expected);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames * encoded));
}
BENCHMARK(BM_Video)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_RoundTrip(benchmark::State& state) {
  Path path(state.range(0) != 0);
  asio::co_spawn(path.hostSide.strand, bench::echoPings(path.host), asio::detached);
  auto replies = path.device->messages();
  std::uint64_t value = 0;
  for (auto _ : state) {
    bool answered =
        asio::co_spawn(path.deviceSide.strand, bench::pingPong(path.device, replies, value), asio::use_future).get();
    value += bench::kRoundTripsPerIteration;
    if (!answered) {
      state.SkipWithError("no pong");
      break;
    }
  }
  state.counters["round_trip"] =
      benchmark::Counter(static_cast<double>(state.iterations() * bench::kRoundTripsPerIteration),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RoundTrip)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
