#pragma once

// The services of the environment that this host does not have yet. Each says so plainly:
// an operation that would act throws ServiceUnavailable, a reading answers "nothing", and
// none pretends to have done its work.

#include <stdexcept>
#include <string>

#include "host/capture/AudioEncoderFactory.h"
#include "host/capture/CursorSource.h"
#include "host/control/AppLaunching.h"
#include "host/control/AppProviding.h"
#include "host/control/InstalledAppsProviding.h"
#include "host/control/MenuSource.h"
#include "host/control/PasteboardProviding.h"
#include "host/control/WindowControlling.h"
#include "host/control/WindowTracking.h"

namespace brindlet::host {

// "<what> is not available on this host yet".
class ServiceUnavailable : public std::runtime_error {
 public:
  explicit ServiceUnavailable(const std::string& what)
      : std::runtime_error(what + " is not available on this host yet") {}
};

// Reads as an empty clipboard that never changes; writing fails.
class UnavailablePasteboard final : public PasteboardProviding {
 public:
  std::int64_t changeCount() const override { return 0; }
  std::optional<std::string> readText() const override { return std::nullopt; }
  void writeText(std::string_view) override;
  bool writeFiles(const std::vector<PasteboardFile>&) override;
};

class UnavailableAppProvider final : public AppProviding {
 public:
  asio::awaitable<std::vector<AppInfo>> snapshot() override;
  AsyncStream<Change> changes() override;
  asio::awaitable<std::vector<std::int32_t>> recentPIDs() override;
  AsyncStream<Change> recentChanges() override;
};

class UnavailableWindowControl final : public WindowControlling {
 public:
  void activate(std::int32_t) override;
  void focusWindow(std::int32_t, const AppWindowRef&) override;
  std::optional<Rect> setFrame(const Rect&, std::int32_t, const AppWindowRef&) override;
};

class UnavailableWindowTracker final : public WindowTracking {
 public:
  asio::awaitable<std::optional<Rect>> visibleFrame(std::uint32_t) override;
  std::optional<WindowRecord> windowInfo(std::uint32_t) override;
  std::vector<WindowRecord> windows(std::int32_t) override;
};

class UnavailableInstalledApps final : public InstalledAppsProviding {
 public:
  asio::awaitable<std::vector<InstalledApp>> apps() override;
  asio::awaitable<Bytes> icon(std::string) override;
};

class UnavailableAppLauncher final : public AppLaunching {
 public:
  std::optional<std::int32_t> runningPID(const std::string&) override;
  asio::awaitable<void> launch(std::string) override;
};

class UnavailableMenuSource final : public MenuSource {
 public:
  std::optional<FrontmostApp> frontmostApp() override;
  AsyncStream<Change> activations() override;
  asio::awaitable<std::optional<std::vector<MenuNode>>> readMenus(std::int32_t) override;
  asio::awaitable<MenuPressResult> press(std::int32_t, std::vector<std::string>) override;
};

// The cursor cannot be read: every poll answers nothing.
class UnavailableCursorSource final : public CursorSource {
 public:
  asio::awaitable<std::optional<CursorPoll>> poll(std::optional<std::uint64_t>) override { co_return std::nullopt; }
};

class UnavailableAudioEncoderFactory final : public AudioEncoderFactory {
 public:
  std::unique_ptr<AudioEncoding> makeEncoder(int, double) const override;
};

}  // namespace brindlet::host
