#pragma once

// A session over an in-process connection pair: the test plays the device on the other end
// and drives time with the manual clock.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "host/session/HostSession.h"
#include "kit/transport/InMemoryConnection.h"
#include "session/core/SessionDoubles.h"
#include "support/TestLoop.h"

namespace brindlet::host::testing {

class SessionFixture : public ::testing::Test {
 protected:
  SessionFixture() {
    services.clock = loop.clock;
    std::tie(hostEnd, device) = InMemoryConnection::pair();
    gate->deviceID = deviceID;
  }

  ~SessionFixture() override {
    run = Task();
    reader = Task();
    loop.settle();
  }

  // Starts the session, with the fake gate unless `withGate` is false, and the device's reader.
  void startSession(bool withGate = true, std::optional<Bytes> fixedClientKey = std::nullopt) {
    HostEnvironment env = services.environment();
    if (adjustEnvironment) adjustEnvironment(env);
    session = HostSession::make(loop.io.get_executor(), hostEnd, std::move(env), withGate ? gate : nullptr,
                                std::move(fixedClientKey),
                                [this](const SessionStatus& status) { statuses.push_back(status); });
    run = Task::spawn(loop.strand(), runSession(session, &sessionEnded));
    reader = Task::spawn(loop.strand(), readAll(device, &received, &deviceClosed));
    loop.settle();
  }

  // Ends the running session (the device hangs up) and makes a new pair for the next one.
  void reconnect() {
    device->close();
    loop.settle();
    run = Task();
    reader = Task();
    received.clear();
    statuses.clear();
    deviceClosed = sessionEnded = false;
    std::tie(hostEnd, device) = InMemoryConnection::pair();
  }

  void send(const Message& message) {
    device->send(message);
    loop.settle();
  }

  msg::Hello hello(std::vector<CodecProfile> profiles = {CodecProfile::hevcMain, CodecProfile::hevcMain444}) const {
    msg::Hello h;
    h.version = 16;
    h.deviceID = deviceID;
    h.deviceName = "Ada's iPad";
    h.capabilities.decodableProfiles = std::move(profiles);
    h.capabilities.screenPixelWidth = 2732;
    h.capabilities.screenPixelHeight = 2048;
    h.capabilities.scale = 2;
    h.capabilities.deviceModel = "iPad";
    return h;
  }

  // Starts the session and has its hello accepted; forgets what the hello brought.
  void startAccepted() {
    startSession();
    send(hello());
    ASSERT_FALSE(received.empty());
    ASSERT_TRUE(received.front().is<msg::HelloAck>());
    received.clear();
    statuses.clear();
  }

  // Starts a session operation on the loop; `*done` is set when it has returned.
  template <class Op>
  Task perform(Op op, bool* done) {
    Task task = Task::spawn(loop.strand(), performing(session, op, done));
    loop.settle();
    return task;
  }

  std::vector<std::string_view> receivedNames() const {
    std::vector<std::string_view> names;
    for (const auto& m : received) names.push_back(m.name());
    return names;
  }

  brindlet::testing::TestLoop loop;
  TestServices services;
  std::function<void(HostEnvironment&)> adjustEnvironment;  // applied to the session's environment
  UUID deviceID = UUID::random();
  std::shared_ptr<InMemoryConnection> hostEnd;
  std::shared_ptr<InMemoryConnection> device;
  std::shared_ptr<FakeGate> gate = std::make_shared<FakeGate>();
  std::shared_ptr<HostSession> session;
  std::vector<SessionStatus> statuses;
  std::vector<Message> received;  // by the device
  bool sessionEnded = false;
  bool deviceClosed = false;
  Task run;
  Task reader;

 private:
  static asio::awaitable<void> runSession(std::shared_ptr<HostSession> session, bool* ended) {
    co_await session->start();
    *ended = true;
  }
  static asio::awaitable<void> readAll(std::shared_ptr<Connection> connection, std::vector<Message>* out,
                                       bool* closed) {
    auto messages = connection->messages();
    while (auto message = co_await messages.next()) out->push_back(*message);
    *closed = true;
  }
  template <class Op>
  static asio::awaitable<void> performing(std::shared_ptr<HostSession> session, Op op, bool* done) {
    co_await op(*session);
    *done = true;
  }
};

}  // namespace brindlet::host::testing
