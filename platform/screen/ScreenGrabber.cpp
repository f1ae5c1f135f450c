#include "platform/screen/ScreenGrabber.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <xcb/shm.h>

#include "platform/screen/XCB.h"

namespace brindlet::platform {

// Pixel buffers in shared memory segments that the X server can write into. A buffer released
// while the pool lives goes back to it; one released later only leaves the segment (the
// server lets go of its side when the connection closes).
class SharedMemoryPool : public std::enable_shared_from_this<SharedMemoryPool> {
 public:
  struct Taken {
    PixelBufferRef buffer;
    xcb_shm_seg_t segment = 0;
  };

  SharedMemoryPool(XConnection& connection, int width, int height, size_t keep)
      : connection_(connection), width_(width), height_(height), keep_(keep) {}
  ~SharedMemoryPool() {
    for (const Segment& s : free_) release(s, true);
  }

  int width() const { return width_; }
  int height() const { return height_; }

  Taken take() {
    Segment segment;
    {
      std::lock_guard guard(lock_);
      if (!free_.empty()) {
        segment = free_.back();
        free_.pop_back();
      }
    }
    if (!segment.address) segment = create();
    std::weak_ptr<SharedMemoryPool> pool = weak_from_this();
    auto keeper = std::shared_ptr<void>(segment.address, [pool, segment](void*) {
      if (auto owner = pool.lock()) {
        owner->giveBack(segment);
      } else {
        release(segment, false);
      }
    });
    auto buffer = std::make_shared<PixelBuffer>(width_, height_, width_ * 4, segment.address, std::move(keeper));
    return Taken{std::move(buffer), segment.id};
  }

 private:
  struct Segment {
    uint8_t* address = nullptr;
    xcb_shm_seg_t id = 0;
    xcb_connection_t* connection = nullptr;
  };

  Segment create() {
    const size_t bytes = static_cast<size_t>(width_) * height_ * 4;
    int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) throw ScreenError("shmget failed");
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      throw ScreenError("shmat failed");
    }
    xcb_connection_t* c = connection_.get();
    xcb_shm_seg_t seg = xcb_generate_id(c);
    xcb_generic_error_t* error = xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(id), 0));
    shmctl(id, IPC_RMID, nullptr);  // freed once both sides have let go
    if (error) {
      free(error);
      shmdt(address);
      throw ScreenError("The X server cannot share memory with this process (MIT-SHM).");
    }
    return Segment{static_cast<uint8_t*>(address), seg, c};
  }

  void giveBack(const Segment& segment) {
    {
      std::lock_guard guard(lock_);
      if (free_.size() < keep_) {
        free_.push_back(segment);
        return;
      }
    }
    release(segment, true);
  }

  static void release(const Segment& segment, bool detachFromServer) {
    if (detachFromServer) xcb_shm_detach(segment.connection, segment.id);
    shmdt(segment.address);
  }

  XConnection& connection_;
  const int width_, height_;
  const size_t keep_;
  std::mutex lock_;
  std::vector<Segment> free_;
};

namespace {

ScreenGrabber::Geometry resolve(XConnection& c, const ContentFilter& filter, const StreamConfiguration& config) {
  std::vector<ScreenDisplay> displays = readActiveDisplays(c);
  auto d =
      std::find_if(displays.begin(), displays.end(), [&](const ScreenDisplay& s) { return s.id == filter.displayID; });
  if (d == displays.end())
    throw ScreenError("Display " + std::to_string(filter.displayID) + " is not on the X screen.");
  ScreenRect r = config.sourceRect.value_or(ScreenRect{0, 0, d->width, d->height});
  auto clampTo = [](double v, double lo, double hi) { return std::min(std::max(v, lo), hi); };
  // Edges within a thousandth of a pixel of a whole pixel are that pixel (rectangles often come
  // from 32-bit fractions of the display).
  constexpr double slack = 1e-3;
  double x0 = clampTo(std::floor(r.x + slack), 0, d->pixelWidth - 1.0);
  double y0 = clampTo(std::floor(r.y + slack), 0, d->pixelHeight - 1.0);
  double x1 = clampTo(std::ceil(r.x + r.width - slack), x0 + 1, d->pixelWidth);
  double y1 = clampTo(std::ceil(r.y + r.height - slack), y0 + 1, d->pixelHeight);
  ScreenGrabber::Geometry g;
  g.x = d->rootX + static_cast<int>(x0);
  g.y = d->rootY + static_cast<int>(y0);
  g.width = static_cast<int>(x1 - x0);
  g.height = static_cast<int>(y1 - y0);
  const xcb_screen_t* s = c.screen();
  if (g.x < 0 || g.y < 0 || g.x + g.width > s->width_in_pixels || g.y + g.height > s->height_in_pixels) {
    throw ScreenError("Display " + std::to_string(filter.displayID) + " lies outside the X screen.");
  }
  g.outWidth = config.width > 0 ? config.width : g.width;
  g.outHeight = config.height > 0 ? config.height : g.height;
  if (g.outWidth > 8192 || g.outHeight > 8192) throw ScreenError("The capture size is too large.");
  return g;
}

}  // namespace

ScreenGrabber::ScreenGrabber(XConnection& connection) : connection_(connection) {
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(connection.get(), &xcb_shm_id);
  if (!shm || !shm->present) throw ScreenError("The X server lacks the MIT-SHM extension.");
}

ScreenGrabber::~ScreenGrabber() = default;

void ScreenGrabber::configure(const ContentFilter& filter, const StreamConfiguration& configuration) {
  Geometry g = resolve(connection_, filter, configuration);
  const size_t keep = static_cast<size_t>(std::max(configuration.queueDepth, 1)) + 2;
  const bool scaling = g.outWidth != g.width || g.outHeight != g.height;
  std::shared_ptr<SharedMemoryPool> direct = direct_, scratch = scratch_;
  std::unique_ptr<PixelConverter> scaler;
  std::shared_ptr<PixelBufferPool> scaled = scaled_;
  if (scaling) {
    if (!scratch || scratch->width() != g.width || scratch->height() != g.height) {
      scratch = std::make_shared<SharedMemoryPool>(connection_, g.width, g.height, 1);
    }
    scaler = PixelConverter::scaler(g.width, g.height, g.outWidth, g.outHeight, 2);
    if (!scaler) throw ScreenError("The capture size cannot be scaled.");
    if (!scaled || scaled->width() != g.outWidth || scaled->height() != g.outHeight) {
      scaled = PixelBufferPool::make(g.outWidth, g.outHeight, keep);
    }
    direct.reset();
  } else {
    if (!direct || direct->width() != g.width || direct->height() != g.height) {
      direct = std::make_shared<SharedMemoryPool>(connection_, g.width, g.height, keep);
    }
    scratch.reset();
    scaled.reset();
  }
  geometry_ = g;
  filter_ = filter;
  configuration_ = configuration;
  direct_ = std::move(direct);
  scratch_ = std::move(scratch);
  scaler_ = std::move(scaler);
  scaled_ = std::move(scaled);
}

PixelBufferRef ScreenGrabber::grab() {
  xcb_connection_t* c = connection_.get();
  const Geometry& g = geometry_;
  SharedMemoryPool::Taken target = (direct_ ? direct_ : scratch_)->take();
  xcb_generic_error_t* error = nullptr;
  XReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, connection_.root(), static_cast<int16_t>(g.x), static_cast<int16_t>(g.y),
                        static_cast<uint16_t>(g.width), static_cast<uint16_t>(g.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                        target.segment, 0),
      &error));
  if (error || !reply) {
    free(error);
    return nullptr;
  }
  if (filter_.onlyIncludedApplications) maskToApplications(target.buffer->baseAddress(), target.buffer->bytesPerRow());
  if (!scaler_) return std::move(target.buffer);
  PixelBufferRef out = scaled_->take();
  if (!scaler_->scale(target.buffer->baseAddress(), target.buffer->bytesPerRow(), *out)) return nullptr;
  return out;
}

// Blacks out what does not belong to the included processes' windows: every top-level
// window is painted, bottom to top, as included (the frame of an included client, or a
// window that itself names an included process) or not.
void ScreenGrabber::maskToApplications(uint8_t* pixels, int stride) {
  const Geometry& g = geometry_;
  xcb_connection_t* c = connection_.get();
  auto includes = [&](int32_t pid) {
    return std::find(filter_.includedProcessIDs.begin(), filter_.includedProcessIDs.end(), pid) !=
           filter_.includedProcessIDs.end();
  };
  std::vector<uint32_t> includedFrames;
  for (const ShareableWindow& w : listClientWindows(connection_, true)) {
    if (includes(w.pid)) includedFrames.push_back(w.frameID);
  }
  const xcb_atom_t wmPid = connection_.atom("_NET_WM_PID", true);
  mask_.assign(static_cast<size_t>(g.width) * g.height, 0);
  XReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, connection_.root()), nullptr));
  if (tree) {
    xcb_window_t* children = xcb_query_tree_children(tree.value);
    int count = xcb_query_tree_children_length(tree.value);
    for (int i = 0; i < count; ++i) {
      XReply<xcb_get_window_attributes_reply_t> attrs(
          xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
      if (!attrs || attrs->map_state != XCB_MAP_STATE_VIEWABLE || attrs->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
        continue;
      XReply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr));
      if (!geo) continue;
      bool included = std::find(includedFrames.begin(), includedFrames.end(), children[i]) != includedFrames.end();
      if (!included && wmPid) {
        XReply<xcb_get_property_reply_t> pid(
            xcb_get_property_reply(c, xcb_get_property(c, 0, children[i], wmPid, XCB_ATOM_CARDINAL, 0, 1), nullptr));
        included = pid && pid->format == 32 && xcb_get_property_value_length(pid.value) >= 4 &&
                   includes(*static_cast<int32_t*>(xcb_get_property_value(pid.value)));
      }
      const int border = geo->border_width;
      int x0 = std::max(geo->x - g.x, 0);
      int y0 = std::max(geo->y - g.y, 0);
      int x1 = std::min(geo->x + geo->width + 2 * border - g.x, g.width);
      int y1 = std::min(geo->y + geo->height + 2 * border - g.y, g.height);
      for (int y = y0; y < y1; ++y) {
        if (x1 > x0) std::memset(&mask_[static_cast<size_t>(y) * g.width + x0], included ? 1 : 0, x1 - x0);
      }
    }
  }
  for (int y = 0; y < g.height; ++y) {
    uint32_t* row = reinterpret_cast<uint32_t*>(pixels + static_cast<size_t>(y) * stride);
    const uint8_t* m = &mask_[static_cast<size_t>(y) * g.width];
    for (int x = 0; x < g.width; ++x) {
      if (!m[x]) row[x] = 0;
    }
  }
}

}  // namespace brindlet::platform
