#include "platform/screen/ScreenStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include "platform/video/PixelConverter.h"

namespace brindlet::platform {

uint64_t hostTimeNowNs() { return monotonicNowNs(); }

namespace {

// Where to read on the X screen and what to deliver.
struct Geometry {
    int x = 0, y = 0, width = 0, height = 0; // root pixels
    int outWidth = 0, outHeight = 0;
};

Geometry resolve(XConnection& c, const ContentFilter& filter, const StreamConfiguration& config) {
    std::vector<ScreenDisplay> displays = readActiveDisplays(c);
    auto d = std::find_if(displays.begin(), displays.end(), [&](const ScreenDisplay& s) { return s.id == filter.displayID; });
    if (d == displays.end()) throw ScreenError("Display " + std::to_string(filter.displayID) + " is not on the X screen.");
    ScreenRect r = config.sourceRect.value_or(ScreenRect{0, 0, d->width, d->height});
    auto clampTo = [](double v, double lo, double hi) { return std::min(std::max(v, lo), hi); };
    double x0 = clampTo(std::floor(r.x), 0, d->pixelWidth - 1.0);
    double y0 = clampTo(std::floor(r.y), 0, d->pixelHeight - 1.0);
    double x1 = clampTo(std::ceil(r.x + r.width), x0 + 1, d->pixelWidth);
    double y1 = clampTo(std::ceil(r.y + r.height), y0 + 1, d->pixelHeight);
    Geometry g;
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

bool intersects(const Geometry& g, const xcb_rectangle_t& r) {
    return r.x < g.x + g.width && g.x < r.x + r.width && r.y < g.y + g.height && g.y < r.y + r.height;
}

} // namespace

struct ScreenStream::Impl : std::enable_shared_from_this<ScreenStream::Impl> {
    std::string displayName;
    SampleHandler onSample;
    StopHandler onStop;

    std::mutex lock;
    std::condition_variable changed;
    ContentFilter filter;           // requested
    StreamConfiguration config;     // requested
    uint64_t requested = 0, applied = 0;
    uint64_t appliedAt = 0;
    std::string applyError;
    bool running = false;
    bool stopRequested = false;
    std::thread thread;
    std::thread::id threadID;
    int wakeFd = -1;

    // Owned by the capture thread once it runs.
    std::unique_ptr<XConnection> connection;
    ContentFilter activeFilter;
    StreamConfiguration activeConfig;
    Geometry geometry;
    int shmID = -1;
    uint8_t* shmAddress = nullptr;
    size_t shmSize = 0;
    xcb_shm_seg_t segment = 0;
    xcb_damage_damage_t damage = 0;
    xcb_xfixes_region_t region = 0;
    uint8_t damageEvent = 0;
    std::unique_ptr<PixelConverter> scaler;
    std::shared_ptr<PixelBufferPool> pool;
    std::vector<uint8_t> mask;

    ~Impl() {
        releaseSegment();
        if (wakeFd >= 0) close(wakeFd);
    }

    void releaseSegment() {
        if (connection && segment) xcb_shm_detach(connection->get(), segment);
        if (shmAddress) shmdt(shmAddress);
        segment = 0;
        shmAddress = nullptr;
        shmSize = 0;
    }

    void ensureSegment(size_t bytes) {
        if (shmAddress && shmSize >= bytes) return;
        releaseSegment();
        int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0) throw ScreenError("shmget failed");
        void* address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            throw ScreenError("shmat failed");
        }
        xcb_connection_t* c = connection->get();
        xcb_shm_seg_t seg = xcb_generate_id(c);
        xcb_generic_error_t* error = xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(id), 0));
        shmctl(id, IPC_RMID, nullptr); // freed once both sides detach
        if (error) {
            free(error);
            shmdt(address);
            throw ScreenError("The X server cannot share memory with this process (MIT-SHM).");
        }
        shmAddress = static_cast<uint8_t*>(address);
        shmSize = bytes;
        segment = seg;
    }

    // Makes `filter` and `config` the active settings (capture thread, or before it starts).
    void apply(const ContentFilter& f, const StreamConfiguration& cfg) {
        Geometry g = resolve(*connection, f, cfg);
        ensureSegment(static_cast<size_t>(g.width) * g.height * 4);
        if (g.outWidth != g.width || g.outHeight != g.height) {
            if (!scaler || scaler->srcWidth() != g.width || scaler->srcHeight() != g.height ||
                scaler->dstWidth() != g.outWidth || scaler->dstHeight() != g.outHeight) {
                scaler = PixelConverter::scaler(g.width, g.height, g.outWidth, g.outHeight, 2);
                if (!scaler) throw ScreenError("The capture size cannot be scaled.");
            }
        } else {
            scaler.reset();
        }
        if (!pool || pool->width() != g.outWidth || pool->height() != g.outHeight) {
            pool = PixelBufferPool::make(g.outWidth, g.outHeight, static_cast<size_t>(std::max(cfg.queueDepth, 1)) + 2);
        }
        geometry = g;
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
            if (intersects(geometry, rects[i])) return true;
        }
        return false;
    }

    // Blacks out what does not belong to the included processes' windows: every top-level
    // window is painted, bottom to top, as included (the frame of an included client, or a
    // window that itself names an included process) or not.
    void maskToApplications(uint8_t* pixels, int stride) {
        const Geometry& g = geometry;
        xcb_connection_t* c = connection->get();
        auto includes = [&](int32_t pid) {
            return std::find(activeFilter.includedProcessIDs.begin(), activeFilter.includedProcessIDs.end(), pid) !=
                   activeFilter.includedProcessIDs.end();
        };
        std::vector<uint32_t> includedFrames;
        for (const ShareableWindow& w : listClientWindows(*connection, true)) {
            if (includes(w.pid)) includedFrames.push_back(w.frameID);
        }
        const xcb_atom_t wmPid = connection->atom("_NET_WM_PID", true);
        mask.assign(static_cast<size_t>(g.width) * g.height, 0);
        XReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, connection->root()), nullptr));
        if (tree) {
            xcb_window_t* children = xcb_query_tree_children(tree.value);
            int count = xcb_query_tree_children_length(tree.value);
            for (int i = 0; i < count; ++i) {
                XReply<xcb_get_window_attributes_reply_t> attrs(
                    xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
                if (!attrs || attrs->map_state != XCB_MAP_STATE_VIEWABLE || attrs->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) continue;
                XReply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr));
                if (!geo) continue;
                bool included = std::find(includedFrames.begin(), includedFrames.end(), children[i]) != includedFrames.end();
                if (!included && wmPid) {
                    XReply<xcb_get_property_reply_t> pid(xcb_get_property_reply(
                        c, xcb_get_property(c, 0, children[i], wmPid, XCB_ATOM_CARDINAL, 0, 1), nullptr));
                    included = pid && pid->format == 32 && xcb_get_property_value_length(pid.value) >= 4 &&
                               includes(*static_cast<int32_t*>(xcb_get_property_value(pid.value)));
                }
                const int border = geo->border_width;
                int x0 = std::max(geo->x - g.x, 0);
                int y0 = std::max(geo->y - g.y, 0);
                int x1 = std::min(geo->x + geo->width + 2 * border - g.x, g.width);
                int y1 = std::min(geo->y + geo->height + 2 * border - g.y, g.height);
                for (int y = y0; y < y1; ++y) {
                    if (x1 > x0) std::memset(&mask[static_cast<size_t>(y) * g.width + x0], included ? 1 : 0, x1 - x0);
                }
            }
        }
        for (int y = 0; y < g.height; ++y) {
            uint32_t* row = reinterpret_cast<uint32_t*>(pixels + static_cast<size_t>(y) * stride);
            const uint8_t* m = &mask[static_cast<size_t>(y) * g.width];
            for (int x = 0; x < g.width; ++x) {
                if (!m[x]) row[x] = 0;
            }
        }
    }

    // Reads the captured rectangle; false when the server refused.
    bool grab(ScreenSample& sample) {
        xcb_connection_t* c = connection->get();
        const Geometry& g = geometry;
        xcb_generic_error_t* error = nullptr;
        XReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            c,
            xcb_shm_get_image(c, connection->root(), static_cast<int16_t>(g.x), static_cast<int16_t>(g.y),
                              static_cast<uint16_t>(g.width), static_cast<uint16_t>(g.height), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
            &error));
        sample.presentationTimeNs = hostTimeNowNs();
        if (error || !reply) {
            free(error);
            return false;
        }
        const int srcStride = g.width * 4;
        if (activeFilter.onlyIncludedApplications) maskToApplications(shmAddress, srcStride);
        PixelBufferRef buffer = pool->take();
        if (scaler) {
            if (!scaler->scale(shmAddress, srcStride, *buffer)) return false;
        } else {
            for (int y = 0; y < g.height; ++y) std::memcpy(buffer->row(y), shmAddress + static_cast<size_t>(y) * srcStride, srcStride);
        }
        sample.pixelBuffer = std::move(buffer);
        return true;
    }

    uint64_t change(const ContentFilter* newFilter, const StreamConfiguration* newConfig) {
        auto impl = this;
        std::unique_lock guard(impl->lock);
        if (!impl->running) throw ScreenError("The stream is not running.");
        if (newFilter) impl->filter = *newFilter;
        if (newConfig) impl->config = *newConfig;
        uint64_t ticket = ++impl->requested;
        impl->wake();
        if (std::this_thread::get_id() == impl->threadID) return hostTimeNowNs(); // applied before the next grab
        impl->changed.wait(guard, [&] { return impl->applied >= ticket || !impl->running; });
        if (impl->applied < ticket) throw ScreenError("The stream stopped.");
        if (!impl->applyError.empty()) throw ScreenError(impl->applyError);
        return impl->appliedAt;
    }

    void run() {
        xcb_connection_t* c = connection->get();
        bool dirty = true; // the first picture goes out at once
        uint64_t nextAllowed = 0;
        std::string stopError;
        for (;;) {
            {
                std::unique_lock guard(lock);
                if (stopRequested) break;
                if (requested != applied) {
                    try {
                        apply(filter, config);
                        applyError.clear();
                        dirty = true;
                    } catch (const ScreenError& e) {
                        applyError = e.what();
                        filter = activeFilter; // the stream keeps its former settings
                        config = activeConfig;
                    }
                    appliedAt = hostTimeNowNs();
                    applied = requested;
                    changed.notify_all();
                }
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
            if (dirty && now >= nextAllowed) {
                ScreenSample sample;
                if (!grab(sample)) {
                    stopError = "The captured display is no longer available.";
                    break;
                }
                dirty = false;
                nextAllowed = now + static_cast<uint64_t>(std::max<int64_t>(activeConfig.minimumFrameIntervalNs, 0));
                onSample(sample);
                continue;
            }
            int timeout = -1;
            if (dirty) timeout = static_cast<int>((nextAllowed - now + 999'999) / 1'000'000);
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
        releaseSegment();
        xcb_flush(c);
        bool report = false;
        {
            std::lock_guard guard(lock);
            report = !stopRequested && !stopError.empty();
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
    impl->stopRequested = false;
    impl->thread = std::thread([impl] { impl->run(); });
    impl->threadID = impl->thread.get_id();
}

uint64_t ScreenStream::updateConfiguration(const StreamConfiguration& configuration) {
    return impl_->change(nullptr, &configuration);
}

uint64_t ScreenStream::updateContentFilter(const ContentFilter& filter) { return impl_->change(&filter, nullptr); }

void ScreenStream::stopCapture() {
    auto impl = impl_;
    std::thread t;
    {
        std::lock_guard guard(impl->lock);
        impl->stopRequested = true;
        t = std::move(impl->thread);
        if (impl->wakeFd >= 0) impl->wake();
    }
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id()) {
        t.detach(); // called from a handler: the thread ends after it returns and keeps `impl` alive
    } else {
        t.join();
    }
}

} // namespace brindlet::platform
