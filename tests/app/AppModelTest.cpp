#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/FakeListener.h"
#include "host/app/AppModel.h"
#include "host/app/HostComposition.h"
#include "host/app/RelayController.h"
#include "host/app/RelayProvisioner.h"
#include "host/app/RelaySettings.h"
#include "host/capture/VideoEncoder.h"
#include "kit/pairing/PairedDeviceStore.h"
#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/transport/InMemoryConnection.h"
#include "platform/log/Log.h"
#include "platform/power/LoginItem.h"
#include "platform/storage/UserDefaults.h"
#include "relay/FakeHTTPSession.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::FakeListener;
using brindlet::testing::FakeListenerFactory;
using brindlet::testing::TestLoop;

// A gate that admits the device the test named for its connection as soon as it starts.
class FakeGate final : public HostAuthGating {
 public:
  FakeGate(std::optional<UUID> device, AppModel::AuthenticatedHandler onAuthenticated)
      : device_(device), onAuthenticated_(std::move(onAuthenticated)) {}
  asio::awaitable<void> start() override {
    if (device_) onAuthenticated_(*device_);
    co_return;
  }
  asio::awaitable<AuthVerdict> handle(Message) override { co_return AuthVerdict::consumed; }
  asio::awaitable<void> connectionClosed() override { co_return; }
  asio::awaitable<std::optional<UUID>> authenticatedDeviceID() override { co_return device_; }
  asio::awaitable<std::optional<Bytes>> authenticatedPublicKey() override { co_return std::nullopt; }

 private:
  std::optional<UUID> device_;
  AppModel::AuthenticatedHandler onAuthenticated_;
};

class FakeEncoders final : public EncoderFactory {
 public:
  std::vector<CodecProfile> supportedProfiles() const override { return {CodecProfile::hevcMain}; }
  std::shared_ptr<VideoEncoder> makeEncoder(CodecProfile, int64_t, EncoderOutputHandler) const override {
    return nullptr;
  }
};

// Everything the host sends to one device, until its connection ends.
struct Received {
  std::vector<Message> messages;
  bool ended = false;
};

struct DeviceEnd {
  std::shared_ptr<InMemoryConnection> connection;
  std::shared_ptr<Received> received = std::make_shared<Received>();
  Task reader;

  void startReading(const Strand& strand) { reader = Task::spawn(strand, read(connection, received)); }
  bool ended() const { return received->ended; }

  static asio::awaitable<void> read(std::shared_ptr<InMemoryConnection> connection, std::shared_ptr<Received> into) {
    auto messages = connection->messages();
    while (auto message = co_await messages.next()) into->messages.push_back(std::move(*message));
    into->ended = true;
  }
};

class AppModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("app-model-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
    store = std::make_shared<PairedDeviceStore>(folder_ / ("paired-" + std::to_string(++counter_) + ".json"));
    store->upsertPairedDevice({phone, "Phone", Bytes(65, 4), Date(std::chrono::seconds(2000)), std::nullopt});
    store->upsertPairedDevice({tablet, "Tablet", Bytes(65, 4), Date(std::chrono::seconds(1000)), std::nullopt});
  }
  void TearDown() override {
    // Sessions end as when their devices leave; the model then lets go of them.
    for (auto& host : hostEnds) host->close();
    loop.advance(1s);
    if (model && model->supervisor()) model->supervisor()->stop();
    loop.settle();
    model.reset();
    loop.settle();
    std::filesystem::remove_all(folder_);
  }

  AppModel::Services services() {
    AppModel::Services s;
    s.probeEncoders = [] { return std::make_shared<FakeEncoders>(); };
    s.loadIdentity = [] {
      return createSelfSignedIdentity("app-model-test-" + std::to_string(getpid()), false, "Nolu Host");
    };
    s.openPairedDevices = [this] { return store; };
    s.makeGate = [this](std::shared_ptr<Connection> connection, std::shared_ptr<HostPairingService>, AuthTimeouts,
                        AppModel::AuthenticatedHandler onAuthenticated) -> std::shared_ptr<HostAuthGating> {
      auto found = devices.find(connection.get());
      return std::make_shared<FakeGate>(found == devices.end() ? std::nullopt : std::optional<UUID>(found->second),
                                        std::move(onAuthenticated));
    };
    s.makeEnvironment = [this](std::shared_ptr<EncoderFactory> encoders, AppModel::WakeRequest onWakeRequested) {
      return environment(std::move(encoders), std::move(onWakeRequested));
    };
    s.listenerFactory = [this](const HostSecurity&, std::optional<std::uint16_t> port) { return factory.make(port); };
    s.watchSystem = false;
    s.clock = loop.clock;
    s.hostID = hostID;
    s.isDisplayAsleep = [] { return false; };
    s.keepDisplayAwake = [] { return true; };
    s.loginItem = platform::LoginItem::mainApp();
    s.afterSession = [this] { ++afterSessions; };
    return s;
  }

  // The host's own environment for a session, on the test's clock and without displays or
  // power manager.
  HostEnvironment environment(std::shared_ptr<EncoderFactory> encoders, AppModel::WakeRequest onWakeRequested) {
    if (!hostServices) {
      hostServices = HostServices::make(loop.io.get_executor(), loop.clock,
                                        std::make_shared<platform::UserDefaults>(folder_ / "settings.json"));
      hostServices->power = nullptr;
    }
    return sessionEnvironment(*hostServices, std::move(encoders), std::move(onWakeRequested));
  }

  void makeModel(AppModel::Services s) {
    model = AppModel::make(loop.io.get_executor(), loop.strand(), nullptr, loopback, std::move(s));
  }

  void startAndAdvertise() {
    makeModel(services());
    model->start();
    ASSERT_TRUE(loop.runUntil([&] { return model->supervisor() && factory.last(); }));
    factory.last()->becomeReady(50000);
    loop.settle();
  }

  // A device connecting over the network as `device` (nothing: not admitted).
  std::unique_ptr<DeviceEnd> connect(std::optional<UUID> device) {
    auto [host, client] = InMemoryConnection::pair();
    auto end = std::make_unique<DeviceEnd>();
    end->connection = client;
    end->startReading(loop.strand());
    if (device) devices[host.get()] = *device;
    hostEnds.push_back(host);
    factory.last()->deliver(host);
    loop.settle();
    return end;
  }

  // An in-process client: its session becomes current at once.
  std::unique_ptr<DeviceEnd> connectInProcess() {
    auto [host, client] = InMemoryConnection::pair();
    auto end = std::make_unique<DeviceEnd>();
    end->connection = client;
    end->startReading(loop.strand());
    hostEnds.push_back(host);
    loopback->deliver(host);
    loop.settle();
    return end;
  }

  // What a session would report of the host, and its note.
  struct Seen {
    HostStateReport state;
    std::optional<std::string> note;
  };
  Seen seen(std::shared_ptr<HostSession> session) {
    auto out = std::make_shared<Seen>();
    Task read = Task::spawn(loop.strand(), readSession(std::move(session), out));
    loop.settle();
    return *out;
  }
  static asio::awaitable<void> readSession(std::shared_ptr<HostSession> session, std::shared_ptr<Seen> out) {
    out->state = co_await session->currentHostState();
    SessionStatus status = co_await session->status();
    out->note = status.note;
  }

  // Runs one of the model's operations on the current session, as the main strand would.
  void onMain(asio::awaitable<void> operation) {
    Task run = Task::spawn(loop.strand(), std::move(operation));
    loop.settle();
  }

  static asio::awaitable<void> pair(std::shared_ptr<HostPairingService> service, PairedDevice device) {
    co_await service->addPairedDevice(std::move(device));
  }
  static asio::awaitable<void> forget(std::shared_ptr<HostPairingService> service, UUID device) {
    co_await service->forgetDevice(device);
  }

  static std::vector<std::string> replacements(const DeviceEnd& end) {
    std::vector<std::string> names;
    for (const auto& m : end.received->messages)
      if (auto r = m.as<msg::SessionReplaced>()) names.push_back(r->byDeviceName);
    return names;
  }

  TestLoop loop;
  FakeListenerFactory factory;
  std::shared_ptr<FakeListener> loopback = std::make_shared<FakeListener>();
  std::shared_ptr<PairedDeviceStore> store;
  std::map<Connection*, UUID> devices;
  std::vector<std::shared_ptr<Connection>> hostEnds;
  UUID hostID = UUID::random();
  std::optional<HostServices> hostServices;
  std::shared_ptr<AppModel> model;
  UUID phone = UUID::random();
  UUID tablet = UUID::random();
  std::filesystem::path folder_;
  static inline int counter_ = 0;
  int afterSessions = 0;
};

TEST_F(AppModelTest, AnAdmittedDeviceBecomesCurrentAndAnotherDeviceReplacesIt) {
  startAndAdvertise();
  EXPECT_EQ(model->listenerPort(), 50000);
  ASSERT_EQ(model->pairedDevices().size(), 2u);
  EXPECT_EQ(model->pairedDevices()[0].name, "Tablet");  // oldest pairing first

  auto first = connect(phone);
  auto firstSession = model->session();
  ASSERT_TRUE(firstSession);

  auto second = connect(tablet);
  EXPECT_NE(model->session(), firstSession);
  EXPECT_EQ(replacements(*first), std::vector<std::string>{"Tablet"});
  EXPECT_FALSE(first->ended());
  loop.advance(200ms);  // the replaced session closes 0.2 s after telling its device
  EXPECT_TRUE(first->ended());

  auto third = connect(UUID::random());  // admitted, but no longer in the store
  EXPECT_EQ(replacements(*second), std::vector<std::string>{"Another device"});
  loop.advance(200ms);
  EXPECT_TRUE(loop.runUntil([&] { return model->candidateCount() == 1; }));
}

TEST_F(AppModelTest, WhatRunsAfterASessionRunsOnceEachEndedSessionsRunIsOver) {
  startAndAdvertise();
  auto first = connect(phone);
  auto second = connect(tablet);  // replaces the first
  loop.advance(200ms);
  ASSERT_TRUE(loop.runUntil([&] { return model->candidateCount() == 1; }));
  EXPECT_EQ(afterSessions, 1);
  second->connection->close();  // the device leaves
  loop.advance(1s);
  ASSERT_TRUE(loop.runUntil([&] { return model->candidateCount() == 0; }));
  EXPECT_EQ(afterSessions, 2);
}

TEST_F(AppModelTest, PairedDevicesFollowTheStoreOldestPairingFirst) {
  startAndAdvertise();
  auto service = model->security()->service;
  UUID watch = UUID::random();
  onMain(pair(service, PairedDevice{watch, "Watch", Bytes(65, 4), Date(std::chrono::seconds(500)), std::nullopt}));
  onMain(forget(service, phone));
  std::vector<std::string> names;
  for (const auto& device : model->pairedDevices()) names.push_back(device.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Watch", "Tablet"}));
}

TEST_F(AppModelTest, TheSameDeviceReconnectingClosesItsOldConnectionWithoutAMessage) {
  startAndAdvertise();
  auto first = connect(phone);
  auto second = connect(phone);
  loop.settle();
  EXPECT_TRUE(first->ended());
  EXPECT_TRUE(replacements(*first).empty());
  EXPECT_FALSE(second->ended());
}

TEST_F(AppModelTest, AConnectionNotYetAdmittedDoesNotTouchTheCurrentSession) {
  startAndAdvertise();
  auto first = connect(phone);
  auto current = model->session();
  auto stranger = connect(std::nullopt);
  EXPECT_EQ(model->session(), current);
  EXPECT_EQ(model->candidateCount(), 2u);
  stranger->connection->close();
  EXPECT_TRUE(loop.runUntil([&] { return model->candidateCount() == 1; }));
  EXPECT_EQ(model->session(), current);
}

TEST_F(AppModelTest, StartingPrunesTransfersOlderThanADayFromTheInbox) {
  HostInbox inbox{folder_ / "Inbox"};
  const auto now = loop.clock->wallNow();
  for (auto [name, age] : {std::pair{"7", std::chrono::hours(25)}, std::pair{"8", std::chrono::hours(23)}}) {
    std::filesystem::create_directories(inbox.root / name);
    const auto when = std::chrono::system_clock::to_time_t(now - age);
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (inbox.root / name).c_str(), times, 0), 0);
  }
  auto s = services();
  s.inbox = inbox;
  makeModel(std::move(s));
  model->start();
  EXPECT_TRUE(loop.runUntil([&] { return !std::filesystem::exists(inbox.root / "7"); }));
  EXPECT_TRUE(std::filesystem::exists(inbox.root / "8"));
}

TEST_F(AppModelTest, WithoutAnIdentityOnlyTheLoopbackListenerRuns) {
  auto s = services();
  s.loadIdentity = []() -> std::shared_ptr<SelfSignedIdentity> { throw std::runtime_error("keychain locked"); };
  makeModel(std::move(s));
  model->start();
  ASSERT_TRUE(loop.runUntil([&] { return model->securityError().has_value(); }));
  EXPECT_EQ(*model->securityError(), "Could not load the host identity: keychain locked");
  EXPECT_FALSE(model->supervisor());
  EXPECT_TRUE(factory.requests.empty());

  auto [host, client] = InMemoryConnection::pair();
  hostEnds.push_back(host);
  loopback->deliver(host);
  loop.settle();
  EXPECT_TRUE(model->session());  // an in-process client needs no identity

  client->close();  // the client leaves: its ended status stays for the menu
  loop.settle();
  EXPECT_FALSE(model->session());
  ASSERT_TRUE(model->status());
  EXPECT_EQ(model->status()->phase, SessionStatus::Phase::ended);
}

TEST_F(AppModelTest, AnIdentityThatCannotBeLoadedNamesItsFileAndIsTriedAgainWithBackOff) {
  // The keychain folder's place is taken by a file: every lookup fails with "Not a directory".
  const auto blocked = folder_ / "Keychain";
  { std::ofstream(blocked) << "in the way"; }
  auto s = services();
  s.loadIdentity = [blocked] {
    return createSelfSignedIdentity("app-model-retry-" + std::to_string(getpid()), false, "Nolu Host",
                                    platform::Keychain(blocked));
  };
  std::vector<std::string> logged;
  auto previous = platform::setLogObserver([&](const platform::LogRecord& r) { logged.push_back(r.message); });
  auto said = [&](const std::string& text) { return std::find(logged.begin(), logged.end(), text) != logged.end(); };
  makeModel(std::move(s));
  model->start();
  ASSERT_TRUE(loop.runUntil([&] { return model->securityError().has_value(); }));
  EXPECT_NE(
      model->securityError()->find("the keychain folder " + blocked.string() + " could not be made: Not a directory"),
      std::string::npos)
      << *model->securityError();
  EXPECT_TRUE(said("host identity: retry 1 in 1s"));
  loop.advance(1s);
  EXPECT_TRUE(said("host identity: retry 2 in 2s"));
  EXPECT_FALSE(model->supervisor());
  EXPECT_TRUE(std::filesystem::is_regular_file(blocked)) << "what is stored is left as it is";

  std::filesystem::remove(blocked);
  loop.advance(2s);
  platform::setLogObserver(previous);
  EXPECT_TRUE(model->supervisor());
  EXPECT_FALSE(model->securityError());
  EXPECT_FALSE(said("host identity: retry 3 in 4s"));
}

TEST_F(AppModelTest, ANewSessionIsToldWhatSleepDisplaySleepAndLockMadeOfThisComputer) {
  using platform::PowerEvent;
  // Texts given as nullptr stand for none.
  struct Case {
    std::vector<PowerEvent> events;
    HostState state;
    const char* detail;
    const char* note;
  };
  const std::vector<Case> cases{
      {{}, HostState::ok, nullptr, nullptr},
      {{PowerEvent::screenLocked}, HostState::locked, "Mac is locked", "Mac is locked"},
      {{PowerEvent::screensDidSleep}, HostState::displayAsleep, "Mac display is asleep", nullptr},
      {{PowerEvent::willSleep, PowerEvent::screensDidSleep}, HostState::asleep, "Mac is asleep", nullptr},
      // Locked behind a sleeping display: the display's state, and the lock's note all the same.
      {{PowerEvent::screenLocked, PowerEvent::screensDidSleep},
       HostState::displayAsleep,
       "Mac display is asleep",
       "Mac is locked"},
      {{PowerEvent::screenLocked, PowerEvent::screenUnlocked}, HostState::ok, nullptr, nullptr},
      {{PowerEvent::willSleep, PowerEvent::didWake}, HostState::ok, nullptr, nullptr},
  };
  auto text = [](const char* value) { return value ? std::optional<std::string>(value) : std::nullopt; };
  startAndAdvertise();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    for (auto event : {PowerEvent::screenUnlocked, PowerEvent::screensDidWake, PowerEvent::didWake}) {
      model->handlePowerEvent(event);
    }
    for (auto event : cases[i].events) model->handlePowerEvent(event);
    loop.settle();  // the events reach the lifecycle before the device connects
    auto device = connectInProcess();
    ASSERT_TRUE(model->session()) << i;
    Seen told = seen(model->session());
    EXPECT_EQ(told.state, (HostStateReport{cases[i].state, text(cases[i].detail)})) << "case " << i;
    EXPECT_EQ(told.note, text(cases[i].note)) << "case " << i;
  }
}

TEST_F(AppModelTest, PowerEventsReachTheCurrentSessionInOrder) {
  using platform::PowerEvent;
  startAndAdvertise();
  auto device = connectInProcess();
  auto session = model->session();
  ASSERT_TRUE(session);

  model->handlePowerEvent(PowerEvent::willSleep);
  model->handlePowerEvent(PowerEvent::screensDidSleep);
  loop.settle();
  Seen told = seen(session);
  EXPECT_EQ(told.state, (HostStateReport{HostState::asleep, "Mac is asleep"}));
  EXPECT_EQ(told.note, "Mac is asleep");

  model->handlePowerEvent(PowerEvent::didWake);
  loop.settle();
  EXPECT_EQ(seen(session).state, (HostStateReport{HostState::displayAsleep, "Mac display is asleep"}));
  model->handlePowerEvent(PowerEvent::screensDidWake);
  model->handlePowerEvent(PowerEvent::screenLocked);
  loop.settle();
  told = seen(session);
  EXPECT_EQ(told.state, (HostStateReport{HostState::locked, "Mac is locked"}));
  EXPECT_EQ(told.note, "Mac is locked");
  model->handlePowerEvent(PowerEvent::screenUnlocked);
  loop.settle();
  EXPECT_EQ(seen(session).state, (HostStateReport{HostState::ok, std::nullopt}));
  EXPECT_FALSE(model->lifecycle()->captureSuspended());
}

TEST_F(AppModelTest, ASessionsWakeRequestGoesToTheCaptureLifecycle) {
  using platform::PowerEvent;
  std::function<asio::awaitable<void>(bool)> wakeRequested;
  auto s = services();
  s.makeEnvironment = [this, &wakeRequested](std::shared_ptr<EncoderFactory> encoders,
                                             AppModel::WakeRequest onWakeRequested) {
    wakeRequested = onWakeRequested;
    return environment(std::move(encoders), std::move(onWakeRequested));
  };
  makeModel(std::move(s));
  model->start();
  ASSERT_TRUE(loop.runUntil([&] { return model->supervisor() && factory.last(); }));
  auto device = connectInProcess();
  auto session = model->session();
  ASSERT_TRUE(session && wakeRequested);
  model->handlePowerEvent(PowerEvent::screensDidSleep);
  loop.settle();

  // As the session asks, from its own strand.
  Task ask = Task::spawn(loop.strand(), wakeRequested(false));
  loop.settle();
  EXPECT_EQ(seen(session).state, (HostStateReport{HostState::waking, std::nullopt}));
  loop.advance(6s);  // no display wake came: the retry gives up
  EXPECT_EQ(seen(session).state, (HostStateReport{HostState::displayAsleep, "Mac display is asleep"}));
}

TEST_F(AppModelTest, AWakeRestartsListeningOnThePortItHad) {
  startAndAdvertise();
  model->handlePowerEvent(platform::PowerEvent::willSleep);
  EXPECT_EQ(factory.requests.size(), 1u);
  model->handlePowerEvent(platform::PowerEvent::didWake);
  loop.settle();
  EXPECT_TRUE(factory.listeners[0]->stopped);
  EXPECT_EQ(factory.requests, (std::vector<std::optional<std::uint16_t>>{std::nullopt, 50000}));
  EXPECT_EQ(model->supervisor()->state(), ListenerState::starting());
}

TEST_F(AppModelTest, CaptureControlReachesTheCurrentSessionOnly) {
  startAndAdvertise();
  onMain(model->publish(HostState::asleep, "Mac is asleep"));  // no session: nothing to tell
  auto first = connectInProcess();
  auto firstSession = model->session();
  EXPECT_EQ(seen(firstSession).state, HostStateReport{});

  onMain(model->publish(HostState::locked, "Mac is locked"));
  onMain(model->suspendCapture("Mac display is asleep"));
  Seen told = seen(firstSession);
  EXPECT_EQ(told.state, (HostStateReport{HostState::locked, "Mac is locked"}));
  EXPECT_EQ(told.note, "Mac display is asleep");
  onMain(model->hostNote(std::nullopt));
  EXPECT_EQ(seen(firstSession).note, std::nullopt);

  auto second = connectInProcess();  // takes over: the first session is no longer told
  onMain(model->hostNote("Mac is locked"));
  EXPECT_EQ(seen(model->session()).note, "Mac is locked");
  EXPECT_EQ(seen(firstSession).note, std::nullopt);
}

TEST_F(AppModelTest, AModelDestroyedAfterSessionsRanLetsGoOfEverything) {
  startAndAdvertise();
  auto first = connect(phone);
  auto second = connect(tablet);  // replaces the first, which winds down
  loop.advance(200ms);
  ASSERT_TRUE(first->ended());
  std::weak_ptr<AppModel> weakModel = model;
  std::weak_ptr<HostSession> current = model->session();
  ASSERT_FALSE(current.expired());

  model.reset();  // as at the end of the process, with the second device still connected
  loop.advance(1s);
  EXPECT_TRUE(weakModel.expired());
  EXPECT_TRUE(current.expired());
  EXPECT_TRUE(second->ended());
}

// What the model had left when its stop() returned.
struct AtStop {
  bool stopped = false;
  std::size_t candidates = 0;
  std::optional<SessionStatus> status;
};

asio::awaitable<void> stopAndLook(std::shared_ptr<AppModel> model, AtStop* seen) {
  co_await model->stop();
  seen->stopped = true;
  seen->candidates = model->candidateCount();
  seen->status = model->status();
}

TEST_F(AppModelTest, StoppingServesEverySessionToItsEndBeforeItReturns) {
  startAndAdvertise();
  auto first = connect(phone);
  auto second = connect(tablet);  // replaces the first
  loop.advance(200ms);
  ASSERT_TRUE(first->ended());
  std::weak_ptr<HostSession> current = model->session();
  ASSERT_FALSE(current.expired());
  ASSERT_FALSE(model->status() && model->status()->phase == SessionStatus::Phase::ended);

  AtStop seen;
  Task stopping = Task::spawn(loop.strand(), stopAndLook(model, &seen));
  loop.advance(1s);
  ASSERT_TRUE(seen.stopped);
  EXPECT_TRUE(second->ended());
  // By the time stop() returned every session had ended, the current one through its own
  // teardown (which says so).
  EXPECT_EQ(seen.candidates, 0u);
  ASSERT_TRUE(seen.status);
  EXPECT_EQ(seen.status->phase, SessionStatus::Phase::ended);
  EXPECT_FALSE(model->session());
  EXPECT_TRUE(current.expired());
}

TEST_F(AppModelTest, LaunchAtLoginIsReadFromTheAutostartEntryWhenTheModelIsMade) {
  makeModel(services());
  EXPECT_FALSE(model->launchAtLogin());
  platform::LoginItem::mainApp().registerItem();
  makeModel(services());
  EXPECT_TRUE(model->launchAtLogin());
  platform::LoginItem::mainApp().unregisterItem();
}

TEST_F(AppModelTest, AConnectionBeforeTheEncoderProbeIsClosedAndLeavesNoCandidate) {
  makeModel(services());
  auto [host, client] = InMemoryConnection::pair();
  DeviceEnd end;
  end.connection = client;
  end.startReading(loop.strand());
  model->acceptConnection(host, false);
  loop.settle();
  EXPECT_TRUE(end.ended());
  EXPECT_EQ(model->candidateCount(), 0u);
  EXPECT_FALSE(model->session());
}

// Removing a device forgets it and denies its key remote access, which the running relay host
// service is told at once; without the host's identity nothing happens.
TEST_F(AppModelTest, RemovingADeviceDeniesItThroughTheRunningRelayService) {
  auto defaults = std::make_shared<platform::UserDefaults>(folder_ / "relay-settings.json");
  auto settings = std::make_shared<RelaySettings>(defaults, nullptr, "https://coordinator.test");
  settings->setEnabled(true);
  settings->setAccount("Family", "https://coordinator.test");
  auto http = std::make_shared<testing::FakeHTTPSession>();
  auto makeService = [this, http](const RelayAccount& account, std::shared_ptr<RelaySigner> signer,
                                  std::optional<std::uint16_t> port, std::vector<Bytes> denied) {
    auto client = CoordinatorClient::make(loop.io.get_executor(), account.baseURL, signer, http, loop.clock);
    return RelayHostService::make(loop.io.get_executor(), loop.clock, client, signer, port, std::move(denied), {});
  };
  auto enroll = [](std::string, std::string, std::shared_ptr<RelaySigner>) -> asio::awaitable<std::string> {
    co_return "Family";
  };
  auto relay = RelayController::make(loop.strand(), settings, std::make_shared<RelayProvisioner>(settings, loop.clock),
                                     makeService, enroll, loop.clock);
  auto s = services();
  s.relay = relay;

  const PairedDevice phoneEntry = *store->pairedDevice(phone);
  makeModel(s);
  model->removeDevice(phoneEntry);  // before the identity is loaded: nothing
  loop.settle();
  EXPECT_TRUE(settings->deniedKeys(loop.clock->wallNow()).empty());

  model->start();
  ASSERT_TRUE(
      loop.runUntil([&] { return model->security() && relay->service() && model->pairedDevices().size() == 2; }));
  EXPECT_TRUE(relay->service()->denied().empty());
  model->removeDevice(phoneEntry);
  loop.settle();
  ASSERT_EQ(model->pairedDevices().size(), 1u);
  EXPECT_EQ(model->pairedDevices()[0].deviceID, tablet);
  EXPECT_FALSE(store->pairedDevice(phone)) << "the device is still paired";
  EXPECT_EQ(settings->deniedKeys(loop.clock->wallNow()), std::vector<Bytes>{phoneEntry.publicKey});
  EXPECT_EQ(relay->service()->denied(), std::vector<Bytes>{phoneEntry.publicKey});
  relay->setSwitch(false);
  loop.settle();
}

}  // namespace
}  // namespace brindlet::host
