#include "platform/screen/DisplayConfiguration.h"

#include <algorithm>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <xcb/randr.h>

namespace brindlet::platform {

std::unique_ptr<DisplayConfiguration> DisplayConfiguration::open(const std::string& displayName) {
  auto c = XConnection::open(displayName);
  return std::unique_ptr<DisplayConfiguration>(new DisplayConfiguration(std::move(c), displayName));
}

DisplayConfiguration::~DisplayConfiguration() { stopWatching(); }

std::vector<ScreenDisplay> DisplayConfiguration::activeDisplays() {
  std::lock_guard guard(lock_);
  return readActiveDisplays(*connection_);
}

std::vector<ScreenDisplay> readActiveDisplays(XConnection& connection) {
  xcb_connection_t* c = connection.get();
  std::vector<ScreenDisplay> list;
  XReply<xcb_randr_get_monitors_reply_t> reply(
      xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr));
  if (reply) {
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.value); it.rem; xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t* m = it.data;
      ScreenDisplay d;
      d.id = m->name;
      d.name = connection.atomName(m->name);
      d.isMain = m->primary != 0;
      d.rootX = m->x;
      d.rootY = m->y;
      d.pixelWidth = m->width;
      d.pixelHeight = m->height;
      d.width = m->width;
      d.height = m->height;
      list.push_back(d);
    }
  }
  if (list.empty()) {  // no RandR monitors: the screen is the one display
    xcb_screen_t* s = connection.screen();
    ScreenDisplay d;
    d.id = s->root;
    d.name = "Screen";
    d.pixelWidth = s->width_in_pixels;
    d.pixelHeight = s->height_in_pixels;
    d.width = d.pixelWidth;
    d.height = d.pixelHeight;
    list.push_back(d);
  }
  // Without a primary monitor, the one at the screen's origin (else the first) is the main one.
  size_t main = list.size();
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].isMain) {
      main = i;
      break;
    }
  }
  if (main == list.size()) {
    main = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].rootX == 0 && list[i].rootY == 0) {
        main = i;
        break;
      }
    }
  }
  for (size_t i = 0; i < list.size(); ++i) list[i].isMain = i == main;
  const int32_t ox = list[main].rootX, oy = list[main].rootY;
  for (auto& d : list) {
    d.x = d.rootX - ox;
    d.y = d.rootY - oy;
  }
  return list;
}

void DisplayConfiguration::setReconfigurationCallback(ReconfigurationCallback callback) {
  stopWatching();
  if (!callback) return;
  auto watcher = XConnection::open(displayName_);
  // The server sends RandR 1.2 events only to clients that said they know them.
  free(xcb_randr_query_version_reply(watcher->get(), xcb_randr_query_version(watcher->get(), 1, 6), nullptr));
  xcb_randr_select_input(watcher->get(), watcher->root(),
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
  xcb_flush(watcher->get());
  int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) throw ScreenError("eventfd failed");
  std::lock_guard guard(lock_);
  wakeFd_ = fd;
  watcher_ = std::thread([this, w = std::move(watcher), fd, cb = std::move(callback)]() mutable {
    watch(std::move(w), fd, std::move(cb));
  });
}

void DisplayConfiguration::stopWatching() {
  std::thread t;
  int fd = -1;
  {
    std::lock_guard guard(lock_);
    t = std::move(watcher_);
    fd = wakeFd_;
    wakeFd_ = -1;
  }
  if (fd >= 0) {
    uint64_t one = 1;
    (void)!write(fd, &one, sizeof one);
  }
  if (t.joinable()) t.join();
  if (fd >= 0) close(fd);
}

void DisplayConfiguration::watch(std::unique_ptr<XConnection> watcher, int wakeFd, ReconfigurationCallback callback) {
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(watcher->get(), &xcb_randr_id);
  if (!randr || !randr->present) return;
  // The server sends no event when a monitor is set or removed (xrandr --setmonitor), so
  // the list is also compared every half second.
  std::vector<ScreenDisplay> known = activeDisplays();
  for (;;) {
    pollfd fds[2] = {{watcher->fd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, 500) < 0) continue;
    if (fds[1].revents) return;
    bool changed = false;
    while (xcb_generic_event_t* e = xcb_poll_for_event(watcher->get())) {
      uint8_t type = e->response_type & 0x7F;
      if (type == randr->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
          type == randr->first_event + XCB_RANDR_NOTIFY) {
        changed = true;
      }
      free(e);
    }
    if (watcher->failed()) return;
    std::vector<ScreenDisplay> now = activeDisplays();
    if (!changed && now == known) continue;
    // One notice for every display before or after the change.
    std::vector<uint32_t> affected;
    for (const auto* list : {&known, &now}) {
      for (const auto& d : *list) {
        if (std::find(affected.begin(), affected.end(), d.id) == affected.end()) affected.push_back(d.id);
      }
    }
    known = std::move(now);
    for (uint32_t id : affected) callback(id, 0);
  }
}

}  // namespace brindlet::platform
