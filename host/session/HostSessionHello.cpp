#include <array>
#include <cstdio>
#include <string>

#include "host/HostLog.h"
#include "host/capture/DisplayManager.h"
#include "host/capture/PowerManaging.h"
#include "host/capture/VideoEncoder.h"
#include "host/session/ClipboardFeature.h"
#include "host/session/CursorFeature.h"
#include "host/session/HostSession.h"
#include "host/session/SessionDispatch.h"
#include "host/session/StreamingFeature.h"
#include "host/session/TextFocusFeature.h"

#include <algorithm>

namespace brindlet::host {

namespace {

// The profiles the host streams in, best first.
constexpr std::array<CodecProfile, 2> profilePreference{CodecProfile::hevcMain444, CodecProfile::hevcMain};

bool contains(const std::vector<CodecProfile>& profiles, CodecProfile profile) {
  return std::find(profiles.begin(), profiles.end(), profile) != profiles.end();
}

// "[2, 0]": the profiles' raw values.
std::string rawValueList(const std::vector<CodecProfile>& profiles) {
  std::string text = "[";
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(static_cast<unsigned>(profiles[i]));
  }
  return text + "]";
}

}  // namespace

std::optional<CodecProfile> HostSession::negotiateCodecProfile(const std::vector<CodecProfile>& client,
                                                               const std::vector<CodecProfile>& host) {
  for (CodecProfile profile : profilePreference) {
    if (contains(client, profile) && contains(host, profile)) return profile;
  }
  return std::nullopt;
}

asio::awaitable<void> HostSession::checkDeviceAndHandleHello(const msg::Hello& hello) {
  if (authGate_) {
    auto deviceID = co_await authGate_->authenticatedDeviceID();
    if (!deviceID || *deviceID != hello.deviceID) {
      co_await reject("Device ID does not match the authenticated device.");
      co_return;
    }
  }
  co_await handleHello(hello);
}

asio::awaitable<void> HostSession::handleHello(const msg::Hello& hello) {
  auto self = shared_from_this();
  if (client_) co_return;  // a hello was accepted before: later ones change nothing
  if (hello.version != protocolVersion) {
    co_await reject("Unsupported protocol version " + std::to_string(hello.version) + "; this host speaks " +
                    std::to_string(protocolVersion) + ".");
    co_return;
  }
  auto profile = negotiateCodecProfile(hello.capabilities.decodableProfiles, env_.encoders->supportedProfiles());
  if (!profile) {
    co_await reject("No common video profile.");
    co_return;
  }
  client_ = hello.capabilities;
  sessionLog().info("hello from %s v%hu profiles=%s screen=%ux%u", hello.deviceName.c_str(), hello.version,
                    rawValueList(hello.capabilities.decodableProfiles).c_str(), hello.capabilities.screenPixelWidth,
                    hello.capabilities.screenPixelHeight);
  sessionLog().info("negotiated profile %s", std::string(displayName(*profile)).c_str());
  status_.deviceName = hello.deviceName;
  status_.profile = *profile;
  status_.targetBitrateMbps = static_cast<double>(streaming_->targetBitrate()) / 1'000'000;
  streaming_->startPipeline(*profile);
  connection_->send(msg::HelloAck{protocolVersion, env_.hostID, env_.hostName, *profile});
  helloAcked_ = true;

  co_await sendRelayConfigIsolated();
  if (streaming_->videoEnabled() && !env_.screenRecordingGranted()) {
    captureProblem_ = HostStateReport{HostState::permissionMissing, "Screen Recording permission is not granted"};
  }
  if (helloAcked_) sendHostStatus(currentHostStateIsolated());
  keepAwake_ = env_.keepDisplayAwake();
  updateKeepAwake();
  bool asleep = env_.isDisplayAsleep();
  env_.power->wakeDisplay();
  co_await env_.onWakeRequested(asleep);

  co_await streaming_->begin();
  if (status_.phase == SessionStatus::Phase::ended) co_return;
  textFocus_->start();
  cursor_->start();
  clipboard_->start();
}

asio::awaitable<void> HostSession::reject(std::string reason) {
  auto self = shared_from_this();
  connection_->send(msg::HelloReject{reason});
  status_.note = std::move(reason);
  status_.phase = SessionStatus::Phase::ended;
  publishStatus();
  co_await closeAfterFlush();
}

void HostSession::registerHandlers(SessionDispatch& d) { d.on<&HostSession::onPing>(); }

asio::awaitable<void> HostSession::onPing(const msg::Ping& ping) {
  connection_->send(msg::Pong{ping.value});
  co_return;
}

}  // namespace brindlet::host
