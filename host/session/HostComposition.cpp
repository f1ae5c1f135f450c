#include "host/session/HostComposition.h"

#include "host/HostLog.h"

#include <unistd.h>

#include <limits.h>
#include <chrono>
#include <fstream>

#include "host/app/KeepDisplayAwakeSetting.h"
#include "host/app/SystemPowerManager.h"
#include "host/capture/ScreenCaptureSource.h"
#include "host/control/CGEventInjector.h"
#include "host/control/ClickRecord.h"
#include "kit/pairing/HostPairingService.h"
#include "kit/support/SystemClock.h"
#include "kit/transport/QUICHostListener.h"
#include "platform/input/EventPoster.h"
#include "platform/screen/DisplayPower.h"

namespace brindlet::host {

namespace {

// PRETTY_HOSTNAME of /etc/machine-info, unquoted; empty when there is none.
std::string prettyHostName() {
  std::ifstream file("/etc/machine-info");
  std::string line;
  const std::string key = "PRETTY_HOSTNAME=";
  while (std::getline(file, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

}  // namespace

std::string localizedHostName() {
  if (std::string pretty = prettyHostName(); !pretty.empty()) return pretty;
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

QUICConfiguration hostQUICConfiguration() {
  QUICConfiguration configuration;
  configuration.maxVideoFramesInFlight = 3;
  configuration.maxVideoBytesInFlight = 2'097'152;
  configuration.idleTimeout = std::chrono::seconds(30);
  configuration.handshakeTimeout = std::chrono::seconds(10);
  configuration.maxBufferedIncomingVideoFrames = 8;
  configuration.maxAudioPacketsInFlight = 20;
  configuration.maxTransferBytesInFlight = 262'144;
  configuration.maxBufferedIncomingAudioPackets = 200;
  configuration.maxUDPPayloadSize = 1350;
  return configuration;
}

ListenerStart makeQUICListener(asio::io_context& context, const HostSecurity& security,
                               std::optional<std::uint16_t> port, bool advertise) {
  std::string hostName = localizedHostName();
  transportLog().info("creating QUIC listener, advertising as %s", hostName.c_str());
  auto listener = QUICHostListener::create(context, hostName, security.service->hostID(), security.identity, port,
                                           advertise, hostQUICConfiguration());
  return ListenerStart{listener, [listener] { return listener->waitUntilReady(); }};
}

bool mainDisplayIsAsleep() {
  static platform::MonitorPower monitors;
  // A server without DPMS never puts its monitors to sleep.
  return monitors.asleep().value_or(false);
}

HostEnvironment HostEnvironment::live(const Executor& executor, std::shared_ptr<EncoderFactory> encoders,
                                      std::shared_ptr<DisplayProviding> displays) {
  HostEnvironment env;
  env.hostID = loadHostID();
  env.hostName = localizedHostName();
  env.displays = std::move(displays);
  env.makeCapture = [executor]() -> std::shared_ptr<CaptureSource> { return ScreenCaptureSource::make(executor); };
  env.encoders = std::move(encoders);
  env.clock = SystemClock::shared();
  env.injector = std::make_shared<CGEventInjector>(std::make_shared<platform::EventPoster>(), env.clock);
  env.clicks = std::make_shared<ClickRecord>();
  env.power = std::make_shared<SystemPowerManager>();
  env.keepDisplayAwake = keepDisplayAwakeSetting;
  env.isDisplayAsleep = mainDisplayIsAsleep;
  // Screen capture on X11 needs no permission.
  env.screenRecordingGranted = [] { return true; };
  env.onWakeRequested = [](bool) -> asio::awaitable<void> { co_return; };
  // Remote access is not set up on this host.
  env.relayConfig = [](const Bytes&) -> std::optional<RelayProvision> { return std::nullopt; };
  return env;
}

}  // namespace brindlet::host
