#pragma once
// Test helper: a window of our own on the X screen, painted with a known picture. An
// override-redirect window lies exactly where asked; a managed one is placed by the window
// manager and carries _NET_WM_PID so it counts as this process's window.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <xcb/xcb.h>

namespace brindlet::testing {

class XTestWindow {
 public:
  XTestWindow(int x, int y, int width, int height, bool overrideRedirect, int32_t pid = int32_t(getpid()))
      : width_(width), height_(height) {
    connection_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection_)) throw std::runtime_error("no X server");
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    window_ = xcb_generate_id(connection_);
    uint32_t values[2] = {0x00000000, uint32_t(overrideRedirect)};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen_->root, int16_t(x), int16_t(y),
                      uint16_t(width), uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    setCardinal("_NET_WM_PID", uint32_t(pid));
    const char* title = "brindlet test window";
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        uint32_t(std::strlen(title)), title);
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, window_, 0, nullptr);
    xcb_map_window(connection_, window_);
    const uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    sync();
    if (!overrideRedirect) waitUntilViewable();
  }
  ~XTestWindow() {
    xcb_destroy_window(connection_, window_);
    sync();
    xcb_disconnect(connection_);
  }

  xcb_window_t id() const { return window_; }

  // Where the window's top-left pixel lies on the root window.
  std::pair<int, int> rootPosition() {
    auto* reply = xcb_translate_coordinates_reply(
        connection_, xcb_translate_coordinates(connection_, window_, screen_->root, 0, 0), nullptr);
    std::pair<int, int> p{reply ? reply->dst_x : 0, reply ? reply->dst_y : 0};
    free(reply);
    return p;
  }

  // Paints pixel (x, y) with `pixel(x, y)` (0x00RRGGBB).
  void paint(const std::function<uint32_t(int, int)>& pixel) {
    const int rowsPerRequest = std::max(1, int(60000 / width_));
    std::vector<uint32_t> data;
    for (int y0 = 0; y0 < height_; y0 += rowsPerRequest) {
      int rows = std::min(rowsPerRequest, height_ - y0);
      data.resize(size_t(width_) * rows);
      for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < width_; ++x) data[size_t(y) * width_ + x] = pixel(x, y0 + y);
      }
      xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window_, gc_, uint16_t(width_), uint16_t(rows), 0,
                    int16_t(y0), 0, 24, uint32_t(data.size() * 4), reinterpret_cast<uint8_t*>(data.data()));
    }
    sync();
  }

  void sync() { free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

 private:
  void setCardinal(const char* name, uint32_t value) {
    auto* reply =
        xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, uint16_t(std::strlen(name)), name), nullptr);
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, reply->atom, XCB_ATOM_CARDINAL, 32, 1, &value);
    free(reply);
  }
  void waitUntilViewable() {
    // The window manager maps it; on a busy machine that can take a few seconds.
    for (int i = 0; i < 1000; ++i) {
      auto* attrs =
          xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window_), nullptr);
      bool viewable = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
      free(attrs);
      if (viewable) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("window was not mapped");
  }

  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  int width_, height_;
};

}  // namespace brindlet::testing
