#include "platform/screen/WindowSnapshot.h"

#include <algorithm>
#include <cmath>

#include <xcb/composite.h>

#include "platform/image/ImageCodec.h"
#include "platform/screen/XCB.h"
#include "platform/video/PixelBuffer.h"
#include "platform/video/PixelConverter.h"

namespace brindlet::platform {

namespace {

constexpr std::size_t keptScalers = 64;

// True when the checked request succeeded.
bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  xcb_generic_error_t* error = xcb_request_check(c, cookie);
  if (!error) return true;
  free(error);
  return false;
}

}  // namespace

std::unique_ptr<WindowSnapshot> WindowSnapshot::open(const std::string& displayName) {
  auto connection = XConnection::open(displayName);
  xcb_connection_t* c = connection->get();
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_composite_id);
  if (!extension || !extension->present) throw ScreenError("the X server has no Composite extension");
  XReply<xcb_composite_query_version_reply_t> version(
      xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 2), nullptr));
  if (!version || (version->major_version == 0 && version->minor_version < 2)) {
    throw ScreenError("the X server's Composite extension cannot name window pixmaps");
  }
  return std::unique_ptr<WindowSnapshot>(new WindowSnapshot(std::move(connection)));
}

WindowSnapshot::WindowSnapshot(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}

WindowSnapshot::~WindowSnapshot() = default;

PixelConverter* WindowSnapshot::scaler(int srcWidth, int srcHeight, int dstWidth, int dstHeight) {
  const auto key = std::make_tuple(srcWidth, srcHeight, dstWidth, dstHeight);
  if (auto found = scalers_.find(key); found != scalers_.end()) return found->second.get();
  if (scalers_.size() >= keptScalers) scalers_.clear();
  auto made = PixelConverter::scaler(srcWidth, srcHeight, dstWidth, dstHeight, 1);
  if (!made) return nullptr;
  return scalers_.emplace(key, std::move(made)).first->second.get();
}

std::optional<Bytes> WindowSnapshot::jpeg(std::uint32_t windowID, int width, int quality) {
  if (width < 2 || connection_->failed()) return std::nullopt;
  xcb_connection_t* c = connection_->get();
  // Both questions go out before either answer is awaited: one round trip.
  const auto attributesCookie = xcb_get_window_attributes(c, windowID);
  const auto geometryCookie = xcb_get_geometry(c, windowID);
  // Errors are taken here: nobody reads this connection's events, where they would pile up.
  xcb_generic_error_t* error = nullptr;
  XReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, attributesCookie, &error));
  free(error);
  error = nullptr;
  XReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, &error));
  free(error);
  if (!attributes || !geometry) {
    redirected_.erase(windowID);
    return std::nullopt;
  }
  if (attributes->map_state != XCB_MAP_STATE_VIEWABLE || geometry->width <= 1 || geometry->height <= 1) {
    return std::nullopt;
  }
  if (geometry->depth != 24 && geometry->depth != 32) return std::nullopt;
  if (!redirected_.count(windowID)) {
    // Automatic redirection: the server still draws the window where it was, and keeps all of
    // its pixels in a pixmap of its own. It ends with this connection.
    if (!succeeded(c, xcb_composite_redirect_window_checked(c, windowID, XCB_COMPOSITE_REDIRECT_AUTOMATIC))) {
      return std::nullopt;
    }
    redirected_.insert(windowID);
  }
  const int srcWidth = geometry->width, srcHeight = geometry->height;
  // Naming the pixmap and reading it go out together; a failed name fails the read as well.
  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  const auto named = xcb_composite_name_window_pixmap_checked(c, windowID, pixmap);
  const auto imageCookie =
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, 0, 0, uint16_t(srcWidth), uint16_t(srcHeight), ~0u);
  const bool wasNamed = succeeded(c, named);
  error = nullptr;
  XReply<xcb_get_image_reply_t> image(xcb_get_image_reply(c, imageCookie, &error));
  free(error);
  if (wasNamed) xcb_free_pixmap(c, pixmap);
  if (!wasNamed || !image) return std::nullopt;
  const int length = xcb_get_image_data_length(image.value);
  const int stride = srcWidth * 4;
  if (length < stride * srcHeight) return std::nullopt;
  const int height = std::max(2, static_cast<int>(std::lround(double(srcHeight) * width / srcWidth)));
  PixelConverter* scale = scaler(srcWidth, srcHeight, width, height);
  if (!scale) return std::nullopt;
  PixelBuffer out(width, height);
  if (!scale->scale(xcb_get_image_data(image.value), stride, out)) return std::nullopt;
  return encodeJPEG(out.baseAddress(), width, height, out.bytesPerRow(), quality);
}

}  // namespace brindlet::platform
