// A small app for the app tests: shows one window of class argv[1] titled argv[2], opens
// another at Ctrl+N, closes a window when the window manager asks, and ends when its last
// window closed. Prints "window <id>" for every window it shows.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <xcb/xcb.h>

namespace {

xcb_connection_t* c;
xcb_screen_t* screen;
xcb_atom_t deleteWindow;
std::set<xcb_window_t> windows;

xcb_atom_t atom(const char* name) {
  auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
  xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
  free(reply);
  return a;
}

void show(const std::string& appClass, const std::string& title) {
  xcb_window_t w = xcb_generate_id(c);
  const uint32_t values[2] = {0x00cc8844, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 50, 50, 400, 300, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  const uint32_t pid = uint32_t(getpid());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, uint32_t(title.size()),
                      title.data());
  std::string wmClass = "app-window-test-app";
  wmClass.push_back('\0');
  wmClass += appClass;
  wmClass.push_back('\0');
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, uint32_t(wmClass.size()),
                      wmClass.data());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom("WM_PROTOCOLS"), XCB_ATOM_ATOM, 32, 1, &deleteWindow);
  xcb_map_window(c, w);
  xcb_flush(c);
  windows.insert(w);
  std::printf("window %u\n", w);
  std::fflush(stdout);
}

// The key codes that type "n".
std::set<xcb_keycode_t> keycodesOfN() {
  std::set<xcb_keycode_t> codes;
  const xcb_setup_t* setup = xcb_get_setup(c);
  const int count = setup->max_keycode - setup->min_keycode + 1;
  auto* reply =
      xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, uint8_t(count)), nullptr);
  if (!reply) return codes;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
  for (int i = 0; i < count; ++i) {
    for (int j = 0; j < reply->keysyms_per_keycode; ++j) {
      if (syms[i * reply->keysyms_per_keycode + j] == 'n') codes.insert(xcb_keycode_t(setup->min_keycode + i));
    }
  }
  free(reply);
  return codes;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string appClass = argc > 1 ? argv[1] : "AppWindowTest";
  const std::string title = argc > 2 ? argv[2] : "App window";
  c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  deleteWindow = atom("WM_DELETE_WINDOW");
  const auto nKeys = keycodesOfN();
  show(appClass, title);
  int opened = 1;
  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_KEY_PRESS) {
      auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
      if ((key->state & XCB_MOD_MASK_CONTROL) && nKeys.count(key->detail)) {
        show(appClass, title + " " + std::to_string(++opened));
      }
    } else if (type == XCB_CLIENT_MESSAGE) {
      auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
      if (message->data.data32[0] == deleteWindow && windows.erase(message->window)) {
        xcb_destroy_window(c, message->window);
        xcb_flush(c);
      }
    }
    free(event);
    if (windows.empty()) break;
  }
  xcb_disconnect(c);
  return 0;
}
