#include "platform/windows/WindowManager.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/screen/DisplayConfiguration.h"
#include "platform/screen/XCB.h"

namespace brindlet::platform {

namespace {

// The flags of WM_NORMAL_HINTS that say a minimum and a maximum size are given.
constexpr uint32_t hintMinSize = 1u << 4;
constexpr uint32_t hintMaxSize = 1u << 5;

// _NET_MOVERESIZE_WINDOW: which of x, y, width and height are given, and who asks (a pager,
// whose requests the manager follows as the user's).
constexpr uint32_t moveResizeAll = (1u << 8) | (1u << 9) | (1u << 10) | (1u << 11);
constexpr uint32_t sourcePager = 2;
constexpr uint32_t northWestGravity = 1;

// A property request sent and not yet answered; none when the property's atom is unknown.
struct PropertyAsk {
  bool sent = false;
  xcb_get_property_cookie_t cookie{};
};

PropertyAsk askProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                        uint32_t longs) {
  if (!property) return {};
  return PropertyAsk{true, xcb_get_property(c, 0, window, property, type, 0, longs)};
}

XReply<xcb_get_property_reply_t> answer(xcb_connection_t* c, const PropertyAsk& ask) {
  return XReply<xcb_get_property_reply_t>(ask.sent ? xcb_get_property_reply(c, ask.cookie, nullptr) : nullptr);
}

std::vector<uint32_t> cardinals(const XReply<xcb_get_property_reply_t>& reply) {
  if (!reply || reply->format != 32) return {};
  auto* v = static_cast<uint32_t*>(xcb_get_property_value(reply.value));
  return std::vector<uint32_t>(v, v + xcb_get_property_value_length(reply.value) / 4);
}

std::string text(const XReply<xcb_get_property_reply_t>& reply) {
  if (!reply || reply->format != 8) return {};
  return std::string(static_cast<char*>(xcb_get_property_value(reply.value)),
                     xcb_get_property_value_length(reply.value));
}

std::vector<uint32_t> cardinals(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                                uint32_t longs = 4096) {
  return cardinals(answer(c, askProperty(c, window, property, type, longs)));
}

struct Extents {
  double left = 0, right = 0, top = 0, bottom = 0;
};

// What the manager's decorations add on each side of the client (_NET_FRAME_EXTENTS).
Extents frameExtents(const std::vector<uint32_t>& extents) {
  if (extents.size() != 4) return {};
  return {static_cast<double>(extents[0]), static_cast<double>(extents[1]), static_cast<double>(extents[2]),
          static_cast<double>(extents[3])};
}

Extents frameExtents(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
  return frameExtents(cardinals(c, window, property, XCB_ATOM_CARDINAL, 4));
}

void sendToRoot(XConnection& connection, xcb_window_t window, xcb_atom_t type, const uint32_t (&data)[5]) {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = type;
  std::memcpy(event.data.data32, data, sizeof data);
  xcb_send_event(connection.get(), 0, connection.root(),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&event));
  xcb_flush(connection.get());
}

}  // namespace

struct WindowManager::Atoms {
  xcb_atom_t clientList, clientListStacking, activeWindow, wmPid, wmName, utf8, frameExtents, windowType, wmState,
      stateHidden, stateAbove, stateModal, stateMaxVert, stateMaxHorz, moveResize, workArea, currentDesktop, wmIcon;
  std::vector<std::pair<xcb_atom_t, ManagedWindowType>> types;

  explicit Atoms(XConnection& c)
      : clientList(c.atom("_NET_CLIENT_LIST")),
        clientListStacking(c.atom("_NET_CLIENT_LIST_STACKING")),
        activeWindow(c.atom("_NET_ACTIVE_WINDOW")),
        wmPid(c.atom("_NET_WM_PID")),
        wmName(c.atom("_NET_WM_NAME")),
        utf8(c.atom("UTF8_STRING")),
        frameExtents(c.atom("_NET_FRAME_EXTENTS")),
        windowType(c.atom("_NET_WM_WINDOW_TYPE")),
        wmState(c.atom("_NET_WM_STATE")),
        stateHidden(c.atom("_NET_WM_STATE_HIDDEN")),
        stateAbove(c.atom("_NET_WM_STATE_ABOVE")),
        stateModal(c.atom("_NET_WM_STATE_MODAL")),
        stateMaxVert(c.atom("_NET_WM_STATE_MAXIMIZED_VERT")),
        stateMaxHorz(c.atom("_NET_WM_STATE_MAXIMIZED_HORZ")),
        moveResize(c.atom("_NET_MOVERESIZE_WINDOW")),
        workArea(c.atom("_NET_WORKAREA")),
        currentDesktop(c.atom("_NET_CURRENT_DESKTOP")),
        wmIcon(c.atom("_NET_WM_ICON")) {
    const std::pair<const char*, ManagedWindowType> known[] = {
        {"_NET_WM_WINDOW_TYPE_NORMAL", ManagedWindowType::normal},
        {"_NET_WM_WINDOW_TYPE_DIALOG", ManagedWindowType::dialog},
        {"_NET_WM_WINDOW_TYPE_UTILITY", ManagedWindowType::utility},
        {"_NET_WM_WINDOW_TYPE_TOOLBAR", ManagedWindowType::toolbar},
        {"_NET_WM_WINDOW_TYPE_MENU", ManagedWindowType::menu},
        {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", ManagedWindowType::menu},
        {"_NET_WM_WINDOW_TYPE_POPUP_MENU", ManagedWindowType::menu},
        {"_NET_WM_WINDOW_TYPE_TOOLTIP", ManagedWindowType::menu},
        {"_NET_WM_WINDOW_TYPE_SPLASH", ManagedWindowType::splash},
        {"_NET_WM_WINDOW_TYPE_DOCK", ManagedWindowType::dock},
        {"_NET_WM_WINDOW_TYPE_DESKTOP", ManagedWindowType::desktop},
        {"_NET_WM_WINDOW_TYPE_NOTIFICATION", ManagedWindowType::notification},
    };
    for (const auto& [name, type] : known) types.emplace_back(c.atom(name), type);
  }
};

std::unique_ptr<WindowManager> WindowManager::open(const std::string& displayName) {
  auto connection = XConnection::open(displayName);
  return std::unique_ptr<WindowManager>(new WindowManager(std::move(connection), displayName));
}

WindowManager::WindowManager(std::unique_ptr<XConnection> connection, std::string displayName)
    : connection_(std::move(connection)),
      atoms_(std::make_unique<Atoms>(*connection_)),
      displayName_(std::move(displayName)) {}

WindowManager::~WindowManager() {
  if (resDisplay_) XCloseDisplay(static_cast<Display*>(resDisplay_));
}

std::pair<double, double> WindowManager::mainOrigin() {
  for (const ScreenDisplay& d : readActiveDisplays(*connection_)) {
    if (d.isMain) return {d.rootX, d.rootY};
  }
  return {0, 0};
}

// For a client that does not give _NET_WM_PID: the server knows the process of a local client.
int32_t WindowManager::pidFromServer(uint32_t id) {
  if (!resDisplay_) resDisplay_ = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
  auto* display = static_cast<Display*>(resDisplay_);
  if (!display) return 0;
  int eventBase = 0, errorBase = 0;
  if (!XResQueryExtension(display, &eventBase, &errorBase)) return 0;
  XResClientIdSpec spec{id, XRES_CLIENT_ID_PID_MASK};
  long count = 0;
  XResClientIdValue* values = nullptr;
  if (XResQueryClientIds(display, 1, &spec, &count, &values) != Success) return 0;
  int32_t pid = 0;
  for (long i = 0; i < count; ++i) {
    if (XResGetClientIdType(&values[i]) == XRES_CLIENT_ID_PID) pid = XResGetClientPid(&values[i]);
  }
  XResClientIdsDestroy(count, values);
  return pid > 0 ? pid : 0;
}

// Every request describe() needs of one window, sent together so that a listing of many
// windows waits for the server once, not once a request.
struct WindowManager::Asks {
  xcb_get_window_attributes_cookie_t attributes;
  xcb_get_geometry_cookie_t geometry;
  xcb_translate_coordinates_cookie_t position;
  PropertyAsk pid, netName, name, wmClass, extents, type, transient, state, hints;
};

WindowManager::Asks WindowManager::ask(uint32_t id) {
  xcb_connection_t* c = connection_->get();
  const Atoms& a = *atoms_;
  Asks asks;
  asks.attributes = xcb_get_window_attributes(c, id);
  asks.geometry = xcb_get_geometry(c, id);
  asks.position = xcb_translate_coordinates(c, id, connection_->root(), 0, 0);
  asks.pid = askProperty(c, id, a.wmPid, XCB_ATOM_CARDINAL, 1);
  asks.netName = askProperty(c, id, a.wmName, a.utf8, 1024);
  asks.name = askProperty(c, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 1024);
  asks.wmClass = askProperty(c, id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 1024);
  asks.extents = askProperty(c, id, a.frameExtents, XCB_ATOM_CARDINAL, 4);
  asks.type = askProperty(c, id, a.windowType, XCB_ATOM_ATOM, 4096);
  asks.transient = askProperty(c, id, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 1);
  asks.state = askProperty(c, id, a.wmState, XCB_ATOM_ATOM, 4096);
  // WM_SIZE_HINTS: flags, x, y, width, height, min width, min height, max width, max height, ...
  asks.hints = askProperty(c, id, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 18);
  return asks;
}

std::optional<ManagedWindow> WindowManager::describe(uint32_t id, const Asks& asks, std::pair<double, double> origin) {
  xcb_connection_t* c = connection_->get();
  // Every answer is taken, whatever comes of the first ones.
  XReply<xcb_get_window_attributes_reply_t> attrs(xcb_get_window_attributes_reply(c, asks.attributes, nullptr));
  XReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, asks.geometry, nullptr));
  XReply<xcb_translate_coordinates_reply_t> at(xcb_translate_coordinates_reply(c, asks.position, nullptr));
  const std::vector<uint32_t> pids = cardinals(answer(c, asks.pid));
  const std::string netName = text(answer(c, asks.netName));
  const std::string name = text(answer(c, asks.name));
  const std::string wmClass = text(answer(c, asks.wmClass));
  const std::vector<uint32_t> extents = cardinals(answer(c, asks.extents));
  const std::vector<uint32_t> types = cardinals(answer(c, asks.type));
  const std::vector<uint32_t> transient = cardinals(answer(c, asks.transient));
  const std::vector<uint32_t> states = cardinals(answer(c, asks.state));
  const std::vector<uint32_t> hints = cardinals(answer(c, asks.hints));
  if (!attrs || !geometry || !at) return std::nullopt;

  ManagedWindow w;
  w.id = id;
  w.pid = !pids.empty() && pids[0] > 0 ? static_cast<int32_t>(pids[0]) : pidFromServer(id);
  w.title = netName.empty() ? name : netName;
  if (auto nul = wmClass.find('\0'); nul != std::string::npos) {
    std::string rest = wmClass.substr(nul + 1);
    w.appName = rest.substr(0, rest.find('\0'));
  }
  if (w.appName.empty() && w.pid > 0) w.appName = processName(w.pid);
  w.viewable = attrs->map_state == XCB_MAP_STATE_VIEWABLE;

  const auto [left, right, top, bottom] = frameExtents(extents);
  auto [ox, oy] = origin;
  w.frame = {at->dst_x - left - ox, at->dst_y - top - oy, geometry->width + left + right,
             geometry->height + top + bottom};

  for (uint32_t type : types) {
    auto known = std::find_if(atoms_->types.begin(), atoms_->types.end(),
                              [&](const auto& entry) { return entry.first == type && type != XCB_ATOM_NONE; });
    if (known != atoms_->types.end()) {
      w.type = known->second;
      break;
    }
    w.type = ManagedWindowType::other;
  }
  if (!transient.empty()) w.transientFor = transient[0];
  for (uint32_t state : states) {
    if (state == XCB_ATOM_NONE) continue;
    if (state == atoms_->stateHidden) w.hidden = true;
    if (state == atoms_->stateAbove) w.above = true;
    if (state == atoms_->stateModal) w.modal = true;
  }
  if (hints.size() >= 9 && (hints[0] & hintMinSize) && (hints[0] & hintMaxSize)) {
    w.resizable = !(hints[5] == hints[7] && hints[6] == hints[8]);
  }
  return w;
}

std::vector<ManagedWindow> WindowManager::windowsFrontToBack() {
  std::lock_guard guard(lock_);
  xcb_connection_t* c = connection_->get();
  auto ids = cardinals(c, connection_->root(), atoms_->clientListStacking, XCB_ATOM_WINDOW);
  if (ids.empty()) ids = cardinals(c, connection_->root(), atoms_->clientList, XCB_ATOM_WINDOW);
  const auto origin = mainOrigin();
  std::vector<Asks> asks;
  asks.reserve(ids.size());
  for (auto it = ids.rbegin(); it != ids.rend(); ++it) asks.push_back(ask(*it));
  std::vector<ManagedWindow> windows;
  for (size_t i = 0; i < asks.size(); ++i) {
    if (auto w = describe(ids[ids.size() - 1 - i], asks[i], origin)) windows.push_back(std::move(*w));
  }
  return windows;
}

std::optional<ManagedWindow> WindowManager::window(uint32_t id) {
  std::lock_guard guard(lock_);
  const auto origin = mainOrigin();
  return describe(id, ask(id), origin);
}

uint32_t WindowManager::activeWindow() {
  std::lock_guard guard(lock_);
  auto active = cardinals(connection_->get(), connection_->root(), atoms_->activeWindow, XCB_ATOM_WINDOW, 1);
  return active.empty() ? 0 : active[0];
}

void WindowManager::activate(uint32_t id) {
  std::lock_guard guard(lock_);
  // Source: a pager; timestamp: now; no window of ours is active.
  const uint32_t data[5] = {sourcePager, XCB_CURRENT_TIME, 0, 0, 0};
  sendToRoot(*connection_, id, atoms_->activeWindow, data);
}

void WindowManager::close(uint32_t id) {
  std::lock_guard guard(lock_);
  const uint32_t data[5] = {XCB_CURRENT_TIME, sourcePager, 0, 0, 0};
  sendToRoot(*connection_, id, connection_->atom("_NET_CLOSE_WINDOW"), data);
}

void WindowManager::moveResize(uint32_t id, const ScreenRect& frame) {
  std::lock_guard guard(lock_);
  xcb_connection_t* c = connection_->get();
  auto states = cardinals(c, id, atoms_->wmState, XCB_ATOM_ATOM);
  if (std::find(states.begin(), states.end(), atoms_->stateMaxVert) != states.end() ||
      std::find(states.begin(), states.end(), atoms_->stateMaxHorz) != states.end()) {
    const uint32_t unmaximise[5] = {0 /* remove */, atoms_->stateMaxVert, atoms_->stateMaxHorz, sourcePager, 0};
    sendToRoot(*connection_, id, atoms_->wmState, unmaximise);
  }
  const auto [left, right, top, bottom] = frameExtents(c, id, atoms_->frameExtents);
  auto [ox, oy] = mainOrigin();
  // With north-west gravity the position is that of the outer frame; the size is the client's.
  const double width = std::max(1.0, frame.width - left - right);
  const double height = std::max(1.0, frame.height - top - bottom);
  const uint32_t data[5] = {northWestGravity | moveResizeAll | (sourcePager << 12),
                            static_cast<uint32_t>(static_cast<int32_t>(frame.x + ox)),
                            static_cast<uint32_t>(static_cast<int32_t>(frame.y + oy)), static_cast<uint32_t>(width),
                            static_cast<uint32_t>(height)};
  sendToRoot(*connection_, id, atoms_->moveResize, data);
}

std::optional<ScreenRect> WindowManager::workArea(uint32_t displayID) {
  std::lock_guard guard(lock_);
  xcb_connection_t* c = connection_->get();
  auto displays = readActiveDisplays(*connection_);
  auto found =
      std::find_if(displays.begin(), displays.end(), [&](const ScreenDisplay& d) { return d.id == displayID; });
  if (found == displays.end()) return std::nullopt;
  const ScreenRect display{found->x, found->y, found->width, found->height};
  auto [ox, oy] = mainOrigin();
  ScreenRect area = display;
  auto areas = cardinals(c, connection_->root(), atoms_->workArea, XCB_ATOM_CARDINAL);
  auto desktop = cardinals(c, connection_->root(), atoms_->currentDesktop, XCB_ATOM_CARDINAL, 1);
  const size_t index = desktop.empty() ? 0 : desktop[0];
  if (areas.size() >= 4 * (index + 1)) {
    const uint32_t* a = &areas[4 * index];
    area = {a[0] - ox, a[1] - oy, static_cast<double>(a[2]), static_cast<double>(a[3])};
  }
  const double x0 = std::max(area.x, display.x), y0 = std::max(area.y, display.y);
  const double x1 = std::min(area.x + area.width, display.x + display.width);
  const double y1 = std::min(area.y + area.height, display.y + display.height);
  if (x1 <= x0 || y1 <= y0) return std::nullopt;
  return ScreenRect{x0, y0, x1 - x0, y1 - y0};
}

std::string WindowManager::processName(int32_t pid) {
  if (pid <= 0) return {};
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

asio::awaitable<void> WindowManager::watch(std::string displayName, std::function<void(WindowManagerChange)> onChange) {
  auto watcher = XConnection::open(displayName);
  xcb_connection_t* c = watcher->get();
  const xcb_atom_t active = watcher->atom("_NET_ACTIVE_WINDOW");
  const xcb_atom_t clients = watcher->atom("_NET_CLIENT_LIST");
  const xcb_atom_t stacking = watcher->atom("_NET_CLIENT_LIST_STACKING");
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, watcher->root(), XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
  // The descriptor stays the connection's: it is only waited on here, never closed.
  asio::posix::stream_descriptor descriptor(co_await asio::this_coro::executor, watcher->fd());
  struct Loan {
    asio::posix::stream_descriptor& d;
    ~Loan() { d.release(); }
  } loan{descriptor};
  for (;;) {
    bool activeChanged = false, listChanged = false;
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
      if ((e->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
        auto* notice = reinterpret_cast<xcb_property_notify_event_t*>(e);
        if (notice->atom == active) activeChanged = true;
        if (notice->atom == clients || notice->atom == stacking) listChanged = true;
      }
      free(e);
    }
    if (watcher->failed()) co_return;
    if (activeChanged) onChange(WindowManagerChange::activeWindow);
    if (listChanged) onChange(WindowManagerChange::clientList);
    co_await descriptor.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
  }
}

}  // namespace brindlet::platform

namespace brindlet::platform {

std::optional<RGBAImage> netWMIconPicture(const std::vector<uint32_t>& data, int size) {
  if (size <= 0) return std::nullopt;
  // The pictures' places: (offset of the first pixel, width, height).
  struct Found {
    std::size_t at;
    uint32_t width, height;
  };
  std::optional<Found> best;
  for (std::size_t at = 0; at + 2 <= data.size();) {
    const uint32_t width = data[at], height = data[at + 1];
    const uint64_t pixels = uint64_t(width) * height;
    if (width == 0 || height == 0 || pixels > data.size() - at - 2) break;  // not whole: stop here
    const Found found{at + 2, width, height};
    auto longer = [](const Found& f) { return std::max(f.width, f.height); };
    const uint32_t wanted = uint32_t(size);
    if (!best) {
      best = found;
    } else if (longer(*best) < wanted ? longer(found) > longer(*best)
                                      : (longer(found) >= wanted && longer(found) < longer(*best))) {
      best = found;
    }
    at += 2 + std::size_t(pixels);
  }
  if (!best) return std::nullopt;
  RGBAImage image;
  image.width = size;
  image.height = size;
  image.rgba.assign(std::size_t(size) * size * 4, 0);
  const double scale = double(size) / std::max(best->width, best->height);
  const int drawnWidth = std::max(1, int(best->width * scale + 0.5));
  const int drawnHeight = std::max(1, int(best->height * scale + 0.5));
  const int left = (size - drawnWidth) / 2, top = (size - drawnHeight) / 2;
  for (int y = 0; y < drawnHeight; ++y) {
    const uint32_t sourceY = std::min<uint32_t>(best->height - 1, uint32_t((y + 0.5) / scale));
    for (int x = 0; x < drawnWidth; ++x) {
      const uint32_t sourceX = std::min<uint32_t>(best->width - 1, uint32_t((x + 0.5) / scale));
      const uint32_t argb = data[best->at + std::size_t(sourceY) * best->width + sourceX];
      uint8_t* out = &image.rgba[(std::size_t(top + y) * size + std::size_t(left + x)) * 4];
      out[0] = uint8_t(argb >> 16);
      out[1] = uint8_t(argb >> 8);
      out[2] = uint8_t(argb);
      out[3] = uint8_t(argb >> 24);
    }
  }
  return image;
}

std::optional<RGBAImage> WindowManager::icon(uint32_t id, int size) {
  std::lock_guard guard(lock_);
  // At most 4 MiB of pictures: a 1024-pixel icon and its smaller sizes.
  constexpr uint32_t longs = 1u << 20;
  return netWMIconPicture(cardinals(connection_->get(), id, atoms_->wmIcon, XCB_ATOM_CARDINAL, longs), size);
}

}  // namespace brindlet::platform
