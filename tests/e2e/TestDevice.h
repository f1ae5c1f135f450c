#pragma once

// A device made of the kit's device half, for whole-process tests and tools: it browses for
// the host, connects over QUIC pinning the host's certificate, runs the device's handshake,
// says hello, sends input, and decodes the video it receives with libavcodec. Every call
// blocks the caller (bounded by a limit) while the device's own threads do the work.
//
//   TestDevice device(identity, "Test iPad");
//   device.connectTo(hostID, pin, 20s);        // find() and connect()
//   if (device.authenticate() != ClientHandshake::Event::authenticated()) ...
//   device.hello();
//   auto ack = device.waitFor<msg::HelloAck>(10s);
//   device.type("hello");
//   auto picture = device.waitForPicture([](const ReceivedPicture&) { return true; }, 10s);

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>

#include "kit/pairing/ClientHandshake.h"
#include "kit/pairing/ClientIdentity.h"
#include "kit/protocol/Message.h"
#include "kit/protocol/RelayEndpoint.h"
#include "kit/transport/Connection.h"
#include "kit/transport/DiscoveredHost.h"
#include "kit/transport/QUICHostBrowser.h"
#include "platform/capture/HEVCTestDecoder.h"

namespace brindlet::testing {

// One decoded frame of the host's video, with what the frame said about itself.
struct ReceivedPicture {
  DecodedPicture picture;
  std::uint32_t displayID = 0;
  std::uint64_t frameNumber = 0;
  bool isKeyframe = false;
  // On the clock of capture times (CLOCK_MONOTONIC_RAW, nanoseconds): when the host captured
  // the picture, when this device took the frame up and when its decoding was done.
  std::uint64_t captureTimeNs = 0;
  std::uint64_t receivedAtNs = 0;
  std::uint64_t decodedAtNs = 0;
};

class TestDevice {
 public:
  using PictureHandler = std::function<void(const ReceivedPicture&)>;

  // A device with a new identity.
  static ClientIdentity newIdentity();
  // Both 8-bit profiles, a 1920x1080 screen at scale 1.
  static ClientCapabilities defaultCapabilities();

  TestDevice(ClientIdentity identity, std::string name);
  ~TestDevice();
  TestDevice(const TestDevice&) = delete;
  TestDevice& operator=(const TestDevice&) = delete;

  const ClientIdentity& identity() const { return identity_; }
  const std::string& name() const { return name_; }

  // Browses until a host with `hostID` (any host when absent) is listed; nothing when none
  // is within `limit`.
  std::optional<DiscoveredHost> find(std::optional<UUID> hostID, std::chrono::milliseconds limit);
  // Finds the host and connects to it as find() and connect() do, trying again while the
  // connection fails for a reason other than the pin and `limit` has not passed: a host that
  // has just started under a name another one had can be listed with its predecessor's port
  // for a moment. The host as found; throws the last failure.
  DiscoveredHost connectTo(std::optional<UUID> hostID, const Bytes& pin, std::chrono::milliseconds limit);
  // Connects to a host that find() listed, or to an endpoint, pinning the host's
  // certificate; throws what the connection failed with.
  void connect(const DiscoveredHost& host, const Bytes& pin);
  void connect(const HostEndpoint& endpoint, const Bytes& pin);
  // Reaches the host only through a relay, as a device outside the local network does: joins
  // the host's relay session with the grant the host gave this device (tried relay by relay,
  // in order) and connects over that link, pinning the host's certificate; throws what the
  // link or the connection failed with.
  void connectThroughRelay(const std::vector<RelayEndpoint>& relays, const Bytes& grant, const Bytes& pin);
  // The device's handshake; its final event.
  // `onCode` is told the code to compare when the device pairs by comparison.
  ClientHandshake::Event authenticate(ClientHandshake::Purpose purpose = ClientHandshake::Purpose::authenticate(),
                                      double timeLimit = 15, std::function<void(const std::string&)> onCode = nullptr);
  // Starts taking in messages and video, then says hello.
  void hello(ClientCapabilities capabilities = defaultCapabilities());

  // Told of every message received since hello, on the device's thread, before the waiters.
  void onMessage(std::function<void(const Message&)> handler);
  // Every message received since hello, in order.
  std::vector<Message> received() const;
  // The first message since hello that `match` accepts, waiting up to `limit` for it.
  std::optional<Message> waitFor(const std::function<bool(const Message&)>& match, std::chrono::milliseconds limit);
  template <class T>
  std::optional<T> waitFor(std::chrono::milliseconds limit) {
    auto message = waitFor([](const Message& m) { return m.template is<T>(); }, limit);
    if (!message) return std::nullopt;
    return *message->template as<T>();
  }
  // True once the host's messages have ended (the connection is over), waiting up to `limit`.
  bool waitUntilEnded(std::chrono::milliseconds limit);

  void send(const Message& message);
  // A file chunk or end on the transfer stream, waiting while the transfer budget is full;
  // false when the connection is not ready or has ended.
  bool sendTransfer(const Message& message);
  void key(HIDUsage usage, bool down, ModifierFlags modifiers = {});
  void tap(HIDUsage usage, ModifierFlags modifiers = {});
  void type(const std::string& text);
  // An absolute move to (x, y), fractions of the display.
  void moveTo(std::uint32_t displayID, float x, float y);
  void button(PointerButton button, bool down);
  void click(PointerButton which = PointerButton::left);

  // Told of every decoded picture, on the decoding thread, before the waiters are.
  void onPicture(PictureHandler handler);
  // Waits up to `limit` for a decoded picture that `match` accepts: the latest one now, then
  // each newer one; the one accepted.
  std::optional<ReceivedPicture> waitForPicture(const std::function<bool(const ReceivedPicture&)>& match,
                                                std::chrono::milliseconds limit);
  std::uint64_t picturesDecoded() const;
  std::uint64_t framesReceived() const;
  // Every audio packet received so far.
  std::vector<AudioPacket> audioPackets() const;

  // Ends the connection, letting the host know (also done by the destructor).
  void close();

 private:
  struct State;
  static asio::awaitable<void> readMessages(std::shared_ptr<State> state, std::shared_ptr<Connection> connection);
  static asio::awaitable<void> readVideo(std::shared_ptr<State> state, std::shared_ptr<Connection> connection);
  static asio::awaitable<void> readAudio(std::shared_ptr<State> state, std::shared_ptr<Connection> connection);
  static asio::awaitable<void> readHosts(std::shared_ptr<State> state, AsyncStream<std::vector<DiscoveredHost>> hosts);

  const ClientIdentity identity_;
  const std::string name_;
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::vector<std::thread> threads_;
  std::shared_ptr<State> state_;
  std::shared_ptr<QUICHostBrowser> browser_;
  std::shared_ptr<Connection> connection_;
  Bytes pin_;
  std::uint32_t pointerSeq_ = 0;
  bool closed_ = false;
};

}  // namespace brindlet::testing
