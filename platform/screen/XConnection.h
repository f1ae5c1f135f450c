#pragma once
// One connection to the X server, owned by one component. The server is the one named by
// DISPLAY unless another name is given.
//
// This header names no xcb type, so that code above the platform layer may hold and open a
// connection. The layer's own code includes platform/screen/XCB.h, which defines get(),
// screen() and root() with their xcb types.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/screen/ScreenError.h"

namespace brindlet::platform {

class XConnection {
 public:
  // Throws ScreenError when the server cannot be reached.
  static std::unique_ptr<XConnection> open(const std::string& displayName = {});
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  auto get() const;     // xcb_connection_t*
  auto screen() const;  // xcb_screen_t*
  auto root() const;    // xcb_window_t
  int fd() const;
  bool failed() const;

  // An atom of the server (XCB_ATOM_NONE when `onlyIfExists` and it has none), and its name.
  uint32_t atom(const char* name, bool onlyIfExists = false);
  std::string atomName(uint32_t atom);

 private:
  struct Handles;  // the xcb connection and screen (XCB.h)
  explicit XConnection(std::unique_ptr<Handles> handles);
  std::unique_ptr<Handles> handles_;
};

}  // namespace brindlet::platform
