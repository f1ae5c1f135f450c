#include "platform/screen/XConnection.h"

#include <cstdlib>
#include <cstring>

#include "platform/screen/XCB.h"

namespace brindlet::platform {

std::unique_ptr<XConnection> XConnection::open(const std::string& displayName) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
  if (!c || xcb_connection_has_error(c)) {
    if (c) xcb_disconnect(c);
    const char* env = std::getenv("DISPLAY");
    throw ScreenError("cannot connect to the X server " +
                      (displayName.empty() ? std::string(env ? env : "(DISPLAY not set)") : displayName));
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) {
    xcb_disconnect(c);
    throw ScreenError("the X server has no screen " + std::to_string(screenNumber));
  }
  return std::unique_ptr<XConnection>(new XConnection(std::make_unique<Handles>(Handles{c, it.data})));
}

XConnection::XConnection(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}

XConnection::~XConnection() { xcb_disconnect(handles_->connection); }

int XConnection::fd() const { return xcb_get_file_descriptor(handles_->connection); }

bool XConnection::failed() const { return xcb_connection_has_error(handles_->connection) != 0; }

uint32_t XConnection::atom(const char* name, bool onlyIfExists) {
  xcb_connection_t* c = handles_->connection;
  XReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, onlyIfExists, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string XConnection::atomName(uint32_t atom) {
  xcb_connection_t* c = handles_->connection;
  XReply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
  if (!reply) return {};
  return std::string(xcb_get_atom_name_name(reply.value), xcb_get_atom_name_name_length(reply.value));
}

}  // namespace brindlet::platform
