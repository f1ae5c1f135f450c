#include "platform/screen/CursorImage.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <xcb/xfixes.h>

#include "platform/screen/XCB.h"

namespace brindlet::platform {

std::unique_ptr<CursorImageSource> CursorImageSource::open(const std::string& displayName) {
  auto connection = XConnection::open(displayName);
  xcb_connection_t* c = connection->get();
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (!xfixes || !xfixes->present) throw ScreenError("The X server has no XFIXES extension.");
  free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
  xcb_xfixes_select_cursor_input(c, connection->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  xcb_flush(c);
  auto source = std::unique_ptr<CursorImageSource>(new CursorImageSource(std::move(connection)));
  source->firstEvent_ = xfixes->first_event;
  return source;
}

CursorImageSource::CursorImageSource(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}

CursorImageSource::~CursorImageSource() = default;

bool CursorImageSource::changed() {
  bool changed = std::exchange(first_, false);
  xcb_connection_t* c = connection_->get();
  while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
    if ((event->response_type & 0x7F) == firstEvent_ + XCB_XFIXES_CURSOR_NOTIFY) changed = true;
    free(event);
  }
  return changed || connection_->failed();
}

std::optional<CursorImage> CursorImageSource::current() {
  xcb_connection_t* c = connection_->get();
  XReply<xcb_xfixes_get_cursor_image_reply_t> reply(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!reply) return std::nullopt;
  CursorImage image;
  image.width = reply->width;
  image.height = reply->height;
  image.hotspotX = reply->xhot;
  image.hotspotY = reply->yhot;
  image.serial = reply->cursor_serial;
  const int count = xcb_xfixes_get_cursor_image_cursor_image_length(reply.value);
  if (count != image.width * image.height) return std::nullopt;
  const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.value);
  image.argb.assign(pixels, pixels + count);
  return image;
}

std::vector<std::uint8_t> straightRGBA(const CursorImage& image) {
  std::vector<std::uint8_t> out(image.argb.size() * 4);
  for (std::size_t i = 0; i < image.argb.size(); ++i) {
    const uint32_t p = image.argb[i];
    const uint32_t a = p >> 24;
    auto channel = [a](uint32_t premultiplied) -> std::uint8_t {
      if (a == 0) return 0;
      return static_cast<std::uint8_t>(std::min<uint32_t>(255, (premultiplied * 255 + a / 2) / a));
    };
    out[i * 4 + 0] = channel((p >> 16) & 0xFF);
    out[i * 4 + 1] = channel((p >> 8) & 0xFF);
    out[i * 4 + 2] = channel(p & 0xFF);
    out[i * 4 + 3] = static_cast<std::uint8_t>(a);
  }
  return out;
}

}  // namespace brindlet::platform
