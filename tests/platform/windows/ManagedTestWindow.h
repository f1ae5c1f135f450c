#pragma once
// Test helper: a top-level window of our own that the window manager manages, with the kind,
// title, class, process ID, owner and size hints a test gives it, on a connection of its own.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

// Tests name only the options they set, with designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace brindlet::testing {

class ManagedTestWindow {
 public:
  struct Options {
    std::string title = "brindlet managed window";
    std::string appClass = "BrindletTest";
    std::string type;  // "_NET_WM_WINDOW_TYPE_..." or nothing
    uint32_t transientFor = 0;
    bool fixedSize = false;
    int32_t pid = int32_t(getpid());  // 0: no _NET_WM_PID
    int x = 100, y = 100, width = 400, height = 300;
  };

  explicit ManagedTestWindow(Options options) : options_(std::move(options)) {
    c_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c_)) throw std::runtime_error("no X server");
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    id_ = xcb_generate_id(c_);
    uint32_t values[1] = {0x00336699};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id_, screen_->root, int16_t(options_.x), int16_t(options_.y),
                      uint16_t(options_.width), uint16_t(options_.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL, values);
    if (options_.pid > 0) setCardinals("_NET_WM_PID", XCB_ATOM_CARDINAL, {uint32_t(options_.pid)});
    setText(atom("_NET_WM_NAME"), atom("UTF8_STRING"), options_.title);
    setText(XCB_ATOM_WM_NAME, XCB_ATOM_STRING, options_.title);
    std::string wmClass = "brindlet-test";
    wmClass.push_back('\0');
    wmClass += options_.appClass;
    wmClass.push_back('\0');
    setText(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wmClass);
    if (!options_.type.empty()) setCardinals("_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM, {atom(options_.type.c_str())});
    if (options_.transientFor) {
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id_, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32, 1,
                          &options_.transientFor);
    }
    // WM_SIZE_HINTS: user position and size, and (for a fixed size) equal minimum and maximum.
    std::vector<uint32_t> hints(18, 0);
    hints[0] = (1u << 0) | (1u << 1);
    hints[1] = uint32_t(options_.x);
    hints[2] = uint32_t(options_.y);
    hints[3] = uint32_t(options_.width);
    hints[4] = uint32_t(options_.height);
    if (options_.fixedSize) {
      hints[0] |= (1u << 4) | (1u << 5);
      hints[5] = hints[7] = uint32_t(options_.width);
      hints[6] = hints[8] = uint32_t(options_.height);
    }
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id_, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32,
                        uint32_t(hints.size()), hints.data());
    xcb_map_window(c_, id_);
    xcb_flush(c_);
    waitFor([&] { return viewable() && managed(); }, "window was not managed");
  }
  ~ManagedTestWindow() {
    xcb_destroy_window(c_, id_);
    sync();
    xcb_disconnect(c_);
  }
  ManagedTestWindow(const ManagedTestWindow&) = delete;
  ManagedTestWindow& operator=(const ManagedTestWindow&) = delete;

  uint32_t id() const { return id_; }
  const Options& options() const { return options_; }

  // Asks the manager to minimise the window (ICCCM WM_CHANGE_STATE, iconic).
  void minimise() {
    xcb_client_message_event_t e{};
    e.response_type = XCB_CLIENT_MESSAGE;
    e.format = 32;
    e.window = id_;
    e.type = atom("WM_CHANGE_STATE");
    e.data.data32[0] = 3;
    xcb_send_event(c_, 0, screen_->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&e));
    xcb_flush(c_);
    waitFor([&] { return !viewable(); }, "window was not minimised");
  }

  // Asks the manager to keep the window above normal windows (_NET_WM_STATE_ABOVE).
  void keepAbove() {
    xcb_client_message_event_t e{};
    e.response_type = XCB_CLIENT_MESSAGE;
    e.format = 32;
    e.window = id_;
    e.type = atom("_NET_WM_STATE");
    e.data.data32[0] = 1;  // add
    e.data.data32[1] = atom("_NET_WM_STATE_ABOVE");
    e.data.data32[3] = 2;  // from a pager
    xcb_send_event(c_, 0, screen_->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&e));
    xcb_flush(c_);
  }

  bool viewable() {
    auto* a = xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, id_), nullptr);
    bool v = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    free(a);
    return v;
  }

  void sync() { free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }
  // Gives the window its own icon (_NET_WM_ICON): one picture of one colour, 0xAARRGGBB.
  void setIcon(uint32_t width, uint32_t height, uint32_t argb) {
    std::vector<uint32_t> data{width, height};
    data.resize(2 + std::size_t(width) * height, argb);
    setCardinals("_NET_WM_ICON", XCB_ATOM_CARDINAL, std::move(data));
    sync();
  }

  // Polls `condition` for up to five seconds.
  static bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  uint32_t atom(const char* name) {
    auto* r = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(std::strlen(name)), name), nullptr);
    uint32_t a = r ? r->atom : 0;
    free(r);
    return a;
  }
  void setCardinals(const char* name, uint32_t type, std::vector<uint32_t> values) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id_, atom(name), type, 32, uint32_t(values.size()), values.data());
  }
  void setText(uint32_t property, uint32_t type, const std::string& text) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id_, property, type, 8, uint32_t(text.size()), text.data());
  }
  bool managed() {
    // The manager has framed the window once it says what the frame adds.
    auto* r = xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, id_, atom("_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 0, 4), nullptr);
    bool m = r && r->format == 32 && xcb_get_property_value_length(r) == 16;
    free(r);
    return m;
  }
  void waitFor(const std::function<bool()>& condition, const char* failure) {
    if (!eventually(condition)) throw std::runtime_error(failure);
  }

  Options options_;
  xcb_connection_t* c_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  uint32_t id_ = 0;
};

}  // namespace brindlet::testing
