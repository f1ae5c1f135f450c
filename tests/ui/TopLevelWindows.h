#pragma once

// The host's top-level windows as the window manager sees them, for the tests that run the
// host program: found by title among its clients, closed as by their close button, waited for.

#include <chrono>
#include <string>
#include <thread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace brindlet::testing {

// A window may go between the listing of the clients and the reading of its name: such
// errors are expected, not fatal.
inline int ignoreXError(Display*, XErrorEvent*) { return 0; }

// The top-level window so titled among the window manager's clients, or 0.
inline Window findWindow(Display* display, const std::string& title) {
  XSetErrorHandler(ignoreXError);
  Window root = DefaultRootWindow(display);
  Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
  Atom name = XInternAtom(display, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom type;
  int format;
  unsigned long count = 0, after;
  unsigned char* data = nullptr;
  Window found = 0;
  if (XGetWindowProperty(display, root, clientList, 0, 1024, False, XA_WINDOW, &type, &format, &count, &after, &data) !=
          Success ||
      !data) {
    return 0;
  }
  auto* windows = reinterpret_cast<Window*>(data);
  for (unsigned long i = 0; i < count && !found; ++i) {
    unsigned char* text = nullptr;
    unsigned long length = 0;
    if (XGetWindowProperty(display, windows[i], name, 0, 256, False, utf8, &type, &format, &length, &after, &text) ==
            Success &&
        text) {
      if (title == reinterpret_cast<char*>(text)) found = windows[i];
      XFree(text);
    }
  }
  XFree(data);
  return found;
}

// Asks the window manager to close the top-level window so titled, as its close button does.
inline bool closeWindow(const std::string& title) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  Window window = findWindow(display, title);
  if (window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_CLOSE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = 2;  // a pager or tool: the user's own request
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  }
  XSync(display, False);
  XCloseDisplay(display);
  return window != 0;
}

// Whether the window so titled has left the screen within `limit`.
inline bool windowGone(const std::string& title, std::chrono::milliseconds limit) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  auto end = std::chrono::steady_clock::now() + limit;
  bool gone = false;
  while (!(gone = findWindow(display, title) == 0) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  XCloseDisplay(display);
  return gone;
}

// Whether a window so titled is on the screen within `limit`.
inline bool windowShown(const std::string& title, std::chrono::milliseconds limit) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  auto end = std::chrono::steady_clock::now() + limit;
  bool shown = false;
  while (!(shown = findWindow(display, title) != 0) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  XCloseDisplay(display);
  return shown;
}

// Whether the window so titled asks the window manager for a frame (its Motif hints); true
// when it says nothing.
inline bool windowDecorated(const std::string& title) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  bool decorated = true;
  if (Window window = findWindow(display, title)) {
    Atom hints = XInternAtom(display, "_MOTIF_WM_HINTS", False);
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, hints, 0, 5, False, AnyPropertyType, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
      auto* fields = reinterpret_cast<unsigned long*>(data);
      // flags bit 1: the decorations field counts; 0 there means no frame.
      if (count >= 3 && (fields[0] & 2) && fields[2] == 0) decorated = false;
      XFree(data);
    }
  }
  XCloseDisplay(display);
  return decorated;
}

}  // namespace brindlet::testing
