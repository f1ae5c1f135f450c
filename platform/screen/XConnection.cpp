#include "platform/screen/XConnection.h"

#include <cstdlib>
#include <cstring>

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
  return std::unique_ptr<XConnection>(new XConnection(c, it.data));
}

XConnection::~XConnection() { xcb_disconnect(connection_); }

xcb_atom_t XConnection::atom(const char* name, bool onlyIfExists) {
  XReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection_, xcb_intern_atom(connection_, onlyIfExists, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string XConnection::atomName(xcb_atom_t atom) {
  XReply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, atom), nullptr));
  if (!reply) return {};
  return std::string(xcb_get_atom_name_name(reply.value), xcb_get_atom_name_name_length(reply.value));
}

}  // namespace brindlet::platform
