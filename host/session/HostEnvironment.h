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
#include "host/session/RelayProvision.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/support/UUID.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class CaptureSource;
class ClickRecord;
class DisplayProviding;
class FitRestoreRegistry;
class FocusObserving;
class InstalledAppsProviding;
class AppQuitting;
class WindowControlling;
class WindowTracking;
class EncoderFactory;
class InputInjector;
class PasteboardProviding;
class PowerManaging;

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
  // The last click the device made, for telling a focus change made by a click from others.
  std::shared_ptr<ClickRecord> clicks;
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
  // Asks apps to quit (absent: quitApp changes nothing).
  std::shared_ptr<AppQuitting> appQuitter;
  // This process, whose own windows are never followed.
  std::int32_t hostPID = 0;
};

}  // namespace brindlet::host
