#include "e2e/TestDevice.h"

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include <algorithm>
#include <future>
#include <stdexcept>

#include "kit/relay/RelayClientLink.h"
#include "kit/relay/RelaySigner.h"
#include "kit/support/SystemClock.h"
#include "kit/support/Task.h"
#include "platform/crypto/P256PrivateKey.h"
#include "platform/video/MediaClock.h"

namespace brindlet::testing {

struct TestDevice::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<DiscoveredHost> hosts;  // the browser's latest list
  std::vector<Message> messages;
  bool ended = false;
  std::optional<ReceivedPicture> latest;
  std::uint64_t picturesDecoded = 0;
  std::uint64_t framesReceived = 0;
  std::vector<AudioPacket> audioPackets;
  PictureHandler onPicture;
  std::function<void(const Message&)> onMessage;
  std::vector<Task> tasks;
};

namespace {

// Runs `operation` on the device's threads and waits for its result or exception.
template <class T>
T runOn(asio::io_context& io, asio::awaitable<T> operation) {
  return asio::co_spawn(io, std::move(operation), asio::use_future).get();
}

}  // namespace

ClientIdentity TestDevice::newIdentity() {
  return ClientIdentity{UUID::random(), platform::P256PrivateKey::generate()};
}

ClientCapabilities TestDevice::defaultCapabilities() {
  ClientCapabilities capabilities;
  capabilities.decodableProfiles = {CodecProfile::hevcMain444, CodecProfile::hevcMain};
  capabilities.screenPixelWidth = 1920;
  capabilities.screenPixelHeight = 1080;
  capabilities.scale = 1;
  capabilities.deviceModel = "TestDevice";
  return capabilities;
}

TestDevice::TestDevice(ClientIdentity identity, std::string name)
    : identity_(std::move(identity)), name_(std::move(name)), state_(std::make_shared<State>()) {
  work_.emplace(asio::make_work_guard(io_));
  for (int i = 0; i < 3; ++i) threads_.emplace_back([this] { io_.run(); });
}

TestDevice::~TestDevice() {
  close();
  std::vector<Task> tasks;
  {
    std::lock_guard lock(state_->mutex);
    tasks.swap(state_->tasks);
  }
  tasks.clear();  // cancels the readers
  work_.reset();
  io_.stop();
  for (auto& thread : threads_) thread.join();
}

void TestDevice::close() {
  if (connection_ && !closed_) {
    closed_ = true;
    connection_->close();
    // The close goes out on the device's threads (the end of the control stream, then the
    // transport's own close a tenth of a second later); they keep running for that long,
    // so the host learns of it at once rather than when the connection goes idle.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  if (browser_) browser_->stop();
}

asio::awaitable<void> TestDevice::readHosts(std::shared_ptr<State> state,
                                            AsyncStream<std::vector<DiscoveredHost>> hosts) {
  while (auto list = co_await hosts.next()) {
    std::lock_guard lock(state->mutex);
    state->hosts = std::move(*list);
    state->changed.notify_all();
  }
}

std::optional<DiscoveredHost> TestDevice::find(std::optional<UUID> hostID, std::chrono::milliseconds limit) {
  if (!browser_) {
    browser_ = QUICHostBrowser::create(io_);
    auto hosts = browser_->hosts();
    browser_->start();
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(Task::spawn(makeStrand(io_.get_executor()), readHosts(state_, hosts)));
  }
  std::unique_lock lock(state_->mutex);
  std::optional<DiscoveredHost> found;
  state_->changed.wait_for(lock, limit, [&] {
    for (const auto& host : state_->hosts) {
      if (!hostID || host.hostID == hostID) {
        found = host;
        return true;
      }
    }
    return false;
  });
  return found;
}

DiscoveredHost TestDevice::connectTo(std::optional<UUID> hostID, const Bytes& pin, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto left = [&] {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
  };
  for (;;) {
    auto host = find(hostID, left());
    if (!host) throw QUICError::failed("no host found");
    try {
      connect(*host, pin);
      return *host;
    } catch (const QUICError& error) {
      if (error.errorCase() == QUICError::Case::pinMismatch || left().count() == 0) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void TestDevice::connect(const DiscoveredHost& host, const Bytes& pin) {
  if (!browser_) throw std::logic_error("connect to a host that find() listed");
  pin_ = pin;
  connection_ = runOn(io_, browser_->connect(host, ServerTrust::pinned(pin)));
}

void TestDevice::connect(const HostEndpoint& endpoint, const Bytes& pin) {
  pin_ = pin;
  auto connection = runOn(io_, connectQUIC(io_, endpoint.host, endpoint.port, ServerTrust::pinned(pin),
                                           QUICConfiguration(), SystemClock::shared()));
  connection_ = connection;
}

void TestDevice::connectThroughRelay(const std::vector<RelayEndpoint>& relays, const Bytes& grant, const Bytes& pin) {
  pin_ = pin;
  auto signer = std::make_shared<P256RelaySigner>(identity_.privateKey);
  connection_ = runOn(io_, brindlet::connectThroughRelay(io_, SystemClock::shared(), relays, grant, std::move(signer),
                                                         ServerTrust::pinned(pin)));
}

ClientHandshake::Event TestDevice::authenticate(ClientHandshake::Purpose purpose, double timeLimit,
                                                std::function<void(const std::string&)> onCode) {
  Bytes pin = pin_;
  ClientHandshake::FingerprintSource fingerprint = [pin] { return std::optional<Bytes>(pin); };
  return runOn(io_, ClientHandshake::run(connection_, identity_, std::move(purpose), name_, fingerprint, timeLimit,
                                         std::move(onCode), SystemClock::shared()));
}

asio::awaitable<void> TestDevice::readMessages(std::shared_ptr<State> state, std::shared_ptr<Connection> connection) {
  auto messages = connection->messages();
  while (auto message = co_await messages.next()) {
    std::function<void(const Message&)> handler;
    {
      std::lock_guard lock(state->mutex);
      handler = state->onMessage;
    }
    if (handler) handler(*message);
    std::lock_guard lock(state->mutex);
    state->messages.push_back(std::move(*message));
    state->changed.notify_all();
  }
  std::lock_guard lock(state->mutex);
  state->ended = true;
  state->changed.notify_all();
}

asio::awaitable<void> TestDevice::readVideo(std::shared_ptr<State> state, std::shared_ptr<Connection> connection) {
  HEVCTestDecoder decoder;
  bool askedForKeyframe = false;
  auto frames = connection->videoFrames();
  while (auto frame = co_await frames.next()) {
    const std::uint64_t receivedAt = platform::monotonicRawNowNs();
    {
      std::lock_guard lock(state->mutex);
      ++state->framesReceived;
    }
    auto picture = decoder.decode(frame->parameterSets, frame->payload);
    if (!picture) {
      // A frame that does not decode (the stream began without a key frame): ask for one, once
      // until a picture comes out again.
      if (!askedForKeyframe) {
        askedForKeyframe = true;
        Feedback feedback;
        feedback.requestKeyframe = true;
        Message request = msg::Feedback{feedback};
        connection->send(request);
      }
      continue;
    }
    askedForKeyframe = false;
    ReceivedPicture received;
    received.picture = std::move(*picture);
    received.displayID = frame->displayID;
    received.frameNumber = frame->frameNumber;
    received.captureTimeNs = frame->captureTimeNs;
    received.isKeyframe = frame->isKeyframe;
    received.receivedAtNs = receivedAt;
    received.decodedAtNs = platform::monotonicRawNowNs();
    PictureHandler handler;
    {
      std::lock_guard lock(state->mutex);
      handler = state->onPicture;
    }
    if (handler) handler(received);
    std::lock_guard lock(state->mutex);
    state->latest = std::move(received);
    ++state->picturesDecoded;
    state->changed.notify_all();
  }
}

void TestDevice::hello(ClientCapabilities capabilities) {
  if (!connection_) throw std::logic_error("hello before connect");
  {
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(Task::spawn(makeStrand(io_.get_executor()), readMessages(state_, connection_)));
    state_->tasks.push_back(Task::spawn(makeStrand(io_.get_executor()), readVideo(state_, connection_)));
    state_->tasks.push_back(Task::spawn(makeStrand(io_.get_executor()), readAudio(state_, connection_)));
  }
  Message hello = msg::Hello{16, identity_.deviceID, name_, std::move(capabilities)};
  connection_->send(hello);
}

std::vector<Message> TestDevice::received() const {
  std::lock_guard lock(state_->mutex);
  return state_->messages;
}

std::optional<Message> TestDevice::waitFor(const std::function<bool(const Message&)>& match,
                                           std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  std::optional<Message> found;
  state_->changed.wait_for(lock, limit, [&] {
    for (const auto& message : state_->messages) {
      if (match(message)) {
        found = message;
        return true;
      }
    }
    return state_->ended;
  });
  return found;
}

bool TestDevice::waitUntilEnded(std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, limit, [&] { return state_->ended; });
}

void TestDevice::send(const Message& message) {
  if (!connection_) throw std::logic_error("send before connect");
  connection_->send(message);
}

bool TestDevice::sendTransfer(const Message& message) {
  if (!connection_) throw std::logic_error("send before connect");
  return runOn(io_, connection_->sendTransfer(message));
}

void TestDevice::key(HIDUsage usage, bool down, ModifierFlags modifiers) {
  Message message = msg::Key{KeyEvent{usage, down, modifiers}};
  send(message);
}

void TestDevice::tap(HIDUsage usage, ModifierFlags modifiers) {
  key(usage, true, modifiers);
  key(usage, false, modifiers);
}

void TestDevice::type(const std::string& text) {
  Message message = msg::Text{text};
  send(message);
}

void TestDevice::moveTo(std::uint32_t displayID, float x, float y) {
  PointerEvent event{PointerEvent::MoveAbsolute{displayID, x, y}};
  Message message = msg::Pointer{event, ++pointerSeq_};
  send(message);
}

void TestDevice::button(PointerButton which, bool down) {
  PointerEvent event{PointerEvent::Button{which, down, 1}};
  Message message = msg::Pointer{event, ++pointerSeq_};
  send(message);
}

void TestDevice::click(PointerButton which) {
  button(which, true);
  button(which, false);
}

void TestDevice::onMessage(std::function<void(const Message&)> handler) {
  std::lock_guard lock(state_->mutex);
  state_->onMessage = std::move(handler);
}

void TestDevice::onPicture(PictureHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->onPicture = std::move(handler);
}

std::optional<ReceivedPicture> TestDevice::waitForPicture(const std::function<bool(const ReceivedPicture&)>& match,
                                                          std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  std::optional<ReceivedPicture> found;
  std::uint64_t checked = 0;
  state_->changed.wait_for(lock, limit, [&] {
    if (state_->latest && state_->picturesDecoded != checked) {
      checked = state_->picturesDecoded;
      if (match(*state_->latest)) {
        found = *state_->latest;
        return true;
      }
    }
    return state_->ended;
  });
  return found;
}

std::uint64_t TestDevice::picturesDecoded() const {
  std::lock_guard lock(state_->mutex);
  return state_->picturesDecoded;
}

std::uint64_t TestDevice::framesReceived() const {
  std::lock_guard lock(state_->mutex);
  return state_->framesReceived;
}

asio::awaitable<void> TestDevice::readAudio(std::shared_ptr<State> state, std::shared_ptr<Connection> connection) {
  auto packets = connection->audioPackets();
  while (auto packet = co_await packets.next()) {
    std::lock_guard lock(state->mutex);
    state->audioPackets.push_back(std::move(*packet));
    state->changed.notify_all();
  }
}

std::vector<AudioPacket> TestDevice::audioPackets() const {
  std::lock_guard lock(state_->mutex);
  return state_->audioPackets;
}

}  // namespace brindlet::testing
