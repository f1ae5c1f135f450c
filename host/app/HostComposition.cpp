#include "host/app/HostComposition.h"

#include "host/HostLog.h"

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "host/app/HostName.h"
#include "host/app/KeepDisplayAwakeSetting.h"
#include "host/app/RelayController.h"
#include "host/app/RelayProvisioner.h"
#include "host/app/RelaySettings.h"
#include "host/app/SystemPowerManager.h"
#include "host/capture/AACELDEncoder.h"
#include "host/capture/AudioTapArbiter.h"
#include "host/capture/CoreAudioTapCapture.h"
#include "host/capture/DisplayManager.h"
#include "host/capture/ScreenCaptureSource.h"
#include "host/capture/ScreenshotThumbnails.h"
#include "host/capture/SystemCursorSource.h"
#include "host/capture/VTEncoderFactory.h"
#include "host/control/CGEventInjector.h"
#include "host/control/ClickRecord.h"
#include "host/control/AXWindowController.h"
#include "host/control/CGWindowTracker.h"
#include "host/control/FitRestoreRegistry.h"
#include "host/control/LayoutReverseMap.h"
#include "host/control/SystemFocusObserver.h"
#include "host/control/SystemInstalledApps.h"
#include "host/control/SystemAppQuitter.h"
#include "host/control/WindowEvents.h"
#include "host/control/FrontmostApps.h"
#include "host/control/SystemAppProvider.h"
#include "host/control/SystemWindowThumbnails.h"
#include "host/control/LayoutReverseMap.h"
#include "host/control/SystemMenuSource.h"
#include "host/control/SystemTextFocusSource.h"
#include "host/control/SystemPasteboard.h"
#include "kit/pairing/HostAuthGate.h"
#include "kit/pairing/HostPairingService.h"
#include "kit/pairing/KeychainSecretStore.h"
#include "kit/pairing/PairedDeviceStore.h"
#include "host/app/UpdateController.h"
#include "kit/relay/CoordinatorClient.h"
#include "kit/relay/RelayHostService.h"
#include "kit/support/SystemClock.h"
#include "kit/transport/QUICHostListener.h"
#include "platform/accessibility/Accessibility.h"
#include "platform/clipboard/X11Clipboard.h"
#include "platform/http/HTTPSession.h"
#include "platform/input/EventPoster.h"
#include "platform/power/LoginItem.h"
#include "platform/screen/CursorImage.h"
#include "platform/screen/DisplayPower.h"
#include "platform/screen/DisplaySnapshot.h"
#include "platform/storage/UserDefaults.h"
#include "platform/support/MemoryReturn.h"
#include "platform/windows/WindowManager.h"
#include "platform/screen/WindowSnapshot.h"

#include <unistd.h>

namespace brindlet::host {

HostOptions HostOptions::from(const std::function<const char*(const char*)>& lookup) {
  HostOptions options;
  if (const char* text = lookup("BRINDLET_QUIC_IDLE_TIMEOUT_MS")) {
    long long milliseconds = 0;
    const char* end = text + std::strlen(text);
    auto [stop, error] = std::from_chars(text, end, milliseconds);
    if (error == std::errc{} && stop == end && milliseconds > 0) {
      options.quicIdleTimeout = std::chrono::milliseconds(milliseconds);
    }
  }
  options.hostingTests = lookup("XCTestConfigurationFilePath") != nullptr;
  return options;
}

HostOptions HostOptions::fromProcess() {
  return from([](const char* name) -> const char* { return std::getenv(name); });
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
                               std::optional<std::uint16_t> port, bool advertise,
                               const QUICConfiguration& configuration, std::shared_ptr<Clock> clock) {
  std::string hostName = localizedHostName();
  transportLog().info("creating QUIC listener, advertising as %s", hostName.c_str());
  auto listener = QUICHostListener::create(context, hostName, security.service->hostID(), security.identity, port,
                                           advertise, configuration, std::move(clock));
  return ListenerStart{listener, [listener] { return listener->waitUntilReady(); }};
}

HostServices HostServices::make(const Executor& executor, std::shared_ptr<Clock> clock,
                                std::shared_ptr<platform::UserDefaults> settings) {
  HostServices services;
  services.executor = executor;
  services.clock = std::move(clock);
  services.hostID = loadHostID(*settings);
  services.power = std::make_shared<SystemPowerManager>();
  services.keyboard = std::make_shared<KeyboardLayouts>();
  // One connection to the X server, asked by the refresh task only; a read is the answer of the
  // last refresh, so no session waits for the server. A server without DPMS never puts its
  // monitors to sleep.
  services.displaySleep = platform::DisplaySleep::open();
  services.isDisplayAsleep = [sleep = services.displaySleep] { return sleep->asleep().value_or(false); };
  services.keepDisplayAwake = [settings] { return keepDisplayAwakeSetting(*settings); };
  services.inbox = HostInbox{HostInbox::defaultRoot()};
  services.fitRestore = std::make_shared<FitRestoreRegistry>();
  services.installedApps =
      std::make_shared<SystemInstalledApps>(InstalledAppsScanner::desktopEntries(), services.clock, 60);
  try {
    services.windows = platform::WindowManager::open();
    services.windowEvents = WindowEvents::make(executor);
  } catch (const std::exception& error) {
    sessionLog().error("windows unavailable: %s", error.what());
  }
  try {
    services.pasteboard = std::make_shared<SystemPasteboard>(platform::X11Clipboard::open(executor, services.clock));
  } catch (const std::exception& error) {
    sessionLog().error("the clipboard is not shared: %s", error.what());
  }
  try {
    services.cursorSource = std::make_shared<SystemCursorSource>(platform::CursorImageSource::open());
  } catch (const std::exception& error) {
    sessionLog().error("the cursor's shape is not reported: %s", error.what());
  }
  try {
    services.windowThumbnails =
        std::make_shared<SystemWindowThumbnails>(executor, platform::WindowSnapshot::open());
  } catch (const std::exception& error) {
    sessionLog().error("window thumbnails are not available: %s", error.what());
  }
  try {
    services.thumbnails = std::make_shared<ScreenshotThumbnails>(executor, platform::DisplaySnapshot::open());
  } catch (const std::exception& error) {
    sessionLog().error("display thumbnails are not available: %s", error.what());
  }
  services.audioArbiter = std::make_shared<AudioTapArbiter>();
  services.audioEncoders = std::make_shared<AACELDEncoderFactory>();
  services.audioRouting = std::make_shared<platform::PulseRouting>();
  return services;
}

HostEnvironment sessionEnvironment(const HostServices& services, std::shared_ptr<EncoderFactory> encoders,
                                   std::function<asio::awaitable<void>(bool)> onWakeRequested) {
  HostEnvironment env;
  env.hostID = services.hostID;
  env.hostName = localizedHostName();
  env.displays = services.displays;
  env.makeCapture = [executor = services.executor]() -> std::shared_ptr<CaptureSource> {
    return ScreenCaptureSource::make(executor);
  };
  env.encoders = std::move(encoders);
  env.clock = services.clock;
  env.audioArbiter = services.audioArbiter;
  env.audioEncoders = services.audioEncoders;
  env.makeAudioCapture = [executor = services.executor, clock = services.clock,
                          routing = services.audioRouting]() -> std::shared_ptr<AudioCapturing> {
    return std::make_shared<CoreAudioTapCapture>(executor, clock, routing);
  };
  auto poster = std::make_shared<platform::EventPoster>();
  poster->releaseKeysOfEndedPosters();  // keys a host killed mid-press left down, without repeat
  env.injector =
      std::make_shared<CGEventInjector>(poster, env.clock, CGEventInjector::systemKeyboard(services.keyboard));
  env.clicks = std::make_shared<ClickRecord>();
  env.menus = services.menus;
  env.keyLayout = [keyboard = services.keyboard](const std::string& character) {
    return keyboard->keystroke(character);
  };
  env.textFocus = services.textFocus;
  env.inbox = services.inbox;
  env.pasteboard = services.pasteboard;
  env.cursorSource = services.cursorSource;
  env.thumbnails = services.thumbnails;
  env.power = services.power;
  env.keepDisplayAwake = services.keepDisplayAwake;
  env.isDisplayAsleep = services.isDisplayAsleep;
  // Screen capture on X11 needs no permission.
  env.screenRecordingGranted = [] { return true; };
  env.onWakeRequested = std::move(onWakeRequested);
  if (services.windows) {
    env.windowControl = std::make_shared<AXWindowController>(services.windows, env.clock);
    env.windowTracker = std::make_shared<CGWindowTracker>(services.windows);
    env.focusObserver = std::make_shared<SystemFocusObserver>(services.windows, services.windowEvents, getpid());
    env.appQuitter = std::make_shared<SystemAppQuitter>(services.windows);
  }
  env.fitRestore = services.fitRestore;
  env.installedApps = services.installedApps;
  if (services.apps) {
    env.apps = services.apps;
    env.appLauncher = std::make_shared<SystemAppLauncher>(services.apps);
  }
  env.windowThumbnails = services.windowThumbnails;
  env.hostPID = getpid();
  env.relayConfig = services.relayConfig;
  if (!env.relayConfig) env.relayConfig = [](const Bytes&) -> std::optional<RelayProvision> { return std::nullopt; };
  return env;
}

namespace {

asio::awaitable<std::string> enrollWith(Executor executor, std::shared_ptr<platform::HTTPSession> http,
                                        std::shared_ptr<Clock> clock, std::string url, std::string code,
                                        std::shared_ptr<RelaySigner> signer) {
  auto client = CoordinatorClient::make(executor, url, std::move(signer), std::move(http), std::move(clock));
  co_return co_await client->enroll(std::move(code));
}

// The relay settings, the provisioner and the relay controller. No coordinator ships with the
// host: remote access needs "relay.coordinatorURL" set.
void makeRemoteAccess(HostComposition& root, const Executor& executor, const Strand& main,
                      std::shared_ptr<Clock> clock) {
  root.http = platform::makeHTTPSession(executor, {});
  root.relaySettings = std::make_shared<RelaySettings>(
      root.settings, [] { KeychainSecretStore("io.tavix.nolu.host", "relay-account-secret").remove(); }, "");
  root.provisioner = std::make_shared<RelayProvisioner>(root.relaySettings, clock);
  root.services.relayConfig = [provisioner = root.provisioner](const Bytes& key) {
    return provisioner->provision(key);
  };
  auto http = root.http;
  RelayController::ServiceFactory makeService = [executor, clock, http](
                                                    const RelayAccount& account, std::shared_ptr<RelaySigner> signer,
                                                    std::optional<std::uint16_t> port, std::vector<Bytes> denied) {
    auto client = CoordinatorClient::make(executor, account.baseURL, signer, http, clock);
    return RelayHostService::make(executor, clock, std::move(client), std::move(signer), port, std::move(denied),
                                  RelayHostService::Options{});
  };
  RelayController::Enroll enroll = [executor, clock, http](std::string url, std::string code,
                                                           std::shared_ptr<RelaySigner> signer) {
    return enrollWith(executor, http, clock, std::move(url), std::move(code), std::move(signer));
  };
  root.relay = RelayController::make(main, root.relaySettings, root.provisioner, std::move(makeService),
                                     std::move(enroll), clock);
}

}  // namespace

std::unique_ptr<HostComposition> HostComposition::build(asio::io_context& io, Strand mainStrand,
                                                        const HostOptions& options) {
  Executor executor = io.get_executor();
  std::shared_ptr<Clock> clock = SystemClock::shared();
  auto root = std::make_unique<HostComposition>();

  std::shared_ptr<DisplayProviding> displays;
  try {
    displays = DisplayManager::make(executor, clock);
  } catch (const std::exception& error) {
    throw DisplaysUnavailable(error.what());
  }
  root->settings = std::make_shared<platform::UserDefaults>(platform::UserDefaults::standardFile());
  root->services = HostServices::make(executor, clock, root->settings);
  root->services.displays = std::move(displays);
  if (root->services.windows) {
    root->services.apps = SystemAppProvider::make(executor, clock, root->services.windows,
                                                  root->services.windowEvents, root->services.displays);
  }
  auto accessibility = platform::Accessibility::shared();
  auto frontmost = FrontmostApps::make(executor, clock);
  root->services.menus = std::make_shared<SystemMenuSource>(accessibility, frontmost, clock);
  root->services.textFocus = std::make_shared<SystemTextFocusSource>(executor, accessibility, frontmost, clock);
  root->displaySleepRefresh =
      Task::spawn(makeStrand(executor), platform::DisplaySleep::follow(root->services.displaySleep, clock));
  root->quic = hostQUICConfiguration();
  if (options.quicIdleTimeout) root->quic.idleTimeout = *options.quicIdleTimeout;
  root->loopback = std::make_shared<LoopbackHostListener>();
  makeRemoteAccess(*root, executor, mainStrand, clock);

  const HostServices& services = root->services;
  AppModel::Services model;
  model.probeEncoders = []() -> std::shared_ptr<EncoderFactory> {
    return std::make_shared<VTEncoderFactory>(
        VTEncoderFactory::probe({CodecProfile::hevcMain444, CodecProfile::hevcMain}));
  };
  model.loadIdentity = [] { return loadOrCreateHostIdentity("io.tavix.nolu.host.identity", "Nolu Host"); };
  model.openPairedDevices = [] { return std::make_shared<PairedDeviceStore>(defaultPairedDevicesURL()); };
  model.makeGate = [executor, clock](
                       std::shared_ptr<Connection> connection, std::shared_ptr<HostPairingService> service,
                       AuthTimeouts timeouts,
                       AppModel::AuthenticatedHandler onAuthenticated) -> std::shared_ptr<HostAuthGating> {
    return HostAuthGate::make(executor, std::move(connection), std::move(service), timeouts, std::move(onAuthenticated),
                              clock);
  };
  model.makeEnvironment = [services](std::shared_ptr<EncoderFactory> encoders, AppModel::WakeRequest onWakeRequested) {
    return sessionEnvironment(services, std::move(encoders), std::move(onWakeRequested));
  };
  model.permissions = Permissions::system();
  model.clock = clock;
  model.inbox = services.inbox;
  model.hostID = services.hostID;
  model.isDisplayAsleep = services.isDisplayAsleep;
  model.keepDisplayAwake = services.keepDisplayAwake;
  model.loginItem = platform::LoginItem::mainApp();
  model.storeKeepDisplayAwake = [settings = root->settings](bool value) {
    settings->set("keepDisplayAwakeWhileConnected", value);
  };
  model.listenerFactory = [&io, quic = root->quic, clock](const HostSecurity& security,
                                                          std::optional<std::uint16_t> port) {
    return makeQUICListener(io, security, port, true, quic, clock);
  };
  model.relay = root->relay;
  // What a session freed between blocks still in use goes back to the system.
  model.afterSession = [] { platform::giveBackFreePages(); };
  root->model = AppModel::make(executor, mainStrand, services.power, root->loopback, std::move(model));
  // The host's package, when it was installed from one, is checked for updates through PackageKit.
  platform::PackageKitUpdaterOptions updater;
  updater.programPath = "/proc/self/exe";
  updater.log = [](const std::string& why) { transportLog().notice("%s", why.c_str()); };
  root->updates =
      UpdateController::make(mainStrand, platform::makePackageKitUpdater(std::move(updater)), !options.hostingTests);
  return root;
}

}  // namespace brindlet::host
