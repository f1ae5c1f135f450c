#include "platform/screen/ScreenStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include "platform/screen/ScreenGrabber.h"
#include "platform/screen/XCB.h"
#include "platform/support/WorkerThread.h"
#include "platform/video/MediaClock.h"

namespace brindlet::platform {

uint64_t hostTimeNowNs() { return monotonicNowNs(); }

namespace {

constexpr uint64_t displayCheckIntervalNs = 500'000'000;

bool intersects(const ScreenGrabber::Geometry& g, const xcb_rectangle_t& r) {
  return r.x < g.x + g.width && g.x < r.x + r.width && r.y < g.y + g.height && g.y < r.y + r.height;
}

}  // namespace

struct ScreenStream::Impl : std::enable_shared_from_this<ScreenStream::Impl> {
  std::string displayName;
  SampleHandler onSample;
  StopHandler onStop;

  std::mutex lock;
  std::condition_variable changed;
  ContentFilter filter;        // requested
  StreamConfiguration config;  // requested
  uint64_t requested = 0, applied = 0;
  uint64_t appliedAt = 0;
  std::string applyError;
  std::function<void(uint64_t)> onApplied;  // of the change asked for last
  bool running = false;
  WorkerThread thread;
  std::thread::id threadID;
  int wakeFd = -1;

  // Owned by the capture thread once it runs.
  std::unique_ptr<XConnection> connection;
  std::unique_ptr<ScreenGrabber> grabber;  // uses `connection`
  ContentFilter activeFilter;
  StreamConfiguration activeConfig;
  xcb_damage_damage_t damage = 0;
  xcb_xfixes_region_t region = 0;
  uint8_t damageEvent = 0;

  ~Impl() {
    grabber.reset();
    if (wakeFd >= 0) close(wakeFd);
  }

  // Makes `f` and `cfg` the active settings (capture thread, or before it starts).
  void apply(const ContentFilter& f, const StreamConfiguration& cfg) {
    grabber->configure(f, cfg);
    activeFilter = f;
    activeConfig = cfg;
  }

  void wake() {
    uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof one);
  }

  // Reads the damaged area since the last call; true when it touches the captured rectangle.
  bool takeDamage() {
    xcb_connection_t* c = connection->get();
    xcb_damage_subtract(c, damage, XCB_NONE, region);
    XReply<xcb_xfixes_fetch_region_reply_t> reply(
        xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region), nullptr));
    if (!reply) return true;
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(reply.value);
    int n = xcb_xfixes_fetch_region_rectangles_length(reply.value);
    for (int i = 0; i < n; ++i) {
      if (intersects(grabber->geometry(), rects[i])) return true;
    }
    return false;
  }

  uint64_t change(const ContentFilter* newFilter, const StreamConfiguration* newConfig,
                  std::function<void(uint64_t)> whenApplied) {
    auto impl = this;
    std::unique_lock guard(impl->lock);
    if (!impl->running) throw ScreenError("The stream is not running.");
    if (newFilter) impl->filter = *newFilter;
    if (newConfig) impl->config = *newConfig;
    impl->onApplied = std::move(whenApplied);
    uint64_t ticket = ++impl->requested;
    impl->wake();
    if (std::this_thread::get_id() == impl->threadID) return hostTimeNowNs();  // applied before the next grab
    impl->changed.wait(guard, [&] { return impl->applied >= ticket || !impl->running; });
    if (impl->applied < ticket) throw ScreenError("The stream stopped.");
    if (!impl->applyError.empty()) throw ScreenError(impl->applyError);
    return impl->appliedAt;
  }

  void run(const std::stop_token& stop) {
    xcb_connection_t* c = connection->get();
    bool dirty = true;  // the first picture goes out at once
    uint64_t nextAllowed = 0;
    uint64_t nextDisplayCheck = 0;
    std::function<void(uint64_t)> notifyApplied;
    std::string stopError;
    for (;;) {
      {
        std::unique_lock guard(lock);
        if (stop.stop_requested()) break;
        if (requested != applied) {
          bool ok = true;
          try {
            apply(filter, config);
            applyError.clear();
            dirty = true;
          } catch (const ScreenError& e) {
            ok = false;
            applyError = e.what();
            filter = activeFilter;  // the stream keeps its former settings
            config = activeConfig;
          }
          appliedAt = hostTimeNowNs();
          applied = requested;
          if (ok) notifyApplied = std::move(onApplied);
          onApplied = nullptr;
          changed.notify_all();
        }
      }
      if (notifyApplied) {
        notifyApplied(appliedAt);
        notifyApplied = nullptr;
      }
      while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
        if ((e->response_type & 0x7F) == damageEvent) {
          if (takeDamage()) dirty = true;
        }
        free(e);
      }
      if (connection->failed()) {
        stopError = "The connection to the X server was lost.";
        break;
      }
      uint64_t now = hostTimeNowNs();
      // The server tells nobody when a monitor goes away: look every half second.
      if (now >= nextDisplayCheck) {
        nextDisplayCheck = now + displayCheckIntervalNs;
        auto displays = readActiveDisplays(*connection);
        if (std::none_of(displays.begin(), displays.end(),
                         [&](const ScreenDisplay& d) { return d.id == activeFilter.displayID; })) {
          stopError = "The captured display is no longer available.";
          break;
        }
      }
      if (dirty && now >= nextAllowed) {
        ScreenSample sample;
        sample.presentationTimeNs = hostTimeNowNs();
        sample.pixelBuffer = grabber->grab();
        if (!sample.pixelBuffer) {
          stopError = "The captured display is no longer available.";
          break;
        }
        dirty = false;
        nextAllowed = now + static_cast<uint64_t>(std::max<int64_t>(activeConfig.minimumFrameIntervalNs, 0));
        onSample(sample);
        continue;
      }
      uint64_t wakeAt = dirty ? std::min(nextAllowed, nextDisplayCheck) : nextDisplayCheck;
      int timeout = static_cast<int>((wakeAt - std::min(wakeAt, now) + 999'999) / 1'000'000);
      pollfd fds[2] = {{connection->fd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
      poll(fds, 2, timeout);
      if (fds[1].revents) {
        uint64_t drained;
        (void)!read(wakeFd, &drained, sizeof drained);
      }
    }
    if (damage) xcb_damage_destroy(c, damage);
    if (region) xcb_xfixes_destroy_region(c, region);
    damage = region = 0;
    grabber.reset();
    xcb_flush(c);
    bool report = false;
    {
      std::lock_guard guard(lock);
      report = !stop.stop_requested() && !stopError.empty();
      running = false;
      changed.notify_all();
    }
    if (report && onStop) onStop(stopError);
  }
};

ScreenStream::ScreenStream(ContentFilter filter, StreamConfiguration configuration, SampleHandler onSample,
                           StopHandler onStop, std::string displayName)
    : impl_(std::make_shared<Impl>()) {
  impl_->displayName = std::move(displayName);
  impl_->filter = std::move(filter);
  impl_->config = std::move(configuration);
  impl_->onSample = std::move(onSample);
  impl_->onStop = std::move(onStop);
}

ScreenStream::~ScreenStream() { stopCapture(); }

void ScreenStream::startCapture() {
  auto impl = impl_;
  {
    std::lock_guard guard(impl->lock);
    if (impl->running) return;
  }
  impl->connection = XConnection::open(impl->displayName);
  xcb_connection_t* c = impl->connection->get();
  const std::pair<xcb_extension_t*, const char*> needed[] = {
      {&xcb_shm_id, "MIT-SHM"}, {&xcb_damage_id, "DAMAGE"}, {&xcb_xfixes_id, "XFIXES"}};
  for (const auto& [ext, name] : needed) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
    if (!data || !data->present) throw ScreenError(std::string("The X server lacks the ") + name + " extension.");
  }
  free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
  free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  impl->damageEvent = static_cast<uint8_t>(xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY);
  impl->grabber = std::make_unique<ScreenGrabber>(*impl->connection);
  impl->apply(impl->filter, impl->config);
  impl->damage = xcb_generate_id(c);
  xcb_damage_create(c, impl->damage, impl->connection->root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  impl->region = xcb_generate_id(c);
  xcb_xfixes_create_region(c, impl->region, 0, nullptr);
  xcb_flush(c);
  if (impl->wakeFd < 0) impl->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl->wakeFd < 0) throw ScreenError("eventfd failed");
  std::lock_guard guard(impl->lock);
  impl->running = true;
  Impl* waker = impl.get();  // the thread's body keeps it alive
  impl->thread = WorkerThread([impl](std::stop_token stop) { impl->run(stop); }, [waker] { waker->wake(); });
  impl->threadID = impl->thread.id();
}

uint64_t ScreenStream::updateConfiguration(const StreamConfiguration& configuration,
                                           std::function<void(uint64_t)> onApplied) {
  return impl_->change(nullptr, &configuration, std::move(onApplied));
}

uint64_t ScreenStream::updateContentFilter(const ContentFilter& filter) {
  return impl_->change(&filter, nullptr, nullptr);
}

void ScreenStream::stopCapture() {
  auto impl = impl_;
  WorkerThread thread;
  {
    std::lock_guard guard(impl->lock);
    thread = std::move(impl->thread);
  }
  // Called from a handler, the thread ends after the handler returns; its body keeps `impl`.
  thread.stop();
}

}  // namespace brindlet::platform
