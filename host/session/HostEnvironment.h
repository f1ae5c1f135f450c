#pragma once

// Every service, factory, setting and interval a session uses. A session never makes a
// service itself: it reads the field of its environment. The composition root
// (sessionEnvironment in host/app/HostComposition) fills one for each accepted connection;
// tests fill their own.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "host/control/LayoutKeystroke.h"
#include "host/control/HostInbox.h"
#include "host/session/RelayProvision.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "host/session/RelayProvision.h"
#include "kit/support/UUID.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class AudioCapturing;
class AudioEncoderFactory;
class AudioTapArbiter;
class CaptureSource;
class ClickRecord;
class CursorSource;
class DisplayProviding;
class FitRestoreRegistry;
class FocusObserving;
class InstalledAppsProviding;
class AppProviding;
class AppLaunching;
class WindowThumbnailProviding;
class AppQuitting;
class WindowControlling;
class WindowTracking;
class EncoderFactory;
class InputInjector;
class MenuSource;
class PasteboardProviding;
class PowerManaging;
class TextFocusSource;
class ThumbnailProviding;

// A service this host does not have is absent (nullptr): the feature that would use it says
// so to the device, as its messages define, or once in the log.
struct HostEnvironment {
  UUID hostID;
  std::string hostName;
  std::shared_ptr<DisplayProviding> displays;
  std::function<std::shared_ptr<CaptureSource>()> makeCapture;
  std::shared_ptr<EncoderFactory> encoders;
  std::shared_ptr<InputInjector> injector;
  std::shared_ptr<PasteboardProviding> pasteboard;  // absent: the clipboard is not shared
  std::optional<HostInbox> inbox;                   // absent: files cannot be received
  // The last click the device made, for telling a focus change made by a click from others.
  std::shared_ptr<ClickRecord> clicks;
  // The frontmost app's menus (absent: the device is never shown any), the key that types a
  // character on the current layout (for typing an item's shortcut) and how often the menus
  // are read again while the device watches them, in seconds.
  std::shared_ptr<MenuSource> menus;
  std::function<std::optional<LayoutKeystroke>(const std::string&)> keyLayout;
  double actionsRefreshInterval = 2;
  // What has the keyboard focus (absent: the device is never told).
  std::shared_ptr<TextFocusSource> textFocus;
  double idleRefreshDelay = 0.15;
  double statsInterval = 1;
  std::shared_ptr<PowerManaging> power;
  std::function<bool()> keepDisplayAwake;
  std::function<bool()> isDisplayAsleep;
  std::function<bool()> screenRecordingGranted;
  // Called after an accepted hello and on a relative move while the display sleeps, with
  // whether it slept.
  std::function<asio::awaitable<void>(bool)> onWakeRequested;
  // The remote-access provision for a device's public key; nothing when remote access is
  // not set up.
  std::function<std::optional<RelayProvision>(const Bytes&)> relayConfig;
  // System audio: the application's one tap arbiter, a new capture for each period of audio
  // and the encoders; audio is unavailable when any is absent.
  std::shared_ptr<AudioTapArbiter> audioArbiter;
  std::function<std::shared_ptr<AudioCapturing>()> makeAudioCapture;
  std::shared_ptr<AudioEncoderFactory> audioEncoders;
  // Every "now", sleep and timer of the session.
  std::shared_ptr<Clock> clock;
  // Windows: finding, raising and resizing them, following the user's focus (absent: focus
  // is not followed), and the process-wide record of resized windows to put back at exit.
  std::shared_ptr<WindowControlling> windowControl;
  std::shared_ptr<WindowTracking> windowTracker;
  std::shared_ptr<FocusObserving> focusObserver;
  std::shared_ptr<FitRestoreRegistry> fitRestore;
  double focusPollInterval = 0.25;
  double focusDebounce = 0.3;
  double followGrace = 0.8;
  // The installed applications and their icons (absent: none are listed).
  std::shared_ptr<InstalledAppsProviding> installedApps;
  // The running apps and the order they were used in (absent: the lists are never sent), how
  // often they are looked at besides their notices, starting apps (absent: a launch fails as
  // an app that cannot be opened) and how long a launch waits for a window, in seconds.
  std::shared_ptr<AppProviding> apps;
  double appPollInterval = 1;
  std::shared_ptr<AppLaunching> appLauncher;
  double launchTimeout = 15;
  // Small pictures of single windows (absent: none are sent), and how often they are taken.
  std::shared_ptr<WindowThumbnailProviding> windowThumbnails;
  double windowThumbnailInterval = 1;
  // Asks apps to quit (absent: quitApp changes nothing).
  std::shared_ptr<AppQuitting> appQuitter;
  // This process, whose own windows are never followed.
  std::int32_t hostPID = 0;
  // How often the clipboard is looked at for a change.
  double clipboardPollInterval = 0.5;
  // The system cursor's image (absent: the cursor's shape is not reported), how often its
  // position and its shape are looked at, and the least time between two reports of the
  // position after the device's own pointer events.
  std::shared_ptr<CursorSource> cursorSource;
  double cursorPollInterval = 1.0 / 60;
  double cursorShapePollInterval = 1.0 / 30;
  double cursorInputInterval = 1.0 / 120;
  // Small pictures of the displays (absent: none are sent), and how often they are taken.
  std::shared_ptr<ThumbnailProviding> thumbnails;
  double thumbnailInterval = 1;
};

}  // namespace brindlet::host
