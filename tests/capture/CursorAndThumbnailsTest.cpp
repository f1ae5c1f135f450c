// The cursor's image and the display thumbnails from the X screen (two 1920x1080 monitors
// side by side): cursors set on test windows with XDefineCursor's request, and a pattern of
// its own on each monitor.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "host/capture/CursorShapeRegistry.h"
#include "host/capture/ScreenshotThumbnails.h"
#include "host/capture/SystemCursorSource.h"
#include "platform/capture/XTestWindow.h"
#include "platform/image/ImageCodec.h"
#include "platform/screen/CursorImage.h"
#include "platform/screen/DisplayConfiguration.h"
#include "platform/screen/DisplaySnapshot.h"

namespace brindlet::host {
namespace {

using brindlet::testing::XTestWindow;

// A connection of the test's own that makes cursors and moves the pointer.
class CursorMaker {
 public:
  CursorMaker() : c_(xcb_connect(nullptr, nullptr)) { root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root; }
  ~CursorMaker() { xcb_disconnect(c_); }

  // A `size` square cursor, black (the foreground) inside a white frame one pixel wide, with its hotspot.
  void define(xcb_window_t window, int size, int hotX, int hotY) {
    xcb_pixmap_t source = xcb_generate_id(c_), mask = xcb_generate_id(c_);
    xcb_create_pixmap(c_, 1, source, root_, uint16_t(size), uint16_t(size));
    xcb_create_pixmap(c_, 1, mask, root_, uint16_t(size), uint16_t(size));
    xcb_gcontext_t gc = xcb_generate_id(c_);
    uint32_t one = 1, zero = 0;
    xcb_create_gc(c_, gc, source, XCB_GC_FOREGROUND, &one);
    xcb_rectangle_t all{0, 0, uint16_t(size), uint16_t(size)};
    xcb_poly_fill_rectangle(c_, mask, gc, 1, &all);    // every pixel shown
    xcb_poly_fill_rectangle(c_, source, gc, 1, &all);  // source bits: the foreground ...
    xcb_change_gc(c_, gc, XCB_GC_FOREGROUND, &zero);
    xcb_rectangle_t frame{0, 0, uint16_t(size - 1), uint16_t(size - 1)};
    xcb_poly_rectangle(c_, source, gc, 1, &frame);  // ... inside a frame of the background
    xcb_cursor_t cursor = xcb_generate_id(c_);
    xcb_create_cursor(c_, cursor, source, mask, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, uint16_t(hotX), uint16_t(hotY));
    xcb_change_window_attributes(c_, window, XCB_CW_CURSOR, &cursor);
    sync();
  }
  void warp(int x, int y) {
    xcb_warp_pointer(c_, XCB_WINDOW_NONE, root_, 0, 0, 0, 0, int16_t(x), int16_t(y));
    sync();
  }
  void sync() { free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_connection_t* c_;
  xcb_window_t root_;
};

std::optional<CursorPoll> pollNow(SystemCursorSource& source, std::optional<std::uint64_t> last) {
  asio::io_context io;
  auto result = asio::co_spawn(io, source.poll(last), asio::use_future);
  io.run();
  return result.get();
}

// Polls until the shape has the wanted size (the server follows the pointer's window).
std::optional<CursorPoll> pollUntilSize(SystemCursorSource& source, float size) {
  for (int i = 0; i < 200; ++i) {
    auto poll = pollNow(source, std::nullopt);
    if (poll && poll->shape && poll->shape->pointSize == size) return poll;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

TEST(CursorImageTest, DefinedCursorsArriveWithTheirPicturesHotspotsTokensAndIDs) {
  XTestWindow left(100, 100, 200, 200, true);
  XTestWindow right(2100, 300, 200, 200, true);
  CursorMaker maker;
  maker.define(left.id(), 8, 3, 5);
  maker.define(right.id(), 12, 0, 11);
  SystemCursorSource source(platform::CursorImageSource::open());

  maker.warp(150, 150);
  auto first = pollUntilSize(source, 8);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->visible);
  EXPECT_EQ(first->shape->hotspotX, 3);
  EXPECT_EQ(first->shape->hotspotY, 5);
  auto picture = platform::decodePNG(first->shape->png);
  ASSERT_TRUE(picture);
  ASSERT_EQ(picture->width, 8);
  ASSERT_EQ(picture->height, 8);
  auto pixel = [&](int x, int y) {
    const auto* p = &picture->rgba[(size_t(y) * 8 + size_t(x)) * 4];
    return std::array<int, 4>{p[0], p[1], p[2], p[3]};
  };
  EXPECT_EQ(pixel(0, 0), (std::array<int, 4>{255, 255, 255, 255}));  // the frame
  EXPECT_EQ(pixel(4, 4), (std::array<int, 4>{0, 0, 0, 255}));
  // Unchanged: the same token and no picture.
  auto again = pollNow(source, first->token);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->token, first->token);
  EXPECT_FALSE(again->shape);

  // On the right monitor, the other cursor: another token and another shape ID.
  maker.warp(2200, 400);
  auto second = pollUntilSize(source, 12);
  ASSERT_TRUE(second);
  EXPECT_NE(second->token, first->token);
  EXPECT_EQ(second->shape->hotspotX, 0);
  EXPECT_EQ(second->shape->hotspotY, 11);
  EXPECT_NE(CursorShapeRegistry::shapeID(*second->shape), CursorShapeRegistry::shapeID(*first->shape));
  // Back on the left: the first shape again, with its ID.
  maker.warp(150, 150);
  auto back = pollUntilSize(source, 8);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->token, first->token);
  EXPECT_EQ(CursorShapeRegistry::shapeID(*back->shape), CursorShapeRegistry::shapeID(*first->shape));
}

TEST(DisplayThumbnailTest, EachDisplaysThumbnailShowsItsOwnPicture) {
  // Left: red above, green below; right: blue.
  XTestWindow left(0, 0, 1920, 1080, true);
  left.paint([](int, int y) { return y < 540 ? 0xD02020u : 0x20D020u; });
  XTestWindow right(1920, 0, 1920, 1080, true);
  right.paint([](int, int) { return 0x2020D0u; });
  auto displays = platform::DisplayConfiguration::open()->activeDisplays();
  ASSERT_EQ(displays.size(), 2u);

  asio::io_context io;
  ScreenshotThumbnails thumbnails(io.get_executor(), platform::DisplaySnapshot::open());
  auto take = [&](std::uint32_t id) {
    auto result = asio::co_spawn(io, thumbnails.thumbnail(id, 480), asio::use_future);
    io.restart();
    io.run();
    return result.get();
  };
  for (const auto& display : displays) {
    SCOPED_TRACE(display.name);
    auto jpeg = take(display.id);
    ASSERT_TRUE(jpeg);
    auto picture = platform::decodeJPEG(*jpeg);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 480);
    EXPECT_EQ(picture->height, 270);
    auto near = [&](int x, int y, std::array<int, 3> rgb) {
      const auto* p = &picture->rgba[(size_t(y) * 480 + size_t(x)) * 4];
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(p[i], rgb[size_t(i)], 24) << x << "," << y;
    };
    if (display.rootX == 0) {
      near(240, 60, {0xD0, 0x20, 0x20});
      near(240, 210, {0x20, 0xD0, 0x20});
    } else {
      near(240, 60, {0x20, 0x20, 0xD0});
      near(240, 210, {0x20, 0x20, 0xD0});
    }
  }
  EXPECT_FALSE(take(12345));  // not a display
}

}  // namespace
}  // namespace brindlet::host
