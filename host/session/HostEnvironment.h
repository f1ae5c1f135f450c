#pragma once

// Every service, factory, setting and interval a session uses. A session never makes a
// service itself: it reads the field of its environment. The composition root
// (sessionEnvironment in host/app/HostComposition) fills one for each accepted connection;
// tests fill their own.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "host/control/HostInbox.h"
#include "host/control/LayoutKeystroke.h"
#include "host/session/RelayProvision.h"
#include "kit/support/Clock.h"
#include "kit/support/Executor.h"
#include "kit/support/UUID.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class AppLaunching;
class AppProviding;
class AudioCapturing;
class AudioEncoderFactory;
class AudioTapArbiter;
class CaptureSource;
class ClickRecord;
class CursorSource;
class DisplayProviding;
class EncoderFactory;
class FocusObserving;
class InputInjector;
class InstalledAppsProviding;
class LaunchClock;
class MenuSource;
class PasteboardProviding;
class PowerManaging;
class TextFocusSource;
class ThumbnailProviding;
class WindowControlling;
class WindowThumbnailProviding;
class WindowTracking;

struct HostEnvironment {
  UUID hostID;
  std::string hostName;
  std::shared_ptr<DisplayProviding> displays;
  std::function<std::shared_ptr<CaptureSource>()> makeCapture;
  std::shared_ptr<EncoderFactory> encoders;
  std::shared_ptr<InputInjector> injector;
  std::shared_ptr<PasteboardProviding> pasteboard;
  HostInbox inbox;
  std::shared_ptr<ThumbnailProviding> thumbnails;  // optional: display thumbnails
  std::shared_ptr<AppProviding> apps;
  std::shared_ptr<WindowControlling> windowControl;
  std::shared_ptr<WindowTracking> windowTracker;
  std::shared_ptr<WindowThumbnailProviding> windowThumbnails;  // optional: window thumbnails
  std::shared_ptr<InstalledAppsProviding> installedApps;
  std::shared_ptr<AppLaunching> appLauncher;
  std::shared_ptr<LaunchClock> launchClock;
  double launchTimeout = 15;
  double appPollInterval = 1;
  double focusPollInterval = 0.25;
  std::shared_ptr<FocusObserving> focusObserver;  // optional: following the user's focus
  double focusDebounce = 0.3;
  std::shared_ptr<MenuSource> menus;
  double actionsRefreshInterval = 2;
  std::shared_ptr<TextFocusSource> textFocus;  // optional: text-focus reports
  std::shared_ptr<ClickRecord> clicks;
  // The key that types a character (one grapheme, UTF-8) on the current layout.
  std::function<std::optional<LayoutKeystroke>(const std::string&)> keyLayout;
  double followGrace = 0.8;
  double windowThumbnailInterval = 1;
  double idleRefreshDelay = 0.15;
  double statsInterval = 1;
  double clipboardPollInterval = 0.5;
  double thumbnailInterval = 1;
  double cursorPollInterval = 1.0 / 60;
  double cursorInputInterval = 1.0 / 120;
  std::shared_ptr<CursorSource> cursorSource;
  double cursorShapePollInterval = 1.0 / 30;
  std::shared_ptr<PowerManaging> power;
  std::function<bool()> keepDisplayAwake;
  std::function<bool()> isDisplayAsleep;
  std::function<bool()> screenRecordingGranted;
  // Called after an accepted hello and on a relative move while the display sleeps, with
  // whether it slept.
  std::function<asio::awaitable<void>(bool)> onWakeRequested;
  std::function<std::shared_ptr<AudioCapturing>()> makeAudioCapture;
  std::shared_ptr<AudioEncoderFactory> audioEncoders;
  std::shared_ptr<AudioTapArbiter> audioArbiter;
  // The remote-access provision for a device's public key; nothing when remote access is
  // not set up.
  std::function<std::optional<RelayProvision>(const Bytes&)> relayConfig;
  // Every "now", sleep and timer of the session.
  std::shared_ptr<Clock> clock;
};

}  // namespace brindlet::host
