#include "platform/screen/DisplayConfiguration.h"

#include <algorithm>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/multiple_exceptions.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <xcb/randr.h>

#include "platform/screen/XCB.h"

namespace brindlet::platform {

using namespace asio::experimental::awaitable_operators;

namespace {

// Lets go of a descriptor that another library owns before the Asio object is destroyed.
class DescriptorLoan {
 public:
  explicit DescriptorLoan(asio::posix::stream_descriptor& descriptor) : descriptor_(descriptor) {}
  ~DescriptorLoan() { descriptor_.release(); }
  DescriptorLoan(const DescriptorLoan&) = delete;
  DescriptorLoan& operator=(const DescriptorLoan&) = delete;

 private:
  asio::posix::stream_descriptor& descriptor_;
};

// Waits until `descriptor` is readable or `span` of `clock` has passed, whichever comes first.
asio::awaitable<void> readableWithin(asio::posix::stream_descriptor& descriptor, Clock& clock, Clock::Duration span) {
  auto readable = descriptor.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
  auto tick = clock.sleep(span);
  try {
    co_await (std::move(readable) || std::move(tick));
  } catch (const asio::multiple_exceptions& both) {
    // Both waits ended by the cancellation of the caller.
    std::rethrow_exception(both.first_exception());
  }
}

}  // namespace

std::unique_ptr<DisplayConfiguration> DisplayConfiguration::open(const std::string& displayName) {
  auto c = XConnection::open(displayName);
  return std::unique_ptr<DisplayConfiguration>(new DisplayConfiguration(std::move(c), displayName));
}

DisplayConfiguration::~DisplayConfiguration() = default;

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

asio::awaitable<void> DisplayConfiguration::watch(std::shared_ptr<DisplayConfiguration> configuration,
                                                  std::shared_ptr<Clock> clock, ReconfigurationCallback callback) {
  auto watcher = XConnection::open(configuration->displayName_);
  xcb_connection_t* c = watcher->get();
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
  if (!randr || !randr->present) co_return;
  // The server sends RandR 1.2 events only to clients that said they know them.
  free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
  xcb_randr_select_input(c, watcher->root(),
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
  xcb_flush(c);
  // The descriptor stays the connection's: it is only waited on here, never closed.
  asio::posix::stream_descriptor descriptor(co_await asio::this_coro::executor, watcher->fd());
  DescriptorLoan loan(descriptor);
  std::vector<ScreenDisplay> known = configuration->activeDisplays();
  for (;;) {
    co_await readableWithin(descriptor, *clock, checkInterval);
    bool changed = false;
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
      uint8_t type = e->response_type & 0x7F;
      if (type == randr->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
          type == randr->first_event + XCB_RANDR_NOTIFY) {
        changed = true;
      }
      free(e);
    }
    if (watcher->failed()) co_return;
    std::vector<ScreenDisplay> now = configuration->activeDisplays();
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
