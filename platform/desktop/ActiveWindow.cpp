#include "platform/desktop/ActiveWindow.h"

#include <cstring>
#include <vector>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/screen/XCB.h"

namespace brindlet::platform {

namespace {

// The bytes of a window property, empty when it is absent.
std::string property(XConnection& connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
  if (name == XCB_ATOM_NONE) return {};
  xcb_connection_t* c = connection.get();
  XReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 4096), nullptr));
  if (!reply || reply->format != 8) return {};
  auto* data = static_cast<const char*>(xcb_get_property_value(reply.value));
  return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply.value)));
}

std::optional<std::uint32_t> cardinal(XConnection& connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
  if (name == XCB_ATOM_NONE) return std::nullopt;
  xcb_connection_t* c = connection.get();
  XReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 1), nullptr));
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.value) < 4) return std::nullopt;
  return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.value));
}

// The process that owns a window, as the client said in _NET_WM_PID.
std::optional<std::int32_t> windowPID(XConnection& connection, xcb_window_t window) {
  auto pid = cardinal(connection, window, connection.atom("_NET_WM_PID", true), XCB_ATOM_CARDINAL);
  if (!pid) return std::nullopt;
  return static_cast<std::int32_t>(*pid);
}

std::vector<xcb_window_t> clientList(XConnection& connection) {
  xcb_atom_t name = connection.atom("_NET_CLIENT_LIST", true);
  if (name == XCB_ATOM_NONE) return {};
  xcb_connection_t* c = connection.get();
  XReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, connection.root(), name, XCB_ATOM_WINDOW, 0, 4096), nullptr));
  if (!reply || reply->format != 32) return {};
  auto* data = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.value));
  return {data, data + xcb_get_property_value_length(reply.value) / 4};
}

// Lets go of a descriptor that another library owns before the Asio object is destroyed.
struct DescriptorLoan {
  asio::posix::stream_descriptor& descriptor;
  ~DescriptorLoan() { descriptor.release(); }
};

}  // namespace

std::unique_ptr<ActiveWindow> ActiveWindow::open(const std::string& displayName) {
  return std::unique_ptr<ActiveWindow>(new ActiveWindow(XConnection::open(displayName)));
}

ActiveWindow::~ActiveWindow() = default;

std::optional<ActiveApp> ActiveWindow::current() {
  std::lock_guard guard(lock_);
  XConnection& x = *connection_;
  auto window = cardinal(x, x.root(), x.atom("_NET_ACTIVE_WINDOW", true), XCB_ATOM_WINDOW);
  if (!window || *window == XCB_WINDOW_NONE) return std::nullopt;
  auto pid = windowPID(x, *window);
  if (!pid || *pid <= 0) return std::nullopt;
  ActiveApp app;
  app.pid = *pid;
  // WM_CLASS holds two texts, each ended by a NUL: the instance name, then the class name.
  std::string wmClass = property(x, *window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
  std::string instance = wmClass.substr(0, wmClass.find('\0'));
  if (instance.size() < wmClass.size()) {
    std::string rest = wmClass.substr(instance.size() + 1);
    app.name = rest.substr(0, rest.find('\0'));
  }
  app.appID = property(x, *window, x.atom("_GTK_APPLICATION_ID", true), x.atom("UTF8_STRING"));
  if (app.appID.empty()) app.appID = instance;
  return app;
}

asio::awaitable<void> ActiveWindow::watch(std::string displayName, std::function<void()> changed) {
  auto watcher = XConnection::open(displayName);
  xcb_connection_t* c = watcher->get();
  const xcb_atom_t active = watcher->atom("_NET_ACTIVE_WINDOW");
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, watcher->root(), XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
  // The descriptor stays the connection's: it is only waited on here, never closed.
  asio::posix::stream_descriptor descriptor(co_await asio::this_coro::executor, watcher->fd());
  DescriptorLoan loan{descriptor};
  for (;;) {
    co_await descriptor.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
    bool moved = false;
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
      if ((e->response_type & 0x7F) == XCB_PROPERTY_NOTIFY &&
          reinterpret_cast<xcb_property_notify_event_t*>(e)->atom == active) {
        moved = true;
      }
      free(e);
    }
    if (watcher->failed()) co_return;
    if (moved) changed();
  }
}

std::optional<std::pair<int, int>> topLevelWindowOrigin(XConnection& connection, std::int32_t pid,
                                                        const std::string& title) {
  xcb_connection_t* c = connection.get();
  const xcb_atom_t netName = connection.atom("_NET_WM_NAME", true);
  const xcb_atom_t utf8 = connection.atom("UTF8_STRING");
  for (xcb_window_t window : clientList(connection)) {
    if (windowPID(connection, window) != pid) continue;
    std::string name = property(connection, window, netName, utf8);
    if (name.empty()) name = property(connection, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
    if (name != title) continue;
    XReply<xcb_translate_coordinates_reply_t> at(
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, connection.root(), 0, 0), nullptr));
    if (at) return std::make_pair(int(at->dst_x), int(at->dst_y));
  }
  return std::nullopt;
}

}  // namespace brindlet::platform
