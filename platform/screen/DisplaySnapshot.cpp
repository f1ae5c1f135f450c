#include "platform/screen/DisplaySnapshot.h"

#include <algorithm>

#include "platform/image/ImageCodec.h"
#include "platform/screen/DisplayConfiguration.h"
#include "platform/screen/ScreenGrabber.h"
#include "platform/screen/XConnection.h"

namespace brindlet::platform {

std::unique_ptr<DisplaySnapshot> DisplaySnapshot::open(const std::string& displayName) {
  return std::unique_ptr<DisplaySnapshot>(new DisplaySnapshot(XConnection::open(displayName)));
}

DisplaySnapshot::DisplaySnapshot(std::unique_ptr<XConnection> connection)
    : connection_(std::move(connection)), grabber_(std::make_unique<ScreenGrabber>(*connection_)) {}

DisplaySnapshot::~DisplaySnapshot() = default;

std::optional<Bytes> DisplaySnapshot::jpeg(std::uint32_t displayID, int width, int quality) {
  if (width < 2 || connection_->failed()) return std::nullopt;
  const auto displays = readActiveDisplays(*connection_);
  auto display =
      std::find_if(displays.begin(), displays.end(), [&](const ScreenDisplay& d) { return d.id == displayID; });
  if (display == displays.end()) return std::nullopt;
  const double aspect = display->height / std::max(display->width, 1.0);
  StreamConfiguration configuration;
  configuration.width = width;
  configuration.height = std::max(static_cast<int>(aspect * width), 2);
  configuration.queueDepth = 1;
  try {
    if (configuredFor_ != *display || configuredWidth_ != width) {
      configuredFor_.reset();
      grabber_->configure(ContentFilter::display(displayID), configuration);
      configuredFor_ = *display;
      configuredWidth_ = width;
    }
    PixelBufferRef picture = grabber_->grab();
    if (!picture) return std::nullopt;
    return encodeJPEG(picture->baseAddress(), picture->width(), picture->height(), picture->bytesPerRow(), quality);
  } catch (const ScreenError&) {
    return std::nullopt;
  }
}

}  // namespace brindlet::platform
