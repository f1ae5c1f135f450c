#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string_view>

#include <asio/io_context.hpp>

#include "host/app/HostComposition.h"
#include "host/capture/CaptureSource.h"
#include "kit/pairing/HostPairingService.h"
#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/support/ManualClock.h"
#include "kit/support/SystemClock.h"
#include "kit/support/Task.h"
#include "platform/storage/UserDefaults.h"
#include "session/core/SessionDoubles.h"

namespace brindlet::host::testing {
namespace {

// Points the settings and caches at a fresh folder for the test's life.
class TemporaryHome {
 public:
  TemporaryHome() : root_(std::filesystem::temp_directory_path() / ("session-home-" + UUID::random().uuidString())) {
    std::filesystem::create_directories(root_);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
      if (const char* old = std::getenv(name)) saved_.emplace_back(name, old);
      setenv(name, (root_ / name).c_str(), 1);
    }
  }
  ~TemporaryHome() {
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) unsetenv(name);
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    std::filesystem::remove_all(root_);
  }
  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

asio::awaitable<void> noWake(bool) { co_return; }

// The host's services over settings in the temporary home, on a manual clock.
struct Services {
  asio::io_context io;
  std::shared_ptr<platform::UserDefaults> settings =
      std::make_shared<platform::UserDefaults>(platform::UserDefaults::standardFile());
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  HostServices host = HostServices::make(io.get_executor(), clock, settings);

  HostEnvironment environment(std::shared_ptr<EncoderFactory> encoders = nullptr) {
    return sessionEnvironment(host, std::move(encoders), noWake);
  }
};

TEST(HostComposition, TwoEnvironmentsShareTheHostsServicesButNoSessionObject) {
  TemporaryHome home;
  Services services;
  auto encoders = std::make_shared<FixedEncoderFactory>(std::vector{CodecProfile::hevcMain});
  auto displays = std::make_shared<FixedDisplays>(std::vector<DisplayInfo>{});
  services.host.displays = displays;
  HostEnvironment a = services.environment(encoders);
  HostEnvironment b = services.environment(encoders);

  // The host ID is the one of the settings, made once.
  EXPECT_EQ(services.settings->string("hostID"), a.hostID.uuidString());
  EXPECT_EQ(a.hostID, b.hostID);
  EXPECT_EQ(a.hostName, b.hostName);
  EXPECT_FALSE(a.hostName.empty());
  // The application's display provider and encoder factory are the ones given.
  EXPECT_EQ(a.displays, displays);
  EXPECT_EQ(a.encoders, encoders);
  // One power manager and one clock for the whole computer.
  for (const HostEnvironment* env : {&a, &b}) {
    EXPECT_EQ(env->power, services.host.power);
    EXPECT_EQ(env->clock, services.clock);
  }
  ASSERT_NE(a.power, nullptr);

  const std::vector<std::pair<const void*, const void*>> sessionObjects{{a.injector.get(), b.injector.get()},
                                                                        {a.clicks.get(), b.clicks.get()}};
  std::set<const void*> seen;
  for (auto [x, y] : sessionObjects) {
    ASSERT_NE(x, nullptr);
    EXPECT_NE(x, y);
    EXPECT_TRUE(seen.insert(x).second);
    EXPECT_TRUE(seen.insert(y).second);
  }
}

TEST(HostComposition, LiveEnvironmentHasTheHostsIntervalsAndQuietDefaults) {
  TemporaryHome home;
  Services services;
  HostEnvironment env = services.environment();
  EXPECT_EQ(env.idleRefreshDelay, 0.15);
  EXPECT_EQ(env.statsInterval, 1);
  EXPECT_EQ(services.host.inbox.root, home.root() / "XDG_CACHE_HOME" / "io.tavix.nolu.host" / "Inbox");
  ASSERT_TRUE(env.inbox);
  EXPECT_EQ(env.inbox->root, services.host.inbox.root);
  EXPECT_TRUE(env.keepDisplayAwake());  // the setting is absent
  // The setting is read from the host's settings at each call.
  services.settings->set("keepDisplayAwakeWhileConnected", false);
  EXPECT_FALSE(env.keepDisplayAwake());
  EXPECT_FALSE(env.relayConfig(Bytes(65, 4)));  // remote access is not set up
  // What this host cannot do yet it says so, and never pretends to have done it.
  auto capture = env.makeCapture();
  EXPECT_NE(capture, nullptr);
  EXPECT_NE(capture, env.makeCapture());  // a new source for each call
  EXPECT_EQ(env.clipboardPollInterval, 0.5);
  EXPECT_EQ(env.cursorPollInterval, 1.0 / 60);
  EXPECT_EQ(env.cursorShapePollInterval, 1.0 / 30);
  EXPECT_EQ(env.cursorInputInterval, 1.0 / 120);
  EXPECT_EQ(env.thumbnailInterval, 1);
  // One clipboard, cursor and thumbnail service for every session.
  EXPECT_EQ(env.pasteboard, services.environment().pasteboard);
}

TEST(HostComposition, TheQUICIdleTimeOutIsTakenFromTheProcessOnlyWhenItIsAPositiveNumber) {
  struct Case {
    const char* text;
    std::optional<Clock::Duration> timeout;
  };
  const std::vector<Case> cases{{nullptr, std::nullopt},
                                {"2000", std::chrono::milliseconds(2000)},
                                {"1", std::chrono::milliseconds(1)},
                                {"0", std::nullopt},
                                {"-5", std::nullopt},
                                {"2s", std::nullopt},
                                {"", std::nullopt}};
  for (const Case& c : cases) {
    HostOptions options = HostOptions::from([&](const char* name) -> const char* {
      return std::string_view(name) == "BRINDLET_QUIC_IDLE_TIMEOUT_MS" ? c.text : nullptr;
    });
    EXPECT_EQ(options.quicIdleTimeout, c.timeout) << (c.text ? c.text : "(unset)");
    EXPECT_FALSE(options.hostingTests);
  }
  HostOptions hosting = HostOptions::from([](const char* name) -> const char* {
    return std::string_view(name) == "XCTestConfigurationFilePath" ? "/tmp/x" : nullptr;
  });
  EXPECT_TRUE(hosting.hostingTests);
  EXPECT_EQ(hosting.quicIdleTimeout, std::nullopt);
}

TEST(HostComposition, TheHostsQUICLimits) {
  QUICConfiguration c = hostQUICConfiguration();
  EXPECT_EQ(c.maxVideoFramesInFlight, 3);
  EXPECT_EQ(c.maxVideoBytesInFlight, 2 * 1024 * 1024);
  EXPECT_EQ(c.idleTimeout, std::chrono::seconds(30));
  EXPECT_EQ(c.handshakeTimeout, std::chrono::seconds(10));
  EXPECT_EQ(c.maxBufferedIncomingVideoFrames, 8);
  EXPECT_EQ(c.maxAudioPacketsInFlight, 20);
  EXPECT_EQ(c.maxTransferBytesInFlight, 256 * 1024);
  EXPECT_EQ(c.maxBufferedIncomingAudioPackets, 200);
  EXPECT_EQ(c.maxUDPPayloadSize, 1350);
}

asio::awaitable<void> readyPort(ListenerStart start, std::optional<std::uint16_t>* port) {
  *port = co_await start.ready();
}

// Binds the listener and answers the port it got (nothing when it did not become ready).
std::optional<std::uint16_t> boundPort(std::optional<std::uint16_t> requested) {
  asio::io_context io;
  auto identity = createSelfSignedIdentity("session.test.identity", false, "Studio");
  auto service = std::make_shared<HostPairingService>(io.get_executor(), UUID::random(), "Studio",
                                                      identity->fingerprint, nullptr, nullptr, nullptr);
  ListenerStart start = makeQUICListener(io, HostSecurity{identity, service}, requested, false, hostQUICConfiguration(),
                                         SystemClock::shared());
  start.listener->start();
  std::optional<std::uint16_t> port;
  Task waiting = Task::spawn(makeStrand(io.get_executor()), readyPort(start, &port));
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!port && std::chrono::steady_clock::now() < giveUp) io.run_for(std::chrono::milliseconds(10));
  start.listener->stop();
  io.run_for(std::chrono::milliseconds(10));
  return port;
}

TEST(HostComposition, TheQUICListenerBindsTheRequestedPortElseAnyFreeOne) {
  TemporaryHome home;
  auto any = boundPort(std::nullopt);
  ASSERT_TRUE(any);
  EXPECT_NE(*any, 0);
  auto again = boundPort(*any);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *any);
}

}  // namespace
}  // namespace brindlet::host::testing
