#pragma once

// The composition root of the host. HostComposition::build makes every production service
// once (the displays, the power manager, the keyboard layouts, the display-sleep probe, the
// settings, the host ID, the inbox, the QUIC configuration, the listener factory ...) and the
// application model they are handed to; each accepted connection's environment is made by
// the factory it hands the model. Nothing below this file reads the process's settings,
// login item or environment variables: this file does, once.
//
//   HostOptions options = HostOptions::fromProcess();     // in main
//   auto root = HostComposition::build(io, mainStrand, options);
//   root->model->start();

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/app/AppModel.h"
#include "host/control/HostInbox.h"
#include "host/session/HostEnvironment.h"
#include "host/session/HostSecurity.h"
#include "host/session/LoopbackHostListener.h"
#include "kit/support/Task.h"
#include "kit/support/UUID.h"
#include "kit/transport/QUICConfiguration.h"

#include <asio/io_context.hpp>

namespace brindlet::platform {
class DisplaySleep;
class HTTPSession;
class PulseRouting;
class UserDefaults;
class WindowManager;
}  // namespace brindlet::platform

namespace brindlet::host {

class CursorSource;
class DisplayProviding;
class EncoderFactory;
class FitRestoreRegistry;
class InstalledAppsProviding;
class SystemAppProvider;
class WindowThumbnailProviding;
class WindowEvents;
class PasteboardProviding;
class ThumbnailProviding;
class KeyboardLayouts;
class MenuSource;
class PowerManaging;
class TextFocusSource;
class RelayController;
class RelayProvisioner;
class RelaySettings;
class UpdateController;

// What the process's environment asks of this run; read once, by main.
struct HostOptions {
  // BRINDLET_QUIC_IDLE_TIMEOUT_MS: the QUIC idle time-out in milliseconds (tests shorten it
  // so that a vanished device is noticed soon); nothing: the host's own.
  std::optional<Clock::Duration> quicIdleTimeout;
  // XCTestConfigurationFilePath: the process only hosts tests; it makes everything and
  // starts nothing.
  bool hostingTests = false;

  // From the variables `lookup` answers (getenv in the process); a time-out that is not a
  // positive number of milliseconds is ignored.
  static HostOptions from(const std::function<const char*(const char*)>& lookup);
  static HostOptions fromProcess();
};

// The transport limits of the host's QUIC listener and of every connection it accepts.
QUICConfiguration hostQUICConfiguration();

// The QUIC listener with the host's identity and `configuration`, advertised under this
// computer's name when `advertise`, on `port` or on any free port; it runs on `context` and
// its connections' timers on `clock`. Throws the listener's creation error.
ListenerStart makeQUICListener(asio::io_context& context, const HostSecurity& security,
                               std::optional<std::uint16_t> port, bool advertise,
                               const QUICConfiguration& configuration, std::shared_ptr<Clock> clock);

// The host's services that every session shares, each made once.
class AudioEncoderFactory;
class AudioTapArbiter;

struct HostServices {
  Executor executor;  // where the actors of a session's environment run
  std::shared_ptr<Clock> clock;
  UUID hostID;
  std::shared_ptr<DisplayProviding> displays;
  std::shared_ptr<PowerManaging> power;
  std::shared_ptr<KeyboardLayouts> keyboard;
  // The monitors' DPMS state, refreshed by the root's task; whether the main display sleeps
  // (its monitors are in a power-saving mode) as last read.
  std::shared_ptr<platform::DisplaySleep> displaySleep;
  std::function<bool()> isDisplayAsleep;
  // The setting "keepDisplayAwakeWhileConnected", read at each call.
  std::function<bool()> keepDisplayAwake;
  HostInbox inbox;
  // The windows of the X screen, their notices, and the windows that fit mode resized, to be
  // put back when the host exits (absent windows: no X server to ask).
  std::shared_ptr<platform::WindowManager> windows;
  std::shared_ptr<WindowEvents> windowEvents;
  std::shared_ptr<FitRestoreRegistry> fitRestore;
  // The apps' menus and keyboard focus, over the accessibility bus (absent: not offered).
  std::shared_ptr<MenuSource> menus;
  std::shared_ptr<TextFocusSource> textFocus;
  // This computer's clipboard, cursor image and display thumbnails, each over a connection of
  // its own to the X server; absent when it cannot be had.
  std::shared_ptr<PasteboardProviding> pasteboard;
  std::shared_ptr<CursorSource> cursorSource;
  std::shared_ptr<ThumbnailProviding> thumbnails;
  // The one owner record of the system audio tap, and the audio encoders.
  std::shared_ptr<AudioTapArbiter> audioArbiter;
  std::shared_ptr<AudioEncoderFactory> audioEncoders;
  // The sound server's routing, shared by every session's audio capture.
  std::shared_ptr<platform::PulseRouting> audioRouting;
  // What a device is given to reach this host through a relay; nothing: no remote access.
  std::function<std::optional<RelayProvision>(const Bytes&)> relayConfig;
  // The installed apps, scanned again a minute after the last scan or when a folder changed.
  std::shared_ptr<InstalledAppsProviding> installedApps;
  // The running apps and the order they were used in, starting apps, and window pictures
  // (absent without an X server).
  std::shared_ptr<SystemAppProvider> apps;
  std::shared_ptr<WindowThumbnailProviding> windowThumbnails;

  // This computer's services: the host ID and the display setting from `settings`, a power
  // manager on the session bus, the keyboard layouts and the display-sleep probe of the X
  // server, the inbox in the caches folder, the window manager's windows and notices and the
  // fit-restore registry; no displays (the caller makes them).
  static HostServices make(const Executor& executor, std::shared_ptr<Clock> clock,
                           std::shared_ptr<platform::UserDefaults> settings);
};

// An accepted connection's environment: the host's services, with new objects for what a
// session keeps to itself (its injector, click record, launch clock and the stand-ins of what
// this host cannot do yet), sharing `encoders`; `onWakeRequested` answers the session's
// requests to wake the display.
HostEnvironment sessionEnvironment(const HostServices& services, std::shared_ptr<EncoderFactory> encoders,
                                   std::function<asio::awaitable<void>(bool)> onWakeRequested);

// The displays could not be reached (no X server): the host cannot run.
struct DisplaysUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The application's objects, made once and in order by build().
class HostComposition {
 public:
  // Makes the services and the model on `io`; the model lives on `mainStrand`. Throws
  // DisplaysUnavailable when the X server cannot be reached.
  static std::unique_ptr<HostComposition> build(asio::io_context& io, Strand mainStrand, const HostOptions& options);

  std::shared_ptr<platform::UserDefaults> settings;
  HostServices services;
  QUICConfiguration quic;
  std::shared_ptr<LoopbackHostListener> loopback;
  std::shared_ptr<platform::HTTPSession> http;  // the coordinator's requests
  std::shared_ptr<RelaySettings> relaySettings;
  std::shared_ptr<RelayProvisioner> provisioner;
  std::shared_ptr<RelayController> relay;
  std::shared_ptr<AppModel> model;
  // The updater behind "Check for Updates…", started unless the process only hosts tests.
  std::shared_ptr<UpdateController> updates;
  Task displaySleepRefresh;  // keeps services.displaySleep fresh
};

}  // namespace brindlet::host
