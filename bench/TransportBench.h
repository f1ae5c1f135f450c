#pragma once

// What the transport benchmarks share: a QUIC listener on loopback that hands over its first
// connection as the host's, the video frames they send and the counting of what arrives, the
// sender's loop that waits for room in the in-flight budget, and the ping-pong round trip.
//
//   BenchListener listener(io, identity, configuration);       // listening on 127.0.0.1
//   ... connect a device to listener.port() ...
//   auto host = listener.host(strand);                          // accepted and ready
//   FrameCounter counter;
//   asio::co_spawn(strand, FrameCounter::consume(device->videoFrames(), &counter), asio::detached);
//   drops += sendVideoFrames(*host, benchVideoFrame(100'000), frames, counter);
//   counter.waitFor(expected);

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kit/protocol/Message.h"
#include "kit/support/SystemClock.h"
#include "kit/transport/QUICConnection.h"
#include "platform/quic/QUICListener.h"

namespace brindlet::bench {

// A QUIC listener on 127.0.0.1 (a port the system chooses) whose first connection becomes a
// started host connection with the same limits.
class BenchListener {
 public:
  BenchListener(asio::io_context& io, const platform::QUICIdentity& identity, QUICConfiguration configuration)
      : listener_(
            platform::QUICListener::make(io, makeQUICParameters(identity, nullptr, configuration, io.get_executor()))) {
    if (listener_->listen({asio::ip::make_address("127.0.0.1"), 0})) throw std::runtime_error("cannot listen");
    listener_->setNewGroupHandler([this, configuration](std::shared_ptr<platform::QUICGroup> group) {
      auto connection = QUICConnection::makeHost(group, configuration, SystemClock::shared());
      connection->start();
      accepted_.set_value(connection);
    });
  }
  ~BenchListener() { listener_->cancel(); }
  BenchListener(const BenchListener&) = delete;
  BenchListener& operator=(const BenchListener&) = delete;

  std::uint16_t port() const { return listener_->port(); }
  // The host's connection, once accepted and ready.
  std::shared_ptr<QUICConnection> host(const Strand& strand) {
    auto host = accepted_.get_future().get();
    asio::co_spawn(strand, host->waitUntilReady(), asio::use_future).get();
    return host;
  }

 private:
  std::shared_ptr<platform::QUICListener> listener_;
  std::promise<std::shared_ptr<QUICConnection>> accepted_;
};

inline VideoFrame benchVideoFrame(std::size_t payload) {
  VideoFrame frame;
  frame.width = 1920;
  frame.height = 1080;
  frame.parameterSets = {Bytes(24, 1), Bytes(40, 2), Bytes(8, 3)};
  frame.payload = Bytes(payload, 0x5a);
  return frame;
}

// Counts received frames and wakes the sender's thread when the expected number has come.
struct FrameCounter {
  std::mutex mutex;
  std::condition_variable arrived;
  std::size_t count = 0;
  std::size_t bytes = 0;

  static asio::awaitable<void> consume(AsyncStream<VideoFrame> frames, FrameCounter* counter) {
    while (auto frame = co_await frames.next()) {
      std::lock_guard lock(counter->mutex);
      ++counter->count;
      counter->bytes += frame->payload.size();
      counter->arrived.notify_all();
    }
  }
  void waitFor(std::size_t total) {
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return count >= total; });
  }
  // Sleeps until `ready` holds, woken by each arrival. A frame leaves the sender's budget when
  // its acknowledgement comes back, a moment after it arrived here: between arrivals the
  // wait looks again every 50 µs instead.
  template <class Ready>
  void sleepUntil(Ready ready) {
    std::unique_lock lock(mutex);
    while (!ready()) arrived.wait_for(lock, std::chrono::microseconds(50));
  }
};

// Sends `frames` copies of `frame` from the host, offering each once fewer than the budget's
// frames are in flight (as a capture pipeline would) and again when the budget refused it: a
// refused frame costs its encoding. How many offers were refused.
inline std::size_t sendVideoFrames(QUICConnection& host, const VideoFrame& frame, std::size_t frames,
                                   FrameCounter& counter) {
  const std::int64_t budget = host.configuration().maxVideoFramesInFlight;
  std::size_t drops = 0;
  for (std::size_t sent = 0; sent < frames;) {
    if (host.videoFramesInFlight() >= budget) {
      counter.sleepUntil([&] { return host.videoFramesInFlight() < budget; });
    }
    if (host.sendVideo(frame)) {
      ++sent;
    } else {
      ++drops;
    }
  }
  return drops;
}

// The host's side of the round trip: a pong for every ping.
inline asio::awaitable<void> echoPings(std::shared_ptr<QUICConnection> host) {
  auto messages = host->messages();
  while (auto message = co_await messages.next()) {
    if (const auto* ping = message->as<msg::Ping>()) {
      Message pong = msg::Pong{ping->value};
      host->send(pong);
    }
  }
}

inline constexpr int kRoundTripsPerIteration = 100;

// Pings from the device and waits for each pong, all on the context (no thread hand-over to
// the benchmark's thread in between).
inline asio::awaitable<bool> pingPong(std::shared_ptr<Connection> device, AsyncStream<Message> replies,
                                      std::uint64_t first) {
  for (int i = 0; i < kRoundTripsPerIteration; ++i) {
    Message ping = msg::Ping{first + static_cast<std::uint64_t>(i)};
    device->send(ping);
    auto reply = co_await replies.next();
    if (!reply || !reply->is<msg::Pong>()) co_return false;
  }
  co_return true;
}

}  // namespace brindlet::bench
