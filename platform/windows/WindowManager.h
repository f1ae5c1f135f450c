#pragma once
// The windows of the X screen as the window manager keeps them (EWMH and ICCCM): the client
// list in stacking order, each client's process, title, kind, state and outer frame; bringing
// a window forward, moving and resizing it; the work area of a display; and the notices of
// the active window's changes. A window's number is its client window's X ID.
//
// Frames are outer frames (the client with the decorations the manager puts around it, from
// _NET_FRAME_EXTENTS) in the global desktop space of the displays: points with the origin at
// the top-left corner of the main display.
//
//   auto manager = WindowManager::open();
//   for (const ManagedWindow& w : manager->windowsFrontToBack()) ...
//   manager->activate(w.id);
//   manager->moveResize(w.id, {100, 100, 800, 600});   // asks; read the frame back later
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>

#include "platform/image/ImageCodec.h"
#include "platform/screen/ShareableContent.h"

namespace brindlet::platform {

class XConnection;

// _NET_WM_WINDOW_TYPE, the first type the window gives that is known here.
enum class ManagedWindowType { normal, dialog, utility, toolbar, menu, splash, dock, desktop, notification, other };

struct ManagedWindow {
  uint32_t id = 0;      // the client window
  int32_t pid = 0;      // _NET_WM_PID, else the X-Resource extension's answer; 0 when unknown
  std::string title;    // _NET_WM_NAME, else WM_NAME
  std::string appName;  // WM_CLASS's class part, else the process's command name
  ScreenRect frame;     // outer frame, global points
  ManagedWindowType type = ManagedWindowType::normal;
  uint32_t transientFor = 0;  // WM_TRANSIENT_FOR, 0 when none
  bool hidden = false;        // _NET_WM_STATE_HIDDEN: minimised
  bool above = false;         // _NET_WM_STATE_ABOVE: kept over normal windows
  bool modal = false;         // _NET_WM_STATE_MODAL
  bool resizable = true;      // WM_NORMAL_HINTS gives no fixed size
  bool viewable = false;      // mapped and visible on the screen

  bool operator==(const ManagedWindow&) const = default;
};

// What changed on the root window.
enum class WindowManagerChange { activeWindow, clientList };

// The picture a _NET_WM_ICON property holds (pictures one after another: width, height, then
// width × height pixels of 0xAARRGGBB), the smallest at least `size` pixels on its longer side,
// else the largest, scaled to fit `size` × `size` and centred on a transparent square. Nothing
// when the property holds no whole picture.
std::optional<RGBAImage> netWMIconPicture(const std::vector<uint32_t>& data, int size);

class WindowManager {
 public:
  // Opens its own connection; throws ScreenError when the server cannot be reached.
  static std::unique_ptr<WindowManager> open(const std::string& displayName = {});
  ~WindowManager();
  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  // The managed windows, the frontmost first (_NET_CLIENT_LIST_STACKING, else _NET_CLIENT_LIST).
  std::vector<ManagedWindow> windowsFrontToBack();
  // One window, managed or not; nothing when it does not exist (any more).
  std::optional<ManagedWindow> window(uint32_t id);
  // _NET_ACTIVE_WINDOW; 0 when no window is active.
  uint32_t activeWindow();
  // Asks the manager to activate the window: it is shown when minimised, raised and focused.
  void activate(uint32_t id);
  // Asks the manager to close the window as its close button does (_NET_CLOSE_WINDOW): the
  // application decides, and may ask its user first.
  void close(uint32_t id);
  // Asks the manager to give the window this outer frame (global points); a maximised window
  // is first taken out of the maximised state. The manager applies it when it gets to it:
  // read the frame back with window().
  void moveResize(uint32_t id, const ScreenRect& frame);
  // The work area (_NET_WORKAREA of the current desktop) within the display (a RandR monitor,
  // by its ID), in global points; the whole display when the manager gives no work area;
  // nothing when there is no such display or the two do not meet.
  std::optional<ScreenRect> workArea(uint32_t displayID);
  // The window's own icon (_NET_WM_ICON) drawn `size` pixels square; nothing when it has none.
  std::optional<RGBAImage> icon(uint32_t id, int size);
  // The name of a process (/proc/PID/comm); empty when unknown.
  static std::string processName(int32_t pid);

  // Follows the root window until it is cancelled, calling `onChange` on the strand it runs on
  // each time the active window or the client list changes: the notices are the server's
  // PropertyNotify events, nothing is polled. Ends when the connection is lost; throws
  // ScreenError when the server cannot be reached.
  static asio::awaitable<void> watch(std::string displayName, std::function<void(WindowManagerChange)> onChange);

 private:
  struct Atoms;
  struct Asks;
  WindowManager(std::unique_ptr<XConnection> connection, std::string displayName);
  Asks ask(uint32_t id);
  std::optional<ManagedWindow> describe(uint32_t id, const Asks& asks, std::pair<double, double> origin);
  std::pair<double, double> mainOrigin();
  int32_t pidFromServer(uint32_t id);

  std::mutex lock_;
  std::unique_ptr<XConnection> connection_;
  std::unique_ptr<Atoms> atoms_;
  std::string displayName_;
  void* resDisplay_ = nullptr;  // an Xlib display for the X-Resource extension, opened on first use
};

}  // namespace brindlet::platform
