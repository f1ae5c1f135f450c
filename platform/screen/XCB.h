#pragma once
// The xcb side of XConnection, for the screen layer's own sources (never a header that code
// above the platform layer includes).
#include <cstdlib>

#include <xcb/xcb.h>

#include "platform/screen/XConnection.h"

namespace brindlet::platform {

struct XConnection::Handles {
  xcb_connection_t* connection;
  xcb_screen_t* screen;
};

inline auto XConnection::get() const { return handles_->connection; }
inline auto XConnection::screen() const { return handles_->screen; }
inline auto XConnection::root() const { return handles_->screen->root; }

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
