#include "session/core/SessionDoubles.h"

namespace brindlet::host::testing {

namespace {
asio::awaitable<void> nothing() { co_return; }
}  // namespace

HostEnvironment TestServices::environment() {
  HostEnvironment env;
  env.hostID = UUID::parse("6F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9").value();
  env.hostName = "Studio";
  env.displays = displays;
  env.encoders = encoders;
  env.injector = injector;
  env.pasteboard = pasteboard;
  env.clicks = clicks;
  env.power = power;
  env.keepDisplayAwake = [] { return true; };
  env.isDisplayAsleep = [this] { return displayAsleep; };
  env.screenRecordingGranted = [this] { return screenRecordingGranted; };
  env.onWakeRequested = [this](bool asleep) {
    wakeRequests.push_back(asleep);
    return nothing();
  };
  env.relayConfig = [this](const Bytes& key) {
    provisionKeys.push_back(key);
    return provision;
  };
  env.makeCapture = [this]() -> std::shared_ptr<CaptureSource> {
    auto source = std::make_shared<FakeCaptureSource>();
    source->failure = captureFailure;
    captures.push_back(source);
    return source;
  };
  env.clock = clock;
  return env;
}

}  // namespace brindlet::host::testing
