#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/log/Log.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

using HelloTest = SessionFixture;

TEST_F(HelloTest, AcceptedHelloIsAnsweredInOrderAndHoldsTheDisplayAwake) {
  startSession();
  EXPECT_EQ(gate->starts, 1);
  send(hello());

  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"helloAck", "hostStatus", "displayList", "streamInfo"}));
  const auto* ack = received[0].as<msg::HelloAck>();
  EXPECT_EQ(ack->version, 16);
  EXPECT_EQ(ack->hostID, services.environment().hostID);
  EXPECT_EQ(ack->hostName, "Studio");
  EXPECT_EQ(ack->profile, CodecProfile::hevcMain444);
  EXPECT_EQ(*received[1].as<msg::HostStatus>(), (msg::HostStatus{HostState::ok, std::nullopt}));
  ASSERT_EQ(received[2].as<msg::DisplayList>()->displays.size(), 2u);
  EXPECT_EQ(received[2].as<msg::DisplayList>()->displays[1].name, "Main");

  EXPECT_EQ(services.power->names, (std::vector<std::string>{"Nolu remote session"}));
  EXPECT_EQ(services.power->held.size(), 1u);
  EXPECT_EQ(services.power->wakes, 1);
  EXPECT_EQ(services.wakeRequests, (std::vector<bool>{false}));
  EXPECT_FALSE(deviceClosed);
}

TEST_F(HelloTest, RelayConfigFollowsTheAckWhenRemoteAccessIsSetUp) {
  gate->publicKey = Bytes(65, 0x04);
  struct Case {
    std::optional<RelayProvision> provision;
    bool sent;
  };
  for (const Case& c : {Case{RelayProvision{{{"relay.example.net", 7000}}, Bytes(170, 9)}, true},
                        Case{RelayProvision{{}, Bytes(170, 9)}, false}, Case{std::nullopt, false}}) {
    SCOPED_TRACE(c.sent);
    reconnect();
    services.provision = c.provision;
    startSession();
    send(hello());
    std::vector<std::string_view> expected{"helloAck", "hostStatus", "displayList", "streamInfo"};
    if (c.sent) expected.insert(expected.begin() + 1, "relayConfig");
    ASSERT_EQ(receivedNames(), expected);
    if (c.sent) {
      EXPECT_EQ(*received[1].as<msg::RelayConfig>(), (msg::RelayConfig{c.provision->relays, c.provision->grant}));
    }
    EXPECT_EQ(services.provisionKeys.back(), Bytes(65, 0x04));
  }
}

TEST_F(HelloTest, RejectionsCarryTheirReasonAndCloseAFifthOfASecondLater) {
  struct Case {
    const char* what;
    msg::Hello hello;
    std::string reason;
  };
  std::vector<Case> cases;
  cases.push_back({"other device", hello(), "Device ID does not match the authenticated device."});
  cases.back().hello.deviceID = UUID::random();
  cases.push_back({"old version", hello(), "Unsupported protocol version 15; this host speaks 16."});
  cases.back().hello.version = 15;
  cases.push_back({"10-bit only", hello({CodecProfile::hevcMain10}), "No common video profile."});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reconnect();
    services.encoders = std::make_shared<FixedEncoderFactory>(
        std::vector{CodecProfile::hevcMain, CodecProfile::hevcMain10, CodecProfile::hevcMain444});
    startSession();
    send(c.hello);
    ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"helloReject"}));
    EXPECT_EQ(received[0].as<msg::HelloReject>()->reason, c.reason);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front().note, c.reason);
    EXPECT_EQ(statuses.front().phase, SessionStatus::Phase::ended);
    loop.advance(199ms);
    EXPECT_FALSE(deviceClosed);
    loop.advance(1ms);
    EXPECT_TRUE(deviceClosed);
    EXPECT_TRUE(sessionEnded);
    EXPECT_TRUE(services.power->held.empty());
  }
}

TEST_F(HelloTest, ALaterHelloIsIgnoredUnlessItNamesAnotherDevice) {
  startAccepted();
  send(hello({CodecProfile::hevcMain}));
  EXPECT_TRUE(received.empty());
  send(msg::Ping{5});
  EXPECT_EQ(receivedNames(), (std::vector<std::string_view>{"pong"}));

  auto stranger = hello();
  stranger.deviceID = UUID::random();
  send(stranger);
  EXPECT_EQ(received.back(), Message(msg::HelloReject{"Device ID does not match the authenticated device."}));
  loop.advance(200ms);
  EXPECT_TRUE(deviceClosed);
}

TEST_F(HelloTest, WithoutAGateEveryHelloCountsAsAuthenticated) {
  startSession(false);
  auto h = hello();
  h.deviceID = UUID::random();
  send(h);
  EXPECT_EQ(receivedNames(), (std::vector<std::string_view>{"helloAck", "hostStatus", "displayList", "streamInfo"}));
}

TEST_F(HelloTest, NoDisplaysIsNotedAndNothingIsSelected) {
  services.displays = std::make_shared<FixedDisplays>(std::vector<DisplayInfo>{});
  startSession();
  send(hello());
  EXPECT_EQ(receivedNames(), (std::vector<std::string_view>{"helloAck", "hostStatus", "displayList"}));
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().note, "No displays available");
  EXPECT_EQ(statuses.back().deviceName, "Ada's iPad");
  EXPECT_EQ(statuses.back().profile, CodecProfile::hevcMain444);
}

TEST_F(HelloTest, TheMainDisplayIsSelectedElseTheFirst) {
  LogCapture log;
  startSession();
  send(hello());  // the main display is second in the list
  EXPECT_EQ(log.containing("display selected Main id=3 ").size(), 1u);

  reconnect();
  services.displays = std::make_shared<FixedDisplays>(std::vector<DisplayInfo>{
      {7, "Left", false, 1920, 1080, {-1920, 0, 1920, 1080}}, {3, "Right", false, 2560, 1440, {0, 0, 1280, 720}}});
  startSession();
  send(hello());
  EXPECT_EQ(log.containing("display selected Left id=7 ").size(), 1u);
}

TEST(CodecProfileNegotiation, PicksTheHostsPreferenceThatBothSidesHave) {
  using P = CodecProfile;
  struct Case {
    std::vector<P> client, host;
    std::optional<P> chosen;
  };
  const Case cases[] = {
      {{P::hevcMain, P::hevcMain444}, {P::hevcMain, P::hevcMain444}, P::hevcMain444},
      {{P::hevcMain444, P::hevcMain}, {P::hevcMain}, P::hevcMain},
      {{P::hevcMain}, {P::hevcMain444}, std::nullopt},
      {{P::hevcMain10, P::hevcMain44410}, {P::hevcMain10, P::hevcMain44410}, std::nullopt},
      {{}, {P::hevcMain}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(HostSession::negotiateCodecProfile(c.client, c.host), c.chosen);
}

using BeforeHelloTest = SessionFixture;

TEST_F(BeforeHelloTest, OnlyHelloAndTheVideoSwitchAreActedOn) {
  services.screenRecordingGranted = false;
  startSession();
  send(msg::Ping{1});
  send(msg::Key{KeyEvent{HIDUsage::a, true, {}}});
  send(msg::ClipboardText{"early"});
  EXPECT_TRUE(received.empty());
  EXPECT_TRUE(services.injector->keys.empty());
  EXPECT_FALSE(services.pasteboard->text);

  // Video switched off before hello: no Screen Recording check.
  send(msg::SetVideoEnabled{false});
  send(hello());
  // Nor any capture or stream geometry.
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"helloAck", "hostStatus", "displayList"}));
  EXPECT_EQ(received[1].as<msg::HostStatus>()->state, HostState::ok);
  EXPECT_TRUE(services.captures.empty());
}

TEST_F(BeforeHelloTest, WithVideoOnAMissingPermissionIsReported) {
  services.screenRecordingGranted = false;
  startSession();
  send(hello());
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(*received[1].as<msg::HostStatus>(),
            (msg::HostStatus{HostState::permissionMissing, "Screen Recording permission is not granted"}));
}

using GateTest = SessionFixture;

TEST_F(GateTest, ConsumedMessagesNeverReachTheSessionAndTheGateHearsTheEndFirst) {
  gate->consumeAll = true;
  startSession();
  send(hello());
  send(msg::Ping{3});
  EXPECT_EQ(gate->offered.size(), 2u);
  EXPECT_TRUE(received.empty());
  device->close();
  loop.settle();
  EXPECT_EQ(gate->closes, 1);
  EXPECT_TRUE(sessionEnded);
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().phase, SessionStatus::Phase::ended);
}

using LifecycleTest = SessionFixture;

TEST_F(LifecycleTest, ReplacementTellsTheDeviceThenClosesAndReleasesTheAssertionOnce) {
  startAccepted();
  ASSERT_EQ(services.power->held.size(), 1u);
  bool done = false;
  Task replacing = perform([](HostSession& s) { return s.replaced("Bob's iPhone"); }, &done);
  EXPECT_EQ(received, (std::vector<Message>{msg::SessionReplaced{"Bob's iPhone"}}));
  loop.advance(199ms);
  EXPECT_FALSE(deviceClosed);
  loop.advance(1ms);
  EXPECT_TRUE(done);
  EXPECT_TRUE(deviceClosed);
  EXPECT_TRUE(sessionEnded);
  EXPECT_EQ(services.power->releases, 1);
  EXPECT_TRUE(services.power->held.empty());
  EXPECT_EQ(services.injector->releases, 1);  // nothing stays pressed
  EXPECT_EQ(statuses.back().phase, SessionStatus::Phase::ended);
}

TEST_F(LifecycleTest, KeepAwakeFollowsTheSettingAndNeverReleasesTwice) {
  startSession();
  bool done = false;
  // Before hello the flag is only stored; the hello reads the setting again.
  Task off = perform([](HostSession& s) { return s.setKeepAwake(false); }, &done);
  EXPECT_TRUE(services.power->names.empty());
  send(hello());
  EXPECT_EQ(services.power->held.size(), 1u);

  Task a = perform([](HostSession& s) { return s.setKeepAwake(false); }, &done);
  Task b = perform([](HostSession& s) { return s.setKeepAwake(false); }, &done);
  EXPECT_EQ(services.power->releases, 1);
  Task on = perform([](HostSession& s) { return s.setKeepAwake(true); }, &done);
  ASSERT_EQ(services.power->held.size(), 1u);

  // The application released it already (at termination): the end releases nothing more.
  services.power->releaseAll();
  int releases = services.power->releases;
  device->close();
  loop.settle();
  EXPECT_TRUE(sessionEnded);
  EXPECT_EQ(services.power->releases, releases);
}

TEST_F(LifecycleTest, HostStatusIsSentOnlyWhenItChangesUnlessForced) {
  startAccepted();
  bool done = false;
  Task same = perform([](HostSession& s) { return s.refreshHostStatus(false); }, &done);
  EXPECT_TRUE(received.empty());
  Task forced = perform([](HostSession& s) { return s.refreshHostStatus(true); }, &done);
  EXPECT_EQ(received, (std::vector<Message>{msg::HostStatus{HostState::ok, std::nullopt}}));
}

TEST_F(LifecycleTest, RelayConfigWithoutAGateUsesTheFixedKey) {
  services.provision = RelayProvision{{{"relay.example.net", 7000}}, Bytes(170, 1)};
  startSession(false, Bytes(65, 7));
  send(hello());
  EXPECT_EQ(receivedNames(),
            (std::vector<std::string_view>{"helloAck", "relayConfig", "hostStatus", "displayList", "streamInfo"}));
  EXPECT_EQ(services.provisionKeys, (std::vector<Bytes>{Bytes(65, 7)}));
}

TEST_F(LifecycleTest, RelayConfigWithoutAnyKeySendsNothing) {
  services.provision = RelayProvision{{{"relay.example.net", 7000}}, Bytes(170, 1)};
  startSession(false);
  send(hello());
  EXPECT_EQ(receivedNames(), (std::vector<std::string_view>{"helloAck", "hostStatus", "displayList", "streamInfo"}));
  EXPECT_TRUE(services.provisionKeys.empty());
}

}  // namespace
}  // namespace brindlet::host::testing
