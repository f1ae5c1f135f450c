#pragma once
// One connection to the X server, owned by one component. The server is the one named by
// DISPLAY unless another name is given.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include <xcb/xcb.h>

#include "platform/video/MediaClock.h"

namespace brindlet::platform {

// A failure of the screen layer, carrying a readable description.
class ScreenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class XConnection {
 public:
  // Throws ScreenError when the server cannot be reached.
  static std::unique_ptr<XConnection> open(const std::string& displayName = {});
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  int fd() const { return xcb_get_file_descriptor(connection_); }
  bool failed() const { return xcb_connection_has_error(connection_) != 0; }

  xcb_atom_t atom(const char* name, bool onlyIfExists = false);
  std::string atomName(xcb_atom_t atom);

 private:
  XConnection(xcb_connection_t* c, xcb_screen_t* s) : connection_(c), screen_(s) {}
  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
};

// Frees a reply of xcb when it leaves scope.
template <typename T>
struct XReply {
  T* value = nullptr;
  explicit XReply(T* v) : value(v) {}
  ~XReply() { free(value); }
  XReply(const XReply&) = delete;
  XReply& operator=(const XReply&) = delete;
  T* operator->() const { return value; }
  explicit operator bool() const { return value != nullptr; }
};

}  // namespace brindlet::platform
