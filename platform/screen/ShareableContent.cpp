#include "platform/screen/ShareableContent.h"

#include <algorithm>
#include <map>

#include "platform/screen/XCB.h"

namespace brindlet::platform {
namespace {

std::vector<uint32_t> cardinalList(XConnection& c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
  XReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c.get(), xcb_get_property(c.get(), 0, window, property, type, 0, 4096), nullptr));
  if (!reply || reply->format != 32) return {};
  auto* v = static_cast<uint32_t*>(xcb_get_property_value(reply.value));
  return std::vector<uint32_t>(v, v + xcb_get_property_value_length(reply.value) / 4);
}

std::string stringProperty(XConnection& c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
  XReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c.get(), xcb_get_property(c.get(), 0, window, property, type, 0, 1024), nullptr));
  if (!reply || reply->format != 8) return {};
  return std::string(static_cast<char*>(xcb_get_property_value(reply.value)),
                     xcb_get_property_value_length(reply.value));
}

}  // namespace

std::vector<ShareableWindow> listClientWindows(XConnection& c, bool onScreenWindowsOnly) {
  xcb_connection_t* x = c.get();
  const xcb_atom_t clientList = c.atom("_NET_CLIENT_LIST", true);
  const xcb_atom_t wmPid = c.atom("_NET_WM_PID", true);
  const xcb_atom_t wmName = c.atom("_NET_WM_NAME", true);
  const xcb_atom_t utf8 = c.atom("UTF8_STRING", true);

  // Top-level windows in stacking order, bottom first.
  XReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x, xcb_query_tree(x, c.root()), nullptr));
  if (!tree) return {};
  xcb_window_t* children = xcb_query_tree_children(tree.value);
  int childCount = xcb_query_tree_children_length(tree.value);
  std::map<xcb_window_t, int> stackIndex;
  for (int i = 0; i < childCount; ++i) stackIndex[children[i]] = i;

  std::vector<std::pair<int, ShareableWindow>> found;
  for (uint32_t client :
       clientList ? cardinalList(c, c.root(), clientList, XCB_ATOM_WINDOW) : std::vector<uint32_t>{}) {
    // The client's top-level ancestor: the window manager's frame around it, or itself.
    xcb_window_t top = client;
    for (int depth = 0; depth < 16; ++depth) {
      XReply<xcb_query_tree_reply_t> up(xcb_query_tree_reply(x, xcb_query_tree(x, top), nullptr));
      if (!up || up->parent == c.root() || up->parent == XCB_NONE) break;
      top = up->parent;
    }
    auto at = stackIndex.find(top);
    if (at == stackIndex.end()) continue;
    XReply<xcb_get_window_attributes_reply_t> attrs(
        xcb_get_window_attributes_reply(x, xcb_get_window_attributes(x, top), nullptr));
    XReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x, xcb_get_geometry(x, top), nullptr));
    if (!attrs || !geometry) continue;
    ShareableWindow w;
    w.windowID = client;
    w.frameID = top;
    w.isOnScreen = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
    if (onScreenWindowsOnly && !w.isOnScreen) continue;
    auto pids = wmPid ? cardinalList(c, client, wmPid, XCB_ATOM_CARDINAL) : std::vector<uint32_t>{};
    w.pid = pids.empty() ? 0 : static_cast<int32_t>(pids[0]);
    w.title = wmName ? stringProperty(c, client, wmName, utf8) : std::string();
    if (w.title.empty()) w.title = stringProperty(c, client, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
    const double border = geometry->border_width;
    w.frame = {static_cast<double>(geometry->x), static_cast<double>(geometry->y), geometry->width + 2 * border,
               geometry->height + 2 * border};
    found.emplace_back(at->second, std::move(w));
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<ShareableWindow> windows;
  for (auto& f : found) windows.push_back(std::move(f.second));
  return windows;
}

ShareableContent ShareableContent::current(bool onScreenWindowsOnly, const std::string& displayName) {
  ShareableContent content;
  content.displays = DisplayConfiguration::open(displayName)->activeDisplays();
  auto connection = XConnection::open(displayName);
  content.windows = listClientWindows(*connection, onScreenWindowsOnly);
  double ox = 0, oy = 0;
  for (const auto& d : content.displays) {
    if (d.isMain) {
      ox = d.rootX;
      oy = d.rootY;
    }
  }
  for (auto& w : content.windows) {
    w.frame.x -= ox;
    w.frame.y -= oy;
    if (w.pid <= 0) continue;
    bool known = std::any_of(content.applications.begin(), content.applications.end(),
                             [&](const ShareableApplication& a) { return a.processID == w.pid; });
    if (known) continue;
    ShareableApplication app;
    app.processID = w.pid;
    std::string cls = stringProperty(*connection, w.windowID, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
    size_t nul = cls.find('\0');
    app.bundleIdentifier = cls.substr(0, nul);
    if (nul != std::string::npos) {
      std::string rest = cls.substr(nul + 1);
      app.applicationName = rest.substr(0, rest.find('\0'));
    }
    content.applications.push_back(std::move(app));
  }
  return content;
}

}  // namespace brindlet::platform
