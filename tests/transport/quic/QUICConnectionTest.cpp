#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <mutex>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>

#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/protocol/WireCodec.h"
#include "kit/support/ManualClock.h"
#include "kit/transport/QUICConnection.h"
#include "platform/quic/Eventually.h"
#include "platform/quic/QUICListener.h"
#include "platform/quic/TestCertificate.h"

namespace brindlet {
namespace {

using namespace std::chrono_literals;
using platform::QUICGroup;
using platform::QUICGroupState;
using platform::QUICListener;

using testing::eventually;

class QUICConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) threads.emplace_back([this] { io.run(); });
  }
  void TearDown() override {
    if (listener) listener->cancel();
    {
      std::lock_guard lock(mutex);
      hosts.clear();
    }
    work.reset();
    io.stop();
    for (auto& thread : threads) thread.join();
  }

  // A host listener that wraps each accepted group in a host-side connection.
  void listen(QUICConfiguration configuration = {}, std::uint64_t maxStreams = 8,
              std::optional<platform::QUICParameters> given = std::nullopt) {
    auto parameters = given ? *given : makeQUICParameters(identity, nullptr, configuration, io.get_executor());
    parameters.initialMaxStreamsBidi = maxStreams;
    listener = QUICListener::make(io, parameters);
    ASSERT_FALSE(listener->listen({asio::ip::make_address("127.0.0.1"), 0}));
    listener->setNewGroupHandler([this, configuration](std::shared_ptr<QUICGroup> group) {
      auto connection = QUICConnection::makeHost(group, configuration, clock);
      connection->start();
      std::lock_guard lock(mutex);
      hosts.push_back(connection);
    });
  }
  asio::ip::udp::endpoint endpoint(std::uint16_t port = 0) {
    return {asio::ip::make_address("127.0.0.1"), port ? port : listener->port()};
  }
  std::shared_ptr<QUICConnection> device(ServerTrust trust, QUICConfiguration configuration = {},
                                         std::uint16_t port = 0, std::shared_ptr<ManualClock> itsClock = nullptr) {
    auto connection = QUICConnection::makeClient(io, endpoint(port), trust, configuration, itsClock ? itsClock : clock);
    connection->start();
    return connection;
  }
  std::shared_ptr<QUICConnection> pinnedDevice() { return device(ServerTrust::pinned(fingerprint)); }
  std::shared_ptr<QUICConnection> host(std::size_t index = 0) {
    bool there = eventually([&] {
      std::lock_guard lock(mutex);
      return hosts.size() > index;
    });
    EXPECT_TRUE(there);
    std::lock_guard lock(mutex);
    return there ? hosts[index] : nullptr;
  }
  // Runs a coroutine on the context and waits (bounded) for its result.
  template <class T>
  T run(asio::awaitable<T> operation) {
    auto future = asio::co_spawn(strand, std::move(operation), asio::use_future);
    if (future.wait_for(10s) != std::future_status::ready) throw std::runtime_error("coroutine did not finish");
    return future.get();
  }
  void ready(const std::shared_ptr<QUICConnection>& connection) { run(connection->waitUntilReady()); }
  // A pinned device and the host's side of its connection, both ready.
  std::pair<std::shared_ptr<QUICConnection>, std::shared_ptr<QUICConnection>> connectedPair() {
    std::size_t index;
    {
      std::lock_guard lock(mutex);
      index = hosts.size();
    }
    auto d = pinnedDevice();
    ready(d);
    auto h = host(index);
    ready(h);
    return {d, h};
  }
  // Every state up to the end of the sequence.
  std::vector<ConnectionState> allStates(const std::shared_ptr<QUICConnection>& connection) {
    std::vector<ConnectionState> states;
    auto stream = connection->states();
    while (auto state = run(stream.next())) states.push_back(*state);
    return states;
  }
  // The error is caught on the connection's side of the context: only a plain value crosses
  // threads (an exception carried through a future would too, but outside the race checker's view).
  static asio::awaitable<std::optional<QUICError>> readinessOutcome(std::shared_ptr<QUICConnection> connection) {
    std::optional<QUICError> outcome;
    try {
      co_await connection->waitUntilReady();
    } catch (const QUICError& error) {
      outcome = error;
    }
    co_return outcome;
  }
  QUICError readinessError(const std::shared_ptr<QUICConnection>& connection) {
    auto outcome = run(readinessOutcome(connection));
    if (!outcome) {
      ADD_FAILURE() << "the connection became ready";
      return QUICError::failed("");
    }
    return *outcome;
  }

  // A device made of the bare transport: opens streams with whatever preamble it is told.
  struct RawDevice {
    std::shared_ptr<QUICGroup> group;
    std::vector<std::shared_ptr<platform::QUICStream>> streams;
  };
  RawDevice rawDevice(const std::vector<std::uint8_t>& preambles) {
    RawDevice raw;
    auto parameters = makeQUICParameters(std::nullopt, nullptr, {}, io.get_executor());
    raw.group = QUICGroup::connect(io, endpoint(), parameters);
    auto isReady = std::make_shared<std::atomic<bool>>(false);
    raw.group->setStateHandler(
        [isReady](QUICGroupState state, auto) { *isReady = *isReady || state == QUICGroupState::ready; });
    raw.group->start();
    EXPECT_TRUE(eventually([&] { return isReady->load(); }));
    for (std::uint8_t preamble : preambles) {
      std::promise<std::shared_ptr<platform::QUICStream>> opened;
      asio::post(raw.group->executor(), [&] { opened.set_value(raw.group->openStream()); });
      auto stream = opened.get_future().get();
      stream->send(Bytes{preamble}, false, nullptr);
      raw.streams.push_back(stream);
    }
    return raw;
  }

  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  Strand strand = makeStrand(io.get_executor());
  std::vector<std::thread> threads;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  platform::QUICIdentity identity = testing::makeTestIdentity();
  Bytes fingerprint = certificateFingerprint(identity.certificateDER);
  std::shared_ptr<QUICListener> listener;
  std::mutex mutex;
  std::vector<std::shared_ptr<QUICConnection>> hosts;
};

VideoFrame videoFrame(std::size_t size, std::uint64_t number = 1) {
  VideoFrame frame;
  frame.frameNumber = number;
  frame.isKeyframe = true;
  frame.width = 1920;
  frame.height = 1080;
  frame.parameterSets = {Bytes{0x40, 0x01}, Bytes{0x42, 0x01}};
  frame.payload = Bytes(size, static_cast<std::uint8_t>(number));
  return frame;
}

TEST_F(QUICConnectionTest, EveryKindOfTrafficFlowsOverTheFiveStreams) {
  listen();
  auto [d, h] = connectedPair();
  EXPECT_EQ(d->role(), QUICConnection::Role::client);
  EXPECT_EQ(h->role(), QUICConnection::Role::host);
  EXPECT_EQ(run(d->states().next()), ConnectionState::connecting());
  EXPECT_EQ(run(d->states().next()), ConnectionState::ready());
  EXPECT_EQ(run(h->states().next()), ConnectionState::connecting());
  EXPECT_EQ(run(h->states().next()), ConnectionState::ready());

  EXPECT_EQ(d->peerFingerprint(), fingerprint);
  EXPECT_FALSE(h->peerFingerprint());
  ASSERT_TRUE(d->exporter());
  EXPECT_EQ(d->exporter()->size(), 32u);
  EXPECT_EQ(d->exporter(), h->exporter());

  // Device to host: control, input and transfer.
  d->send(msg::Ping{7});
  d->send(msg::Text{"typed"});
  Message chunk = msg::FileChunk{3, 0, 0, Bytes(70000, 9)};
  EXPECT_TRUE(run(d->sendTransfer(chunk)));
  Message end = msg::FileEnd{3};
  d->send(end);
  std::vector<Message> received;
  auto messages = h->messages();
  for (int i = 0; i < 4; ++i) received.push_back(*run(messages.next()));
  auto has = [&](const Message& m) { return std::find(received.begin(), received.end(), m) != received.end(); };
  EXPECT_TRUE(has(msg::Ping{7}));
  EXPECT_TRUE(has(msg::Text{"typed"}));
  EXPECT_TRUE(has(chunk));
  EXPECT_TRUE(has(end));

  // Host to device: control, video, audio.
  h->send(msg::Pong{7});
  VideoFrame frame = videoFrame(300000);
  EXPECT_TRUE(h->sendVideo(frame));
  AudioPacket packet{123456, Bytes(480, 2)};
  EXPECT_TRUE(h->sendAudio(packet));
  EXPECT_EQ(run(d->messages().next()), Message(msg::Pong{7}));
  EXPECT_EQ(run(d->videoFrames().next()), frame);
  EXPECT_EQ(run(d->audioPackets().next()), packet);

  // The handshake timer firing after readiness changes nothing.
  clock->advance(10s);
  d->send(msg::Ping{8});
  EXPECT_EQ(run(messages.next()), Message(msg::Ping{8}));
  EXPECT_EQ(d->states().count(), 0u);
}

TEST_F(QUICConnectionTest, PinDecidesWhetherTheDeviceAcceptsTheHost) {
  listen();
  auto unpinned = device(ServerTrust::unpinned());
  ready(unpinned);
  EXPECT_EQ(unpinned->peerFingerprint(), fingerprint);

  auto pinned = device(ServerTrust::pinned(certificateFingerprint(Bytes{1, 2, 3})));
  QUICError error = readinessError(pinned);
  EXPECT_EQ(error, QUICError::pinMismatch());
  EXPECT_EQ(error.text(), "This Mac\u2019s identity changed. Re-pair?");
  EXPECT_EQ(allStates(pinned), (std::vector{ConnectionState::connecting(), ConnectionState::failed("pin mismatch")}));
  EXPECT_EQ(pinned->peerFingerprint(), fingerprint);  // seen before the comparison
  EXPECT_FALSE(pinned->exporter());
  EXPECT_EQ(run(pinned->messages().next()), std::nullopt);
  // Later waiters and a close change nothing.
  pinned->close();
  EXPECT_EQ(readinessError(pinned), QUICError::pinMismatch());
}

TEST_F(QUICConnectionTest, DevicesPinTheHostIdentity) {
  char folderTemplate[] = "/tmp/quic-keychain-XXXXXX";
  ASSERT_TRUE(mkdtemp(folderTemplate));
  platform::Keychain keychain{std::filesystem::path(folderTemplate)};
  auto hostIdentity = createSelfSignedIdentity("app.nolu.identity.test", false, "Test Mac", keychain);
  listen({}, 8, makeQUICParameters(hostIdentity, nullptr, {}, io.get_executor()));
  auto d = device(ServerTrust::pinned(hostIdentity->fingerprint));
  ready(d);
  EXPECT_EQ(d->peerFingerprint(), hostIdentity->fingerprint);
  auto h = host();
  ready(h);
  EXPECT_EQ(d->exporter(), h->exporter());
  d->close();
  listener->cancel();
  hostIdentity.reset();
  std::filesystem::remove_all(folderTemplate);
}

TEST_F(QUICConnectionTest, ClosingEndsBothSidesOnce) {
  listen();
  auto [d, h] = connectedPair();
  d->close();
  d->close();
  EXPECT_EQ(allStates(d),
            (std::vector{ConnectionState::connecting(), ConnectionState::ready(), ConnectionState::closed()}));
  // The host sees the end of the control stream and closes in turn.
  EXPECT_EQ(allStates(h),
            (std::vector{ConnectionState::connecting(), ConnectionState::ready(), ConnectionState::closed()}));
  ready(d);  // it was ready: waiting for readiness returns at once
  EXPECT_EQ(run(d->messages().next()), std::nullopt);
  EXPECT_EQ(run(h->messages().next()), std::nullopt);
  EXPECT_FALSE(h->sendVideo(videoFrame(10)));
  d->send(msg::Ping{1});  // dropped without notice
  EXPECT_FALSE(run(d->sendTransfer(msg::Ping{2})));

  // Closed before it was ready: waiters learn it.
  asio::ip::udp::socket silent(io, {asio::ip::make_address("127.0.0.1"), 0});
  auto early = device(ServerTrust::unpinned(), {}, silent.local_endpoint().port());
  early->close();
  EXPECT_EQ(readinessError(early), QUICError::failed("closed"));
  EXPECT_EQ(allStates(early), (std::vector{ConnectionState::connecting(), ConnectionState::closed()}));
}

// The last owner of a device's connection may let go of it on any thread, while the host's
// traffic is still being read from the connection's socket: the socket must not be closed
// under that read (the race checker's build watches for it).
TEST_F(QUICConnectionTest, ADeviceLetGoOfOnAnotherThreadWhileItReadsGoesQuietly) {
  listen();
  for (std::size_t round = 0; round < 6; ++round) {
    RawDevice raw = rawDevice({1, 2, 3, 4});
    auto h = host(round);
    ASSERT_TRUE(h);
    ready(h);
    std::atomic<bool> stop{false};
    std::thread flood([&stop, h] {
      for (std::uint32_t i = 0; !stop && i < 100'000; ++i) {
        h->send(msg::Ping{i});
        if (i % 32 == 0) std::this_thread::sleep_for(50us);
      }
    });
    std::this_thread::sleep_for(20ms);
    raw = {};  // while pings still arrive
    std::this_thread::sleep_for(20ms);
    stop = true;
    flood.join();
  }
}

TEST_F(QUICConnectionTest, HostChecksPreamblesAndNeedsFourStreamsForReadiness) {
  listen();
  struct Case {
    std::vector<std::uint8_t> preambles;
    std::optional<std::string> failure;  // absent: ready
  };
  const Case cases[] = {
      {{1, 2, 3, 4}, std::nullopt},
      {{1, 2, 3, 3}, "duplicate video stream"},
      {{0}, "bad stream preamble"},
      {{6}, "bad stream preamble"},
  };
  std::size_t index = 0;
  for (const Case& c : cases) {
    RawDevice raw = rawDevice(c.preambles);
    auto h = host(index++);
    ASSERT_TRUE(h);
    if (!c.failure) {
      ready(h);
      // Ready without a transfer stream: a transfer has nowhere to go.
      EXPECT_FALSE(run(h->sendTransfer(msg::FileEnd{1})));
    } else {
      EXPECT_EQ(readinessError(h), QUICError::failed(*c.failure));
      auto states = allStates(h);
      EXPECT_EQ(states.back(), ConnectionState::failed(*c.failure));
    }
    raw.group->cancel();
  }
}

TEST_F(QUICConnectionTest, DecodingErrorsDropAFrameOrEndTheConnection) {
  listen();
  RawDevice raw = rawDevice({1, 2, 3, 4});
  auto h = host();
  ready(h);
  Bytes bytes = WireCodec::frame(Bytes{0x24, 1, 2});  // no message has type 0x24
  Message ping = msg::Ping{5};
  WireCodec::encode(ping, bytes);
  raw.streams[0]->send(bytes, false, nullptr);
  auto messages = h->messages();
  EXPECT_EQ(run(messages.next()), ping);

  Bytes tooLarge{0x04, 0x00, 0x00, 0x01, 0x0D};  // announces 67,108,865 bytes
  raw.streams[1]->send(tooLarge, false, nullptr);
  EXPECT_EQ(allStates(h).back(), ConnectionState::failed("protocol error: frameTooLarge(67108865)"));
}

TEST_F(QUICConnectionTest, DeviceRefusesHostStreamsAndOutlivesTheEndOfItsVideoStream) {
  // A host made of the bare transport.
  listener = QUICListener::make(io, makeQUICParameters(identity, nullptr, {}, io.get_executor()));
  ASSERT_FALSE(listener->listen({asio::ip::make_address("127.0.0.1"), 0}));
  std::promise<std::shared_ptr<QUICGroup>> accepted;
  std::map<std::uint8_t, std::shared_ptr<platform::QUICStream>> byKind;
  listener->setNewGroupHandler([&](std::shared_ptr<QUICGroup> group) {
    group->setNewStreamHandler([&](std::shared_ptr<platform::QUICStream> stream) {
      stream->receive(1, 1, [&, stream](Bytes content, bool, auto) {
        std::lock_guard lock(mutex);
        if (!content.empty()) byKind[content[0]] = stream;
      });
    });
    group->start();
    accepted.set_value(group);
  });
  auto d = pinnedDevice();
  ready(d);
  auto group = accepted.get_future().get();
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return byKind.size() == 5;
  }));

  std::promise<std::shared_ptr<platform::QUICStream>> opened;
  asio::post(group->executor(), [&] { opened.set_value(group->openStream()); });
  auto pushed = opened.get_future().get();
  ASSERT_TRUE(pushed);
  pushed->send(Bytes{1}, false, nullptr);
  std::promise<std::string> refused;
  pushed->receive(1, 1, [&](Bytes, bool, std::optional<platform::QUICTransportError> error) {
    refused.set_value(error ? error->text : "");
  });
  EXPECT_EQ(refused.get_future().get().rfind("stream reset by peer", 0), 0u);

  std::shared_ptr<platform::QUICStream> control, video;
  {
    std::lock_guard lock(mutex);
    control = byKind[1];
    video = byKind[3];
  }
  video->send({}, true, nullptr);  // the host ends its video stream
  Message pong = msg::Pong{4};
  control->send(WireCodec::encode(pong), false, nullptr);
  EXPECT_EQ(run(d->messages().next()), pong);
  EXPECT_EQ(d->states().count(), 2u);  // connecting, ready: nothing ended
  group->setNewStreamHandler(nullptr);
  listener->cancel();
}

TEST_F(QUICConnectionTest, DeviceFailsWhenItCannotOpenItsStreams) {
  listen({}, 3);
  auto d = pinnedDevice();
  EXPECT_EQ(readinessError(d), QUICError::failed("could not open audio stream"));
}

TEST_F(QUICConnectionTest, TimersEndConnectionsThatDoNotComeUp) {
  // Nothing answers: the handshake timer ends it.
  asio::ip::udp::socket silent(io, {asio::ip::make_address("127.0.0.1"), 0});
  auto d = device(ServerTrust::unpinned(), {}, silent.local_endpoint().port());
  ASSERT_TRUE(eventually([&] { return clock->sleeperCount() >= 1; }));
  clock->advance(9900ms);
  EXPECT_EQ(d->states().count(), 1u);  // still connecting
  clock->advance(100ms);
  EXPECT_EQ(readinessError(d), QUICError::failed("handshake timed out"));

  // Nothing listens: the network refuses, and after 3 s the connection gives up.
  std::uint16_t closedPort;
  {
    asio::ip::udp::socket gone(io, {asio::ip::make_address("127.0.0.1"), 0});
    closedPort = gone.local_endpoint().port();
  }
  auto refusedClock = std::make_shared<ManualClock>();
  auto refused = device(ServerTrust::unpinned(), {}, closedPort, refusedClock);
  // Its handshake timer and the check of the waiting state.
  ASSERT_TRUE(eventually([&] { return refusedClock->sleeperCount() == 2; }));
  refusedClock->advance(2900ms);
  EXPECT_EQ(refused->states().count(), 1u);
  refusedClock->advance(100ms);
  QUICError error = readinessError(refused);
  EXPECT_EQ(error.reason().rfind("network unavailable: ", 0), 0u) << error.reason();
}

TEST_F(QUICConnectionTest, VideoBudgetsDropFramesWhileTheDeviceIsBehind) {
  struct Case {
    std::int64_t frames;
    std::int64_t bytes;
    std::size_t frameSize;
  };
  // Three frames in flight; or bytes: 2,000,000 in flight still admit another frame.
  for (const Case& c : {Case{3, std::int64_t(1) << 40, 100000}, Case{100, 2'097'152, 1'000'000}}) {
    QUICConfiguration configuration;
    configuration.maxVideoFramesInFlight = c.frames;
    configuration.maxVideoBytesInFlight = c.bytes;
    listen(configuration);
    auto [d, h] = connectedPair();
    VideoFrame frame = videoFrame(c.frameSize);
    // The device stops reading once eight frames wait. Each of those eight reaches it before the
    // next one leaves: a device that fell behind could take two in one read and hold nine.
    for (std::size_t i = 0; i < 8; ++i) {
      ASSERT_TRUE(h->sendVideo(frame));
      ASSERT_TRUE(eventually([&] { return d->videoFrames().count() == i + 1; }));
    }
    // Then its window fills and a frame stays in flight. One still in flight after 300 ms is
    // taken for the jam only when it is still there a second later (a loaded machine is slow).
    bool jammed = false;
    for (int i = 0; i < 200 && !jammed; ++i) {
      ASSERT_TRUE(h->sendVideo(frame));
      jammed = !eventually([&] { return h->videoFramesInFlight() == 0; }, 300ms) &&
               !eventually([&] { return h->videoFramesInFlight() == 0; }, 1s);
    }
    ASSERT_TRUE(jammed);
    ASSERT_EQ(d->videoFrames().count(), 8u);
    int accepted = 0;
    while (accepted < 100 && h->sendVideo(frame)) ++accepted;
    EXPECT_EQ(accepted, 2);
    EXPECT_EQ(h->videoFramesInFlight(), 3);
    EXPECT_EQ(d->videoFrames().count(), 8u);

    // Taking frames lets the reader go on (it looks again 5 ms later), the transport drains
    // and the budget admits frames again.
    bool resumed = false;
    for (int i = 0; i < 60 && !resumed; ++i) {
      ASSERT_TRUE(run(d->videoFrames().next()));
      clock->advance(5ms);
      resumed = eventually([&] { return h->videoFramesInFlight() < 3; }, 200ms);
    }
    EXPECT_TRUE(resumed);
    EXPECT_TRUE(h->sendVideo(frame));
    d->close();
    listener->cancel();
    std::lock_guard lock(mutex);
    hosts.clear();
  }
}

TEST_F(QUICConnectionTest, TransfersWaitForTheirBudget) {
  listen();
  auto [d, h] = connectedPair();
  // A message above the budget goes at once when nothing is in flight; two at once take turns.
  Message big = msg::FileChunk{1, 0, 0, Bytes(300000, 4)};
  Message second = msg::FileChunk{1, 0, 300000, Bytes(300000, 5)};
  auto first = asio::co_spawn(strand, d->sendTransfer(big), asio::use_future);
  auto next = asio::co_spawn(strand, d->sendTransfer(second), asio::use_future);
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(next.get());
  auto messages = h->messages();
  EXPECT_EQ(run(messages.next()), big);
  EXPECT_EQ(run(messages.next()), second);

  // The device never reads its transfer stream: once the window is full a message stays in
  // flight and the next one waits, until the connection ends and it gets false. Messages go
  // one after another until one is still in flight two seconds on (a slow machine takes its
  // time to send, but never that long); the send after it is the one that waits.
  std::optional<std::future<bool>> waiting;
  for (int i = 0; i < 60 && !waiting; ++i) {
    const bool stuck = !eventually([&] { return h->transferBytesInFlight() == 0; }, 2s);
    auto send = asio::co_spawn(strand, h->sendTransfer(big), asio::use_future);
    if (stuck && send.wait_for(500ms) == std::future_status::timeout) {
      waiting = std::move(send);
    } else {
      ASSERT_TRUE(send.get());
    }
  }
  ASSERT_TRUE(waiting) << "every send went although the device never reads";
  h->close();
  ASSERT_EQ(waiting->wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(waiting->get());
}

}  // namespace
}  // namespace brindlet
