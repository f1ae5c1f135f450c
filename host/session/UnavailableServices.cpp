#include "host/session/UnavailableServices.h"

namespace brindlet::host {

namespace {

constexpr const char* pasteboard = "the clipboard";
constexpr const char* appList = "the app list";
constexpr const char* windowControl = "window control";
constexpr const char* windowList = "the window list";
constexpr const char* installedApps = "the installed-app list";
constexpr const char* launching = "launching apps";
constexpr const char* menus = "reading menus";
constexpr const char* audioEncoding = "audio encoding";

AsyncStream<Change> endedStream() {
  AsyncStream<Change> stream;
  stream.finish();
  return stream;
}

}  // namespace

void UnavailablePasteboard::writeText(std::string_view) { throw ServiceUnavailable(pasteboard); }
bool UnavailablePasteboard::writeFiles(const std::vector<PasteboardFile>&) { throw ServiceUnavailable(pasteboard); }

asio::awaitable<std::vector<AppInfo>> UnavailableAppProvider::snapshot() { throw ServiceUnavailable(appList); }
AsyncStream<Change> UnavailableAppProvider::changes() { return endedStream(); }
asio::awaitable<std::vector<std::int32_t>> UnavailableAppProvider::recentPIDs() { throw ServiceUnavailable(appList); }
AsyncStream<Change> UnavailableAppProvider::recentChanges() { return endedStream(); }

void UnavailableWindowControl::activate(std::int32_t) { throw ServiceUnavailable(windowControl); }
void UnavailableWindowControl::focusWindow(std::int32_t, const AppWindowRef&) {
  throw ServiceUnavailable(windowControl);
}
std::optional<Rect> UnavailableWindowControl::setFrame(const Rect&, std::int32_t, const AppWindowRef&) {
  throw ServiceUnavailable(windowControl);
}

asio::awaitable<std::optional<Rect>> UnavailableWindowTracker::visibleFrame(std::uint32_t) {
  throw ServiceUnavailable(windowList);
}
std::optional<WindowRecord> UnavailableWindowTracker::windowInfo(std::uint32_t) {
  throw ServiceUnavailable(windowList);
}
std::vector<WindowRecord> UnavailableWindowTracker::windows(std::int32_t) { throw ServiceUnavailable(windowList); }

asio::awaitable<std::vector<InstalledApp>> UnavailableInstalledApps::apps() { throw ServiceUnavailable(installedApps); }
asio::awaitable<Bytes> UnavailableInstalledApps::icon(std::string) { throw ServiceUnavailable(installedApps); }

std::optional<std::int32_t> UnavailableAppLauncher::runningPID(const std::string&) {
  throw ServiceUnavailable(launching);
}
asio::awaitable<void> UnavailableAppLauncher::launch(std::string) { throw ServiceUnavailable(launching); }

std::optional<MenuSource::FrontmostApp> UnavailableMenuSource::frontmostApp() { throw ServiceUnavailable(menus); }
AsyncStream<Change> UnavailableMenuSource::activations() { return endedStream(); }
asio::awaitable<std::optional<std::vector<MenuNode>>> UnavailableMenuSource::readMenus(std::int32_t) {
  throw ServiceUnavailable(menus);
}
asio::awaitable<MenuPressResult> UnavailableMenuSource::press(std::int32_t, std::vector<std::string>) {
  throw ServiceUnavailable(menus);
}

std::unique_ptr<AudioEncoding> UnavailableAudioEncoderFactory::makeEncoder(int, double) const {
  throw ServiceUnavailable(audioEncoding);
}

}  // namespace brindlet::host
