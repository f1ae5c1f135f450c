#pragma once
// The window that has the keyboard focus on this desktop (the window manager's active window)
// and the app it belongs to, and the notices of its changes. Over EWMH: _NET_ACTIVE_WINDOW
// on the root window, the client's _NET_WM_PID, WM_CLASS and _GTK_APPLICATION_ID. A window
// whose client sets no _NET_WM_PID belongs to no known app.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "platform/screen/XConnection.h"

namespace brindlet::platform {

struct ActiveApp {
  std::int32_t pid = 0;
  // The app's identity: its application ID when the toolkit publishes one, else the
  // instance name of its WM_CLASS; empty when the window has neither.
  std::string appID;
  // The class name of its WM_CLASS, the name a desktop shows for it; empty without one.
  std::string name;

  bool operator==(const ActiveApp&) const = default;
};

class ActiveWindow {
 public:
  // Opens its own connection; throws ScreenError when the server cannot be reached.
  static std::unique_ptr<ActiveWindow> open(const std::string& displayName = {});
  ~ActiveWindow();

  // The app of the active window; nothing without an active window or when its process is
  // not known. Any thread.
  std::optional<ActiveApp> current();

  // Calls `changed` on the strand it runs on each time the active window changes, until it
  // is cancelled or the server is lost. It waits on a connection of its own.
  static asio::awaitable<void> watch(std::string displayName, std::function<void()> changed);

 private:
  explicit ActiveWindow(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}

  std::mutex lock_;
  std::unique_ptr<XConnection> connection_;
};

// Where the top-left corner of the client area of `pid`'s top-level window titled `title`
// lies on the root window; nothing when there is no such window.
std::optional<std::pair<int, int>> topLevelWindowOrigin(XConnection& connection, std::int32_t pid,
                                                        const std::string& title);

}  // namespace brindlet::platform
